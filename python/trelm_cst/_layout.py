"""How a repository lays out its projects: the project folders below a root
(each a folder that holds a `models` folder), the part of a project folder a
file is in, the seeds its CSV files define and what its YAML property files
declare (sources, seeds, snapshots, models' columns).

A root with no project folder below it has one nameless project whose every
`.sql` file is a model, so that a folder of model files alone reads as before.
"""

from __future__ import annotations

import functools
import importlib
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from trelm_cst._files import FolderVisit, Problem, read_model, walk_models
from trelm_cst._ignore import Ignores
from trelm_cst._settings import Settings, anchored_excludes

MODELS, SEEDS, SNAPSHOTS = "models", "seeds", "snapshots"
# Folders of a project folder that hold what is no model; nothing below them is a project folder.
PARTS = frozenset({MODELS, SEEDS, SNAPSHOTS, "macros", "tests", "analyses"})
# Folders of a project folder by name, each to the part it is; settings may
# name the models, seeds and snapshots folders otherwise.
DEFAULT_PARTS = {name: name for name in PARTS}
# Parts whose files read models without defining anything.
READER_PARTS = frozenset({"tests", "analyses"})
YAML_SUFFIXES = (".yml", ".yaml")
DATA_SUFFIXES = (".csv", *YAML_SUFFIXES)
UNKNOWN: Any = object()


@dataclass(frozen=True)
class Place:
    """Where a file lies: its project's name and the part of the project
    folder it is in (`models`, `snapshots`, `tests`, ...; "" for elsewhere)."""

    project: str
    part: str


@dataclass(frozen=True)
class Declared:
    """A name a YAML property file declares, and where."""

    kind: str  # "source", "seed", "snapshot"
    project: str
    name: str  # for a source, the source's name
    path: str
    line: int
    column: int
    table: str = ""  # for a source, the table's name (either may hold a dot)


@dataclass
class Properties:
    """What one YAML property file declares: plain values, so that a worker
    process can read the file and hand them back."""

    path: str
    problems: list[Problem] = field(default_factory=list)
    declared: list[Declared] = field(default_factory=list)
    # ((project, model), its documented columns), in the file's order
    columns: list[tuple[tuple[str, str], dict[str, str]]] = field(default_factory=list)


@dataclass
class Layout:
    """`folders`: each project folder (absolute) to its project's name;
    `seeds`: (project, name, path) of each seed file; `declared`: what the
    YAML files declare; `columns`: (project, model) to its documented columns
    (name to description); `property_files`: the YAML files read;
    `problems`: YAML files that do not load; `parts`: the folders of a
    project folder by name, each to the part it is."""

    folders: dict[str, str] = field(default_factory=dict)
    seeds: list[tuple[str, str, str]] = field(default_factory=list)
    declared: list[Declared] = field(default_factory=list)
    columns: dict[tuple[str, str], dict[str, str]] = field(default_factory=dict)
    property_files: list[str] = field(default_factory=list)
    problems: list[Problem] = field(default_factory=list)
    parts: dict[str, str] = field(default_factory=lambda: dict(DEFAULT_PARTS))
    unread: list[tuple[str, str]] = field(default_factory=list)

    @property
    def flat(self) -> bool:
        """No project folder: every model file counts, in one nameless project."""
        return not self.folders

    def place(self, path: str) -> Place | None:
        """The place of a file; None for a file outside every project folder."""
        if self.flat:
            return Place("", MODELS)
        file = folder = os.path.abspath(path)
        while True:
            parent = os.path.dirname(folder)
            if parent == folder:
                return None
            name = self.folders.get(parent)
            if name is not None:
                return Place(name, "" if folder == file else self.parts.get(os.path.basename(folder), ""))
            folder = parent

    def places(self, paths: Iterable[str]) -> list[Place | None]:
        """The place of each path; the files of one folder share theirs, so
        each folder is looked up once."""
        if self.flat:
            return [Place("", MODELS) for _ in paths]
        known: dict[str, Place | None] = {}  # by the folder as the path names it
        below: dict[str, Place | None] = {}  # by absolute folder: the place of what lies in it
        found = []
        for path in paths:
            folder, _, name = path.rpartition(os.sep)
            if name in ("", ".", ".."):  # the path ends in a folder of its own
                found.append(self.place(path))
                continue
            place = known.get(folder, UNKNOWN)
            if place is UNKNOWN:
                holder = os.path.dirname(os.path.abspath(path))
                project = self.folders.get(holder)
                place = known[folder] = Place(project, "") if project is not None else self.inside(holder, below)
            found.append(place)
        return found

    def inside(self, folder: str, known: dict[str, Place | None]) -> Place | None:
        """The place of what lies in an absolute folder that is no project
        folder: the part of the nearest project folder above it that holds
        it. `known` keeps the answers for the folders gone through, which
        the other files of a tree share."""
        passed = []
        while True:
            place: Place | None = known.get(folder, UNKNOWN)
            if place is not UNKNOWN:
                break
            passed.append(folder)
            parent = os.path.dirname(folder)
            if parent == folder:
                place = None
                break
            project = self.folders.get(parent)
            if project is not None:
                place = Place(project, self.parts.get(os.path.basename(folder), ""))
                break
            folder = parent
        for folder in passed:
            known[folder] = place
        return place

    @classmethod
    def find(
        cls,
        paths: Iterable[str],
        excludes: Sequence[str] = (),
        settings: Settings | None = None,
        read_yaml: bool = True,
    ) -> Layout:
        """The project folders below the folders named (what the search for
        model files leaves out left out here too, the settings' `exclude`
        included), their seeds and YAML files. Without `read_yaml` the YAML
        files are left in `unread` as (path, project), for the caller to
        read with properties_of, on other processors say, and add in order."""
        search = LayoutSearch(settings)
        for path in paths:
            if os.path.isdir(path):
                ignores = Ignores(path, excludes, anchored_excludes(search.settings))
                walk_models(path, lambda _: None, ignores, search.visitor(path, ignores))
        return search.layout(read_yaml)

    def add(self, properties: Properties) -> None:
        """What one YAML property file declares; files are added in the order found."""
        self.property_files.append(properties.path)
        self.problems += properties.problems
        self.declared += properties.declared
        for key, columns in properties.columns:
            self.columns.setdefault(key, {}).update(columns)


def parts_of(settings: Settings) -> dict[str, str]:
    """The folders of a project folder by name, each to its part."""
    parts = {name: name for name in PARTS - {MODELS, SEEDS, SNAPSHOTS}}
    for part, names in ((MODELS, settings.model_folders), (SEEDS, settings.seed_folders),
                        (SNAPSHOTS, settings.snapshot_folders)):  # fmt: skip
        parts.update(dict.fromkeys(names, part))
    return parts


class LayoutSearch:
    """A search for the layout below folders, told of each folder as the
    search for model files walks it, so that a tree is walked once."""

    def __init__(self, settings: Settings | None = None) -> None:
        self.settings = settings if settings is not None else Settings()
        self.found = Layout(parts=parts_of(self.settings))
        self.data_files: list[str] = []  # CSV and YAML files, in the order met
        self.roots: dict[str, str] = {}  # each project folder to the folder searched

    def visitor(self, root: str, ignores: Ignores) -> FolderVisit:
        """What records, from the walk of `root`, its project folders (each
        holding a folder of models, named as in the settings) and their CSV
        and YAML files."""
        folders, parts = self.found.folders, self.found.parts
        part_folders: set[str] = set()  # the parts of the project folders found
        inside: set[str] = set()  # folders at or below a part, in which no project folder is looked for

        def visit(top: str, below: str, subfolders: list[str], names: list[str]) -> None:
            absolute = os.path.abspath(top)
            # The walk comes to a folder after the one above it.
            if absolute in part_folders or os.path.dirname(absolute) in inside:
                inside.add(absolute)
            elif any(parts.get(name) == MODELS for name in subfolders):
                folders[absolute] = os.path.basename(absolute) or absolute
                self.roots.setdefault(absolute, root)
                part_folders.update(os.path.join(absolute, name) for name in subfolders if name in parts)
            for name in names:
                if name.endswith(DATA_SUFFIXES) and not ignores.skips_file(below + name):
                    self.data_files.append(os.path.join(top, name))

        return visit

    def layout(self, read_yaml: bool = True) -> Layout:
        """The layout of what the walks met: seeds, and the YAML files read
        (or, without `read_yaml`, left in `unread`)."""
        layout = self.found
        names = sorted(layout.folders.values())
        # Two project folders of one name are told apart by their paths below the folder searched.
        clashes = {name for name in names if names.count(name) > 1}
        for folder, name in list(layout.folders.items()):
            if name in clashes:
                root = os.path.abspath(self.roots[folder])
                layout.folders[folder] = os.path.relpath(folder, root).replace(os.sep, "/")
        for path, place in zip(self.data_files, layout.places(self.data_files)):
            if place is None:
                continue
            if path.endswith(".csv"):
                if place.part == SEEDS:
                    layout.seeds.append((place.project, os.path.basename(path)[:-4], path))
            elif place.part in (MODELS, SEEDS, SNAPSHOTS):
                if read_yaml:
                    layout.add(properties_of(path, place.project))
                else:
                    layout.unread.append((path, place.project))
        return layout


@functools.cache
def yaml_module() -> Any:
    """PyYAML, imported when a property file is first read (not every run has one)."""
    return importlib.import_module("yaml")


@functools.cache
def names_loader() -> Any:
    """PyYAML's loader (libyaml's where it is installed) composing nodes
    without resolving the tags of plain scalars: only names are read, never
    typed values, and resolving took over a quarter of the time of a property file."""
    yaml = yaml_module()

    class NamesLoader(getattr(yaml, "CSafeLoader", yaml.SafeLoader)):  # type: ignore[misc]
        def resolve(self, kind: Any, value: Any, implicit: Any) -> str:
            return ""

        def descend_resolver(self, current_node: Any, current_index: Any) -> None:
            pass

        def ascend_resolver(self) -> None:
            pass

    return NamesLoader


def properties_of(path: str, project: str) -> Properties:
    """What one YAML property file declares; a file that does not load is a
    problem at its line."""
    yaml = yaml_module()
    found = Properties(path)
    read = read_model(path)  # regular files only, strict UTF-8, as for model files
    if isinstance(read, Problem):
        found.problems.append(read)
        return found
    try:
        root = yaml.compose(read.text, Loader=names_loader())
    except RecursionError:  # the pure-Python loader, without libyaml's nesting limit
        found.problems.append(Problem(path, "YAML does not load: nested too deeply", code="yaml-syntax"))
        return found
    except yaml.YAMLError as e:
        mark = getattr(e, "problem_mark", None) or getattr(e, "context_mark", None)
        line, column = (mark.line + 1, mark.column + 1) if mark is not None else (None, None)
        problem = getattr(e, "problem", None) or str(e)
        found.problems.append(Problem(path, f"YAML does not load: {problem}", line, column, "yaml-syntax"))
        return found
    top = mapping(root)
    for source in entries(top.get("sources")):
        source_name = scalar(value_of(source, "name"))
        for table in entries(value_of(source, "tables")):
            table_name = scalar(value_of(table, "name"))
            if source_name is not None and table_name is not None:
                declare(found, "source", project, source_name, path, table, table_name)
    for kind, key in (("seed", "seeds"), ("snapshot", "snapshots")):
        for entry in entries(top.get(key)):
            name = scalar(value_of(entry, "name"))
            if name is not None:
                declare(found, kind, project, name, path, entry)
    for entry in entries(top.get("models")):
        name = scalar(value_of(entry, "name"))
        columns = {
            column: scalar(value_of(item, "description")) or ""
            for item in entries(value_of(entry, "columns"))
            for column in [scalar(value_of(item, "name"))]
            if column is not None
        }
        if name is not None and columns:
            found.columns.append(((project, name), columns))
    return found


def declare(found: Properties, kind: str, project: str, name: str, path: str, node: Any, table: str = "") -> None:
    mark = node.start_mark
    found.declared.append(Declared(kind, project, name, path, mark.line + 1, mark.column + 1, table))


# A composed YAML document is read as nodes (which keep their positions), not
# as Python values: only names are wanted, and only where they are expected.


def mapping(node: Any) -> dict[str, Any]:
    yaml = yaml_module()
    if not isinstance(node, yaml.MappingNode):
        return {}
    return {key.value: value for key, value in node.value if isinstance(key, yaml.ScalarNode)}


def value_of(node: Any, key: str) -> Any:
    """mapping(node).get(key), without a dict of every key: the last entry of
    that key, as in a dict built from them."""
    yaml = yaml_module()
    if isinstance(node, yaml.MappingNode):
        for name, value in reversed(node.value):
            if isinstance(name, yaml.ScalarNode) and name.value == key:
                return value
    return None


def entries(node: Any) -> list[Any]:
    return list(node.value) if isinstance(node, yaml_module().SequenceNode) else []


def scalar(node: Any) -> str | None:
    return node.value if isinstance(node, yaml_module().ScalarNode) and node.value != "" else None

