"""Hover, symbols, folding, completion and quick fixes, asked of `trelm-cst
lsp` by a real client over stdio, on one small repository built here."""

from __future__ import annotations

import asyncio
import sys
import zlib
from collections.abc import AsyncIterator
from pathlib import Path

import pytest

pytest.importorskip("pygls", reason="the lsp extra is not installed")
pytest_lsp = pytest.importorskip("pytest_lsp")

from lsprotocol import types
from pytest_lsp import ClientServerConfig, LanguageClient

pytestmark = pytest.mark.asyncio(loop_scope="module")

FILES = {
    "shop/models/orders.sql": (
        "{{ config(style='table', tags=['daily'],\n"
        "          schema=var('target_schema')) }}\n"
        "select 1 as id, 'x' as name from {{ source('raw', 'orders') }}\n"
    ),
    "shop/models/customers.sql": "{{ config(style='view', tags=['daily']) }}\nselect 2 as id from {{ ref('orders') }}\n",
    # The emoji is two UTF-16 code units and one character: positions after it tell the encodings apart.
    "shop/models/report.sql": (
        "{{ config(tags=['weekly']) }}\n"
        "with base as (\n"
        "    select id from {{ ref('customers') }}\n"
        "), totals as (\n"
        "    select count(*) as n from base\n"
        ")\n"
        "{% if var('full') %}\n"
        "select '😀' as mood, id, n as total from base, {{ ref('orders') }}\n"
        "{% endif %}\n"
    ),
    "shop/models/sources.yml": "version: 2\nsources:\n  - name: raw\n    tables:\n      - name: orders\n      - name: payments\n",
    "shop/seeds/order_states.csv": "state\nopen\n",
    "shop/snapshots/order_history.sql": "{% snapshot order_history %}\nselect 1 as id\n{% endsnapshot %}\n",
}


def uri(root: Path, name: str) -> str:
    return (root / name).as_uri()


@pytest.fixture(scope="module")
def root(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("workspace")
    for name, text in FILES.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(text, encoding="utf-8")
    return folder


@pytest_lsp.fixture(
    scope="module", config=ClientServerConfig(server_command=[sys.executable, "-m", "trelm_cst", "lsp"])
)
async def client(lsp_client: LanguageClient, root: Path) -> AsyncIterator[None]:
    await lsp_client.initialize_session(
        types.InitializeParams(
            capabilities=types.ClientCapabilities(),
            workspace_folders=[types.WorkspaceFolder(uri=root.as_uri(), name="workspace")],
        )
    )
    yield
    await lsp_client.shutdown_session()


def opened(client: LanguageClient, root: Path, name: str, text: str | None = None) -> str:
    """Opens a file in the client (with `text` in place of what is on disk, when given)."""
    where = uri(root, name)
    text = FILES.get(name, "") if text is None else text
    item = types.TextDocumentItem(uri=where, language_id="sql", version=1, text=text)
    client.text_document_did_open(types.DidOpenTextDocumentParams(text_document=item))
    return where


def at(text: str, needle: str, shift: int = 0) -> types.Position:
    """The UTF-16 position of `needle` (plus `shift` characters) in `text`."""
    offset = text.index(needle) + shift
    line = text.count("\n", 0, offset)
    start = text.rfind("\n", 0, offset) + 1
    return types.Position(line=line, character=len(text[start:offset].encode("utf-16-le")) // 2)


@pytest.mark.parametrize(
    "name, needle, shown",
    [
        # A ref after an emoji: the model's file, config, columns and neighbours.
        (
            "shop/models/report.sql",
            "orders')",
            [
                "`shop/models/orders.sql`",
                "`style='table'`",
                "columns: `id`, `name`",
                "reads 0 models; read by 2 models",
            ],
        ),
        ("shop/models/orders.sql", "tags=", ["`tags` = `['daily']`"]),
        ("shop/models/orders.sql", "schema=", ["`schema` = `var('target_schema')` (not a literal"]),
    ],
)
async def test_hover(client: LanguageClient, root: Path, name: str, needle: str, shown: list[str]) -> None:
    where = opened(client, root, name)
    text = FILES[name]
    found = await client.text_document_hover_async(
        types.HoverParams(text_document=types.TextDocumentIdentifier(uri=where), position=at(text, needle, 1))
    )
    assert found is not None and isinstance(found.contents, types.MarkupContent)
    for part in shown:
        assert part in found.contents.value
    assert found.range is not None and found.range.start == at(text, needle if "=" in needle else "ref('orders')")


async def test_hover_elsewhere_is_empty(client: LanguageClient, root: Path) -> None:
    where = opened(client, root, "shop/models/report.sql")
    position = at(FILES["shop/models/report.sql"], "count")
    params = types.HoverParams(text_document=types.TextDocumentIdentifier(uri=where), position=position)
    assert await client.text_document_hover_async(params) is None


async def test_document_symbols_nest_config_ctes_and_columns(client: LanguageClient, root: Path) -> None:
    where = opened(client, root, "shop/models/report.sql")
    params = types.DocumentSymbolParams(text_document=types.TextDocumentIdentifier(uri=where))
    symbols = await client.text_document_document_symbol_async(params)

    def tree(items: list[types.DocumentSymbol]) -> list[object]:
        return [(s.name, tree(s.children)) if s.children else s.name for s in items]

    assert symbols is not None
    assert tree(symbols) == [  # type: ignore[arg-type]
        ("config", ["tags"]),
        ("base", ["id"]),
        ("totals", ["n"]),
        ("select", ["mood", "id", "total"]),
    ]
    select = symbols[-1]
    assert isinstance(select, types.DocumentSymbol) and select.children
    total = select.children[-1]
    # `total` is written after the emoji: its UTF-16 column.
    assert total.selection_range.start == at(FILES["shop/models/report.sql"], "total from")


@pytest.mark.parametrize(
    "query, found",
    [
        (
            "ord",
            [
                ("order_history", types.SymbolKind.Class),
                ("order_states", types.SymbolKind.Constant),
                ("orders", types.SymbolKind.File),
            ],
        ),
        ("cst", [("customers", types.SymbolKind.File)]),  # its letters in order
        ("nothing", []),
    ],
)
async def test_workspace_symbols(client: LanguageClient, query: str, found: list[tuple[str, types.SymbolKind]]) -> None:
    symbols = await client.workspace_symbol_async(types.WorkspaceSymbolParams(query=query))
    assert sorted((s.name, s.kind) for s in symbols or []) == found
    for symbol in symbols or []:
        assert isinstance(symbol.location, types.Location) and Path(symbol.location.uri[len("file://") :]).exists()


async def test_folding_ranges(client: LanguageClient, root: Path) -> None:
    name = "shop/analyses/folding.sql"
    text = (
        "{{ config(\n    style='table'\n) }}\n"  # 0-2: the config call
        "{#\n  notes\n#}\n"  # 3-5: a comment
        "with a as (\n    select 1 as x\n)\n"  # 6-8: a CTE
        "{% if var('x') %}\n"  # 9: a block, folded to the line before its end
        "  {% for c in ['p', 'q'] %}\n    select {{ c }}\n  {% endfor %}\n"  # 10-12
        "{% endif %}\n"  # 13
        "select x from a\n"
    )
    where = opened(client, root, name, text)
    params = types.FoldingRangeParams(text_document=types.TextDocumentIdentifier(uri=where))
    ranges = await client.text_document_folding_range_async(params)
    assert sorted((r.start_line, r.end_line) for r in ranges or []) == [(0, 2), (3, 5), (6, 8), (9, 12), (10, 11)]


@pytest.mark.parametrize(
    "typed, labels",
    [
        ("select * from {{ ref('", ["customers", "order_history", "order_states", "orders", "report"]),
        ("select * from {{ ref('shop', 'or", ["customers", "order_history", "order_states", "orders", "report"]),
        ("select * from {{ source('", ["raw"]),
        ('select * from {{ source("raw", "', ["orders", "payments"]),
        # The keys seen in the project, the most used first.
        ("{{ config(\n    schema='s', ", ["tags", "style"]),
        ("select 1 as x", []),
        ("{{ config(style='", []),
    ],
)
async def test_completion(client: LanguageClient, root: Path, typed: str, labels: list[str]) -> None:
    text = "select '😀' as mood\n" + typed
    where = opened(client, root, "shop/analyses/typing.sql", text)
    end = at(text + "$", "$")
    found = await client.text_document_completion_async(
        types.CompletionParams(text_document=types.TextDocumentIdentifier(uri=where), position=end)
    )
    items = found.items if isinstance(found, types.CompletionList) else found or []
    assert [item.label for item in items] == labels


@pytest.mark.parametrize(
    "text, typed, new_text",
    [
        ("select '😀', * from {{ ref('cu", "cu", "customers"),
        ("select '😀', * from {{ ref(", "", "'customers'"),  # no quote typed: the name comes with its own
    ],
)
async def test_completion_replaces_what_was_typed_in_utf16(
    client: LanguageClient, root: Path, text: str, typed: str, new_text: str
) -> None:
    where = opened(client, root, "shop/analyses/typing.sql", text)
    end = at(text + "$", "$")
    found = await client.text_document_completion_async(
        types.CompletionParams(text_document=types.TextDocumentIdentifier(uri=where), position=end)
    )
    items = found.items if isinstance(found, types.CompletionList) else found or []
    edit = next(item.text_edit for item in items if item.label == "customers")
    assert isinstance(edit, types.TextEdit)
    assert edit.new_text == new_text
    assert edit.range == types.Range(start=at(text + "$", typed + "$"), end=end)


async def diagnostics_of(client: LanguageClient, where: str, code: str, present: bool) -> list[types.Diagnostic]:
    """The file's published diagnostics once those of `code` are there (or gone)."""
    for _ in range(100):
        found = client.diagnostics.get(where, [])
        if any(d.code == code for d in found) == present:
            return found
        await asyncio.sleep(0.05)
    raise AssertionError(f"no diagnostics with{'' if present else 'out'} {code} for {where}: {found}")


def applied(text: str, edits: list[types.TextEdit]) -> str:
    """`text` with edits applied (positions in UTF-16), the last first."""
    lines = text.split("\n")

    def offset(position: types.Position) -> int:
        line = lines[position.line]
        prefix = line.encode("utf-16-le")[: position.character * 2].decode("utf-16-le")
        return sum(len(before) + 1 for before in lines[: position.line]) + len(prefix)

    for edit in sorted(edits, key=lambda e: (e.range.start.line, e.range.start.character), reverse=True):
        text = text[: offset(edit.range.start)] + edit.new_text + text[offset(edit.range.end) :]
    return text


@pytest.mark.parametrize(
    "before, title, after",
    [
        (
            "select '😀' as mood from {{ ref('ordrs') }}\n",
            "Change to `orders`",
            "select '😀' as mood from {{ ref('orders') }}\n",
        ),
        (
            "select 1 as id\n  from {{ ref('ordrs') }}\n",
            "Ignore `missing-ref` on this line",
            "select 1 as id\n  {# trelm-cst: ignore[missing-ref] #}\n  from {{ ref('ordrs') }}\n",
        ),
        (  # a comment already there gets the code
            "{# trelm-cst: ignore[cycle] #}\nselect 1 from {{ ref('ordrs') }}\n",
            "Ignore `missing-ref` on this line",
            "{# trelm-cst: ignore[cycle, missing-ref] #}\nselect 1 from {{ ref('ordrs') }}\n",
        ),
        (  # the line starts inside a tag: the comment goes at its end
            "select 1 from {{ ref('orders')\n  ~ ref('ordrs') }}\n",
            "Ignore `missing-ref` on this line",
            "select 1 from {{ ref('orders')\n  ~ ref('ordrs') }} {# trelm-cst: ignore[missing-ref] #}\n",
        ),
    ],
)
async def test_quick_fix_clears_the_missing_ref(
    client: LanguageClient, root: Path, before: str, title: str, after: str
) -> None:
    name = f"shop/analyses/fixing_{zlib.crc32(before.encode())}.sql"  # one file a case: no diagnostics of the last
    where = opened(client, root, name, before)
    found = [d for d in await diagnostics_of(client, where, "missing-ref", True) if d.code == "missing-ref"]
    context = types.CodeActionContext(diagnostics=found)
    params = types.CodeActionParams(
        text_document=types.TextDocumentIdentifier(uri=where), range=found[-1].range, context=context
    )
    actions = await client.text_document_code_action_async(params)
    chosen = [
        a for a in actions or [] if isinstance(a, types.CodeAction) and a.title == title and "ordrs" not in a.title
    ]
    assert len(chosen) == 1, [a.title for a in actions or []]
    assert chosen[0].edit is not None and chosen[0].edit.changes is not None
    text = applied(before, chosen[0].edit.changes[where])
    assert text == after
    # The server takes the fixed text as its own check would: the finding is gone.
    change = types.TextDocumentContentChangeWholeDocument(text=text)
    client.text_document_did_change(
        types.DidChangeTextDocumentParams(
            text_document=types.VersionedTextDocumentIdentifier(uri=where, version=2), content_changes=[change]
        )
    )
    remaining = await diagnostics_of(client, where, "missing-ref", False)
    assert not [d for d in remaining if d.code == "unused-suppression"]
    client.text_document_did_close(
        types.DidCloseTextDocumentParams(text_document=types.TextDocumentIdentifier(uri=where))
    )
