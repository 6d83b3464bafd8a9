// The "multiply" interaction: the product of its two sources, with the
// product rule's gradients passed back. It has no parameters.
#include "_vesk.h"

#include <type_traits>

namespace vesk::multiply {
namespace {

// Nothing to keep: the state buffer stays unused.
struct multiply_state_t {};
static_assert(std::is_empty_v<multiply_state_t>, "the multiply state record holds nothing");

int initialize(PyInteraction_Object* interaction) {
    // An empty record still has a C++ size of 1; it occupies no bytes of the
    // buffer.
    interaction->data_size = 0;
    return 0;
}

// Both sources are always read; sourcecount is never consulted.
int forward(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    if (n_samples < 1) {
        return 0;
    }
    interaction->activation[0] = graph_get_activation(g, interaction->sources[0], 0) *
                                 graph_get_activation(g, interaction->sources[1], 0);
    return 0;
}

int reverse(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    if (n_samples < 1) {
        return 0;
    }
    const float da = interaction->da[0];
    const float x0 = graph_get_activation(g, interaction->sources[0], 0);
    const float x1 = graph_get_activation(g, interaction->sources[1], 0);
    // Two separate additions: when both sources are one node it receives
    // both shares, 2 x x x da in all, the second added onto the first.
    graph_add_da(g, interaction->sources[0], 0, da * x1);
    graph_add_da(g, interaction->sources[1], 0, x0 * da);
    return 0;
}

void forward_block(PyInteraction_Object* interaction, const float* in0, const float* in1, float* __restrict out,
                   int n) {
    block_map(n, in0, in1, out, [](auto x0, auto x1) { return x0 * x1; });
    interaction->activation[0] = out[n - 1];
}

}  // namespace

interaction_type_t typeobj = {
    .type_name = "multiply",
    .initialize = initialize,
    .forward = forward,
    .reverse = reverse,
    .source_reads = READS_BOTH,
    .forward_block = forward_block,
};

}  // namespace vesk::multiply
