// The "gaussian" interaction: a bump over one or two sources that is 1 at
// the centres and falls off with the squared distance over a width, trained
// by plain gradient steps.
#include "_vesk.h"

namespace vesk::gaussian {
namespace {

struct gaussian_state_t {
    static constexpr double lr_base = 0.0001;
    float center0;
    float center1;  // used only while sourcecount is 2
    float w0;       // divisor of the squared distance, not a deviation
    float w1;
    float lr;       // rate of the widths; the centres move at 4 x lr
};
static_assert(sizeof(gaussian_state_t) == 20, "the gaussian state record is 20 bytes");

// Training keeps every width at or above this (bits 0x38D1B717).
constexpr float width_floor = 0.0001f;

// A rand() draw as a width in [0, 0.5]: the float draw widened, scaled and
// divided in double, rounded once.
float width_draw() {
    const float r = static_cast<float>(std::rand());
    return static_cast<float>(static_cast<double>(r) * 0.5 / 2147483647.0);
}

struct gaussian_kind {
    using state_t = gaussian_state_t;
    static constexpr const char* type_name = "gaussian";

    // clang-format off
    static constexpr state_description description = {
        .fields = {
            VESK_ATTRIBUTE(gaussian_state_t, center0, number),
            VESK_ATTRIBUTE(gaussian_state_t, center1, number),
            VESK_ATTRIBUTE(gaussian_state_t, w0, number),
            VESK_ATTRIBUTE(gaussian_state_t, w1, number),
            VESK_INTERNAL_AS("lr", gaussian_state_t, lr, number),
        },
        .unknown = unknown_names::converted_ignored,
        .one_source_tooltip = {"center: %.2f\nwidth: %.2f", {"center0", "w0"}},
        .tooltip = {"center: %.2f, %.2f\nwidth: %.2f, %.2f", {"center0", "center1", "w0", "w1"}},
    };
    // clang-format on

    static void draw_parameters(PyInteraction_Object* interaction) {
        gaussian_state_t* st = interaction_state<gaussian_state_t>(interaction);
        // Sequenced draws: both centres, then both widths.
        st->center0 = vesk_unit_draw();
        st->center1 = vesk_unit_draw();
        st->w0 = width_draw();
        st->w1 = width_draw();
    }

    // The exponent of the bump of a sample's floats or of a block's lanes.
    // It divides by the widths as they stand: a width set to 0 from Python
    // is floored only by the next reverse step.
    template <int Sources, typename T>
    static T value(const gaussian_state_t& st, T x0, T x1) {
        const T d = x0 - st.center0;
        T z = (d * d) / st.w0;
        if constexpr (Sources == 2) {
            const T e = x1 - st.center1;
            z = z + (e * e) / st.w1;
        }
        return -z;
    }
    static constexpr last_function function = last_function::exp;

    template <int Sources, int Carry>
    static int reverse(const pass_step* s, float da) {
        gaussian_state_t* st = step_state<gaussian_state_t>(s);
        const float a = s->self->a;
        s->self->d = 0.0f;
        const float t = (da + da) * a;
        const float x0 = s->source0->a;
        const float dc0_tot = ((x0 - st->center0) * t) / st->w0;
        const float u0 = st->center0 - x0;
        const float dw0_tot = ((da * a) * (u0 * u0)) / (st->w0 * st->w0);
        // Carry 3: the sources take no shares.
        const float d0 = Carry != 3 ? add_share(s->source0, -dc0_tot) : 0.0f;
        float d1 = 0.0f;
        float dc1_tot = 0.0f;
        float dw1_tot = 0.0f;
        if constexpr (Sources == 2) {
            const float x1 = s->source1->a;
            const float u1 = st->center1 - x1;
            dw1_tot = ((da * a) * (u1 * u1)) / (st->w1 * st->w1);
            dc1_tot = ((x1 - st->center1) * t) / st->w1;
            d1 = Carry != 3 ? add_share(s->source1, -dc1_tot) : 0.0f;
        }
        // Each step reads the fields as the previous step left them; lr x 4 is
        // rounded to float before it scales the centre gradient.
        st->w0 = st->w0 - st->lr * dw0_tot;
        st->w1 = st->w1 - st->lr * dw1_tot;
        st->center0 = st->center0 - (st->lr * 4.0f) * dc0_tot;
        st->center1 = st->center1 - (st->lr * 4.0f) * dc1_tot;
        // The floor runs on every step, so that a width set to 0 or below from
        // Python is raised at the next training sample. A NaN width fails the
        // test and is left as it is.
        if (st->w0 <= 0.0f) {
            st->w0 = width_floor;
        }
        if (st->w1 <= 0.0f) {
            st->w1 = width_floor;
        }
        return hand_on<Carry>(s, d0, d1);
    }
};

}  // namespace

interaction_type_t typeobj = value_type<gaussian_kind>;

}  // namespace vesk::gaussian
