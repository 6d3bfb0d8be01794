"""Renaming a model: the file moves, the refs that resolve to it follow (and
no others), refusals change nothing, and --diff is a patch git applies."""

import contextlib
import os
import pathlib
import shutil
import signal
import subprocess

import pytest

from file_tree import write
from trelm_cst import Project, _rename, cli

PROJECTS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "projects"

# Two project folders that both define `m`; `a` is the one renamed.
REPO = {
    "a/models/m.sql": "{{ config(style='table') }}\nselect 1 as id\n-- reads itself: {{ ref(\"m\") }}\n",
    "a/models/x.sql": "select * from {{ ref('m') }} join {{ ref('m', v=2) }} using (id)\r\n",
    "a/models/dyn.sql": "select * from {{ ref(var('x')) }}",
    # Switched off: defines nothing, but its ref must still name the model once it is switched on.
    "a/models/off.sql": "{{ config(enabled=false) }}\nselect * from {{ ref('m') }}\n",
    "a/models/props.yml": (
        "version: 2\nmodels:\n  - name: m\n    columns:\n      - name: id\n        tests:\n"
        "          - relationships:\n              to: ref('m')\n              field: id\n"
        "  - name: x\n    description: 'not ref(''m'') prose, nor m'\n"
    ),
    "a/tests/t.sql": "select * from {{ ref('a', 'm') }}\n",
    "a/snapshots/snap.sql": "{% snapshot sn %}\nselect * from {{ ref('m') }}\n{% endsnapshot %}\n",
    "a/macros/mac.sql": "{% macro k() %}{{ ref('m') }}{% endmacro %}\n",
    "a/seeds/s.csv": "id\n",
    "b/models/m.sql": "select 2 as id\n",
    "b/models/y.sql": "select * from {{ ref('m') }} join {{ ref('a', 'm') }} using (id)\n",
    "b/models/props.yml": "models:\n  - name: m\n    columns:\n      - name: id\n",
}

RENAMED = {
    **{path: text for path, text in REPO.items() if path != "a/models/m.sql"},
    "a/models/n.sql": REPO["a/models/m.sql"].replace('ref("m")', 'ref("n")'),
    "a/models/x.sql": REPO["a/models/x.sql"].replace("'m'", "'n'"),
    "a/models/props.yml": REPO["a/models/props.yml"].replace("name: m\n", "name: n\n").replace("to: ref('m')", "to: ref('n')"),
    "a/models/off.sql": REPO["a/models/off.sql"].replace("'m'", "'n'"),
    "a/tests/t.sql": "select * from {{ ref('a', 'n') }}\n",
    "a/snapshots/snap.sql": REPO["a/snapshots/snap.sql"].replace("'m'", "'n'"),
    "b/models/y.sql": "select * from {{ ref('m') }} join {{ ref('a', 'n') }} using (id)\n",
}



def tree(root):
    return {
        p.relative_to(root).as_posix(): p.read_bytes().decode()
        for p in sorted(root.rglob("*"))
        if p.is_file() and ".git" not in p.relative_to(root).parts
    }


def run(capsys, *argv):
    status = cli.main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_moves_the_file_and_rewrites_only_the_refs_that_resolve_to_it(tmp_path, monkeypatch, capsys):
    broken = {"a/models/broken.sql": "select {{ ref('m'"}
    monkeypatch.chdir(write(tmp_path, {**REPO, **broken}))
    status, out, err = run(capsys, "rename-model", "--project", "a", "m", "n", ".")
    assert (status, out) == (0, "")
    assert tree(tmp_path) == {**RENAMED, **broken}
    assert err.splitlines() == [
        "./a/macros/mac.sql:1:19: warning: ref('m') in a macro names a model of the project that calls it; left as it is [undecided-ref]",
        "./a/models/dyn.sql:1:18: warning: cannot tell which model ref(var('x')) names; left as it is [undecided-ref]",
        "./a/models/broken.sql:1:8: warning: unterminated `{{` tag: its refs are unknown; left as it is [undecided-ref]",
        "moved ./a/models/m.sql to ./a/models/n.sql, changed 7 files (9 calls)",
    ]


def test_the_method_returns_what_it_did(tmp_path):
    write(tmp_path, REPO)
    result = Project.load(tmp_path).rename_model("a/m", "n")
    assert (result.old_path, result.new_path) == (str(tmp_path / "a/models/m.sql"), str(tmp_path / "a/models/n.sql"))
    assert sorted(os.path.relpath(p, tmp_path) for p in result.changed) == [
        "a/models/m.sql", "a/models/off.sql", "a/models/props.yml", "a/models/x.sql", "a/snapshots/snap.sql", "a/tests/t.sql", "b/models/y.sql"
    ]
    assert [ref.text for ref in result.undecided] == ["ref('m')", "ref(var('x'))"]
    assert tree(tmp_path) == RENAMED


def git(root, *argv):
    return subprocess.run(["git", *argv], cwd=root, capture_output=True, text=True, check=True)


@pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")
@pytest.mark.parametrize(
    "files, argv, moved",
    [
        (REPO, ["--project", "a", "m", "n"], "a/models/n.sql"),
        # A name git quotes, and a model that changes nowhere but its name.
        ({"p/models/old é.sql": "select 1\n", "p/models/r 1.sql": "{{ ref('old é') }}"}, ["old é", "new é"], "p/models/new é.sql"),
        ({"lone.sql": "select 1\n", "other.sql": "select 2\n"}, ["lone", "alone"], "alone.sql"),
    ],
)
def test_diff_is_a_patch_git_applies_to_the_same_tree(tmp_path, monkeypatch, capsys, files, argv, moved):
    real, patched = write(tmp_path / "real", files), write(tmp_path / "patched", files)
    monkeypatch.chdir(patched)
    status, diff, _ = run(capsys, "rename-model", "--diff", *argv, ".")
    assert status == 0 and "\nrename from " in diff and tree(patched) == files
    monkeypatch.chdir(real)
    assert run(capsys, "rename-model", "-q", *argv, ".") == (0, "", "")
    git(patched, "init", "-q")
    (patched / "change.patch").write_text(diff, encoding="utf-8")
    git(patched, "apply", "change.patch")
    (patched / "change.patch").unlink()
    assert tree(patched) == tree(real)
    assert moved in tree(real)


# Two files of one name, and a ref to a name only project b defines.
MORE = {"a/models/d.sql": "select 1", "a/models/sub/d.sql": "select 2", "a/models/z.sql": "select * from {{ ref('y') }}"}


@pytest.mark.parametrize(
    "old, new, project, message",
    [
        ("nope", "n", None, "no model named 'nope'"),
        ("mm", "n", "a", "no model named 'mm' in project 'a'; did you mean 'm'?"),
        ("m", "n", None, "model 'm' is defined in several projects: a/m, b/m"),
        ("a/s", "n", None, "'a/s' is a seed, not a model"),
        ("m", "x", "a", "model 'x' is already defined in project 'a'"),
        ("m", "s", "a", "seed 's' is already defined in project 'a'"),
        ("m", "y", "a", r"refs to 'y' in project 'a' name another project's model and would name this one: .*/z.sql:1:18$"),
        ("m", "m", "a", "model 'm' is already defined in project 'a'"),
        ("m", "mac", "a", None),  # a/macros/mac.sql is elsewhere: allowed, checked below
        ("m", "", "a", "the new name is empty"),
        ("m", "..", "a", "is not a file name"),
        ("m", "c/n", "a", "holds a path separator"),
        ("m", "n\0", "a", "holds a NUL character"),
        ("d", "e", None, r"model 'd' is defined by several files in project 'a': .*/d.sql, .*/sub/d.sql"),
        ("m", "n.sql", "a", "ends with .sql"),
        ("m", "n" * 300, "a", "file name too long"),
    ],
)
def test_refusals_change_nothing(tmp_path, old, new, project, message):
    write(tmp_path, {**REPO, **MORE})
    if message is None:
        Project.load(tmp_path).rename_model(old, new, project)
        assert (tmp_path / "a/models/mac.sql").is_file() and (tmp_path / "a/macros/mac.sql").is_file()
        return
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace("?", r"\?")):
        Project.load(tmp_path).rename_model(old, new, project)
    assert tree(tmp_path) == {**REPO, **MORE}


def test_a_file_that_is_there_already_is_refused(tmp_path):
    # Disabled, so no model defines the name, but the file is in the way.
    write(tmp_path, {"models/m.sql": "select 1", "models/n.sql": "{{ config(enabled=false) }}"})
    with pytest.raises(ValueError, match="n.sql already exists"):
        Project.load(tmp_path).rename_model("m", "n")


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (["rename-model", "nope", "n", "."], 1, "error: no model named 'nope'"),
        (["rename-model", "--project", "a", "m", "a/n", "."], 2, "holds a path separator"),
        (["rename-model", "--check", "--project", "a", "m", "n", "."], 1, "./a/models/m.sql: would move to ./a/models/n.sql"),
        (["rename-ref", "nope", "n", "."], 1, "no ref() call names 'nope'"),
        (["rename-source", "-q", "raw.nope", "raw.n", "."], 1, "no source() call names 'raw.nope'"),
    ],
)
def test_command_line_exit_status(tmp_path, monkeypatch, capsys, argv, status, message):
    monkeypatch.chdir(write(tmp_path, REPO))
    with pytest.raises(SystemExit) if status == 2 else contextlib.nullcontext():
        assert cli.main(argv) == status
    assert message in capsys.readouterr().err
    assert tree(tmp_path) == REPO


def test_a_read_only_file_refuses_before_anything_is_written(tmp_path):
    write(tmp_path, REPO)
    (tmp_path / "b/models/y.sql").chmod(0o444)
    with pytest.raises(ValueError, match="y.sql: read-only"):
        Project.load(tmp_path).rename_model("m", "n", "a")
    assert tree(tmp_path) == REPO


def test_a_failure_midway_says_what_was_done_and_leaves_the_file_in_place(tmp_path, monkeypatch):
    write(tmp_path, REPO)
    project = Project.load(tmp_path)
    real_write = _rename.write_model
    written = []

    def fail_second(model, text):
        if written:
            return _rename.Problem(model.path, "cannot write: No space left on device")
        written.append(model.path)
        return real_write(model, text)

    monkeypatch.setattr(_rename, "write_model", fail_second)
    with pytest.raises(OSError) as raised:
        project.rename_model("m", "n", "a")
    assert str(raised.value).endswith(
        f": cannot write: No space left on device; rewrote {written[0]}; "
        f"{tmp_path / 'a/models/m.sql'} not moved to {tmp_path / 'a/models/n.sql'}"
    )
    assert (tmp_path / "a/models/m.sql").is_file() and not (tmp_path / "a/models/n.sql").exists()


@pytest.mark.skipif(not (PROJECTS / "tuva").is_dir(), reason=f"{PROJECTS / 'tuva'} is missing")
def test_real_repository(capsys):
    status, out, err = run(capsys, "rename-model", "--check", "core__condition", "core__conditions", str(PROJECTS / "tuva"))
    assert status == 1 and out == ""
    summary = err.splitlines()[-1]
    assert summary.startswith("would move ") and "core__condition.sql to " in summary
    assert not (PROJECTS / "tuva/models/core/final/core__conditions.sql").exists()


@pytest.mark.parametrize(
    "before, after",
    [
        ("models:\n  - name: m\n", "models:\n  - name: n\n"),
        ("models:\n- name: 'm'\n  description: m\n", "models:\n- name: 'n'\n  description: m\n"),
        (
            "\ufeffmodels:\r\n  - name: \"m\"\r\n    columns:\r\n      - {name: id, tests: [{relationships: {to: \"ref('m')\"}}]}\r\n",
            "\ufeffmodels:\r\n  - name: \"n\"\r\n    columns:\r\n      - {name: id, tests: [{relationships: {to: \"ref('n')\"}}]}\r\n",
        ),
        # Lines ended by a carriage return alone, which libyaml counts differently.
        ("models:\r  - name: m\r    description: é\r  - name: k\r", "models:\r  - name: n\r    description: é\r  - name: k\r"),
        ("models:\n  - name: >-\n      m\n", None),
    ],
)
def test_yaml_entries_follow_in_their_own_style(tmp_path, before, after):
    write(tmp_path, {"p/models/m.sql": "select 1", "p/models/props.yml": before})
    if after is None:
        with pytest.raises(ValueError, match="cannot rewrite"):
            Project.load(tmp_path).rename_model("m", "n")
        assert (tmp_path / "p/models/m.sql").is_file()
        return
    Project.load(tmp_path).rename_model("m", "n")
    assert (tmp_path / "p/models/props.yml").read_bytes().decode() == after


@pytest.mark.parametrize("command", [["rename-model", "m", "n"], ["lineage", "m.id"]])
def test_an_interrupt_while_loading_says_so_without_a_file_count(tmp_path, capsys, monkeypatch, command):
    write(tmp_path, REPO)

    def load(*args, **kwargs):
        os.kill(os.getpid(), signal.SIGINT)
        raise AssertionError("the signal did not arrive")

    monkeypatch.setattr(Project, "load", load)
    assert cli.main([*command, str(tmp_path)]) == 130
    assert capsys.readouterr().err.splitlines()[-1] == "interrupted"
    assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*") if p.is_file()) == sorted(REPO)
