"""The editor features beyond diagnostics and navigation: hover, symbols,
folding, completion and quick fixes, each a request on the workspace index."""

from __future__ import annotations

import asyncio
import os

from lsprotocol import types
from pygls.lsp.server import LanguageServer

from trelm_cst import Model
from trelm_cst._lsp.actions import code_actions
from trelm_cst._lsp.completion import completions
from trelm_cst._lsp.hover import hover_text
from trelm_cst._lsp.outline import document_symbols, folding_ranges, workspace_symbols
from trelm_cst._lsp.positions import TextPositions
from trelm_cst._lsp.workspace import Workspace

# A name opens on a quote after `ref(` or `source(`; a config key after `config(` or a comma.
TRIGGERS = ["'", '"', "(", ","]
# How long a request about the project waits for the workspace to be read (seconds), without holding up others.
LOAD_WAIT = 10.0


def register(server: LanguageServer) -> None:
    """Adds the features to a server built by `build_server`."""

    def index() -> Workspace | None:
        found: Workspace | None = getattr(server, "workspace_index", None)
        return found

    async def loaded() -> Workspace | None:
        """The workspace once read (what a request about other files needs), or None."""
        workspace = index()
        if workspace is None:
            return None
        if not workspace.ready.is_set():
            await asyncio.get_running_loop().run_in_executor(None, workspace.ready.wait, LOAD_WAIT)
        return workspace

    @server.feature(types.TEXT_DOCUMENT_HOVER)
    async def hover(params: types.HoverParams) -> types.Hover | None:
        workspace = await loaded()
        uri = params.text_document.uri
        doc = workspace.document(uri) if workspace is not None else None
        if workspace is None or doc is None:
            return None
        text = str(doc)
        positions = workspace.positions(uri)
        offset = positions.offset(params.position)
        found = hover_text(workspace.project, doc, text, offset, workspace.model_at(uri), lambda p: shown(workspace, p))
        if found is None:
            return None
        content, span = found
        markup = types.MarkupContent(kind=types.MarkupKind.Markdown, value=content)
        return types.Hover(contents=markup, range=positions.range(*span))

    @server.feature(types.TEXT_DOCUMENT_DOCUMENT_SYMBOL)
    def document_symbol(params: types.DocumentSymbolParams) -> list[types.DocumentSymbol]:
        workspace = index()
        uri = params.text_document.uri
        doc = workspace.document(uri) if workspace is not None else None
        if workspace is None or doc is None:
            return []
        return document_symbols(doc, str(doc), workspace.positions(uri))

    @server.feature(types.WORKSPACE_SYMBOL)
    async def workspace_symbol(params: types.WorkspaceSymbolParams) -> list[types.SymbolInformation]:
        workspace = await loaded()
        if workspace is None:
            return []
        return workspace_symbols(workspace.project, params.query, lambda model: location(workspace, model))

    @server.feature(types.TEXT_DOCUMENT_FOLDING_RANGE)
    def folding_range(params: types.FoldingRangeParams) -> list[types.FoldingRange]:
        workspace = index()
        uri = params.text_document.uri
        doc = workspace.document(uri) if workspace is not None else None
        if workspace is None or doc is None:
            return []
        return folding_ranges(doc, str(doc), workspace.positions(uri))

    @server.feature(types.TEXT_DOCUMENT_COMPLETION, types.CompletionOptions(trigger_characters=TRIGGERS))
    async def completion(params: types.CompletionParams) -> list[types.CompletionItem]:
        workspace = await loaded()
        uri = params.text_document.uri
        text = workspace.text(uri) if workspace is not None else None
        if workspace is None or text is None:
            return []
        positions = workspace.positions(uri)
        return completions(workspace.project, text, positions.offset(params.position), positions)

    @server.feature(
        types.TEXT_DOCUMENT_CODE_ACTION, types.CodeActionOptions(code_action_kinds=[types.CodeActionKind.QuickFix])
    )
    async def code_action(params: types.CodeActionParams) -> list[types.CodeAction]:
        workspace = await loaded()
        uri = params.text_document.uri
        doc = workspace.document(uri) if workspace is not None else None
        if workspace is None or doc is None:
            return []
        positions = workspace.positions(uri)
        return code_actions(workspace.project, doc, str(doc), positions, uri, params.context.diagnostics)


def shown(workspace: Workspace, path: str) -> str:
    """A path as the user knows it: relative to the workspace folder holding it."""
    for folder in workspace.folders:
        if path.startswith(folder + os.sep):
            return os.path.relpath(path, folder)
    return path


def location(workspace: Workspace, model: Model) -> types.Location:
    """Where a model, seed or snapshot is defined: its file's start, or its YAML entry."""
    uri = workspace.uri_of(model.path)
    line, column = max(model.line - 1, 0), max(model.column - 1, 0)
    if column:
        text = workspace.text(uri)
        lines = text.splitlines() if text is not None else []
        if line < len(lines):
            column = TextPositions(lines[line], workspace.encoding).position(column).character
    start = types.Position(line=line, character=column)
    return types.Location(uri=uri, range=types.Range(start=start, end=start))
