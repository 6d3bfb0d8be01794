"""Writes docs/api.md, the reference of every class, method, property and
function of the installed trelm_cst package.

What exists comes from the installed module (its __all__ and the members of
each class); signatures come from the type stub shipped beside it, which has
the types, and from inspect.signature for anything the stub lacks; docstrings
are the module's own, or the stub's where the module has only CPython's
generic text (len(), [], ==).

    python tools/gen_api_docs.py            rewrite docs/api.md
    python tools/gen_api_docs.py --check    exit 1 when docs/api.md is out of date

Run it with the package installed (tools/run_tests.sh leaves it in .venv).
"""

from __future__ import annotations

import argparse
import ast
import importlib.util
import inspect
import sys
import types
from dataclasses import dataclass, field
from pathlib import Path

PAGE = Path(__file__).resolve().parents[1] / "docs" / "api.md"
PACKAGE = "trelm_cst"

# Members that CPython's slots give every class with comparison or a mapping;
# their runtime docstrings say nothing about this package.
_SLOT_TYPES = (types.WrapperDescriptorType, types.MethodWrapperType)


@dataclass
class StubClass:
    node: ast.ClassDef
    # Member name -> its definitions, in stub order (several for an overload,
    # a property and its setter).
    members: dict[str, list[ast.stmt]] = field(default_factory=dict)


@dataclass
class Stub:
    source_lines: list[str]
    classes: dict[str, StubClass] = field(default_factory=dict)
    functions: dict[str, list[ast.FunctionDef]] = field(default_factory=dict)
    aliases: dict[str, ast.AnnAssign] = field(default_factory=dict)
    order: list[str] = field(default_factory=list)


def read_stub(path: Path) -> Stub:
    text = path.read_text(encoding="utf-8")
    stub = Stub(text.splitlines())
    for node in ast.parse(text).body:
        if isinstance(node, ast.ClassDef):
            cls = StubClass(node)
            for member in node.body:
                name = member_name(member)
                if name is not None:
                    cls.members.setdefault(name, []).append(member)
            stub.classes[node.name] = cls
            stub.order.append(node.name)
        elif isinstance(node, ast.FunctionDef):
            stub.functions.setdefault(node.name, []).append(node)
            stub.order.append(node.name)
        elif isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "TypeAlias":
            stub.aliases[ast.unparse(node.target)] = node
    return stub


def member_name(node: ast.stmt) -> str | None:
    if isinstance(node, ast.FunctionDef):
        return node.name
    if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
        return node.target.id
    return None


def decorators(node: ast.FunctionDef) -> list[str]:
    return [ast.unparse(d) for d in node.decorator_list]


def is_property(defs: list[ast.stmt]) -> bool:
    return any(isinstance(d, ast.FunctionDef) and "property" in decorators(d) for d in defs)


def is_settable(defs: list[ast.stmt]) -> bool:
    return any(
        isinstance(d, ast.FunctionDef) and any(dec.endswith(".setter") for dec in decorators(d)) for d in defs
    )


def stub_signature(node: ast.FunctionDef, bound: bool) -> str:
    """`(params) -> return`, without `self` for a method called on an instance.
    Written out here rather than by ast.unparse, whose spacing of defaults
    differs between Python versions."""
    args = node.args
    positional = [*args.posonlyargs, *args.args]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = [parameter(a, d) for a, d in zip(positional, defaults)]
    if args.posonlyargs:
        params.insert(len(args.posonlyargs), "/")
    if bound:
        params.pop(0)
        if params == ["/"]:
            params = []
    if args.vararg is not None:
        params.append("*" + parameter(args.vararg, None))
    elif args.kwonlyargs:
        params.append("*")
    params += [parameter(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg is not None:
        params.append("**" + parameter(args.kwarg, None))
    returns = f" -> {ast.unparse(node.returns)}" if node.returns is not None else ""
    return f"({', '.join(params)}){returns}"


def parameter(arg: ast.arg, default: ast.expr | None) -> str:
    text = arg.arg
    if arg.annotation is not None:
        text += f": {ast.unparse(arg.annotation)}"
        if default is not None:
            text += f" = {ast.unparse(default)}"
    elif default is not None:
        text += f"={ast.unparse(default)}"
    return text


def stub_docstring(defs: list[ast.stmt]) -> str | None:
    for node in defs:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            doc = ast.get_docstring(node, clean=True)
            if doc:
                return doc
    return None


def trailing_comment(stub: Stub, node: ast.stmt) -> str | None:
    line = stub.source_lines[node.lineno - 1]
    return line.split("#", 1)[1].strip() if "#" in line else None


def runtime_docstring(obj: object) -> str | None:
    doc = getattr(obj, "__doc__", None)
    return inspect.cleandoc(doc) if isinstance(doc, str) and doc.strip() else None


def docstring(runtime: str | None, stub: str | None) -> str | None:
    """The module's docstring, which help() shows; or the stub's where the
    module has none, or where the stub's goes on from it (often to say what
    it raises)."""
    if runtime is None or (stub is not None and words(stub)[: len(words(runtime))] == words(runtime)):
        return stub or runtime
    return runtime


def words(text: str) -> list[str]:
    return text.split()


def runtime_signature(obj: object) -> str:
    try:
        signature = inspect.signature(obj)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return "(...)"
    params = list(signature.parameters.values())
    if params and params[0].name == "self":
        signature = signature.replace(parameters=params[1:])
    # The package's Python code postpones its annotations: show them as written, not as quoted strings.
    return str(signature).replace("'", "")


def code_block(*lines: str) -> list[str]:
    return ["```python", *lines, "```", ""]


def document_function(name: str, function: object, stub: Stub) -> list[str]:
    defs = stub.functions.get(name)
    signatures = [stub_signature(d, bound=False) for d in defs] if defs else [runtime_signature(function)]
    doc = docstring(runtime_docstring(function), stub_docstring(list(defs)) if defs else None)
    out = [f"### {name}", "", *code_block(*(f"{name}{s}" for s in signatures))]
    return out + ([doc, ""] if doc else [])


def document_member(cls: type, name: str, stub_defs: list[ast.stmt], stub: Stub) -> list[str]:
    title = f"{cls.__name__}.{name}"
    raw = inspect.getattr_static(cls, name, None)
    value = getattr(cls, name, None)
    lines: list[str]
    kind = ""
    if not stub_defs and name in annotated(cls):
        lines = [f"{title}: {annotated(cls)[name]}"]
        kind = "attribute"
        doc = None
    elif stub_defs and isinstance(stub_defs[0], ast.AnnAssign):
        node = stub_defs[0]
        lines = [f"{title}: {ast.unparse(node.annotation)}"]
        kind = "attribute"
        doc = trailing_comment(stub, node)
    elif stub_defs and is_property(stub_defs):
        getter = stub_defs[0]
        assert isinstance(getter, ast.FunctionDef)
        returns = ast.unparse(getter.returns) if getter.returns is not None else "object"
        lines = [f"{title}: {returns}"]
        kind = "property, settable" if is_settable(stub_defs) else "property, read-only"
        doc = docstring(runtime_docstring(raw), stub_docstring(stub_defs))
    elif isinstance(raw, (property, types.GetSetDescriptorType, types.MemberDescriptorType)):
        lines = [title]
        kind = "property"
        doc = runtime_docstring(raw)
    else:
        static = isinstance(raw, staticmethod)
        functions = [d for d in stub_defs if isinstance(d, ast.FunctionDef)]
        if functions:
            # Overloads list each form; the stub's plain definition after them, if any, adds nothing.
            overloads = [d for d in functions if "overload" in decorators(d)] or functions[:1]
            lines = [f"{title}{stub_signature(d, bound=not static)}" for d in overloads]
        else:
            lines = [f"{title}{runtime_signature(value)}"]
        kind = "static method" if static else "method"
        generic = isinstance(raw, _SLOT_TYPES)
        doc = docstring(None if generic else runtime_docstring(value), stub_docstring(stub_defs))
    out = [f"#### {title}", "", f"*{kind}*", "", *code_block(*lines)]
    return out + ([doc, ""] if doc else [])


def public_members(cls: type, stub_class: StubClass | None) -> list[str]:
    """The stub's methods (dunders included: the stub declares only those the
    class really supports) and public attributes, in its order; then any
    public member of the class that the stub lacks."""
    names = []
    if stub_class:
        for name, defs in stub_class.members.items():
            if isinstance(defs[0], ast.FunctionDef) or not name.startswith("_"):
                names.append(name)
    names += [n for n in annotated(cls) if not n.startswith("_") and n not in names]
    names += [n for n in vars(cls) if not n.startswith("_") and n not in names]
    return names


def annotated(cls: type) -> dict[str, str]:
    """The attributes a class of the package's Python code declares with
    their types (dataclass fields among them), as written."""
    return {name: str(kind) for name, kind in vars(cls).get("__annotations__", {}).items()}


def document_class(cls: type, stub: Stub) -> list[str]:
    stub_class = stub.classes.get(cls.__name__)
    bases = [b.__name__ for b in cls.__bases__ if b is not object]
    header = f"class {cls.__name__}({', '.join(bases)})" if bases else f"class {cls.__name__}"
    doc = docstring(runtime_docstring(cls), stub_docstring([stub_class.node]) if stub_class else None)
    out = [f"### {cls.__name__}", "", *code_block(header)]
    out += [doc, ""] if doc else []
    for name in public_members(cls, stub_class):
        stub_defs = stub_class.members.get(name, []) if stub_class else []
        if (not stub_defs and name not in annotated(cls)) or (stub_defs and not isinstance(stub_defs[0], ast.AnnAssign)):
            if inspect.getattr_static(cls, name, None) is None:
                raise SystemExit(f"gen_api_docs: the stub declares {cls.__name__}.{name}, which the module lacks")
        out += document_member(cls, name, stub_defs, stub)
    return out


def render() -> str:
    import trelm_cst

    spec = importlib.util.find_spec(PACKAGE)
    assert spec is not None and spec.submodule_search_locations
    stub = read_stub(Path(spec.submodule_search_locations[0]) / "_native.pyi")

    exported = list(trelm_cst.__all__)
    order = {name: i for i, name in enumerate(stub.order)}
    exported.sort(key=lambda name: (order.get(name, len(order)), name))
    classes = [getattr(trelm_cst, n) for n in exported if inspect.isclass(getattr(trelm_cst, n))]
    functions = [n for n in exported if not inspect.isclass(getattr(trelm_cst, n))]

    out = [
        "# API reference",
        "",
        f"Every class, method, property and function of `{PACKAGE}`, with its signature and docstring.",
        "Generated from the installed package and its type stub by `python tools/gen_api_docs.py`;",
        "do not edit by hand. The [README](../README.md) is the guide.",
        "",
        "## Contents",
        "",
    ]
    out += [f"- [{n}](#{n.lower()})" for n in functions]
    out += [f"- [{c.__name__}](#{c.__name__.lower()})" for c in classes]
    out += ["", "## Functions", ""]
    for name in functions:
        out += document_function(name, getattr(trelm_cst, name), stub)
    out += ["## Classes", ""]
    for cls in classes:
        out += document_class(cls, stub)
    if stub.aliases:
        out += ["## Types in signatures", ""]
        for name, node in stub.aliases.items():
            assert node.value is not None
            out += code_block(f"{name} = {ast.unparse(node.value)}")
    return "\n".join(out).rstrip("\n") + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--check", action="store_true", help="exit 1 when the page is out of date")
    args = parser.parse_args(argv)
    text = render()
    if args.check:
        current = PAGE.read_text(encoding="utf-8") if PAGE.exists() else ""
        if current != text:
            print(f"{PAGE} is out of date: run python tools/gen_api_docs.py", file=sys.stderr)
            return 1
        return 0
    PAGE.write_text(text, encoding="utf-8")
    print(f"wrote {PAGE}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
