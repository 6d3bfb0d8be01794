import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import trelm_cst
from trelm_cst import Document, TrelmSyntaxError, _native, parse_trelm


def test_module_attributes_in_order():
    names = [n for n in vars(_native) if not n.startswith("__")]
    expected = [
        "Document", "Config", "Query", "Cte", "Clause", "Select", "Column",
        "parse_trelm", "render_literal", "TrelmSyntaxError", "Node", "Token", "Call", "Diagnostic", "ColumnRef",
        "Relation", "ConditionalColumn", "parse_literal", "_scan_model_files", "_scan_document",
    ]
    assert names == expected


@pytest.mark.parametrize(
    "cls",
    [
        "Document", "Config", "Query", "Cte", "Clause", "Select", "Column", "Node", "Token", "Call", "Diagnostic",
        "ColumnRef", "Relation", "ConditionalColumn",
    ],
)
def test_classes_report_the_package_and_cannot_be_instantiated(cls):
    t = getattr(_native, cls)
    assert t.__module__ == "trelm_cst"
    assert t.__bases__ == (object,)
    with pytest.raises(TypeError):
        t()
    with pytest.raises(TypeError):
        t.__new__(t)


# Texts of a few MB become their str in pieces: every piece border falls
# inside a character here, and the str widens from ASCII up to four bytes
# per character as the pieces come.
BIG_TEXTS = [
    "select 1; -- plain\n" * 60_000 + "select 'é'; -- ü\n" * 60_000 + "select '€'; -- ≠\n" * 60_000
    + "select '😀'; -- 𝔁\n" * 60_000,
    "select 'é€😀x'" * 300_000,
]


def test_importing_the_package_leaves_the_project_modules_for_later():
    """Parsing is the common use: the file search, pools and dataclasses the
    project classes need are loaded only when those classes are asked for."""
    code = (
        "import sys, trelm_cst\n"
        "before = {'trelm_cst._project', 'concurrent.futures'} & set(sys.modules)\n"
        "from trelm_cst import Project\n"
        "print(sorted(before), Project.__module__)"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout == "[] trelm_cst._project\n"


@pytest.mark.parametrize(
    "text",
    [
        *BIG_TEXTS,
        "",
        "select a,\r\n\tb\r\nfrom t\r\n",
        "select 'naïve', \"ünï\"\u00a0from\u2028t   \n\n  ",
    ],
)
def test_round_trip(text):
    doc = parse_trelm(text)
    assert str(doc) == doc.to_string() == str(Document.parse(text)) == text
    assert str(parse_trelm(source=text)) == str(Document.parse(source=text)) == text


@pytest.mark.parametrize(
    "text, message, line, column, offset",
    [
        ("a\n{# b", "unterminated `{#` comment at line 2, column 1", 2, 1, 2),
        ("é {{", "unterminated `{{` tag at line 1, column 4", 1, 4, 3),
    ],
)
def test_syntax_errors(text, message, line, column, offset):
    assert (TrelmSyntaxError.__module__, TrelmSyntaxError.__name__) == ("trelm_cst", "TrelmSyntaxError")
    assert trelm_cst.TrelmSyntaxError is _native.TrelmSyntaxError
    for parse in (parse_trelm, Document.parse):
        with pytest.raises(TrelmSyntaxError) as info:
            parse(text)
        e = info.value
        assert str(e) == message
        assert e.args == (message,)
        assert (e.line, e.column, e.offset) == (line, column, offset)
        assert isinstance(e, ValueError)


@pytest.mark.parametrize(
    "args, kwargs, error, match",
    [
        ((b"select 1",), {}, TypeError, "source"),
        ((None,), {}, TypeError, "source"),
        (("select '\udc80'",), {}, UnicodeEncodeError, None),
        ((), {}, TypeError, None),
        (("a", "b"), {}, TypeError, None),
        ((), {"text": "a"}, TypeError, None),
        (("a",), {"source": "b"}, TypeError, None),
        ((), {"source": "a", "text": "b"}, TypeError, None),
    ],
)
def test_bad_arguments(args, kwargs, error, match):
    for parse in (parse_trelm, Document.parse):
        with pytest.raises(error, match=match):
            parse(*args, **kwargs)
        # The source by keyword takes the same way as by position.
        assert str(parse(source="select 1")) == "select 1"


@settings(max_examples=200, deadline=None)
@given(st.text())
def test_arbitrary_text_round_trips_or_reports_a_jinja_error(text):
    try:
        encoded = text.encode()
    except UnicodeEncodeError:
        with pytest.raises(UnicodeEncodeError):
            parse_trelm(text)
        return
    try:
        assert str(parse_trelm(text)) == text
    except TrelmSyntaxError as e:
        assert e.args[0].startswith("unterminated")
        assert encoded[e.offset : e.offset + 1] == b"{"
