import gc
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from trelm_cst import TrelmSyntaxError, parse_trelm


def parsed(text):
    doc = parse_trelm(text)
    return doc, doc.query.select


@pytest.mark.parametrize(
    "text, args, expected",
    [
        ("select a, b from t", ("x",), "select a, b, x from t"),
        ("select a, b from t", ("x", 0), "select x, a, b from t"),
        ("select\n    a\n    , b\nfrom t", ("c",), "select\n    a\n    , b\n    , c\nfrom t"),
        ("select\r\n\ta,\r\n\tb\r\nfrom t", ("c",), "select\r\n\ta,\r\n\tb,\r\n\tc\r\nfrom t"),
    ],
)
def test_add_lays_out_like_neighbours(text, args, expected):
    doc, s = parsed(text)
    col = s.add(*args)
    assert str(doc) == expected
    assert col.select == s
    assert col.text == args[0]
    assert col in s.columns
    assert s.columns[min(args[1] if len(args) > 1 else 99, len(s) - 1)] == col


@pytest.mark.parametrize(
    "item, message, line, column, offset",
    [
        ("a, b", "a select item cannot contain a top level `,` or `;` at line 1, column 2", 1, 2, 1),
        ("", "a select item cannot be empty at line 1, column 1", 1, 1, 0),
        ("x from y", "a select item cannot contain a clause keyword at line 1, column 3", 1, 3, 2),
        ("  {{ col", "unterminated `{{` tag at line 1, column 1", 1, 1, 0),
    ],
)
def test_add_and_set_text_refuse_bad_items(item, message, line, column, offset):
    text = "select a, b from t"
    doc, s = parsed(text)
    with pytest.raises(TrelmSyntaxError) as info:
        s.add(item)
    assert (str(info.value), info.value.line, info.value.column, info.value.offset) == (message, line, column, offset)
    col = s.columns[0]
    with pytest.raises(TrelmSyntaxError):
        col.text = item
    assert str(doc) == text
    assert col.text == "a"


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda s: s.add(None), TypeError, "text"),
        (lambda s: setattr(s.columns[0], "text", 1), TypeError, "text"),
        (lambda s: delattr(s.columns[0], "text"), (AttributeError, TypeError), None),
        (lambda s: s.add("x", "0"), TypeError, "index"),
        (lambda s: s.add("x", -1), OverflowError, None),
        (lambda s: s.remove(1), TypeError, None),
        (lambda s: s.remove(None), TypeError, None),
    ],
)
def test_bad_arguments_change_nothing(call, error, match):
    doc, s = parsed("select a from t")
    with pytest.raises(error, match=match):
        call(s)
    assert str(doc) == "select a from t"


def test_add_with_keywords_and_index_none_appends():
    doc, s = parsed("select a from t")
    s.add(text="b", index=None)
    assert str(doc) == "select a, b from t"


def test_remove_by_name_or_column():
    doc, s = parsed("select\n    a,\n    b,\n    c\nfrom t union select d from u")
    b = s.columns[1]
    assert b.detach() is True
    assert str(doc) == "select\n    a,\n    c\nfrom t union select d from u"
    assert b.text == "b"  # a removed column keeps its text
    assert (b.detach(), s.remove(b), s.remove(doc.query.selects[1].columns[0])) == (False, False, False)
    assert (s.remove("A"), s.remove("a")) == (True, False)
    with pytest.raises(ValueError, match="^cannot remove the only item of a SELECT clause$"):
        s.remove("c")
    assert str(doc) == "select\n    c\nfrom t union select d from u"


def test_set_text_keeps_identity_and_layout():
    doc, s = parsed("select\n    a,\n    b\nfrom t")
    c1, c2 = s.columns[0], s.find("a")
    c1.text = "amount * 2 AS doubled"
    assert str(doc) == "select\n    amount * 2 AS doubled,\n    b\nfrom t"
    assert (c2.name, c2.alias, c2.text) == ("doubled", "doubled", "amount * 2 AS doubled")
    assert c1 == c2 == s.columns[0]


@pytest.mark.parametrize(
    "text, edit, expected",
    [
        ("select a from t", lambda s: s.add("b -- note"), "select a, b -- note\n from t"),
        ("select a from t", lambda s: s.add("-- only a comment"), "select a, -- only a comment\n from t"),
        ("select\r\n  a\r\nfrom t", lambda s: s.add("b -- n"), "select\r\n  a,\r\n  b -- n\r\nfrom t"),
        ("select a, b from t", lambda s: setattr(s.columns[0], "text", "x -- c"), "select x -- c\n, b from t"),
        ("select\n    a,\n    b\nfrom t", lambda s: setattr(s.columns[1], "text", "x -- c"), "select\n    a,\n    x -- c\nfrom t"),
        ("select\n    a, -- c\n    b\nfrom t", lambda s: s.remove("b"), "select\n    a -- c\nfrom t"),
        # Nor do edits run words together.
        ("select count(*)from t", lambda s: s.add("x"), "select count(*), x from t"),
        ("select a,(b)from t", lambda s: s.remove("b") or s.remove(s.columns[1]), "select a from t"),
        ("select(a) from t", lambda s: s.add("x", 0), "select x, (a) from t"),
        ("select(1{% else %}select 2", lambda s: setattr(s.columns[0], "text", "n"), "select n select 2"),
    ],
)
def test_edits_never_swallow_or_join_text(text, edit, expected):
    doc, s = parsed(text)
    edit(s)
    assert str(doc) == expected
    assert [c.name for c in parse_trelm(expected).query.clauses] == [c.name for c in doc.query.clauses]
    assert reparsed_items(doc) == live_items(s)


def significant(text: str) -> str:
    """An item's text without trailing line comments, which a reparse leaves outside the item."""
    return re.sub(r"(\s*--[^\n]*)+\s*$", "", text)


def live_items(select):
    return [t for t in map(significant, (c.text for c in select)) if t]


def reparsed_items(doc):
    return [significant(c.text) for c in parse_trelm(str(doc)).query.select]


def test_live_handles_and_query_snapshot():
    doc, s = parsed("select a from t")
    q = doc.query
    s.add("b")
    assert q.select.names == ["a", "b"]
    assert repr(doc) == "<Document with 1 queries>"
    s.add("(select 1) as c")
    assert repr(doc) == "<Document with 2 queries>"


def test_iteration_is_a_snapshot_and_edits_outlive_the_document():
    doc, s = parsed("select a, b from t")
    seen = []
    for col in s:
        seen.append(col.text)
        s.add("x")
    assert seen == ["a", "b"]
    del doc, col
    gc.collect()
    s.add("c")
    assert s.names == ["a", "b", "x", "x", "c"]


ITEMS = st.sampled_from(
    ["x", "t.y", "a + 1 AS s", "count(*) n", '"Q q"', "{{ c }}", "coalesce(a, b)", "z -- note", "(select 1) w"]
)
LISTS = st.sampled_from(
    [
        "select a, b, c from t",
        "select\n    a,\n    b,\n    c\nfrom t",
        "select\n    a\n    , b\n    , c\nfrom t",
        "select\r\n\ta,\r\n\tb\r\nfrom t",
        "select a -- first\n  , b -- second\nfrom t",
        "select\n  a,\n  {% if x %}b,{% endif %}\n  c\nfrom t",
        "select distinct a from t where x",
    ]
)
OPS = st.lists(st.tuples(st.sampled_from(["add", "remove", "text"]), st.integers(0, 6), ITEMS), max_size=12)


@settings(max_examples=200, deadline=None)
@given(LISTS, OPS)
def test_random_edit_sequences_keep_the_document_consistent(text, ops):
    doc, s = parsed(text)
    prefix, suffix = text[: text.index("select") + 6], text[text.index("from") - 1 :]
    for op, index, item in ops:
        cols = s.columns
        if op == "add":
            s.add(item, index)
        elif op == "remove":
            try:
                s.remove(cols[index % len(cols)])
            except ValueError:
                assert len(cols) == 1
        else:
            cols[index % len(cols)].text = item
        after = str(doc)
        assert after.startswith(prefix)
        assert after.endswith(suffix.lstrip("\r\n ")) or suffix.strip() in after
        assert reparsed_items(doc) == live_items(s)
