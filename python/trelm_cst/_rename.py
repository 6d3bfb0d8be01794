"""Renaming a model: its file moves to the new name, and every literal ref
that resolves to it, in SQL files and in YAML property files, follows.

The whole change is worked out before anything is written, so that a refusal
changes nothing. The files are then rewritten one by one (each atomically)
and the model's file is moved last, so that a failure midway leaves the old
file in place and a message naming what was done.
"""

from __future__ import annotations

import difflib
import errno
import os
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from trelm_cst._files import MODEL_SUFFIX, ModelFile, Problem, read_model, refusal_to_write, sync_folder, write_model
from trelm_cst._layout import MODELS, yaml_module
from trelm_cst._native import TrelmSyntaxError, parse_trelm

if TYPE_CHECKING:
    from trelm_cst._project import Model, Project, Ref


@dataclass
class ModelRename:
    """What renaming a model does: the model file's old and new paths, the
    files whose text changes (the model's own under its old path when it refs
    itself; YAML property files included), how many refs and YAML entries
    change, and the refs it could not decide (arguments that are not string
    literals, or a name several projects define), left as they are."""

    old_path: str
    new_path: str
    changed: list[str] = field(default_factory=list)
    calls: int = 0
    undecided: list[Ref] = field(default_factory=list)


@dataclass
class Rewrite:
    """One file's new text, from the text read."""

    file: ModelFile
    text: str
    calls: int


@dataclass
class RenamePlan:
    """A rename worked out and checked, not yet done."""

    result: ModelRename
    model: ModelFile  # the model file as read
    rewrites: list[Rewrite]  # every file to rewrite, the model's own included

    def text_of(self, path: str) -> str | None:
        return next((rewrite.text for rewrite in self.rewrites if rewrite.file.path == path), None)


def refusal_of_name(new: str) -> str | None:
    """Why `new` cannot be a model's file name, or None."""
    if new == "":
        return "the new name is empty"
    if "\0" in new:
        return f"the new name {new!r} holds a NUL character"
    if new in (".", ".."):
        return f"the new name {new!r} is not a file name"
    separators = {"/", os.sep, *([os.altsep] if os.altsep else [])}
    if any(separator in new for separator in separators):
        return f"the new name {new!r} holds a path separator: models move within their folder"
    if new.endswith(MODEL_SUFFIX):
        return f"the new name {new!r} ends with {MODEL_SUFFIX}: give the model's name, without it"
    return None


def plan_rename(project: Project, old: str, new: str, in_project: str | None = None) -> RenamePlan:
    """The rename of model `old` to `new`, worked out. Raises ValueError, saying
    why, when it cannot be done."""
    refusal = refusal_of_name(new)
    if refusal is not None:
        raise ValueError(refusal)
    target = find_model(project, old, in_project)
    where = f" in project {target.project!r}" if project.several else ""
    twice = project.duplicate_names.get(project.id_of(target))
    if twice:
        raise ValueError(f"model {target.name!r} is defined by several files{where}: {', '.join(twice)}")
    defined = project._defined.get(target.project, {}).get(new)
    if defined:
        raise ValueError(f"{defined[0].kind} {new!r} is already defined{where}: {defined[0].path}")
    captured = captured_refs(project, target, new)
    if captured:
        places = ", ".join(f"{ref.path}:{ref.line}:{ref.column}" for ref in captured)
        raise ValueError(f"refs to {new!r}{where} name another project's model and would name this one: {places}")
    folder = os.path.dirname(target.path)
    new_path = os.path.join(folder, new + MODEL_SUFFIX)
    taken = path_taken(new_path)
    if taken is not None:
        raise ValueError(taken)
    model = read_model(target.path)
    if isinstance(model, Problem):
        raise ValueError(str(model))
    result = ModelRename(target.path, new_path)
    node = ("model", project.id_of(target))
    rewrites: list[Rewrite] = []
    for path, refs in refs_to(project, node).items():
        file = model if path == target.path else read_model(path)
        if isinstance(file, Problem):
            raise ValueError(str(file))
        text, calls = renamed_calls(file, refs, target.name, new)
        rewrites.append(Rewrite(file, text, calls))
    rewrites += yaml_rewrites(project, target, new)
    result.changed = [rewrite.file.path for rewrite in rewrites]
    result.calls = sum(rewrite.calls for rewrite in rewrites)
    result.undecided = undecided_refs(project, target)
    return RenamePlan(result, model, rewrites)


def find_model(project: Project, old: str, in_project: str | None) -> Model:
    try:
        return project.model(old, in_project)
    except KeyError:
        pass
    for kind, found in (("seed", project.seeds), ("snapshot", project.snapshots)):
        if old in found and in_project in (None, found[old].project):
            raise ValueError(f"{old!r} is a {kind}, not a model")
    names = sorted({model.name for model in project.files if in_project in (None, model.project)})
    close = difflib.get_close_matches(old, names, n=3, cutoff=0.6)
    hint = "; did you mean " + " or ".join(f"{name!r}" for name in close) + "?" if close else ""
    where = f" in project {in_project!r}" if in_project is not None else ""
    raise ValueError(f"no model named {old!r}{where}{hint}")


def path_taken(path: str) -> str | None:
    """Why nothing may be moved to `path`: something is there already, or the
    file system refuses the name."""
    try:
        os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as e:
        if e.errno == errno.ENAMETOOLONG:
            return f"{path}: file name too long"
        return f"{path}: {e.strerror or e}"
    return f"{path} already exists"


def ref_holders(project: Project) -> list[Model]:
    """Every model, snapshot, test and analysis whose refs are resolved, and
    the disabled models, whose refs must still name the model once enabled."""
    defined = [model for names in project._defined.values() for models in names.values() for model in models]
    return [*defined, *project._readers, *project._disabled]


def captured_refs(project: Project, target: Model, new: str) -> list[Ref]:
    """The refs to `new` in the model's project that name another project's
    model (or several): once the model is named `new`, they would name it."""
    ambiguous = {id(ref) for ref, _ in project.ambiguous_refs}
    return [
        ref
        for model in ref_holders(project)
        if model.project == target.project
        for ref in model.refs
        if ref.model == new
        and (id(ref) in ambiguous or project._resolved.get(id(ref), ("missing", ""))[0] != "missing")
    ]


def refs_to(project: Project, node: tuple[str, str]) -> dict[str, list[Ref]]:
    """Path to the literal refs in it that resolve to `node`, each once, in file order."""
    found: dict[str, dict[int, Ref]] = {}
    for model in ref_holders(project):
        for ref in model.refs:
            if project._resolved.get(id(ref)) == node:
                found.setdefault(model.path, {})[id(ref)] = ref
    return {path: sorted(refs.values(), key=lambda ref: (ref.line, ref.column)) for path, refs in found.items()}


def renamed_calls(file: ModelFile, refs: list[Ref], old: str, new: str) -> tuple[str, int]:
    """The file's text with the model name of the ref calls at those places
    renamed, each by the module's own rename of that call alone."""
    wanted = {(ref.line, ref.column): ref for ref in refs}
    try:
        doc = parse_trelm(file.text)
    except TrelmSyntaxError as e:
        raise ValueError(f"{file.path}: changed since it was read: {e}") from None
    text = file.text
    edits: list[tuple[int, int, str]] = []
    for call in doc.calls("ref"):
        span = call.span
        if span is None:
            continue
        line = text.count("\n", 0, span[0]) + 1
        column = span[0] - (text.rfind("\n", 0, span[0]) + 1) + 1
        ref = wanted.pop((line, column), None)
        if ref is None:
            continue
        if str(call) != ref.text:
            raise ValueError(f"{file.path}:{line}:{column}: changed since it was read")
        edits.append((span[0], span[1], renamed_call(str(call), old, new, f"{file.path}:{line}:{column}")))
    if wanted:
        ref = next(iter(wanted.values()))
        raise ValueError(f"{file.path}:{ref.line}:{ref.column}: changed since it was read")
    for start, end, replacement in sorted(edits, reverse=True):
        text = text[:start] + replacement + text[end:]
    return text, len(edits)


def renamed_call(call: str, old: str, new: str, where: str) -> str:
    """The text of one ref call with its model renamed."""
    try:
        doc = parse_trelm("{{ " + call + " }}")
        count = doc.rename_ref(old, new)
    except ValueError as e:  # TrelmSyntaxError too: a call that does not stand alone
        raise ValueError(f"{where}: cannot rewrite {call}: {e}") from None
    if count != 1:
        raise ValueError(f"{where}: cannot rewrite {call}")
    return str(doc)[3:-3]


def undecided_refs(project: Project, target: Model) -> list[Ref]:
    """The refs that may or may not name the model: those whose arguments are
    not string literals, those to its name that several projects define, and
    those to its name in macros, which name a model only once called."""
    dynamic = [ref for ref in project.unresolved if ref.kind == "ref"]
    ambiguous = [ref for ref, _ in project.ambiguous_refs if ref.model == target.name]
    in_macros = [
        ref
        for macro in project._macros
        for ref in macro.refs
        if ref.model == target.name and ref.package in (None, target.project)
        or ref.model is None
    ]
    return sorted([*dynamic, *ambiguous, *in_macros], key=lambda ref: (ref.path, ref.line, ref.column))


# ---------------------------------------------------------------- YAML property files
#
# A YAML file is edited as text at the places its parser reports, one scalar
# at a time, written in the scalar's own style; the result is parsed again and
# must hold the same values but those renamed.


def yaml_rewrites(project: Project, target: Model, new: str) -> list[Rewrite]:
    """The property files whose `models:` entry documents the model, or whose
    values hold a literal ref that resolves to it, rewritten."""
    rewrites = []
    for path in project.layout.property_files:
        place = project.layout.place(path)
        if place is None:
            continue
        file = read_model(path)
        if isinstance(file, Problem) or target.name not in file.text:
            continue  # one that does not load is a problem of the project already
        rewrite = yaml_rewrite(project, file, place.project, place.part, target, new)
        if rewrite is not None:
            rewrites.append(rewrite)
    return rewrites


def yaml_rewrite(project: Project, file: ModelFile, own: str, part: str, target: Model, new: str) -> Rewrite | None:
    yaml = yaml_module()
    try:
        root = yaml.compose(file.text, Loader=fast_loader())
        entries = yaml_edits(project, root, own, part, target, new)
        if not entries:
            return None
        edits = scalar_edits(file.text, entries)
        if edits is None:
            # libyaml's places were off (a line end it counts otherwise): Python's loader, slower, counts characters.
            root = yaml.compose(file.text, Loader=yaml.SafeLoader)
            entries = yaml_edits(project, root, own, part, target, new)
            edits = scalar_edits(file.text, entries, by_index=True)
    except yaml.YAMLError:
        return None  # reported by the project already
    if edits is None:
        raise ValueError(f"{file.path}: cannot rewrite its entries of {target.name!r} in their own style")
    text = file.text
    for start, end, written in sorted(edits, reverse=True):
        text = text[:start] + written + text[end:]
    changed = {id(scalar): value for scalar, value in entries}
    expected = [changed.get(id(scalar), scalar.value) for scalar in scalars(root)]
    if [scalar.value for scalar in scalars(yaml.compose(text, Loader=fast_loader()))] != expected:
        raise ValueError(f"{file.path}: cannot rewrite its entries of {target.name!r} in their own style")
    return Rewrite(file, text, len(entries))


def scalar_edits(text: str, entries: list[tuple[Any, str]], by_index: bool = False) -> list[tuple[int, int, str]] | None:
    """(start, end, new text) of each scalar to rewrite, in its own style;
    None when one is not where its marks say or not written plainly."""
    starts = [0] if by_index else line_starts(text)
    edits = []
    for scalar, value in entries:
        start, end = (place(mark, starts, text, by_index) for mark in (scalar.start_mark, scalar.end_mark))
        if start is None or end is None:
            return None
        written = scalar_text(text[start:end], scalar.value, scalar.style, value)
        if written is None:
            return None
        edits.append((start, end, written))
    return edits


def line_starts(text: str) -> list[int]:
    return [0, *(index + 1 for index, char in enumerate(text) if char == "\n")]


def place(mark: Any, starts: list[int], text: str, by_index: bool) -> int | None:
    """The index in `text` of a parser's mark."""
    if by_index:
        return int(mark.index)
    if mark.line >= len(starts):
        return None
    bom = 1 if mark.line == 0 and text.startswith("\ufeff") else 0
    return int(starts[mark.line] + mark.column + bom)


def yaml_edits(project: Project, root: Any, own: str, part: str, target: Model, new: str) -> list[tuple[Any, str]]:
    """The scalars of a property file to rewrite, and their new values."""
    entries: list[tuple[Any, str]] = []
    if own == target.project and part == MODELS:
        for entry in sequence(mapping_of(root).get("models")):
            name: Any = mapping_of(entry).get("name")
            if is_scalar(name) and name.value == target.name:
                entries.append((name, new))
    node = ("model", project.id_of(target))
    for scalar in scalars(root):
        if "ref(" not in scalar.value or target.name not in scalar.value:
            continue
        value = renamed_refs_in_value(project, own, scalar.value, node, target.name, new)
        if value is not None:
            entries.append((scalar, value))
    return entries


def renamed_refs_in_value(
    project: Project, own: str, value: str, node: tuple[str, str], old: str, new: str
) -> str | None:
    """A YAML value read as a Jinja expression (`to: ref('m')`) with its
    literal refs that resolve to `node` renamed; None when it holds none."""
    from trelm_cst._project import string_literals

    try:
        doc = parse_trelm("{{ " + value + " }}")
    except TrelmSyntaxError:
        return None
    if any(d.severity == "error" for d in doc.diagnostics()):
        return None  # prose that mentions a ref, not an expression
    edits = []
    for call in doc.calls("ref"):
        names = string_literals(call.args)
        if names is None or not 1 <= len(names) <= 2 or names[-1] != old or call.span is None:
            continue
        candidates = project._candidates(own, old, names[0] if len(names) == 2 else None)
        if len(candidates) == 1 and ("model", project.id_of(candidates[0][0])) == node:
            edits.append((call.span, renamed_call(str(call), old, new, value)))
    if not edits:
        return None
    text = str(doc)
    for (start, end), replacement in sorted(edits, reverse=True):
        text = text[:start] + replacement + text[end:]
    return text[3:-3]


def scalar_text(source: str, value: str, style: str | None, new: str) -> str | None:
    """`new` written in the style of the scalar whose text was `source`;
    None for a form that is not written plainly (escapes, folded lines)."""
    if not style and source == value:  # plain: None from Python's loader, "" from libyaml's
        return new
    if style == "'" and source == "'" + value.replace("'", "''") + "'":
        return "'" + new.replace("'", "''") + "'"
    if style == '"' and source == f'"{value}"' and not any(c in new + value for c in '"\\'):
        return f'"{new}"'
    return None


def fast_loader() -> Any:
    """PyYAML's C loader where it has one, its Python loader otherwise."""
    yaml = yaml_module()
    return getattr(yaml, "CSafeLoader", yaml.SafeLoader)


def mapping_of(node: Any) -> dict[str, Any]:
    yaml = yaml_module()
    if not isinstance(node, yaml.MappingNode):
        return {}
    return {key.value: value for key, value in node.value if isinstance(key, yaml.ScalarNode)}


def sequence(node: Any) -> list[Any]:
    return list(node.value) if isinstance(node, yaml_module().SequenceNode) else []


def is_scalar(node: Any) -> bool:
    return isinstance(node, yaml_module().ScalarNode)


def scalars(node: Any) -> Iterator[Any]:
    """Every scalar below a node, keys included, in document order; each
    node once (an alias repeats a node, not its text)."""
    yaml = yaml_module()
    seen: set[int] = set()
    stack = [node]
    while stack:
        current = stack.pop()
        if current is None or id(current) in seen:
            continue
        seen.add(id(current))
        if isinstance(current, yaml.ScalarNode):
            yield current
        elif isinstance(current, yaml.MappingNode):
            stack.extend(reversed([part for pair in current.value for part in pair]))
        elif isinstance(current, yaml.SequenceNode):
            stack.extend(reversed(current.value))


# ---------------------------------------------------------------- doing it


def check_writable(plan: RenamePlan) -> None:
    """Refuses, before anything is written, what a write would refuse."""
    for rewrite in plan.rewrites:
        refusal = refusal_to_write(rewrite.file)
        if refusal is not None:
            raise ValueError(f"{rewrite.file.path}: {refusal.removesuffix('; left unchanged')}")
    folder = os.path.dirname(plan.result.old_path) or "."
    if not os.access(folder, os.W_OK | os.X_OK):
        raise ValueError(f"{folder}: folder not writable; nothing moved")


def apply_rename(plan: RenamePlan) -> ModelRename:
    """Rewrites the files, then moves the model's file. Raises ValueError for
    what is refused before anything is written, OSError naming what was done
    when a write fails midway."""
    check_writable(plan)
    result = plan.result
    done: list[str] = []
    for rewrite in plan.rewrites:
        problem = write_model(rewrite.file, rewrite.text)
        if problem is not None:
            raise OSError(midway(done, problem.message, rewrite.file.path, result))
        done.append(rewrite.file.path)
    try:
        move(result.old_path, result.new_path)
    except OSError as e:
        raise OSError(midway(done, f"cannot move: {e.strerror or e}", result.old_path, result)) from None
    return result


def midway(done: list[str], why: str, path: str, result: ModelRename) -> str:
    wrote = f"rewrote {', '.join(done)}; " if done else ""
    return f"{path}: {why}; {wrote}{result.old_path} not moved to {result.new_path}"


def move(old: str, new: str) -> None:
    """Renames a file without replacing anything found at the new name: a hard
    link, then the old name removed; a plain rename where links are refused
    (after a last look that the new name is still free)."""
    try:
        os.link(old, new, follow_symlinks=False)
    except OSError as e:
        if e.errno == errno.EEXIST:
            raise
        if os.path.lexists(new):
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), new) from None
        os.rename(old, new)
    else:
        os.unlink(old)
    sync_folder(os.path.dirname(new) or ".")


def rename_model(project: Project, old: str, new: str, in_project: str | None = None) -> ModelRename:
    return apply_rename(plan_rename(project, old, new, in_project))
