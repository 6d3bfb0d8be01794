"""Positions, nodes and tokens, calls, and renaming refs and sources."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from trelm_cst import Call, Node, Token, parse_literal, parse_trelm, render_literal

MODEL = (
    "{{ config(style='table') }}\r\n"
    "-- naïve: {{ ref('in_comment') }}\r\n"
    "with src as (select * from {{ ref(\"pkg\", 'x', v=2) }})\r\n"
    "select ünï, b as c, {{ adapter.dispatch('f')(x) }} from src\r\n"
    "where d = '{{ source(\"s\", \"t\") }}'\r\n"
)


def every_object(doc):
    """Each handle with a span, with the text its span must cover."""
    yield doc.root, str(doc.root)
    stack = [doc.root]
    while stack:
        for child in stack.pop().children:
            yield child, str(child)
            if isinstance(child, Node):
                stack.append(child)
    for token in doc.tokens():
        yield token, token.text
    for q in doc.queries():
        yield q, str(q)
        yield q.node, str(q)
        for obj in [*q.clauses, *q.ctes, *q.selects]:
            yield obj, str(obj)
        for s in q.selects:
            for col in s:
                yield col, col.text
    if doc.config is not None:
        yield doc.config, str(doc.config)
    for call in doc.calls():
        yield call, str(call)


def check_spans(doc):
    text = str(doc)
    checked = 0
    for obj, expected in every_object(doc):
        assert obj.span is not None, obj
        start, end = obj.span
        assert text[start:end] == expected, obj
        checked += 1
    return checked


def slow_location(text, index):
    before = text[:index]
    return before.count("\n") + 1, index - (before.rfind("\n") + 1) + 1


# A carriage return alone ends no line.
@pytest.mark.parametrize("text", [MODEL, "", "select 1", "select '€'\n\n", "ab\r\n\né\rx\n", "\n"])
def test_spans_are_character_indices_and_location_counts_lines(text):
    doc = parse_trelm(text)
    check_spans(doc)
    for i in range(len(text) + 1):
        assert doc.location(i) == slow_location(text, i)


@pytest.mark.parametrize("index", [-1, len(MODEL) + 1, 2**70, -(2**70)])
def test_location_outside_the_text_is_an_index_error(index):
    with pytest.raises(IndexError):
        parse_trelm(MODEL).location(index)


def retexted_twice(doc):
    """Tokens read, their item given a new text, then a new item: the
    allocator hands the freed texts' addresses to the new tokens."""
    col = doc.query.select.columns[0]
    col.text = "a.b as c"
    tokens = doc.tokens()
    col.text = "k"
    doc.query.select.add("x")
    return tokens, [t for t in tokens if t.text == "."]


def config_rewritten(doc):
    doc.config["style"] = "view"
    calls = doc.calls()
    for value in ["aaaa", "bbbb", "cccc", "dddd"]:
        doc.config["style"] = value
    return calls, calls


@pytest.mark.parametrize(
    "text, edit",
    [("select id, name from t", retexted_twice), ("{{ config(style='table') }} select 1", config_rewritten)],
)
def test_what_left_the_document_has_no_span_whatever_took_its_place(text, edit):
    doc = parse_trelm(text)
    kept, gone = edit(doc)
    text = str(doc)
    for obj in kept:
        assert obj.span is None or text[slice(*obj.span)] == str(obj), obj
    assert gone and all(obj.span is None for obj in gone)
    assert all(call.tag_span is None for call in gone if isinstance(call, Call))
    check_spans(doc)


def test_spans_follow_edits_elsewhere():
    doc = parse_trelm(MODEL)
    select = doc.query.select
    removed = select.columns[1]
    kept_token = doc.tokens()[-2]  # the last string, after every edit below
    calls_before = doc.calls()
    select.add("zz_added", 0)
    removed.detach()
    doc.config["tags"] = ["a"]
    assert removed.span is None and removed.node.span is None
    assert str(doc)[slice(*kept_token.span)] == kept_token.text
    for call in calls_before[1:]:
        assert str(doc)[slice(*call.span)] == str(call)
        assert str(doc)[slice(*call.tag_span)].startswith("{{")


ITEMS = ["x", "a.b as c", "k", "t.amount * 2 as dollars", "{{ col }} as c", "'é' as s", "f(y) -- note"]


def edit_at_random(doc, data):
    select = doc.query.select
    columns = select.columns
    op = data.draw(st.integers(0, 5))
    if op == 0:
        select.add(data.draw(st.sampled_from(ITEMS)), data.draw(st.integers(0, len(columns))))
    elif op == 1:
        data.draw(st.sampled_from(columns)).text = data.draw(st.sampled_from(ITEMS))
    elif op == 2 and len(columns) > 1:
        assert data.draw(st.sampled_from(columns)).detach() is True
    elif op == 3:
        doc.config[data.draw(st.sampled_from(["style", "tags"]))] = data.draw(st.sampled_from(["v", ["a"], 1]))
    elif op == 4 and len(doc.config) > 0:
        del doc.config[data.draw(st.sampled_from(doc.config.keys()))]
    else:
        doc.rename_ref(*data.draw(st.sampled_from([("in_comment", "b"), ("b", "in_comment"), ("x", "yy")])))


# Edits of every kind, with the tokens, calls and handles read before each
# kept: after every edit each of them is where its text is, or nowhere; a
# node that is still in the tree is always somewhere.
@settings(max_examples=25, deadline=None, derandomize=True)
@given(st.data())
def test_kept_handles_never_point_at_other_text(data):
    doc = parse_trelm(MODEL)
    kept = []
    for _ in range(6):
        kept.extend(every_object(doc))
        edit_at_random(doc, data)
        text = str(doc)
        present = {obj for obj, _ in every_object(doc) if isinstance(obj, Node)}
        for obj, was in kept:
            span = obj.span
            if isinstance(obj, Node) and obj in present:
                assert span is not None, obj
            if span is not None:
                assert text[slice(*span)] == (was if isinstance(obj, Token) else str(obj)), obj


REACH = {
    "query": lambda d: d.query,
    "cte": lambda d: d.query.ctes[0],
    "clause": lambda d: d.query.clauses[2],
    "select": lambda d: d.query.select,
    "column": lambda d: d.query.select.columns[1],
    "config": lambda d: d.configs[0],
    "node": lambda d: d.query.select.node,
}


# Each kind of handle is equal to one of its kind that reaches the same node
# (or config call), hashes alike, and is unequal to every other.
@pytest.mark.parametrize("reach", REACH.values(), ids=REACH.keys())
def test_handles_are_equal_when_they_reach_the_same_node(reach):
    doc = parse_trelm(MODEL)
    a, b = reach(doc), reach(doc)
    assert a is not b and a == b and not a != b and hash(a) == hash(b) and len({a, b}) == 1
    assert a != reach(parse_trelm(MODEL))
    assert all(a != other(doc) for other in REACH.values() if other is not reach)


@pytest.mark.parametrize(
    "text, reach, expected",
    [
        # The plural forms are read in the tests of queries and SELECT lists.
        ("select 1", lambda d: d.query, "<Query with 1 clause>"),
        ("select 1", lambda d: d.query.select, "<Select with 1 column>"),
    ],
)
def test_repr_says_what_it_is(text, reach, expected):
    assert repr(reach(parse_trelm(text))) == expected


def test_nodes_are_live_handles():
    doc = parse_trelm(MODEL)
    q = doc.query
    assert isinstance(q.node, Node)
    assert [n.kind for n in q.node.children if isinstance(n, Node)] == ["clause"] * 4
    assert q.clauses[0].node.kind == "clause" and q.ctes[0].node.kind == "cte"
    assert q.select.columns[0].node.kind == "select_item"
    kinds = set()
    stack = [doc.root]
    while stack:
        node = stack.pop()
        kinds.add(node.kind)
        stack.extend(c for c in node.children if isinstance(c, Node))
    assert kinds == {"root", "paren", "query", "clause", "select_item", "cte"}
    assert {t.kind for t in parse_trelm("{% if a %}[b]{% endif %}").tokens()} >= {"jinja_statement", "lbracket"}
    assert {n.kind for n in parse_trelm("{% if a %}[b]{% endif %}").root.children} == {"jinja_block"}
    assert str(q.clauses[2]) == "from src" and repr(q.clauses[2].node) == "<Node clause FROM>"
    assert str(q).startswith("with src as") and str(q.select).startswith("select ünï")


def test_tokens_cover_the_text_with_their_kinds():
    doc = parse_trelm(MODEL)
    tokens = doc.tokens()
    assert "".join(t.text for t in tokens) == MODEL
    assert all(isinstance(t, Token) for t in tokens)
    assert [(t.kind, t.text) for t in tokens[:4]] == [
        ("jinja_expression", "{{ config(style='table') }}"),
        ("whitespace", "\r\n"),
        ("line_comment", "-- naïve: {{ ref('in_comment') }}\r"),
        ("whitespace", "\n"),
    ]
    assert repr(tokens[4]) == "<Token word 'with'>"
    kinds = {t.kind for t in parse_trelm("select 'a', \"b\", 1; /* c */ {# d #} {% raw %}x{% endraw %} $").tokens()}
    assert kinds == {
        "word", "whitespace", "string", "comma", "quoted_identifier", "number", "semicolon", "block_comment",
        "jinja_comment", "jinja_raw", "other",
    }


def test_calls_read_every_tag_with_their_arguments():
    doc = parse_trelm(MODEL)
    calls = doc.calls()
    assert all(isinstance(c, Call) for c in calls)
    assert [c.name for c in calls] == ["config", "ref", "ref", "adapter.dispatch", "source"]
    ref = calls[2]
    assert (str(ref), ref.args, ref.kwargs) == ("ref(\"pkg\", 'x', v=2)", ('"pkg"', "'x'"), {"v": "2"})
    assert [parse_literal(a) for a in ref.args] == ["pkg", "x"]
    assert [str(c) for c in doc.calls("ref")] == ["ref('in_comment')", "ref(\"pkg\", 'x', v=2)"]
    assert [c.args for c in doc.calls(name="adapter.dispatch")] == [("'f'",)]
    assert doc.calls("dispatch") == [] and doc.calls(None) != []
    assert MODEL[slice(*calls[4].tag_span)] == '{{ source("s", "t") }}'


@pytest.mark.parametrize("value", ["view", "it's \"x\"", 3, -2.5, True, None, ["a", [1]], {"k": [None]}])
def test_parse_literal_inverts_render_literal(value):
    for quote in "'\"":
        assert parse_literal(render_literal(value, quote)) == value


@pytest.mark.parametrize(
    "before, old, new, count, after",
    [
        ("{{ ref('a') }} {{ ref(\"a\") }}", "a", "b", 2, "{{ ref('b') }} {{ ref(\"b\") }}"),
        ("{{ ref('pkg', 'a') }}", "a", "b", 1, "{{ ref('pkg', 'b') }}"),
        ("{{ ref('a', 'pkg') }}", "a", "b", 0, "{{ ref('a', 'pkg') }}"),
        ("{{ ref( 'a' , v=2) }}", "a", "b", 1, "{{ ref( 'b' , v=2) }}"),
        ("{{ ref('a', version=3) }}", "a", "b", 1, "{{ ref('b', version=3) }}"),
        ("{{ ref(a) }}{{ ref('x', 'y', 'a') }}", "a", "b", 0, "{{ ref(a) }}{{ ref('x', 'y', 'a') }}"),
        ("-- {{ ref('a') }}\r\nselect '{{ ref(\"a\") }}'\r\n", "a", "b", 2,
         "-- {{ ref('b') }}\r\nselect '{{ ref(\"b\") }}'\r\n"),
        ("/* {{ ref('a') }} */ {% set x = ref('a') %}", "a", "b", 2, "/* {{ ref('b') }} */ {% set x = ref('b') %}"),
        ("{{ ref('a') }}", "a", "it's", 1, "{{ ref('it\\'s') }}"),
        ("{{ ref('a') }}", "a", "a", 0, "{{ ref('a') }}"),
        ("{{ x.ref('a') }}", "a", "b", 0, "{{ x.ref('a') }}"),
        # Tags inside comments and strings are opaque to them.
        ("/* {{ ref('a') }} */ '{{ ref(\"a\") }}'", "a", "*/'\n", 2,
         "/* {{ ref('*/\\'\\n') }} */ '{{ ref(\"*/'\\n\") }}'"),
    ],
)
def test_rename_ref(before, old, new, count, after):
    doc = parse_trelm(before)
    assert doc.rename_ref(old, new) == count
    assert str(doc) == after
    assert str(parse_trelm(str(doc))) == after


def test_rename_source_rewrites_only_what_changes():
    doc = parse_trelm("{{ source('s', \"t\") }} {{ source('s', 'u') }} {{ source('s') }}")
    assert doc.rename_source(("s", "t"), ("s", "t2")) == 1
    assert str(doc) == "{{ source('s', \"t2\") }} {{ source('s', 'u') }} {{ source('s') }}"
    assert doc.rename_source(("s", "u"), ("r", "u")) == 1
    assert doc.sources == [("s", "t2"), ("r", "u")]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda d: d.rename_ref("a", 1), TypeError),
        (lambda d: d.rename_source("s.t", ("a", "b")), TypeError),
        (lambda d: d.rename_source(("s",), ("a", "b")), TypeError),
        (lambda d: d.rename_source(("s", 1), ("a", "b")), TypeError),
    ],
)
def test_rename_argument_types(call, error):
    with pytest.raises(error):
        call(parse_trelm("{{ ref('a') }}"))
