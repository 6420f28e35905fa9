"""The module as the interpreter sees it: namespace, function objects,
argument binding, the 32-bit integer conversion and initialisation."""

import builtins
import ctypes
import inspect
import io
import pathlib
import struct
import subprocess
import sys
import textwrap
import typing
import warnings
import zlib

import pytest

# (object path, qualname, parameters, annotations in order)
FUNCTIONS = [
    ("_readChunk", "_readChunk", ["stream"], {"return": "Tuple[bytes, bytes]"}),
    ("_makeChunk", "_makeChunk", ["chunkType", "data"], {"chunkType": "bytes", "data": "bytes", "return": "bytes"}),
    ("_writePng", "_writePng", ["path", "width", "height", "pixels"], {"return": "None"}),
    ("_writeBmp", "_writeBmp", ["path", "width", "height", "pixels"], {"return": "None"}),
    ("SimpleImage._streamToImage", "SimpleImage._streamToImage", ["stream"], {}),
    ("SimpleImage.open", "SimpleImage.open", ["source"], {"source": "ImageInput", "return": "'SimpleImage'"}),
    (
        "SimpleImage.getPixel",
        "SimpleImage.getPixel",
        ["self", "coords"],
        {"coords": "Tuple[int, int]", "return": "Tuple[int, int, int]"},
    ),
    (
        "SimpleImage.putPixel",
        "SimpleImage.putPixel",
        ["self", "coords", "value"],
        {"coords": "Tuple[int, int]", "value": "Sequence[int]", "return": "None"},
    ),
    ("SimpleImage.copy", "SimpleImage.copy", ["self"], {"return": "'SimpleImage'"}),
    ("SimpleImage.save", "SimpleImage.save", ["self", "path"], {"path": "str", "return": "None"}),
    ("SimpleImage.saveBmp", "SimpleImage.saveBmp", ["self", "path"], {"path": "str", "return": "None"}),
]


def resolve(m, dotted):
    obj = m
    for part in dotted.split("."):
        obj = getattr(obj, part)
    return obj


def test_namespace_in_order(m):
    # Other tests rebind module attributes, which can reorder the namespace:
    # look at a fresh import.
    out = run_python("""
        import Morvane.simpleImage_ext as m
        print(" ".join(n for n in vars(m) if not (n.startswith("__") and n != "__test__")))
    """)
    assert out.split() == [
        "SimpleImage",
        "struct",
        "zlib",
        "BytesIO",
        "Path",
        "List",
        "Sequence",
        "Tuple",
        "Union",
        "PNG_SIGNATURE",
        "ImageInput",
        "_readChunk",
        "_makeChunk",
        "_writePng",
        "_writeBmp",
        "__test__",
    ]
    assert m.struct is struct and m.zlib is zlib and m.BytesIO is io.BytesIO and m.Path is pathlib.Path
    assert (m.List, m.Sequence, m.Tuple, m.Union) == (typing.List, typing.Sequence, typing.Tuple, typing.Union)
    assert m.PNG_SIGNATURE == bytes([0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A])
    assert m.ImageInput == typing.Union[str, pathlib.Path, bytes, bytearray]
    assert m.__test__ == {} and type(m.__test__) is dict
    assert m.__builtins__ is builtins
    assert m.__name__ == "Morvane.simpleImage_ext" and m.__doc__ is None


@pytest.mark.parametrize("dotted, qualname, params, annotations", FUNCTIONS)
def test_function_objects(m, dotted, qualname, params, annotations):
    fn = resolve(m, dotted)
    if dotted == "SimpleImage.open":
        assert fn.__self__ is m.SimpleImage
        fn = fn.__func__
    assert fn.__name__ == dotted.rsplit(".", 1)[-1]
    assert fn.__qualname__ == qualname
    assert fn.__module__ == "Morvane.simpleImage_ext"
    assert fn.__doc__ is None and fn.__defaults__ is None and fn.__kwdefaults__ is None
    assert list(fn.__annotations__.items()) == list(annotations.items())
    expected = ["cls"] + params if dotted == "SimpleImage.open" else params
    assert list(inspect.signature(fn).parameters) == expected
    assert all(
        p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in inspect.signature(fn).parameters.values()
    )
    assert typing.get_type_hints(fn) is not None


def test_binding_like_python_functions(m):
    image = m.SimpleImage(1, 1, b"abc")
    bound = image.getPixel
    assert bound.__self__ is image and bound.__func__ is m.SimpleImage.__dict__["getPixel"]
    assert m.SimpleImage.getPixel(image, (0, 0)) == (97, 98, 99)
    assert isinstance(m.SimpleImage.__dict__["_streamToImage"], staticmethod)
    assert isinstance(m.SimpleImage.__dict__["open"], classmethod)
    assert image._streamToImage is m.SimpleImage._streamToImage
    assert m.SimpleImage.open.__self__ is m.SimpleImage
    assert list(inspect.signature(m.SimpleImage.open).parameters) == ["source"]
    assert list(inspect.signature(image.putPixel).parameters) == ["coords", "value"]
    assert list(inspect.signature(m.SimpleImage).parameters) == ["width", "height", "pixels"]


ARGUMENT_ERRORS = [
    # (call, message)
    (lambda m, im: im.getPixel((0, 0), (0, 0)), "getPixel() takes exactly 1 positional argument (2 given)"),
    (lambda m, im: im.getPixel(), "getPixel() takes exactly 1 positional argument (0 given)"),
    (lambda m, im: im.copy(1), "copy() takes exactly 0 positional arguments (1 given)"),
    (lambda m, im: im.copy(x=1), "copy() got an unexpected keyword argument 'x'"),
    (lambda m, im: m.SimpleImage(1, 2), "__cinit__() takes exactly 3 positional arguments (2 given)"),
    (lambda m, im: m.SimpleImage(1, 1, b"abc", 4), "__cinit__() takes exactly 3 positional arguments (4 given)"),
    (lambda m, im: m.SimpleImage(1, pixels=b"abc"), "__cinit__() takes exactly 3 positional arguments (1 given)"),
    (lambda m, im: m._makeChunk(b"IEND"), "_makeChunk() takes exactly 2 positional arguments (1 given)"),
    (
        lambda m, im: m._makeChunk(b"IEND", b"", data=b""),
        "_makeChunk() got multiple values for keyword argument 'data'",
    ),
    (lambda m, im: m._makeChunk(b"IEND", data=b"", extra=1), "_makeChunk() got an unexpected keyword argument 'extra'"),
    (lambda m, im: im.getPixel(coords=(0, 0), other=1), "getPixel() got an unexpected keyword argument 'other'"),
    # A missing parameter is reported before a stray keyword.
    (lambda m, im: im.putPixel((0, 0), colour=1), "putPixel() takes exactly 2 positional arguments (1 given)"),
    (lambda m, im: m._writePng("p", 1, 1, 2, 3), "_writePng() takes exactly 4 positional arguments (5 given)"),
    (lambda m, im: m.SimpleImage.open(), "open() takes exactly 1 positional argument (0 given)"),
    (
        lambda m, im: m.SimpleImage._streamToImage(1, 2),
        "_streamToImage() takes exactly 1 positional argument (2 given)",
    ),
    (lambda m, im: im.__reduce__(1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
    (lambda m, im: im.__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
    # Exact types, in parameter order, after binding.
    (lambda m, im: im.getPixel([0, 0]), "Argument 'coords' has incorrect type (expected tuple, got list)"),
    (lambda m, im: im.getPixel(None), "Argument 'coords' has incorrect type (expected tuple, got NoneType)"),
    (
        lambda m, im: m._makeChunk(bytearray(b"IDAT"), None),
        "Argument 'chunkType' has incorrect type (expected bytes, got bytearray)",
    ),
    (lambda m, im: m._makeChunk(b"IDAT", None), "Argument 'data' has incorrect type (expected bytes, got NoneType)"),
    (
        lambda m, im: im.save(pathlib.Path("x.png")),
        f"Argument 'path' has incorrect type (expected str, got {type(pathlib.Path()).__name__})",
    ),
    (lambda m, im: im.saveBmp(b"x.bmp"), "Argument 'path' has incorrect type (expected str, got bytes)"),
    # Integer conversions come after the type tests.
    (lambda m, im: m._writeBmp(path="p", width="w", height=1, pixels=b""), "an integer is required"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(m, call, message):
    image = m.SimpleImage(1, 1, b"abc")
    with pytest.raises(TypeError) as info:
        call(m, image)
    assert str(info.value) == message


def test_keywords_accepted(m, tmp_path):
    image = m.SimpleImage(pixels=b"abcdef", height=1, width=2)
    assert image.getPixel(coords=(1, 0)) == (100, 101, 102)
    image.putPixel(value=(1, 2, 3), coords=(0, 0))
    assert m._makeChunk(chunkType=b"IEND", data=b"") == bytes.fromhex("0000000049454e44ae426082")
    m._writeBmp(pixels=b"abc", height=1, width=1, path=str(tmp_path / "k.bmp"))
    assert m.SimpleImage.open(source=str(tmp_path / "k.bmp")).getPixel((0, 0)) == (97, 98, 99)


class TupleSub(tuple):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "call, name, expected, got",
    [
        (lambda m, im: im.getPixel(TupleSub((0, 0))), "coords", "tuple", "TupleSub"),
        (lambda m, im: im.save(StrSub("x.png")), "path", "str", "StrSub"),
    ],
)
def test_subclasses_of_builtin_types_refused(m, call, name, expected, got):
    with pytest.raises(TypeError) as info:
        call(m, m.SimpleImage(1, 1, b"abc"))
    head = f"Argument '{name}' has incorrect type (expected {expected}, got {got}). "
    assert str(info.value).startswith(head) and len(str(info.value)) > len(head) + 10


def vectorcall(fn, args, kwnames):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    values = (ctypes.py_object * len(args))(*args)
    return call(fn, values, len(args) - len(kwnames), kwnames)


def test_non_string_keyword(m):
    with pytest.raises(TypeError, match=r"^_makeChunk\(\) keywords must be strings$"):
        vectorcall(m._makeChunk, (b"IEND", b"", 5), (1,))
    assert vectorcall(m._makeChunk, (b"IEND", b""), ("data",)) == bytes.fromhex("0000000049454e44ae426082")


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda m, im: m.SimpleImage(1, 1, b"abc", **{1: 2}), "__cinit__"),
        # From 3.15 the interpreter checks the keywords of a call to
        # __new__ itself, before the initialiser runs.
        (
            lambda m, im: m.SimpleImage.__new__(m.SimpleImage, 1, 1, b"abc", **{1: 2}),
            "__cinit__" if sys.version_info < (3, 15) else None,
        ),
        (lambda m, im: m._makeChunk(b"IEND", b"", **{1: 2}), "_makeChunk"),
        (lambda m, im: m._readChunk(None, **{(): 2}), "_readChunk"),
        (lambda m, im: m._writePng("x", 1, 1, b"abc", **{1: 2}), "_writePng"),
        (lambda m, im: m._writeBmp("x", 1, 1, b"abc", **{1: 2}), "_writeBmp"),
        (lambda m, im: m.SimpleImage._streamToImage(None, **{1: 2}), "_streamToImage"),
        (lambda m, im: m.SimpleImage.copy(im, **{1: 2}), "copy"),
        (lambda m, im: m.SimpleImage.save(im, "x", **{1: 2}), "save"),
        # Bound methods: the interpreter's own check runs first.
        (lambda m, im: im.getPixel((0, 0), **{1: 2}), None),
        (lambda m, im: im.putPixel((0, 0), (1, 2, 3), **{1: 2}), None),
        (lambda m, im: im.copy(**{1: 2}), None),
        (lambda m, im: m.SimpleImage.open(b"", **{1: 2}), None),
    ],
)
def test_non_string_keyword_in_a_mapping(m, call, name):
    # f(**mapping) with a key that is not a string, nothing written or read.
    with pytest.raises(TypeError) as info:
        call(m, m.SimpleImage(1, 1, b"abc"))
    assert str(info.value) == (f"{name}() keywords must be strings" if name else "keywords must be strings")


def test_function_after_the_collector_cleared_it():
    # The collector clears a function caught in a cycle through its
    # annotations; whatever still reaches it afterwards must find it whole.
    out = run_python("""
        import ctypes
        import Morvane.simpleImage_ext as m
        fn = m._makeChunk
        get_slot = ctypes.pythonapi.PyType_GetSlot
        get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
        clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(fn), 51))  # tp_clear
        fn.__annotations__["self"] = fn
        assert clear(fn) == 0
        print(fn.__name__, fn.__qualname__, repr(fn).split()[1], fn.__annotations__, fn.__code__.co_varnames)
        print(fn(b"IEND", b"").hex())
    """)
    assert out.split("\n")[:2] == [
        "_makeChunk _makeChunk _makeChunk {} ('chunkType', 'data')",
        "0000000049454e44ae426082",
    ]


def test_unbound_methods_check_their_instance(m):
    with pytest.raises(TypeError):
        m.SimpleImage.getPixel((0, 0))
    with pytest.raises(TypeError):
        m.SimpleImage.copy(object())
    with pytest.raises(TypeError):
        m.SimpleImage.__dict__["getPixel"]()


class IntSub(int):
    pass


class Converts:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IndexOnly:
    def __index__(self):
        return 1


@pytest.mark.parametrize(
    "value, expected",
    [
        (7, 7),
        (True, 1),
        (IntSub(5), 5),
        (2.9, 2),
        (-2.9, -2),
        (Converts(3), 3),
        (2**31 - 1, 2**31 - 1),
        (-(2**31), -(2**31)),
    ],
)
def test_int32_conversion_accepts(m, value, expected):
    image = m.SimpleImage(1, 1, b"abc")
    image.width = value
    assert image.width == expected and type(image.width) is int


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("2", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (Converts(2.5), TypeError, "__int__ returned non-int (type float)"),
        (2**31, OverflowError, None),
        (-(2**31) - 1, OverflowError, None),
        (float(2**40), OverflowError, None),
        (Converts(2**31), OverflowError, None),
    ],
)
def test_int32_conversion_refuses(m, value, error, message):
    image = m.SimpleImage(1, 1, b"abc")
    for attempt in (lambda: setattr(image, "height", value), lambda: m.SimpleImage(value, 1, b"abc")):
        with pytest.raises(error) as info:
            attempt()
        if message:
            assert str(info.value) == message
    assert image.height == 1


def test_int32_conversion_warns_for_int_subclass_result(m):
    image = m.SimpleImage(1, 1, b"abc")
    with pytest.warns(DeprecationWarning, match=r"^__int__ returned non-int \(type IntSub\)\.  The ability"):
        image.width = Converts(IntSub(4))
    assert image.width == 4
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            image.width = Converts(IntSub(9))
    assert image.width == 4


def test_reimport_gives_the_same_module(m):
    del sys.modules["Morvane.simpleImage_ext"]
    try:
        import Morvane.simpleImage_ext as again

        assert again is m
    finally:
        sys.modules["Morvane.simpleImage_ext"] = m


def run_python(code):
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_failed_initialisation_is_forgotten():
    out = run_python("""
        import sys
        sys.modules["zlib"] = None
        try:
            import Morvane.simpleImage_ext
        except ImportError as e:
            print("failed", type(e).__name__)
        del sys.modules["zlib"]
        import Morvane.simpleImage_ext as m
        print(sorted(n for n in vars(m) if n == "_writeBmp"), m.SimpleImage(1, 1, b"abc").size)
    """)
    assert out.split("\n")[:2] == ["failed ModuleNotFoundError", "['_writeBmp'] (1, 1)"]


@pytest.mark.parametrize(
    "setup, error",
    [
        # What the module body imports from lacks the name.
        (
            "import sys, types; sys.modules['pathlib'] = types.ModuleType('pathlib')",
            "ImportError: cannot import name 'Path' from 'pathlib' (unknown location)",
        ),
        # The built-ins taken at initialisation are missing.
        ("import builtins; del builtins.staticmethod", "NameError: name 'staticmethod' is not defined"),
        ("import builtins; del builtins.open", "NameError: name 'open' is not defined"),
        # The host's _io, which the module takes its stream types from, has
        # something else under a type's name.
        (
            "import _io, sys, types; fake = types.ModuleType('_io'); fake.__dict__.update(vars(_io)); "
            "fake.BytesIO = lambda *a: None; sys.modules['_io'] = fake",
            "ImportError: _io.BytesIO is not a type",
        ),
        # The module is in sys.modules while its body runs: an import after
        # the one of zlib can take the name away again.
        (
            "import sys, types, typing; fake = types.ModuleType('typing'); "
            "fake.__getattr__ = lambda name: (vars(sys.modules['Morvane.simpleImage_ext']).pop('zlib', None), "
            "getattr(typing, name))[1]; sys.modules['typing'] = fake",
            "NameError: name 'zlib' is not defined",
        ),
        (
            "import sys, types, typing; fake = types.ModuleType('typing'); "
            "fake.__getattr__ = lambda name: (vars(sys.modules['Morvane.simpleImage_ext']).pop('struct', None), "
            "getattr(typing, name))[1]; sys.modules['typing'] = fake",
            "NameError: name 'struct' is not defined",
        ),
        # ImageInput's Path.
        (
            "import sys, types, typing; fake = types.ModuleType('typing'); "
            "fake.__getattr__ = lambda name: (vars(sys.modules['Morvane.simpleImage_ext']).pop('Path', None), "
            "getattr(typing, name))[1]; sys.modules['typing'] = fake",
            "NameError: name 'Path' is not defined",
        ),
    ],
)
def test_initialisation_failures(setup, error):
    out = run_python(f"""
        {setup}
        try:
            import Morvane.simpleImage_ext
        except Exception as e:
            print(f"{{type(e).__name__}}: {{e}}")
    """)
    assert out.splitlines() == [error]


def test_function_of_a_failed_initialisation():
    # staticmethod, taken from the builtins at initialisation, fails on the
    # first function it wraps: the initialisation fails, and that function,
    # kept by the replacement, belongs to no module.
    out = run_python("""
        import builtins, io, pathlib, struct, typing, zlib  # the body's imports, made with the real staticmethod
        kept = []

        def failing(fn):
            kept.append(fn)
            raise LookupError("no static methods")

        builtins.staticmethod = failing
        try:
            import Morvane.simpleImage_ext
        except LookupError as e:
            print("failed:", e)
        fn, = kept
        print(fn.__qualname__)
        for attempt in (lambda: fn.__globals__, lambda: fn(io.BytesIO(b"BM"))):
            try:
                attempt()
            except Exception as e:
                print(f"{type(e).__name__}: {e}")
    """)
    assert out.splitlines() == [
        "failed: no static methods",
        "SimpleImage._streamToImage",
        "AttributeError: __globals__",
        "NameError: name 'PNG_SIGNATURE' is not defined",
    ]


def test_created_from_a_spec_without_loader_or_parent():
    # The module takes __loader__, __file__, __package__ and __path__ from
    # the spec where it has them.
    out = run_python("""
        import importlib.util, types
        spec = importlib.util.find_spec("Morvane.simpleImage_ext")
        module = spec.loader.create_module(types.SimpleNamespace(name=spec.name, origin=spec.origin))
        print(module.__file__ == spec.origin, module.__loader__, module.__package__, hasattr(module, "__path__"))
    """)
    assert out.splitlines() == ["True None None False"]


def test_second_module_object_cannot_be_initialised():
    out = run_python("""
        import importlib.util
        moduleSpec = importlib.util.find_spec("Morvane.simpleImage_ext")
        first = moduleSpec.loader.create_module(moduleSpec)
        second = moduleSpec.loader.create_module(moduleSpec)
        assert first is not second
        moduleSpec.loader.exec_module(first)
        moduleSpec.loader.exec_module(first)
        try:
            moduleSpec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        print(moduleSpec.loader.create_module(moduleSpec) is first)
    """)
    assert out.split("\n")[:2] == [
        "Module 'simpleImage_ext' has already been imported. Re-initialisation is not supported.",
        "True",
    ]


OWN_REFUSAL = (
    "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
)
HOST_REFUSAL = "ImportError: module Morvane.simpleImage_ext does not support loading in subinterpreters"

# Run in a second interpreter: what importing the module there gives.
IMPORT_IN_SUBINTERPRETER = """
import os
try:
    import Morvane.simpleImage_ext
except Exception as e:
    os.write(1, f"{type(e).__name__}: {e}\\n".encode())
else:
    os.write(1, b"imported\\n")
"""


# A second interpreter of each configuration, the module already imported in
# the main one. The legacy configuration checks no extension, so the module's
# own create step refuses. An isolated one (3.12 on) checks extensions and
# refuses the module, which declares that it cannot live in several
# interpreters, before that step; 3.11 has no isolated configuration (it makes
# a legacy interpreter). A legacy one told to check extensions (3.13 on) meets
# the declaration too.
@pytest.mark.parametrize(
    "config, refusal",
    [
        ("legacy", OWN_REFUSAL),
        ("isolated", HOST_REFUSAL if sys.version_info >= (3, 12) else OWN_REFUSAL),
        pytest.param(
            "checked",
            HOST_REFUSAL,
            marks=pytest.mark.skipif(
                sys.version_info < (3, 13), reason="interpreter configurations can be adjusted from 3.13 on"
            ),
        ),
    ],
)
def test_one_interpreter_per_process(config, refusal):
    out = run_python(f"""
        import sys
        config = {config!r}
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            if config == "checked":
                settings = interpreters.new_config("legacy", check_multi_interp_extensions=True)
            else:
                settings = interpreters.new_config(config)
            interp = interpreters.create(settings)
        else:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=config == "isolated")
        import Morvane.simpleImage_ext as m
        interpreters.run_string(interp, {IMPORT_IN_SUBINTERPRETER!r})
        interpreters.destroy(interp)
        print(m.SimpleImage(1, 1, b"abc").getPixel((0, 0)))
    """)
    # The refusal leaves the main interpreter's module working.
    assert out.splitlines() == [refusal, "(97, 98, 99)"]


def test_module_body_reaches_names_through_the_namespace(m, monkeypatch, tmp_path):
    calls = []
    monkeypatch.setattr(m, "_writePng", lambda *args: calls.append(args))
    image = m.SimpleImage(1, 1, b"abc")
    assert image.save("somewhere.png") is None
    assert calls == [("somewhere.png", 1, 1, image._pixels)] and calls[0][3] is image._pixels
