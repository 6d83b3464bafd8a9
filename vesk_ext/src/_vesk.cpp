// Module start-up and the registry of interaction types.
#define VESK_BINDS_ARRAY_API
#include "_vesk.h"

// The type records, each defined in its type's source.
// clang-format off
namespace vesk::gaussian { extern interaction_type_t typeobj; }
namespace vesk::linear { extern interaction_type_t typeobj; }
namespace vesk::multiply { extern interaction_type_t typeobj; }
namespace vesk::fixed { extern interaction_type_t typeobj; }
namespace vesk::cat { extern interaction_type_t typeobj; }
namespace vesk::sine { extern interaction_type_t typeobj; }
namespace vesk::tanh { extern interaction_type_t typeobj; }
// clang-format on

namespace {

// Head of the registry: the most recently registered record. Written only
// during the first start-up, read-only afterwards.
interaction_type_t* interaction_types = nullptr;

// The module has no functions of its own.
PyModuleDef veskmodule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_vesk",
    .m_doc = "Vesk C Extension",
    .m_size = -1,  // state lives in file-scope variables
};

// Binds numpy's table of array functions, as numpy's own import_array does,
// with its version and byte-order checks.
int import_numpy_array_api() {
    // numpy 2 keeps its core in numpy._core (1.26 answers to both names);
    // numpy 1.21 to 1.25 have only numpy.core, whose table numpy 2 withholds.
    PyRef numpy(PyImport_ImportModule("numpy._core._multiarray_umath"));
    if (!numpy && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        numpy = PyRef(PyImport_ImportModule("numpy.core._multiarray_umath"));
    }
    if (!numpy) {
        return -1;
    }
    PyRef c_api(PyObject_GetAttrString(numpy.get(), "_ARRAY_API"));
    if (!c_api) {
        return vesk_fail(PyExc_AttributeError, "_ARRAY_API not found");
    }
    if (!PyCapsule_CheckExact(c_api.get())) {
        return vesk_fail(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
    }
    vesk_ARRAY_API = static_cast<void**>(PyCapsule_GetPointer(c_api.get(), nullptr));
    if (vesk_ARRAY_API == nullptr) {
        return vesk_fail(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
    }
    // Built against numpy 2's headers for an older feature version, the
    // module reads the tables of numpy 1.x and 2.x alike; numpy 1.x's headers
    // describe only 1.x's.
    const unsigned int abi_version = PyArray_GetNDArrayCVersion();
    if (abi_version != 0x1000009 && (NPY_ABI_VERSION < 0x2000000 || abi_version != 0x2000000)) {
        return vesk_fail(PyExc_RuntimeError,
                         "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                         static_cast<unsigned int>(NPY_ABI_VERSION), abi_version);
    }
    const unsigned int feature_version = PyArray_GetNDArrayCFeatureVersion();
#if NPY_ABI_VERSION >= 0x2000000
    // What import_array does for numpy 2's headers: their descriptor
    // accessors, item access and NPY_RAVEL_AXIS choose the running numpy's
    // layout and values by this number.
    PyArray_RUNTIME_VERSION = static_cast<int>(feature_version);
#endif
    const unsigned int api_version = 0xd;
    if (feature_version < api_version) {
        return vesk_fail(PyExc_RuntimeError,
                         "module compiled against API version 0x%x but this version of numpy is 0x%x", api_version,
                         feature_version);
    }
    const int endianness = PyArray_GetEndianness();
    if (endianness != NPY_CPU_LITTLE) {
        return vesk_fail(PyExc_RuntimeError, endianness == NPY_CPU_UNKNOWN_ENDIAN
                                                 ? "FATAL: module compiled as unknown endian"
                                                 : "FATAL: module compiled as little endian, but detected different "
                                                   "endianness at runtime");
    }
    return 0;
}

}  // namespace

int vesk_add_interactiontype(interaction_type_t* typeobj) {
    typeobj->next = interaction_types;
    interaction_types = typeobj;
    return 0;
}

interaction_type_t* vesk_find_interactiontype(const char* type_name) {
    for (interaction_type_t* t = interaction_types; t != nullptr; t = t->next) {
        if (std::strcmp(t->type_name, type_name) == 0) {
            return t;
        }
    }
    return nullptr;
}

// The module's one exported symbol. The build hides every other symbol, and
// before Python 3.9 PyMODINIT_FUNC does not mark the entry point visible.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit__vesk(void);

PyMODINIT_FUNC PyInit__vesk(void) {
    // Registers the seven types. Each record is linked in at the head, so
    // lookups walk them in the reverse order. A record linked twice would
    // chain to itself, hence the guard against a second start-up in the
    // process (a registry already filled).
    if (interaction_types == nullptr) {
        vesk_add_interactiontype(&vesk::gaussian::typeobj);
        vesk_add_interactiontype(&vesk::linear::typeobj);
        vesk_add_interactiontype(&vesk::multiply::typeobj);
        vesk_add_interactiontype(&vesk::fixed::typeobj);
        vesk_add_interactiontype(&vesk::cat::typeobj);
        vesk_add_interactiontype(&vesk::sine::typeobj);
        vesk_add_interactiontype(&vesk::tanh::typeobj);
    }

    PyRef m(PyModule_Create(&veskmodule));
    if (!m) {
        return nullptr;
    }
    if (import_numpy_array_api() < 0) {
        PyErr_Print();
        return PyErr_Format(PyExc_ImportError, "numpy.core.multiarray failed to import");
    }
    // The first failure ends start-up.
    if (graph_addtomodule(m.get()) == nullptr || interaction_addtomodule(m.get()) == nullptr ||
        interactionstate_addtomodule(m.get()) == nullptr ||
        PyModule_AddStringConstant(m.get(), "DEFAULT_LOSS", "mean_squared_error") < 0) {
        return nullptr;
    }
    return m.release();
}
