"""Column lineage across a project, read from the files as written: each
column reference resolved through the scopes of its query (aliases, CTE
bodies, subqueries) down to another model's output column, a source's or a
table's column, or a reason it cannot be resolved. Nothing is rendered."""

from __future__ import annotations

import bisect
import os
import re
from concurrent.futures import ThreadPoolExecutor
from collections.abc import Callable, Sequence
from dataclasses import dataclass, fields, replace
from typing import TYPE_CHECKING, Any, NamedTuple, Union

from trelm_cst._native import (
    ColumnRef,
    ConditionalColumn,
    Document,
    Query,
    Relation,
    Select,
    TrelmSyntaxError,
    _lineage_files,
    _lineage_kept,
    _step_with,
    select_lineage,
)

if TYPE_CHECKING:
    from trelm_cst._project import Model, Project

# What a trace has entered: (query, column) inside a file, (model, column) across models.
Seen = frozenset[tuple[Any, str]]


class LineageTooDeep(ValueError):
    """What a RecursionError met while following a column becomes: a clear
    error instead. Chains of models and of CTEs and subqueries in a file are
    followed at any length, so none is known to reach it."""

    def __init__(self) -> None:
        super().__init__("the column's lineage is nested deeper than can be followed here")


@dataclass(frozen=True, slots=True)
class LineageStep:
    """One column in a lineage or impact tree.

    `kind` is how a model's column is made (direct, renamed, expression,
    aggregate, constant, star, templated), or what else the step is: source,
    table, function, values (a bracketed VALUES list), seed, snapshot, missing (a ref to a model the project
    lacks), filter (impact: a model whose rows the column decides, in
    `clause`), ambiguous or unresolved (with the `reason`). A column reached
    through `*` from a relation whose columns are unknown has kind star.
    `model` is the node id of a model, seed or snapshot (the name called when
    missing); `source` a (source, table); `table` a table or table function
    named in the SQL. `via` lists the CTEs and subqueries the reference passed
    through inside the model that reads this step, in order. `path`, `line`
    and `char` (1-based) say where the column is written. `steps` are the
    next steps: upstream for lineage, downstream for impact."""

    kind: str
    column: str | None
    model: str | None = None
    source: tuple[str, str] | None = None
    table: str | None = None
    via: tuple[str, ...] = ()
    path: str | None = None
    line: int | None = None
    char: int | None = None
    reason: str | None = None
    clause: str | None = None
    steps: tuple[LineageStep, ...] = ()

    @property
    def missing(self) -> bool:
        """True for a ref to a model the project lacks."""
        return self.kind == "missing"

    @property
    def label(self) -> str:
        """The step's node and column, dotted: `model.column`, `source.table.column`;
        `model: reference` for a filter."""
        if self.kind == "filter":
            return f"{self.model}: {self.column}"
        if self.source is not None:
            owner = ".".join(self.source)
        else:
            owner = self.model or self.table or "?"
        return owner if self.column is None else f"{owner}.{self.column}"

    def to_dict(self) -> dict[str, Any]:
        """The step and its next steps as JSON-ready values; fields that are None left out."""
        found = self.fields()
        stack = [(self, found)]
        while stack:  # not recursive: a chain may be longer than Python's recursion limit
            step, into = stack.pop()
            for child in step.steps:
                inner = child.fields()
                into["steps"].append(inner)
                stack.append((child, inner))
        return found

    def fields(self) -> dict[str, Any]:
        """The step's own fields as to_dict gives them, with no next steps yet."""
        found: dict[str, Any] = {"kind": self.kind, "column": self.column}
        for key in ("model", "source", "table", "path", "line", "char", "reason", "clause"):
            value = getattr(self, key)
            if value is not None:
                found[key] = list(value) if isinstance(value, tuple) else value
        found["via"] = list(self.via)
        found["steps"] = []
        return found


class Origin(NamedTuple):
    """Where one reference ends up, before it becomes a step. A tuple: made,
    compared and hashed by the ten thousand in a project."""

    kind: str  # model, seed, snapshot, source, table, function, values, missing, ambiguous, unresolved
    name: Any  # node id, (source, table), table name, or None
    column: str | None
    via: tuple[str, ...]
    star: bool = False  # reached through a `*` over unknown columns
    reason: str | None = None


# A column reference as plain values: qualifier, name, span.
Ref = tuple[Union[str, None], str, Union[tuple[int, int], None]]


class Item:
    """A SELECT item as plain values: a column of select_lineage() or a ConditionalColumn."""

    __slots__ = ("name", "kind", "span", "refs", "excluded")

    def __init__(
        self,
        name: str | None,
        kind: str,
        span: tuple[int, int] | None,
        refs: tuple[Ref, ...],
        excluded: tuple[str, ...],
    ) -> None:
        self.name = name
        self.kind = kind
        self.span = span
        self.refs = refs
        self.excluded = excluded

    @classmethod
    def conditional(cls, column: ConditionalColumn) -> Item:
        refs = tuple((ref.qualifier, ref.name, ref.span) for ref in column.references)
        return cls(column.name, column.kind, column.span, refs, tuple(column.excluded))


class Rel:
    """A relation a query reads, read once; `body` the query of a CTE or subquery."""

    __slots__ = ("kind", "name", "alias", "span", "body", "qualifiers")

    def __init__(self, relation: Relation, body: QueryFacts | None) -> None:
        self.kind = relation.kind
        self.name = relation.name
        self.alias = relation.alias
        self.span = relation.span
        self.body = body
        self.qualifiers = qualifiers_of(self.name, self.alias)


class QueryFacts:
    """One query of a file as plain values, each read from the native module
    once: its relations, the start of each SELECT of a union, the query
    whose text holds it and those it holds. Hashed by identity."""

    __slots__ = ("handle", "span", "parent", "children", "relations_read", "starts", "branch_relations", "selects")

    def __init__(self, handle: Query) -> None:
        self.handle = handle
        self.span = handle.span
        self.parent: QueryFacts | None = None
        self.children: list[QueryFacts] = []
        self.relations_read: list[Rel] | None = None
        self.starts: list[int] | None = None  # None for a query of one SELECT
        self.branch_relations: dict[int, list[Rel]] = {}
        self.selects: list[Select] | None = None  # the SELECT clause handles, once read


class Entry(NamedTuple):
    """One output column of a SELECT clause; a `*` over unknown columns has no
    name. A tuple: the native module makes thousands of them at once."""

    name: str | None
    item: Item
    through: Rel | None = None  # the relation a `*` takes it from


class ModelFile:
    """A model's file, its queries read into plain values on first use."""

    def __init__(self, model: Model, doc: Document | None, text: str, error: str | None) -> None:
        self.model = model
        self.doc = doc
        self.text = text
        self.error = error
        self.line_starts: list[int] | None = None
        self.warmed = False
        self._queries: list[QueryFacts] | None = None
        self._by_handle: dict[Query, QueryFacts] = {}
        self._top: QueryFacts | None = None

    def position(self, offset: int) -> tuple[int, int]:
        """The 1-based line and character of an offset in the text."""
        if self.line_starts is None:
            self.line_starts = [0] + [m.end() for m in re.finditer("\n", self.text)]
        line = bisect.bisect_right(self.line_starts, offset)
        return line, offset - self.line_starts[line - 1] + 1

    @property
    def queries(self) -> list[QueryFacts]:
        """Every query of the file, in the document's order, each with its parent and children."""
        return self.read_queries()

    def read_queries(self) -> list[QueryFacts]:
        if self._queries is None:
            self._queries = [] if self.doc is None else [self.facts(query) for query in self.doc.queries()]
            self.link(self._queries)
        return self._queries

    @property
    def top(self) -> QueryFacts | None:
        """The file's query; None when it does not parse or holds none."""
        if self._top is None and self.doc is not None:
            handle = self.doc.query
            if handle is not None:
                self.read_queries()  # first: they carry the parent links
                self._top = self.facts(handle)
        return self._top

    def facts(self, handle: Query) -> QueryFacts:
        found = self._by_handle.get(handle)
        if found is None:
            found = self._by_handle[handle] = QueryFacts(handle)
        return found

    @staticmethod
    def link(queries: list[QueryFacts]) -> None:
        """Each query's parent: the smallest query whose text holds it (for correlated references)."""
        for inner in queries:
            span = inner.span
            best = None
            if span is not None:
                for outer in queries:
                    other = outer.span
                    if outer is inner or other is None:
                        continue
                    if other[0] <= span[0] and span[1] <= other[1] and other != span:
                        if best is None or (best.span is not None and other[1] - other[0] < best.span[1] - best.span[0]):
                            best = outer
            inner.parent = best
            if best is not None:
                best.children.append(inner)

    def relations(self, query: QueryFacts) -> list[Rel]:
        """The query's relations, read once; the start of each SELECT of a union with them."""
        found = query.relations_read
        if found is None:
            found = query.relations_read = [Rel(r, self.body(r)) for r in query.handle.relations]
            selects = self.selects(query)
            starts = [select.span[0] for select in selects if select.span is not None]
            query.starts = starts if len(selects) > 1 and len(starts) == len(selects) else None
        return found

    def body(self, relation: Relation) -> QueryFacts | None:
        handle = relation.query
        return None if handle is None else self.facts(handle)

    @staticmethod
    def selects(query: QueryFacts) -> list[Select]:
        if query.selects is None:
            query.selects = query.handle.selects
        return query.selects


class NativeShapes:
    """What the native module makes its values as: origins and entries, the
    item of each column kind (a native entry's item says only its kind), what
    an entry of a `*` is read through, and a step (its class and fields)."""

    origin = Origin
    entry = Entry
    items = {
        kind: Item(None, kind, None, (), ())
        for kind in ("direct", "renamed", "expression", "aggregate", "constant", "star", "templated")
    }
    from_star: Any = None  # FROM_STAR, set below
    step = LineageStep
    step_fields: tuple[str, ...] = ()  # STEP_FIELDS, set below


class NativeModel:
    """A model file's lineage as far as the file alone says, resolved by the
    native module: its output columns (entries) and, where every ref's model
    was found natively, their lineage one model deep (shallow) by name in
    lower case, where the batch read the models they read. The rest is made
    when first asked, from what the native module kept of the file: the
    origins and step of the first column of each name (a ref's model found
    from the targets given, else left of kind "ref"), each of those
    columns' next steps (its origins, each that is no model's column made a
    step) and of those whose next steps are all made, the step with them
    (trees: its lineage at any depth but 0); and its filters. Only impact
    and lineage deeper than one model read those."""

    __slots__ = ("top", "entries", "kept", "kept_filters", "resolved", "shallow", "targets", "made")

    def __init__(self, found: tuple[Any, ...], targets: dict[str, Origin]) -> None:
        # top: whether the file holds a query; resolved: whether every ref's model was found natively
        self.top, self.entries, self.kept, self.kept_filters, self.resolved, shallow = found
        self.shallow: dict[str, LineageStep] | None = shallow
        self.targets = targets  # as given to the batch: a filter's ref is found there
        self.made: tuple[Any, ...] | None = None

    def rest(self) -> tuple[Any, ...]:
        """(origins, steps, next steps, trees), made once."""
        if self.made is None:
            make_kept([self], filters=False)
        return self.made  # type: ignore[return-value]

    def kept_for(self, filters: bool) -> tuple[Any, Any, dict[str, Origin]]:
        """What make_kept() gives the native module for it: what is still kept of it, None for the rest."""
        asked = filters and type(self.kept_filters) is not tuple
        return (self.kept if self.made is None else None, self.kept_filters if asked else None, self.targets)

    def take(self, made: tuple[Any, Any]) -> None:
        """Takes what make_kept() made of it."""
        rest, filters = made
        if rest is not None:
            origins, steps, following, trees = rest
            self.made = (origins, steps, following, trees) if self.resolved else (origins, steps, None, None)
            self.kept = None
        if filters is not None:
            self.kept_filters = filters

    @property
    def origins(self) -> dict[str, tuple[Origin, ...]]:
        return self.rest()[0]  # type: ignore[no-any-return]

    @property
    def steps(self) -> dict[str, LineageStep]:
        return self.rest()[1]  # type: ignore[no-any-return]

    @property
    def next(self) -> dict[str, tuple[LineageStep | Origin, ...]] | None:
        return self.rest()[2]  # type: ignore[no-any-return]

    @property
    def trees(self) -> dict[str, LineageStep] | None:
        return self.rest()[3]  # type: ignore[no-any-return]

    def filters(self) -> tuple[tuple[Any, ...], ...]:
        """Its filters, each (text, clause, line, char, origins), made once."""
        if type(self.kept_filters) is not tuple:
            make_kept([self], filters=True)
        return self.kept_filters  # type: ignore[no-any-return]


def make_kept(models: list[NativeModel], filters: bool) -> None:
    """Makes, in one call, the rest of these models and, if asked, their
    filters: the values they then share are made once."""
    asked = [model for model in models if model.made is None or (filters and type(model.kept_filters) is not tuple)]
    if asked:
        for model, made in zip(asked, _lineage_kept([model.kept_for(filters) for model in asked], NativeShapes)):
            model.take(made)


def lower(name: str | None) -> str | None:
    return None if name is None else name.lower()


class Lineage:
    """The lineage of a project's columns, each file parsed once, on demand."""

    def __init__(self, project: Project) -> None:
        self.project = project
        self._files: dict[str, ModelFile] = {}
        self._outputs: dict[str, list[Entry] | None] = {}
        self._impact: dict[tuple[str, str], list[LineageStep]] | None = None
        self._query_outputs: dict[QueryFacts, list[Entry]] = {}
        self._origins: dict[tuple[str, str], Sequence[Origin]] = {}
        self._branches: dict[QueryFacts, list[list[Entry]]] = {}
        self._traced: dict[tuple[QueryFacts, str], list[Origin]] = {}
        self._positions: dict[int, tuple[list[Entry], dict[str, int]]] = {}  # id() of a list of entries: name to index
        self._targets: dict[tuple[str, str], Origin] = {}  # (project, ref name) to what it reads
        self._resolved: dict[str, dict[Origin, Origin]] = {}  # by project: a native ref origin to its origin
        # Steps are immutable: the same column met again is the same step.
        self._steps: dict[tuple[str, str, tuple[str, ...]], LineageStep] = {}
        # The whole lineage of a column, by (model, column as given, via), where nothing below it reads
        # itself: then it is the same whatever reads it, and is built once.
        self._whole: dict[tuple[str, str, tuple[str, ...]], LineageStep] = {}
        self._cuts = 0  # times a column was met again on its own path (its tree cut there)
        self._leaves: dict[Origin, LineageStep] = {}
        self._keys: dict[str, str] = {}  # a model's name or id as given, to its id
        # By a model's name or id as given, once read: its columns' lineage one model deep that the native
        # module made (NativeModel.shallow), for the common call to find at once.
        self._one_deep: dict[str, dict[str, LineageStep]] = {}
        self._one_deep_built: dict[tuple[str, str], LineageStep] = {}  # the others, by (model, column as given)
        # What the native module resolved of each file read so far; None where the file alone cannot say.
        self._native: dict[str, Any] = {}  # a NativeModel, None, or NEEDS_REF_COLUMNS
        self._batches = 0
        self._needs: dict[str, None] = {}  # files read that wait for their refs' columns, in order

    # ---------------------------------------------------------------- files

    def file(self, key: str) -> ModelFile:
        found = self._files.get(key)
        if found is None:
            found = self._files[key] = self.read(key)
        return found

    def read(self, key: str) -> ModelFile:
        model = self.project.models[key]
        try:
            doc = model.document()
            return ModelFile(model, doc, str(doc), None)
        except (OSError, TrelmSyntaxError) as e:
            return ModelFile(model, None, "", str(e))

    def read_all(self) -> None:
        """Parses every model file not parsed yet."""
        self.read_files(list(self.project.models))

    def native(self, key: str) -> NativeModel | None:
        """The model's file as the native module resolved it; None where only this module can."""
        found = self._native.get(key, UNREAD)
        if found is UNREAD:
            self.read_native([key])
            found = self._native[key]
        if found is NEEDS_REF_COLUMNS:
            found = self._native[key] = self.read_with_columns(key)
        return found if isinstance(found, NativeModel) else None

    def read_with_columns(self, key: str) -> NativeModel | None:
        """Resolves a file natively again, given the columns of the models its refs name."""
        self.read_all_with_columns([key])
        found = self._native[key]
        return found if isinstance(found, NativeModel) else None

    def read_all_with_columns(self, keys: list[str]) -> None:
        """read_with_columns of each of these files, in one batch."""
        # Meanwhile a cycle of refs back to one of them finds its columns unknown, as outputs() has it.
        marked = [key for key in keys if key not in self._outputs]
        for key in keys:
            self._native[key] = None
        for key in marked:
            self._outputs[key] = None
        columns = [self.ref_columns(key) for key in keys]
        for key in marked:
            del self._outputs[key]
        paths = [self.project.models[key].path for key in keys]
        jobs = (os.cpu_count() or 1) if len(keys) > 1 else 1
        targets = [self.ref_targets(key) for key in keys]
        found_all = _lineage_files(paths, jobs, NativeShapes, keys, columns=columns, targets=targets)
        for key, found, given in zip(keys, found_all, targets):
            self._native[key] = NativeModel(found, given) if isinstance(found, tuple) else None

    def read_waves(self) -> None:
        """Resolves natively, in batches, the files read so far that wait for
        the columns of their refs' models: each batch those whose upstream
        models wait no longer. Those in a cycle are left to be read one at a
        time."""
        waiting = [key for key in self._needs if self._native.get(key) is NEEDS_REF_COLUMNS]
        pending = set(waiting)
        self._needs.clear()
        while waiting:
            ready = [key for key in waiting if not any(name in pending for name in self.upstream_names(key))]
            if not ready:
                return
            pending.difference_update(ready)
            self.read_all_with_columns(ready)
            waiting = [key for key in waiting if key in pending]

    def upstream_names(self, key: str) -> list[str]:
        return [name for kind, name in self.project._reads.get(("model", key), []) if kind == "model"]

    def ref_columns(self, key: str) -> dict[str, list[str] | None]:
        """The columns of the models the file's refs name, by the name called; None where unknown."""
        columns: dict[str, list[str] | None] = {}
        for name, target in self.ref_targets(key).items():
            upstream = self.outputs(target.name) if target.kind == "model" else None
            known = upstream is not None and all(entry.name is not None for entry in upstream)
            columns[name] = [entry.name for entry in upstream] if known else None  # type: ignore[union-attr,misc]
        return columns

    def ref_targets(self, key: str) -> dict[str, Origin]:
        """What each model name the file's refs call reads, by the name called."""
        model = self.project.models[key]
        targets: dict[str, Origin] = {}
        for ref in model.refs:
            name = ref.model
            if name is None or name in targets:
                continue
            place = (model.project, name)
            target = self._targets.get(place)
            if target is None:
                target = self._targets[place] = self.find_target(model.project, name)
            targets[name] = target
        return targets

    def read_native(self, keys: list[str]) -> None:
        """Resolves these model files natively, on threads, those not read yet.
        After a few separate reads, every file left is read at once: a caller
        walking the project would otherwise pay for one batch per model."""
        keys = [key for key in keys if key not in self._native]
        if not keys:
            return
        self._batches += 1
        if self._batches > SEPARATE_BATCHES:
            keys = [key for key in self.project.models if key not in self._native]
        paths = [self.project.models[key].path for key in keys]
        targets = [self.ref_targets(key) for key in keys]
        found_all = _lineage_files(paths, os.cpu_count() or 1, NativeShapes, keys, targets=targets)
        for key, found, given in zip(keys, found_all, targets):
            if isinstance(found, tuple):
                self._native[key] = NativeModel(found, given)
            elif found == "the columns of a ref's model":  # read again once those columns are known
                self._native[key] = NEEDS_REF_COLUMNS
                self._needs[key] = None
            else:
                self._native[key] = None

    def read_files(self, keys: list[str]) -> None:
        """Reads these model files natively, then parses those the native
        module left to this module, with threads when there are many: the
        parser lets go of the interpreter."""
        self.read_native(keys)
        keys = [key for key in keys if key not in self._files and self._native.get(key) is None]
        if len(keys) < 64:
            return
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            for key, found in zip(keys, pool.map(self.read, keys)):
                self._files.setdefault(key, found)

    def model_key(self, name: str) -> str:
        """The node id of a model given by name or id; KeyError or ValueError as Project.model."""
        found = self._keys.get(name)
        if found is None:
            found = self._keys[name] = self.project.id_of(self.project.model(name))
        return found

    # -------------------------------------------------------------- outputs

    def outputs(self, key: str) -> list[Entry] | None:
        """A model's output columns; None while being read (a cycle) or when its file does not parse."""
        if key in self._outputs:
            return self._outputs[key]
        self._outputs[key] = None  # stops a cycle of `select *`
        native = self.native(key)
        if native is not None:
            entries = self._outputs[key] = native.entries if native.top else None
            return entries
        file = self.file(key)
        self.warm(file)
        query = file.top
        found = self.query_outputs(file, query, set()) if query is not None else None
        self._outputs[key] = found
        return found

    def warm(self, file: ModelFile) -> None:
        """In a file of many queries, reads and traces the columns of each
        inner query before the queries that read it (a CTE before the later
        ones, a subquery before its query), so that a chain of CTEs of any
        length is then followed one step at a time, not by deep recursion."""
        if file.warmed or file.doc is None:
            return
        file.warmed = True
        queries = file.queries
        if len(queries) < WARM_QUERIES:
            return
        ends = [(query.span or (0, 0))[1] for query in queries]
        for _, index in sorted((end, index) for index, end in enumerate(ends))[:-1]:
            inner = queries[index]
            for entry in self.query_outputs(file, inner, set()):
                if entry.name is not None:
                    self.trace(file, inner, entry.name, (), frozenset())

    def query_outputs(self, file: ModelFile, query: QueryFacts, seen: set[QueryFacts]) -> list[Entry]:
        found = self._query_outputs.get(query)
        if found is None:
            found = self._query_outputs[query] = self.read_outputs(file, query, seen)
        return found

    def read_outputs(self, file: ModelFile, query: QueryFacts, seen: set[QueryFacts]) -> list[Entry]:
        selects = file.selects(query)
        if not selects or query in seen:
            return []
        select = selects[0]
        seen = seen | {query}
        entries: list[Entry] = []
        for facts in select_lineage(select):
            entries += self.item_outputs(file, query, Item(*facts), seen)
        named = {lower(entry.name) for entry in entries}
        for conditional in select.conditional_columns:
            name = conditional.name
            if name is not None and name.lower() not in named:
                named.add(name.lower())
                entries.append(Entry(name, Item.conditional(conditional)))
        return entries

    def item_outputs(self, file: ModelFile, query: QueryFacts, item: Item, seen: set[QueryFacts]) -> list[Entry]:
        if item.kind != "star":
            return [Entry(item.name, item)]
        star = next((ref for ref in item.refs if ref[1] == "*"), None)
        if star is None:
            return [Entry(item.name, item)]
        excluded = {name.lower() for name in item.excluded}
        relations = self.branch_relations(file, query, item.span)
        qualifier = star[0]
        if qualifier is not None:
            relations = [r for r in relations if named_by(r, qualifier)]
        entries: list[Entry] = []
        for relation in relations:
            names = self.relation_columns(file, relation, seen)
            if names is None:
                entries.append(Entry(None, item, relation))
            else:
                entries += [Entry(name, item, relation) for name in names if name.lower() not in excluded]
        return entries

    def relation_columns(self, file: ModelFile, relation: Rel, seen: set[QueryFacts]) -> list[str] | None:
        """The names a relation gives, or None when they are not known."""
        body = relation.body
        if body is not None:
            entries = self.query_outputs(file, body, seen)
            if any(entry.name is None for entry in entries):
                return None
            return [entry.name for entry in entries if entry.name is not None]
        if relation.kind == "ref":
            target = self.ref_target(file, relation)
            if target.kind == "model":
                upstream = self.outputs(target.name)
                if upstream is None or any(entry.name is None for entry in upstream):
                    return None
                return [entry.name for entry in upstream if entry.name is not None]
        return None

    def columns(self, name: str) -> list[str]:
        key = self.model_key(name)
        native = self._native.get(key)
        if type(native) is NativeModel:  # read natively already: its entries are final
            entries = native.entries if native.top else []
        else:
            if key not in self._outputs:
                self.read_upstream(key)
            entries = self.outputs(key) or []
        return [entry.name for entry in entries if entry.name is not None]

    # ------------------------------------------------------------ resolving

    def ref_target(self, file: ModelFile, relation: Rel) -> Origin:
        name = str(relation.name)
        place = (file.model.project, name)
        found = self._targets.get(place)
        if found is None:
            found = self._targets[place] = self.find_target(file.model.project, name)
        return found

    def find_target(self, project: str, name: str) -> Origin:
        """What a ref() of this name reads, as the project's graph resolved it
        (once for each name while loading): a name defined outside the
        repository is missing here, having no columns to read."""
        found = self.project._resolve_call(project, None, name)
        if isinstance(found, list):
            return Origin("ambiguous", None, None, (), reason=f"ref {name!r} could be {', '.join(found)}")
        if found is None or found[0] == "missing":
            return Origin("missing", name, None, ())
        return Origin(found[0], found[1], None, ())

    def branch_relations(self, file: ModelFile, query: QueryFacts, span: tuple[int, int] | None) -> list[Rel]:
        """The relations of the union branch that holds `span`: each branch of a
        union reads its own FROM. All of them when the place is unknown."""
        relations = query.relations_read
        if relations is None:
            relations = file.relations(query)
        starts = query.starts
        if span is None or starts is None:
            return relations
        branch = bisect.bisect_right(starts, span[0]) - 1 if span[0] >= starts[0] else 0
        found = query.branch_relations.get(branch)
        if found is None:
            start, end = starts[branch], starts[branch + 1] if branch + 1 < len(starts) else None
            found = query.branch_relations[branch] = [
                r for r in relations if r.span is not None and start <= r.span[0] and (end is None or r.span[0] < end)
            ]
        return found

    def resolve_ref(self, file: ModelFile, query: QueryFacts, ref: Ref, via: tuple[str, ...], seen: Seen) -> list[Origin]:
        """Where a column reference written in `query` comes from."""
        qualifier, name, span = ref
        found = self.resolve_name(file, query, span, qualifier, name, via, seen)
        if found is None and qualifier is not None:
            # `record.field` with no relation named `record`: a field of a column.
            found = self.resolve_name(file, query, span, None, qualifier.partition(".")[0], via, seen)
        if found is None:
            reason = f"no relation named {qualifier!r}" if qualifier else "the query reads no relation"
            return [Origin("unresolved", None, name, via, reason=reason)]
        return found

    def resolve_name(
        self,
        file: ModelFile,
        query: QueryFacts,
        span: tuple[int, int] | None,
        qualifier: str | None,
        name: str,
        via: tuple[str, ...],
        seen: Seen,
    ) -> list[Origin] | None:
        """Where `qualifier.name` written at `span` in `query` comes from, from
        the query outward; None when no query around it has the relation."""
        scope: QueryFacts | None = query
        wanted = None if qualifier is None else qualifier.lower()
        while scope is not None:
            relations = self.branch_relations(file, scope, span if scope is query else None)
            if wanted is not None:
                named = next((r for r in relations if wanted in r.qualifiers), None)
                if named is not None:
                    return self.from_relation(file, named, name, via, seen)
                # `t.record.field`: a field of column `record` of relation `t`.
                first, dot, rest = wanted.partition(".")
                named = next((r for r in relations if first in r.qualifiers), None) if dot else None
                if named is not None:
                    assert qualifier is not None
                    return self.from_relation(file, named, qualifier.partition(".")[2].partition(".")[0], via, seen)
            elif relations:
                chosen = self.choose(file, relations, name)
                if isinstance(chosen, Origin):
                    return [chosen._replace(via=via)]
                return self.from_relation(file, chosen, name, via, seen)
            scope = scope.parent
        return None

    def choose(self, file: ModelFile, relations: list[Rel], name: str) -> Rel | Origin:
        """The relation an unqualified name belongs to."""
        if len(relations) == 1:
            return relations[0]
        # `unnest(xs) as x`: the alias names the function's value as well as the relation.
        wanted = name.lower()
        values = [r for r in relations if r.kind == "function" and r.alias is not None and r.alias.lower() == wanted]
        if len(values) == 1:
            return values[0]
        known = [(r, self.relation_columns(file, r, set())) for r in relations]
        having = [r for r, names in known if names is not None and name.lower() in {n.lower() for n in names}]
        if len(having) == 1:
            return having[0]
        unknown = [r for r, names in known if names is None]
        if not having and len(unknown) == 1:
            return unknown[0]
        among = ", ".join(relation_label(r) for r in (having or unknown or relations))
        return Origin("ambiguous", None, name, (), reason=f"{name!r} could come from {among}")

    def from_relation(self, file: ModelFile, relation: Rel, name: str, via: tuple[str, ...], seen: Seen) -> list[Origin]:
        kind = relation.kind
        body = relation.body
        if body is not None:
            step = str(relation.name) if kind == "cte" else (relation.alias or "subquery")
            return self.trace(file, body, name, (*via, step), seen)
        if kind == "ref":
            target = self.ref_target(file, relation)
            return [Origin(target.kind, target.name, name, via, reason=target.reason)]
        if kind == "source":
            return [Origin("source", tuple(relation.name), name, via)]
        if kind in ("table", "function", "values"):
            return [Origin(kind, str(relation.name), name, via)]
        return [Origin("unresolved", None, name, via, reason=f"templated relation {relation.name}")]

    def trace(self, file: ModelFile, query: QueryFacts, name: str, via: tuple[str, ...], seen: Seen) -> list[Origin]:
        """Where output column `name` of `query` comes from, each origin's
        `via` after the given one. A CTE read by many columns is traced once."""
        key = (query, name.lower())
        if key in seen:
            return []
        found = self._traced.get(key)
        if found is None:
            found = self._traced[key] = unique(self.trace_anew(file, query, name, seen | {key}))
        if not via:
            return found
        return [
            Origin(origin.kind, origin.name, origin.column, (*via, *origin.via), origin.star, origin.reason)
            for origin in found
        ]

    def trace_anew(self, file: ModelFile, query: QueryFacts, name: str, seen: Seen) -> list[Origin]:
        """Each branch of a union gives the column at the same position."""
        via: tuple[str, ...] = ()
        first = self.query_outputs(file, query, set())
        index = self.position(first, name)
        if index is None:
            stars = [entry for entry in first if entry.name is None and entry.through is not None]
            if not stars:
                if any(entry.name is None and entry.item.kind == "templated" for entry in first):
                    return []  # made by Jinja, if at all: nothing more is known
                return [Origin("unresolved", None, name, via, reason=f"no column {name!r} here")]
            found = []
            for entry in stars:
                assert entry.through is not None
                for origin in self.from_relation(file, entry.through, name, via, seen):
                    found.append(Origin(origin.kind, origin.name, origin.column, origin.via, True, origin.reason))
            return found
        origins: list[Origin] = []
        for position, entries in enumerate(self.branches(file, query)):
            # Later branches are matched by position, which a `*` over unknown columns before it hides.
            if position and (index >= len(entries) or any(entry.name is None for entry in entries[:index])):
                origins.append(Origin("unresolved", None, name, via, reason="union branch without this position"))
                continue
            origins += self.trace_entry(file, query, entries[index], name, via, seen)
        return origins

    def branches(self, file: ModelFile, query: QueryFacts) -> list[list[Entry]]:
        """The output columns of each SELECT of a union, in order."""
        found = self._branches.get(query)
        if found is None:
            found = [self.query_outputs(file, query, set())]
            for select in file.selects(query)[1:]:
                entries: list[Entry] = []
                for facts in select_lineage(select):
                    entries += self.item_outputs(file, query, Item(*facts), set())
                found.append(entries)
            self._branches[query] = found
        return found

    def trace_entry(
        self, file: ModelFile, query: QueryFacts, entry: Entry, name: str, via: tuple[str, ...], seen: Seen
    ) -> list[Origin]:
        if entry.through is not None:
            return self.from_relation(file, entry.through, entry.name or name, via, seen)
        origins = []
        for ref in entry.item.refs:
            if ref[1] != "*":
                origins += self.resolve_ref(file, query, ref, via, seen)
        # A subquery in the item gives its value: what its first column reads,
        # outer columns included.
        for inner in self.inner_queries(file, query, entry.item.span):
            first = self.query_outputs(file, inner, set())[:1]
            for found in first:
                origins += self.trace_entry(file, inner, found, found.name or name, via, seen)
        return origins

    def inner_queries(self, file: ModelFile, query: QueryFacts, span: tuple[int, int] | None) -> list[QueryFacts]:
        """The queries written directly inside `query` within `span`."""
        if span is None or not query.children:
            return []
        return [q for q in query.children if (q.span or (-1, -1))[0] >= span[0] and (q.span or (-1, -1))[1] <= span[1]]

    def position(self, entries: list[Entry], name: str) -> int | None:
        """Where the first entry of this name is, ignoring case."""
        known = self._positions.get(id(entries))
        if known is None:
            index: dict[str, int] = {}
            for i, entry in enumerate(entries):
                if entry.name is not None:
                    index.setdefault(entry.name.lower(), i)
            # The list is kept alive with its index, so that its id() is never another list's.
            known = self._positions[id(entries)] = (entries, index)
        return known[1].get(name.lower())

    # ---------------------------------------------------------------- steps

    def origins_of(self, key: str, column: str) -> Sequence[Origin]:
        native = self.native(key)
        if native is not None and not native.top:
            return [Origin("unresolved", None, column, (), reason="the file holds no query")]
        if native is not None:
            lowered = column.lower()
            raw = native.origins.get(lowered)
            if raw is not None and native.resolved:  # each origin once and final already
                return raw
            if raw is not None:
                origins = self._origins.get((key, lowered))
                if origins is None:
                    project = self.project.models[key].project
                    origins = self._origins[(key, lowered)] = unique([self.origin(project, o) for o in raw])
                return origins
        file = self.file(key)
        query = file.top
        if query is None:
            reason = file.error or "the file holds no query"
            return [Origin("unresolved", None, column, (), reason=reason)]
        origins = self._origins.get((key, column.lower()))
        if origins is None:
            origins = self.trace(file, query, column, (), frozenset())  # unique already
            self._origins[(key, column.lower())] = origins
        return origins

    def next_steps(self, key: str, column: str) -> Sequence[LineageStep | Origin]:
        """The column's origins, those that are no model's column as their steps where the native module made them."""
        native = self._native.get(key)
        if type(native) is NativeModel and native.next is not None:
            found = native.next.get(column.lower())
            if found is not None:
                return found
        return self.origins_of(key, column)

    def column_step(self, key: str, column: str, via: tuple[str, ...] = ()) -> LineageStep:
        """A model's column as a step without its next steps."""
        if not via:  # the native module's steps keep themselves: no need to cache them again
            native = self._native.get(key)
            if type(native) is NativeModel:
                found = native.steps.get(column.lower())
                if found is not None:
                    return found
        place = (key, column, via)
        found = self._steps.get(place)
        if found is None:
            found = self._steps[place] = self.make_column_step(key, column, via)
        return found

    def origin(self, project: str, raw: Origin) -> Origin:
        """An origin the native module found; the model of a ref found here."""
        if raw.kind != "ref":
            return raw
        resolved = self._resolved.get(project)
        if resolved is None:
            resolved = self._resolved[project] = {}
        found = resolved.get(raw)
        if found is None:
            place = (project, raw.name)
            target = self._targets.get(place)
            if target is None:
                target = self._targets[place] = self.find_target(project, raw.name)
            found = Origin(target.kind, target.name, raw.column, raw.via, raw.star, target.reason)
            resolved[raw] = found
        return found

    def make_column_step(self, key: str, column: str, via: tuple[str, ...]) -> LineageStep:
        native = self.native(key)
        made = None if native is None else native.steps.get(column.lower())
        if made is not None:  # a column the native module placed: the common case, made already
            return made if not via else with_field(made, "via", via)
        file = None if native is not None else self.file(key)
        entries = self.outputs(key) or []
        index = self.position(entries, column)
        # A native file's steps hold the first entry of each name: it has none of this name.
        entry = None if index is None or native is not None else entries[index]
        path = self.project.models[key].path
        if entry is None:
            if any(e.name is None and e.through is not None for e in entries):
                return LineageStep("star", column, model=key, via=via, path=path)
            if any(e.name is None and e.item.kind == "templated" for e in entries):
                # Jinja that makes columns (a variable, a macro call) may make this one.
                reason = "not named in the file; Jinja there may make it"
                return LineageStep("templated", column, model=key, via=via, path=path, reason=reason)
            reason = (file and file.error) or f"no column {column!r} in {key}"
            return LineageStep("unresolved", column, model=key, via=via, path=path, reason=reason)
        assert file is not None
        span = entry.item.span
        line, char = (None, None) if span is None else file.position(span[0])
        kind = "star" if entry.through is not None else entry.item.kind
        return LineageStep(kind, entry.name, key, None, None, via, path, line, char, None, None, ())

    def model_step(self, key: str, column: str, via: tuple[str, ...], star: bool) -> LineageStep:
        """A model's column as a step of a lineage, without its next steps."""
        step = self.column_step(key, column, via)
        if star and step.kind == "unresolved":  # reached through a `*` whose upstream columns are unknown
            return LineageStep("star", step.column, model=step.model, via=step.via, path=step.path)
        return step

    def leaf(self, origin: Origin) -> LineageStep:
        found = self._leaves.get(origin)
        if found is None:
            found = self._leaves[origin] = make_leaf(origin)
        return found

    def lineage(self, name: str, column: str, depth: int | None) -> LineageStep:
        """The column's step with what it reads, followed with a stack of its
        own, not Python's: a chain of any length of models is followed."""
        if depth == 1:
            made = self._one_deep.get(name)
            if made is not None:
                tree = made.get(column.lower())
                if tree is not None:
                    return tree
        elif depth is not None and depth < 0:
            check_depth(depth)
        key = self._keys.get(name) or self.model_key(name)
        native = self._native.get(key)
        if depth == 1 and type(native) is NativeModel and native.shallow is not None:
            tree = native.shallow.get(column.lower())
            if tree is not None:  # whole as made: nothing upstream needs reading first
                self._one_deep[name] = native.shallow
                return tree
        if key not in self._outputs:
            self.read_upstream(key)
            native = self._native.get(key)
        if depth != 0 and type(native) is NativeModel:
            # One model deep: every column's the native module made; else those that read no model's column.
            made = native.shallow if depth == 1 else native.trees
            if made is not None:
                if depth == 1:
                    self._one_deep[name] = made
                tree = made.get(column.lower())
                if tree is not None:
                    return tree
        if depth is None:
            return self.whole_tree(key, column)
        if depth == 1:  # the same whatever was asked before: built once
            found = self._one_deep_built.get((key, column))
            if found is None:
                found = build_tree((key, column, (), depth, frozenset(), False), self.expand_upstream)
                self._one_deep_built[(key, column)] = found
            return found
        return build_tree((key, column, (), depth, frozenset(), False), self.expand_upstream)

    def whole_tree(self, key: str, column: str) -> LineageStep:
        """build_tree() of the column at any depth, keeping each tree below
        whose expansion met no column on its own path: a later tree that
        reaches that column takes it as it is."""
        found = self._whole.get((key, column, ()))
        if found is not None:
            return found
        node: tuple[str, str, tuple[str, ...], int | None, Seen, bool] = (key, column, (), None, frozenset(), False)
        # Each: its node, its step, its children, those built, the cuts before it was expanded.
        stack: list[tuple[Any, LineageStep, list[Any], list[LineageStep], int]] = []
        cuts = self._cuts
        stack.append((node, *self.expand_upstream(node), [], cuts))
        while True:
            node, step, children, done, cuts = stack[-1]
            if len(done) < len(children):
                child = children[len(done)]
                if type(child) is LineageStep:
                    done.append(child)
                else:
                    cuts = self._cuts
                    stack.append((child, *self.expand_upstream(child), [], cuts))
                continue
            stack.pop()
            made = with_field(step, "steps", tuple(done)) if done else step
            # Not through a `*`: an unresolved column is a star's step there.
            if cuts == self._cuts and not node[5] and made.kind != "unresolved":
                self._whole[node[:3]] = made
            if not stack:
                return made
            stack[-1][3].append(made)

    def expand_upstream(self, node: tuple[str, str, tuple[str, ...], int | None, Seen, bool]) -> tuple[LineageStep, list[Any]]:
        """A node of an upstream tree as its step and its children, each a step or a node to expand."""
        key, column, via, depth, path, star = node
        if path and depth != 0:  # below the root (checked by lineage())
            whole = self.known_tree(key, column, via, depth is None)
            if whole is not None:
                return whole, []
        step = self.column_step(key, column, via)
        if step.kind == "unresolved":
            return self.model_step(key, column, via, star), []
        if depth == 0:
            return step, []
        place = (key, column.lower())
        if place in path:
            self._cuts += 1
            return step, []
        below = None if depth is None else depth - 1
        inner: Seen | None = None  # the path with this column, made when a child is expanded
        children: list[Any] = []
        for origin in self.next_steps(key, column):
            if isinstance(origin, LineageStep):
                children.append(origin)
            elif origin.kind != "model":
                children.append(self.leaf(origin))
            elif below == 0:  # a step with no next steps: no need to expand it
                children.append(self.model_step(origin.name, origin.column or "", origin.via, origin.star))
            else:
                whole = self.known_tree(origin.name, origin.column or "", origin.via, below is None)
                if whole is not None:
                    children.append(whole)
                    continue
                if inner is None:
                    inner = path | {place}
                children.append((origin.name, origin.column or "", origin.via, below, inner, origin.star))
        return step, children

    def known_tree(self, key: str, column: str, via: tuple[str, ...], whole: bool) -> LineageStep | None:
        """The column's lineage below a root (at any depth but 0) where it is
        known already: the native module's, or, for a `whole` tree (any
        depth), one built before that met no column on its own path."""
        if whole:
            found = self._whole.get((key, column, via))
            if found is not None:
                return found
            found = self._whole.get((key, column, ())) if via else None
        else:
            found = None
        if found is None:
            native = self._native.get(key)
            if type(native) is not NativeModel or native.trees is None:
                return None
            found = native.trees.get(column.lower())
            if found is None:
                return None
        if not via:
            return found
        found = with_field(found, "via", via)
        if whole:
            self._whole[(key, column, via)] = found
        return found

    def read_upstream(self, key: str) -> None:
        """Reads the output columns of the models upstream of `key` before its
        own, farthest first, so that a chain of `select *` of any length is
        read without deep recursion. Once read, what it reads is read too."""
        order: list[str] = []
        seen = {key}
        stack = [(key, iter(self.upstream_models(key)))]
        while stack:
            current, reads = stack[-1]
            following = next(reads, None)
            if following is None:
                stack.pop()
                order.append(current)
            elif following not in seen:
                seen.add(following)
                stack.append((following, iter(self.upstream_models(following))))
        self.read_files(order)
        self.read_waves()
        for found in order:
            self.outputs(found)

    def upstream_models(self, key: str) -> list[str]:
        reads = self.project._reads.get(("model", key), [])
        return [name for kind, name in reads if kind == "model" and name not in self._outputs]

    # --------------------------------------------------------------- impact

    def readers(self) -> dict[tuple[str, str], list[LineageStep]]:
        """(model, column) to the steps one model downstream that read it."""
        if self._impact is not None:
            return self._impact
        # Each reader once, in the order found: a dict as an ordered set.
        found: dict[tuple[str, str], dict[LineageStep, None]] = {}
        self.read_all()

        def add(origin: Origin, step: LineageStep) -> None:
            found.setdefault((origin.name, origin.column.lower()), {})[step] = None  # type: ignore[union-attr]

        make_kept([model for model in self._native.values() if type(model) is NativeModel], filters=True)
        for key in self.project.models:
            for column in self.columns(key):
                for origin in self.origins_of(key, column):
                    if origin.kind == "model" and origin.column is not None:
                        add(origin, self.column_step(key, column, origin.via))
            native = self.native(key)
            if native is not None:
                project = self.project.models[key].project
                for text, clause, line, char, raw in native.filters():
                    use: LineageStep | None = None
                    for origin in unique([self.origin(project, o) for o in raw]):
                        if origin.kind == "model" and origin.column is not None:
                            use = use or LineageStep(
                                "filter", text, model=key, path=self.project.models[key].path,
                                line=line, char=char, clause=clause,
                            )
                            add(origin, use if use.via == origin.via else replace(use, via=origin.via))
                continue
            file = self.file(key)
            if file.doc is None:
                continue
            for query in file.queries:
                for ref in query.handle.filters:
                    step: LineageStep | None = None
                    plain = (ref.qualifier, ref.name, ref.span)
                    for origin in unique(self.resolve_ref(file, query, plain, (), frozenset())):
                        if origin.kind == "model" and origin.column is not None:
                            step = step or self.filter_step(file, key, ref)
                            add(origin, step if step.via == origin.via else replace(step, via=origin.via))
        self._impact = {place: list(steps) for place, steps in found.items()}
        return self._impact

    def filter_step(self, file: ModelFile, key: str, ref: ColumnRef) -> LineageStep:
        line, char = (None, None) if ref.span is None else file.position(ref.span[0])
        path = file.model.path
        return LineageStep("filter", str(ref), model=key, path=path, line=line, char=char, clause=ref.clause)

    def impact(self, name: str, column: str, depth: int | None) -> LineageStep:
        check_depth(depth)
        key = self.model_key(name)
        readers = self.readers()

        def expand(node: tuple[LineageStep, int | None, Seen]) -> tuple[LineageStep, list[Any]]:
            step, depth, path = node
            place = (step.model or "", (step.column or "").lower())
            if depth == 0 or place in path or step.kind == "filter":
                return step, []
            path = path | {place}
            below = None if depth is None else depth - 1
            return step, [(reader, below, path) for reader in readers.get(place, [])]

        return build_tree((self.column_step(key, column), depth, frozenset()), expand)


def with_field(step: LineageStep, name: str, value: Any) -> LineageStep:
    """The step with one field changed (dataclasses.replace, without its cost):
    its next steps, or the CTEs and subqueries it is reached through."""
    return _step_with(step, STEP_FIELDS, name, value)  # type: ignore[no-any-return]


STEP_FIELDS = tuple(field.name for field in fields(LineageStep))
NativeShapes.step_fields = STEP_FIELDS


def build_tree(root: Any, expand: Callable[[Any], tuple[LineageStep, list[Any]]]) -> LineageStep:
    """The tree whose root is `expand(root)`'s step: each child that is not a
    step yet is expanded in turn. Depth first with a list as the stack, so
    that any depth is built; each step is made once its children are."""
    step, children = expand(root)
    for child in children:
        if type(child) is not LineageStep:
            break
    else:  # next steps made already: the common case of a depth of one
        return with_field(step, "steps", tuple(children)) if children else step
    stack: list[tuple[LineageStep, list[Any], list[LineageStep]]] = [(step, children, [])]
    while True:
        step, children, done = stack[-1]
        if len(done) < len(children):
            child = children[len(done)]
            if type(child) is LineageStep:
                done.append(child)
            else:
                stack.append((*expand(child), []))
            continue
        stack.pop()
        made = with_field(step, "steps", tuple(done)) if done else step
        if not stack:
            return made
        stack[-1][2].append(made)


# Separate native reads before the rest of the project is read at once.
SEPARATE_BATCHES = 8

# A file the native module resolves once the columns of its refs' models are known.
NEEDS_REF_COLUMNS: Any = object()
UNREAD: Any = object()

# What a native entry's column of a `*` is read through: its relation is not needed here.
FROM_STAR: Any = object()
NativeShapes.from_star = FROM_STAR

# Below this many queries in a file, nesting cannot reach Python's recursion limit.
WARM_QUERIES = 64


def make_leaf(origin: Origin) -> LineageStep:
    """The step of an origin that is no model's column."""
    kind = "star" if origin.star and origin.kind in ("source", "table", "function", "values") else origin.kind
    model = source = table = reason = None
    if origin.kind == "source":
        source = origin.name
    elif origin.kind in ("table", "function", "values"):
        table = origin.name
    elif origin.kind in ("seed", "snapshot", "missing"):
        model = origin.name
    else:
        reason = origin.reason
    return LineageStep(kind, origin.column, model, source, table, origin.via, None, None, None, reason, None, ())


def check_depth(depth: int | None) -> None:
    if depth is not None and depth < 0:
        raise ValueError(f"depth must be None or at least 0, not {depth}")


def named_by(relation: Rel, qualifier: str) -> bool:
    """Whether a qualifier names the relation."""
    return qualifier.lower() in relation.qualifiers


def qualifiers_of(name: str | tuple[str, str], alias: str | None) -> frozenset[str]:
    """What qualifies a relation's columns, in lower case: its alias, else its name or the name's last part."""
    if alias is not None:
        return frozenset((alias.lower(),))
    if isinstance(name, tuple):
        return frozenset((name[1].lower(), ".".join(name).lower()))
    lowered = str(name).lower()
    return frozenset((lowered, lowered.rsplit(".", 1)[-1]))


def relation_label(relation: Rel) -> str:
    name = ".".join(relation.name) if isinstance(relation.name, tuple) else str(relation.name) or "subquery"
    return name if relation.alias in (None, name) else f"{relation.alias} ({name})"




def unique(origins: list[Origin]) -> list[Origin]:
    return list(dict.fromkeys(origins))
