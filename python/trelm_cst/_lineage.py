"""Column lineage across a project, read from the files as written: each
column reference resolved through the scopes of its query (aliases, CTE
bodies, subqueries) down to another model's output column, a source's or a
table's column, or a reason it cannot be resolved. Nothing is rendered."""

from __future__ import annotations

import bisect
import os
import re
from concurrent.futures import ThreadPoolExecutor
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Union

from trelm_cst._native import Column, ColumnRef, ConditionalColumn, Document, Query, Relation, TrelmSyntaxError

if TYPE_CHECKING:
    from trelm_cst._project import Model, Project

Item = Union[Column, ConditionalColumn]
# What a trace has entered: (query, column) inside a file, (model, column) across models.
Seen = frozenset[tuple[Any, str]]


class LineageTooDeep(ValueError):
    """What a RecursionError met while following a column becomes: a clear
    error instead. Chains of models and of CTEs and subqueries in a file are
    followed at any length, so none is known to reach it."""

    def __init__(self) -> None:
        super().__init__("the column's lineage is nested deeper than can be followed here")


@dataclass(frozen=True)
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


@dataclass(frozen=True)
class Origin:
    """Where one reference ends up, before it becomes a step."""

    kind: str  # model, seed, snapshot, source, table, function, values, missing, ambiguous, unresolved
    name: Any  # node id, (source, table), table name, or None
    column: str | None
    via: tuple[str, ...]
    star: bool = False  # reached through a `*` over unknown columns
    reason: str | None = None


@dataclass
class Entry:
    """One output column of a SELECT clause; a `*` over unknown columns has no name."""

    name: str | None
    item: Item
    through: Relation | None = None  # the relation a `*` takes it from


@dataclass
class ModelFile:
    model: Model
    doc: Document | None
    text: str
    error: str | None
    parents: dict[Query, Query | None] = field(default_factory=dict)
    line_starts: list[int] | None = None
    warmed: bool = False

    def position(self, offset: int) -> tuple[int, int]:
        """The 1-based line and character of an offset in the text."""
        if self.line_starts is None:
            self.line_starts = [0] + [m.end() for m in re.finditer("\n", self.text)]
        line = bisect.bisect_right(self.line_starts, offset)
        return line, offset - self.line_starts[line - 1] + 1


def lower(name: str | None) -> str | None:
    return None if name is None else name.lower()


class Lineage:
    """The lineage of a project's columns, each file parsed once, on demand."""

    def __init__(self, project: Project) -> None:
        self.project = project
        self._files: dict[str, ModelFile] = {}
        self._outputs: dict[str, list[Entry] | None] = {}
        self._impact: dict[tuple[str, str], list[LineageStep]] | None = None
        # Reading a query's relations and clauses builds new objects each time: once per query here.
        self._relations: dict[Query, list[Relation]] = {}
        self._starts: dict[Query, list[int] | None] = {}
        self._branch_relations: dict[tuple[Query, int], list[Relation]] = {}
        self._children: dict[Query, list[Query]] = {}
        self._query_outputs: dict[Query, list[Entry]] = {}
        self._origins: dict[tuple[str, str], list[Origin]] = {}
        self._bodies: dict[Relation, Query | None] = {}
        self._branches: dict[Query, list[list[Entry]]] = {}
        self._traced: dict[tuple[Query, str], list[Origin]] = {}
        self._positions: dict[int, tuple[list[Entry], dict[str, int]]] = {}  # id() of a list of entries: name to index

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

    def read_files(self, keys: list[str]) -> None:
        """Parses these model files, those not parsed yet, with threads when
        there are many: the parser lets go of the interpreter."""
        keys = [key for key in keys if key not in self._files]
        if len(keys) < 64:
            return
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            for key, found in zip(keys, pool.map(self.read, keys)):
                self._files.setdefault(key, found)

    def model_key(self, name: str) -> str:
        """The node id of a model given by name or id; KeyError or ValueError as Project.model."""
        return self.project.id_of(self.project.model(name))

    # -------------------------------------------------------------- outputs

    def outputs(self, key: str) -> list[Entry] | None:
        """A model's output columns; None while being read (a cycle) or when its file does not parse."""
        if key in self._outputs:
            return self._outputs[key]
        self._outputs[key] = None  # stops a cycle of `select *`
        file = self.file(key)
        self.warm(file)
        query = file.doc.query if file.doc is not None else None
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
        queries = file.doc.queries()
        if len(queries) < WARM_QUERIES:
            return
        ends = [(query.span or (0, 0))[1] for query in queries]
        for _, index in sorted((end, index) for index, end in enumerate(ends))[:-1]:
            inner = queries[index]
            for entry in self.query_outputs(file, inner, set()):
                if entry.name is not None:
                    self.trace(file, inner, entry.name, (), frozenset())

    def query_outputs(self, file: ModelFile, query: Query, seen: set[Query]) -> list[Entry]:
        found = self._query_outputs.get(query)
        if found is None:
            found = self._query_outputs[query] = self.read_outputs(file, query, seen)
        return found

    def read_outputs(self, file: ModelFile, query: Query, seen: set[Query]) -> list[Entry]:
        select = query.select
        if select is None or query in seen:
            return []
        seen = seen | {query}
        entries: list[Entry] = []
        for column in select.columns:
            entries += self.item_outputs(file, query, column, seen)
        named = {lower(entry.name) for entry in entries}
        for conditional in select.conditional_columns:
            if conditional.name is not None and conditional.name.lower() not in named:
                named.add(conditional.name.lower())
                entries.append(Entry(conditional.name, conditional))
        return entries

    def item_outputs(self, file: ModelFile, query: Query, column: Column, seen: set[Query]) -> list[Entry]:
        if column.kind != "star":
            return [Entry(column.name, column)]
        star = next((ref for ref in column.references if ref.name == "*"), None)
        if star is None:
            return [Entry(column.name, column)]
        excluded = {name.lower() for name in column.excluded}
        relations = self.branch_relations(query, column.span)
        if star.qualifier is not None:
            relations = [r for r in relations if named_by(r, star.qualifier)]
        entries: list[Entry] = []
        for relation in relations:
            names = self.relation_columns(file, relation, seen)
            if names is None:
                entries.append(Entry(None, column, relation))
            else:
                entries += [Entry(name, column, relation) for name in names if name.lower() not in excluded]
        return entries

    def relation_columns(self, file: ModelFile, relation: Relation, seen: set[Query]) -> list[str] | None:
        """The names a relation gives, or None when they are not known."""
        body = self.body(file, relation)
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
        self.read_upstream(key)
        entries = self.outputs(key) or []
        return [entry.name for entry in entries if entry.name is not None]

    # ------------------------------------------------------------ resolving

    def ref_target(self, file: ModelFile, relation: Relation) -> Origin:
        name = str(relation.name)
        candidates = self.project._candidates(file.model.project, name, None)
        if len(candidates) > 1:
            ids = ", ".join(sorted(self.project.id_of(models[0]) for models in candidates))
            return Origin("ambiguous", None, None, (), reason=f"ref {name!r} could be {ids}")
        if not candidates:
            return Origin("missing", name, None, ())
        found = candidates[0][0]
        return Origin(found.kind, self.project.id_of(found), None, ())

    def parent(self, file: ModelFile, query: Query) -> Query | None:
        """The query whose text holds this one (for correlated references)."""
        if not file.parents and file.doc is not None:
            queries = file.doc.queries()
            for inner in queries:
                span = inner.span
                best = None
                for outer in queries:
                    other = outer.span
                    if outer == inner or span is None or other is None:
                        continue
                    if other[0] <= span[0] and span[1] <= other[1] and other != span:
                        if best is None or (best.span is not None and other[1] - other[0] < best.span[1] - best.span[0]):
                            best = outer
                file.parents[inner] = best
        return file.parents.get(query)

    def branch_relations(self, query: Query, span: tuple[int, int] | None) -> list[Relation]:
        """The relations of the union branch that holds `span`: each branch of a
        union reads its own FROM. All of them when the place is unknown."""
        relations = self._relations.get(query)
        if relations is None:
            relations = self._relations[query] = query.relations
            selects = query.selects
            starts = [select.span[0] for select in selects if select.span is not None]
            self._starts[query] = starts if len(selects) > 1 and len(starts) == len(selects) else None
        branch = self.branch_of(query, span)
        if branch is None:
            return relations
        known = self._starts[query]
        assert known is not None
        found = self._branch_relations.get((query, branch))
        if found is None:
            start, end = known[branch], known[branch + 1] if branch + 1 < len(known) else None
            found = self._branch_relations[(query, branch)] = [
                r for r in relations if r.span is not None and start <= r.span[0] and (end is None or r.span[0] < end)
            ]
        return found

    def branch_of(self, query: Query, span: tuple[int, int] | None) -> int | None:
        """Which SELECT of a union holds `span`; None for a query of one SELECT or an unknown place."""
        if query not in self._starts:
            self.branch_relations(query, None)
        starts = self._starts[query]
        if span is None or starts is None:
            return None
        return bisect.bisect_right(starts, span[0]) - 1 if span[0] >= starts[0] else 0

    def body(self, file: ModelFile, relation: Relation) -> Query | None:
        """The query a CTE or subquery relation reads, its own or an enclosing query's CTE."""
        if relation in self._bodies:
            return self._bodies[relation]
        found = self._bodies[relation] = relation.query
        return found

    def resolve_ref(
        self, file: ModelFile, query: Query, ref: ColumnRef, via: tuple[str, ...], seen: Seen
    ) -> list[Origin]:
        """Where a column reference written in `query` comes from."""
        found = self.resolve_name(file, query, ref.span, ref.qualifier, ref.name, via, seen)
        if found is None and ref.qualifier is not None:
            # `record.field` with no relation named `record`: a field of a column.
            found = self.resolve_name(file, query, ref.span, None, ref.qualifier.partition(".")[0], via, seen)
        if found is None:
            reason = f"no relation named {ref.qualifier!r}" if ref.qualifier else "the query reads no relation"
            return [Origin("unresolved", None, ref.name, via, reason=reason)]
        return found

    def resolve_name(
        self,
        file: ModelFile,
        query: Query,
        span: tuple[int, int] | None,
        qualifier: str | None,
        name: str,
        via: tuple[str, ...],
        seen: Seen,
    ) -> list[Origin] | None:
        """Where `qualifier.name` written at `span` in `query` comes from, from
        the query outward; None when no query around it has the relation."""
        scope: Query | None = query
        while scope is not None:
            relations = self.branch_relations(scope, span if scope == query else None)
            if qualifier is not None:
                found = [r for r in relations if named_by(r, qualifier)]
                if found:
                    return self.from_relation(file, found[0], name, via, seen)
                # `t.record.field`: a field of column `record` of relation `t`.
                first, dot, rest = qualifier.partition(".")
                found = [r for r in relations if dot and named_by(r, first)]
                if found:
                    return self.from_relation(file, found[0], rest.partition(".")[0], via, seen)
            elif relations:
                chosen = self.choose(file, relations, name)
                if isinstance(chosen, Origin):
                    return [replace(chosen, via=via)]
                return self.from_relation(file, chosen, name, via, seen)
            scope = self.parent(file, scope)
        return None

    def choose(self, file: ModelFile, relations: list[Relation], name: str) -> Relation | Origin:
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

    def from_relation(
        self, file: ModelFile, relation: Relation, name: str, via: tuple[str, ...], seen: Seen
    ) -> list[Origin]:
        kind = relation.kind
        body = self.body(file, relation)
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

    def trace(self, file: ModelFile, query: Query, name: str, via: tuple[str, ...], seen: Seen) -> list[Origin]:
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

    def trace_anew(self, file: ModelFile, query: Query, name: str, seen: Seen) -> list[Origin]:
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

    def branches(self, file: ModelFile, query: Query) -> list[list[Entry]]:
        """The output columns of each SELECT of a union, in order."""
        found = self._branches.get(query)
        if found is None:
            found = [self.query_outputs(file, query, set())]
            for select in query.selects[1:]:
                entries: list[Entry] = []
                for column in select.columns:
                    entries += self.item_outputs(file, query, column, set())
                found.append(entries)
            self._branches[query] = found
        return found

    def trace_entry(
        self, file: ModelFile, query: Query, entry: Entry, name: str, via: tuple[str, ...], seen: Seen
    ) -> list[Origin]:
        if entry.through is not None:
            return self.from_relation(file, entry.through, entry.name or name, via, seen)
        origins = []
        for ref in entry.item.references:
            if ref.name != "*":
                origins += self.resolve_ref(file, query, ref, via, seen)
        # A subquery in the item gives its value: what its first column reads,
        # outer columns included.
        for inner in self.inner_queries(file, query, entry.item.span):
            first = self.query_outputs(file, inner, set())[:1]
            for found in first:
                origins += self.trace_entry(file, inner, found, found.name or name, via, seen)
        return origins

    def inner_queries(self, file: ModelFile, query: Query, span: tuple[int, int] | None) -> list[Query]:
        """The queries written directly inside `query` within `span`."""
        if span is None or file.doc is None:
            return []
        children = self._children.get(query)
        if children is None:
            children = self._children[query] = [q for q in file.doc.queries() if self.parent(file, q) == query]
        return [q for q in children if (q.span or (-1, -1))[0] >= span[0] and (q.span or (-1, -1))[1] <= span[1]]

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

    def origins_of(self, key: str, column: str) -> list[Origin]:
        file = self.file(key)
        if file.doc is None or file.doc.query is None:
            reason = file.error or "the file holds no query"
            return [Origin("unresolved", None, column, (), reason=reason)]
        origins = self._origins.get((key, column.lower()))
        if origins is None:
            origins = unique(self.trace(file, file.doc.query, column, (), frozenset()))
            self._origins[(key, column.lower())] = origins
        return origins

    def column_step(self, key: str, column: str, via: tuple[str, ...] = ()) -> LineageStep:
        """A model's column as a step without its next steps."""
        file = self.file(key)
        entries = self.outputs(key) or []
        index = self.position(entries, column)
        entry = None if index is None else entries[index]
        path = file.model.path
        if entry is None:
            if any(e.name is None and e.through is not None for e in entries):
                return LineageStep("star", column, model=key, via=via, path=path)
            if any(e.name is None and e.item.kind == "templated" for e in entries):
                # Jinja that makes columns (a variable, a macro call) may make this one.
                reason = "not named in the file; Jinja there may make it"
                return LineageStep("templated", column, model=key, via=via, path=path, reason=reason)
            reason = file.error or f"no column {column!r} in {key}"
            return LineageStep("unresolved", column, model=key, via=via, path=path, reason=reason)
        span = entry.item.span
        line, char = (None, None) if span is None else file.position(span[0])
        kind = "star" if entry.through is not None else entry.item.kind
        return LineageStep(kind, entry.name, model=key, via=via, path=path, line=line, char=char)

    def leaf(self, origin: Origin) -> LineageStep:
        kind = "star" if origin.star and origin.kind in ("source", "table", "function", "values") else origin.kind
        if origin.kind == "source":
            return LineageStep(kind, origin.column, source=origin.name, via=origin.via)
        if origin.kind in ("table", "function", "values"):
            return LineageStep(kind, origin.column, table=origin.name, via=origin.via)
        if origin.kind in ("seed", "snapshot", "missing"):
            return LineageStep(kind, origin.column, model=origin.name, via=origin.via)
        return LineageStep(kind, origin.column, via=origin.via, reason=origin.reason)

    def lineage(self, name: str, column: str, depth: int | None) -> LineageStep:
        check_depth(depth)
        key = self.model_key(name)
        return self.upstream(key, column, depth)

    def upstream(self, key: str, column: str, depth: int | None) -> LineageStep:
        """The column's step with what it reads, followed with a stack of its
        own, not Python's: a chain of any length of models is followed."""
        self.read_upstream(key)

        def expand(node: tuple[str, str, tuple[str, ...], int | None, Seen, bool]) -> tuple[LineageStep, list[Any]]:
            key, column, via, depth, path, star = node
            step = self.column_step(key, column, via)
            if step.kind == "unresolved":
                if star:  # reached through a `*` whose upstream columns are unknown
                    step = LineageStep("star", step.column, model=step.model, via=step.via, path=step.path)
                return step, []
            if depth == 0 or (key, column.lower()) in path:
                return step, []
            path = path | {(key, column.lower())}
            below = None if depth is None else depth - 1
            children: list[Any] = []
            for origin in self.origins_of(key, column):
                if origin.kind == "model":
                    children.append((origin.name, origin.column or "", origin.via, below, path, origin.star))
                else:
                    children.append(self.leaf(origin))
            return step, children

        return build_tree((key, column, (), depth, frozenset(), False), expand)

    def read_upstream(self, key: str) -> None:
        """Reads the output columns of the models upstream of `key` before its
        own, farthest first, so that a chain of `select *` of any length is
        read without deep recursion."""
        if key in self._outputs:
            return  # read already, and with it what it reads
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

        for key in self.project.models:
            for column in self.columns(key):
                for origin in self.origins_of(key, column):
                    if origin.kind == "model" and origin.column is not None:
                        add(origin, self.column_step(key, column, origin.via))
            file = self.file(key)
            if file.doc is None:
                continue
            for query in file.doc.queries():
                for ref in query.filters:
                    step: LineageStep | None = None
                    for origin in unique(self.resolve_ref(file, query, ref, (), frozenset())):
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


def with_steps(step: LineageStep, steps: tuple[LineageStep, ...]) -> LineageStep:
    """The step with these next steps (dataclasses.replace, without its cost)."""
    return LineageStep(
        step.kind, step.column, step.model, step.source, step.table, step.via,
        step.path, step.line, step.char, step.reason, step.clause, steps,
    )


def build_tree(root: Any, expand: Callable[[Any], tuple[LineageStep, list[Any]]]) -> LineageStep:
    """The tree whose root is `expand(root)`'s step: each child that is not a
    step yet is expanded in turn. Depth first with a list as the stack, so
    that any depth is built; each step is made once its children are."""
    step, children = expand(root)
    stack: list[tuple[LineageStep, list[Any], list[LineageStep]]] = [(step, children, [])]
    while True:
        step, children, done = stack[-1]
        if len(done) < len(children):
            child = children[len(done)]
            if isinstance(child, LineageStep):
                done.append(child)
            else:
                stack.append((*expand(child), []))
            continue
        stack.pop()
        made = with_steps(step, tuple(done)) if done else step
        if not stack:
            return made
        stack[-1][2].append(made)


# Below this many queries in a file, nesting cannot reach Python's recursion limit.
WARM_QUERIES = 64


def check_depth(depth: int | None) -> None:
    if depth is not None and depth < 0:
        raise ValueError(f"depth must be None or at least 0, not {depth}")


def named_by(relation: Relation, qualifier: str) -> bool:
    """Whether a qualifier names the relation: its alias, else its name or the name's last part."""
    wanted = qualifier.lower()
    if relation.alias is not None:
        return relation.alias.lower() == wanted
    name = relation.name
    if isinstance(name, tuple):
        return wanted in (name[1].lower(), ".".join(name).lower())
    name = str(name).lower()
    return wanted in (name, name.rsplit(".", 1)[-1])


def relation_label(relation: Relation) -> str:
    name = ".".join(relation.name) if isinstance(relation.name, tuple) else str(relation.name) or "subquery"
    return name if relation.alias in (None, name) else f"{relation.alias} ({name})"




def unique(origins: list[Origin]) -> list[Origin]:
    return list(dict.fromkeys(origins))
