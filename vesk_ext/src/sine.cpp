// The "sine" interaction: sin(k x source + x0) of a single source, with phase
// and frequency trained by plain gradient steps.
#include "_vesk.h"

namespace vesk::sine {
namespace {

struct sine_state_t {
    static constexpr double lr_base = 0.01;
    float x0;  // phase
    float k;   // frequency; moves at twice the rate of the phase
    float lr;  // fixed at creation from gluamine
    // The cosine of the argument of the latest forward step, for the
    // reverse step of the same sample. Not part of the state.
    float cosine;
};
static_assert(sizeof(sine_state_t) == 16, "the sine state record is 16 bytes");

// clang-format off
constexpr state_description description = {
    .fields = {
        VESK_ATTRIBUTE(sine_state_t, x0, number),
        VESK_ATTRIBUTE(sine_state_t, k, number),
        VESK_INTERNAL_AS("lr", sine_state_t, lr, number),
    },
    .unknown = unknown_names::converted_ignored,
    .tooltip = {"x0: %.2f\nk: %.2f", {"x0", "k"}},
};
// clang-format on

constexpr double pi = 3.141592653589793;

void draw_parameters(PyInteraction_Object* interaction) {
    sine_state_t* st = interaction_state<sine_state_t>(interaction);
    // One draw picks pi, 2 pi or 3 pi, formed in double and rounded once.
    const int multiple = std::rand() % 3 + 1;
    st->k = static_cast<float>(static_cast<double>(multiple) * pi);
}

// One source only: sourcecount and a second source are never consulted.
// The forward step also takes the cosine that the reverse step needs, of
// the same argument (k x v + x0 is v x k + x0), so that the reverse step
// makes no call, around which its values would wait.
template <int Chained>
int forward(const pass_step* s, float carried) {
    sine_state_t* st = step_state<sine_state_t>(s);
    const float argument = first_source<Chained>(s, carried) * st->k + st->x0;
    const vesk::math::sin_cos sc = vesk::math::chosen_forms.sincosf(argument);
    const float a = sc.sin;
    s->self->a = a;
    st->cosine = sc.cos;
    return next_step(s, a);
}

template <int Carry>
int reverse(const pass_step* s, float da) {
    sine_state_t* st = step_state<sine_state_t>(s);
    s->self->d = 0.0f;
    const float q = st->cosine;
    const float dx0_tot = q * da;
    const float dk_tot = (s->source0->a * da) * q;
    // The source's share uses k from before this step.
    const float d0 = add_share(s->source0, q * (st->k * da));
    st->x0 = st->x0 - dx0_tot * st->lr;
    st->k = st->k - dk_tot * (st->lr + st->lr);
    return hand_on<Carry>(s, d0, 0.0f);
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float*, float* __restrict out, int n) {
    // A copy, whose parameters stay in registers over the block.
    const sine_state_t st = *interaction_state<sine_state_t>(interaction);
    block_map(n, out, [st](auto v) { return v * st.k + st.x0; }, in0);
    vesk::math::chosen_forms.sinf_block(out, n);
    interaction->activation[0] = out[n - 1];
}

}  // namespace

interaction_type_t typeobj = {
    .type_name = "sine",
    .initialize = initialize_trainable<sine_state_t>,
    .forward = {{}, {forward<0>, forward<1>}},
    .reverse = {{}, {reverse<0>, reverse<1>}},
    .forward_block = forward_block,
    .description = &description,
    .draw_parameters = draw_parameters,
};

}  // namespace vesk::sine
