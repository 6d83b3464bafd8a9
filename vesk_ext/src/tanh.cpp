// The "tanh" interaction: the hyperbolic tangent of a weighted sum of one or
// two sources plus a bias, trained online with Adam.
#include "_vesk.h"

#include <math.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vesk::tanh {
namespace {

struct tanh_state_t {
    float w0;
    float w1;   // used only while sourcecount is 2
    float bias;
    adam w0_adam;
    adam w1_adam;
    adam bias_adam;
    float lr;   // fixed at creation from gluamine
};
static_assert(sizeof(tanh_state_t) == 40, "the tanh state record is 40 bytes");

const char* const attributes[] = {"w0", "w1", "bias", nullptr};

constexpr double lr_base = 0.005;

// Shared by every "tanh" interaction; valid until the next tooltip call.
char buffer[128];

tanh_state_t* state_of(PyInteraction_Object* interaction) {
    return interaction_state<tanh_state_t>(interaction);
}

// A rand() draw spread over [-5, 5]: converted to float, times 10, times
// 2^-31, minus 5, each step rounded in single precision.
float spread_draw() {
    return static_cast<float>(std::rand()) * 10.0f * 0x1p-31f - 5.0f;
}

int initialize(PyInteraction_Object* interaction) {
    if (vesk_refuse_negative_gluamine(interaction) < 0) {
        return -1;
    }
    tanh_state_t* st = state_of(interaction);
    std::memset(st, 0, sizeof *st);
    // Sequenced draws: w0, then w1, then the bias, which is random here.
    st->w0 = spread_draw();
    st->w1 = spread_draw();
    st->bias = spread_draw();
    st->lr = vesk_learning_rate(lr_base, interaction->gluamine);
    interaction->data_size = sizeof(tanh_state_t);
    return 0;
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
    const float dz = (1.0f - a * a) * interaction->da[0];
    weighted_sum_reverse(g, interaction, state_of(interaction), n_samples, dz);
    return 0;
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float* in1, float* __restrict out,
                   int n) {
    const tanh_state_t* st = state_of(interaction);
    weighted_sum_block(st, in0, in1, out, n);
    const float bias = st->bias;
    block_map(n, out, out, [bias](auto sum) { return sum + bias; });
    for (int j = 0; j < n; ++j) {
        out[j] = tanhf(out[j]);
    }
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
    "tanh",                          // type_name
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

}  // namespace vesk::tanh
