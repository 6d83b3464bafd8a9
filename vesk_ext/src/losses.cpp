// Loss derivatives of the output register. Each takes the scaled expected
// value and the prediction, both in the register's [-1, 1] domain, and returns
// d(loss)/d(prediction) in single precision.
#include "_vesk.h"

float mean_squared_error(float y_true, float y_pred) {
    const float d = y_pred - y_true;
    return d + d;
}

namespace {

float mean_absolute_error(float y_true, float y_pred) {
    // An ordered comparison: a tie gives -1, a NaN on either side gives +1.
    return y_true >= y_pred ? -1.0f : 1.0f;
}

float categorical_cross_entropy(float y_true, float y_pred) {
    // Only an exact -1 is the negative class; every other value, NaN
    // included, counts as the positive one.
    return y_true == -1.0f ? y_pred + 1.0f : y_pred - 1.0f;
}

struct loss_name {
    const char* name;
    loss_func function;
};

const loss_name loss_table[] = {
    {"mean_absolute_error", mean_absolute_error},
    {"mean_squared_error", mean_squared_error},
    {"categorical_cross_entropy", categorical_cross_entropy},
};

}  // namespace

int set_loss_function_from_string(const char* function_name, loss_func* function) {
    for (const loss_name& entry : loss_table) {
        if (std::strcmp(entry.name, function_name) == 0) {
            *function = entry.function;
            return 0;
        }
    }
    return -1;
}
