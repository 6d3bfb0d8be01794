"""Quick fixes for the diagnostics a client sends back: a `missing-ref`
replaced with a close match, and any finding silenced with a suppression
comment of the form `check` reads."""

from __future__ import annotations

import difflib
import re
from collections.abc import Sequence

from lsprotocol import types

from trelm_cst import Document, Project
from trelm_cst._lsp.hover import call_at, literal_arguments
from trelm_cst._lsp.positions import TextPositions
from trelm_cst._suppress import DIRECTIVE, read_suppressions

# Findings no comment silences: about the checker itself, or about comments.
UNSILENCED = frozenset({"round-trip", "invalid-suppression", "unused-suppression"})
JINJA_TOKENS = frozenset({"jinja_comment", "jinja_expression", "jinja_statement", "jinja_raw"})
CODES = re.compile(r"ignore\[([^\[\]]*)\]")


def code_actions(
    project: Project,
    doc: Document,
    text: str,
    positions: TextPositions,
    uri: str,
    diagnostics: Sequence[types.Diagnostic],
) -> list[types.CodeAction]:
    """The quick fixes for each diagnostic (those with a code)."""
    actions = []
    for diagnostic in diagnostics:
        code = diagnostic.code if isinstance(diagnostic.code, str) else None
        if code is None:
            continue
        if code == "missing-ref":
            matches = close_matches(project, doc, text, positions, diagnostic)
            for title, edit in matches:
                actions.append(quick_fix(title, uri, edit, diagnostic, preferred=len(matches) == 1))
        if code not in UNSILENCED:
            comment = suppression_edit(doc, text, positions, positions.offset(diagnostic.range.start), code)
            if comment is not None:
                actions.append(quick_fix(f"Ignore `{code}` on this line", uri, comment, diagnostic))
    return actions


def quick_fix(
    title: str, uri: str, edit: types.TextEdit, diagnostic: types.Diagnostic, preferred: bool = False
) -> types.CodeAction:
    return types.CodeAction(
        title=title,
        kind=types.CodeActionKind.QuickFix,
        diagnostics=[diagnostic],
        edit=types.WorkspaceEdit(changes={uri: [edit]}),
        is_preferred=preferred or None,
    )


def close_matches(
    project: Project,
    doc: Document,
    text: str,
    positions: TextPositions,
    diagnostic: types.Diagnostic,
) -> list[tuple[str, types.TextEdit]]:
    """A replacement of the ref's model name by each defined name close to it."""
    call = call_at(doc, "ref", positions.offset(diagnostic.range.start))
    named = literal_arguments(call) if call is not None else None
    if call is None or call.span is None or not named:
        return []
    argument = call.args[-1]
    start = text.rfind(argument, *call.span)
    if start < 0:
        return []
    folder = named[0] if len(named) == 2 else None
    names = {
        model.name
        for nodes in (project.models, project.seeds, project.snapshots)
        for model in nodes.values()
        if folder is None or model.project == folder
    }
    where = positions.range(start + 1, start + len(argument) - 1)  # inside the quotes
    return [
        (f"Change to `{name}`", types.TextEdit(range=where, new_text=name))
        for name in difflib.get_close_matches(named[-1], sorted(names), n=3, cutoff=0.6)
    ]


def suppression_edit(
    doc: Document, text: str, positions: TextPositions, offset: int, code: str
) -> types.TextEdit | None:
    """An edit that silences `code` on the line of `offset`: a code added to
    the suppression comment covering that line, else a comment on a line of
    its own above it, else one at the line's end; None where a comment
    cannot go (the line starts and ends inside a template tag)."""
    line_start = text.rfind("\n", 0, offset) + 1
    line_number = doc.location(line_start)[0]
    extended = extend_suppression(doc, text, positions, line_number, code)
    if extended is not None:
        return extended
    comment = "{# trelm-cst: ignore[" + code + "] #}"
    inside = tag_spans(doc)
    if not any(start < line_start < end for start, end in inside):
        indent = text[line_start : len(text) - len(text[line_start:].lstrip(" \t"))]
        line_break = text.find("\n", line_start)
        newline = "\r\n" if line_break > 0 and text[line_break - 1] == "\r" else "\n"
        return types.TextEdit(range=positions.range(line_start, line_start), new_text=indent + comment + newline)
    line_end = text.find("\n", offset)
    line_end = len(text) if line_end < 0 else line_end - (text[line_end - 1] == "\r")
    if not any(start < line_end < end for start, end in inside):
        return types.TextEdit(range=positions.range(line_end, line_end), new_text=" " + comment)
    return None


def tag_spans(doc: Document) -> list[tuple[int, int]]:
    return [token.span for token in doc.tokens() if token.kind in JINJA_TOKENS and token.span is not None]


def extend_suppression(
    doc: Document, text: str, positions: TextPositions, line: int, code: str
) -> types.TextEdit | None:
    """`code` added to the list of a suppression comment that covers `line` (1-based)."""
    suppressions, _ = read_suppressions(doc, text)
    covering = [s for s in suppressions if s.first <= line <= s.last and s.codes is not None]
    if not covering:
        return None
    for start, end in doc.template_comments():
        if doc.location(start) == (covering[0].line, covering[0].column) and DIRECTIVE.match(text, start, end):
            codes = CODES.search(text, start, end)
            if codes is None:
                return None
            return types.TextEdit(range=positions.range(codes.end(1), codes.end(1)), new_text=", " + code)
    return None
