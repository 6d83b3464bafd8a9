// The query engine: a query's checks and the hand-out of its columns, the
// per-sample plan of chained steps and the block steps of a prediction, and
// the sample loop, which runs without the interpreter lock and looks at
// pending signals between chunks.
#include "_vesk.h"

#include <algorithm>
#include <bit>
#include <cfenv>
#include <chrono>

#include <unistd.h>

namespace {

// ---------------------------------------------------------------------------
// Query

bool is_input_register(const PyInteraction_Object* x) {
    return x->sources[0] == -1;
}

bool has_output_entrypoints(const PyInteraction_Object* x) {
    const interaction_type_t* t = x->typeobj;
    return t != nullptr && t->set_expectedarray != nullptr && t->create_outputarray != nullptr &&
           t->get_outputarray != nullptr;
}

// Marks the graph and its interactions as in use for the life of a query, so
// that changes to them from other threads (or from code the query calls
// back into) are refused instead of racing with the sample loop. Each
// interaction is marked once for every slot that holds it.
struct QueryGuard {
    PyGraph_Object* held = nullptr;
    bool succeeded = false;
    bool committed = false;

    int acquire(PyGraph_Object* graph) {
        if (graph->running) {
            return vesk_fail(PyExc_RuntimeError, "Graph is already being queried");
        }
        for (int i = 0; i < graph->size; ++i) {
            const PyInteraction_Object* x = graph->interactions[i];
            if (x != nullptr && (x->busy || x->changing)) {
                return vesk_fail(PyExc_RuntimeError,
                                 x->busy ? "Interaction %i is in use by a query running on another graph"
                                         : "Interaction %i is being changed",
                                 i);
            }
        }
        graph->running = 1;
        held = graph;
        for_each_node(graph, [](PyInteraction_Object* x) { ++x->busy; });
        return 0;
    }

    // Keeps what the set-up left pending; the first sample follows.
    void commit() {
        committed = true;
        settle(true);
    }

    void settle(bool keep) const {
        for_each_node(held, [keep](PyInteraction_Object* x) {
            if (x->typeobj != nullptr && x->typeobj->settle != nullptr) {
                x->typeobj->settle(x, keep);
            }
        });
    }

    // Takes back what the query handed out: every input register drops the
    // column it was handed and resets its position, so that none keeps an
    // array or index that a later query, of this graph or another one, could
    // read or write past; unless the query succeeded the output drops its
    // arrays too, and a query refused before its first sample drops what its
    // set-up left pending. The pending exception is kept. The slots cannot
    // change while the graph runs, so the release walks the interactions the
    // guard marked.
    ~QueryGuard() {
        if (held == nullptr) {
            return;
        }
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        for_each_node(held, [](PyInteraction_Object* x) {
            if (x->typeobj != nullptr && is_input_register(x) && x->typeobj->set_inputarray != nullptr &&
                x->typeobj->set_inputarray(x, nullptr) != 0) {
                PyErr_Clear();
            }
        });
        PyInteraction_Object* output = held->interactions[held->size - 1];
        if (!succeeded && output != nullptr && has_output_entrypoints(output)) {
            if (output->typeobj->set_expectedarray(output, nullptr) != 0) {
                PyErr_Clear();
            }
            Py_XDECREF(output->typeobj->get_outputarray(output));
            PyErr_Clear();
        }
        // Dropping the columns may have run finalisers; the ranges compare next.
        vesk_reset_query_floats();
        if (!committed) {
            settle(false);
        }
        PyErr_Restore(type, value, traceback);
        for_each_node(held, [](PyInteraction_Object* x) { --x->busy; });
        held->running = 0;
    }
};

// A query's float environment from its first operation to its last: the
// guard's clean-up (which compares feature ranges) included.
struct QueryFloats {
    const vesk_float_controls caller = vesk_enter_query_floats();
    ~QueryFloats() { vesk_leave_query_floats(caller); }
};

// How many of its sources, first ones first, a node will read, as its
// type's forward steps state them; none for an input register.
int read_sources(const PyInteraction_Object* x) {
    const auto& forms = x->typeobj->forward;
    if (is_input_register(x)) {
        return 0;
    }
    return forms[2][0] != nullptr && (forms[1][0] == nullptr || x->sourcecount == 2) ? 2 : 1;
}

// Checks, before the sample loop, everything the types read without checks:
// each non-input interaction has a source (two for a type that always reads
// both), every source it reads is a slot below its own (all are filled once
// the inputs are handed out), and no interaction occupies two slots (it
// would step its arrays twice per sample).
int check_links(PyGraph_Object* graph) {
    for (int i = 0; i < graph->size; ++i) {
        const PyInteraction_Object* x = graph->interactions[i];
        if (is_input_register(x)) {
            continue;
        }
        if (x->sourcecount == 0 || (x->typeobj->forward[1][0] == nullptr && x->sourcecount < 2)) {
            return vesk_fail(PyExc_RuntimeError, "Graph not correctly initalized. Interaction %i %s", i,
                             x->sourcecount == 0 ? "has no source set" : "needs two sources");
        }
        for (int k = 0; k < read_sources(x); ++k) {
            const graphlocation_t at = x->sources[k];
            if (at < 0 || at >= i) {
                return vesk_fail(PyExc_RuntimeError,
                                 "Graph not correctly initalized. Interaction %i reads source %i, "
                                 "which is not a filled slot below it",
                                 i, at);
            }
        }
    }
    // The query's guard marked an interaction once per slot that holds it:
    // the first slot of one marked twice is followed by another.
    for (int i = 0; i < graph->size; ++i) {
        const PyInteraction_Object* x = graph->interactions[i];
        for (int j = i + 1; x->busy > 1 && j < graph->size; ++j) {
            if (graph->interactions[j] == x) {
                return vesk_fail(PyExc_RuntimeError,
                                 "Graph not correctly initalized. Interaction %i also occupies slot %i", j, i);
            }
        }
    }
    return 0;
}

// Hands every input register its column of X; the sample count, or -1 with
// an exception.
long long hand_out_inputs(PyGraph_Object* graph, PyObject* xarray) {
    long long count = -1;
    for (int i = 0; i < graph->size; ++i) {
        PyInteraction_Object* x = graph->interactions[i];
        if (x == nullptr || x->typeobj == nullptr) {
            return vesk_fail(PyExc_RuntimeError, "Graph not correctly initalized. Interaction %i %s", i,
                             x == nullptr ? "is null" : "has no type");
        }
        if (!is_input_register(x)) {
            continue;
        }
        // Held for the lookup, which may run a colliding key's __eq__.
        PyRef key(vesk_newref(x->column_key));
        PyObject* borrowed_column = PyDict_GetItemWithError(xarray, key.get());
        if (borrowed_column == nullptr) {
            return PyErr_Occurred() ? -1 : vesk_fail(PyExc_ValueError, "Missing data array for %s in X", x->name);
        }
        // Held for the call: converting the column may run code that changes X.
        PyRef column(vesk_newref(borrowed_column));
        PyArrayObject* array = reinterpret_cast<PyArrayObject*>(column.get());
        if (!PyArray_Check(array) || PyArray_NDIM(array) != 1) {
            const bool table = vesk_is_table_column(column.get());
            vesk_fail(PyExc_ValueError, "Element %s in X is not %s", x->name,
                      PyArray_Check(array) ? "1-dimensional" : "a numpy array");
            return table ? vesk_hint(vesk_to_numpy_hint) : -1;
        }
        const long long s = PyArray_DIM(array, 0);
        if (count != -1 && count != s) {
            return vesk_fail(PyExc_ValueError, "Uneven X feature lengths %lld != %lld", count, s);
        }
        if (s > vesk_max_samples) {
            return vesk_fail(PyExc_ValueError, "Too many samples: %lld (at most %lld)", s,
                             static_cast<long long>(vesk_max_samples));
        }
        if (x->typeobj->set_inputarray == nullptr) {
            return vesk_fail(PyExc_RuntimeError,
                             "Graph not correctly initalized. Interaction %i misses set_input entrypoint", i);
        }
        // The register takes the column after the last look of Python code
        // at it (a mask hook can shrink it): check_columns compares what it
        // took with the sample count before the first sample.
        if (x->typeobj->set_inputarray(x, column.get()) != 0) {
            return -1;
        }
        count = s;
    }
    if (count == -1) {
        return vesk_fail(PyExc_RuntimeError,
                         "Graph not correctly initalized. No interaction is an input register (source -1)");
    }
    return count;
}

// ---------------------------------------------------------------------------
// The per-sample passes (see pass_step)

// The steps of a sample form chains of at most this many, each closed by
// an end step; the sample runs the chains one after the other. A chain's
// steps hand over to each other by jumps, and the bounded length keeps the
// stack shallow in a build where they are nested calls.
constexpr int chain_steps = 64;
// A sample of one chain runs again from its end step, for as many samples
// as take about this many steps, before the loop takes over again.
constexpr int ring_steps = 512;

int end_of_chain(const pass_step*, float) {
    return 0;
}

int end_of_sample(const pass_step* s, float) {
    pass_shared* shared = s->shared;
    if (--shared->remaining == 0) {
        return 0;
    }
    return shared->first->run(shared->first, 0.0f);
}

// Between the passes of a training sample: the graph counts it before the
// reverse pass (whose k-th run in the graph's life sees samples == k), and
// Adam's corrections follow the count up to their limit. Between the
// output's forward and reverse steps, in one chain, it hands on what it is
// carried: the output's activation, which its reverse step takes (the
// output has no users, so its gradient would be +0).
[[gnu::noinline]] int count_corrected_sample(const pass_step* s, float carried) {
    s->shared->corrections = adam_corrections_for(s->shared->graph->samples);
    return next_step(s, carried);
}

int count_sample(const pass_step* s, float carried) {
    int64_t& samples = s->shared->graph->samples;
    // The count stays at its largest value rather than wrap: a restored graph
    // may start anywhere, and its own saved form must load again.
    if (__builtin_add_overflow(samples, 1, &samples)) [[unlikely]] {
        samples = INT64_MAX;
    }
    if (samples <= vesk::adam_detail::m2_correction_limit) {
        return count_corrected_sample(s, carried);
    }
    return next_step(s, carried);
}

// A query's per-sample plan: the slots' values, which the steps read and
// write in place of the interactions' own, then the steps of one sample in
// chains, laid out in memory of plan_bytes.
struct sample_plan {
    pass_shared shared;
    slot_values* values;    // size + 1: the slots', then the engine's steps' own
    const pass_step* last;  // the first step of the last chain
    int64_t per_run;        // samples per run of the chains
};

// Lays out the steps of a sample in the room it is given, closing a chain
// every chain_steps steps; finish() closes the last one.
struct chain_writer {
    // The room of a layout (lay_out) of a graph of `size` slots: at most a
    // forward step a slot and, when training, two steps that fill the
    // output's chain, the count and a reverse step a slot. Every chain but
    // the last closes after exactly chain_steps of these, with one end step,
    // and the last one closes too: n of them take at most
    // n + n / chain_steps + 1 steps.
    static size_t room_for(int size, bool tune) {
        const size_t n = static_cast<size_t>(size) * (tune ? 2 : 1) + (tune ? 3 : 0);
        return n + n / chain_steps + 1;
    }

    pass_step* first;
    pass_step* next;
    pass_step* end;  // the end of the room; a layout past it writes nothing more
    int in_chain;
    slot_values* scratch;  // the engine's steps' slot

    void add(const pass_step& step) {
        put(step);
        if (++in_chain == chain_steps) {
            close();
        }
    }
    void close() {
        put(pass_step{end_of_chain, scratch, nullptr, nullptr, nullptr, nullptr});
        in_chain = 0;
    }
    // Ends the sample; the first step of its last chain.
    const pass_step* finish(pass_shared* shared) {
        if (in_chain > 0 || next == first) {
            close();
        }
        if (fitted()) {
            next[-1].run = end_of_sample;
            next[-1].shared = shared;
        }
        return next - 1 - (next - 1 - first) % (chain_steps + 1);
    }
    bool fitted() const { return next <= end; }

  private:
    void put(const pass_step& step) {
        if (next < end) {
            *next = step;
        }
        ++next;
    }
};

// Whether a node has a reverse step, whatever its state.
bool has_reverse_step(const PyInteraction_Object* x) {
    return x->typeobj->reverse[read_sources(x)][0] != nullptr;
}

// The reverse step of a node whose forward step is `step`, given the node of
// the reverse step after it (null: none): the form that hands on that
// node's gradient, or, when no source (a slot of `values`) takes a gradient
// and the type has one, the form that passes them none; null when the node
// has no reverse step. The forms are those its state has.
step_operation reverse_form(const PyGraph_Object* graph, const slot_values* values, const pass_step& step,
                            const slot_values* next) {
    const auto takes_gradient = [=](const slot_values* node) {
        return node != nullptr && has_reverse_step(graph->interactions[node - values]);
    };
    const PyInteraction_Object* x = step.interaction;
    const int n = read_sources(x);
    const auto by_state = x->typeobj->reverse_by_state;
    const step_operation* chosen = by_state != nullptr ? by_state(x, n) : nullptr;
    const step_operation* forms = chosen != nullptr ? chosen : x->typeobj->reverse[n];
    if (forms[3] != nullptr && !takes_gradient(step.source0) && !takes_gradient(step.source1)) {
        return forms[3];
    }
    return forms[next == nullptr ? 0 : (next == step.source1 ? 2 : (next == step.source0 ? 1 : 0))];
}

// The room a plan of the graph takes: the values and the engine's slot, and
// the steps.
size_t plan_bytes(const PyGraph_Object* graph, bool tune) {
    return sizeof(slot_values) * static_cast<size_t>(graph->size + 1) +
           sizeof(pass_step) * chain_writer::room_for(graph->size, tune);
}

// Lays out the plan in memory of plan_bytes: every node's forward step in
// slot order, and when training the count and the reverse steps of the nodes
// that have one, in the opposite order, each with the operands the node's
// type reads; whether it fitted (as room_for has it always do).
bool lay_out(PyGraph_Object* graph, sample_plan& plan, bool tune) {
    const int size = graph->size;
    slot_values* values = plan.values;
    slot_values* scratch = values + size;
    *scratch = {0.0f, 0.0f};
    pass_step* steps = reinterpret_cast<pass_step*>(scratch + 1);
    // Past its limit Adam's correction no longer changes with the count;
    // below it count_sample sets it for every sample.
    plan.shared = {graph, {false, false, 1.0f, 1.0f}, steps, 0};
    chain_writer chain = {steps, steps, steps + chain_writer::room_for(size, tune), 0, scratch};
    for (int i = 0; i < size; ++i) {
        PyInteraction_Object* x = graph->interactions[i];
        // The output's steps and the count in one chain: the chain before
        // is filled with steps that hand on what they are carried.
        while (tune && i == size - 1 && chain.in_chain > chain_steps - 3) {
            chain.add({next_step, scratch, nullptr, nullptr, nullptr, nullptr});
        }
        values[i] = {x->activation[0], 0.0f};
        const int n = read_sources(x);
        // A source arrives carried when it is the node of the step before in
        // the same chain.
        const bool after = chain.in_chain > 0;
        const graphlocation_t* at = x->sources;
        const int chained = after && n >= 1 && at[0] == i - 1 ? 1 : (after && n == 2 && at[1] == i - 1 ? 2 : 0);
        chain.add({x->typeobj->forward[n][chained], &values[i], n >= 1 ? &values[at[0]] : nullptr,
                   n == 2 ? &values[at[1]] : nullptr, x, &plan.shared});
    }
    if (tune && chain.fitted()) {
        // The forward steps backwards from the output's, the last one laid,
        // passing over the engine's steps (which have no node).
        const pass_step* output = chain.next - 1;
        chain.add({count_sample, scratch, nullptr, nullptr, nullptr, &plan.shared});
        // Each reverse step is laid out once the node of the one after it is
        // known.
        pass_step pending = {};
        for (ptrdiff_t k = output - steps; k >= 0; --k) {
            const pass_step& step = steps[k];
            if (step.interaction == nullptr || !has_reverse_step(step.interaction)) {
                continue;
            }
            if (pending.run != nullptr) {
                pending.run = reverse_form(graph, values, pending, step.self);
                chain.add(pending);
            }
            pending = step;
            pending.run = reverse_form(graph, values, step, nullptr);
        }
        if (pending.run != nullptr) {
            chain.add(pending);
        }
    }
    plan.last = chain.finish(&plan.shared);
    // About ring_steps steps (between half and all of them), without a division.
    const auto laid = static_cast<size_t>(chain.next - chain.first);
    plan.per_run = plan.last == chain.first ? std::max<int64_t>(1, ring_steps >> std::bit_width(laid)) : 1;
    return chain.fitted();
}

constexpr const char* plan_overflow = "Internal error: the plan of a graph took more steps than its room";

// n samples through the plan: 0, or -1 with the failing step's exception.
inline int run_plan(sample_plan& plan, int64_t n) {
    for (int64_t done = 0; done < n;) {
        plan.shared.remaining = std::min(plan.per_run, n - done);
        done += plan.shared.remaining;
        // A chain's first step reads what it would be carried.
        for (const pass_step* chain = plan.shared.first;; chain += chain_steps + 1) {
            if (chain->run(chain, chain->self->d) != 0) {
                return -1;
            }
            if (chain == plan.last) {
                break;
            }
        }
    }
    return 0;
}

// The values the interactions show between queries: each one's activation.
void store_activations(const PyGraph_Object* graph, const sample_plan& plan) {
    for (int i = 0; i < graph->size; ++i) {
        graph->interactions[i]->activation[0] = plan.values[i].a;
    }
}

// ---------------------------------------------------------------------------
// Prediction in blocks

// A prediction's samples share nothing (no parameter moves), so they go
// through the graph a block at a time, one node at a time: each node's
// operations run over the block in a loop of their own instead of once per
// sample behind a call. Every value is formed exactly as sample by sample.
constexpr int block_samples = 256;
// The rows of a block take one float per slot and sample; a graph whose rows
// would pass this size predicts sample by sample instead.
constexpr size_t max_block_bytes = size_t{1} << 20;

struct block_step {
    PyInteraction_Object* interaction;
    const float* in0;
    const float* in1;
    float* out;
};

// Lays out the block steps and, after them, each slot's values for a block
// of `width` samples; the sources are read from their slots' rows.
void plan_blocks(const PyGraph_Object* graph, block_step* steps, int width) {
    float* rows = reinterpret_cast<float*>(steps + graph->size);
    const auto row = [=](graphlocation_t loc) { return rows + static_cast<size_t>(loc) * static_cast<size_t>(width); };
    for (int i = 0; i < graph->size; ++i) {
        PyInteraction_Object* x = graph->interactions[i];
        const int n = read_sources(x);
        steps[i] = {x, n >= 1 ? row(x->sources[0]) : nullptr, n == 2 ? row(x->sources[1]) : nullptr, row(i)};
    }
}

// Runs `count` samples without the interpreter lock. A block that is not
// ready runs sample by sample, so that a failing sample raises in its turn,
// from the activations the blocks left.
int predict_in_blocks(PyGraph_Object* graph, const block_step* steps, int64_t count, sample_plan& plan) {
    const block_step* const end = steps + graph->size;
    for (int64_t k = 0; k < count; k += block_samples) {
        const int n = static_cast<int>(std::min<int64_t>(block_samples, count - k));
        const bool ready = std::all_of(steps, end, [n](const block_step& step) {
            const auto block_ready = step.interaction->typeobj->block_ready;
            return block_ready == nullptr || block_ready(step.interaction, n);
        });
        if (!ready) {
            // Laid out afresh, the plan starts from the activations the blocks left.
            if (!lay_out(graph, plan, false)) {
                graph_raise_in_pass(graph, PyExc_RuntimeError, "%s", plan_overflow);
                return -1;
            }
            const int rc = run_plan(plan, n);
            store_activations(graph, plan);
            if (rc != 0) {
                return -1;
            }
        }
        for (const block_step* step = steps; ready && step != end; ++step) {
            step->interaction->typeobj->forward_block(step->interaction, step->in0, step->in1, step->out, n);
        }
    }
    return 0;
}

// Python runs signal handlers (Ctrl-C's KeyboardInterrupt among them) only
// on the main thread of the main interpreter, and only while that thread
// holds the lock. A long query there takes the lock between chunks of about
// 10 ms of work, a fixed number of node steps per kind of pass, to let them
// run; queries elsewhere never stop to look.
constexpr int64_t train_steps_per_check = int64_t{1} << 19;
constexpr int64_t predict_steps_per_check = int64_t{1} << 21;

// 1 on the thread that runs signal handlers, 0 elsewhere, -1 with an exception.
int runs_signal_handlers() {
    if (PyThreadState_Get()->interp != PyInterpreterState_Main()) {
        return 0;
    }
    PyRef threading(PyImport_ImportModule("threading"));
    PyRef main_thread(threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    PyRef ident(main_thread ? PyObject_GetAttrString(main_thread.get(), "ident") : nullptr);
    const unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred()) {
        return -1;
    }
    return main_ident == PyThread_get_thread_ident() ? 1 : 0;
}

// The chunks of a sample loop between two looks at pending signals.
struct signal_checks {
    int64_t base;   // samples of about 10 ms of work, whole blocks
    int64_t chunk;  // base, 32 times base, or every sample where nothing looks
    std::chrono::steady_clock::time_point last;  // the end of the latest look
};

// Whether every column of a query of `count` samples is as its register
// took it; -1 with the refusal otherwise. Needs the lock.
int check_columns(const PyGraph_Object* graph, int64_t count) {
    for (int i = 0; i < graph->size; ++i) {
        PyInteraction_Object* x = graph->interactions[i];
        if (x->typeobj->check_columns != nullptr && x->typeobj->check_columns(x, count) < 0) {
            return -1;
        }
    }
    return 0;
}

// Takes the lock for the moment of running pending signal handlers; -1 when
// one raised, its exception set, or when one changed a column the query
// reads. Taking it waits while another thread runs Python, for the
// interpreter's switch interval (5 ms): while looks wait more than 1% of a
// base chunk's work, chunks are 32 times longer (short enough that a signal
// still acts within a second).
int check_signals(PyGraph_Object* graph, signal_checks& checks, int64_t count) {
    const auto before = std::chrono::steady_clock::now();
    vesk_relock(graph->_threadstate);
    const auto after = std::chrono::steady_clock::now();
    const int rc = PyErr_CheckSignals() < 0 || check_columns(graph, count) < 0 ? -1 : 0;
    vesk_reset_query_floats();
    graph->_threadstate = PyEval_SaveThread();
    const bool waited = (after - before) * (100 * checks.chunk / checks.base) > before - checks.last;
    checks.chunk = waited ? checks.base * 32 : checks.base;
    checks.last = after;
    return rc;
}

// Runs the sample loop with the interpreter lock released. The slots cannot
// change while the query runs, so their steps are laid out once. What the
// set-up left pending is kept once nothing more can refuse the query.
[[gnu::flatten, gnu::noinline]] int run_samples(PyGraph_Object* graph, int64_t count, int tune, QueryGuard& guard) {
    const int width = static_cast<int>(std::min<int64_t>(block_samples, count));
    const size_t row_bytes = sizeof(float) * static_cast<size_t>(width);
    const bool blocks = !tune && count > 0 && row_bytes * static_cast<size_t>(graph->size) <= max_block_bytes &&
                        std::all_of(graph->interactions, graph->interactions + graph->size,
                                    [](const PyInteraction_Object* x) { return x->typeobj->forward_block != nullptr; });
    const int64_t steps_per_check = tune ? train_steps_per_check : predict_steps_per_check;
    const int64_t base = (steps_per_check / graph->size / block_samples + 1) * block_samples;
    const int handles = count > base ? runs_signal_handlers() : 0;
    if (handles < 0) {
        return -1;
    }
    signal_checks checks = {base, handles ? base : count, std::chrono::steady_clock::now()};
    const size_t block_bytes = blocks ? (sizeof(block_step) + row_bytes) * static_cast<size_t>(graph->size) : 0;
    // The sample plan, which a prediction in blocks lays out only if a block
    // needs it, then the block steps and their rows: on the stack for a small
    // graph, else in one allocation.
    alignas(16) char small_graph[2048];
    const size_t sample_bytes = plan_bytes(graph, tune);
    const bool small = sample_bytes + block_bytes <= sizeof small_graph;
    const std::unique_ptr<char, void (*)(void*)> heap(
        small ? nullptr : static_cast<char*>(PyMem_Malloc(sample_bytes + block_bytes)), PyMem_Free);
    char* memory = small ? small_graph : heap.get();
    if (memory == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    block_step* steps = reinterpret_cast<block_step*>(memory + sample_bytes);
    sample_plan plan = {{}, reinterpret_cast<slot_values*>(memory), nullptr, 1};
    if (blocks) {
        plan_blocks(graph, steps, width);
    } else if (!lay_out(graph, plan, tune)) {
        return vesk_fail(PyExc_RuntimeError, "%s", plan_overflow);
    }
    // The set-up ran Python code (hooks, hashes, the lookups above) after
    // the first columns were taken.
    if (check_columns(graph, count) < 0) {
        return -1;
    }
    guard.commit();
    if (count > 0) {
        graph->latest_batchsize = 1;
    }
    int rc = 0;
    // The set-up ran Python code (lookups, hashes, hooks, the look for the
    // main thread) since the controls were last set.
    vesk_reset_query_floats();
    graph->_threadstate = PyEval_SaveThread();
    for (int64_t k = 0, n = 0; k < count && rc == 0; k += n) {
        n = std::min(checks.chunk, count - k);
        rc = blocks ? predict_in_blocks(graph, steps, n, plan) : run_plan(plan, n);
        // A signal handler that raises stops the query as a failing pass does.
        if (rc == 0 && k + n < count) {
            rc = check_signals(graph, checks, count);
        }
    }
    vesk_relock(graph->_threadstate);
    if (!blocks) {
        store_activations(graph, plan);
    }
    return rc;
}

}  // namespace

PyObject* graph_query(PyGraph_Object* self, PyObject* xarray, PyObject* yarray) {
    if (self->size <= 0) {
        return PyErr_Format(PyExc_RuntimeError, "Graph not correctly initalized. The graph has no slots");
    }
    if (!PyDict_Check(xarray)) {
        const bool table = vesk_is_table_column(xarray);
        PyErr_Format(PyExc_ValueError, "First argument of query must be a dictionary of numpy arrays");
        if (table) {
            vesk_hint("hint: a table's columns go as {name: table[name].to_numpy() for name in table}");
        }
        return nullptr;
    }
    // Declared first, so that the controls are given back after the guard's
    // clean-up.
    const QueryFloats floats;
    QueryGuard guard;
    const long long count = guard.acquire(self) < 0 ? -1 : hand_out_inputs(self, xarray);
    if (count < 0) {
        return nullptr;
    }
    PyInteraction_Object* output = self->interactions[self->size - 1];
    if (!has_output_entrypoints(output)) {
        return PyErr_Format(PyExc_RuntimeError, "Graph not correctly initalized. Output '%s' misses needed entrypoints",
                            output->name);
    }
    const bool tune = yarray != Py_None;
    if (tune && (!PyArray_Check(yarray) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(yarray)) != 1)) {
        const bool table = vesk_is_table_column(yarray);
        PyErr_SetString(PyExc_ValueError,
                        PyArray_Check(yarray) ? "y must be 1 dimensional" : "yarray must be a numpy array");
        if (table) {
            vesk_hint(vesk_to_numpy_hint);
        }
        return nullptr;
    }
    if (output->typeobj->set_expectedarray(output, tune ? yarray : nullptr) != 0 ||
        output->typeobj->create_outputarray(output, count) != 0 || check_links(self) != 0) {
        return nullptr;
    }
    if (tune && is_input_register(output)) {
        return PyErr_Format(PyExc_ValueError, "Cannot train a graph whose output register has no source");
    }
    // The output register refuses expected values fewer than the samples
    // (check_columns, before the first sample).
    guard.succeeded = run_samples(self, count, tune ? 1 : 0, guard) == 0;
    return guard.succeeded ? output->typeobj->get_outputarray(output) : nullptr;
}

#if defined(__x86_64__)
namespace {

constexpr uint32_t mxcsr_flags = 0x3f;     // the exceptions raised so far
constexpr uint32_t mxcsr_query = 0x1f80;   // all masked, to nearest, no flush-to-zero, no denormals-are-zero
constexpr uint16_t x87_query = 0x037f;     // all masked, 64-bit significands, to nearest

uint32_t read_mxcsr() {
    uint32_t word;
    __asm__ volatile("stmxcsr %0" : "=m"(word));
    return word;
}

void write_mxcsr(uint32_t word) {
    __asm__ volatile("ldmxcsr %0" : : "m"(word));
}

}  // namespace

vesk_float_controls vesk_enter_query_floats() {
    vesk_float_controls caller;
    caller.mxcsr = read_mxcsr();
    __asm__ volatile("fnstcw %0" : "=m"(caller.x87));
    vesk_reset_query_floats();
    return caller;
}

void vesk_reset_query_floats() {
    write_mxcsr((read_mxcsr() & mxcsr_flags) | mxcsr_query);
    const uint16_t x87 = x87_query;
    __asm__ volatile("fldcw %0" : : "m"(x87));
}

void vesk_leave_query_floats(vesk_float_controls caller) {
    write_mxcsr((read_mxcsr() & mxcsr_flags) | (caller.mxcsr & ~mxcsr_flags));
    __asm__ volatile("fldcw %0" : : "m"(caller.x87));
}
#else
// Elsewhere the rounding mode alone, which the C library sets.
vesk_float_controls vesk_enter_query_floats() {
    const vesk_float_controls caller = {static_cast<uint32_t>(std::fegetround()), 0};
    vesk_reset_query_floats();
    return caller;
}

void vesk_reset_query_floats() {
    std::fesetround(FE_TONEAREST);
}

void vesk_leave_query_floats(vesk_float_controls caller) {
    std::fesetround(static_cast<int>(caller.mxcsr));
}
#endif

// The empty statements tie the value to its place between the calls: the
// compiler would otherwise be free to convert it before the controls are
// set or after they are given back.
double vesk_widen(float value) {
    const vesk_float_controls caller = vesk_enter_query_floats();
    __asm__ volatile("" : "+x"(value));
    double wide = value;
    __asm__ volatile("" : "+x"(wide));
    vesk_leave_query_floats(caller);
    return wide;
}

float vesk_narrow(double value) {
    const vesk_float_controls caller = vesk_enter_query_floats();
    __asm__ volatile("" : "+x"(value));
    float narrow = static_cast<float>(value);
    __asm__ volatile("" : "+x"(narrow));
    vesk_leave_query_floats(caller);
    return narrow;
}

void vesk_relock(PyThreadState* saved) {
    // Destroyed with `relocked` still false only while the interpreter ends
    // this thread from inside PyEval_RestoreThread: the thread then waits
    // here for the process to exit, so that no clean-up of the frames below
    // runs without the lock.
    struct stay_if_ended {
        bool relocked = false;
        ~stay_if_ended() {
            while (!relocked) {
                pause();
            }
        }
    } guard;
    PyEval_RestoreThread(saved);
    guard.relocked = true;
}

void graph_raise_in_pass(PyGraph_Object* g, PyObject* exc_type, const char* format, const char* arg) {
    vesk_relock(g->_threadstate);
    PyErr_Format(exc_type, format, arg);
    g->_threadstate = PyEval_SaveThread();
}

int vesk_runs_signal_handlers() {
    return runs_signal_handlers();
}
