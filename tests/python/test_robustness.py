"""Inputs that must neither crash the process nor hang it. Each runs in a
fresh interpreter so that a native crash shows up as a failed test."""

import pytest

DEEP_CASES = {
    "parens_closed": "'(' * 1_000_000 + ')' * 1_000_000",
    "parens_open": "'(' * 1_000_000",
    "brackets_closed": "'[' * 1_000_000 + ']' * 1_000_000",
    "brackets_open": "'[' * 1_000_000",
    "if_blocks": "'{% if x %}' * 100_000 + 'select a' + '{% endif %}' * 100_000",
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
