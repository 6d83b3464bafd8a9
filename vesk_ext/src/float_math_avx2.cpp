// The forms of the module's float functions (float_math.h) for CPUs with
// AVX2 and FMA: 8 float lanes, fused multiply-adds of four double lanes, and
// the scalar forms with the instruction. Everything in this source is built
// for those CPUs and runs only where the module found them.
#pragma GCC target("avx2,fma")
#define VESK_MATH_ISA avx2
#define VESK_MATH_AVX2 1
#include "float_math.h"

namespace vesk::math {
namespace {

struct fma_avx2 {
    static constexpr bool fused = true;
    VESK_MATH_INLINE static d4 mul_add(d4 a, d4 b, d4 c) {
        return reinterpret_cast<d4>(
            _mm256_fmadd_pd(reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(b), reinterpret_cast<__m256d>(c)));
    }
    VESK_MATH_INLINE static double mul_add(double a, double b, double c) { return __builtin_fma(a, b, c); }
    template <typename D>
    VESK_MATH_INLINE static D mul_add_small(D a, D b, D c) {
        return mul_add(a, b, c);
    }
};

VESK_MATH_INLINE l4 entries_gathered(l4 i) {
    return reinterpret_cast<l4>(
        _mm256_i64gather_epi64(reinterpret_cast<const long long*>(exp2_table), reinterpret_cast<__m256i>(i), 8));
}

void tanhf_block(float* v, int n) {
    each_group<f8>(v, n, [](f8 x) VESK_MATH_LAMBDA { return tanhf_lanes(x); });
}

void expf_block(float* v, int n) {
    each_group<f4>(v, n, [](f4 x) VESK_MATH_LAMBDA { return expf_lanes<fma_avx2>(x, entries_gathered); });
}

void sinf_block(float* v, int n) {
    each_group<f4>(v, n, [](f4 x) VESK_MATH_LAMBDA { return sinf_lanes<fma_avx2>(x); });
}

float expf_scalar(float x) {
    return expf<fma_avx2>(x);
}

sin_cos sincosf_scalar(float y) {
    return sincosf<fma_avx2>(y);
}

}  // namespace

constinit const forms avx2_forms = {tanhf_block, expf_block, sinf_block, expf_scalar, sincosf_scalar};

}  // namespace vesk::math
