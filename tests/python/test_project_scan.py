"""The native scan behind Project.load agrees with what the Document API
reads from the same file: refs, sources, the merged literal config and
where things are."""

import pathlib
import pickle

import pytest

from file_tree import write
from trelm_cst import parse_literal, parse_trelm
from trelm_cst._describe import merge_configs
from trelm_cst._files import find_model_files, read_model
from trelm_cst import _project as project_module
from trelm_cst._project import Model, Ref, entry_of, model_of, read_files, records_of, snapshot_blocks

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"


def located(text, start):
    return text.count("\n", 0, start) + 1, start - (text.rfind("\n", 0, start) + 1) + 1


def literal(text):
    try:
        return True, parse_literal(text)
    except (ValueError, TypeError):
        return False, None


def string_arguments(args):
    values = [literal(arg) for arg in args]
    return [value for _, value in values] if all(ok and isinstance(value, str) for ok, value in values) else None


def reference(path, text):
    """The record as the Document API gives it, call by call."""
    doc = parse_trelm(text)
    model = Model(path.rsplit("/", 1)[-1].removesuffix(".sql"), path)
    for call in doc.calls("ref"):
        names, place = string_arguments(call.args), located(text, call.span[0])
        if names is None or not 1 <= len(names) <= 2:
            model.refs.append(Ref("ref", path, *place, str(call)))
            continue
        version_text = call.kwargs.get("version", call.kwargs.get("v"))
        version = None
        if version_text is not None:
            ok, version = literal(version_text)
            version = version if ok else version_text
        package = names[0] if len(names) == 2 else None
        model.refs.append(Ref("ref", path, *place, str(call), names[-1], package, version))
    for call in doc.calls("source"):
        names, place = string_arguments(call.args), located(text, call.span[0])
        source = (names[0], names[1]) if names is not None and len(names) == 2 else None
        model.sources.append(Ref("source", path, *place, str(call), source=source))
    if doc.configs:
        model.config = merge_configs(doc.configs)[0]
        model.line, model.column = located(text, doc.configs[0].span[0])
    if "snapshot" in text:
        model.snapshot_blocks = snapshot_blocks(text)
    return model


ODD = {
    # Characters before a call on its line, CRLF line ends, a tag in a comment.
    "positions.sql": "-- é ü\r\n ü {{ config(style='view') }}\nselect 'ñ', {{ ref('a') }} -- {{ source('s', 't') }}",
    # Names the interpreter answers, and one it does not know.
    "names.sql": "{{ ref('\\N{BULLET}') }} {{ ref('\\N{NO SUCH NAME}') }} {{ source('\\N{BULLET}', 't') }}",
    # Versions: literal, expression, a dict Python cannot hash, the last keyword.
    "versions.sql": "{{ ref('a', version=[1, none]) }} {{ ref('b', v='x' ~ y) }} {{ ref('c', version={(1): 2}) }}"
    " {{ ref('d', version={[1]: 2}) }} {{ ref('e', v=1, version=2) }}",
    # Unresolved calls.
    "dynamic.sql": "{{ ref(x) }} {{ ref() }} {{ ref('a', 'b', 'c') }} {{ source('a') }} {{ source(x, 'y') }}",
    # Configs: later calls over earlier ones, an expression dropping a key,
    # values JSON cannot hold, a dict's last entry.
    "configs.sql": "{{ config(a=1, b='x', c=1e999, d={1: 2}, e=0x1ffffffffffffffffffffffff) }}\n"
    "{{ config({'a': 2, 'a': 3, 'f': [1, {'g': none}]}) }} {{ config(b=var('v'), **kw) }}",
    "snapshot.sql": "{% snapshot s %}\n{{ config(strategy='check') }}\nselect {{ ref('a') }}\n{% endsnapshot %}",
}


@pytest.mark.parametrize("name", sorted(ODD))
def test_scan_agrees_with_the_document(tmp_path, name):
    path = str(write(tmp_path, {name: ODD[name]}) / name)
    text = ODD[name]
    expected = reference(path, text)
    # The records are made natively: every attribute must be there, in the
    # order the class gives, as its own __init__ would set them. A worker
    # process sends its entry pickled.
    entry = pickle.loads(pickle.dumps(entry_of(path, text, parse_trelm(text))))
    made = records_of([entry, expected])
    assert made[1] is expected
    for record in read_files([path], 1) + [model_of(path, text, parse_trelm(text)), made[0]]:
        assert record == expected
        assert list(vars(record).items()) == list(vars(expected).items())
        assert [list(vars(ref).items()) for ref in record.refs + record.sources] == [
            list(vars(ref).items()) for ref in expected.refs + expected.sources
        ]


def test_a_version_python_cannot_hash_is_its_source(tmp_path):
    [model] = read_files([str(write(tmp_path, ODD) / "versions.sql")], 1)
    assert [ref.version for ref in model.refs] == [[1, None], "'x' ~ y", {1: 2}, "{[1]: 2}", 2]


def test_scan_agrees_with_the_document_on_every_corpus_file():
    if not CORPUS.is_dir():
        pytest.skip(f"{CORPUS} not present")
    paths = find_model_files([str(CORPUS)], lambda _: None, each_file_once=False)
    records = read_files(paths, 2)
    assert len(records) == len(paths) > 3000
    for path, record in zip(paths, records):
        if record.error is None:  # a file that does not parse is read as before
            assert record == reference(path, read_model(path).text), path


@pytest.mark.parametrize("failing", [0, 2])
def test_a_scan_failure_reaches_the_caller_and_ends_the_scan(tmp_path, monkeypatch, failing):
    # The batches are scanned on a thread of their own: what fails there is
    # raised to the caller, and no batch after it is scanned.
    paths = [str(path) for path in sorted(write(tmp_path, {f"m{i}.sql": "select 1" for i in range(4)}).iterdir())]
    scanned = []

    def scan(batch, jobs, model_type, ref_type):
        scanned.append(batch)
        if len(scanned) > failing:
            raise MemoryError
        return [None] * len(batch), {}

    monkeypatch.setattr(project_module, "BATCH", 1)
    monkeypatch.setattr(project_module, "_scan_model_files", scan)
    with pytest.raises(MemoryError):
        read_files(paths, 1)
    assert scanned == [[path] for path in paths[: failing + 1]]
