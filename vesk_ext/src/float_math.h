// The module's own single-precision tanhf, expf, sinf and cosf. Each gives,
// for every float input, NaN results included, the bits the system's C
// library (glibc 2.36) gives on a CPU with fused multiply-adds: the same
// algorithms, the same constants, every operation in the same order and
// precision, and a fused multiply-add exactly where that library's build for
// such CPUs has one. So a graph's results no longer depend on the CPU it runs
// on. `make verify-math` holds every form against the library over all 2^32
// inputs.
//
// Each function comes in forms: a scalar one, for the per-sample steps, and
// lane forms over a block of values, 8 lanes with AVX2 and 4 with SSE2,
// picked once by CPU (chosen_forms). The forms share the pieces below, so that
// every lane goes through the same operations in the same order as the
// scalar form; where the scalar form branches, the lanes compute every path
// and select. The scalar tanhf is plain float code and inlines anywhere; the
// functions that rely on fused multiply-adds exist twice, with the
// instruction (built for FMA) and without it (fma_emulated).
//
// Round-to-nearest is assumed, as everywhere in the module. Floating-point
// flags and errno are not reproduced.
#pragma once

#include <cstdint>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace vesk::math {

struct sin_cos {
    float sin;
    float cos;
};

// One set of forms: the lane forms apply their function in place to the n
// values of a block; the scalar forms of the functions that need fused
// multiply-adds (tanhf, plain float code, is inlined).
struct forms {
    void (*tanhf_block)(float* v, int n);
    void (*expf_block)(float* v, int n);
    void (*sinf_block)(float* v, int n);
    float (*expf)(float x);
    sin_cos (*sincosf)(float y);
};

// For x86-64 CPUs: SSE2 lanes with fused multiply-adds emulated
// (float_math.cpp), and AVX2 lanes with the instruction (float_math_avx2.cpp).
extern const forms baseline_forms;
extern const forms avx2_forms;
// The set for this CPU, chosen as the module loads.
extern const forms chosen_forms;
bool cpu_has_avx2_fma();

// The library's tables.
extern const uint64_t exp2_table[32];  // the bits of 2^(i/32), less i << 47
extern const uint32_t inv_pio4[24];    // 4/pi in bits

// The templates are compiled once per instruction set; each source's copies
// keep names of their own, so that code built for AVX2 is never shared with
// code for the baseline.
#ifndef VESK_MATH_ISA
#define VESK_MATH_ISA baseline
#endif
inline namespace VESK_MATH_ISA {

#define VESK_MATH_INLINE [[gnu::always_inline]] inline
#define VESK_MATH_LAMBDA __attribute__((always_inline))
// Lanes of 32 bytes pass between functions that are all inlined, so the
// ABI for passing them, which differs with and without AVX, never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

// ---------------------------------------------------------------------------
// Lanes. Floats of a block in vectors, and their bits; doubles for the
// functions computed in double precision. Arithmetic works lane by lane,
// each lane rounding as the same operation on one value does.

typedef float f4 __attribute__((vector_size(16)));
typedef float f8 __attribute__((vector_size(32)));
typedef int32_t i4 __attribute__((vector_size(16)));
typedef int32_t i8 __attribute__((vector_size(32)));
typedef double d4 __attribute__((vector_size(32)));
typedef int64_t l4 __attribute__((vector_size(32)));

// The integer of the same width as a float, a double or their lanes.
template <typename V> struct lane_bits;
template <> struct lane_bits<float> { using type = int32_t; };
template <> struct lane_bits<double> { using type = int64_t; };
template <> struct lane_bits<f4> { using type = i4; };
template <> struct lane_bits<f8> { using type = i8; };
template <> struct lane_bits<d4> { using type = l4; };
template <typename V> using bits_of = typename lane_bits<V>::type;

template <typename V>
VESK_MATH_INLINE bits_of<V> bits(V v) {
    return __builtin_bit_cast(bits_of<V>, v);
}

template <typename V, typename I>
VESK_MATH_INLINE V from_bits(I i) {
    return __builtin_bit_cast(V, i);
}

// Every lane set to c; c itself for a scalar.
template <typename V, typename T>
VESK_MATH_INLINE V splat(T c) {
    if constexpr (sizeof(V) == sizeof(T)) {
        return static_cast<V>(c);
    } else {
        return V{} + c;
    }
}

// Conversions lane by lane: float to int truncates, as a C cast; double to
// float rounds to nearest.
template <typename To, typename From>
VESK_MATH_INLINE To convert(From v) {
    if constexpr (std::is_arithmetic_v<From>) {
        return static_cast<To>(v);
    } else {
        return __builtin_convertvector(v, To);
    }
}

// a where mask, else b: a comparison's result of lanes, or a bool. Lanes
// are blended by their bits, which every instruction set does lane by lane
// (a lane condition of 64 bits would otherwise branch lane by lane on SSE2).
template <typename M, typename V>
VESK_MATH_INLINE V select(M mask, V a, V b) {
    if constexpr (std::is_arithmetic_v<V>) {
        return mask ? a : b;
    } else {
        using I = decltype(mask);
        return __builtin_bit_cast(V, (__builtin_bit_cast(I, a) & mask) | (__builtin_bit_cast(I, b) & ~mask));
    }
}

// The unsigned integer of a signed one or of its lanes.
template <typename L> struct lane_unsigned;
template <> struct lane_unsigned<int64_t> { using type = uint64_t; };
typedef uint64_t ul4 __attribute__((vector_size(32)));
template <> struct lane_unsigned<l4> { using type = ul4; };
template <typename L> using unsigned_of = typename lane_unsigned<L>::type;

// Whether any lane of a comparison's result is true.
VESK_MATH_INLINE bool any_lane(bool mask) {
    return mask;
}
VESK_MATH_INLINE bool any_lane(i4 mask) {
    return _mm_movemask_ps(reinterpret_cast<__m128>(mask)) != 0;
}
#if defined(VESK_MATH_AVX2)
VESK_MATH_INLINE bool any_lane(i8 mask) {
    return _mm256_movemask_ps(reinterpret_cast<__m256>(mask)) != 0;
}
#endif

// op applied in place to the n values at v, a group of lanes at a time;
// the last, short group is padded with 0.5, on every function's plain path.
// One call of op, so that it is inlined once.
template <typename V, typename Op>
VESK_MATH_INLINE void each_group(float* v, int n, Op op) {
    constexpr int width = sizeof(V) / sizeof(float);
    for (int j = 0; j < n; j += width) {
        const bool whole = n - j >= width;
        V x = splat<V>(0.5f);
        if (__builtin_expect(whole, 1)) {
            __builtin_memcpy(&x, v + j, sizeof x);
        } else {
            __builtin_memcpy(&x, v + j, (n - j) * sizeof(float));
        }
        x = op(x);
        if (__builtin_expect(whole, 1)) {
            __builtin_memcpy(v + j, &x, sizeof x);
        } else {
            __builtin_memcpy(v + j, &x, (n - j) * sizeof(float));
        }
    }
}

// ---------------------------------------------------------------------------
// Fused multiply-adds of doubles, a x b + c rounded once, and CPUs without
// them. The functions take a policy Fma: with the instruction (fused true;
// the AVX2 set's, in float_math_avx2.cpp), a double result is the library's
// at once. Without it (fma_emulated), the arguments are reduced exactly as
// the fused operations would (exact_reduction below), and the polynomials
// are evaluated first with a multiply and an add (fma_unfused): that double
// result is within 2^-46 of the fused one, relative, so the two round to the
// same float unless it lies that close to a rounding midpoint of floats
// (near_float_midpoint), where the polynomials are evaluated again with every
// fused multiply-add emulated exactly (fma_exact; about once in 4 million
// results). So every result is the fused one's, and the common case costs
// little more than the instruction.

// mul_add_small is for a product no larger than the addend, as every
// polynomial term here is.
struct fma_unfused {
    static constexpr bool fused = false;
    template <typename D>
    VESK_MATH_INLINE static D mul_add_small(D a, D b, D c) {
        return a * b + c;
    }
};

// The exact emulation: the product split into two doubles (Veltkamp and
// Dekker), c added to its head without error (Fast2Sum, as |a x b| <= |c|),
// the two tails added with rounding to odd, and the sum of the head and that
// rounded once (Boldo and Melquiond). Exact while nothing overflows or
// underflows, which the arguments here never do.
struct fma_exact {
    static constexpr bool fused = false;
    template <typename D>
    VESK_MATH_INLINE static D mul_add_small(D a, D b, D c) {
        using L = bits_of<D>;
        const D split = splat<D>(134217729.0);  // 2^27 + 1
        const D ta = a * split;
        const D ah = ta - (ta - a);
        const D al = a - ah;
        const D tb = b * split;
        const D bh = tb - (tb - b);
        const D bl = b - bh;
        const D ph = a * b;
        const D pl = (((ah * bh - ph) + ah * bl) + al * bh) + al * bl;
        const D sh = c + ph;
        const D sl = ph - (sh - c);
        // The tails' sum rounded to odd: the nearest, moved one unit toward
        // the exact sum where inexact and even; by integer operations only,
        // which SSE2 has for 64-bit lanes.
        const D t = sl + pl;
        const D tv = t - sl;
        const D te = (sl - (t - tv)) + (pl - tv);
        const auto top_bit = [](L v) { return __builtin_bit_cast(L, __builtin_bit_cast(unsigned_of<L>, v) >> 63); };
        const L tbits = bits(t);
        const L even = (tbits & 1) ^ 1;
        const L error = bits(te) & 0x7fffffffffffffff;
        const L inexact = top_bit(error | (0 - error));
        const L inward = top_bit(tbits ^ bits(te));
        const L toward = 1 - (inward + inward);  // +1: away from 0, -1: toward it
        const D odd = from_bits<D>(tbits + (toward & (0 - (inexact & even))));
        return sh + odd;
    }
};

struct fma_emulated { static constexpr bool fused = false; };

// Whether a double (or each of four) may round to another float than a
// result within 2^-46 of it, relative, would: within 64 units of its last
// place of a midpoint between floats, or below the normal floats.
VESK_MATH_INLINE bool near_float_midpoint(double w) {
    const int64_t b = bits(w);
    const int64_t from_midpoint = (b & 0x1fffffff) - 0x10000000;
    return (from_midpoint >= -64 && from_midpoint <= 64) || ((b >> 52) & 0x7ff) < 1023 - 126;
}
VESK_MATH_INLINE i4 near_float_midpoint(d4 w) {
    const l4 b = bits(w);
    const i4 low = convert<i4>(b) & 0x1fffffff;
    const i4 exponent = convert<i4>(__builtin_bit_cast(l4, __builtin_bit_cast(ul4, b) >> 52)) & 0x7ff;
    return ((low >= 0x10000000 - 64) & (low <= 0x10000000 + 64)) | (exponent < 1023 - 126);
}

// A mask of four float lanes widened to their doubles.
VESK_MATH_INLINE bool widened(bool mask) {
    return mask;
}
VESK_MATH_INLINE l4 widened(i4 mask) {
    return convert<l4>(mask);
}

// The double(s) `compute` gives for a policy, the library's: Fma's, or for
// fma_emulated the unfused ones, redone exactly where they might round to
// another float.
template <typename Fma, typename Compute>
VESK_MATH_INLINE auto fused_result(Compute compute) {
    if constexpr (Fma::fused) {
        return compute(Fma{});
    } else {
        auto w = compute(fma_unfused{});
        const auto unsure = near_float_midpoint(w);
        if (__builtin_expect(any_lane(unsure), 0)) {
            w = select(widened(unsure), compute(fma_exact{}), w);
        }
        return w;
    }
}

// ---------------------------------------------------------------------------
// tanhf: for 2^-55 <= |x| < 22, from t = expm1f(-2|x|) as -t / (t + 2) below
// 1 and from t = expm1f(2|x|) as 1 - 2 / (t + 2) above, sign restored; the
// library's expm1f reduces its argument to r = a - k ln2 (ln2 in two parts,
// c the reduction's rounding error), approximates with a rational form and
// scales back by 2^k on paths chosen by k. Plain float code throughout.

namespace tanh_detail {
constexpr float ln2_hi = 0x1.62e3p-1f;       // 0x3f317180
constexpr float ln2_lo = 0x1.2fefa2p-17f;    // 0x3717f7d1
constexpr float inv_ln2 = 0x1.715476p+0f;    // 0x3fb8aa3b
constexpr float q1 = -0x1.111112p-5f;
constexpr float q2 = 0x1.a01a02p-10f;
constexpr float q3 = -0x1.4ce19ap-14f;
constexpr float q4 = 0x1.0cfca8p-18f;
constexpr float q5 = -0x1.afdb76p-23f;
// Bounds on the bits of |argument| of expm1f.
// (Below 2^-25 the library returns the argument itself, which the path of
// k = 0 also gives for every argument tanhf passes.)
constexpr int32_t half_ln2_bits = 0x3eb17218;   // up to: k = 0
constexpr int32_t one_half_ln2_bits = 0x3f851591;  // up to: k = +-1
// Bounds on the bits of |x| of tanhf.
constexpr int32_t one_bits = 0x3f800000;
constexpr int32_t saturated_bits = 0x41b00000;  // 22
constexpr int32_t small_bits = 0x24000000;      // 2^-55

// The reduced argument x = a - k ln2 and the error c of its rounding;
// k = 0 gives a itself and c = 0.
template <typename F, typename I>
VESK_MATH_INLINE void reduce(F a, I k, F& x, F& c) {
    const F t = convert<F>(k);
    const F hi = a - t * ln2_hi;
    const F lo = t * ln2_lo;
    x = hi - lo;
    c = (hi - x) - lo;
}

// The rational part e of expm1 of the reduced x, and hxs = x x / 2.
template <typename F>
VESK_MATH_INLINE F rational(F x, F& hxs) {
    const F hfx = x * 0.5f;
    hxs = x * hfx;
    const F r1 = ((((q5 * hxs + q4) * hxs + q3) * hxs + q2) * hxs + q1) * hxs + 1.0f;
    const F t = 3.0f - r1 * hfx;
    return ((r1 - t) / (6.0f - t * x)) * hxs;
}

// The truncated k of an argument beyond 1.5 ln2, half a unit away from 0.
template <typename F>
VESK_MATH_INLINE bits_of<F> nearest_k(F a, F half) {
    return convert<bits_of<F>>(inv_ln2 * a + half);
}

// expm1 for k = 0: the argument x unreduced.
template <typename F>
VESK_MATH_INLINE F k_zero(F x) {
    F hxs;
    const F e = rational(x, hxs);
    return x - (x * e - hxs);
}

// The correction e folded with c, for every k but 0.
template <typename F>
VESK_MATH_INLINE F corrected(F x, F c, F e, F hxs) {
    return ((e - c) * x - c) - hxs;
}

template <typename F>
VESK_MATH_INLINE F k_minus_one(F x, F e) {
    return (x - e) * 0.5f - 0.5f;
}

// 2^k y, by adding k to the exponent's bits (which wrap for a negative k).
template <typename F, typename I>
VESK_MATH_INLINE F scaled(F y, I k) {
    if constexpr (std::is_arithmetic_v<F>) {
        return from_bits<F>(static_cast<int32_t>(static_cast<uint32_t>(bits(y)) + (static_cast<uint32_t>(k) << 23)));
    } else {
        return from_bits<F>(bits(y) + (k << 23));
    }
}

// 2^-k, for 0 <= k < 127.
template <typename F, typename I>
VESK_MATH_INLINE F two_to_minus(I k) {
    return from_bits<F>((splat<I>(int32_t{127}) - k) << 23);
}

// expm1 for k <= -2 or k > 56: 2^k (1 - (e - x)) - 1.
template <typename F, typename I>
VESK_MATH_INLINE F k_far(F x, F e, I k) {
    return scaled(1.0f - (e - x), k) - 1.0f;
}

// expm1 for 2 <= k <= 22: 2^k ((1 - 2^-k) - (e - x)).
template <typename F, typename I>
VESK_MATH_INLINE F k_low(F x, F e, I k) {
    return scaled((1.0f - two_to_minus<F>(k)) - (e - x), k);
}

// expm1 for 23 <= k <= 56: 2^k ((x - (e + 2^-k)) + 1).
template <typename F, typename I>
VESK_MATH_INLINE F k_high(F x, F e, I k) {
    return scaled((x - (e + two_to_minus<F>(k))) + 1.0f, k);
}

// tanh from t = expm1(-2|x|) (below 1) or t = expm1(2|x|).
template <typename F>
VESK_MATH_INLINE F from_small(F t) {
    return -t / (t + 2.0f);
}
template <typename F>
VESK_MATH_INLINE F from_large(F t) {
    return 1.0f - 2.0f / (t + 2.0f);
}

// The inputs outside [2^-55, 22) in magnitude, of a float or of lanes:
// NaN and the infinities, the saturated, and the smallest, zeros included
// ((1 + x) x is x itself there, which the library returns for zeros).
template <typename F>
VESK_MATH_INLINE F edge(F x) {
    using I = bits_of<F>;
    const I jx = bits(x);
    const I ix = jx & 0x7fffffff;
    const F inverse = 1.0f / x;
    const F nonfinite = select(jx >= 0, inverse + 1.0f, inverse - 1.0f);
    const F saturated = select(jx >= 0, splat<F>(1.0f), splat<F>(-1.0f));
    return select(ix < saturated_bits, (1.0f + x) * x, select(ix < 0x7f800000, saturated, nonfinite));
}

[[gnu::cold, gnu::noinline]] inline float cold_edge(float x) {
    return edge(x);
}
}  // namespace tanh_detail

// The scalar form, branching as the library does.
VESK_MATH_INLINE float tanhf(float x) {
    using namespace tanh_detail;
    const int32_t jx = bits(x);
    const int32_t ix = jx & 0x7fffffff;
    if (__builtin_expect(static_cast<uint32_t>(ix - small_bits) >= uint32_t{saturated_bits - small_bits}, 0)) {
        return cold_edge(x);
    }
    const float ax = from_bits<float>(ix);
    float z;
    if (ix < one_bits) {
        const float a = ax * -2.0f;
        // |a| is twice |x|, a normal float: its bits are those of |x| with
        // the exponent one higher.
        constexpr int32_t twice = 0x00800000;
        float t;
        if (ix <= half_ln2_bits - twice) {
            // Also a itself below 2^-25, where the library returns a unchanged.
            t = k_zero(a);
        } else {
            const int32_t k = ix <= one_half_ln2_bits - twice ? -1 : nearest_k(a, -0.5f);
            float r, c, hxs;
            reduce(a, k, r, c);
            const float e0 = rational(r, hxs);
            const float e = corrected(r, c, e0, hxs);
            t = k == -1 ? k_minus_one(r, e) : k_far(r, e, k);
        }
        z = from_small(t);
    } else {
        const float a = ax + ax;
        const int32_t k = nearest_k(a, 0.5f);
        float r, c, hxs;
        reduce(a, k, r, c);
        const float e0 = rational(r, hxs);
        const float e = corrected(r, c, e0, hxs);
        const float t = k <= 22 ? k_low(r, e, k) : (k <= 56 ? k_high(r, e, k) : k_far(r, e, k));
        z = from_large(t);
    }
    return jx < 0 ? -z : z;
}

// The lane form: every path of the scalar form, selected per lane.
template <typename F>
VESK_MATH_INLINE F tanhf_lanes(F x) {
    using namespace tanh_detail;
    using I = bits_of<F>;
    const I jx = bits(x);
    const I ix = jx & 0x7fffffff;
    const auto at_edge = (ix >= saturated_bits) | (ix < small_bits);
    // Edge lanes compute from 0.5 meanwhile, so that every lane stays in range.
    const F ax = from_bits<F>(select(at_edge, splat<I>(int32_t{0x3f000000}), ix));
    const auto small = ix < one_bits;
    const F a = select(small, ax * -2.0f, ax + ax);
    const I ha = bits(a) & 0x7fffffff;
    const I k = select(ha <= half_ln2_bits, splat<I>(int32_t{0}),
                       select(ha <= one_half_ln2_bits, splat<I>(int32_t{-1}),
                              nearest_k(a, select(small, splat<F>(-0.5f), splat<F>(0.5f)))));
    F r, c, hxs;
    reduce(a, k, r, c);  // r = a, c = 0 where k = 0
    const F e0 = rational(r, hxs);
    const F e = corrected(r, c, e0, hxs);
    F t = select(k <= 22, k_low(r, e, k), select(k <= 56, k_high(r, e, k), k_far(r, e, k)));
    t = select(k <= -2, k_far(r, e, k), t);
    t = select(k == -1, k_minus_one(r, e), t);
    t = select(k == 0, r - (r * e0 - hxs), t);
    const F z = select(small, from_small(t), from_large(t));
    const F result = select(jx < 0, -z, z);
    return __builtin_expect(any_lane(at_edge), 0) ? select(at_edge, edge(x), result) : result;
}

// ---------------------------------------------------------------------------
// expf, in double precision: k = round(x 32 / ln2) and r = x 32 / ln2 - k,
// both from the unrounded product (fused); 2^(k/32) from a table of 32
// entries with k / 32 added to the exponent's bits; 2^(r/32) by a cubic in
// r evaluated with fused multiply-adds; the product rounded to float.

namespace exp_detail {
constexpr double inv_ln2_n = 0x1.71547652b82fep+5;  // 32 / ln2
constexpr double shift = 0x1.8p+52;  // rounds a double to an integer in its low bits
constexpr double c0 = 0x1.c6af84b912394p-20;
constexpr double c1 = 0x1.ebfce50fac4f3p-13;
constexpr double c2 = 0x1.62e42ff0c52d6p-6;
// Beyond these the result is not the cubic's: infinity, 0, or the smallest
// subnormal, which the library gives between the two lower bounds.
constexpr float overflow_above = 0x1.62e42ep6f;
constexpr float zero_below = -0x1.9fe368p6f;
constexpr float tiny_below = -0x1.9d1d9ep6f;

// Not on the cubic's path: NaN, the infinities, and beyond the bounds, all
// of them at 88 or more in magnitude.
VESK_MATH_INLINE bool at_edge(float x) {
    return __builtin_expect(((bits(x) >> 20) & 0x7ff) >= 0x42b, 0) &&
           (((bits(x) >> 23) & 0xff) == 0xff || x > overflow_above || x < tiny_below);
}

// The result there, of a float or of lanes: NaN (quieted) and infinity as
// x + x, 0 for -infinity.
template <typename F>
VESK_MATH_INLINE F edge(F x) {
    const F beyond = select(x > overflow_above, splat<F>(__builtin_inff()),
                            select(x < zero_below, splat<F>(0.0f), splat<F>(0x1p-149f)));
    return select(x != x, x + x, beyond);
}

[[gnu::cold, gnu::noinline]] inline float cold_edge(float x) {
    return edge(x);
}

// inv_ln2_n in two parts, the first of 29 bits, whose products with a
// float's 24 bits are exact.
constexpr double inv_ln2_n_hi = 0x1.7154765p+5;
constexpr double inv_ln2_n_lo = inv_ln2_n - inv_ln2_n_hi;

// k = round(x 32 / ln2) (its bits with shift added: ki) and r = x 32 / ln2
// - k, both from the exact product. Fused: as the library. Otherwise from
// the product in two exact parts h + l: k from the rounding of h corrected
// by the sign of (h - round(h)) + l -+ 1/2 (never 0: no float's product is
// a half-integer), and r as (h - k) + l, whose first difference is exact.
template <typename Fma, typename D, typename L>
VESK_MATH_INLINE void reduce(D xd, L& ki, D& r) {
    if constexpr (Fma::fused) {
        D kd = Fma::mul_add(splat<D>(inv_ln2_n), xd, splat<D>(shift));
        ki = bits(kd);
        kd = kd - shift;
        r = Fma::mul_add(splat<D>(inv_ln2_n), xd, -kd);
    } else {
        const D h = xd * inv_ln2_n_hi;
        const D l = xd * inv_ln2_n_lo;
        const D u = (h + shift) - shift;
        const D d = h - u;
        const D up = select((d - 0.5) + l > 0.0, splat<D>(1.0), splat<D>(0.0));
        const D k = u + select((d + 0.5) + l < 0.0, splat<D>(-1.0), up);
        ki = bits(k + shift);
        r = (h - k) + l;
    }
}

// 2^(x/ln2) of x widened to double(s); `entry` looks up the table by index.
template <typename Fma, typename D, typename Lookup>
VESK_MATH_INLINE D core(D xd, Lookup entry) {
    using L = bits_of<D>;
    L ki;
    D r;
    reduce<Fma>(xd, ki, r);
    // 2^(k/32): the entry, with k / 32 added to the exponent (bits wrap).
    L scale;
    if constexpr (std::is_arithmetic_v<L>) {
        scale = static_cast<L>(static_cast<uint64_t>(entry(ki & 31)) + (static_cast<uint64_t>(ki) << 47));
    } else {
        scale = entry(ki & 31) + (ki << 47);
    }
    const D s = from_bits<D>(scale);
    const D z = Fma::mul_add_small(r, splat<D>(c0), splat<D>(c1));
    const D r2 = r * r;
    D y = Fma::mul_add_small(r, splat<D>(c2), splat<D>(1.0));
    y = Fma::mul_add_small(z, r2, y);
    return y * s;
}
}  // namespace exp_detail

template <typename Fma>
VESK_MATH_INLINE float expf(float x) {
    using namespace exp_detail;
    if (__builtin_expect(at_edge(x), 0)) {
        return cold_edge(x);
    }
    const auto entry = [](int64_t i) { return static_cast<int64_t>(exp2_table[i]); };
    const double xd = x;
    return static_cast<float>(fused_result<Fma>([xd, entry](auto fma) { return core<decltype(fma)>(xd, entry); }));
}

// Four lanes, whose doubles fill four double lanes.
template <typename Fma, typename Lookup>
VESK_MATH_INLINE f4 expf_lanes(f4 x, Lookup entry) {
    using namespace exp_detail;
    const i4 exponent = (bits(x) >> 23) & 0xff;
    const i4 edges = (exponent == 0xff) | (x > overflow_above) | (x < tiny_below);
    const f4 inside = select(edges, f4{}, x);
    const d4 xd = convert<d4>(inside);
    const f4 result = convert<f4>(fused_result<Fma>([xd, entry](auto fma) { return core<decltype(fma)>(xd, entry); }));
    return __builtin_expect(any_lane(edges), 0) ? select(edges, edge(x), result) : result;
}

// ---------------------------------------------------------------------------
// sinf and cosf, in double precision: the argument reduced by pi/2 to
// [-pi/4, pi/4] and its quadrant n, below 120 by one fused multiply-add with
// pi/2, above by exact integer arithmetic with 4/pi in 192 bits; then a sine
// or a cosine polynomial by the quadrant's parity, the quadrant's sign
// applied to the sine's argument and to the cosine's coefficients.

namespace sincos_detail {
constexpr double hpi_inv = 0x1.45f306dc9c883p+23;  // 2/pi, scaled by 2^24
constexpr double hpi = 0x1.921fb54442d18p+0;
constexpr double pi63 = 0x1.921fb54442d18p-62;     // 2 pi / 2^64
constexpr double c0 = 1.0;
constexpr double c1 = -0x1.ffffffd0c621cp-2;
constexpr double c2 = 0x1.55553e1068f19p-5;
constexpr double c3 = -0x1.6c087e89a359dp-10;
constexpr double c4 = 0x1.99343027bf8c3p-16;
constexpr double s1 = -0x1.555545995a603p-3;
constexpr double s2 = 0x1.1107605230bc4p-7;
constexpr double s3 = -0x1.994eb3774cf24p-13;
// Bounds on the top 12 bits of |y| (sign cleared).
constexpr int32_t tiny_top = 0x398;     // below: 2^-12; sin y is y, cos y is 1
constexpr int32_t unreduced_top = 0x3f4;  // below: |y| < 0.75, quadrant 0 as it is
constexpr int32_t large_top = 0x42f;    // from: 120 on, the exact reduction
constexpr int32_t nonfinite_top = 0x7f8;

VESK_MATH_INLINE int32_t top12(float y) {
    return (bits(y) >> 20) & 0x7ff;
}

// y - n pi/2 for |y| < 120, and n.
// Fused: as the library. Otherwise from pi/2 in two parts, the first of 46
// bits, whose products with n (of 7 bits at most) are exact: the first
// difference is exact too (n pi/2 is within a factor of 2 of y), so the
// second rounds once, as the fused operation does.
constexpr double hpi_hi = 0x1.921fb54442dp+0;
constexpr double hpi_lo = hpi - hpi_hi;

template <typename Fma, typename D, typename I>
VESK_MATH_INLINE D reduce_fast(const D& x, I& n) {
    const D r = x * hpi_inv;
    n = (convert<I>(r) + 0x800000) >> 24;
    const D nd = convert<D>(n);
    if constexpr (Fma::fused) {
        return Fma::mul_add(-nd, splat<D>(hpi), x);
    } else {
        return (x - nd * hpi_hi) - nd * hpi_lo;
    }
}

// The same for a finite float from 120 on, given by its bits: 4/pi times
// its mantissa, the 62 bits after the binary point that matter, by 32 x 96
// bit integer products.
inline double reduce_large(uint32_t xi, int32_t& n) {
    const uint32_t* arr = &inv_pio4[(xi >> 26) & 15];
    const int shift = (xi >> 23) & 7;
    xi = ((xi & 0xffffff) | 0x800000) << shift;
    uint64_t res0 = static_cast<uint32_t>(xi * arr[0]);
    const uint64_t res1 = static_cast<uint64_t>(xi) * arr[4];
    const uint64_t res2 = static_cast<uint64_t>(xi) * arr[8];
    res0 = (res2 >> 32) | (res0 << 32);
    res0 += res1;
    const uint64_t q = (res0 + (uint64_t{1} << 61)) >> 62;
    res0 -= q << 62;
    n = static_cast<int32_t>(q);
    return static_cast<double>(static_cast<int64_t>(res0)) * pi63;
}

// The polynomials of the reduced argument: the sine of x (x2 = x x), and
// the cosine from x2 with every coefficient negated where `negated`.
template <typename Fma, typename D>
VESK_MATH_INLINE D sine(D x, D x2) {
    const D x3 = x * x2;
    const D s1p = Fma::mul_add_small(x2, splat<D>(s3), splat<D>(s2));
    const D x7 = x2 * x3;
    const D s = Fma::mul_add_small(x3, splat<D>(s1), x);
    return Fma::mul_add_small(s1p, x7, s);
}

template <typename Fma, typename D, typename M>
VESK_MATH_INLINE D cosine(D x2, M negated) {
    const auto coefficient = [negated](double c) { return select(negated, splat<D>(-c), splat<D>(c)); };
    const D x4 = x2 * x2;
    const D c1p = Fma::mul_add_small(x2, coefficient(c1), coefficient(c0));
    const D c2p = Fma::mul_add_small(x2, coefficient(c4), coefficient(c3));
    const D x6 = x2 * x4;
    const D c = Fma::mul_add_small(x4, coefficient(c2), c1p);
    return Fma::mul_add_small(c2p, x6, c);
}

// The reduced argument of a float and its quadrants: n picks the
// polynomial, q the signs (n, or for large arguments n plus y's sign bit).
template <typename Fma>
VESK_MATH_INLINE double reduce(float y, int32_t top, int32_t& n, int32_t& q) {
    const double x = y;
    if (top < unreduced_top) {
        n = q = 0;
        return x;
    }
    if (__builtin_expect(top < large_top, 1)) {
        const double r = reduce_fast<Fma>(x, n);
        q = n;
        return r;
    }
    const double r = reduce_large(bits(y), n);
    q = n + static_cast<int32_t>(static_cast<uint32_t>(bits(y)) >> 31);
    return r;
}

// NaN and the infinities: no number.
VESK_MATH_INLINE float nonfinite(float y) {
    return (y - y) / (y - y);
}
VESK_MATH_INLINE f4 nonfinite_lanes(f4 y) {
    return (y - y) / (y - y);
}
}  // namespace sincos_detail

template <typename Fma>
VESK_MATH_INLINE sin_cos sincosf(float y) {
    using namespace sincos_detail;
    const int32_t top = top12(y);
    if (__builtin_expect(top < tiny_top || top >= nonfinite_top, 0)) {
        return top < tiny_top ? sin_cos{y, 1.0f} : sin_cos{nonfinite(y), nonfinite(y)};
    }
    int32_t n, q;
    const double x = reduce<Fma>(y, top, n, q);
    const double x2 = x * x;
    const bool sine_negated = ((q + 1) & 2) != 0;
    const bool cosine_negated = (q & 2) != 0;
    const float s = static_cast<float>(
        fused_result<Fma>([=](auto fma) { return sine<decltype(fma)>(x * (sine_negated ? -1.0 : 1.0), x2); }));
    const float c =
        static_cast<float>(fused_result<Fma>([=](auto fma) { return cosine<decltype(fma)>(x2, cosine_negated); }));
    return (n & 1) == 0 ? sin_cos{s, c} : sin_cos{c, s};
}

// Four lanes of sinf: the fast reduction everywhere (it leaves arguments
// below 0.75 as they are, in quadrant 0), large arguments redone one at a
// time, both polynomials, selected by parity.
template <typename Fma>
VESK_MATH_INLINE f4 sinf_lanes(f4 y) {
    using namespace sincos_detail;
    const i4 iy = bits(y);
    const i4 top = (iy >> 20) & 0x7ff;
    const i4 large = top >= large_top;
    i4 n;
    d4 x = reduce_fast<Fma>(convert<d4>(select(large, f4{}, y)), n);
    i4 q = n;
    if (__builtin_expect(any_lane(large), 0)) {
        for (int j = 0; j < 4; ++j) {
            if (large[j] && top[j] < nonfinite_top) {
                int32_t nj;
                x[j] = reduce_large(static_cast<uint32_t>(iy[j]), nj);
                n[j] = nj;
                q[j] = nj + static_cast<int32_t>(static_cast<uint32_t>(iy[j]) >> 31);
            }
        }
    }
    const d4 x2 = x * x;
    const d4 xs = x * select(convert<l4>(((q + 1) & 2) != 0), splat<d4>(-1.0), splat<d4>(1.0));
    const l4 cos_negated = convert<l4>((q & 2) != 0);
    const l4 odd = convert<l4>((n & 1) != 0);
    f4 result = convert<f4>(fused_result<Fma>([=](auto fma) {
        using P = decltype(fma);
        return select(odd, cosine<P>(x2, cos_negated), sine<P>(xs, x2));
    }));
    result = select(top < tiny_top, y, result);
    if (__builtin_expect(any_lane(large), 0)) {
        result = select(top >= nonfinite_top, nonfinite_lanes(y), result);
    }
    return result;
}

}  // namespace VESK_MATH_ISA
}  // namespace vesk::math
