import gc
import random
import re

import pytest

from trelm_cst import TrelmSyntaxError, parse_trelm


def parsed(text):
    doc = parse_trelm(text)
    return doc, doc.query.select


@pytest.mark.parametrize(
    "text, args, expected",
    [
        ("select a, b from t", ("x",), "select a, b, x from t"),
        ("select a, b from t", ("x", 0), "select x, a, b from t"),
        ("select a, b from t", ("x", None), "select a, b, x from t"),
    ],
)
def test_add_lays_out_like_neighbours(text, args, expected):
    doc, s = parsed(text)
    col = s.add(*args)
    assert str(doc) == expected
    assert col.select == s
    assert col.text == args[0]
    assert col in s.columns
    assert s.columns[min(args[1] if len(args) > 1 and args[1] is not None else 99, len(s) - 1)] == col


@pytest.mark.parametrize(
    "item, message, line, column, offset",
    [
        # The refusals themselves are tested in C++; these rows check that they reach Python.
        ("a, b", "a select item cannot contain a top level `,` or `;` at line 1, column 2", 1, 2, 1),
        # Jinja that does not check on its own would break the whole file.
        ("{% if x %}a", "`{% if %}` is never closed: expected `{% endif %}` at line 1, column 1", 1, 1, 0),
        ("a {% endif %}", "`{% endif %}` closes no open `{% if %}` block at line 1, column 3", 1, 3, 2),
        ("{{ x y }}", "expected the end of the tag, got `y` at line 1, column 6", 1, 6, 5),
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


def test_remove_by_name_or_column():
    doc, s = parsed("select\n    a,\n    b,\n    c\nfrom t union select d from u")
    b = s.columns[1]
    assert b.detach() is True
    assert str(doc) == "select\n    a,\n    c\nfrom t union select d from u"
    assert b.text == "b"  # a removed column keeps its text, and refuses a new one
    with pytest.raises(ValueError, match="^the item is not part of this SELECT clause$"):
        b.text = "z"
    assert b.text == "b"
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
        ("select\r\n  a\r\nfrom t", lambda s: s.add("b -- n"), "select\r\n  a,\r\n  b -- n\r\nfrom t"),
        ("select\n    a,\n    b\nfrom t", lambda s: setattr(s.columns[1], "text", "x -- c"), "select\n    a,\n    x -- c\nfrom t"),
        ("select\n    a, -- c\n    b\nfrom t", lambda s: s.remove("b"), "select\n    a -- c\nfrom t"),
        # Nor do edits run words together.
        ("select count(*)from t", lambda s: s.add("x"), "select count(*), x from t"),
        ("select a,(b)from t", lambda s: s.remove("b") or s.remove(s.columns[1]), "select a from t"),
        ("select(1{% else %}select 2", lambda s: setattr(s.columns[0], "text", "n"), "select n select 2"),
        ("select(a) from t", lambda s: s.add("x", 0), "select x, (a) from t"),
        ("select(a), b from t", lambda s: setattr(s.columns[0], "text", "q"), "select q, b from t"),
        # Nothing is added where the neighbours are not words.
        ("select count(*)from t", lambda s: setattr(s.columns[0], "text", "(1)"), "select (1)from t"),
        ("select a, b\nfrom t", lambda s: s.remove("b"), "select a\nfrom t"),
        # Unseen by the query, a tag may follow it: «c{» before «{% else %}» would open «{{».
        (
            "{% if x %}select a{% else %}select b{% endif %}",
            lambda s: setattr(s.columns[0], "text", "c{"),
            "{% if x %}select c{ {% else %}select b{% endif %}",
        ),
    ],
)
def test_edits_never_swallow_or_join_text(text, edit, expected):
    doc = parse_trelm(text)
    s = doc.queries()[0].select
    edit(s)
    assert str(doc) == expected
    again = parse_trelm(expected)
    assert [[c.name for c in q.clauses] for q in again.queries()] == [[c.name for c in q.clauses] for q in doc.queries()]
    assert [significant(c.text) for c in again.queries()[0].select] == live_items(s)


def live_items(select):
    return [t for t in map(significant, (c.text for c in select)) if t]


def test_live_handles_and_query_snapshot():
    doc, s = parsed("select a from t")
    q = doc.query
    s.add("b")
    assert q.select.names == ["a", "b"]
    assert (repr(doc), repr(s), repr(q)) == ("<Document with 1 query>", "<Select with 2 columns>", "<Query with 2 clauses>")
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


# Random edit sequences. Lists are written in every comma style, with
# comments after items and before commas, CRLF line ends, Jinja tags and
# separator blocks, and several SELECTs per file; items carry comments, quotes,
# Jinja, casts and subqueries. After every edit the printed text must read
# back as the same queries, clauses and SELECT items as the live tree.

ATOMS = [
    "a", "t.col", "x1", "count(*)", "coalesce(x, y)", "'s''q'", '"Q q"', "`bq`", "{{ col }}", "{{ f('a,b') }}",
    "cast(x as int)", "x::date", "(select 1 from u)", "case when a then 'y' else 2 end", "$$d$$", "$t$ a $t$",
    "1.5e3", "-1", "{% if f %}m{% else %}n{% endif %}", "a.b.c", "{{ x }}_y", "n{# j #}", "u[1]", "-a", "*",
    # Edges that run into what an edit may put next to them.
    "a -", "b /", "c{", "d$", "1.", "e.", "x*", "$1", ".5", "{ z }", "-", "é", "is distinct",
    "a -- mid\n  + 1", "{% set v = 1 %}x", "{%- if f -%}g{%- endif -%}",
]
OPERATORS = [" + ", "-", " || ", "/", "*", " * "]
ALIASES = ["", "", " as z", " z", ' AS "Z z"', "\n    as w"]
TAILS = ["", "", "", " -- note", " /* c */", "/* c */", "--c", " /* c */ -- n", "{# j #}"]
HEADS = ["", "", "", "/* lead */ ", "-- lead\n"]
BROKEN = ["'oops", '"open', "x /* open", "`b", "$$ d", "a -- x\n'", "a /* x */ /* y"]
MODIFIERS = {"distinct", "all", "top", "on"}


def random_item(rng, tail=True):
    text = rng.choice(ATOMS)
    if rng.random() < 0.3:
        text += rng.choice(OPERATORS) + rng.choice(ATOMS)
    text += rng.choice(ALIASES)
    return rng.choice(HEADS) + text + (rng.choice(TAILS) if tail else "")


def random_list(rng, eol):
    """A select list in one comma style, with comments and Jinja separator blocks."""
    style = rng.randrange(3)  # one line, commas ending lines, commas starting lines
    indent = rng.choice(["  ", "    ", "\t"])
    out = [] if style == 0 else [eol + indent]
    for i in range(rng.randint(1, 5)):
        if i:
            before = rng.choice(["", "", " ", " /* x */ ", "/* x */", "{# k #}"])
            after = rng.choice(["", " ", " ", " /* y */ ", "/* y */"])
            if style == 0:
                out.append(before + "," + after)
            elif style == 1:
                out.append(before + "," + rng.choice(["", "", " -- c", "--c"]) + eol + indent)
            else:
                out.append(rng.choice(["", " -- c", "--c", "/* x */"]) + eol + indent + "," + after)
        if rng.random() < 0.1:
            out.append(rng.choice(["{% if x %}e,{% endif %} ", "{% for c in cs %}{{ c }},{% endfor %}" + eol + indent]))
        item = random_item(rng, tail=False)
        while refused(item):
            item = random_item(rng, tail=False)
        out.append(item)
        if rng.random() < 0.15:
            out.append(rng.choice([" /* after */", "/* a */"]))
    if rng.random() < 0.15:
        out.append(rng.choice([" {% if y %}, f{% endif %}", "{% if y %}, f{% endif %}", " -- end", "--end", "{# e #}"]))
    return "".join(out)


def random_document(rng):
    eol = "\r\n" if rng.random() < 0.3 else "\n"
    lists = iter(lambda: random_list(rng, eol), None)
    shape = rng.randrange(8)
    if shape == 0:
        text = f"select {next(lists)}{eol}from t"
    elif shape == 1:
        text = f"with c as ({eol}  select {next(lists)} from t{eol}){eol}select {next(lists)}{eol}from c{eol}where k > 1"
    elif shape == 2:
        text = f"select {next(lists)} from t{eol}union all{eol}select {next(lists)} from u"
    elif shape == 3:
        text = f"select {next(lists)}{eol}from (select {next(lists)} from t) s{eol}group by 1"
    elif shape == 4:
        modifier = rng.choice(["distinct", "all", "top 5", "distinct on (a)"])
        text = f"{{{{ config(style='table') }}}}{eol}select {modifier} {next(lists)}{eol}from t{eol}order by 1"
    elif shape == 5:
        text = f"select x, (select {next(lists)}) as y{eol}from t where z in (select {next(lists)})"
    elif shape == 6:
        # Lists that end flush against the tag after them, which the query does not see.
        text = f"{{% if is_backfill() %}}select {next(lists)}{{% else %}}select {next(lists)}{{% endif %}}"
    else:
        text = f"{{% if is_backfill() %}}select {next(lists)} from t{{% else %}}select {next(lists)} from u{{% endif %}}"
    return text


# Tokens as the lexer cuts them, for the texts these tests write: quoted
# tokens and Jinja tags whole, then trivia, then one character.
_TOKEN = re.compile(
    r"""'(?:[^'\\]|\\.|'')*'|"(?:[^"]|"")*"|`[^`]*`|\$(\w*)\$.*?\$\1\$|\{\{.*?\}\}|\{%.*?%\}"""
    r"|(?P<trivia>\s+|--[^\n]*|/\*.*?\*/|\{#.*?#\})|[^\W\d][\w$]*|\.?\d[\d.]*(?:[eE][+-]?\d+)?|.",
    re.S,
)


def significant(text: str) -> str:
    """An item's text without the comments and whitespace at its ends, which a reparse leaves outside it."""
    tokens = list(_TOKEN.finditer(text))
    kept = [i for i, t in enumerate(tokens) if t.group("trivia") is None]
    return text[tokens[kept[0]].start() : tokens[kept[-1]].end()] if kept else ""


def refused(text: str) -> bool:
    """Whether the text leaves a Jinja tag, quote, block comment or dollar quote open, or ends where the next
    clause keyword would read as part of it (in `.` or `distinct`)."""
    try:
        parse_trelm(text)  # fails only on an unterminated Jinja tag
    except TrelmSyntaxError:
        return True
    tokens = [t.group(0) for t in _TOKEN.finditer(significant(text))]
    return leaves_open(text) or bool(tokens) and tokens[-1].lower() in (".", "distinct")


def leaves_open(text: str) -> bool:
    for t in _TOKEN.finditer(text):
        token, rest = t.group(0), text[t.start() :]
        if token in ("'", '"', "`") or rest.startswith("/*") and token == "/":
            return True
        if token == "$" and re.match(r"\$(?!\d)\w*\$", rest):
            return True
    return False


def reads_by_context(text: str) -> bool:
    """Texts whose reading depends on where they stand, which a list edit cannot keep.

    A first word that is a SELECT modifier reads as the modifier once the item is
    first in its list; a text of comments alone is no item after a reparse; an
    unpaired bracket or Jinja block tag pairs with whatever comes next in the
    file, by design of a parser that never fails on them.
    """
    core = significant(text)
    if not core or re.match(r"\w*", core).group(0).lower() in MODIFIERS:
        return True
    tokens = [t.group(0) for t in _TOKEN.finditer(core)]
    tags = [m.group(1) for t in tokens if (m := re.match(r"\{%-?\s*(\w+)", t))]
    blocks = sum(t in ("if", "for") for t in tags) - sum(t in ("endif", "endfor") for t in tags)
    return blocks != 0 or tokens.count("(") != tokens.count(")") or tokens.count("[") != tokens.count("]")


def stands_alone(text: str) -> bool:
    """Whether the text is one item, and reads as that item wherever it stands."""
    if refused(text) or reads_by_context(text):
        return False
    query = parse_trelm("select " + text).query
    return query is not None and [significant(c.text) for c in query.select] == [significant(text)]


def shape(doc):
    return [
        ([c.name for c in q.clauses], [[significant(col.text) for col in s] for s in q.selects]) for q in doc.queries()
    ]


def run_random_edits(seed, edits, steps_per_document=12):
    """Runs `edits` random edits; answers the number of documents used."""
    rng = random.Random(seed)
    done = documents = 0
    while done < edits:
        text = random_document(rng)
        try:
            doc = parse_trelm(text)
        except TrelmSyntaxError:  # a "{" at the end of an item before a "{#"
            continue
        # Items run together by the generator («-» before «--end», then «from t» after «distinct») make no base.
        if not all(stands_alone(c.text) for q in doc.queries() for s in q.selects for c in s):
            continue
        documents += 1
        assert str(doc) == text
        for _ in range(steps_per_document):
            selects = [s for q in doc.queries() for s in q.selects]
            if not selects:
                break
            s = rng.choice(selects)
            cols = s.columns
            before = str(doc)
            op = rng.randrange(3) if cols else 0
            item = random_item(rng) if rng.random() > 0.04 else rng.choice(BROKEN)
            if op != 1 and reads_by_context(item):
                continue
            done += 1
            trace = f"seed {seed}, «{before}», op {op} on select {selects.index(s)} with «{item}»"
            try:
                if op == 0:
                    s.add(item, rng.choice([None, rng.randrange(len(cols) + 2)]))
                elif op == 1:
                    s.remove(rng.choice(cols))
                else:
                    rng.choice(cols).text = item
            except TrelmSyntaxError as e:
                assert refused(item), f"{trace}: {e}"
                assert str(doc) == before, trace
                continue
            except ValueError as e:
                only_item = op == 1 and len(cols) == 1 and "only item" in str(e)
                assert only_item or "would read as part of" in str(e), f"{trace}: {e}"
                assert str(doc) == before, trace
                continue
            assert op == 1 or not refused(item), trace
            after = str(doc)
            try:
                again = parse_trelm(after)
            except TrelmSyntaxError as e:
                raise AssertionError(f"{trace} gave «{after}»: {e}") from None
            assert shape(again) == shape(doc), f"{trace} gave «{after}»"
    return documents


def test_random_edit_sequences_read_back_as_the_live_tree():
    run_random_edits(seed=13, edits=30_000)


# An item ending in «*» (or «distinct») before the next clause's keyword takes
# that keyword in («x* except» is a column filter), and no layout keeps them
# apart: such an edit is refused and the document stays as it was.
@pytest.mark.parametrize(
    "text, edit, clause",
    [
        ("select a, x*, 1 except all select 2", lambda s: s.remove(s.columns[-1]), "EXCEPT ALL"),
        ("select a except select 2", lambda s: s.add("x*"), "EXCEPT"),
        ("select a except select 2", lambda s: setattr(s.columns[0], "text", "x *"), "EXCEPT"),
        ("select a is distinct, b from t", lambda s: s.columns[-1].detach(), "FROM"),
    ],
)
def test_an_edit_that_would_join_the_next_clause_is_refused(text, edit, clause):
    doc = parse_trelm(text)
    with pytest.raises(ValueError, match=f"the {clause} after it"):
        edit(doc.queries()[0].selects[0])
    assert str(doc) == text
    assert [str(c) for c in doc.queries()[0].selects[0]] == [str(c) for c in parse_trelm(text).queries()[0].selects[0]]
