"""Jinja comments, raw blocks and tags inside SQL comments, strings and
dollar quotes, judged by the template engine: it reads its constructs before
any SQL, so nothing a comment or raw block holds is evaluated, wherever it
starts. The engine's own parse gives the `ref`, `source` and `config` calls
of each template; the library must read exactly those calls, rename only
those, and print every template back byte for byte. The counts are printed
in the test run's summary."""

import random

import pytest

from trelm_cst import TrelmSyntaxError, parse_literal, parse_trelm

jinja2 = pytest.importorskip("jinja2")
from jinja2 import nodes  # noqa: E402

ENGINE = jinja2.Environment()
RECORDED = ("ref", "source", "config")


def engine_calls(text):
    """The template's calls of `ref`, `source` and `config` with their
    positional values, in order, as the engine parses it; None when it
    refuses the template."""
    try:
        tree = ENGINE.parse(text)
    except jinja2.TemplateSyntaxError:
        return None
    return [
        (call.node.name, tuple(arg.as_const() for arg in call.args))
        for call in tree.find_all(nodes.Call)
        if isinstance(call.node, nodes.Name) and call.node.name in RECORDED
    ]


def hidden_texts(text):
    """What the engine's comments and raw blocks hold, in order."""
    out, inside_raw = [], False
    for _, kind, value in ENGINE.lexer.tokeniter(text, None):
        if kind == "comment" or (inside_raw and kind == "data"):
            out.append(value)
        inside_raw = kind == "raw_begin" or (inside_raw and kind != "raw_end")
    return out


def library_calls(doc):
    return [(c.name, tuple(parse_literal(a) for a in c.args)) for c in doc.calls() if c.name in RECORDED]


def unique(items):
    return list(dict.fromkeys(items))


def disagreement(text, calls):
    """Why the library reads `text` otherwise than the engine, whose calls
    are `calls`, or None."""
    try:
        doc = parse_trelm(text)
    except TrelmSyntaxError as e:
        return None if calls is None else f"library refuses: {e}"
    if calls is None:
        return None if any(d.severity == "error" for d in doc.diagnostics()) else "engine refuses"
    if str(doc) != text:
        return "does not print back"
    if library_calls(doc) != calls:
        return f"calls {library_calls(doc)} != {calls}"
    if doc.refs != unique(args for name, args in calls if name == "ref"):
        return f"refs {doc.refs}"
    if doc.sources != unique(args for name, args in calls if name == "source"):
        return f"sources {doc.sources}"
    return None


# Each holds calls named `gone`, which the engine never evaluates, and
# calls the engine does evaluate.
CASES = [
    "select 1 -- {# {{ ref('gone') }} #}\nfrom {{ ref('kept') }}",
    "select /* {# {{ ref('gone') }} #} */ 1 from {{ ref('kept') }}",
    "select '{# {{ ref('gone') }} #}' as x from {{ ref('kept') }}",
    "select 1 -- {#\n{{ ref('gone') }}\n-- #}\nfrom {{ ref('kept') }}",
    "select '{% raw %}{{ ref(\"gone\") }}{% endraw %}' as x from {{ ref('kept') }}",
    "select \"{%- raw -%}{{ source('s', 'gone') }}{%- endraw %}\" from {{ source('s', 'kept') }}",
    "select `{# {{ config(style='table') }} #}` from {{ ref('kept') }}",
    "select $$ {# {{ ref('gone') }} #} $$ from {{ ref('kept') }}",
    "select $q$ {{ ref('kept') }} {# $q$ {{ ref('gone') }} #} $q$",
    # A delimiter or quote inside a comment closes nothing, and the text after the comment is read.
    "select $$ {# $$ ends {{ starts #} $$ as x",
    "select '{# ' #}' as x from {{ ref('kept') }} -- '{# ' #}{{ ref('after') }}",
    "select {# ' -- /* #} 'a' from {{ ref('kept') }}",
    # A raw block may run across SQL comments; what it holds is never read.
    "/* {% raw %} */ {{ ref('gone') }} /* {% endraw %} */ {{ ref('kept') }}",
    # A backslash in a string does not hide a construct.
    "'\\{#'{%#}",
    "select '\\{{ ref(\"kept\") }}' as s, '\\{# {{ ref('gone') }} #}' as t",
    # Tags in SQL text outside comments and raw blocks are evaluated.
    "select '{{ ref(\"kept\") }}', \"{{ source('s', 'kept') }}\" -- {{ ref('also') }}\n",
]


@pytest.mark.parametrize("text", CASES)
def test_calls_read_and_renamed_as_the_engine_evaluates_them(text):
    calls = engine_calls(text)
    assert disagreement(text, calls) is None
    doc = parse_trelm(text)
    assert ("gone",) not in doc.refs
    assert doc.rename_ref("gone", "moved") == 0
    assert str(doc) == text
    renamed = [args[0] for name, args in calls if name == "ref" and len(args) == 1]
    for old in unique(renamed):
        assert doc.rename_ref(old, old + "_2") == renamed.count(old)
    edited = str(doc)
    expected = [(n, (a[0] + "_2",) if n == "ref" and len(a) == 1 else a) for n, a in calls]
    assert (engine_calls(edited), hidden_texts(edited)) == (expected, hidden_texts(text))


# Where the library keeps another verdict, on purpose. The engine's lexer
# stops at the end of the text inside a comment or raw block it has just
# opened, so an opener that ends the file (a single line end after it is
# dropped first) passes; the library refuses it as unterminated, as it does
# one with any other text after it.
KEPT = ["select 1 {#", "select 1 {#-\n", "select 1 {% raw %}"]


@pytest.mark.parametrize("text", KEPT)
def test_kept_difference_an_opener_at_the_very_end(text):
    assert engine_calls(text) == []
    with pytest.raises(TrelmSyntaxError, match="unterminated"):
        parse_trelm(text)


# Generated templates: constructs of every kind put inside each kind of SQL
# text, next to SQL that opens and closes quotes and comments of its own.
CONSTRUCTS = [
    "{# {{ ref('NAME') }} #}", "{#- ' \" ` $$ $q$ */ -- \\ -#}", "{# \n{{ source('s', 'NAME') }}\n #}",
    "{% raw %}{{ ref('NAME') }}{% endraw %}", "{%- raw -%} ' \" */ $$ {# {{ x {%- endraw -%}",
    "{% raw %}#} '{% endraw %}", "{{ ref('NAME') }}", "{{ source('s', 'NAME') }}", "{{ \"'\" }}",
    "{{ '$$ */ $q$' }}", "{% if true %}{{ ref('NAME') }}{% endif %}", "{{ config(style='NAME') }}",
]
CONTEXTS = [
    "-- @\n", "-- @", "/* @ */", "'@'", '"@"', "`@`", "$$ @ $$", "$q$@$q$", "@", "'\\@'", "'it''s @'",
]
# "{#" and "{{" in the SQL make templates the engine refuses, now and then.
SQL = ["select ", "1", " ", "'", '"', "`", "$$", "$q$", "/*", "*/", "--", "\n", "\\", " as x", ", ", "#}", "{#", "{{"]


def generated_templates(seed, count):
    rng = random.Random(seed)
    for _ in range(count):
        pieces, n = [], 0
        for _ in range(rng.randrange(1, 7)):
            if rng.random() < 0.35:
                pieces.append(rng.choice(SQL))
                continue
            piece = rng.choice(CONSTRUCTS)
            for _ in range(rng.randrange(1, 3)):  # at times a context inside a context
                piece = rng.choice(CONTEXTS).replace("@", piece)
            n += 1
            pieces.append(piece.replace("NAME", f"m{n}"))
        yield "".join(pieces) + " ;"  # no opener at the very end (see KEPT)


def test_generated_templates_read_as_the_engine_reads_them(summary):
    compared, refused, disagreements = 0, 0, []
    for text in generated_templates(seed=28, count=2000):
        calls = engine_calls(text)
        compared += 1
        refused += calls is None
        if (why := disagreement(text, calls)) is not None:
            disagreements.append((text, why))
    summary(
        f"jinja in sql text, generated: {compared} templates compared ({refused} refused by the engine), "
        f"{len(disagreements)} disagreements"
    )
    assert disagreements[:5] == []
