// The "tanh" interaction: the hyperbolic tangent of a weighted sum of one or
// two sources plus a bias, trained online with Adam.
#include "_vesk.h"

namespace vesk::tanh {
namespace {

// A rand() draw spread over [-5, 5]: converted to float, times 10, times
// 2^-31, minus 5, each step rounded in single precision.
float spread_draw() {
    return static_cast<float>(std::rand()) * 10.0f * 0x1p-31f - 5.0f;
}

struct tanh_kind : weighted_sum<tanh_kind> {
    static constexpr const char* type_name = "tanh";

    // Of a sample's sum or, lane by lane, of a block's: the argument of the
    // hyperbolic tangent.
    static constexpr auto activation = [](auto sum, float bias) { return sum + bias; };
    static constexpr last_function function = last_function::tanh;

    // The derivative comes from the activation this pass stored; a saturated
    // activation of exactly +-1 passes nothing back.
    static float sum_gradient(float a, float d) { return (1.0f - a * a) * d; }

    static void draw_parameters(PyInteraction_Object* interaction) {
        weighted_sum_state* st = interaction_state<weighted_sum_state>(interaction);
        // Sequenced draws: w0, then w1, then the bias, which is random here.
        st->w0 = spread_draw();
        st->w1 = spread_draw();
        st->bias = spread_draw();
    }
};

}  // namespace

interaction_type_t typeobj = value_type<tanh_kind>;

}  // namespace vesk::tanh
