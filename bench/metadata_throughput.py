"""Model metadata throughput: refs, sources and config reads over a folder of
model files (the shared corpus by default), config edits per second on one
file, and refs on a file with many distinct calls. Prints figures; asserts
nothing.

    python bench/metadata_throughput.py [--corpus DIR]
"""

from __future__ import annotations

import argparse
import time
from pathlib import Path

from trelm_cst import parse_trelm

DEFAULT_CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"


def corpus_figures(folder: Path) -> None:
    texts = [p.read_text(encoding="utf-8") for p in sorted(folder.rglob("*.sql"))]
    docs = [parse_trelm(t) for t in texts]
    size = sum(len(t.encode()) for t in texts)
    print(f"{len(docs)} files, {size / 1e6:.1f} MB")

    def per_file(label: str, fn) -> None:
        t0 = time.perf_counter()
        for d in docs:
            fn(d)
        dt = time.perf_counter() - t0
        print(f"  {label:<28} {dt / len(docs) * 1e6:>8.1f} µs per file  {size / dt / 1e6:>8.1f} MB/s")

    per_file("refs", lambda d: d.refs)
    per_file("sources", lambda d: d.sources)

    def config_read(d):
        c = d.config
        if c is not None:
            for k in c.keys():
                c.raw(k)

    per_file("config keys + raw values", config_read)


def edit_figures() -> None:
    doc = parse_trelm("{{ config(\n    style='table',\n    tags=['a'],\n) }}\nselect 1 from t\n")
    c = doc.config
    n = 20_000
    t0 = time.perf_counter()
    for i in range(n):
        c["tags"] = ["a", str(i)]
    dt = time.perf_counter() - t0
    print(f"config value replaced:        {n / dt:>10,.0f} per second")
    t0 = time.perf_counter()
    for i in range(n):
        c["extra"] = i
        del c["extra"]
    dt = time.perf_counter() - t0
    print(f"config key added+removed:     {n / dt:>10,.0f} pairs per second")


def many_refs() -> None:
    n = 100_000
    text = "select\n" + ",\n".join(f"  (select 1 from {{{{ ref('m{i}') }}}})" for i in range(n)) + "\n"
    doc = parse_trelm(text)
    t0 = time.perf_counter()
    found = doc.refs
    dt = time.perf_counter() - t0
    print(f"refs on {n:,} distinct calls:  {dt:.2f} s ({len(found):,} found)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    args = parser.parse_args()
    if args.corpus.is_dir():
        corpus_figures(args.corpus)
    else:
        print(f"no corpus at {args.corpus}; skipping the per-file figures")
    edit_figures()
    many_refs()


if __name__ == "__main__":
    main()
