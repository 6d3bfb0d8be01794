"""The checker's verdict against the template engine's own parser: every
file and every tag of the shared corpus, and seeded generated templates,
valid ones and broken ones. "The checker refuses" means an error among the
document's diagnostics (or a document that does not parse at all); "the
engine refuses" means its parse raises TemplateSyntaxError, or compiling
the parsed template raises it or Python's SyntaxError (a repeated keyword
argument, `break` outside a loop). The pass over the corpus also compares
the calls each file makes (test_jinja_values.py). The counts are printed in
the test run's summary."""

import pathlib
import random
import re
import warnings

import pytest

from trelm_cst import TrelmSyntaxError, parse_trelm

jinja2 = pytest.importorskip("jinja2")
import jinja2.ext  # noqa: E402
import test_jinja_values as values  # noqa: E402



class AnyName(dict):
    """Filters and tests come from the environment that renders, and projects
    add their own: compiling takes every name as known."""

    def get(self, key, default=None):
        return super().get(key, lambda *args, **kwargs: None)


ENGINE = jinja2.Environment(extensions=["jinja2.ext.do", "jinja2.ext.loopcontrols"])
ENGINE.filters = AnyName(ENGINE.filters)
ENGINE.tests = AnyName(ENGINE.tests)
CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"
FILES = sorted(CORPUS.rglob("*.sql")) if CORPUS.is_dir() else []

BLOCKS = ["if", "for", "set", "block", "macro", "call", "filter", "with", "autoescape"]
KNOWN = set(BLOCKS) | {"end" + b for b in BLOCKS} | {
    "elif", "else", "extends", "include", "import", "from", "print", "do", "break", "continue", "raw",
}
# A minimal opener for each block, so that an end tag can be checked inside one.
OPENERS = {
    "if": "{% if x %}", "for": "{% for x in y %}", "set": "{% set x %}", "block": "{% block b %}",
    "macro": "{% macro m() %}", "call": "{% call m() %}", "filter": "{% filter upper %}",
    "with": "{% with %}", "autoescape": "{% autoescape true %}",
}


def engine_verdict(text, template=None):
    """`template`, when given, is the engine's parse of `text`."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # invalid string escapes only warn
        try:
            ENGINE.compile(ENGINE.parse(text) if template is None else template)
        except (jinja2.TemplateSyntaxError, SyntaxError):
            return "refused"
        except (RecursionError, TypeError):  # TypeError: see DISAGREEMENTS
            return "crashed"
    return "accepted"


def checker_refuses(text):
    """An error, or a tag the engine has no parser for (a warning, as extensions may add it)."""
    try:
        doc = parse_trelm(text)
    except TrelmSyntaxError:
        return True
    return any(d.severity == "error" or d.code == "unknown-tag" for d in doc.diagnostics(extension_tags=[]))


def tags_of(text):
    """The Jinja tags of a template, found the way the engine finds them."""
    tags, pos = [], 0
    while (p := text.find("{", pos)) != -1 and p + 1 < len(text):
        kind = text[p + 1]
        if kind == "#":
            end = text.find("#}", p + 2)
            pos = len(text) if end == -1 else end + 2
            continue
        if kind not in "{%":
            pos = p + 1
            continue
        raw = re.compile(r"\{%[-+]?\s*raw\s*-?%\}").match(text, p)
        if raw:
            end = re.compile(r"\{%[-+]?\s*endraw\s*[-+]?%\}").search(text, raw.end())
            pos = len(text) if end is None else end.end()
            continue
        closer, depth, i = ("}}" if kind == "{" else "%}"), 0, p + 2
        while i < len(text):
            c = text[i]
            if depth == 0 and text.startswith(closer, i):
                tags.append(text[p : i + 2])
                break
            if c in "'\"":
                j = i + 1
                while j < len(text) and text[j] != c:
                    j += 2 if text[j] == "\\" else 1
                i = j
            elif c in "([{":
                depth += 1
            elif c in ")]}" and depth:
                depth -= 1
            i += 1
        pos = i + 2
    return tags


def tag_name(tag):
    m = re.match(r"\{%[-+]?\s*(\w+)", tag)
    return m.group(1) if m else None


def tag_templates(tag):
    """Whole templates that hold `tag` and are otherwise valid."""
    name = tag_name(tag)
    if tag.startswith("{{") or name is None or name not in KNOWN:
        return [tag]
    if name in ("elif", "else"):
        return ["{% if x %}" + tag + "{% endif %}"]
    if name in ("break", "continue"):
        return ["{% for x in y %}" + tag + "{% endfor %}"]
    if name.startswith("end") and name[3:] in OPENERS:
        return [OPENERS[name[3:]] + tag]
    if name == "set":  # a set tag may or may not open a block
        return [tag, tag + "{% endset %}"]
    if name in OPENERS:
        return [tag + "{% end" + name + " %}"]
    return [tag]


class Tally:
    def __init__(self):
        self.compared = 0
        self.crashed = 0  # the engine failed with no verdict; kept apart, and counted
        self.disagreements = []

    def compare(self, text, verdict=None):
        verdict = verdict or engine_verdict(text)
        if verdict == "crashed":
            self.crashed += 1
            return
        self.compared += 1
        engine = verdict == "refused"
        if engine != checker_refuses(text):
            self.disagreements.append((text[:300], "engine" if engine else "checker"))


# Where the two differ on purpose: (template, the engine's verdict, whether the checker refuses).
DISAGREEMENTS = [
    # The engine's recursive parser runs out of Python stack and raises RecursionError, which is no
    # syntax error; the checker refuses nesting past its bound instead of following it.
    ("{{ " + "(" * 150 + "x" + ")" * 150 + " }}", "crashed", True),
    # Unicode character names are looked up by the engine; the checker keeps no table of them.
    ("{{ '\\N{NO SUCH NAME}' }}", "refused", False),
    # Compiling folds constant expressions, and folding a dict whose key is a list raises TypeError,
    # but only under some enclosing nodes (`{{ {[]: 1} }}` compiles): the checker folds nothing.
    ("{{ -{[]: 1} }}", "crashed", False),
    # Python reads keyword and parameter names in NFKC form, so these two names are one.
    ("{{ f(\ufb01=1, fi=2) }}", "refused", False),
    # A `caller` parameter without a default is refused only when the body reads `caller` before
    # anything assigns it, in the order the engine walks its nodes; the checker does not follow that.
    ("{% macro m(caller) %}{{ caller() }}{% endmacro %}", "refused", False),
]


@pytest.mark.parametrize(("template", "engine", "checker"), DISAGREEMENTS)
def test_known_disagreements(template, engine, checker):
    assert (engine_verdict(template), checker_refuses(template)) == (engine, checker)


class BlockTags(jinja2.ext.Extension):
    """Tags the engine adds (and `blueprint`, standing for one a
    project adds), each read as a block up to its end tag."""

    tags = {"snapshot", "test", "data_test", "docs", "blueprint"}

    def parse(self, parser):
        name = next(parser.stream).value
        while parser.stream.current.type != "block_end":
            next(parser.stream)
        return parser.parse_statements((f"name:end{name}",), drop_needle=True)


ENGINE_WITH_TAGS = jinja2.Environment(extensions=["jinja2.ext.do", "jinja2.ext.loopcontrols", BlockTags])
UNKNOWN_TAG = re.compile(r"(?:Encountered )?unknown tag `?'?(\w+)")


def unknown_tag_verdicts(template, extension_tags):
    """The tag each side names as unknown first, or whether it refuses or accepts."""
    env = ENGINE_WITH_TAGS if extension_tags else ENGINE
    try:
        env.parse(template)
        engine = "accepted"
    except jinja2.TemplateSyntaxError as e:
        found = UNKNOWN_TAG.search(str(e))
        engine = found.group(1) if found else "refused"
    ds = parse_trelm(template).diagnostics(extension_tags=extension_tags)
    named = [UNKNOWN_TAG.search(d.message).group(1) for d in ds if d.code == "unknown-tag"]
    checker = named[0] if named else "refused" if any(d.severity == "error" for d in ds) else "accepted"
    return engine, checker


ENGINE_TAGS = ["blueprint"]  # with it, the engine's own tags are known too (BlockTags)


@pytest.mark.parametrize(
    "template, extension_tags, verdict",
    [
        ("select 1\n{% blockchain = 'x' %}", [], "blockchain"),
        ("{% if x %}{% sett y = 1 %}{% endif %}", [], "sett"),
        ("{% trans %}x{% endtrans %}", [], "trans"),
        ("select '{% foo %}' -- {% bar %}", [], "foo"),
        ("{% foo %}x{% endfoo %}", [], "foo"),
        ("{% blueprint m, default %}x{% endblueprint %}", [], "blueprint"),
        ("{% blueprint m, default %}x{% endblueprint %}", ENGINE_TAGS, "accepted"),
        ("{% snapshot s %}select 1{% endsnapshot %}{% docs d %}t{% enddocs %}", ENGINE_TAGS, "accepted"),
        ("{% test t(model) %}1{% endtest %}{% data_test u(model) %}1{% enddata_test %}", ENGINE_TAGS, "accepted"),
        ("{% snapshot s %}{% snapshop %}{% endsnapshot %}", ENGINE_TAGS, "snapshop"),
        ("{% for x in y %}{% break %}{% continue %}{% endfor %}{% do x.append(1) %}", [], "accepted"),
        ("{# {% foo %} #}{% raw %}{% bar %}{% endraw %}", [], "accepted"),
        ("{% 1 %}", [], "refused"),
    ],
)
def test_unknown_tags_are_those_the_engine_has_no_parser_for(template, extension_tags, verdict):
    assert unknown_tag_verdicts(template, extension_tags) == (verdict, verdict)


def is_unknown_tag(tag):
    """A statement named by a name the engine has no tag for (one with no
    name at all is a syntax error both sides see)."""
    name = tag_name(tag) if tag.startswith("{%") else None
    return name is not None and not name[0].isdigit() and name not in KNOWN


def only_known_tags(text):
    return not any(is_unknown_tag(t) for t in tags_of(text))


# The corpus comparison is the longest test: in parts, workers (pytest -n) share it.
PARTS = 4


def engine_parse_or_none(text):
    try:
        return values.engine_parse(text)
    except jinja2.TemplateSyntaxError:
        return None


# Each file is parsed by the engine once, for its verdict and for the ref,
# source and config calls read out of it (test_jinja_values.py).
@pytest.mark.skipif(not FILES, reason="shared corpus not present")
@pytest.mark.parametrize("part", range(PARTS))
def test_corpus_files_and_tags_agree(summary, part):
    files, tags, left_out_files, left_out_tags = Tally(), Tally(), 0, 0
    calls = {"compared": 0, "rendered": 0, "disagree": []}
    templates = set()
    for n, path in enumerate(FILES):
        with open(path, encoding="utf-8", newline="") as f:
            text = f.read()
        ours = n % PARTS == part
        if ours:
            template = engine_parse_or_none(text)
            if template is not None:
                # Rendering compiles the template to Python, five times the cost of
                # reading it: every eighth file renders, every file is read whole.
                values.render_check(text, calls, render=n // PARTS % 8 == 0, template=template)
            if not only_known_tags(text):
                left_out_files += 1
            else:
                files.compare(text, engine_verdict(text, template) if template is not None else "refused")
        for tag in tags_of(text):
            if is_unknown_tag(tag):
                left_out_tags += ours
            else:
                templates.update(tag_templates(tag))
    # Each part compares its share of the distinct templates of the whole corpus.
    for template in sorted(templates)[part::PARTS]:
        tags.compare(template)
    summary(
        f"jinja agreement, corpus, part {part + 1} of {PARTS}: {files.compared} files compared, {left_out_files} "
        f"left out (tags unknown to the engine); {tags.compared} distinct tag templates compared, {left_out_tags} "
        f"left out; {len(files.disagreements)} + {len(tags.disagreements)} disagreements; calls read from "
        f"{calls['compared']} files, {calls['rendered']} rendered, {len(calls['disagree'])} disagreements"
    )
    assert files.disagreements == []
    assert tags.disagreements == []
    assert calls["disagree"] == [] and calls["compared"] > 0


ATOMS = [
    "a", "b.c", "x[0]", "x.0", "1", "2.5", "1e3", "0x1F", "1_000", "'s'", '"t"', "'a' \"b\"", "none", "True",
    "[1, 2]", "[]", "(1, 2)", "()", "{'k': 1}", "{}", "f()", "f(1, k=2)", "f(*a, **b)", "x[1:2]", "x[::2]",
    "loop.index", "ns.items()",
]
BINARY = ["+", "-", "*", "/", "//", "%", "**", "~", "==", "!=", "<", "<=", ">", ">=", "and", "or", "in", "not in"]
SHAPES = [
    "{a} {op} {b}", "not {a}", "-{a}", "({a})", "[{a}, {b}]", "({a}, {b})", "{{{a}: {b}}}", "{a}|upper",
    "{a}|default({b})", "{a}|join(', ')|lower", "{a} is defined", "{a} is not none", "{a} is divisibleby {b}",
    "f({a}, k={b})", "g(*{a})", "{a} if {b} else {a}", "{a} if {b}", "{a}[{b}]", "{a}.attr", "{a}({b},)",
]
STATEMENTS = [
    "{{{{ {e} }}}}", "{{{{ {e}, {e} }}}}", "{{{{- {e} -}}}}", "{{% set x = {e} %}}", "{{% set x, y = {e}, {e} %}}",
    "{{% set ns.a = {e} %}}", "{{% set x | trim %}}{{{{ {e} }}}}{{% endset %}}",
    "{{% if {e} %}}a{{% elif {e} %}}b{{% else %}}c{{% endif %}}", "{{%- if {e} -%}}a{{%+ endif %}}",
    "{{% for x in {e} %}}{{{{ x }}}}{{% else %}}none{{% endfor %}}",
    "{{% for k, v in {e} if {e} recursive %}}{{% break %}}{{% continue %}}{{% endfor %}}",
    "{{% macro m(a, b={e}) %}}{{{{ a }}}}{{% endmacro %}}", "{{% call(x) m({e}) %}}{{{{ x }}}}{{% endcall %}}",
    "{{% filter upper %}}{{{{ {e} }}}}{{% endfilter %}}", "{{% block b %}}{{{{ {e} }}}}{{% endblock b %}}",
    "{{% include {e} ignore missing with context %}}", "{{% import {e} as m %}}",
    "{{% from {e} import b as c, d with context %}}", "{{% with a = {e} %}}{{{{ a }}}}{{% endwith %}}",
    "{{% autoescape {e} %}}x{{% endautoescape %}}", "{{% do {e} %}}", "{{% extends {e} %}}",
    "{{% print {e} %}}", "select {{{{ {e} }}}} from t {{# note #}}",
]
STRAY = [",", "(", ")", "[", "]", "{", "}", "+", "*", "|", ".", ":", "=", "not", "if", "else", "is", "'", "!"]
BRANCHES = ["{% else %}", "{% elif x %}", "{% endif %}", "{% endfor %}", "{% if x %}", "{% for x in y %}"]
PIECE = re.compile(r"\{\{-?|-?\}\}|\{%[-+]?|[-+]?%\}|\w+|'[^']*'|\"[^\"]*\"|\*\*|//|\S")


def expression(rng, depth):
    if depth == 0 or rng.random() < 0.3:
        return rng.choice(ATOMS)
    shape = rng.choice(SHAPES)
    return shape.format(a=expression(rng, depth - 1), b=expression(rng, depth - 1), op=rng.choice(BINARY))


def mutated(rng, text):
    pieces = [m.group() for m in PIECE.finditer(text)]
    i = rng.randrange(len(pieces))
    kind = rng.randrange(6)
    if kind == 0:
        del pieces[i]  # a dropped operator, bracket, name or marker
    elif kind == 1:
        pieces.insert(i, pieces[i])  # a doubled one
    elif kind == 2:
        pieces.insert(i, rng.choice(STRAY))
    elif kind == 3 and i + 1 < len(pieces):
        pieces[i], pieces[i + 1] = pieces[i + 1], pieces[i]
    else:
        # A branch or block tag where it may not belong, or an end tag removed.
        ends = [k for k, p in enumerate(pieces) if p.startswith("end")]
        if kind == 4 and ends:
            k = rng.choice(ends)
            del pieces[k - 1 : k + 2]
        else:
            pieces.insert(i, rng.choice(BRANCHES))
    return " ".join(pieces)


def generated_cases(seed, count):
    rng = random.Random(seed)
    for _ in range(count):
        statement = rng.choice(STATEMENTS).format(e=expression(rng, rng.randrange(4)))
        yield statement
        yield mutated(rng, statement)


def test_generated_templates_agree(summary):
    valid, broken, unknown = Tally(), Tally(), 0
    for text in generated_cases(seed=17, count=4000):
        unknown += not only_known_tags(text)  # a mutation made a tag the engine has no parser for
        verdict = engine_verdict(text)
        (broken if verdict == "refused" else valid).compare(text, verdict)
    summary(
        f"jinja agreement, generated: {valid.compared} accepted and {broken.compared} refused by the engine "
        f"compared ({unknown} with tags unknown to the engine), {valid.crashed} the engine failed on; "
        f"{len(valid.disagreements) + len(broken.disagreements)} disagreements"
    )
    assert valid.disagreements == []
    assert broken.disagreements == []


# Nested blocks around statements the engine refuses only when it compiles
# the template: a loop control outside a loop's body, `loop` assigned inside
# a loop, a keyword or parameter named twice, a block name used twice, and
# anything but whitespace and comments in a required block.
LEAVES = [
    "x", " \n", "{# c #}", "{% raw %} {% endraw %}", "{% raw %}r{% endraw %}", "{% break %}", "{% continue %}",
    "{% set loop = 1 %}", "{% set a, (loop) = 1, 2 %}", "{% set ns.loop = 1 %}", "{% set loop.a = 1 %}",
    "{{ f(a=1, a=2) }}", "{{ f(a=1, b=2)(a=3) }}", "{{ f(class=1, a=2, a=3) }}", "{{ x|default(a=1, a=2) }}",
    "{{ x is sameas(b=1, b=2) }}", "{% macro n(a, b=1, a=2) %}{% endmacro %}", "{{ f(loop=1, *z) }}",
    "{% extends 'p' %}", "{% print f(b=1, b=2) %}",
]
NESTING = [  # opener, the branches it takes, closer
    ("{% for x in y %}", ["{% else %}"], "{% endfor %}"),
    ("{% for a, loop in y recursive %}", [], "{% endfor %}"),
    ("{% if x %}", ["{% elif z %}", "{% else %}"], "{% endif %}"),
    ("{% macro m(a, b) %}", [], "{% endmacro %}"),
    ("{% macro m(caller, a, caller) %}", [], "{% endmacro %}"),
    ("{% call m() %}", [], "{% endcall %}"),
    ("{% call(a, b) m(caller=1) %}", [], "{% endcall %}"),
    ("{% call(x, x) m(a=1, None=2) %}", [], "{% endcall %}"),
    ("{% block a %}", [], "{% endblock %}"),
    ("{% block b required %}", [], "{% endblock b %}"),
    ("{% block c scoped required %}", [], "{% endblock %}"),
    ("{% set s %}", [], "{% endset %}"),
    ("{% set loop | trim %}", [], "{% endset %}"),
    ("{% filter upper %}", [], "{% endfilter %}"),
    ("{% with loop = 1 %}", [], "{% endwith %}"),
    ("{% autoescape true %}", [], "{% endautoescape %}"),
]


def nested_body(rng, depth):
    parts = []
    for _ in range(rng.randrange(3)):
        if depth == 0 or rng.random() < 0.5:
            parts.append(rng.choice(LEAVES))
            continue
        opener, branches, closer = rng.choice(NESTING)
        parts.append(opener + nested_body(rng, depth - 1))
        for branch in branches:
            if rng.random() < 0.4:
                parts.append(branch + nested_body(rng, depth - 1))
        parts.append(closer)
    return "".join(parts)


def test_nested_blocks_agree(summary):
    accepted, refused = Tally(), Tally()
    rng = random.Random(5)
    for _ in range(1500):
        text = nested_body(rng, 3)
        verdict = engine_verdict(text)
        (refused if verdict == "refused" else accepted).compare(text, verdict)
    summary(
        f"jinja agreement, nested blocks: {accepted.compared} accepted and {refused.compared} refused by the engine "
        f"compared, {accepted.crashed} the engine failed on; "
        f"{len(accepted.disagreements) + len(refused.disagreements)} disagreements"
    )
    assert accepted.disagreements == []
    assert refused.disagreements == []


# Sources that read back as the config call but that the engine refuses to load.
NOT_EXPRESSIONS = [
    "a b", "1 if", "[,]", "*", "a not b", "a, b", "x = 1", "a |", "a is", "not", "1 +", "{1}", "{'a' 1}", "a..b",
    "f(k=1, 2)", "a if b else", "[1 2]", "a.", "'x' 'y' z", "f(a=1, a=2)",
]


@pytest.mark.parametrize("source", NOT_EXPRESSIONS)
def test_set_raw_refuses_what_the_engine_would_not_load(source):
    text = "{{ config(style='view') }}\nselect 1\n"
    doc = parse_trelm(text)
    with pytest.raises(ValueError, match=r"^cannot set `key` to `.*`: not a Jinja expression \(.+\)$"):
        doc.config.set_raw("key", source)
    assert str(doc) == text
    assert engine_verdict("{{ config(style='view', key=" + source + ") }}") == "refused"
