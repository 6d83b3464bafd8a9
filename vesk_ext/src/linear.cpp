// The "linear" interaction: a weighted sum of one or two sources plus a
// bias, clamped to [-1, 1], trained online with Adam.
#include "_vesk.h"

#include <math.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vesk::linear {
namespace {

struct linear_state_t {
    float w0;
    float w1;   // used only while sourcecount is 2
    float bias;
    adam w0_adam;
    adam w1_adam;
    adam bias_adam;
    float lr;   // fixed at creation from gluamine
};
static_assert(sizeof(linear_state_t) == 40, "the linear state record is 40 bytes");

const char* const attributes[] = {"w0", "w1", "bias", nullptr};

constexpr double lr_base = 0.005;

// Shared by every "linear" interaction; valid until the next tooltip call.
char buffer[128];

linear_state_t* state_of(PyInteraction_Object* interaction) {
    return interaction_state<linear_state_t>(interaction);
}

int initialize(PyInteraction_Object* interaction) {
    if (vesk_refuse_negative_gluamine(interaction) < 0) {
        return -1;
    }
    linear_state_t* st = state_of(interaction);
    std::memset(st, 0, sizeof *st);
    // Both weights are drawn whatever the number of sources: sources are set
    // after creation. The draws are sequenced: w0 takes the first.
    st->w0 = vesk_unit_draw() - 0.5f;
    st->w1 = vesk_unit_draw() - 0.5f;
    st->lr = vesk_learning_rate(lr_base, interaction->gluamine);
    interaction->data_size = sizeof(linear_state_t);
    return 0;
}

int forward(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    if (n_samples < 1) {
        return 0;
    }
    const linear_state_t* st = state_of(interaction);
    const float z = st->bias + weighted_sum(g, interaction, st);
    // A NaN sum fails both tests and stays NaN.
    float a = z;
    if (z > 1.0f) {
        a = 1.0f;
    } else if (z < -1.0f) {
        a = -1.0f;
    }
    interaction->activation[0] = a;
    return 0;
}

[[gnu::flatten]] int reverse(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    // The gradient passes through the clamp unchanged: a stored activation
    // is never beyond [-1, 1], so saturated samples train too.
    weighted_sum_reverse(g, interaction, state_of(interaction), n_samples, interaction->da[0]);
    return 0;
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float* in1, float* __restrict out,
                   int n) {
    const linear_state_t* st = state_of(interaction);
    weighted_sum_block(st, in0, in1, out, n);
    const float bias = st->bias;
    block_map(n, out, out, [bias](auto sum) {
        using T = decltype(sum);
        const T one = T{} + 1.0f;
        const T z = bias + sum;
        // A NaN sum fails both tests and stays NaN.
        return z > one ? one : (z < -one ? -one : z);
    });
    interaction->activation[0] = out[n - 1];
}

PyObject* getattr(PyInteraction_Object* interaction, const char* name) {
    return vesk_float_attribute(weighted_sum_field(state_of(interaction), name));
}

int setattr(PyInteraction_Object* interaction, const char* name, PyObject* value) {
    float converted;
    if (vesk_number_to_float(value, &converted) < 0) {
        return -1;
    }
    float* field = weighted_sum_field(state_of(interaction), name);
    if (field == nullptr) {
        return -1;
    }
    *field = converted;
    return 0;
}

const char* get_tooltip(PyInteraction_Object* interaction) {
    return weighted_sum_tooltip(buffer, sizeof buffer, interaction, state_of(interaction));
}

interaction_type_t typeobj = {
    "linear",                        // type_name
    initialize,                      // initialize
    forward,                         // forward
    reverse,                         // reverse
    attributes,                      // attributes
    setattr,                         // setattr
    getattr,                         // getattr
    get_tooltip,                     // get_tooltip
    nullptr,                         // deallocate
    nullptr,                         // set_inputarray
    nullptr,                         // set_expectedarray
    nullptr,                         // create_outputarray
    nullptr,                         // set_loss
    nullptr,                         // get_outputarray
    nullptr,                         // next
    READS_FIRST_AND_COUNTED_SECOND,  // source_reads
    forward_block,                   // forward_block
    nullptr,                         // block_ready
};

}  // namespace

int init() {
    return vesk_add_interactiontype(&typeobj);
}

}  // namespace vesk::linear
