// The Adam step shared by the trainable types that keep moments.
#include "_vesk.h"

#include <math.h>

namespace {

using vesk::adam_detail::b1;
using vesk::adam_detail::b2;

// The bias corrections stop abruptly at these sample counts rather than
// fading out, so steps jump at samples 20 and 1000.
constexpr int m1_correction_limit = 20;
constexpr int m2_correction_limit = 1000;

}  // namespace

adam_corrections adam_corrections_for(int64_t nsamples) {
    adam_corrections c;
    c.correct_m1 = nsamples < m1_correction_limit;
    c.correct_m2 = nsamples < m2_correction_limit;
    c.m1_divisor = c.correct_m1 ? 1.0f - powf(b1, static_cast<float>(nsamples)) : 1.0f;
    c.m2_divisor = c.correct_m2 ? 1.0f - powf(b2, static_cast<float>(nsamples)) : 1.0f;
    return c;
}

float adam_step_corrected(adam* state, const adam_corrections& c, float grad) {
    return adam_step_with<true>(state, c, grad);
}

float adam_step(adam* state, int nsamples, float grad) {
    return adam_step_corrected(state, adam_corrections_for(nsamples), grad);
}
