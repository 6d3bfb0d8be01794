import gc
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from trelm_cst import Select, TrelmSyntaxError, parse_trelm


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


def test_add_keyword_index_none_appends():
    doc, s = parsed("select a from t")
    s.add(text="b", index=None)
    assert str(doc) == "select a, b from t"


@pytest.mark.parametrize(
    "item, message, line, column, offset",
    [
        ("a, b", "a select item cannot contain a top level `,` or `;` at line 1, column 2", 1, 2, 1),
        ("", "a select item cannot be empty at line 1, column 1", 1, 1, 0),
        ("   ", "a select item cannot be empty at line 1, column 1", 1, 1, 0),
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


@pytest.mark.parametrize("bad", [1, None, b"x"])
def test_text_arguments_must_be_str(bad):
    doc, s = parsed("select a from t")
    with pytest.raises(TypeError, match="text"):
        s.add(bad)
    with pytest.raises(TypeError, match="text"):
        s.columns[0].text = bad


def test_index_argument():
    doc, s = parsed("select a from t")
    with pytest.raises(TypeError, match="index"):
        s.add("x", "0")
    with pytest.raises(OverflowError):
        s.add("x", -1)
    assert str(doc) == "select a from t"


def test_remove_by_name_and_column():
    doc, s = parsed("select a, b from t")
    assert s.remove("A") is True
    assert str(doc) == "select b from t"
    assert s.remove("a") is False
    with pytest.raises(ValueError, match="^cannot remove the only item of a SELECT clause$"):
        s.remove("b")
    assert str(doc) == "select b from t"


def test_removed_column_keeps_its_text_and_detach_reports_false():
    doc, s = parsed("select\n    a,\n    b,\n    c\nfrom t")
    b = s.columns[1]
    assert b.detach() is True
    assert str(doc) == "select\n    a,\n    c\nfrom t"
    assert b.text == "b"
    assert b.detach() is False
    assert s.remove(b) is False


def test_remove_column_of_another_select_is_false():
    doc, s = parsed("select a, b from t union select c, d from u")
    other = doc.query.selects[1]
    assert s.remove(other.columns[0]) is False
    assert str(doc) == "select a, b from t union select c, d from u"


@pytest.mark.parametrize("bad", [1, None, 2.5])
def test_remove_target_type(bad):
    doc, s = parsed("select a, b from t")
    with pytest.raises(TypeError):
        s.remove(bad)


def test_set_text_keeps_identity_and_layout():
    doc, s = parsed("select\n    a,\n    b\nfrom t")
    c1, c2 = s.columns[0], s.find("a")
    c1.text = "amount * 2 AS doubled"
    assert str(doc) == "select\n    amount * 2 AS doubled,\n    b\nfrom t"
    assert (c2.name, c2.alias, c2.text) == ("doubled", "doubled", "amount * 2 AS doubled")
    assert c1 == c2 == s.columns[0]


def test_delete_text_is_refused():
    doc, s = parsed("select a from t")
    with pytest.raises((AttributeError, TypeError)):
        del s.columns[0].text


@pytest.mark.parametrize(
    "text, edit, expected",
    [
        ("select a from t", lambda s: s.add("b -- note"), "select a, b -- note\n from t"),
        ("select a from t", lambda s: s.add("-- only a comment"), "select a, -- only a comment\n from t"),
        ("select\r\n  a\r\nfrom t", lambda s: s.add("b -- n"), "select\r\n  a,\r\n  b -- n\r\nfrom t"),
        ("select a, b from t", lambda s: setattr(s.columns[0], "text", "x -- c"), "select x -- c\n, b from t"),
        ("select a, b from t", lambda s: s.add("z -- n", 0), "select z -- n\n, a, b from t"),
        ("select\n    a,\n    b\nfrom t", lambda s: s.add("c -- n"), "select\n    a,\n    b,\n    c -- n\nfrom t"),
        ("select\n    a,\n    b\nfrom t", lambda s: setattr(s.columns[1], "text", "x -- c"), "select\n    a,\n    x -- c\nfrom t"),
        ("select\n    a, -- c\n    b\nfrom t", lambda s: s.remove("b"), "select\n    a -- c\nfrom t"),
    ],
)
def test_line_comments_never_swallow_text(text, edit, expected):
    doc, s = parsed(text)
    edit(s)
    assert str(doc) == expected
    assert "FROM" in [c.name for c in parse_trelm(str(doc)).query.clauses] or "from" not in text
    assert reparsed_items(doc) == live_items(s)


def significant(text: str) -> str:
    """An item's text without the line comments that may end it: a reparse
    leaves those comments in the list, outside the item."""
    return re.sub(r"(\s*--[^\n]*)+\s*$", "", text)


def live_items(select):
    return [t for t in (significant(c.text) for c in select) if t]


def reparsed_items(doc):
    return [significant(c.text) for c in parse_trelm(str(doc)).query.select]


@pytest.mark.parametrize(
    "text, edit, expected",
    [
        ("select count(*)from t", lambda s: s.add("x"), "select count(*), x from t"),
        ("select a,(b)from t", lambda s: s.remove("b") or s.remove(s.columns[1]), "select a from t"),
        ("select(a) from t", lambda s: s.add("x", 0), "select x, (a) from t"),
        ("select(1{% else %}select 2", lambda s: setattr(s.columns[0], "text", "n"), "select n select 2"),
    ],
)
def test_edits_never_run_words_together(text, edit, expected):
    doc, s = parsed(text)
    edit(s)
    assert str(doc) == expected
    assert [c.name for c in parse_trelm(expected).query.clauses] == [c.name for c in doc.query.clauses]


def test_live_handles_and_query_snapshot():
    doc, s = parsed("select a from t")
    q = doc.query
    s.add("b")
    assert q.select.names == ["a", "b"]
    assert repr(doc) == "<Document with 1 queries>"
    s.add("(select 1) as c")
    assert repr(doc) == "<Document with 2 queries>"


def test_iteration_is_a_snapshot():
    doc, s = parsed("select a, b from t")
    seen = []
    for col in s:
        seen.append(col.text)
        s.add("x")
    assert seen == ["a", "b"]


def test_edits_outlive_the_document_object():
    doc, s = parsed("select a, b from t")
    del doc
    gc.collect()
    s.add("c")
    assert s.names == ["a", "b", "c"]


def test_docstrings():
    assert Select.add.__doc__ == (
        "Adds a column written as SQL, such as `user_id` or `amount / 100 AS dollars`, at index,\n"
        "or at the end. It is laid out like its neighbours, in their comma style."
    )
    assert Select.remove.__doc__ == (
        "Removes a column, given as a Column or a name, with its comma and comments. Returns\n"
        "False when there is no such column."
    )


def changed_runs_only(before: str, after: str) -> bool:
    """True when `after` is `before` with one run replaced: the common prefix
    and suffix cover everything else."""
    p = 0
    while p < min(len(before), len(after)) and before[p] == after[p]:
        p += 1
    s = 0
    while s < min(len(before), len(after)) - p and before[-1 - s] == after[-1 - s]:
        s += 1
    return p + s <= len(before) and p + s <= len(after)


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
        before = str(doc)
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
        if op != "text":
            assert changed_runs_only(before, after)
        assert after.startswith(prefix)
        assert after.endswith(suffix.lstrip("\r\n ")) or suffix.strip() in after
        assert reparsed_items(doc) == live_items(s)
