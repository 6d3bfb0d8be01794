"""What a hover shows: on a ref, the model it names (its file, config,
output columns and how many models it reads and are read by it); on a
config key, its value as read."""

from __future__ import annotations

from collections.abc import Callable

from trelm_cst import Call, Config, Document, Model, Project
from trelm_cst._lsp.outline import Span, config_key_spans
from trelm_cst._project import string_literals


def hover_text(
    project: Project,
    doc: Document,
    text: str,
    offset: int,
    current: Model | None,
    shown: Callable[[str], str] = str,
) -> tuple[str, Span] | None:
    """The Markdown to show at `offset` and the span it is about, or None."""
    for config in doc.configs:
        if config.span is not None and config.span[0] <= offset < config.span[1]:
            return config_hover(config, text, offset)
    call = call_at(doc, "ref", offset)
    if call is None or call.span is None:
        return None
    model = ref_target(project, call, current)
    if model is None:
        named = literal_arguments(call)
        what = f"`{named[-1]}`: no model of this name" if named else "a ref whose model is not a string literal"
        return what, call.span
    return model_hover(project, model, shown), call.span


def call_at(doc: Document, name: str, offset: int) -> Call | None:
    """The call of this name whose text holds `offset` (its end included, where the cursor rests after it)."""
    for call in doc.calls(name):
        if call.span is not None and call.span[0] <= offset <= call.span[1]:
            return call
    return None


def literal_arguments(call: Call) -> list[str] | None:
    """The call's positional arguments when each is a string literal."""
    return string_literals(call.args)


def ref_target(project: Project, call: Call, current: Model | None) -> Model | None:
    """The model, seed or snapshot a ref call names: in the named project
    folder, else the reader's own first, else the one project defining it."""
    named = literal_arguments(call)
    if not named or len(named) > 2:
        return None
    name = named[-1]
    tries = [named[0]] if len(named) == 2 else ([current.project] if current is not None else []) + [None]
    for folder in tries:
        try:
            return project.model(name, folder)
        except (KeyError, ValueError):
            continue
    return None


def model_hover(project: Project, model: Model, shown: Callable[[str], str] = str) -> str:
    node = project.id_of(model)
    lines = [f"**{node}** ({model.kind})", "", f"`{shown(model.path)}`"]
    if model.config:
        lines += ["", "config: " + ", ".join(f"`{key}={value!r}`" for key, value in model.config.items())]
    columns = output_columns(project, node)
    if columns:
        lines += ["", "columns: " + ", ".join(f"`{column}`" for column in columns)]
    reads, read_by = neighbours(project, node)
    lines += ["", f"reads {count(reads, 'model')}; read by {count(read_by, 'model')}"]
    return "\n".join(lines)


def output_columns(project: Project, node: str) -> list[str]:
    try:
        return project.columns(node)
    except (KeyError, ValueError):
        return []


def neighbours(project: Project, node: str) -> tuple[int, int]:
    """How many models (seeds, snapshots) `node` reads directly, and how many read it."""
    defined = project.models.keys() | project.seeds.keys() | project.snapshots.keys()
    edges = set(project.edges)
    reads = sum(1 for reader, read in edges if reader == node and read in defined)
    read_by = sum(1 for _, read in edges if read == node)
    return reads, read_by


def count(number: int, word: str) -> str:
    return f"{number} {word}{'' if number == 1 else 's'}"


def config_hover(config: Config, text: str, offset: int) -> tuple[str, Span] | None:
    """A key's value as read (a literal) or its Jinja source (anything else)."""
    for key, span in config_key_spans(text, config.span or (0, 0)):
        if span[0] <= offset <= span[1]:
            try:
                value: object = config[key]
            except (KeyError, ValueError):
                return f"`{key}` = `{config.raw(key)}` (not a literal: read when the model runs)", span
            return f"`{key}` = `{value!r}`", span
    return None
