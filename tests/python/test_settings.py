"""Settings in pyproject.toml: found upward from the path checked, each key's
effect on `check --project`, the errors they may hold, --config and --isolated."""

import json
import os
import pathlib

import pytest

from file_tree import write
from trelm_cst import Project, Settings, cli

# One project folder whose every finding some setting changes.
REPOSITORY = {
    "shop/models/orders.sql": "select * from {{ ref('customers') }} join {{ ref('events') }}",
    "shop/models/customers.sql": (
        "{{ config(style='table') }}\nselect * from {{ source('crm', 'accounts') }}\n{% blueprint %}{% endblueprint %}"
    ),
    "shop/models/legacy/customers.sql": "-- the old one\n  {{ config(style='view') }}",
    "shop/models/sources.yml": "sources:\n  - name: crm\n    tables:\n      - name: users\n",
    "shop/transform/report.sql": "select * from {{ ref('orders') }} join {{ ref('raw_orders') }}",
    "shop/lake/raw_orders.csv": "id\n",
    "shop/history/snap.sql": "{% snapshot orders_snapshot %}select * from {{ ref('gone') }}{% endsnapshot %}",
}

BASELINE = [
    "shop/models/customers.sql:2:18 missing-source",
    "shop/models/customers.sql:3:1 unknown-tag",
    "shop/models/legacy/customers.sql:2:3 duplicate-name",  # at its config call
    "shop/models/orders.sql:1:46 missing-ref",
    "shop/models/orders.sql:1:1 unused-model",  # no config call: its first line
]



def check(capsys, root, *argv):
    """Exit status, each finding as 'path:line:column code' (paths relative
    to root, sorted), and stderr."""
    status = cli.main(["check", "--project", "--verbose", "--format", "json", *argv])
    captured = capsys.readouterr()
    found = []
    for line in captured.out.splitlines():
        finding = json.loads(line)
        path = os.path.relpath(finding["path"], root)
        found.append(f"{path}:{finding['line']}:{finding['column']} {finding['code']}")
    return status, sorted(found), captured.err


@pytest.mark.parametrize(
    "settings, gone, added",
    [
        ("", [], []),
        ('exclude = ["shop/models/legacy/"]', ["shop/models/legacy/customers.sql:2:3 duplicate-name"], []),
        ('exclude = ["legacy"]', ["shop/models/legacy/customers.sql:2:3 duplicate-name"], []),
        # Anchored at the settings file's folder: no folder shop/legacy there.
        ('exclude = ["/legacy"]', [], []),
        (
            'model-folders = ["models", "transform"]',
            ["shop/models/orders.sql:1:1 unused-model"],
            ["shop/transform/report.sql:1:43 missing-ref", "shop/transform/report.sql:1:1 unused-model"],
        ),
        (
            'model-folders = ["models", "transform"]\nseed-folders = ["lake"]',
            ["shop/models/orders.sql:1:1 unused-model"],
            ["shop/transform/report.sql:1:1 unused-model"],
        ),
        ('snapshot-folders = ["history"]', [], ["shop/history/snap.sql:1:48 missing-ref"]),
        (
            'external = ["events", "crm.accounts"]',
            ["shop/models/orders.sql:1:46 missing-ref", "shop/models/customers.sql:2:18 missing-source"],
            [],
        ),
        ('extension-tags = ["blueprint"]', ["shop/models/customers.sql:3:1 unknown-tag"], []),
        ("[tool.trelm-cst.check]\nselect = ['missing-ref']", [ln for ln in BASELINE if "missing-ref" not in ln], []),
        (
            "[tool.trelm-cst.check]\nignore = ['unused-model', 'unknown-tag']",
            ["shop/models/orders.sql:1:1 unused-model", "shop/models/customers.sql:3:1 unknown-tag"],
            [],
        ),
        (
            "[tool.trelm-cst.check.per-file-ignores]\n'shop/models/legacy/' = ['duplicate-name']\n"
            "'orders.sql' = ['missing-ref', 'cycle']\n'customers.sql' = ['unknown-tag']",
            [
                "shop/models/legacy/customers.sql:2:3 duplicate-name",
                "shop/models/orders.sql:1:46 missing-ref",
                "shop/models/customers.sql:3:1 unknown-tag",
            ],
            [],
        ),
    ],
)
def test_each_setting_changes_what_check_reports(tmp_path, capsys, monkeypatch, settings, gone, added):
    write(tmp_path, {**REPOSITORY, "pyproject.toml": "[tool.other]\nx = 1\n[tool.trelm-cst]\n" + settings})
    # Found from the path checked upward, not from the current folder.
    (tmp_path / "elsewhere").mkdir()
    monkeypatch.chdir(tmp_path / "elsewhere")
    status, found, _ = check(capsys, tmp_path, os.path.join("..", "shop"))
    expected = sorted([line for line in BASELINE if line not in gone] + added)
    assert found == expected
    assert status == (1 if any("missing-ref" in line or "duplicate-name" in line for line in expected) else 0)


def test_api_and_other_commands_take_the_settings(tmp_path, capsys, monkeypatch):
    settings_text = '[tool.trelm-cst]\nexclude = ["legacy/"]\nexternal = ["events"]\nmodel-folders = ["transform"]\n'
    lab = {"lab/transform/x.sql": "select * from {{ ref('events') }}"}
    write(tmp_path, {**REPOSITORY, **lab, "pyproject.toml": settings_text})
    settings = Settings.find(tmp_path / "shop" / "models")
    assert (settings.path, settings.model_folders, settings.seed_folders) == (
        str(tmp_path / "pyproject.toml"), ("transform",), ("seeds",)
    )
    # A folder holding a folder of models named in the settings is a project folder.
    project = Project.load(tmp_path, settings=settings)
    assert sorted(project.models) == ["lab/x", "shop/report"]
    assert [r.model for r in project.missing_refs] == ["orders", "raw_orders"]
    project = Project.load(tmp_path / "shop", settings=Settings())
    assert sorted(project.models) == ["customers", "orders"] and "customers" in project.duplicate_names
    monkeypatch.chdir(tmp_path)
    assert cli.main(["inspect", "shop/models"]) == 0
    paths = [line.split('"')[3] for line in capsys.readouterr().out.splitlines()]
    assert paths == ["shop/models/customers.sql", "shop/models/orders.sql"]


def test_flags_combine_with_the_settings(tmp_path, capsys, monkeypatch):
    settings_text = '[tool.trelm-cst]\nextension-tags = ["blueprint"]\nexclude = ["legacy/"]\n'
    monkeypatch.chdir(write(tmp_path, {**REPOSITORY, "pyproject.toml": settings_text}))
    # Flags add to the settings' lists: both tags known, both patterns leaving files out.
    status, found, err = check(capsys, tmp_path, "--extension-tag", "other", "--exclude", "orders.sql", "shop")
    assert found == ["shop/models/customers.sql:1:1 unused-model", "shop/models/customers.sql:2:18 missing-source"]
    assert (status, err) == (0, "3 files checked, 2 problems (0 errors, 1 warning, 1 information)\n")
    # --isolated reads no settings; --config reads that file only.
    assert check(capsys, tmp_path, "--isolated", "shop")[1] == sorted(BASELINE)
    write(tmp_path, {"ci/settings.toml": "[tool.trelm-cst.check]\nselect = ['cycle']\n"})
    assert check(capsys, tmp_path, "--config", "ci/settings.toml", "shop")[:2] == (0, [])
    # --select takes the place of the settings' select, --ignore adds to their ignore.
    found = check(capsys, tmp_path, "--config", "ci/settings.toml", "--select", "missing-source,unused-model", "shop")
    assert found[1] == ["shop/models/customers.sql:2:18 missing-source", "shop/models/orders.sql:1:1 unused-model"]
    found = check(capsys, tmp_path, "--isolated", "--ignore", "unused-model", "--ignore", "missing-ref", "shop")
    assert found[1] == sorted(line for line in BASELINE if "unused-model" not in line and "missing-ref" not in line)


@pytest.mark.parametrize(
    "flag, message",
    [
        ("--select=missing-rf", "unknown code 'missing-rf'; did you mean `missing-ref`"),
        ("--ignore=cycle,", "an empty code"),
        ("--ignore=file", "`file` is always reported"),
    ],
)
def test_codes_on_the_command_line_are_checked(tmp_path, capsys, flag, message):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["check", flag, str(write(tmp_path, {"a.sql": "select 1"}))])
    assert exit_info.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize(
    "settings, message",
    [
        ("exlude = []", "unknown key `tool.trelm-cst.exlude`; did you mean `exclude`?"),
        ("[tool.trelm-cst.check]\nselec = []", "unknown key `tool.trelm-cst.check.selec`; did you mean `select`?"),
        ('exclude = "legacy/"', "`tool.trelm-cst.exclude` must be a list of strings, not a string"),
        ("external = ['a', 1]", "`tool.trelm-cst.external` must be a list of strings, not a list holding an integer"),
        ("check = 1", "`tool.trelm-cst.check` must be a table, not an integer"),
        ("[tool.trelm-cst.check]\nignore = ['missing-refs']", "unknown code 'missing-refs'; did you mean"),
        ("[tool.trelm-cst.check]\nselect = ['file']", "`file` is always reported"),
        ("[tool.trelm-cst.check.per-file-ignores]\n'a b.sql' = 'cycle'", 'per-file-ignores."a b.sql"` must be a list'),
        ("[tool.trelm-cst.check]\nper-file-ignores = ['x']", "must be a table of globs to lists of codes, not a list"),
        ("model-folders = ['models/core']", "'models/core' is no folder name"),
        ("model-folders = []", "`tool.trelm-cst.model-folders` needs at least one folder name"),
        ("seed-folders = ['data']\nsnapshot-folders = ['data']", "folder 'data' is in both"),
        ("exclude = [", "not valid TOML"),
        ("extension-tags = ['blue print']", "`tool.trelm-cst.extension-tags`: 'blue print' is no tag name"),
    ],
)
def test_settings_errors_are_usage_errors_naming_the_key(tmp_path, capsys, monkeypatch, settings, message):
    monkeypatch.chdir(write(tmp_path, {"m.sql": "select 1", "pyproject.toml": "[tool.trelm-cst]\n" + settings}))
    with pytest.raises(SystemExit) as exit:
        cli.main(["inspect", "m.sql"])
    err = capsys.readouterr().err
    assert exit.value.code == 2 and f"{tmp_path / 'pyproject.toml'}: " in err and message in err
    # --isolated does not read it.
    assert cli.main(["inspect", "--isolated", "m.sql"]) == 0


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--config", "nowhere.toml"], "nowhere.toml: cannot read: No such file or directory"),
        (["--config", "plain.toml"], "plain.toml: no [tool.trelm-cst] table"),
        (["--config", "plain.toml", "--isolated"], "--config and --isolated exclude each other"),
        (["--extension-tag", "{% x %}"], "'{% x %}' is no tag name"),
    ],
)
def test_config_file_errors(tmp_path, capsys, monkeypatch, argv, message):
    monkeypatch.chdir(write(tmp_path, {"m.sql": "select 1", "plain.toml": "[tool.other]\n"}))
    with pytest.raises(SystemExit) as exit:
        cli.main(["check", *argv, "m.sql"])
    assert exit.value.code == 2 and message in capsys.readouterr().err


def test_the_readme_example_reads(tmp_path):
    readme = pathlib.Path(__file__).resolve().parents[2] / "README.md"
    example = readme.read_text(encoding="utf-8").split("```toml\n")[1].split("```")[0]
    (tmp_path / "pyproject.toml").write_text(example)
    settings = Settings.find(tmp_path)
    assert settings.model_folders == ("models", "marts") and settings.ignore == ("unknown-tag",)
    assert not settings.reports(str(tmp_path / "warehouse/models/sandbox/a.sql"), "unused-model")


@pytest.mark.parametrize("flags", [[], ["--project"]])
def test_a_suppression_of_a_code_the_settings_ignore_silences_nothing(tmp_path, capsys, monkeypatch, flags):
    settings = "[tool.trelm-cst.check]\nignore = ['unknown-tag', 'missing-ref']\n"
    model = "{# trelm-cst: ignore[unknown-tag] #}\n{% blueprint %}{% endblueprint %}\n"
    model += "select * from {{ ref('gone') }} {# trelm-cst: ignore[missing-ref] #}\n"
    monkeypatch.chdir(write(tmp_path, {"pyproject.toml": settings, "models/m.sql": model}))
    cli.main(["check", "--strict", "--format", "json", *flags, "."])
    found = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    unused = [(f["line"], f["message"]) for f in found if f["code"] == "unused-suppression"]
    expected = [(1, "suppression of `unknown-tag` silences nothing")]
    if flags:  # without --project, missing-ref is never looked for, so its comment may yet be used
        expected.append((3, "suppression of `missing-ref` silences nothing"))
    assert sorted(unused) == expected
    assert {f["code"] for f in found} == {"unused-suppression"}
