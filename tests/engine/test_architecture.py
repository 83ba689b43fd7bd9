"""The package's shape: the engine's tables are the one place that names families and
bases, and the modules import one another without cycles."""

import ast
import pathlib

import velkan
from velkan import _engine

PACKAGE = pathlib.Path(velkan.__file__).parent


def modules():
    return {p.stem: ast.parse(p.read_text()) for p in PACKAGE.glob("*.py")}


def test_no_module_spells_a_family_or_basis_name():
    names = {info.name for info in _engine.families()} | {b[0] for b in _engine.bases()}
    found = []
    for module, tree in modules().items():
        for node in ast.walk(tree):
            if isinstance(node, ast.Constant) and node.value in names:
                found.append(f"{module}.py:{node.lineno}: {node.value!r}")
    assert not found, found


def test_imports_form_no_cycle():
    graph = {}
    for module, tree in modules().items():
        deps = set()
        for node in ast.walk(tree):  # function-level imports count too
            if isinstance(node, ast.ImportFrom) and node.level == 1:
                deps |= {node.module} if node.module else {a.name for a in node.names}
        graph[module] = deps & set(modules())

    def visit(module, path):
        assert module not in path, " -> ".join(path + [module])
        for dep in graph[module]:
            visit(dep, path + [module])

    for module in graph:
        if module != "__init__":
            visit(module, [])


def test_functions_stay_short():
    long = [f"{module}.{node.name}: {node.end_lineno - node.lineno + 1} lines"
            for module, tree in modules().items() for node in ast.walk(tree)
            if isinstance(node, ast.FunctionDef) and node.end_lineno - node.lineno >= 80]
    assert not long, long
