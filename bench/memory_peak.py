"""Peak resident memory of parse_trelm plus str() on one large generated
file, as a multiple of the file's size.

    python bench/memory_peak.py [--megabytes 100] [--limit 8]

The file (the model chunks of bench/pathological.py, repeated) is written to
a temporary folder; a fresh interpreter reads it, parses it, prints the
document back and reports its peak resident set (ru_maxrss), so nothing this
script holds counts. The peak includes the interpreter, the input str and the
printed str. Prints figures; the exit status is 1 when the printed text
differs from the file, never for the figures.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from pathological import BIG_CHUNK  # noqa: E402

# Run in the child. The peak is read twice: before the parse (the
# interpreter and the input) and at the end.
CHILD = r"""
import resource, sys, time
from trelm_cst import parse_trelm

def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

with open(sys.argv[1], "rb") as f:
    data = f.read()
text = data.decode()
del data
before = peak()
start = time.perf_counter()
doc = parse_trelm(text)
parsed = time.perf_counter()
printed = str(doc)
end = time.perf_counter()
print(before, peak(), parsed - start, end - parsed, int(printed == text))
"""


def write_file(path: pathlib.Path, megabytes: float) -> int:
    size, i = 0, 0
    with open(path, "w", encoding="utf-8") as f:
        while size < megabytes * 1e6:
            chunk = BIG_CHUNK.format(i=i)
            f.write(chunk)
            size += len(chunk.encode())
            i += 1
    return size


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--megabytes", type=float, default=100.0)
    parser.add_argument("--limit", type=float, default=8.0, help="the goal, as a multiple of the file size")
    parser.add_argument("--json", type=pathlib.Path, help="also write the figures here (for bench/compare.py)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "big.sql"
        size = write_file(path, args.megabytes)
        out = subprocess.run([sys.executable, "-c", CHILD, str(path)], capture_output=True, text=True, check=True)
    before, peak, parse_s, print_s, same = out.stdout.split()
    before_b, peak_b = int(before), int(peak)
    mb = size / 1e6
    ratio = peak_b / size
    print(f"file: {mb:.1f} MB; parse {mb / float(parse_s):.1f} MB/s, str() {mb / float(print_s):.1f} MB/s")
    print(f"peak resident memory: {peak_b / 1e6:,.0f} MB = {ratio:.1f}x the file "
          f"(before the parse: {before_b / 1e6:,.0f} MB, the interpreter and the input str); "
          f"goal <= {args.limit:g}x: {'met' if ratio <= args.limit else f'missed by {ratio / args.limit:.2f}x'}")
    print("load average: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    if args.json:
        figures = {"megabytes": mb, "peak_mb": peak_b / 1e6, "ratio": ratio, "limit": args.limit,
                   "parse_mbs": mb / float(parse_s), "print_mbs": mb / float(print_s)}
        args.json.write_text(json.dumps(figures), encoding="utf-8")
    if same != "1":
        print("the printed text differs from the file", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
