"""Projects: small folders written here with hand-computed graphs, the command
line's graph and check --project, and every project of the shared corpus."""

import json
import os
import pathlib
import re
import shutil

import pytest
import yaml

from file_tree import write
from trelm_cst import Model, Project, cli

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"

DIAMOND = {
    "base.sql": "select 1 as id from {{ source('raw', 'ids') }}",
    "left.sql": "select * from {{ ref('base') }}",
    "right.sql": "select * from {{ ref( \"base\" ) }}",
    "top.sql": "select * from {{ ref('left') }} join {{ ref('right') }} using (id)",
}



def load(tmp_path, files, **options):
    return Project.load(write(tmp_path, files), **options)


def test_diamond(tmp_path):
    project = load(tmp_path, DIAMOND)
    assert sorted(project.models) == ["base", "left", "right", "top"]
    assert project.edges == [("left", "base"), ("right", "base"), ("top", "left"), ("top", "right")]
    assert project.sources == {("raw", "ids"): ["base"]}
    assert project.upstream("top") == ["left", "right", "base"]
    assert project.upstream("top", depth=1) == ["left", "right"]
    assert project.downstream("base") == ["left", "right", "top"]
    assert project.downstream("top") == [] and project.upstream("base") == []
    assert (project.missing_refs, project.cycles, project.duplicate_names, project.unresolved) == ([], [], {}, [])
    assert project.unused() == ["top"]
    assert project.models["left"].path == str(tmp_path / "left.sql")
    assert str(project.models["base"].document()) == DIAMOND["base.sql"]
    with pytest.raises(KeyError):
        project.upstream("nothing")


@pytest.mark.parametrize(
    "files, cycles, first",
    [
        # a -> b -> c -> a, with d hanging off c: only the three are the cycle.
        (
            {
                "a.sql": "{{ ref('b') }}",
                "b.sql": "{{ ref('c') }}",
                "c.sql": "{{ ref('a') }} {{ ref('d') }}",
                "d.sql": "select 1",
            },
            [["a", "b", "c"]],
            [("a.sql", 1, 4)],
        ),
        (
            {"self.sql": "select 1\n  from {{ ref('self') }}", "other.sql": "{{ ref('self') }}"},
            [["self"]],
            [("self.sql", 2, 11)],
        ),
        # Two cycles, reported apart, each at the ref that first points within it.
        (
            {
                "a.sql": "{{ ref('b') }}",
                "b.sql": "{{ ref('a') }}",
                "x.sql": "{{ ref('a') }} {{ ref('y') }}",
                "y.sql": "{{ ref('x') }}",
            },
            [["a", "b"], ["x", "y"]],
            [("a.sql", 1, 4), ("x.sql", 1, 19)],
        ),
    ],
)
def test_cycles(tmp_path, files, cycles, first):
    project = load(tmp_path, files)
    assert project.cycles == cycles
    refs = [cycle.ref for cycle in project.cycle_refs()]
    assert [(os.path.basename(ref.path), ref.line, ref.column) for ref in refs] == first


def test_a_long_chain_has_no_cycle_and_no_recursion_limit():
    from trelm_cst._project import strongly_connected

    chain = {f"m{i}": [f"m{i + 1}"] for i in range(50_000)}
    chain["m50000"] = ["m0"]
    assert [len(group) for group in strongly_connected(chain)] == [50_001]
    del chain["m50000"]
    assert len(strongly_connected(chain)) == 50_001


def test_refs_packages_versions_branches_and_dynamic_refs(tmp_path):
    project = load(
        tmp_path,
        {
            "m.sql": (
                "select * from {{ ref('pkg', 'up') }}\n"
                "{% if is_backfill() %}join {{ ref('branch') }}{% endif %}\n"
                "join {{ ref('up', version=2) }} join {{ ref(\"up\", v='3') }}\n"
                "join {{ ref(var('name')) }} join {{ ref('a' ~ 'b') }} join {{ ref('a', 'b', 'c') }}\n"
                "{# {{ ref('commented') }} #} join {{ source(var('s'), 't') }}"
            ),
            "up.sql": "select 1",
        },
    )
    refs = project.models["m"].refs
    assert [(r.model, r.package, r.version) for r in refs if r.resolved] == [
        ("up", "pkg", None), ("branch", None, None), ("up", None, 2), ("up", None, "3")
    ]
    assert [(r.kind, r.line, r.column, r.text) for r in project.unresolved] == [
        ("ref", 4, 9, "ref(var('name'))"),
        ("ref", 4, 37, "ref('a' ~ 'b')"),
        ("ref", 4, 63, "ref('a', 'b', 'c')"),
        ("source", 5, 38, "source(var('s'), 't')"),
    ]
    assert project.edges == [("m", "branch"), ("m", "up")]
    assert [(r.model, r.line, r.column) for r in project.missing_refs] == [("branch", 2, 31)]
    assert project.sources == {}


def test_names_defined_twice_and_unreadable_files(tmp_path):
    project = load(
        tmp_path,
        {
            "a/dup.sql": "{{ ref('x') }}",
            "b/dup.sql": "{{ ref('y') }}",
            "bad.sql": "select {{ oops",
            "user.sql": "{{ ref('bad') }} {{ ref('dup') }}",
            "x.sql": "",
            "y.sql": "",
        },
    )
    a, b = str(tmp_path / "a" / "dup.sql"), str(tmp_path / "b" / "dup.sql")
    assert project.duplicate_names == {"dup": [a, b]}
    assert project.models["dup"].path == a
    # Both files' refs count: the name is one node of the graph.
    assert project.edges == [("dup", "x"), ("dup", "y"), ("user", "bad"), ("user", "dup")]
    # A file that does not parse still defines its model.
    assert project.missing_refs == []
    assert [(os.path.basename(p.path), p.code) for p in project.problems] == [("bad.sql", "jinja-syntax")]


# The search itself is the command line's, tested there; these rows show it is
# the one used, and that each path is a model, a link to a file included.
def test_load_follows_the_command_line_search(tmp_path):
    files = {"m/a.sql": "", "m/skip/b.sql": "", "m/.hidden/c.sql": "", "m/gone.sql": "", "m/folder/x": ""}
    write(tmp_path, {**files, ".git/HEAD": "", ".gitignore": "m/gone.sql\n"})
    for link, target in [("l.sql", "a.sql"), ("loop.sql", "loop.sql"), ("f.sql", "folder")]:
        os.symlink(target, tmp_path / "m" / link)
    for exclude in ["skip/", ["skip/"]]:
        project = Project.load(tmp_path / "m", exclude=exclude, jobs=2)
        assert sorted(project.models) == ["a", "l", "loop"]
        assert [(os.path.basename(p.path), p.message) for p in project.problems] == [("loop.sql", "symbolic link loop")]
    with pytest.raises(FileNotFoundError):
        Project.load(tmp_path / "nowhere")


@pytest.mark.parametrize("count, expected", [(1, "<Project with 1 model>"), (1211, "<Project with 1,211 models>")])
def test_repr_counts_the_models(count, expected):
    assert repr(Project([Model(f"m{i}", f"m{i}.sql") for i in range(count)])) == expected


def test_many_files_load_in_threads_in_order(tmp_path):
    files = {f"m{i:04}.sql": f"select * from {{{{ ref('m{i + 1:04}') }}}}" for i in range(300)}
    project = load(tmp_path, files, jobs=4)
    assert [m.name for m in project.files] == sorted(n[:-4] for n in files)
    assert len(project.edges) == 300 and [r.model for r in project.missing_refs] == ["m0300"]
    assert project.upstream("m0000", depth=3) == ["m0001", "m0002", "m0003"]


# ---------------------------------------------------------------- command line


def run(capsys, *argv):
    status = cli.main(list(argv))
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def test_graph_json_and_a_cut_around_one_model(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(write(tmp_path, {**DIAMOND, "top.sql": DIAMOND["top.sql"] + " {{ ref('gone') }}"}))
    status, out, _ = run(capsys, "graph", ".")
    graph = json.loads(out)
    assert status == 0
    assert {(n["name"], n["kind"], n["path"]) for n in graph["nodes"]} == {
        ("base", "model", "./base.sql"), ("left", "model", "./left.sql"), ("right", "model", "./right.sql"),
        ("top", "model", "./top.sql"), ("raw.ids", "source", None), ("gone", "missing", None),
    }
    assert len(graph["edges"]) == 6 and {"from": "raw.ids", "to": "base", "kind": "source"} in graph["edges"]

    def cut(*options):
        status, out, _ = run(capsys, "graph", ".", *options)
        assert status == 0
        graph = json.loads(out)
        return sorted(n["name"] for n in graph["nodes"]), sorted((e["from"], e["to"]) for e in graph["edges"])

    def names(*options):
        return cut(*options)[0]

    assert names("--select", "left") == ["base", "left", "raw.ids", "top"]
    assert cut("--select", "top", "--upstream", "--depth", "1") == (
        ["gone", "left", "right", "top"],
        [("gone", "top"), ("left", "top"), ("right", "top")],
    )
    assert names("--select", "base", "--downstream") == ["base", "left", "right", "top"]
    assert run(capsys, "graph", ".", "--select", "nope")[0] == 2
    with pytest.raises(SystemExit) as exit:
        cli.main(["graph", ".", "--depth", "1"])
    assert exit.value.code == 2


# Sources are cylinders, missing models parallelograms, in every drawing.
@pytest.mark.parametrize(
    "form, expected",
    [
        (
            "mermaid",
            'flowchart LR\n    n0["b"]\n    n1["we#quot;ird"]\n    n2[/"gone"/]\n    n3[("s.t")]\n    n1 --> n0\n'
            "    n2 --> n0\n    n3 --> n1\n    classDef missing stroke:#c00,stroke-dasharray:4\n    class n2 missing\n",
        ),
        (
            "dot",
            'digraph models {\n  rankdir=LR;\n  node [fontname="Helvetica"];\n  n0 [label="b", shape=box];\n'
            '  n1 [label="we\\"ird", shape=box];\n  n2 [label="gone", shape=parallelogram, style=dashed, color=red];\n'
            '  n3 [label="s.t", shape=cylinder];\n  n1 -> n0;\n  n2 -> n0;\n  n3 -> n1;\n}\n',
        ),
    ],
)
def test_graph_text_escapes_names_and_shapes_each_kind(tmp_path, capsys, monkeypatch, form, expected):
    files = {'we"ird.sql': "{{ source('s', 't') }}", "b.sql": "{{ ref('we\"ird') }} {{ ref('gone') }}"}
    monkeypatch.chdir(write(tmp_path, files))
    assert run(capsys, "graph", "--format", form, ".")[:2] == (0, expected)


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot not installed")
def test_graph_svg_names_every_node(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(write(tmp_path, {**DIAMOND, "top.sql": DIAMOND["top.sql"] + " {{ ref('gone') }}"}))
    status, out, _ = run(capsys, "graph", "--format", "svg", ".")
    assert status == 0 and out.lstrip().startswith("<?xml") and "</svg>" in out
    for name in ["base", "left", "right", "top", "raw.ids", "gone"]:
        assert f">{name}</text>" in out


def test_graph_svg_without_graphviz_names_the_program(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(write(tmp_path, DIAMOND))
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    status, out, err = run(capsys, "graph", "--format", "svg", ".")
    assert (status, out) == (1, "") and "'dot' is not installed" in err


def test_check_project(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(
        write(
            tmp_path,
            {
                "a.sql": "{{ ref('b') }}",
                # The engine evaluates no call inside a comment or raw block, wherever it starts.
                "b.sql": (
                    "{{ ref('a') }}\n{{ ref('gone') }}\n"
                    "select '{# {{ ref('hidden') }} #}' -- {% raw %}{{ ref('top') }}{% endraw %}"
                ),
                "m/a.sql": "select 1",
                "lone.sql": "{{ ref('lone') }}",
                "top.sql": "{{ ref('a') }}",
            },
        )
    )
    expected = [
        "./b.sql:2:4: error: ref to 'gone', which no model file defines [missing-ref]",
        "./m/a.sql:1:1: error: model 'a' is defined again; first by ./a.sql [duplicate-name]",
        "./a.sql:1:4: error: models read each other in a cycle: a, b [cycle]",
        "./lone.sql:1:4: error: model 'lone' reads itself [cycle]",
    ]
    status, out, err = run(capsys, "check", "--project", ".")
    assert (status, out.splitlines()) == (1, expected)
    assert err == "5 files checked, 4 problems (4 errors, 0 warnings)\n"
    status, out, err = run(capsys, "check", "--project", "--verbose", ".")
    unused = [f"./{name}.sql:1:1: info: no model reads this one [unused-model]" for name in ["lone", "top"]]
    assert out.splitlines() == [*expected, *unused]
    assert err == "5 files checked, 6 problems (4 errors, 0 warnings, 2 information)\n"
    status, out, _ = run(capsys, "check", "--project", "--format", "github", "-v", "top.sql")
    assert out.splitlines()[-1] == "::notice file=top.sql,line=1,col=1::no model reads this one [unused-model]"
    assert run(capsys, "check", ".")[:2] == (0, "")


# ---------------------------------------------------------------- project folders

# Three project folders reading each other, with what else a project folder
# holds. b/shared reads c/z and c/z reads "shared", which a and b both define:
# read as one folder that would be a cycle; here the ref is ambiguous.
REPOSITORY = {
    "a/models/x.sql": "{{ ref('y') }} {{ ref('s1') }} {{ ref('snap') }} {{ source('raw', 't') }}"
    "{{ source('raw', 'gone') }}",
    "a/models/off.sql": "{{ config(enabled=false) }} {{ ref('x') }}",
    "a/models/shared.sql": "select 1",
    "a/models/only_tested.sql": "select 1",
    "a/models/props.yml": (
        "sources:\n  - name: raw\n    tables:\n      - name: t\n"
        "models:\n  - name: x\n    columns:\n      - name: id\n        description: the key\n"
        "snapshots:\n  - name: declared_snap\nseeds:\n  - name: s1\n"
    ),
    "a/models/broken.yml": "models:\n  - name: x: y\n",
    "a/seeds/s1.csv": "id\n",
    "a/snapshots/snaps.sql": "{% snapshot snap %}\nselect * from {{ source('raw', 't') }}\n{% endsnapshot %}\n",
    "a/macros/x.sql": "{% macro m() %}{{ ref('nowhere') }}{% endmacro %}",
    "a/tests/t.sql": "{{ ref('only_tested') }}",
    "a/analyses/an.sql": "{{ ref('gone_in_analysis') }}",
    "b/models/y.sql": "{{ ref('a', 'shared') }}",
    "b/models/shared.sql": "{{ ref('z') }}",
    "b/models/dup.sql": "select 1",
    "b/models/more/dup.sql": "select 2",
    "c/models/z.sql": "{{ ref('shared') }}",
    "loose.sql": "{{ ref('nowhere') }}",
}


def test_project_folders(tmp_path):
    project = load(tmp_path, REPOSITORY)
    assert sorted(project.models) == ["a/only_tested", "a/shared", "a/x", "b/dup", "b/shared", "b/y", "c/z"]
    assert (sorted(project.seeds), sorted(project.snapshots)) == (["a/s1"], ["a/declared_snap", "a/snap"])
    assert project.edges == [
        ("a/x", "a/s1"), ("a/x", "a/snap"), ("a/x", "b/y"), ("b/shared", "c/z"), ("b/y", "a/shared")
    ]
    assert {kind for kind, _ in project.nodes()} == {"model", "seed", "snapshot", "source"}
    assert project.sources == {("raw", "gone"): ["a/x"], ("raw", "t"): ["a/snap", "a/x"]}
    assert project.declared_sources == {("raw", "t"): (str(tmp_path / "a/models/props.yml"), 4, 9)}
    assert [ref.source for ref in project.missing_sources] == [("raw", "gone")]
    assert [ref.model for ref in project.missing_refs] == ["gone_in_analysis"]
    assert [(ref.path, names) for ref, names in project.ambiguous_refs] == [
        (str(tmp_path / "c/models/z.sql"), ["a/shared", "b/shared"])
    ]
    assert project.duplicate_names == {"b/dup": [str(tmp_path / f"b/models/{p}dup.sql") for p in ["", "more/"]]}
    assert project.cycles == []
    assert "a/only_tested" not in project.unused() and "a/x" in project.unused()
    assert [(p.path, p.line, p.code) for p in project.problems] == [
        (str(tmp_path / "a/models/broken.yml"), 2, "yaml-syntax")
    ]
    x = project.model("x")
    assert (x.project, x.columns, project.model("shared", project="b").path) == (
        "a", {"id": "the key"}, str(tmp_path / "b/models/shared.sql")
    )
    assert project.upstream("b/y") == ["a/shared"] and project.downstream("y") == ["a/x"]
    with pytest.raises(ValueError, match="a/shared, b/shared"):
        project.model("shared")
    with pytest.raises(KeyError):
        project.model("off")


@pytest.mark.parametrize(
    "files, models, cycles",
    [
        # No project folder: every .sql file a model, as always.
        ({"m/a.sql": "{{ ref('b') }}", "b.sql": "{{ ref('a') }}"}, ["a", "b"], [["a", "b"]]),
        # One project folder: plain names, files outside it no models.
        ({"p/models/a.sql": "{{ ref('a') }}", "p/macros/b.sql": "", "c.sql": ""}, ["a"], [["a"]]),
        # A project folder nested in another's models folder is no project folder.
        ({"p/models/models/a.sql": "", "p/models/b.sql": "{{ ref('a') }}"}, ["a", "b"], []),
        # A snapshot reading the model that reads it is a cycle.
        ({"p/models/a.sql": "{{ ref('s') }}", "p/snapshots/s.sql": "{% snapshot s %}{{ ref('a') }}{% endsnapshot %}"},
         ["a"], [["a", "s"]]),
    ],
)
def test_layouts(tmp_path, files, models, cycles):
    project = load(tmp_path, files)
    assert (sorted(project.models), project.cycles) == (models, cycles)


def test_places_of_many_files_agree_with_each_files_own(tmp_path):
    # places() looks each folder up once and shares what it passes through
    # between the files of a tree: its answers must be place()'s.
    from trelm_cst._layout import Layout

    root = str(tmp_path)
    layout = Layout(folders={f"{root}/p": "p", f"{root}/p/sub/q": "q", f"{root}/r": "r"})
    paths = [
        f"{root}/{name}"
        for name in [
            "p/a.sql", "p/models/a.sql", "p/models/deep/er/a.sql", "p/models/deep/b.sql", "p/tests/t.sql",
            "p/sub/q/models/a.sql", "p/sub/q/a.sql", "p/sub/x.sql", "p/models//c.sql", "p/./models/d.sql",
            "r/seeds/s.csv", "r/other/o.sql", "elsewhere/e.sql", "e.sql", "p/models/..", "p/sub/q/",
        ]
    ] + ["relative/x.sql"]
    expected = [layout.place(path) for path in paths]
    # Alone, and after one another: what one file's lookup leaves must serve the next.
    assert [layout.places([path]) for path in paths] == [[place] for place in expected]
    assert layout.places(paths) == expected


def test_source_names_may_hold_dots(tmp_path):
    project = load(tmp_path, {
        "p/models/a.sql": "{{ source('raw.eu', 'orders') }}",
        "p/models/sources.yml": "sources:\n  - name: raw.eu\n    tables:\n      - name: orders\n",
    })
    assert (list(project.declared_sources), project.missing_sources) == ([("raw.eu", "orders")], [])


def test_check_and_graph_a_repository(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(write(tmp_path, REPOSITORY))
    status, out, _ = run(capsys, "check", "--project", ".")
    assert status == 1
    assert sorted(line.rsplit(" ", 1)[1] for line in out.splitlines()) == [
        "[ambiguous-ref]", "[duplicate-name]", "[missing-ref]", "[missing-source]", "[yaml-syntax]"
    ]
    assert "./a/models/broken.yml:2:12: error: YAML does not load" in out
    for name in ("a/s1", "s1"):  # a seed is selected as a model is
        status, out, _ = run(capsys, "graph", "--select", name, "--downstream", "--depth", "1", ".")
        assert [n["name"] for n in json.loads(out)["nodes"]] == ["a/s1", "a/x"]
    status, out, _ = run(capsys, "graph", "--select", "x", "--upstream", "--depth", "1", ".")
    nodes = {n["name"]: (n["kind"], n["path"], n["line"]) for n in json.loads(out)["nodes"]}
    assert nodes == {
        "a/x": ("model", "./a/models/x.sql", 1), "b/y": ("model", "./b/models/y.sql", 1),
        "a/s1": ("seed", "./a/seeds/s1.csv", 1), "a/snap": ("snapshot", "./a/snapshots/snaps.sql", 1),
        "raw.t": ("source", "./a/models/props.yml", 4), "raw.gone": ("source", None, None),
    }
    assert run(capsys, "graph", "--select", "shared", ".")[0] == 2


# ---------------------------------------------------------------- real repositories

REPOSITORIES = CORPUS.parent / "projects"

# Each name a repository refs that no file of it defines, and why it is missing.
UNDEFINED = {
    "tuva": {
        "custom_mapped": "the normalize models read it; neither a seed nor a model of the repository",
        "trelm_invocations": "read by a legacy data-quality model from a package the repository does not hold",
        "trelm_tests": "read by a legacy data-quality model from a package the repository does not hold",
        "elementary_test_results": "read by a legacy data-quality model from a package the repository does not hold",
    },
    "teamster": {
        name: "kipptaf models read it; no project folder of the repository has a file of that name"
        for name in [
            "stg_google_sheets__assessments__act_scale_score_key", "stg_adp_workforce_now__workers__work_assignments",
            "stg_adp_workforce_now__workers__work_assignments__reports_to", "base_alchemer__survey_results",
            "stg_amplify__dibels_data_farming", "stg_people__miami_performance_criteria", "int_collegeboard__psat",
            "stg_google_forms__responses__answers", "stg_performance_management__scores_overall_archive",
            "stg_performance_management__scores_detail_archive",
            "stg_schoolmint_grow__observations__observation_scores",
            "stg_schoolmint_grow__rubrics", "stg_schoolmint_grow__schools__observation_groups",
            "base_google_forms__form_responses",
        ]
    },
}


# Sources read and declared in no YAML file (a table of that name is declared
# under another source, or nowhere: the repository was cut from a larger one).
UNDECLARED = {
    "tuva": {
        ("source_input", "patient"), ("expected_values", "person_year"), ("expected_values", "encounter_predictions")
    },
    "teamster": {
        ("alchemer", "src_alchemer__response_id_override"), ("njdoe", "src_njdoe__parcc"),
        ("google_sheets", "src_google_sheets__performance_management__scores_detail_archive"),
        ("surveys", "src_surveys__cmo_engagement_regional_survey_detail_archive"),
        ("surveys", "src_surveys__manager_survey_detail_archive"), ("surveys", "src_surveys__staff_info_archive"),
        ("google_sheets", "src_google_sheets__dibels_df_student_xwalk"),
        ("google_sheets", "src_google_sheets__dibels_goals_wide"), ("surveys", "stg_surveys__staff_info_archive"),
    },
}


LOADER = getattr(yaml, "CSafeLoader", yaml.SafeLoader)


def declared_anywhere(root):
    """Every (source, table) any YAML file of the repository declares, wherever it lies."""
    found = set()
    for text in (path.read_text() for path in root.rglob("*.yml")):
        properties = yaml.load(text, Loader=LOADER) if "sources:" in text else None
        for source in (properties or {}).get("sources") or []:
            found |= {(source["name"], table["name"]) for table in source.get("tables") or []}
    return found


def defined_twice(root, left_out=()):
    """Each project folder's model and seed names of more than one file, found
    afresh from the file names (those below a folder `left_out` not counted)."""
    twice = set()
    for models in root.rglob("models"):
        if not models.is_dir() or "models" in models.parent.parts[len(root.parts):]:
            continue
        files = [*models.rglob("*.sql"), *(models.parent / "seeds").rglob("*.csv")]
        names = [p.stem for p in files if not any(root / folder in p.parents for folder in left_out)]
        twice |= {f"{models.parent.name}/{n}" for n in names if names.count(n) > 1}
    return twice


# teamster's powerschool project keeps three variants of its staging models,
# of which its own settings (not in the repository) switch on one. A
# pyproject.toml beside the repository leaves the models of two out.
VARIANTS_LEFT_OUT = {"teamster": [f"src/trelm/powerschool/models/sis/staging/{variant}" for variant in ["dlt", "sftp"]]}


@pytest.mark.skipif(not REPOSITORIES.is_dir(), reason=f"{REPOSITORIES} not present")
@pytest.mark.parametrize("name", sorted(UNDEFINED))
def test_real_repositories(name, summary, tmp_path, capsys, monkeypatch):
    root = REPOSITORIES / name
    left_out = VARIANTS_LEFT_OUT.get(name, [])
    if left_out:
        # Read through a link, so that the settings written here are found above it.
        os.symlink(root, tmp_path / name)
        globs = ", ".join(f'"{name}/{folder}/**/*.sql"' for folder in left_out)
        (tmp_path / "pyproject.toml").write_text(f"[tool.trelm-cst]\nexclude = [{globs}]\n")
        monkeypatch.chdir(tmp_path)
    else:
        monkeypatch.chdir(root)
    status, out, err = run(capsys, "check", "--project", "--format", "json", name if left_out else ".")
    findings = [json.loads(line) for line in out.splitlines()]
    assert status == 1 and all(f["line"] and f["column"] for f in findings)

    def named(code, pattern):
        return {re.match(pattern, f["message"])[1] for f in findings if f["code"] == code}

    assert named("cycle", "(.*)") == set()
    duplicates = named("duplicate-name", r"\w+ '([^']*)' is defined again")
    assert duplicates == defined_twice(root, left_out)
    if left_out:
        # What is left are kipptaf's two variants of a vendor's models, each defining models the others read.
        assert duplicates and duplicates < defined_twice(root)
        paths = [f["path"] for f in findings if f["code"] == "duplicate-name"]
        assert all(re.search("/illuminate/(dlt|fivetran)/", path) for path in paths)
    missing = named("missing-ref", "ref to '([^']*)'")
    assert missing == set(UNDEFINED[name])
    everything = {p.stem for p in root.rglob("*") if p.suffix in (".sql", ".csv")}
    assert not missing & everything
    undeclared = {tuple(source.split(".", 1)) for source in named("missing-source", "source '([^']*)'")}
    assert undeclared == UNDECLARED[name]
    assert not undeclared & declared_anywhere(root)
    summary(
        f"repository {name}: {err.strip()}; {len(duplicates)} duplicate names, {len(missing)} missing refs, "
        f"{len(undeclared)} missing sources"
    )


# ---------------------------------------------------------------- corpus

PROJECTS = sorted(p for p in CORPUS.iterdir() if p.is_dir()) if CORPUS.is_dir() else []


@pytest.mark.skipif(not PROJECTS, reason="shared corpus not present")
@pytest.mark.parametrize("folder", PROJECTS, ids=lambda p: p.name)
def test_corpus_projects_load(folder, summary):
    project = Project.load(folder)
    assert project.problems == [] and len(project.files) > 100
    missing = {ref.model for ref in project.missing_refs}
    for reader, read in project.edges:
        assert reader in project.models and (read in project.models or read in missing)
    for ref in project.missing_refs:
        assert ref.model not in project.models and ref.line >= 1
    for cycle in project.cycle_refs():
        assert cycle.ref.model in cycle.models and os.path.basename(cycle.ref.path)[:-4] in cycle.models
    summary(
        f"corpus project {folder.name}: {len(project.files)} files, {len(project.edges)} edges, "
        f"{len(project.sources)} sources, {len(missing)} missing models, {len(project.unresolved)} unresolved, "
        f"{len(project.duplicate_names)} duplicate names, {len(project.cycles)} cycles"
    )
