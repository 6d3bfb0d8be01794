"""The index of the workspace: every model file of its folders read as one
project, kept current as the editor opens and edits files and as files
change on disk. The text of an open buffer wins over its file.

A change re-parses that one document and replaces its record. A change to
its refs, or a model file created, deleted or switched off, updates the
project (`Project.with_file`); the few changes that takes no further (a
snapshot block renamed, say) have the graph built again from the records in
memory (no file is read again) the next time it is asked for. A change that
only moves the refs leaves the project as it is.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field

from pygls import uris

from trelm_cst._files import MODEL_SUFFIX, Problem, find_model_files, read_model
from trelm_cst.cli import Finding, checked_text
from trelm_cst._layout import Layout, LayoutSearch
from trelm_cst._native import Document
from trelm_cst._project import Model, Project, model_name, model_of, read_file, read_files
from trelm_cst._settings import Settings, SettingsError, anchored_excludes
from trelm_cst._suppress import Suppression
from trelm_cst._lsp.positions import TextPositions

# Files whose change alters the layout: property files, seeds, the settings.
LAYOUT_SUFFIXES = (".yml", ".yaml", ".csv")
SETTINGS_FILE = "pyproject.toml"


@dataclass
class Parsed:
    """One text parsed and checked: the document (None when it does not
    parse), the findings of the file's own, and its suppression comments."""

    text: str
    document: Document | None
    findings: list[Finding]
    suppressions: list[Suppression] = field(default_factory=list)
    positions: dict[str, TextPositions] = field(default_factory=dict)


def parse_text(path: str, text: str, settings: Settings) -> Parsed:
    found, doc, suppressions = checked_text(path, text, settings.extension_tags, settings)
    return Parsed(text, doc, found, suppressions)


def record_of(path: str, parsed: Parsed) -> Model:
    """The project's record of a file from its parsed text."""
    if parsed.document is None:
        why = parsed.findings[0]
        error = Problem(path, why.message, why.line, why.column, why.code)
        return Model(model_name(path), path, error=error)
    return model_of(path, parsed.text, parsed.document)


def graph_key(record: Model) -> object:
    """What the graph is made of in a record, places left out: a change
    elsewhere leaves the project as it is, its findings at most moved."""
    return (
        [(r.model, r.package, r.version, r.text) for r in record.refs],
        [(r.source, r.text) for r in record.sources],
        record.config,
        [name for name, _, _ in record.snapshot_blocks],
        record.error is None,
    )


def places_of(record: Model) -> list[tuple[int, int]]:
    """Where a record's findings can be: its refs, its sources, its definition."""
    return [(r.line, r.column) for r in (*record.refs, *record.sources)] + [(record.line, record.column)]


class Workspace:
    """Every model file below the workspace folders, as one `Project`.

    `load()` reads them (the server runs it on a thread of its own, while
    open documents are already served from their text); `ready` is set once
    it is done. The methods may be called from any thread."""

    def __init__(self, folders: Iterable[str], encoding: str = "utf-16", jobs: int | None = None) -> None:
        self.folders = [os.path.abspath(folder) for folder in folders]
        self.encoding = encoding
        self.jobs = jobs
        self.settings_problem: str | None = None
        try:
            self.settings = Settings.find(self.folders[0]) if self.folders else Settings()
        except SettingsError as e:
            self.settings = Settings()
            self.settings_problem = str(e)
        self.ready = threading.Event()
        self._lock = threading.Lock()  # never held while parsing, nor taken twice
        self._records: dict[str, Model] = {}  # by absolute path, in the order found
        self._buffers: dict[str, str] = {}  # the open documents' text
        self._parsed: dict[str, Parsed] = {}  # the last text parsed of each open or asked-for file
        self._layout = Layout()
        self._project: Project | None = None
        self._changes = 0  # counts the changes to the graph: a build that saw fewer is out of date
        # Files whose text moved their refs but changed no name: path to
        # (the record the project holds, the current one). The project's
        # findings there are moved to the new places rather than the
        # project built again for each line typed.
        self._moved: dict[str, tuple[Model, Model]] = {}
        self.generation = 0  # counts the projects built: a cache of one project keys on it
        self.problems: list[Problem] = []

    # ------------------------------------------------------------ loading

    def load(self) -> None:
        """Reads every file of the folders, the open buffers' text winning."""
        problems: list[Problem] = []
        folders = [folder for folder in self.folders if os.path.isdir(folder)]
        search = LayoutSearch(self.settings)
        files = find_model_files(folders, problems.append, (), False, anchored_excludes(self.settings), search.visitor)
        layout = search.layout()
        records = read_files(files, self.jobs)
        while True:
            # The open buffers are parsed outside the lock; a buffer changed meanwhile means parsing again.
            buffers = {path: self.parsed_at(path) for path in self.open_paths()}
            texts = {path: parsed.text if parsed else None for path, parsed in buffers.items()}
            fresh = {record.path: record for record in records}
            for path, parsed in buffers.items():
                if parsed is not None and (path in fresh or self._in_folders(path)):
                    fresh[path] = record_of(path, parsed)
            with self._lock:
                if texts != self._buffers:
                    continue
                self._records = fresh
                self._layout = layout
                self.problems = [p for p in problems if p.message != "no .sql files"]
                self._invalidate()
                break
        self.ready.set()

    def _in_folders(self, path: str) -> bool:
        return path.endswith(MODEL_SUFFIX) and any(
            path.startswith(folder + os.sep) for folder in self.folders
        )

    # ------------------------------------------------------------ reading

    @property
    def project(self) -> Project:
        """The project as it is now (empty until loaded), built again after a change to its graph."""
        with self._lock:
            if self._moved:
                self._invalidate()
        return self._built()[0]

    @property
    def project_built(self) -> bool:
        """Whether the project holds every change to the graph (places moved aside)."""
        return self._project is not None

    def _invalidate(self) -> None:
        """Called with the lock held."""
        self._project = None
        self._moved.clear()
        self._changes += 1

    def _built(self) -> tuple[Project, int]:
        """The project and its generation, built again when a change has
        left none: outside the lock, so that edits go on meanwhile, and
        again if one lands during the build."""
        while True:
            with self._lock:
                if self._project is not None:
                    return self._project, self.generation
                records, layout, changes = list(self._records.values()), self._layout, self._changes
            project = Project(records, layout, self.settings.external)
            with self._lock:
                if self._changes == changes and self._project is None:
                    self._project = project
                    self.generation += 1

    def project_and_generation(self) -> tuple[Project, int]:
        """The project whose findings hold but for places moved (see `moved_place`), and its generation."""
        return self._built()

    def moved_place(self, path: str, line: int | None, column: int | None) -> tuple[int | None, int | None]:
        """Where a finding of the project at a place in a file is now."""
        with self._lock:
            moved = self._moved.get(path)
        if moved is None or line is None:
            return line, column
        old, new = (places_of(record) for record in moved)
        for before, after in zip(old, new):
            if before == (line, column):
                return after
        return line, column

    def path_of(self, uri: str) -> str:
        path = uris.to_fs_path(uri)
        return os.path.abspath(path) if path is not None else uri

    def uri_of(self, path: str) -> str:
        return uris.from_fs_path(os.path.abspath(path)) or path

    def is_open(self, uri: str) -> bool:
        return self.path_of(uri) in self._buffers

    def open_paths(self) -> list[str]:
        with self._lock:
            return list(self._buffers)

    def text(self, uri: str) -> str | None:
        """The open buffer's text, else the file's; None when it cannot be read."""
        return self.text_at(self.path_of(uri))

    def text_at(self, path: str) -> str | None:
        with self._lock:
            if path in self._buffers:
                return self._buffers[path]
        read = read_model(path)
        return None if isinstance(read, Problem) else read.text

    def parsed(self, uri: str) -> Parsed | None:
        return self.parsed_at(self.path_of(uri))

    def parsed_at(self, path: str) -> Parsed | None:
        """The current text parsed and checked, from a cache while it is unchanged."""
        text = self.text_at(path)
        if text is None:
            return None
        with self._lock:
            known = self._parsed.get(path)
            if known is not None and known.text == text:
                return known
        parsed = parse_text(path, text, self.settings)
        with self._lock:
            self._parsed[path] = parsed
        return parsed

    def document(self, uri: str) -> Document | None:
        parsed = self.parsed(uri)
        return parsed.document if parsed is not None else None

    def positions(self, uri: str) -> TextPositions:
        return self.positions_at(self.path_of(uri))

    def positions_at(self, path: str) -> TextPositions:
        parsed = self.parsed_at(path)
        if parsed is None:
            return TextPositions("", self.encoding)
        cached = parsed.positions.get(self.encoding)
        if cached is None:
            cached = parsed.positions[self.encoding] = TextPositions(parsed.text, self.encoding)
        return cached

    def model_at(self, uri: str) -> Model | None:
        """The project's record of the file: a model (`kind` "model"), a test
        or analysis that reads models ("reader"); None for a file the project
        does not hold."""
        path = self.path_of(uri)
        project = self.project
        record = self.record_at(path)
        if record is None:
            return None
        if record.kind == "reader":
            return record
        return next((model for model in project.defined_by(project.id_of(record)) if model.path == path), None)

    def record_at(self, path: str) -> Model | None:
        """The file's record in the current project (whose refs it resolves), or None."""
        self.project  # built from the records as they are now
        with self._lock:
            return self._records.get(path)

    # ------------------------------------------------------------ changes

    def _record_of_buffer(self, path: str) -> Model:
        parsed = self.parsed_at(path)
        assert parsed is not None  # an open buffer always has text
        return record_of(path, parsed)

    def _replace(self, path: str, record: Model | None) -> bool:
        """Puts a file's new record in place (None: the file is gone); whether the graph changed."""
        with self._lock:
            old = self._records.get(path)
            if record is None:
                if old is None:
                    return False
                del self._records[path]
            else:
                if old is not None and graph_key(old) == graph_key(record) and self._project is not None:
                    # Same edges: the project stays; its findings move with the refs.
                    if places_of(old) != places_of(record):
                        held = self._moved[path][0] if path in self._moved else old
                        self._moved[path] = (held, record)
                        self._records[path] = record
                    return False  # else the record the project holds stays, as true as the new one
                self._records[path] = record
            if self._project is not None:
                # An edit, or a model file created or deleted, updates the project
                # in milliseconds, under the lock: readers see the old project or
                # the new one, each whole (the update copies what it changes).
                updated = self._project._updated(path, record)
                if updated is not None:
                    self._project = updated
                    self._moved.pop(path, None)
                    self._changes += 1
                    self.generation += 1
                    return True
            self._invalidate()
            return True

    def opened(self, uri: str, text: str) -> bool:
        """A buffer opened or changed; whether the project changed."""
        path = self.path_of(uri)
        with self._lock:
            self._buffers[path] = text
        if path not in self._records and not self._in_folders(path):
            return False
        return self._replace(path, self._record_of_buffer(path))

    changed = opened

    def closed(self, uri: str) -> bool:
        """A buffer closed: the file's text counts again."""
        path = self.path_of(uri)
        with self._lock:
            self._buffers.pop(path, None)
            self._parsed.pop(path, None)
        return self._file_changed(path)

    def _file_changed(self, path: str) -> bool:
        if not os.path.isfile(path):
            # Gone, or moved away, even while open: no model is defined by a buffer alone.
            return self._replace(path, None)
        if path in self._buffers:
            return False  # the buffer wins
        if path not in self._records and not self._in_folders(path):
            return False
        return self._replace(path, read_file(path))

    def files_changed(self, paths: Iterable[str]) -> bool:
        """Files created, changed or deleted on disk; whether the project changed."""
        changed = False
        layout = False
        for path in paths:
            path = os.path.abspath(path)
            if path.endswith(LAYOUT_SUFFIXES) or os.path.basename(path) == SETTINGS_FILE:
                layout = True
            elif path.endswith(MODEL_SUFFIX):
                changed = self._file_changed(path) or changed
        if layout:
            fresh = Layout.find([f for f in self.folders if os.path.isdir(f)], (), self.settings)
            with self._lock:
                self._layout = fresh
                self._invalidate()
            changed = True
        return changed
