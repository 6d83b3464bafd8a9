// The "tanh" interaction: the hyperbolic tangent of a weighted sum of one or
// two sources plus a bias, trained online with Adam.
#include "_vesk.h"

#include <math.h>

#include <cstdlib>

namespace vesk::tanh {
namespace {

using tanh_state_t = weighted_sum_state;

constexpr double lr_base = 0.005;

tanh_state_t* state_of(PyInteraction_Object* interaction) {
    return interaction_state<tanh_state_t>(interaction);
}

// A rand() draw spread over [-5, 5]: converted to float, times 10, times
// 2^-31, minus 5, each step rounded in single precision.
float spread_draw() {
    return static_cast<float>(std::rand()) * 10.0f * 0x1p-31f - 5.0f;
}

int initialize(PyInteraction_Object* interaction) {
    return new_trainable_state<tanh_state_t>(interaction, lr_base) != nullptr ? 0 : -1;
}

void draw_parameters(PyInteraction_Object* interaction) {
    tanh_state_t* st = state_of(interaction);
    // Sequenced draws: w0, then w1, then the bias, which is random here.
    st->w0 = spread_draw();
    st->w1 = spread_draw();
    st->bias = spread_draw();
}

int forward(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    if (n_samples < 1) {
        return 0;
    }
    const tanh_state_t* st = state_of(interaction);
    interaction->activation[0] = tanhf(weighted_sum(g, interaction, st) + st->bias);
    return 0;
}

[[gnu::flatten]] int reverse(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    // Derivative from the activation this pass stored; a saturated
    // activation of exactly +-1 passes nothing back.
    const float a = interaction->activation[0];
    weighted_sum_reverse(g, interaction, n_samples, (1.0f - a * a) * interaction->da[0]);
    return 0;
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float* in1, float* __restrict out,
                   int n) {
    weighted_sum_block(interaction, in0, in1, out, n,
                       [](auto sum, float bias) { return each_lane(sum + bias, tanhf); });
}

}  // namespace

interaction_type_t typeobj = {
    .type_name = "tanh",
    .initialize = initialize,
    .forward = forward,
    .reverse = reverse,
    .source_reads = READS_FIRST_AND_COUNTED_SECOND,
    .forward_block = forward_block,
    .description = &weighted_sum_description,
    .draw_parameters = draw_parameters,
};

}  // namespace vesk::tanh
