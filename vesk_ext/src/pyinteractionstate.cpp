// The InteractionState companion: a view of an interaction's state record.
// Attribute access goes to the type's own operations or, for most types, to
// the description of its state record, which also gives the dictionary form
// that parameters are saved and restored in and the types' tooltips.
#include "_vesk.h"

#include <bit>
#include <iterator>
#include <string_view>

namespace {

// The interaction behind a companion, or null with RuntimeError when the
// interaction is gone (destroyed, or re-constructed with a new companion) or
// has no type.
PyInteraction_Object* interaction_of(PyObject* self) {
    PyInteraction_Object* interaction = reinterpret_cast<PyInteractionState_Object*>(self)->interaction;
    if (interaction == nullptr || interaction->typeobj == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, interaction == nullptr
                                                ? "The interaction of this state no longer exists"
                                                : "The interaction of this state has not been initialized");
        return nullptr;
    }
    return interaction;
}

// The text of an attribute name; a name with an embedded NUL is never an
// attribute of any type, so it is refused rather than cut short.
const char* attribute_name(PyObject* attr) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(attr, &size);
    if (name != nullptr && std::strlen(name) != static_cast<size_t>(size)) {
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
struct ChangeMark {
    PyRef held;  // released after the mark is lifted
    PyInteraction_Object* interaction;
    explicit ChangeMark(PyInteraction_Object* x) : held(vesk_newref(reinterpret_cast<PyObject*>(x))), interaction(x) {
        ++interaction->changing;
    }
    ~ChangeMark() { --interaction->changing; }
};

// Says why a value cannot be stored (the cause that a refusal names).
int refuse_value(PyInteraction_Object* interaction, const char* name, PyObject* value, PyObject* exc_type,
                 const char* why) {
    return vesk_raise_from_pending(exc_type, "cannot set '%s' of '%s' from a value of type '%.100s': %s", name,
                                   interaction->type, Py_TYPE(value)->tp_name, why);
}

// A value narrowed to float. Anything that is not a number (a str included,
// even one that spells a number) is refused, and so is a number whose
// conversion fails.
int number_to_float(PyInteraction_Object* interaction, const char* name, PyObject* value, float* out) {
    if (!PyNumber_Check(value)) {
        return refuse_value(interaction, name, value, PyExc_TypeError, "not a number");
    }
    PyRef as_float(PyNumber_Float(value));
    if (!as_float) {
        return refuse_value(interaction, name, value, PyExc_ValueError, "its conversion to float failed");
    }
    *out = vesk_narrow(PyFloat_AS_DOUBLE(as_float.get()));
    return 0;
}

// A type's attributes are those of its own operations or, without them,
// those of its state description.
bool has_attributes(const interaction_type_t* t, bool writing) {
    return (writing ? t->setattr != nullptr : t->getattr != nullptr) || t->description != nullptr;
}

// The attribute of this name in the type's description; null for any other
// name, internal fields included.
const state_field* described_attribute(const interaction_type_t* t, const char* name) {
    if (t->description == nullptr) {
        return nullptr;
    }
    for (const state_field& f : t->description->fields) {
        if (f.name != nullptr && f.attribute && std::string_view(f.name) == name) {
            return &f;
        }
    }
    return nullptr;
}

// A field of the state record, of its kind's type (float or int), laid
// over the buffer as the type's record is.
template <typename T>
T& field_of(PyInteraction_Object* interaction, const state_field& f) {
    return *reinterpret_cast<T*>(interaction->data + f.offset);
}

// A field's value: a float, or a bool for a flag.
PyObject* read_field(PyInteraction_Object* interaction, const state_field& f) {
    return f.kind == field_kind::number ? PyFloat_FromDouble(vesk_widen(field_of<float>(interaction, f)))
                                        : PyBool_FromLong(field_of<int>(interaction, f));
}

// 0 when the value is stored; -1 with an error that says why not.
int write_field(PyInteraction_Object* interaction, const state_field& f, PyObject* value) {
    if (f.kind == field_kind::number) {
        return number_to_float(interaction, f.name, value, &field_of<float>(interaction, f));
    }
    // Exactly a bool: a type test, not a truth test.
    if (!PyBool_Check(value)) {
        return refuse_value(interaction, f.name, value, PyExc_TypeError, "not a bool");
    }
    field_of<int>(interaction, f) = value == Py_True ? 1 : 0;
    return 0;
}

// An attribute's value, or null for a name the type does not have (with no
// error set, unless reading failed).
PyObject* read_attribute(PyInteraction_Object* interaction, const char* name) {
    const interaction_type_t* t = interaction->typeobj;
    if (t->getattr != nullptr) {
        return t->getattr(interaction, name);
    }
    const state_field* f = described_attribute(t, name);
    return f != nullptr ? read_field(interaction, *f) : nullptr;
}

// 0 when the value is stored (or a name the type does not have is
// accepted); non-zero otherwise, with or without an error that says why.
int write_attribute(PyInteraction_Object* interaction, const char* name, PyObject* value) {
    const interaction_type_t* t = interaction->typeobj;
    if (t->setattr != nullptr) {
        return t->setattr(interaction, name, value);
    }
    const state_field* f = described_attribute(t, name);
    if (f != nullptr) {
        return write_field(interaction, *f, value);
    }
    const unknown_names unknown = t->description->unknown;
    float number;
    const bool converted = unknown != unknown_names::refused && number_to_float(interaction, name, value, &number) == 0;
    return converted && unknown == unknown_names::converted_ignored ? 0 : -1;
}

// The interaction behind a companion whose attributes are read or written
// by a name not beginning with "_"; null with an error when the type has no
// attributes.
PyInteraction_Object* attribute_owner(PyObject* self, bool writing) {
    PyInteraction_Object* interaction = interaction_of(self);
    if (interaction != nullptr && !has_attributes(interaction->typeobj, writing)) {
        PyErr_Format(PyExc_AttributeError, "Interaction '%s' does not support attributes", interaction->type);
        return nullptr;
    }
    return interaction;
}

PyObject* PyInteractionState_GetAttr(PyObject* self, PyObject* attr) {
    const char* name = attribute_name(attr);
    if (name == nullptr || name[0] == '_') {
        return name == nullptr ? nullptr : PyObject_GenericGetAttr(self, attr);
    }
    PyInteraction_Object* interaction = attribute_owner(self, false);
    PyObject* value = interaction != nullptr ? read_attribute(interaction, name) : nullptr;
    return value != nullptr || PyErr_Occurred() ? value
                                                : PyErr_Format(PyExc_AttributeError, "No such attribute '%s'", name);
}

int PyInteractionState_SetAttr(PyObject* self, PyObject* attr, PyObject* value) {
    const char* name = attribute_name(attr);
    if (name == nullptr || name[0] == '_') {
        return name == nullptr ? -1 : PyObject_GenericSetAttr(self, attr, value);
    }
    // Deleting is refused as an unknown name, also while a query runs.
    PyInteraction_Object* interaction = attribute_owner(self, true);
    if (interaction == nullptr || (value != nullptr && vesk_refuse_while_busy(interaction) < 0)) {
        return -1;
    }
    if (value == nullptr) {
        return vesk_fail(PyExc_AttributeError, "No such attribute '%s'", name);
    }
    ChangeMark mark(interaction);
    if (write_attribute(interaction, name, value) == 0) {
        return 0;
    }
    // A type's own error stands; a refusal of a described type is worded
    // here, with its reason as the cause.
    return interaction->typeobj->setattr != nullptr && PyErr_Occurred()
               ? -1
               : vesk_raise_from_pending(PyExc_AttributeError, "No such attribute '%s'", name);
}

// Calls visit(name, field) for each value of a form, in order, until one
// gives non-zero; that result, or 0. The dictionary form holds the type's
// attributes: those of its own list or, without one, the attribute fields
// of its description. The saved form holds every field of the description,
// internal ones included, or, for a type without one, the listed attributes.
// The field is null for a listed attribute.
template <typename Visit>
int for_each_value(const interaction_type_t* t, bool saved, Visit visit) {
    int result = 0;
    const state_description* d = saved || t->attributes == nullptr ? t->description : nullptr;
    if (d == nullptr) {
        for (const char* const* name = t->attributes; result == 0 && name != nullptr && *name != nullptr; ++name) {
            result = visit(*name, nullptr);
        }
        return result;
    }
    for (const state_field& f : d->fields) {
        if (result == 0 && f.name != nullptr && (saved || f.attribute)) {
            result = visit(f.name, &f);
        }
    }
    return result;
}

// Also the getter of __dict__; a type without attributes gives an empty
// dictionary.
PyObject* PyInteractionState_todict(PyObject* self, void*) {
    PyInteraction_Object* interaction = interaction_of(self);
    return interaction != nullptr ? interactionstate_values(interaction, false) : nullptr;
}

PyObject* PyInteractionState_fromdict(PyObject* self, PyObject* d) {
    PyInteraction_Object* interaction = interaction_of(self);
    if (interaction == nullptr) {
        return nullptr;
    }
    if (!PyDict_Check(d)) {
        return PyErr_Format(PyExc_ValueError, "Argument must be dict");
    }
    if (PyDict_Size(d) == 0 || !has_attributes(interaction->typeobj, true)) {
        Py_RETURN_NONE;
    }
    if (vesk_refuse_while_busy(interaction) < 0) {
        return nullptr;
    }
    ChangeMark mark(interaction);
    // Applied in the order of the type's list, not of the dictionary; no
    // rollback: attributes applied before a failure keep their new values.
    const int failed = for_each_value(interaction->typeobj, false, [&](const char* name, const state_field*) {
        PyRef key(PyUnicode_FromString(name));
        PyObject* borrowed = key ? PyDict_GetItemWithError(d, key.get()) : nullptr;
        if (borrowed == nullptr) {
            return PyErr_Occurred() ? -1 : 0;
        }
        // Held for the call: converting the value may run code that changes d.
        PyRef value(vesk_newref(borrowed));
        if (write_attribute(interaction, name, value.get()) != 0) {
            return vesk_raise_from_pending(PyExc_RuntimeError, "Interaction '%s' internal error setting attribute",
                                           interaction->type);
        }
        return 0;
    });
    return failed ? nullptr : vesk_newref(Py_None);
}

PyMethodDef PyInteractionState_methods[] = {
    {"_to_dict", reinterpret_cast<PyCFunction>(PyInteractionState_todict), METH_NOARGS,
     VESK_SIGNED("_to_dict($self, /)",
                 "Get the state as a dict. This internal function is used for serialization of the interaction.")},
    {"_from_dict", reinterpret_cast<PyCFunction>(PyInteractionState_fromdict), METH_O,
     VESK_SIGNED("_from_dict($self, d, /)",
                 "Update the state from a dict. This internal function is used for deserialization of an "
                 "interaction.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PyInteractionState_getsetters[] = {
    {"__dict__", PyInteractionState_todict, nullptr, "Get properties of the interaction state", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// clang-format off
PyTypeObject PyInteractionState_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_vesk.InteractionState",
    .tp_basicsize = sizeof(PyInteractionState_Object),
    // The inherited tp_dealloc frees the record: the back-pointer owns nothing.
    .tp_getattro = PyInteractionState_GetAttr,
    .tp_setattro = PyInteractionState_SetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "The InteractionState object encapsulates the state of a single Interaction\n\nThe actual properties "
              "of the state depends on the interaction. You may examine them using dir() or though the "
              "InteractionState.__dict__ property.\n",
    .tp_methods = PyInteractionState_methods,
    .tp_getset = PyInteractionState_getsetters,
    // No tp_new: not constructible from Python.
};
// clang-format on

int vesk_raise_from_pending(PyObject* exc_type, const char* format, ...) {
    if (PyErr_Occurred() != nullptr && !vesk_error_is_refusable()) {
        return -1;
    }
    PyObject *type = nullptr, *cause = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &cause, &traceback);
    // Normalised while no error is pending: it may run the class's code.
    PyErr_NormalizeException(&type, &cause, &traceback);
    if (traceback != nullptr) {
        PyException_SetTraceback(cause, traceback);
    }
    // The cause keeps its class and its traceback.
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    va_list args;
    va_start(args, format);
    PyErr_FormatV(exc_type, format, args);
    va_end(args);
    if (cause != nullptr) {
        PyObject* value = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        PyException_SetCause(value, cause);  // takes the reference
        PyErr_Restore(type, value, traceback);
    }
    return -1;
}

PyObject* interactionstate_values(PyInteraction_Object* interaction, bool saved) {
    PyRef values(saved ? PyList_New(0) : PyDict_New());
    if (!values) {
        return nullptr;
    }
    const int failed = for_each_value(interaction->typeobj, saved, [&](const char* name, const state_field* f) {
        PyRef value(saved && f != nullptr ? read_field(interaction, *f) : read_attribute(interaction, name));
        if (!value) {
            return PyErr_Occurred()
                       ? -1
                       : vesk_fail(PyExc_RuntimeError, "Interaction '%s' gives no value for its attribute '%s'",
                                   interaction->type, name);
        }
        return saved ? PyList_Append(values.get(), value.get()) : PyDict_SetItemString(values.get(), name, value.get());
    });
    return failed ? nullptr : (saved ? PyList_AsTuple(values.get()) : values.release());
}

int interactionstate_restore(PyInteraction_Object* interaction, PyObject* saved) {
    const interaction_type_t* t = interaction->typeobj;
    Py_ssize_t count = 0;
    for_each_value(t, true, [&](const char*, const state_field*) { return ++count, 0; });
    if (!PyTuple_Check(saved) || PyTuple_GET_SIZE(saved) != count) {
        return vesk_fail(PyExc_ValueError, "The saved state of a '%s' interaction must be a tuple of %zd values",
                         interaction->type, count);
    }
    ChangeMark mark(interaction);
    Py_ssize_t i = 0;
    return for_each_value(t, true, [&](const char* name, const state_field* f) {
        PyObject* value = PyTuple_GET_ITEM(saved, i++);
        const auto restore = t->restore_attribute != nullptr ? t->restore_attribute : t->setattr;
        if ((f != nullptr ? write_field(interaction, *f, value) : restore(interaction, name, value)) == 0) {
            return 0;
        }
        return vesk_raise_from_pending(PyExc_ValueError,
                                       "Cannot restore '%s' of a '%s' interaction from its saved state", name,
                                       interaction->type);
    });
}

PyObject* interactionstate_pack(PyInteraction_Object* interaction, saved_words& words) {
    Py_ssize_t count = 0;
    for_each_value(interaction->typeobj, true, [&](const char*, const state_field* f) { return count += !f, 0; });
    PyRef objects(PyTuple_New(count));
    if (!objects) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    const int failed = for_each_value(interaction->typeobj, true, [&](const char* name, const state_field* f) {
        if (f != nullptr) {
            // A flag's int as it is: its word reads back only as 0 or 1.
            words.put(f->kind == field_kind::number ? std::bit_cast<uint32_t>(field_of<float>(interaction, *f))
                                                    : static_cast<uint32_t>(field_of<int>(interaction, *f)),
                      4);
            return 0;
        }
        PyRef value(read_attribute(interaction, name));
        if (!value) {
            return PyErr_Occurred()
                       ? -1
                       : vesk_fail(PyExc_RuntimeError, "Interaction '%s' gives no value for its attribute '%s'",
                                   interaction->type, name);
        }
        PyTuple_SET_ITEM(objects.get(), i++, value.release());
        return 0;
    });
    return failed ? nullptr : objects.release();
}

int interactionstate_unpack(PyInteraction_Object* interaction, saved_words& words, PyObject* objects) {
    const interaction_type_t* t = interaction->typeobj;
    Py_ssize_t count = 0;
    size_t fields = 0;
    for_each_value(t, true, [&](const char*, const state_field* f) { return f != nullptr ? ++fields : ++count, 0; });
    if (!PyTuple_Check(objects) || PyTuple_GET_SIZE(objects) != count || words.left != 4 * fields) {
        return vesk_fail(PyExc_ValueError, "The saved state of a '%s' interaction must be %zu numbers and %zd values",
                         interaction->type, fields, count);
    }
    ChangeMark mark(interaction);
    Py_ssize_t i = 0;
    return for_each_value(t, true, [&](const char* name, const state_field* f) {
        if (f != nullptr && f->kind == field_kind::number) {
            field_of<float>(interaction, *f) = words.take_float();
            return 0;
        }
        if (f != nullptr) {
            const int flag = words.take_int();
            if (flag != 0 && flag != 1) {
                return vesk_fail(PyExc_ValueError, "Cannot restore '%s' of a '%s' interaction from its saved state",
                                 name, interaction->type);
            }
            field_of<int>(interaction, *f) = flag;
            return 0;
        }
        PyObject* value = PyTuple_GET_ITEM(objects, i++);
        const auto restore = t->restore_attribute != nullptr ? t->restore_attribute : t->setattr;
        return restore(interaction, name, value) == 0
                   ? 0
                   : vesk_raise_from_pending(PyExc_ValueError,
                                             "Cannot restore '%s' of a '%s' interaction from its saved state", name,
                                             interaction->type);
    });
}

const char* interaction_tooltip(PyInteraction_Object* interaction) {
    // Shared by the tooltips of every described type; valid until the next call.
    static char tooltip_buffer[128];
    const interaction_type_t* t = interaction->typeobj;
    if (t->get_tooltip != nullptr) {
        return t->get_tooltip(interaction);
    }
    const state_description* d = t->description;
    if (d == nullptr || d->tooltip.format == nullptr) {
        return nullptr;
    }
    const bool one_source = interaction->sourcecount == 1 && d->one_source_tooltip.format != nullptr;
    const tooltip_form& form = one_source ? d->one_source_tooltip : d->tooltip;
    // The named fields are number attributes of the description.
    double values[std::size(form.fields)] = {};
    for (size_t i = 0; i < std::size(form.fields) && form.fields[i] != nullptr; ++i) {
        values[i] = field_of<float>(interaction, *described_attribute(t, form.fields[i]));
    }
    // Huge values are cut at the buffer's end.
    std::snprintf(tooltip_buffer, sizeof tooltip_buffer, form.format, values[0], values[1], values[2], values[3]);
    return tooltip_buffer;
}

// The companion type is readied, not added: Python code cannot construct one.
PyObject* interactionstate_addtomodule(PyObject* m) {
    return PyType_Ready(&PyInteractionState_Type) < 0 ? nullptr : m;
}
