import time

import pytest

from trelm_cst import Diagnostic, parse_trelm


def found(text):
    return [(d.code, d.severity, d.span, d.line, d.column) for d in parse_trelm(text).diagnostics()]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("select 1 {{ x }} {% if a %}{% endif %}", []),
        # Spans index str(document): characters, not UTF-8 bytes; so do columns.
        ("-- é\r\nselect 'ü', {{ a b }}", [("jinja-syntax", "error", (23, 24), 2, 18)]),
        ("{% if a %}\n  {% for x in y %}\n{% endif %}", [("unclosed-block", "error", (13, 29), 2, 3)]),
        ("{% else %}", [("misplaced-branch", "error", (0, 10), 1, 1)]),
        # A bracket SQL never closes is only a warning: rendering may balance it.
        ("select f(a, b\nfrom t where x)) and y]", [("unbalanced-bracket", "warning", (29, 30), 2, 16),
                                                   ("unbalanced-bracket", "warning", (36, 37), 2, 23)]),
    ],
)
def test_diagnostics_are_placed_in_the_text(text, expected):
    assert found(text) == expected
    doc = parse_trelm(text)
    for d in doc.diagnostics():
        assert str(doc)[d.span[0] : d.span[1]]  # never empty, always inside the text


def test_diagnostic_reads_as_a_record():
    (d,) = parse_trelm("{{ a b }}").diagnostics()
    assert isinstance(d, Diagnostic)
    assert repr(d) == "<Diagnostic error jinja-syntax at 1:6: expected the end of the tag, got `b`>"


def diagnostics_cost(text, repeats=5):
    """The least processor time of a few diagnostics() runs on one document."""
    doc = parse_trelm(text)
    best = float("inf")
    for _ in range(repeats):
        start = time.process_time()
        doc.diagnostics()
        best = min(best, time.process_time() - start)
    return best


# Linear work costs about 8 times as much at 8 times the size, quadratic 64; the
# bound leaves room for cache and sanitizer effects, which reached 8x at 4 times.
@pytest.mark.parametrize(
    "make, n",
    [
        pytest.param(lambda n: "select " + "(" * n + "1" + ")" * n, 20_000, id="deep parentheses"),
        pytest.param(lambda n: "{% if x %}(" * n + "select 1" + "){% endif %}" * n, 10_000, id="deep blocks"),
        pytest.param(
            lambda n: "select a, {{ ref('b') }} from t where x in (1, 2) -- c\n" * n, 5_000, id="long flat file"
        ),
    ],
)
def test_diagnostics_grow_linearly(make, n):
    assert diagnostics_cost(make(8 * n)) < 24 * diagnostics_cost(make(n))
