"""A folder of model files read as one project: which model reads which,
which sources they read, and what is missing, defined twice or cyclic.

Only what the files say literally counts: a ref whose arguments are not
string literals is listed as unresolved, never guessed.
"""

from __future__ import annotations

import gc
import os
import queue
import re
import threading
from collections.abc import Callable, Hashable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import Any, Literal, TypeVar, cast

from trelm_cst._files import MODEL_SUFFIX, Problem, find_model_files, read_model, syntax_problem
from trelm_cst._lineage import Lineage, LineageStep, LineageTooDeep
from trelm_cst._layout import MODELS, READER_PARTS, SNAPSHOTS, Layout, LayoutSearch
from trelm_cst._native import Document, TrelmSyntaxError, _scan_document, _scan_model_files, parse_literal, parse_trelm
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
    edges: list[tuple[str, str]]
    sources: dict[tuple[str, str], list[str]]
    declared_sources: dict[tuple[str, str], tuple[str, int, int]]
    missing_refs: list[Ref]
    missing_sources: list[Ref]
    ambiguous_refs: list[tuple[Ref, list[str]]]
    duplicate_names: dict[str, list[str]]
    cycles: list[list[str]]
    unresolved: list[Ref]
    problems: list[Problem]

    def __init__(self, files: list[Model], layout: Layout | None = None, external: Iterable[str] = ()) -> None:
        with collector_paused():
            self._build(files, layout if layout is not None else Layout(), external)

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
        for record, place in zip(files, layout.places(record.path for record in files)):
            if place is None:
                continue
            record.project = place.project
            if place.part == MODELS:
                if record.config.get("enabled") is not False:
                    self.files.append(record)
                    defined.append(record)
                else:
                    self._disabled.append(record)
            elif place.part == SNAPSHOTS:
                defined += snapshots_of(record)
            elif place.part in READER_PARTS:
                record.kind = "reader"
                readers.append(record)
            elif place.part == "macros":
                self._macros.append(record)
        defined += [Model(name, path, project=project, kind="seed") for project, name, path in layout.seeds]
        for model in self.files:
            model.columns = layout.columns.get((model.project, model.name), {})
        self.several = len({model.project for model in defined} | set(layout.folders.values())) > 1
        self._defined: dict[str, dict[str, list[Model]]] = {}
        for model in defined:
            self._defined.setdefault(model.project, {}).setdefault(model.name, []).append(model)
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
        for names in self._defined.values():
            for name, models in names.items():
                key = self.id_of(models[0])
                kinds[models[0].kind][key] = models[0]
                self._by_id[key] = models
                if len(models) > 1:
                    self.duplicate_names[key] = [model.path for model in models]
        self._readers = readers
        # Each name to the projects that define it, in the order of `_defined`.
        self._definers: dict[str, list[tuple[str, list[Model]]]] = {}
        for project, names in self._defined.items():
            for name, models in names.items():
                self._definers.setdefault(name, []).append((project, models))
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
        resolved = self._resolved
        for model in [*defined, *readers]:
            reader: GraphNode | None = None
            if model.kind != "reader":
                reader = (cast(NodeKind, model.kind), self.id_of(model))
            for ref in model.refs:
                read = self._resolve(model.project, ref)
                if read is not None:
                    resolved[id(ref)] = read
                    if reader is None:
                        self._tested.add(read)
                    else:
                        self._link(reader, read)
            for ref in model.sources:
                if ref.source is None:
                    self.unresolved.append(ref)
                    continue
                if (
                    layout.property_files
                    and ref.source not in self.declared_sources
                    and ".".join(ref.source) not in self.external
                ):
                    self.missing_sources.append(ref)
                if reader is not None:
                    readers_by_source.setdefault(ref.source, set()).add(reader[1])
                    self._link(reader, ("source", ".".join(ref.source)))
        for model in self._disabled:
            for ref in model.refs:
                read = self._resolve(model.project, ref)
                if read is not None:
                    self._resolved[id(ref)] = read
        self.edges = sorted(
            {(reader[1], read[1]) for reader, reads in self._reads.items() for read in reads if read[0] != "source"}
        )
        self.sources = {key: sorted(readers_by_source[key]) for key in sorted(readers_by_source)}
        self.problems = [model.error for model in files if model.error is not None] + layout.problems
        self._cycles = self._find_cycles()  # found once: `check --project` asks again
        self.cycles = [list(cycle.models) for cycle in self._cycles]

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
        key = (project, ref.package, name)
        found: Resolution = self._resolutions.get(key, UNKNOWN)
        if found is UNKNOWN:
            found = self._resolutions[key] = self._resolution(*key)
        if isinstance(found, list):
            self.ambiguous_refs.append((ref, list(found)))
            return None
        if found is not None and found[0] == "missing":
            self.missing_refs.append(ref)
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
        return self._bounded(lambda lineage: lineage.lineage(model, column, depth))

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
        return [
            key
            for key in self.models
            if ("model", key) not in self._tested
            and all(reader == ("model", key) for reader in self._read_by.get(("model", key), []))
        ]

    def cycle_refs(self) -> list[Cycle]:
        """Every cycle: each group of models (and snapshots, seeds) that read
        each other through resolved refs, once, with the ref call that first
        (in file order) points within it."""
        return [Cycle(list(cycle.models), cycle.ref) for cycle in self._cycles]

    def _find_cycles(self) -> list[Cycle]:
        """cycle_refs(), worked out from the graph."""
        graph = cyclic_part(
            {
                reader: [read for read in reads if read[0] not in ("source", "missing")]
                for reader, reads in self._reads.items()
            }
        )
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


N = TypeVar("N", bound=Hashable)
T = TypeVar("T")


def cyclic_part(graph: dict[N, list[N]]) -> dict[N, list[N]]:
    """The graph without the nodes no cycle can pass through: those that
    nothing left reads are taken away, over and over (a project's graph is
    mostly such), as are links to nodes that read nothing."""
    readers: dict[N, int] = dict.fromkeys(graph, 0)
    for reads in graph.values():
        for read in reads:
            if read in readers:
                readers[read] += 1
    free = [node for node, count in readers.items() if count == 0]
    while free:
        node = free.pop()
        del readers[node]
        for read in graph[node]:
            if read in readers:
                readers[read] -= 1
                if readers[read] == 0:
                    free.append(read)
    return {node: [read for read in graph[node] if read in readers] for node in readers}


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
    return model_of(path, read.text, doc)


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

