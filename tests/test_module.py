"""Module start-up: attributes, the type registry and the numpy binding;
the signatures the module shows."""
import ast
import glob
import inspect
import os
import shutil
import sys

import numpy
import pytest

import _vesk
from conftest import TESTS_DIR, run_python

# The ABI of the numpy headers the module was built with: numpy 2's from
# Python 3.9 on, numpy 1.x's under Python 3.8 (the build requirements).
HEADERS_ABI = 0x2000000 if sys.version_info >= (3, 9) else 0x1000009

def test_module_attributes():
    standard = set(dir(type(sys)("probe")))
    assert set(dir(_vesk)) - standard - {"__file__"} == {"Graph", "Interaction", "DEFAULT_LOSS"}
    assert _vesk.__doc__ == "Vesk C Extension"
    assert _vesk.DEFAULT_LOSS == "mean_squared_error"
    assert _vesk.Graph.__name__ == "Graph" and _vesk.Graph.__module__ == "_vesk"
    assert _vesk.Interaction.__module__ == "_vesk"


def stub_parameters(function):
    """(name, kind, default) of a stub's parameters, self left out."""
    a = function.args
    kinds = [(p, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs] + \
        [(p, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [None] * (len(kinds) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    return [(p.arg, kind, d) for (p, kind), d in zip(kinds, defaults) if p.arg != "self"]


def test_methods_and_constructors_show_the_stubs_signatures():
    # Every method and constructor the module defines shows a signature (its
    # __text_signature__), the one its stub declares; docstrings stay text.
    with open(os.path.join(os.path.dirname(_vesk.__file__), "_vesk.pyi")) as f:
        stubs = {c.name: {d.name: d for d in c.body if isinstance(d, ast.FunctionDef)}
                 for c in ast.parse(f.read()).body if isinstance(c, ast.ClassDef)}
    owners = {"Graph": _vesk.Graph, "Interaction": _vesk.Interaction,
              "InteractionState": type(_vesk.Interaction("tanh", (0, 0, 0)).state)}
    shown = []
    for name, owner in owners.items():
        methods = {k: v for k, v in vars(owner).items() if type(v).__name__ == "method_descriptor"}
        if name != "InteractionState":  # no constructor Python can call
            methods["__init__"] = owner
        for method, obj in methods.items():
            signature = inspect.signature(obj)
            got = [(p.name, p.kind, None if p.default is p.empty else p.default)
                   for p in signature.parameters.values() if p.name != "self"]
            assert got == stub_parameters(stubs[name][method]), (name, method)
            assert "--" not in (obj.__doc__ or "") and obj.__doc__.strip(), (name, method)
            shown.append("%s.%s" % (name, method))
    assert {"Graph._query", "Graph.__init__", "Interaction.__init__", "Interaction._set_source",
            "InteractionState._from_dict"} <= set(shown)


@pytest.mark.parametrize("name", ["Tanh", "tanh ", "", "fixed\u00e9", "nonesuch", "cat2"])
def test_lookup_is_exact(name):
    with pytest.raises(ValueError) as err:
        _vesk.Interaction(name, (0, 0, 0))
    assert str(err.value) == "No such interaction type: '%s'" % name


def _module_copy(tmp_path):
    """A directory holding only the built module, so another interpreter
    sees none of this environment's packages."""
    target = tmp_path / "mod"
    target.mkdir()
    shutil.copy(_vesk.__file__, target)
    return str(target)


def _interpreter_with_numpy2():
    """This interpreter when it runs numpy 2, else one of the project's own
    virtual environments of the same Python version that does (`make test`
    makes one with numpy 2 before CI runs the suite under numpy 1.x)."""
    ours = "%d.%d" % sys.version_info[:2]
    root = os.path.dirname(TESTS_DIR)
    candidates = [sys.executable] + sorted(glob.glob(os.path.join(root, ".venv*", "bin", "python")))
    for candidate in candidates:
        if not candidate or not os.path.exists(candidate):
            continue
        probe = run_python(
            "import sys, numpy; print('%d.%d' % sys.version_info[:2], numpy.__version__.split('.')[0])",
            python=candidate,
            env={"PYTHONNOUSERSITE": "1"},
        )
        if probe.returncode == 0 and probe.stdout.split() == [ours, "2"]:
            return candidate
    return None


# A short training run in a fresh process (rand() starts from its default
# seed there): its predictions and trained parameters as bit patterns.
TRAINING_RUN = """
from graph_pairs import build, columns, every_type, exact
layout = every_type()
g = build(layout)
x, y = columns(layout, 301, seed=0)
for _ in range(3):
    g._query(x, y)
print(g._query(x).tobytes().hex(), [exact(g[i].state._to_dict()) for i in range(len(g))])
"""


def test_numpy2_is_accepted(tmp_path):
    python = _interpreter_with_numpy2()
    if python is None:
        pytest.skip("no interpreter of this version with numpy 2 on this machine")
    module = _module_copy(tmp_path)
    result = run_python(TRAINING_RUN, python=python, path=[module], env={"PYTHONNOUSERSITE": "1"})
    if HEADERS_ABI < 0x2000000:
        assert result.returncode != 0
        assert "numpy.core.multiarray failed to import" in result.stderr
        return
    assert result.returncode == 0, result.stderr
    # Under numpy 1.x here, the same module's run under numpy 2 there is the
    # same to the bit.
    if numpy.__version__.startswith("1.") and python != sys.executable:
        ours = run_python(TRAINING_RUN, path=[module])
        assert ours.returncode == 0, ours.stderr
        assert ours.stdout == result.stdout


FAKE_TABLE = """
import ctypes
_proto = ctypes.CFUNCTYPE(ctypes.c_uint)
_abi = _proto(lambda: {abi})
_api = _proto(lambda: {api})
_endian = _proto(lambda: {endian})
_table = (ctypes.c_void_p * 212)()
_table[0] = ctypes.cast(_abi, ctypes.c_void_p)
_table[210] = ctypes.cast(_endian, ctypes.c_void_p)
_table[211] = ctypes.cast(_api, ctypes.c_void_p)
_new = ctypes.pythonapi.PyCapsule_New
_new.restype = ctypes.py_object
_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_ARRAY_API = _new(ctypes.cast(_table, ctypes.c_void_p), None, None)
"""


def _stand_in(tmp_path, location, module_text, other_core=None):
    """A numpy package whose numpy.<location>._multiarray_umath is the given
    text; other_core, if given, is the text of numpy's other core package."""
    fake = tmp_path / "fake"
    (fake / "numpy" / location).mkdir(parents=True)
    (fake / "numpy" / "__init__.py").write_text("")
    (fake / "numpy" / location / "__init__.py").write_text("")
    (fake / "numpy" / location / "_multiarray_umath.py").write_text(module_text)
    if other_core is not None:
        other = "core" if location == "_core" else "_core"
        (fake / "numpy" / other).mkdir()
        (fake / "numpy" / other / "__init__.py").write_text(other_core)
    return str(fake)


IMPORT_OR_REPORT = """
try:
    import _vesk
except ImportError as e:
    print("IMPORTERROR:", e)
else:
    print(sorted(n for n in dir(_vesk) if not n.startswith('__')))
"""

# numpy 2's core is numpy._core; numpy 1.21 to 1.25 have only numpy.core.
LOCATIONS = ["_core", "core"]


REFUSED = "IMPORTERROR: numpy.core.multiarray failed to import"
IMPORTED = "['DEFAULT_LOSS', 'Graph', 'Interaction']"


@pytest.mark.parametrize("location", LOCATIONS)
@pytest.mark.parametrize(
    "module_text, printed, message",
    [
        ("raise ImportError('no numpy here')", REFUSED, "no numpy here"),
        ("", REFUSED, "AttributeError: _ARRAY_API not found"),
        ("_ARRAY_API = 42", REFUSED, "RuntimeError: _ARRAY_API is not PyCapsule object"),
        (FAKE_TABLE.format(abi=0x1000008, api=0xD, endian=1), REFUSED,
         "RuntimeError: module compiled against ABI version 0x%x but this version of numpy is 0x1000008" % HEADERS_ABI),
        (FAKE_TABLE.format(abi=0x2000001, api=0x12, endian=1), REFUSED,
         "RuntimeError: module compiled against ABI version 0x%x but this version of numpy is 0x2000001" % HEADERS_ABI),
        (FAKE_TABLE.format(abi=0x1000009, api=0xC, endian=1), REFUSED,
         "RuntimeError: module compiled against API version 0xd but this version of numpy is 0xc"),
        (FAKE_TABLE.format(abi=0x1000009, api=0xD, endian=0), REFUSED,
         "RuntimeError: FATAL: module compiled as unknown endian"),
        (FAKE_TABLE.format(abi=0x1000009, api=0x10, endian=2), REFUSED,
         "RuntimeError: FATAL: module compiled as little endian, but detected different endianness at runtime"),
        # The same fake table with acceptable versions passes every check.
        (FAKE_TABLE.format(abi=0x1000009, api=0xD, endian=1), IMPORTED, ""),
    ] + ([(FAKE_TABLE.format(abi=0x2000000, api=0x14, endian=1), IMPORTED, "")] if HEADERS_ABI >= 0x2000000 else [
        (FAKE_TABLE.format(abi=0x2000000, api=0x12, endian=1), REFUSED,
         "RuntimeError: module compiled against ABI version 0x1000009 but this version of numpy is 0x2000000"),
    ]),
    ids=["import", "attribute", "capsule", "abi", "abi-next", "api", "unknown-endian", "big-endian", "valid",
         "valid-2" if HEADERS_ABI >= 0x2000000 else "abi-2"],
)
def test_numpy_binding_checks(tmp_path, location, module_text, printed, message):
    fake = _stand_in(tmp_path, location, module_text)
    result = run_python(IMPORT_OR_REPORT, path=[fake, _module_copy(tmp_path)])
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == printed
    assert message in result.stderr


def test_old_core_is_tried_only_when_the_new_one_is_missing(tmp_path):
    # numpy._core exists but fails: its error ends start-up, although the
    # old location holds a valid table.
    fake = _stand_in(tmp_path, "core", FAKE_TABLE.format(abi=0x1000009, api=0xD, endian=1),
                     other_core="raise ImportError('new core broken')")
    result = run_python(IMPORT_OR_REPORT, path=[fake, _module_copy(tmp_path)])
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == REFUSED
    assert "ImportError: new core broken" in result.stderr
