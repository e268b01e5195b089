"""Sphinx extension of vornel's documentation.

- Signatures of ``Problem``, its methods and ``get_ipopt_options`` are taken
  from the package's type stub, the same one type checkers read: the
  interpreter cannot inspect the compiled ones, and the stub spells the
  Python layer's types as a reader knows them.
- The signature lines that the docstrings carry for ``help()`` are left out
  of the rendered text, where the signature is shown already.
- Directives that render what the linked module reports at build time: the
  table of Ipopt options (``ipopt-options``), the statuses with their
  explanations (``status-table``), the build's module attributes
  (``build-info``, and the role ``ipopt-version``), and the benchmark
  results file (``bench-run``). Each option of the table is the target of
  ``:ref:`ipopt-option-NAME``` (underscores as hyphens).
- A check that every name of ``vornel.__all__`` has a reference entry.
"""

from __future__ import annotations

import ast
import importlib.metadata
import json
import shutil
from collections import defaultdict
from pathlib import Path
from typing import Any

from docutils import nodes
from sphinx import addnodes
from sphinx.application import Sphinx
from sphinx.ext import intersphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

import vornel

ROOT = Path(__file__).resolve().parents[2]
BENCH_RESULTS = ROOT / "bench" / "results" / "run.json"
logger = logging.getLogger(__name__)

# ---- Signatures from the stub ------------------------------------------------

# The stub's private aliases, spelled as a reader knows the types.
_ALIASES = {
    "_Vector": "numpy.typing.NDArray[numpy.float64]",
    "_LowLevelCallable": "scipy.LowLevelCallable",
    "_Compiled": "types.CapsuleType | scipy.LowLevelCallable",
    "_SparseMatrix": "scipy.sparse.sparray | scipy.sparse.spmatrix",
    "_IpoptOption": "dict[str, typing.Any]",
    "_OptimizeResult": "scipy.optimize.OptimizeResult",
}
# The stub's imported names, by their modules.
_MODULES = {"np": "numpy", "npt": "numpy.typing"}
_QUALIFIED = {
    "Callable": "collections.abc.Callable",
    "Iterable": "collections.abc.Iterable",
    "Mapping": "collections.abc.Mapping",
    "Literal": "typing.Literal",
    "Any": "typing.Any",
    "SupportsFloat": "typing.SupportsFloat",
    "SupportsIndex": "typing.SupportsIndex",
    "CapsuleType": "types.CapsuleType",
    "Problem": "vornel.Problem",
    "SolveResult": "vornel.SolveResult",
    "Iterate": "vornel.Iterate",
    "CheckReport": "vornel.CheckReport",
}


class _Spell(ast.NodeTransformer):
    """Rewrites an annotation of the stub into public, qualified names."""

    def __init__(self, aliases: dict[str, ast.expr]) -> None:
        self.aliases = aliases

    def visit_Name(self, node: ast.Name) -> ast.AST:
        if node.id in _ALIASES:
            return _copy(ast.parse(_ALIASES[node.id], mode="eval").body)
        if node.id in self.aliases:
            return self.visit(_copy(self.aliases[node.id]))
        if node.id in _QUALIFIED:
            return ast.parse(_QUALIFIED[node.id], mode="eval").body
        return node

    def visit_Attribute(self, node: ast.Attribute) -> ast.AST:
        if isinstance(node.value, ast.Name) and node.value.id in _MODULES:
            return ast.parse(f"{_MODULES[node.value.id]}.{node.attr}", mode="eval").body
        return self.generic_visit(node)


def _copy(node: ast.expr) -> ast.expr:
    return ast.parse(ast.unparse(node), mode="eval").body


def _flat(node: ast.expr) -> ast.expr:
    """``A | (B | C)`` as ``A | B | C``: Sphinx's annotation parser reads
    no parentheses."""
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        parts: list[ast.expr] = []

        def gather(n: ast.expr) -> None:
            if isinstance(n, ast.BinOp) and isinstance(n.op, ast.BitOr):
                gather(n.left)
                gather(n.right)
            else:
                parts.append(_flat(n))

        gather(node)
        result = parts[0]
        for part in parts[1:]:
            result = ast.BinOp(left=result, op=ast.BitOr(), right=part)
        return result
    for field, value in ast.iter_fields(node):
        if isinstance(value, ast.expr):
            setattr(node, field, _flat(value))
        elif isinstance(value, list):
            setattr(node, field, [_flat(v) if isinstance(v, ast.expr) else v for v in value])
    return node


def _stub_signatures() -> dict[str, tuple[str, str | None]]:
    """(arguments, return annotation) of every def in the stub, by the
    documented name: ``vornel.Problem`` for the class (its ``__new__``),
    ``vornel.Problem.solve`` for a method."""
    stub = Path(vornel.__file__).with_name("__init__.pyi")
    tree = ast.parse(stub.read_text())
    aliases: dict[str, ast.expr] = {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            if node.value is not None and ast.unparse(node.annotation) == "TypeAlias":
                aliases[node.target.id] = node.value
    spell = _Spell(aliases)

    def public(annotation: ast.expr) -> ast.expr:
        return _flat(_copy(spell.visit(annotation)))

    def signature(func: ast.FunctionDef, drop_first: bool) -> tuple[str, str | None]:
        args = func.args
        every = [*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg]
        for arg in every:
            if arg is not None and arg.annotation is not None:
                arg.annotation = public(arg.annotation)
        if drop_first:
            if args.posonlyargs:
                args.posonlyargs.pop(0)
            else:
                args.args.pop(0)
        returns = None if func.returns is None else ast.unparse(public(func.returns))
        return f"({ast.unparse(args)})", returns

    found: dict[str, tuple[str, str | None]] = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[f"vornel.{node.name}"] = signature(node, False)
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if not isinstance(item, ast.FunctionDef):
                    continue
                # Of overloads, the first is shown: the general one (the
                # constructor's second covers m = 0, which its text explains).
                overload = [ast.unparse(d) for d in item.decorator_list] == ["overload"]
                if item.decorator_list and not overload:
                    continue
                if item.name == "__new__":
                    found.setdefault(f"vornel.{node.name}", (signature(item, True)[0], None))
                elif not item.name.startswith("_"):
                    found[f"vornel.{node.name}.{item.name}"] = signature(item, True)
    return found


_SIGNATURES: dict[str, tuple[str, str | None]] = {}


def _is_record(obj: Any) -> bool:
    return isinstance(obj, type) and hasattr(obj, "__dataclass_fields__")


def process_signature(app, what, name, obj, options, signature, return_annotation):
    if _is_record(obj):
        # The records are made by vornel, never by the caller: no signature.
        return "", None
    if not _SIGNATURES:
        _SIGNATURES.update(_stub_signatures())
    return _SIGNATURES.get(name)


# Annotations of the Python layer that exist for type checkers only, as the
# attribute types that napoleon writes from them.
_TYPE_ALIASES = {"_Vector": "~numpy.typing.NDArray[~numpy.float64]"}


def process_docstring(app, what, name, obj, options, lines):
    """Leaves out the signature paragraph that a docstring starts with (or,
    for the class, that follows its summary line), and spells the private
    aliases of attribute types."""
    for i, line in enumerate(lines):
        if line.lstrip().startswith(":type:"):
            for alias, spelled in _TYPE_ALIASES.items():
                line = line.replace(alias, spelled)
            lines[i] = line
    short = name.rsplit(".", 1)[-1]
    start = 0
    if what == "class" and len(lines) > 2 and not lines[1] and lines[2].startswith(f"{short}("):
        start = 2
    elif not (lines and lines[0].lstrip().startswith((f"{short}(", "->"))):
        # autodoc has taken the first line of a signature that goes on.
        return
    end = start
    while end < len(lines) and lines[end].strip():
        end += 1
    del lines[start : end + 1]


# ---- Tables built from nodes -------------------------------------------------


def _table(headers: list[str], rows: list[list[nodes.Node | str]], widths: list[int]):
    table = nodes.table(classes=["vornel-table", "colwidths-given"])
    group = nodes.tgroup(cols=len(headers))
    table += group
    for width in widths:
        group += nodes.colspec(colwidth=width)
    head = nodes.thead()
    group += head
    head += _row(headers)
    body = nodes.tbody()
    group += body
    for cells in rows:
        body += _row(cells)
    return table


def _row(cells: list[nodes.Node | str]) -> nodes.row:
    row = nodes.row()
    for cell in cells:
        entry = nodes.entry()
        if isinstance(cell, str):
            entry += nodes.paragraph(text=cell)
        elif isinstance(cell, nodes.paragraph):
            entry += cell
        else:
            entry += nodes.paragraph("", "", cell)
        row += entry
    return row


def _literal(text: str) -> nodes.literal:
    return nodes.literal(text=text)


# ---- Ipopt options -----------------------------------------------------------


def option_id(name: str) -> str:
    return f"ipopt-option-{name}".replace("_", "-")


class IpoptOptions(SphinxDirective):
    """Every option the linked Ipopt registers, by category, from
    ``vornel.get_ipopt_options()``."""

    def run(self):
        by_category: dict[str, list[dict[str, Any]]] = defaultdict(list)
        for option in vornel.get_ipopt_options():
            by_category[option["category"] or "Uncategorized"].append(option)
        std = self.env.domains.standard_domain
        result: list[nodes.Node] = []
        for category in sorted(by_category, key=lambda c: (c == "Undocumented", c)):
            section_id = nodes.make_id(f"options-{category}")
            section = nodes.section(ids=[section_id])
            section += nodes.title(text=category)
            rows = []
            for option in sorted(by_category[category], key=lambda o: o["name"]):
                name = option["name"]
                anchor = option_id(name)
                target = nodes.inline(ids=[anchor])
                target += _literal(name)
                std.anonlabels[anchor] = (self.env.docname, anchor)
                std.labels[anchor] = (self.env.docname, anchor, name)
                kind = option["type"].__name__ if option["type"] is not None else "unknown"
                description = nodes.paragraph()
                description += nodes.strong(text=option["description_short"])
                if option["description_long"]:
                    description += nodes.Text(" " + option["description_long"])
                rows.append([target, _literal(kind), description])
            section += _table(["option", "type", "description"], rows, [32, 11, 57])
            result.append(section)
        return result


# ---- Statuses ----------------------------------------------------------------


class StatusTable(SphinxDirective):
    """Every member of ``vornel.Status``: name, code and explanation. Each
    name links to its entry in the troubleshooting page and is the target of
    ``:py:attr:`vornel.Status.NAME```."""

    def run(self):
        python = self.env.domains.python_domain
        rows = []
        for status in vornel.Status:
            full = f"vornel.Status.{status.name}"
            python.note_object(full, "attribute", full, location=self.get_location())
            link = addnodes.pending_xref(
                "",
                _literal(status.name),
                refdomain="std",
                reftype="ref",
                reftarget=f"status-{status.name}".lower(),
                refexplicit=True,
                refwarn=True,
            )
            target = nodes.inline(ids=[full])
            target += link
            rows.append([target, str(int(status)), status.explanation])
        # The labels are the troubleshooting page's: an entry missing there
        # is an unresolved reference, which fails the build.
        return [_table(["member (what to do)", "code", "explanation"], rows, [30, 6, 64])]


# ---- The build's module attributes -------------------------------------------


class BuildInfo(SphinxDirective):
    """What the module that built this page reports about its solver."""

    def run(self):
        rows = [
            [_literal("vornel.__version__"), _literal(repr(vornel.__version__))],
            [_literal("vornel.ipopt_version"), _literal(repr(vornel.ipopt_version))],
            [_literal("vornel.ipopt_linear_solver"), _literal(repr(vornel.ipopt_linear_solver))],
            [_literal("vornel.parallel_solves"), _literal(repr(vornel.parallel_solves))],
            [
                "hsllib option",
                "yes" if any(o["name"] == "hsllib" for o in vornel.get_ipopt_options()) else "no",
            ],
        ]
        return [_table(["attribute", "value in the build of this page"], rows, [40, 60])]


# ---- Benchmark results -------------------------------------------------------


def load_results(path: Path = BENCH_RESULTS) -> dict[str, Any]:
    """The results file that ``bench/run.py --json`` writes, checked against
    the fields this site reads."""
    data = json.loads(path.read_text())
    for key in ("command", "date", "machine", "load", "python", "numpy", "rows", "overhead"):
        if key not in data:
            raise ValueError(f"{path}: no {key!r}")
    row_keys = ("problem", "n", "form", "solver", "iterations", "objective", "wall_s", "cpu_s")
    for row in data["rows"]:
        missing = [k for k in (*row_keys, "peak_rss_mib") if k not in row]
        if missing or row["form"] not in ("native", "compiled", "python"):
            raise ValueError(f"{path}: a row without {missing} or of an unknown form: {row}")
    for row in data["overhead"]:
        if not {"role", "arrays", "per_call_us", "how"} <= set(row):
            raise ValueError(f"{path}: an overhead row lacks a field: {row}")
    return data


def _seconds(value: float) -> str:
    if value >= 1:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.1f} ms"
    return f"{value * 1e6:.0f} µs"


class BenchRun(SphinxDirective):
    """Which run produced the results file, and its figures as tables."""

    def run(self):
        data = load_results()
        self.env.note_dependency(str(BENCH_RESULTS))
        load = ", ".join(f"{x:.2f}" for x in data["load"])
        facts = nodes.field_list()
        for name, value in [
            ("command", _literal(data["command"])),
            ("date", data["date"]),
            ("machine", data["machine"]),
            ("load average at the start (1, 5, 15 min)", load),
            ("Python, NumPy", f"{data['python']}, {data['numpy']}"),
            ("solver builds", ", ".join(sorted({r["solver"] for r in data["rows"]}))),
        ]:
            field = nodes.field()
            field += nodes.field_name(text=name)
            body = nodes.field_body()
            body += nodes.paragraph(
                "", "", value if isinstance(value, nodes.Node) else nodes.Text(value)
            )
            field += body
            facts += field

        native = {
            (r["problem"], r["n"], r["solver"]): r for r in data["rows"] if r["form"] == "native"
        }
        rows = []
        for r in data["rows"]:
            base = native.get((r["problem"], r["n"], r["solver"]))
            wall = f"{r['wall_s'] / base['wall_s']:.2f}" if base else ""
            cpu = f"{r['cpu_s'] / base['cpu_s']:.2f}" if base else ""
            rows.append(
                [
                    r["problem"],
                    str(r["n"]),
                    r["solver"],
                    r["form"],
                    str(r["iterations"]),
                    f"{r['objective']:.8g}",
                    _seconds(r["wall_s"]),
                    wall,
                    _seconds(r["cpu_s"]),
                    cpu,
                    f"{r['peak_rss_mib']:.1f} MiB",
                ]
            )
        headers = [
            "problem",
            "n",
            "solver",
            "form",
            "iter.",
            "objective",
            "wall time",
            "wall ratio to native",
            "CPU time",
            "CPU ratio to native",
            "peak RSS",
        ]
        solves = _table(headers, rows, [11, 8, 10, 10, 6, 12, 9, 8, 9, 8, 9])
        overhead = _table(
            ["role", "arrays", "overhead per call", "how"],
            [
                [_literal(o["role"]), str(o["arrays"]), f"{o['per_call_us']:.2f} µs", o["how"]]
                for o in data["overhead"]
            ],
            [20, 8, 16, 56],
        )
        return [
            facts,
            solves,
            nodes.paragraph(text="Per-call overhead of Python callbacks:"),
            overhead,
        ]


def ipopt_version_role(name, rawtext, text, lineno, inliner, options=None, content=None):
    """The version of the Ipopt that built the page (the role's text is not used)."""
    return [nodes.literal(text=vornel.ipopt_version)], []


def missing_reference(app, env, node, contnode):
    """A type in a signature is looked up as a class; NumPy documents some
    (numpy.typing.NDArray, numpy.float64) as data or attributes."""
    if node.get("refdomain") != "py" or node.get("reftype") != "class":
        return None
    retry = node.deepcopy()
    retry["reftype"] = "obj"
    return intersphinx.missing_reference(app, env, retry, contnode)


def copy_mathjax(app, exception):
    """MathJax's TeX-to-HTML component and its fonts, from the
    sphinx-mathjax-offline package, into the site's static files."""
    if exception is not None or app.builder.format != "html":
        return
    files = importlib.metadata.files("sphinx-mathjax-offline") or []
    wanted = ("static/mathjax/tex-chtml.js", "static/mathjax/output/chtml/fonts/woff-v2/")
    copied = 0
    for file in files:
        path = str(file).replace("\\", "/")
        relative = path.split("static/mathjax/", 1)[-1]
        if any(w in path for w in wanted):
            target = Path(app.outdir) / "_static" / "mathjax" / relative
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(file.locate(), target)
            copied += 1
    if not copied:
        raise RuntimeError("MathJax not found: pip install sphinx-mathjax-offline")


def check_public_names(app, env):
    """Every name the package exports has its entry in the reference."""
    documented = env.domains.python_domain.objects
    missing = [name for name in vornel.__all__ if f"vornel.{name}" not in documented]
    if missing:
        logger.warning("public names without a reference entry: %s", ", ".join(missing))


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("env-check-consistency", check_public_names)
    app.connect("build-finished", copy_mathjax)
    app.connect("missing-reference", missing_reference, priority=900)
    app.add_role("ipopt-version", ipopt_version_role)
    app.connect("autodoc-process-signature", process_signature)
    app.connect("autodoc-process-docstring", process_docstring)
    app.add_directive("ipopt-options", IpoptOptions)
    app.add_directive("status-table", StatusTable)
    app.add_directive("build-info", BuildInfo)
    app.add_directive("bench-run", BenchRun)
    return {"version": "1", "parallel_read_safe": False, "parallel_write_safe": True}
