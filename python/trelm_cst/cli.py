"""The `trelm-cst` command line: read, check and edit folders of model files.

    trelm-cst inspect models/                   one JSON object per file
    trelm-cst check models/                     syntax errors as path:line:column: message
    trelm-cst set-config style='"view"' models/
    trelm-cst set-config --raw schema='var("schema")' models/
    trelm-cst remove-config --dry-run tags models/
    trelm-cst rename-ref stg_orders orders models/
    trelm-cst rename-source --check raw.orders shop.orders models/

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
# Changes a document and says how many calls it changed.
DocumentEdit = Callable[[Document], int]


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


def run_check(paths: Sequence[str], out: TextIO, err: TextIO) -> int:
    run = start(paths, out, err)
    for path in run.files:
        parsed = run.parsed(path)
        if parsed is not None and str(parsed[1]) != parsed[0]:
            run.fail(f"{path}: does not print back byte for byte; please report this file")
        run.progress.step()
    status = run.exit_status()
    checked = len(run.files)
    err.write(f"{checked} {plural(checked, 'file')} checked, {run.failed} {plural(run.failed, 'problem')}\n")
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
    configs = doc.configs
    if not configs:
        counts.skipped += 1
        run.note(f"{path}: no config(...) call; left unchanged")
        return
    if len(configs) > 1:
        # The later calls override the earlier ones: which one to edit is not ours to guess.
        run.fail(f"{path}: {len(configs)} config calls; edit it by hand")
        return
    config = configs[0]
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


def run_document_edit(
    paths: Sequence[str], edit: DocumentEdit, dry_run: bool, check: bool, out: TextIO, err: TextIO
) -> int:
    """A rename over every file: like set-config, and with --check, nothing
    written and exit status 1 when any file would change."""
    run = start(paths, out, err)
    counts = EditCounts()
    calls = 0
    for path in run.files:
        calls += edit_document_file(run, path, edit, dry_run, check, counts)
        run.progress.step()
    status = run.exit_status()
    verb = "would change" if dry_run or check else "changed"
    err.write(
        f"{verb} {counts.changed} {plural(counts.changed, 'file')} ({calls} {plural(calls, 'call')}), "
        f"{counts.unchanged} unchanged, {run.failed} failed\n"
    )
    if check and counts.changed and status == EXIT_OK:
        return EXIT_FAILED
    return status


def edit_document_file(run: Run, path: str, edit: DocumentEdit, dry_run: bool, check: bool, counts: EditCounts) -> int:
    parsed = run.parsed(path)
    if parsed is None:
        return 0
    before, doc = parsed
    try:
        changed_calls = edit(doc)
    except ValueError as e:
        run.fail(f"{path}: {e}")
        return 0
    after = str(doc)
    if after == before:
        counts.unchanged += 1
        return 0
    if dry_run:
        run.emit(unified_diff(path, before, after))
    elif check:
        run.note(f"{path}: would change")
    else:
        problem = write_model(path, after)
        if problem is not None:
            run.fail(problem)
            return 0
    counts.changed += 1
    return changed_calls


def ref_renamer(old: str, new: str) -> DocumentEdit:
    return lambda doc: doc.rename_ref(old, new)


def source_renamer(old: tuple[str, str], new: tuple[str, str]) -> DocumentEdit:
    return lambda doc: doc.rename_source(old, new)


def source_table(text: str) -> tuple[str, str]:
    source, sep, table = text.partition(".")
    if not sep or not source or not table:
        raise argparse.ArgumentTypeError(f"expected SOURCE.TABLE, got {text!r}")
    return source, table


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
        "values), config_jinja (the Jinja source of the other values), config_calls (how many), refs, "
        "sources, queries (how many) and columns (name, alias, expr, is_templated of the top-level SELECT). "
        "With several config calls, config and config_jinja merge them, later keys over earlier ones; "
        "both are null for a file without a config call.",
    )
    inspect.add_argument("paths", nargs="+", metavar="PATH")

    check = commands.add_parser("check", help="parse every file and report syntax errors")
    check.add_argument("paths", nargs="+", metavar="PATH")

    set_config = commands.add_parser(
        "set-config",
        help="set a config argument in place",
        description="Sets KEY in the config(...) call of every file. VALUE is a Python literal "
        "(a string needs quotes: style='\"view\"'), or Jinja source with --raw. "
        "Files without a config call are reported and left alone; files with several are refused.",
    )
    set_config.add_argument("assignment", type=key_value, metavar="KEY=VALUE")
    set_config.add_argument("paths", nargs="+", metavar="PATH")
    set_config.add_argument("--raw", action="store_true", help="write VALUE as Jinja source, such as var('x')")
    add_dry_run(set_config)

    remove_config = commands.add_parser("remove-config", help="remove a config argument in place")
    remove_config.add_argument("key", metavar="KEY")
    remove_config.add_argument("paths", nargs="+", metavar="PATH")
    add_dry_run(remove_config)

    rename_ref = commands.add_parser(
        "rename-ref",
        help="rename the model that ref() calls name",
        description="Renames OLD to NEW in every ref('OLD') and ref('package', 'OLD') call with string "
        "arguments, in every Jinja tag (those in comments and strings too). Each string keeps its quotes; "
        "keyword arguments such as versions stay.",
    )
    rename_ref.add_argument("old", metavar="OLD")
    rename_ref.add_argument("new", metavar="NEW")
    rename_ref.add_argument("paths", nargs="+", metavar="PATH")
    add_dry_run(rename_ref)
    add_check(rename_ref)

    rename_source = commands.add_parser(
        "rename-source",
        help="rename the source and table that source() calls name",
        description="Renames source('SOURCE', 'TABLE') calls with string arguments to the new names, "
        "in every Jinja tag. The names are split at their first dot.",
    )
    rename_source.add_argument("old", type=source_table, metavar="SOURCE.TABLE")
    rename_source.add_argument("new", type=source_table, metavar="NEW_SOURCE.NEW_TABLE")
    rename_source.add_argument("paths", nargs="+", metavar="PATH")
    add_dry_run(rename_source)
    add_check(rename_source)
    return parser


def add_check(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--check", action="store_true", help="write nothing; exit with status 1 when any file would change"
    )


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
        return run_check(args.paths, out, err)
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
    if args.command == "rename-ref":
        return run_document_edit(args.paths, ref_renamer(args.old, args.new), args.dry_run, args.check, out, err)
    if args.command == "rename-source":
        renamer = source_renamer(args.old, args.new)
        return run_document_edit(args.paths, renamer, args.dry_run, args.check, out, err)
    return run_config_edit(args.paths, remover(args.key), args.dry_run, out, err)
