// The InteractionState companion: a view of an interaction's state record.
// Attribute access is routed to the interaction's type, and the type's list
// of attribute names gives the dictionary form that parameters are saved and
// restored in.
#include "_vesk.h"

#include <cstring>

namespace {

// The interaction behind a companion, or null with RuntimeError when the
// interaction is gone (destroyed, or re-constructed with a new companion) or
// has no type.
PyInteraction_Object* interaction_of(PyObject* self) {
    PyInteraction_Object* interaction = reinterpret_cast<PyInteractionState_Object*>(self)->interaction;
    if (interaction == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "The interaction of this state no longer exists");
        return nullptr;
    }
    if (interaction->typeobj == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "The interaction of this state has not been initialized");
        return nullptr;
    }
    return interaction;
}

// The text of an attribute name; a name with an embedded NUL is never an
// attribute of any type, so it is refused rather than cut short.
const char* attribute_name(PyObject* attr) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(attr, &size);
    if (name == nullptr) {
        return nullptr;
    }
    if (std::strlen(name) != static_cast<size_t>(size)) {
        PyErr_Format(PyExc_AttributeError, "No such attribute '%s'", name);
        return nullptr;
    }
    return name;
}

// Marks an interaction as being changed for the life of a state write: the
// type's conversion of a value runs Python code, which could start a query
// on another thread between the check for a running query and the write;
// such a query is refused instead. The mark holds a reference, so code run
// meanwhile cannot destroy the interaction under the write.
class ChangeMark {
public:
    explicit ChangeMark(PyInteraction_Object* interaction) : interaction_(interaction) {
        Py_INCREF(interaction_);
        ++interaction_->changing;
    }
    ChangeMark(const ChangeMark&) = delete;
    ChangeMark& operator=(const ChangeMark&) = delete;
    ~ChangeMark() {
        --interaction_->changing;
        Py_DECREF(interaction_);
    }

private:
    PyInteraction_Object* interaction_;
};

bool has_attribute_list(const interaction_type_t* t) {
    return t->attributes != nullptr && t->attributes[0] != nullptr;
}

PyObject* PyInteractionState_GetAttr(PyObject* self, PyObject* attr) {
    const char* name = attribute_name(attr);
    if (name == nullptr) {
        return nullptr;
    }
    if (name[0] == '_') {
        return PyObject_GenericGetAttr(self, attr);
    }
    PyInteraction_Object* interaction = interaction_of(self);
    if (interaction == nullptr) {
        return nullptr;
    }
    if (interaction->typeobj->getattr == nullptr) {
        PyErr_Format(PyExc_AttributeError, "Interaction '%s' does not support attributes", interaction->type);
        return nullptr;
    }
    PyObject* value = interaction->typeobj->getattr(interaction, name);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_AttributeError, "No such attribute '%s'", name);
    }
    return value;
}

int PyInteractionState_SetAttr(PyObject* self, PyObject* attr, PyObject* value) {
    const char* name = attribute_name(attr);
    if (name == nullptr) {
        return -1;
    }
    if (name[0] == '_') {
        return PyObject_GenericSetAttr(self, attr, value);
    }
    PyInteraction_Object* interaction = interaction_of(self);
    if (interaction == nullptr) {
        return -1;
    }
    if (interaction->typeobj->setattr == nullptr) {
        PyErr_Format(PyExc_AttributeError, "Interaction '%s' does not support attributes", interaction->type);
        return -1;
    }
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "No such attribute '%s'", name);
        return -1;
    }
    if (interaction->busy) {
        PyErr_Format(PyExc_RuntimeError, "Cannot change interaction '%s' while a query on its graph runs",
                     interaction->type);
        return -1;
    }
    ChangeMark mark(interaction);
    if (interaction->typeobj->setattr(interaction, name, value) != 0) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_AttributeError, "No such attribute '%s'", name);
        }
        return -1;
    }
    return 0;
}

PyObject* PyInteractionState_todict(PyObject* self, PyObject*) {
    PyInteraction_Object* interaction = interaction_of(self);
    if (interaction == nullptr) {
        return nullptr;
    }
    PyRef dict(PyDict_New());
    if (!dict) {
        return nullptr;
    }
    const interaction_type_t* t = interaction->typeobj;
    if (!has_attribute_list(t) || t->getattr == nullptr) {
        return dict.release();
    }
    for (const char* const* name = t->attributes; *name != nullptr; ++name) {
        PyRef value(t->getattr(interaction, *name));
        if (!value) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_RuntimeError, "Interaction '%s' gives no value for its attribute '%s'",
                             interaction->type, *name);
            }
            return nullptr;
        }
        if (PyDict_SetItemString(dict.get(), *name, value.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

PyObject* PyInteractionState_get__dict__(PyObject* self, void*) {
    return PyInteractionState_todict(self, nullptr);
}

PyObject* PyInteractionState_fromdict(PyObject* self, PyObject* d) {
    PyInteraction_Object* interaction = interaction_of(self);
    if (interaction == nullptr) {
        return nullptr;
    }
    if (!PyDict_Check(d)) {
        PyErr_SetString(PyExc_ValueError, "Argument must be dict");
        return nullptr;
    }
    const interaction_type_t* t = interaction->typeobj;
    if (PyDict_Size(d) == 0 || !has_attribute_list(t) || t->setattr == nullptr) {
        Py_RETURN_NONE;
    }
    if (interaction->busy) {
        PyErr_Format(PyExc_RuntimeError, "Cannot change interaction '%s' while a query on its graph runs",
                     interaction->type);
        return nullptr;
    }
    ChangeMark mark(interaction);
    // Applied in the order of the type's list, not of the dictionary; no
    // rollback: attributes applied before a failure keep their new values.
    for (const char* const* name = t->attributes; *name != nullptr; ++name) {
        PyRef key(PyUnicode_FromString(*name));
        if (!key) {
            return nullptr;
        }
        PyObject* borrowed = PyDict_GetItemWithError(d, key.get());
        if (borrowed == nullptr) {
            if (PyErr_Occurred()) {
                return nullptr;
            }
            continue;
        }
        // Held for the call: converting the value may run code that changes d.
        PyRef value(vesk_newref(borrowed));
        if (t->setattr(interaction, *name, value.get()) != 0) {
            PyErr_Clear();
            PyErr_Format(PyExc_RuntimeError, "Interaction '%s' internal error setting attribute", interaction->type);
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

int PyInteractionState_init(PyObject*, PyObject*, PyObject*) {
    return 0;
}

void PyInteractionState_dealloc(PyObject* self) {
    // The back-pointer owns nothing.
    Py_TYPE(self)->tp_free(self);
}

PyMethodDef PyInteractionState_methods[] = {
    {"_to_dict", reinterpret_cast<PyCFunction>(PyInteractionState_todict), METH_NOARGS,
     "Get the state as a dict. This internal function is used for serialization of the interaction."},
    {"_from_dict", reinterpret_cast<PyCFunction>(PyInteractionState_fromdict), METH_O,
     "Update the state from a dict. This internal function is used for deserialization of an interaction."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PyInteractionState_getsetters[] = {
    {"__dict__", reinterpret_cast<getter>(PyInteractionState_get__dict__), nullptr,
     "Get properties of the interaction state", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject PyInteractionState_Type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "_vesk.InteractionState",                             // tp_name
    sizeof(PyInteractionState_Object),                    // tp_basicsize
    0,                                                    // tp_itemsize
    PyInteractionState_dealloc,                           // tp_dealloc
    0,                                                    // tp_vectorcall_offset
    nullptr,                                              // tp_getattr
    nullptr,                                              // tp_setattr
    nullptr,                                              // tp_as_async
    nullptr,                                              // tp_repr
    nullptr,                                              // tp_as_number
    nullptr,                                              // tp_as_sequence
    nullptr,                                              // tp_as_mapping
    nullptr,                                              // tp_hash
    nullptr,                                              // tp_call
    nullptr,                                              // tp_str
    PyInteractionState_GetAttr,                           // tp_getattro
    PyInteractionState_SetAttr,                           // tp_setattro
    nullptr,                                              // tp_as_buffer
    Py_TPFLAGS_DEFAULT,                                   // tp_flags
    "The InteractionState object encapsulates the state of a single Interaction\n\nThe actual properties of "
    "the state depends on the interaction. You may examine them using dir() or though the "
    "InteractionState.__dict__ property.\n",            // tp_doc
    nullptr,                                              // tp_traverse
    nullptr,                                              // tp_clear
    nullptr,                                              // tp_richcompare
    0,                                                    // tp_weaklistoffset
    nullptr,                                              // tp_iter
    nullptr,                                              // tp_iternext
    PyInteractionState_methods,                           // tp_methods
    nullptr,                                              // tp_members
    PyInteractionState_getsetters,                        // tp_getset
    nullptr,                                              // tp_base
    nullptr,                                              // tp_dict
    nullptr,                                              // tp_descr_get
    nullptr,                                              // tp_descr_set
    0,                                                    // tp_dictoffset
    PyInteractionState_init,                              // tp_init
    nullptr,                                              // tp_alloc
    nullptr,                                              // tp_new: not constructible from Python
    VESK_TYPE_RECORD_TAIL
};

PyObject* interactionstate_new(PyInteraction_Object* interaction) {
    PyInteractionState_Object* state = PyObject_New(PyInteractionState_Object, &PyInteractionState_Type);
    if (state == nullptr) {
        return nullptr;
    }
    state->interaction = interaction;
    return reinterpret_cast<PyObject*>(state);
}

PyObject* interactionstate_addtomodule(PyObject* m) {
    if (PyType_Ready(&PyInteractionState_Type) < 0) {
        return nullptr;
    }
    return m;
}
