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
        err.write(f"error: {LineageTooDeep()}\n")
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
    stack = [(child, "", index == len(root.steps) - 1) for index, child in reversed(list(enumerate(root.steps)))]
    while stack:
        step, indent, last = stack.pop()
        lines.append(indent + ("└── " if last else "├── ") + describe(step))
        inner = indent + ("    " if last else "│   ")
        count = len(step.steps)
        stack += [(child, inner, index == count - 1) for index, child in reversed(list(enumerate(step.steps)))]
    return printable("\n".join(lines)) + "\n"


def as_json(root: LineageStep, downstream: bool) -> str:
    """What json.dumps(root.to_dict(), indent=2) writes, written a step at a
    time: the encoder recurses, and a chain may be longer than it allows."""
    out: list[str] = []
    stack: list[tuple[LineageStep, int] | str] = [(root, 0)]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            out.append(item)
            continue
        top, level = item
        indent = "  " * level
        fields = top.fields()
        del fields["steps"]
        out.append("{\n")
        for key, value in fields.items():
            text = json.dumps(value, indent=2, ensure_ascii=False).replace("\n", "\n" + indent + "  ")
            out.append(f"{indent}  {json.dumps(key)}: {text},\n")
        if not top.steps:
            out.append(f'{indent}  "steps": []\n{indent}}}')
            continue
        out.append(f'{indent}  "steps": [\n')
        pending: list[tuple[LineageStep, int] | str] = [f"\n{indent}  ]\n{indent}}}"]
        for index, child in enumerate(reversed(top.steps)):
            pending.append((child, level + 2))
            pending.append(f"{indent}    " if index == len(top.steps) - 1 else f",\n{indent}    ")
        stack += pending
    return "".join(out) + "\n"


def edges(root: LineageStep, downstream: bool) -> tuple[dict[str, str], list[tuple[str, str]]]:
    """Each distinct step (by label and kind) an id, and the (read, reader)
    pairs: arrows point the way data flows, as in `graph`. Ids are given in
    the order steps are first met, depth first; pairs in the order a
    depth-first walk finishes them."""
    ids: dict[str, str] = {}
    pairs: dict[tuple[str, str], None] = {}

    def node(step: LineageStep) -> str:
        key = f"{step.label} [{step.kind}{' ' + step.clause if step.clause else ''}]"
        return ids.setdefault(key, f"n{len(ids)}")

    # Each entry: a step's id and its steps still to visit. A pair is added
    # once the inner step's own steps are done, as a recursive walk would.
    stack = [(node(root), iter(root.steps))]
    while stack:
        current, todo = stack[-1]
        child = next(todo, None)
        if child is not None:
            stack.append((node(child), iter(child.steps)))
            continue
        stack.pop()
        if stack:
            pairs.setdefault((stack[-1][0], current) if downstream else (current, stack[-1][0]))
    return ids, list(pairs)


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
