"""Diagnostics of a file as `check --project` gives them: the file's own
findings (its suppression comments applied) and the project's findings at
its places (`missing-ref`, `duplicate-name`, `cycle` ...), each silenced by
the file's comments and chosen by the settings as `check` does."""

from __future__ import annotations

import dataclasses
import re
import threading
from collections import defaultdict

from lsprotocol.types import Diagnostic, DiagnosticSeverity

from trelm_cst._lsp.positions import TextPositions
from trelm_cst._lsp.workspace import Workspace
from trelm_cst._project import Project
from trelm_cst._suppress import silenced
from trelm_cst.cli import Finding, project_findings

SOURCE = "trelm-cst"
SEVERITIES = {
    "error": DiagnosticSeverity.Error,
    "warning": DiagnosticSeverity.Warning,
    "info": DiagnosticSeverity.Information,
}
# What a finding without an end underlines: the call at its place (a ref), else the word.
EXTENT = re.compile(r"[A-Za-z_]\w*\s*\((?:[^()]|\([^()]*\))*\)|\w+|\S")


class ProjectFindings:
    """The project's findings by path, worked out once per project: for a
    project updated from the last one (`Project.with_file`), in the files
    the update touched only, the other files' lists kept as they were."""

    def __init__(self) -> None:
        self.generation = -1
        self.project: Project | None = None
        self.by_path: dict[str, list[Finding]] = {}
        self._lock = threading.Lock()

    def of(self, workspace: Workspace, path: str) -> list[Finding]:
        return self.all(workspace).get(path, [])

    def all(self, workspace: Workspace) -> dict[str, list[Finding]]:
        project, generation = workspace.project_and_generation()
        with self._lock:
            return self._of_project(project, generation)

    def _of_project(self, project: Project, generation: int) -> dict[str, list[Finding]]:
        if generation != self.generation:
            based_on = project._based_on
            if based_on is not None and self.project is not None and based_on[0]() is self.project:
                paths = based_on[1]
                by_path = dict(self.by_path)
                for path in paths:
                    by_path.pop(path, None)
                for finding in project_findings(project, paths):
                    by_path.setdefault(finding.path, []).append(finding)
            else:
                grouped: dict[str, list[Finding]] = defaultdict(list)
                for finding in project_findings(project):
                    grouped[finding.path].append(finding)
                by_path = dict(grouped)
            self.by_path, self.project, self.generation = by_path, project, generation
        return self.by_path


def file_findings(
    workspace: Workspace, path: str, findings: ProjectFindings, with_project: bool, own: bool = True
) -> list[Finding]:
    """What `check --project` reports in the file, as its text is now: its
    own findings (with `own`) and the project's errors and warnings (with `with_project`)."""
    parsed = workspace.parsed_at(path)
    if parsed is None:
        return []
    settings = workspace.settings
    found = list(parsed.findings) if own else []
    if with_project:
        for finding in findings.of(workspace, path):
            if finding.severity == "info":
                continue  # information, such as a model nothing reads: `check` shows it with --verbose only
            line, column = workspace.moved_place(path, finding.line, finding.column)
            if (line, column) != (finding.line, finding.column):
                finding = dataclasses.replace(finding, line=line, column=column)
            if not silenced(parsed.suppressions, finding.line, finding.code):
                found.append(finding)
    return [finding for finding in found if settings.reports(path, finding.code)]


def diagnostic(finding: Finding, positions: TextPositions) -> Diagnostic:
    if finding.span is not None:
        start, end = finding.span
    else:
        start = offset_of(positions, finding.line or 1, finding.column or 1)
        match = EXTENT.match(positions.text, start)
        end = match.end() if match is not None and positions.line_of(match.end()) == positions.line_of(start) else start
    return Diagnostic(
        range=positions.range(start, end),
        message=finding.message,
        severity=SEVERITIES.get(finding.severity, DiagnosticSeverity.Error),
        code=finding.code,
        source=SOURCE,
    )


def offset_of(positions: TextPositions, line: int, column: int) -> int:
    """The index of a 1-based line and column counted in characters."""
    if line - 1 >= len(positions.starts):
        return len(positions.text)
    start = positions.starts[line - 1]
    return min(start + column - 1, positions.ends[line - 1])


def diagnostics_of(
    workspace: Workspace, path: str, findings: ProjectFindings, with_project: bool, own: bool = True
) -> list[Diagnostic]:
    positions = workspace.positions_at(path)
    return [diagnostic(f, positions) for f in file_findings(workspace, path, findings, with_project, own)]
