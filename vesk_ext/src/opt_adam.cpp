// The Adam step of one parameter on its own, in the first lane of the step
// the trainable types take for several side by side (in the header).
#include "_vesk.h"

float adam_step(adam* state, int nsamples, float grad) {
    float_lanes m1 = {state->m1};
    float_lanes m2 = {state->m2};
    const float step = adam_step_with<true>(m1, m2, adam_corrections_for(nsamples), float_lanes{grad})[0];
    *state = {m1[0], m2[0]};
    return step;
}
