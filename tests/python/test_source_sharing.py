"""A document reads its source str in place and keeps it alive through its
tree, so the str must live exactly as long as any part of the tree: never
dropped while a node can still read it, always dropped once the last one
goes, whichever thread lets go of it. And str() of a document nothing has
edited is that same str object."""

import sys
import threading
import time

import pytest

from trelm_cst import Document, parse_trelm

MODEL = (
    "{{ config(style='table', tags=['a']) }}\n"
    "select a, b as c from {{ ref('m') }} join {{ source('s', 't') }} using (k)\n"
)


def fresh(text: str = MODEL) -> str:
    """A str object of its own, not shared with a constant or an interned one."""
    return "".join(list(text))


def settle() -> None:
    """Frees the trees this thread set aside and drops the strs freed trees
    were reading: both happen around every parse."""
    parse_trelm("")


def ref_counts(texts: list[str]) -> list[int]:
    return [sys.getrefcount(texts[i]) for i in range(len(texts))]


def settled_ref_counts(texts: list[str], expected: list[int], deadline: float = 5.0) -> list[int]:
    """The reference counts of `texts` once they are as expected or the
    deadline passes: a thread's trees are freed as the thread ends, which
    may be a little after join() returns."""
    end = time.monotonic() + deadline
    while True:
        settle()
        counts = ref_counts(texts)
        if counts == expected or time.monotonic() > end:
            return counts
        time.sleep(0.01)


class Text(str):
    pass


@pytest.mark.parametrize(
    "make, same",
    [
        (fresh, True),
        (lambda: fresh(MODEL.replace("a,", "'naïve \U0001f600',")), True),  # read through its UTF-8 copy
        (lambda: Text(MODEL), False),  # a subclass is copied
    ],
    ids=["ascii", "non-ascii", "subclass"],
)
def test_unedited_document_prints_as_its_source(make, same):
    text = make()
    for doc in (parse_trelm(text), Document.parse(text)):
        for printed in (str(doc), doc.to_string()):
            assert printed == text and type(printed) is str
            assert (printed is text) is same


def set_config(doc):
    doc.config["style"] = "view"


def add_column(doc):
    doc.query.select.add("d")


def retext_column(doc):
    doc.query.select.columns[0].text = "z"


def detach_column(doc):
    doc.query.select.columns[1].detach()


# One row per way an edit reaches the tree.
EDITS = {
    "rename": (lambda d: d.rename_ref("m", "n"), MODEL.replace("ref('m')", "ref('n')")),
    "config": (set_config, MODEL.replace("'table'", "'view'")),
    "add": (add_column, MODEL.replace("c from", "c, d from")),
    "retext": (retext_column, MODEL.replace("select a", "select z")),
    "detach": (detach_column, MODEL.replace(", b as c", "")),
}


@pytest.mark.parametrize("name", EDITS)
def test_edited_document_prints_its_edits(name):
    edit, expected = EDITS[name]
    text = fresh()
    doc = parse_trelm(text)
    assert str(doc) is text
    edit(doc)
    for printed in (str(doc), doc.to_string(), str(doc.root)):
        assert printed == expected and printed is not text


# What holds part of a tree past its document; each must keep the str, and
# let go of it when it goes.
HOLDERS = {
    "document": lambda doc: doc,
    "column": lambda doc: doc.query.select.columns[1],
    "config": lambda doc: doc.config,
    "token": lambda doc: doc.tokens()[3],
    "node": lambda doc: doc.root.children[-1],
}


@pytest.mark.parametrize("name", HOLDERS)
def test_the_tree_keeps_its_source_until_the_last_holder_goes(name):
    text = fresh()
    base = sys.getrefcount(text)
    held = HOLDERS[name](parse_trelm(text))
    settle()
    assert sys.getrefcount(text) == base + 1
    assert str(held) in text
    del held
    settle()
    assert sys.getrefcount(text) == base


def test_sources_are_let_go_of_on_other_threads():
    texts = [fresh(MODEL.replace("a,", f"a{i},")) for i in range(6)]
    bases = ref_counts(texts)
    handed = []

    def parse_and_drop(i):
        doc = parse_trelm(texts[i])
        if i % 2:
            handed.append(doc.query.select.columns[0])  # outlives the thread, dropped by the main one
        del doc

    threads = [threading.Thread(target=parse_and_drop, args=(i,)) for i in range(len(texts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert [c.name for c in sorted(handed, key=lambda c: c.name)] == ["a1", "a3", "a5"]
    handed.clear()
    assert settled_ref_counts(texts, bases) == bases


def test_sources_are_let_go_of_when_a_large_tree_is_freed_at_once():
    text = fresh(MODEL * 2000)  # over the batch: freed with the lock released on its drop
    base = sys.getrefcount(text)
    doc = parse_trelm(text)
    assert sys.getrefcount(text) == base + 1
    del doc
    assert sys.getrefcount(text) == base


# Trees still held at exit, by globals, by a thread parked in the interpreter
# lock and by a thread that ended: their strs are never dropped after the
# interpreter is gone, and the process ends cleanly.
AT_EXIT = r"""
import threading
from trelm_cst import parse_trelm

kept = parse_trelm("".join(list("select a, b from t\n" * 50)))
column = parse_trelm("".join(list("select c from u"))).query.select.columns[0]
ended = threading.Thread(target=lambda: parse_trelm("".join(list("select 1"))))
ended.start()
ended.join()

def spin():
    while True:
        doc = parse_trelm("".join(list("select x, y from z\n" * 300)))
        str(doc)
        doc.query.select.add("w")

threading.Thread(target=spin, daemon=True).start()
print(column.name, str(kept).count("select"))
"""


def test_documents_alive_at_exit(run_isolated):
    for _ in range(3):
        proc = run_isolated(AT_EXIT, timeout=60)
        assert proc.returncode == 0 and proc.stdout == "c 50\n", (proc.returncode, proc.stderr[-3000:])
