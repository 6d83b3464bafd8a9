// The baseline forms of the module's float functions (float_math.h): SSE2
// lanes, fused multiply-adds emulated; the library's tables; the choice of
// forms for this CPU; and the probe through which the suite and
// `make verify-math` hold every form against the C library.
#include "float_math.h"

#include <math.h>

#include <cstdint>
#include <cstring>

namespace vesk::math {

// clang-format off
const uint64_t exp2_table[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51,
    0x3fef72b83c7d517b, 0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1,
    0x3fef06fe0a31b715, 0x3feef1a7373aa9cb, 0x3feedea64c123422, 0x3feece086061892d,
    0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429, 0x3feea47eb03a5585,
    0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d,
    0x3feee89f995ad3ad, 0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069,
    0x3fef5818dcfba487, 0x3fef7c97337b9b5f, 0x3fefa4afa2a490da, 0x3fefd0765b6e4540,
};
// clang-format on

const uint32_t inv_pio4[24] = {
    0xa2,       0xa2f9,     0xa2f983,   0xa2f9836e, 0xf9836e4e, 0x836e4e44, 0x6e4e4415, 0x4e441529,
    0x441529fc, 0x1529fc27, 0x29fc2757, 0xfc2757d1, 0x2757d1f5, 0x57d1f534, 0xd1f534dd, 0xf534ddc0,
    0x34ddc0db, 0xddc0db62, 0xc0db6295, 0xdb629599, 0x6295993c, 0x95993c43, 0x993c4390, 0x3c439041,
};

namespace {

// The table's entries of four indices, one at a time: SSE2 has no gather.
VESK_MATH_INLINE l4 entries_each(l4 i) {
    const auto t = [](int64_t k) { return static_cast<int64_t>(exp2_table[k]); };
    return l4{t(i[0]), t(i[1]), t(i[2]), t(i[3])};
}

void tanhf_block(float* v, int n) {
    each_group<f4>(v, n, [](f4 x) VESK_MATH_LAMBDA { return tanhf_lanes(x); });
}

void expf_block(float* v, int n) {
    each_group<f4>(v, n, [](f4 x) VESK_MATH_LAMBDA { return expf_lanes<fma_emulated>(x, entries_each); });
}

void sinf_block(float* v, int n) {
    each_group<f4>(v, n, [](f4 x) VESK_MATH_LAMBDA { return sinf_lanes<fma_emulated>(x); });
}

float expf_scalar(float x) {
    return expf<fma_emulated>(x);
}

sin_cos sincosf_scalar(float y) {
    return sincosf<fma_emulated>(y);
}

}  // namespace

constinit const forms baseline_forms = {tanhf_block, expf_block, sinf_block, expf_scalar, sincosf_scalar};

bool cpu_has_avx2_fma() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

const forms chosen_forms = cpu_has_avx2_fma() ? avx2_forms : baseline_forms;

}  // namespace vesk::math

// The probe: function f (0 tanhf, 1 expf, 2 sinf, 3 sinf and cosf) of n
// floats, in the set of forms `set` (0 baseline, 1 AVX2 and FMA, 2 the C
// library's functions, for comparison), by the scalar form (lanes 0) or the
// lane form (lanes 1; tanhf, expf and sinf). f = 3 writes 2n results, the n
// sines, then the n cosines: the scalar sincosf the sine's training step
// calls. -1 for a form that does not exist or that this CPU cannot run, 0
// otherwise; -1 too for a count that is negative or whose results would
// not fit in memory, and for a null array with a positive count. Only the
// suite and `make verify-math` call it.
extern "C" __attribute__((visibility("default"))) int vesk_float_math_probe(int set, int f, int lanes, const float* in,
                                                                            float* out, int64_t n) {
    using namespace vesk::math;
    if (set < 0 || set > 2 || f < 0 || f > 3 || lanes < 0 || lanes > 1 || (lanes == 1 && (f == 3 || set == 2)) ||
        (set == 1 && !cpu_has_avx2_fma())) {
        return -1;
    }
    // f = 3 writes 2n floats.
    if (n < 0 || n > PTRDIFF_MAX / static_cast<int64_t>(2 * sizeof(float)) ||
        (n > 0 && (in == nullptr || out == nullptr))) {
        return -1;
    }
    // No sample: nothing is touched (a null array may not reach memmove).
    if (n == 0) {
        return 0;
    }
    if (set == 2) {
        for (int64_t j = 0; j < n; ++j) {
            switch (f) {
                case 0: out[j] = ::tanhf(in[j]); break;
                case 1: out[j] = ::expf(in[j]); break;
                case 2: out[j] = ::sinf(in[j]); break;
                default: out[j] = ::sinf(in[j]), out[n + j] = ::cosf(in[j]); break;
            }
        }
        return 0;
    }
    const forms& fs = set == 0 ? baseline_forms : avx2_forms;
    if (lanes == 1) {
        void (*const block)(float*, int) = f == 0 ? fs.tanhf_block : (f == 1 ? fs.expf_block : fs.sinf_block);
        std::memmove(out, in, n * sizeof(float));
        for (int64_t j = 0; j < n; j += 256) {
            block(out + j, static_cast<int>(n - j < 256 ? n - j : 256));
        }
        return 0;
    }
    for (int64_t j = 0; j < n; ++j) {
        switch (f) {
            case 0: out[j] = vesk::math::tanhf(in[j]); break;
            case 1: out[j] = fs.expf(in[j]); break;
            default: {
                const sin_cos sc = fs.sincosf(in[j]);
                out[j] = sc.sin;
                if (f == 3) {
                    out[n + j] = sc.cos;
                }
            }
        }
    }
    return 0;
}
