"""Inputs that must neither crash the process nor hang it. Each runs in a
fresh interpreter so that a native crash shows up as a failed test."""

import os
import sys

import pytest

# The C++ grouping and query tests take the other deep shapes; this one also
# reaches queries() over every level, and the binding's free.
DEEP_CASES = {
    "subqueries": "'select ' + '(select ' * 100_000 + '1' + ')' * 100_000",
}


@pytest.mark.parametrize("name", sorted(DEEP_CASES))
def test_deep_nesting_parses_prints_and_frees(run_isolated, name):
    proc = run_isolated(
        f"""
        from trelm_cst import parse_trelm
        text = {DEEP_CASES[name]}
        doc = parse_trelm(text)
        assert str(doc) == text
        qs = doc.queries()
        r = repr(doc)
        del doc, qs
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "ok"


def test_raw_block_without_end_fails_with_its_message(run_isolated):
    proc = run_isolated(
        """
        from trelm_cst import parse_trelm, TrelmSyntaxError
        body = ("{ {% {%- x {{ " * 80_000)[:1_000_000]
        try:
            parse_trelm("{% raw %}" + body)
        except TrelmSyntaxError as e:
            print(e.args[0], e.offset)
        """,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "unterminated `{% raw %}` block at line 1, column 1 0"


# Each case runs one operation again and again under an address-space limit a
# little above what the process uses, growing from too tight to ample. Every
# attempt must either complete or raise MemoryError and leave the document as
# it was; at least one must hit the limit, so the path is really exercised.
# Freeing is the exception: it must never need memory, so it never raises.
MEMORY_PRESSURE_PRELUDE = """
import resource
from trelm_cst import parse_trelm, render_literal

def address_space():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)
MARGINS_MB = (1, 2, 4, 8, 16, 32, 64, 128, 1024)

def under_limits(op, before=lambda: None):
    raised = 0
    for mb in MARGINS_MB:
        state = before()
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + mb * 2**20, HARD))
        try:
            op(state)
        except MemoryError:
            raised += 1
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))
    print(raised)
"""

MEMORY_PRESSURE_CASES = {
    # The edit near the start makes the text outgrow the output reserved for
    # it, so the output grows while the untouched tail is appended last.
    "print_edited": """
        doc = parse_trelm("select a from t;\\n" * 300_000)
        doc.queries()[0].select.add("x" * 1000)
        expected = str(doc)
        def op(_):
            assert str(doc) == expected
        under_limits(op)
        assert str(doc) == expected
    """,
    "free_document": """
        text = "select a from t;\\n" * 300_000
        def op(doc):
            del doc[0]
        under_limits(op, before=lambda: [parse_trelm(text)])
    """,
    "render_literal": """
        big = [[i, {"k": [i]}] for i in range(100_000)]
        def op(_):
            render_literal(big)
        under_limits(op)
    """,
    "config_value": """
        doc = parse_trelm("{{ config(style='table') }}\\nselect 1 from t\\n")
        before = str(doc)
        big = [[i, {"k": [i]}] for i in range(100_000)]
        def op(_):
            doc.config["tags"] = big
            assert doc.config["tags"] == big
        under_limits(op)
        assert parse_trelm(str(doc)).config["tags"] == big
        del doc.config["tags"]
        assert str(doc) == before
    """,
}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limits as Linux sets them")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the address sanitizer needs address space of its own beyond any limit these cases set",
)
@pytest.mark.parametrize("name", sorted(MEMORY_PRESSURE_CASES))
def test_memory_pressure_raises_memory_error_never_aborts(run_isolated, name):
    import textwrap

    proc = run_isolated(MEMORY_PRESSURE_PRELUDE + textwrap.dedent(MEMORY_PRESSURE_CASES[name]), timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    raised = int(proc.stdout.split()[-1])
    if name == "free_document":
        assert raised == 0, "freeing a document needed memory"
    else:
        assert raised > 0, "no attempt ran out of memory: the limits never bit"


def test_check_of_deep_nesting_neither_recurses_nor_stalls(run_isolated, tmp_path):
    """`check --project` over files nested hundreds of thousands deep: no
    native or Python stack is spent per level, and only the open blocks are
    reported."""
    (tmp_path / "parens.sql").write_text("select " + "(" * 300_000 + "{{ ref('b') }}" + ")" * 300_000)
    (tmp_path / "b.sql").write_text("{% for x in y %}(" * 100_000 + "select 1" + "){% endfor %}" * 100_000)
    (tmp_path / "open.sql").write_text("{% if x %}[" * 10_000)
    proc = run_isolated(
        f"""
        import sys
        from trelm_cst.cli import main
        sys.exit(main(["check", "--project", "--format", "json", {str(tmp_path)!r}]))
        """,
        timeout=300,
    )
    assert proc.returncode == 1, proc.stderr[-2000:]
    codes = [line.split('"code": "')[1].split('"')[0] for line in proc.stdout.splitlines()]
    assert sorted(set(codes)) == ["unbalanced-bracket", "unclosed-block"], proc.stdout[-2000:]
    assert len(codes) == 20_000
