"""`trelm-cst lineage MODEL.COLUMN PATH`: the command line of Project.lineage
and Project.impact, as an indented tree, JSON, Graphviz or mermaid."""

from __future__ import annotations

import argparse
import json
from collections.abc import Callable
from typing import TextIO

from trelm_cst._files import printable
from trelm_cst._lineage import LineageStep, LineageTooDeep
from trelm_cst._project import Project
from trelm_cst.cli import EXIT_FAILED, EXIT_OK, EXIT_USAGE


def run_lineage(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    model, _, column = args.target.rpartition(".")
    project = Project.load(args.paths[0], exclude=args.exclude, settings=args.settings, jobs=args.jobs)
    follow = project.impact if args.downstream else project.lineage
    try:
        step = follow(model, column, args.depth)
        text = RENDERERS[args.format](step, args.downstream)
    except KeyError:
        err.write(printable(f"error: no model named {model!r}") + "\n")
        return EXIT_USAGE
    except (LineageTooDeep, RecursionError):
        err.write("error: the lineage runs through more steps in one chain than can be followed here; "
                  "stop earlier with --depth N\n")
        return EXIT_FAILED
    except ValueError as e:
        err.write(printable(f"error: {e}; name one as project/name") + "\n")
        return EXIT_USAGE
    out.write(text)
    if step.kind == "unresolved":
        err.write(printable(f"error: {step.reason}") + "\n")
        return EXIT_FAILED
    return EXIT_OK


def target(text: str) -> str:
    """MODEL.COLUMN: the column is what follows the last dot."""
    model, dot, column = text.rpartition(".")
    if not dot or not model or not column:
        raise argparse.ArgumentTypeError(f"expected MODEL.COLUMN, got {text!r}")
    return text


def describe(step: LineageStep) -> str:
    parts = [step.label, f"[{step.kind}{' ' + step.clause if step.clause else ''}]"]
    if step.path is not None:
        parts.append(step.path if step.line is None else f"{step.path}:{step.line}:{step.char}")
    if step.via:
        parts.append("via " + " > ".join(step.via))
    if step.reason:
        parts.append(f"({step.reason})")
    return " ".join(parts)


def as_text(root: LineageStep, downstream: bool) -> str:
    lines = [describe(root)]

    def below(step: LineageStep, indent: str) -> None:
        for index, child in enumerate(step.steps):
            last = index == len(step.steps) - 1
            lines.append(indent + ("└── " if last else "├── ") + describe(child))
            below(child, indent + ("    " if last else "│   "))

    below(root, "")
    return printable("\n".join(lines)) + "\n"


def as_json(root: LineageStep, downstream: bool) -> str:
    return json.dumps(root.to_dict(), indent=2, ensure_ascii=False) + "\n"


def edges(root: LineageStep, downstream: bool) -> tuple[dict[str, str], list[tuple[str, str]]]:
    """Each distinct step (by label and kind) an id, and the (read, reader)
    pairs: arrows point the way data flows, as in `graph`."""
    ids: dict[str, str] = {}
    pairs: list[tuple[str, str]] = []

    def visit(step: LineageStep) -> str:
        key = f"{step.label} [{step.kind}{' ' + step.clause if step.clause else ''}]"
        if key not in ids:
            ids[key] = f"n{len(ids)}"
        for child in step.steps:
            pair = (ids[key], visit(child)) if downstream else (visit(child), ids[key])
            if pair not in pairs:
                pairs.append(pair)
        return ids[key]

    visit(root)
    return ids, pairs


def as_dot(root: LineageStep, downstream: bool) -> str:
    ids, pairs = edges(root, downstream)
    lines = ["digraph lineage {", "  rankdir=LR;"]
    lines += [f"  {node} [label={json.dumps(label)}];" for label, node in ids.items()]
    lines += [f"  {a} -> {b};" for a, b in pairs]
    return printable("\n".join([*lines, "}"])) + "\n"


def as_mermaid(root: LineageStep, downstream: bool) -> str:
    ids, pairs = edges(root, downstream)
    lines = ["flowchart LR"]
    lines += [f'  {node}["{label.replace(chr(34), "#quot;")}"]' for label, node in ids.items()]
    lines += [f"  {a} --> {b}" for a, b in pairs]
    return printable("\n".join(lines)) + "\n"


RENDERERS: dict[str, Callable[[LineageStep, bool], str]] = {
    "text": as_text,
    "json": as_json,
    "dot": as_dot,
    "mermaid": as_mermaid,
}
