"""Go to definition, find references and rename: models through their ref()
calls, CTEs within their file, and qualified columns to where their relation
defines them."""

from __future__ import annotations

import difflib
import re
from collections.abc import Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from lsprotocol import types
from pygls.exceptions import JsonRpcException

from trelm_cst._lsp.diagnostics import offset_of
from trelm_cst._lsp.positions import TextPositions
from trelm_cst._lsp.workspace import Workspace
from trelm_cst._native import Call, ColumnRef, Cte, Document, Query, Relation
from trelm_cst._project import Model, Project, Ref, string_literals
from trelm_cst._rename import plan_rename, refs_to

if TYPE_CHECKING:
    from trelm_cst._lsp.server import TrelmLanguageServer

IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_$]*")
WORD_CHARS = re.compile(r"[A-Za-z0-9_$]")


class Refused(JsonRpcException):
    """A request the server cannot carry out, with a message the editor shows."""

    CODE = types.LSPErrorCodes.RequestFailed


# ---------------------------------------------------------------- what is under the cursor


@dataclass(frozen=True)
class RefAt:
    """A ref() call under the cursor: its record in the project and the span of its model name."""

    ref: Ref
    name_span: tuple[int, int]


def ref_at(index: Workspace, path: str, offset: int) -> RefAt | None:
    parsed = index.parsed_at(path)
    if parsed is None or parsed.document is None:
        return None
    text = parsed.text
    for call in parsed.document.calls("ref"):
        span = call.span
        if span is None or not span[0] <= offset <= span[1]:
            continue
        names = string_literals(call.args)
        if names is None or not 1 <= len(names) <= 2:
            return None
        name_span = argument_span(text, call, len(call.args) - 1)
        line, column = line_column(text, span[0])
        record = index.record_at(path)
        if record is None or name_span is None:
            return None
        for ref in record.refs:
            if (ref.line, ref.column) == (line, column):
                return RefAt(ref, name_span)
        return None
    return None


def argument_span(text: str, call: Call, index: int) -> tuple[int, int] | None:
    """Where the value of a string argument lies, inside its quotes."""
    span = call.span
    if span is None:
        return None
    at = text.find("(", span[0], span[1])
    if at < 0:
        return None
    for number, argument in enumerate(call.args):
        at = text.find(argument, at, span[1])
        if at < 0:
            return None
        if number == index:
            return at + 1, at + len(argument) - 1
        at += len(argument)
    return None


def line_column(text: str, offset: int) -> tuple[int, int]:
    """The 1-based line and column the project's records give a place."""
    return text.count("\n", 0, offset) + 1, offset - (text.rfind("\n", 0, offset) + 1) + 1


def word_at(text: str, offset: int) -> tuple[int, int] | None:
    start = offset
    while start > 0 and WORD_CHARS.match(text[start - 1]):
        start -= 1
    end = offset
    while end < len(text) and WORD_CHARS.match(text[end]):
        end += 1
    return (start, end) if end > start else None


def resolved(project: Project, ref: Ref) -> Model | None:
    node = project._resolved.get(id(ref))
    return project.definition(node) if node is not None else None


# ---------------------------------------------------------------- the queries of a document


def queries(doc: Document) -> Iterator[Query]:
    """Every query of the document: statements, CTEs and subqueries, outer first."""
    stack = list(reversed(doc.queries()))
    seen: set[Query] = set()
    while stack:
        query = stack.pop()
        if query in seen:
            continue
        seen.add(query)
        yield query
        inner = [cte.query for cte in query.ctes] + [relation.query for relation in query.relations]
        stack.extend(reversed([q for q in inner if q is not None]))


def ctes_named(doc: Document, name: str) -> list[Cte]:
    wanted = name.lower()
    return [cte for query in queries(doc) for cte in query.ctes if (cte.name or "").lower() == wanted]


def cte_name_span(text: str, cte: Cte) -> tuple[int, int] | None:
    span, name = cte.span, cte.name
    if span is None or name is None:
        return None
    match = re.compile(r"[\"`\[]?" + re.escape(name), re.IGNORECASE).search(text, span[0], span[1])
    if match is None:
        return None
    return match.end() - len(name), match.end()


def relation_name_span(text: str, relation: Relation, name: str) -> tuple[int, int] | None:
    span = relation.span
    if span is None:
        return None
    at = text.lower().find(name.lower(), span[0], span[1])
    return (at, at + len(name)) if at >= 0 else None


def cte_uses(doc: Document, text: str, name: str) -> list[tuple[int, int]]:
    """Where the document reads a CTE: relations naming it, and qualifiers
    (`name.column`) of its columns."""
    wanted = name.lower()
    found: set[tuple[int, int]] = set()
    for query in queries(doc):
        for relation in query.relations:
            if relation.kind == "cte" and isinstance(relation.name, str) and relation.name.lower() == wanted:
                span = relation_name_span(text, relation, name)
                if span is not None:
                    found.add(span)
        for ref in column_refs(query):
            if (ref.qualifier or "").lower() == wanted and ref.span is not None:
                found.add((ref.span[0], ref.span[0] + len(name)))
    return sorted(found)


def column_refs(query: Query) -> Iterator[ColumnRef]:
    yield from query.filters
    for select in query.selects:
        for column in select.columns:
            yield from column.references
        for conditional in select.conditional_columns:
            yield from conditional.references


@dataclass(frozen=True)
class CteAt:
    cte: Cte
    name: str
    definition: tuple[int, int]


def cte_at(doc: Document, text: str, offset: int) -> CteAt | None:
    """The CTE whose name (where defined or used) is under the cursor."""
    word = word_at(text, offset)
    if word is None:
        return None
    name = text[word[0] : word[1]]
    for cte in ctes_named(doc, name):
        definition = cte_name_span(text, cte)
        if definition is None:
            continue
        if definition == word or word in cte_uses(doc, text, name):
            return CteAt(cte, cte.name or name, definition)
    return None


# ---------------------------------------------------------------- locations


def location(index: Workspace, path: str, start: int, end: int) -> types.Location:
    return types.Location(uri=index.uri_of(path), range=index.positions_at(path).range(start, end))


def place_location(index: Workspace, path: str, line: int, column: int, length: int) -> types.Location:
    """The location of a record's place (1-based line and column in characters)."""
    text = index.text_at(path) or ""
    positions = TextPositions(text, index.encoding)
    start = offset_of(positions, line, column)
    return types.Location(uri=index.uri_of(path), range=positions.range(start, start + length))


def definition_location(index: Workspace, model: Model) -> types.Location:
    """Where a model, seed or snapshot is defined: the top of its file, or its YAML entry or block."""
    if model.path.endswith(".sql") and model.kind == "model" or model.path.endswith(".csv"):
        start = types.Position(0, 0)
        return types.Location(uri=index.uri_of(model.path), range=types.Range(start, start))
    return place_location(index, model.path, model.line, model.column, 0)


def ref_locations(index: Workspace, refs: dict[str, list[Ref]]) -> list[types.Location]:
    found = []
    for path, in_file in refs.items():
        text = index.text_at(path) or ""
        positions = TextPositions(text, index.encoding)
        for ref in in_file:
            start = offset_of(positions, ref.line, ref.column)
            found.append(types.Location(uri=index.uri_of(path), range=positions.range(start, start + len(ref.text))))
    return found


# ---------------------------------------------------------------- definition


def definition(index: Workspace, uri: str, position: types.Position) -> list[types.Location]:
    path = index.path_of(uri)
    positions = index.positions_at(path)
    offset = positions.offset(position)
    found = ref_at(index, path, offset)
    if found is not None:
        model = resolved(index.project, found.ref)
        return [definition_location(index, model)] if model is not None else []
    parsed = index.parsed_at(path)
    if parsed is None or parsed.document is None:
        return []
    column = column_definition(index, path, parsed.document, parsed.text, offset)
    if column is not None:
        return [column]
    cte = cte_at(parsed.document, parsed.text, offset)
    if cte is not None:
        return [location(index, path, *cte.definition)]
    return []


def column_definition(index: Workspace, path: str, doc: Document, text: str, offset: int) -> types.Location | None:
    """For `alias.column` under the cursor: where the relation it reads defines the column."""
    for query in queries(doc):
        for ref in column_refs(query):
            span = ref.span
            if ref.qualifier is None or span is None or not span[0] <= offset <= span[1]:
                continue
            relation = next(
                (r for r in query.relations if ref.qualifier.lower() in {(r.alias or "").lower(), relation_id(r)}),
                None,
            )
            if relation is None:
                return None
            return relation_column(index, path, doc, text, relation, ref.name)
    return None


def relation_id(relation: Relation) -> str:
    name = relation.name
    return (name if isinstance(name, str) else name[-1]).lower()


def relation_column(
    index: Workspace, path: str, doc: Document, text: str, relation: Relation, column: str
) -> types.Location | None:
    if relation.kind == "cte" and isinstance(relation.name, str):
        for cte in ctes_named(doc, relation.name):
            select = cte.query.select if cte.query is not None else None
            found = select.find(column) if select is not None else None
            if found is not None and found.span is not None:
                return location(index, path, *found.span)
            definition = cte_name_span(text, cte)
            if definition is not None:
                return location(index, path, *definition)
        return None
    if relation.kind != "ref":
        return None
    record = index.record_at(path)
    span = relation.span
    if record is None or span is None:
        return None
    # The ref call that the relation is: the record's ref at that place.
    model = None
    for ref in record.refs:
        if span[0] <= offset_of(index.positions_at(path), ref.line, ref.column) <= span[1]:
            model = resolved(index.project, ref)
            break
    if model is None:
        return None
    parsed = index.parsed_at(model.path)
    if parsed is not None and parsed.document is not None and parsed.document.query is not None:
        select = parsed.document.query.select
        found = select.find(column) if select is not None else None
        if found is not None and found.span is not None:
            return location(index, model.path, *found.span)
    return definition_location(index, model)


# ---------------------------------------------------------------- references


def references(
    index: Workspace, uri: str, position: types.Position, include_declaration: bool
) -> list[types.Location]:
    path = index.path_of(uri)
    offset = index.positions_at(path).offset(position)
    parsed = index.parsed_at(path)
    if parsed is not None and parsed.document is not None:
        found = ref_at(index, path, offset)
        if found is None:
            cte = cte_at(parsed.document, parsed.text, offset)
            if cte is not None:
                spans = cte_uses(parsed.document, parsed.text, cte.name)
                if include_declaration:
                    spans = [cte.definition, *spans]
                return [location(index, path, *span) for span in spans]
    model = model_under(index, path, offset)
    if model is None:
        return []
    project = index.project
    found_refs = refs_to(project, (model.kind, project.id_of(model)))
    result = ref_locations(index, found_refs)
    if include_declaration:
        result.insert(0, definition_location(index, model))
    return result


def model_under(index: Workspace, path: str, offset: int) -> Model | None:
    """The model a ref under the cursor names, else the file's own model."""
    found = ref_at(index, path, offset)
    project = index.project
    if found is not None:
        return resolved(project, found.ref)
    record = index.record_at(path)
    if record is None or record.kind != "model":
        return None
    return next((m for m in project.defined_by(project.id_of(record)) if m.path == path), None)


# ---------------------------------------------------------------- rename


def prepare_rename(
    ls: TrelmLanguageServer, uri: str, position: types.Position
) -> types.PrepareRenamePlaceholder | None:
    index = ls_index(ls)
    path = index.path_of(uri)
    positions = index.positions_at(path)
    offset = positions.offset(position)
    found = ref_at(index, path, offset)
    if found is not None:
        model = resolved(index.project, found.ref)
        if model is None or model.kind != "model":
            raise Refused(f"ref to {found.ref.model!r} names no model of the workspace")
        refuse_without_file_renames(ls)
        return types.PrepareRenamePlaceholder(positions.range(*found.name_span), model.name)
    parsed = index.parsed_at(path)
    if parsed is None or parsed.document is None:
        return None
    cte = cte_at(parsed.document, parsed.text, offset)
    if cte is None:
        return None
    word = word_at(parsed.text, offset)
    assert word is not None  # a CTE was found under it
    return types.PrepareRenamePlaceholder(positions.range(*word), cte.name)


def refuse_without_file_renames(ls: TrelmLanguageServer) -> None:
    if not ls.resource_operations:
        raise Refused(
            "renaming a model moves its file, and this editor cannot rename files in an edit; "
            "run `trelm-cst rename-model OLD NEW .` instead"
        )


def ls_index(ls: TrelmLanguageServer) -> Workspace:
    index = ls.workspace_index
    if index is None:
        raise Refused("the server is not initialized")
    return index


def rename(ls: TrelmLanguageServer, uri: str, position: types.Position, new: str) -> types.WorkspaceEdit | None:
    index = ls_index(ls)
    path = index.path_of(uri)
    offset = index.positions_at(path).offset(position)
    found = ref_at(index, path, offset)
    if found is not None:
        model = resolved(index.project, found.ref)
        if model is None or model.kind != "model":
            raise Refused(f"ref to {found.ref.model!r} names no model of the workspace")
        return rename_model(ls, model, new)
    parsed = index.parsed_at(path)
    if parsed is None or parsed.document is None:
        return None
    cte = cte_at(parsed.document, parsed.text, offset)
    if cte is None:
        return None
    return rename_cte(ls, uri, parsed.document, parsed.text, cte, new)


def rename_model(ls: TrelmLanguageServer, model: Model, new: str) -> types.WorkspaceEdit:
    refuse_without_file_renames(ls)
    index = ls_index(ls)
    project = index.project
    for path in index.open_paths():
        buffer, disk = index.text_at(path), read_text(path)
        if disk is not None and buffer != disk:
            raise Refused(f"{path} has unsaved changes; save it before renaming a model")
    try:
        plan = plan_rename(project, project.id_of(model), new)
    except ValueError as e:
        raise Refused(f"cannot rename {model.name!r}: {e}") from None
    changes: list[Any] = []
    for rewrite in plan.rewrites:
        uri = index.uri_of(rewrite.file.path)
        document = ls.workspace.text_documents.get(uri)
        version = document.version if document is not None else None
        edits = text_edits(rewrite.file.text, rewrite.text, index.encoding)
        identifier = types.OptionalVersionedTextDocumentIdentifier(uri=uri, version=version)
        changes.append(types.TextDocumentEdit(text_document=identifier, edits=edits))
    result = plan.result
    changes.append(types.RenameFile(old_uri=index.uri_of(result.old_path), new_uri=index.uri_of(result.new_path)))
    return types.WorkspaceEdit(document_changes=changes)


def read_text(path: str) -> str | None:
    from trelm_cst._files import Problem, read_model

    read = read_model(path)
    return None if isinstance(read, Problem) else read.text


def text_edits(before: str, after: str, encoding: str) -> list[types.TextEdit | types.AnnotatedTextEdit | types.SnippetTextEdit]:
    """The edits that turn `before` into `after`, line blocks that differ."""
    positions = TextPositions(before, encoding)
    old_lines, new_lines = before.splitlines(keepends=True), after.splitlines(keepends=True)
    starts = [0]
    for line in old_lines:
        starts.append(starts[-1] + len(line))
    edits: list[types.TextEdit | types.AnnotatedTextEdit | types.SnippetTextEdit] = []
    matcher = difflib.SequenceMatcher(None, old_lines, new_lines, autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == "equal":
            continue
        edits.append(types.TextEdit(positions.range(starts[i1], starts[i2]), "".join(new_lines[j1:j2])))
    return edits


def rename_cte(
    ls: TrelmLanguageServer, uri: str, doc: Document, text: str, cte: CteAt, new: str
) -> types.WorkspaceEdit:
    if not IDENTIFIER.fullmatch(new):
        raise Refused(f"{new!r} is not a plain SQL name")
    if new.lower() != cte.name.lower() and ctes_named(doc, new):
        raise Refused(f"a CTE named {new!r} is defined already")
    index = ls_index(ls)
    positions = index.positions(uri)
    spans = sorted({cte.definition, *cte_uses(doc, text, cte.name)})
    edits: list[types.TextEdit | types.AnnotatedTextEdit | types.SnippetTextEdit] = [
        types.TextEdit(positions.range(*span), new) for span in spans
    ]
    document = ls.workspace.text_documents.get(uri)
    version = document.version if document is not None else None
    identifier = types.OptionalVersionedTextDocumentIdentifier(uri=uri, version=version)
    return types.WorkspaceEdit(document_changes=[types.TextDocumentEdit(text_document=identifier, edits=edits)])


# ---------------------------------------------------------------- registration


def register(server: TrelmLanguageServer) -> None:
    @server.feature(types.TEXT_DOCUMENT_DEFINITION)
    def on_definition(ls: TrelmLanguageServer, params: types.DefinitionParams) -> list[types.Location]:
        return definition(ls_index(ls), params.text_document.uri, params.position)

    @server.feature(types.TEXT_DOCUMENT_REFERENCES)
    def on_references(ls: TrelmLanguageServer, params: types.ReferenceParams) -> list[types.Location]:
        index = ls_index(ls)
        return references(index, params.text_document.uri, params.position, params.context.include_declaration)

    @server.feature(types.TEXT_DOCUMENT_PREPARE_RENAME)
    def on_prepare_rename(
        ls: TrelmLanguageServer, params: types.PrepareRenameParams
    ) -> types.PrepareRenamePlaceholder | None:
        return prepare_rename(ls, params.text_document.uri, params.position)

    @server.feature(types.TEXT_DOCUMENT_RENAME, types.RenameOptions(prepare_provider=True))
    def on_rename(ls: TrelmLanguageServer, params: types.RenameParams) -> types.WorkspaceEdit | None:
        return rename(ls, params.text_document.uri, params.position, params.new_name)
