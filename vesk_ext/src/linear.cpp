// The "linear" interaction: a weighted sum of one or two sources plus a
// bias, clamped to [-1, 1], trained online with Adam.
#include "_vesk.h"

namespace vesk::linear {
namespace {

using linear_state_t = weighted_sum_state;

constexpr double lr_base = 0.005;

linear_state_t* state_of(PyInteraction_Object* interaction) {
    return interaction_state<linear_state_t>(interaction);
}

int initialize(PyInteraction_Object* interaction) {
    return new_trainable_state<linear_state_t>(interaction, lr_base) != nullptr ? 0 : -1;
}

void draw_parameters(PyInteraction_Object* interaction) {
    linear_state_t* st = state_of(interaction);
    // Both weights are drawn whatever the number of sources: sources are set
    // after creation. The draws are sequenced: w0 takes the first.
    st->w0 = vesk_unit_draw() - 0.5f;
    st->w1 = vesk_unit_draw() - 0.5f;
}

// The sum clamped to [-1, 1]; a NaN sum fails both tests and stays NaN.
template <typename T>
inline T clamped(T z) {
    const T one = T{} + 1.0f;
    return z > one ? one : (z < -one ? -one : z);
}

int forward(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    if (n_samples < 1) {
        return 0;
    }
    const linear_state_t* st = state_of(interaction);
    interaction->activation[0] = clamped(st->bias + weighted_sum(g, interaction, st));
    return 0;
}

[[gnu::flatten]] int reverse(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    // The gradient passes through the clamp unchanged: a stored activation
    // is never beyond [-1, 1], so saturated samples train too.
    weighted_sum_reverse(g, interaction, n_samples, interaction->da[0]);
    return 0;
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float* in1, float* __restrict out,
                   int n) {
    weighted_sum_block(interaction, in0, in1, out, n, [](auto sum, float bias) { return clamped(bias + sum); });
}

}  // namespace

interaction_type_t typeobj = {
    .type_name = "linear",
    .initialize = initialize,
    .forward = forward,
    .reverse = reverse,
    .source_reads = READS_FIRST_AND_COUNTED_SECOND,
    .forward_block = forward_block,
    .description = &weighted_sum_description,
    .draw_parameters = draw_parameters,
};

}  // namespace vesk::linear
