"""The `trelm-cst` command line: read, check and edit folders of model files.

    trelm-cst inspect models/                   one JSON object per file
    trelm-cst check models/                     path:line:column: severity: message [code]
    trelm-cst set-config style='"view"' models/
    trelm-cst set-config --raw schema='var("schema")' models/
    trelm-cst remove-config --dry-run tags models/

Exit status: 0 when every file went through, 1 when any path could not be
read, parsed or edited (the others are still processed), 2 for bad arguments.
"""

from __future__ import annotations

import argparse
import ast
import difflib
import json
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TextIO

from trelm_cst._describe import describe
from trelm_cst._files import Problem, find_model_files, read_model, write_model
from trelm_cst._native import Config, Document, TrelmSyntaxError, parse_trelm
from trelm_cst._progress import Progress

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2

ConfigEdit = Callable[[Config], None]


class Run:
    """One pass over the files of a command: progress, messages and the
    number of paths that failed."""

    def __init__(self, files: list[str], early: list[Problem], out: TextIO, err: TextIO) -> None:
        self.files = files
        self.out = out
        self.progress = Progress.for_run(err, len(files))
        self.failed = 0
        for problem in early:
            self.fail(problem)

    def fail(self, problem: Problem | str) -> None:
        self.failed += 1
        self.progress.message(str(problem))

    def note(self, text: str) -> None:
        self.progress.message(text)

    def emit(self, text: str) -> None:
        self.progress.clear()
        self.out.write(text)

    def parsed(self, path: str) -> tuple[str, Document] | None:
        """The file's text and document; a failure is reported and gives None."""
        text = read_model(path)
        if isinstance(text, Problem):
            self.fail(text)
            return None
        try:
            return text, parse_trelm(text)
        except TrelmSyntaxError as e:
            self.fail(syntax_message(path, e))
            return None

    def exit_status(self) -> int:
        self.progress.finish()
        return EXIT_FAILED if self.failed else EXIT_OK


def syntax_message(path: str, error: TrelmSyntaxError) -> str:
    """path:line:column: message, the way compilers report, with the column in bytes."""
    message = str(error)
    suffix = f" at line {error.line}, column {error.column}"
    if message.endswith(suffix):
        message = message[: -len(suffix)]
    return f"{path}:{error.line}:{error.column}: {message}"


def start(paths: Sequence[str], out: TextIO, err: TextIO) -> Run:
    early: list[Problem] = []
    files = find_model_files(paths, early.append)
    return Run(files, early, out, err)


def run_inspect(paths: Sequence[str], out: TextIO, err: TextIO) -> int:
    run = start(paths, out, err)
    for path in run.files:
        parsed = run.parsed(path)
        if parsed is not None:
            run.emit(json.dumps(describe(path, parsed[1]), allow_nan=False) + "\n")
        run.progress.step()
    return run.exit_status()


@dataclass(frozen=True)
class Finding:
    """One problem `check` reports: where, how bad, what, and its code."""

    path: str
    line: int
    column: int  # 1-based, in characters
    severity: str  # "error" or "warning"
    message: str
    code: str

    def __str__(self) -> str:
        return f"{self.path}:{self.line}:{self.column}: {self.severity}: {self.message} [{self.code}]"


def findings(path: str, text: str) -> list[Finding]:
    """Every diagnostic of one file's text; a file that does not parse has one."""
    try:
        doc = parse_trelm(text)
    except TrelmSyntaxError as e:
        message = syntax_message(path, e).split(": ", 1)[1]
        return [Finding(path, e.line, character_column(text, e.offset), "error", message, "jinja-syntax")]
    found = [Finding(path, d.line, d.column, d.severity, d.message, d.code) for d in doc.diagnostics()]
    if str(doc) != text:
        found.append(Finding(path, 1, 1, "error", "does not print back byte for byte; please report this file", "round-trip"))
    return found


def character_column(text: str, byte_offset: int) -> int:
    before = text.encode("utf-8")[:byte_offset].decode("utf-8", "ignore")
    return len(before) - (before.rfind("\n") + 1) + 1


def run_check(paths: Sequence[str], strict: bool, out: TextIO, err: TextIO) -> int:
    """Exit 1 when any file has an error (or, with `strict`, a warning)."""
    run = start(paths, out, err)
    errors = warnings = 0
    for path in run.files:
        text = read_model(path)
        if isinstance(text, Problem):
            run.fail(text)
        else:
            for finding in findings(path, text):
                if finding.severity == "error":
                    errors += 1
                else:
                    warnings += 1
                run.emit(f"{finding}\n")
        run.progress.step()
    status = run.exit_status()
    if errors or (strict and warnings):
        status = EXIT_FAILED
    checked = len(run.files)
    problems = run.failed + errors + warnings
    err.write(
        f"{checked} {plural(checked, 'file')} checked, {problems} {plural(problems, 'problem')}"
        + (f" ({errors} {plural(errors, 'error')}, {warnings} {plural(warnings, 'warning')})" if errors or warnings else "")
        + "\n"
    )
    return status


@dataclass
class EditCounts:
    changed: int = 0
    unchanged: int = 0
    skipped: int = 0


def run_config_edit(paths: Sequence[str], edit: ConfigEdit, dry_run: bool, out: TextIO, err: TextIO) -> int:
    run = start(paths, out, err)
    counts = EditCounts()
    for path in run.files:
        edit_file(run, path, edit, dry_run, counts)
        run.progress.step()
    status = run.exit_status()
    verb = "would change" if dry_run else "changed"
    err.write(
        f"{verb} {counts.changed} {plural(counts.changed, 'file')}, {counts.unchanged} unchanged, "
        f"{counts.skipped} without a config call, {run.failed} failed\n"
    )
    return status


def edit_file(run: Run, path: str, edit: ConfigEdit, dry_run: bool, counts: EditCounts) -> None:
    parsed = run.parsed(path)
    if parsed is None:
        return
    before, doc = parsed
    config = doc.config
    if config is None:
        counts.skipped += 1
        run.note(f"{path}: no config(...) call; left unchanged")
        return
    try:
        edit(config)
    except (ValueError, TypeError, OverflowError) as e:
        run.fail(f"{path}: {e}")
        return
    after = str(doc)
    if after == before:
        counts.unchanged += 1
        return
    if dry_run:
        run.emit(unified_diff(path, before, after))
    else:
        problem = write_model(path, after)
        if problem is not None:
            run.fail(problem)
            return
    counts.changed += 1


def setter(key: str, value: object) -> ConfigEdit:
    def edit(config: Config) -> None:
        config[key] = value  # type: ignore[assignment]  # the module refuses what it cannot write

    return edit


def raw_setter(key: str, source: str) -> ConfigEdit:
    def edit(config: Config) -> None:
        config.set_raw(key, source)

    return edit


def remover(key: str) -> ConfigEdit:
    def edit(config: Config) -> None:
        try:
            del config[key]
        except KeyError:
            pass  # not set: nothing to remove

    return edit


def unified_diff(path: str, before: str, after: str) -> str:
    lines = difflib.unified_diff(lines_of(before), lines_of(after), fromfile=path, tofile=path)
    return "".join(line if line.endswith("\n") else line + "\n\\ No newline at end of file\n" for line in lines)


def lines_of(text: str) -> list[str]:
    """Lines split at line feeds only, each keeping its end (a carriage return
    stays with its line): str.splitlines would also split at form feeds and
    other separators that are no line ends in a model file."""
    parts = text.split("\n")
    lines = [part + "\n" for part in parts[:-1]]
    if parts[-1]:
        lines.append(parts[-1])
    return lines


def plural(count: int, word: str) -> str:
    return word if count == 1 else word + "s"


def python_literal(text: str) -> tuple[object, str | None]:
    """A VALUE argument read as a Python literal, or why it cannot be."""
    try:
        return ast.literal_eval(text), None
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        return None, (
            f"cannot read {text!r} as a Python literal: quote strings (key='\"view\"'), "
            "or pass --raw to write Jinja source"
        )


def key_value(text: str) -> tuple[str, str]:
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    return key, value


def build_parser(prog: str | None) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Read, check and edit SQL model files with Jinja tags. "
        "Folders are searched for *.sql files; files named directly are read whatever their name.",
        epilog="Exit status: 0 when every file went through, 1 when any failed, 2 for bad arguments.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    inspect = commands.add_parser(
        "inspect",
        help="print one JSON object per file: config, refs, sources, queries, columns",
        description="Prints one JSON object per file (JSON Lines) with the keys path, config (literal "
        "values), config_jinja (the Jinja source of the other values), refs, sources, queries (how many) "
        "and columns (name, alias, expr, is_templated of the top-level SELECT). "
        "config and config_jinja are null for a file without a config call.",
    )
    inspect.add_argument("paths", nargs="+", metavar="PATH")

    check = commands.add_parser(
        "check",
        help="report what the template engine would refuse, and unpaired SQL brackets",
        description="Prints one line per problem: path:line:column: severity: message [code]. "
        "Exits 1 when any file has an error; warnings alone exit 0 unless --strict.",
    )
    check.add_argument("paths", nargs="+", metavar="PATH")
    check.add_argument("--strict", action="store_true", help="exit 1 on warnings too")

    set_config = commands.add_parser(
        "set-config",
        help="set a config argument in place",
        description="Sets KEY in the config(...) call of every file. VALUE is a Python literal "
        "(a string needs quotes: style='\"view\"'), or Jinja source with --raw. "
        "Files without a config call are reported and left alone.",
    )
    set_config.add_argument("assignment", type=key_value, metavar="KEY=VALUE")
    set_config.add_argument("paths", nargs="+", metavar="PATH")
    set_config.add_argument("--raw", action="store_true", help="write VALUE as Jinja source, such as var('x')")
    add_dry_run(set_config)

    remove_config = commands.add_parser("remove-config", help="remove a config argument in place")
    remove_config.add_argument("key", metavar="KEY")
    remove_config.add_argument("paths", nargs="+", metavar="PATH")
    add_dry_run(remove_config)
    return parser


def add_dry_run(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "-n", "--dry-run", action="store_true", help="print a unified diff instead of writing the files"
    )


def package_version() -> str:
    from trelm_cst import __version__

    return __version__


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    out, err = sys.stdout, sys.stderr
    if args.command == "inspect":
        return run_inspect(args.paths, out, err)
    if args.command == "check":
        return run_check(args.paths, args.strict, out, err)
    if args.command == "set-config":
        key, value_text = args.assignment
        if args.raw:
            edit = raw_setter(key, value_text)
        else:
            value, problem = python_literal(value_text)
            if problem is not None:
                parser.error(problem)
            edit = setter(key, value)
        return run_config_edit(args.paths, edit, args.dry_run, out, err)
    return run_config_edit(args.paths, remover(args.key), args.dry_run, out, err)
