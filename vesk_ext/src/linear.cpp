// The "linear" interaction: a weighted sum of one or two sources plus a
// bias, clamped to [-1, 1], trained online with Adam.
#include "_vesk.h"

namespace vesk::linear {
namespace {

// The sum clamped to [-1, 1]; a NaN sum fails both tests and stays NaN.
template <typename T>
T clamped(T z) {
    const T one = T{} + 1.0f;
    return z > one ? one : (z < -one ? -one : z);
}

struct linear_kind : weighted_sum<linear_kind> {
    static constexpr const char* type_name = "linear";

    // Of a sample's sum or of a block's lanes.
    static constexpr auto activation = [](auto sum, float bias) { return clamped(bias + sum); };

    // The gradient passes through the clamp unchanged: a stored activation is
    // never beyond [-1, 1], so saturated samples train too.
    static float sum_gradient(float, float d) { return d; }

    static void draw_parameters(PyInteraction_Object* interaction) {
        weighted_sum_state* st = interaction_state<weighted_sum_state>(interaction);
        // Both weights are drawn whatever the number of sources: sources are
        // set after creation. The draws are sequenced: w0 takes the first.
        st->w0 = vesk_unit_draw() - 0.5f;
        st->w1 = vesk_unit_draw() - 0.5f;
    }
};

}  // namespace

interaction_type_t typeobj = value_type<linear_kind>;

}  // namespace vesk::linear
