"""Completion inside the calls that name things: model names in `ref('`,
source and table names in `source('`, config keys in `config(`.

It reads the text before the cursor, not the parsed document: while a call is
being typed the file rarely parses."""

from __future__ import annotations

import re
from collections import Counter
from dataclasses import dataclass

from lsprotocol import types

from trelm_cst import Project
from trelm_cst._lsp.positions import TextPositions

# The string argument being typed, up to the cursor: its opening quote and what follows it.
OPEN_STRING = r"""\s*(['"])([^'"\\\n]*)$"""
REF_FIRST = re.compile(r"\bref\(" + OPEN_STRING)
REF_SECOND = re.compile(r"""\bref\(\s*(['"])(\w+)\1\s*,""" + OPEN_STRING)
SOURCE_FIRST = re.compile(r"\bsource\(" + OPEN_STRING)
SOURCE_SECOND = re.compile(r"""\bsource\(\s*(['"])([^'"\\\n]+)\1\s*,""" + OPEN_STRING)
# A call opened with no argument yet: the name comes with its quotes.
BARE = re.compile(r"\b(ref|source)\(\s*$")
CONFIG_CALL = re.compile(r"\bconfig\s*\(")
KEY_TYPED = re.compile(r"(?:^|[(,])\s*(\w*)$")
# How far back a config call's opening is looked for: calls are short.
CONFIG_REACH = 4000


@dataclass(frozen=True)
class Wanted:
    """What the cursor's place asks for: its kind ("model", "source",
    "table" or "config"), the part already typed (which the completion
    replaces) and the call's first argument where the kind depends on it."""

    kind: str
    typed: str
    first: str | None = None
    quote: str = ""  # put around the name: none was typed


def wanted_at(text: str, offset: int) -> Wanted | None:
    """What may be completed at `offset`, from the text before it."""
    line = text[text.rfind("\n", 0, offset) + 1 : offset]
    bare = BARE.search(line)
    if bare:
        return Wanted("model" if bare.group(1) == "ref" else "source", "", quote="'")
    for pattern, kind in ((REF_SECOND, "model"), (SOURCE_SECOND, "table")):
        match = pattern.search(line)
        if match:
            return Wanted(kind, match.group(4), match.group(2))
    for pattern, kind in ((REF_FIRST, "model"), (SOURCE_FIRST, "source")):
        match = pattern.search(line)
        if match:
            return Wanted(kind, match.group(2))
    return config_key_at(text, offset)


def config_key_at(text: str, offset: int) -> Wanted | None:
    """A keyword name being typed directly inside `config(`, which may span lines."""
    start = max(0, offset - CONFIG_REACH)
    calls = list(CONFIG_CALL.finditer(text, start, offset))
    if not calls:
        return None
    inside = text[calls[-1].end() - 1 : offset]
    if bracket_depth(inside) != 1:
        return None
    typed = KEY_TYPED.search(inside)
    return Wanted("config", typed.group(1)) if typed else None


def bracket_depth(text: str) -> int | None:
    """How many brackets are open at the end of `text` (None inside a string)."""
    depth = 0
    quote = ""
    escaped = False
    for char in text:
        if quote:
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == quote:
                quote = ""
        elif char in "'\"":
            quote = char
        elif char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
    return None if quote else depth


def candidates(project: Project, wanted: Wanted) -> list[tuple[str, str]]:
    """(label, detail) of each name that fits, in a stable order."""
    if wanted.kind == "model":
        return model_names(project, wanted.first)
    if wanted.kind == "source":
        names = sorted({source for source, _ in source_tables(project)})
        return [(name, "source") for name in names]
    if wanted.kind == "table":
        tables = sorted(table for source, table in source_tables(project) if source == wanted.first)
        return [(table, f"table of source {wanted.first}") for table in tables]
    return config_keys(project)


def model_names(project: Project, package: str | None) -> list[tuple[str, str]]:
    """Models, seeds and snapshots by name (of project folder `package` when given)."""
    found: dict[str, str] = {}
    for kind, nodes in (("snapshot", project.snapshots), ("seed", project.seeds), ("model", project.models)):
        for model in nodes.values():
            if package is None or model.project == package:
                found[model.name] = f"{kind}: {model.path}"
    return sorted(found.items())


def source_tables(project: Project) -> set[tuple[str, str]]:
    """Every (source, table) declared or read."""
    return set(project.declared_sources) | set(project.sources)


def config_keys(project: Project) -> list[tuple[str, str]]:
    """Config keys seen in the project's models, the most used first."""
    seen: Counter[str] = Counter()
    for model in project.files:
        seen.update(model.config.keys())
    ranked = sorted(seen.items(), key=lambda item: (-item[1], item[0]))
    return [(key, f"set in {count} model{'s' if count != 1 else ''}") for key, count in ranked]


def completions(project: Project, text: str, offset: int, positions: TextPositions) -> list[types.CompletionItem]:
    """The completion items at `offset`; each replaces what was typed of the name."""
    wanted = wanted_at(text, offset)
    if wanted is None:
        return []
    where = positions.range(offset - len(wanted.typed), offset)
    kind = types.CompletionItemKind.Property if wanted.kind == "config" else types.CompletionItemKind.Reference
    items = []
    for order, (label, detail) in enumerate(candidates(project, wanted)):
        items.append(
            types.CompletionItem(
                label=label,
                kind=kind,
                detail=detail,
                sort_text=f"{order:06d}",
                text_edit=types.TextEdit(range=where, new_text=wanted.quote + label + wanted.quote),
            )
        )
    return items
