"""The language server in a real editor: a headless Neovim, configured with
the README's own snippet, opens a model, shows its diagnostics, goes to a
definition and renames a model through its built-in client."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("pygls", reason="the lsp extra is not installed")

HERE = Path(__file__).parent
README = HERE.parent.parent / "README.md"


def readme_neovim_config() -> str:
    """The Lua block that follows «**Neovim**» in the README's «In your editor» section."""
    text = README.read_text(encoding="utf-8")
    section = text[text.index("## In your editor") :]
    block = re.search(r"\*\*Neovim\*\*.*?```lua\n(.*?)```", section, re.DOTALL)
    assert block is not None, "the README shows no Neovim configuration"
    return block.group(1)


def test_neovim_client_diagnostics_definition_and_rename(tmp_path: Path) -> None:
    nvim = shutil.which("nvim")
    if nvim is None:
        pytest.skip("nvim is not installed (Debian package neovim)")
    project = tmp_path / "shop"
    (project / "models").mkdir(parents=True)
    (project / "models" / "orders.sql").write_text("select 1 as id\n", encoding="utf-8")
    report = project / "models" / "report.sql"
    # The emoji counts two UTF-16 units: the missing ref's column tells whether positions were converted.
    report.write_text(
        "select id from {{ ref('orders') }}\nunion all\nselect '😀' as id from {{ ref('ordrs') }}\n", encoding="utf-8"
    )
    init = tmp_path / "init.lua"
    init.write_text(readme_neovim_config(), encoding="utf-8")
    out = tmp_path / "out.json"
    env = dict(os.environ)
    # The README's `trelm-cst` command: the one installed beside this interpreter.
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    env.update(
        TRELM_NVIM_OUT=str(out),
        TRELM_NVIM_FILE=str(report),
        TRELM_NVIM_REF="orders",
        TRELM_NVIM_NEW_NAME="purchases",
        XDG_CONFIG_HOME=str(tmp_path / "config"),
        XDG_DATA_HOME=str(tmp_path / "data"),
        XDG_STATE_HOME=str(tmp_path / "state"),
    )
    command = [nvim, "--headless", "-n", "-i", "NONE", "-u", str(init), "-c", f"luafile {HERE / 'lsp_neovim.lua'}"]
    try:
        subprocess.run(
            command, cwd=project, env=env, timeout=60, check=False, capture_output=True, stdin=subprocess.DEVNULL
        )
    except subprocess.TimeoutExpired:
        pytest.fail("Neovim did not finish within 60 s")
    got = json.loads(out.read_text(encoding="utf-8"))
    failed = [step for step in got["steps"] if not step["ok"]]
    assert not failed, failed
    assert got["client"] == "trelm-cst"

    missing = [d for d in got["diagnostics"] if d.get("code") == "missing-ref"]
    assert [d["range"]["start"] for d in missing] == [{"line": 2, "character": len("select '😀' as id from {{ ") + 1}]
    assert any("ordrs" in shown["message"] for shown in got["shown"])

    definition = got["definition"]
    target = definition[0] if isinstance(definition, list) else definition
    assert (target.get("uri") or target.get("targetUri")).endswith("/models/orders.sql")

    assert got["lines"][0] == "select id from {{ ref('purchases') }}"
    assert (project / "models" / "purchases.sql").read_text(encoding="utf-8") == "select 1 as id\n"
    assert not (project / "models" / "orders.sql").exists()
    assert "ref('purchases')" in report.read_text(encoding="utf-8")
