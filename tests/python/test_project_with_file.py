"""A project updated file by file (Project.with_file) equals the project built
anew from the same records, after each of a random run of changes to real
repositories: every attribute, every list in order, every graph answer."""

import dataclasses
import pathlib
import random

import pytest

from trelm_cst import Project
from trelm_cst._files import Problem
from trelm_cst._project import Ref, read_files
from trelm_cst.cli import project_findings

SHARED = pathlib.Path(__file__).resolve().parents[2].parent / "shared"
FOLDERS = [SHARED / "projects" / "tuva", SHARED / "projects" / "teamster", SHARED / "corpus"]
ATTRIBUTES = (
    "files models seeds snapshots edges sources declared_sources missing_refs missing_sources"
    " ambiguous_refs duplicate_names cycles unresolved problems"
).split()


def answers(project):
    """Everything a caller can read from a project, the graph's orders included."""
    found = {name: in_order(getattr(project, name)) for name in ATTRIBUTES}
    found.update(
        # What resolves refs and answers model() and defined_by(), in order too.
        defined=[(key, list(names.items())) for key, names in project._defined.items()],
        definers=in_order(project._definers),
        by_id=in_order(project._by_id),
        cycle_refs=project.cycle_refs(),
        unused=project.unused(),
        nodes=project.nodes(),
        links=project.links(),
        # What upstream(), downstream(), around() and the editor's navigation walk.
        read_by={node: readers for node, readers in project._read_by.items() if readers},
        resolved=project._resolved,
        tested=project._tested,
    )
    return found


def in_order(value):
    return list(value.items()) if isinstance(value, dict) else value


def by_path(findings):
    found = {}
    for finding in findings:
        found.setdefault(finding.path, []).append(finding)
    return found


def ref_to(ref, name):
    return dataclasses.replace(ref, model=name, package=None, text=f"ref('{name}')" if name else "ref(name)")


def changed(record, refs=None, sources=None, path=None):
    """A new record of the file (of `path` when given), as a new parse gives: new objects throughout."""
    path = path or record.path
    refs = record.refs if refs is None else refs
    sources = record.sources if sources is None else sources
    return dataclasses.replace(
        record,
        path=path,
        name=pathlib.Path(path).stem,
        refs=[dataclasses.replace(r, path=path) for r in refs],
        sources=[dataclasses.replace(r, path=path) for r in sources],
    )


def steps(now, rng):
    """(what, path, new record or None, whether it updates in place) for a
    random run of changes, each to `now()`, the project as it is then."""
    names = sorted({model.name for model in now().models.values()})
    records = [r for r in now()._records_by_path().values() if r.refs and r.error is None]
    # Files a random pick may miss: snapshot blocks, a name defined twice.
    twice = {path for paths in now().duplicate_names.values() for path in paths}
    picks = [r for r in records if r.snapshot_blocks][:1] + [r for r in records if r.path in twice][:1]
    for index in range(4):
        record = now()._records_by_path()[(picks[index].path if index < len(picks) else rng.choice(records).path)]
        at = rng.randrange(len(record.refs))
        refs = list(record.refs)
        kind = ["another model", "a missing name", "a dynamic call", "no ref"][index % 4]
        if kind == "no ref":
            del refs[at]
        else:
            name = {"another model": rng.choice(names), "a missing name": "gone", "a dynamic call": None}[kind]
            refs[at] = ref_to(refs[at], name)
        yield kind, record.path, changed(record, refs=refs), True
    record = rng.choice([r for r in now()._records_by_path().values() if r.refs and r.error is None])
    table = rng.choice([*now().declared_sources, ("raw", "x")])
    source = Ref("source", record.path, 1, 1, "source(...)", source=table)
    yield "a source added", record.path, changed(record, sources=[*record.sources, source]), True
    # A model made to read one of its readers, then not any more.
    models = now().models
    reader, read = next(
        (a, b) for a, b in now().edges if a != b and a in models and b in models and models[a].project == models[b].project
    )
    target = models[read]
    closing = ref_to(Ref("ref", target.path, 1, 1, ""), models[reader].name)
    yield "a cycle made", target.path, changed(target, refs=[*target.refs, closing]), True
    target = now()._records_by_path()[target.path]
    yield "a cycle broken", target.path, changed(target, refs=target.refs[:-1]), True
    readers = [r for r in now()._readers if r.error is None]
    if readers:
        yield "a reader deleted", rng.choice(readers).path, None, True
        added = str(pathlib.Path(readers[0].path).with_name("added_reader.sql"))
        yield "a reader added", added, changed(readers[0], refs=readers[0].refs[:1], path=added), True
    for record in now()._disabled[:1]:
        extra = ref_to(Ref("ref", record.path, 1, 1, ""), "gone")
        yield "a ref in a disabled model", record.path, changed(record, refs=[*record.refs, extra]), True
    model = rng.choice(now().files)
    for message in ("broken", None):  # fails, parses again
        broken = dataclasses.replace(changed(model, refs=[], sources=[]), error=Problem(model.path, message, 1, 1))
        record = changed(model) if message is None else broken
        yield f"a model that does not parse ({message})", model.path, record, True
    # What files define changes: every file naming a model created or gone is resolved again.
    model = max(now().files, key=lambda m: len(now()._read_by.get(("model", now().id_of(m)), [])))
    off = changed(model)
    off.config = {**model.config, "enabled": False}
    yield "a model switched off", model.path, off, True
    yield "a model switched on", model.path, changed(model), True
    twice = str(pathlib.Path(model.path).parent / "again" / pathlib.Path(model.path).name)
    yield "a name defined twice", twice, changed(model, refs=model.refs[:1], path=twice), True
    assert now().duplicate_names[now().id_of(model)] == [model.path, twice]
    yield "the first definition switched off", model.path, changed(off), True
    yield "a name no longer defined", twice, None, True
    yield "a model switched off deleted", model.path, None, True
    added = str(pathlib.Path(model.path).with_name("added_model.sql"))
    yield "a model added (renamed)", added, changed(model, path=added), True
    # A ref to a model of another project, then a third project defining that name too.
    first = {}
    for m in now().files:
        first.setdefault(m.project, m)
    if len(first) >= 3:
        (p, named), (q, other), (r, reader) = sorted(first.items(), key=lambda item: -len(item[1].refs))[:3]
        path = str(pathlib.Path(reader.path).with_name("reads_another.sql"))
        reads = changed(reader, refs=[ref_to(reader.refs[0], named.name)], path=path)
        yield "a ref to another project", path, reads, True
        again = str(pathlib.Path(other.path).with_name(named.name + ".sql"))
        yield "a name that makes a ref ambiguous", again, changed(other, refs=[], path=again), True
        assert [ref.path for ref, _ in now().ambiguous_refs if ref.model == named.name] == [path]
    # A model of a name a YAML entry of its project declares (a seed, a snapshot): built anew.
    for item in [item for item in now().layout.declared if item.kind != "source"][:1]:
        home = next(m for m in now().files if m.project == item.project)
        path = str(pathlib.Path(home.path).with_name(item.name + ".sql"))
        yield "a model named as a YAML entry", path, changed(home, path=path), False
        yield "a model named as a YAML entry deleted", path, None, False
    for record in [r for r in now()._records_by_path().values() if r.snapshot_blocks][:1]:  # built anew
        renamed = changed(record)
        renamed.snapshot_blocks = [("renamed", *lines) for _, *lines in record.snapshot_blocks]
        yield "a snapshot block renamed", record.path, renamed, False


@pytest.mark.parametrize("folder", FOLDERS, ids=lambda folder: folder.parent.name + "/" + folder.name)
def test_updated_project_equals_a_full_build(folder):
    if not folder.is_dir():
        pytest.skip(f"{folder} not present")
    if folder.name == "corpus":  # a slice of it, as files of one project, no folders
        project = Project(read_files(sorted(map(str, folder.rglob("*.sql")))[:500], 2))
    else:
        loaded = Project.load(folder, jobs=2)
        project = Project(loaded._given, loaded.layout, loaded.external)
    rng = random.Random(folder.name)
    findings = by_path(project_findings(project))
    for what, path, record, in_place in steps(lambda: project, rng):
        updated = project._updated(path, record)
        assert (updated is not None) == in_place, what
        if updated is not None:
            # The editor's findings: worked out again in the files the update says it touched.
            base, touched = updated._based_on
            assert base() is project
            findings = {path: found for path, found in findings.items() if path not in touched}
            findings.update(by_path(project_findings(updated, touched)))
        project = updated if updated is not None else project.with_file(path, record)
        full = Project(list(project._records_by_path().values()), project.layout, project.external)
        mine, theirs = answers(project), answers(full)
        assert [name for name in mine if mine[name] != theirs[name]] == [], what
        if updated is None:
            findings = by_path(project_findings(project))
        assert findings == by_path(project_findings(full)), what


def test_the_project_it_came_from_is_left_as_it_was(tmp_path):
    (tmp_path / "a.sql").write_text("select 1")
    (tmp_path / "b.sql").write_text("select * from {{ ref('a') }}")
    project = Project.load(tmp_path)
    record = project.models["b"]
    updated = project.with_file(record.path, changed(record, refs=[ref_to(record.refs[0], "nothing")]))
    assert (project.edges, project.missing_refs, project.unused()) == ([("b", "a")], [], ["b"])
    assert (updated.edges, [r.model for r in updated.missing_refs], updated.unused()) == (
        [("b", "nothing")],
        ["nothing"],
        ["a", "b"],
    )


def test_a_cycle_broken_before_anyone_asked_for_cycles_touches_the_file_that_held_it(tmp_path):
    # Cycles are found when first asked: an update must still tell the cycle it breaks from the old project's.
    for name, read in ("a", "b"), ("b", "c"), ("c", "a"):
        (tmp_path / f"{name}.sql").write_text(f"select * from {{{{ ref('{read}') }}}}")
    project = Project.load(tmp_path)
    record = project.models["b"]
    updated = project.with_file(record.path, changed(record, refs=[]))
    # a.sql holds the ref the cycle finding stood at; nothing else about it changed.
    assert project.models["a"].path in updated._based_on[1]
    assert (project.cycles, updated.cycles) == ([["a", "b", "c"]], [])


def test_an_edit_in_the_workspace_updates_its_project_in_place(tmp_path):
    pytest.importorskip("pygls", reason="the lsp extra is not installed")
    from trelm_cst._lsp.workspace import Workspace

    (tmp_path / "a.sql").write_text("select 1")
    (tmp_path / "b.sql").write_text("select * from {{ ref('a') }}")
    index = Workspace([str(tmp_path)])
    index.load()
    before = index.project
    assert index.changed(index.uri_of(tmp_path / "b.sql"), "select * from {{ ref('nothing') }}")
    assert index.project_built and index.project._based_on[0]() is before
    assert [ref.model for ref in index.project.missing_refs] == ["nothing"]
    # A file that defines the name missing: in place too, the ref that named it resolved.
    assert index.opened(index.uri_of(tmp_path / "nothing.sql"), "select 2")
    assert index.project_built and (index.project.missing_refs, index.project.edges) == ([], [("b", "nothing")])
