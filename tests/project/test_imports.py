"""The package's modules, read as text: the library imports nothing of the command (its
`cli` package), nothing of argparse and not pyplot (whose figures and backend are the
user's), and no module imports, even inside a function, one that comes back to it. Imports under `if TYPE_CHECKING:` are for type checkers and
never run, so they do not count."""

import ast
from pathlib import Path

import pytest

PACKAGE = Path(__file__).parents[2] / "src" / "kinematic_rupture"
ROOT = "kinematic_rupture"
# What the library may not import.
COMMAND = (f"{ROOT}.cli", "argparse", "matplotlib.pyplot")


def modules_of(package: Path) -> dict[str, Path]:
    """Every module of a package by its dotted name."""
    modules = {}
    for path in sorted(package.rglob("*.py")):
        parts = path.relative_to(package.parent).with_suffix("").parts
        modules[".".join(parts[:-1] if parts[-1] == "__init__" else parts)] = path
    return modules


MODULES = modules_of(PACKAGE)


def is_type_checking(node: ast.If) -> bool:
    test = node.test
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or (
        isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def import_nodes(tree: ast.AST) -> list[ast.Import | ast.ImportFrom]:
    """Every import statement of a module, at any depth, but those for type checkers."""
    found: list[ast.Import | ast.ImportFrom] = []

    def visit(node: ast.AST) -> None:
        if isinstance(node, ast.If) and is_type_checking(node):
            for child in node.orelse:
                visit(child)
            return
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            found.append(node)
        for child in ast.iter_child_nodes(node):
            visit(child)

    visit(tree)
    return found


def imported(name: str, modules: dict[str, Path] = MODULES) -> set[str]:
    """The modules that importing `name` runs: what it names, and of the package's own,
    the packages above what it names that do not hold `name` itself (the package that
    holds a module is running already when the module is)."""
    path = modules[name]
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    targets: set[str] = set()
    for node in import_nodes(ast.parse(path.read_text(), str(path))):
        if isinstance(node, ast.Import):
            targets.update(alias.name for alias in node.names)
            continue
        base = node.module or ""
        if node.level:
            anchor = package.split(".")
            anchor = anchor[:len(anchor) - node.level + 1]
            base = ".".join(anchor + ([node.module] if node.module else []))
        for alias in node.names:
            submodule = f"{base}.{alias.name}"
            if submodule in modules:
                targets.add(submodule)
            else:  # a name of the module, or of another package a submodule of it
                targets.add(base)
                if not base.startswith(ROOT):
                    targets.add(submodule)
    parents = set()
    for target in targets:
        parts = target.split(".")
        for cut in range(1, len(parts)):
            parent = ".".join(parts[:cut])
            if parent in modules and not (name == parent or name.startswith(parent + ".")):
                parents.add(parent)
    return targets | parents


GRAPH = {name: imported(name) for name in MODULES}


def test_the_modules_are_found():
    assert {f"{ROOT}.rupture", f"{ROOT}.cli", f"{ROOT}.cli.app", f"{ROOT}.io.common"} <= set(GRAPH)


# The command: its package, and `python -m kinematic_rupture`, which runs it.
COMMAND_MODULES = {name for name in MODULES
                   if name.startswith(f"{ROOT}.cli") or name == f"{ROOT}.__main__"}


@pytest.mark.parametrize("name", sorted(set(MODULES) - COMMAND_MODULES))
def test_the_library_imports_nothing_of_the_command(name):
    forbidden = {target for target in GRAPH[name]
                 if any(target == banned or target.startswith(banned + ".") for banned in COMMAND)}
    assert not forbidden, f"{name} imports {sorted(forbidden)}"


def test_no_module_imports_one_that_comes_back_to_it():
    graph = {name: {target for target in targets if target in MODULES}
             for name, targets in GRAPH.items()}
    circles = []
    state: dict[str, str] = {}
    path: list[str] = []

    def visit(name: str) -> None:
        state[name] = "open"
        path.append(name)
        for target in sorted(graph[name]):
            if state.get(target) == "open":
                circles.append(path[path.index(target):] + [target])
            elif target not in state:
                visit(target)
        path.pop()
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name)
    assert not circles, "\n".join(" -> ".join(circle) for circle in circles)


def test_the_reading_finds_imports_in_functions_and_leaves_those_for_type_checkers(tmp_path):
    """The same reading, on a package made for it."""
    package = tmp_path / ROOT
    (package / "cli").mkdir(parents=True)
    files = {"__init__.py": "", "a.py": "def f():\n    from . import b\n",
             "b.py": "from .a import f\nimport argparse\n", "cli/__init__.py": "",
             "c.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    from . import d\n",
             "d.py": "from . import c\n", "e.py": "from matplotlib import pyplot\n"}
    for name, text in files.items():
        (package / name).write_text(text)
    modules = modules_of(package)
    assert imported(f"{ROOT}.a", modules) == {f"{ROOT}.b"}
    assert imported(f"{ROOT}.b", modules) == {f"{ROOT}.a", "argparse"}
    # d only for type checkers; of another package, what may be a submodule too.
    assert imported(f"{ROOT}.c", modules) == {"typing", "typing.TYPE_CHECKING"}
    assert imported(f"{ROOT}.d", modules) == {f"{ROOT}.c"}
    assert "matplotlib.pyplot" in imported(f"{ROOT}.e", modules)
