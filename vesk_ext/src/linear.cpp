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

// A rand() draw as a unit value: the conversion to float rounds the largest
// draws up to 2^31, so 1 itself can come out.
float unit_draw() {
    return static_cast<float>(std::rand()) * 0x1p-31f;
}

// base / ln(gluamine + 2): the logarithm in single precision, the quotient in
// double, rounded once. The sum is taken in 64 bits so that the largest
// gluamine values do not wrap; below them it equals the int sum.
float learning_rate(int gluamine) {
    const float shifted = static_cast<float>(static_cast<long long>(gluamine) + 2);
    return static_cast<float>(lr_base / static_cast<double>(logf(shifted)));
}

float* field_named(linear_state_t* st, const char* name) {
    if (std::strcmp(name, "w0") == 0) {
        return &st->w0;
    }
    if (std::strcmp(name, "w1") == 0) {
        return &st->w1;
    }
    if (std::strcmp(name, "bias") == 0) {
        return &st->bias;
    }
    return nullptr;
}

int initialize(PyInteraction_Object* interaction) {
    // Refused before any draw, so a refused construction leaves the process's
    // rand() sequence where it was. A negative gluamine would give an
    // infinite (-1) or non-positive learning rate.
    if (interaction->gluamine < 0) {
        PyErr_Format(PyExc_ValueError, "gluamine must not be negative (got %i)", interaction->gluamine);
        return -1;
    }
    linear_state_t* st = state_of(interaction);
    std::memset(st, 0, sizeof *st);
    // Both weights are drawn whatever the number of sources: sources are set
    // after creation. The draws are sequenced: w0 takes the first.
    st->w0 = unit_draw() - 0.5f;
    st->w1 = unit_draw() - 0.5f;
    st->lr = learning_rate(interaction->gluamine);
    interaction->data_size = sizeof(linear_state_t);
    return 0;
}

int forward(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    if (n_samples < 1) {
        return 0;
    }
    const linear_state_t* st = state_of(interaction);
    float z = graph_get_activation(g, interaction->sources[0], 0) * st->w0;
    if (interaction->sourcecount == 2) {
        z = z + graph_get_activation(g, interaction->sources[1], 0) * st->w1;
    }
    z = st->bias + z;
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

int reverse(PyGraph_Object* g, PyInteraction_Object* interaction, int n_samples) {
    linear_state_t* st = state_of(interaction);
    const bool two_sources = interaction->sourcecount == 2;
    float dw0_sum = 0.0f;
    float dw1_sum = 0.0f;
    float dbias_sum = 0.0f;
    if (n_samples >= 1) {
        // The gradient passes through the clamp unchanged: a stored
        // activation is never beyond [-1, 1], so saturated samples train too.
        const float dz = interaction->da[0];
        dw0_sum = graph_get_activation(g, interaction->sources[0], 0) * dz;
        if (two_sources) {
            dw1_sum = graph_get_activation(g, interaction->sources[1], 0) * dz;
        }
        dbias_sum = dz;
        // The sources' shares use the weights from before this step; a node
        // that is both sources receives both shares.
        graph_add_da(g, interaction->sources[0], 0, dz * st->w0);
        if (two_sources) {
            graph_add_da(g, interaction->sources[1], 0, dz * st->w1);
        }
    }
    // Every parameter steps on every call, so a zero gradient still moves it
    // by the momentum its moments hold. lr x step is rounded to float before
    // it is subtracted.
    const int nsamples = g->samples;
    float step = adam_step(&st->w0_adam, nsamples, dw0_sum);
    st->w0 = st->w0 - st->lr * step;
    step = adam_step(&st->w1_adam, nsamples, dw1_sum);
    st->w1 = st->w1 - st->lr * step;
    step = adam_step(&st->bias_adam, nsamples, dbias_sum);
    st->bias = st->bias - st->lr * step;
    return 0;
}

PyObject* getattr(PyInteraction_Object* interaction, const char* name) {
    const float* field = field_named(state_of(interaction), name);
    if (field == nullptr) {
        return nullptr;  // the state object words the error
    }
    return PyFloat_FromDouble(*field);
}

int setattr(PyInteraction_Object* interaction, const char* name, PyObject* value) {
    // str is not a number here, even when it spells one.
    if (!PyNumber_Check(value)) {
        return -1;
    }
    PyRef as_float(PyNumber_Float(value));
    if (!as_float) {
        PyErr_Clear();  // refusal is reported by the result alone
        return -1;
    }
    const double d = PyFloat_AsDouble(as_float.get());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    float* field = field_named(state_of(interaction), name);
    if (field == nullptr) {
        return -1;
    }
    *field = static_cast<float>(d);
    return 0;
}

const char* get_tooltip(PyInteraction_Object* interaction) {
    const linear_state_t* st = state_of(interaction);
    // Bounded: huge parameters are cut at the end of the buffer.
    if (interaction->sourcecount == 1) {
        std::snprintf(buffer, sizeof buffer, "w: %.2f\nbias: %.2f", static_cast<double>(st->w0),
                      static_cast<double>(st->bias));
    } else {
        std::snprintf(buffer, sizeof buffer, "w0: %.2f\nw1: %.2f\nbias: %.2f", static_cast<double>(st->w0),
                      static_cast<double>(st->w1), static_cast<double>(st->bias));
    }
    return buffer;
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
};

}  // namespace

int init() {
    return vesk_add_interactiontype(&typeobj);
}

}  // namespace vesk::linear
