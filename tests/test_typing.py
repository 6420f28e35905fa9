"""The type stubs (simpleImage_ext.pyi) against the module and against mypy."""

import ast
import inspect
import runpy
import subprocess
import sys
from pathlib import Path

import Morvane
import Morvane.simpleImage_ext as ext

HERE = Path(__file__).resolve().parent
# The stub that ships beside the installed module.
STUB = Path(Morvane.__file__).with_name("simpleImage_ext.pyi")

MODULE_FUNCTIONS = ["_readChunk", "_makeChunk", "_writePng", "_writeBmp"]
METHODS = ["_streamToImage", "open", "getPixel", "putPixel", "copy", "save", "saveBmp"]


def _stub() -> ast.Module:
    return ast.parse(STUB.read_text(), filename=str(STUB))


def _stubClass(tree: ast.Module) -> ast.ClassDef:
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "SimpleImage"]
    return cls


def _defs(body: list[ast.stmt]) -> dict[str, ast.FunctionDef]:
    return {n.name: n for n in body if isinstance(n, ast.FunctionDef)}


def _stubParams(fn: ast.FunctionDef, bound: bool) -> list[ast.arg]:
    args = fn.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs or args.defaults), fn.name
    params = args.posonlyargs + args.args
    return params[1:] if bound else params


def _runtimeParams(obj: object) -> list[inspect.Parameter]:
    return list(inspect.signature(obj).parameters.values())


def _assertAgrees(name: str, runtime: object, stubFn: ast.FunctionDef, bound: bool) -> None:
    """Same parameter names and kinds; every annotation published at run time
    appears in the stub with exactly the same text."""
    runtimeParams = _runtimeParams(runtime)
    stubParams = _stubParams(stubFn, bound)
    assert [p.name for p in runtimeParams] == [a.arg for a in stubParams], name
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in runtimeParams), name
    assert not stubFn.args.posonlyargs, name

    published = getattr(runtime, "__annotations__", {})
    stubAnnotations = {a.arg: a.annotation for a in stubParams}
    stubAnnotations["return"] = stubFn.returns
    for key, text in published.items():
        node = stubAnnotations[key]
        assert node is not None and ast.unparse(node) == text, (name, key, text)
    # Where the module publishes nothing, the stub still gives a type.
    assert all(node is not None for node in stubAnnotations.values()), name


def test_module_functions_agree_with_the_stub():
    stubFns = _defs(_stub().body)
    for name in MODULE_FUNCTIONS:
        _assertAgrees(name, getattr(ext, name), stubFns[name], bound=False)


def test_methods_and_constructor_agree_with_the_stub():
    cls = _stubClass(_stub())
    stubFns = _defs(cls.body)
    image = ext.SimpleImage(0, 0, b"")
    for name in METHODS:
        # Reached through an instance, self (or cls) is bound, as in the stub's
        # parameter lists less their first entry.
        _assertAgrees(name, getattr(image, name), stubFns[name], bound=name != "_streamToImage")
    _assertAgrees("SimpleImage", ext.SimpleImage, stubFns["__new__"], bound=True)

    kinds = {n: [ast.unparse(d) for d in f.decorator_list] for n, f in stubFns.items()}
    assert kinds["_streamToImage"] == ["staticmethod"]
    assert kinds["open"] == ["classmethod"]
    assert isinstance(vars(ext.SimpleImage)["_streamToImage"], staticmethod)
    assert isinstance(vars(ext.SimpleImage)["open"], classmethod)


def test_stub_names_are_the_published_ones():
    tree = _stub()
    topLevel = {t.id for n in tree.body if isinstance(n, ast.AnnAssign) for t in [n.target]}
    topLevel |= {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    stubOnly = {name for name in topLevel if not hasattr(ext, name)}
    # Only the stream protocols exist in the stub alone, as private names.
    assert stubOnly == {"_Readable", "_Seekable"}
    assert topLevel - stubOnly == {"PNG_SIGNATURE", "ImageInput", "__test__", "SimpleImage", *MODULE_FUNCTIONS}

    cls = _stubClass(tree)
    members = {n.target.id for n in cls.body if isinstance(n, ast.AnnAssign)}
    members |= set(_defs(cls.body))
    assert members == {"width", "height", "_pixels", "size", "__new__", "__reduce__", "__setstate__", *METHODS}
    assert all(hasattr(ext.SimpleImage, m) for m in members)


def test_stub_documents_what_the_module_leaves_undocumented():
    # Editors show the stub's docstrings; the module's objects carry none
    # but the class's own line.
    tree = _stub()
    cls = _stubClass(tree)
    documented = [*(f for f in _defs(tree.body).values()), cls, *_defs(cls.body).values()]
    assert all(ast.get_docstring(node) for node in documented), [n.name for n in documented if not ast.get_docstring(n)]
    assert [f for f in MODULE_FUNCTIONS if getattr(ext, f).__doc__] == []
    assert [f for f in METHODS if getattr(ext.SimpleImage, f).__doc__] == []
    assert ext.SimpleImage.__doc__ == ast.get_docstring(cls)


def _mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), *args],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )


def test_stubtest_finds_no_difference(tmp_path):
    # mypy's own stub checker compares the stub with the imported module.
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", "/dev/null", "Morvane.simpleImage_ext"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_mypy_accepts_the_example_and_flags_every_mistake(tmp_path):
    run = _mypy(
        tmp_path, "--strict", "--warn-unused-ignores", str(HERE / "typing_example.py"), str(HERE / "typing_errors.py")
    )
    assert run.returncode == 0, run.stdout + run.stderr


def test_package_code_passes_mypy_strict(tmp_path):
    run = _mypy(tmp_path, "--strict", "-p", "Morvane")
    assert run.returncode == 0, run.stdout + run.stderr


def test_the_example_runs(tmp_path):
    runpy.run_path(str(HERE / "typing_example.py"))["main"](tmp_path)
    assert ext.SimpleImage.open(tmp_path / "example.bmp").size == (1, 1)
