"""Throughput and memory through Python, against the general SQL parsers.

    python bench/compare.py --corpus DIR [--corpus DIR ...] [--core-json FILE] [--out docs/performance.md]

Runs in one process pinned to one core. For every corpus folder (all *.sql
below it): parse_trelm alone and parse_trelm + str per file, doc.refs,
doc.config reads, doc.queries() with every column's name, and select-list and
config edits per second. Then the tree's heap bytes per source byte on one
large parse, the time of `import trelm_cst` in fresh interpreters, and the
peers (sqlparse.parse, sqlglot.tokenize, sqlglot.parse, tree-sitter's SQL
grammar, sqlfmt's parser: each where it is installed) on a spread-out subset
of each corpus, as ratios to ours on the very same files, and on just the
files each peer accepts. sqlglot is measured as installed (compiled when its
compiled extra is present) and, in a child process on the same core, as
plain Python, so the fastest variant is known.

With --core-json (Google Benchmark's JSON output of core_bench) the core's
lex, parse and print rates and its allocation counts join the table. Prints
the table and writes the report; asserts nothing about time. The section
"Where the time goes" of an existing report is kept as it is.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import json
import os
import platform
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

FINDINGS_START = "<!-- findings:start -->"
FINDINGS_END = "<!-- findings:end -->"

# The targets.
PARSE_MBS = 100.0
SQLPARSE_RATIO = 100.0
SQLGLOT_RATIO = 20.0
LEX_MBS = 400.0
PRINT_MBS = 1000.0
TREE_BYTES_PER_BYTE = 12.0
IMPORT_MS = 20.0
THREAD_SPEEDUP = 1.7
PARSE_PRINT_MBS = 250.0  # on the real files, one core


@dataclass
class Corpus:
    name: str
    texts: list[str]
    bytes: int = 0

    def __post_init__(self) -> None:
        self.bytes = sum(len(t.encode()) for t in self.texts)

    def subset(self, max_bytes: int) -> Corpus:
        """Every k-th file, so that the subset keeps the corpus's mix of sizes."""
        if self.bytes <= max_bytes:
            return self
        step = max(1, round(self.bytes / max_bytes))
        return Corpus(f"{self.name} (every {step}th file)", self.texts[::step])


@dataclass
class Row:
    what: str
    value: str
    note: str = ""


@dataclass
class Report:
    rows: list[Row] = field(default_factory=list)
    targets: list[tuple[str, str, str, bool]] = field(default_factory=list)  # what, target, measured, met

    def add(self, what: str, value: str, note: str = "") -> None:
        self.rows.append(Row(what, value, note))
        print(f"  {what:<58} {value:>22}  {note}", flush=True)

    def target(self, what: str, goal: str, measured: str, met: bool) -> None:
        self.targets.append((what, goal, measured, met))


def load(folder: Path, name: str) -> Corpus:
    texts = [p.read_bytes().decode("utf-8") for p in sorted(folder.rglob("*.sql"))]
    return Corpus(name, texts)


# Throughput is timed in CPU seconds of the measuring thread, like the core
# benchmark's rates, so other work sharing the machine does not count.
cpu_clock = time.thread_time


def best_of(fn, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        t0 = cpu_clock()
        fn()
        best = min(best, cpu_clock() - t0)
    return best


def per_file(corpus: Corpus, seconds: float) -> str:
    return f"{seconds / len(corpus.texts) * 1e6:,.1f} µs/file"


def mbs(nbytes: int, seconds: float) -> float:
    return nbytes / seconds / 1e6


# --- our module -----------------------------------------------------------


def measure_ours(corpus: Corpus, repeat: int, report: Report) -> dict[str, float]:
    from trelm_cst import parse_trelm

    texts = corpus.texts
    print(f"{corpus.name}: {len(texts)} files, {corpus.bytes / 1e6:.2f} MB", flush=True)
    figures: dict[str, float] = {}

    # Each document is dropped as the next file is parsed, as in a tool that
    # walks a repository; freeing is part of the cost.
    def parse_each() -> None:
        for x in texts:
            parse_trelm(x)

    def parse_str_each() -> None:
        for x in texts:
            str(parse_trelm(x))

    t = best_of(parse_each, repeat)
    figures["parse"] = mbs(corpus.bytes, t)
    report.add(f"[{corpus.name}] parse_trelm", f"{figures['parse']:.1f} MB/s", per_file(corpus, t))

    t = best_of(parse_str_each, repeat)
    figures["parse_str"] = mbs(corpus.bytes, t)
    report.add(f"[{corpus.name}] parse_trelm + str", f"{figures['parse_str']:.1f} MB/s", per_file(corpus, t))

    docs = [parse_trelm(x) for x in texts]
    t = best_of(lambda: [str(d) for d in docs], repeat)
    report.add(f"[{corpus.name}] str of a parsed document", f"{mbs(corpus.bytes, t):.1f} MB/s", per_file(corpus, t))

    t = best_of(lambda: [d.refs for d in docs], repeat)
    report.add(f"[{corpus.name}] doc.refs", f"{mbs(corpus.bytes, t):.1f} MB/s", per_file(corpus, t))

    def config_reads() -> None:
        for d in docs:
            c = d.config
            if c is not None:
                for k in c.keys():
                    c.raw(k)

    t = best_of(config_reads, repeat)
    report.add(f"[{corpus.name}] doc.config keys + raw values", f"{mbs(corpus.bytes, t):.1f} MB/s", per_file(corpus, t))

    def column_names() -> int:
        n = 0
        for d in docs:
            for q in d.queries():
                for s in q.selects:
                    for col in s.columns:
                        col.name
                        n += 1
        return n

    columns = column_names()
    t = best_of(column_names, repeat)
    report.add(
        f"[{corpus.name}] doc.queries() + every column's name",
        f"{mbs(corpus.bytes, t):.1f} MB/s",
        f"{per_file(corpus, t)}, {columns:,} columns",
    )

    # Edits on fresh documents: one add and one remove per SELECT list, one
    # key set and one deleted per config call.
    fresh = [parse_trelm(x) for x in texts]
    selects = [d.query.select for d in fresh if d.query is not None and d.query.select is not None]
    t0 = cpu_clock()
    for s in selects:
        s.add("bench_added_column")
        s.remove("bench_added_column")
    t = cpu_clock() - t0
    report.add(f"[{corpus.name}] select-list edits (add, remove)", f"{2 * len(selects) / t:,.0f} edits/s")

    configs = [d.config for d in fresh if d.config is not None]
    t0 = cpu_clock()
    for c in configs:
        c["bench_key"] = ["a", "b"]
        del c["bench_key"]
    t = cpu_clock() - t0
    report.add(f"[{corpus.name}] config edits (set, delete)", f"{2 * len(configs) / t:,.0f} edits/s")
    for d, x in zip(fresh, texts):
        if str(d) != x:
            print(f"  note: an add+remove or set+delete pair did not give back the text in {corpus.name}")
            break
    return figures


def heap_in_use() -> int | None:
    """glibc's bytes in use (arena plus mmapped chunks), or None elsewhere."""

    class Mallinfo2(ctypes.Structure):
        _fields_ = [
            (n, ctypes.c_size_t)
            for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")
        ]

    try:
        libc = ctypes.CDLL("libc.so.6")
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = Mallinfo2
    m = fn()
    return m.uordblks + m.hblkhd


def measure_memory(corpus: Corpus, report: Report) -> float | None:
    """Heap that one large document keeps, per byte of its source."""
    from trelm_cst import parse_trelm

    text = "\n".join(corpus.texts)
    size = len(text.encode())
    # The UTF-8 copy CPython caches on the str is not part of the tree: make
    # it before the first reading.
    text.encode()
    heap0 = heap_in_use()
    doc = parse_trelm(text)
    heap1 = heap_in_use()
    if heap0 is None or heap1 is None:
        return None
    per_byte = (heap1 - heap0) / size
    same = "prints back the same" if str(doc) == text else "DOES NOT PRINT BACK THE SAME"
    report.add(
        f"heap kept by one {size / 1e6:.1f} MB document (mallinfo2)", f"{per_byte:.1f} B per source byte", same
    )
    del doc
    return per_byte


def import_ms(runs: int) -> tuple[float, float]:
    code = (
        "import time; t0 = time.perf_counter(); import trelm_cst; t1 = time.perf_counter(); "
        "print(t1 - t0)"
    )
    # The extension module alone, loaded from its file without running the
    # package's __init__.
    native = (
        "import importlib.machinery as im, pathlib, sys, time, types; "
        "f = str(next(p for d in sys.path for p in pathlib.Path(d or '.').glob('trelm_cst/_native*.so'))); "
        "t0 = time.perf_counter(); loader = im.ExtensionFileLoader('trelm_cst._native', f); "
        "m = loader.create_module(types.SimpleNamespace(name='trelm_cst._native', origin=f)); "
        "loader.exec_module(m); t1 = time.perf_counter(); "
        "print(t1 - t0)"
    )

    def best(src: str) -> float:
        return min(float(subprocess.run([sys.executable, "-c", src], capture_output=True, text=True, check=True).stdout) for _ in range(runs))

    return best(code) * 1e3, best(native) * 1e3


# --- the peers --------------------------------------------------------------


def time_calls(fn, texts: list[str]) -> tuple[list[float], list[bool]]:
    """Seconds for each call of fn on each text, and whether it raised."""
    times, raised = [], []
    for x in texts:
        t0 = cpu_clock()
        try:
            fn(x)
            failed = False
        except Exception:  # noqa: BLE001 - a peer refusing Jinja is a result, not an error
            failed = True
        times.append(cpu_clock() - t0)
        raised.append(failed)
    return times, raised


def sqlglot_compiled() -> bool:
    from sqlglot import tokenizer_core

    return not getattr(tokenizer_core, "__file__", "py").endswith(".py")


def measure_sqlglot(texts: list[str]) -> dict[str, list[float]]:
    import sqlglot

    # Warm up: the first call builds the dialect's tables.
    for fn in (sqlglot.tokenize, sqlglot.parse):
        try:
            fn("select 1")
        except Exception:  # noqa: BLE001
            pass
    out = {}
    for name, fn in (("tokenize", sqlglot.tokenize), ("parse", sqlglot.parse)):
        out[name] = list(time_calls(fn, texts))
    return out


def tree_sitter_sql_parse():
    """tree-sitter's SQL grammar as a callable on str (the encoding to bytes
    counts), with the version, and the list to which it appends whether each
    tree holds errors: the grammar never refuses a file, it marks what it
    cannot read (every Jinja tag). None when it is not installed."""
    try:
        import importlib.metadata

        import tree_sitter
        import tree_sitter_sql
    except ImportError:
        return None
    parser = tree_sitter.Parser(tree_sitter.Language(tree_sitter_sql.language()))
    flawed: list[bool] = []

    def parse(text: str):
        tree = parser.parse(text.encode())
        flawed.append(tree.root_node.has_error)
        return tree

    version = f"{importlib.metadata.version('tree-sitter')}, grammar {importlib.metadata.version('tree-sitter-sql')}"
    return parse, version, flawed


def sqlfmt_parse():
    """sqlfmt's parser (its analyzer's parse_query), or None when it is not
    installed."""
    try:
        import importlib.metadata

        from sqlfmt.mode import Mode
    except ImportError:
        return None
    mode = Mode()
    analyzer = mode.dialect.initialize_analyzer(line_length=mode.line_length)
    return analyzer.parse_query, importlib.metadata.version("shandy-sqlfmt")


def force_plain_python(package: str) -> None:
    """Makes modules of `package` load from their .py files even where a
    compiled overlay sits next to them."""
    import importlib.machinery as m

    plain = [(m.SourceFileLoader, m.SOURCE_SUFFIXES), (m.SourcelessFileLoader, m.BYTECODE_SUFFIXES)]

    def hook(path: str):
        parts = Path(path).parts
        if package in parts or (Path(path) / package).is_dir():
            return m.FileFinder(path, *plain)
        raise ImportError

    sys.path_hooks.insert(0, hook)
    sys.path_importer_cache.clear()


def sqlglot_plain_child(corpus_dirs: list[str], max_bytes: int, cpu: int) -> dict[str, dict[str, list[float]]]:
    args = [sys.executable, __file__, "--sqlglot-plain-child", "--peer-mb", str(max_bytes / 1e6), "--cpu", str(cpu)]
    for d in corpus_dirs:
        args += ["--corpus", d]
    done = subprocess.run(args, capture_output=True, text=True)
    if done.returncode != 0:
        print(done.stderr[-2000:])
        return {}
    return json.loads(done.stdout)


def measure_peers(
    corpora: list[Corpus], ours_subset: dict[str, float], plain: dict, report: Report, repeat: int
) -> dict[str, float]:
    """Ratios ours / peer on the same files; returns the smallest ratio per peer kind."""
    from trelm_cst import parse_trelm

    worst: dict[str, float] = {}
    try:
        import sqlparse
    except ImportError:
        sqlparse = None
    try:
        import sqlglot
    except ImportError:
        sqlglot = None
    tree_sitter = tree_sitter_sql_parse()
    sqlfmt = sqlfmt_parse()

    for corpus in corpora:
        texts = corpus.texts
        # Our time per file, best of `repeat`, so that a ratio can also be
        # taken over just the files a peer accepted.
        ours_each = [min(time_calls(parse_trelm, [x])[0][0] for _ in range(repeat)) for x in texts]
        ours = sum(ours_each)
        ours_mbs = mbs(corpus.bytes, ours)
        ours_subset[corpus.name] = ours_mbs
        report.add(f"[{corpus.name}] parse_trelm on these files", f"{ours_mbs:.1f} MB/s", f"{corpus.bytes / 1e6:.2f} MB")

        def ratio(label: str, times: list[float], raised: list[bool], key: str, extra: str = "") -> None:
            # A peer that raises stops early, so over all files its speed is
            # flattered; the ratio over the files it accepted is the fair one.
            r = sum(times) / ours
            note = f"{mbs(corpus.bytes, sum(times)):.2f} MB/s"
            ok = [i for i, bad in enumerate(raised) if not bad]
            if len(ok) < len(texts):
                note += f"; raised on {len(texts) - len(ok)} of {len(texts)} files"
                if ok:
                    r_ok = sum(times[i] for i in ok) / sum(ours_each[i] for i in ok)
                    note += f"; on the {len(ok)} it accepted, ours {r_ok:,.0f}x faster"
                    worst[key + ".accepted"] = min(worst.get(key + ".accepted", float("inf")), r_ok)
            report.add(f"[{corpus.name}] {label}", f"ours {r:,.0f}x faster", note + extra)
            worst[key] = min(worst.get(key, float("inf")), r)

        if sqlparse is not None:
            ratio(f"sqlparse.parse {sqlparse.__version__}", *time_calls(sqlparse.parse, texts), "sqlparse")
        if sqlglot is not None:
            kind = "compiled" if sqlglot_compiled() else "plain Python"
            for name, (times, raised) in measure_sqlglot(texts).items():
                ratio(f"sqlglot.{name} {sqlglot.__version__} ({kind})", times, raised, f"sqlglot.{name}")
            for name, (times, raised) in plain.get(corpus.name, {}).items():
                ratio(f"sqlglot.{name} {sqlglot.__version__} (plain Python)", times, raised, f"sqlglot.{name}.plain")
        if tree_sitter is not None:
            fn, version, flawed = tree_sitter
            flawed.clear()
            times, raised = time_calls(fn, texts)
            ratio(f"tree-sitter SQL grammar ({version})", times, raised, "tree-sitter",
                  f"; never refuses a file: {sum(flawed)} of {len(texts)} trees hold error nodes")
        if sqlfmt is not None:
            fn, version = sqlfmt
            ratio(f"sqlfmt parse_query {version}", *time_calls(fn, texts), "sqlfmt")
    return worst


# --- the report -------------------------------------------------------------


def cpu_model() -> str:
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown"


def compiler(build_dir: Path) -> str:
    cache = build_dir / "CMakeCache.txt"
    if not cache.is_file():
        return "unknown"
    for line in cache.read_text().splitlines():
        if line.startswith("CMAKE_CXX_COMPILER:"):
            cxx = line.split("=", 1)[1]
            try:
                return subprocess.run([cxx, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
            except (OSError, IndexError):
                return cxx
    return "unknown"


def core_figures(path: Path, report: Report) -> dict[str, float]:
    data = json.loads(path.read_text())
    rates: dict[str, float] = {}
    for b in data["benchmarks"]:
        if "bytes_per_second" not in b:
            continue
        # With repetitions, the median of them; otherwise the one run.
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") != "median":
                continue
            name = b["run_name"]
            note = f"median of {b.get('repetitions', '?')} runs"
        else:
            name = b["name"]
            note = ""
        rates[name] = b["bytes_per_second"] / 1e6
        report.add(f"[core] {name}", f"{rates[name]:,.1f} MB/s", note)
    ctx = data.get("context", {})
    sizes = ", ".join(f"{k.split('/', 1)[1]} {v}" for k, v in ctx.items() if k.startswith("sizeof/"))
    if sizes:
        report.add("[core] sizeof", sizes)
    names = sorted({k.split("/")[1] for k in ctx if k.startswith("memory/")})
    for n in names:
        get = lambda f: float(ctx[f"memory/{n}/{f}"])  # noqa: E731
        nbytes = get("bytes")
        report.add(
            f"[core] {n}: tokens, nodes",
            f"{get('tokens'):,.0f}, {get('nodes'):,.0f}",
            f"{nbytes / get('tokens'):.2f} source bytes per token",
        )
        report.add(
            f"[core] {n}: parse allocations",
            f"{get('allocations') / nbytes:.3f} per byte",
            f"{get('allocations') / get('tokens'):.2f} per token",
        )
        if f"memory/{n}/slot_capacity" in ctx:
            child = float(ctx.get("sizeof/Child", 0))
            report.add(
                f"[core] {n}: child slots allocated / in use",
                f"{get('slot_capacity'):,.0f} / {get('slots'):,.0f}",
                f"{get('slot_capacity') * child / nbytes:.1f} B per source byte in slot arrays",
            )
            report.add(
                f"[core] {n}: token texts on the heap",
                f"{get('heap_texts') / get('tokens') * 100:.1f}% of tokens",
                f"{get('heap_text_bytes') / nbytes:.2f} B per source byte",
            )
        report.add(f"[core] {n}: heap kept by the trees", f"{get('retained_heap') / nbytes:.1f} B/B", "all files kept")
    return rates


def render(report: Report, machine: list[str], findings: str) -> str:
    lines = ["# Performance", ""]
    lines += [
        "Figures from one run of `bench/run_bench.sh` (the generated corpus from `tools/gen_corpus.py`, and the",
        "shared corpus of real model files where it exists). Everything ran pinned to one core.",
        "",
        "## Machine",
        "",
    ]
    lines += [f"- {m}" for m in machine]
    lines += ["", "## Targets", "", "| target | goal | measured | met |", "|---|---|---|---|"]
    for what, goal, measured, met in report.targets:
        lines.append(f"| {what} | {goal} | {measured} | {'yes' if met else 'no'} |")
    lines += ["", "## All figures", "", "| what | figure | note |", "|---|---:|---|"]
    for r in report.rows:
        lines.append(f"| {r.what.strip()} | {r.value} | {r.note} |")
    lines += ["", FINDINGS_START, findings.strip("\n"), FINDINGS_END, ""]
    return "\n".join(lines)


def kept_findings(out: Path) -> str:
    if out.is_file():
        text = out.read_text()
        a, b = text.find(FINDINGS_START), text.find(FINDINGS_END)
        if a != -1 and b > a:
            return text[a + len(FINDINGS_START) : b]
    return "\n## Where the time goes\n\nNot profiled yet.\n"


def shortfall(measured: float, goal: float, higher_is_better: bool = True) -> str:
    if higher_is_better:
        return "" if measured >= goal else f" (missed: {goal / measured:.1f}x short)"
    return "" if measured <= goal else f" (missed: {measured / goal:.1f}x over)"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", action="append", default=[], help="folder of *.sql files; repeatable")
    ap.add_argument("--core-json", type=Path)
    ap.add_argument("--build-dir", type=Path, default=Path("build/bench"))
    ap.add_argument("--out", type=Path)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--peer-mb", type=float, default=1.0, help="size of the subset the peers parse")
    ap.add_argument("--cpu", type=int, default=(os.cpu_count() or 1) - 1)
    ap.add_argument("--note", default="", help="a line added to the machine section")
    ap.add_argument("--threads-json", type=Path, help="figures of bench/thread_scaling.py --json")
    ap.add_argument("--memory-json", type=Path, help="figures of bench/memory_peak.py --json")
    ap.add_argument("--cli-jobs-json", type=Path, help="figures of bench/cli_jobs.py --json")
    ap.add_argument("--sqlglot-plain-child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()

    os.sched_setaffinity(0, {args.cpu})
    dirs = [Path(d) for d in args.corpus if Path(d).is_dir()]
    corpora = [load(d, d.name) for d in dirs]
    max_bytes = int(args.peer_mb * 1e6)

    if args.sqlglot_plain_child:
        force_plain_python("sqlglot")
        assert not sqlglot_compiled()
        print(json.dumps({c.subset(max_bytes).name: measure_sqlglot(c.subset(max_bytes).texts) for c in corpora}))
        return

    load_before = Path("/proc/loadavg").read_text().split()[:3]
    report = Report()
    core: dict[str, float] = {}
    if args.core_json and args.core_json.is_file():
        print("core (Google Benchmark):")
        core = core_figures(args.core_json, report)

    print("through Python:")
    ours = {c.name: measure_ours(c, args.repeat, report) for c in corpora}
    per_byte = measure_memory(corpora[0], report) if corpora else None
    imp, imp_native = import_ms(7)
    report.add("import trelm_cst (fresh interpreter, best of 7)", f"{imp:.1f} ms", f"_native alone {imp_native:.1f} ms")

    print("peers (same files, same process):")
    subsets = [c.subset(max_bytes) for c in corpora]
    plain = {}
    try:
        import sqlglot  # noqa: F401

        if sqlglot_compiled():
            plain = sqlglot_plain_child([str(d) for d in dirs], max_bytes, args.cpu)
    except ImportError:
        pass
    worst = measure_peers(subsets, {}, plain, report, args.repeat)
    load_after = Path("/proc/loadavg").read_text().split()[:3]

    # Targets, on the first corpus (the generated one in run_bench.sh).
    if corpora:
        first = corpora[0].name
        p = ours[first]["parse"]
        report.target(f"parse_trelm through Python ({first})", f">= {PARSE_MBS:.0f} MB/s", f"{p:.1f} MB/s" + shortfall(p, PARSE_MBS), p >= PARSE_MBS)
    if "corpus" in ours:
        p = ours["corpus"]["parse_str"]
        report.target("parse_trelm + str through Python, real files, one core", f">= {PARSE_PRINT_MBS:.0f} MB/s",
                      f"{p:.1f} MB/s" + shortfall(p, PARSE_PRINT_MBS), p >= PARSE_PRINT_MBS)
    if "sqlparse" in worst:
        r = worst["sqlparse"]
        report.target("vs sqlparse.parse (lowest ratio over the corpora)", f">= {SQLPARSE_RATIO:.0f}x", f"{r:,.0f}x" + shortfall(r, SQLPARSE_RATIO), r >= SQLPARSE_RATIO)
    glot = {k: v for k, v in worst.items() if k.startswith("sqlglot.parse") and not k.endswith(".accepted")}
    if glot:
        r = min(glot.values())  # against the fastest variant, the smallest ratio
        report.target("vs the fastest sqlglot.parse variant, all files", f">= {SQLGLOT_RATIO:.0f}x", f"{r:,.0f}x" + shortfall(r, SQLGLOT_RATIO), r >= SQLGLOT_RATIO)
    glot_ok = {k: v for k, v in worst.items() if k.startswith("sqlglot.parse") and k.endswith(".accepted")}
    if glot_ok:
        r = min(glot_ok.values())
        report.target("vs the fastest sqlglot.parse variant, files it accepts", f">= {SQLGLOT_RATIO:.0f}x", f"{r:,.0f}x" + shortfall(r, SQLGLOT_RATIO), r >= SQLGLOT_RATIO)
    if core and corpora:
        for label, key, goal in (("lexing (core)", "lex", LEX_MBS), ("printing (core)", "print", PRINT_MBS)):
            name = f"{key}/{corpora[0].name}"
            if name in core:
                v = core[name]
                report.target(f"{label} ({corpora[0].name})", f">= {goal:.0f} MB/s", f"{v:,.1f} MB/s" + shortfall(v, goal), v >= goal)
    if per_byte is not None:
        report.target("tree memory per source byte (large parse)", f"<= {TREE_BYTES_PER_BYTE:.0f} B", f"{per_byte:.1f} B" + shortfall(per_byte, TREE_BYTES_PER_BYTE, False), per_byte <= TREE_BYTES_PER_BYTE)
    report.target("import trelm_cst", f"< {IMPORT_MS:.0f} ms", f"{imp:.1f} ms" + shortfall(imp, IMPORT_MS, False), imp < IMPORT_MS)
    if args.threads_json and args.threads_json.is_file():
        t = json.loads(args.threads_json.read_text(encoding="utf-8"))
        n, s = t["threads"], t["speedup"]
        for k, rate in t["rates"].items():
            report.add(f"parse_trelm, {k} thread(s) in a pool, wall time", f"{rate:.1f} MB/s",
                       f"{t['files']:,} files, {t['megabytes']:.1f} MB; load average {t['load']}")
        report.target(f"parsing with {n} threads against 1 (load average {t['load']})", f">= {THREAD_SPEEDUP}x",
                      f"{s:.2f}x" + shortfall(s, THREAD_SPEEDUP), s >= THREAD_SPEEDUP)
    if args.cli_jobs_json and args.cli_jobs_json.is_file():
        c = json.loads(args.cli_jobs_json.read_text(encoding="utf-8"))
        for command, rates in c["rates"].items():
            for jobs, rate in rates.items():
                gain = "" if jobs == "1" else f"{rate / rates['1']:.2f}x -j 1; "
                report.add(f"trelm-cst {command} -j {jobs}, corpus x{c['repeat']}, wall time", f"{rate:,.0f} files/s",
                           f"{gain}{c['files']:,} files; load average {c['load']}")
    if args.memory_json and args.memory_json.is_file():
        m = json.loads(args.memory_json.read_text(encoding="utf-8"))
        report.add(f"peak resident memory, parse_trelm + str() of a {m['megabytes']:.0f} MB file",
                   f"{m['peak_mb']:,.0f} MB", f"{m['ratio']:.1f}x the file; parse {m['parse_mbs']:.0f} MB/s; "
                   "str() gives back the input str")
        if "edited_ratio" in m:
            report.add(f"peak resident memory, the same with one column added before str()",
                       f"{m['edited_peak_mb']:,.0f} MB", f"{m['edited_ratio']:.1f}x the file; "
                       f"str() {m['megabytes'] / m['edited_print_s']:.0f} MB/s")
        r, goal = m["ratio"], m["limit"]
        report.target("peak memory of parse + str() on a large file, times its size", f"<= {goal:g}x",
                      f"{r:.1f}x" + shortfall(r, goal, False), r <= goal)

    print("targets:")
    for what, goal, measured, met in report.targets:
        print(f"  {'met   ' if met else 'MISSED'} {what:<52} {goal:>12}  {measured}")

    if args.out:
        machine = [
            f"CPU: {cpu_model()}, {os.cpu_count()} cores; runs pinned to core {args.cpu}",
            f"Python {platform.python_version()} ({sys.executable})",
            f"Compiler: {compiler(args.build_dir)}, CMake Release build (-O3)",
            f"Date: {datetime.date.today().isoformat()}; load average before/after: {' '.join(load_before)} / {' '.join(load_after)}",
        ]
        busiest = max(float(load_before[0]), float(load_after[0]))
        if busiest > 1.0:
            machine.append(
                f"Other work shared the machine: a load average of {busiest:.1f} on {os.cpu_count()} cores, so rates "
                "can be lower, and vary more, than on an idle machine"
            )
        if args.note:
            machine.append(args.note)
        args.out.parent.mkdir(parents=True, exist_ok=True)
        args.out.write_text(render(report, machine, kept_findings(args.out)), encoding="utf-8")
        print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
