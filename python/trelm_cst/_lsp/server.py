"""The language server: a pygls server over the workspace index.

Handlers run on the server's event loop, one message after another, so that
edits apply in order. Reading the workspace at start and publishing the
project's findings for files not open run on threads of their own; what
they publish is handed back to the loop."""

from __future__ import annotations

import asyncio
import gc
import logging
import threading
import time
from collections.abc import Iterable
from typing import Any

from lsprotocol import types
from pygls.lsp.server import LanguageServer

from trelm_cst._lsp import more, navigation
from trelm_cst._lsp.diagnostics import ProjectFindings, diagnostics_of
from trelm_cst._lsp.workspace import Workspace
from trelm_cst.cli import PROJECT_CODES, Finding

NAME = "trelm-cst"
WATCHED = ("**/*.sql", "**/*.yml", "**/*.yaml", "**/*.csv", "**/pyproject.toml")

log = logging.getLogger(__name__)


class TrelmLanguageServer(LanguageServer):
    """A pygls server that keeps the workspace index and what it published."""

    def __init__(self) -> None:
        from trelm_cst import __version__

        super().__init__(NAME, __version__)
        self.workspace_index: Workspace | None = None
        self.findings = ProjectFindings()
        self.loop: asyncio.AbstractEventLoop | None = None
        self.pull = False  # the client asks for diagnostics itself
        self.resource_operations = False  # the client can rename files in a workspace edit
        self.published: dict[str, list[types.Diagnostic]] = {}  # by path, what the client shows
        self.project_part: dict[str, list[types.Diagnostic]] = {}  # by path, the project's findings last given
        self._refresh = threading.Event()
        # The project's findings by path and the open files as last refreshed.
        self._refreshed: tuple[dict[str, list[Finding]], set[str]] = ({}, set())
        self._refresher: threading.Thread | None = None

    # ------------------------------------------------------------ diagnostics

    def diagnostics(self, path: str) -> list[types.Diagnostic]:
        """The file's diagnostics now: its own and, once the project is read,
        the project's. While the graph is being built again after a change,
        the project's are those last given, and the refreshing thread builds
        it: a keystroke never waits for the whole project."""
        index = self.workspace_index
        if index is None:
            return []
        if not index.ready.is_set():
            return diagnostics_of(index, path, self.findings, False)
        if not index.project_built:
            self.refresh_others()
            return diagnostics_of(index, path, self.findings, False) + self.project_part.get(path, [])
        found = diagnostics_of(index, path, self.findings, True)
        self.project_part[path] = [d for d in found if d.code in PROJECT_CODES]
        return found

    def publish(self, path: str, diagnostics: list[types.Diagnostic], opened: bool = False) -> None:
        """Sends diagnostics that differ from what the client shows; to a
        file just opened, even none. Runs on the loop only."""
        if self.published.get(path) == diagnostics or (not diagnostics and path not in self.published and not opened):
            return
        self.published[path] = diagnostics
        index = self.workspace_index
        assert index is not None
        self.text_document_publish_diagnostics(
            types.PublishDiagnosticsParams(uri=index.uri_of(path), diagnostics=diagnostics)
        )

    def document_changed(self, path: str, graph_changed: bool) -> None:
        """After an edit: the document's diagnostics at once; the other
        files' on the refreshing thread when the edit changed the graph."""
        if not self.pull:
            self.publish(path, self.diagnostics(path), opened=True)
        elif self.published.get(path):
            # Pushed while it was not open; the client asks for an open file's itself.
            self.publish(path, [])
        if graph_changed:
            self.refresh_others()

    def refresh_others(self) -> None:
        if self._refresher is None:
            self._refresher = threading.Thread(target=self._refresh_loop, name="trelm-cst refresh", daemon=True)
            self._refresher.start()
        self._refresh.set()

    def _refresh_loop(self) -> None:
        while True:
            self._refresh.wait()
            self._refresh.clear()
            try:
                self.refresh_all()
            except Exception:  # a fault here must not end the thread that keeps the client current
                log.exception("refreshing diagnostics failed")

    def refresh_all(self) -> None:
        """Works out, on the refreshing thread, the project's findings in
        files not open; the loop then publishes them and the open files'."""
        index = self.workspace_index
        if index is None or not index.ready.is_set():
            return
        by_path = self.findings.all(index)
        open_paths = set(index.open_paths())
        (before, were_open), self._refreshed = self._refreshed, (by_path, open_paths)
        # A file whose list is the same object has what the client was given
        # (a project updated from the last keeps the untouched files' lists).
        changed = {path for path, found in by_path.items() if before.get(path) is not found}
        changed |= {path for path in before if path not in by_path} | were_open
        closed: dict[str, list[types.Diagnostic]] = {}
        for path in sorted(changed - open_paths):
            if not any(f.severity != "info" for f in by_path.get(path, [])):
                closed[path] = []
            else:
                closed[path] = diagnostics_of(index, path, self.findings, True, own=False)
        if self.loop is not None:
            self.loop.call_soon_threadsafe(self._publish_refreshed, closed)

    def _publish_refreshed(self, closed: dict[str, list[types.Diagnostic]]) -> None:
        """On the loop, where every publication happens, in order."""
        index = self.workspace_index
        assert index is not None
        open_paths = set(index.open_paths())
        if self.pull:
            self.workspace_diagnostic_refresh(None)
        else:
            for path in open_paths:
                self.publish(path, self.diagnostics(path), opened=True)
        for path, diagnostics in closed.items():
            if path not in open_paths:  # opened meanwhile: published in full above
                self.publish(path, diagnostics)


def folders_of(params: types.InitializeParams) -> list[str]:
    """The workspace folders' URIs, else the root's."""
    if params.workspace_folders:
        return [folder.uri for folder in params.workspace_folders]
    if params.root_uri:
        return [params.root_uri]
    if params.root_path:
        from pygls import uris

        return [uris.from_fs_path(params.root_path) or params.root_path]
    return []


def changed_paths(index: Workspace, changes: Iterable[types.FileEvent]) -> list[str]:
    return [index.path_of(change.uri) for change in changes]


def build_server() -> LanguageServer:
    server = TrelmLanguageServer()

    @server.feature(types.INITIALIZE)
    def initialize(ls: TrelmLanguageServer, params: types.InitializeParams) -> None:
        ls.loop = asyncio.get_running_loop()
        capabilities = params.capabilities
        ls.pull = capabilities.text_document is not None and capabilities.text_document.diagnostic is not None
        edit = capabilities.workspace.workspace_edit if capabilities.workspace is not None else None
        operations = edit.resource_operations if edit is not None else None
        ls.resource_operations = operations is not None and types.ResourceOperationKind.Rename in operations
        chosen = ls.workspace.position_encoding or types.PositionEncodingKind.Utf16
        encoding = chosen.value if isinstance(chosen, types.PositionEncodingKind) else str(chosen)
        index = Workspace([], encoding)
        index = Workspace([index.path_of(uri) for uri in folders_of(params)], encoding)
        ls.workspace_index = index

        def load() -> None:
            began = time.perf_counter()
            try:
                index.load()
            except Exception:
                log.exception("reading the workspace failed")
                index.ready.set()
            files = len(index.project.files)
            # The index read lives about as long as the server: the cyclic
            # collector leaves it out of its passes (a full one over it takes
            # about 0.1 s, now and then within a keystroke). Its objects are
            # still freed when no longer referred to; only a cycle among them
            # (this project and a lineage cache of it) would stay.
            gc.freeze()
            message = f"trelm-cst: read {files:,} model {'file' if files == 1 else 'files'} in {time.perf_counter() - began:.2f} s"
            if ls.loop is not None:
                ls.loop.call_soon_threadsafe(ls.window_log_message, types.LogMessageParams(types.MessageType.Info, message))
            ls.refresh_others()

        threading.Thread(target=load, name="trelm-cst index", daemon=True).start()

    @server.feature(types.INITIALIZED)
    def initialized(ls: TrelmLanguageServer, params: types.InitializedParams) -> None:
        index = ls.workspace_index
        if index is not None and index.settings_problem is not None:
            message = f"trelm-cst: {index.settings_problem}; using the default settings"
            ls.window_show_message(types.ShowMessageParams(types.MessageType.Warning, message))
        workspace = ls.client_capabilities.workspace
        watched = workspace.did_change_watched_files if workspace is not None else None
        if watched is not None and watched.dynamic_registration:
            options = types.DidChangeWatchedFilesRegistrationOptions(
                watchers=[types.FileSystemWatcher(glob_pattern=glob) for glob in WATCHED]
            )
            registration = types.Registration(
                id="trelm-cst-watched-files", method=types.WORKSPACE_DID_CHANGE_WATCHED_FILES, register_options=options
            )
            ls.client_register_capability(types.RegistrationParams(registrations=[registration]))

    def current(ls: TrelmLanguageServer) -> Workspace:
        index = ls.workspace_index
        if index is None:
            raise RuntimeError("the server is not initialized")
        return index

    @server.feature(types.TEXT_DOCUMENT_DID_OPEN)
    def did_open(ls: TrelmLanguageServer, params: types.DidOpenTextDocumentParams) -> None:
        index = current(ls)
        uri = params.text_document.uri
        ls.document_changed(index.path_of(uri), index.opened(uri, params.text_document.text))

    @server.feature(types.TEXT_DOCUMENT_DID_CHANGE)
    def did_change(ls: TrelmLanguageServer, params: types.DidChangeTextDocumentParams) -> None:
        index = current(ls)
        uri = params.text_document.uri
        text = ls.workspace.get_text_document(uri).source
        ls.document_changed(index.path_of(uri), index.changed(uri, text))

    @server.feature(types.TEXT_DOCUMENT_DID_SAVE)
    def did_save(ls: TrelmLanguageServer, params: types.DidSaveTextDocumentParams) -> None:
        pass  # the buffer's text counts already; without it pygls would not ask for saves

    @server.feature(types.TEXT_DOCUMENT_DID_CLOSE)
    def did_close(ls: TrelmLanguageServer, params: types.DidCloseTextDocumentParams) -> None:
        index = current(ls)
        uri = params.text_document.uri
        path = index.path_of(uri)
        index.closed(uri)
        # Closed, it shows the project's findings only, as the files never opened do.
        ls.publish(path, [])
        ls.published.pop(path, None)
        ls.refresh_others()

    @server.feature(types.WORKSPACE_DID_CHANGE_WATCHED_FILES)
    def did_change_watched_files(ls: TrelmLanguageServer, params: types.DidChangeWatchedFilesParams) -> None:
        index = current(ls)
        paths = changed_paths(index, params.changes)
        if index.files_changed(paths):
            ls.refresh_others()

    @server.feature(
        types.TEXT_DOCUMENT_DIAGNOSTIC,
        types.DiagnosticOptions(identifier=NAME, inter_file_dependencies=True, workspace_diagnostics=False),
    )
    def pull_diagnostics(ls: TrelmLanguageServer, params: types.DocumentDiagnosticParams) -> Any:
        index = current(ls)
        items = ls.diagnostics(index.path_of(params.text_document.uri))
        return types.RelatedFullDocumentDiagnosticReport(items=items)

    navigation.register(server)
    more.register(server)
    return server


def serve(tcp: str | None = None) -> int:
    """Serves on standard input and output, or on HOST:PORT."""
    server = build_server()
    if tcp is None:
        server.start_io()
        return 0
    host, _, port = tcp.rpartition(":")
    server.start_tcp(host or "127.0.0.1", int(port))
    return 0
