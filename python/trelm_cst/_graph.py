"""A project's graph as text: JSON, Graphviz dot, a mermaid flowchart, or SVG
drawn by Graphviz. Arrows point the way data flows: from what is read to the
model that reads it."""

from __future__ import annotations

import json
import shutil
import subprocess
from collections.abc import Sequence

from trelm_cst._files import printable
from trelm_cst._project import GraphNode, Project

Link = tuple[GraphNode, GraphNode]  # (reader, read)


class GraphError(Exception):
    """The picture cannot be drawn here (no Graphviz, or Graphviz failed)."""


def to_json(project: Project, nodes: Sequence[GraphNode], links: Sequence[Link]) -> str:
    entries = []
    # Source nodes are named "source.table"; either part may hold a dot itself.
    sources = {".".join(key): place for key, place in project.declared_sources.items()}
    for kind, name in nodes:
        model = project.definition((kind, name))
        declared = sources.get(name) if kind == "source" else None
        if model is not None:
            place: dict[str, object] = {"path": model.path, "line": model.line, "project": model.project or None}
        elif declared is not None:
            place = {"path": declared[0], "line": declared[1], "project": None}
        else:
            place = {"path": None, "line": None, "project": None}
        entries.append({"name": name, "kind": kind, **place})
    edges = [{"from": read[1], "to": reader[1], "kind": read[0]} for reader, read in links]
    return json.dumps({"nodes": entries, "edges": edges}, indent=2) + "\n"


def dot_quoted(text: str) -> str:
    text = printable(text)
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


DOT_SHAPES = {
    "model": "box",
    "seed": "note",
    "snapshot": "box3d",
    "source": "cylinder",
    "missing": "parallelogram, style=dashed, color=red",
}


def to_dot(project: Project, nodes: Sequence[GraphNode], links: Sequence[Link]) -> str:
    ids = {node: f"n{i}" for i, node in enumerate(nodes)}
    lines = ["digraph models {", "  rankdir=LR;", '  node [fontname="Helvetica"];']
    for node in nodes:
        lines.append(f"  {ids[node]} [label={dot_quoted(node[1])}, shape={DOT_SHAPES[node[0]]}];")
    for reader, read in links:
        lines.append(f"  {ids[read]} -> {ids[reader]};")
    lines.append("}")
    return "\n".join(lines) + "\n"


def mermaid_label(text: str) -> str:
    # Mermaid reads entity codes in quoted labels; quotes and angle brackets would end or break them.
    text = printable(text)
    for char, code in (("#", "#35;"), ('"', "#quot;"), ("<", "#lt;"), (">", "#gt;")):
        text = text.replace(char, code)
    return '"' + text + '"'


MERMAID_SHAPES = {
    "model": ("[", "]"),
    "seed": ("[[", "]]"),
    "snapshot": ("[\\", "\\]"),
    "source": ("[(", ")]"),
    "missing": ("[/", "/]"),
}


def to_mermaid(project: Project, nodes: Sequence[GraphNode], links: Sequence[Link]) -> str:
    ids = {node: f"n{i}" for i, node in enumerate(nodes)}
    lines = ["flowchart LR"]
    for node in nodes:
        opening, closing = MERMAID_SHAPES[node[0]]
        lines.append(f"    {ids[node]}{opening}{mermaid_label(node[1])}{closing}")
    for reader, read in links:
        lines.append(f"    {ids[read]} --> {ids[reader]}")
    missing = [ids[node] for node in nodes if node[0] == "missing"]
    if missing:
        lines.append("    classDef missing stroke:#c00,stroke-dasharray:4")
        lines.append(f"    class {','.join(missing)} missing")
    return "\n".join(lines) + "\n"


def to_svg(project: Project, nodes: Sequence[GraphNode], links: Sequence[Link]) -> str:
    program = shutil.which("dot")
    if program is None:
        raise GraphError(
            "cannot draw SVG: the Graphviz program 'dot' is not installed (install Graphviz, e.g. the Debian "
            "package graphviz), or use --format dot"
        )
    source = to_dot(project, nodes, links)
    try:
        done = subprocess.run([program, "-Tsvg"], input=source.encode(), capture_output=True, check=False)
    except OSError as e:
        raise GraphError(f"cannot run {program}: {e.strerror or e}") from None
    if done.returncode != 0:
        raise GraphError(f"{program} failed: {done.stderr.decode(errors='replace').strip()}")
    return done.stdout.decode("utf-8", errors="replace")


RENDERERS = {"json": to_json, "dot": to_dot, "mermaid": to_mermaid, "svg": to_svg}
