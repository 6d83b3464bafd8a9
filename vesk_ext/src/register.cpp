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
    loss_func loss_dv_f;        // unused: the loss in force is the interaction's own
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

register_state_t* state_of(PyInteraction_Object* interaction) {
    return interaction_state<register_state_t>(interaction);
}

float* data_of(PyObject* array) {
    return array != nullptr ? static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))) : nullptr;
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
    float a = (2.0f * (v - lo)) / span - 1.0f;
    if (a > 1.0f || a < -1.0f) {
        a = a > 1.0f ? 1.0f : -1.0f;
        if (*first_clamped < 0) {
            *first_clamped = static_cast<int>(i);
        }
    }
    *value = a;
    return true;
}

// Scales held values [begin, end) in place into [-1, 1] with the current
// range, exactly as each would be scaled alone: (2 (v - min)) / (max - min) - 1,
// clamped (a NaN result passes unclamped). Stops at the first non-finite
// value, which the loop will refuse: nothing after it is read.
// Out of line: called once a chunk, it would otherwise cost every sample
// the registers it needs.
[[gnu::noinline]] void scale_in_place(const register_state_t* st, float* data, int64_t begin, int64_t n,
                                      int* first_bad, int* first_clamped) {
    const float lo = st->feature_min;
    const float span = st->feature_max - st->feature_min;
    int64_t i = begin;
    // Four values at a time in vector lanes (each lane computes exactly the
    // scalar result); a group holding a non-finite or clamped value goes one
    // value at a time.
    const float_lanes one = {1.0f, 1.0f, 1.0f, 1.0f};
    for (; i + 4 <= n; i += 4) {
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

void apply_default_range(register_state_t* st) {
    if (std::isnan(st->feature_max)) {
        st->feature_max = 1.0f;
    }
    if (std::isnan(st->feature_min)) {
        st->feature_min = -1.0f;
    }
}

// The maximum or minimum of an array as a float, through numpy's reduction
// over the array as given (before any conversion). -1 with an exception set
// when numpy or the float conversion fails.
int reduce_to_float(PyObject* py_array, bool maximum, float* out) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(py_array);
    PyRef reduced(maximum ? PyArray_Max(a, NPY_RAVEL_AXIS, nullptr) : PyArray_Min(a, NPY_RAVEL_AXIS, nullptr));
    if (!reduced) {
        return -1;
    }
    const double value = PyFloat_AsDouble(reduced.get());
    if (value == -1.0 && PyErr_Occurred()) {
        return -1;
    }
    *out = static_cast<float>(value);
    return 0;
}

// Columns of the common element types are converted and reduced here, in
// one pass each, without numpy's general machinery: a query of a few samples
// would otherwise spend most of its time there. The results are those of
// numpy's cast and reductions: conversions are the C ones numpy uses, and a
// maximum or minimum is a value of the array, widened to double and rounded
// to float as the reduction's scalar would be. Where numpy's result is not
// determined by the values alone (a NaN, whose payload numpy picks, or a
// zero when both signs of zero occur) the general path runs instead.
enum column_kind { kind_other, kind_f32, kind_f64, kind_i8, kind_i16, kind_i32, kind_i64,
                   kind_u8, kind_u16, kind_u32, kind_u64 };

column_kind kind_of(PyArrayObject* a) {
    const PyArray_Descr* d = PyArray_DESCR(a);
    if (!PyArray_ISNBO(d->byteorder) || !PyArray_ISALIGNED(a) || PyArray_DIM(a, 0) == 0) {
        return kind_other;
    }
    switch (d->type_num) {
        case NPY_FLOAT: return kind_f32;
        case NPY_DOUBLE: return kind_f64;
        default: break;
    }
    if (PyTypeNum_ISSIGNED(d->type_num)) {
        switch (PyDataType_ELSIZE(d)) {
            case 1: return kind_i8;
            case 2: return kind_i16;
            case 4: return kind_i32;
            case 8: return kind_i64;
            default: return kind_other;
        }
    }
    if (PyTypeNum_ISUNSIGNED(d->type_num)) {
        switch (PyDataType_ELSIZE(d)) {
            case 1: return kind_u8;
            case 2: return kind_u16;
            case 4: return kind_u32;
            case 8: return kind_u64;
            default: return kind_other;
        }
    }
    return kind_other;
}

template <typename T>
inline T element_of(const char* base, npy_intp stride, npy_intp i) {
    return *reinterpret_cast<const T*>(base + i * stride);
}

template <typename T>
void convert_elements(PyArrayObject* from, float* to) {
    const char* base = PyArray_BYTES(from);
    const npy_intp stride = PyArray_STRIDES(from)[0];
    const npy_intp n = PyArray_DIM(from, 0);
    if constexpr (std::is_same_v<T, npy_float>) {
        if (stride == static_cast<npy_intp>(sizeof(float))) {
            std::memcpy(to, base, static_cast<size_t>(n) * sizeof(float));
            return;
        }
    }
    for (npy_intp i = 0; i < n; ++i) {
        to[i] = static_cast<float>(element_of<T>(base, stride, i));
    }
}

// The maximum and minimum as the reductions' scalars converted to float;
// false where the general path must decide.
template <typename T>
bool range_of(PyArrayObject* a, float* max_out, float* min_out) {
    const char* base = PyArray_BYTES(a);
    const npy_intp stride = PyArray_STRIDES(a)[0];
    const npy_intp n = PyArray_DIM(a, 0);
    T mx = element_of<T>(base, stride, 0);
    T mn = mx;
    if constexpr (std::is_floating_point_v<T>) {
        bool negative_zero = false;
        bool positive_zero = false;
        for (npy_intp i = 0; i < n; ++i) {
            const T v = element_of<T>(base, stride, i);
            if (v != v) {
                return false;
            }
            if (v == 0) {
                (std::signbit(v) ? negative_zero : positive_zero) = true;
            }
            mx = v > mx ? v : mx;
            mn = v < mn ? v : mn;
        }
        if (negative_zero && positive_zero && (mx == 0 || mn == 0)) {
            return false;
        }
    } else {
        for (npy_intp i = 1; i < n; ++i) {
            const T v = element_of<T>(base, stride, i);
            mx = v > mx ? v : mx;
            mn = v < mn ? v : mn;
        }
    }
    *max_out = static_cast<float>(static_cast<double>(mx));
    *min_out = static_cast<float>(static_cast<double>(mn));
    return true;
}

PyObject* general_float32_copy(PyArrayObject* a) {
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT);  // reference consumed by the cast
    return PyArray_CastToType(a, descr, 0);
}

// Narrowing doubles raises the floating-point flags numpy reports on a cast
// (as warnings or errors, as its error state says); a column that raises
// any of them is left to numpy's cast.
bool narrow_doubles(PyArrayObject* from, float* to) {
    const int reported = FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;
    std::fexcept_t saved;
    std::fegetexceptflag(&saved, reported);
    std::feclearexcept(reported);
    convert_elements<npy_double>(from, to);
    const bool clean = std::fetestexcept(reported) == 0;
    std::fesetexceptflag(&saved, reported);
    return clean;
}

// A new contiguous float32 copy of a column, or null with an exception set.
PyObject* float32_copy(PyObject* py_array) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(py_array);
    const column_kind kind = PyArray_NDIM(a) == 1 ? kind_of(a) : kind_other;
    if (kind == kind_other) {
        return general_float32_copy(a);
    }
    npy_intp dims[1] = {PyArray_DIM(a, 0)};
    PyObject* copy = PyArray_New(&PyArray_Type, 1, dims, NPY_FLOAT, nullptr, nullptr, 0, 0, nullptr);
    if (copy == nullptr) {
        return nullptr;
    }
    float* to = reinterpret_cast<float*>(PyArray_BYTES(reinterpret_cast<PyArrayObject*>(copy)));
    bool clean = true;
    {
        UnlockedFor unlocked(dims[0]);
        switch (kind) {
            case kind_f32: convert_elements<npy_float>(a, to); break;
            case kind_f64: clean = narrow_doubles(a, to); break;
            case kind_i8: convert_elements<npy_int8>(a, to); break;
            case kind_i16: convert_elements<npy_int16>(a, to); break;
            case kind_i32: convert_elements<npy_int32>(a, to); break;
            case kind_i64: convert_elements<npy_int64>(a, to); break;
            case kind_u8: convert_elements<npy_uint8>(a, to); break;
            case kind_u16: convert_elements<npy_uint16>(a, to); break;
            case kind_u32: convert_elements<npy_uint32>(a, to); break;
            case kind_u64: convert_elements<npy_uint64>(a, to); break;
            case kind_other: break;
        }
    }
    if (!clean) {
        Py_DECREF(copy);
        return general_float32_copy(a);
    }
    return copy;
}

bool fast_range(PyObject* py_array, float* max_out, float* min_out) {
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(py_array);
    UnlockedFor unlocked(PyArray_NDIM(a) == 1 ? PyArray_DIM(a, 0) : 0);
    switch (PyArray_NDIM(a) == 1 ? kind_of(a) : kind_other) {
        case kind_f32: return range_of<npy_float>(a, max_out, min_out);
        case kind_f64: return range_of<npy_double>(a, max_out, min_out);
        case kind_i8: return range_of<npy_int8>(a, max_out, min_out);
        case kind_i16: return range_of<npy_int16>(a, max_out, min_out);
        case kind_i32: return range_of<npy_int32>(a, max_out, min_out);
        case kind_i64: return range_of<npy_int64>(a, max_out, min_out);
        case kind_u8: return range_of<npy_uint8>(a, max_out, min_out);
        case kind_u16: return range_of<npy_uint16>(a, max_out, min_out);
        case kind_u32: return range_of<npy_uint32>(a, max_out, min_out);
        case kind_u64: return range_of<npy_uint64>(a, max_out, min_out);
        case kind_other: return false;
    }
    return false;
}

void widen_range(register_state_t* st, float max_value, float min_value) {
    if (std::isnan(st->feature_max) || max_value > st->feature_max) {
        st->feature_max = max_value;
    }
    if (std::isnan(st->feature_min) || st->feature_min > min_value) {
        st->feature_min = min_value;
    }
}

// Widens the feature range to cover the array; the range never shrinks.
int adapt_range(register_state_t* st, PyObject* py_array) {
    float max_value;
    float min_value;
    if (fast_range(py_array, &max_value, &min_value)) {
        widen_range(st, max_value, min_value);
        return 0;
    }
    if (reduce_to_float(py_array, true, &max_value) < 0) {
        return -1;
    }
    if (std::isnan(st->feature_max) || max_value > st->feature_max) {
        st->feature_max = max_value;
    }
    if (reduce_to_float(py_array, false, &min_value) < 0) {
        return -1;
    }
    if (std::isnan(st->feature_min) || st->feature_min > min_value) {
        st->feature_min = min_value;
    }
    return 0;
}

// Releases the held array of `field` and, given an array, keeps a new
// contiguous float32 copy of it there.
int hold_float32_copy(PyInteraction_Object* interaction, PyObject** field, PyObject* py_array,
                      const char* refusal) {
    register_state_t* st = state_of(interaction);
    st->array_index = 0;
    vesk_replace(field, nullptr);
    sync_data(st);
    if (py_array == nullptr) {
        return 0;
    }
    PyObject* converted = float32_copy(py_array);
    if (converted == nullptr) {
        PyErr_Format(PyExc_ValueError, refusal, interaction->name);
        return -1;
    }
    *field = converted;
    sync_data(st);
    return 0;
}

int initialize(PyInteraction_Object* interaction) {
    register_state_t* st = state_of(interaction);
    st->array_index = 0;
    st->py_inputarray = nullptr;
    st->py_outputarray = nullptr;
    st->py_expectedarray = nullptr;
    sync_data(st);
    st->first_bad_input = st->first_clamped_input = -1;
    st->first_bad_expected = st->first_clamped_expected = -1;
    st->feature_max = std::numeric_limits<float>::quiet_NaN();
    st->feature_min = std::numeric_limits<float>::quiet_NaN();
    st->auto_adapt = 1;
    st->loss_dv_f = nullptr;
    interaction->loss_dv_f = mean_squared_error;
    interaction->data_size = sizeof(register_state_t);
    return 0;
}

// Values are scaled in and out a chunk at a time, inside the sample loop (so
// without the interpreter lock), four values at a time in vector lanes.
constexpr int chunk = 256;

int64_t held_length(PyObject* array) {
    return PyArray_DIM(reinterpret_cast<PyArrayObject*>(array), 0);
}

// Scales out the outputs [begin, end), which the loop wrote as activations;
// out of line for the same reason.
[[gnu::noinline]] void scale_out_in_place(const register_state_t* st, float* values, int begin, int end) {
    const float lo = st->feature_min;
    const float span = st->feature_max - st->feature_min;
    int i = begin;
    // Four at a time in vector lanes; the operations are those of scale_out,
    // in its order.
    for (; i + 4 <= end; i += 4) {
        store_lanes(values + i, ((1.0f + load_lanes(values + i)) * span) * 0.5f + lo);
    }
    for (; i < end; ++i) {
        values[i] = scale_out(st, values[i]);
    }
}

// Scales the chunk of input values that starts at the current sample, then
// runs the sample. Out of line and reached by a tail call, so that the common
// path of forward keeps no values across a call.
[[gnu::noinline]] int forward_at_input_chunk(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples);

// Scales out the chunk of outputs that ends at `end`; 0 (forward's result).
[[gnu::noinline]] int finish_output_chunk(const register_state_t* st, int end) {
    scale_out_in_place(st, st->output_data, end - chunk, end);
    return 0;
}

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
    // Scaled out a chunk at a time; the last, partial chunk when the array is
    // handed over.
    if (st->output_data != nullptr) {
        st->output_data[i] = interaction->activation[0];
        if ((i + 1) % chunk == 0) {
            return finish_output_chunk(st, i + 1);
        }
    }
    return 0;
}

// Scales the input chunk that starts at the current sample.
void scale_input_chunk(register_state_t* st) {
    const int i = st->array_index;
    const int64_t end = std::min<int64_t>(i + chunk, held_length(st->py_inputarray));
    scale_in_place(st, st->input_data, i, end, &st->first_bad_input, &st->first_clamped_input);
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
        // Every chunk completed in the block, as forward_sample scales them.
        for (int64_t end = (i / chunk + 1) * static_cast<int64_t>(chunk); end <= i + n; end += chunk) {
            finish_output_chunk(st, static_cast<int>(end));
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
    const int64_t end = std::min<int64_t>(i + chunk, held_length(st->py_expectedarray));
    scale_in_place(st, st->expected_data, i, end, &st->first_bad_expected, &st->first_clamped_expected);
    return reverse_expected(g, interaction, st, i);
}

int reverse(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    register_state_t* st = state_of(interaction);
    // Only the output of the graph being trained reads expected values: an
    // expected array left from an earlier query in another graph, where this
    // register was the output, is never read here.
    if (st->expected_data != nullptr && g->interactions[g->size - 1] == interaction) {
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
    if (hold_float32_copy(interaction, &st->py_inputarray, py_array,
                          "input %s could not be cast to type of register (float32)") < 0) {
        return -1;
    }
    if (py_array == nullptr) {
        return 0;
    }
    if (st->auto_adapt) {
        if (adapt_range(st, py_array) < 0) {
            return -1;
        }
    } else {
        apply_default_range(st);
    }
    st->first_bad_input = st->first_clamped_input = -1;
    return 0;
}

int set_expectedarray(PyInteraction_Object* interaction, PyObject* py_array) {
    register_state_t* st = state_of(interaction);
    if (hold_float32_copy(interaction, &st->py_expectedarray, py_array,
                          "expected %s could not be cast to type of register (float32)") < 0) {
        return -1;
    }
    st->first_bad_expected = st->first_clamped_expected = -1;
    if (py_array != nullptr && st->auto_adapt) {
        return adapt_range(st, py_array);
    }
    return 0;
}

int create_outputarray(PyInteraction_Object* interaction, int64_t sz) {
    register_state_t* st = state_of(interaction);
    apply_default_range(st);
    st->array_index = 0;
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

int set_loss(PyInteraction_Object* interaction, PyObject* py_loss_name) {
    const char* name = PyBytes_Check(py_loss_name) ? PyBytes_AsString(py_loss_name)
                                                  : PyUnicode_AsUTF8(py_loss_name);
    if (name == nullptr || set_loss_function_from_string(name, &interaction->loss_dv_f) != 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Invalid loss function provided");
        return -1;
    }
    return 0;
}

PyObject* get_outputarray(PyInteraction_Object* interaction) {
    register_state_t* st = state_of(interaction);
    PyObject* out = st->py_outputarray;
    // The loop scaled out every full chunk it wrote; the rest is done here.
    if (st->output_data != nullptr) {
        scale_out_in_place(st, st->output_data, st->array_index - st->array_index % chunk, st->array_index);
    }
    st->py_outputarray = nullptr;  // the caller takes over the register's reference
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
