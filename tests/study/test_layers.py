"""The study layer's modules import one way: each only from layers below its own."""

import ast
from pathlib import Path

import pytest

import corvane

PACKAGE = Path(corvane.__file__).resolve().parent

# Layer of each module, bottom first. Inside a package, a module may also
# import a sibling of a lower sub-layer (the interface below the codes).
LAYERS = {
    "_rust": -1, "_engine": -1,
    "errors": 0, "version": 0,
    "native": 1, "files": 1, "intervals": 1, "expectations": 1,
    "vocabulary": 2,
    "weights": 3, "metrics": 3, "onnx_task": 3, "patterns": 3, "results": 3,
    "protections.base": 3.1, "protections.plain": 3.2, "protections.secded": 3.2, "protections": 3.3,
    "digits": 4, "trial": 4,
    "executors": 5, "rundir": 5, "report": 5,
    "campaign": 6,
    "cli": 7, "__init__": 7,
    "__main__": 8,
}  # fmt: skip


def module_name(path: Path) -> str:
    rel = path.relative_to(PACKAGE).with_suffix("")
    parts = list(rel.parts)
    if parts[-1] == "__init__" and len(parts) > 1:
        parts.pop()
    return ".".join(parts)


def sources() -> dict[str, Path]:
    return {module_name(p): p for p in sorted(PACKAGE.rglob("*.py"))}


def imported(name: str, path: Path) -> set[str]:
    """The package's modules that a module imports, at the top or inside functions."""
    package = name.split(".")[:-1] if path.name != "__init__.py" else name.split(".")
    if name == "__init__":
        package = []
    out: set[str] = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = package[: len(package) - (node.level - 1)]
            target = [*base, *(node.module.split(".") if node.module else [])]
            if node.module is None:
                out.update(".".join([*target, a.name]) for a in node.names)
            else:
                out.add(".".join(target))
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("corvane"):
            out.add(node.module.removeprefix("corvane").lstrip(".") or "__init__")
        elif isinstance(node, ast.Import):
            out.update(a.name.removeprefix("corvane.") for a in node.names if a.name.startswith("corvane."))
    return {m for m in out if m}


def resolve(target: str) -> str:
    """A submodule import of a package counts as the package unless the submodule has a layer of its own."""
    while target not in LAYERS and "." in target:
        target = target.rsplit(".", 1)[0]
    return target


def test_every_module_has_a_layer():
    assert sorted(set(sources()) - set(LAYERS)) == []


@pytest.mark.parametrize("name", sorted(sources()))
def test_imports_go_down_only(name):
    path = sources()[name]
    here = LAYERS[name]
    for target in sorted(imported(name, path)):
        target = resolve(target)
        there = LAYERS[target]
        same_package = name.split(".")[0] == target.split(".")[0]
        if same_package and "." in name + target:
            ok = there < here
        else:
            ok = int(there) < int(here) if there >= 0 else True
        assert ok, f"{name} (layer {here}) imports {target} (layer {there})"


def test_no_import_cycles():
    graph = {n: {resolve(t) for t in imported(n, p)} - {n} for n, p in sources().items()}
    seen: dict[str, int] = {}

    def visit(node: str, stack: list[str]) -> None:
        if seen.get(node) == 1:
            raise AssertionError("import cycle: " + " -> ".join([*stack, node]))
        if seen.get(node) == 2:
            return
        seen[node] = 1
        for nxt in sorted(graph.get(node, ())):
            visit(nxt, [*stack, node])
        seen[node] = 2

    for n in sorted(graph):
        visit(n, [])
