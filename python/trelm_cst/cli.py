"""The `trelm-cst` command line: read, check and edit folders of model files.

    trelm-cst inspect models/                   one JSON object per file
    trelm-cst check models/                     path:line:column: severity: message [code]
    trelm-cst check --project models/           also missing refs, names defined twice, cycles
    trelm-cst graph --format mermaid models/    the models, their refs and sources as a flowchart
    trelm-cst set-config style='"view"' models/
    trelm-cst set-config --raw schema='var("schema")' models/
    trelm-cst remove-config --check tags models/
    trelm-cst rename-ref stg_orders orders models/
    trelm-cst rename-source --check raw.orders shop.orders models/
    trelm-cst rename-model --diff stg_orders orders .   move the file and rewrite its refs
    trelm-cst check -j 4 models/                four workers (default, or -j 0: one per processor)
    trelm-cst lsp                               the language server for editors (the lsp extra)

Exit status: 0 when every file went through, 1 when any path could not be
read, parsed or edited (the others are still processed) or, with --check,
when a file would change; 2 for bad arguments; 130 (143) after Ctrl-C (SIGTERM);
141 when the reader of the output goes away (`trelm-cst inspect . | head`).
"""

from __future__ import annotations

import argparse
import ast
import difflib
import json
import os
import re
import sys
from collections.abc import Callable, Collection, Sequence
from concurrent.futures import BrokenExecutor
from contextlib import nullcontext
from dataclasses import dataclass, field, replace
from typing import Any, TextIO, TypeVar

from trelm_cst import _interrupts, _jobs
from trelm_cst._describe import describe
from trelm_cst._graph import RENDERERS, GraphError
from trelm_cst._files import (
    ModelFile,
    Problem,
    find_model_files,
    git_quoted,
    missing_paths,
    printable,
    read_model,
    read_standard_input,
    syntax_problem,
    write_model,
)
from trelm_cst._native import Config, Document, TrelmSyntaxError, parse_trelm
from trelm_cst._progress import Progress
from trelm_cst._layout import Layout, LayoutSearch, Properties, properties_of
from trelm_cst._project import (
    Entry,
    GraphNode,
    Model,
    Project,
    collector_paused,
    entry_of,
    model_name,
    read_entry,
    records_of,
)
from trelm_cst._settings import Settings, SettingsError, anchored_excludes, code_name, tag_name
from trelm_cst._suppress import Suppression, read_suppressions, silenced

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_OUTPUT_CLOSED = 128 + 13  # as if ended by SIGPIPE, what a shell shows for `... | head`

STDIN = "-"
STDIN_NAME = "<stdin>"

Reader = Callable[[str], "ModelFile | Problem"]
R = TypeVar("R")


class UsageError(Exception):
    """A fault of the command line itself: reported once, exit status 2."""


# ---------------------------------------------------------------- one run


class Run:
    """One pass over the files of a command: progress, messages and the
    number of paths that failed. Messages go to stderr; with `quiet` only
    failures are printed. The files are handled by up to `jobs` workers."""

    def __init__(
        self, files: list[str], read: Reader, out: TextIO, err: TextIO, quiet: bool, progress: bool, jobs: int = 1
    ) -> None:
        self.files = files
        self.read = read
        self.out = out
        self.quiet = quiet
        self.jobs = jobs
        self.progress = Progress.for_run(err, len(files), enabled=progress and not quiet)
        self.failed = 0
        self.summary: Callable[[], str] | None = None
        self.layout = Layout()  # the project folders, for a command that reads files as projects

    def fail(self, problem: Problem | str) -> None:
        self.failed += 1
        self.progress.message(str(problem))

    def note(self, text: str) -> None:
        if not self.quiet:
            self.progress.message(text)

    def emit(self, text: str) -> None:
        self.progress.clear()
        self.out.write(printable(text))

    def emit_exact(self, text: str) -> None:
        """Writes text as UTF-8 bytes, whatever the encoding of the stream."""
        self.progress.clear()
        binary = getattr(self.out, "buffer", None)
        if binary is None:
            self.out.write(text)
            return
        self.out.flush()
        binary.write(printable(text).encode("utf-8"))
        binary.flush()

    def finish(self, status: int) -> int:
        self.progress.finish()
        if self.summary is not None and not self.quiet:
            self.progress.message(self.summary())
        return status

    def exit_status(self) -> int:
        return self.finish(EXIT_FAILED if self.failed else EXIT_OK)

    def each_file(
        self,
        work: Callable[[Any], R],
        handle: Callable[[R], None],
        atomic: bool = False,
        items: Sequence[Any] | None = None,
    ) -> None:
        """handle(work(path)) for every file (or each of `items`), in order.
        `work` may run in a worker (a forked process, so it must only read
        the run and give back a picklable result); `handle` runs here. With
        `atomic`, a signal waits until the file at hand is done and handled,
        and the files the workers already started are finished and handled
        too: a file written is a file counted."""
        items = self.files if items is None else items
        results = _jobs.InOrder(work, items, self.jobs)
        if results.serial:
            for path in items:
                with _interrupts.deferred() if atomic else nullcontext():
                    handle(work(path))
            return
        try:
            while True:
                # A signal lands only between files (the pool's start
                # included), so no result is lost or handled twice.
                with _interrupts.deferred():
                    more, result = results.take()
                    if not more:
                        return
                    handle(result)  # type: ignore[arg-type]  # a result, since there was one more
        except _interrupts.Interrupted:
            if atomic:
                with _interrupts.deferred():
                    for result in results.started():
                        handle(result)
            raise
        finally:
            results.close()


def start(args: argparse.Namespace, out: TextIO, err: TextIO) -> Run:
    """The run over the paths of the command line, or over standard input."""
    if args.paths == [STDIN]:
        data = sys.stdin.buffer.read()
        name = args.stdin_filename or STDIN_NAME
        return Run([name], lambda _: read_standard_input(name, data), out, err, args.quiet, progress=False)
    if args.command in ("rename-model", "lineage"):
        # Reads its files as a project itself, when it runs.
        return Run([], read_model, out, err, args.quiet, progress=False)
    early: list[Problem] = []
    # A project counts each name (a link included) as a model; other commands handle each file once.
    whole_project = args.command == "graph" or (args.command == "check" and args.project)
    settings: Settings = args.settings
    anchored = anchored_excludes(settings)
    # A project's layout is found on the walk for its model files.
    search = LayoutSearch(settings) if whole_project else None
    visitor = search.visitor if search is not None else None
    files = find_model_files(args.paths, early.append, args.exclude, not whole_project, anchored, visitor)
    jobs = args.jobs if args.jobs is not None else _jobs.default_jobs()
    run = Run(files, read_model, out, err, args.quiet, progress=args.progress, jobs=jobs)
    if search is not None:
        # check reads the YAML property files in its workers, beside the model files.
        run.layout = search.layout(read_yaml=args.command != "check")
    for problem in early:
        run.fail(problem)
    return run


def parse_model(model: ModelFile) -> Document | Problem:
    try:
        return parse_trelm(model.text)
    except TrelmSyntaxError as e:
        return syntax_problem(model.path, e, model.text)


def failure(path: str, error: BaseException) -> Problem:
    """A MemoryError or OSError met while handling one file."""
    if isinstance(error, MemoryError):
        return Problem(path, "out of memory")
    assert isinstance(error, OSError)
    return Problem(path, str(error.strerror or error))


# ---------------------------------------------------------------- inspect


def inspect_path(path: str, read: Reader) -> str | Problem:
    """One JSON line for the file, or why there is none."""
    try:
        model = read(path)
        if isinstance(model, Problem):
            return model
        doc = parse_model(model)
        if isinstance(doc, Problem):
            return doc
        return json.dumps(describe(path, doc), allow_nan=False) + "\n"
    except (MemoryError, OSError) as e:
        return failure(path, e)


def run_inspect(run: Run) -> int:
    def handle(result: str | Problem) -> None:
        if isinstance(result, Problem):
            run.fail(result)
        else:
            run.emit(result)
        run.progress.step()

    run.each_file(lambda path: inspect_path(path, run.read), handle)
    return run.exit_status()


# ---------------------------------------------------------------- check


@dataclass(frozen=True)
class Finding:
    """One problem `check` reports: where, how bad, what, and a code naming its kind."""

    path: str
    line: int | None
    column: int | None
    severity: str  # "error", "warning" or "info"
    message: str
    code: str
    # (start, end) indexes into the text where the checker knows them: an editor underlines that much.
    span: tuple[int, int] | None = field(default=None, compare=False)

    @classmethod
    def of(cls, problem: Problem) -> Finding:
        return cls(problem.path, problem.line, problem.column, "error", problem.message, problem.code)


@dataclass
class Checked:
    """What `check` learnt from one file: its findings (those its own
    comments silence left out), its suppression comments (kept for the
    project's findings and for reporting the unused ones) and, for a
    project, its record (as an entry for records_of() where the file parses)."""

    path: str
    findings: list[Finding]
    suppressions: list[Suppression] = field(default_factory=list)
    record: Entry | Model | None = None


def codes(text: str) -> list[str]:
    """The codes of a comma-separated list on the command line."""
    found = [code.strip() for code in text.split(",")]
    for code in found:
        why = code_name("", code) if code else "an empty code"
        if why is not None:
            raise argparse.ArgumentTypeError(why)
    return found


def extension_tag(name: str) -> str:
    why = tag_name("--extension-tag", name)
    if why is not None:
        raise argparse.ArgumentTypeError(why)
    return name


def check_path(
    path: str,
    read: Reader,
    project: bool = False,
    extension_tags: Sequence[str] = (),
    settings: Settings | None = None,
) -> Checked:
    """The findings of one file and, for `project`, its record in the project
    (from the same parse). A finding the settings do not report is left for
    the caller to drop, unsilenced, so that its suppression counts as unused."""
    settings = settings if settings is not None else Settings()
    found: list[Finding] = []
    try:
        model = read(path)
        if isinstance(model, Problem):
            found = [Finding.of(model)]
        else:
            found, doc, suppressions = checked_text(path, model.text, extension_tags, settings)
            if doc is not None:
                return Checked(path, found, suppressions, entry_of(path, model.text, doc) if project else None)
    except (MemoryError, OSError) as e:
        found = [Finding.of(failure(path, e))]
    # A file that yields no refs still defines its model.
    why = found[0]
    error = Problem(path, why.message, why.line, why.column, why.code)
    return Checked(path, found, record=Model(model_name(path), path, error=error) if project else None)


def checked_text(
    path: str, text: str, extension_tags: Sequence[str] = (), settings: Settings | None = None
) -> tuple[list[Finding], Document | None, list[Suppression]]:
    """The findings of one file's text that its own comments leave, the
    document (None when the text does not parse) and its suppression comments.
    A finding the settings do not report is left for the caller to drop,
    unsilenced, so that its suppression counts as unused."""
    settings = settings if settings is not None else Settings()
    found, doc = findings(path, text, extension_tags)
    if doc is None:
        return found, None, []
    suppressions, malformed = read_suppressions(doc, text)
    found = [f for f in found if not silenceable(settings, f) or not silenced(suppressions, f.line, f.code)]
    if malformed:
        for m in malformed:
            found.append(Finding(path, m.line, m.column, "warning", m.message, "invalid-suppression"))
        found.sort(key=lambda f: (f.line is None, f.line or 0, f.column or 0))
    return found, doc, suppressions


# Findings no comment silences: about the checker itself, or about comments.
UNSILENCED = frozenset({"round-trip", "invalid-suppression", "unused-suppression"})


def silenceable(settings: Settings, finding: Finding) -> bool:
    """Whether a comment may silence the finding: one the settings do not report
    is not silenced, so that a comment meant for it alone is unused."""
    return finding.code not in UNSILENCED and settings.reports(finding.path, finding.code)


def findings(path: str, text: str, extension_tags: Sequence[str] = ()) -> tuple[list[Finding], Document | None]:
    """Every diagnostic of one file's text, and the document; a file that does
    not parse has one diagnostic and no document."""
    try:
        doc = parse_trelm(text)
    except TrelmSyntaxError as e:
        return [Finding.of(syntax_problem(path, e, text))], None
    diagnostics = doc.diagnostics(extension_tags=extension_tags)
    found = [Finding(path, d.line, d.column, d.severity, d.message, d.code, d.span) for d in diagnostics]
    if str(doc) != text:
        message = "does not print back byte for byte; please report this file"
        found.append(Finding(path, None, None, "error", message, "round-trip"))
    return found, doc


# What only `check --project` finds: without it, a suppression of these (or
# of every code) may be used all the same.
PROJECT_CODES = frozenset(
    {"missing-ref", "duplicate-name", "cycle", "unused-model", "missing-source", "ambiguous-ref", "yaml-syntax"}
)


def unused_suppressions(path: str, suppressions: list[Suppression], project: bool) -> list[Finding]:
    """A warning for each suppression comment, or code in one, that silenced
    nothing; without `project`, only of codes a file check finds."""
    found = []
    for suppression in suppressions:
        codes = suppression.unused_codes()
        if not project and codes is not None:
            codes = [code for code in codes if code not in PROJECT_CODES]
        if codes == [] or (codes is None and not project):
            continue
        what = "suppression" if codes is None else f"suppression of {', '.join(f'`{c}`' for c in codes)}"
        message = f"{what} silences nothing"
        found.append(Finding(path, suppression.line, suppression.column, "warning", message, "unused-suppression"))
    return found


def text_line(finding: Finding) -> str:
    where = finding.path if finding.line is None else f"{finding.path}:{finding.line}:{finding.column}"
    return f"{where}: {finding.severity}: {finding.message} [{finding.code}]"


def json_line(finding: Finding) -> str:
    return json.dumps(
        {
            "path": finding.path,
            "line": finding.line,
            "column": finding.column,
            "severity": finding.severity,
            "code": finding.code,
            "message": finding.message,
        }
    )


def github_line(finding: Finding) -> str:
    """A workflow command that GitHub Actions shows as an annotation."""
    where = f"file={github_escape(finding.path, True)}"
    if finding.line is not None:
        where += f",line={finding.line},col={finding.column}"
    level = {"warning": "warning", "info": "notice"}.get(finding.severity, "error")
    return f"::{level} {where}::{github_escape(f'{finding.message} [{finding.code}]', False)}"


def github_escape(text: str, is_property: bool) -> str:
    text = text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")
    return text.replace(":", "%3A").replace(",", "%2C") if is_property else text


FORMATS: dict[str, Callable[[Finding], str]] = {"text": text_line, "json": json_line, "github": github_line}


def project_findings(
    project: Project, paths: Collection[str] | None = None, information: Collection[str] | None = None
) -> list[Finding]:
    """What is wrong between the files: YAML files that do not load, refs to
    no model, undeclared sources, ambiguous refs, names defined twice, cycles
    (each once, at the ref call that first closes it), and models nothing
    reads (as information: with `information`, in these files only). With
    `paths`, those in these files only, in the same order."""
    keep: Callable[[str], bool] = (lambda path: True) if paths is None else paths.__contains__
    # A YAML file that does not load says where, but for one it cannot read at all: its start then.
    found = [Finding.of(problem) for problem in project.layout.problems if keep(problem.path)]
    found = [f if f.line is not None else Finding(f.path, 1, 1, f.severity, f.message, f.code) for f in found]
    found += [
        Finding(ref.path, ref.line, ref.column, "error", f"ref to {ref.model!r}, which no model file defines", code)
        for ref in project.missing_refs
        if keep(ref.path)
        for code in ["missing-ref"]
    ]
    for ref in project.missing_sources:
        if keep(ref.path):
            message = f"source {'.'.join(ref.source or ())!r} is declared in no YAML property file"
            found.append(Finding(ref.path, ref.line, ref.column, "warning", message, "missing-source"))
    for ref, candidates in project.ambiguous_refs:
        if keep(ref.path):
            message = f"ref to {ref.model!r} is ambiguous: defined by {', '.join(candidates)}"
            found.append(Finding(ref.path, ref.line, ref.column, "warning", message, "ambiguous-ref"))
    for name, defined in project.duplicate_names.items():
        if not any(keep(path) for path in defined[1:]):
            continue
        kind = next(kind for kind in ("model", "seed", "snapshot") if project.definition((kind, name)))
        for again in project.defined_by(name)[1:]:
            if keep(again.path):
                message = f"{kind} {name!r} is defined again; first by {defined[0]}"
                found.append(Finding(again.path, again.line, again.column, "error", message, "duplicate-name"))
    for cycle in project.cycle_refs():
        ref = cycle.ref
        if not keep(ref.path):
            continue
        if len(cycle.models) == 1:
            message = f"model {cycle.models[0]!r} reads itself"
        else:
            message = f"models read each other in a cycle: {', '.join(cycle.models)}"
        found.append(Finding(ref.path, ref.line, ref.column, "error", message, "cycle"))
    unused = project.unused() if paths is None else project._unused_in(paths)
    for name in unused:
        model = project.models[name]
        if information is None or model.path in information:
            message = "no model reads this one"
            found.append(Finding(model.path, model.line, model.column, "info", message, "unused-model"))
    return found


def run_check(
    run: Run,
    form: str,
    strict: bool,
    project: bool = False,
    verbose: bool = False,
    extension_tags: Sequence[str] = (),
    settings: Settings | None = None,
) -> int:
    """Exit 1 when any file has an error (or, with `strict`, a warning).
    With `project`, the files are also checked as one project. With
    `strict`, suppression comments that silence nothing are warnings.
    The settings' check table chooses the codes reported."""
    render = FORMATS[form]
    settings = settings if settings is not None else Settings()
    errors = warnings = information = 0

    def summary() -> str:
        done, problems = run.progress.done, errors + warnings + information
        counts = f"{errors} {plural(errors, 'error')}, {warnings} {plural(warnings, 'warning')}"
        if verbose:
            counts += f", {information} information"
        counts = f" ({counts})" if problems else ""
        return f"{done} {plural(done, 'file')} checked, {problems} {plural(problems, 'problem')}{counts}"

    def report(finding: Finding) -> None:
        nonlocal errors, warnings, information
        if not settings.reports(finding.path, finding.code):
            return
        if finding.severity == "info":
            if not verbose:
                return
            information += 1
        elif finding.severity == "error":
            errors += 1
        else:
            warnings += 1
        run.emit(render(finding) + "\n")

    records: list[Entry | Model] = []
    # Kept until the project's findings are in: they may use them too.
    suppressions: dict[str, list[Suppression]] = {}

    def handle(result: Checked) -> None:
        for finding in result.findings:
            report(finding)
        if result.record is not None:
            records.append(result.record)
        if result.suppressions:
            if project:
                suppressions[result.path] = result.suppressions
            elif strict:
                for finding in unused_suppressions(result.path, result.suppressions, project=False):
                    report(finding)
        run.progress.step()

    def work(item: str | tuple[str, str]) -> Checked | Properties:
        if isinstance(item, tuple):  # a YAML property file and its project
            return properties_of(*item)
        return check_path(item, run.read, project, extension_tags, settings)

    def handle_any(result: Checked | Properties) -> None:
        if isinstance(result, Properties):
            run.layout.add(result)
        else:
            handle(result)

    run.summary = summary
    unread, run.layout.unread = run.layout.unread, []
    # The records are kept until the project is built: passes of the collector
    # over them would find nothing to free. They are let go of before it
    # resumes, and no pass goes over them.
    with collector_paused() if project else nullcontext():
        run.each_file(work, handle_any, items=[*run.files, *unread])
        if project:
            # The files were all reported above; here only what lies between them.
            # Information is reported with `verbose` alone; else it only uses
            # the suppressions of its files, and thousands of unused models
            # elsewhere are not worth their findings.
            informed = None if verbose else suppressions
            found = project_findings(Project(records_of(records), run.layout, settings.external), None, informed)
            records.clear()
            for finding in found:
                if not silenceable(settings, finding) or not silenced(
                    suppressions.get(finding.path, []), finding.line, finding.code
                ):
                    report(finding)
    if strict:
        for path, kept in suppressions.items():
            for finding in unused_suppressions(path, kept, project=True):
                report(finding)
    failed = errors or run.failed or (strict and warnings)
    return run.finish(EXIT_FAILED if failed else EXIT_OK)


# ---------------------------------------------------------------- graph


# Mermaid's renderers refuse a chart with more edges than this by default.
MERMAID_MAX_EDGES = 500


def selected_node(project: Project, name: str) -> GraphNode:
    """The node --select names: a model, else a seed or snapshot (by name or
    node id). Raises KeyError for none, ValueError when several projects
    define it."""
    try:
        return ("model", project.id_of(project.model(name)))
    except KeyError:
        pass
    seeds: list[GraphNode] = [("seed", key) for key in project.seeds]
    snapshots: list[GraphNode] = [("snapshot", key) for key in project.snapshots]
    found = [node for node in seeds + snapshots if node[1] == name or node[1].endswith("/" + name)]
    if len(found) > 1:
        raise ValueError(f"{name!r} is defined in several projects: {', '.join(key for _, key in found)}")
    if not found:
        raise KeyError(name)
    return found[0]


def run_graph(run: Run, args: argparse.Namespace) -> int:
    """Prints the graph of the files, or the part around --select."""
    records: list[Entry | Model] = []

    def handle(record: Entry | Model) -> None:
        records.append(record)
        run.progress.step()

    with collector_paused():  # the records are kept to the end
        run.each_file(read_entry, handle)
        project = Project(records_of(records), run.layout, args.settings.external)
    for problem in project.problems:
        run.fail(problem)
    if args.select is None:
        nodes = project.nodes()
    else:
        try:
            selected = selected_node(project, args.select)
        except KeyError:
            run.progress.message(f"no model, seed or snapshot named {args.select!r}")
            return run.finish(EXIT_USAGE)
        except ValueError as e:
            run.progress.message(f"{e}; name one as project/name")
            return run.finish(EXIT_USAGE)
        both = not args.upstream and not args.downstream
        nodes = project.around(selected, args.upstream or both, args.downstream or both, args.depth)
    links = project.links(nodes)
    if args.format == "mermaid" and len(links) > MERMAID_MAX_EDGES:
        run.note(
            f"warning: {len(links)} edges; mermaid renderers draw at most {MERMAID_MAX_EDGES} by default: "
            "draw part of the graph with --select NAME (and --depth N)"
        )
    if args.format == "svg":
        # dot says nothing while it works, which on a large project takes a while.
        drawn = f"{len(nodes)} {plural(len(nodes), 'node')} and {len(links)} {plural(len(links), 'edge')}"
        run.progress.status(f"drawing {drawn} with Graphviz dot")
    try:
        text = RENDERERS[args.format](project, nodes, links)
    except GraphError as e:
        run.progress.message(str(e))
        return run.finish(EXIT_FAILED)
    run.emit(text)
    return run.exit_status()


def job_count(text: str) -> int:
    """A number of workers; 0 asks for one per processor."""
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of jobs (0: one per processor), got {text!r}")
    return value or _jobs.default_jobs()


def depth(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number of steps, got {text!r}")
    return value


# ---------------------------------------------------------------- editing


class Skip(Exception):
    """The file holds nothing the command edits: reported, not a failure."""


# An edit: the text of a file to its new text and the number of calls it
# changed. It raises Skip, or ValueError, TypeError or OverflowError for an
# edit it cannot make in that file.
Transform = Callable[[str, str], tuple[str, int]]  # (path, text) -> (new text, calls changed)


@dataclass(frozen=True)
class EditCommand:
    transform: Transform
    skipped: str | None  # how the summary names skipped files, such as "without a config call"
    counted: str | None = None  # what the summary counts besides files, such as "call" (calls changed)
    # A rename that changes no call names nothing the files hold, most likely a
    # misspelling: it says so (this text) and fails.
    none_found: str | None = None


@dataclass(frozen=True)
class EditMode:
    write: bool  # replace the files
    diff: bool  # print a unified diff of each change
    check: bool  # exit 1 when any file would change
    to_stdout: bool  # standard input: print the edited text
    list_skipped: bool = False  # name each skipped file, not only count it

    @classmethod
    def of(cls, args: argparse.Namespace) -> EditMode:
        from_stdin = args.paths == [STDIN]
        diff = args.dry_run or args.diff
        leave = diff or args.check
        return cls(
            write=not leave and not from_stdin,
            diff=diff,
            check=args.check,
            to_stdout=not leave and from_stdin,
            list_skipped=getattr(args, "verbose", False),
        )


@dataclass
class Edited:
    """What became of one file."""

    outcome: str  # "changed", "unchanged", "skipped" or "failed"
    message: str | None = None
    output: str = ""
    calls: int = 0  # what the command counts besides files: calls changed, config calls added


def edit_path(path: str, read: Reader, transform: Transform, mode: EditMode) -> Edited:
    """Reads, edits and (in write mode) rewrites one file."""
    try:
        model = read(path)
        if isinstance(model, Problem):
            return Edited("failed", str(model))
        return edit_model(model, transform, mode)
    except (MemoryError, OSError) as e:
        return Edited("failed", str(failure(path, e)))


def edit_model(model: ModelFile, transform: Transform, mode: EditMode) -> Edited:
    path, before = model.path, model.text
    try:
        after, calls = transform(path, before)
    except Skip as e:
        return Edited("skipped", f"{path}: {e}; left unchanged", before if mode.to_stdout else "")
    except TrelmSyntaxError as e:
        return Edited("failed", str(syntax_problem(path, e, before)))
    except (ValueError, TypeError, OverflowError) as e:
        return Edited("failed", str(Problem(path, str(e), code="edit-refused")))
    if after == before:
        return Edited("unchanged", None, after if mode.to_stdout else "", calls)
    if mode.to_stdout:
        return Edited("changed", None, after, calls)
    if mode.write:
        problem = write_model(model, after)
        if problem is not None:
            return Edited("failed", str(problem), calls=calls)
        return Edited("changed", calls=calls)
    message = None if mode.diff else f"{path}: would change"
    return Edited("changed", message, unified_diff(path, before, after) if mode.diff else "", calls)


@dataclass
class EditCounts:
    by_outcome: dict[str, int] = field(default_factory=lambda: dict.fromkeys(("changed", "unchanged", "skipped"), 0))
    calls: int = 0

    def summary(self, run: Run, command: EditCommand, mode: EditMode) -> str:
        changed = self.by_outcome["changed"]
        verb = "changed" if mode.write or mode.to_stdout else "would change"
        detail = f" ({self.calls} {plural(self.calls, command.counted)})" if command.counted is not None else ""
        skipped = f"{self.by_outcome['skipped']} {command.skipped}, " if command.skipped is not None else ""
        return (
            f"{verb} {changed} {plural(changed, 'file')}{detail}, {self.by_outcome['unchanged']} unchanged, "
            f"{skipped}{run.failed} failed"
        )


def run_edit(run: Run, command: EditCommand, mode: EditMode) -> int:
    """The driver of every editing command: each file through `command.transform`,
    then written, diffed or only counted as `mode` says."""
    counts = EditCounts()
    run.summary = lambda: counts.summary(run, command, mode)

    def handle(edited: Edited) -> None:
        counts.calls += edited.calls
        if edited.outcome == "failed":
            assert edited.message is not None  # a failure always says why
            run.fail(edited.message)
        else:
            counts.by_outcome[edited.outcome] += 1
            if edited.message is not None and (edited.outcome != "skipped" or mode.list_skipped):
                run.note(edited.message)
        if edited.output:
            run.emit_exact(edited.output)
        run.progress.step()

    # Atomic: a signal waits until the file is done and counted, so that the
    # count printed on the way out is exact.
    run.each_file(lambda path: edit_path(path, run.read, command.transform, mode), handle, atomic=True)
    would_change = mode.check and counts.by_outcome["changed"] > 0
    if command.none_found is not None and counts.calls == 0 and not run.failed:
        status = run.finish(EXIT_FAILED)
        run.progress.message(command.none_found)
        return status
    return run.finish(EXIT_FAILED if run.failed or would_change else EXIT_OK)


def unified_diff(path: str, before: str, after: str) -> str:
    """A diff with a/ and b/ prefixes, as `git apply` and `patch -p1` take it:
    names quoted as git quotes them, and ended by a tab when they hold a space."""
    name = diff_name(path)
    end = "\t" if " " in name else ""
    old, new = git_quoted(f"a/{name}") + end, git_quoted(f"b/{name}") + end
    lines = difflib.unified_diff(lines_of(before), lines_of(after), fromfile=old, tofile=new)
    return "".join(line if line.endswith("\n") else line + "\n\\ No newline at end of file\n" for line in lines)


def diff_name(path: str) -> str:
    """The path relative to the current folder when it lies below it."""
    relative = os.path.relpath(path) if os.path.isabs(path) else os.path.normpath(path)
    chosen = path if relative.startswith("..") else relative
    return chosen.replace(os.sep, "/")


def lines_of(text: str) -> list[str]:
    """Lines split at line feeds only, each keeping its end (a carriage return
    stays with its line): str.splitlines would also split at form feeds and
    other separators that are no line ends in a model file."""
    parts = text.split("\n")
    lines = [part + "\n" for part in parts[:-1]]
    if parts[-1]:
        lines.append(parts[-1])
    return lines


# ---------------------------------------------------------------- config edits

ConfigEdit = Callable[[Config], None]

# What a config call takes as a keyword argument; any other key only in the dict form.
ARGUMENT_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


QUOTES = ("'", '"')


def config_transform(edit: ConfigEdit, new_calls: dict[str, str] | None = None) -> Transform:
    """The edit on the file's one config call; a file without one is skipped or,
    given `new_calls` (the call's text by quote), gets one at the top, counted
    as one call."""

    def transform(path: str, text: str) -> tuple[str, int]:
        doc = parse_trelm(text)
        configs = doc.configs
        if not configs and new_calls is not None:
            return with_call_on_top(text, new_calls[string_quote(doc)]), 1
        if not configs:
            raise Skip("no config(...) call")
        if len(configs) > 1:
            # Later calls override earlier ones: which one to edit is not ours to guess.
            raise ValueError(f"{len(configs)} config calls; edit it by hand")
        edit(configs[0])
        return str(doc), 0

    return transform


def config_command(key: str, edit: ConfigEdit, trial: ConfigEdit | None = None, create: bool = False) -> EditCommand:
    """The command after trying the edit (or `trial`) once on an empty config
    call, so that a key or value no file could take is a usage error and not
    one per file. A key that is no argument name is tried on a call written as
    one dict, the form that takes it; files in the keyword form refuse it one by one.
    With `create`, that call, edited, is the one added to files without one."""
    blank = parse_trelm("{{ config() }}" if ARGUMENT_NAME.fullmatch(key) else "{{ config({}) }}").config
    assert blank is not None
    try:
        (trial or edit)(blank)
    except (ValueError, TypeError, OverflowError) as e:
        # The module's advice names its method; here the option does that.
        raise UsageError(str(e).replace("use set_raw()", "pass --raw")) from None
    if create:
        calls = {quote: new_config_call(key, edit, quote) for quote in QUOTES}
        return EditCommand(config_transform(edit, calls), None, counted="new config call")
    return EditCommand(config_transform(edit), "without a config call")


def new_config_call(key: str, edit: ConfigEdit, quote: str) -> str:
    """The text of a config call holding only the edit, written by the module
    itself; a placeholder argument, removed after, gives it the quote to follow."""
    name = "_" if key != "_" else "__"
    placeholder = f"{name}={quote} {quote}" if ARGUMENT_NAME.fullmatch(key) else f"{{{quote}{name}{quote}: 0}}"
    doc = parse_trelm(f"{{{{ config({placeholder}) }}}}")
    config = doc.config
    assert config is not None
    edit(config)
    del config[name]
    return str(doc)


def string_quote(doc: Document) -> str:
    """The quote of the first string argument of the file's Jinja calls: a
    call added to the file writes its strings alike. Double without one, as the
    module writes them."""
    for call in doc.calls():
        for argument in (*call.args, *call.kwargs.values()):
            if argument[:1] in QUOTES:
                return argument[0]
    return '"'


# Jinja comments at the very top, each ending its line: a header (a licence, a
# note) that stays above a config call added to the file.
HEADER_COMMENTS = re.compile(r"(?:[ \t]*\{#.*?#\}[ \t]*(?:\r\n|\n))*", re.DOTALL)


def with_call_on_top(text: str, call: str) -> str:
    """text with call on a line of its own at its top: after a byte-order mark
    and a header of Jinja comments, ended as the file ends its first line."""
    start = 1 if text.startswith("\ufeff") else 0
    header = HEADER_COMMENTS.match(text, start)
    at = header.end() if header is not None else start
    newline = text.find("\n")
    end = "\r\n" if newline > 0 and text[newline - 1] == "\r" else "\n"
    return text[:at] + call + end + text[at:]


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


def key_checker(key: str) -> ConfigEdit:
    """For remove-config: refuses, on the trial, a key no config call could hold."""

    def edit(config: Config) -> None:
        config[key] = 0

    return edit


def python_literal(text: str) -> object:
    """A VALUE argument read as a Python literal."""
    try:
        return ast.literal_eval(text)
    except (ValueError, TypeError, SyntaxError, MemoryError, RecursionError):
        raise UsageError(
            f"cannot read {text!r} as a Python literal: quote strings (key='\"view\"'), "
            "or pass --raw to write Jinja source"
        ) from None


def set_config_command(args: argparse.Namespace) -> EditCommand:
    key, value_text = args.assignment
    edit = raw_setter(key, value_text) if args.raw else setter(key, python_literal(value_text))
    return config_command(key, edit, create=args.create)


def remove_config_command(args: argparse.Namespace) -> EditCommand:
    return config_command(args.key, remover(args.key), trial=key_checker(args.key))


# ---------------------------------------------------------------- renames


def rename_command(rename: Callable[[Document], int], none_found: str) -> EditCommand:
    """A rename over every file; the summary also counts the calls changed."""

    def transform(path: str, text: str) -> tuple[str, int]:
        doc = parse_trelm(text)
        calls = rename(doc)
        return str(doc), calls

    return EditCommand(transform, None, counted="call", none_found=none_found)


def rename_ref_command(args: argparse.Namespace) -> EditCommand:
    old, new = args.old, args.new
    return rename_command(lambda doc: doc.rename_ref(old, new), f"no ref() call names {old!r}")


def rename_source_command(args: argparse.Namespace) -> EditCommand:
    old, new = args.old, args.new
    return rename_command(
        lambda doc: doc.rename_source(old, new), f"no source() call names {'.'.join(old)!r}"
    )


def source_table(text: str) -> tuple[str, str]:
    source, sep, table = text.partition(".")
    if not sep or not source or not table:
        raise argparse.ArgumentTypeError(f"expected SOURCE.TABLE, got {text!r}")
    return source, table


# ---------------------------------------------------------------- arguments


def plural(count: int, word: str) -> str:
    return word if count == 1 else word + "s"


def key_value(text: str) -> tuple[str, str]:
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    return key, value


SEARCH_HELP = (
    "Folders are searched for *.sql files, in sorted order, leaving out hidden folders, what the .gitignore "
    "files of the folder's git work tree ignore, --exclude patterns and the settings' exclude patterns; "
    "symbolic links to folders are not followed. Files named directly are always read, whatever their name. "
    "PATH - reads one model from standard input. Only regular files are read. Settings come from the "
    "[tool.trelm-cst] table of the nearest pyproject.toml that has one, from the first PATH upward "
    "(--config FILE names another file, --isolated reads none)."
)

EDIT_HELP = (
    "Files are rewritten through a temporary file and a rename, keeping mode, owner and group; a symbolic "
    "link stays a link and its target is rewritten. Refused, and counted as failed: read-only files (no write "
    "permission for you, or no write bit at all, which binds root too), files with more than one hard link, "
    "files whose owner and group cannot be kept, and files that changed while being edited. With PATH -, the "
    "edited text goes to standard output."
)

EPILOG = (
    "Exit status: 0 when every file went through; 1 when any failed (the others are still processed) or, "
    "with --check, when any file would change; 2 for bad arguments; 130 after Ctrl-C and 143 after SIGTERM; 141 when the reader of the output "
    "goes away."
)


def file_options(stdin: bool = True) -> argparse.ArgumentParser:
    """The options every command takes (its paths come after its own arguments);
    --stdin-filename only where PATH - is taken."""
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument("-q", "--quiet", action="store_true", help="print only errors")
    options.add_argument(
        "--no-progress", dest="progress", action="store_false", help="no progress bar (shown on a terminal)"
    )
    options.add_argument(
        "--exclude",
        action="append",
        default=[],
        metavar="GLOB",
        help="leave out what GLOB matches in folder search "
        "(gitignore syntax, relative to each folder named; repeatable)",
    )
    options.add_argument(
        "--config",
        metavar="FILE",
        help="read the settings from FILE, a TOML file with a [tool.trelm-cst] table, instead of the nearest "
        "pyproject.toml that has one (from the first PATH upward)",
    )
    options.add_argument("--isolated", action="store_true", help="read no settings file")
    if stdin:
        options.add_argument(
            "--stdin-filename", metavar="NAME", help="the name of standard input (PATH -) in messages and output"
        )
    options.add_argument(
        "-j",
        "--jobs",
        type=job_count,
        metavar="N",
        help="handle files on N processors at once; output, messages and exit status are the same "
        "as with -j 1 (default, and -j 0: every processor this process may use)",
    )
    return options


def edit_options() -> argparse.ArgumentParser:
    """The options every editing command takes."""
    options = argparse.ArgumentParser(add_help=False)
    options.add_argument(
        "-n", "--dry-run", action="store_true", help="print a unified diff instead of writing the files; exit 0"
    )
    options.add_argument(
        "--check", action="store_true", help="write nothing; exit 1 when any file would change, 0 otherwise"
    )
    options.add_argument("--diff", action="store_true", help="print a unified diff instead of writing the files")
    return options


def build_parser(prog: str | None) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog, description="Read, check and edit SQL model files with Jinja tags. " + SEARCH_HELP, epilog=EPILOG
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    files = file_options()
    edits = [files, edit_options()]

    def command(
        name: str, parents: list[argparse.ArgumentParser], help: str, description: str
    ) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, parents=parents, help=help, description=description, epilog=EPILOG)
        sub.set_defaults(command_parser=sub)
        return sub

    inspect = command(
        "inspect",
        [files],
        "print one JSON object per file: config, refs, sources, queries, columns",
        "Prints one JSON object per file (JSON Lines) with the keys path, config (literal values), config_jinja "
        "(the Jinja source of the other values), config_calls (how many), refs, sources, queries (how many) and "
        "columns (name, alias, expr, is_templated of the top-level SELECT). With several config calls, config "
        "and config_jinja merge them, later keys over earlier ones; both are null for a file without a config "
        "call. " + SEARCH_HELP,
    )
    check = command(
        "check",
        [files],
        "report what the template engine would refuse, and unpaired SQL brackets",
        "Reports each problem on standard output (path:line:column: severity: message [code]; what the template "
        "engine would refuse, statement tags it has no parser for and unpaired SQL brackets as warnings, files "
        "that cannot be read) and a count on stderr. Exits 1 when any file has an error; warnings alone exit 0 "
        "unless --strict. A Jinja comment {# trelm-cst: ignore[CODE, ...] #} (or {# trelm-cst: ignore #} for "
        "every code) silences the problems on its line or, standing on a line of its own, on the line after "
        "it. " + SEARCH_HELP,
    )
    add_paths(inspect)
    add_paths(check)
    check.add_argument(
        "--format",
        choices=sorted(FORMATS),
        type=one_of(sorted(FORMATS)),
        default="text",
        help="text: path:line:column: severity: message [code]; json: one JSON object per problem; "
        "github: annotations for GitHub Actions (default: text)",
    )
    check.add_argument(
        "--strict",
        action="store_true",
        help="exit 1 on warnings too, and report suppression comments that silence nothing (unused-suppression)",
    )
    check.add_argument(
        "--select",
        type=codes,
        action="extend",
        metavar="CODES",
        help="report only these codes (comma-separated; repeatable), in place of the settings' select",
    )
    check.add_argument(
        "--ignore",
        type=codes,
        action="extend",
        default=[],
        metavar="CODES",
        help="do not report these codes (comma-separated; repeatable), besides the settings' ignore",
    )
    check.add_argument(
        "--extension-tag",
        dest="extension_tags",
        action="append",
        type=extension_tag,
        default=[],
        metavar="NAME",
        help="a statement tag the project adds through an extension, not reported as unknown-tag (repeatable)",
    )
    check.add_argument(
        "--project",
        action="store_true",
        help="also check the files as projects (each folder holding a models folder a project of its own): "
        "refs to nothing (missing-ref), names defined by more than one file of a project (duplicate-name), "
        "models that read each other in a cycle (cycle, once per cycle), YAML property files that do not "
        "load (yaml-syntax), all errors; sources no YAML file declares (missing-source) and refs several "
        "projects could answer (ambiguous-ref), warnings; and models nothing reads (unused-model, "
        "information shown with --verbose)",
    )
    check.add_argument("-v", "--verbose", action="store_true", help="also print information, such as unused models")
    graph = command(
        "graph",
        [file_options(stdin=False)],
        "print the models, their refs and sources as a graph",
        "Prints the graph of the models found (named by their file names without .sql), the models, seeds and "
        "snapshots they ref and the sources they read, arrows pointing from what is read to the model that "
        "reads it. Below a folder holding project folders (folders holding a models folder), only their models "
        "are models, and where there are several each node is named project/name. Only refs "
        "and sources with string-literal arguments count. --format svg runs Graphviz's dot program; without "
        "it, the command fails (exit 1) naming the missing program. "
        + SEARCH_HELP.replace(" PATH - reads one model from standard input.", ""),
    )
    add_paths(graph, stdin=False)
    graph.add_argument(
        "--format",
        choices=sorted(RENDERERS),
        type=one_of(sorted(RENDERERS)),
        default="json",
        help="json: nodes (name, kind: model, seed, snapshot, source or missing; path, line, project) and "
        "edges (from, to, kind); dot: "
        "Graphviz source; mermaid: a flowchart LR block; svg: a picture drawn by Graphviz (default: json)",
    )
    graph.add_argument(
        "--select", metavar="NAME", help="only the model, seed or snapshot NAME and the nodes around it"
    )
    graph.add_argument("--upstream", action="store_true", help="with --select: what NAME reads, transitively")
    graph.add_argument("--downstream", action="store_true", help="with --select: what reads NAME, transitively")
    graph.add_argument("--depth", type=depth, metavar="N", help="with --select: at most N steps away")
    set_config = command(
        "set-config",
        edits,
        "set a config argument in place",
        "Sets KEY in the config(...) call of every file. VALUE is a Python literal (a string needs quotes: "
        "style='\"view\"'), or Jinja source with --raw. Files without a config call are left alone and "
        "counted in the summary (named with -v), or given one with --create; files with several are refused. "
        + EDIT_HELP
        + " "
        + SEARCH_HELP,
    )
    set_config.add_argument(
        "assignment",
        type=key_value,
        metavar="KEY=VALUE",
        help="the config argument and its value, a Python literal (Jinja source with --raw)",
    )
    add_paths(set_config)
    set_config.add_argument("--raw", action="store_true", help="write VALUE as Jinja source, such as var('x')")
    set_config.add_argument(
        "--create",
        action="store_true",
        help="add a config call with KEY to files without one, at the top (below a header of Jinja comments)",
    )
    remove_config = command(
        "remove-config",
        edits,
        "remove a config argument in place",
        "Removes KEY from the config(...) call of every file. " + EDIT_HELP + " " + SEARCH_HELP,
    )
    remove_config.add_argument("key", metavar="KEY", help="the config argument to remove")
    add_paths(remove_config)
    for editor in (set_config, remove_config):
        editor.add_argument(
            "-v", "--verbose", action="store_true", help="name each file left alone for want of a config call"
        )
    rename_ref = command(
        "rename-ref",
        edits,
        "rename the model that ref() calls name",
        "Renames OLD to NEW in every ref('OLD') and ref('package', 'OLD') call with string arguments, in every "
        "Jinja tag (those in comments and strings too). Each string keeps its quotes; keyword arguments such as "
        "versions stay. " + EDIT_HELP + " " + SEARCH_HELP,
    )
    rename_ref.add_argument("old", metavar="OLD", help="the model name the refs call now")
    rename_ref.add_argument("new", metavar="NEW", help="the model name they are to call")
    add_paths(rename_ref)
    rename_source = command(
        "rename-source",
        edits,
        "rename the source and table that source() calls name",
        "Renames source('SOURCE', 'TABLE') calls with string arguments to the new names, in every Jinja tag. "
        "The names are split at their first dot. " + EDIT_HELP + " " + SEARCH_HELP,
    )
    rename_source.add_argument("old", type=source_table, metavar="SOURCE.TABLE", help="the source and table called now")
    rename_source.add_argument(
        "new", type=source_table, metavar="NEW_SOURCE.NEW_TABLE", help="the source and table to call instead"
    )
    add_paths(rename_source)
    rename_model = command(
        "rename-model",
        [file_options(stdin=False), edit_options()],
        "move a model's file to a new name and rewrite the refs to it",
        "Moves OLD.sql to NEW.sql in its folder and renames the model in every ref() call with string "
        "arguments that resolves to it, in any project folder below PATH (ref('OLD'), ref('project', 'OLD'), "
        "versions kept), and in YAML property files (the models: entry named OLD, and values such as "
        "to: ref('OLD')). Refuses, changing nothing, when OLD is no model or is defined twice in its project, "
        "NEW is defined in its project already or is what refs there call another project's model, or NEW is "
        "not a file name. Refs whose arguments are not string literals, that several projects could answer, "
        "or in macros are left alone and listed as warnings. The files are rewritten first, each "
        "through a temporary file and a rename; the model's file moves last. --diff prints a patch with "
        "git's rename headers, which git apply performs.",
    )
    rename_model.add_argument("old", metavar="OLD", help="the model to rename (its name, or project/name)")
    rename_model.add_argument("new", metavar="NEW", help="its new name, without .sql")
    rename_model.add_argument("paths", nargs=1, metavar="PATH", help="the folder of the project or repository")
    rename_model.add_argument(
        "--project", metavar="P", help="the project folder whose OLD is meant, where several define OLD"
    )
    add_lineage_command(command)
    lsp = command(
        "lsp",
        [],
        "run the language server for editors",
        "Serves the Language Server Protocol on standard input and output (or on --tcp HOST:PORT): "
        "diagnostics as check --project gives them, go to definition, references and renames of models and "
        "CTEs. The workspace folders the editor names are read as check --project reads them, with the "
        "settings of their pyproject.toml. Needs the lsp extra: pip install \"trelm_cst[lsp]\".",
    )
    lsp.add_argument("--tcp", metavar="HOST:PORT", type=host_port, help="listen on a TCP port instead (for debugging)")
    lsp.add_argument("--stdio", action="store_true", help="serve on standard input and output (the default)")
    return parser


def host_port(text: str) -> str:
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError(f"expected HOST:PORT, got {text!r}")
    return text


LSP_EXTRA = 'install the lsp extra: pip install "trelm_cst[lsp]"'


def run_lsp(args: argparse.Namespace) -> int:
    """Serves until the client says exit; without the extra, says which to install."""
    try:
        from trelm_cst._lsp.server import serve
    except ImportError as e:
        if e.name is not None and e.name.split(".")[0] in ("pygls", "lsprotocol", "cattrs", "attrs"):
            sys.stderr.write(f"trelm-cst lsp: {LSP_EXTRA}\n")
            return EXIT_USAGE
        raise
    return serve(args.tcp)


def add_lineage_command(command: Callable[..., argparse.ArgumentParser]) -> None:
    from trelm_cst._lineage_command import RENDERERS, target

    lineage = command(
        "lineage",
        [file_options(stdin=False)],
        "print where a model's column comes from, or what reads it",
        "Prints the upstream tree of MODEL's output COLUMN: the columns of other models, sources and tables it "
        "reads, through CTEs and subqueries, each with path:line:column; or with --downstream, the columns and "
        "filters that read it. Read from the files as written, without rendering them. Exits 1 when the column "
        "cannot be found.",
    )
    lineage.add_argument("target", type=target, metavar="MODEL.COLUMN", help="the model (or project/name) and column")
    lineage.add_argument("paths", nargs=1, metavar="PATH", help="the folder of the project or repository")
    lineage.add_argument("--downstream", action="store_true", help="what reads the column, rather than what it reads")
    lineage.add_argument("--depth", type=depth, metavar="N", help="at most N models away")
    lineage.add_argument(
        "--format",
        choices=sorted(RENDERERS),
        type=one_of(sorted(RENDERERS)),
        default="text",
        help="text: an indented tree; json: the tree as nested objects; dot: Graphviz source; mermaid: a "
        "flowchart LR block (default: text)",
    )


def add_paths(parser: argparse.ArgumentParser, stdin: bool = True) -> None:
    what = "a model file or a folder to search" + ("; - alone reads standard input" if stdin else "")
    parser.add_argument("paths", nargs="+", metavar="PATH", help=what)


# ---------------------------------------------------------------- misspellings
#
# argparse suggests close matches on some Pythons and for some mistakes only;
# one rule here, checked before argparse sees the line, does it for commands,
# options and choices alike on every version.

# What argparse takes for a negative number, and so for a value, not an option.
NEGATIVE_NUMBER = re.compile(r"-\d+$|-\d*\.\d+$")


def did_you_mean(word: str, candidates: Sequence[str]) -> str:
    """«; did you mean `x`?» naming the close matches of word, or nothing.
    Options are compared without their dashes, which every one shares."""
    by_name = {candidate.lstrip("-"): candidate for candidate in candidates}
    matches = [by_name[name] for name in difflib.get_close_matches(word.lstrip("-"), by_name, n=3, cutoff=0.6)]
    if not matches:
        return ""
    return "; did you mean " + " or ".join(f"`{match}`" for match in matches) + "?"


def one_of(names: Sequence[str]) -> Callable[[str], str]:
    """An argument type that takes one of names, suggesting the close ones otherwise."""

    def choose(text: str) -> str:
        if text in names:
            return text
        raise argparse.ArgumentTypeError(
            f"invalid choice {text!r} (choose from {', '.join(names)}){did_you_mean(text, names)}"
        )

    return choose


def subcommands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def unknown_option(parser: argparse.ArgumentParser, token: str) -> bool:
    """Whether argparse would take token for an option the parser does not have."""
    if not token.startswith("-") or token == "-" or NEGATIVE_NUMBER.match(token):
        return False
    known = parser._option_string_actions
    if token.startswith("--"):
        name = token.partition("=")[0]
        # A unique prefix of a long option is that option, as argparse reads it.
        return name not in known and not any(option.startswith(name) for option in known)
    return token[:2] not in known


def refuse_misspellings(parser: argparse.ArgumentParser, argv: Sequence[str]) -> None:
    """Exits with the usage of the command at hand when argv names a command or
    an option that does not exist, suggesting the close matches."""
    commands = subcommands(parser)
    current = parser
    for token in argv:
        if token == "--":
            return
        if unknown_option(current, token):
            name = token.partition("=")[0]
            options = [option for option in current._option_string_actions if option.startswith("--")]
            current.error(f"unrecognized option {printable(name)}{did_you_mean(name, options)}")
        if current is parser and not token.startswith("-"):
            if token not in commands:
                current.error(f"unknown command {printable(token)!r}{did_you_mean(token, list(commands))}")
            current = commands[token]


def package_version() -> str:
    from trelm_cst import __version__

    return __version__


def check_paths(args: argparse.Namespace) -> None:
    """Refuses paths the command cannot start with."""
    if STDIN in args.paths and len(args.paths) > 1:
        raise UsageError("- (standard input) must be the only PATH")
    if getattr(args, "stdin_filename", None) is not None and args.paths != [STDIN]:
        raise UsageError("--stdin-filename goes with PATH -")
    missing = missing_paths(path for path in args.paths if path != STDIN)
    if missing:
        raise UsageError("no such file or directory: " + ", ".join(missing))


def run_settings(args: argparse.Namespace) -> Settings:
    """The settings of the run: none with --isolated, the file --config names,
    or the nearest pyproject.toml with a [tool.trelm-cst] table from the first
    PATH (the current folder for standard input) upward."""
    try:
        if args.isolated:
            if args.config is not None:
                raise UsageError("--config and --isolated exclude each other")
            return Settings()
        if args.config is not None:
            return Settings.read(args.config)
        return Settings.find("." if args.paths == [STDIN] else args.paths[0])
    except SettingsError as e:
        raise UsageError(str(e)) from None


def command_runner(args: argparse.Namespace) -> Callable[[Run], int]:
    """What the command does with a run; usage errors surface here, before any file is read."""
    if args.command == "inspect":
        return run_inspect
    if args.command == "check":
        if args.project and args.paths == [STDIN]:
            raise UsageError("--project needs files, not standard input")
        settings: Settings = args.settings
        if args.select is not None or args.ignore:
            select = tuple(args.select) if args.select is not None else settings.select
            settings = replace(settings, select=select, ignore=(*settings.ignore, *args.ignore))
        tags = [*settings.extension_tags, *args.extension_tags]
        return lambda run: run_check(run, args.format, args.strict, args.project, args.verbose, tags, settings)
    if args.command == "graph":
        if args.paths == [STDIN]:
            raise UsageError("graph needs files, not standard input")
        if args.select is None and (args.upstream or args.downstream or args.depth is not None):
            raise UsageError("--upstream, --downstream and --depth go with --select")
        return lambda run: run_graph(run, args)
    if args.command == "rename-model":
        return rename_model_runner(args)
    if args.command == "lineage":
        from trelm_cst._lineage_command import run_lineage

        return lambda run: run_lineage(args, run.out, sys.stderr)
    commands = {
        "set-config": set_config_command,
        "remove-config": remove_config_command,
        "rename-ref": rename_ref_command,
        "rename-source": rename_source_command,
    }
    command = commands[args.command](args)
    mode = EditMode.of(args)
    return lambda run: run_edit(run, command, mode)


def rename_model_runner(args: argparse.Namespace) -> Callable[[Run], int]:
    from trelm_cst._rename import refusal_of_name
    from trelm_cst._rename_command import run_rename_model

    if args.paths == [STDIN]:
        raise UsageError("rename-model needs a folder, not standard input")
    refusal = refusal_of_name(args.new)
    if refusal is not None:
        raise UsageError(refusal)
    return lambda run: run_rename_model(args, run.out, sys.stderr)


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    parser = build_parser(prog)
    argv = sys.argv[1:] if argv is None else list(argv)
    refuse_misspellings(parser, argv)
    args = parser.parse_args(argv)
    if args.command == "lsp":
        return run_lsp(args)
    try:
        check_paths(args)
        args.settings = run_settings(args)
        runner = command_runner(args)
    except UsageError as e:
        args.command_parser.error(printable(str(e)))
    out, err = sys.stdout, sys.stderr
    with _interrupts.handled():
        run: Run | None = None
        try:
            run = start(args, out, err)
            return runner(run)
        except _interrupts.Interrupted as e:
            return interrupted(run, e, err)
        except BrokenExecutor:
            assert run is not None  # only a run starts workers
            return worker_lost(run, err)
        except BrokenPipeError:
            return output_closed(out)


def output_closed(out: TextIO) -> int:
    """The reader of the output went away (`| head`): stop quietly, as
    programs ended by SIGPIPE do. Every file written so far was written
    whole; what is still buffered goes nowhere, so that the interpreter's
    last flush does not fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, out.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass
    return EXIT_OUTPUT_CLOSED


def worker_lost(run: Run, err: TextIO) -> int:
    """A worker process was killed (by the kernel, short of memory, say): what
    it was doing is unknown, so the run stops there."""
    done = run.progress.done
    run.finish(EXIT_FAILED)
    err.write(f"a worker process ended unexpectedly after {done} of {len(run.files)} files; try -j 1\n")
    return EXIT_FAILED


def interrupted(run: Run | None, signal: _interrupts.Interrupted, err: TextIO) -> int:
    if run is not None:
        done = run.progress.done
        run.finish(EXIT_FAILED)
    if run is not None and run.files:  # a project command reads its files itself and counts none here
        err.write(f"interrupted after {done} of {len(run.files)} {plural(len(run.files), 'file')}\n")
    else:
        err.write("interrupted\n")
    return signal.exit_status
