"""Config calls beyond plain keyword arguments: one dict, leading commas,
calls that cannot be edited, several calls. Every edited tag is read again
by Jinja itself, which must see the same call arguments as Config does."""

import jinja2
import pytest
from jinja2 import nodes

from trelm_cst import parse_trelm

ENV = jinja2.Environment()


def expression(source):
    (output,) = ENV.parse("{{ " + source + " }}").body
    (node,) = output.nodes
    return node


def jinja_config(tag):
    """What Jinja passes to config(): ("dict" or "keywords", {key: node}),
    a later dict key overriding an earlier one."""
    call = expression(tag.strip()[2:-2].strip("-+ \r\n\t"))
    assert isinstance(call, nodes.Call) and call.node.name == "config", tag
    assert call.dyn_args is None and call.dyn_kwargs is None, tag
    if call.args:
        assert not call.kwargs, tag
        (dict_node,) = call.args
        assert isinstance(dict_node, nodes.Dict), tag
        return "dict", {pair.key.as_const(): pair.value for pair in dict_node.items
                        if isinstance(pair.key, nodes.Const) and isinstance(pair.key.value, str)}
    return "keywords", {kw.key: kw.value for kw in call.kwargs}


def check_reads_back(config, form, expected):
    """Config reads `expected` ({key: Jinja source}) and so does Jinja."""
    assert {key: config.raw(key) for key in config} == expected
    assert list(config) == list(expected)  # no repeats in these tests: the order is the keys' order
    assert jinja_config(str(config)) == (form, {key: expression(source) for key, source in expected.items()})


def set_(key, value):
    return lambda c: c.__setitem__(key, value)


def raw(key, source):
    return lambda c: c.set_raw(key, source)


def delete(key):
    return lambda c: c.__delitem__(key)


DICT_ONE_PER_LINE = '{{ config({\n    "style": "table",\n    "tags": ["a"]\n}) }}'
DICT_TRAILING = "{{\n  config(\n    {\n      'style': 'table',\n    }\n  )\n}}"
DICT_CRLF = '{{ config({\r\n  "style": "table",\r\n}) }}\r\n'
HOOK = '{{ config({"pre-hook": "grant select on {{ this }} to reporter"}) }}'
LEADING3 = "{{ config(\n    alias = 'x'\n    , style = 'view'\n    , enabled = true\n) }}"


@pytest.mark.parametrize(
    "text, edits, after, form, expected",
    [
        # dict form, inline: replace in place, append inline, either quote
        ('{{ config({"style": "table", "tags": ["a"]}) }}', [set_("style", "view"), set_("enabled", True)],
         '{{ config({"style": "view", "tags": ["a"], "enabled": True}) }}',
         "dict", {"style": '"view"', "tags": '["a"]', "enabled": "True"}),
        ("{{ config({'style':'table'}) }}", [set_("tags", ["a", "b"])],
         "{{ config({'style':'table', 'tags':['a', 'b']}) }}",
         "dict", {"style": "'table'", "tags": "['a', 'b']"}),
        ('{{- config( { "a" : 1 , } , ) -}}', [raw("schema", 'var("s")')],
         '{{- config( { "a" : 1 , "schema" : var("s"), } , ) -}}',
         "dict", {"a": "1", "schema": 'var("s")'}),
        # dict form, one entry per line, with and without a trailing comma, CRLF kept
        (DICT_ONE_PER_LINE, [raw("schema", "var('s')")],
         '{{ config({\n    "style": "table",\n    "tags": ["a"],\n    "schema": var(\'s\')\n}) }}',
         "dict", {"style": '"table"', "tags": '["a"]', "schema": "var('s')"}),
        (DICT_TRAILING, [set_("enabled", False), delete("style")],
         "{{\n  config(\n    {\n      'enabled': False,\n    }\n  )\n}}",
         "dict", {"enabled": "False"}),
        (DICT_CRLF, [set_("alias", "x")], '{{ config({\r\n  "style": "table",\r\n  "alias": "x",\r\n}) }}\r\n',
         "dict", {"style": '"table"', "alias": '"x"'}),
        # dict form with leading commas
        ("{{ config({\n    'a': 1\n    , 'b': 2\n}) }}", [set_("c", 3), delete("a")],
         "{{ config({\n    'b': 2\n    , 'c': 3\n}) }}", "dict", {"b": "2", "c": "3"}),
        # nested values read and replaced whole; other keys and values kept as written
        ('{{ config({"a": {"b": [1, {"c": 2}]}, "d": var("x"), 3: "n", k: 4}) }}',
         [set_("a", {"b": None}), delete("d")],
         '{{ config({"a": {"b": None}, 3: "n", k: 4}) }}', "dict", {"a": '{"b": None}'}),
        # a repeated key: the later entry is the one that counts, and the one edited
        ("{{ config({'a': 1, 'a': 2}) }}", [set_("a", 3)], "{{ config({'a': 1, 'a': 3}) }}", "dict", None),
        # any string key, quoted as the dict quotes its keys; a repeated key goes with every entry
        (HOOK, [set_("pre-hook", "x"), raw("post hook", "'y'"), set_('say "hi"', 1)],
         '{{ config({"pre-hook": "x", "post hook": \'y\', "say \\"hi\\"": 1}) }}',
         "dict", {"pre-hook": '"x"', "post hook": "'y'", 'say "hi"': "1"}),
        (HOOK.replace("})", ", 'a': 1, \"pre-hook\": 2})"), [delete("pre-hook")], "{{ config({'a': 1}) }}",
         "dict", {"a": "1"}),
        # deleting every entry leaves {}, and a new entry goes inside it
        ('{{ config({\n  "a": 1\n}) }}', [delete("a")], "{{ config({}) }}", "dict", {}),
        ("{{ config({ }) }}", [set_("a", "x")], '{{ config({"a": "x"}) }}', "dict", {"a": '"x"'}),
        ("{{ config({}, ) }}", [set_("a", "x"), delete("a"), set_("b", 1)], "{{ config({\"b\": 1}, ) }}",
         "dict", {"b": "1"}),
        # keywords with leading commas: a new one on its own line, removal keeps the style
        (LEADING3, [delete("style"), set_("tags", [])],
         "{{ config(\n    alias = 'x'\n    , enabled = true\n    , tags = []\n) }}",
         "keywords", {"alias": "'x'", "enabled": "true", "tags": "[]"}),
    ],
)
def test_edits_read_back_in_config_and_in_jinja(text, edits, after, form, expected):
    doc = parse_trelm(text)
    config = doc.config
    for edit in edits:
        edit(config)
    assert str(doc) == after
    if expected is None:  # repeated keys: Jinja keeps the last one
        assert (config.keys(), config["a"]) == (["a", "a"], 3)
        assert jinja_config(str(config)) == (form, {"a": expression("3")})
    else:
        check_reads_back(config, form, expected)


def test_reading_the_dict_form():
    doc = parse_trelm('{{ config({"style": "table", "tags": ["a"], "schema": var("s"), 1: 2}) }}\nselect 1')
    c = doc.config
    keys = ["style", "tags", "schema"]
    assert (c.keys(), list(c), len(c), repr(c)) == (keys, keys, 3, "<Config style, tags, schema>")
    assert (c["tags"], c.get("style"), c.get("x", 5), c.raw("schema"), "tags" in c, "1" in c) == (
        ["a"], "table", 5, 'var("s")', True, False)
    with pytest.raises(ValueError, match="is the expression"):
        c["schema"]


POSITIONAL = "cannot edit the config call: it has positional arguments"


@pytest.mark.parametrize(
    "text, keys",
    [
        ("{{ config({'a': 1}, style='view') }}", ["style"]),
        ("{{ config(style='view', {'a': 1}) }}", ["style"]),
        ("{{ config('m', style='view') }}", ["style"]),
        ("{{ config({'a': 1}, {'b': 2}) }}", []),
        ("{{ config({'a': 1} | combine(x)) }}", []),
        ("{{ config(**settings) }}", []),
        ("{{ config({'a'}) }}", []),
    ],
)
@pytest.mark.parametrize("edit", [set_("style", "table"), set_("new", 1), raw("style", "1"), delete("style"),
                                  delete("absent")])
def test_calls_with_other_positional_arguments_are_read_but_never_edited(text, keys, edit):
    doc = parse_trelm(text)
    assert doc.config.keys() == keys
    with pytest.raises(ValueError) as info:
        edit(doc.config)
    assert str(info.value) == POSITIONAL
    assert str(doc) == text


@pytest.mark.parametrize(
    "text, edit, message",
    [
        ("{{ config({'a': 1}) }}", raw("a", "1, 'b': 2"), "cannot set `a` to `1, 'b': 2`"),
    ],
)
def test_dict_edits_that_would_not_read_back_are_refused(text, edit, message):
    doc = parse_trelm(text)
    with pytest.raises(ValueError) as info:
        edit(doc.config)
    assert str(info.value).startswith(message)
    assert str(doc) == text


def test_several_config_calls():
    text = (
        "{{ config(style='view', a=1) }}\n{{ config({'style': 'table'}) }}\n"
        "{% if x %}{{ config(b=1) }}{% endif %}\nselect 1"
    )
    doc = parse_trelm(text)
    first, second = doc.configs
    assert (first.keys(), second.keys(), doc.config.keys()) == (["style", "a"], ["style"], ["style", "a"])
    second["tags"] = ["t"]
    del first["a"]
    assert str(doc) == (
        "{{ config(style='view') }}\n{{ config({'style': 'table', 'tags': ['t']}) }}\n"
        "{% if x %}{{ config(b=1) }}{% endif %}\nselect 1"
    )
    check_reads_back(doc.configs[1], "dict", {"style": "'table'", "tags": "['t']"})
    assert parse_trelm("select 1").configs == []
