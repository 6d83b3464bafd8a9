// The Adam step shared by the trainable types that keep moments.
#include "_vesk.h"

#include <math.h>

namespace {

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

}  // namespace

adam_corrections adam_corrections_for(int nsamples) {
    adam_corrections c;
    c.correct_m1 = nsamples < m1_correction_limit;
    c.correct_m2 = nsamples < m2_correction_limit;
    c.m1_divisor = c.correct_m1 ? 1.0f - powf(b1, static_cast<float>(nsamples)) : 1.0f;
    c.m2_divisor = c.correct_m2 ? 1.0f - powf(b2, static_cast<float>(nsamples)) : 1.0f;
    return c;
}

float adam_step_corrected(adam* state, const adam_corrections& c, float grad) {
    // Products are formed, then added; the squared gradient is the complement
    // times grad, times grad again, in that association.
    state->m1 = b1 * state->m1 + one_minus_b1 * grad;
    state->m2 = b2 * state->m2 + (one_minus_b2 * grad) * grad;

    // The corrections work on copies: the stored moments stay uncorrected.
    float m1_unbiased = state->m1;
    if (c.correct_m1) {
        m1_unbiased = m1_unbiased / c.m1_divisor;
    }
    float m2_unbiased = state->m2;
    if (c.correct_m2) {
        m2_unbiased = m2_unbiased / c.m2_divisor;
    }
    // Only the final quotient is taken in double precision, then rounded.
    const double denominator = static_cast<double>(sqrtf(m2_unbiased)) + epsilon;
    return static_cast<float>(static_cast<double>(m1_unbiased) / denominator);
}

float adam_step(adam* state, int nsamples, float grad) {
    return adam_step_corrected(state, adam_corrections_for(nsamples), grad);
}
