"""The package's layers: no import cycle (imports inside functions included), every module
importable alone, no module reading another's private names."""
import ast
import pathlib
import subprocess
import sys

import velmora

ROOT = pathlib.Path(velmora.__file__).parent


def modules():
    """{module name: parsed tree} of every module of the package."""
    out = {}
    for path in sorted(ROOT.rglob("*.py")):
        parts = path.relative_to(ROOT.parent).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        out[name] = (ast.parse(path.read_text(encoding="utf-8")), path.name == "__init__.py")
    return out


def imports(name, tree, package):
    """Every velmora module ``name`` imports, wherever the import statement stands, with the
    names it takes from each."""
    base = name if package else name.rpartition(".")[0]
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom):
            if node.level:
                parts = base.split(".")
                parts = parts[:len(parts) - node.level + 1]
                target = ".".join(parts + ([node.module] if node.module else []))
            else:
                target = node.module or ""
            if target.split(".")[0] != "velmora":
                continue
            for alias in node.names:
                sub = f"{target}.{alias.name}"
                found.append((sub, None) if sub in MODULES else (target, alias.name))
        elif isinstance(node, ast.Import):
            found += [(a.name, None) for a in node.names if a.name.split(".")[0] == "velmora"]
    return found


MODULES = modules()


def test_the_import_graph_has_no_cycle_and_takes_no_private_name():
    graph, private = {}, []
    for name, (tree, package) in MODULES.items():
        edges = imports(name, tree, package)
        # A package's own __init__ is not an edge of its modules (importing velmora.formats.x
        # runs velmora.formats first, whatever x imports).
        graph[name] = {t for t, _ in edges if t in MODULES and t != name
                       and not name.startswith(t + ".")}
        private += [f"{name} takes {t}.{n}" for t, n in edges
                    if n is not None and n.startswith("_") and not n.startswith("__")]
        aliases = {a.asname or a.name for node in ast.walk(tree)
                   if isinstance(node, ast.ImportFrom) and node.level
                   for a in node.names if f"{name.rpartition('.')[0]}.{a.name}" in MODULES}
        private += [f"{name} reads {n.value.id}.{n.attr}" for n in ast.walk(tree)
                    if isinstance(n, ast.Attribute) and isinstance(n.value, ast.Name)
                    and n.value.id in aliases and n.attr.startswith("_")
                    and not n.attr.startswith("__")]
        # Any object's private attribute that this module does not define itself (the core's
        # private entry points are its interface to the package; other libraries are not
        # looked at).
        own = {n.name for n in ast.walk(tree)
               if isinstance(n, (ast.FunctionDef, ast.ClassDef))} | {
            n.attr for n in ast.walk(tree) if isinstance(n, ast.Attribute)
            and isinstance(n.ctx, ast.Store)}
        other = {a.asname or a.name.split(".")[0] for n in ast.walk(tree)
                 if isinstance(n, ast.Import) for a in n.names}  # the modules of others
        private += [f"{name} reads {n.value.id}.{n.attr}" for n in ast.walk(tree)
                    if isinstance(n, ast.Attribute) and isinstance(n.value, ast.Name)
                    and n.value.id not in {"self", "cls"} | other
                    and n.attr.startswith("_") and not n.attr.startswith("__")
                    and n.attr not in own]
    assert not private, private

    # Depth first: a module met again while still on the path closes a cycle.
    state, path = {}, []

    def visit(module):
        state[module] = "open"
        path.append(module)
        for nxt in sorted(graph[module]):
            if state.get(nxt) == "open":
                raise AssertionError("import cycle: " + " -> ".join(
                    path[path.index(nxt):] + [nxt]))
            if nxt not in state:
                visit(nxt)
        path.pop()
        state[module] = "done"

    for module in sorted(graph):
        if module not in state:
            visit(module)
    assert {"velmora.model", "velmora.grid", "velmora.schedule", "velmora.packing",
            "velmora.batch"} <= set(graph)


def test_every_module_imports_alone():
    code = ("import importlib, sys\n"
            f"for name in {sorted(m for m in MODULES if not m.endswith('__main__'))!r}:\n"
            "    for loaded in [m for m in sys.modules if m.split('.')[0] == 'velmora']:\n"
            "        del sys.modules[loaded]\n"
            "    importlib.import_module(name)\n"
            "print('ok')\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr
