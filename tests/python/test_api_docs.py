import difflib
import importlib.util
import inspect
import sys
from pathlib import Path

import trelm_cst

ROOT = Path(__file__).resolve().parents[2]


def load_generator():
    spec = importlib.util.spec_from_file_location("gen_api_docs", ROOT / "tools" / "gen_api_docs.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # its dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


def test_api_reference_is_up_to_date():
    expected = load_generator().render()
    page = ROOT / "docs" / "api.md"
    current = page.read_text(encoding="utf-8") if page.exists() else ""
    diff = list(
        difflib.unified_diff(current.splitlines(), expected.splitlines(), "docs/api.md", "generated", lineterm="")
    )
    assert not diff, "docs/api.md is out of date: run python tools/gen_api_docs.py\n" + "\n".join(diff[:60])


def test_api_reference_covers_every_public_name():
    # Whatever the module gains, with or without a stub entry, gets a heading.
    text = load_generator().render()
    for name in trelm_cst.__all__:
        obj = getattr(trelm_cst, name)
        assert f"\n### {name}\n" in text
        if inspect.isclass(obj):
            for member in vars(obj):
                if not member.startswith("_"):
                    assert f"\n#### {name}.{member}\n" in text
