"""The language server on a large workspace: how soon an opened file has its
diagnostics, how long the index takes, each keystroke's diagnostics on a
100 KB file, and the memory of the server with its index.

    python bench/lsp_latency.py [--corpus ../shared/corpus] [--repeat 4] [--keystrokes 30]

The corpus is copied `--repeat` times into a temporary folder (removed
afterwards) with one generated model of about 100 KB. The server runs as
`trelm-cst lsp` over standard input and output, driven by a client that asks
for diagnostics itself (pull), so that each answer marks the end of the work
a change caused. Keystrokes are timed three ways: a character typed within a
line, and a line break typed above the file's refs, which moves them all.
Prints figures; asserts nothing.
"""

from __future__ import annotations

import argparse
import asyncio
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

from lsprotocol import types
from pygls import uris
from pygls.lsp.client import LanguageClient

HERE = pathlib.Path(__file__).resolve().parent
BIG = "big_model.sql"


def big_model(names: list[str], target: int = 100_000) -> str:
    """A model of about `target` characters: CTEs that read the models named by ref, joined at the end."""
    parts = ["{{ config(style='table', tags=['bench']) }}\n-- é ünïcode and 😀 on a comment line\nwith\n"]
    size, index = len(parts[0]), 0
    while size < target:
        part = (
            f"c{index} as (\n    select a.id, a.amount * {index} as v{index}, 'ö{index}' as label\n"
            f"    from {{{{ ref('{names[index % len(names)]}') }}}} a\n    where a.amount > {index}\n),\n"
        )
        parts.append(part)
        size += len(part)
        index += 1
    parts.append("final as (select * from c0)\nselect * from final\n")
    return "".join(parts)


def rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


async def pull(client: LanguageClient, uri: str) -> list[types.Diagnostic]:
    report = await client.text_document_diagnostic_async(
        types.DocumentDiagnosticParams(text_document=types.TextDocumentIdentifier(uri=uri))
    )
    return list(getattr(report, "items", []) or [])


async def session(root: pathlib.Path, opened: pathlib.Path, big: pathlib.Path, keystrokes: int) -> None:
    client = LanguageClient("bench", "1")
    published = [0]
    indexed = asyncio.Event()

    @client.feature(types.WINDOW_LOG_MESSAGE)
    def logged(params: types.LogMessageParams) -> None:
        if " model file" in params.message:
            print(f"  server: {params.message}")
            indexed.set()

    @client.feature(types.WORKSPACE_DIAGNOSTIC_REFRESH)
    def refresh(params: None) -> None:
        pass

    @client.feature(types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
    def count(params: types.PublishDiagnosticsParams) -> None:
        published[0] += 1  # the project's findings in files not open

    await client.start_io(sys.executable, "-m", "trelm_cst", "lsp")
    server = client._server
    assert server is not None
    capabilities = types.ClientCapabilities(
        text_document=types.TextDocumentClientCapabilities(diagnostic=types.DiagnosticClientCapabilities()),
    )
    start = time.perf_counter()
    await client.initialize_async(
        types.InitializeParams(
            capabilities=capabilities, workspace_folders=[types.WorkspaceFolder(uris.from_fs_path(str(root)) or "", "w")]
        )
    )
    client.initialized(types.InitializedParams())
    uri = uris.from_fs_path(str(opened)) or ""
    text = opened.read_bytes().decode()
    client.text_document_did_open(
        types.DidOpenTextDocumentParams(types.TextDocumentItem(uri=uri, language_id="sql", version=1, text=text))
    )
    first = await pull(client, uri)
    print(f"  first diagnostics of {opened.name}: {time.perf_counter() - start:7.3f} s after initialize ({len(first)})")
    rss_early = rss_kib(server.pid)
    await indexed.wait()
    found = await pull(client, uri)
    print(f"  index read: {time.perf_counter() - start:7.3f} s after initialize; {opened.name} then has {len(found)} findings")
    await asyncio.sleep(0.5)  # the findings of the files not open are worked out after
    rss = rss_kib(server.pid)
    print(f"  {published[0]:,} files not open given the project's findings")
    print(f"  server memory: {rss / 1024:7.1f} MiB with the index ({rss_early / 1024:.1f} MiB at first diagnostics)")

    big_uri = uris.from_fs_path(str(big)) or ""
    big_text = big.read_text()
    client.text_document_did_open(
        types.DidOpenTextDocumentParams(types.TextDocumentItem(uri=big_uri, language_id="sql", version=1, text=big_text))
    )
    await pull(client, big_uri)
    version = 1
    comment_line = 1  # the comment line: a character typed there moves nothing
    ref_line = big_text[: big_text.index("ref('")].count("\n")
    ref_column = big_text.split("\n")[ref_line].index("ref('") + 8
    for label, at_line, at_column, typed in (
        ("a character within a line", comment_line, 0, "x"),
        ("a line break above the refs", 2, 0, "\n"),
        ("a character in a ref's name", ref_line + keystrokes, ref_column, "x"),
    ):
        times = []
        for _ in range(keystrokes):
            version += 1
            position = types.Position(at_line, at_column)
            change = types.TextDocumentContentChangePartial(range=types.Range(position, position), text=typed)
            began = time.perf_counter()
            client.text_document_did_change(
                types.DidChangeTextDocumentParams(
                    types.VersionedTextDocumentIdentifier(version=version, uri=big_uri), [change]
                )
            )
            found = await pull(client, big_uri)
            times.append(time.perf_counter() - began)
        print(
            f"  keystroke, {label}, {len(big_text) / 1000:.0f} KB file: median {statistics.median(times) * 1000:6.1f} ms, "
            f"90th percentile {statistics.quantiles(times, n=10)[-1] * 1000:6.1f} ms, slowest {max(times) * 1000:6.1f} ms "
            f"({keystrokes} keystrokes; the last answer: {', '.join(str(d.code) for d in found) or 'no findings'})"
        )
    await client.shutdown_async(None)
    client.exit(None)
    await client.stop()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus", type=pathlib.Path, default=HERE.parents[1] / "shared" / "corpus")
    parser.add_argument("--repeat", type=int, default=4, help="copies of the corpus (default 4)")
    parser.add_argument("--keystrokes", type=int, default=30, help="keystrokes timed of each kind (default 30)")
    args = parser.parse_args()
    if not args.corpus.is_dir():
        print(f"{args.corpus} not present: nothing measured")
        return
    load_before = " ".join(f"{x:.2f}" for x in os.getloadavg())
    with tempfile.TemporaryDirectory(prefix="lsp-latency-") as temp:
        root = pathlib.Path(temp)
        for copy in range(args.repeat):
            shutil.copytree(args.corpus, root / f"copy{copy}")
        # Within a project folder's models, reading fifty of its models: a
        # character typed in a ref's name changes the graph and its findings.
        models = root / "copy0" / "tuva" / "models"
        names = sorted({path.stem for path in models.rglob("*.sql")})[:50]
        (models / BIG).write_text(big_model(names))
        files = sum(1 for _ in root.rglob("*.sql"))
        print(f"corpus {args.repeat} times over: {files:,} .sql files", flush=True)
        # A file of the second copy: its name is defined again, a finding of the project.
        opened = sorted((root / "copy1").rglob("*.sql"))[0]
        asyncio.run(session(root, opened, models / BIG, args.keystrokes))
    load_after = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"load average before/after: {load_before} / {load_after} on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
