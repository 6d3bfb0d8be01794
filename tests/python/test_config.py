import gc

import pytest

from trelm_cst import parse_trelm, render_literal

EXAMPLE = "{{ config(style='view', tags=['a'], persist=var('p')) }}\nselect 1 from t\n"


@pytest.mark.parametrize(
    "read, expected",
    [
        (lambda c: (c["style"], c["tags"]), ("view", ["a"])),
        (lambda c: (c.raw("persist"), c.raw("style"), c.raw("missing")), ("var('p')", "'view'", None)),
        (lambda c: (c.get("missing", 5), c.get("missing"), c.get(key="style", default=5)), (5, None, "view")),
        (lambda c: ("tags" in c, "missing" in c, "Tags" in c, len(c)), (True, False, False, 3)),
        (lambda c: (c.keys(), list(c)), (["style", "tags", "persist"],) * 2),
        (lambda c: str(c), "{{ config(style='view', tags=['a'], persist=var('p')) }}"),
        (lambda c: repr(c), "<Config style, tags, persist>"),
    ],
)
def test_reading(read, expected):
    assert read(parse_trelm(EXAMPLE).config) == expected


@pytest.mark.parametrize(
    "source, expected",
    [
        ("42", 42),
        ("1e5", 100000.0),
        ("True", True),
        ("none", None),
        ("(1, [2, ()])", [1, [2, []]]),
        ("{'a': 1, 'b': {}, 'a': 2}", {"a": 2, "b": {}}),
        ("{1: 'x', True: 'y'}", {1: "y"}),
    ],
)
def test_values_convert_to_python(source, expected):
    value = parse_trelm("{{ config(x=" + source + ") }}").config["x"]
    assert repr(value) == repr(expected)  # types too: 1e5 is a float, True is not 1; dict order


def _ran(*_):
    raise AssertionError("ran")


# Subclasses whose methods must never run: the binding reads their values directly.
Text = type("Text", (str,), {"__str__": _ran})
Number = type("Number", (int,), {"__index__": _ran})
Pairs = type("Pairs", (dict,), {"items": _ran, "__iter__": _ran})
Items = type("Items", (list,), {"__iter__": _ran, "__getitem__": _ran, "__len__": _ran})


@pytest.mark.parametrize(
    "text, key, value, expected",
    [
        ("{{ config(style='view', tags=['a']) }}", "tags", ("a", "b"), "{{ config(style='view', tags=['a', 'b']) }}"),
        ("{{ config(style='view') }}", "new_key", None, "{{ config(style='view', new_key=None) }}"),
        ("{{ config(style='view') }}", "style", "table", "{{ config(style='table') }}"),
        ("{{ config() }}", "_", 1.0, "{{ config(_=1.0) }}"),
        ("{{ config() }}", "A_1", -(2**63), "{{ config(A_1=-9223372036854775808) }}"),
        # Integers of any size keep their digits, also from a subclass whose methods must not run.
        ("{{ config() }}", "x", [2**64, Number(-(2**70))], "{{ config(x=[18446744073709551616, -1180591620717411303424]) }}"),
        ("{{ config() }}", "x", {"a": [True, None], "b": ("t",)}, '{{ config(x={"a": [True, None], "b": ["t"]}) }}'),
        ("{{ config() }}", "x", Pairs({Text("k"): Items([Number(7), 2.5])}), '{{ config(x={"k": [7, 2.5]}) }}'),
    ],
)
def test_setting_a_value(text, key, value, expected):
    doc = parse_trelm(text)
    doc.config[key] = value
    assert str(doc) == expected
    assert key in doc.config


@pytest.mark.parametrize("source, stored", [('  var("s")  ', 'var("s")'), (Text("\n\t1\r\n"), "1")])
def test_set_raw_strips_the_source(source, stored):
    doc = parse_trelm("{{ config(schema='a') }}")
    c = doc.config
    assert c.set_raw("schema", source) is None
    c.set_raw(key="other", source=source)
    assert (c.raw("schema"), c.raw("other")) == (stored, stored)
    assert str(doc) == "{{ config(schema=" + stored + ", other=" + stored + ") }}"


def literal_refused(kind):
    return "cannot write a " + kind + " as a Jinja literal; use set_raw() with Jinja source instead"


def not_expression(key, source, why):
    return f"cannot set `{key}` to `{source}`: not a Jinja expression ({why})"


def not_a_name(key):
    return f"`{key}` is not a valid argument name; a config call written as one dict, config({{...}}), takes any string key"


EXPRESSION = "config argument `persist` is the expression `var('p')`, not a literal; use raw() to read it"


@pytest.mark.parametrize(
    "text, call, error, message",
    [
        (EXAMPLE, lambda c: c["persist"], ValueError, EXPRESSION),
        (EXAMPLE, lambda c: c.get("persist", 1), ValueError, EXPRESSION),
        ("{{ config(x={[1]: 2}) }}", lambda c: c["x"], TypeError, "unhashable type: 'list'"),
        (EXAMPLE, lambda c: c["Style"], KeyError, "'Style'"),
        (EXAMPLE, lambda c: c.__delitem__("missing"), KeyError, "'missing'"),
        (EXAMPLE, lambda c: c.__delitem__("bad-key"), KeyError, "'bad-key'"),
        # Non-str arguments, for every method that takes one.
        (EXAMPLE, lambda c: c[1], TypeError, "__getitem__() argument 'key' must be str, not int"),
        (EXAMPLE, lambda c: c.__setitem__(b"k", 1), TypeError, "__setitem__() argument 'key' must be str, not bytes"),
        (EXAMPLE, lambda c: c.__delitem__(None), TypeError, "__delitem__() argument 'key' must be str, not NoneType"),
        (EXAMPLE, lambda c: 1 in c, TypeError, "__contains__() argument 'key' must be str, not int"),
        (EXAMPLE, lambda c: c.get(1), TypeError, "get() argument 'key' must be str, not int"),
        (EXAMPLE, lambda c: c.raw(1), TypeError, "raw() argument 'key' must be str, not int"),
        (EXAMPLE, lambda c: c.set_raw(1, "x"), TypeError, "set_raw() argument 'key' must be str, not int"),
        (EXAMPLE, lambda c: c.set_raw("k", 1), TypeError, "set_raw() argument 'source' must be str, not int"),
        # Keys are checked before values, in both writers; only the dict form takes any key.
        (EXAMPLE, lambda c: c.__setitem__("bad-key", object()), ValueError, not_a_name("bad-key")),
        (EXAMPLE, lambda c: c.set_raw("a\0", "1 +"), ValueError, not_a_name("a\0")),
        # Raw source that is not one Jinja expression (more in test_jinja_agreement.py).
        (EXAMPLE, lambda c: c.set_raw("k", "'x' }} {{ y"), ValueError, not_expression("k", "'x' }} {{ y", "unexpected '}'")),
        (EXAMPLE, lambda c: c.set_raw("k", ""), ValueError, not_expression("k", "", "expected an expression, got the end of the expression")),
        (EXAMPLE, lambda c: c.set_raw("style", " 1) + (2 "), ValueError, not_expression("style", "1) + (2", "unexpected ')'")),
    ],
)
def test_failed_calls_raise_and_change_nothing(text, call, error, message):
    doc = parse_trelm(text)
    with pytest.raises(error) as info:
        call(doc.config)
    assert str(info.value) == message
    assert str(doc) == text


KEY_REFUSED = "cannot write a dict key of type {} as a Jinja literal: keys must be strings, numbers, booleans or None"


@pytest.mark.parametrize(
    "value, error, message",
    [
        ({1, 2}, TypeError, literal_refused("set")),
        ([1, {"a": frozenset()}], TypeError, literal_refused("frozenset")),
        # The first failure in depth-first order decides; a key before its value.
        ([object(), 2**63], TypeError, literal_refused("object")),
        ([[2**63], object()], TypeError, literal_refused("object")),
        ("\udc80", UnicodeEncodeError, None),
        # Written out, these would read back as names or lists, not as the value.
        (float("nan"), ValueError, "cannot write nan as a Jinja literal: only finite numbers can be read back"),
        ([1, {"a": -float("inf")}], ValueError, "cannot write -inf as a Jinja literal: only finite numbers can be read back"),
        ({(1, 2): 3}, TypeError, KEY_REFUSED.format("tuple")),
        ({"a": {frozenset(): 1}}, TypeError, KEY_REFUSED.format("frozenset")),
    ],
)
def test_unwritable_values(value, error, message):
    doc = parse_trelm(EXAMPLE)
    for write in (lambda: doc.config.__setitem__("x", value), lambda: render_literal(value)):
        with pytest.raises(error) as info:
            write()
        assert message is None or str(info.value) == message
    assert str(doc) == EXAMPLE


def test_config_objects_are_live_views_that_keep_the_document():
    doc = parse_trelm(EXAMPLE)
    a, b = doc.config, doc.config
    assert a is not b and a == b and hash(a) == hash(b)
    a["style"] = "table"
    assert b["style"] == "table"
    assert str(doc).startswith("{{ config(style='table',")
    del doc
    gc.collect()
    b.set_raw("more", "1")
    assert a.keys() == ["style", "tags", "persist", "more"]


@pytest.mark.parametrize(
    "value, quote, expected",
    [
        ({"a": [1, None]}, None, '{"a": [1, None]}'),
        ({"a": [1, None]}, "'", "{'a': [1, None]}"),
    ],
)
def test_render_literal(value, quote, expected):
    rendered = render_literal(value) if quote is None else render_literal(value=value, quote=quote)
    assert rendered == expected


@pytest.mark.parametrize(
    "quote, error, message",
    [
        ("`", ValueError, "quote must be \" or '"),
        ("''", TypeError, "render_literal() argument 'quote' must be a str of length 1, not length 2"),
        (39, TypeError, "render_literal() argument 'quote' must be str, not int"),
    ],
)
def test_render_literal_quote_is_checked_before_the_value(quote, error, message):
    with pytest.raises(error) as info:
        render_literal(object(), quote)
    assert str(info.value) == message


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
