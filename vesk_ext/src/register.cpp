// The numeric register "fixed": carries numbers into a graph (input
// register), passes them through (register with a source) and out of it
// (output register), mapping them into [-1, 1] with a learned feature range.
#include "_vesk.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace vesk::fixed {
namespace {

struct register_state_t {
    int array_index;
    PyObject* py_inputarray;    // owned float32 copy of the input column, or null
    PyObject* py_outputarray;   // owned output array until handed to the caller, or null
    PyObject* py_expectedarray; // owned float32 copy of the expected values, or null
    float feature_max;          // NaN: not yet known
    float feature_min;
    int auto_adapt;
    // Outputs below this index are scaled out: the loop scales them a chunk
    // at a time, the last, partial chunk when the array is handed over.
    int output_scaled;
    // The held arrays' elements, or null: every held array is a contiguous
    // float32 array the register made itself, so the sample loop indexes
    // their memory directly.
    float* input_data;
    float* output_data;
    float* expected_data;
    // The held input and expected values are scaled into [-1, 1] in place,
    // a chunk at a time as the sample loop reaches it; each value exactly as
    // alone. These record where the loop must stop with an error (the first
    // non-finite value) and where it sets errcode (the first clamped value
    // before it) among the chunks scaled so far; -1 for none.
    int first_bad_input;
    int first_clamped_input;
    int first_bad_expected;
    int first_clamped_expected;
};

const char* const attributes[] = {"feature_min", "feature_max", "auto_adapt", nullptr};

// Values are scaled in and out a chunk at a time, inside the sample loop (so
// without the interpreter lock), four values at a time in vector lanes.
constexpr int chunk = 256;

register_state_t* state_of(PyInteraction_Object* interaction) {
    return interaction_state<register_state_t>(interaction);
}

float* data_of(PyObject* array) {
    return array != nullptr ? static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))) : nullptr;
}

int64_t held_length(PyObject* array) {
    return PyArray_DIM(reinterpret_cast<PyArrayObject*>(array), 0);
}

// Follows every change of a held array.
void sync_data(register_state_t* st) {
    st->input_data = data_of(st->py_inputarray);
    st->output_data = data_of(st->py_outputarray);
    st->expected_data = data_of(st->py_expectedarray);
}

// One value, with the checks: false at a non-finite value, where the loop
// will stop.
inline bool scale_one(float* value, int64_t i, float lo, float span, int* first_bad, int* first_clamped) {
    const float v = *value;
    if (!std::isfinite(v)) {
        *first_bad = static_cast<int>(i);
        return false;
    }
    // A value equal to a range of width zero sits in its middle, where the
    // formula would give 0/0.
    float a = span == 0.0f && v == lo ? 0.0f : (2.0f * (v - lo)) / span - 1.0f;
    if (a > 1.0f || a < -1.0f) {
        a = a > 1.0f ? 1.0f : -1.0f;
        if (*first_clamped < 0) {
            *first_clamped = static_cast<int>(i);
        }
    }
    *value = a;
    return true;
}

// Scales the chunk of held values that starts at sample i in place into
// [-1, 1] with the current range, exactly as each would be scaled alone:
// (2 (v - min)) / (max - min) - 1, clamped (a NaN result passes unclamped).
// Stops at the first non-finite value, which the loop will refuse: nothing
// after it is read.
// Out of line: called once a chunk, it would otherwise cost every sample
// the registers it needs.
[[gnu::noinline]] void scale_chunk(const register_state_t* st, PyObject* array, float* data, int64_t i,
                                   int* first_bad, int* first_clamped) {
    const int64_t n = std::min<int64_t>(i + chunk, held_length(array));
    const float lo = st->feature_min;
    const float span = st->feature_max - st->feature_min;
    // Four values at a time in vector lanes (each lane computes exactly the
    // scalar result); a group holding a non-finite or clamped value, and a
    // range of width zero, go one value at a time.
    const float_lanes one = {1.0f, 1.0f, 1.0f, 1.0f};
    for (; span != 0.0f && i + 4 <= n; i += 4) {
        const float_lanes v = load_lanes(data + i);
        const float_lanes a = (2.0f * (v - lo)) / span - 1.0f;
        // v - v is 0 exactly for finite v, NaN otherwise.
        const auto unusual = (v - v != 0.0f) | (a > one) | (a < -one);
        if ((unusual[0] | unusual[1] | unusual[2] | unusual[3]) == 0) {
            store_lanes(data + i, a);
            continue;
        }
        for (int k = 0; k < 4; ++k) {
            if (!scale_one(data + i + k, i + k, lo, span, first_bad, first_clamped)) {
                return;
            }
        }
    }
    for (; i < n; ++i) {
        if (!scale_one(data + i, i, lo, span, first_bad, first_clamped)) {
            return;
        }
    }
}

inline float scale_out(const register_state_t* st, float a) {
    return ((1.0f + a) * (st->feature_max - st->feature_min)) * 0.5f + st->feature_min;
}

// Scales out the outputs from the last scaled one up to `end`, which the
// loop wrote as activations; out of line for the same reason. 0, forward's
// result.
[[gnu::noinline]] int scale_out_to(register_state_t* st, int end) {
    const float lo = st->feature_min;
    const float span = st->feature_max - st->feature_min;
    float* values = st->output_data;
    int i = st->output_scaled;
    // Four at a time in vector lanes; the operations are those of scale_out,
    // in its order.
    for (; i + 4 <= end; i += 4) {
        store_lanes(values + i, ((1.0f + load_lanes(values + i)) * span) * 0.5f + lo);
    }
    for (; i < end; ++i) {
        values[i] = scale_out(st, values[i]);
    }
    st->output_scaled = end;
    return 0;
}

void apply_default_range(register_state_t* st) {
    if (std::isnan(st->feature_max)) {
        st->feature_max = 1.0f;
    }
    if (std::isnan(st->feature_min)) {
        st->feature_min = -1.0f;
    }
}

// Columns of the common element types are converted and surveyed here, in
// one pass each, without numpy's general machinery: a query of a few samples
// would otherwise spend most of its time there. Conversions are the C ones
// numpy's cast uses.
enum column_kind { kind_other, kind_f32, kind_f64, kind_i8, kind_i16, kind_i32, kind_i64,
                   kind_u8, kind_u16, kind_u32, kind_u64 };

column_kind kind_of(PyArrayObject* a) {
    const PyArray_Descr* d = PyArray_DESCR(a);
    if (!PyArray_ISNBO(d->byteorder) || !PyArray_ISALIGNED(a)) {
        return kind_other;
    }
    switch (d->type_num) {
        case NPY_FLOAT: return kind_f32;
        case NPY_DOUBLE: return kind_f64;
        default: break;
    }
    const int size = PyArray_ITEMSIZE(a);
    if (PyTypeNum_ISSIGNED(d->type_num)) {
        return size == 1 ? kind_i8 : size == 2 ? kind_i16 : size == 4 ? kind_i32 : size == 8 ? kind_i64 : kind_other;
    }
    if (PyTypeNum_ISUNSIGNED(d->type_num)) {
        return size == 1 ? kind_u8 : size == 2 ? kind_u16 : size == 4 ? kind_u32 : size == 8 ? kind_u64 : kind_other;
    }
    return kind_other;
}

// What a pass reads of a column, taken while the interpreter lock is held:
// another thread may reshape the array in place meanwhile (which moves its
// dimensions and strides), but cannot free its data while the query holds a
// reference to it.
struct column_view {
    const char* data;
    npy_intp stride;
    int64_t length;
    column_kind kind;
};

column_view view_of(PyArrayObject* a) {
    return {PyArray_BYTES(a), PyArray_STRIDES(a)[0], PyArray_DIM(a, 0), kind_of(a)};
}

template <typename T>
inline T element_of(const column_view& c, int64_t i) {
    return *reinterpret_cast<const T*>(c.data + i * c.stride);
}

template <typename T>
void convert_elements(const column_view& c, float* to) {
    if constexpr (std::is_same_v<T, npy_float>) {
        if (c.stride == static_cast<npy_intp>(sizeof(float))) {
            std::memcpy(to, c.data, static_cast<size_t>(c.length) * sizeof(float));
            return;
        }
    }
    for (int64_t i = 0; i < c.length; ++i) {
        to[i] = static_cast<float>(element_of<T>(c, i));
    }
}

// The range of the values of a column that the samples can use, those
// finite as float32: its maximum and minimum in the column's own type,
// widened to double and rounded to float as numpy's scalars were (doubles
// are compared once rounded, which picks the same values: rounding keeps
// their order). Of two zeros the maximum is +0, the minimum -0. False when
// no value is finite.
template <typename T, typename S = std::conditional_t<std::is_same_v<T, npy_double>, npy_float, T>>
bool survey(const column_view& c, float* max_out, float* min_out) {
    // Every element of a broadcast column is its first.
    const int64_t n = c.stride == 0 ? std::min<int64_t>(c.length, 1) : c.length;
    S mx = std::numeric_limits<S>::lowest();
    S mn = std::numeric_limits<S>::max();
    if constexpr (std::is_floating_point_v<S>) {
        mx = -std::numeric_limits<S>::infinity();
        mn = std::numeric_limits<S>::infinity();
        bool positive_zero = false;
        bool negative_zero = false;
        for (int64_t i = 0; i < n; ++i) {
            const S v = static_cast<S>(element_of<T>(c, i));
            if (v - v != 0) {
                continue;  // not finite
            }
            if (v == 0) {
                (std::signbit(v) ? negative_zero : positive_zero) = true;
            }
            mx = v > mx ? v : mx;
            mn = v < mn ? v : mn;
        }
        if (mx == 0 && positive_zero) {
            mx = 0;
        }
        if (mn == 0 && negative_zero) {
            mn = -S(0);
        }
        if (mx < mn) {
            return false;
        }
    } else {
        if (n == 0) {
            return false;
        }
        for (int64_t i = 0; i < n; ++i) {
            const S v = element_of<T>(c, i);
            mx = v > mx ? v : mx;
            mn = v < mn ? v : mn;
        }
    }
    *max_out = static_cast<float>(static_cast<double>(mx));
    *min_out = static_cast<float>(static_cast<double>(mn));
    return true;
}

// Narrowing doubles raises the floating-point flags numpy reports on a cast
// (as warnings or errors, as its error state says); a column that raises
// any of them is left to numpy's cast.
bool narrow_doubles(const column_view& c, float* to) {
    const int reported = FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, reported);
    std::feclearexcept(reported);
    convert_elements<npy_double>(c, to);
    const bool clean = std::fetestexcept(reported) == 0;
    std::fesetexceptflag(&saved, reported);
    return clean;
}

// Interrupts and exhausted memory pass through a conversion unchanged;
// every other failure of it is the register's own refusal.
bool refusable_failure() {
    return !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) && !PyErr_ExceptionMatches(PyExc_SystemExit) &&
           !PyErr_ExceptionMatches(PyExc_MemoryError);
}

// numpy's cast of a column to a new contiguous float32 array of the base
// class (a subclass's hooks never see it), or null with numpy's exception.
PyObject* general_float32_copy(PyArrayObject* a) {
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT);  // reference stolen
    return PyArray_FromArray(a, descr, NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY | NPY_ARRAY_ENSUREARRAY |
                                           NPY_ARRAY_FORCECAST);
}

// A new contiguous float32 copy of a column, or null with an exception set.
PyObject* float32_copy(PyArrayObject* a, const column_view& c) {
    if (c.kind == kind_other) {
        return general_float32_copy(a);
    }
    npy_intp dims[1] = {c.length};
    PyObject* copy = PyArray_New(&PyArray_Type, 1, dims, NPY_FLOAT, nullptr, nullptr, 0, 0, nullptr);
    if (copy == nullptr) {
        return nullptr;
    }
    float* to = data_of(copy);
    bool clean = true;
    {
        UnlockedFor unlocked(c.length);
        switch (c.kind) {
            case kind_f32: convert_elements<npy_float>(c, to); break;
            case kind_f64: clean = narrow_doubles(c, to); break;
            case kind_i8: convert_elements<npy_int8>(c, to); break;
            case kind_i16: convert_elements<npy_int16>(c, to); break;
            case kind_i32: convert_elements<npy_int32>(c, to); break;
            case kind_i64: convert_elements<npy_int64>(c, to); break;
            case kind_u8: convert_elements<npy_uint8>(c, to); break;
            case kind_u16: convert_elements<npy_uint16>(c, to); break;
            case kind_u32: convert_elements<npy_uint32>(c, to); break;
            case kind_u64: convert_elements<npy_uint64>(c, to); break;
            case kind_other: break;
        }
    }
    if (!clean) {
        Py_DECREF(copy);
        return general_float32_copy(a);
    }
    return copy;
}

bool survey_column(const column_view& c, float* max_out, float* min_out) {
    UnlockedFor unlocked(c.length);
    switch (c.kind) {
        case kind_f32: return survey<npy_float>(c, max_out, min_out);
        case kind_f64: return survey<npy_double>(c, max_out, min_out);
        case kind_i8: return survey<npy_int8>(c, max_out, min_out);
        case kind_i16: return survey<npy_int16>(c, max_out, min_out);
        case kind_i32: return survey<npy_int32>(c, max_out, min_out);
        case kind_i64: return survey<npy_int64>(c, max_out, min_out);
        case kind_u8: return survey<npy_uint8>(c, max_out, min_out);
        case kind_u16: return survey<npy_uint16>(c, max_out, min_out);
        case kind_u32: return survey<npy_uint32>(c, max_out, min_out);
        case kind_u64: return survey<npy_uint64>(c, max_out, min_out);
        case kind_other: return false;
    }
    return false;
}

// Widens the feature range to cover the finite values of a column (of the
// whole column: a longer expected array's tail included); the range never
// shrinks. A column of the general kinds is surveyed in its float32 copy.
// An empty column is refused as numpy refuses its maximum.
int adapt_range(register_state_t* st, const column_view& c, PyObject* copy) {
    if (c.length == 0) {
        PyErr_SetString(PyExc_ValueError, "zero-size array to reduction operation maximum which has no identity");
        return -1;
    }
    float max_value;
    float min_value;
    const column_view surveyed = c.kind == kind_other ? view_of(reinterpret_cast<PyArrayObject*>(copy)) : c;
    if (!survey_column(surveyed, &max_value, &min_value)) {
        return 0;  // nothing finite: every sample it reaches is refused
    }
    if (std::isnan(st->feature_max) || max_value > st->feature_max) {
        st->feature_max = max_value;
    }
    if (std::isnan(st->feature_min) || st->feature_min > min_value) {
        st->feature_min = min_value;
    }
    return 0;
}

// A masked array passes as its data when its mask hides nothing; one that
// hides a value is refused, naming the register. 0, or -1 with an exception.
int refuse_hidden_values(PyObject* py_array, const char* refusal, const char* name) {
    // Masked arrays come from numpy.ma alone: without it loaded there are none.
    PyObject* borrowed_ma =
        PyArray_CheckExact(py_array) ? nullptr : PyDict_GetItemString(PyImport_GetModuleDict(), "numpy.ma");
    if (borrowed_ma == nullptr) {
        return 0;
    }
    PyRef hidden(PyObject_CallMethod(borrowed_ma, "is_masked", "O", py_array));
    const int refused = hidden ? PyObject_IsTrue(hidden.get()) : -1;
    if (refused > 0) {
        PyErr_Format(PyExc_ValueError, refusal, name);
    }
    return refused == 0 ? 0 : -1;
}

// The register's refusals of an input column or of expected values.
struct refusals {
    const char* cast;
    const char* masked;
    const char* shape;
};
const refusals input_refusals = {"input %s could not be cast to type of register (float32)",
                                 "input %s hides values behind a mask", "Element %s in X is not 1-dimensional"};
const refusals expected_refusals = {"expected %s could not be cast to type of register (float32)",
                                    "expected %s hides values behind a mask", "y must be 1 dimensional"};

// Releases the held array of `field` and, given an array, keeps a float32
// copy of it there and, with auto_adapt on, widens the range to cover it.
// Releasing keeps the position: an output register that is also an input
// still has its last outputs to scale out when it hands them over.
int hold_column(PyInteraction_Object* interaction, PyObject** field, PyObject* py_array, const refusals& r) {
    register_state_t* st = state_of(interaction);
    vesk_replace(field, nullptr);
    sync_data(st);
    if (py_array == nullptr) {
        return 0;
    }
    st->array_index = 0;
    if (refuse_hidden_values(py_array, r.masked, interaction->name) < 0) {
        return -1;
    }
    // Looking at the mask ran Python code, which may have reshaped the array.
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(py_array);
    if (PyArray_NDIM(a) != 1) {
        PyErr_Format(PyExc_ValueError, r.shape, interaction->name);
        return -1;
    }
    const column_view c = view_of(a);
    PyRef copy(float32_copy(a, c));
    if (!copy) {
        if (refusable_failure()) {
            PyErr_Format(PyExc_ValueError, r.cast, interaction->name);
        }
        return -1;
    }
    if (st->auto_adapt && adapt_range(st, c, copy.get()) < 0) {
        return -1;
    }
    *field = copy.release();
    sync_data(st);
    return 0;
}

int initialize(PyInteraction_Object* interaction) {
    register_state_t* st = state_of(interaction);
    st->array_index = 0;
    st->output_scaled = 0;
    st->py_inputarray = nullptr;
    st->py_outputarray = nullptr;
    st->py_expectedarray = nullptr;
    sync_data(st);
    st->first_bad_input = st->first_clamped_input = -1;
    st->first_bad_expected = st->first_clamped_expected = -1;
    st->feature_max = std::numeric_limits<float>::quiet_NaN();
    st->feature_min = std::numeric_limits<float>::quiet_NaN();
    st->auto_adapt = 1;
    interaction->loss_dv_f = mean_squared_error;
    interaction->data_size = sizeof(register_state_t);
    return 0;
}

// Scales the chunk of input values that starts at the current sample, then
// runs the sample. Out of line and reached by a tail call, so that the common
// path of forward keeps no values across a call.
[[gnu::noinline]] int forward_at_input_chunk(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples);

// One sample, its input chunk (if any) already scaled.
inline int forward_sample(PyGraph_Object* g, PyInteraction_Object* interaction, register_state_t* st,
                          int n_samples) {
    if (n_samples < 1) {
        st->array_index += n_samples;
        return 0;
    }
    const int i = st->array_index;
    if (interaction->sources[0] == -1) {
        if (st->input_data == nullptr || i == st->first_bad_input) {
            graph_raise_in_pass(g, PyExc_RuntimeError,
                                st->input_data == nullptr ? "Register '%s' holds no input array"
                                                          : "Nan found in input array in register '%s'",
                                interaction->name);
            return -1;
        }
        // errcode is never cleared: the first clamped sample sets it for good.
        if (i == st->first_clamped_input) {
            interaction->errcode = 1;
        }
        interaction->activation[0] = st->input_data[i];
    } else {
        interaction->activation[0] = graph_get_activation(g, interaction->sources[0], 0);
    }
    st->array_index = i + n_samples;
    if (st->output_data != nullptr) {
        st->output_data[i] = interaction->activation[0];
        if ((i + 1) % chunk == 0) {
            return scale_out_to(st, i + 1);
        }
    }
    return 0;
}

// Scales the input chunk that starts at the current sample.
void scale_input_chunk(register_state_t* st) {
    scale_chunk(st, st->py_inputarray, st->input_data, st->array_index, &st->first_bad_input,
                &st->first_clamped_input);
}

int forward_at_input_chunk(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    register_state_t* st = state_of(interaction);
    scale_input_chunk(st);
    return forward_sample(g, interaction, st, n_samples);
}

int forward(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    register_state_t* st = state_of(interaction);
    if (n_samples >= 1 && interaction->sources[0] == -1 && st->input_data != nullptr &&
        st->array_index % chunk == 0) {
        return forward_at_input_chunk(g, interaction, n_samples);
    }
    return forward_sample(g, interaction, st, n_samples);
}

// A block starts an input register's chunk, which the block scales, and
// holds only finite values: a non-finite one must stop the samples at its
// own, so its block goes one sample at a time.
bool block_ready(PyInteraction_Object* interaction, int n) {
    const register_state_t* st = state_of(interaction);
    if (interaction->sources[0] != -1) {
        return true;
    }
    const int64_t i = st->array_index;
    if (st->input_data == nullptr || i % chunk != 0 || i + n > held_length(st->py_inputarray)) {
        return false;
    }
    const float* values = st->input_data + i;
    // v - v is 0 exactly for finite v, NaN otherwise; four lanes at a time.
    float_lanes spread = {0.0f, 0.0f, 0.0f, 0.0f};
    int j = 0;
    for (; j + 4 <= n; j += 4) {
        const float_lanes v = load_lanes(values + j);
        spread = spread + (v - v);
    }
    float rest = 0.0f;
    for (; j < n; ++j) {
        rest = rest + (values[j] - values[j]);
    }
    // A NaN lane stays NaN through the sums.
    return spread[0] == 0.0f && spread[1] == 0.0f && spread[2] == 0.0f && spread[3] == 0.0f && rest == 0.0f;
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float*, float* out, int n) {
    register_state_t* st = state_of(interaction);
    const int i = st->array_index;
    if (interaction->sources[0] == -1) {
        // block_ready vouched that the block starts a chunk.
        scale_input_chunk(st);
        if (st->first_clamped_input >= i && st->first_clamped_input - i < n) {
            interaction->errcode = 1;
        }
        in0 = st->input_data + i;
    }
    std::memcpy(out, in0, sizeof(float) * static_cast<size_t>(n));
    interaction->activation[0] = out[n - 1];
    st->array_index = i + n;
    if (st->output_data != nullptr) {
        std::memcpy(st->output_data + i, out, sizeof(float) * static_cast<size_t>(n));
        // Every chunk the block completed, as forward_sample scales them.
        const int completed = (i + n) / chunk * chunk;
        if (completed > st->output_scaled) {
            scale_out_to(st, completed);
        }
    }
}

// The loss derivative of one expected value, its chunk already scaled.
inline int reverse_expected(PyGraph_Object* g, PyInteraction_Object* interaction, register_state_t* st, int i) {
    if (i == st->first_bad_expected) {
        graph_raise_in_pass(g, PyExc_RuntimeError, "Nan found in expected array in register '%s'",
                            interaction->name);
        return -1;
    }
    if (i == st->first_clamped_expected) {
        interaction->errcode = 1;
    }
    // The output runs first in the reverse pass, so the source's da still
    // holds the 0 the driver put there: it is set, not added to.
    g->interactions[interaction->sources[0]]->da[0] =
        interaction->loss_dv_f(st->expected_data[i], interaction->activation[0]);
    return 0;
}

// Scales the chunk of expected values that starts at sample i, then takes
// its derivative; out of line for the same reason as the input's.
[[gnu::noinline]] int reverse_at_expected_chunk(PyGraph_Object* g, PyInteraction_Object* interaction, int i) {
    register_state_t* st = state_of(interaction);
    scale_chunk(st, st->py_expectedarray, st->expected_data, i, &st->first_bad_expected,
                &st->first_clamped_expected);
    return reverse_expected(g, interaction, st, i);
}

int reverse(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    register_state_t* st = state_of(interaction);
    // Only the output of the graph being trained holds expected values: it
    // drops them when the query hands over its output.
    if (st->expected_data != nullptr) {
        const int i = st->array_index - n_samples;
        if (i % chunk == 0) {
            return reverse_at_expected_chunk(g, interaction, i);
        }
        return reverse_expected(g, interaction, st, i);
    }
    if (interaction->sources[0] != -1 && n_samples >= 1) {
        graph_add_da(g, interaction->sources[0], 0, interaction->da[0]);
    }
    return 0;
}

PyObject* getattr(PyInteraction_Object* interaction, const char* name) {
    const register_state_t* st = state_of(interaction);
    if (std::strcmp(name, "feature_min") == 0) {
        return PyFloat_FromDouble(st->feature_min);
    }
    if (std::strcmp(name, "feature_max") == 0) {
        return PyFloat_FromDouble(st->feature_max);
    }
    if (std::strcmp(name, "auto_adapt") == 0) {
        return PyBool_FromLong(st->auto_adapt);
    }
    return nullptr;
}

int setattr(PyInteraction_Object* interaction, const char* name, PyObject* value) {
    register_state_t* st = state_of(interaction);
    if (std::strcmp(name, "feature_min") == 0) {
        return vesk_number_to_float(value, &st->feature_min);
    }
    if (std::strcmp(name, "feature_max") == 0) {
        return vesk_number_to_float(value, &st->feature_max);
    }
    if (std::strcmp(name, "auto_adapt") == 0) {
        if (!PyBool_Check(value)) {
            return -1;
        }
        st->auto_adapt = (value == Py_True) ? 1 : 0;
        return 0;
    }
    return -1;
}

const char* get_tooltip(PyInteraction_Object* interaction) {
    return interaction->name;
}


void deallocate(PyInteraction_Object* interaction) {
    register_state_t* st = state_of(interaction);
    vesk_replace(&st->py_inputarray, nullptr);
    vesk_replace(&st->py_outputarray, nullptr);
    vesk_replace(&st->py_expectedarray, nullptr);
    sync_data(st);
}

int set_inputarray(PyInteraction_Object* interaction, PyObject* py_array) {
    register_state_t* st = state_of(interaction);
    if (hold_column(interaction, &st->py_inputarray, py_array, input_refusals) < 0) {
        return -1;
    }
    if (py_array != nullptr && !st->auto_adapt) {
        apply_default_range(st);
    }
    st->first_bad_input = st->first_clamped_input = -1;
    return 0;
}

int set_expectedarray(PyInteraction_Object* interaction, PyObject* py_array) {
    register_state_t* st = state_of(interaction);
    st->first_bad_expected = st->first_clamped_expected = -1;
    return hold_column(interaction, &st->py_expectedarray, py_array, expected_refusals);
}

int create_outputarray(PyInteraction_Object* interaction, int64_t sz) {
    register_state_t* st = state_of(interaction);
    apply_default_range(st);
    st->array_index = 0;
    st->output_scaled = 0;
    vesk_replace(&st->py_outputarray, nullptr);
    sync_data(st);
    npy_intp dims[1] = {static_cast<npy_intp>(sz)};
    PyObject* out = PyArray_New(&PyArray_Type, 1, dims, NPY_FLOAT, nullptr, nullptr, 0, 0, nullptr);
    if (out == nullptr) {
        return -1;
    }
    st->py_outputarray = out;
    sync_data(st);
    return 0;
}

// The name must be the whole of the str or bytes object: one with a NUL
// inside is no name in the table.
int set_loss(PyInteraction_Object* interaction, PyObject* py_loss_name) {
    const char* name = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_Check(py_loss_name)) {
        char* bytes = nullptr;
        name = PyBytes_AsStringAndSize(py_loss_name, &bytes, &size) == 0 ? bytes : nullptr;
    } else {
        name = PyUnicode_AsUTF8AndSize(py_loss_name, &size);
    }
    if (name == nullptr || std::strlen(name) != static_cast<size_t>(size) ||
        set_loss_function_from_string(name, &interaction->loss_dv_f) != 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Invalid loss function provided");
        return -1;
    }
    return 0;
}

// Hands the output over at the end of a query, which also ends the
// register's use of the expected values: no copy of them outlives it.
PyObject* get_outputarray(PyInteraction_Object* interaction) {
    register_state_t* st = state_of(interaction);
    PyObject* out = st->py_outputarray;
    if (st->output_data != nullptr) {
        scale_out_to(st, st->array_index);
    }
    st->py_outputarray = nullptr;  // the caller takes over the register's reference
    vesk_replace(&st->py_expectedarray, nullptr);
    sync_data(st);
    if (out == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "Register '%s' holds no output array", interaction->name);
    }
    return out;
}

interaction_type_t typeobj = {
    "fixed",              // type_name
    initialize,           // initialize
    forward,              // forward
    reverse,              // reverse
    attributes,           // attributes
    setattr,              // setattr
    getattr,              // getattr
    get_tooltip,          // get_tooltip
    deallocate,           // deallocate
    set_inputarray,       // set_inputarray
    set_expectedarray,    // set_expectedarray
    create_outputarray,   // create_outputarray
    set_loss,             // set_loss
    get_outputarray,      // get_outputarray
    nullptr,              // next
    READS_FIRST,          // source_reads
    forward_block,        // forward_block
    block_ready,          // block_ready
};

}  // namespace

int init() {
    return vesk_add_interactiontype(&typeobj);
}

}  // namespace vesk::fixed
