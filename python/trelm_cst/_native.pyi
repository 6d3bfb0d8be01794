# Types of the native module. Every class is final and has no Python
# constructor: instances come from parse_trelm, Document.parse and the members
# of other instances. Handles (Query, Select, Column, Node) compare by the node
# they hold; Query and Node are hashable. Token and Call are snapshots.

from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, Literal, TypeAlias, TypeVar, final, overload

# What a Jinja literal reads as.
_LiteralValue: TypeAlias = (
    str | int | float | bool | None | list[_LiteralValue] | dict[_LiteralValue, _LiteralValue]
)
# What can be written as one: tuples are written as lists.
_WritableValue: TypeAlias = (
    str
    | int
    | float
    | bool
    | None
    | list[_WritableValue]
    | tuple[_WritableValue, ...]
    | dict[_WritableValue, _WritableValue]
)
_T = TypeVar("_T")
_M = TypeVar("_M")
# (start, end) indices into str(document), counted in characters.
_Span: TypeAlias = tuple[int, int]
_ColumnKind: TypeAlias = Literal["direct", "renamed", "expression", "aggregate", "constant", "star", "templated"]
_RelationKind: TypeAlias = Literal["ref", "source", "cte", "subquery", "table", "templated", "function", "values"]

@final
class Document:
    """A parsed trelm file. str() returns the source, including any edits."""

    @staticmethod
    def parse(source: str) -> Document:
        """Parses trelm source into a Document. Raises TrelmSyntaxError."""

    def to_string(self) -> str:
        """The document as trelm source. Until the first edit it is the str the document was
        parsed from, the same object."""

    def queries(self) -> list[Query]:
        """Every query in the file, including CTE bodies and subqueries, outermost first."""

    def diagnostics(self, extension_tags: Iterable[str] = ()) -> list[Diagnostic]:
        """Every problem the template engine would refuse, and unpaired SQL brackets, in document order.
        A statement tag that neither the engine nor `extension_tags` knows is an `unknown-tag` warning."""

    def template_comments(self) -> list[_Span]:
        """The (start, end) indices into str(document) of every template comment, found as the
        engine finds them: inside SQL strings and comments too."""

    @property
    def query(self) -> Query | None:
        """The first query at the top level of the file, or None."""

    @property
    def config(self) -> Config | None:
        """The `{{ config(...) }}` call at the top level of the file, or None."""

    @property
    def configs(self) -> list[Config]:
        """Every `{{ config(...) }}` call at the top level of the file, in order; later ones override earlier ones."""

    @property
    def refs(self) -> list[tuple[str, ...]]:
        """The arguments of every ref() call: (model,) or (package, model)."""

    @property
    def sources(self) -> list[tuple[str, str]]:
        """The (source_name, table_name) of every source() call."""

    @property
    def root(self) -> Node:
        """The root node of the syntax tree."""

    def location(self, index: int) -> tuple[int, int]:
        """The (line, column) of an index into str(document), both 1-based, in characters.
        Raises IndexError outside 0..len(str(document))."""

    def tokens(self) -> list[Token]:
        """Every token of the document, in order."""

    def calls(self, name: str | None = None) -> list[Call]:
        """Every call in the document's Jinja tags, in order; only those with this dotted name."""

    def rename_ref(self, old: str, new: str) -> int:
        """Renames the model of every matching ref() call; returns how many calls changed.
        Raises ValueError when every match is refused."""

    def rename_source(self, old: tuple[str, str], new: tuple[str, str]) -> int:
        """Renames every matching two-argument source() call; returns how many calls changed.
        Raises ValueError when every match is refused."""

@final
class Config:
    """The arguments of a `{{ config(...) }}` call, read and written like a dict."""

    def __getitem__(self, key: str, /) -> _LiteralValue:
        """Raises KeyError when absent, ValueError when the value is not a literal."""

    def __setitem__(self, key: str, value: _WritableValue, /) -> None:
        """Raises ValueError for a key that is not a name in a call of keyword arguments (a
        call written as one dict takes any string key) or a call that cannot be edited
        (positional arguments other than one dict), TypeError for a value with no literal
        form."""

    def __delitem__(self, key: str, /) -> None:
        """Removes every entry of the key. Raises KeyError when absent, ValueError for a call
        that cannot be edited."""

    @overload
    def get(self, key: str, default: None = None) -> _LiteralValue: ...
    @overload
    def get(self, key: str, default: _T) -> _LiteralValue | _T: ...
    def raw(self, key: str) -> str | None:
        """The Jinja source of an argument's value, such as `"view"` or `var("schema")`."""

    def set_raw(self, key: str, source: str) -> None:
        """Sets an argument to Jinja source, such as `var("schema")`."""

    def keys(self) -> list[str]:
        """The argument names, in order."""

    @property
    def span(self) -> _Span | None:
        """Where the whole config tag is in str(document)."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[str]: ...
    def __contains__(self, key: str, /) -> bool: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Query:
    """A SQL query: its clauses, CTEs and SELECT clauses."""

    @property
    def clauses(self) -> list[Clause]:
        """Every clause, in order."""

    @property
    def selects(self) -> list[Select]:
        """Every SELECT clause: one, or several joined by UNION and similar."""

    @property
    def select(self) -> Select | None:
        """The first SELECT clause."""

    @property
    def ctes(self) -> list[Cte]:
        """The CTEs of the query's WITH clause."""

    def cte(self, name: str) -> Cte | None:
        """The CTE with this name, compared ignoring case."""

    @property
    def relations(self) -> list[Relation]:
        """The relations the query reads, from FROM and every JOIN, in order."""

    @property
    def filters(self) -> list[ColumnRef]:
        """The column references that decide which rows the query keeps, each with its clause."""

    @property
    def node(self) -> Node:
        """The syntax tree node of the query."""

    @property
    def span(self) -> _Span | None:
        """Where the query is in str(document); None once it is no longer part of it."""

    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Cte:
    """One `name AS (...)` entry of a WITH clause."""

    @property
    def name(self) -> str | None:
        """The CTE's name, unquoted."""

    @property
    def query(self) -> Query | None:
        """The query inside the CTE's parentheses."""

    @property
    def node(self) -> Node:
        """The syntax tree node of the CTE."""

    @property
    def span(self) -> _Span | None:
        """Where the CTE is in str(document); None once it is no longer part of it."""

    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Clause:
    """A clause of a query, such as its FROM or WHERE clause."""

    @property
    def name(self) -> str:
        """The clause keyword in upper case, such as `FROM`, `GROUP BY` or `UNION ALL`."""

    @property
    def node(self) -> Node:
        """The syntax tree node of the clause."""

    @property
    def span(self) -> _Span | None:
        """Where the clause is in str(document); None once it is no longer part of it."""

    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Select:
    """A SELECT clause and its columns."""

    @property
    def columns(self) -> list[Column]:
        """The columns, in order."""

    @property
    def conditional_columns(self) -> list[ConditionalColumn]:
        """The columns that only a Jinja block of the list holds, each with the tag of its branch."""

    @property
    def names(self) -> list[str | None]:
        """Each column's name, or None for an unaliased expression."""

    def find(self, name: str) -> Column | None:
        """The first column with this name, compared ignoring case."""

    def index(self, name: str) -> int | None:
        """The position of the first column with this name, compared ignoring case."""

    def add(self, text: str, index: int | None = None) -> Column:
        """Adds a column written as SQL at index, or at the end. Raises TrelmSyntaxError
        when the text is not exactly one select item or holds Jinja that does not check
        on its own (a block left open, a tag the engine refuses), ValueError when the
        list would then end in `*` right before an EXCEPT, which would take it in."""

    def remove(self, target: Column | str) -> bool:
        """Removes a column, given as a Column or a name. Returns False when there is no
        such column; raises ValueError for the only column, or when the list would then
        end in `*` or `distinct` right before the next clause, which would take it in."""

    @property
    def node(self) -> Node:
        """The syntax tree node of the SELECT clause."""

    @property
    def span(self) -> _Span | None:
        """Where the SELECT clause is in str(document); None once it is no longer part of it."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Column]: ...
    def __contains__(self, key: str, /) -> bool: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Column:
    """One item of a SELECT clause."""

    @property
    def text(self) -> str:
        """The item as written, such as `t.amount AS dollars`. Setting it raises
        TrelmSyntaxError when the text is not exactly one select item or holds Jinja
        that does not check on its own, ValueError when the column was removed or the
        last item would then end in `*` right before an EXCEPT."""

    @text.setter
    def text(self, value: str) -> None: ...
    @property
    def expr(self) -> str:
        """The item without its alias."""

    @property
    def alias(self) -> str | None:
        """The alias as written, including any quotes."""

    @property
    def name(self) -> str | None:
        """The column name the item produces, unquoted; None for an unaliased expression."""

    @property
    def is_templated(self) -> bool:
        """True when the item contains Jinja."""

    @property
    def references(self) -> list[ColumnRef]:
        """Every column reference of the item's expression, in order, as it was when read."""

    @property
    def kind(self) -> _ColumnKind:
        """How the column comes from what it reads."""

    @property
    def excluded(self) -> list[str]:
        """The names a star column leaves out with `* except (...)` or `* exclude (...)`."""

    @property
    def select(self) -> Select:
        """The SELECT clause the column belongs to."""

    def detach(self) -> bool:
        """Removes the column from its SELECT clause. Returns False when it was already
        removed; raises ValueError for the only column, or when the list would then end
        in `*` or `distinct` right before the next clause, which would take it in."""

    @property
    def node(self) -> Node:
        """The syntax tree node of the column."""

    @property
    def span(self) -> _Span | None:
        """Where the column is in str(document); None once it is no longer part of it."""

    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

class TrelmSyntaxError(ValueError):
    """Raised when trelm source cannot be parsed. Has line, column and offset attributes."""

    line: int  # 1-based
    column: int  # 1-based, counted in UTF-8 bytes
    offset: int  # 0-based byte offset

def parse_trelm(source: str) -> Document:
    """Parses a trelm file into a Document. Raises TrelmSyntaxError."""

def render_literal(value: _WritableValue, quote: str = '"') -> str:
    """Renders a Python value as Jinja literal source, the way Config.__setitem__ writes it."""

_NodeKind: TypeAlias = Literal[
    "root", "paren", "bracket", "jinja_block", "jinja_branch", "query", "clause", "select_item", "cte"
]
_TokenKind: TypeAlias = Literal[
    "whitespace", "line_comment", "block_comment", "jinja_comment", "jinja_expression", "jinja_statement",
    "jinja_raw", "string", "quoted_identifier", "word", "number", "lparen", "rparen", "lbracket", "rbracket",
    "comma", "semicolon", "other",
]

@final
class Node:
    """A node of the syntax tree. str() gives its text."""

    @property
    def kind(self) -> _NodeKind:
        """What the node is."""

    @property
    def children(self) -> list[Node | Token]:
        """The node's children, in order: a fresh list."""

    @property
    def span(self) -> _Span | None:
        """Where the node is in str(document); None once it is no longer part of it."""

    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Token:
    """A token of the syntax tree, as it was when read. str() gives its text."""

    @property
    def kind(self) -> _TokenKind:
        """The token's kind in snake case."""

    @property
    def text(self) -> str:
        """The token's text as written."""

    @property
    def span(self) -> _Span | None:
        """Where the token is in str(document); None once it is no longer part of it."""

@final
class Call:
    """A call in a Jinja tag, as it was when read. str() gives its text."""

    @property
    def name(self) -> str:
        """The called name, dotted: `ref`, `adapter.dispatch`."""

    @property
    def args(self) -> tuple[str, ...]:
        """The source text of each positional argument, trimmed."""

    @property
    def kwargs(self) -> dict[str, str]:
        """The source text of each keyword argument by name, in order."""

    @property
    def span(self) -> _Span | None:
        """Where the call's text is in str(document); None once its tag is gone."""

    @property
    def tag_span(self) -> _Span | None:
        """Where the whole tag holding the call is in str(document)."""

def parse_literal(text: str) -> _LiteralValue:
    """The Python value of a Jinja literal: the inverse of render_literal. Raises ValueError."""

_RefFacts: TypeAlias = tuple[str | None, str, _Span | None]

def select_lineage(
    select: Select, /
) -> list[tuple[str | None, _ColumnKind, _Span | None, tuple[_RefFacts, ...], tuple[str, ...]]]:
    """Every column of a SELECT clause as plain values, read at once: a tuple
    (name, kind, span, references, excluded) per column, as Column.name, .kind, .span
    and .excluded, each reference a tuple (qualifier, name, span) as ColumnRef's."""

@final
class Diagnostic:
    """A problem in a document that the template engine would refuse, or a warning."""

    @property
    def code(self) -> str:
        """`jinja-syntax`, `unclosed-block`, `unmatched-end-tag`, `misplaced-branch`, `unknown-tag` or
        `unbalanced-bracket`."""

    @property
    def message(self) -> str:
        """What is wrong, and what was expected where."""

    @property
    def severity(self) -> str:
        """`error` or `warning`."""

    @property
    def span(self) -> tuple[int, int]:
        """(start, end): indices into str(document)."""

    @property
    def line(self) -> int:
        """1-based line of the start."""

    @property
    def column(self) -> int:
        """1-based column of the start, in characters."""

@final
class ColumnRef:
    """A column reference, as it was when read. str() gives it dotted."""

    @property
    def qualifier(self) -> str | None:
        """What the name is qualified with, unquoted, its parts joined by `.`; None for a bare name."""

    @property
    def name(self) -> str:
        """The column's name, unquoted; `*` for `t.*` and `*`."""

    @property
    def clause(self) -> str | None:
        """For a reference of Query.filters, the clause that holds it; None elsewhere, but for
        references inside a window."""

    @property
    def span(self) -> _Span | None:
        """Where the reference is in str(document); None once it is no longer part of it."""

    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Relation:
    """A relation a query reads in FROM or a JOIN, as it was when read."""

    @property
    def kind(self) -> _RelationKind:
        """What is read: ref, source, cte, subquery, table, templated, function or values."""

    @property
    def name(self) -> str | tuple[str, str]:
        """The model of a ref, (source, table) of a source, the CTE's, table's or function's name,
        or the tag of a templated relation."""

    @property
    def alias(self) -> str | None:
        """The alias, unquoted, or None."""

    @property
    def query(self) -> Query | None:
        """The query a CTE (of this query or one around it) or subquery relation reads; None for the others."""

    @property
    def span(self) -> _Span | None:
        """Where the relation is in str(document); None once it is no longer part of it."""

    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class ConditionalColumn:
    """A column that only a Jinja block of a SELECT list holds, as it was when read."""

    @property
    def text(self) -> str:
        """The column as written."""

    @property
    def name(self) -> str | None:
        """The column name it produces, unquoted; None for an unaliased expression."""

    @property
    def condition(self) -> str:
        """The tag that opens the branch holding it, such as `{% if with_tax %}` or `{% else %}`."""

    @property
    def kind(self) -> _ColumnKind:
        """As Column.kind."""

    @property
    def references(self) -> list[ColumnRef]:
        """As Column.references."""

    @property
    def excluded(self) -> list[str]:
        """As Column.excluded."""

    @property
    def span(self) -> _Span | None:
        """Where the column is in str(document); None once it is no longer part of it."""

    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

# What a project reads of each model file, for trelm_cst._project: per path,
# its record (an instance of `model_type` with its refs and sources as
# instances of `ref_type`, made without running their __init__), or None for a
# file to read the slow way; and the text of each file that may hold snapshot
# blocks, by its index.
def _scan_model_files(
    paths: Sequence[str], jobs: int, model_type: type[_M], ref_type: type[object]
) -> tuple[list[_M | None], dict[int, str]]: ...
def _scan_document(doc: Document, text: str, path: str, model_type: type[_M], ref_type: type[object], /) -> _M: ...

# What _scan_document makes a record of, as plain values that pickle cheaply:
# (refs, sources, config, line, column), each ref (line, column, text, model,
# package, version) and each source (line, column, text, (source, table) or
# None). _records_of makes records of (path, those values, snapshot blocks or
# None) entries, taking their config dicts and block lists; any other entry
# comes back as it is.
def _scan_record(doc: Document, text: str, /) -> tuple[Any, ...]: ...
def _records_of(entries: list[Any], model_type: type[_M], ref_type: type[object], /) -> list[_M]: ...

# Column lineage of model files as far as each file says, for
# trelm_cst._lineage: per path, (has a query, entries, kept columns and kept
# filters (see _lineage_kept), every ref resolved,
# one model deep), the last keyed by the lower-cased name of the first
# column of each name, values made as `shapes` says (its `origin` and `entry` tuple
# subclasses, `items` by column kind, `from_star`, the `step` class and its
# `step_fields`), a ref's origin resolved from `targets` (a dict per path of
# ref name to an origin saying what it reads) or left of kind "ref"; the
# reason as a str when the file alone cannot say (given `columns`, a dict
# per path of ref name to column names or None, it can say more); None for
# a file to follow the slow way.
def _lineage_files(
    paths: Sequence[str],
    jobs: int,
    shapes: object,
    keys: Sequence[str],
    columns: Sequence[dict[str, list[str] | None] | None] | None = None,
    targets: Sequence[Mapping[str, tuple[Any, ...]] | None] | None = None,
) -> list[tuple[Any, ...] | str | None]: ...

# A copy of a step (an instance of a frozen class whose fields are `fields`,
# in order) with field `name` set to `value`, made as _lineage_files makes
# its steps.
def _step_with(step: object, fields: tuple[str, ...], name: str, value: object) -> Any: ...

# The values of what _lineage_files kept of each file, given as (kept
# columns (its item 2) or None, kept filters (its item 3) or None,
# targets): (rest, filters), None where not asked; rest (origins, steps,
# next steps, trees), each a dict by column name in lower case; filters
# each (text, clause, line, column, origins), a ref's model from the
# targets. The files share their origins.
def _lineage_kept(
    files: Sequence[tuple[object, object, Mapping[str, tuple[Any, ...]] | None]], shapes: object
) -> list[tuple[Any, Any]]: ...
