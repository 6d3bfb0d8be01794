import pytest

from trelm_cst import parse_trelm


def select_of(text):
    return parse_trelm(text).query.select


def test_names_find_index_contains():
    s = select_of("select a, b + 1, c AS d, t.amount, \"Order Id\" from t")
    assert s.names == ["a", None, "d", "amount", "Order Id"]
    assert s.find("D").text == "c AS d"
    assert s.find("missing") is None
    assert s.index("AMOUNT") == 3
    assert s.index("missing") is None
    assert "AMOUNT" in s
    assert "t.amount" not in s
    assert "order id" in s
    assert len(s) == 5
    assert repr(s) == "<Select with 5 columns>"
    assert str(s) == 'select a, b + 1, c AS d, t.amount, "Order Id"'


# The analysis itself is tested in C++; these rows check that each answer
# reaches Python, None included.
@pytest.mark.parametrize(
    "item, expr, alias, name, templated",
    [
        ("t.amount AS dollars", "t.amount", "dollars", "dollars", False),
        ("amount / 100", "amount / 100", None, None, False),
        ("{{ col }} AS c", "{{ col }}", "c", "c", True),
    ],
)
def test_column_analysis(item, expr, alias, name, templated):
    (col,) = select_of(f"select {item}\nfrom t").columns
    assert col.text == item
    assert str(col) == item
    assert repr(col) == f"<Column {item}>"
    assert col.expr == expr
    assert col.alias == alias
    assert col.name == name
    assert col.is_templated is templated


def test_iteration_and_no_indexing():
    s = select_of("select a, b from t")
    assert [c.text for c in s] == ["a", "b"]
    with pytest.raises(TypeError):
        s[0]  # noqa: B018


@pytest.mark.parametrize("bad", [1, None, b"a"])
def test_name_arguments_must_be_str(bad):
    s = select_of("select a from t")
    with pytest.raises(TypeError, match="name"):
        s.find(bad)
    with pytest.raises(TypeError, match="name"):
        s.index(bad)
    with pytest.raises(TypeError):
        bad in s  # noqa: B015
