import gc
import io
import json
import os
import random
import re
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from trelm_cst import _files as cli_files
from trelm_cst import _jobs, cli

REPO = Path(__file__).resolve().parents[2]

CONFIGURED = "{{ config(style='table', schema=var('s'), ids={1: 'a'}) }}\nselect a, b + 1, c as d\nfrom {{ ref('x') }} join {{ source('raw', 'y') }} using (a)\n"
PLAIN = "select {% if x %}1{% endif %} as one\n"
CRLF = "{{ config(tags=['a']) }}\r\nselect 1\r\n"
DICT = '{{ config({"style": "table", "tags": ["a"]}) }}\nselect 1\n'
TWO_CALLS = (
    "{{ config(style='view', alias=var('a'), tags=['x']) }}\n{{ config({'style': 'table', 'alias': 'b'}) }}\nselect 1\n"
)


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


@pytest.fixture(params=["1", "2"], ids=["j1", "j2"])
def jobs(request, monkeypatch):
    """-j 1, or -j 2 with a pool of workers however few the files."""
    if request.param != "1":
        monkeypatch.setattr(_jobs, "SERIAL_BELOW", 0)
    return ["-j", request.param]


def test_inspect_writes_one_json_object_per_model_file(folder, capsys):
    folder({"m/b.sql": PLAIN, "m/a/x.sql": CONFIGURED, "m/notes.txt": "select 1", "extra.txt": "select 2"})
    status, out, _ = run(capsys, "inspect", "m", "extra.txt", "m/a/x.sql")
    assert status == 0
    lines = [json.loads(line) for line in out.splitlines()]
    assert [line["path"] for line in lines] == [os.path.join("m", "a", "x.sql"), os.path.join("m", "b.sql"), "extra.txt"]
    assert list(lines[0]) == ["path", "config", "config_jinja", "config_calls", "refs", "sources", "queries", "columns"]
    assert lines[0]["config"] == {"style": "table"}
    assert lines[0]["config_jinja"] == {"schema": "var('s')", "ids": "{1: 'a'}"}
    assert (lines[0]["refs"], lines[0]["sources"], lines[0]["queries"]) == ([["x"]], [["raw", "y"]], 1)
    assert [(c["name"], c["alias"], c["expr"]) for c in lines[0]["columns"]] == [
        ("a", None, "a"), (None, None, "b + 1"), ("d", "d", "c")
    ]
    assert (lines[1]["config"], lines[1]["config_jinja"], lines[1]["config_calls"]) == (None, None, 0)
    assert lines[1]["columns"][0]["is_templated"] is True


def no_temporary_files(root):
    return [p for p in root.rglob("*") if p.name.endswith(".tmp")] == []


@pytest.mark.parametrize(
    "files, form, expected",
    [
        ({"ok.sql": PLAIN}, "text", []),
        ({"bad.sql": "select 1\n  {{ x", "ok.sql": PLAIN}, "text", ["./bad.sql:2:3: error: unterminated `{{` tag [jinja-syntax]"]),
        (
            {"latin.sql": b"select 1,\n'caf\xe9'\n", "ok.sql": PLAIN},
            "text",
            ["./latin.sql:2:5: error: not UTF-8 text: invalid byte 0xe9 [encoding]"],
        ),
        (
            {"bad.sql": "select 1\n  {{ x"},
            "json",
            ['{"path": "./bad.sql", "line": 2, "column": 3, "severity": "error", "code": "jinja-syntax", '
             '"message": "unterminated `{{` tag"}'],
        ),
        (
            {"a,b:c.sql": "select 1\n  {{ x"},
            "github",
            ["::error file=./a%2Cb%3Ac.sql,line=2,col=3::unterminated `{{` tag [jinja-syntax]"],
        ),
    ],
    ids=["clean", "syntax-error", "not-utf8", "json", "github"],
)
def test_check_reports_each_problem_in_the_format_asked_and_goes_on(folder, capsys, jobs, files, form, expected):
    folder(files)
    status, out, err = run(capsys, "check", *jobs, "--format", form, ".")
    assert out.splitlines() == expected
    assert err.startswith(f"{len(files)} file")
    assert status == (1 if expected else 0)


BROKEN = {
    "endif.sql": "select {% if x %}1\n",
    "endfor.sql": "select 1\n{% endfor %}\n",
    "names.sql": "select {{ a b }}\n",
    "ref.sql": "select * from {{ ref('a' }}\n",
}


def test_check_gives_each_broken_file_its_code(folder, capsys, jobs):
    folder(BROKEN)
    status, out, err = run(capsys, "check", *jobs, ".")
    assert status == 1
    assert out.splitlines() == [
        "./endfor.sql:2:1: error: `{% endfor %}` closes no open `{% for %}` block [unmatched-end-tag]",
        "./endif.sql:1:8: error: `{% if %}` is never closed: expected `{% endif %}` [unclosed-block]",
        "./names.sql:1:13: error: expected the end of the tag, got `b` [jinja-syntax]",
        "./ref.sql:1:15: error: unterminated `{{` tag [jinja-syntax]",
    ]
    assert err == "4 files checked, 4 problems (4 errors, 0 warnings)\n"


@pytest.mark.parametrize(
    "command", [["check"], ["inspect"], ["set-config", "k=1"], ["rename-ref", "a", "b"], ["remove-config", "k"]]
)
def test_every_command_reports_a_broken_file_as_check_does(folder, capsys, command):
    folder({"bad.sql": "select 'é',\n  'é' {{ x\n"})
    status, out, err = run(capsys, *command, "bad.sql")
    # The column counts characters, whatever the bytes before it on its line.
    assert (out if command == ["check"] else err).splitlines()[0] == (
        "bad.sql:2:7: error: unterminated `{{` tag [jinja-syntax]"
    )
    assert status == 1


UNKNOWN = "warning: unknown tag `blockchain`: the engine refuses it unless an extension adds it [unknown-tag]"


@pytest.mark.parametrize(
    "text, options, expected",
    [
        # On the finding's line, inside a SQL comment too: the engine reads the comment there.
        ("select 1 {% blockchain = 'x' %} -- {# trelm-cst: ignore[unknown-tag] #}\n", [], []),
        ("{#- trelm-cst: ignore -#}\n  {% blockchain = 'x' %}\n", [], []),
        # Standing on a line of its own it covers the next line, not the one after.
        ("{# trelm-cst: ignore[unknown-tag] #}\n\n{% blockchain = 'x' %}\n", [], ["3:1: " + UNKNOWN]),
        # Sharing its line with SQL, it covers that line only.
        ("select 1 {# trelm-cst: ignore #}\n{% blockchain = 'x' %}\n", [], ["2:1: " + UNKNOWN]),
        (
            "{# trelm-cst: ignore[unbalanced-bracket, unknown-tag] #}\n{% blockchain = 'x' %}\n",
            ["--strict"],
            ["1:1: warning: suppression of `unbalanced-bracket` silences nothing [unused-suppression]"],
        ),
        # What only a project check finds may be silenced all the same.
        ("{# trelm-cst: ignore #}\n{# trelm-cst: ignore[cycle] #}\nselect 1\n", ["--strict"], []),
        (
            "select 1\n\n{# trelm-cst: ignore #}\n",
            ["--strict", "--project"],
            ["3:1: warning: suppression silences nothing [unused-suppression]"],
        ),
        # Findings between files, silenced where they are placed; information too, reported or not.
        ("select * from {{ ref('seed_a') }} {# trelm-cst: ignore[missing-ref] #}\n", ["--project", "--strict"], []),
        ("select 1 {# trelm-cst: ignore[unused-model] #}\n", ["--project", "--strict"], []),
        (
            "select * from {{ ref('seed_a') }}\n",
            ["--project"],
            ["1:18: error: ref to 'seed_a', which no model file defines [missing-ref]"],
        ),
        (
            "select 1 {# trelm-cst: ignore[Missing Ref] #}\n",
            [],
            ["1:10: warning: cannot read suppression 'ignore[Missing Ref]': 'Missing Ref' is no diagnostic code "
             "[invalid-suppression]"],
        ),
        (
            "{% blockchain = 'x' %}{% blueprint m %}{% endblueprint %}",
            [],
            ["1:1: " + UNKNOWN, "1:23: " + UNKNOWN.replace("blockchain", "blueprint")],
        ),
        ("{% blueprint m %}{% endblueprint %}", ["--extension-tag", "blueprint"], []),
    ],
)
def test_check_reports_what_no_comment_silences(folder, capsys, jobs, text, options, expected):
    folder({"m.sql": text})
    status, out, err = run(capsys, "check", *jobs, *options, ".")
    assert out.splitlines() == ["./m.sql:" + line for line in expected]
    failed = any(": error: " in line for line in expected) or ("--strict" in options and expected)
    assert status == (1 if failed else 0)


@pytest.mark.parametrize("strict, status", [(False, 0), (True, 1)])
def test_check_fails_on_warnings_only_when_strict(folder, capsys, strict, status):
    folder({"é.sql": "select 'é', (a\n"})
    assert run(capsys, "check", *(["--strict"] if strict else []), "é.sql") == (
        status,
        "é.sql:1:13: warning: `(` pairs with no bracket [unbalanced-bracket]\n",
        "1 file checked, 1 problem (0 errors, 1 warning)\n",
    )


@pytest.mark.parametrize(
    "argv, before, after",
    [
        (["set-config", "style='view'"], CONFIGURED, CONFIGURED.replace("'table'", "'view'")),
        (["set-config", "--raw", "tags=  var('t') "], CRLF, "{{ config(tags=var('t')) }}\r\nselect 1\r\n"),
        (["remove-config", "tags"], CRLF, "{{ config() }}\r\nselect 1\r\n"),
        (["set-config", "tags=['a']"], CRLF, CRLF),
        (["remove-config", "schema"], CRLF, CRLF),
        (["set-config", "style='view'"], DICT, DICT.replace('"table"', '"view"')),
        (["set-config", "enabled=True"], DICT, DICT.replace('["a"]', '["a"], "enabled": True')),
        (["remove-config", "style"], DICT, DICT.replace('"style": "table", ', "")),
        (["remove-config", "pre hook"], DICT.replace('"tags"', '"pre hook"'), DICT.replace(', "tags": ["a"]', "")),
    ],
    ids=["literal", "raw", "remove", "same-value", "absent-key", "dict-literal", "dict-new", "dict-remove",
         "dict-remove-any-key"],
)
def test_edits_in_place_keep_every_other_byte_mode_and_owner(folder, capsys, argv, before, after):
    root = folder({"m.sql": before})
    (root / "m.sql").chmod(0o640)
    if os.geteuid() == 0:  # only root can give a file away; CI runs as root
        os.chown(root / "m.sql", 12345, 12346)
    owner = (root / "m.sql").stat().st_uid, (root / "m.sql").stat().st_gid
    inode = (root / "m.sql").stat().st_ino
    status, out, err = run(capsys, *argv, "m.sql")
    assert (status, out) == (0, "")
    assert (root / "m.sql").read_bytes() == after.encode()
    stat = (root / "m.sql").stat()
    assert (stat.st_mode & 0o777, (stat.st_uid, stat.st_gid)) == (0o640, owner)
    assert os.listdir(root) == ["m.sql"]  # no temporary file left behind
    # A file whose text would not change is not written at all.
    assert (stat.st_ino == inode) == (after == before)
    counts = "1 file, 0 unchanged" if after != before else "0 files, 1 unchanged"
    assert err == f"changed {counts}, 0 without a config call, 0 failed\n"


def test_inspect_keeps_as_jinja_the_values_json_cannot_carry(folder, capsys):
    big = "0x" + "F" * 5000  # past the digits Python writes an int with
    folder({"m.sql": "{{ config(n=99999999999999999999, big=" + big + ", f=1e400) }}\nselect 1\n"})
    status, out, _ = run(capsys, "inspect", "m.sql")
    line = json.loads(out)
    assert (status, line["config"], line["config_jinja"]) == (0, {"n": 99999999999999999999}, {"big": big, "f": "1e400"})


def test_several_config_calls_are_merged_by_inspect_and_refused_by_edits(folder, capsys):
    root = folder({"m.sql": TWO_CALLS})
    status, out, _ = run(capsys, "inspect", "m.sql")
    line = json.loads(out)
    assert status == 0
    assert (line["config"], line["config_jinja"], line["config_calls"]) == (
        {"style": "table", "tags": ["x"], "alias": "b"}, {}, 2)
    for argv in (["set-config", "style='view'"], ["remove-config", "--dry-run", "tags"]):
        status, out, err = run(capsys, *argv, "m.sql")
        assert (status, out) == (1, "")
        assert err.splitlines()[0] == "m.sql: error: 2 config calls; edit it by hand [edit-refused]"
    assert (root / "m.sql").read_text() == TWO_CALLS


def test_a_key_that_is_no_name_is_refused_by_keyword_calls_only(folder, capsys):
    folder({"k.sql": CRLF, "d.sql": DICT})
    status, out, err = run(capsys, "set-config", "pre-hook=1", "k.sql", "d.sql")
    assert (status, out) == (1, "")
    assert err.splitlines()[0].startswith("k.sql: error: `pre-hook` is not a valid argument name; a config call written as one dict")
    assert Path("k.sql").read_bytes() == CRLF.encode()
    assert Path("d.sql").read_text() == DICT.replace('["a"]', '["a"], "pre-hook": 1')


def swap_before_write(monkeypatch, change):
    """Runs change(path) on m.sql just before its temporary file is made."""
    real = cli_files.tempfile.mkstemp

    def mkstemp(prefix, suffix, dir):
        if prefix == ".m.sql.":
            change(Path(dir) / "m.sql")
        return real(prefix=prefix, suffix=suffix, dir=dir)

    monkeypatch.setattr(cli_files.tempfile, "mkstemp", mkstemp)


def as_symlink_elsewhere(path):
    outside = path.parent.parent / "outside.sql"
    outside.write_text(CRLF)
    path.unlink()
    path.symlink_to(outside)


def refuse_chown(monkeypatch):
    def fchown(fd, uid, gid):
        raise PermissionError(1, "Operation not permitted")

    monkeypatch.setattr(os, "fchown", fchown)


def refuse_rename_of_m(monkeypatch):
    real = os.replace

    def replace(src, dst):
        if os.path.basename(dst) == "m.sql":
            raise PermissionError(13, "Permission denied")
        real(src, dst)

    monkeypatch.setattr(os, "replace", replace)


def out_of_memory_on(marker, monkeypatch):
    real = cli.parse_trelm

    def parse(text):
        if marker in text:
            raise MemoryError
        return real(text)

    monkeypatch.setattr(cli, "parse_trelm", parse)


def give_away_and_refuse_chown(root, monkeypatch):
    os.chown(root / "m.sql", 12345, 12345)
    refuse_chown(monkeypatch)


M_CHANGED = "./m.sql: error: changed while editing; left unchanged [file]"
# Each row: how the folder is spoilt, the paths named, the message. Beside
# the refused file lies ok.sql, which must still be edited.
REFUSED = [
    pytest.param(lambda root, mp: (root / "m.sql").chmod(0o444), ["."], "./m.sql: error: read-only; left unchanged [file]", id="read-only"),
    pytest.param(
        lambda root, mp: os.link(root / "m.sql", root / "n"), ["."], "./m.sql: error: has 2 hard links; left unchanged [file]", id="hard-link"
    ),
    pytest.param(lambda root, mp: os.mkfifo(root / "f.sql"), ["."], "./f.sql: error: not a regular file [file]", id="fifo"),
    pytest.param(lambda root, mp: (root / "z.sql").symlink_to("/dev/zero"), ["."], "./z.sql: error: not a regular file [file]", id="device"),
    pytest.param(lambda root, mp: (root / "l.sql").symlink_to("l.sql"), ["l.sql", "."], "l.sql: error: symbolic link loop [file]", id="loop"),
    pytest.param(
        lambda root, mp: (root / "d.sql").symlink_to("gone"), ["."], "./d.sql: error: cannot read: No such file or directory [file]", id="dangling"
    ),
    pytest.param(lambda root, mp: (root / "e").mkdir(), ["e", "."], "e: error: no .sql files [file]", id="no-model"),
    pytest.param(lambda root, mp: swap_before_write(mp, lambda p: p.write_text(CRLF + "\n")), ["."], M_CHANGED, id="changed"),
    pytest.param(lambda root, mp: swap_before_write(mp, as_symlink_elsewhere), ["."], M_CHANGED, id="now-a-link"),
    pytest.param(
        give_away_and_refuse_chown, ["."], "./m.sql: error: cannot keep its owner and group (12345:12345); left unchanged [file]", id="owner"
    ),
    pytest.param(lambda root, mp: out_of_memory_on("\r", mp), ["."], "./m.sql: error: out of memory [file]", id="memory"),
    pytest.param(lambda root, mp: refuse_rename_of_m(mp), ["."], "./m.sql: error: cannot write: Permission denied [file]", id="rename-fails"),
]


@pytest.mark.parametrize("setup, paths, message", REFUSED)
def test_refused_files_are_reported_and_the_run_goes_on(tmp_path, monkeypatch, capsys, jobs, setup, paths, message):
    if "owner" in message and os.geteuid() != 0:
        pytest.skip("giving a file to another owner takes root")
    root = tmp_path / "work"
    root.mkdir()
    monkeypatch.chdir(root)
    (root / "m.sql").write_text(CRLF)
    (root / "ok.sql").write_text("{{ config(tags=[], key=1) }}\n")
    setup(root, monkeypatch)
    status, _, err = run(capsys, "remove-config", *jobs, "tags", *paths)
    assert status == 1
    assert message in err.splitlines(), err
    assert (root / "ok.sql").read_text() == "{{ config(key=1) }}\n"
    if message.startswith("./m.sql") and "changed" not in message:
        assert (root / "m.sql").read_bytes() == CRLF.encode()
    if (tmp_path / "outside.sql").exists():  # the link's target was not written
        assert (tmp_path / "outside.sql").read_bytes() == CRLF.encode()
    assert no_temporary_files(root)


DIFF = "--- a/m.sql\n+++ b/m.sql\n@@ -1,2 +1,2 @@\n-{{ config(tags=['a']) }}\r\n+{{ config() }}\r\n select 1\r\n"
DONE = "{{ config() }}\r\nselect 1\r\n"


# Each row: options, whether the text comes on standard input, then the exit
# status, standard output, stderr and the file's text afterwards.
FLAGS = [
    (["--check"], False, 1, "", ["m.sql: would change"], CRLF),
    (["--check", "--diff", "-v"], False, 1, DIFF, ["./p.sql: no config(...) call; left unchanged"], CRLF),
    (["--diff"], False, 0, DIFF, [], CRLF),
    (["--dry-run"], False, 0, DIFF, [], CRLF),
    (["-q", "-v"], False, 0, "", [], DONE),
    (["--no-progress", "--verbose"], False, 0, "", ["./p.sql: no config(...) call; left unchanged"], DONE),
    ([], True, 0, DONE, [], CRLF),
    (["--check"], True, 1, "", ["<stdin>: would change"], CRLF),
    (["--diff", "--stdin-filename", "m.sql"], True, 0, DIFF, [], CRLF),
]


@pytest.mark.parametrize("options, stdin, status, out, notes, after", FLAGS)
def test_editing_flags(folder, capsys, monkeypatch, options, stdin, status, out, notes, after):
    root = folder({"m.sql": CRLF, "p.sql": PLAIN})
    if stdin:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(CRLF.encode())))
        paths = ["-"]
    else:
        paths = ["m.sql", "."]
    got = run(capsys, "remove-config", *options, "tags", *paths)
    assert got[:2] == (status, out)
    assert got[2].splitlines()[:-1] == notes and (got[2] == "") == ("-q" in options)
    assert (root / "m.sql").read_bytes() == after.encode()


@pytest.mark.parametrize(
    "argv, stdin, status, out",
    [
        (["inspect", "--stdin-filename", "models/x.sql", "-"], CRLF, 0, '"path": "models/x.sql", "config": {"tags": ["a"]}'),
        (["check", "--format", "json", "-"], "{{ x", 1, '{"path": "<stdin>", "line": 1, "column": 1,'),
        (["check", "-q", "-"], PLAIN, 0, ""),
    ],
)
def test_standard_input_reads_as_a_file_named_as_asked(capsys, monkeypatch, argv, stdin, status, out):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin.encode())))
    got = run(capsys, *argv)
    assert got[0] == status
    assert out in got[1] if out else got[1:] == ("", "")


@pytest.mark.parametrize(
    "argv, message",
    [
        (["set-config", "k={1, 2}", "."], "cannot write a set as a Jinja literal; pass --raw"),
        (["set-config", "k=view", "."], "cannot read 'view' as a Python literal"),
        (["set-config", "--raw", "k=var((", "."], "cannot set `k` to `var((`"),
        (["check", "missing", ".", "gone.sql"], "no such file or directory: missing, gone.sql"),
        (["check", "-", "."], "- (standard input) must be the only PATH"),
        (["check", "--stdin-filename", "x.sql", "."], "--stdin-filename goes with PATH -"),
        (["set-config", "novalue", "."], "expected KEY=VALUE, got 'novalue'"),
        (["set-config", "k=1e999", "."], "cannot write inf as a Jinja literal"),
        (["rename-source", "raw", "a.b", "."], "expected SOURCE.TABLE, got 'raw'"),
        (["rename-source", "a.b", ".y", "."], "expected SOURCE.TABLE, got '.y'"),
        (["remove-config", "--jobs=-2", "k", "."], "expected a whole number of jobs (0: one per processor), got '-2'"),
        (["inspect", "-j", "two", "."], "expected a whole number of jobs (0: one per processor), got 'two'"),
        # Misspellings get the usage of the command at hand and the close matches.
        (["chek", "."], "error: unknown command 'chek'; did you mean `check`?"),
        (["check", "--projct", "."], "check: error: unrecognized option --projct; did you mean `--project`?"),
        (["set-config", "--crate=1", "k=1", "."], "set-config: error: unrecognized option --crate; did you mean `--create`?"),
        (["--verison"], "error: unrecognized option --verison; did you mean `--version`?"),
        (["graph", "--format", "mermad", "."], "invalid choice 'mermad' (choose from dot, json, mermaid, svg); did you mean `mermaid`?"),
        (["graph", "--stdin-filename", "x.sql", "-"], "graph: error: unrecognized option --stdin-filename\n"),
        (["check", "--", "--projct"], "no such file or directory: --projct"),
    ],
)
def test_usage_errors_are_reported_once_with_status_2(folder, capsys, argv, message):
    root = folder({f"{i}.sql": CRLF for i in range(3)})
    with pytest.raises(SystemExit) as exit:
        cli.main(argv)
    err = capsys.readouterr().err
    assert exit.value.code == 2
    assert err.count(message) == 1, err
    assert all(path.read_bytes() == CRLF.encode() for path in root.glob("*.sql"))


# What .gitignore files leave out is compared with git itself in test_paths.
def test_folder_search_skips_hidden_folders_excluded_paths_and_linked_folders(folder, capsys):
    root = folder(
        {
            ".git/HEAD": "",
            "project/models/.gitignore": "private.sql\n",
            "project/models/a.sql": PLAIN,
            "project/models/private.sql": PLAIN,
            "project/models/.cache/c.sql": PLAIN,
            "project/models/staging/s.sql": PLAIN,
            "project/models/staging/deep/s.sql": PLAIN,
            "elsewhere/e.sql": PLAIN,
        }
    )
    (root / "project/models/linked").symlink_to(root / "elsewhere")
    status, out, _ = run(capsys, "inspect", "--exclude", "staging/deep", "--exclude", "*.txt", "project/models")
    found = sorted(json.loads(line)["path"] for line in out.splitlines())
    assert status == 0
    assert found == [os.path.join("project", "models", name) for name in ["a.sql", "staging/s.sql"]]
    # Named directly, an ignored file is read all the same.
    assert run(capsys, "check", "project/models/private.sql")[0] == 0


def test_the_new_file_and_its_folder_are_synced_before_the_run_goes_on(folder, capsys, monkeypatch):
    folder({"m.sql": CRLF})
    synced = []
    real = os.fsync

    def fsync(fd):
        synced.append(stat.S_IFMT(os.fstat(fd).st_mode))
        real(fd)

    monkeypatch.setattr(os, "fsync", fsync)
    assert run(capsys, "remove-config", "tags", "m.sql")[0] == 0
    assert synced == [stat.S_IFREG, stat.S_IFDIR]


def test_a_signal_while_writing_waits_for_the_rename(folder, capsys, monkeypatch):
    root = folder({"a.sql": CRLF, "b.sql": CRLF})
    real = cli_files.tempfile.mkstemp

    def mkstemp(**kwargs):
        made = real(**kwargs)
        os.kill(os.getpid(), signal.SIGINT)  # lands right after the temporary file exists
        return made

    monkeypatch.setattr(cli_files.tempfile, "mkstemp", mkstemp)
    status, _, err = run(capsys, "remove-config", "tags", ".")
    assert status == 130
    assert err.splitlines()[-1] == "interrupted after 1 of 2 files"
    assert (root / "a.sql").read_bytes() == DONE.encode()
    assert (root / "b.sql").read_bytes() == CRLF.encode() and no_temporary_files(root)


# `up/..` is the folder above where the link leads (real/), not the current one.
@pytest.mark.parametrize("name", ["link.sql", "up/../m.sql"], ids=["link", "through-a-linked-folder"])
def test_editing_through_a_symlink_replaces_its_target(folder, capsys, name):
    root = folder({"real/m.sql": CRLF, "real/sub/other.sql": CRLF, "m.sql": CRLF})
    (root / "link.sql").symlink_to(root / "real" / "m.sql")
    (root / "up").symlink_to(root / "real" / "sub")
    assert run(capsys, "remove-config", "tags", name)[0] == 0
    assert (root / "link.sql").is_symlink()
    assert (root / "real" / "m.sql").read_bytes() == DONE.encode()
    assert (root / "m.sql").read_bytes() == CRLF.encode()


@pytest.mark.parametrize(
    "count, terminal, options, bar",
    [(201, True, [], True), (200, True, [], False), (201, False, [], False), (201, True, ["--no-progress"], False)],
)
def test_progress_bar_only_for_many_files_on_a_terminal(folder, monkeypatch, count, terminal, options, bar):
    folder({f"m/{i:03}.sql": PLAIN for i in range(count)})
    stderr = io.StringIO()
    stderr.isatty = lambda: terminal
    monkeypatch.setattr(sys, "stderr", stderr)
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    assert cli.main(["check", *options, "m"]) == 0
    assert (f"{count}/{count} files" in stderr.getvalue()) == bar
    assert stderr.getvalue().endswith(f"{count} files checked, 0 problems\n")


# A folder with something of every kind: findings, refused files, edits.
MIXED = [
    CONFIGURED, CRLF, PLAIN, TWO_CALLS, "select 1\n  {{ x", b"select 'caf\xe9'\n", "select 'é', (a\n",
    "{{ config(tags=['b']) }}\nselect * from {{ ref('m003') }}\n", DICT,
]


def write_mixed(root):
    for i in range(45):
        content = MIXED[i % len(MIXED)]
        path = root / f"d{i % 4}" / f"m{i:03}.sql"
        path.parent.mkdir(parents=True, exist_ok=True)
        if path.exists():
            path.chmod(0o644)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        path.chmod(0o444 if i % 10 == 4 else 0o644)  # read-only: refused by edits


@pytest.mark.skipif(not _jobs.can_fork(), reason="worker processes are forked on Linux only, while no other thread runs")
@pytest.mark.parametrize(
    "argv, shows",
    [
        (["check"], "[encoding]"),
        (["check", "--project", "-v", "--format", "json"], '"code": "unused-model"'),
        (["inspect"], '"config_calls": 2'),
        (["graph"], '"kind": "missing"'),
        (["remove-config", "--diff", "tags"], "+{{ config() }}"),
        (["remove-config", "tags"], "read-only; left unchanged"),
        (["rename-ref", "x", "y"], "(5 calls)"),
    ],
    ids=lambda value: value if isinstance(value, str) else "-".join(value),
)
def test_a_pool_prints_what_one_job_prints_byte_for_byte(tmp_path, monkeypatch, capsysbinary, argv, shows):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(_jobs, "SERIAL_BELOW", 0)
    runs = []
    for jobs in ("1", "2"):
        write_mixed(tmp_path)
        status = cli.main([*argv, "-j", jobs, "--no-progress", "."])
        out, err = capsysbinary.readouterr()
        files = {path: path.read_bytes() for path in sorted(tmp_path.rglob("*")) if path.is_file()}
        runs.append((status, out, err, files))
    assert runs[0][0] == 1 and shows.encode() in runs[0][1] + runs[0][2]
    assert runs[1] == runs[0]


@pytest.mark.skipif(not _jobs.can_fork(), reason="worker processes are forked on Linux only")
def test_a_worker_killed_stops_the_run_with_a_message(folder, capsys, monkeypatch):
    folder({f"{i}.sql": PLAIN for i in range(8)})
    monkeypatch.setattr(_jobs, "SERIAL_BELOW", 0)
    real = cli.inspect_path
    monkeypatch.setattr(cli, "inspect_path", lambda path, read: os._exit(9) if "5" in path else real(path, read))
    status, out, err = run(capsys, "inspect", "-j", "2", ".")
    assert status == 1 and len(out.splitlines()) <= 5
    assert err.startswith("a worker process ended unexpectedly after ") and err.endswith(" of 8 files; try -j 1\n")


@pytest.mark.skipif(not _jobs.can_fork(), reason="worker processes are forked on Linux only")
def test_check_project_pauses_the_collector_in_its_own_process_only(folder, capsys, monkeypatch):
    folder({f"m{i}.sql": PLAIN for i in range(8)})
    monkeypatch.setattr(_jobs, "SERIAL_BELOW", 0)
    real = cli.check_path

    def noting(path, *rest):
        with open(f"collects-{os.getpid()}", "a") as note:
            note.write(f"{gc.isenabled()}\n")
        return real(path, *rest)

    monkeypatch.setattr(cli, "check_path", noting)
    run(capsys, "check", "--project", "-j", "2", ".")
    notes = {path.name: path.read_text().split() for path in Path().glob("collects-*")}
    assert f"collects-{os.getpid()}" not in notes and sum(map(len, notes.values())) == 8
    assert all(value == "True" for values in notes.values() for value in values) and gc.isenabled()


def test_interrupted_runs_leave_every_file_old_or_new(tmp_path):
    """SIGINT at random moments of a set-config run over 2,000 files."""
    models = tmp_path / "models"
    models.mkdir()
    texts = [f"{{{{ config(key={value}, style='table') }}}}\nselect {{{{ ref('x') }}}}\n" for value in range(21)]
    for i in range(2000):
        (models / f"m{i:04}.sql").write_text(texts[0])
    command = [sys.executable, "-m", "trelm_cst", "set-config", "--no-progress"]
    started = time.monotonic()
    assert subprocess.run([*command, "key=0", str(models)], capture_output=True).returncode == 0
    full = time.monotonic() - started
    seed = random.randrange(1 << 30)
    rng = random.Random(seed)
    for value in range(1, 21):
        run = subprocess.Popen([*command, f"key={value}", str(models)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        time.sleep(rng.uniform(0, full))
        run.send_signal(signal.SIGINT)
        _, err = run.communicate(timeout=60)
        # 0: done before the signal; -SIGINT, a KeyboardInterrupt or the
        # interpreter's own fatal error while setting up its streams: stopped
        # while the interpreter was still starting.
        starting = b"KeyboardInterrupt" in err or b"Fatal Python error: init_" in err
        assert run.returncode in (0, 130, -signal.SIGINT) or starting, (seed, err)
        allowed = set(texts[: value + 1])
        assert all(path.read_text() in allowed for path in models.iterdir()), seed
        assert len(os.listdir(models)) == 2000, seed


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_a_reader_that_goes_away_ends_the_run_quietly(tmp_path, jobs):
    """`trelm-cst inspect models | head -1`: no traceback, the SIGPIPE status,
    and no worker left behind."""
    models = tmp_path / "models"
    models.mkdir()
    for i in range(300):
        (models / f"m{i:03}.sql").write_text(CONFIGURED * 20)
    command = [sys.executable, "-m", "trelm_cst", "inspect", "-j", jobs, str(models)]
    run = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    assert run.stdout.readline().startswith(b"{")
    run.stdout.close()
    with run.stderr:
        err = run.stderr.read()
    assert run.wait(timeout=60) == 141 and err == b""
    assert not [pid for pid in children_of(run.pid) if alive(pid)]


def start_editing(tmp_path, *options):
    """A remove-config run over 2,000 files in its own process group, once it
    has written a file."""
    models = tmp_path / "models"
    models.mkdir()
    for i in range(2000):
        (models / f"m{i:04}.sql").write_text(CRLF)
    command = [sys.executable, "-m", "trelm_cst", "remove-config", *options, "tags", str(models)]
    run = subprocess.Popen(command, stderr=subprocess.PIPE, text=True, start_new_session=True)
    # Only the models: a temporary file may vanish between listing and reading.
    while run.poll() is None and not any(path.read_bytes() == DONE.encode() for path in models.glob("m*.sql")):
        time.sleep(0.01)
    return run, models


def process_state(pid):
    """The state letter of a process, fields after its name; None when it is gone."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None


def alive(pid):
    state = process_state(pid)
    return state is not None and state[0] != "Z"  # a zombie has ended; only its parent's wait is missing


def children_of(pid):
    return [int(p.name) for p in Path("/proc").iterdir() if p.name.isdigit() and (process_state(p.name) or [0, 0])[1] == str(pid)]


# Each row: the signal, whether the whole process group gets it (Ctrl-C at a
# terminal, a service manager), the exit status, and whether every file
# written is counted: a SIGTERM to the group ends the workers between files,
# so what they did in their last chunk goes uncounted.
SIGNALS = [
    pytest.param(signal.SIGTERM, False, 143, True, id="sigterm"),
    pytest.param(signal.SIGINT, True, 130, True, id="ctrl-c-group"),
    pytest.param(signal.SIGTERM, True, 143, False, id="sigterm-group"),
]


@pytest.mark.parametrize("signum, group, status, counted", SIGNALS)
def test_a_stopping_signal_leaves_every_file_old_or_new_and_no_temporary_file(tmp_path, signum, group, status, counted):
    run, models = start_editing(tmp_path, "-j", "2")
    try:
        if group:
            os.killpg(run.pid, signum)
        else:
            run.send_signal(signum)
        _, err = run.communicate(timeout=60)
    finally:
        run.kill()
        run.wait()
    assert run.returncode in (0, status) and "Traceback" not in err, err
    texts = [path.read_bytes() for path in models.iterdir()]
    assert set(texts) <= {CRLF.encode(), DONE.encode()} and no_temporary_files(models)
    changed = texts.count(DONE.encode())
    summary = f"changed {changed} file{'s' * (changed != 1)}, 0 unchanged, 0 without a config call, 0 failed"
    if run.returncode == status and counted:
        assert err.splitlines()[-2:] == [summary, f"interrupted after {changed} of 2000 files"]
    elif run.returncode == status:
        assert err.splitlines()[-1].startswith("interrupted after ")


@pytest.mark.skipif(not _jobs.can_fork(), reason="worker processes are forked on Linux only")
def test_workers_stop_when_their_parent_dies(tmp_path):
    run, models = start_editing(tmp_path, "-j", "2")
    workers = children_of(run.pid)
    run.kill()
    run.wait()
    run.stderr.close()  # not read: a worker left running would hold it open
    deadline = time.monotonic() + 30
    try:
        while any(alive(pid) for pid in workers):
            assert time.monotonic() < deadline, "the workers outlived their parent"
            time.sleep(0.05)
    finally:
        for pid in filter(alive, workers):
            os.kill(pid, signal.SIGKILL)
    assert workers and no_temporary_files(models)
    assert {path.read_bytes() for path in models.iterdir()} <= {CRLF.encode(), DONE.encode()}


def test_pre_commit_hook_runs_check_on_the_files_named(folder):
    yaml = pytest.importorskip("yaml")
    hooks = yaml.safe_load((REPO / ".pre-commit-hooks.yaml").read_text())
    hook = next(hook for hook in hooks if hook["id"] == "trelm-cst-check")
    assert re.search(hook["files"], "models/a.sql") and not re.search(hook["files"], "models/a.yml")
    root = folder({"models/good.sql": PLAIN, "models/bad.sql": "select {{ x"})
    entry = shlex.split(hook["entry"])
    program = shutil.which(entry[0], path=os.path.dirname(sys.executable)) or shutil.which(entry[0])
    assert program is not None, "the console script is installed with the package"
    good = subprocess.run([program, *entry[1:], "models/good.sql"], cwd=root, capture_output=True, text=True)
    bad = subprocess.run([program, *entry[1:], "models/good.sql", "models/bad.sql"], cwd=root, capture_output=True, text=True)
    assert (good.returncode, bad.returncode) == (0, 1)
    assert bad.stdout == "models/bad.sql:1:8: error: unterminated `{{` tag [jinja-syntax]\n"

def test_module_and_version_run_as_a_program(tmp_path):
    examples = REPO / "examples"
    done = subprocess.run(
        [sys.executable, "-m", "trelm_cst", "inspect", str(examples)], capture_output=True, text=True, cwd=tmp_path
    )
    assert done.returncode == 0, done.stderr
    assert len(done.stdout.splitlines()) == len(list(examples.glob("*.sql")))
    version = subprocess.run([sys.executable, "-m", "trelm_cst", "--version"], capture_output=True, text=True)
    assert version.stdout.split() == ["python", "-m", "trelm_cst", __import__("trelm_cst").__version__]


def test_readme_examples_run(monkeypatch, capsys):
    root = REPO
    monkeypatch.chdir(root)
    blocks = (root / "README.md").read_text(encoding="utf-8").split("```python\n")[1:]
    namespace: dict = {}
    for block in blocks:
        exec(compile(block.split("```", 1)[0], "README.md", "exec"), namespace)
    out = capsys.readouterr().out
    assert "<Document with 3 queries>" in out and "cannot remove the only item of a SELECT clause" in out


TWO_REFS = "select 1 from {{ ref('x') }} join {{ ref('pkg', 'x') }} using (a)\n"


@pytest.mark.parametrize(
    "argv, after, summary",
    [
        (["rename-ref", "x", "y"], {"m.sql": CONFIGURED.replace("ref('x')", "ref('y')"), "n.sql": TWO_REFS.replace("'x'", "'y'")},
         "changed 2 files (3 calls), 1 unchanged"),
        (["rename-source", "raw.y", "lake.z"], {"m.sql": CONFIGURED.replace("'raw', 'y'", "'lake', 'z'")},
         "changed 1 file (1 call), 2 unchanged"),
        # A misspelt name says so and fails.
        (["rename-ref", "missing", "y"], {}, "changed 0 files (0 calls), 3 unchanged, 0 failed\nno ref() call names 'missing'"),
    ],
)
def test_renames_edit_in_place(folder, capsys, jobs, argv, after, summary):
    before = {"m.sql": CONFIGURED, "crlf.sql": CRLF, "n.sql": TWO_REFS}
    root = folder(before)
    status, out, err = run(capsys, *argv, *jobs, ".")
    assert (status, out) == (0 if after else 1, "")
    assert {name: (root / name).read_bytes().decode() for name in before} == {**before, **after}
    assert err == f"{summary}{', 0 failed' if after else ''}\n"


@pytest.mark.parametrize("flags, status", [(["--check"], 1), (["--dry-run"], 0), (["--check", "--dry-run"], 1)])
def test_rename_check_and_dry_run_write_nothing(folder, capsys, flags, status):
    root = folder({"m.sql": CONFIGURED})
    code, out, err = run(capsys, "rename-ref", *flags, "x", "y", "m.sql")
    assert code == status and (root / "m.sql").read_bytes() == CONFIGURED.encode()
    assert ("+from {{ ref('y') }}" in out) == ("--dry-run" in flags)
    assert err.endswith("would change 1 file (1 call), 0 unchanged, 0 failed\n")



@pytest.mark.parametrize("command", sorted(cli.subcommands(cli.build_parser("trelm-cst"))))
def test_help_has_a_line_per_argument_and_only_options_the_command_takes(command):
    sub = cli.subcommands(cli.build_parser("trelm-cst"))[command]
    text = sub.format_help()
    for action in sub._actions:
        if not action.option_strings:
            assert re.search(rf"^  {re.escape(action.metavar)}\s+\w", text, re.MULTILINE), (action.metavar, text)
    assert ("--stdin-filename" in text) == (command not in ("graph", "lineage", "lsp", "rename-model"))


@pytest.mark.parametrize("value, expected", [("0", 3), ("2", 2), (None, None)])
def test_zero_jobs_means_one_per_processor(monkeypatch, value, expected):
    monkeypatch.setattr(_jobs, "default_jobs", lambda: 3)
    argv = ["check", *(["-j", value] if value else []), "."]
    assert cli.build_parser("trelm-cst").parse_args(argv).jobs == expected


# Each row: a file without a config call, the assignment and options, and its
# text after set-config --create. Strings are quoted as the file's Jinja calls quote them.
CREATED = [
    ("select 1\n", ["style='table'"], '{{ config(style="table") }}\nselect 1\n'),
    ("select 1\r\nfrom {{ ref('x') }}\r\n", ["style='table'"], "{{ config(style='table') }}\r\nselect 1\r\nfrom {{ ref('x') }}\r\n"),
    ("\ufeffselect 1", ["style='table'"], '\ufeff{{ config(style="table") }}\nselect 1'),
    ("{# owner: data #}\n{#- b -#}\r\nselect 1\n", ["_=1"], "{# owner: data #}\n{#- b -#}\r\n{{ config(_=1) }}\nselect 1\n"),
    ("{# note #} select 1\n", ["style=1"], "{{ config(style=1) }}\n{# note #} select 1\n"),
    ("select {{ var('x') }}\n", ["--raw", "style=var('s')"], "{{ config(style=var('s')) }}\nselect {{ var('x') }}\n"),
    ("select {{ var('x') }}\n", ["pre-hook=['a']"], "{{ config({'pre-hook': ['a']}) }}\nselect {{ var('x') }}\n"),
]


@pytest.mark.parametrize("before, argv, after", CREATED)
def test_set_config_create_adds_a_call_at_the_top_of_files_without_one(folder, capsys, before, argv, after):
    root = folder({"a.sql": before})
    status, out, err = run(capsys, "set-config", "--create", *argv, "a.sql")
    assert (status, out, err) == (0, "", "changed 1 file (1 new config call), 0 unchanged, 0 failed\n")
    assert (root / "a.sql").read_bytes().decode() == after


@pytest.mark.parametrize(
    "files, refs, form, terminal, note",
    [
        (1, 501, "mermaid", False, "warning: 501 edges; mermaid renderers draw at most 500 by default: draw part"),
        (1, 500, "mermaid", False, None),
        (201, 0, "svg", True, "drawing 201 nodes and 0 edges with Graphviz dot ..."),
        (201, 0, "svg", False, None),
    ],
)
def test_graph_warns_of_what_mermaid_cannot_draw_and_shows_progress_for_svg(folder, monkeypatch, files, refs, form, terminal, note):
    if form == "svg" and shutil.which("dot") is None:
        pytest.skip("Graphviz's dot is not installed")
    joins = " join ".join(f"{{{{ ref('r{i}') }}}}" for i in range(refs)) or "t"
    folder({f"m/{i:03}.sql": f"select 1 from {joins}\n" if i == 0 else PLAIN for i in range(files)})
    stderr = io.StringIO()
    stderr.isatty = lambda: terminal
    monkeypatch.setattr(sys, "stderr", stderr)
    monkeypatch.setattr(sys, "stdout", io.StringIO())
    assert cli.main(["graph", "--format", form, "m"]) == 0
    shown = stderr.getvalue()
    assert (note in shown) if note else "edges" not in shown, shown
    assert (f"{files}/{files} files" in shown) == terminal
