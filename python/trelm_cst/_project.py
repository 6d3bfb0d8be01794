"""A folder of model files read as one project: which model reads which,
which sources they read, and what is missing, defined twice or cyclic.

Only what the files say literally counts: a ref whose arguments are not
string literals is listed as unresolved, never guessed.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Literal

from trelm_cst._describe import merge_configs
from trelm_cst._files import MODEL_SUFFIX, Problem, find_model_files, read_model, syntax_problem
from trelm_cst._native import Call, Document, TrelmSyntaxError, parse_literal, parse_trelm

NodeKind = Literal["model", "source", "missing"]
# A node of the graph (not a syntax-tree Node): models and missing refs by
# model name, sources as "source.table".
GraphNode = tuple[NodeKind, str]

# Files handed to a parsing thread at once: few enough to share out the work,
# enough that the pool's overhead stays small beside the parsing.
CHUNK = 64


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
    """One model file. `error` says why a file yielded no refs (it could not
    be read or parsed); it still defines its model."""

    name: str
    path: str
    refs: list[Ref] = field(default_factory=list)
    sources: list[Ref] = field(default_factory=list)
    config: dict[str, Any] = field(default_factory=dict)  # literal values; a later call's over an earlier's
    error: Problem | None = None

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

    - `files`: every `Model`, in the order found;
    - `models`: model name to its `Model` (the first file, for a name defined twice);
    - `edges`: sorted (model, model it refs) pairs of the refs with literal arguments;
    - `sources`: (source, table) to the sorted names of the models that read it;
    - `missing_refs`: the `Ref`s to a model no file defines;
    - `duplicate_names`: a name defined by more than one file to their paths;
    - `cycles`: each group of models that read each other, names sorted;
    - `unresolved`: the ref and source calls whose arguments are not string literals;
    - `problems`: the files that could not be read or parsed (`path`, `message`, `line`, `column`, `code`).
    """

    files: list[Model]
    models: dict[str, Model]
    edges: list[tuple[str, str]]
    sources: dict[tuple[str, str], list[str]]
    missing_refs: list[Ref]
    duplicate_names: dict[str, list[str]]
    cycles: list[list[str]]
    unresolved: list[Ref]
    problems: list[Problem]

    def __init__(self, files: list[Model]) -> None:
        self.files = files
        self.models = {}
        self.duplicate_names = {}
        for model in files:
            if model.name in self.models:
                self.duplicate_names.setdefault(model.name, [self.models[model.name].path]).append(model.path)
            else:
                self.models[model.name] = model
        self.edges = sorted(
            {(model.name, ref.model) for model in files for ref in model.refs if ref.model is not None}
        )
        self.missing_refs = [
            ref for model in files for ref in model.refs if ref.model is not None and ref.model not in self.models
        ]
        self.unresolved = [
            ref for model in files for ref in [*model.refs, *model.sources] if not ref.resolved
        ]
        readers: dict[tuple[str, str], set[str]] = {}
        for model in files:
            for ref in model.sources:
                if ref.source is not None:
                    readers.setdefault(ref.source, set()).add(model.name)
        self.sources = {key: sorted(readers[key]) for key in sorted(readers)}
        self.problems = [model.error for model in files if model.error is not None]
        self._reads: dict[GraphNode, list[GraphNode]] = {}
        self._read_by: dict[GraphNode, list[GraphNode]] = {}
        self._link_nodes()
        self.cycles = [cycle.models for cycle in self.cycle_refs()]

    @classmethod
    def load(
        cls, path: str | os.PathLike[str], *, exclude: str | Sequence[str] = (), jobs: int | None = None
    ) -> Project:
        """Reads every model file below a folder (hidden folders, what .gitignore
        files ignore and `exclude` patterns left out; regular files only) and
        parses them with `jobs` threads (default: one per processor). Each
        path is a model, a symbolic link to a file included. A file that
        cannot be read or parsed is listed in `problems`. Raises
        FileNotFoundError when the path does not exist."""
        path = os.fspath(path)
        if not os.path.lexists(path):
            raise FileNotFoundError(f"no such file or directory: {path!r}")
        problems: list[Problem] = []
        patterns = [exclude] if isinstance(exclude, str) else list(exclude)
        files = find_model_files([path], problems.append, patterns, each_file_once=False)
        project = cls.from_files(files, jobs=jobs)
        project.problems[:0] = [p for p in problems if p.message != "no .sql files"]
        return project

    @classmethod
    def from_files(cls, paths: Sequence[str], *, jobs: int | None = None) -> Project:
        """The project of exactly these files."""
        return cls(list(map_in_threads(read_file, paths, jobs)))

    # ------------------------------------------------------------ the graph

    def _link_nodes(self) -> None:
        for model in self.files:
            node: GraphNode = ("model", model.name)
            for ref in model.refs:
                if ref.model is not None:
                    kind: NodeKind = "model" if ref.model in self.models else "missing"
                    self._link(node, (kind, ref.model))
            for ref in model.sources:
                if ref.source is not None:
                    self._link(node, ("source", ".".join(ref.source)))

    def _link(self, reader: GraphNode, read: GraphNode) -> None:
        reads = self._reads.setdefault(reader, [])
        if read not in reads:
            reads.append(read)
            self._read_by.setdefault(read, []).append(reader)

    def nodes(self) -> list[GraphNode]:
        """Every model, then every source and missing model read, each once, as
        (kind, name): kind "model", "source" (named "source.table") or "missing"."""
        found: dict[GraphNode, None] = {("model", name): None for name in self.models}
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
        if name not in self.models:
            raise KeyError(name)
        return [n for kind, n in walk(("model", name), links, depth) if kind == "model" and n != name]

    def unused(self) -> list[str]:
        """The models no other model reads."""
        return [
            name
            for name in self.models
            if all(reader == ("model", name) for reader in self._read_by.get(("model", name), []))
        ]

    def cycle_refs(self) -> list[Cycle]:
        """Every cycle: each group of models that read each other, once, with
        the ref call that first (in file order) points within it."""
        graph = {
            name: [n for kind, n in self._reads.get(("model", name), []) if kind == "model"] for name in self.models
        }
        group_of: dict[str, int] = {}
        groups = [g for g in strongly_connected(graph) if len(g) > 1 or g[0] in graph[g[0]]]
        for index, members in enumerate(groups):
            for name in members:
                group_of[name] = index
        first: dict[int, Ref] = {}
        for model in self.files:
            group = group_of.get(model.name)
            if group is None or group in first:
                continue
            for ref in model.refs:
                if ref.model is not None and group_of.get(ref.model) == group:
                    first[group] = ref
                    break
        cycles = [Cycle(sorted(groups[group]), ref) for group, ref in first.items()]
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


def strongly_connected(graph: dict[str, list[str]]) -> list[list[str]]:
    """Tarjan's strongly connected components, with an explicit stack so that
    a long chain of models cannot exhaust the interpreter's recursion limit."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    on_stack: set[str] = set()
    stack: list[str] = []
    components: list[list[str]] = []
    for root in graph:
        if root in index:
            continue
        work: list[tuple[str, Iterator[str]]] = []

        def enter(node: str) -> None:
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


def map_in_threads(function: Callable[[str], Model], paths: Sequence[str], jobs: int | None) -> Iterator[Model]:
    """`function` over the paths, in order, with up to `jobs` threads."""
    workers = jobs if jobs is not None else (os.cpu_count() or 1)
    if workers <= 1 or len(paths) <= CHUNK:
        return map(function, paths)
    chunks = [paths[i : i + CHUNK] for i in range(0, len(paths), CHUNK)]
    pool = ThreadPoolExecutor(max_workers=workers)
    try:
        results = list(pool.map(lambda chunk: [function(path) for path in chunk], chunks))
    finally:
        # After Ctrl-C, the chunks not started are dropped rather than waited for.
        pool.shutdown(wait=True, cancel_futures=True)
    return (model for chunk in results for model in chunk)


def model_name(path: str) -> str:
    name = os.path.basename(path)
    return name[: -len(MODEL_SUFFIX)] if name.endswith(MODEL_SUFFIX) else name


def read_file(path: str) -> Model:
    model = Model(model_name(path), path)
    try:
        read = read_model(path)
        if isinstance(read, Problem):
            model.error = read
            return model
        try:
            doc = parse_trelm(read.text)
        except TrelmSyntaxError as e:
            model.error = syntax_problem(path, e, read.text)
            return model
    except (MemoryError, OSError) as e:
        model.error = Problem(path, "out of memory" if isinstance(e, MemoryError) else str(e.strerror or e))
        return model
    return model_of(path, read.text, doc)


def model_of(path: str, text: str, doc: Document) -> Model:
    """The record of a parsed file; `text` is what str(doc) gives, at hand without building it."""
    model = Model(model_name(path), path)
    model.refs = [ref_of(text, path, call) for call in doc.calls("ref")]
    model.sources = [source_of(text, path, call) for call in doc.calls("source")]
    configs = doc.configs
    if configs:
        model.config = merge_configs(configs)[0]
    return model


def located(text: str, path: str, call: Call, kind: Literal["ref", "source"]) -> Ref:
    """The call's record without its names. Line and column are counted here
    rather than by Document.location, which costs more than the whole parse."""
    start = call.span[0] if call.span is not None else 0
    line = text.count("\n", 0, start) + 1
    column = start - (text.rfind("\n", 0, start) + 1) + 1
    return Ref(kind, path, line, column, str(call))


def ref_of(text: str, path: str, call: Call) -> Ref:
    """A ref of one or two string-literal arguments names its model last."""
    ref = located(text, path, call, "ref")
    names = string_literals(call.args)
    if names is None or not 1 <= len(names) <= 2:
        return ref
    version_text = call.kwargs.get("version", call.kwargs.get("v"))
    version = None
    if version_text is not None:
        try:
            version = parse_literal(version_text)
        except ValueError:
            version = version_text
    package = names[0] if len(names) == 2 else None
    return Ref("ref", ref.path, ref.line, ref.column, ref.text, names[-1], package, version)


def source_of(text: str, path: str, call: Call) -> Ref:
    ref = located(text, path, call, "source")
    names = string_literals(call.args)
    if names is None or len(names) != 2:
        return ref
    return Ref("source", ref.path, ref.line, ref.column, ref.text, source=(names[0], names[1]))


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

