// The Graph object: a fixed number of slots, each empty or holding one
// interaction; its mapping, hash and text, pickling and copying. Its query
// runs in the engine (engine.cpp).
#include "_vesk.h"

#include <algorithm>
#include <utility>

namespace {

int refuse_while_running(PyGraph_Object* self) {
    return self->running ? vesk_fail(PyExc_RuntimeError, "Cannot change a graph while a query on it runs") : 0;
}

// Clears a back-pointer at this graph, before the graph lets the interaction
// go, so that it never points at a graph that no longer holds it; one that
// points at another graph (which holds it) keeps it. x (which may be null).
PyInteraction_Object* detach(const PyGraph_Object* self, PyInteraction_Object* x) {
    if (x != nullptr && x->graph == self) {
        x->graph = nullptr;
    }
    return x;
}

// Gives the graph `size` new slots, slot i holding items[i] (None or null:
// empty; no items: all empty) with a reference of its own, and then releases
// the earlier slots; sets no back-pointer. A negative size leaves the graph
// without slots. -1 with MemoryError, the graph unchanged.
//
// The earlier slots are taken from the graph before any is released, so
// code run by a release (a key's finaliser, say) never sees a half-emptied
// graph.
int replace_slots(PyGraph_Object* self, int size, PyObject* const* items) {
    // A graph without slots holds no array.
    auto** slots =
        size > 0 ? static_cast<PyInteraction_Object**>(PyMem_Calloc(size, sizeof(PyInteraction_Object*))) : nullptr;
    if (size > 0 && slots == nullptr) {
        return vesk_no_memory();
    }
    for (int i = 0; items != nullptr && i < size; ++i) {
        PyObject* item = items[i] != Py_None ? items[i] : nullptr;
        Py_XINCREF(item);
        slots[i] = reinterpret_cast<PyInteraction_Object*>(item);
    }
    PyInteraction_Object** old_slots = std::exchange(self->interactions, slots);
    const int old_size = std::exchange(self->size, size);
    for (int i = 0; i < old_size; ++i) {
        Py_XDECREF(detach(self, old_slots[i]));
    }
    PyMem_Free(old_slots);
    return 0;
}

int PyGraph_init(PyGraph_Object* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"size", nullptr};
    int size = 10;
    const bool parsed = PyArg_ParseTupleAndKeywords(args, kwds, "|i", const_cast<char**>(kwlist), &size);
    return parsed && refuse_while_running(self) == 0 ? replace_slots(self, size, nullptr) : -1;
}

int PyGraph_traverse(PyGraph_Object* self, visitproc visit, void* arg) {
    for (int i = 0; i < self->size; ++i) {
        Py_VISIT(self->interactions[i]);
    }
    return 0;
}

int PyGraph_clear(PyGraph_Object* self) {
    return replace_slots(self, 0, nullptr);
}

void PyGraph_dealloc(PyGraph_Object* self) {
    PyObject_GC_UnTrack(self);
    PyGraph_clear(self);
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

Py_ssize_t PyGraph_Len(PyGraph_Object* self) {
    // A graph made with a negative size has no length: the call fails, with
    // the error the interpreter gives any __len__ that returns one.
    return self->size < 0 ? vesk_fail(PyExc_ValueError, "__len__() should return >= 0") : self->size;
}

// Slot i; also the graph's sequence item, through which it iterates over
// its slots.
PyObject* PyGraph_item(PyGraph_Object* self, Py_ssize_t i) {
    if (i < 0 || i >= self->size) {
        return PyErr_Format(PyExc_IndexError, "Index out of bounds. Size is %i", self->size);
    }
    PyObject* item = reinterpret_cast<PyObject*>(self->interactions[i]);
    return vesk_newref(item != nullptr ? item : Py_None);
}

PyObject* PyGraph_GetItem(PyGraph_Object* self, PyObject* key) {
    const long i = PyLong_AsLong(key);
    return i == -1 && PyErr_Occurred() ? nullptr : PyGraph_item(self, i < 0 ? i + self->size : i);
}

int PyGraph_SetItem(PyGraph_Object* self, PyObject* key, PyObject* value) {
    const long i = PyLong_AsLong(key);
    if (i == -1 && PyErr_Occurred()) {
        return -1;
    }
    // Negative indices are not counted from the end for assignment.
    if (i < 0 || i >= self->size) {
        return vesk_fail(PyExc_IndexError, "Index %ld out of bounds. Size is %i", i, self->size);
    }
    if (value != nullptr && !PyObject_TypeCheck(value, &PyInteraction_Type)) {
        return vesk_fail(PyExc_ValueError, "Graph items must be of type %s", PyInteraction_Type.tp_name);
    }
    if (refuse_while_running(self) < 0) {
        return -1;
    }
    PyInteraction_Object* interaction = reinterpret_cast<PyInteraction_Object*>(value);
    Py_XINCREF(interaction);
    // The slot and the back-pointers are settled before the old reference
    // goes: releasing it may run arbitrary code, which then sees a
    // consistent graph. Re-assigning an interaction to its own slot leaves
    // its back-pointer set.
    PyInteraction_Object* previous = detach(self, std::exchange(self->interactions[i], interaction));
    if (interaction != nullptr) {
        interaction->graph = self;
        interaction->location = static_cast<graphlocation_t>(i);
    }
    Py_XDECREF(previous);
    return 0;
}

// Whether source k (0 or 1) of an interaction is set: an edge of the graph.
bool has_edge(const PyInteraction_Object* x, int k) {
    return x->sourcecount > k && x->sources[k] != -1;
}

// The lattice location folded into one 32-bit number, wrapping.
uint32_t lattice_key(const PyInteraction_Object* x) {
    return static_cast<uint32_t>(x->latticeloc[0]) + 100u * static_cast<uint32_t>(x->latticeloc[1]) +
           10000u * static_cast<uint32_t>(x->latticeloc[2]);
}

Py_hash_t PyGraph_hash(PyGraph_Object* self) {
    // Summed in unsigned arithmetic, which wraps like the signed sum would.
    uint64_t sum = 0;
    for_each_node(self, [&](const PyInteraction_Object* x) {
        sum += static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(x->type[0])));
        // Only a source in a filled slot of the graph counts.
        for (int k = 0; k < 2; ++k) {
            const graphlocation_t at = x->sources[k];
            if (has_edge(x, k) && at >= 0 && at < self->size && self->interactions[at] != nullptr) {
                // The keys' 32-bit wrapping product, widened with its sign.
                const uint32_t product = lattice_key(self->interactions[at]) * lattice_key(x);
                sum += static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(product)));
            }
        }
    });
    const int64_t hash = static_cast<int64_t>(sum);
    // -1 is the interpreter's error marker for hash functions.
    return hash == -1 ? -2 : static_cast<Py_hash_t>(hash);
}

PyObject* PyGraph_repr(PyGraph_Object* self) {
    return PyUnicode_FromFormat("_vesk.Graph (%i interactions)", self->size);
}

PyObject* PyGraph_get_edge_count(PyGraph_Object* self, void*) {
    unsigned long edges = 0;
    for_each_node(self, [&](const PyInteraction_Object* x) { edges += has_edge(x, 0) + has_edge(x, 1); });
    return PyLong_FromUnsignedLong(edges);
}

PyObject* PyGraph_method_query(PyGraph_Object* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"xarray", "yarray", nullptr};
    PyObject* xarray = nullptr;
    PyObject* yarray = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", const_cast<char**>(kwlist), &xarray, &yarray)) {
        if (kwds != nullptr && PyErr_ExceptionMatches(PyExc_TypeError) &&
            (PyDict_GetItemString(kwds, "y") != nullptr || PyDict_GetItemString(kwds, "Y") != nullptr)) {
            vesk_hint("hint: the expected values are the argument yarray: _query(X, Y) or _query(X, yarray=Y)");
        }
        return nullptr;
    }
    return graph_query(self, xarray, yarray);
}

// ---------------------------------------------------------------------------
// Pickling and copying

// The instance dictionary of a graph of a subclass, or None for a graph
// without one; a new reference.
PyObject* instance_dict(PyGraph_Object* self) {
    if (Py_TYPE(self)->tp_dictoffset == 0) {
        Py_RETURN_NONE;
    }
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(self), "__dict__");
}

// The values of the slot attributes (__slots__) of a graph of a subclass
// that are set, by name, or None where there are none; a new reference.
// The names are those the interpreter's own pickling saves.
PyObject* slot_attributes(PyGraph_Object* self) {
    if (Py_TYPE(self) == &PyGraph_Type) {
        Py_RETURN_NONE;
    }
    PyRef copyreg(PyImport_ImportModule("copyreg"));
    PyRef names(copyreg ? PyObject_CallMethod(copyreg.get(), "_slotnames", "O", Py_TYPE(self)) : nullptr);
    PyRef listed(names ? PySequence_Fast(names.get(), "__slotnames__ must be a sequence") : nullptr);
    PyRef values(listed ? PyDict_New() : nullptr);
    for (Py_ssize_t i = 0; values && i < PySequence_Fast_GET_SIZE(listed.get()); ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(listed.get(), i);
        PyRef value(PyObject_GetAttr(reinterpret_cast<PyObject*>(self), name));
        if (!value) {
            // An attribute that is not set is not saved.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
        } else if (PyDict_SetItem(values.get(), name, value.get()) < 0) {
            return nullptr;
        }
    }
    if (values && PyDict_GET_SIZE(values.get()) == 0) {
        Py_RETURN_NONE;
    }
    return values.release();
}

// Gives a graph `size` slots holding items[i], its counts, the entries of
// `dict` and the slot attributes in `slot_values` (None: none), releasing
// the slots it held before as a second __init__ does. With `adopt`, each
// interaction's back-pointer is set as slot assignment sets it (one in
// several slots keeps its location if that is one of them); without, the
// interactions keep theirs. 0, or -1 with an exception.
int restore(PyGraph_Object* g, int size, int64_t samples, int latest_batchsize, PyObject* const* items, PyObject* dict,
            PyObject* slot_values, bool adopt) {
    if (refuse_while_running(g) < 0 || replace_slots(g, size, items) < 0) {
        return -1;
    }
    g->samples = samples;
    g->latest_batchsize = latest_batchsize;
    // Releasing the old slots ran code that may have changed the slots again:
    // the back-pointers go to whatever the graph holds now.
    for (int i = 0; adopt && i < g->size; ++i) {
        if (PyInteraction_Object* x = g->interactions[i]) {
            x->graph = g;
            if (x->location < 0 || x->location >= g->size || g->interactions[x->location] != x) {
                x->location = i;
            }
        }
    }
    if (dict != Py_None) {
        PyRef own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(g), "__dict__"));
        if (own && !PyDict_Check(own.get())) {
            return vesk_fail(PyExc_TypeError, "%s.__dict__ is not a dictionary", Py_TYPE(g)->tp_name);
        }
        if (!own || PyDict_Update(own.get(), dict) < 0) {
            return -1;
        }
    }
    Py_ssize_t at = 0;
    PyObject *name, *value;
    while (slot_values != Py_None && PyDict_Next(slot_values, &at, &name, &value)) {
        if (PyObject_SetAttr(reinterpret_cast<PyObject*>(g), name, value) < 0) {
            return -1;
        }
    }
    return 0;
}

// The saved form (version 2): (2, size, samples, latest_batchsize, the
// slots as a list of interactions and None, the instance dictionary or
// None, the set slot attributes of a subclass by name or None). Version 1
// ends before the slot attributes. The interactions are pickled by
// themselves, so pickle's memo keeps an interaction shared between graphs
// pickled together shared.
PyObject* PyGraph_getstate(PyGraph_Object* self, PyObject*) {
    PyRef slots(refuse_while_running(self) == 0 ? PyList_New(std::max(self->size, 0)) : nullptr);
    for (int i = 0; slots && i < self->size; ++i) {
        PyList_SET_ITEM(slots.get(), i, PyGraph_item(self, i));
    }
    PyRef dict(slots ? instance_dict(self) : nullptr);
    PyRef slot_values(dict ? slot_attributes(self) : nullptr);
    if (!slot_values) {
        return nullptr;
    }
    return Py_BuildValue("(iiLiOOO)", vesk_graph_form, self->size, static_cast<long long>(self->samples),
                         self->latest_batchsize, slots.get(), dict.get(), slot_values.get());
}

// The compact form (version 3), which pickling saves: (3, the numbers as
// bytes (size, samples, latest_batchsize as 4-, 8- and 4-byte words), the
// slots as a tuple of interactions and None, the instance dictionary or
// None, the set slot attributes or None).
constexpr size_t graph_words_size = 16;

PyObject* compact_state(PyGraph_Object* self) {
    PyRef slots(refuse_while_running(self) == 0 ? PyTuple_New(std::max(self->size, 0)) : nullptr);
    for (int i = 0; slots && i < self->size; ++i) {
        PyTuple_SET_ITEM(slots.get(), i, PyGraph_item(self, i));
    }
    unsigned char numbers[graph_words_size];
    saved_words words{numbers, sizeof numbers};
    words.put_int(self->size);
    words.put(static_cast<uint64_t>(self->samples), 8);
    words.put_int(self->latest_batchsize);
    PyRef dict(slots ? instance_dict(self) : nullptr);
    PyRef slot_values(dict ? slot_attributes(self) : nullptr);
    if (!slot_values) {
        return nullptr;
    }
    return Py_BuildValue("(iy#OOO)", vesk_graph_compact_form, numbers, static_cast<Py_ssize_t>(sizeof numbers),
                         slots.get(), dict.get(), slot_values.get());
}

PyObject* PyGraph_setstate(PyGraph_Object* self, PyObject* saved) {
    int size = 0, latest_batchsize = 0;
    long long samples = 0;
    PyObject *slots, *dict, *slot_values = Py_None, *numbers = nullptr;
    const int version = vesk_saved_version(saved, "_vesk.Graph", vesk_graph_compact_form);
    if (version < 0) {
        return nullptr;
    }
    if (version == vesk_graph_compact_form) {
        if (PyTuple_GET_SIZE(saved) != 5 || !PyBytes_Check(PyTuple_GET_ITEM(saved, 1)) ||
            !PyTuple_Check(PyTuple_GET_ITEM(saved, 2))) {
            return PyErr_Format(PyExc_ValueError, "Damaged saved state of a _vesk.Graph");
        }
        numbers = PyTuple_GET_ITEM(saved, 1);
        slots = PyTuple_GET_ITEM(saved, 2);
        dict = PyTuple_GET_ITEM(saved, 3);
        slot_values = PyTuple_GET_ITEM(saved, 4);
        saved_words words{reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(numbers)),
                          static_cast<size_t>(PyBytes_GET_SIZE(numbers))};
        size = words.take_int();
        samples = static_cast<long long>(words.take(8));
        latest_batchsize = words.take_int();
        if (!words.ok || words.left != 0) {
            return PyErr_Format(PyExc_ValueError, "Damaged saved state of a _vesk.Graph");
        }
    } else if (vesk_parse_saved(saved, "_vesk.Graph", version == 1 ? "iLiO!O" : "iLiO!OO", &size, &samples,
                                &latest_batchsize, &PyList_Type, &slots, &dict, &slot_values) < 0) {
        return nullptr;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(slots);
    bool damaged = samples < 0 || latest_batchsize < 0 || latest_batchsize > 1 || count != std::max(size, 0) ||
                   (dict != Py_None && (!PyDict_Check(dict) || Py_TYPE(self)->tp_dictoffset == 0)) ||
                   (slot_values != Py_None && !PyDict_Check(slot_values));
    for (Py_ssize_t i = 0; !damaged && i < count; ++i) {
        PyObject* item = PySequence_Fast_ITEMS(slots)[i];
        damaged = item != Py_None && !PyObject_TypeCheck(item, &PyInteraction_Type);
    }
    if (damaged) {
        return PyErr_Format(PyExc_ValueError, "Damaged saved state of a _vesk.Graph");
    }
    const int rc =
        restore(self, size, samples, latest_batchsize, PySequence_Fast_ITEMS(slots), dict, slot_values, true);
    return rc < 0 ? nullptr : vesk_newref(Py_None);
}

// Pickling saves the compact form, but where the class reduces by itself
// or the protocol is below 2 (which pickles no graph).
PyObject* PyGraph_reduce_ex(PyGraph_Object* self, PyObject* protocol) {
    const long p = PyLong_AsLong(protocol);
    if (p == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    PyObject* me = reinterpret_cast<PyObject*>(self);
    const int by_itself = p < 2 ? 1 : vesk_reduces_by_itself(me, &PyGraph_Type, false);
    if (by_itself != 0) {
        return by_itself < 0 ? nullptr : vesk_object_reduce(me, protocol);
    }
    PyRef state(compact_state(self));
    return state ? vesk_reduction(me, state.get()) : nullptr;
}

// A new graph of the same type over deep copies of the interactions, made
// as copying through the saved form would make it: the graph is in the memo
// before anything of it is copied, the interactions are copied in slot order
// (one that the memo holds is taken from it), then the instance dictionary
// and the slot attributes through copy.deepcopy.
PyObject* PyGraph_deepcopy(PyGraph_Object* self, PyObject* memo_arg) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    PyRef memo(vesk_memo_argument(memo_arg));
    const int by_itself = !memo ? -1 : (PyDict_Check(memo.get()) ? vesk_reduces_by_itself(me, &PyGraph_Type, true) : 1);
    if (by_itself != 0) {
        return by_itself < 0 ? nullptr : vesk_reduced_deepcopy(me, memo.get());
    }
    // What is copied is read first, as a saved form would be.
    const int size = self->size;
    const int64_t samples = self->samples;
    const int latest_batchsize = self->latest_batchsize;
    PyRef slots(refuse_while_running(self) == 0 ? PyTuple_New(std::max(size, 0)) : nullptr);
    for (int i = 0; slots && i < size; ++i) {
        PyTuple_SET_ITEM(slots.get(), i, PyGraph_item(self, i));
    }
    PyRef dict(slots ? instance_dict(self) : nullptr);
    PyRef slot_values(dict ? slot_attributes(self) : nullptr);
    PyTypeObject* type = Py_TYPE(self);
    PyRef no_args(slot_values ? PyTuple_New(0) : nullptr);
    PyRef copy(no_args ? type->tp_new(type, no_args.get(), nullptr) : nullptr);
    if (!copy) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(copy.get(), &PyGraph_Type)) {
        return PyErr_Format(PyExc_TypeError, "%s.__new__ did not make a graph", type->tp_name);
    }
    if (vesk_memoize(memo.get(), me, copy.get()) < 0) {
        return nullptr;
    }
    PyRef copies(PyTuple_New(std::max(size, 0)));
    for (int i = 0; copies && i < size; ++i) {
        PyObject* item = PyTuple_GET_ITEM(slots.get(), i);
        PyObject* copied = item != Py_None
                               ? vesk_deepcopy_interaction(reinterpret_cast<PyInteraction_Object*>(item), memo.get())
                               : vesk_newref(Py_None);
        if (copied == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(copies.get(), i, copied);
        // A registered reducer may make anything.
        if (copied != Py_None && !PyObject_TypeCheck(copied, &PyInteraction_Type)) {
            return PyErr_Format(PyExc_ValueError, "Damaged saved state of a _vesk.Graph");
        }
    }
    if (!copies) {
        return nullptr;
    }
    PyRef dict_copy(dict.get() != Py_None ? vesk_deepcopy_value(dict.get(), memo.get()) : vesk_newref(Py_None));
    PyRef slot_values_copy(!dict_copy                     ? nullptr
                           : slot_values.get() != Py_None ? vesk_deepcopy_value(slot_values.get(), memo.get())
                                                          : vesk_newref(Py_None));
    if (!slot_values_copy) {
        return nullptr;
    }
    if ((dict_copy.get() != Py_None && !PyDict_Check(dict_copy.get())) ||
        (slot_values_copy.get() != Py_None && !PyDict_Check(slot_values_copy.get()))) {
        return PyErr_Format(PyExc_ValueError, "Damaged saved state of a _vesk.Graph");
    }
    PyGraph_Object* g = reinterpret_cast<PyGraph_Object*>(copy.get());
    const int rc = restore(g, size, samples, latest_batchsize, PySequence_Fast_ITEMS(copies.get()), dict_copy.get(),
                           slot_values_copy.get(), true);
    return rc < 0 ? nullptr : copy.release();
}

// A new graph of the same type over the same interactions, whose
// back-pointers stay on this graph.
PyObject* PyGraph_copy(PyGraph_Object* self, PyObject*) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    PyRef copy(PyObject_CallMethod(type, "__new__", "O", type));
    PyRef dict(copy ? instance_dict(self) : nullptr);
    PyRef slot_values(dict ? slot_attributes(self) : nullptr);
    if (!slot_values) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(copy.get(), &PyGraph_Type)) {
        return PyErr_Format(PyExc_TypeError, "%s.__new__ did not make a graph", Py_TYPE(self)->tp_name);
    }
    PyGraph_Object* g = reinterpret_cast<PyGraph_Object*>(copy.get());
    PyObject* const* items = reinterpret_cast<PyObject* const*>(self->interactions);
    const int rc = refuse_while_running(self) < 0 ? -1
                                                  : restore(g, self->size, self->samples, self->latest_batchsize, items,
                                                            dict.get(), slot_values.get(), false);
    return rc < 0 ? nullptr : copy.release();
}

PyMethodDef PyGraph_methods[] = {
    {"_query", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(PyGraph_method_query)),
     METH_VARARGS | METH_KEYWORDS,
     VESK_SIGNED("_query($self, /, xarray, yarray=None)", "Query or train the graph with a single sample")},
    {"__getstate__", reinterpret_cast<PyCFunction>(PyGraph_getstate), METH_NOARGS,
     VESK_SIGNED("__getstate__($self, /)",
                 "The graph as plain values, its interactions included, for pickling and copying.")},
    {"__setstate__", reinterpret_cast<PyCFunction>(PyGraph_setstate), METH_O,
     VESK_SIGNED("__setstate__($self, state, /)", "Restore the graph from the values of __getstate__.")},
    {"__reduce_ex__", reinterpret_cast<PyCFunction>(PyGraph_reduce_ex), METH_O,
     VESK_SIGNED("__reduce_ex__($self, protocol, /)",
                 "The graph in its compact saved form, with its interactions, for pickling.")},
    {"__copy__", reinterpret_cast<PyCFunction>(PyGraph_copy), METH_NOARGS,
     VESK_SIGNED("__copy__($self, /)", "A new graph over the same interactions, which keep pointing at this graph.")},
    {"__deepcopy__", reinterpret_cast<PyCFunction>(PyGraph_deepcopy), METH_O,
     VESK_SIGNED("__deepcopy__($self, memo, /)", "A new graph over deep copies of the interactions (copy.deepcopy).")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PyGraph_getsetters[] = {
    {"edge_count", reinterpret_cast<getter>(PyGraph_get_edge_count), nullptr,
     "Get the total number of edges in this graph.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods PyGraph_mapping = {
    .mp_length = reinterpret_cast<lenfunc>(PyGraph_Len),
    .mp_subscript = reinterpret_cast<binaryfunc>(PyGraph_GetItem),
    .mp_ass_subscript = reinterpret_cast<objobjargproc>(PyGraph_SetItem),
};

}  // namespace

// The slots that the records do not name are empty.
// Only what iterating over the slots needs: indexing goes through the
// mapping operations.
static PySequenceMethods PyGraph_sequence = {
    .sq_length = reinterpret_cast<lenfunc>(PyGraph_Len),
    .sq_item = reinterpret_cast<ssizeargfunc>(PyGraph_item),
};

// clang-format off
PyTypeObject PyGraph_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_vesk.Graph",
    .tp_basicsize = sizeof(PyGraph_Object),
    .tp_dealloc = reinterpret_cast<destructor>(PyGraph_dealloc),
    .tp_repr = reinterpret_cast<reprfunc>(PyGraph_repr),
    .tp_as_sequence = &PyGraph_sequence,
    .tp_as_mapping = &PyGraph_mapping,
    .tp_hash = reinterpret_cast<hashfunc>(PyGraph_hash),
    .tp_str = reinterpret_cast<reprfunc>(PyGraph_repr),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = VESK_SIGNED("Graph(size=10)", "Vesk Graph"),
    .tp_traverse = reinterpret_cast<traverseproc>(PyGraph_traverse),
    .tp_clear = reinterpret_cast<inquiry>(PyGraph_clear),
    .tp_iter = PySeqIter_New,
    .tp_methods = PyGraph_methods,
    .tp_getset = PyGraph_getsetters,
    .tp_init = reinterpret_cast<initproc>(PyGraph_init),
    // tp_new is installed at start-up.
};
// clang-format on

PyObject* graph_addtomodule(PyObject* m) {
    return vesk_add_type(m, &PyGraph_Type, "Graph");
}
