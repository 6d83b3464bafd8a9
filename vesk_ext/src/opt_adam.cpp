// The Adam step of one parameter on its own; the trainable types step their
// parameters through the same operation, declared with it in the header.
#include "_vesk.h"

float adam_step(adam* state, int nsamples, float grad) {
    return adam_step_with<true>(state->m1, state->m2, adam_corrections_for(nsamples), grad);
}
