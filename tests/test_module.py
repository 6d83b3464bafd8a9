"""Module start-up: attributes, the type registry and the numpy binding."""
import glob
import os
import shutil
import sys

import pytest

import _vesk
from conftest import run_python

TYPES = ["gaussian", "linear", "multiply", "fixed", "cat", "sine", "tanh"]


def test_module_attributes():
    standard = set(dir(type(sys)("probe")))
    assert set(dir(_vesk)) - standard - {"__file__"} == {"Graph", "Interaction", "DEFAULT_LOSS"}
    assert _vesk.__doc__ == "Vesk C Extension"
    assert _vesk.DEFAULT_LOSS == "mean_squared_error"
    assert _vesk.Graph.__name__ == "Graph" and _vesk.Graph.__module__ == "_vesk"
    assert _vesk.Interaction.__module__ == "_vesk"


def test_state_type_is_not_constructible_nor_exported():
    state_type = type(_vesk.Interaction("fixed", (0, 0, 0)).state)
    assert state_type.__module__ == "_vesk" and state_type.__name__ == "InteractionState"
    with pytest.raises(TypeError):
        state_type()
    with pytest.raises(TypeError):
        state_type.__new__(state_type)
    assert not hasattr(_vesk, "InteractionState")


@pytest.mark.parametrize("name", TYPES)
def test_every_type_is_registered(name):
    assert _vesk.Interaction(name, (0, 0, 0)).type == name


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
    ours = "%d.%d" % sys.version_info[:2]
    candidates = [
        getattr(sys, "_base_executable", None),
        os.path.join(sys.base_prefix, "bin", "python" + ours),
        shutil.which("python" + ours),
        "/usr/bin/python" + ours,
    ]
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


def test_numpy2_is_refused(tmp_path):
    python = _interpreter_with_numpy2()
    if python is None:
        pytest.skip("no interpreter of this version with numpy 2 on this machine")
    result = run_python(
        """
        try:
            import _vesk
        except ImportError as e:
            print("IMPORTERROR:", e)
        """,
        python=python,
        path=[_module_copy(tmp_path)],
        env={"PYTHONNOUSERSITE": "1"},
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "IMPORTERROR: numpy.core.multiarray failed to import"
    # numpy 2 either withholds its 1.x table or reports its own ABI version.
    assert ("AttributeError: _ARRAY_API not found" in result.stderr
            or "module compiled against ABI version 0x1000009 but this version of numpy is 0x2" in result.stderr)


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


@pytest.mark.parametrize(
    "module_text, message",
    [
        ("raise ImportError('no numpy here')", "no numpy here"),
        ("", "AttributeError: _ARRAY_API not found"),
        ("_ARRAY_API = 42", "RuntimeError: _ARRAY_API is not PyCapsule object"),
        (FAKE_TABLE.format(abi=0x1000008, api=0xD, endian=1),
         "RuntimeError: module compiled against ABI version 0x1000009 but this version of numpy is 0x1000008"),
        (FAKE_TABLE.format(abi=0x1000009, api=0xC, endian=1),
         "RuntimeError: module compiled against API version 0xd but this version of numpy is 0xc"),
        (FAKE_TABLE.format(abi=0x1000009, api=0xD, endian=0),
         "RuntimeError: FATAL: module compiled as unknown endian"),
        (FAKE_TABLE.format(abi=0x1000009, api=0x10, endian=2),
         "RuntimeError: FATAL: module compiled as little endian, but detected different endianness at runtime"),
    ],
    ids=["import", "attribute", "capsule", "abi", "api", "unknown-endian", "big-endian"],
)
def test_numpy_binding_checks(tmp_path, module_text, message):
    fake = tmp_path / "fake"
    (fake / "numpy" / "core").mkdir(parents=True)
    (fake / "numpy" / "__init__.py").write_text("")
    (fake / "numpy" / "core" / "__init__.py").write_text("")
    (fake / "numpy" / "core" / "_multiarray_umath.py").write_text(module_text)
    result = run_python(
        """
        try:
            import _vesk
        except ImportError as e:
            print("IMPORTERROR:", e)
        """,
        path=[str(fake), _module_copy(tmp_path)],
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "IMPORTERROR: numpy.core.multiarray failed to import"
    assert message in result.stderr


def test_valid_table_imports(tmp_path):
    # The same fake table with acceptable versions passes every check.
    fake = tmp_path / "fake"
    (fake / "numpy" / "core").mkdir(parents=True)
    (fake / "numpy" / "__init__.py").write_text("")
    (fake / "numpy" / "core" / "__init__.py").write_text("")
    (fake / "numpy" / "core" / "_multiarray_umath.py").write_text(FAKE_TABLE.format(abi=0x1000009, api=0xD, endian=1))
    result = run_python("import _vesk; print(sorted(n for n in dir(_vesk) if not n.startswith('__')))",
                        path=[str(fake), _module_copy(tmp_path)])
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['DEFAULT_LOSS', 'Graph', 'Interaction']"
