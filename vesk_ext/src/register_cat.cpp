// The categorical register "cat": an input register whose values are
// categories (any hashable object). It learns one weight per category and
// emits the weight of each sample's category; with a source it passes values
// and gradients through unchanged. It can never be a graph's output.
#include "_vesk.h"

#include <type_traits>

namespace vesk::cat {
namespace {

struct register_cat_state_t {
    int64_t array_index;
    // The resolved column: the entry of each sample's category (owned), or
    // null. Only held while its entries live: every clear of the map drops it
    // first.
    category_entry** input;
    int64_t input_length;  // its entries
    // Owned. Null only where no operation can reach it: after a failed
    // initialisation, and once deallocation has begun.
    category_hashmap* map;
    // The entry the latest forward step read, which the following reverse
    // step moves.
    category_entry* current_input;
    // Non-zero while a resolution or a replacement of the categories runs.
    // Hashing and releasing keys run Python code, which must not start another
    // change of the same map: a resolution's rollback and its entry addresses
    // rely on the map only gaining entries meanwhile.
    int map_busy;
    // Owned: the map as it was before a query's resolution created categories,
    // until the query settles (it keeps them once its first sample starts, a
    // refused query drops them); null otherwise. While it is held the map
    // only gains entries: its changes are refused while the query runs.
    category_hashmap* before_query;
};

const char* const attributes[] = {"categories", nullptr};

register_cat_state_t* state_of(PyInteraction_Object* interaction) {
    return interaction_state<register_cat_state_t>(interaction);
}

void release_inputarray(register_cat_state_t* st) {
    st->array_index = 0;
    st->input_length = 0;
    PyMem_Free(std::exchange(st->input, nullptr));
}

// Refuses a change of the categories while another change runs, and, unless
// the change is the query's own resolution, while a query uses the register
// (its resolved input points into the map).
int refuse_if_busy(PyInteraction_Object* interaction, const register_cat_state_t* st, bool by_query) {
    const bool in_use = st->map_busy != 0 || (!by_query && interaction->busy != 0);
    return in_use ? vesk_fail(PyExc_RuntimeError, "Categories of register '%s' cannot change while they are in use",
                              interaction->name)
                  : 0;
}

int initialize(PyInteraction_Object* interaction) {
    register_cat_state_t* st = state_of(interaction);
    *st = {};
    st->map = static_cast<category_hashmap*>(PyMem_Calloc(1, sizeof(category_hashmap)));
    return st->map != nullptr ? 0 : vesk_no_memory();
}

// An input register: the weight of the sample's category, whose entry the
// reverse step moves. The query hands it its resolved column, of one entry a
// sample, before the loop.
int forward_input(const pass_step* s, float) {
    register_cat_state_t* st = step_state<register_cat_state_t>(s);
    category_entry* entry = st->input[st->array_index];
    st->current_input = entry;
    const float a = static_cast<float>(entry->weight);
    s->self->a = a;
    st->array_index += 1;
    return next_step(s, a);
}

// A register with a source passes its value on.
template <int Chained>
int forward(const pass_step* s, float carried) {
    const float a = first_source<Chained>(s, carried);
    s->self->a = a;
    return next_step(s, a);
}

// Every block lies within the column, as every sample does.
void forward_block(PyInteraction_Object* interaction, const float* in0, const float*, float* out, int n) {
    register_cat_state_t* st = state_of(interaction);
    if (interaction->sources[0] != -1) {
        // Passing through does not step the column.
        std::memcpy(out, in0, sizeof(float) * static_cast<size_t>(n));
    } else {
        category_entry* const* entries = st->input + st->array_index;
        for (int j = 0; j < n; ++j) {
            out[j] = static_cast<float>(entries[j]->weight);
        }
        st->current_input = entries[n - 1];
        st->array_index += n;
    }
    interaction->activation[0] = out[n - 1];
}

// Moves the weight of the latest sample's category against the gradient:
// the step is a single-precision product with the rate 0.002, the weight is
// kept in double and clamped to [-1, 1]; a NaN weight stays NaN.
int reverse_input(const pass_step* s, float d) {
    category_entry* entry = step_state<register_cat_state_t>(s)->current_input;
    const double step = static_cast<double>(0.002f * d);
    s->self->d = 0.0f;
    const double w = entry->weight - step;
    entry->weight = w > 1.0 ? 1.0 : (w < -1.0 ? -1.0 : w);
    return hand_on<0>(s, 0.0f, 0.0f);
}

// Fills entries with those of a column's known categories, null for one
// unknown or left to the interpreter to compare; whether there was one. The
// map's lookup, from another source, is inlined into the loop.
typedef bool (*known_finder)(const category_hashmap* map, const char* data, npy_intp stride, npy_intp n,
                             category_entry** entries);

template <typename T>
[[gnu::flatten]] bool find_known(const category_hashmap* map, const char* data, npy_intp stride, npy_intp n,
                                 category_entry** entries) {
    bool unknown = false;
    for (npy_intp i = 0; i < n; ++i) {
        // Sign-extended: a signed element's bits are those of its int64.
        const uint64_t bits = static_cast<uint64_t>(*reinterpret_cast<const T*>(data + i * stride));
        entries[i] = category_hashmap_find_int(map, vesk_int_hash(bits, std::is_unsigned_v<T>), bits);
        unknown = unknown || entries[i] == nullptr;
    }
    return unknown;
}

// Integer columns are hashed natively: their elements become Python ints,
// whose hash and equality the interpreter defines by value, so a known
// category is found without making an object for it. Other columns hash and
// compare each element's object.
known_finder native_finder(PyArrayObject* column) {
    const PyArray_Descr* d = PyArray_DESCR(column);
    if (!PyArray_ISNBO(d->byteorder) || !PyArray_ISALIGNED(column)) {
        return nullptr;
    }
    return vesk_with_integer_type(d, [](auto zero) -> known_finder { return find_known<decltype(zero)>; });
}

// Whether the column is still the array whose data, length, stride and
// dtype the resolution took.
bool column_unchanged(PyArrayObject* column, const char* data, npy_intp stride, npy_intp n, const PyArray_Descr* d) {
    return PyArray_NDIM(column) == 1 && PyArray_BYTES(column) == data && PyArray_STRIDES(column)[0] == stride &&
           PyArray_DIM(column, 0) == n && PyArray_DESCR(column) == d;
}

// Ctrl-C acts while a long column is resolved, as in the sample loop: the
// resolution looks at pending signals after about 10 ms of work (a signal
// handler's exception refuses the column). Each look between native finds
// takes the interpreter lock back, which only the thread that runs signal
// handlers does; the lock is held anyway while keys are made, hashed and
// compared, where a look costs a load.
constexpr npy_intp found_per_look = npy_intp{1} << 16;
constexpr npy_intp made_per_look = npy_intp{1} << 10;

// Resolves the column into entries, creating unseen categories at weight 0.
// On failure the categories created by this call are dropped again, so a
// refused column changes nothing; on success they stay pending until the
// query settles.
int set_inputarray(PyInteraction_Object* interaction, PyObject* py_array) {
    register_cat_state_t* st = state_of(interaction);
    release_inputarray(st);
    if (py_array == nullptr) {
        return 0;
    }
    if (refuse_if_busy(interaction, st, true) < 0) {
        return -1;
    }
    PyArrayObject* column = reinterpret_cast<PyArrayObject*>(py_array);
    const npy_intp n = PyArray_DIM(column, 0);
    const known_finder finder = native_finder(column);
    const int looks = finder != nullptr && n > found_per_look ? vesk_runs_signal_handlers() : 0;
    if (looks < 0) {
        return -1;
    }
    category_entry** entries = PyMem_New(category_entry*, static_cast<size_t>(n));
    if (entries == nullptr) {
        return vesk_no_memory();
    }
    // Kept alive while Python code run by hashing, comparing or releasing
    // keys could drop the last outside reference to it.
    PyRef keep(vesk_newref(reinterpret_cast<PyObject*>(interaction)));
    const category_hashmap before = *st->map;
    st->map_busy += 1;
    const char* data = PyArray_BYTES(column);
    const npy_intp stride = PyArray_STRIDES(column)[0];
    const PyArray_Descr* descr = PyArray_DESCR(column);
    // Python code run by a look, a hash or a comparison (a signal handler,
    // `__hash__`, `__eq__`) may have reshaped the column or freed its data.
    auto refuse_if_changed = [&] {
        return column_unchanged(column, data, stride, n, descr)
                   ? 0
                   : vesk_refuse_changed_column("input", interaction->name);
    };
    bool unknown = true;
    bool failed = false;
    if (finder != nullptr) {
        // Known categories are found without the lock: nothing changes the
        // map while this resolution holds it busy, and finding runs no Python
        // code. Unknown ones (null) are made below, in column order.
        unknown = false;
        const npy_intp chunk = looks ? found_per_look : std::max<npy_intp>(n, 1);
        for (npy_intp start = 0; start < n && !failed; start += chunk) {
            const npy_intp m = std::min(chunk, n - start);
            const char* at = data + start * stride;
            unknown = vesk_unlocked_for(m, [&] { return finder(st->map, at, stride, m, entries + start); }) || unknown;
            failed = start + m < n && (vesk_check_signals_in_setup() < 0 || refuse_if_changed() < 0);
        }
    }
    for (npy_intp i = 0, made = 0; unknown && !failed && i < n; ++i) {
        if (finder == nullptr || entries[i] == nullptr) {
            if ((++made % made_per_look == 0 && vesk_check_signals_in_setup() < 0) || refuse_if_changed() < 0) {
                failed = true;
                break;
            }
            // A value made a category on an earlier row is found natively.
            if (finder != nullptr && st->map->count != before.count &&
                !finder(st->map, data + i * stride, stride, 1, entries + i)) {
                continue;
            }
            PyRef key(PyArray_GETITEM(column, data + i * stride));
            entries[i] = key ? category_hashmap_get(st->map, key.get()) : nullptr;
            // The key's __hash__ and __eq__ ran Python code, which may have
            // changed the float controls the next key's hash depends on.
            vesk_reset_query_floats();
            failed = entries[i] == nullptr;
        }
    }
    // Held until the query settles, which keeps or drops what it created.
    if (!failed && st->map->count != before.count && st->before_query == nullptr) {
        st->before_query = PyMem_New(category_hashmap, 1);
        if (st->before_query == nullptr) {
            PyErr_NoMemory();
            failed = true;
        } else {
            *st->before_query = before;
        }
    }
    if (failed) {
        PyMem_Free(entries);
        // Releasing the dropped keys may run finalisers; the column's error
        // is set aside meanwhile.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        category_hashmap_rollback(st->map, &before);
        vesk_reset_query_floats();  // after the finalisers
        PyErr_Restore(type, value, traceback);
    } else {
        st->input = entries;
        st->input_length = n;
    }
    st->map_busy -= 1;
    return failed ? -1 : 0;
}

// The resolved column holds an entry for every sample of the query.
int check_columns(PyInteraction_Object* interaction, int64_t samples) {
    const register_cat_state_t* st = state_of(interaction);
    return st->input != nullptr && st->input_length != samples
               ? vesk_fail(PyExc_ValueError, "Uneven X feature lengths %lld != %lld", static_cast<long long>(samples),
                           static_cast<long long>(st->input_length))
               : 0;
}

// Keeps the categories a query's resolution created, or drops them for a
// query refused before its first sample (the query let go of its resolved
// column first).
void settle(PyInteraction_Object* interaction, bool keep) {
    register_cat_state_t* st = state_of(interaction);
    category_hashmap* before = std::exchange(st->before_query, nullptr);
    if (before != nullptr && !keep) {
        // Releasing keys runs finalisers: the map stays busy meanwhile.
        PyRef keep_alive(vesk_newref(reinterpret_cast<PyObject*>(interaction)));
        release_inputarray(st);
        st->map_busy += 1;
        category_hashmap_rollback(st->map, before);
        vesk_reset_query_floats();  // after the finalisers
        st->map_busy -= 1;
    }
    PyMem_Free(before);
}

// The categories as a new list of (key, weight) pairs in the map's order.
// The entries are copied out before any Python object is made: a collection
// triggered by an allocation may run finalisers that replace the categories.
PyObject* getattr(PyInteraction_Object* interaction, const char* name) {
    if (std::strcmp(name, "categories") != 0) {
        return nullptr;
    }
    category_hashmap* map = state_of(interaction)->map;
    struct item {
        PyObject* key;  // owned for the life of the copy
        double weight;
    };
    const size_t n = map->count;
    item* items = PyMem_New(item, n);
    if (items == nullptr) {
        return PyErr_NoMemory();
    }
    size_t k = 0;
    for (category_entry* e = category_hashmap_iterate(map, nullptr); e != nullptr;
         e = category_hashmap_iterate(map, e)) {
        items[k++] = {vesk_newref(e->key), e->weight};
    }
    PyRef list(PyList_New(static_cast<Py_ssize_t>(n)));
    for (size_t i = 0; i < n; ++i) {
        PyObject* pair = list ? Py_BuildValue("(Od)", items[i].key, items[i].weight) : nullptr;
        if (pair == nullptr) {
            list.reset();
        } else {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
        }
        Py_DECREF(items[i].key);
    }
    PyMem_Free(items);
    return list.release();
}

// Files one (key, weight) pair. The weight is converted before the key is
// filed, so a refused pair leaves no category behind.
int set_category(category_hashmap* map, PyObject* pair) {
    const Py_ssize_t size = PySequence_Check(pair) ? PySequence_Size(pair) : 0;
    if (size != 2) {
        // An interrupt, an exit or a memory error raised by the length is
        // passed on; an ordinary failure makes the pair refused.
        if (size == -1 && !vesk_error_is_refusable()) {
            return -1;
        }
        PyErr_Clear();
        return vesk_fail(PyExc_ValueError, "Items in categorical states must be tuples of length 2");
    }
    PyRef key(PySequence_GetItem(pair, 0));
    PyRef value(key ? PySequence_GetItem(pair, 1) : nullptr);
    // A failed read gives -1 with its error set.
    const double weight = value ? PyFloat_AsDouble(value.get()) : -1.0;
    category_entry* entry = weight == -1.0 && PyErr_Occurred() ? nullptr : category_hashmap_get(map, key.get());
    if (entry == nullptr) {
        return -1;
    }
    // Stored as given: only training clamps.
    entry->weight = weight;
    return 0;
}

// Replaces every category. A refused item ends the replacement with the
// items before it set and the rest missing.
int setattr(PyInteraction_Object* interaction, const char* name, PyObject* pyattr) {
    if (std::strcmp(name, "categories") != 0) {
        return -1;
    }
    register_cat_state_t* st = state_of(interaction);
    if (!PyList_Check(pyattr)) {
        return vesk_fail(PyExc_ValueError, "Categorical registers expects list states");
    }
    if (refuse_if_busy(interaction, st, false) < 0) {
        return -1;
    }
    // Kept alive, as a resolution keeps it, and so is the list.
    PyRef keep(vesk_newref(reinterpret_cast<PyObject*>(interaction)));
    PyRef list(vesk_newref(pyattr));
    st->map_busy += 1;
    // A resolved input left by a failed query points into the map.
    release_inputarray(st);
    st->current_input = nullptr;
    category_hashmap_clear(st->map);
    int result = 0;
    // The length is read again on every round: hashing a key runs Python
    // code, which may change the list.
    for (Py_ssize_t i = 0; result == 0 && i < PyList_GET_SIZE(pyattr); ++i) {
        PyRef pair(vesk_newref(PyList_GET_ITEM(pyattr, i)));
        result = set_category(st->map, pair.get());
    }
    st->map_busy -= 1;
    return result;
}

// Sets the categories from a listing that getattr gave. Filed in reverse,
// each bucket (newest first) then lists them in the same order again.
int restore_attribute(PyInteraction_Object* interaction, const char* name, PyObject* listing) {
    PyRef filed(PyList_Check(listing) ? PyList_GetSlice(listing, 0, PyList_GET_SIZE(listing)) : vesk_newref(listing));
    if (!filed || (PyList_Check(listing) && PyList_Reverse(filed.get()) < 0)) {
        return -1;
    }
    return setattr(interaction, name, filed.get());
}

int traverse(PyInteraction_Object* interaction, visitproc visit, void* arg) {
    category_hashmap* map = state_of(interaction)->map;
    // The collector visits often: an empty map's buckets are not walked.
    if (map == nullptr || map->count == 0) {
        return 0;
    }
    for (category_entry* e = category_hashmap_iterate(map, nullptr); e != nullptr;
         e = category_hashmap_iterate(map, e)) {
        Py_VISIT(e->key);
    }
    return 0;
}

// The copy's categories: a new map of the original's entries, installed in
// the copy's record once complete (the record keeps its own map until then).
int copy_state(PyInteraction_Object* copy, PyInteraction_Object* original, PyObject* memo) {
    category_hashmap* from = state_of(original)->map;
    if (from == nullptr || from->count == 0) {
        return 0;  // the copy's map is as empty
    }
    category_hashmap* filled = static_cast<category_hashmap*>(PyMem_Calloc(1, sizeof(category_hashmap)));
    if (filled == nullptr) {
        return vesk_no_memory();
    }
    register_cat_state_t* st = state_of(copy);
    int rc = category_hashmap_copy(filled, from, memo);
    // Copying keys ran Python code, which may have reached the copy.
    rc = rc == 0 ? refuse_if_busy(copy, st, false) : rc;
    if (rc == 0) {
        st->map_busy += 1;
        release_inputarray(st);
        st->current_input = nullptr;
        filled = std::exchange(st->map, filled);
    }
    // The map that goes (the copy's own, or the refused one) releases its
    // keys with the error set aside.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    category_hashmap_clear(filled);
    PyMem_Free(filled);
    PyErr_Restore(type, value, traceback);
    st->map_busy -= rc == 0 ? 1 : 0;
    return rc;
}

int set_loss(PyInteraction_Object*, PyObject*) {
    return vesk_fail(PyExc_ValueError, "Loss function can't be set on legacy registers");
}

void deallocate(PyInteraction_Object* interaction) {
    register_cat_state_t* st = state_of(interaction);
    release_inputarray(st);
    PyMem_Free(std::exchange(st->before_query, nullptr));
    // Detached before the keys go, so a finaliser that reaches this register
    // through its state object finds no map instead of a half-freed one.
    category_hashmap* map = std::exchange(st->map, nullptr);
    if (map != nullptr) {
        category_hashmap_clear(map);
        PyMem_Free(map);
    }
}

}  // namespace

interaction_type_t typeobj = {
    .type_name = "cat",
    .initialize = initialize,
    .attributes = attributes,
    .setattr = setattr,
    .getattr = getattr,
    .deallocate = deallocate,
    .set_inputarray = set_inputarray,
    .set_loss = set_loss,
    .forward = {{forward_input}, {forward<0>, forward<1>}},
    .reverse = {{reverse_input}, {pass_gradient_back<0>, pass_gradient_back<1>}},
    .forward_block = forward_block,
    .is_register = true,
    .restore_attribute = restore_attribute,
    .traverse = traverse,
    .check_columns = check_columns,
    .settle = settle,
    .copy_state = copy_state,
};

}  // namespace vesk::cat
