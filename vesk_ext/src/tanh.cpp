// The "tanh" interaction: the hyperbolic tangent of a weighted sum of one or
// two sources plus a bias, trained online with Adam.
#include "_vesk.h"

#include <math.h>

#include <cstdlib>

namespace vesk::tanh {
namespace {

using tanh_state_t = weighted_sum_state;

constexpr double lr_base = 0.005;

// A rand() draw spread over [-5, 5]: converted to float, times 10, times
// 2^-31, minus 5, each step rounded in single precision.
float spread_draw() {
    return static_cast<float>(std::rand()) * 10.0f * 0x1p-31f - 5.0f;
}

int initialize(PyInteraction_Object* interaction) {
    return new_trainable_state<tanh_state_t>(interaction, lr_base) != nullptr ? 0 : -1;
}

void draw_parameters(PyInteraction_Object* interaction) {
    tanh_state_t* st = interaction_state<tanh_state_t>(interaction);
    // Sequenced draws: w0, then w1, then the bias, which is random here.
    st->w0 = spread_draw();
    st->w1 = spread_draw();
    st->bias = spread_draw();
}

// Of a sample's sum or, lane by lane, of a block's.
constexpr auto activation = [](auto sum, float bias) { return each_lane(sum + bias, tanhf); };

template <int Sources, int Chained>
int forward(const pass_step* s, float carried) {
    return weighted_sum_forward<Sources, Chained>(s, carried, activation);
}

// The derivative comes from the activation this pass stored; a saturated
// activation of exactly +-1 passes nothing back.
template <int Sources, int Carry>
int reverse(const pass_step* s, float d) {
    const float a = s->self->a;
    return weighted_sum_reverse<Sources, Carry>(s, (1.0f - a * a) * d);
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float* in1, float* __restrict out,
                   int n) {
    weighted_sum_block(interaction, in0, in1, out, n, activation);
}

}  // namespace

interaction_type_t typeobj = {
    .type_name = "tanh",
    .initialize = initialize,
    .forward = {{}, {forward<1, 0>, forward<1, 1>}, {forward<2, 0>, forward<2, 1>, forward<2, 2>}},
    .reverse = {{}, {reverse<1, 0>, reverse<1, 1>, nullptr, reverse<1, 3>},
                {reverse<2, 0>, reverse<2, 1>, reverse<2, 2>, reverse<2, 3>}},
    .forward_block = forward_block,
    .description = &weighted_sum_description,
    .draw_parameters = draw_parameters,
};

}  // namespace vesk::tanh
