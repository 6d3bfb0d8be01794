"""Paths: names the file system allows (diffs that apply whatever the name,
names that are not UTF-8), what a folder search leaves out compared with git
itself, and links."""

import os
import random
import shutil
import subprocess

import pytest

from trelm_cst import cli
from trelm_cst._files import find_model_files
from test_cli import run

GIT = shutil.which("git")
# git without the user's or the system's settings (a global excludes file would skew the comparison).
GIT_ENV = {"PATH": os.environ.get("PATH", ""), "GIT_CONFIG_NOSYSTEM": "1", "GIT_CONFIG_GLOBAL": os.devnull}


def write(root, files):
    for name, content in files.items():
        path = os.path.join(os.fsencode(root), os.fsencode(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content.encode())


def not_utf8_name_allowed(folder):
    try:
        open(os.path.join(os.fsencode(folder), b"caf\xe9.probe"), "wb").close()
    except OSError:
        return False
    os.unlink(os.path.join(os.fsencode(folder), b"caf\xe9.probe"))
    return True


NOT_UTF8 = os.fsdecode(b"caf\xe9.sql")
EDITED = "{{ config(a=1) }}\r\nselect 1"  # a CRLF line and no line end at the end of the file


@pytest.mark.parametrize("tool", [["git", "apply"], ["patch", "-p1"]])
@pytest.mark.parametrize(
    "name",
    ["plain.sql", "my model.sql", "in folder/a b.sql", "tab\there.sql", 'quo"te.sql', "back\\slash.sql", "café.sql",
     "new\nline.sql", NOT_UTF8],
    ids=["plain", "space", "folder-space", "tab", "quote", "backslash", "non-ascii", "newline", "not-utf8"],
)
def test_diffs_apply_whatever_the_name(tmp_path, monkeypatch, capsys, tool, name):
    if shutil.which(tool[0]) is None:
        pytest.skip(f"{tool[0]} is not installed")
    if name == NOT_UTF8 and not not_utf8_name_allowed(tmp_path):
        pytest.skip("the file system refuses names that are not UTF-8")
    monkeypatch.chdir(tmp_path)
    write(tmp_path, {name: EDITED, "other.sql": EDITED + "\n"})
    status, diff, _ = run(capsys, "set-config", "--diff", "a=2", ".")
    assert status == 0 and diff.count("\n+++ ") == 2

    def in_place():
        return run(capsys, "set-config", "a=2", ".")[0]

    def applied():
        return subprocess.run(tool, input=diff.encode(), cwd=tmp_path, capture_output=True, env=GIT_ENV).returncode

    # The diff applied does what the edit in place does.
    for edit in [in_place, applied]:
        write(tmp_path, {name: EDITED, "other.sql": EDITED + "\n"})
        assert edit() == 0
        with open(os.fsencode(tmp_path / name), "rb") as f:
            assert f.read() == EDITED.replace("a=1", "a=2").encode()
        assert (tmp_path / "other.sql").read_bytes() == b"{{ config(a=2) }}\r\nselect 1\n"


# Each row: the command, then what its output shows of the file that is not UTF-8 and of the other one.
COMMANDS = [
    (["set-config", "--diff", "a=2"], ['--- "a/caf\\351.sql"', "--- a/other.sql"]),
    (["check"], ["caf\\351.sql:2:8: warning:", "other.sql:2:8: warning:"]),
    (["graph", "--format", "dot"], ['label="caf\\\\351"', 'label="other"']),
    (["graph", "--format", "mermaid"], ['["caf\\351"]', '["other"]']),
    (["graph", "--format", "svg"], [">caf\\351</text>", ">other</text>"]),
    (["inspect"], ['"path": "caf\\udce9.sql"', '"path": "other.sql"']),
]


@pytest.mark.parametrize("argv, shows", COMMANDS, ids=["diff", "check", "dot", "mermaid", "svg", "inspect"])
def test_a_name_that_is_not_utf8_is_printed_escaped_and_the_run_goes_on(tmp_path, monkeypatch, capsys, argv, shows):
    if not not_utf8_name_allowed(tmp_path):
        pytest.skip("the file system refuses names that are not UTF-8")
    if "svg" in argv and shutil.which("dot") is None:
        pytest.skip("Graphviz dot not installed")
    monkeypatch.chdir(tmp_path)
    text = "{{ config(a=1) }}\nselect (\n"
    write(tmp_path, {NOT_UTF8: text, "other.sql": text})
    status, out, err = run(capsys, *argv, NOT_UTF8, "other.sql")
    assert status == 0, err
    assert [show in out for show in shows] == [True, True], out


# ---------------------------------------------------------------- git's ignores

FOLDERS = ["a", "b", "d"]
FILES = ["a.sql", "b.sql", "x.sql", "d.sql"]
SEGMENTS = ["a", "b", "d", "*", "a*", "*.sql", "?.sql", "**", "[ab]*", "[!a].sql", "[a-c]?", "x.sql", "b?"]


def random_pattern(rng):
    text = "/".join(rng.choice(SEGMENTS) for _ in range(rng.choices([1, 2, 3], [5, 3, 1])[0]))
    if rng.random() < 0.2:
        text = "/" + text
    if rng.random() < 0.3:
        text += "/"
    return "!" + text if rng.random() < 0.3 else text


def random_tree(rng):
    files = {
        "/".join([rng.choice(FOLDERS) for _ in range(rng.randint(0, 3))] + [rng.choice(FILES)])
        for _ in range(rng.randint(3, 14))
    }
    folders = sorted({f.rsplit("/", 1)[0] + "/" for f in files if "/" in f})
    ignores = {
        folder: "\n".join(random_pattern(rng) for _ in range(rng.randint(1, 4))) + "\n"
        for folder in ["", *folders]
        if not folder or rng.random() < 0.4
    }
    return files, ignores


def git_keeps(root):
    listed = subprocess.run(
        ["git", "ls-files", "--others", "--exclude-standard", "-z"],
        cwd=root, env=GIT_ENV, check=True, capture_output=True,
    ).stdout
    return {os.fsdecode(path) for path in listed.split(b"\0") if path.endswith(b".sql")}


@pytest.mark.skipif(GIT is None, reason="git is not installed")
def test_folder_search_leaves_out_what_git_ignores(tmp_path, summary):
    root = tmp_path / "repo"
    subprocess.run(["git", "init", "-q", str(root)], env=GIT_ENV, check=True)
    rng = random.Random(29)
    # A root `*.sql` and `!*/` below: git takes the folders back, never the files in them.
    trees = [({"sub/d/a.sql", "sub/a.sql", "b.sql"}, {"": "*.sql\n", "sub/": "!*/\n"})]
    trees += [random_tree(rng) for _ in range(60)]
    differences, ignored = [], 0
    for files, ignores in trees:
        for entry in os.listdir(root):
            if entry != ".git":
                (shutil.rmtree if (root / entry).is_dir() else os.remove)(root / entry)
        write(root, {name: "" for name in files})
        write(root, {folder + ".gitignore": text for folder, text in ignores.items()})
        kept = git_keeps(root)
        ignored += len(files) - len(kept)
        # From the top, and from a folder below it, which may itself lie in an ignored folder.
        for start in ["", rng.choice(sorted({f.rsplit("/", 1)[0] + "/" for f in files if "/" in f} or {""}))]:
            found = find_model_files([str(root / start)], lambda problem: None)
            mine = {os.path.relpath(path, root).replace(os.sep, "/") for path in found}
            expected = {path for path in kept if path.startswith(start)}
            if mine != expected:
                differences.append((ignores, start, sorted(mine ^ expected)))
    assert differences == [], differences[:3]
    summary(f"ignores: {len(trees)} random trees of .gitignore files, {ignored} files ignored, 0 differences from git")


# Pattern forms pathspec reads otherwise than git. Each row: the .gitignore line, the files, those left out, and
# those git leaves out. The first rows are put right before pathspec sees them; the last ones, rare in a
# .gitignore, are left as pathspec reads them.
FORMS = [
    ("*.sql\t", ["a.sql"], [], []),  # a trailing tab is part of the pattern, not stripped
    ("d[!a]*", ["d/x.sql", "db.sql"], ["db.sql"], ["db.sql"]),  # `[!...]` never matches a slash
    ("***/x.sql", ["x.sql", "d/x.sql"], ["d/x.sql", "x.sql"], ["d/x.sql", "x.sql"]),  # three stars are `**`
    ("dà/", ["dà/x.sql", "dÃ/x.sql"], ["dà/x.sql"], ["dà/x.sql"]),  # bytes, none of them taken for a space
    ("caf?.sql", ["café.sql", "cafe.sql", NOT_UTF8], ["cafe.sql", NOT_UTF8], ["cafe.sql", NOT_UTF8]),  # ? is a byte
    # Kept: a character class matches nothing here.
    ("[[:digit:]].sql", ["1.sql"], [], ["1.sql"]),
    # Kept: a backslash in brackets is a member here, it escapes the next character to git.
    ("[\\]a].sql", ["].sql", "a.sql"], [], ["].sql", "a.sql"]),
    # Kept: a reversed range makes the line match nothing here; to git it is an empty range.
    ("[z-ab].sql", ["b.sql"], [], ["b.sql"]),
    # Kept: a slash in brackets splits the pattern here (leaving a bracket open); git keeps the brackets whole.
    ("[a/]*", ["ab.sql"], [], ["ab.sql"]),
    # Kept: `**` right after other characters is one `*` here; git matches what follows as from the start.
    ("d**/x.sql", ["d/e/x.sql"], [], ["d/e/x.sql"]),
]


@pytest.mark.parametrize("line, names, left_out, git_leaves_out", FORMS)
def test_pattern_forms_against_git(tmp_path, line, names, left_out, git_leaves_out):
    if NOT_UTF8 in names and not not_utf8_name_allowed(tmp_path):
        pytest.skip("the file system refuses names that are not UTF-8")
    if GIT is None:
        os.mkdir(tmp_path / ".git")
    else:
        subprocess.run(["git", "init", "-q", str(tmp_path)], env=GIT_ENV, check=True)
    write(tmp_path, {name: "" for name in names})
    (tmp_path / ".gitignore").write_bytes(os.fsencode(line) + b"\n")
    found = find_model_files([str(tmp_path)], lambda problem: None)
    assert sorted(set(names) - {os.path.relpath(path, tmp_path) for path in found}) == left_out
    if GIT is not None:
        assert sorted(set(names) - git_keeps(tmp_path)) == git_leaves_out


def test_a_folder_s_files_sort_by_name_with_its_subfolders(tmp_path):
    # Names with characters below the separator: a plain sort of the paths puts "a/..." last.
    order = ["a/b/y.sql", "a/z.sql", "a b/v.sql", "a!.sql", "a-b/x.sql", "a.b/w.sql", "a.sql"]
    write(tmp_path, {name: "" for name in reversed(order)})
    found = find_model_files([str(tmp_path)], lambda problem: None)
    assert [os.path.relpath(path, tmp_path) for path in found] == order


# ---------------------------------------------------------------- links


def test_a_link_is_a_model_of_the_graph_and_one_file_to_edit(tmp_path, monkeypatch, capsys):
    write(tmp_path, {"m/a.sql": "{{ config(a=1) }}"})
    os.symlink("a.sql", tmp_path / "m" / "b.sql")
    monkeypatch.chdir(tmp_path)
    assert '"b"' in run(capsys, "graph", "--format", "dot", "m")[1]
    assert "m/b.sql:1:1: info: no model reads this one [unused-model]" in run(capsys, "check", "--project", "-v", "m")[1]
    # Named twice and found once more: changed once, never "changed while editing".
    monkeypatch.setattr(cli._jobs, "SERIAL_BELOW", 0)
    for jobs in ["1", "2"]:
        status, _, err = run(capsys, "set-config", "-j", jobs, f"a=1{jobs}", "m", "m/b.sql", "m/a.sql")
        assert (status, err) == (0, "changed 1 file, 0 unchanged, 0 without a config call, 0 failed\n")
