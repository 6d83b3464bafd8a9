// Shared declarations of the _vesk extension: the operation table of an
// interaction type and its registry, the graph and interaction records, the
// engine accessors used by the types, the losses and the Adam step.
//
// Every float operation is written in the order and precision its result is
// defined by, so that a trained graph is the same to the bit on every build
// and in every path (sample by sample, in blocks, in vector lanes): the build
// forbids contracting a multiply and an add into one rounding, fast-math and
// any reassociation, and code must not reorder or widen an operation either.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// numpy's function table is bound once, in _vesk.cpp; every other source
// sees the same table through this symbol.
#define PY_ARRAY_UNIQUE_SYMBOL vesk_ARRAY_API
#ifndef VESK_BINDS_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// With numpy 2's headers, one build serves numpy 1.x and 2.x: only the
// interface of numpy 1.19 is used.
#define NPY_TARGET_VERSION NPY_1_19_API_VERSION
#include <numpy/arrayobject.h>
#if NPY_ABI_VERSION < 0x2000000
// numpy 1.x's headers (Python 3.8 builds) lack numpy 2's name for this.
static inline npy_intp PyDataType_ELSIZE(const PyArray_Descr* descr) {
    return descr->elsize;
}
#endif

#include <math.h>
#include "float_math.h"
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

// Static records (types, modules, the registry's entries) name only the
// slots they fill, with designated initialisers; the others stay empty.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

struct PyGraph_Object;
struct PyInteraction_Object;

// Index of a slot of a graph; -1 means none.
typedef int graphlocation_t;

// Derivative of a loss with respect to the prediction: (y_true, y_pred).
typedef float (*loss_func)(float y_true, float y_pred);

// One node's step of a per-sample pass (see pass_step).
struct pass_step;
typedef int (*step_operation)(const pass_step* step, float carried);

// ---------------------------------------------------------------------------
// State descriptions: the fields of a type's state record, which drive its
// attributes, its dictionary form and its tooltips (pyinteractionstate.cpp).

// How a field keeps its value, and what an attribute of it takes.
enum class field_kind : unsigned char {
    number,  // a float; any number, narrowed to float
    flag,    // an int 0 or 1; exactly a bool
};

// One field of a state record. Attributes are the parameters that Python
// reads and writes by name and the dictionary form carries, in the order
// listed; the other fields are internal (Adam moments, the learning rate),
// listed so that the whole state can be walked.
struct state_field {
    const char* name;  // null ends a list
    size_t offset;
    field_kind kind;
    bool attribute;
};
// clang-format off
#define VESK_ATTRIBUTE(record, field, kind) state_field{#field, offsetof(record, field), field_kind::kind, true}
#define VESK_INTERNAL_AS(name, record, field, kind) state_field{name, offsetof(record, field), field_kind::kind, false}
// clang-format on

// What an assignment to a name that is not an attribute does.
enum class unknown_names : unsigned char {
    refused,             // refused, the value untouched
    converted_refused,   // the value is converted as a number first, then refused
    converted_ignored,   // the value is converted as a number first; nothing is stored
};

// A tooltip text: "%.2f" conversions of the named fields, in order.
struct tooltip_form {
    const char* format;  // null: no tooltip of this form
    const char* fields[4];
};

struct state_description {
    state_field fields[12] = {};
    unknown_names unknown = unknown_names::refused;
    // The text for an interaction with one source (none: as for any other
    // count), and for any other count (none: the type has no tooltip).
    tooltip_form one_source_tooltip = {};
    tooltip_form tooltip = {};
};

// The operations of one interaction type. Records are static data of their
// type's source and live as long as the process; required slots are called
// without a check. initialize, required, lays the type's state record.
typedef struct interaction_type {
    const char* type_name = nullptr;
    int (*initialize)(PyInteraction_Object* interaction) = nullptr;
    const char* const* attributes = nullptr;
    int (*setattr)(PyInteraction_Object* interaction, const char* name, PyObject* value) = nullptr;
    PyObject* (*getattr)(PyInteraction_Object* interaction, const char* name) = nullptr;
    const char* (*get_tooltip)(PyInteraction_Object* interaction) = nullptr;
    void (*deallocate)(PyInteraction_Object* interaction) = nullptr;
    int (*set_inputarray)(PyInteraction_Object* interaction, PyObject* py_array) = nullptr;
    int (*set_expectedarray)(PyInteraction_Object* interaction, PyObject* py_array) = nullptr;
    int (*create_outputarray)(PyInteraction_Object* interaction, int64_t sz) = nullptr;
    int (*set_loss)(PyInteraction_Object* interaction, PyObject* py_loss_name) = nullptr;
    PyObject* (*get_outputarray)(PyInteraction_Object* interaction) = nullptr;
    // The steps of the per-sample passes (see pass_step), by the number of
    // sources the node reads (0 for an input register). They say which
    // sources the type reads: with forms for one and for two, the second
    // while sourcecount is 2; the query checks every source read before the
    // sample loop, so the steps read them without checks. forward[n][c]
    // takes the activation of its source c (1 or 2, the node of the step
    // before) as carried, 0 neither. reverse[n][c] hands on the gradient of its
    // source c (1 or 2), the node of the step after, 0 for neither;
    // reverse[n][3], where given, passes no gradient to its sources, for a
    // node whose sources take none. Null: nothing to do in the reverse pass.
    step_operation forward[3][3] = {};
    step_operation reverse[3][4] = {};
    // Prediction over a block of samples, one node at a time: reads the
    // sources' values of the block's n samples from in0 and in1 (null when
    // not read), writes the node's own to out, advances as n single-sample
    // forward steps would and leaves activation[0] at the last sample's
    // value. Each value is computed by the same operations, in the same
    // order, as by the forward step. Runs without the interpreter lock and cannot
    // fail: block_ready has vouched for the block. Null: the type has none,
    // and a prediction query runs sample by sample.
    void (*forward_block)(PyInteraction_Object* interaction, const float* in0, const float* in1, float* out,
                          int n) = nullptr;
    // Whether the next n samples can run as a block: false where the forward
    // step would raise for one of them, so that the samples go one at a time and
    // the error comes at its sample. Null: always.
    bool (*block_ready)(PyInteraction_Object* interaction, int n) = nullptr;
    // The state record's fields. A type with a description needs no
    // attributes, getattr, setattr or get_tooltip of its own: its attributes
    // and tooltip follow from the description (a filled slot comes first).
    const state_description* description = nullptr;
    // The node's name is its register's name, the key of its column.
    bool is_register = false;
    // Draws the initial parameters from rand(), after initialize has laid
    // the record: a new interaction only, since a restored one takes its
    // parameters from its saved state. Null: nothing is drawn.
    void (*draw_parameters)(PyInteraction_Object* interaction) = nullptr;
    // Sets an attribute to a value its getattr gave, so that the state reads
    // back exactly as it did when saved (the categories in their listing
    // order). Null: setattr does.
    int (*restore_attribute)(PyInteraction_Object* interaction, const char* name, PyObject* value) = nullptr;
    // Visits the Python objects the state record owns, for cycle collection.
    int (*traverse)(PyInteraction_Object* interaction, visitproc visit, void* arg) = nullptr;
    // Whether the columns the node holds for a query of `samples` samples
    // are still the arrays it took, as it took them: data, length, strides
    // and dtype. Python code that runs while a query is set up or between
    // its chunks (a signal handler, a key's hash, a mask hook) can reshape an
    // array or free its data. 0, or -1 with an exception that refuses the
    // query. Null: the node holds no column.
    int (*check_columns)(PyInteraction_Object* interaction, int64_t samples) = nullptr;
    // Ends what a query's set-up left pending (the ranges its columns widen,
    // the categories it created): kept as the first sample starts, or
    // dropped when the query is refused before it, so that a refused query
    // changes nothing. Called once per slot, after the query let go of its
    // columns when it drops. Null: nothing is ever pending.
    void (*settle)(PyInteraction_Object* interaction, bool keep) = nullptr;
    // The forms of the node's reverse step where they depend on its state,
    // given the sources it reads; null for the row of `reverse` (see there).
    // Chosen when the steps are laid out, before the first sample; a row
    // given has forms where the row of `reverse` has them.
    const step_operation* (*reverse_by_state)(const PyInteraction_Object* interaction, int sources) = nullptr;
    // Copies the state of `original` into the record of `copy`, which
    // initialize has just laid, for a deep copy: the objects the record holds
    // go through vesk_deepcopy_value with memo. Runs Python code only there,
    // after it has read everything it needs of the original. 0, or -1 with
    // an exception. Null: the record holds plain values, and its bytes are
    // copied.
    int (*copy_state)(PyInteraction_Object* copy, PyInteraction_Object* original, PyObject* memo) = nullptr;
    // The type's name as a str, made the first time an interaction of the
    // type is pickled and kept for the life of the process, so that every
    // interaction of the type pickles the same object; types leave it empty.
    PyObject* name_object = nullptr;
    // The registry's link; types leave it empty in their record.
    struct interaction_type* next = nullptr;
} interaction_type_t;

// The registry of types, filled once at start-up and read-only afterwards.
int vesk_add_interactiontype(interaction_type_t* typeobj);
interaction_type_t* vesk_find_interactiontype(const char* type_name);

#define VESK_STATE_SIZE 100

// The most samples one query takes, a count that fits a 32-bit int; rows
// are still counted in 64 bits throughout.
constexpr int64_t vesk_max_samples = INT32_MAX;

struct PyInteraction_Object {
    PyObject_HEAD
    PyObject* linkdata;          // owned or null
    PyObject* state;             // owned companion InteractionState, or null
    char type[16];
    interaction_type_t* typeobj; // static record, not owned; null before construction
    int errcode;
    int latticeloc[3];
    int gluamine;
    char name[128];
    PyGraph_Object* graph;       // plain back-pointer, cleared by the graph on release
    graphlocation_t location;
    int sourcecount;
    graphlocation_t sources[2];
    PyObject* loss;              // owned or null
    float activation[1];
    loss_func loss_dv_f;
    // The type's state record is laid over this buffer; records hold
    // pointers and doubles.
    alignas(8) char data[VESK_STATE_SIZE];
    // Number of queries running on graphs that hold this interaction (0 or 1).
    int busy;
    // Non-zero while a change of its state runs code that may start a query
    // (a value's conversion); queries refuse the interaction meanwhile.
    int changing;
    // Owned: its name as a str, the key of its column in a query's X, made
    // once when it is bound (its hash is then kept too); null until then.
    PyObject* column_key;
};

struct PyInteractionState_Object {
    PyObject_HEAD
    // Plain back-pointer; the interaction clears it when it is destroyed.
    PyInteraction_Object* interaction;
};

struct PyGraph_Object {
    PyObject_HEAD
    PyThreadState* _threadstate; // saved while the sample loop runs without the lock
    int64_t samples;             // training passes over the graph's life
    int latest_batchsize;
    int size;
    PyInteraction_Object** interactions;
    // Non-zero while a query on this graph runs.
    int running;
};

// A docstring that starts with the signature Python shows for the function
// (its __text_signature__); __doc__ is the text after it.
#define VESK_SIGNED(signature, text) signature "\n--\n\n" text

// Sets exc_type with the formatted message; always -1, for the functions
// that fail so (those that return an object return PyErr_Format's null).
inline int vesk_fail(PyObject* exc_type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(exc_type, format, args);
    va_end(args);
    return -1;
}

// Refuses a column that Python code changed while a query was reading it
// (`what`, "input" or "expected", of the register `name`); always -1.
inline int vesk_refuse_changed_column(const char* what, const char* name) {
    return vesk_fail(PyExc_RuntimeError, "The %s array of register '%s' changed while the query was reading it", what,
                     name);
}

// Adds a one-line hint to the pending exception, as a note (Python 3.11 and
// later; before, the message shows alone): for refusals of common first
// mistakes that have an obvious fix. Always -1.
inline int vesk_hint(const char* hint) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* added = value != nullptr ? PyObject_CallMethod(value, "add_note", "s", hint) : nullptr;
    if (added == nullptr) {
        PyErr_Clear();  // the refusal goes out without its hint
    }
    Py_XDECREF(added);
    PyErr_Restore(type, value, traceback);
#else
    (void)hint;
#endif
    return -1;
}

// Whether a value is a table's column rather than an array: pandas' Series,
// DataFrame and extension arrays have to_numpy. Runs its getattr.
inline bool vesk_is_table_column(PyObject* value) {
    return !PyArray_Check(value) && PyObject_HasAttrString(value, "to_numpy");
}
constexpr const char* vesk_to_numpy_hint = "hint: pass the column as a numpy array, as its .to_numpy() gives it";

// Sets MemoryError; always -1, as vesk_fail.
inline int vesk_no_memory() {
    PyErr_NoMemory();
    return -1;
}

extern PyTypeObject PyGraph_Type;
extern PyTypeObject PyInteraction_Type;
extern PyTypeObject PyInteractionState_Type;

// Readies a type with the generic tp_new and adds it to the module under
// `name`; m, or null with an exception set.
inline PyObject* vesk_add_type(PyObject* m, PyTypeObject* type, const char* name) {
    type->tp_new = PyType_GenericNew;
    if (PyType_Ready(type) < 0) {
        return nullptr;
    }
    Py_INCREF(type);
    if (PyModule_AddObject(m, name, reinterpret_cast<PyObject*>(type)) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    return m;
}

// Calls f with the interaction of every filled slot, in slot order.
template <typename F>
inline void for_each_node(const PyGraph_Object* graph, F f) {
    for (int i = 0; i < graph->size; ++i) {
        if (PyInteraction_Object* x = graph->interactions[i]) {
            f(x);
        }
    }
}

// Runs a query (Graph._query, its arguments parsed): the predictions, or
// null with an exception.
PyObject* graph_query(PyGraph_Object* graph, PyObject* xarray, PyObject* yarray);

PyObject* graph_addtomodule(PyObject* m);
PyObject* interaction_addtomodule(PyObject* m);
PyObject* interactionstate_addtomodule(PyObject* m);

// A change of an interaction is refused while a query on its graph runs.
inline int vesk_refuse_while_busy(const PyInteraction_Object* interaction) {
    return interaction->busy
               ? vesk_fail(PyExc_RuntimeError, "Cannot change interaction '%s' while a query on its graph runs",
                           interaction->type)
               : 0;
}

// The values of the state record in one of its forms, or null with an
// exception when a value cannot be read. The saved form (saved) is a tuple
// of plain values: every field of the type's description, internal ones
// included, or every attribute of a type without one. The dictionary form
// is a dict of the attributes by name.
PyObject* interactionstate_values(PyInteraction_Object* interaction, bool saved);
// Writes a tuple of the saved form into a record that the
// type's initialize has just laid; -1 with an exception naming the value
// that does not fit.
int interactionstate_restore(PyInteraction_Object* interaction, PyObject* saved);

// The versions of the saved forms of interactions and graphs (the values of
// their __getstate__), the forms' first item. Every version from 1 on loads.
constexpr int vesk_interaction_form = 1;
constexpr int vesk_graph_form = 2;  // 1 lacks the slot attributes of subclasses
// The compact forms that pickling saves (__reduce_ex__): the numbers in one
// bytes object, the Python objects beside it.
constexpr int vesk_interaction_compact_form = 2;
constexpr int vesk_graph_compact_form = 3;

// The numbers of a compact form: 4- and 8-byte words, little-endian on every
// machine, written into and read from a fixed buffer in order.
struct saved_words {
    unsigned char* at;
    size_t left;
    bool ok = true;  // false once a word did not fit

    void put(uint64_t v, size_t width) {
        ok = ok && left >= width;
        for (size_t k = 0; ok && k < width; ++k) {
            *at++ = static_cast<unsigned char>(v >> (8 * k));
        }
        left -= ok ? width : 0;
    }
    uint64_t take(size_t width) {
        uint64_t v = 0;
        ok = ok && left >= width;
        for (size_t k = 0; ok && k < width; ++k) {
            v |= static_cast<uint64_t>(*at++) << (8 * k);
        }
        left -= ok ? width : 0;
        return v;
    }
    void put_int(int v) { put(static_cast<uint32_t>(v), 4); }
    int take_int() { return static_cast<int>(static_cast<uint32_t>(take(4))); }
    void put_float(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        put(bits, 4);
    }
    float take_float() {
        const auto bits = static_cast<uint32_t>(take(4));
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
};

// The most numbers of a state record in a compact form: a word for each
// field a description can list.
constexpr size_t vesk_state_words_max = sizeof(state_description::fields) / sizeof(state_field);
// Appends the state record's numbers to `words` (a word for each field of
// the type's description, internal ones included, as saved) and returns the
// values of the attributes that are no fields (the categories) as a tuple,
// in the type's order; null with an exception.
PyObject* interactionstate_pack(PyInteraction_Object* interaction, saved_words& words);
// Restores what interactionstate_pack gave into a record that initialize has
// just laid, reading the numbers from `words`, which must then be used up;
// -1 with ValueError when they or the objects do not fit.
int interactionstate_unpack(PyInteraction_Object* interaction, saved_words& words, PyObject* objects);

// Deep copies (__deepcopy__) follow copy.deepcopy's rules with its memo, a
// dict from id(original) to copy.
// A value for a deep copy: the value itself when it is immutable (None, and
// exactly a str, bytes, int, float or bool, or a tuple of these), otherwise
// copy.deepcopy(value, memo). A new reference, or null with an exception.
PyObject* vesk_deepcopy_value(PyObject* value, PyObject* memo);
// The copy that memo holds for `original` (a new reference); null, with an
// exception set only when the look-up failed, when it holds none.
PyObject* vesk_memo_find(PyObject* memo, PyObject* original);
// Files `copy` under the original in memo and keeps the original alive in the
// memo's list, as copy.deepcopy does; -1 with an exception.
int vesk_memoize(PyObject* memo, PyObject* original, PyObject* copy);
// Whether an object of a subclass of `base` must go the interpreter's own way
// when it is pickled or copied: 1 when its class overrides a method of the
// reduction (__reduce__, __reduce_ex__, __getstate__, __setstate__,
// __getnewargs__, __getnewargs_ex__) or, for copying, when copyreg's dispatch
// table has a reducer for it; 0 otherwise, -1 with an exception.
int vesk_reduces_by_itself(PyObject* self, PyTypeObject* base, bool copying);
// copy.deepcopy's way without __deepcopy__: the registered reducer or
// __reduce_ex__(4), then copy's reconstruction; the copy is memoised.
PyObject* vesk_reduced_deepcopy(PyObject* self, PyObject* memo);
// object.__reduce_ex__(protocol) of the object, the interpreter's own reduction.
PyObject* vesk_object_reduce(PyObject* self, PyObject* protocol);
// (copyreg.__newobj__, (type(self),), state), which pickles as a new object
// of its type and a call of its __setstate__ with state.
PyObject* vesk_reduction(PyObject* self, PyObject* state);
// The memo argument of a __deepcopy__: memo itself, or a new dict for None;
// a new reference, or null with TypeError for anything else.
PyObject* vesk_memo_argument(PyObject* memo);
// The deep copy of an interaction: the one memo holds, or a new one, which
// memo then holds.
PyObject* vesk_deepcopy_interaction(PyInteraction_Object* interaction, PyObject* memo);
// The version of a saved form, when it is one from 1 to `newest`; -1 with
// TypeError or ValueError naming the problem otherwise. `what` names the type.
int vesk_saved_version(PyObject* saved, const char* what, int newest);
// Parses the items of a saved form after its version by a PyArg format; -1
// with ValueError naming a damaged form otherwise.
int vesk_parse_saved(PyObject* saved, const char* what, const char* format, ...);

// Raises exc_type with the formatted message, with the pending error (if
// any) as its cause; an interrupt, an exit or a failed allocation that is
// pending is never replaced. Always -1.
int vesk_raise_from_pending(PyObject* exc_type, const char* format, ...);

// The tooltip text of an interaction: its type's own, or the form its state
// description gives for its number of sources; null when there is neither.
// The text may live in a buffer that the next call reuses.
const char* interaction_tooltip(PyInteraction_Object* interaction);

// The type's state record laid over an interaction's buffer.
template <typename T>
inline T* interaction_state(PyInteraction_Object* interaction) {
    static_assert(sizeof(T) <= VESK_STATE_SIZE, "state record exceeds the node buffer");
    static_assert(alignof(T) <= 8, "state record needs more alignment than the node buffer has");
    return reinterpret_cast<T*>(interaction->data);
}

// Raises an exception from inside the sample loop, where the interpreter lock
// is released: takes the lock for the moment of setting the error, through
// the thread state the query saved in the graph.
// Kept out of line: the sample loop's operations call it only to fail.
[[gnu::cold, gnu::noinline]] void graph_raise_in_pass(PyGraph_Object* g, PyObject* exc_type, const char* format,
                                                      const char* arg);

// Losses: the default one, which a numeric register starts with, and the
// lookup of one by its name.
float mean_squared_error(float y_true, float y_pred);
int set_loss_function_from_string(const char* function_name, loss_func* function);

// ---------------------------------------------------------------------------
// Shared by the trainable types

// The initialize of a trainable type: lays its record S over the
// interaction's buffer, zero-filled but for the learning rate lr; the type's
// draw_parameters then draws the parameters of a new interaction. The rate
// is S::lr_base / ln(gluamine + 2), the logarithm in single precision, the
// quotient in double, rounded once; the sum is taken in 64 bits so that the
// largest gluamine values do not wrap to a negative number (and a NaN rate).
// A negative gluamine, which would give an infinite or non-positive rate, is
// refused with ValueError before the type draws anything, so a refused
// construction leaves rand()'s sequence where it was.
template <typename S>
int initialize_trainable(PyInteraction_Object* interaction) {
    if (interaction->gluamine < 0) {
        return vesk_fail(PyExc_ValueError, "gluamine must not be negative (got %i)", interaction->gluamine);
    }
    S* st = interaction_state<S>(interaction);
    std::memset(st, 0, sizeof *st);
    const float shifted = static_cast<float>(static_cast<long long>(interaction->gluamine) + 2);
    st->lr = static_cast<float>(S::lr_base / static_cast<double>(logf(shifted)));
    return 0;
}

// A rand() draw as a unit value: the conversion to float rounds the largest
// draws up to 2^31, so 1 itself can come out.
inline float vesk_unit_draw() {
    return static_cast<float>(std::rand()) * 0x1p-31f;
}

// Four floats side by side. Arithmetic on them works lane by lane, each lane
// rounding exactly as the same operation on one float; the block loops below
// apply one generic operation to both, so lanes and the scalar tail agree.
typedef float float_lanes __attribute__((vector_size(16)));

inline float_lanes load_lanes(const float* p) {
    float_lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store_lanes(float* p, float_lanes v) {
    std::memcpy(p, &v, sizeof v);
}

// Whether any lane of a comparison's result is true.
inline bool any_lane(decltype(float_lanes{} < float_lanes{}) mask) {
#if defined(__SSE2__)
    return _mm_movemask_ps(reinterpret_cast<__m128>(mask)) != 0;
#else
    return (mask[0] | mask[1] | mask[2] | mask[3]) != 0;
#endif
}

// out[j] = op(in[j]...) for every j in [0, n), over one or two rows in,
// four at a time, then one at a time. op takes and returns either floats or
// float_lanes. out may be a row in itself (each group is read before it is
// written), not an overlapping shift of one.
template <typename Op, typename... Row>
inline void block_map(int n, float* out, Op op, Row... in) {
    int j = 0;
    for (; j + 4 <= n; j += 4) {
        store_lanes(out + j, op(load_lanes(in + j)...));
    }
    for (; j < n; ++j) {
        out[j] = op(in[j]...);
    }
}

// The float function a type applies last to a value, which the module owns
// (float_math.h): its scalar form for one sample, its lane form, in place,
// for a block. Both give the same bits.
enum class last_function { none, tanh, exp };

// Inlined into the steps, the forward steps of "tanh" included.
template <last_function F>
[[gnu::always_inline]] inline float apply_last(float v) {
    if constexpr (F == last_function::tanh) {
        return vesk::math::tanhf(v);
    } else if constexpr (F == last_function::exp) {
        return vesk::math::chosen_forms.expf(v);
    } else {
        return v;
    }
}

template <last_function F>
inline void apply_last_block(float* v, int n) {
    if constexpr (F == last_function::tanh) {
        vesk::math::chosen_forms.tanhf_block(v, n);
    } else if constexpr (F == last_function::exp) {
        vesk::math::chosen_forms.expf_block(v, n);
    }
}

// A Kind's last function: its `function`, or none.
template <typename Kind>
constexpr last_function last_function_of() {
    if constexpr (requires { Kind::function; }) {
        return Kind::function;
    } else {
        return last_function::none;
    }
}

// ---------------------------------------------------------------------------
// The Adam step: the moments of a parameter, and the step that folds in one
// gradient, in units of the caller's learning rate; the trainable types step
// their parameters side by side in vector lanes.

namespace vesk::adam_detail {
constexpr float b1 = 0.9f;
constexpr float b2 = 0.999f;
// The complements are formed in single precision (0x3DCCCCD0 and
// 0x3A831200), not taken as the decimal values 0.1 and 0.001.
constexpr float one_minus_b1 = 1.0f - b1;
constexpr float one_minus_b2 = 1.0f - b2;
constexpr double epsilon = 1e-6;
// The bias corrections stop abruptly at these sample counts rather than
// fading out, so steps jump at samples 20 and 1000.
constexpr int m1_correction_limit = 20;
constexpr int m2_correction_limit = 1000;

// The correctly rounded root of each lane, as sqrtf gives it. A moment is
// never negative, so the instruction alone will do, without the library's
// errno path.
inline float_lanes moment_root(float_lanes v) {
#if defined(__SSE2__)
    return _mm_sqrt_ps(v);
#else
    return float_lanes{sqrtf(v[0]), sqrtf(v[1]), sqrtf(v[2]), sqrtf(v[3])};
#endif
}

typedef double double_lanes __attribute__((vector_size(32)));

// The constants in every lane. The step reads them through a pointer whose
// target the compiler does not see, so that each is an operand loaded from
// memory rather than a float spread over the lanes at every step.
struct lane_constants {
    float_lanes b1;
    float_lanes one_minus_b1;
    float_lanes b2;
    float_lanes one_minus_b2;
    double_lanes epsilon;
};
inline constexpr lane_constants lanes = {
    {b1, b1, b1, b1},
    {one_minus_b1, one_minus_b1, one_minus_b1, one_minus_b1},
    {b2, b2, b2, b2},
    {one_minus_b2, one_minus_b2, one_minus_b2, one_minus_b2},
    {epsilon, epsilon, epsilon, epsilon},
};
inline const lane_constants* lanes_in_memory() {
    const lane_constants* k = &lanes;
    __asm__("" : "+r"(k));
    return k;
}
}  // namespace vesk::adam_detail

// The bias corrections of one sample count, which every parameter trained
// at that count shares: a node with several parameters computes them once.
struct adam_corrections {
    bool correct_m1;
    bool correct_m2;
    float m1_divisor;  // 1 - b1^n while n is below 20
    float m2_divisor;  // 1 - b2^n while n is below 1000
};

inline adam_corrections adam_corrections_for(int64_t nsamples) {
    using namespace vesk::adam_detail;
    const bool m1 = nsamples < m1_correction_limit;
    const bool m2 = nsamples < m2_correction_limit;
    return {m1, m2, m1 ? 1.0f - powf(b1, static_cast<float>(nsamples)) : 1.0f,
            m2 ? 1.0f - powf(b2, static_cast<float>(nsamples)) : 1.0f};
}

// One step of several parameters' moments side by side, each lane rounding
// exactly as one parameter alone. Corrected false: for counts where neither
// correction applies any more (from 1000 on), which leaves out their tests.
// Used 2: only the first two lanes step; the others hold zero moments and
// zero gradients, and their step, 0 / (0 + epsilon), is given as 0.
template <bool Corrected, int Used = 4>
inline float_lanes adam_step_with(float_lanes& m1, float_lanes& m2, const adam_corrections& c, float_lanes grad) {
    using namespace vesk::adam_detail;
    const lane_constants* k = lanes_in_memory();
    // Products are formed, then added; the squared gradient is the complement
    // times grad, times grad again, in that association.
    m1 = k->b1 * m1 + k->one_minus_b1 * grad;
    m2 = k->b2 * m2 + (k->one_minus_b2 * grad) * grad;
    // The corrections work on copies: the stored moments stay uncorrected.
    const float_lanes m1_unbiased = Corrected && c.correct_m1 ? m1 / c.m1_divisor : m1;
    const float_lanes m2_unbiased = Corrected && c.correct_m2 ? m2 / c.m2_divisor : m2;
    // m1 / (root + epsilon): only this quotient is taken in double
    // precision, then rounded to float.
    const float_lanes root = moment_root(m2_unbiased);
    if constexpr (Used == 2) {
        typedef float float_pair __attribute__((vector_size(8)));
        typedef double double_pair __attribute__((vector_size(16)));
        const auto wide = [](float_lanes v) {
            return __builtin_convertvector(__builtin_shufflevector(v, v, 0, 1), double_pair);
        };
        const double_pair epsilon_pair = __builtin_shufflevector(k->epsilon, k->epsilon, 0, 1);
        const float_pair step = __builtin_convertvector(wide(m1_unbiased) / (wide(root) + epsilon_pair), float_pair);
        return __builtin_shufflevector(step, float_pair{}, 0, 1, 2, 3);
    } else {
        const double_lanes wide_root = __builtin_convertvector(root, double_lanes);
        return __builtin_convertvector(__builtin_convertvector(m1_unbiased, double_lanes) / (wide_root + k->epsilon),
                                       float_lanes);
    }
}

// ---------------------------------------------------------------------------
// The per-sample passes of a query. Before its sample loop a query lays out
// one step per node and pass: the type's operation for that pass with its
// operands resolved once (the values of the node and of the sources it
// reads, its state record), so that the loop walks flat arrays of steps
// and never goes back through records and slots.

// The values of one slot while a query runs: its activation for the current
// sample and the gradient that reaches it in the reverse pass. The gradient
// is +0 whenever a reverse pass begins: a node's reverse step clears its
// own once used, and a node without one clears it in its forward step.
struct slot_values {
    float a;
    float d;
};

// What the steps of one query share.
struct pass_shared {
    PyGraph_Object* graph;
    // Adam's corrections for the graph's sample count, in a training pass.
    adam_corrections corrections;
    // The engine's: the sample's first step and the samples left to run.
    const pass_step* first;
    int64_t remaining;
};

// A step runs its node for the current sample, then hands over to the step
// after it (next_step), so that a pass is one chain of jumps. It returns
// what the rest of the pass returned: 0, or -1 with an exception set by the
// failing step, after which no later step ran.
//
// Along the chain each step hands the next one a value in a register, so
// that the value a node needs from the node before it does not make a round
// trip through memory: a forward step hands on its activation, a reverse
// step the gradient of the next step's node, which that step takes as its
// own instead of reading it. Each step still writes its values to memory.
struct pass_step {
    step_operation run;
    slot_values* self;     // for the engine's own steps, a slot no node has
    slot_values* source0;  // the sources the node reads; null for the others
    slot_values* source1;
    PyInteraction_Object* interaction;
    pass_shared* shared;
};

// The call in tail position compiles to a jump; the query also ends the
// chains at a fixed length, so that the stack stays shallow without it.
inline int next_step(const pass_step* step, float carried) {
    return step[1].run(step + 1, carried);
}

template <typename T>
inline T* step_state(const pass_step* step) {
    return interaction_state<T>(step->interaction);
}

// A forward step's first and second source: carried when it is the node of
// the step before (Chained 1 and 2), else read.
template <int Chained>
inline float first_source(const pass_step* s, float carried) {
    return Chained == 1 ? carried : s->source0->a;
}
template <int Chained>
inline float second_source(const pass_step* s, float carried) {
    return Chained == 2 ? carried : s->source1->a;
}

// Adds a reverse step's share to a source's gradient; the new gradient.
inline float add_share(slot_values* source, float share) {
    const float d = source->d + share;
    source->d = d;
    return d;
}

// Hands on from a reverse step the gradient of the next step's node: the
// step's source Carry (1 or 2), as the step left it, or neither (0, 3).
template <int Carry>
inline int hand_on(const pass_step* s, float d0, float d1) {
    return next_step(s, Carry == 1 ? d0 : (Carry == 2 ? d1 : s[1].self->d));
}

// The reverse step of a register with a source: hands its gradient on.
template <int Carry>
int pass_gradient_back(const pass_step* s, float d) {
    s->self->d = 0.0f;
    return hand_on<Carry>(s, add_share(s->source0, d), 0.0f);
}

// The forward step and the block form of a type whose activation is a
// function of its record and its sources' values alone: Kind gives state_t,
// the record, and value<Sources>(record, x0, x1) of a sample's floats or of
// a block's lanes (x1 unread for one source), so that both agree to the bit;
// its last function (last_function_of) then applies to that value.
template <typename Kind, int Sources, int Chained>
int value_forward(const pass_step* s, float carried) {
    const typename Kind::state_t& st = *step_state<typename Kind::state_t>(s);
    const float x1 = Sources == 2 ? second_source<Chained>(s, carried) : 0.0f;
    const float a =
        apply_last<last_function_of<Kind>()>(Kind::template value<Sources>(st, first_source<Chained>(s, carried), x1));
    s->self->a = a;
    return next_step(s, a);
}

// The block form (see forward_block); in1 is null for one source.
template <typename Kind>
void value_block(PyInteraction_Object* x, const float* in0, const float* in1, float* __restrict out, int n) {
    // A copy, whose parameters stay in registers over the block.
    const typename Kind::state_t st = *interaction_state<typename Kind::state_t>(x);
    if (in1 == nullptr) {
        block_map(n, out, [st](auto x0) { return Kind::template value<1>(st, x0, x0); }, in0);
    } else {
        block_map(n, out, [st](auto x0, auto x1) { return Kind::template value<2>(st, x0, x1); }, in0, in1);
    }
    apply_last_block<last_function_of<Kind>()>(out, n);
    x->activation[0] = out[n - 1];
}

// Kind's reverse_by_state, where it has one.
template <typename Kind>
constexpr auto reverse_by_state_of() -> decltype(interaction_type_t::reverse_by_state) {
    if constexpr (requires { &Kind::reverse_by_state; }) {
        return &Kind::reverse_by_state;
    } else {
        return nullptr;
    }
}

// The record of a trainable type whose forward step and block form are
// value_forward and value_block: Kind also gives type_name, description,
// draw_parameters and reverse<Sources, Carry>, the reverse steps.
template <typename Kind>
constexpr interaction_type_t value_type = {
    .type_name = Kind::type_name,
    .initialize = initialize_trainable<typename Kind::state_t>,
    .forward = {{},
                {value_forward<Kind, 1, 0>, value_forward<Kind, 1, 1>},
                {value_forward<Kind, 2, 0>, value_forward<Kind, 2, 1>, value_forward<Kind, 2, 2>}},
    .reverse = {{},
                {Kind::template reverse<1, 0>, Kind::template reverse<1, 1>, nullptr, Kind::template reverse<1, 3>},
                {Kind::template reverse<2, 0>, Kind::template reverse<2, 1>, Kind::template reverse<2, 2>,
                 Kind::template reverse<2, 3>}},
    .forward_block = value_block<Kind>,
    .description = &Kind::description,
    .draw_parameters = Kind::draw_parameters,
    .reverse_by_state = reverse_by_state_of<Kind>(),
};

// ---------------------------------------------------------------------------
// Weighted sums: "linear" and "tanh" keep the same record, and differ only
// in the activation applied to the sum and its derivative. Their Kind
// derives from weighted_sum<Kind> and gives type_name, activation(sum,
// bias) of a sample's sum or of a block's lanes (before the Kind's last
// function, if it has one), sum_gradient(a, d), the gradient of the sum
// from the node's activation a and its gradient d, and draw_parameters.

struct weighted_sum_state {
    static constexpr double lr_base = 0.005;
    // The parameters and their moments as the lanes of one Adam step: w0,
    // bias, w1 (read only while sourcecount is 2), and a lane that stays 0.
    // The second weight of a node with one source never has a gradient: its
    // moments stay 0 unless a restored state brought them, and while they
    // are 0 its step is 0.
    float w0;
    float bias;
    float w1;
    float idle;
    float m1[4];
    float m2[4];
    float lr;  // fixed at creation from gluamine
};
static_assert(sizeof(weighted_sum_state) == 52, "the weighted-sum state record is 52 bytes");

// clang-format off
inline constexpr state_description weighted_sum_description = {
    .fields = {
        VESK_ATTRIBUTE(weighted_sum_state, w0, number),
        VESK_ATTRIBUTE(weighted_sum_state, w1, number),
        VESK_ATTRIBUTE(weighted_sum_state, bias, number),
        VESK_INTERNAL_AS("w0_adam.m1", weighted_sum_state, m1[0], number),
        VESK_INTERNAL_AS("w0_adam.m2", weighted_sum_state, m2[0], number),
        VESK_INTERNAL_AS("w1_adam.m1", weighted_sum_state, m1[2], number),
        VESK_INTERNAL_AS("w1_adam.m2", weighted_sum_state, m2[2], number),
        VESK_INTERNAL_AS("bias_adam.m1", weighted_sum_state, m1[1], number),
        VESK_INTERNAL_AS("bias_adam.m2", weighted_sum_state, m2[1], number),
        VESK_INTERNAL_AS("lr", weighted_sum_state, lr, number),
    },
    .unknown = unknown_names::converted_refused,
    .one_source_tooltip = {"w: %.2f\nbias: %.2f", {"w0", "bias"}},
    .tooltip = {"w0: %.2f\nw1: %.2f\nbias: %.2f", {"w0", "w1", "bias"}},
};
// clang-format on

// The base of a weighted-sum Kind, for value_type.
template <typename Kind>
struct weighted_sum {
    using state_t = weighted_sum_state;
    static constexpr const state_description& description = weighted_sum_description;

    // act(x0 * w0, bias), or act(x0 * w0 + x1 * w1, bias) with two sources,
    // products formed, then added.
    template <int Sources, typename T>
    static T value(const weighted_sum_state& st, T x0, T x1) {
        return Kind::activation(Sources == 2 ? x0 * st.w0 + x1 * st.w1 : x0 * st.w0, st.bias);
    }

    // The reverse step: passes the sources their shares of dz, the gradient of
    // the sum, and steps all three parameters. With one source, w1's lanes
    // are left out of the step (Lanes 2) while its moments are 0, which
    // gives them the step 0/(0 + epsilon) = 0 exactly; moments a restored
    // state brought still move w1 (Lanes 4).
    template <int Sources, int Carry, int Lanes = 2 * Sources>
    static int reverse(const pass_step* s, float d) {
        const float dz = Kind::sum_gradient(s->self->a, d);
        weighted_sum_state* st = step_state<weighted_sum_state>(s);
        const float_lanes grad = {s->source0->a * dz, dz, Sources == 2 ? s->source1->a * dz : 0.0f, 0.0f};
        // The sources' shares use the weights from before this step; a node
        // that is both sources receives both shares, the second added onto the
        // first. Carry 3: the sources take no shares.
        const float d0 = Carry != 3 ? add_share(s->source0, dz * st->w0) : 0.0f;
        const float d1 = Sources == 2 && Carry != 3 ? add_share(s->source1, dz * st->w1) : 0.0f;
        s->self->d = 0.0f;
        // Every parameter steps on every call, so a zero gradient still moves it
        // by the momentum its moments hold: w0 and the bias, and w1 with two
        // sources, side by side in lanes.
        // (m1's correction stops before m2's: while it runs, m2's does too.)
        const adam_corrections& c = s->shared->corrections;
        float_lanes m1 = load_lanes(st->m1);
        float_lanes m2 = load_lanes(st->m2);
        const float_lanes step =
            c.correct_m2 ? adam_step_with<true, Lanes>(m1, m2, c, grad) : adam_step_with<false, Lanes>(m1, m2, c, grad);
        store_lanes(st->m1, m1);
        store_lanes(st->m2, m2);
        // lr x step is rounded to float before it is subtracted.
        store_lanes(&st->w0, load_lanes(&st->w0) - st->lr * step);
        return hand_on<Carry>(s, d0, d1);
    }

    // A node with one source whose w1 has moments takes the full step.
    static const step_operation* reverse_by_state(const PyInteraction_Object* x, int sources) {
        static constexpr step_operation full[4] = {reverse<1, 0, 4>, reverse<1, 1, 4>, nullptr, reverse<1, 3, 4>};
        const weighted_sum_state* st = reinterpret_cast<const weighted_sum_state*>(x->data);
        return sources == 1 && (st->m1[2] != 0.0f || st->m2[2] != 0.0f) ? full : nullptr;
    }
};

// Owned reference that is released on scope exit unless handed on with
// release(); borrowed pointers stay raw.
struct py_decref {
    void operator()(PyObject* ob) const noexcept { Py_DECREF(ob); }
};
using PyRef = std::unique_ptr<PyObject, py_decref>;

inline PyObject* vesk_newref(PyObject* ob) {
    Py_INCREF(ob);
    return ob;
}

// Takes the interpreter lock back (PyEval_RestoreThread). While the
// interpreter shuts down, a thread that asks for the lock is ended by an
// unwinding of its stack, which would run the clean-ups of this module's
// frames without the lock and with a freed thread state: such a thread
// stops here for good instead, touching nothing, and the process exits as
// it would have. Never called from a destructor or a noexcept function,
// which the unwinding could not pass.
void vesk_relock(PyThreadState* saved);

// 1 on the thread that runs signal handlers (the main thread of the main
// interpreter), 0 elsewhere, -1 with an exception. Needs the lock.
int vesk_runs_signal_handlers();

// The float environment a query computes in: round to nearest, subnormal
// numbers kept as they are (neither flushed to zero as results nor read as
// zero as operands), every float exception masked, in the control word of
// the SSE and AVX instructions (MXCSR) and in that of the x87 unit (long
// double columns). Any library in the process may have changed them (an
// object built with fast-math, a "flush denormals" switch), which would
// change results and void the exactness of the emulated fused
// multiply-add. The words are per thread: releasing the interpreter lock
// leaves them alone, but Python code can change them, so whatever runs
// Python code while a query computes (a key's hash or __eq__, a mask hook,
// a value's conversion, a signal handler, a finaliser) calls
// vesk_reset_query_floats before the query's next float operation. Out of
// line, each of them: the compiler moves float operations across an inline
// write of the word, not across a call it cannot see into.
struct vesk_float_controls {
    uint32_t mxcsr;
    uint16_t x87;
};
// Sets the query's controls; the caller's, to give back.
[[gnu::noinline]] vesk_float_controls vesk_enter_query_floats();
// Sets the query's controls again; the status flags (the exceptions raised
// so far, which the column casts read) stay as they are.
[[gnu::noinline]] void vesk_reset_query_floats();
// Gives the caller back its controls, keeping the status flags.
[[gnu::noinline]] void vesk_leave_query_floats(vesk_float_controls caller);

// The query's float controls over a scope, the caller's given back at its
// end: for code that computes outside a query (a construction's learning
// rate and draws, a tooltip's digits). The float operations must lie in
// calls the scope's own function makes, out of its sight.
struct vesk_query_floats {
    const vesk_float_controls caller = vesk_enter_query_floats();
    vesk_query_floats() = default;
    vesk_query_floats(const vesk_query_floats&) = delete;
    vesk_query_floats& operator=(const vesk_query_floats&) = delete;
    ~vesk_query_floats() { vesk_leave_query_floats(caller); }
};

// A state's float as a Python float's double, exactly, and a double
// narrowed to float, rounded to nearest: under the query's float controls,
// so that neither depends on the caller's (a subnormal float read as 0, or
// a result flushed to it).
[[gnu::noinline]] double vesk_widen(float value);
[[gnu::noinline]] float vesk_narrow(double value);

// A look at pending signals between the pieces of a long part of a query's
// set-up (a column's survey or cast), where about 10 ms of work passes
// between looks: 0, or -1 with the exception a handler raised. The handlers
// ran Python code: the query's float controls are set again.
inline int vesk_check_signals_in_setup() {
    const int rc = PyErr_CheckSignals();
    vesk_reset_query_floats();
    return rc;
}

// Runs f, a pass over a long column, with the interpreter lock released,
// so that queries on other threads go on meanwhile; its result. f may touch
// no Python object, only memory that the running query keeps alive, and
// must not throw.
template <typename F>
inline auto vesk_unlocked_for(int64_t n, F f) -> decltype(f()) {
    if (n < 4096) {
        return f();
    }
    PyThreadState* saved = PyEval_SaveThread();
    auto result = f();
    vesk_relock(saved);
    return result;
}

// Whether the pending error may be replaced by a refusal of the module's
// own: interrupts, exits (anything outside Exception) and exhausted memory
// are passed on unchanged.
inline bool vesk_error_is_refusable() {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// Replaces an owned field with a new owned value (or null) and releases the
// old one only after the field no longer points to it, so that code run by
// the release never sees a dangling field.
inline void vesk_replace(PyObject** field, PyObject* owned_value) {
    PyObject* old = *field;
    *field = owned_value;
    Py_XDECREF(old);
}

// The registers read integer columns natively: visit is called with a zero
// of the C type of the dtype's elements, and its result returned; for a dtype
// that is no integer (bool is none) the result is value-initialised.
template <typename Visit>
inline auto vesk_with_integer_type(const PyArray_Descr* d, Visit visit) -> decltype(visit(int8_t{})) {
    const bool is_signed = PyTypeNum_ISSIGNED(d->type_num);
    if (!is_signed && !PyTypeNum_ISUNSIGNED(d->type_num)) {
        return {};
    }
    switch (PyDataType_ELSIZE(d)) {
        case 1: return is_signed ? visit(int8_t{}) : visit(uint8_t{});
        case 2: return is_signed ? visit(int16_t{}) : visit(uint16_t{});
        case 4: return is_signed ? visit(int32_t{}) : visit(uint32_t{});
        case 8: return is_signed ? visit(int64_t{}) : visit(uint64_t{});
        default: return {};
    }
}

// ---------------------------------------------------------------------------
// Category hash map (hashtable.cpp), used by the categorical register.
// ---------------------------------------------------------------------------

#define CATEGORY_BUCKETS 257

// The Python hash of the integer whose 64 bits are `bits`, read as unsigned
// where `is_unsigned`, else as signed: the value reduced modulo 2^61 - 1 with
// its sign kept, -1 taken as -2, as the interpreter hashes an int.
inline uint64_t vesk_int_hash(uint64_t bits, bool is_unsigned) {
    const bool negative = !is_unsigned && (bits >> 63) != 0;
    // Conversion to unsigned wraps modulo 2^64, so the negation is exact.
    const uint64_t magnitude = negative ? uint64_t{0} - bits : bits;
    // 2^61 is 1 modulo the modulus, so the bits above 61 fold onto the
    // others; one subtraction then brings the sum below the modulus.
    const uint64_t modulus = (uint64_t{1} << 61) - 1;
    uint64_t folded = (magnitude & modulus) + (magnitude >> 61);
    folded = folded >= modulus ? folded - modulus : folded;
    const int64_t h = negative ? -static_cast<int64_t>(folded) : static_cast<int64_t>(folded);
    return static_cast<uint64_t>(h == -1 ? -2 : h);
}

// One category. Entries never move while their map lives: the categorical
// register keeps their addresses across calls and follows them in the sample
// loop without the interpreter lock.
struct category_entry {
    category_entry* nxt;  // next entry of the same bucket, or null
    double weight;
    PyObject* key;        // owned: the first of the equal keys asked for
    uint64_t py_keyhash;  // the key's Python hash (0 for float NaNs); entries may share it
    // What finding a key needs to know of this one without the interpreter:
    // the 64 bits of its value when it is an int, a bool or an integral
    // float within [-2^63, 2^64) (read as unsigned from 2^63 on: the two
    // readings of the same bits never hash alike), else bits that no such
    // key of this hash has: 2 for the float NaNs under hash 0, and for any
    // other key 1 under hash 0, 0 under any other hash.
    uint64_t exact;
};

// One place of the map's index: an entry and its hash; free when the entry
// is null. The entry's lowest bit (entries are aligned) is clear when its
// `exact` is its hash, as for nearly every int key: such an int is found
// without reading its entry.
struct category_slot {
    uint64_t py_keyhash;
    uintptr_t entry;
};

// The owner allocates the record zero-filled with PyMem_Calloc and frees it
// with PyMem_Free after clearing it.
struct category_hashmap {
    // The bucket chains give the map's order; lookups go through the index.
    category_entry* entries[CATEGORY_BUCKETS];
    // Open addressing with linear probing, at most half full; null while the
    // map is empty. Entries of one hash lie along their probe in the order
    // they were created.
    category_slot* index;
    size_t capacity;  // a power of two, or 0
    int shift;        // 64 - log2(capacity): a hash's home is its top bits after mixing
    size_t count;     // entries in the map
};

// The entry of the key, found as a dictionary finds a key: by its hash, then
// among the entries of that hash by equality (1, 1.0 and True are one
// category; -1 and -2 two), except that every float NaN, Python's or
// numpy's, is one category, equal to nothing else. Created at weight 0 when
// absent. Comparing keys runs their `__eq__`: the caller keeps the map from
// changing meanwhile. Null with an exception set when the key cannot be
// hashed or compared or the entry not allocated; the map is then unchanged.
// Needs the interpreter lock.
category_entry* category_hashmap_get(category_hashmap* map, PyObject* key);
// The entry of the int of hash `pyhash` and 64 bits `bits` (read as
// `vesk_int_hash` was told to), or null: unknown, or filed beside a key of
// the same hash that only the interpreter can compare with it. Creates
// nothing and calls nothing: needs no lock.
category_entry* category_hashmap_find_int(const category_hashmap* map, uint64_t pyhash, uint64_t bits);
// Frees every entry and releases its key; always 0. Needs the interpreter lock.
int category_hashmap_clear(category_hashmap* map);
// The entry after `curr` (null: the first), bucket by bucket and newest first
// within a bucket; null at the end.
category_entry* category_hashmap_iterate(category_hashmap* map, category_entry* curr);
// Fills `copy`, an empty map that nothing else reaches, with the entries of
// `map` in the same order and with the same weights. The entries are read
// first; each key then goes through vesk_deepcopy_value with memo, which may
// run Python code, and the keys are filed in `copy` as a listing restored by
// the categories' setter would file them: a key kept as it was under its
// hash, one that was copied under its own. -1 with an exception, `copy` then
// holding what was filed.
int category_hashmap_copy(category_hashmap* copy, category_hashmap* map, PyObject* memo);
// Frees the entries created since `before` was copied from the map. Valid only
// if the map gained entries and lost none in between. Needs the interpreter
// lock.
void category_hashmap_rollback(category_hashmap* map, const category_hashmap* before);
