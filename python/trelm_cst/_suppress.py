"""Findings silenced in the file itself: a Jinja comment

    {# trelm-cst: ignore[missing-ref] #}      one code, or several separated by commas
    {# trelm-cst: ignore #}                   every code

silences what is found on its own line or, when the comment stands on
lines of its own, on the line after it. A Jinja comment renders to nothing,
so the SQL stays as it is."""

from __future__ import annotations

import re
from dataclasses import dataclass, field

from trelm_cst._native import Document

MARKER = "trelm-cst:"
# The comment's body, whitespace control signs and all.
DIRECTIVE = re.compile(r"\{#[-+]?\s*trelm-cst:\s*(.*?)\s*[-+]?#\}$", re.DOTALL)
IGNORE = re.compile(r"ignore(?:\[([^\[\]]*)\])?\Z")
CODE = re.compile(r"[a-z][a-z0-9-]*\Z")


@dataclass
class Suppression:
    """One suppression comment: where it is, the lines it covers and the
    codes it silences (None: all), and which of them silenced something."""

    line: int
    column: int
    first: int  # the lines covered, both included
    last: int
    codes: tuple[str, ...] | None
    used: set[str] = field(default_factory=set)

    def silences(self, line: int, code: str) -> bool:
        return self.first <= line <= self.last and (self.codes is None or code in self.codes)

    def unused_codes(self) -> list[str] | None:
        """The codes that silenced nothing; None when the comment names none and silenced nothing."""
        if self.codes is None:
            return None if not self.used else []
        return [code for code in self.codes if code not in self.used]


@dataclass(frozen=True)
class Malformed:
    """A comment that starts as a suppression but does not read as one."""

    line: int
    column: int
    message: str


def read_suppressions(doc: Document, text: str) -> tuple[list[Suppression], list[Malformed]]:
    """The suppression comments of a parsed file whose text is `text`."""
    if MARKER not in text:  # the common case, without a look at every token
        return [], []
    found: list[Suppression] = []
    malformed: list[Malformed] = []
    for start, end in doc.template_comments():
        directive = DIRECTIVE.match(text, start, end)
        if directive is None:
            continue  # not the comment's first word: prose that mentions the marker
        line, column = doc.location(start)
        codes = codes_of(directive.group(1))
        if isinstance(codes, str):
            malformed.append(Malformed(line, column, codes))
            continue
        last = doc.location(end)[0]
        if stands_alone(text, start, end):
            last += 1
        found.append(Suppression(line, column, line, last, codes))
    return found, malformed


def codes_of(body: str) -> tuple[str, ...] | None | str:
    """The codes of `ignore[...]`, None for a bare `ignore`, or why the body is no suppression."""
    match = IGNORE.match(body)
    if match is None:
        return f"cannot read suppression {body!r}: expected `ignore` or `ignore[CODE, ...]`"
    if match.group(1) is None:
        return None
    codes = tuple(code.strip() for code in match.group(1).split(","))
    bad = [code for code in codes if not CODE.match(code)]
    if bad:
        return f"cannot read suppression {body!r}: {bad[0]!r} is no diagnostic code"
    return codes


def stands_alone(text: str, start: int, end: int) -> bool:
    """Nothing but whitespace shares the comment's lines."""
    line_start = text.rfind("\n", 0, start) + 1
    line_end = text.find("\n", end)
    return not text[line_start:start].strip() and not text[end : len(text) if line_end < 0 else line_end].strip()


def silenced(suppressions: list[Suppression], line: int | None, code: str) -> bool:
    """Whether a finding (at `line`, or about the whole file when None) is
    silenced; every suppression that silences it counts as used."""
    at = 1 if line is None else line
    hit = False
    for suppression in suppressions:
        if suppression.silences(at, code):
            suppression.used.add(code)
            hit = True
    return hit
