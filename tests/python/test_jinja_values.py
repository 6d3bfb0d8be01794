"""What the library reads out of tags against what the template engine
makes of them: literal values, the names it accepts, and the ref, source
and config calls, read from the engine's parse tree (every branch) and
recorded while it renders; test_jinja_agreement.py compares those of every
corpus file."""

import unicodedata
import warnings

import pytest

from trelm_cst import Project, parse_literal, parse_trelm

jinja2 = pytest.importorskip("jinja2")
from jinja2 import nodes  # noqa: E402

ENGINE = jinja2.Environment(extensions=["jinja2.ext.do", "jinja2.ext.loopcontrols"])


class Verdict:
    """A verdict, never equal to a value read."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


# The Unicode version tools/gen_name_tables.py read the name tables from.
TABLES_UNICODE = "15.1.0"

REFUSED = Verdict("refused")  # the engine raises on the text
NOT_LITERAL = Verdict("not a literal")  # it reads, but as an expression, not a constant


def engine_parse(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # invalid escapes only warn
        return ENGINE.parse(text)


def constant(node):
    """The value of a constant node, lists for tuples; NOT_LITERAL for any
    other expression. A sign counts before a number only: «-True» is
    arithmetic on a boolean, not a literal."""
    if isinstance(node, nodes.Const):
        return node.value
    if isinstance(node, (nodes.List, nodes.Tuple)):
        items = [constant(item) for item in node.items]
        return NOT_LITERAL if NOT_LITERAL in items else items
    if isinstance(node, nodes.Dict):
        pairs = [(constant(p.key), constant(p.value)) for p in node.items]
        if any(NOT_LITERAL in pair for pair in pairs):
            return NOT_LITERAL
        try:
            return dict(pairs)
        except TypeError:  # a list as a key
            return NOT_LITERAL
    if isinstance(node, (nodes.Neg, nodes.Pos)):
        value = constant(node.node)
        if type(value) not in (int, float):
            return NOT_LITERAL
        return -value if isinstance(node, nodes.Neg) else value
    return NOT_LITERAL


def engine_value(text):
    try:
        body = engine_parse("{{ " + text + " }}").body
    except (jinja2.TemplateSyntaxError, ValueError, SyntaxError):
        return REFUSED
    if len(body) != 1 or len(body[0].nodes) != 1:
        return NOT_LITERAL
    return constant(body[0].nodes[0])


def library_value(text):
    try:
        return parse_literal(text)
    except ValueError:
        return NOT_LITERAL


def typed(value):
    """A form that tells 1, 1.0 and True apart, nested."""
    if isinstance(value, list):
        return ["list", [typed(v) for v in value]]
    if isinstance(value, dict):
        return ["dict", [(typed(k), typed(v)) for k, v in value.items()]]
    return [type(value).__name__, value]


LITERALS = [
    # a parenthesised value is that value; a tuple needs a comma
    "('view')", "(((1)))", "[('a'), (1,)]", "()", "(1, 2)", "{('k'): (-1)}",
    # integers exactly, in every base, past 64 bits
    "99999999999999999999", "-9223372036854775808", "9223372036854775807", "-0x8000000000000000",
    "0xFFFFFFFFFFFFFFFFFF", "-0b1_0", "0O17", "1_000", "00", "--5", "+7", "- (5)", "1_0.5e1_0", "1e400", "2.5e-3",
    # every escape the engine decodes
    r"'\x61'", r"'\u00e9'", r"'\U0001F600'", r"'\N{BULLET}'", r"'\N{latin small letter a}'", r"'\101'",
    r"'\1012'", r"'\777'", "'a\\\nb'", "'a\\\r\nb'", "'a\r\nb\rc'", r"'\a\b\f\v\t\n\r\'\"\\'", r"'\q'",
    "'a' 'b'", "'a' \"b\" 'c'", "['a' 'b']", "'é'", "'\\é'", "'\\😀'", "'\\\u20ac'",
    # what the engine refuses
    "007", "1.", "0x", r"'\N{'", r"'\N{}'", r"'\N{NO SUCH NAME}'", r"'\x4'", r"'\U00110000'", "'abc", "'ab\\'",
    # expressions, not literals
    "", "[1,", "var('x')", "-'a'", "-True", "-(1,)", "x", "1 + 1", "'a' ~ 'b'", "[1][0]", "'a'.upper()",
]


@pytest.mark.parametrize("text", LITERALS)
def test_literal_values_are_the_engines(text):
    engine = engine_value(text)
    library = library_value(text)
    if engine in (REFUSED, NOT_LITERAL):
        assert library == NOT_LITERAL
    else:
        assert typed(library) == typed(engine)


# Where the library reads otherwise on purpose: (text, the engine's value, the library's).
KEPT_DIFFERENCES = [
    # A lone surrogate is a Python string but no UTF-8 text, which every value here is.
    (r"'\ud800'", "\ud800", NOT_LITERAL),
    # The engine's digit pattern takes any Unicode decimal digit after the first ASCII one.
    ("1\u0661", 11, NOT_LITERAL),
]


@pytest.mark.parametrize(("text", "engine", "library"), KEPT_DIFFERENCES)
def test_kept_literal_differences(text, engine, library):
    assert (engine_value(text), library_value(text)) == (engine, library)


# ---- names -----------------------------------------------------------------


def name_pattern_extras():
    """The characters the engine's name pattern adds to `\\w`."""
    from jinja2._identifier import pattern

    body, extras, i = pattern.pattern[len("[\\w") : -len("]+")], set(), 0
    while i < len(body):
        if i + 2 < len(body) and body[i + 1] == "-":
            extras.update(map(chr, range(ord(body[i]), ord(body[i + 2]) + 1)))
            i += 3
        else:
            extras.add(body[i])
            i += 1
    return extras


def refused_tags(doc):
    return sum(d.severity == "error" for d in doc.diagnostics())


def test_every_code_point_names_as_the_engine():
    """The engine cuts a name as a run of `\\w` and its pattern's extra
    characters, then takes it only when str.isidentifier() holds. The
    library's tables come from the newest Unicode the tests run under
    (15.1); from 13.0 on, no code point once assigned changed its class, so
    comparing on what the running Python's Unicode assigns (and on every
    code point under 15.1 itself) is exact under each of them. Lone
    surrogates are left out: no UTF-8 text holds them."""
    extras = name_pattern_extras()
    chars = [chr(cp) for cp in range(0x80, 0x110000) if not 0xD800 <= cp <= 0xDFFF]
    run = [c for c in chars if c.isalnum() or c in extras]
    start = [c for c in run if c.isidentifier()]
    cont = [c for c in run if ("a" + c).isidentifier()]
    # Every character that may start a name, and every one that may follow, in one tag each.
    assert refused_tags(parse_trelm("{{ [" + ", ".join(start) + "] }}")) == 0
    assert refused_tags(parse_trelm("{{ a" + "".join(cont) + " }}")) == 0
    # Every run character that may not start, or not follow, refused on its own.
    starts, conts = set(start), set(cont)
    no_start = [c for c in run if c not in starts]
    no_cont = [c for c in run if c not in conts]
    assert refused_tags(parse_trelm("".join("{{ " + c + " }}" for c in no_start))) == len(no_start)
    assert refused_tags(parse_trelm("".join("{{ a" + c + " }}" for c in no_cont))) == len(no_cont)
    # Every other code point ends a name: «x<c>f()» calls f. A code point
    # unassigned in an older Unicode may be a letter in the tables' own.
    runs = set(run)
    every = unicodedata.unidata_version == TABLES_UNICODE
    others = [c for c in chars if c not in runs and (every or unicodedata.category(c) != "Cn")]
    calls = parse_trelm("{{ " + " ".join("x" + c + "f()" for c in others) + " }}").calls("f")
    if len(calls) != len(others):
        text = "{{ " + " ".join("x" + c + "f()" for c in others) + " }}"
        broken = {text[call.span[0] - 1] for call in calls}
        assert [c for c in others if c not in broken] == []


# ---- ref, source and config calls -------------------------------------------

CALLED = ("ref", "source", "config")


def engine_calls(template):
    """Every ref, source and config call of the engine's parse tree, every
    branch: (name, positional values, keyword values), NOT_LITERAL for an
    argument that is no constant; None for a call with *args or **kwargs."""
    out = []
    for call in template.find_all(nodes.Call):
        if not isinstance(call.node, nodes.Name) or call.node.name not in CALLED:
            continue
        if call.dyn_args is not None or call.dyn_kwargs is not None:
            out.append((call.node.name, None, None))
            continue
        args = tuple(constant(a) for a in call.args)
        kwargs = {k.key: constant(k.value) for k in call.kwargs}
        out.append((call.node.name, args, kwargs))
    return out


def engine_reads(template):
    """What a reader of string arguments takes from the calls: distinct
    refs, distinct two-argument sources, and each config call's literal
    keyword values, in order."""
    refs, sources, configs = [], [], []
    for name, args, kwargs in engine_calls(template):
        strings = args is not None and all(isinstance(a, str) for a in args)
        if name == "ref" and strings and args and args not in refs:
            refs.append(args)
        elif name == "source" and strings and len(args) == 2 and args not in sources:
            sources.append(args)
        elif name == "config" and args == ():
            configs.append({k: typed(v) for k, v in kwargs.items() if v is not NOT_LITERAL})
    return refs, sources, configs


def library_reads(doc):
    configs = []
    for call in doc.calls("config"):
        if call.args:
            continue
        values = {}
        for key, text in call.kwargs.items():
            value = library_value(text)
            if value is not NOT_LITERAL:
                values[key] = typed(value)
        configs.append(values)
    return sorted(doc.refs), sorted(doc.sources), configs


class Anything(jinja2.Undefined):
    """Whatever a real file calls or reads that the test does not define."""

    def __call__(self, *args, **kwargs):
        return self

    __getattr__ = __getitem__ = __call__

    def __iter__(self):
        return iter(())


RENDERER = jinja2.Environment(undefined=Anything, extensions=["jinja2.ext.do", "jinja2.ext.loopcontrols"])


def rendered_refs(template):
    """The arguments ref and source get while the parsed template renders
    (one branch of each if); None when it does not render."""
    seen = []

    def record(kind):
        def call(*args, **kwargs):
            seen.append((kind, args))
            return ""

        return call

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            RENDERER.from_string(template).render(ref=record("ref"), source=record("source"), config=record("config"))
    except Exception:  # noqa: BLE001 - a macro or filter of a real project the test lacks
        return None
    return seen


def render_check(text, tally, render=True, template=None):
    """Compares the calls read by both sides; `template` is the engine's
    parse of `text` when the caller has it (rendering compiles it)."""
    library = library_reads(parse_trelm(text))
    tally["compared"] += 1
    if template is None and not any(name in text for name in CALLED):
        # No call can name what the text does not hold: nothing to parse.
        if library != ([], [], []):
            tally["disagree"].append((text[:300], "no calls", library))
        return
    if template is None:
        template = engine_parse(text)
    engine = engine_reads(template)
    engine = (sorted(engine[0]), sorted(engine[1]), engine[2])
    if library != engine:
        tally["disagree"].append((text[:300], engine, library))
    calls = engine_calls(template)
    if render and all(args is not None and NOT_LITERAL not in args for name, args, _ in calls if name != "config"):
        seen = rendered_refs(template)
        if seen is not None:
            tally["rendered"] += 1
            refs, sources = set(library[0]), set(library[1])
            for kind, args in seen:
                if not args or not all(isinstance(a, str) for a in args):
                    continue
                if not (args in refs if kind == "ref" else len(args) != 2 or args in sources):
                    tally["disagree"].append((text[:300], kind, args))


CALL_CASES = [
    "{{ ref('caf\\u00e9') }}", "{{ ref('a' 'b') }}", "{{ ref(('view')) }}", "{{ ref('p', 'm', v=2) }}",
    "{{ source('chain', 'blocks', database='main') }}", "{{ ref('\\N{BULLET}x') }}{{ source('s\\N{BULLET}', 't') }}",
    "{% if x %}{{ ref(\"a\\x62\") }}{% else %}{{ source('s', 't\\\r\n') }}{% endif %}",
    "{{ config(style='table', n=99999999999999999999, m=-(1), t=('a'), u=('a',), s='x' 'y') }}",
    "{{ ref(-1) }}{{ ref('a', 1) }}{{ source('a') }}{{ x.ref('m') }}",
    "{{ ref(*args) }}",
]


# The corpus files are compared in test_jinja_agreement.py's pass over them,
# which parses each file with the engine once for both comparisons.
def test_calls_read_as_the_engine_reads_them():
    tally = {"compared": 0, "rendered": 0, "disagree": []}
    for text in CALL_CASES:
        render_check(text, tally)
    assert tally["disagree"] == [] and tally["rendered"] > 0


@pytest.mark.parametrize(
    "text",
    [
        "{{ ref('caf\\u00e9') }}",
        "{{ ref('ca' \"f\\xe9\") }}",
        "{{ ref((('caf\\N{LATIN SMALL LETTER E WITH ACUTE}'))) }}",
        "{{ ref(\"caf\\N{latin small letter e with acute}\") }}",
    ],
)
def test_escaped_names_reach_refs_rename_and_project(tmp_path, text):
    assert engine_reads(engine_parse(text))[0] == [("café",)]
    (tmp_path / "a.sql").write_text(text, encoding="utf-8")
    (tmp_path / "café.sql").write_text("select 1", encoding="utf-8")
    assert Project.load(tmp_path, jobs=1).edges == [("a", "café")]
    doc = parse_trelm(text)
    quote = text[len("{{ ref(") :].lstrip("(")[0]
    assert (doc.refs, doc.rename_ref("café", "m"), str(doc)) == ([("café",)], 1, f"{{{{ ref({quote}m{quote}) }}}}")


def test_sources_with_keyword_arguments_resolve(tmp_path):
    (tmp_path / "a.sql").write_text("select * from {{ source('chain', 'blocks', database='main') }}", encoding="utf-8")
    project = Project.load(tmp_path, jobs=1)
    assert (project.sources, project.unresolved) == ({("chain", "blocks"): ["a"]}, [])
