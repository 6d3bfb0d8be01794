"""`trelm-cst rename-model OLD NEW PATH`: the command line of Project.rename_model,
with --check and --diff as the other editing commands have them."""

from __future__ import annotations

import argparse
import difflib
from typing import TextIO

from trelm_cst import _interrupts
from trelm_cst._files import git_quoted, printable
from trelm_cst._project import Project, Ref
from trelm_cst._rename import RenamePlan, apply_rename, plan_rename
from trelm_cst.cli import EXIT_FAILED, EXIT_OK, diff_name, lines_of, plural, unified_diff


def run_rename_model(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    def say(text: str) -> None:
        err.write(printable(text) + "\n")

    project = Project.load(args.paths[0], exclude=args.exclude, settings=args.settings, jobs=args.jobs)
    try:
        plan = plan_rename(project, args.old, args.new, args.project)
        if not (args.diff or args.dry_run or args.check):
            with _interrupts.deferred():  # all of it or, failing midway, a message of what was done
                apply_rename(plan)
    except ValueError as e:
        say(f"error: {e}; nothing changed")
        return EXIT_FAILED
    except OSError as e:
        say(f"error: {e}")
        return EXIT_FAILED
    result = plan.result
    if not args.quiet:
        for ref in result.undecided:
            say(undecided_warning(ref, project))
        for problem in project.problems:
            if problem.code != "yaml-syntax":  # the YAML files that load were searched
                where = problem.path if problem.line is None else f"{problem.path}:{problem.line}:{problem.column}"
                say(f"{where}: warning: {problem.message}: its refs are unknown; left as it is [undecided-ref]")
    if args.diff or args.dry_run:
        out.write(printable(rename_diff(plan)))
    elif args.check and not args.quiet:
        for path in result.changed:
            if path != result.old_path:
                say(f"{path}: would change")
        say(f"{result.old_path}: would move to {result.new_path}")
    if not args.quiet:
        files = len(result.changed)
        moved = "would move" if args.check or args.diff or args.dry_run else "moved"
        changed = "would change" if moved == "would move" else "changed"
        counts = f"{files} {plural(files, 'file')} ({result.calls} {plural(result.calls, 'call')})"
        say(f"{moved} {result.old_path} to {result.new_path}, {changed} {counts}")
    return EXIT_FAILED if args.check else EXIT_OK


def undecided_warning(ref: Ref, project: Project) -> str:
    candidates = next((names for other, names in project.ambiguous_refs if other is ref), None)
    if candidates is not None:
        why = f"{ref.text} may name any of {', '.join(candidates)}"
    elif ref.model is not None:
        why = f"{ref.text} in a macro names a model of the project that calls it"
    else:
        why = f"cannot tell which model {ref.text} names"
    return f"{ref.path}:{ref.line}:{ref.column}: warning: {why}; left as it is [undecided-ref]"


def rename_diff(plan: RenamePlan) -> str:
    """A diff that `git apply` performs: the move with git's rename headers
    (and the model's own changes, when it refs itself), then the other files."""
    result = plan.result
    before = plan.model.text
    after = plan.text_of(result.old_path)
    old, new = diff_name(result.old_path), diff_name(result.new_path)
    parts = [
        f"diff --git {git_quoted('a/' + old)} {git_quoted('b/' + new)}\n",
        f"similarity index {similarity(before, after)}%\n",
        f"rename from {git_quoted(old)}\n",
        f"rename to {git_quoted(new)}\n",
    ]
    if after is not None:
        lines = difflib.unified_diff(
            lines_of(before), lines_of(after), fromfile=git_quoted("a/" + old), tofile=git_quoted("b/" + new)
        )
        parts += [line if line.endswith("\n") else line + "\n\\ No newline at end of file\n" for line in lines]
    for rewrite in plan.rewrites:
        if rewrite.file.path != result.old_path:
            # After a git header, a bare ---/+++ pair would read as more of that header.
            name = diff_name(rewrite.file.path)
            parts.append(f"diff --git {git_quoted('a/' + name)} {git_quoted('b/' + name)}\n")
            parts.append(unified_diff(rewrite.file.path, rewrite.file.text, rewrite.text))
    return "".join(parts)


def similarity(before: str, after: str | None) -> int:
    """How much of the file the move keeps, in percent, as git's header says it."""
    if after is None:
        return 100
    return int(difflib.SequenceMatcher(None, lines_of(before), lines_of(after), autojunk=False).ratio() * 100)
