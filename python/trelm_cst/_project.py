"""A folder of model files read as one project: which model reads which,
which sources they read, and what is missing, defined twice or cyclic.

Only what the files say literally counts: a ref whose arguments are not
string literals is listed as unresolved, never guessed.
"""

from __future__ import annotations

import gc
import os
import weakref
import queue
import re
import threading
from bisect import bisect_left, insort
from collections.abc import Callable, Collection, Hashable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, TypeVar, cast

from trelm_cst._files import MODEL_SUFFIX, Problem, find_model_files, read_model, syntax_problem
from trelm_cst._lineage import Lineage, LineageStep, LineageTooDeep
from trelm_cst._layout import MODELS, READER_PARTS, SNAPSHOTS, Layout, LayoutSearch, Place
from trelm_cst._native import (
    Document,
    TrelmSyntaxError,
    _records_of,
    _scan_document,
    _scan_model_files,
    _scan_record,
    parse_literal,
    parse_trelm,
)
from trelm_cst._rename import ModelRename, rename_model
from trelm_cst._settings import Settings, anchored_excludes

NodeKind = Literal["model", "seed", "snapshot", "source", "missing"]
# A node of the graph (not a syntax-tree Node): models, seeds and snapshots by
# name ("project/name" where a repository holds several projects), missing refs
# by the name called, sources as "source.table".
GraphNode = tuple[NodeKind, str]
# What a literal ref means (see Project._resolution).
Resolution = GraphNode | list[str] | None
UNKNOWN: Any = object()

@dataclass(frozen=True)
class Ref:
    """A ref() or source() call in a model file: what it names when its
    arguments are string literals, and where it is (line and column 1-based,
    in characters)."""

    kind: Literal["ref", "source"]
    path: str
    line: int
    column: int
    text: str  # the call as written
    model: str | None = None  # ref: the model named (its last argument)
    package: str | None = None  # ref: the first of two arguments
    version: object = None  # ref: the value of version= or v= (its source when no literal)
    source: tuple[str, str] | None = None  # source: (source, table)

    @property
    def resolved(self) -> bool:
        return self.model is not None or self.source is not None


@dataclass
class Model:
    """One model file, or what else defines a name (`kind` "seed" for a CSV
    file or a YAML entry, "snapshot" for a snapshot block or a YAML entry, at
    `line`), or a test or analysis that reads models (`kind` "reader").
    `error` says why a file yielded no refs (it could not be read or parsed);
    it still defines its model. `project` is the name of its project
    folder ("" when the root holds none); `columns` are its documented
    columns (name to description) from YAML property files."""

    name: str
    path: str
    refs: list[Ref] = field(default_factory=list)
    sources: list[Ref] = field(default_factory=list)
    config: dict[str, Any] = field(default_factory=dict)  # literal values; a later call's over an earlier's
    error: Problem | None = None
    project: str = ""
    kind: str = "model"
    line: int = 1  # where it is defined: a model file's first config call, a YAML entry
    column: int = 1
    columns: dict[str, str] = field(default_factory=dict)
    # (name, first line, last line) of each snapshot block the file holds
    snapshot_blocks: list[tuple[str, int, int]] = field(default_factory=list)

    def document(self) -> Document:
        """The file parsed anew, as it is now. Raises OSError when it cannot be
        read (or is no longer a regular file or UTF-8 text), TrelmSyntaxError
        when it does not parse."""
        read = read_model(self.path)
        if isinstance(read, Problem):
            raise OSError(str(read))
        return parse_trelm(read.text)


@dataclass(frozen=True)
class Cycle:
    """Models that read each other (a model that reads itself alone), and the
    first ref call, in file order, that closes it."""

    models: list[str]
    ref: Ref


class Project:
    """Every model file below a folder, and the graph of their refs.

    Below a root that holds project folders (folders holding a `models`
    folder), each project folder is a project named after its folder: the
    `.sql` files under its `models` are its models (but one whose config sets
    `enabled` to false), its `seeds` CSV files and the snapshot blocks under
    its `snapshots` define seeds and snapshots, refs in its `tests` and
    `analyses` count as readers, its `macros` define nothing, and its YAML
    property files declare sources, seeds, snapshots and models' columns.
    `.sql` files outside every project folder are no models. A root with no
    project folder is one project of all its `.sql` files.

    A ref resolves in its own project first, else in the one other project
    that defines the name (with two arguments, in the project named first);
    a name several other projects define is ambiguous and has no edge.

    - `files`: every `Model` of a model file, in the order found;
    - `models`: node id (the name, or "project/name" where the repository
      holds several projects) to its `Model` (the first, for a name defined twice);
    - `seeds`, `snapshots`: node id to the `Model` that defines it;
    - `edges`: sorted (reader, read) node ids of the refs with literal
      arguments, missing ones by the name called;
    - `sources`: (source, table) to the sorted node ids of the models that read it;
    - `declared_sources`: (source, table) to (path, line, column) of its YAML declaration;
    - `missing_refs`: the `Ref`s to a name no project defines;
    - `missing_sources`: the `Ref`s to a source no YAML file declares (none
      in a repository without YAML property files, which declares nothing);
    - `ambiguous_refs`: (ref, node ids it could mean) of each ref several projects could answer;
    - `duplicate_names`: a node id defined by more than one file within its project to their paths;
    - `cycles`: each group of nodes that read each other, ids sorted;
    - `unresolved`: the ref and source calls whose arguments are not string literals;
    - `problems`: the files that could not be read or parsed, and YAML files
      that do not load (`path`, `message`, `line`, `column`, `code`).
    """

    files: list[Model]
    models: dict[str, Model]
    seeds: dict[str, Model]
    snapshots: dict[str, Model]
    edges: list[tuple[str, str]]  # made when first asked (check never asks), then kept
    sources: dict[tuple[str, str], list[str]]
    declared_sources: dict[tuple[str, str], tuple[str, int, int]]
    missing_refs: list[Ref]
    missing_sources: list[Ref]
    ambiguous_refs: list[tuple[Ref, list[str]]]
    duplicate_names: dict[str, list[str]]
    cycles: list[list[str]]  # found when first asked, then kept
    unresolved: list[Ref]
    problems: list[Problem]
    _cycles: list[Cycle]  # the cycles with the first ref of each, found with `cycles`

    def __init__(self, files: list[Model], layout: Layout | None = None, external: Iterable[str] = ()) -> None:
        with collector_paused():
            self._build(files, layout if layout is not None else Layout(), external)
        self._given: list[Model] | None = list(files)  # what it was built of, for with_file()

    def _build(self, files: list[Model], layout: Layout, external: Iterable[str]) -> None:
        self.layout = layout
        # Names defined outside the repository: refs to them (and sources, as
        # "source.table") are never missing, and read no node.
        self.external = frozenset(external)
        self.files = []
        readers: list[Model] = []  # files whose refs count, defining nothing
        self._macros: list[Model] = []  # their refs name a model only once called
        self._disabled: list[Model] = []  # define nothing, read nothing; a rename still rewrites their refs
        defined: list[Model] = []
        for record, place in zip(files, layout.places([record.path for record in files])):
            if place is None:
                continue
            record.project = place.project
            part = place.part
            if part == MODELS:
                if record.config.get("enabled") is not False:
                    self.files.append(record)
                    defined.append(record)
                else:
                    self._disabled.append(record)
            elif part == SNAPSHOTS:
                defined += snapshots_of(record)
            elif part in READER_PARTS:
                record.kind = "reader"
                readers.append(record)
            elif part == "macros":
                self._macros.append(record)
        defined += [Model(name, path, project=project, kind="seed") for project, name, path in layout.seeds]
        columns = layout.columns
        for model in self.files:
            if columns or model.columns:  # an empty dict of its own stays
                model.columns = columns.get((model.project, model.name), {})
        self.several = len({model.project for model in defined} | set(layout.folders.values())) > 1
        self._defined: dict[str, dict[str, list[Model]]] = {}
        for model in defined:
            names = self._defined.get(model.project)
            if names is None:
                names = self._defined[model.project] = {}
            same = names.get(model.name)
            if same is None:
                names[model.name] = [model]
            else:
                same.append(model)
        self.declared_sources = {}
        for item in layout.declared:
            if item.kind == "source":
                self.declared_sources.setdefault((item.name, item.table), (item.path, item.line, item.column))
            elif item.name not in self._defined.get(item.project, {}):
                # Newer projects declare seeds and snapshots in YAML alone; else the entry documents a file's.
                model = Model(
                    item.name, item.path, project=item.project, kind=item.kind, line=item.line, column=item.column
                )
                self._defined.setdefault(item.project, {})[item.name] = [model]
        self.models, self.seeds, self.snapshots = {}, {}, {}
        self.duplicate_names = {}
        kinds = {"model": self.models, "seed": self.seeds, "snapshot": self.snapshots}
        self._by_id: dict[str, list[Model]] = {}
        # Each name to the projects that define it, in the order of `_defined`.
        self._definers: dict[str, list[tuple[str, list[Model]]]] = {}
        several = self.several
        for project, names in self._defined.items():
            for name, models in names.items():
                key = f"{project}/{name}" if several else name  # id_of(models[0])
                kinds[models[0].kind][key] = models[0]
                self._by_id[key] = models
                if len(models) > 1:
                    self.duplicate_names[key] = [model.path for model in models]
                definers = self._definers.get(name)
                if definers is None:
                    self._definers[name] = [(project, models)]
                else:
                    definers.append((project, models))
        self._readers = readers
        self._lineage: Lineage | None = None
        self.missing_refs, self.missing_sources, self.ambiguous_refs, self.unresolved = [], [], [], []
        self._reads: dict[GraphNode, list[GraphNode]] = {}
        self._read_by: dict[GraphNode, list[GraphNode]] = {}
        self._resolved: dict[int, GraphNode] = {}  # id() of a Ref to the node it reads
        self._tested: set[GraphNode] = set()
        # What a literal ref means depends only on its project, package and
        # name: each is worked out once, for the many refs that repeat it.
        self._resolutions: dict[tuple[str, str | None, str], Resolution] = {}
        readers_by_source: dict[tuple[str, str], set[str]] = {}
        self._link_all([*defined, *readers], readers_by_source)
        for model in self._disabled:
            for ref in model.refs:
                read = self._resolve(model.project, ref)
                if read is not None:
                    self._resolved[id(ref)] = read
        self.sources = {key: sorted(readers_by_source[key]) for key in sorted(readers_by_source)}
        self.problems = [model.error for model in files if model.error is not None] + layout.problems
        # `cycles` (and `_cycles`, with the first ref of each) are found when first asked, then kept.

    def _link_all(self, models: list[Model], readers_by_source: dict[tuple[str, str], set[str]]) -> None:
        """Resolves the refs and sources of every definition and reader, in
        order, into the indexes and findings (what _resolve and _link do for
        one, inlined: a project has tens of thousands of refs); the readers
        of each source go to `readers_by_source`."""
        several, unresolved, missing_refs = self.several, self.unresolved, self.missing_refs
        reads_of, read_by, resolved, tested = self._reads, self._read_by, self._resolved, self._tested
        resolutions = self._resolutions
        # A ref of one argument by its project and name, without a key to build for each.
        by_name: dict[str, dict[str, Resolution]] = {}
        # Sources are missing only where YAML files could declare them.
        declared = self.declared_sources if self.layout.property_files else None
        source_nodes: dict[tuple[str, str], GraphNode] = {}
        for model in models:
            project = model.project
            cached = by_name.get(project)
            if cached is None:
                cached = by_name[project] = {}
            reader: GraphNode | None = None
            key = ""
            reads: list[GraphNode] | None = None
            if model.kind != "reader":
                key = f"{project}/{model.name}" if several else model.name
                reader = (cast(NodeKind, model.kind), key)
                reads = reads_of.get(reader)
            for ref in model.refs:
                name = ref.model
                if name is None:
                    unresolved.append(ref)
                    continue
                if ref.package is None:
                    found = cached.get(name, UNKNOWN)
                    if found is UNKNOWN:
                        found = self._resolution(project, None, name)
                        cached[name] = resolutions[(project, None, name)] = found
                else:
                    found = self._resolve_call(project, ref.package, name)
                if found is None:
                    continue
                if isinstance(found, list):
                    self.ambiguous_refs.append((ref, list(found)))
                    continue
                if found[0] == "missing":
                    missing_refs.append(ref)
                resolved[id(ref)] = found
                if reader is None:
                    tested.add(found)
                    continue
                if reads is None:
                    reads = reads_of[reader] = []
                elif found in reads:
                    continue
                reads.append(found)
                readers = read_by.get(found)
                if readers is None:
                    read_by[found] = [reader]
                else:
                    readers.append(reader)
            for ref in model.sources:
                source = ref.source
                if source is None:
                    unresolved.append(ref)
                    continue
                node = source_nodes.get(source)
                if node is None:
                    node = source_nodes[source] = ("source", ".".join(source))
                if declared is not None and source not in declared and node[1] not in self.external:
                    self.missing_sources.append(ref)
                if reader is None:
                    continue
                named = readers_by_source.get(source)
                if named is None:
                    readers_by_source[source] = {key}
                else:
                    named.add(key)
                if reads is None:
                    reads = reads_of[reader] = []
                elif node in reads:
                    continue
                reads.append(node)
                readers = read_by.get(node)
                if readers is None:
                    read_by[node] = [reader]
                else:
                    readers.append(reader)

    def id_of(self, model: Model) -> str:
        """The node id of a model, seed or snapshot."""
        return f"{model.project}/{model.name}" if self.several else model.name

    def _resolve(self, project: str, ref: Ref) -> GraphNode | None:
        """The node a ref reads; a missing node for a name no project
        defines; None for a dynamic or ambiguous ref (recorded)."""
        name = ref.model
        if name is None:
            self.unresolved.append(ref)
            return None
        found = self._resolve_call(project, ref.package, name)
        if isinstance(found, list):
            self.ambiguous_refs.append((ref, list(found)))
            return None
        if found is not None and found[0] == "missing":
            self.missing_refs.append(ref)
        return found

    def _resolve_call(self, project: str, package: str | None, name: str) -> Resolution:
        """_resolution(), worked out once for each project, package and name."""
        key = (project, package, name)
        found: Resolution = self._resolutions.get(key, UNKNOWN)
        if found is UNKNOWN:
            found = self._resolutions[key] = self._resolution(project, package, name)
        return found

    def _resolution(self, project: str, package: str | None, name: str) -> Resolution:
        """What a literal ref means: the node it reads (a missing node for a
        name no project defines), the sorted ids it could mean when
        ambiguous, or None for a name defined outside the repository."""
        candidates = self._candidates(project, name, package)
        if len(candidates) > 1:
            return sorted(self.id_of(models[0]) for models in candidates)
        if not candidates:
            return None if name in self.external else ("missing", name)
        found = candidates[0]
        return (cast(NodeKind, found[0].kind), self.id_of(found[0]))

    def _candidates(self, project: str, name: str, package: str | None) -> list[list[Model]]:
        """The definitions a literal ref in `project` could mean: one for a
        resolved ref, several for an ambiguous one, none for a missing one."""
        if package is not None and package in self._defined:
            found = self._defined[package].get(name)
            return [found] if found else []
        found = self._defined.get(project, {}).get(name)
        if found is not None:
            return [found]
        return [models for other, models in self._definers.get(name, []) if other != project]

    @classmethod
    def load(
        cls,
        path: str | os.PathLike[str],
        *,
        exclude: str | Sequence[str] = (),
        settings: Settings | None = None,
        jobs: int | None = None,
    ) -> Project:
        """Reads every model file below a folder (hidden folders, what .gitignore
        files ignore and `exclude` patterns left out; regular files only), the
        project folders' seeds and YAML property files, and parses the model
        files with `jobs` threads (default: one per processor). Each path is a
        model, a symbolic link to a file included. A file that cannot be read
        or parsed is listed in `problems`. `settings` (`Settings.find(path)`,
        say) adds its `exclude`, names the folders of a project folder and
        makes its `external` names no missing refs. Raises FileNotFoundError
        when the path does not exist."""
        path = os.fspath(path)
        if not os.path.lexists(path):
            raise FileNotFoundError(f"no such file or directory: {path!r}")
        problems: list[Problem] = []
        settings = settings if settings is not None else Settings()
        patterns = [exclude] if isinstance(exclude, str) else list(exclude)
        anchored = anchored_excludes(settings)
        search = LayoutSearch(settings)
        files = find_model_files([path], problems.append, patterns, False, anchored, search.visitor)
        with collector_paused(), Scans(files, jobs) as scans:
            # The YAML files are read while the model files are scanned.
            layout = search.layout()
            project = cls(scans.models(), layout, settings.external)
        project.problems[:0] = [p for p in problems if p.message != "no .sql files"]
        return project

    @classmethod
    def from_files(cls, paths: Sequence[str], *, jobs: int | None = None) -> Project:
        """The project of exactly these files, each a model."""
        with collector_paused():
            return cls(read_files(paths, jobs))

    def model(self, name: str, project: str | None = None) -> Model:
        """The model of this name (or node id), in `project` when given.
        Raises KeyError for none, ValueError naming the candidates when
        several projects define it."""
        if project is not None:
            found = [m for m in self._defined.get(project, {}).get(name, []) if m.kind == "model"]
            if not found:
                raise KeyError(f"{project}/{name}")
            return found[0]
        if name in self.models:
            return self.models[name]
        found = [m for names in self._defined.values() for m in names.get(name, [])[:1] if m.kind == "model"]
        if len(found) > 1:
            candidates = ", ".join(self.id_of(model) for model in found)
            raise ValueError(f"model {name!r} is defined in several projects: {candidates}")
        if not found:
            raise KeyError(name)
        return found[0]

    def rename_model(self, old: str, new: str, project: str | None = None) -> ModelRename:
        """Renames model `old` (in `project`, where several define it) to
        `new`: rewrites every ref with string-literal arguments that resolves
        to it, in any project folder and in YAML property files (a `models:`
        entry of that name included), then moves its file to `new`.sql in its
        folder. Refs it cannot decide (dynamic, ambiguous, or in macros) are
        left alone and listed in the result. Raises ValueError, changing
        nothing, when `old` is no model or is defined twice in its project, `new` is
        defined in its project already or is not a file name, refs to `new`
        in its project name another project's model, or a file to
        rewrite cannot be read or written; OSError, naming what was done,
        when a write fails midway. The project is not read again."""
        return rename_model(self, old, new, project)

    def lineage(self, model: str, column: str, depth: int | None = None) -> LineageStep:
        """Where a model's output column comes from: the column as a step whose
        `steps` are what it reads, each in turn with its own, through other
        models' columns down to sources, tables and what cannot be resolved.
        `depth` counts models. Raises KeyError or ValueError as model(), and
        ValueError for a negative depth."""
        lineage = self._lineage or self._column_lineage()
        try:  # as _bounded(), without a closure: a caller may ask for every column of a project
            return lineage.lineage(model, column, depth)
        except RecursionError:
            self._lineage = None
            raise LineageTooDeep() from None

    def impact(self, model: str, column: str, depth: int | None = None) -> LineageStep:
        """What reads a model's output column: the column as a step whose
        `steps` are the downstream models' columns that read it (each with
        its own) and the filters (kind "filter") it decides. Raises as model()."""
        return self._bounded(lambda lineage: lineage.impact(model, column, depth))

    def columns(self, model: str) -> list[str]:
        """A model's output columns as far as its files say: `*` expanded from
        upstream models, columns of Jinja branches included. Raises as model()."""
        return self._bounded(lambda lineage: lineage.columns(model))

    def _bounded(self, work: Callable[[Lineage], T]) -> T:
        """The work's answer; a chain too deep to follow is a ValueError
        (LineageTooDeep), never a RecursionError."""
        try:
            return work(self._column_lineage())
        except RecursionError:
            self._lineage = None  # its caches may hold work cut short
            raise LineageTooDeep() from None

    def _column_lineage(self) -> Lineage:
        if self._lineage is None:
            self._lineage = Lineage(self)
        return self._lineage

    def defined_by(self, key: str) -> list[Model]:
        """Every file or YAML entry that defines a node id (several for a name
        in `duplicate_names`), in the order found; none for an unknown id."""
        return list(self._by_id.get(key, []))

    def definition(self, node: GraphNode) -> Model | None:
        """The model, seed or snapshot a node stands for; None for a source or a missing node."""
        return {"model": self.models, "seed": self.seeds, "snapshot": self.snapshots}.get(node[0], {}).get(node[1])

    # ------------------------------------------------------------ the graph

    def _link(self, reader: GraphNode, read: GraphNode) -> None:
        reads = self._reads.setdefault(reader, [])
        if read not in reads:
            reads.append(read)
            self._read_by.setdefault(read, []).append(reader)

    def nodes(self) -> list[GraphNode]:
        """Every model, seed and snapshot, then every source and missing name
        read, each once, as (kind, id): kind "model", "seed", "snapshot",
        "source" (named "source.table") or "missing"."""
        found: dict[GraphNode, None] = {("model", key): None for key in self.models}
        found.update({("seed", key): None for key in self.seeds})
        found.update({("snapshot", key): None for key in self.snapshots})
        for reads in self._reads.values():
            found.update(dict.fromkeys(reads))
        return list(found)

    def links(self, nodes: Iterable[GraphNode] | None = None) -> list[tuple[GraphNode, GraphNode]]:
        """(reader, read) pairs, between `nodes` only when given."""
        keep = None if nodes is None else set(nodes)
        return [
            (reader, read)
            for reader, reads in self._reads.items()
            for read in reads
            if keep is None or (reader in keep and read in keep)
        ]

    def around(self, node: GraphNode, upstream: bool, downstream: bool, depth: int | None = None) -> list[GraphNode]:
        """The node and what it reads and what reads it, transitively or to a depth."""
        found = [node]
        if upstream:
            found += walk(node, self._reads, depth)
        if downstream:
            seen = set(found)
            found += [n for n in walk(node, self._read_by, depth) if n not in seen]
        return found

    def upstream(self, name: str, depth: int | None = None) -> list[str]:
        """The models `name` reads, directly and through others (to `depth`
        steps when given), nearest first. Raises KeyError for no such model."""
        return self._models_around(name, self._reads, depth)

    def downstream(self, name: str, depth: int | None = None) -> list[str]:
        """The models that read `name`, directly and through others (to
        `depth` steps when given), nearest first. Raises KeyError for no such model."""
        return self._models_around(name, self._read_by, depth)

    def _models_around(self, name: str, links: dict[GraphNode, list[GraphNode]], depth: int | None) -> list[str]:
        key = self.id_of(self.model(name))
        return [n for kind, n in walk(("model", key), links, depth) if kind == "model" and n != key]

    def unused(self) -> list[str]:
        """The models nothing else reads (a test or an analysis counts as a reader)."""
        return self._unused_of(self.models)

    def _unused_of(self, keys: Iterable[str]) -> list[str]:
        """unused(), of these models only."""
        tested, read_by = self._tested, self._read_by
        found = []
        for key in keys:
            node: GraphNode = ("model", key)
            if node in tested:
                continue
            readers = read_by.get(node)
            # Mostly none, or the model alone (it reads itself): no generator for those.
            if not readers or (readers[0] == node and (len(readers) == 1 or all(r == node for r in readers))):
                found.append(key)
        return found

    if not TYPE_CHECKING:  # to the type checker, a Project has the attributes it declares and no others

        def __getattr__(self, name: str) -> Any:
            """`edges` and `cycles`, made from the graph the first time they are asked for (with_file() then
            updates its copies): a caller of Project.load may want neither, and check asks for no edges."""
            if name == "edges":
                self.edges = sorted(
                    {(r[1], read[1]) for r, reads in self._reads.items() for read in reads if read[0] != "source"}
                )
                return self.edges
            if name in ("cycles", "_cycles"):
                self._cycles = self._find_cycles()
                self.cycles = [list(cycle.models) for cycle in self._cycles]
                return getattr(self, name)
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}", name=name, obj=self)

    def cycle_refs(self) -> list[Cycle]:
        """Every cycle: each group of models (and snapshots, seeds) that read
        each other through resolved refs, once, with the ref call that first
        (in file order) points within it."""
        return [Cycle(list(cycle.models), cycle.ref) for cycle in self._cycles]

    def _find_cycles(self) -> list[Cycle]:
        """cycle_refs(), worked out from the graph."""
        graph = cyclic_part(self._reads, self._read_by)
        groups = [g for g in strongly_connected(graph) if len(g) > 1 or g[0] in graph[g[0]]]
        if not groups:
            return []
        group_of: dict[GraphNode, int] = {}
        for index, members in enumerate(groups):
            for node in members:
                group_of[node] = index
        defined = [*self.models.values(), *self.snapshots.values(), *self.seeds.values()]
        names: dict[int, GraphNode] = {id(model): (cast(NodeKind, model.kind), self.id_of(model)) for model in defined}
        first: dict[int, Ref] = {}
        for model in [*self.files, *self.snapshots.values()]:
            group = group_of.get(names.get(id(model), ("missing", "")))
            if group is None or group in first:
                continue
            for ref in model.refs:
                if group_of.get(self._resolved.get(id(ref), ("missing", ""))) == group:
                    first[group] = ref
                    break
        cycles = [Cycle(sorted(node[1] for node in groups[group]), ref) for group, ref in first.items()]
        return sorted(cycles, key=lambda cycle: cycle.models)

    # ------------------------------------------------------------ one file changed

    # On a project with_file() worked out from another: that one, and the
    # files whose findings may differ from its (a cache of them keys on it).
    _based_on: tuple[weakref.ref[Project], frozenset[str]] | None = None
    # Each model name to the files whose refs name it, made the first time a
    # file's definitions change, then carried from project to project.
    _naming: dict[str, frozenset[str]] | None = None
    _declared_names: frozenset[tuple[str, str]] | None = None  # seeds and snapshots YAML files declare

    def with_file(self, path: str | os.PathLike[str], record: Model | None) -> Project:
        """This project with one file's new record in place of its old one
        (after the others for a new file; None: the file is gone). Only the
        file's refs are resolved again, and those of every file naming a
        model it starts or stops defining (a model file created, deleted,
        switched off or on), and the edges, findings and cycles they touch
        worked out again, every list in the order a full build gives. A
        change to the snapshot blocks a file holds, to a name a seed or a
        YAML entry of its project also defines, or one that gives a project
        its first or last definition or moves its first, builds the project
        anew from its records, reading no file. This project is left as it
        is: the new one shares what did not change, so that a thread reading
        either sees it whole."""
        path = os.fspath(path)
        if record is not None and record.path != path:
            raise ValueError(f"the record is of {record.path!r}, not of {path!r}")
        updated = self._updated(path, record)
        return updated if updated is not None else self._rebuilt(path, record)

    def _records_by_path(self) -> dict[str, Model] | None:
        """The records it was built of by path, in order; None when a path came twice."""
        given = self._given
        if given is not None:
            by_path = {record.path: record for record in given}
            if len(by_path) != len(given):
                return None
            # Where each file's refs come in the lists: models and snapshots,
            # then readers, then disabled models, each in the order given.
            readers, disabled = {m.path for m in self._readers}, {m.path for m in self._disabled}
            self._ranks = {
                path: (1 if path in readers else 2 if path in disabled else 0, order)
                for order, path in enumerate(by_path)
            }
            self._next_rank = len(by_path)
            # A project is shared by threads: the cache is set whole, the list given up last.
            self._by_path = by_path
            self._given = None
        return self._by_path

    def _rebuilt(self, path: str, record: Model | None) -> Project:
        by_path = self._records_by_path()
        if by_path is not None:
            given = list(by_path.values())
            records = dict(by_path)
            if record is None:
                records.pop(path, None)
            else:
                records[path] = record
            files = list(records.values())
        else:  # a path given twice: the new record in place of the first, the others dropped
            given = self._given or []
            first = next((i for i, m in enumerate(given) if m.path == path), len(given))
            files = [m for m in given[:first] if m.path != path] + ([record] if record is not None else [])
            files += [m for m in given[first:] if m.path != path]
        project = Project(files, self.layout, self.external)
        # Project.load puts the search's problems first: they stay.
        from_files = sum(1 for m in given if m.error is not None)
        project.problems[:0] = self.problems[: len(self.problems) - from_files - len(self.layout.problems)]
        return project

    def _defines(self, place: Any, record: Model | None) -> tuple[object, ...]:
        """What a file gives the project besides its refs: the names it
        defines, whether it is a disabled model, whether it failed to read."""
        if record is None:
            return ((), False, False)
        failed = record.error is not None
        if place is None:
            return ((), False, failed)
        if place.part == MODELS:
            enabled = record.config.get("enabled") is not False
            return ((("model", record.name),) if enabled else (), not enabled, failed)
        if place.part == SNAPSHOTS:
            return (tuple(("snapshot", name) for name, _, _ in record.snapshot_blocks), False, failed)
        return ((), False, failed)

    def _owners(self, place: Any, record: Model | None, held: bool) -> list[Model]:
        """The definitions and readers whose refs the file gives the graph, in
        order: the ones this project holds (`held`), else new ones."""
        if record is None or place is None:
            return []
        if place.part == MODELS:
            return [record] if record.config.get("enabled") is not False else []
        if place.part in READER_PARTS:
            return [record]
        if place.part != SNAPSHOTS:
            return []
        if not held:
            return snapshots_of(record)
        names = self._defined.get(place.project, {})
        found = {
            id(m): m
            for name, _, _ in record.snapshot_blocks
            for m in names.get(name, [])
            if m.path == record.path and m.kind == "snapshot"
        }
        return sorted(found.values(), key=lambda m: m.line)

    def _updated(self, path: str, record: Model | None) -> Project | None:
        """with_file() worked out from this project; None when it takes a full build."""
        with collector_paused():  # its copies of the indexes would set off passes over every record
            return self._update(path, record)

    def _update(self, path: str, record: Model | None) -> Project | None:
        by_path = self._records_by_path()
        if by_path is None:
            return None
        old = by_path.get(path)
        if old is None and record is None:
            return self
        place = self.layout.places([path])[0]
        redefined = self._defines(place, old)[:2] != self._defines(place, record)[:2]
        if redefined and not self._may_redefine(place, cast(Model, record or old)):
            return None
        _ = self._cycles  # found before the copy shares them: whether the file moves a cycle is told from these
        new = object.__new__(Project)
        new.__dict__.update(self.__dict__)
        new._lineage = None
        new._by_path = dict(by_path)
        if record is None:
            del new._by_path[path]
        else:
            new._by_path[path] = record
            if place is not None:
                record.project = place.project
                if place.part in READER_PARTS:
                    record.kind = "reader"
        if record is not None:
            part = place.part if place is not None else ""
            phase = 1 if part in READER_PARTS else 2 if self._defines(place, record)[1] else 0
            if old is None:
                new._ranks = {**self._ranks, path: (phase, self._next_rank)}
                new._next_rank = self._next_rank + 1
            elif self._ranks[path][0] != phase:  # a model switched off or on
                new._ranks = {**self._ranks, path: (phase, self._ranks[path][1])}
        new._naming = self._naming_after(path, old, record, redefined)
        was, now = self._owners(place, old, held=True), self._owners(place, record, held=False)
        touched = {path}
        work = [(path, now, record if self._defines(place, record)[1] else None)]
        if redefined:
            name = cast(Model, record or old).name
            node_id = self.id_of(cast(Model, record or old))
            if not new._redefine(cast(Place, place), name, old, record):
                return None
            # Every file that names it may now read another node, or a missing one.
            naming = cast(dict[str, frozenset[str]], new._naming)  # made when a file's definitions change
            others = sorted(naming.get(name, frozenset()) - {path}, key=lambda p: new._ranks[p])
            new._resolutions = dict(self._resolutions)
            for held in [*(new._by_path[other] for other in others), *(m for m in (old, record) if m is not None)]:
                for ref in held.refs:
                    if ref.model == name:
                        new._resolutions.pop((held.project, ref.package, name), None)
            for other, at in zip(others, self.layout.places(others)):
                held = new._by_path[other]
                disabled = held if self._defines(at, held)[1] else None
                work.append((other, new._owners(at, held, held=True), disabled))
            touched.update(others)
            touched.update(m.path for m in (*self._by_id.get(node_id, []), *new._by_id.get(node_id, [])))
        else:
            new._place_records(place, old, record, was, now)
        new._resolve_files(self, work)
        nodes = [(cast(NodeKind, m.kind), self.id_of(m)) for m in was if m.kind != "reader"]
        nodes += [(cast(NodeKind, m.kind), new.id_of(m)) for _, owners, _ in work for m in owners if m.kind != "reader"]
        changes = [(node, self._reads.get(node, []), new._node_reads(node)) for node in dict.fromkeys(nodes)]
        copied: set[str] = set()
        for node, before, after in changes:
            new._relink(self, node, before, after, copied, touched, ordered=len(changes) == 1)
        if len(changes) > 1:
            new._reorder(self, changes, copied)
        readers = {m.path for m in self._readers}
        if any(p in readers or p == path and place is not None and place.part in READER_PARTS for p, _, _ in work):
            new._tested = {
                new._resolved[id(ref)] for m in new._readers for ref in m.refs if id(ref) in new._resolved
            }
            touched |= {model.path for model in map(new.definition, self._tested ^ new._tested) if model is not None}
        if new._cycles_may_change(changes):
            new._cycles = new._find_cycles()
            new.cycles = [list(cycle.models) for cycle in new._cycles]
            touched |= {cycle.ref.path for cycle in (*self._cycles, *new._cycles)}
        new._place_problem(old, record)
        # What a cache of findings by path needs to work out again from this project's.
        new._based_on = (weakref.ref(self), frozenset(touched))
        return new

    def _may_redefine(self, place: Place | None, record: Model) -> bool:
        """Whether a change to what the file defines can be worked out in
        place: a model file created, deleted, switched off or on, whose name
        no seed or YAML entry of its project defines too (they come after the
        files, or give way to them), in a project that keeps other
        definitions (a project's name also decides what two-argument refs mean)."""
        if place is None or place.part != MODELS or place.project not in self._defined:
            return False
        if self._declared_names is None:
            self._declared_names = frozenset(
                (item.project, item.name) for item in self.layout.declared if item.kind != "source"
            )
        if (place.project, record.name) in self._declared_names:
            return False
        return all(m.path in self._ranks for m in self._defined[place.project].get(record.name, []))

    def _redefine(self, place: Place, name: str, old: Model | None, record: Model | None) -> bool:
        """Puts a model defined or no longer defined in `_defined` and the
        lists and indexes made of it, where a full build puts it; False when
        the project's place among the others may move."""
        project = place.project
        order = self._definition_order
        names = self._defined[project]
        before = names.get(name, [])
        models = [m for m in before if m is not old]
        enabled = record is not None and record.config.get("enabled") is not False
        if enabled:
            assert record is not None
            record.columns = self.layout.columns.get((project, name), {})
            insort(models, record, key=order)
        if models != before:  # else a model switched off is created, deleted or stays off
            names = dict(names)
            if not models:
                del names[name]
                if not names:
                    return False
            elif before and models[0] is before[0]:
                names[name] = models
            else:  # its first definition changed: the name moves where that one is
                names.pop(name, None)
                items = list(names.items())
                at = bisect_left(items, order(models[0]), key=lambda item: order(item[1][0]))
                items.insert(at, (name, models))
                names = dict(items)
            first = next(iter(self._defined[project].values()))[0]
            if len(self._defined) > 1 and next(iter(names.values()))[0] is not first:
                return False
            self._defined = {**self._defined, project: names}
            self._reindex(project, name, before, models)
        for attribute, holds in (("files", enabled), ("_disabled", record is not None and not enabled)):
            kept = [m for m in getattr(self, attribute) if m is not old]
            if holds:
                insort(kept, record, key=lambda model: self._ranks[model.path][1])
            setattr(self, attribute, kept)
        return True

    def _definition_order(self, model: Model) -> tuple[int, ...]:
        """Where a definition comes among its project's: files' first, in the
        order given; then seeds and YAML entries (which with_file never moves)."""
        return (0, self._ranks[model.path][1], model.line) if model.path in self._ranks else (1,)

    def _reindex(self, project: str, name: str, before: list[Model], models: list[Model]) -> None:
        """`_by_id`, `models`, `seeds`, `snapshots`, `duplicate_names` and
        `_definers` after one name's definitions changed from `before` to
        `models`, in the order _build gives them (that of `_defined`); copies
        what it changes."""
        node_id = self.id_of((models or before)[0])
        moved = not before or not models or models[0] is not before[0]
        place = {project: index for index, project in enumerate(self._defined)}

        def rank(key: str) -> tuple[object, ...]:
            first = models[0] if key == node_id else self._by_id[key][0]
            return (place[first.project], self._definition_order(first))

        def put(
            found: dict[str, Any], key: str, value: Any, where: Callable[[str], tuple[object, ...]]
        ) -> dict[str, Any]:
            if not moved and key in found:
                return {**found, key: value}
            items = [item for item in found.items() if item[0] != key] if key in found else list(found.items())
            at = bisect_left(items, where(key), key=lambda item: where(item[0]))
            if at == len(items) and key not in found:  # the last: no dict to build item by item
                return {**found, key: value}
            items.insert(at, (key, value))
            return dict(items)

        def drop(found: dict[str, Any], key: str) -> dict[str, Any]:
            if key in found:
                found = dict(found)
                del found[key]
            return found

        self._by_id = put(self._by_id, node_id, models, rank) if models else drop(self._by_id, node_id)
        kinds = {"model": "models", "seed": "seeds", "snapshot": "snapshots"}
        if before and (moved or not models):
            setattr(self, kinds[before[0].kind], drop(getattr(self, kinds[before[0].kind]), node_id))
        if models and (moved or not before):
            attribute = kinds[models[0].kind]
            setattr(self, attribute, put(getattr(self, attribute), node_id, models[0], rank))
        if len(models) > 1:
            self.duplicate_names = put(self.duplicate_names, node_id, [m.path for m in models], rank)
        else:
            self.duplicate_names = drop(self.duplicate_names, node_id)
        definers = [(p, names[name]) for p, names in self._defined.items() if name in names]
        if definers:
            first = definers[0]

            def definer_rank(key: str) -> tuple[object, ...]:
                p, found = first if key == name else self._definers[key][0]
                return (place[p], self._definition_order(found[0]))

            moved = moved or name not in self._definers or self._definers[name][0][0] != first[0]
            self._definers = put(self._definers, name, definers, definer_rank)
        else:
            self._definers = drop(self._definers, name)

    def _naming_after(
        self, path: str, old: Model | None, record: Model | None, redefined: bool
    ) -> dict[str, frozenset[str]] | None:
        """The index of model names to the files whose refs name them, with
        the file's new record; None until a change to what a file defines needs it."""
        naming = self._naming
        if naming is None:
            if not redefined:
                return None
            naming = self._naming = self._naming_index()
        was = {ref.model for ref in old.refs if ref.model is not None} if old is not None else set()
        now = {ref.model for ref in record.refs if ref.model is not None} if record is not None else set()
        if was == now:
            return naming
        naming = dict(naming)
        for name in was - now:
            paths = naming[name] - {path}
            if paths:
                naming[name] = paths
            else:
                del naming[name]
        for name in now - was:
            naming[name] = naming.get(name, frozenset()) | {path}
        return naming

    def _naming_index(self) -> dict[str, frozenset[str]]:
        found: dict[str, set[str]] = {}
        for path, record in self._by_path.items():
            for ref in record.refs:
                if ref.model is not None:
                    found.setdefault(ref.model, set()).add(path)
        return {name: frozenset(paths) for name, paths in found.items()}

    def _place_problem(self, old: Model | None, record: Model | None) -> None:
        """Puts the file's new error in `problems` where a full build puts it: the files' in order."""
        was = old.error if old is not None else None
        now = record.error if record is not None else None
        if was is None and now is None:
            return
        problems = list(self.problems)
        at = next((i for i, problem in enumerate(problems) if problem is was), None) if was is not None else None
        if at is not None:
            del problems[at]
        if now is not None:
            if at is None:
                order = self._ranks[cast(Model, record).path][1]
                ends = len(problems) - len(self.layout.problems)
                at = ends
                for i, problem in enumerate(problems[:ends]):
                    held = self._by_path.get(problem.path)
                    if held is not None and held.error is problem:
                        at = i + 1
                        if self._ranks[problem.path][1] > order:
                            at = i
                            break
            problems.insert(at, now)
        self.problems = problems

    def _reorder(
        self, base: Project, changes: list[tuple[GraphNode, list[GraphNode], list[GraphNode]]], copied: set[str]
    ) -> None:
        """After several nodes' links changed: each in its place among the
        keys of `_reads`, and among the readers of what it reads where one
        read by several files or blocks may have moved, which one _relink at
        a time cannot settle while the others are still to come."""
        moved = {node for node, _, _ in changes}
        if "_reads" in copied:
            keys = [key for key in self._reads if key not in moved]
            for node in moved:
                if node in self._reads:
                    keys.insert(bisect_left(keys, self._first_link(node), key=self._first_link), node)
            self._reads = {key: self._reads[key] for key in keys}
        # A node of one file or block keeps its place: that file's.
        moved = {node for node in moved if len(self._owners_of(node)) > 1 or len(base._owners_of(node)) > 1}
        if "_read_by" in copied and moved:
            for read in {read for _, before, after in changes for read in (*before, *after)}:
                readers = self._read_by.get(read)
                if readers and len(readers) > 1 and not moved.isdisjoint(readers):
                    self._read_by[read] = sorted(readers, key=lambda reader: self._first_link(reader, read))

    def _place_records(
        self, place: Any, old: Model | None, record: Model | None, was: list[Model], now: list[Model]
    ) -> None:
        """Puts the file's new record (and its snapshots) where the old ones were; copies what it changes."""
        if place is None:
            return
        swap = {id(a): b for a, b in zip(was, now) if b.kind != "reader"}
        if swap:
            names = dict(self._defined[place.project])
            self._defined = {**self._defined, place.project: names}
            self._by_id, self._definers = dict(self._by_id), dict(self._definers)
            self.models, self.snapshots = dict(self.models), dict(self.snapshots)
            kinds = {"model": self.models, "snapshot": self.snapshots}
            for name in dict.fromkeys(m.name for m in was):
                models = [swap.get(id(m), m) for m in names[name]]
                names[name] = models
                key = self.id_of(models[0])
                self._by_id[key] = models
                self._definers[name] = [(p, models if p == place.project else ms) for p, ms in self._definers[name]]
                if models[0].kind in kinds:
                    kinds[models[0].kind][key] = models[0]
        if place.part == MODELS and now:
            assert record is not None
            record.columns = self.layout.columns.get((record.project, record.name), {})
            at = bisect_left(self.files, self._ranks[record.path], key=lambda m: self._ranks[m.path])
            self.files = [*self.files[:at], record, *self.files[at + 1 :]]
        for attribute, holds in (
            ("_readers", place.part in READER_PARTS),
            ("_macros", place.part == "macros"),
            ("_disabled", place.part == MODELS and not now and (old or record) is not None),
        ):
            if holds:
                kept = [m for m in getattr(self, attribute) if m is not old]
                if record is not None:
                    at = next((i for i, m in enumerate(getattr(self, attribute)) if m is old), len(kept))
                    kept.insert(at, record)
                setattr(self, attribute, kept)

    def _resolve_files(self, base: Project, work: list[tuple[str, list[Model], Model | None]]) -> None:
        """Resolves the refs of each (path, definitions and readers, disabled
        model) as _build does and puts their findings in the lists where a
        full build puts them: each list holds the files' in order, models and
        snapshots first, then readers, then disabled models."""
        self._resolved = dict(base._resolved)
        for path, _, _ in work:
            held = base._by_path.get(path)
            for ref in held.refs if held is not None else ():
                self._resolved.pop(id(ref), None)
        lists = ("missing_refs", "missing_sources", "ambiguous_refs", "unresolved")
        fresh: dict[str, list[Any]] = {name: [] for name in lists}
        for path, owners, disabled in work:
            self.missing_refs, self.missing_sources, self.ambiguous_refs, self.unresolved = [], [], [], []
            for model in owners:
                for ref in model.refs:
                    read = self._resolve(model.project, ref)
                    if read is not None:
                        self._resolved[id(ref)] = read
                for ref in model.sources:
                    if ref.source is None:
                        self.unresolved.append(ref)
                    elif (
                        self.layout.property_files
                        and ref.source not in self.declared_sources
                        and ".".join(ref.source) not in self.external
                    ):
                        self.missing_sources.append(ref)
            if disabled is not None:
                for ref in disabled.refs:
                    read = self._resolve(disabled.project, ref)
                    if read is not None:
                        self._resolved[id(ref)] = read
            for name in lists:
                fresh[name] += getattr(self, name)

        def key(item: Any) -> tuple[int, int]:
            return self._ranks[(item[0] if isinstance(item, tuple) else item).path]

        paths = {path for path, _, _ in work}
        for name in lists:
            items = getattr(base, name)
            if len(work) == 1:
                rank = self._ranks[work[0][0]]
                start, stop = bisect_left(items, rank, key=key), bisect_left(items, (rank[0], rank[1] + 1), key=key)
                found = items if start == stop and not fresh[name] else [*items[:start], *fresh[name], *items[stop:]]
            else:  # a sort by file keeps each file's own in order
                kept = [item for item in items if (item[0] if isinstance(item, tuple) else item).path not in paths]
                found = items if len(kept) == len(items) and not fresh[name] else sorted([*kept, *fresh[name]], key=key)
            setattr(self, name, found)

    def _owner_reads(self, owner: Model) -> list[GraphNode]:
        """What one file or snapshot block links its node to, in order, repeats kept."""
        reads = [self._resolved[id(ref)] for ref in owner.refs if id(ref) in self._resolved]
        return reads + [("source", ".".join(ref.source)) for ref in owner.sources if ref.source is not None]

    def _owners_of(self, node: GraphNode) -> list[Model]:
        """The files and blocks whose refs a node's links come from, in order."""
        return [model for model in self._by_id.get(node[1], []) if model.kind == node[0]]

    def _node_reads(self, node: GraphNode) -> list[GraphNode]:
        found: dict[GraphNode, None] = {}
        for owner in self._owners_of(node):
            found.update(dict.fromkeys(self._owner_reads(owner)))
        return list(found)

    def _first_link(self, node: GraphNode, read: GraphNode | None = None) -> tuple[int, ...]:
        """When a full build links the node to `read` (to anything, without
        it) first: the place of its first file or block that does."""
        owners = self._owners_of(node)
        for owner in owners:
            if len(owners) == 1 or (read in self._owner_reads(owner) if read is not None else self._owner_reads(owner)):
                return (*self._ranks.get(owner.path, (3, 0)), owner.line)
        return (4,)

    def _relink(
        self,
        base: Project,
        node: GraphNode,
        before: list[GraphNode],
        after: list[GraphNode],
        copied: set[str],
        touched: set[str],
        ordered: bool = True,
    ) -> None:
        """Puts one node's new links in `_reads`, `_read_by`, `edges` and
        `sources`, each in the order a full build gives (but the keys of
        `_reads` when not `ordered`: _reorder puts them); copies what it changes."""
        several = len(self._owners_of(node)) > 1  # the order its links come in may change too
        if before == after and not several:
            return

        def own(attribute: str) -> Any:
            if attribute not in copied:
                copied.add(attribute)
                setattr(self, attribute, getattr(self, attribute).copy())
            return getattr(self, attribute)

        reads = own("_reads")
        if after:
            reads[node] = after
        else:
            reads.pop(node, None)
        if ordered and (several or (node in base._reads) != bool(after)):
            keys = [key for key in reads if key != node]
            if after:
                keys.insert(bisect_left(keys, self._first_link(node), key=self._first_link), node)
            self._reads = {key: reads[key] for key in keys}
        differ = set(before) ^ set(after)
        for read in dict.fromkeys([*before, *after]):
            if read not in differ and not several:
                continue
            readers = [reader for reader in self._read_by.get(read, []) if reader != node]
            if read in after:
                first = self._first_link(node, read)
                readers.insert(bisect_left(readers, first, key=lambda reader: self._first_link(reader, read)), node)
            if readers != self._read_by.get(read, []):
                # A node read for the first time comes last among the keys, where a full
                # build may put it elsewhere: no answer depends on that order, only on each list's.
                if readers:
                    own("_read_by")[read] = readers
                else:
                    own("_read_by").pop(read, None)
                model = self.definition(read)
                if model is not None:
                    touched.add(model.path)
        same_id: list[GraphNode] = [("model", node[1]), ("seed", node[1]), ("snapshot", node[1])]
        for read in differ:
            if read[0] == "source":
                continue
            edge = (node[1], read[1])
            linked = any(r[1] == read[1] and r[0] != "source" for other in same_id for r in self._reads.get(other, []))
            at = bisect_left(self.edges, edge)
            if linked and (at == len(self.edges) or self.edges[at] != edge):
                own("edges").insert(at, edge)
            elif not linked and at < len(self.edges) and self.edges[at] == edge:
                del own("edges")[at]
        old_sources = {ref.source for m in base._owners_of(node) for ref in m.sources if ref.source is not None}
        new_sources = {ref.source for m in self._owners_of(node) for ref in m.sources if ref.source is not None}
        for key in old_sources ^ new_sources:
            linked = any(
                ref.source == key for other in same_id for m in self._owners_of(other) for ref in m.sources
            )
            ids = self.sources.get(key, [])
            if linked == (node[1] in ids):
                continue
            sources = own("sources")
            if linked:
                ids = list(ids)
                insort(ids, node[1])
                sources[key] = ids
                if len(ids) == 1:
                    self.sources = {k: sources[k] for k in sorted(sources)}
            else:
                ids = [other for other in ids if other != node[1]]
                if ids:
                    sources[key] = ids
                else:
                    del sources[key]

    def _unused_in(self, paths: Collection[str]) -> list[str]:
        """unused(), of the models of these files only (a file defines one at most)."""
        by_path = self._records_by_path()
        if by_path is None:
            keys = [key for key, model in self.models.items() if model.path in paths]
        else:
            records = [record for record in map(by_path.get, paths) if record is not None]
            keys = [self.id_of(record) for record in records if self.models.get(self.id_of(record)) is record]
        return self._unused_of(keys)

    def _cycles_may_change(self, changes: list[tuple[GraphNode, list[GraphNode], list[GraphNode]]]) -> bool:
        """Whether the file's new links can make, break or move a cycle: its
        node is in one (its first ref may be the file's), or a node it now
        reads reaches back to it."""
        in_cycles = {name for cycle in self.cycles for name in cycle}
        for node, before, after in changes:
            if node[1] in in_cycles:
                return True
            kept = {read for read in before if read[0] not in ("source", "missing")}
            for read in after:
                if read[0] not in ("source", "missing") and read not in kept and reaches(read, node, self._reads):
                    return True
        return False

    def __repr__(self) -> str:
        count = len(self.files)
        return f"<Project with {count:,} model{'' if count == 1 else 's'}>"


def walk(start: GraphNode, links: dict[GraphNode, list[GraphNode]], depth: int | None) -> list[GraphNode]:
    """The nodes reached from `start` along `links`, breadth first, without `start`."""
    seen = {start}
    found: list[GraphNode] = []
    frontier = [start]
    steps = 0
    while frontier and (depth is None or steps < depth):
        steps += 1
        following = []
        for node in frontier:
            for other in links.get(node, []):
                if other not in seen:
                    seen.add(other)
                    following.append(other)
        found += following
        frontier = following
    return found


def reaches(start: GraphNode, goal: GraphNode, links: dict[GraphNode, list[GraphNode]]) -> bool:
    """Whether `goal` is `start` or is reached from it along `links`."""
    seen, todo = {start}, [start]
    while todo:
        node = todo.pop()
        if node == goal:
            return True
        for other in links.get(node, []):
            if other not in seen:
                seen.add(other)
                todo.append(other)
    return False


N = TypeVar("N", bound=Hashable)
T = TypeVar("T")


def cyclic_part(links: dict[N, list[N]], readers_of: dict[N, list[N]]) -> dict[N, list[N]]:
    """The part of a graph (each node to the nodes it reads, `readers_of`
    the reverse) that a cycle can pass through: the nodes that nothing left
    reads are taken away, over and over (a project's graph is mostly such),
    as are the nodes that read nothing and the links to them."""
    # Each node that reads and is read, to the count of its readers not yet taken away.
    left = {node: len(readers_of[node]) for node in links if node in readers_of}
    free = [node for node in links if node not in left]
    while free:
        for read in links[free.pop()]:
            count = left.get(read)
            if count == 1:
                del left[read]
                free.append(read)
            elif count is not None:
                left[read] = count - 1
    return {node: [read for read in links[node] if read in left] for node in left}


def strongly_connected(graph: dict[N, list[N]]) -> list[list[N]]:
    """Tarjan's strongly connected components, with an explicit stack so that
    a long chain of models cannot exhaust the interpreter's recursion limit."""
    index: dict[N, int] = {}
    low: dict[N, int] = {}
    on_stack: set[N] = set()
    stack: list[N] = []
    components: list[list[N]] = []
    for root in graph:
        if root in index:
            continue
        work: list[tuple[N, Iterator[N]]] = []

        def enter(node: N) -> None:
            index[node] = low[node] = len(index)
            stack.append(node)
            on_stack.add(node)
            work.append((node, iter(graph.get(node, []))))

        enter(root)
        while work:
            node, targets = work[-1]
            for target in targets:
                if target not in index:
                    enter(target)
                    break
                if target in on_stack:
                    low[node] = min(low[node], index[target])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[node])
                if low[node] == index[node]:
                    component = []
                    while True:
                        member = stack.pop()
                        on_stack.discard(member)
                        component.append(member)
                        if member == node:
                            break
                    components.append(component)
    return components


# ------------------------------------------------------------ reading files


# What one native call gives for a batch of files: each file's record (None
# for a file to read the slow way), and by index the text of each file that
# may hold snapshot blocks.
ScannedBatch = tuple[list["Model | None"], dict[int, str]]

# Files scanned by one native call: a Ctrl-C waits for one batch at most,
# and the records of one batch are built while the next is scanned.
BATCH = 1024


def read_files(paths: Sequence[str], jobs: int | None) -> list[Model]:
    """The record of each file, in order, read and scanned natively with up
    to `jobs` threads; a file the scan leaves (a link, no regular file, not
    UTF-8, a syntax error) is read by read_file, which says what is wrong."""
    with Scans(paths, jobs) as scans:
        return scans.models()


class Scans:
    """The native scan of files, batch after batch, on a thread of its own
    that runs ahead of the caller (the scan lets go of the interpreter
    lock); leaving the `with` block stops it after the batch at hand."""

    def __init__(self, paths: Sequence[str], jobs: int | None) -> None:
        self.paths = list(paths)
        self.workers = jobs if jobs is not None else (os.cpu_count() or 1)
        self.done: queue.Queue[tuple[list[str], ScannedBatch] | BaseException] = queue.Queue()
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.scan, name="trelm-cst scan")

    def __enter__(self) -> Scans:
        self.thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stopped.set()
        self.thread.join()

    def scan(self) -> None:
        try:
            for start in range(0, len(self.paths), BATCH):
                if self.stopped.is_set():
                    return
                batch = self.paths[start : start + BATCH]
                self.done.put((batch, _scan_model_files(batch, self.workers, Model, Ref)))
        except BaseException as e:  # raised again in the caller's thread
            self.done.put(e)

    def models(self) -> list[Model]:
        """The record of each file, in order, as the batches come."""
        models: list[Model] = []
        while len(models) < len(self.paths):
            done = self.done.get()
            if isinstance(done, BaseException):
                raise done
            batch, (records, texts) = done
            for index, text in texts.items():
                cast(Model, records[index]).snapshot_blocks = snapshot_blocks(text)
            models += [read_file(path) if record is None else record for path, record in zip(batch, records)]
        return models


@contextmanager
def collector_paused() -> Iterator[None]:
    """The cyclic garbage collector off while a project is built: its passes
    over the ever more records alive cost a tenth to a fifth of the time,
    and what garbage the building leaves is collected once it is on again."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def model_name(path: str) -> str:
    name = os.path.basename(path)
    return name[: -len(MODEL_SUFFIX)] if name.endswith(MODEL_SUFFIX) else name


def read_file(path: str) -> Model:
    entry = read_entry(path)
    return entry if isinstance(entry, Model) else records_of([entry])[0]


# A model file's record as a worker process sends it back: its path, what the
# scan found as plain values (_scan_record) and its snapshot blocks (None for
# none). Tuples pickle and load at a fraction of the cost of the records.
Entry = tuple[str, tuple[Any, ...], "list[tuple[str, int, int]] | None"]


def entry_of(path: str, text: str, doc: Document) -> Entry:
    """model_of(), as an entry for records_of()."""
    return (path, _scan_record(doc, text), snapshot_blocks(text) if "snapshot" in text else None)


def records_of(entries: list[Entry | Model]) -> list[Model]:
    """The record of each entry, in order; a record given as it is."""
    return _records_of(entries, Model, Ref)


def read_entry(path: str) -> Entry | Model:
    """read_file(), as an entry for records_of() where the file parses."""
    try:
        read = read_model(path)
        if isinstance(read, Problem):
            return Model(model_name(path), path, error=read)
        try:
            doc = parse_trelm(read.text)
        except TrelmSyntaxError as e:
            return Model(model_name(path), path, error=syntax_problem(path, e, read.text))
    except (MemoryError, OSError) as e:
        error = Problem(path, "out of memory" if isinstance(e, MemoryError) else str(e.strerror or e))
        return Model(model_name(path), path, error=error)
    return entry_of(path, read.text, doc)


def model_of(path: str, text: str, doc: Document) -> Model:
    """The record of a parsed file; `text` is what str(doc) gives, at hand without building it."""
    model = _scan_document(doc, text, path, Model, Ref)
    if "snapshot" in text:
        model.snapshot_blocks = snapshot_blocks(text)
    return model


SNAPSHOT_START = re.compile(r"\{%-?\s*snapshot\s+([A-Za-z_][A-Za-z0-9_]*)\s*-?%\}")
SNAPSHOT_END = re.compile(r"\{%-?\s*endsnapshot\s*-?%\}")


def snapshot_blocks(text: str) -> list[tuple[str, int, int]]:
    """(name, first line, last line) of each snapshot block; an unclosed one runs to the end."""
    blocks = []
    for start in SNAPSHOT_START.finditer(text):
        end = SNAPSHOT_END.search(text, start.end())
        stop = end.end() if end is not None else len(text)
        blocks.append((start.group(1), text.count("\n", 0, start.start()) + 1, text.count("\n", 0, stop) + 1))
    return blocks


def snapshots_of(record: Model) -> list[Model]:
    """A snapshot file's snapshots, each with the refs and sources within its block."""
    return [
        Model(
            name,
            record.path,
            refs=[ref for ref in record.refs if first <= ref.line <= last],
            sources=[ref for ref in record.sources if first <= ref.line <= last],
            config=record.config,
            error=record.error,
            project=record.project,
            kind="snapshot",
            line=first,
        )
        for name, first, last in record.snapshot_blocks
    ]


def string_literals(texts: Sequence[str]) -> list[str] | None:
    """The values of the arguments when every one is a string literal."""
    values = []
    for text in texts:
        try:
            value = parse_literal(text)
        except ValueError:
            return None
        if not isinstance(value, str):
            return None
        values.append(value)
    return values

