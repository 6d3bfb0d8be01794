import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_isolated():
    """Runs Python code in a fresh interpreter, so that a native crash fails
    the test instead of killing the test run. Returns the completed process."""

    def run(code: str, timeout: float = 120):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run


_SUMMARY_LINES: list[str] = []


@pytest.fixture
def summary():
    """Adds a line to the end of the test run's report, whatever the
    verbosity: figures a test measured, such as agreement counts."""
    return _SUMMARY_LINES.append


def pytest_terminal_summary(terminalreporter):
    for line in _SUMMARY_LINES:
        terminalreporter.write_line(line)
