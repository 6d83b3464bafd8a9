// The "multiply" interaction: the product of its two sources, with the
// product rule's gradients passed back. It has no parameters: its state
// buffer stays unused.
#include "_vesk.h"

namespace vesk::multiply {
namespace {

// Nothing to lay: the state buffer stays unused.
int initialize(PyInteraction_Object*) {
    return 0;
}

// Both sources are always read; sourcecount is never consulted.
template <int Chained>
int forward(const pass_step* s, float carried) {
    const float a = first_source<Chained>(s, carried) * second_source<Chained>(s, carried);
    s->self->a = a;
    return next_step(s, a);
}

template <int Carry>
int reverse(const pass_step* s, float da) {
    s->self->d = 0.0f;
    // Two separate additions: when both sources are one node it receives
    // both shares, 2 x x x da in all, the second added onto the first.
    const float d0 = add_share(s->source0, da * s->source1->a);
    const float d1 = add_share(s->source1, s->source0->a * da);
    return hand_on<Carry>(s, d0, d1);
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float* in1, float* __restrict out,
                   int n) {
    block_map(n, out, [](auto x0, auto x1) { return x0 * x1; }, in0, in1);
    interaction->activation[0] = out[n - 1];
}

}  // namespace

interaction_type_t typeobj = {
    .type_name = "multiply",
    .initialize = initialize,
    .forward = {{}, {}, {forward<0>, forward<1>, forward<2>}},
    .reverse = {{}, {}, {reverse<0>, reverse<1>, reverse<2>}},
    .forward_block = forward_block,
};

}  // namespace vesk::multiply
