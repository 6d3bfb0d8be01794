import datetime
import gc
import inspect

import pytest

from trelm_cst import Config, Document, parse_trelm, render_literal

EXAMPLE = "{{ config(style='view', tags=['a'], persist=var('p')) }}\nselect 1 from t\n"


def config_of(text):
    doc = parse_trelm(text)
    return doc, doc.config


def test_docstrings_and_signatures():
    assert Config.__doc__ == "The arguments of a `{{ config(...) }}` call, read and written like a dict."
    assert Config.get.__text_signature__ == "($self, key, default=None)"
    assert Config.raw.__doc__ == "The Jinja source of an argument's value, such as `\"view\"` or `var(\"schema\")`."
    assert str(inspect.signature(Config.set_raw)) == "(self, /, key, source)"
    assert Config.set_raw.__doc__ == "Sets an argument to Jinja source, such as `var(\"schema\")`."
    assert Config.keys.__doc__ == "The argument names, in order."
    assert render_literal.__doc__ == (
        "Renders a Python value as Jinja literal source, the way Config.__setitem__ writes it."
    )
    assert str(inspect.signature(render_literal)) == "(value, quote='\"')"
    assert Document.config.__doc__ == "The `{{ config(...) }}` call at the top level of the file."
    assert Document.refs.__doc__ == "The arguments of every ref() call: (model,) or (package, model)."
    assert Document.sources.__doc__ == "The (source_name, table_name) of every source() call."


@pytest.mark.parametrize(
    "read, expected",
    [
        (lambda c: c["style"], "view"),
        (lambda c: c["tags"], ["a"]),
        (lambda c: c.raw("persist"), "var('p')"),
        (lambda c: c.raw("style"), "'view'"),
        (lambda c: c.raw("missing"), None),
        (lambda c: c.get("missing", 5), 5),
        (lambda c: c.get("missing"), None),
        (lambda c: c.get(key="style", default=5), "view"),
        (lambda c: ("tags" in c, "missing" in c, "Tags" in c), (True, False, False)),
        (lambda c: len(c), 3),
        (lambda c: c.keys(), ["style", "tags", "persist"]),
        (lambda c: list(c), ["style", "tags", "persist"]),
        (lambda c: str(c), "{{ config(style='view', tags=['a'], persist=var('p')) }}"),
        (lambda c: repr(c), "<Config style, tags, persist>"),
    ],
)
def test_reading(read, expected):
    _, c = config_of(EXAMPLE)
    assert read(c) == expected


@pytest.mark.parametrize(
    "source, expected",
    [
        ("42", 42),
        ("-1.5", -1.5),
        ("1e5", 100000.0),
        ("True", True),
        ("false", False),
        ("none", None),
        ("(1, [2, ()])", [1, [2, []]]),
        ("{'a': 1, 'b': {}, 'a': 2}", {"a": 2, "b": {}}),
        ("{1: 'x', True: 'y'}", {1: "y"}),
    ],
)
def test_values_convert_to_python(source, expected):
    _, c = config_of("{{ config(x=" + source + ") }}")
    value = c["x"]
    assert value == expected
    assert repr(value) == repr(expected)  # types too: 1e5 is a float, True is not 1
    if isinstance(expected, dict):
        assert list(value) == list(expected)


def test_unhashable_dict_key_fails_as_python_does():
    _, c = config_of("{{ config(x={[1]: 2}) }}")
    with pytest.raises(TypeError, match="unhashable"):
        c["x"]


@pytest.mark.parametrize("read", [lambda c: c["persist"], lambda c: c.get("persist", 1)])
def test_expression_value_is_not_a_literal(read):
    _, c = config_of(EXAMPLE)
    with pytest.raises(ValueError) as info:
        read(c)
    assert str(info.value) == (
        "config argument `persist` is the expression `var('p')`, not a literal; use raw() to read it"
    )


@pytest.mark.parametrize("remove", [True, False])
@pytest.mark.parametrize("key", ["missing", "bad-key", "Style"])
def test_absent_keys_raise_key_error(key, remove):
    doc, c = config_of(EXAMPLE)
    with pytest.raises(KeyError) as info:
        if remove:
            del c[key]
        else:
            c[key]
    assert info.value.args == (key,)
    assert str(doc) == EXAMPLE


class Text(str):
    def __str__(self):
        raise AssertionError("ran")


class Number(int):
    def __index__(self):
        raise AssertionError("ran")


class Pairs(dict):
    def items(self):
        raise AssertionError("ran")

    def __iter__(self):
        raise AssertionError("ran")


class Items(list):
    def __iter__(self):
        raise AssertionError("ran")

    def __getitem__(self, i):
        raise AssertionError("ran")

    def __len__(self):
        raise AssertionError("ran")


@pytest.mark.parametrize(
    "text, key, value, expected",
    [
        ("{{ config(style='view', tags=['a']) }}", "tags", ("a", "b"), "{{ config(style='view', tags=['a', 'b']) }}"),
        ("{{ config(style='view') }}", "new_key", None, "{{ config(style='view', new_key=None) }}"),
        ("{{ config(style='view') }}", "style", "table", "{{ config(style='table') }}"),
        ("{{ config(enabled=true) }}", "alias", "x", '{{ config(enabled=true, alias="x") }}'),
        ("{{ config() }}", "x", True, "{{ config(x=True) }}"),
        ("{{ config() }}", "_", 1.0, "{{ config(_=1.0) }}"),
        ("{{ config() }}", "A_1", -(2**63), "{{ config(A_1=-9223372036854775808) }}"),
        ("{{ config() }}", "x", {"a": [1, None], "b": ("t",)}, '{{ config(x={"a": [1, None], "b": ["t"]}) }}'),
        # Subclasses are read for their values; none of their methods runs.
        ("{{ config() }}", "x", Pairs({Text("k"): Items([Number(7), 2.5])}), '{{ config(x={"k": [7, 2.5]}) }}'),
        ("{{ config(\r\n    a=1,\r\n) }}\r\n", "b", 2, "{{ config(\r\n    a=1,\r\n    b=2,\r\n) }}\r\n"),
    ],
)
def test_setting_a_value(text, key, value, expected):
    doc, c = config_of(text)
    c[key] = value
    assert str(doc) == expected
    assert key in c


@pytest.mark.parametrize(
    "source, stored",
    [('  var("s")  ', 'var("s")'), ("\n\t'x'\r\n", "'x'"), (Text(" 1 "), "1")],
)
def test_set_raw_strips_the_source(source, stored):
    doc, c = config_of("{{ config(schema='a') }}")
    assert c.set_raw("schema", source) is None
    c.set_raw(key="other", source=source)
    assert (c.raw("schema"), c.raw("other")) == (stored, stored)
    assert str(doc) == "{{ config(schema=" + stored + ", other=" + stored + ") }}"


@pytest.mark.parametrize("key", ["bad-key", "1x", "", "a b", "é", "x.y", "a\0"])
def test_invalid_keys_are_refused(key):
    doc, c = config_of(EXAMPLE)
    message = "`" + key + "` is not a valid argument name"
    with pytest.raises(ValueError) as info:
        c[key] = object()  # the key is checked before the value
    assert str(info.value) == message
    with pytest.raises(ValueError) as info:
        c.set_raw(key, "1")
    assert str(info.value) == message
    assert str(doc) == EXAMPLE


@pytest.mark.parametrize(
    "use, name",
    [
        (lambda c: c[1], "key"),
        (lambda c: c.__setitem__(b"k", 1), "key"),
        (lambda c: c.__delitem__(None), "key"),
        (lambda c: 1 in c, "key"),
        (lambda c: c.get(1), "key"),
        (lambda c: c.raw(1), "key"),
        (lambda c: c.set_raw(1, "x"), "key"),
        (lambda c: c.set_raw("k", 1), "source"),
    ],
)
def test_non_str_arguments(use, name):
    doc, c = config_of(EXAMPLE)
    with pytest.raises(TypeError, match=name):
        use(c)
    assert str(doc) == EXAMPLE


@pytest.mark.parametrize(
    "value, error, message",
    [
        ({1, 2}, TypeError, "cannot write a set as a Jinja literal; use set_raw() with Jinja source instead"),
        (b"x", TypeError, "cannot write a bytes as a Jinja literal; use set_raw() with Jinja source instead"),
        (datetime.date(2024, 1, 1), TypeError, "cannot write a date as a Jinja literal; use set_raw() with Jinja source instead"),
        ([1, {"a": frozenset()}], TypeError, "cannot write a frozenset as a Jinja literal; use set_raw() with Jinja source instead"),
        (2**63, OverflowError, None),
        (-(2**63) - 1, OverflowError, None),
        # The first failure in depth-first order decides; a key before its value.
        ([object(), 2**63], TypeError, "cannot write a object as a Jinja literal; use set_raw() with Jinja source instead"),
        ([[2**63], object()], OverflowError, None),
        ({2**70: object()}, OverflowError, None),
        ("\udc80", UnicodeEncodeError, None),
    ],
)
def test_unwritable_values(value, error, message):
    doc, c = config_of(EXAMPLE)
    for write in (lambda: c.__setitem__("x", value), lambda: render_literal(value)):
        with pytest.raises(error) as info:
            write()
        if message is not None:
            assert str(info.value) == message
    assert str(doc) == EXAMPLE


@pytest.mark.parametrize(
    "key, source",
    [
        ("k", "'x' }} {{ y"),
        ("k", "f("),
        ("k", ""),
        ("style", "   "),
        ("style", "1) + (2"),
    ],
)
def test_raw_source_that_breaks_the_tag_is_refused(key, source):
    doc, c = config_of(EXAMPLE)
    with pytest.raises(ValueError) as info:
        c.set_raw(key, source)
    assert str(info.value) == (
        "cannot set `" + key + "` to `" + source.strip() + "`: the config tag would no longer read back with that value"
    )
    assert str(doc) == EXAMPLE
    assert c.keys() == ["style", "tags", "persist"]


def test_removing_keys_down_to_an_empty_call_and_back():
    doc, c = config_of("{{ config(a=1, b=2) }}\nselect 1")
    del c["a"]
    assert str(doc) == "{{ config(b=2) }}\nselect 1"
    del c["b"]
    assert (str(doc), len(c), c.keys(), repr(c)) == ("{{ config() }}\nselect 1", 0, [], "<Config >")
    assert doc.config is not None
    c["c"] = 3
    assert str(doc) == "{{ config(c=3) }}\nselect 1"


@pytest.mark.parametrize(
    "text",
    ["", "select 1", "{% if x %}{{ config(a=1) }}{% endif %}", "select {{ config(a=1) }}", "{% set config(a=1) %}"],
)
def test_documents_without_a_config_call(text):
    assert parse_trelm(text).config is None


def test_config_objects_are_live_views_that_keep_the_document():
    doc = parse_trelm(EXAMPLE)
    a, b = doc.config, doc.config
    assert a is not b and a != b and a == a
    a["style"] = "table"
    assert b["style"] == "table"
    assert str(doc).startswith("{{ config(style='table',")
    del doc
    gc.collect()
    b.set_raw("more", "1")
    assert a.keys() == ["style", "tags", "persist", "more"]


@pytest.mark.parametrize(
    "text, refs, sources",
    [
        (
            "{{ ref('orders') }} {{ ref('pkg', 'customers') }} {{ ref(\"orders\") }}",
            [("orders",), ("pkg", "customers")],
            [],
        ),
        ("{{ source('raw', 'payments') }} -- {{ source('raw', 'payments') }}", [], [("raw", "payments")]),
        ("{{ ref(var('m')) }} {{ source('one') }} {# {{ ref('x') }} #}", [], []),
    ],
)
def test_refs_and_sources(text, refs, sources):
    doc = parse_trelm(text)
    assert (doc.refs, doc.sources) == (refs, sources)


@pytest.mark.parametrize(
    "value, quote, expected",
    [
        ({"a": [1, None]}, None, '{"a": [1, None]}'),
        ({"a": [1, None]}, "'", "{'a': [1, None]}"),
        ("it's", "'", "'it\\'s'"),
        ("it's", '"', '"it\'s"'),
    ],
)
def test_render_literal(value, quote, expected):
    rendered = render_literal(value) if quote is None else render_literal(value=value, quote=quote)
    assert rendered == expected


@pytest.mark.parametrize(
    "quote, error",
    [("`", ValueError), ("\u00ab", ValueError), ("", TypeError), ("''", TypeError), (39, TypeError)],
)
def test_render_literal_quote_is_checked_before_the_value(quote, error):
    with pytest.raises(error) as info:
        render_literal(object(), quote)
    if error is ValueError:
        assert str(info.value) == "quote must be \" or '"
    else:
        assert "quote" in str(info.value)


# ---- Inputs that must neither crash nor hang; each in a fresh interpreter.


def test_self_containing_values_raise_recursion_error(run_isolated):
    proc = run_isolated(
        """
        from trelm_cst import parse_trelm, render_literal
        doc = parse_trelm("{{ config(a=1) }}")
        c = doc.config
        l = [1]; l.append(l)
        d = {}; d["k"] = [d]
        t = ([],); t[0].append(t)
        for value in (l, d, t):
            for write in (lambda: c.__setitem__("x", value), lambda: render_literal(value)):
                try:
                    write()
                except RecursionError:
                    pass
                else:
                    raise SystemExit("accepted a self-containing value")
        shared = [1]
        assert render_literal([shared, shared]) == "[[1], [1]]"  # repeats are not cycles
        print(str(doc))
        """
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "{{ config(a=1) }}"


def test_deeply_nested_values(run_isolated):
    proc = run_isolated(
        """
        from trelm_cst import parse_trelm, render_literal
        n = 100_000
        nested = "[" * n + "]" * n
        doc = parse_trelm("{{ config(x=" + nested + ") }}\\nselect 1")
        c = doc.config
        assert c.raw("x") == nested
        try:
            value = c["x"]
        except RecursionError:
            value = None
        c["y"] = 1
        deep = []
        for _ in range(n):
            deep = [deep]
        assert render_literal(deep) == "[" * (n + 1) + "]" * (n + 1)
        c["z"] = deep
        text = str(doc)
        assert text.endswith(", y=1, z=" + "[" * (n + 1) + "]" * (n + 1) + ") }}\\nselect 1")
        print(len(text))
        del doc, c, value, deep
        print("freed")
        """
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.split()[-1] == "freed"


def test_many_refs(run_isolated):
    proc = run_isolated(
        """
        from trelm_cst import parse_trelm
        n = 100_000
        doc = parse_trelm("select 1 " + "".join("{{ ref('m%d') }}" % i for i in range(n)))
        refs = doc.refs
        assert len(refs) == n and refs[0] == ("m0",) and refs[-1] == ("m%d" % (n - 1),)
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "ok"
