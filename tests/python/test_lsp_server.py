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


def capabilities(encodings: Sequence[str] = (), file_renames: bool = True) -> types.ClientCapabilities:
    operations = [types.ResourceOperationKind.Rename] if file_renames else []
    return types.ClientCapabilities(
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


# ---------------------------------------------------------------- diagnostics


def test_diagnostics_of_a_file_and_of_the_project_with_suppressions(tmp_path: os.PathLike[str]) -> None:
    root = write(
        tmp_path,
        {
            "proj/models/orders.sql": "select * from {{ ref('customers') }}\n",
            "proj/models/customers.sql": "select * from {{ ref('orders') }}\n",
            "proj/models/a/dup.sql": "select 1\n",
            "proj/models/b/dup.sql": "select 2\n",
            "proj/models/reader.sql": (
                "{% if x %}\nselect * from {{ ref('nowhere') }}\n"
                "{# trelm-cst: ignore[missing-ref] #}\njoin {{ ref('elsewhere') }}\n"
            ),
        },
    )
    models = tmp_path / "proj" / "models"

    async def scenario() -> None:
        async with session(root) as client:
            open_file(client, models / "reader.sql")
            await until(lambda: "missing-ref" in codes(client, models / "reader.sql"), "the project's findings")
            reader = client.diagnostics[uri(models / "reader.sql")]
            # The unclosed block from the file itself; one missing ref, the other silenced.
            assert codes(client, models / "reader.sql") == ["missing-ref", "unclosed-block"]
            missing = next(d for d in reader if d.code == "missing-ref")
            assert missing.severity == types.DiagnosticSeverity.Error
            assert missing.range == types.Range(types.Position(1, 17), types.Position(1, 31))
            # Files not open get the project's findings: a cycle, a name defined twice.
            await until(lambda: codes(client, models / "b" / "dup.sql") == ["duplicate-name"], "duplicate-name")
            await until(lambda: codes(client, models / "orders.sql") + codes(client, models / "customers.sql"), "cycle")
            assert codes(client, models / "orders.sql") + codes(client, models / "customers.sql") == ["cycle"]

    run(scenario)


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16", "utf-32"])
def test_positions_on_non_ascii_lines_in_the_negotiated_encoding(tmp_path: os.PathLike[str], encoding: str) -> None:
    line = "select 'é😀', {{ ref('gone') }}"
    root = write(tmp_path, {"m.sql": "-- ünïcode\r\n" + line + "\r\n", "gone_not.sql": "select 1\n"})

    async def scenario() -> None:
        async with session(root, capabilities([encoding])) as client:
            assert client.init.capabilities.position_encoding == encoding  # type: ignore[attr-defined]
            open_file(client, tmp_path / "m.sql")
            await until(lambda: codes(client, tmp_path / "m.sql") == ["missing-ref"], "missing-ref")
            found = client.diagnostics[uri(tmp_path / "m.sql")][0].range
            start = line.index("ref(")
            units = len(line[:start].encode(encoding.replace("utf-", "utf_") + ("-le" if encoding != "utf-8" else "")))
            width = {"utf-8": 1, "utf-16": 2, "utf-32": 4}[encoding]
            assert found.start == types.Position(1, units // width)

    run(scenario)


def test_an_unsaved_buffer_that_breaks_a_ref_and_its_revert(tmp_path: os.PathLike[str]) -> None:
    root = write(tmp_path, {"a.sql": "select * from {{ ref('b') }}\n", "b.sql": "select 1\n"})

    async def scenario() -> None:
        async with session(root) as client:
            open_file(client, tmp_path / "a.sql")
            await until(lambda: uri(tmp_path / "a.sql") in client.diagnostics, "first diagnostics")
            assert codes(client, tmp_path / "a.sql") == []
            change = types.TextDocumentContentChangePartial(
                range=types.Range(types.Position(0, 22), types.Position(0, 23)), text="c"
            )
            client.text_document_did_change(
                types.DidChangeTextDocumentParams(
                    text_document=types.VersionedTextDocumentIdentifier(uri=uri(tmp_path / "a.sql"), version=2),
                    content_changes=[change],
                )
            )
            await until(lambda: codes(client, tmp_path / "a.sql") == ["missing-ref"], "the broken ref")
            assert (tmp_path / "a.sql").read_text() == "select * from {{ ref('b') }}\n"
            client.text_document_did_close(
                types.DidCloseTextDocumentParams(text_document=types.TextDocumentIdentifier(uri(tmp_path / "a.sql")))
            )
            await until(lambda: codes(client, tmp_path / "a.sql") == [], "the file's text again")

    run(scenario)


def test_a_model_renamed_outside_the_editor_breaks_its_readers(tmp_path: os.PathLike[str]) -> None:
    root = write(tmp_path, {"a.sql": "select * from {{ ref('b') }}\n", "b.sql": "select 1\n"})

    async def scenario() -> None:
        async with session(root) as client:
            open_file(client, tmp_path / "b.sql")
            await until(lambda: uri(tmp_path / "b.sql") in client.diagnostics, "first diagnostics")
            os.rename(tmp_path / "b.sql", tmp_path / "c.sql")
            events = [
                types.FileEvent(uri(tmp_path / "b.sql"), types.FileChangeType.Deleted),
                types.FileEvent(uri(tmp_path / "c.sql"), types.FileChangeType.Created),
            ]
            client.workspace_did_change_watched_files(types.DidChangeWatchedFilesParams(changes=events))
            # a.sql is not open: it gets the project's finding all the same.
            await until(lambda: codes(client, tmp_path / "a.sql") == ["missing-ref"], "missing-ref in the reader")

    run(scenario)
