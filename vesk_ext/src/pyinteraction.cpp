// The Interaction object: one node of a graph, binding a registered
// interaction type to the node's own data and state buffer.
#include "_vesk.h"

#include <structmember.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace {

// Text of a NUL-terminated UTF-8 field as a str; a field is only ever cut
// between characters, "replace" guards against anything else.
PyObject* field_str(const char* text) {
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

// Copies at most max_bytes bytes of a NUL-terminated UTF-8 text into dst
// (which holds max_bytes + 1), never cutting a multi-byte character.
void copy_utf8(char* dst, const char* src, size_t max_bytes) {
    size_t n = strnlen(src, max_bytes);
    // Back off over continuation bytes so that a cut falls between characters
    // (a text that is not cut ends at its NUL, where nothing backs off).
    while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) {
        --n;
    }
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// An object made by __new__ without its constructor has no type, companion
// or loss; everything that needs them refuses it. A construction binds all
// three, the loss last, or none.
int require_constructed(PyInteraction_Object* self) {
    const bool bound = self->typeobj != nullptr && self->state != nullptr && self->loss != nullptr;
    return bound ? 0 : vesk_fail(PyExc_RuntimeError, "Interaction has not been initialized");
}

// A state write marks its interaction as being changed while its value's
// conversion runs Python code; constructing the interaction again meanwhile
// would free or re-lay the state record under the write.
int refuse_rebuild(PyInteraction_Object* self) {
    return self->changing && !self->busy
               ? vesk_fail(PyExc_RuntimeError, "Cannot re-initialize interaction '%s' while its state is being changed",
                           self->type)
               : vesk_refuse_while_busy(self);
}

// Lets go of everything an earlier construction bound: the record (the type
// is forgotten before its state resources are released and the record
// emptied, so nothing reaches a half-released record), the companion (whose
// back-pointer is cleared first, so a companion kept by Python code reports
// the loss instead of reading a stale record) and the loss. Releasing the old
// state's keys runs finalisers, which must not construct the interaction
// again meanwhile.
void unbind(PyInteraction_Object* self) {
    ++self->changing;
    interaction_type_t* t = std::exchange(self->typeobj, nullptr);
    if (t != nullptr && t->deallocate != nullptr) {
        t->deallocate(self);
    }
    std::memset(self->data, 0, sizeof(self->data));
    self->loss_dv_f = nullptr;
    if (self->state != nullptr) {
        reinterpret_cast<PyInteractionState_Object*>(self->state)->interaction = nullptr;
    }
    vesk_replace(&self->state, nullptr);
    vesk_replace(&self->loss, nullptr);
    vesk_replace(&self->column_key, nullptr);
    --self->changing;
}

// Binds the interaction afresh to the type named type_arg, as a
// construction does: lets go of everything an earlier one bound and lays
// the type's state record; a new interaction (draw) then draws its
// parameters, a restored one takes them from its saved state. A failure
// leaves it without a type, refusing every operation that needs one.
int bind(PyInteraction_Object* self, const char* type_arg, const int latticeloc[3], int gluamine, const char* name,
         bool draw) {
    if (refuse_rebuild(self) < 0) {
        return -1;
    }
    std::memcpy(self->latticeloc, latticeloc, sizeof(self->latticeloc));
    unbind(self);
    copy_utf8(self->type, type_arg, sizeof(self->type) - 1);
    copy_utf8(self->name, name != nullptr ? name : "", sizeof(self->name) - 2);
    self->gluamine = gluamine;
    self->location = -1;
    // The sources of a new object: a former input register's -1 would still
    // ask the query for a column.
    self->sourcecount = 0;
    self->sources[0] = self->sources[1] = 0;
    self->column_key = PyUnicode_DecodeUTF8(self->name, static_cast<Py_ssize_t>(std::strlen(self->name)), "replace");
    if (self->column_key == nullptr) {
        return -1;
    }

    interaction_type_t* t = vesk_find_interactiontype(type_arg);
    if (t == nullptr) {
        return vesk_fail(PyExc_ValueError, "No such interaction type: '%s'", type_arg);
    }
    auto* state = PyObject_New(PyInteractionState_Object, &PyInteractionState_Type);
    if (state == nullptr) {
        return -1;
    }
    state->interaction = self;
    self->state = reinterpret_cast<PyObject*>(state);
    self->typeobj = t;
    // The learning rate and the drawn parameters are computed as a query
    // computes, whatever the caller's float controls.
    const vesk_query_floats floats;
    // A record too big for the buffer fails to compile (interaction_state).
    // initialize is required: every type fills it.
    if (t->initialize(self) != 0) {
        // A half-initialised state must never be reached.
        unbind(self);
        return -1;
    }
    if (draw && t->draw_parameters != nullptr) {
        t->draw_parameters(self);
    }
    self->loss = vesk_newref(Py_None);
    return 0;
}

int PyInteraction_init(PyInteraction_Object* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"type", "latticeloc", "gluamine", "name", nullptr};
    const char* type_arg = nullptr;
    PyObject* latticeloc = nullptr;
    int gluamine = 0;
    const char* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "sO|iz", const_cast<char**>(kwlist), &type_arg, &latticeloc, &gluamine,
                                     &name) ||
        refuse_rebuild(self) < 0) {
        return -1;
    }
    if (!PyTuple_Check(latticeloc) || PyTuple_GET_SIZE(latticeloc) != 3) {
        return vesk_fail(PyExc_ValueError, "The latticeloc must be a three item tuple");
    }
    // Converting an item may run Python code, meanwhile a query or a state
    // write on another thread may take this interaction: the items are
    // converted first and stored only after a second look, when binding.
    int items[3];
    for (int i = 0; i < 3; ++i) {
        const long v = PyLong_AsLong(PyTuple_GET_ITEM(latticeloc, i));
        if (v >= INT_MIN && v <= INT_MAX && !(v == -1 && PyErr_Occurred())) {
            items[i] = static_cast<int>(v);
            continue;
        }
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_OverflowError, v > INT_MAX ? "signed integer is greater than maximum"
                                                             : "signed integer is less than minimum");
        }
        // The items converted before the failing one stay stored.
        if (!self->busy) {
            std::memcpy(self->latticeloc, items, static_cast<size_t>(i) * sizeof(int));
        }
        return -1;
    }
    return bind(self, type_arg, items, gluamine, name, true);
}

int PyInteraction_traverse(PyInteraction_Object* self, visitproc visit, void* arg) {
    Py_VISIT(self->linkdata);
    Py_VISIT(self->loss);
    const interaction_type_t* t = self->typeobj;
    return t != nullptr && t->traverse != nullptr ? t->traverse(self, visit, arg) : 0;
}

// Breaks a cycle through the interaction (its linkdata, or a category key
// that refers back to it): it lets go of everything, as when destroyed.
int PyInteraction_clear(PyInteraction_Object* self) {
    unbind(self);
    vesk_replace(&self->linkdata, nullptr);
    return 0;
}

void PyInteraction_dealloc(PyInteraction_Object* self) {
    PyObject_GC_UnTrack(self);
    PyInteraction_clear(self);
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* PyInteraction_str(PyInteraction_Object* self) {
    return PyUnicode_FromFormat("_vesk.Interaction (%s)", self->type);
}

PyObject* PyInteraction_method_setsource(PyInteraction_Object* self, PyObject* args) {
    int ix = 0;
    int src = 0;
    if (!PyArg_ParseTuple(args, "ii", &ix, &src)) {
        return nullptr;
    }
    if (ix != 0 && ix != 1) {
        return PyErr_Format(PyExc_ValueError, "Source index %i is out of range", ix);
    }
    if (vesk_refuse_while_busy(self) < 0) {
        return nullptr;
    }
    // sourcecount never decreases: clearing an entry with -1 keeps it counted.
    if (ix >= self->sourcecount && src != -1) {
        self->sourcecount = ix + 1;
    }
    self->sources[ix] = src;
    Py_RETURN_NONE;
}

PyObject* PyInteraction_get_sources(PyInteraction_Object* self, void*) {
    // sourcecount is 0, 1 or 2; the entries beyond it are not reported.
    static const char* const formats[] = {"()", "(i)", "(ii)"};
    return Py_BuildValue(formats[self->sourcecount], self->sources[0], self->sources[1]);
}

PyObject* PyInteraction_get_latticeloc(PyInteraction_Object* self, void*) {
    return Py_BuildValue("(iii)", self->latticeloc[0], self->latticeloc[1], self->latticeloc[2]);
}

PyObject* PyInteraction_get_type(PyInteraction_Object* self, void*) {
    return self->type[0] != '\0' ? field_str(self->type) : vesk_newref(Py_None);
}

PyObject* PyInteraction_get_name(PyInteraction_Object* self, void*) {
    // Looked up by the type's name, so that an interaction whose construction
    // failed after naming its type answers as its type would.
    const interaction_type_t* t = vesk_find_interactiontype(self->type);
    return field_str(t != nullptr && t->is_register ? self->name : self->type);
}

PyObject* PyInteraction_get_tooltip(PyInteraction_Object* self, void*) {
    if (require_constructed(self) < 0) {
        return nullptr;
    }
    // The text may live in a buffer that is reused: copied at once. Its
    // digits are rounded as under the query's float controls.
    const char* text;
    {
        const vesk_query_floats floats;
        text = interaction_tooltip(self);
    }
    return field_str(text != nullptr ? text : self->type);
}

// The getters of plain fields: the closure of a table entry is the offset
// of the field in the record.
#define VESK_FIELD(field) reinterpret_cast<void*>(offsetof(PyInteraction_Object, field))

template <typename T>
T& field_at(PyInteraction_Object* self, void* offset) {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset));
}

PyObject* get_int_field(PyInteraction_Object* self, void* offset) {
    return PyLong_FromLong(field_at<int>(self, offset));
}

// An object that a construction binds: refused before it.
PyObject* get_bound_field(PyInteraction_Object* self, void* offset) {
    return require_constructed(self) < 0 ? nullptr : vesk_newref(field_at<PyObject*>(self, offset));
}

int PyInteraction_set_loss(PyInteraction_Object* self, PyObject* value, void*) {
    if (value == nullptr) {
        return vesk_fail(PyExc_AttributeError, "The loss of an interaction cannot be deleted");
    }
    if (require_constructed(self) < 0 || vesk_refuse_while_busy(self) < 0) {
        return -1;
    }
    if (self->typeobj->set_loss == nullptr) {
        return vesk_fail(PyExc_AttributeError, "Interaction '%s' has no loss function to set", self->type);
    }
    if (self->typeobj->set_loss(self, value) != 0) {
        return PyErr_Occurred()
                   ? -1
                   : vesk_fail(PyExc_ValueError, "Unknown error: Setting state for interaction %s", self->type);
    }
    vesk_replace(&self->loss, vesk_newref(value));
    return 0;
}

PyObject* PyInteraction_get_activation(PyInteraction_Object* self, void*) {
    if (self->graph == nullptr) {
        return PyErr_Format(PyExc_RuntimeError,
                            "Cannot get activations from interaction '%s' because it's not in a graph", self->type);
    }
    npy_intp dims[1] = {self->graph->latest_batchsize};
    PyRef array(
        PyArray_New(&PyArray_Type, 1, dims, NPY_FLOAT, nullptr, self->activation, 0, NPY_ARRAY_CARRAY, nullptr));
    // The array shares the activation slot: the interaction lives as long as
    // the array, as its base object (the reference is stolen, also on failure).
    PyObject* base = reinterpret_cast<PyObject*>(self);
    if (!array || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), vesk_newref(base)) < 0) {
        return nullptr;
    }
    return array.release();
}

// The sources a node's depth counts, in order: none for an input register
// or a node without sources, else its entries but an unset second one.
int counted_sources(const PyInteraction_Object* x, graphlocation_t counted[2]) {
    int n = 0;
    for (int i = 0; x->sources[0] != -1 && i < x->sourcecount; ++i) {
        if (i == 0 || x->sources[i] != -1) {
            counted[n++] = x->sources[i];
        }
    }
    return n;
}

// 0 for a node without counted sources, else 1 + the deepest of them, and
// reported one less. Sources may name any slot: one that names no filled
// slot, and a cycle, are errors. The walk keeps its own stack, so that a
// long chain cannot exhaust the C stack, and meets the sources in the order
// a recursive walk would, so the first fault it meets is reported.
PyObject* PyInteraction_get_depth(PyInteraction_Object* self, void*) {
    PyGraph_Object* g = self->graph;
    if (g == nullptr) {
        return PyErr_Format(PyExc_RuntimeError, "Cannot compute depth of interaction '%s' because it's not in a graph",
                            self->type);
    }
    struct step {
        const PyInteraction_Object* node;  // null: enter the source `slot`; else its sources are all known
        graphlocation_t slot;              // -1: this interaction, which need not be in a slot
    };
    // A slot's depth once known, and before that whether it is being walked.
    constexpr long unseen = -2, walking = -1;
    graphlocation_t counted[2];
    long depth = 0;
    try {
        std::vector<long> depth_of(static_cast<size_t>(g->size), unseen);
        std::vector<step> stack;
        // The node's finishing step, then its sources to enter, the first on top.
        const auto push = [&](const PyInteraction_Object* x, graphlocation_t slot) {
            stack.push_back({x, slot});
            for (int i = counted_sources(x, counted); i-- > 0;) {
                stack.push_back({nullptr, counted[i]});
            }
        };
        push(self, -1);
        while (!stack.empty()) {
            const step s = stack.back();
            stack.pop_back();
            if (s.node != nullptr) {
                long deepest = -1;
                for (int i = counted_sources(s.node, counted); i-- > 0;) {
                    deepest = std::max(deepest, depth_of[counted[i]]);
                }
                depth = deepest + 1;
                if (s.slot >= 0) {
                    depth_of[s.slot] = depth;
                }
            } else if (s.slot < 0 || s.slot >= g->size || g->interactions[s.slot] == nullptr) {
                return PyErr_Format(PyExc_RuntimeError,
                                    "Cannot compute depth of interaction '%s' because source %i is not a filled "
                                    "slot of its graph",
                                    self->type, s.slot);
            } else if (depth_of[s.slot] == walking) {
                return PyErr_Format(PyExc_RuntimeError,
                                    "Cannot compute depth of interaction '%s' because its sources form a cycle",
                                    self->type);
            } else if (depth_of[s.slot] == unseen) {
                depth_of[s.slot] = walking;
                push(g->interactions[s.slot], s.slot);
            }
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return PyLong_FromLong(depth - 1);
}

// The saved form (version 1): (1, type, name, latticeloc, gluamine,
// sourcecount, (source 0, source 1), location, errcode, activation, loss,
// linkdata, the state record's values). Plain values throughout: the
// arrays a register holds during a query and the back-pointer to a graph
// are not part of it.
PyObject* PyInteraction_getstate(PyInteraction_Object* self, PyObject*) {
    if (require_constructed(self) < 0 || vesk_refuse_while_busy(self) < 0) {
        return nullptr;
    }
    PyRef values(interactionstate_values(self, true));
    if (!values) {
        return nullptr;
    }
    return Py_BuildValue("(iss(iii)ii(ii)iidOOO)", vesk_interaction_form, self->type, self->name, self->latticeloc[0],
                         self->latticeloc[1], self->latticeloc[2], self->gluamine, self->sourcecount, self->sources[0],
                         self->sources[1], self->location, self->errcode, vesk_widen(self->activation[0]), self->loss,
                         self->linkdata != nullptr ? self->linkdata : Py_None, values.get());
}

// The compact form (version 2), which pickling saves: (2, type, name, the
// numbers as bytes, loss, linkdata, the values of the state's attributes
// that are no fields of its description, as a tuple). The numbers are
// 4-byte words: latticeloc, gluamine, sourcecount, the two sources,
// location, errcode, the activation's bits, then a word for each field of
// the state's description, internal ones included.
constexpr size_t header_words = 10;

// The name of a registered type as a str, the same object for every
// interaction of the type, which a pickle then holds once. A new reference,
// or null with an exception.
PyObject* type_name_object(interaction_type_t* t) {
    if (t->name_object == nullptr) {
        t->name_object = PyUnicode_InternFromString(t->type_name);
    }
    return t->name_object != nullptr ? vesk_newref(t->name_object) : nullptr;
}

PyObject* compact_state(PyInteraction_Object* self) {
    if (require_constructed(self) < 0 || vesk_refuse_while_busy(self) < 0) {
        return nullptr;
    }
    unsigned char numbers[4 * (header_words + vesk_state_words_max)];
    saved_words words{numbers, sizeof numbers};
    for (const int v : {self->latticeloc[0], self->latticeloc[1], self->latticeloc[2], self->gluamine,
                        self->sourcecount, self->sources[0], self->sources[1], self->location, self->errcode}) {
        words.put_int(v);
    }
    words.put_float(self->activation[0]);
    // The type's own name is the type field's text; the column key is the
    // name's text as a str.
    const bool own_name = std::strcmp(self->typeobj->type_name, self->type) == 0;
    PyRef objects(interactionstate_pack(self, words));
    PyRef state(objects ? PyTuple_New(7) : nullptr);
    if (!state) {
        return nullptr;
    }
    PyObject* items[7] = {
        PyLong_FromLong(vesk_interaction_compact_form),
        own_name ? type_name_object(self->typeobj) : field_str(self->type),
        self->column_key != nullptr ? vesk_newref(self->column_key) : field_str(self->name),
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(numbers),
                                  static_cast<Py_ssize_t>(sizeof numbers - words.left)),
        vesk_newref(self->loss),
        vesk_newref(self->linkdata != nullptr ? self->linkdata : Py_None),
        objects.release(),
    };
    bool failed = false;
    for (Py_ssize_t i = 0; i < 7; ++i) {
        failed = failed || items[i] == nullptr;
        PyTuple_SET_ITEM(state.get(), i, items[i]);
    }
    return failed ? nullptr : state.release();
}

// Restores a saved form as a new construction would lay it, without drawing
// parameters (the process's rand() sequence stays where it was). An
// interaction restored alone is in no graph; a graph that holds it sets its
// back-pointer when the graph is restored.
PyObject* PyInteraction_setstate(PyInteraction_Object* self, PyObject* saved) {
    const char* type_arg = nullptr;
    const char* name = nullptr;
    int latticeloc[3];
    int gluamine, sourcecount, sources[2], location, errcode;
    float activation = 0.0f;
    double wide_activation = 0.0;  // the legacy form's, narrowed under the query's float controls
    PyObject *loss, *linkdata, *values, *numbers = nullptr;
    const int version = vesk_saved_version(saved, "_vesk.Interaction", vesk_interaction_compact_form);
    saved_words words{nullptr, 0};
    if (version == vesk_interaction_compact_form) {
        // Read as the parser would read "ssSOOO!", without its copy of the items.
        PyObject* const* items = &PyTuple_GET_ITEM(saved, 0);
        const bool shaped = PyTuple_GET_SIZE(saved) == 7 && PyUnicode_Check(items[1]) && PyUnicode_Check(items[2]) &&
                            PyBytes_Check(items[3]) && PyTuple_Check(items[6]);
        Py_ssize_t sizes[2] = {};
        type_arg = shaped ? PyUnicode_AsUTF8AndSize(items[1], &sizes[0]) : nullptr;
        name = type_arg != nullptr ? PyUnicode_AsUTF8AndSize(items[2], &sizes[1]) : nullptr;
        if (name == nullptr || std::strlen(type_arg) != static_cast<size_t>(sizes[0]) ||
            std::strlen(name) != static_cast<size_t>(sizes[1])) {
            return vesk_raise_from_pending(PyExc_ValueError, "Damaged saved state of a _vesk.Interaction"), nullptr;
        }
        numbers = items[3];
        loss = items[4];
        linkdata = items[5];
        values = items[6];
        words = {reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(numbers)),
                 static_cast<size_t>(PyBytes_GET_SIZE(numbers))};
        for (int* field : {&latticeloc[0], &latticeloc[1], &latticeloc[2], &gluamine, &sourcecount, &sources[0],
                           &sources[1], &location, &errcode}) {
            *field = words.take_int();
        }
        activation = words.take_float();
        if (!words.ok) {
            return PyErr_Format(PyExc_ValueError, "Damaged saved state of a _vesk.Interaction");
        }
    } else if (version < 0 ||
               vesk_parse_saved(saved, "_vesk.Interaction", "ss(iii)ii(ii)iidOOO!", &type_arg, &name, &latticeloc[0],
                                &latticeloc[1], &latticeloc[2], &gluamine, &sourcecount, &sources[0], &sources[1],
                                &location, &errcode, &wide_activation, &loss, &linkdata, &PyTuple_Type, &values) < 0) {
        return nullptr;
    }
    if (sourcecount < 0 || sourcecount > 2) {
        return PyErr_Format(PyExc_ValueError, "Damaged saved state of a _vesk.Interaction: %i sources", sourcecount);
    }
    if (bind(self, type_arg, latticeloc, gluamine, name, false) < 0) {
        return nullptr;
    }
    self->sourcecount = sourcecount;
    std::memcpy(self->sources, sources, sizeof(sources));
    self->location = location;
    self->errcode = errcode;
    self->activation[0] = numbers != nullptr ? activation : vesk_narrow(wide_activation);
    int rc = numbers != nullptr ? interactionstate_unpack(self, words, values) : interactionstate_restore(self, values);
    if (rc == 0 && loss != Py_None && PyInteraction_set_loss(self, loss, nullptr) < 0) {
        rc = vesk_raise_from_pending(PyExc_ValueError, "Cannot restore the loss of a '%s' interaction", self->type);
    }
    if (rc < 0) {
        PyInteraction_clear(self);
        return nullptr;
    }
    vesk_replace(&self->linkdata, linkdata != Py_None ? vesk_newref(linkdata) : nullptr);
    Py_RETURN_NONE;
}

// Pickling saves the compact form; below protocol 2 the interpreter's own
// reduction refuses it, as it refused it before.
PyObject* PyInteraction_reduce_ex(PyInteraction_Object* self, PyObject* protocol) {
    const long p = PyLong_AsLong(protocol);
    if (p == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    PyObject* me = reinterpret_cast<PyObject*>(self);
    if (p < 2) {
        return vesk_object_reduce(me, protocol);
    }
    PyRef state(compact_state(self));
    return state ? vesk_reduction(me, state.get()) : nullptr;
}

// Marks a copy as being changed while its copying runs Python code (copies
// of keys and linkdata, which can reach it through the memo): constructing
// it again meanwhile is refused, so the record stays the one being filled.
struct CopyMark {
    PyInteraction_Object* copy;
    explicit CopyMark(PyInteraction_Object* x) : copy(x) { ++copy->changing; }
    ~CopyMark() { --copy->changing; }
};

// A new interaction in the state of this one, which the memo holds from the
// start: everything the saved form holds, the state record's bytes or its
// type's copy of them, and the loss and linkdata through
// vesk_deepcopy_value. The original is read before any Python code runs.
PyObject* copy_interaction(PyInteraction_Object* self, PyObject* memo) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    // The type's tp_new, the generic one, only allocates.
    PyRef made(PyInteraction_Type.tp_alloc(&PyInteraction_Type, 0));
    // Allocating and filing in the memo may run the collector, and with it
    // finalisers: the original is looked at only afterwards.
    if (!made || vesk_memoize(memo, me, made.get()) < 0 || require_constructed(self) < 0 ||
        vesk_refuse_while_busy(self) < 0) {
        return nullptr;
    }
    auto* copy = reinterpret_cast<PyInteraction_Object*>(made.get());
    PyRef loss(vesk_newref(self->loss));
    PyRef linkdata(self->linkdata != nullptr ? vesk_newref(self->linkdata) : nullptr);
    if (bind(copy, self->type, self->latticeloc, self->gluamine, self->name, false) < 0) {
        return nullptr;
    }
    interaction_type_t* t = copy->typeobj;
    if (t != self->typeobj) {
        PyInteraction_clear(copy);
        return PyErr_Format(PyExc_RuntimeError, "Cannot copy interaction '%s': its type is not registered", self->type);
    }
    CopyMark mark(copy);
    copy->sourcecount = self->sourcecount;
    std::memcpy(copy->sources, self->sources, sizeof(self->sources));
    copy->location = self->location;
    copy->errcode = self->errcode;
    copy->activation[0] = self->activation[0];
    copy->loss_dv_f = self->loss_dv_f;
    int rc = 0;
    if (t->copy_state != nullptr) {
        rc = t->copy_state(copy, self, memo);
    } else {
        std::memcpy(copy->data, self->data, sizeof(self->data));
    }
    if (rc == 0 && loss.get() != Py_None) {
        // A loss that the copy keeps keeps its function too.
        PyRef copied(vesk_deepcopy_value(loss.get(), memo));
        if (!copied) {
            rc = -1;
        } else if (copied.get() == loss.get()) {
            vesk_replace(&copy->loss, copied.release());
        } else if (PyInteraction_set_loss(copy, copied.get(), nullptr) < 0) {
            rc = vesk_raise_from_pending(PyExc_ValueError, "Cannot restore the loss of a '%s' interaction", copy->type);
        }
    }
    if (rc == 0 && linkdata) {
        PyObject* copied = vesk_deepcopy_value(linkdata.get(), memo);
        rc = copied != nullptr ? (vesk_replace(&copy->linkdata, copied), 0) : -1;
    }
    if (rc < 0) {
        PyInteraction_clear(copy);
        return nullptr;
    }
    return made.release();
}

PyObject* PyInteraction_deepcopy(PyInteraction_Object* self, PyObject* memo_arg) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    PyRef memo(vesk_memo_argument(memo_arg));
    const int by_itself =
        !memo ? -1 : (PyDict_Check(memo.get()) ? vesk_reduces_by_itself(me, &PyInteraction_Type, true) : 1);
    if (by_itself != 0) {
        return by_itself < 0 ? nullptr : vesk_reduced_deepcopy(me, memo.get());
    }
    return copy_interaction(self, memo.get());
}

PyMethodDef PyInteraction_methods[] = {
    {"_set_source", reinterpret_cast<PyCFunction>(PyInteraction_method_setsource), METH_VARARGS,
     VESK_SIGNED("_set_source($self, ix, src, /)", "Set a source.")},
    {"__getstate__", reinterpret_cast<PyCFunction>(PyInteraction_getstate), METH_NOARGS,
     VESK_SIGNED("__getstate__($self, /)", "The interaction as plain values, for pickling and copying.")},
    {"__setstate__", reinterpret_cast<PyCFunction>(PyInteraction_setstate), METH_O,
     VESK_SIGNED("__setstate__($self, state, /)", "Restore the interaction from the values of __getstate__.")},
    {"__reduce_ex__", reinterpret_cast<PyCFunction>(PyInteraction_reduce_ex), METH_O,
     VESK_SIGNED("__reduce_ex__($self, protocol, /)", "The interaction in its compact saved form, for pickling.")},
    {"__deepcopy__", reinterpret_cast<PyCFunction>(PyInteraction_deepcopy), METH_O,
     VESK_SIGNED("__deepcopy__($self, memo, /)", "A new interaction in the same state (copy.deepcopy).")},
    {nullptr, nullptr, 0, nullptr},
};

#define VESK_GETTER(f) reinterpret_cast<getter>(f)

// Any object, or None when unset or deleted.
PyMemberDef PyInteraction_members[] = {
    {"_linkdata", T_OBJECT, offsetof(PyInteraction_Object, linkdata), 0, "Get or set private linkdata."},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef PyInteraction_getsetters[] = {
    {"sources", VESK_GETTER(PyInteraction_get_sources), nullptr,
     "Get the indices of the predecessors of this interaction within the graph.", nullptr},
    {"_location", VESK_GETTER(get_int_field), nullptr, "Get interaction location within graph.", VESK_FIELD(location)},
    {"_latticeloc", VESK_GETTER(PyInteraction_get_latticeloc), nullptr, "Get interaction location within the Mirelund.",
     nullptr},
    {"state", VESK_GETTER(get_bound_field), nullptr,
     "Get internal state of interaction, such as the weigths or other parameters.\n\nThe actual properties of "
     "the state depends on the interaction. You may examine them using dir() or though the "
     "InteractionState.__dict__ property.\n\nExample:\n>>> g = tessary.select(data)[0]\n>>> "
     "print(g[0].state.__dict__)\n{'feature_min': -4.996334075927734, 'feature_max': 4.994193077087402, "
     "'auto_adapt': True}\n\nOr you can modify them dynamically:\n>>> g[0].state.auto_adapt=False\n",
     VESK_FIELD(state)},
    {"type", VESK_GETTER(PyInteraction_get_type), nullptr,
     "Get the type of the interaction, such as 'tanh', 'sine', etc.", nullptr},
    {"_gluamine", VESK_GETTER(get_int_field), nullptr, "Get the accumulated gluamine of this interaction.",
     VESK_FIELD(gluamine)},
    {"name", VESK_GETTER(PyInteraction_get_name), nullptr,
     "Get the name of the interaction.\n\nFor register interactions this is the name of the register. For "
     "other interactions, it will normally be the same as the interaction type.",
     nullptr},
    {"_tooltip", VESK_GETTER(PyInteraction_get_tooltip), nullptr, "Get interaction tooltip.", nullptr},
    {"_loss", VESK_GETTER(get_bound_field), reinterpret_cast<setter>(PyInteraction_set_loss),
     "Get or set the name of the loss function to use.", VESK_FIELD(loss)},
    {"activation", VESK_GETTER(PyInteraction_get_activation), nullptr,
     "Get the latest activation(s) from this interaction.\n\nThis is the most recent value emitted by this "
     "interaction after each use - either fit or predict.\n\nThis property is useful to examine the graph's "
     "processing of individual samples.\n\n>>> graph.predict({'x': [3,4]})\n>>> graph[0].activation\n.54\n",
     nullptr},
    {"depth", VESK_GETTER(PyInteraction_get_depth), nullptr, "Get the depth of this interaction within it's graph.",
     nullptr},
    {"_errcode", VESK_GETTER(get_int_field), nullptr, "Get interaction error code.", VESK_FIELD(errcode)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// clang-format off
PyTypeObject PyInteraction_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_vesk.Interaction",
    .tp_basicsize = sizeof(PyInteraction_Object),
    .tp_dealloc = reinterpret_cast<destructor>(PyInteraction_dealloc),
    .tp_repr = reinterpret_cast<reprfunc>(PyInteraction_str),
    .tp_str = reinterpret_cast<reprfunc>(PyInteraction_str),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Interaction(type, latticeloc, gluamine=0, name=None)\n--\n\n"
              "A graph is a collection of Interactions linked together. Interactions can be either registers or "
              "pure mathematical functions such as 'tanh' or 'multiply'.\n\nYou normally get an interaction by "
              "accessing it from a Graph with the index operation. Interactions can be inspected in various ways "
              "to examine the behavior and properties of the graph.\n\nExample usage. Get a Graph from a Tessary "
              "and print information about it's first interaction\n>>> best_graph = tessary.select(data)[0]\n>>> "
              "interaction = best[0]\n>>> print(interaction.name, interaction.type)\nx, fixed\n",
    .tp_traverse = reinterpret_cast<traverseproc>(PyInteraction_traverse),
    .tp_clear = reinterpret_cast<inquiry>(PyInteraction_clear),
    .tp_methods = PyInteraction_methods,
    .tp_members = PyInteraction_members,
    .tp_getset = PyInteraction_getsetters,
    .tp_init = reinterpret_cast<initproc>(PyInteraction_init),
    // tp_new is installed at start-up.
};
// clang-format on

int vesk_saved_version(PyObject* saved, const char* what, int newest) {
    PyObject* version = PyTuple_Check(saved) && PyTuple_GET_SIZE(saved) > 0 ? PyTuple_GET_ITEM(saved, 0) : nullptr;
    if (version == nullptr || !PyLong_CheckExact(version)) {
        return vesk_fail(PyExc_TypeError, "The saved state of a %s must be a tuple that starts with its version", what);
    }
    const long v = PyLong_AsLong(version);
    if (v < 1 || v > newest) {
        PyErr_Clear();
        return newest == 1 ? vesk_fail(PyExc_ValueError,
                                       "Saved state of a %s of version %R; this module reads version 1", what, version)
                           : vesk_fail(PyExc_ValueError,
                                       "Saved state of a %s of version %R; this module reads versions 1 to %i", what,
                                       version, newest);
    }
    return static_cast<int>(v);
}

int vesk_parse_saved(PyObject* saved, const char* what, const char* format, ...) {
    PyRef items(PyTuple_GetSlice(saved, 1, PyTuple_GET_SIZE(saved)));
    va_list args;
    va_start(args, format);
    const int parsed = items ? PyArg_VaParse(items.get(), format, args) : 0;
    va_end(args);
    return parsed ? 0 : vesk_raise_from_pending(PyExc_ValueError, "Damaged saved state of a %s", what);
}

PyObject* interaction_addtomodule(PyObject* m) {
    return vesk_add_type(m, &PyInteraction_Type, "Interaction");
}

// ---------------------------------------------------------------------------
// What deep copies and pickling take from the copy and copyreg modules.

namespace {

// An attribute of a module, looked up once and kept for the life of the
// process, as the copy module binds its own names once. Borrowed, or null
// with an exception.
PyObject* python_name(PyObject** kept, const char* module, const char* name) {
    if (*kept == nullptr) {
        PyRef m(PyImport_ImportModule(module));
        *kept = m ? PyObject_GetAttrString(m.get(), name) : nullptr;
    }
    return *kept;
}

PyObject* copy_deepcopy() {
    static PyObject* kept = nullptr;
    return python_name(&kept, "copy", "deepcopy");
}

PyObject* dispatch_table() {
    static PyObject* kept = nullptr;
    return python_name(&kept, "copyreg", "dispatch_table");
}

// The entry of a mapping (a dict, or any), a new reference; null, with an
// exception set only when the look-up failed, when it has none.
PyObject* table_entry(PyObject* table, PyObject* key) {
    if (PyDict_Check(table)) {
        PyObject* found = PyDict_GetItemWithError(table, key);
        return found != nullptr ? vesk_newref(found) : nullptr;
    }
    PyObject* found = PyObject_GetItem(table, key);
    if (found == nullptr && PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
    }
    return found;
}

// Exactly None, a str, bytes, int, float or bool, or a tuple of these: what
// copy.deepcopy gives back as it is. Tuples nested deeper are left to it.
bool immutable(PyObject* value, int depth) {
    if (value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
        PyBool_Check(value) || PyBytes_CheckExact(value)) {
        return true;
    }
    if (!PyTuple_CheckExact(value) || depth == 0) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
        if (!immutable(PyTuple_GET_ITEM(value, i), depth - 1)) {
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* vesk_deepcopy_value(PyObject* value, PyObject* memo) {
    if (immutable(value, 8)) {
        return vesk_newref(value);
    }
    PyObject* deepcopy = copy_deepcopy();
    return deepcopy != nullptr ? PyObject_CallFunctionObjArgs(deepcopy, value, memo, nullptr) : nullptr;
}

PyObject* vesk_memo_find(PyObject* memo, PyObject* original) {
    PyRef key(PyLong_FromVoidPtr(original));
    PyObject* found = key ? PyDict_GetItemWithError(memo, key.get()) : nullptr;
    return found != nullptr ? vesk_newref(found) : nullptr;
}

int vesk_memoize(PyObject* memo, PyObject* original, PyObject* copy) {
    PyRef key(PyLong_FromVoidPtr(original));
    if (!key || PyObject_SetItem(memo, key.get(), copy) < 0) {
        return -1;
    }
    // copy's own list of the originals, under the memo's id.
    PyRef list_key(PyLong_FromVoidPtr(memo));
    PyRef kept(list_key ? table_entry(memo, list_key.get()) : nullptr);
    if (!kept) {
        if (PyErr_Occurred()) {
            return -1;
        }
        PyRef fresh(PyList_New(0));
        if (!fresh || PyList_Append(fresh.get(), original) < 0) {
            return -1;
        }
        return PyObject_SetItem(memo, list_key.get(), fresh.get());
    }
    if (PyList_CheckExact(kept.get())) {
        return PyList_Append(kept.get(), original);
    }
    PyRef appended(PyObject_CallMethod(kept.get(), "append", "O", original));
    return appended ? 0 : -1;
}

int vesk_reduces_by_itself(PyObject* self, PyTypeObject* base, bool copying) {
    PyTypeObject* type = Py_TYPE(self);
    if (copying) {
        PyObject* table = dispatch_table();
        if (table == nullptr) {
            return -1;
        }
        PyRef found(table_entry(table, reinterpret_cast<PyObject*>(type)));
        if (found || PyErr_Occurred()) {
            return found ? 1 : -1;
        }
    }
    if (type == base) {
        return 0;
    }
    // What the class finds for each name, against what the base finds (null
    // for neither).
    for (const char* name :
         {"__reduce__", "__reduce_ex__", "__getstate__", "__setstate__", "__getnewargs__", "__getnewargs_ex__"}) {
        PyObject* found[2];
        int k = 0;
        for (PyTypeObject* t : {type, base}) {
            found[k] = PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), name);
            if (found[k] == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                    Py_XDECREF(k == 1 ? found[0] : nullptr);
                    return -1;
                }
                PyErr_Clear();
            }
            ++k;
        }
        const bool overridden = found[0] != found[1];
        Py_XDECREF(found[0]);
        Py_XDECREF(found[1]);
        if (overridden) {
            return 1;
        }
    }
    return 0;
}

PyObject* vesk_reduced_deepcopy(PyObject* self, PyObject* memo) {
    static PyObject* reconstruct = nullptr;
    PyObject* table = dispatch_table();
    if (table == nullptr || python_name(&reconstruct, "copy", "_reconstruct") == nullptr) {
        return nullptr;
    }
    PyRef reducer(table_entry(table, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    if (!reducer && PyErr_Occurred()) {
        return nullptr;
    }
    PyRef reduced(reducer ? PyObject_CallFunctionObjArgs(reducer.get(), self, nullptr)
                          : PyObject_CallMethod(self, "__reduce_ex__", "i", 4));
    if (!reduced) {
        return nullptr;
    }
    // A str names a global: the object copies as itself.
    if (PyUnicode_Check(reduced.get())) {
        return vesk_newref(self);
    }
    PyRef tail(PySequence_Tuple(reduced.get()));
    PyRef head(tail ? PyTuple_Pack(2, self, memo) : nullptr);
    PyRef args(head ? PySequence_Concat(head.get(), tail.get()) : nullptr);
    PyRef copy(args ? PyObject_Call(reconstruct, args.get(), nullptr) : nullptr);
    if (!copy || (copy.get() != self && vesk_memoize(memo, self, copy.get()) < 0)) {
        return nullptr;
    }
    return copy.release();
}

PyObject* vesk_object_reduce(PyObject* self, PyObject* protocol) {
    return PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce_ex__", "OO", self, protocol);
}

PyObject* vesk_reduction(PyObject* self, PyObject* state) {
    static PyObject* newobj = nullptr;
    // An interaction's arguments, the same every time.
    static PyObject* interaction_args = nullptr;
    if (python_name(&newobj, "copyreg", "__newobj__") == nullptr) {
        return nullptr;
    }
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (interaction_args == nullptr && Py_TYPE(self) == &PyInteraction_Type) {
        interaction_args = PyTuple_Pack(1, type);
    }
    PyRef args(Py_TYPE(self) == &PyInteraction_Type ? (interaction_args ? vesk_newref(interaction_args) : nullptr)
                                                    : PyTuple_Pack(1, type));
    return args ? PyTuple_Pack(3, newobj, args.get(), state) : nullptr;
}

PyObject* vesk_memo_argument(PyObject* memo) {
    return memo == Py_None ? PyDict_New() : vesk_newref(memo);
}

PyObject* vesk_deepcopy_interaction(PyInteraction_Object* interaction, PyObject* memo) {
    PyObject* me = reinterpret_cast<PyObject*>(interaction);
    PyObject* found = vesk_memo_find(memo, me);
    if (found != nullptr || PyErr_Occurred()) {
        return found;
    }
    const int by_itself = vesk_reduces_by_itself(me, &PyInteraction_Type, true);
    if (by_itself != 0) {
        return by_itself < 0 ? nullptr : vesk_reduced_deepcopy(me, memo);
    }
    return copy_interaction(interaction, memo);
}
