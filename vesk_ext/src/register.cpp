// The numeric register "fixed": carries numbers into a graph (input
// register), passes them through (register with a source) and out of it
// (output register), mapping them into [-1, 1] with a learned feature range.
#include "_vesk.h"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <limits>
#include <type_traits>

namespace vesk::fixed {
namespace {

// Values are read, scaled in and scaled out a chunk at a time, inside the
// sample loop (so without the interpreter lock), four values at a time in
// vector lanes.
constexpr int chunk = 256;

// Rows count in 64 bits, so that no position or chunk end near the largest
// sample count wraps.

// The first sample of the chunk after the one that holds sample i.
constexpr int64_t next_chunk(int64_t i) {
    return (i / chunk + 1) * chunk;
}

// Where the checked path stops next after sample i: the next chunk, or a
// mark after i before it (the first non-finite or clamped value, -1 none).
constexpr int64_t next_stop(int64_t i, int64_t first_bad, int64_t first_clamped) {
    int64_t stop = next_chunk(i);
    for (const int64_t mark : {first_bad, first_clamped}) {
        stop = mark > i && mark < stop ? mark : stop;
    }
    return stop;
}

// The loop moves on from every sample up to the largest count, and a chunk
// never ends past the next multiple of its size.
consteval bool chunks_move_on() {
    constexpr int64_t last = vesk_max_samples;
    for (const int64_t i :
         {int64_t{0}, int64_t{chunk - 1}, int64_t{chunk}, last - chunk - 1, last - chunk, last - 2, last - 1, last}) {
        const int64_t stop = next_stop(i, -1, -1);
        if (stop <= i || stop > i + chunk || stop % chunk != 0 || next_stop(i, i + 1, -1) != i + 1 ||
            next_stop(i, -1, stop + 1) != stop || next_stop(i, i, i) != stop) {
            return false;
        }
    }
    return true;
}
static_assert(chunks_move_on(), "a chunk's end must lie after its sample, for every count a query takes");

struct element_ops;

struct survey_result {
    bool found;   // some value is finite as float32
    bool clean;   // converting raises none of the flags numpy reports on a cast
    float max;
    float min;
};

// A column the register reads: input values or expected values. The sample
// loop reads the caller's memory a chunk at a time into `values`, converted
// to float32 and scaled into [-1, 1].
struct column {
    PyObject* owner;          // owned: the caller's array, or numpy's float32 copy of it
    // What the loop reads of it, taken while the interpreter lock was held:
    // another thread may reshape the array in place meanwhile (which moves
    // its dimensions and strides), but cannot free its data while the
    // register holds a reference to it.
    const char* data;
    npy_intp stride;
    int64_t length;
    const PyArray_Descr* dtype;  // borrowed: the owner's
    const element_ops* ops;
    int64_t start;            // the sample of values[0]; -1 before the first chunk
    // Where the loop must stop with an error (the first non-finite value)
    // and where it sets errcode (the first clamped value before it), among
    // the chunks read so far; -1 for none.
    int64_t first_bad;
    int64_t first_clamped;
    // The next sample at which the loop takes the checked path: a chunk to
    // read, or one of the two marks above. Samples below it just read their
    // value.
    int64_t stop;
    // The range of the column's values, which widens the register's range
    // once the query settles: a refused query leaves the range as it was.
    survey_result range;
    float values[chunk];
};

struct register_state_t {
    int64_t array_index;
    // Outputs below this index are scaled out: the loop scales them a chunk
    // at a time, the last, partial chunk when the array is handed over.
    int64_t output_scaled;
    column* input;              // owned, or null
    column* expected;           // owned, or null
    PyObject* py_outputarray;   // owned output array until handed to the caller, or null
    float* output_data;         // its elements, or null
    // A new register's: the range is not yet known.
    float feature_max = std::numeric_limits<float>::quiet_NaN();
    float feature_min = std::numeric_limits<float>::quiet_NaN();
    int auto_adapt = 1;
};

// The rest of the record (the held arrays, the position in them, the marks
// of their scan) belongs to a query, not to the register's state. Unknown
// names are refused, as by default.
// clang-format off
constexpr state_description description = {
    .fields = {
        VESK_ATTRIBUTE(register_state_t, feature_min, number),
        VESK_ATTRIBUTE(register_state_t, feature_max, number),
        VESK_ATTRIBUTE(register_state_t, auto_adapt, flag),
    },
};
// clang-format on

register_state_t* state_of(PyInteraction_Object* interaction) {
    return interaction_state<register_state_t>(interaction);
}

// ---------------------------------------------------------------------------
// Reading numeric columns in their own dtype. Each value converts to float32
// exactly as numpy's cast converts it (the C conversions numpy uses).

// float16 and bool, read as their bits.
enum class half_bits : uint16_t {};
enum class bool_byte : uint8_t {};

// An element as it compares for the range; converted to float, as the
// samples read it. Integers compare in their own type (the range is then
// rounded through double, as numpy's scalars were, while each sample rounds
// once). Doubles compare once rounded to float, which picks the same bounds
// (rounding keeps their order) and leaves out the values that overflow.
template <typename T>
T compared(T v) {
    return v;
}
float compared(npy_double v) {
    return static_cast<float>(v);
}
// float16 widens to float32 exactly: the bits move into place.
float compared(half_bits v) {
    const auto bits = static_cast<uint32_t>(v);
    const uint32_t sign = (bits & 0x8000u) << 16;
    const uint32_t exponent = (bits >> 10) & 0x1fu;
    const uint32_t mantissa = bits & 0x3ffu;
    if (exponent == 0) {  // zero or subnormal: mantissa x 2^-24, with the sign
        return std::bit_cast<float>(sign | std::bit_cast<uint32_t>(static_cast<float>(mantissa) * 0x1p-24f));
    }
    return std::bit_cast<float>(sign | (exponent == 0x1f ? 0x7f800000u : (exponent + 112) << 23) | (mantissa << 13));
}
uint8_t compared(bool_byte v) {
    return static_cast<uint8_t>(v) != 0;
}

// An element at any alignment, in either byte order.
template <typename T, bool Swapped>
inline T load(const char* p) {
    unsigned char bytes[sizeof(T)];
    for (size_t k = 0; k < sizeof(T); ++k) {
        bytes[k] = static_cast<unsigned char>(p[Swapped ? sizeof(T) - 1 - k : k]);
    }
    return std::bit_cast<T>(bytes);
}

// Elements [begin, begin + n) as float32.
template <typename T, bool Swapped>
void convert(const char* data, npy_intp stride, int64_t begin, int n, float* out) {
    const char* p = data + begin * stride;
    if (std::is_same_v<T, npy_float> && !Swapped && stride == static_cast<npy_intp>(sizeof(float))) {
        std::memcpy(out, p, sizeof(float) * static_cast<size_t>(n));
        return;
    }
    for (int k = 0; k < n; ++k, p += stride) {
        out[k] = static_cast<float>(compared(load<T, Swapped>(p)));
    }
}

// The range of the values the samples can use, those finite as float32, in
// one pass over the whole column: its maximum and minimum as `compared`
// gives them, rounded through double to float. Of two zeros the maximum
// is +0, the minimum -0. Doubles also tell whether narrowing them raises the
// flags numpy reports (as warnings or errors, as its error state says): a
// column that does is left to numpy's cast.
template <typename T, bool Swapped>
survey_result survey(const char* data, npy_intp stride, int64_t length) {
    using C = decltype(compared(T{}));
    // Every element of a broadcast column is its first.
    const int64_t n = stride == 0 ? std::min<int64_t>(length, 1) : length;
    // Only doubles narrow, and saving and restoring the flags costs more
    // than surveying a short column: other types leave them alone.
    constexpr bool narrows = std::is_same_v<T, npy_double>;
    const int reported = FE_OVERFLOW | FE_UNDERFLOW | FE_INVALID;
    std::fexcept_t saved{};
    if constexpr (narrows) {
        std::fegetexceptflag(&saved, reported);
        std::feclearexcept(reported);
    }
    // Each bound starts at the other end of the range: they stay crossed
    // until a value is found.
    C mx = std::numeric_limits<C>::lowest();
    C mn = std::numeric_limits<C>::max();
    const char* p = data;
    for (int64_t i = 0; i < n; ++i, p += stride) {
        const C v = compared(load<T, Swapped>(p));
        if (v - v != 0) {
            continue;  // not finite
        }
        // An equal value moves a bound only from one zero to the other.
        mx = v > mx || (v == mx && !std::signbit(v)) ? v : mx;
        mn = v < mn || (v == mn && std::signbit(v)) ? v : mn;
    }
    // Other columns raise them only at values that are not finite, which
    // their own conversion keeps as they are.
    bool clean = true;
    if constexpr (narrows) {
        clean = std::fetestexcept(reported) == 0;
        std::fesetexceptflag(&saved, reported);
    }
    return {mn <= mx, clean, static_cast<float>(static_cast<double>(mx)), static_cast<float>(static_cast<double>(mn))};
}

struct element_ops {
    void (*convert)(const char* data, npy_intp stride, int64_t begin, int n, float* out);
    survey_result (*survey)(const char* data, npy_intp stride, int64_t length);
    bool narrowing;  // the survey also tells whether numpy must convert the column
};

template <typename T, bool Swapped>
constexpr element_ops ops_of = {convert<T, Swapped>, survey<T, Swapped>, std::is_same_v<T, npy_double>};

// How a column's elements are read; null for a dtype numpy must cast.
const element_ops* ops_for(PyArrayObject* a) {
    const PyArray_Descr* d = PyArray_DESCR(a);
    const auto pick = [swapped = !PyArray_ISNBO(d->byteorder)](auto zero) {
        using T = decltype(zero);
        return swapped ? &ops_of<T, true> : &ops_of<T, false>;
    };
    switch (d->type_num) {
        case NPY_BOOL: return pick(bool_byte{});
        case NPY_HALF: return pick(half_bits{});
        case NPY_FLOAT: return pick(npy_float{});
        case NPY_DOUBLE: return pick(npy_double{});
        default: return vesk_with_integer_type(d, pick);
    }
}

// ---------------------------------------------------------------------------
// Scaling

// One value, with the checks: false at a non-finite value, where the loop
// will stop.
inline bool scale_one(float* value, int64_t i, float lo, float span, int64_t* first_bad, int64_t* first_clamped) {
    const float v = *value;
    if (!std::isfinite(v)) {
        *first_bad = i;
        return false;
    }
    // A value equal to a range of width zero sits in its middle, where the
    // formula would give 0/0.
    float a = span == 0.0f && v == lo ? 0.0f : (2.0f * (v - lo)) / span - 1.0f;
    if (a > 1.0f || a < -1.0f) {
        a = a > 1.0f ? 1.0f : -1.0f;
        *first_clamped = *first_clamped < 0 ? i : *first_clamped;
    }
    *value = a;
    return true;
}

// Reads the chunk of a column that starts at sample i and scales it into
// [-1, 1] with the current range, exactly as each value would be scaled
// alone: (2 (v - min)) / (max - min) - 1, clamped (a NaN result passes
// unclamped). Stops at the first non-finite value, which the loop will
// refuse: nothing after it is read. A chunk already read is not read again.
// Out of line: called once a chunk, it would otherwise cost every sample
// the registers it needs.
[[gnu::noinline]] void read_chunk(const register_state_t* st, column* c, int64_t i) {
    if (c->start == i) {
        return;
    }
    c->start = i;
    const int n = static_cast<int>(std::min<int64_t>(chunk, c->length - i));
    c->ops->convert(c->data, c->stride, i, n, c->values);
    float* values = c->values;
    const float lo = st->feature_min;
    const float span = st->feature_max - st->feature_min;
    // Four values at a time in vector lanes (each lane computes exactly the
    // scalar result); a group holding a non-finite or clamped value, the
    // values after the last whole group, and a range of width zero go one
    // value at a time.
    const float_lanes one = {1.0f, 1.0f, 1.0f, 1.0f};
    int k = 0;
    while (k < n) {
        for (; span != 0.0f && k + 4 <= n; k += 4) {
            const float_lanes v = load_lanes(values + k);
            const float_lanes a = (2.0f * (v - lo)) / span - 1.0f;
            // v - v is 0 exactly for finite v, NaN otherwise.
            if (any_lane((v - v != 0.0f) | (a > one) | (a < -one))) {
                break;
            }
            store_lanes(values + k, a);
        }
        for (const int end = std::min(k + 4, n); k < end; ++k) {
            if (!scale_one(values + k, i + k, lo, span, &c->first_bad, &c->first_clamped)) {
                return;
            }
        }
    }
}

// Scales out the outputs from the last scaled one up to `end`, which the
// loop wrote as activations: ((1 + a) (max - min)) / 2 + min. Out of line
// for the same reason.
[[gnu::noinline]] void scale_out_to(register_state_t* st, int64_t end) {
    const float lo = st->feature_min;
    const float span = st->feature_max - st->feature_min;
    float* values = st->output_data + st->output_scaled;
    // Never more than a chunk, or the samples of one block.
    const int n = static_cast<int>(end - st->output_scaled);
    block_map(n, values, [=](auto a) { return ((1.0f + a) * span) * 0.5f + lo; }, values);
    st->output_scaled = end;
}

void apply_default_range(register_state_t* st) {
    st->feature_max = std::isnan(st->feature_max) ? 1.0f : st->feature_max;
    st->feature_min = std::isnan(st->feature_min) ? -1.0f : st->feature_min;
}

// ---------------------------------------------------------------------------
// Holding a column

// A masked array passes as its data when its mask hides nothing; one that
// hides a value is refused, naming the column (`what`) and the register. 0,
// or -1 with an exception.
int refuse_hidden_values(PyObject* py_array, const char* what, const char* name) {
    // Masked arrays come from numpy.ma alone: without it loaded there are none.
    PyObject* borrowed_ma =
        PyArray_CheckExact(py_array) ? nullptr : PyDict_GetItemString(PyImport_GetModuleDict(), "numpy.ma");
    if (borrowed_ma == nullptr) {
        return 0;
    }
    PyRef hidden(PyObject_CallMethod(borrowed_ma, "is_masked", "O", py_array));
    const int refused = hidden ? PyObject_IsTrue(hidden.get()) : -1;
    return refused > 0 ? vesk_fail(PyExc_ValueError, "%s %s hides values behind a mask", what, name) : refused;
}

// Everything the register reads of an array, taken while it holds the lock;
// owner stays null.
column column_of(PyArrayObject* a) {
    return {nullptr,
            PyArray_BYTES(a),
            PyArray_STRIDES(a)[0],
            PyArray_DIM(a, 0),
            PyArray_DESCR(a),
            ops_for(a),
            -1,
            -1,
            -1,
            0,
            {},
            {}};
}

// Whether an array still reads as the column taken from it: Python code
// run since (a signal handler, a value's conversion, a mask hook) may have
// reshaped or retyped it or given it new memory.
bool reads_as_taken(PyArrayObject* a, const column& c) {
    return PyArray_NDIM(a) == 1 && PyArray_BYTES(a) == c.data && PyArray_DIM(a, 0) == c.length &&
           PyArray_STRIDES(a)[0] == c.stride && PyArray_DESCR(a) == c.dtype;
}

// Between two pieces of a column's set-up: pending signals are looked at,
// and the handlers may have changed the array. 0, or -1 with the handler's
// exception or the refusal of the column (`what` of the register `name`).
int between_pieces(PyArrayObject* a, const column& c, const char* what, const char* name) {
    if (vesk_check_signals_in_setup() < 0) {
        return -1;
    }
    return reads_as_taken(a, c) ? 0 : vesk_refuse_changed_column(what, name);
}

// The survey of two parts of a column, as that of the whole.
survey_result joined(const survey_result& r, const survey_result& s) {
    if (!r.found || !s.found) {
        const survey_result& f = r.found ? r : s;
        return {f.found, r.clean && s.clean, f.max, f.min};
    }
    return {true, r.clean && s.clean, s.max > r.max || (s.max == r.max && !std::signbit(s.max)) ? s.max : r.max,
            s.min < r.min || (s.min == r.min && std::signbit(s.min)) ? s.min : r.min};
}

// The passes of a column's set-up go in pieces of about 10 ms, between
// which pending signals are looked at: each piece takes as long as the one
// before at that one's rate (`n` elements in `took`), within [least, most].
using setup_clock = std::chrono::steady_clock;
int64_t next_piece(int64_t n, setup_clock::duration took, int64_t least, int64_t most) {
    constexpr setup_clock::duration piece_time = std::chrono::milliseconds(10);
    const double ticks = static_cast<double>(std::max<setup_clock::rep>(took.count(), 1));
    const double scaled = static_cast<double>(n) * (static_cast<double>(piece_time.count()) / ticks);
    return static_cast<int64_t>(std::clamp(scaled, static_cast<double>(least), static_cast<double>(most)));
}

// A survey's first piece: about 10 ms of its slowest form (an element of
// another byte order read a byte at a time, 25 ns), 0.3 ms of its fastest.
constexpr int64_t survey_first_piece = int64_t{1} << 18;
constexpr int64_t survey_most_piece = int64_t{1} << 26;

// The survey of a numeric column `c` of the array `a`, where the range or
// the narrowing check needs it, into `range` (clean and empty otherwise):
// pieces without the lock, between which pending signals are looked at.
// 0, or -1 with the exception that stopped it.
int survey_of(PyInteraction_Object* interaction, PyArrayObject* a, const column& c, const char* what,
              survey_result* range) {
    const register_state_t* st = state_of(interaction);
    *range = {false, true, 0.0f, 0.0f};
    if (c.ops == nullptr || !(st->auto_adapt || c.ops->narrowing)) {
        return 0;
    }
    // Every element of a broadcast column is its first.
    const int64_t n = c.stride == 0 ? std::min<int64_t>(c.length, 1) : c.length;
    int64_t piece = survey_first_piece;
    for (int64_t begin = 0; begin < n;) {
        const int64_t len = std::min(piece, n - begin);
        const char* data = c.data + begin * c.stride;
        const setup_clock::time_point start = setup_clock::now();
        *range = joined(*range, vesk_unlocked_for(len, [&] { return c.ops->survey(data, c.stride, len); }));
        begin += len;
        if (begin < n) {
            piece = next_piece(len, setup_clock::now() - start, survey_first_piece / 16, survey_most_piece);
            if (between_pieces(a, c, what, interaction->name) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

// Elements [begin, begin + n) of the column `c` of `a` cast by numpy to
// float32 into `out`, as numpy casts a whole array: 0, or -1 with numpy's
// exception. The piece is read as a base-class array: a subclass's hooks
// never see it.
int cast_piece(PyArrayObject* a, const column& c, npy_intp begin, npy_intp n, float* out) {
    npy_intp dims[1] = {n};
    npy_intp strides[1] = {c.stride};
    PyArray_Descr* descr = PyArray_DESCR(a);
    Py_INCREF(descr);  // the calls steal the descriptors' references
    PyRef piece(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides,
                                     const_cast<char*>(c.data) + begin * c.stride, 0, nullptr));
    if (!piece || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(piece.get()),
                                        vesk_newref(reinterpret_cast<PyObject*>(a))) < 0) {
        return -1;
    }
    // numpy parses a string through a scalar of its own whose conversion
    // runs pending signal handlers and drops their exceptions: strings go
    // as str and bytes objects, which parse alike, to the same floats.
    if (descr->kind == 'U' || descr->kind == 'S') {
        piece = PyRef(
            PyArray_CastToType(reinterpret_cast<PyArrayObject*>(piece.get()), PyArray_DescrFromType(NPY_OBJECT), 0));
        if (!piece) {
            return -1;
        }
    }
    PyRef into(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_FLOAT), 1, dims, nullptr, out,
                                    NPY_ARRAY_CARRAY, nullptr));
    return into ? PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(into.get()),
                                   reinterpret_cast<PyArrayObject*>(piece.get()))
                : -1;
}

// A column numpy must cast, cast to a new float32 array in pieces of about
// 10 ms between which pending signals are looked at: each piece takes as
// long as the one before at its rate, from a first piece of 1,024 objects
// or strings (a value's conversion can take microseconds) or 65,536
// numbers (about a nanosecond each; a numeric column up to that length is
// cast in one piece). Each piece warns as numpy's cast does. The copy in
// `owner` and 0; -1 with numpy's exception when the cast failed; -2 with the
// exception that stopped it otherwise.
int cast_column(PyInteraction_Object* interaction, PyArrayObject* a, const column& c, const char* what, PyRef* owner) {
    npy_intp length = static_cast<npy_intp>(c.length);
    PyRef copy(PyArray_SimpleNew(1, &length, NPY_FLOAT));
    if (!copy) {
        return -2;
    }
    float* out = static_cast<float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy.get())));
    const char kind = c.dtype->kind;
    npy_intp piece = kind == 'O' || kind == 'U' || kind == 'S' ? 1024 : npy_intp{1} << 16;
    for (npy_intp begin = 0; begin < length;) {
        const npy_intp n = std::min(piece, length - begin);
        const setup_clock::time_point start = setup_clock::now();
        if (cast_piece(a, c, begin, n, out + begin) < 0) {
            return -1;
        }
        begin += n;
        if (begin < length) {
            piece = static_cast<npy_intp>(next_piece(n, setup_clock::now() - start, 16, survey_most_piece));
            if (between_pieces(a, c, what, interaction->name) < 0) {
                return -2;
            }
        }
    }
    *owner = std::move(copy);
    return 0;
}

// Releases a held column and its reference to the array it reads.
void release_column(column** field) {
    if (column* c = std::exchange(*field, nullptr)) {
        Py_DECREF(c->owner);
        PyMem_Free(c);
    }
}

// Releases the column held in `field` and, given an array, holds a new one
// that reads it, with the range it will widen the register's to (see settle).
// Numeric columns are read where they are; numpy casts any other column to
// float32 here, before the first sample, so that a failing cast fails the
// query before anything is trained. Releasing keeps the position: an output
// register that is also an input still has its last outputs to scale out
// when it hands them over.
// The refusals name the column by `what`, "input" or "expected", but that of
// a column of another shape, which is `shape`.
int hold_column(PyInteraction_Object* interaction, column** field, PyObject* py_array, const char* what,
                const char* shape) {
    register_state_t* st = state_of(interaction);
    release_column(field);
    if (py_array == nullptr) {
        return 0;
    }
    st->array_index = 0;
    if (refuse_hidden_values(py_array, what, interaction->name) < 0) {
        return -1;
    }
    // Looking at the mask ran Python code, which may have reshaped the array
    // or changed the float controls.
    vesk_reset_query_floats();
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(py_array);
    if (PyArray_NDIM(a) != 1) {
        return vesk_fail(PyExc_ValueError, shape, interaction->name);
    }
    if (PyArray_DIM(a, 0) == 0 && st->auto_adapt) {
        return vesk_fail(PyExc_ValueError, "zero-size array to reduction operation maximum which has no identity");
    }
    column read = column_of(a);
    PyRef owner(vesk_newref(py_array));
    survey_result range;
    if (survey_of(interaction, a, read, what, &range) < 0) {
        return -1;
    }
    if (read.ops == nullptr || !range.clean) {
        const int cast = cast_column(interaction, a, read, what, &owner);
        // A value's conversion may have run Python code.
        vesk_reset_query_floats();
        if (cast < 0) {
            if (cast == -2 || !vesk_error_is_refusable()) {
                return -1;
            }
            vesk_fail(PyExc_ValueError, "%s %s could not be cast to type of register (float32)", what,
                      interaction->name);
            // Strings (or objects) in an input column are categories, most likely.
            const char kind = PyArray_DESCR(a)->kind;
            return field == &st->input && (kind == 'U' || kind == 'S' || kind == 'O')
                       ? vesk_hint("hint: a column of categories goes to a \"cat\" register")
                       : -1;
        }
        PyArrayObject* copy = reinterpret_cast<PyArrayObject*>(owner.get());
        read = column_of(copy);
        if (survey_of(interaction, copy, read, what, &range) < 0) {
            return -1;
        }
    }
    column* held = static_cast<column*>(PyMem_Malloc(sizeof(column)));
    if (held == nullptr) {
        return vesk_no_memory();
    }
    *held = read;
    held->owner = owner.release();
    held->range = range;
    *field = held;
    return 0;
}

// Whether a held column still reads its array as it was taken (a numpy
// copy of the caller's cannot change), and holds the samples of the query:
// as many as its other columns for an input, at least as many for expected
// values. 0, or -1 with the refusal.
int check_column(const PyInteraction_Object* interaction, const column* c, int64_t samples, bool input) {
    const char* what = input ? "input" : "expected";
    if (!reads_as_taken(reinterpret_cast<PyArrayObject*>(c->owner), *c)) {
        return vesk_refuse_changed_column(what, interaction->name);
    }
    if (input && c->length != samples) {
        return vesk_fail(PyExc_ValueError, "Uneven X feature lengths %lld != %lld", static_cast<long long>(samples),
                         static_cast<long long>(c->length));
    }
    if (c->length < samples) {
        return vesk_fail(PyExc_ValueError, "yarray holds %lld values, fewer than the %lld samples of X",
                         static_cast<long long>(c->length), static_cast<long long>(samples));
    }
    return 0;
}

int check_columns(PyInteraction_Object* interaction, int64_t samples) {
    const register_state_t* st = state_of(interaction);
    return (st->input != nullptr && check_column(interaction, st->input, samples, true) < 0) ||
                   (st->expected != nullptr && check_column(interaction, st->expected, samples, false) < 0)
               ? -1
               : 0;
}

// A query that starts its samples widens the range to cover its columns,
// the input's first, with auto_adapt on (with it off, or for an output, an
// unknown range takes its default); a refused one leaves it as it was.
void settle(PyInteraction_Object* interaction, bool keep) {
    register_state_t* st = state_of(interaction);
    if (!keep) {
        return;
    }
    for (const column* c : {st->input, st->expected}) {
        if (c == nullptr) {
            continue;
        }
        const survey_result& range = c->range;
        if (!st->auto_adapt) {
            apply_default_range(st);
        } else if (range.found) {
            st->feature_max = std::isnan(st->feature_max) || range.max > st->feature_max ? range.max : st->feature_max;
            st->feature_min = std::isnan(st->feature_min) || st->feature_min > range.min ? range.min : st->feature_min;
        }
    }
    if (st->py_outputarray != nullptr) {
        apply_default_range(st);
    }
}

int initialize(PyInteraction_Object* interaction) {
    *state_of(interaction) = {};
    interaction->loss_dv_f = mean_squared_error;
    return 0;
}

// ---------------------------------------------------------------------------
// The sample loop

// The value of sample i of a column, on the checked path: reads the chunk
// that starts at i, fails at the first non-finite value (false, the
// exception set) and sets errcode at the first clamped one; then places the
// column's next stop.
bool checked_value(const pass_step* s, register_state_t* st, column* c, int64_t i, const char* refusal) {
    if (i % chunk == 0) {
        read_chunk(st, c, i);
    }
    if (i == c->first_bad) {
        graph_raise_in_pass(s->shared->graph, PyExc_RuntimeError, refusal, s->interaction->name);
        return false;
    }
    // errcode is never cleared: the first clamped sample sets it for good.
    if (i == c->first_clamped) {
        s->interaction->errcode = 1;
    }
    c->stop = next_stop(i, c->first_bad, c->first_clamped);
    return true;
}

// The place of sample i (not negative) in its chunk.
inline int in_chunk(int64_t i) {
    return static_cast<int>(static_cast<uint64_t>(i) % chunk);
}

int forward_input(const pass_step* s, float);

// An input register on the checked path, which an input register that is
// also the output takes at every sample; then the common path takes the value.
[[gnu::noinline]] int forward_input_checked(const pass_step* s) {
    register_state_t* st = step_state<register_state_t>(s);
    column* c = st->input;
    const int64_t i = st->array_index;
    if (!checked_value(s, st, c, i, "Nan found in input array in register '%s'")) {
        return -1;
    }
    if (st->output_data != nullptr) {
        // Scaled out a chunk at a time.
        st->output_data[i] = c->values[in_chunk(i)];
        if (in_chunk(i + 1) == 0) {
            scale_out_to(st, i + 1);
        }
        c->stop = i + 1;
    }
    return forward_input(s, 0.0f);
}

// An input register: the query hands every one its column before the loop.
// It has no reverse step, so it clears its gradient here.
int forward_input(const pass_step* s, float) {
    register_state_t* st = step_state<register_state_t>(s);
    const column* c = st->input;
    const int64_t i = st->array_index;
    if (i >= c->stop) {
        return forward_input_checked(s);
    }
    const float a = c->values[in_chunk(i)];
    s->self->a = a;
    s->self->d = 0.0f;
    st->array_index = i + 1;
    return next_step(s, a);
}

// The end of a sample that completed a chunk of the output: scales the
// chunk out, then hands on (out of line, so the common path keeps no frame).
[[gnu::noinline]] int scale_out_then_next(const pass_step* s, float a) {
    register_state_t* st = step_state<register_state_t>(s);
    scale_out_to(st, st->array_index);
    return next_step(s, a);
}

// A register with a source passes its value on, and writes it to the output
// when it holds one.
template <int Chained>
int forward(const pass_step* s, float carried) {
    register_state_t* st = step_state<register_state_t>(s);
    const int64_t i = st->array_index;
    const float a = first_source<Chained>(s, carried);
    s->self->a = a;
    st->array_index = i + 1;
    if (st->output_data != nullptr) {
        st->output_data[i] = a;
        if (in_chunk(i + 1) == 0) {
            return scale_out_then_next(s, a);
        }
    }
    return next_step(s, a);
}

// The output register's reverse step on the path that checks the sample's
// expected value and calls any loss.
template <int Carry>
[[gnu::noinline]] int reverse_checked(const pass_step* s) {
    register_state_t* st = step_state<register_state_t>(s);
    column* c = st->expected;
    const int64_t i = st->array_index - 1;
    if (i >= c->stop && !checked_value(s, st, c, i, "Nan found in expected array in register '%s'")) {
        return -1;
    }
    const float d0 = s->interaction->loss_dv_f(c->values[in_chunk(i)], s->self->a);
    s->source0->d = d0;
    return hand_on<Carry>(s, d0, 0.0f);
}

// The output register of a training query holds the expected values: it
// sets its source's gradient to the loss derivative of the sample's (the
// default loss inlined). It runs first in the reverse pass, so that
// gradient is still +0, and is carried its own activation (see the count
// between the passes). A register without them passes its gradient back.
template <int Carry>
int reverse(const pass_step* s, float carried) {
    register_state_t* st = step_state<register_state_t>(s);
    const column* c = st->expected;
    if (c == nullptr) {
        return pass_gradient_back<Carry>(s, carried);
    }
    const int64_t i = st->array_index - 1;
    if (i >= c->stop || s->interaction->loss_dv_f != mean_squared_error) {
        return reverse_checked<Carry>(s);
    }
    const float d0 = mean_squared_error(c->values[in_chunk(i)], carried);
    s->source0->d = d0;
    return hand_on<Carry>(s, d0, 0.0f);
}

// A block starts an input register's chunk, which it reads, and holds only
// finite values: a non-finite one must stop the samples at its own, so its
// block goes one sample at a time.
bool block_ready(PyInteraction_Object* interaction, int n) {
    register_state_t* st = state_of(interaction);
    if (interaction->sources[0] != -1) {
        return true;
    }
    column* c = st->input;
    const int64_t i = st->array_index;
    if (c == nullptr || i % chunk != 0 || i + n > c->length) {
        return false;
    }
    read_chunk(st, c, i);
    return c->first_bad < i || c->first_bad >= i + n;
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float*, float* out, int n) {
    register_state_t* st = state_of(interaction);
    const int64_t i = st->array_index;
    if (interaction->sources[0] == -1) {
        // block_ready read the block's chunk.
        const column* c = st->input;
        if (c->first_clamped >= i && c->first_clamped - i < n) {
            interaction->errcode = 1;
        }
        in0 = c->values;
    }
    std::memcpy(out, in0, sizeof(float) * static_cast<size_t>(n));
    interaction->activation[0] = out[n - 1];
    st->array_index = i + n;
    if (st->output_data != nullptr) {
        std::memcpy(st->output_data + i, out, sizeof(float) * static_cast<size_t>(n));
        // Every chunk the block completed, as the forward steps scale them.
        scale_out_to(st, (i + n) / chunk * chunk);
    }
}

const char* get_tooltip(PyInteraction_Object* interaction) {
    return interaction->name;
}

void deallocate(PyInteraction_Object* interaction) {
    register_state_t* st = state_of(interaction);
    release_column(&st->input);
    release_column(&st->expected);
    st->output_data = nullptr;
    vesk_replace(&st->py_outputarray, nullptr);
}

// The copy takes the register's range and whether it adapts it; the rest of
// the record belongs to a query and stays as initialize laid it.
int copy_state(PyInteraction_Object* copy, PyInteraction_Object* original, PyObject*) {
    const register_state_t* from = state_of(original);
    register_state_t* to = state_of(copy);
    to->feature_min = from->feature_min;
    to->feature_max = from->feature_max;
    to->auto_adapt = from->auto_adapt;
    return 0;
}

int set_inputarray(PyInteraction_Object* interaction, PyObject* py_array) {
    return hold_column(interaction, &state_of(interaction)->input, py_array, "input",
                       "Element %s in X is not 1-dimensional");
}

int set_expectedarray(PyInteraction_Object* interaction, PyObject* py_array) {
    return hold_column(interaction, &state_of(interaction)->expected, py_array, "expected", "y must be 1 dimensional");
}

int create_outputarray(PyInteraction_Object* interaction, int64_t sz) {
    register_state_t* st = state_of(interaction);
    st->array_index = 0;
    st->output_scaled = 0;
    npy_intp dims[1] = {static_cast<npy_intp>(sz)};
    vesk_replace(&st->py_outputarray, PyArray_SimpleNew(1, dims, NPY_FLOAT));
    PyArrayObject* out = reinterpret_cast<PyArrayObject*>(st->py_outputarray);
    st->output_data = out != nullptr ? static_cast<float*>(PyArray_DATA(out)) : nullptr;
    return out != nullptr ? 0 : -1;
}

// The name must be the whole of the str or bytes object: one with a NUL
// inside is no name in the table.
int set_loss(PyInteraction_Object* interaction, PyObject* py_loss_name) {
    PyRef utf8(PyBytes_Check(py_loss_name) ? vesk_newref(py_loss_name) : PyUnicode_AsUTF8String(py_loss_name));
    const char* name = utf8 ? PyBytes_AS_STRING(utf8.get()) : nullptr;
    if (name == nullptr || std::strlen(name) != static_cast<size_t>(PyBytes_GET_SIZE(utf8.get())) ||
        set_loss_function_from_string(name, &interaction->loss_dv_f) != 0) {
        PyErr_Clear();
        return vesk_fail(PyExc_ValueError, "Invalid loss function provided");
    }
    return 0;
}

// Hands the output over at the end of a query, which also ends the
// register's use of the expected values: it holds no column after a query.
PyObject* get_outputarray(PyInteraction_Object* interaction) {
    register_state_t* st = state_of(interaction);
    if (st->output_data != nullptr) {
        scale_out_to(st, st->array_index);
    }
    // The caller takes over the register's reference.
    PyObject* out = std::exchange(st->py_outputarray, nullptr);
    st->output_data = nullptr;
    release_column(&st->expected);
    return out != nullptr ? out
                          : PyErr_Format(PyExc_RuntimeError, "Register '%s' holds no output array", interaction->name);
}

}  // namespace

interaction_type_t typeobj = {
    .type_name = "fixed",
    .initialize = initialize,
    .get_tooltip = get_tooltip,
    .deallocate = deallocate,
    .set_inputarray = set_inputarray,
    .set_expectedarray = set_expectedarray,
    .create_outputarray = create_outputarray,
    .set_loss = set_loss,
    .get_outputarray = get_outputarray,
    .forward = {{forward_input}, {forward<0>, forward<1>}},
    .reverse = {{}, {reverse<0>, reverse<1>}},
    .forward_block = forward_block,
    .block_ready = block_ready,
    .description = &description,
    .is_register = true,
    .check_columns = check_columns,
    .settle = settle,
    .copy_state = copy_state,
};

}  // namespace vesk::fixed
