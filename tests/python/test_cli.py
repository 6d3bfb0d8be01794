import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from trelm_cst import cli

CONFIGURED = "{{ config(style='table', schema=var('s'), ids={1: 'a'}) }}\nselect a, b + 1, c as d\nfrom {{ ref('x') }} join {{ source('raw', 'y') }} using (a)\n"
PLAIN = "select {% if x %}1{% endif %} as one\n"
CRLF = "{{ config(tags=['a']) }}\r\nselect 1\r\n"


@pytest.fixture
def folder(tmp_path, monkeypatch):
    """Writes {relative path: text or bytes} under a temporary folder made the
    current one, so that reported paths are relative."""
    monkeypatch.chdir(tmp_path)

    def make(files):
        for name, content in files.items():
            path = tmp_path / name
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(content if isinstance(content, bytes) else content.encode())
        return tmp_path

    return make


def run(capsys, *argv):
    status = cli.main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_inspect_writes_one_json_object_per_model_file(folder, capsys):
    folder({"m/b.sql": PLAIN, "m/a/x.sql": CONFIGURED, "m/notes.txt": "select 1", "extra.txt": "select 2"})
    status, out, _ = run(capsys, "inspect", "m", "extra.txt", "m/a/x.sql")
    assert status == 0
    lines = [json.loads(line) for line in out.splitlines()]
    assert [line["path"] for line in lines] == [os.path.join("m", "a", "x.sql"), os.path.join("m", "b.sql"), "extra.txt"]
    assert list(lines[0]) == ["path", "config", "config_jinja", "refs", "sources", "queries", "columns"]
    assert lines[0]["config"] == {"style": "table"}
    assert lines[0]["config_jinja"] == {"schema": "var('s')", "ids": "{1: 'a'}"}
    assert (lines[0]["refs"], lines[0]["sources"], lines[0]["queries"]) == ([["x"]], [["raw", "y"]], 1)
    assert [(c["name"], c["alias"], c["expr"]) for c in lines[0]["columns"]] == [
        ("a", None, "a"), (None, None, "b + 1"), ("d", "d", "c")
    ]
    assert lines[1]["config"] is None and lines[1]["config_jinja"] is None
    assert lines[1]["columns"][0]["is_templated"] is True


@pytest.mark.parametrize(
    "files, paths, reported, failed",
    [
        ({"ok.sql": PLAIN}, ["ok.sql"], [], []),
        ({"bad.sql": "select 1\n  {{ x", "ok.sql": PLAIN}, ["."], ["./bad.sql:2:3: error: unterminated `{{` tag [jinja-syntax]"], []),
        (
            {"latin.sql": b"select 1,\n'caf\xe9'\n", "ok.sql": PLAIN},
            ["."],
            [],
            ["./latin.sql: not UTF-8 text: invalid byte 0xe9 on line 2, byte offset 14"],
        ),
        ({"ok.sql": PLAIN}, ["missing", "ok.sql"], [], ["missing: no such file or directory"]),
    ],
    ids=["clean", "syntax-error", "not-utf8", "missing-path"],
)
def test_check_reports_each_failure_and_goes_on(folder, capsys, files, paths, reported, failed):
    folder(files)
    status, out, err = run(capsys, "check", *paths)
    *problems, summary = err.splitlines()
    assert (out.splitlines(), problems) == (reported, failed)
    assert summary.startswith(f"{len(files)} file")
    assert status == (1 if reported or failed else 0)


BROKEN = {
    "endif.sql": "select {% if x %}1\n",
    "endfor.sql": "select 1\n{% endfor %}\n",
    "names.sql": "select {{ a b }}\n",
    "ref.sql": "select * from {{ ref('a' }}\n",
}


def test_check_gives_each_broken_file_its_code(folder, capsys):
    folder(BROKEN)
    status, out, err = run(capsys, "check", ".")
    assert status == 1
    assert out.splitlines() == [
        "./endfor.sql:2:1: error: `{% endfor %}` closes no open `{% for %}` block [unmatched-end-tag]",
        "./endif.sql:1:8: error: `{% if %}` is never closed: expected `{% endif %}` [unclosed-block]",
        "./names.sql:1:13: error: expected the end of the tag, got `b` [jinja-syntax]",
        "./ref.sql:1:15: error: unterminated `{{` tag [jinja-syntax]",
    ]
    assert err.endswith("4 files checked, 4 problems (4 errors, 0 warnings)\n")


@pytest.mark.parametrize("strict, status", [(False, 0), (True, 1)])
def test_check_fails_on_warnings_only_when_strict(folder, capsys, strict, status):
    folder({"é.sql": "select 'é', (a\n"})
    assert run(capsys, "check", *(["--strict"] if strict else []), "é.sql") == (
        status,
        "é.sql:1:13: warning: `(` pairs with no bracket [unbalanced-bracket]\n",
        "1 file checked, 1 problem (0 errors, 1 warning)\n",
    )


def test_unreadable_file_is_reported(folder, capsys):
    root = folder({"ok.sql": PLAIN})
    (root / "dangling.sql").symlink_to(root / "gone.sql")
    status, out, err = run(capsys, "inspect", ".")
    assert status == 1
    assert "dangling.sql: cannot read: No such file or directory" in err
    assert json.loads(out)["path"] == os.path.join(".", "ok.sql")


@pytest.mark.parametrize(
    "argv, before, after",
    [
        (["set-config", "style='view'"], CONFIGURED, CONFIGURED.replace("'table'", "'view'")),
        (["set-config", "--raw", "tags=  var('t') "], CRLF, "{{ config(tags=var('t')) }}\r\nselect 1\r\n"),
        (["remove-config", "tags"], CRLF, "{{ config() }}\r\nselect 1\r\n"),
        (["set-config", "tags=['a']"], CRLF, CRLF),
        (["remove-config", "bad-key"], CRLF, CRLF),
    ],
    ids=["literal", "raw", "remove", "same-value", "absent-key"],
)
def test_edits_in_place_keep_every_other_byte_and_the_mode(folder, capsys, argv, before, after):
    root = folder({"m.sql": before})
    (root / "m.sql").chmod(0o640)
    inode = (root / "m.sql").stat().st_ino
    status, out, err = run(capsys, *argv, "m.sql")
    assert (status, out) == (0, "")
    assert (root / "m.sql").read_bytes() == after.encode()
    assert (root / "m.sql").stat().st_mode & 0o777 == 0o640
    assert os.listdir(root) == ["m.sql"]  # no temporary file left behind
    # A file whose text would not change is not written at all.
    assert ((root / "m.sql").stat().st_ino == inode) == (after == before)
    counts = "1 file, 0 unchanged" if after != before else "0 files, 1 unchanged"
    assert err == f"changed {counts}, 0 without a config call, 0 failed\n"


def test_dry_run_prints_a_diff_and_writes_nothing(folder, capsys):
    root = folder({"m.sql": "{{ config(a=1) }}\nselect 1", "plain.sql": PLAIN})
    status, out, err = run(capsys, "set-config", "--dry-run", "a=[1, 'x']", ".")
    assert status == 0
    assert out == (
        "--- ./m.sql\n+++ ./m.sql\n@@ -1,2 +1,2 @@\n"
        "-{{ config(a=1) }}\n+{{ config(a=[1, \"x\"]) }}\n select 1\n\\ No newline at end of file\n"
    )
    assert (root / "m.sql").read_text() == "{{ config(a=1) }}\nselect 1"
    assert err.splitlines() == [
        "./plain.sql: no config(...) call; left unchanged",
        "would change 1 file, 0 unchanged, 1 without a config call, 0 failed",
    ]


@pytest.mark.parametrize(
    "assignment, message",
    [
        ("bad-key=1", "`bad-key` is not a valid argument name"),
        ("k={1, 2}", "cannot write a set as a Jinja literal"),
        ("k=9223372036854775808", "int too big"),
    ],
)
def test_refused_edits_are_reported_per_file(folder, capsys, assignment, message):
    root = folder({"a.sql": CRLF, "b.sql": CONFIGURED})
    status, _, err = run(capsys, "set-config", assignment, ".")
    assert status == 1
    assert [line.split(": ", 1)[0] for line in err.splitlines()[:-1]] == ["./a.sql", "./b.sql"]
    assert message in err
    assert (root / "a.sql").read_bytes() == CRLF.encode()


def test_a_failed_write_leaves_the_old_file(folder, capsys, monkeypatch):
    root = folder({"m.sql": CRLF})

    def refuse(src, dst):
        raise PermissionError(13, "Permission denied")

    monkeypatch.setattr(os, "replace", refuse)
    status, _, err = run(capsys, "remove-config", "tags", "m.sql")
    assert status == 1 and "m.sql: cannot write: Permission denied" in err
    assert os.listdir(root) == ["m.sql"] and (root / "m.sql").read_bytes() == CRLF.encode()


def test_editing_through_a_symlink_replaces_its_target(folder, capsys):
    root = folder({"real/m.sql": CRLF})
    (root / "link.sql").symlink_to(root / "real" / "m.sql")
    assert run(capsys, "remove-config", "tags", "link.sql")[0] == 0
    assert (root / "link.sql").is_symlink()
    assert (root / "real" / "m.sql").read_bytes() == b"{{ config() }}\r\nselect 1\r\n"


@pytest.mark.parametrize(
    "argv",
    [["set-config", "novalue", "x.sql"], ["set-config", "k=view", "x.sql"], ["frobnicate", "x.sql"]],
)
def test_bad_arguments_exit_with_2(capsys, argv):
    with pytest.raises(SystemExit) as exit:
        cli.main(argv)
    assert exit.value.code == 2


@pytest.mark.parametrize("count, terminal, bar", [(201, True, True), (200, True, False), (201, False, False)])
def test_progress_bar_only_for_many_files_on_a_terminal(folder, monkeypatch, count, terminal, bar):
    folder({f"m/{i:03}.sql": PLAIN for i in range(count)})
    stderr = io.StringIO()
    stderr.isatty = lambda: terminal
    monkeypatch.setattr(sys, "stderr", stderr)
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    assert cli.main(["check", "m"]) == 0
    assert (f"{count}/{count} files" in stderr.getvalue()) == bar
    assert stderr.getvalue().endswith(f"{count} files checked, 0 problems\n")


def test_module_and_version_run_as_a_program(tmp_path):
    examples = Path(__file__).resolve().parents[2] / "examples"
    done = subprocess.run(
        [sys.executable, "-m", "trelm_cst", "inspect", str(examples)], capture_output=True, text=True, cwd=tmp_path
    )
    assert done.returncode == 0, done.stderr
    assert len(done.stdout.splitlines()) == len(list(examples.glob("*.sql")))
    version = subprocess.run([sys.executable, "-m", "trelm_cst", "--version"], capture_output=True, text=True)
    assert version.stdout.split() == ["python", "-m", "trelm_cst", __import__("trelm_cst").__version__]


def test_readme_examples_run(monkeypatch, capsys):
    root = Path(__file__).resolve().parents[2]
    monkeypatch.chdir(root)
    blocks = (root / "README.md").read_text(encoding="utf-8").split("```python\n")[1:]
    namespace: dict = {}
    for block in blocks:
        exec(compile(block.split("```", 1)[0], "README.md", "exec"), namespace)
    out = capsys.readouterr().out
    assert "<Document with 3 queries>" in out and "cannot remove the only item of a SELECT clause" in out
