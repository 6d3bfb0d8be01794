"""Peak resident memory of parse_trelm plus str() on one large generated
file, as a multiple of the file's size.

    python bench/memory_peak.py [--megabytes 100] [--limit 8]

The file (the model chunks of bench/pathological.py, repeated) is written to
a temporary folder; a fresh interpreter reads it, parses it, prints the
document back and reports its peak resident set (ru_maxrss), so nothing this
script holds counts. The peak includes the interpreter, the input str and the
printed str. str() of a document nobody edited is the input str itself, so a
second interpreter adds one column to the first query before printing: its
peak holds a printed copy. Prints figures; the exit status is 1 when the
printed text is not the file (with the column, where one was added), never
for the figures.
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
edited = sys.argv[2] == "edit"
if edited:
    doc.query.select.add("1 as extra")
printed = str(doc)
end = time.perf_counter()
same = printed is text if not edited else printed.count("1 as extra") == text.count("1 as extra") + 1
print(before, peak(), parsed - start, end - parsed, int(same))
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
        runs = {mode: subprocess.run([sys.executable, "-c", CHILD, str(path), mode], capture_output=True, text=True,
                                     check=True).stdout.split() for mode in ("keep", "edit")}
    mb = size / 1e6
    figures = {"megabytes": mb, "limit": args.limit}
    for mode, (before, peak, parse_s, print_s, same) in runs.items():
        ratio = int(peak) / size
        key = "" if mode == "keep" else "edited_"
        figures.update({f"{key}peak_mb": int(peak) / 1e6, f"{key}ratio": ratio, f"{key}parse_mbs": mb / float(parse_s),
                        f"{key}print_s": float(print_s), f"{key}same": same == "1"})
        what = "str() gives back the input str" if mode == "keep" else "one column added, then str()"
        print(f"{what}: parse {mb / float(parse_s):.1f} MB/s, str() {float(print_s) * 1e3:.1f} ms; "
              f"peak resident memory {int(peak) / 1e6:,.0f} MB = {ratio:.1f}x the file "
              f"(before the parse: {int(before) / 1e6:,.0f} MB, the interpreter and the input str); "
              f"goal <= {args.limit:g}x: {'met' if ratio <= args.limit else f'missed by {ratio / args.limit:.2f}x'}")
    print("load average: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    if args.json:
        args.json.write_text(json.dumps(figures), encoding="utf-8")
    if not (figures["same"] and figures["edited_same"]):
        print("the printed text is not the file", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
