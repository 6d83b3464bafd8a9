// The Adam step of one parameter on its own; the trainable types step their
// parameters through the same operations, declared with it in the header.
#include "_vesk.h"

float adam_step(adam* state, int nsamples, float grad) {
    return adam_step_with<true>(state, adam_corrections_for(nsamples), grad);
}
