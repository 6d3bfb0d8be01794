"""The language server end to end: a pytest-lsp client drives `trelm-cst lsp`
over standard input and output on small workspaces written here."""

from __future__ import annotations

import asyncio
import contextlib
import os
import pathlib
import sys
from collections.abc import AsyncIterator, Callable, Sequence

import pytest

pytest.importorskip("pygls", reason="the lsp extra is not installed")
from lsprotocol import types  # noqa: E402
from pytest_lsp import LanguageClient, make_test_lsp_client  # noqa: E402

from file_tree import write  # noqa: E402
from trelm_cst import Project  # noqa: E402
from trelm_cst._lsp.positions import TextPositions  # noqa: E402

WAIT = 10.0  # seconds a notification may take on a loaded machine before the test gives up


def uri(path: os.PathLike[str] | str) -> str:
    from pygls import uris

    return uris.from_fs_path(os.fspath(path)) or ""


def capabilities(encodings: Sequence[str] = (), file_renames: bool = True, pull: bool = False) -> types.ClientCapabilities:
    operations = [types.ResourceOperationKind.Rename] if file_renames else []
    return types.ClientCapabilities(
        text_document=types.TextDocumentClientCapabilities(diagnostic=types.DiagnosticClientCapabilities()) if pull else None,
        general=types.GeneralClientCapabilities(position_encodings=list(encodings)) if encodings else None,
        workspace=types.WorkspaceClientCapabilities(
            workspace_edit=types.WorkspaceEditClientCapabilities(document_changes=True, resource_operations=operations)
        ),
    )


@contextlib.asynccontextmanager
async def session(root: os.PathLike[str], caps: types.ClientCapabilities | None = None) -> AsyncIterator[LanguageClient]:
    client = make_test_lsp_client()
    await client.start_io(sys.executable, "-m", "trelm_cst", "lsp")
    try:
        client.init = await client.initialize_session(  # type: ignore[attr-defined]
            types.InitializeParams(
                capabilities=caps or capabilities(),
                workspace_folders=[types.WorkspaceFolder(uri=uri(root), name="work")],
            )
        )
        yield client
        await client.shutdown_session()
    finally:
        server = client._server
        if server is not None and server.returncode is None:
            server.kill()  # a test that failed midway: no exit to wait for
        await client.stop()


async def until(check: Callable[[], object], what: str) -> None:
    """Waits until check() holds (a bounded wait, never a measure of speed)."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + WAIT
    while not check():
        if loop.time() > deadline:
            raise AssertionError(f"gave up waiting for {what}")
        await asyncio.sleep(0.02)


def codes(client: LanguageClient, path: os.PathLike[str]) -> list[str]:
    return sorted(str(d.code) for d in client.diagnostics.get(uri(path), []))


def open_file(client: LanguageClient, path: os.PathLike[str], text: str | None = None) -> None:
    text = pathlib.Path(path).read_bytes().decode() if text is None else text
    document = types.TextDocumentItem(uri=uri(path), language_id="sql", version=1, text=text)
    client.text_document_did_open(types.DidOpenTextDocumentParams(text_document=document))


def run(scenario: Callable[[], object]) -> None:
    asyncio.run(scenario())  # type: ignore[arg-type]


# ---------------------------------------------------------------- positions


@pytest.mark.parametrize(
    "encoding, text, offset, character",
    [
        ("utf-16", "select 'é😀' as x", 10, 11),  # the emoji is two UTF-16 units
        ("utf-16", "select 'é😀' as x", 12, 13),
        ("utf-8", "select 'é😀' as x", 12, 16),  # é two bytes, the emoji four
        ("utf-32", "select 'é😀' as x", 12, 12),
        ("utf-16", "a\r\nselect 😀x", 11, 9),  # CRLF: the second line starts after both
    ],
)
def test_positions_count_in_the_clients_units(encoding: str, text: str, offset: int, character: int) -> None:
    positions = TextPositions(text, encoding)
    position = positions.position(offset)
    assert position.character == character
    assert positions.offset(position) == offset


def test_positions_inside_a_character_or_past_a_line_end_clamp() -> None:
    positions = TextPositions("😀x\r\nnext", "utf-16")
    assert positions.offset(types.Position(0, 1)) == 0  # half of the pair: the character's start
    assert positions.offset(types.Position(0, 99)) == 2  # before the CRLF
    assert positions.offset(types.Position(9, 0)) == len("😀x\r\nnext")
    assert positions.position(3) == types.Position(0, 3)  # inside the line break: the line's end


# ---------------------------------------------------------------- a session on one project

ORDERS = """with orders as (select id, amount from {{ ref('stg_orders') }}),
big as (select o.id from orders o where o.amount > 10)
select big.id, orders.amount from big join orders on big.id = orders.id
"""
REPORT = "select s.amount from {{ ref('stg_orders') }} s join {{ ref('orders') }} using (id)\n"
# Non-ASCII before the ref on its line: UTF-16 counts the emoji twice.
READER = (
    "{% if x %}\nselect '😀é' as e, * from {{ ref('nowhere') }}\n"
    "{# trelm-cst: ignore[missing-ref] #}\njoin {{ ref('elsewhere') }}\n"
)
FILES = {
    "proj/models/stg_orders.sql": "select id, amount from {{ source('shop', 'orders') }}\n",
    "proj/models/orders.sql": ORDERS,
    "proj/models/report.sql": REPORT,
    "proj/models/reader.sql": READER,
    "proj/models/loop_a.sql": "select * from {{ ref('loop_b') }}\n",
    "proj/models/loop_b.sql": "select * from {{ ref('loop_a') }}\n",
    "proj/models/a/dup.sql": "select 1\n",
    "proj/models/b/dup.sql": "select 2\n",
}


def at(text: str, needle: str, shift: int = 0, encoding: str = "utf-16") -> types.Position:
    """The position of the first `needle` in text (plus `shift` characters)."""
    return TextPositions(text, encoding).position(text.index(needle) + shift)


def spans(text: str, locations: Sequence[types.Location], encoding: str = "utf-16") -> list[str]:
    """The text each location covers (one file's)."""
    positions = TextPositions(text, encoding)
    return [text[positions.offset(loc.range.start) : positions.offset(loc.range.end)] for loc in locations]


def apply(edit: types.WorkspaceEdit, encoding: str = "utf-16") -> None:
    """Does what an editor does with a workspace edit, on the files."""
    from pygls import uris

    for change in edit.document_changes or []:
        if isinstance(change, types.RenameFile):
            os.rename(uris.to_fs_path(change.old_uri) or "", uris.to_fs_path(change.new_uri) or "")
            continue
        assert isinstance(change, types.TextDocumentEdit)
        path = pathlib.Path(uris.to_fs_path(change.text_document.uri) or "")
        path.write_bytes(edited(path.read_bytes().decode(), change.edits, encoding).encode())


def edited(text: str, edits: Sequence[object], encoding: str = "utf-16") -> str:
    positions = TextPositions(text, encoding)
    places = []
    for edit in edits:
        assert isinstance(edit, types.TextEdit)
        places.append((positions.offset(edit.range.start), positions.offset(edit.range.end), edit.new_text))
    for start, end, new in sorted(places, reverse=True):
        text = text[:start] + new + text[end:]
    return text


def document(path: os.PathLike[str]) -> types.TextDocumentIdentifier:
    return types.TextDocumentIdentifier(uri=uri(path))


def test_a_session_on_a_project(tmp_path: pathlib.Path) -> None:
    root = write(tmp_path, FILES)
    models = tmp_path / "proj" / "models"

    async def scenario() -> None:
        async with session(root) as client:
            assert client.init.capabilities.position_encoding == "utf-16"  # type: ignore[attr-defined]
            await diagnostics(client, models)
            await navigation(client, models)
            await edits_outside_the_saved_files(client, models)
            await renames(client, models)

    run(scenario)
    project = Project.load(tmp_path / "proj")
    assert "staged" in project.models and "stg_orders" not in project.models
    assert [ref.model for ref in project.missing_refs] == ["nowhere", "elsewhere", "orders"]
    assert "{{ ref('staged') }} s join" in (models / "report.sql").read_text()


async def diagnostics(client: LanguageClient, models: pathlib.Path) -> None:
    open_file(client, models / "reader.sql")
    # The unclosed block from the file itself; one missing ref, the other silenced.
    expected = ["missing-ref", "unclosed-block"]
    await until(lambda: codes(client, models / "reader.sql") == expected, "the file's and the project's findings")
    missing = next(d for d in client.diagnostics[uri(models / "reader.sql")] if d.code == "missing-ref")
    assert missing.severity == types.DiagnosticSeverity.Error
    assert missing.range == types.Range(at(READER, "ref('nowhere')"), at(READER, " }}\n{#"))
    assert missing.range.start.character == 29  # 28 characters before it, the emoji counted twice
    # Files not open get the project's findings: a cycle, a name defined twice.
    await until(lambda: codes(client, models / "b" / "dup.sql") == ["duplicate-name"], "duplicate-name")
    assert codes(client, models / "loop_a.sql") + codes(client, models / "loop_b.sql") == ["cycle"]
    assert codes(client, models / "a" / "dup.sql") == []


async def navigation(client: LanguageClient, models: pathlib.Path) -> None:
    orders, report = models / "orders.sql", models / "report.sql"
    open_file(client, orders)

    async def definition(path: pathlib.Path, text: str, needle: str, shift: int = 0) -> list[types.Location]:
        params = types.DefinitionParams(document(path), at(text, needle, shift))
        found = await client.text_document_definition_async(params)
        assert isinstance(found, list)
        return found  # type: ignore[return-value]

    # A ref to its model's file; a CTE's name to the CTE; a qualified column to its definition.
    [model] = await definition(orders, ORDERS, "stg_orders')")
    assert model.uri == uri(models / "stg_orders.sql") and model.range.start == types.Position(0, 0)
    [cte] = await definition(orders, ORDERS, "orders on")
    assert cte.uri == uri(orders) and spans(ORDERS, [cte]) == ["orders"] and cte.range.start == types.Position(0, 5)
    [column] = await definition(orders, ORDERS, "o.amount", 2)
    assert column.range.start == at(ORDERS, "amount from") and spans(ORDERS, [column]) == ["amount"]
    [upstream] = await definition(report, REPORT, "s.amount", 3)
    assert upstream.uri == uri(models / "stg_orders.sql") and upstream.range.start == types.Position(0, 11)

    async def references(path: pathlib.Path, text: str, needle: str, declaration: bool) -> list[types.Location]:
        context = types.ReferenceContext(include_declaration=declaration)
        params = types.ReferenceParams(context, document(path), at(text, needle))
        return list(await client.text_document_references_async(params) or [])

    # From the model's file, or from a ref to it: every ref to it.
    by_file = await references(models / "stg_orders.sql", "select", "select", declaration=False)
    by_ref = await references(report, REPORT, "stg_orders", declaration=True)
    assert sorted((loc.uri, loc.range.start.line) for loc in by_file) == [(uri(orders), 0), (uri(report), 0)]
    assert spans(REPORT, [loc for loc in by_file if loc.uri == uri(report)]) == ["ref('stg_orders')"]
    assert len(by_ref) == 3 and by_ref[0].uri == uri(models / "stg_orders.sql")
    # From a CTE: its uses in the file, qualifiers included.
    uses = await references(orders, ORDERS, "big as", declaration=False)
    assert spans(ORDERS, uses) == ["big", "big", "big"] and all(loc.range.start.line == 2 for loc in uses)


async def edits_outside_the_saved_files(client: LanguageClient, models: pathlib.Path) -> None:
    report = models / "report.sql"
    open_file(client, report)
    await until(lambda: uri(report) in client.diagnostics, "the report's diagnostics")
    assert codes(client, report) == []
    # An unsaved change that breaks a ref; closing the buffer brings back the file's text.
    change = types.TextDocumentContentChangePartial(range=types.Range(at(REPORT, "s')"), at(REPORT, "')")), text="z")
    client.text_document_did_change(
        types.DidChangeTextDocumentParams(types.VersionedTextDocumentIdentifier(version=2, uri=uri(report)), [change])
    )
    await until(lambda: codes(client, report) == ["missing-ref"], "the broken ref")
    assert report.read_text() == REPORT
    # A line typed above it moves the project's finding along.
    start = types.Range(types.Position(0, 0), types.Position(0, 0))
    client.text_document_did_change(
        types.DidChangeTextDocumentParams(
            types.VersionedTextDocumentIdentifier(version=3, uri=uri(report)),
            [types.TextDocumentContentChangePartial(range=start, text="-- é\n")],
        )
    )
    await until(lambda: client.diagnostics[uri(report)][0].range.start.line == 1, "the finding moved")
    moved = client.diagnostics[uri(report)][0].range.start
    assert moved == types.Position(1, at(REPORT, "ref('stg_orders')").character) and len(codes(client, report)) == 1
    client.text_document_did_close(types.DidCloseTextDocumentParams(document(report)))
    await until(lambda: codes(client, report) == [], "the file's text again")
    # A model moved away outside the editor: its readers, open or not, miss it.
    os.rename(models / "orders.sql", models / "orders_v2.sql")
    events = [
        types.FileEvent(uri(models / "orders.sql"), types.FileChangeType.Deleted),
        types.FileEvent(uri(models / "orders_v2.sql"), types.FileChangeType.Created),
    ]
    client.workspace_did_change_watched_files(types.DidChangeWatchedFilesParams(changes=events))
    await until(lambda: codes(client, report) == ["missing-ref"], "missing-ref in the reader")


async def renames(client: LanguageClient, models: pathlib.Path) -> None:
    orders = models / "orders_v2.sql"
    open_file(client, orders)
    # A CTE, within its file: the name, its relations and its qualifiers.
    cte_edit = await client.text_document_rename_async(
        types.RenameParams(document(orders), at(ORDERS, "big as"), "large")
    )
    assert cte_edit is not None and cte_edit.document_changes is not None
    [change] = cte_edit.document_changes
    assert isinstance(change, types.TextDocumentEdit)
    assert edited(ORDERS, change.edits) == ORDERS.replace("big", "large")
    # A model, everywhere, its file moved.
    report = models / "report.sql"
    prepared = await client.text_document_prepare_rename_async(
        types.PrepareRenameParams(document(report), at(REPORT, "stg_orders"))
    )
    assert isinstance(prepared, types.PrepareRenamePlaceholder) and prepared.placeholder == "stg_orders"
    assert spans(REPORT, [types.Location(uri(report), prepared.range)]) == ["stg_orders"]
    edit = await client.text_document_rename_async(types.RenameParams(document(report), at(REPORT, "stg_orders"), "staged"))
    assert edit is not None
    assert isinstance((edit.document_changes or [])[-1], types.RenameFile)
    apply(edit)


@pytest.mark.parametrize("encoding, pull", [("utf-8", False), ("utf-32", True)])
def test_other_encodings_and_an_editor_that_cannot_rename_files(
    tmp_path: pathlib.Path, encoding: str, pull: bool
) -> None:
    line = "select 'é😀', {{ ref('gone') }}, {{ ref('m2') }}"
    root = write(tmp_path, {"m.sql": "-- ünïcode\r\n" + line + "\r\n", "m2.sql": "select 1\n"})
    text = (tmp_path / "m.sql").read_bytes().decode()

    async def scenario() -> None:
        async with session(root, capabilities([encoding], file_renames=False, pull=pull)) as client:
            assert client.init.capabilities.position_encoding == encoding  # type: ignore[attr-defined]
            open_file(client, tmp_path / "m.sql")
            if pull:  # asked for, once the project is read
                params = types.DocumentDiagnosticParams(text_document=document(tmp_path / "m.sql"))
                diagnostics: list[types.Diagnostic] = []
                while not diagnostics:
                    await asyncio.sleep(0.02)
                    report = await client.text_document_diagnostic_async(params)
                    assert isinstance(report, types.RelatedFullDocumentDiagnosticReport)
                    diagnostics = list(report.items)
                assert not client.diagnostics.get(uri(tmp_path / "m.sql"))  # nothing pushed as well
            else:
                await until(lambda: codes(client, tmp_path / "m.sql") == ["missing-ref"], "missing-ref")
                diagnostics = list(client.diagnostics[uri(tmp_path / "m.sql")])
            assert [d.code for d in diagnostics] == ["missing-ref"]
            found = diagnostics[0].range
            assert found.start == at(text, "ref('gone')", encoding=encoding)
            assert found.start.character == {"utf-8": 20, "utf-32": 16}[encoding]
            params = types.PrepareRenameParams(document(tmp_path / "m.sql"), at(text, "m2')", encoding=encoding))
            with pytest.raises(Exception, match="cannot rename files"):
                await client.text_document_prepare_rename_async(params)

    run(scenario)


def test_without_the_extra_the_command_names_it(monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]) -> None:
    from trelm_cst import cli

    for name in [name for name in sys.modules if name.startswith(("trelm_cst._lsp", "pygls"))]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "pygls", None)  # what an import finds when the package is missing
    assert cli.main(["lsp"]) == 2
    assert 'pip install "trelm_cst[lsp]"' in capsys.readouterr().err
