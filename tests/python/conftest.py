import signal
import subprocess
import sys
import textwrap

import pytest


def pytest_configure(config):
    # A test run started in the background (`cmd &` in a script) inherits an
    # ignored SIGINT, which the command line rightly leaves ignored; the tests
    # of Ctrl-C would then pass without ever seeing one. Handling it here also
    # gives the processes the tests start the default action back.
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


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
def summary(request):
    """Adds a line to the end of the test run's report, whatever the
    verbosity: figures a test measured, such as agreement counts. The line
    travels with the test's report, so tests run in worker processes
    (pytest -n) report theirs too."""

    def add(line: str) -> None:
        request.node.user_properties.append(("summary", line))

    return add


def pytest_runtest_logreport(report):
    # The teardown report carries every line the test added.
    if report.when == "teardown":
        _SUMMARY_LINES.extend(value for key, value in report.user_properties if key == "summary")


def pytest_terminal_summary(terminalreporter):
    for line in _SUMMARY_LINES:
        terminalreporter.write_line(line)
