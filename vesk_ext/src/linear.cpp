// The "linear" interaction: a weighted sum of one or two sources plus a
// bias, clamped to [-1, 1], trained online with Adam.
#include "_vesk.h"

namespace vesk::linear {
namespace {

using linear_state_t = weighted_sum_state;

constexpr double lr_base = 0.005;

int initialize(PyInteraction_Object* interaction) {
    return new_trainable_state<linear_state_t>(interaction, lr_base) != nullptr ? 0 : -1;
}

void draw_parameters(PyInteraction_Object* interaction) {
    linear_state_t* st = interaction_state<linear_state_t>(interaction);
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

// Of a sample's sum or of a block's lanes.
constexpr auto activation = [](auto sum, float bias) { return clamped(bias + sum); };

template <int Sources, int Chained>
int forward(const pass_step* s, float carried) {
    return weighted_sum_forward<Sources, Chained>(s, carried, activation);
}

// The gradient passes through the clamp unchanged: a stored activation is
// never beyond [-1, 1], so saturated samples train too.
template <int Sources, int Carry>
int reverse(const pass_step* s, float d) {
    return weighted_sum_reverse<Sources, Carry>(s, d);
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float* in1, float* __restrict out,
                   int n) {
    weighted_sum_block(interaction, in0, in1, out, n, activation);
}

}  // namespace

interaction_type_t typeobj = {
    .type_name = "linear",
    .initialize = initialize,
    .forward = {{}, {forward<1, 0>, forward<1, 1>}, {forward<2, 0>, forward<2, 1>, forward<2, 2>}},
    .reverse = {{}, {reverse<1, 0>, reverse<1, 1>, nullptr, reverse<1, 3>},
                {reverse<2, 0>, reverse<2, 1>, reverse<2, 2>, reverse<2, 3>}},
    .forward_block = forward_block,
    .description = &weighted_sum_description,
    .draw_parameters = draw_parameters,
};

}  // namespace vesk::linear
