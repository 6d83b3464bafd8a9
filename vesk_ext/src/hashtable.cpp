// The category hash map: a category key to an entry holding the key and its
// weight. A key is found as a dictionary finds it, by its Python hash and
// then by equality, so equal keys (1, 1.0 and True) are one category, kept
// under the key seen first, while unequal keys that hash alike (-1 and -2)
// are two. The float NaNs, which equal nothing, are one category of their
// own. The entries hang in a fixed set of separately chained buckets, which
// give the map its order; an index over them finds an entry without walking
// a chain.
#include "_vesk.h"

#include <chrono>
#include <cmath>
#include <new>
#include <vector>

#include <sys/random.h>
#include <unistd.h>

namespace {

// A mixing step that spreads every input bit over the whole word.
uint64_t splitmix64(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A random value drawn once per process, which the index mixes into every
// hash before it places it, so that keys chosen to crowd one place of the
// index (with the multiplier known) land anywhere instead.
uint64_t draw_seed() {
    uint64_t seed = 0;
    if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
        seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
               (static_cast<uint64_t>(getpid()) << 32) ^ reinterpret_cast<uintptr_t>(&seed);
    }
    return splitmix64(seed);
}

const uint64_t index_seed = draw_seed();

// Marks of `exact` for keys that have no 64-bit value: bits whose int hashes
// otherwise than the key does (see category_entry).
constexpr uint64_t nan_mark = 2;  // under hash 0
uint64_t other_mark(uint64_t pyhash) {
    return pyhash == 0 ? 1 : 0;
}

bool has_value(uint64_t pyhash, uint64_t exact) {
    return vesk_int_hash(exact, false) == pyhash || ((exact >> 63) != 0 && vesk_int_hash(exact, true) == pyhash);
}

bool is_nan(uint64_t pyhash, uint64_t exact) {
    return pyhash == 0 && exact == nan_mark;
}

// The home of a hash in the index.
size_t home(const category_hashmap* map, uint64_t pyhash) {
    // The probe starts at the top bits of the mixed hash. The hashes of ints
    // are the ints themselves: the multiplication spreads runs and multiples
    // of a power of two over the whole index. The seed goes in by XOR, which
    // keeps a run of small ints (category codes) a run that the multiplication
    // spreads evenly; added, it would only move every key by the same amount.
    return static_cast<size_t>(((pyhash ^ index_seed) * 0x9E3779B97F4A7C15ull) >> map->shift);
}

category_entry* entry_of(const category_slot& slot) {
    return reinterpret_cast<category_entry*>(slot.entry & ~uintptr_t{1});
}

// The tag of an entry whose `exact` is not its hash: finding an int there
// needs a look at the entry.
uintptr_t tagged(const category_entry* e) {
    return reinterpret_cast<uintptr_t>(e) | (e->exact != e->py_keyhash ? 1 : 0);
}

// Files an entry at the free place that ends its hash's probe, behind the
// entries of the same hash already filed. The index has a free place at least.
void file(category_hashmap* map, category_entry* e) {
    static_assert(alignof(category_entry) > 1, "the index tags entry addresses in their lowest bit");
    const size_t mask = map->capacity - 1;
    size_t i = home(map, e->py_keyhash);
    while (map->index[i].entry != 0) {
        i = (i + 1) & mask;
    }
    map->index[i] = {e->py_keyhash, tagged(e)};
}

category_entry* reversed(category_entry* head) {
    category_entry* done = nullptr;
    while (head != nullptr) {
        head = std::exchange(head->nxt, std::exchange(done, head));
    }
    return done;
}

// Files every entry of the buckets in an empty index, each bucket oldest
// first (it lists newest first), so that entries of one hash keep the order
// in which they were created along their probe, and with it which of them a
// key that equals several is found as.
void reindex(category_hashmap* map) {
    for (category_entry*& head : map->entries) {
        head = reversed(head);
        for (category_entry* e = head; e != nullptr; e = e->nxt) {
            file(map, e);
        }
        head = reversed(head);
    }
}

// Makes room in the index for one more entry; -1 with MemoryError.
int reserve(category_hashmap* map) {
    if ((map->count + 1) * 2 <= map->capacity) {
        return 0;
    }
    const size_t capacity = map->capacity != 0 ? map->capacity * 2 : 64;
    category_slot* index = static_cast<category_slot*>(PyMem_Calloc(capacity, sizeof(category_slot)));
    if (index == nullptr) {
        return vesk_no_memory();
    }
    PyMem_Free(std::exchange(map->index, index));
    map->capacity = capacity;
    map->shift = 64 - __builtin_ctzll(capacity);
    reindex(map);
    return 0;
}

// A key's hash and, in the form of category_entry's `exact`, its value.
struct key_facts {
    uint64_t pyhash;
    uint64_t exact;
    bool has_value;
    bool is_nan;
};

// The value of an int, a bool or an integral float: 1, or 0 for a key of
// no such value (also one of a subclass, whose `__eq__` may differ).
int exact_value(PyObject* key, uint64_t* bits) {
    if (PyBool_Check(key)) {
        *bits = key == Py_True ? 1 : 0;
        return 1;
    }
    if (PyLong_CheckExact(key)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(key, &overflow);
        if (overflow == 0) {
            *bits = static_cast<uint64_t>(v);
            return 1;
        }
        if (overflow < 0) {
            return 0;
        }
        // From 2^63 to 2^64 - 1 a value has 64 bits still, read as unsigned;
        // beyond, the conversion's OverflowError only says it has none.
        const unsigned long long u = PyLong_AsUnsignedLongLong(key);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return 0;
        }
        *bits = u;
        return 1;
    }
    if (PyFloat_CheckExact(key)) {
        const double d = PyFloat_AS_DOUBLE(key);
        if (d != std::floor(d) || !(d >= -0x1p63 && d < 0x1p64)) {
            return 0;
        }
        *bits = d < 0x1p63 ? static_cast<uint64_t>(static_cast<int64_t>(d)) : static_cast<uint64_t>(d);
        return 1;
    }
    return 0;
}

// A key's facts; -1 with the error of a failing hash. Since Python 3.10 a
// NaN hashes by its identity, so no two NaN keys would ever meet, and a NaN
// equals nothing: every float NaN (Python's or numpy's) is filed under 0,
// as Python hashed NaN before, and found by being a NaN.
int key_facts_of(PyObject* key, key_facts* facts) {
    double value = 0.0;
    if (PyLong_CheckExact(key)) {
        // The common key, spared the search of numpy's types below.
    } else if (PyFloat_Check(key)) {
        value = PyFloat_AS_DOUBLE(key);
    } else if (PyArray_IsScalar(key, Floating)) {
        PyRef as_double(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
        if (PyArray_CastScalarToCtype(key, &value, reinterpret_cast<PyArray_Descr*>(as_double.get())) < 0) {
            return -1;
        }
    }
    if (std::isnan(value)) {
        *facts = {0, nan_mark, false, true};
        return 0;
    }
    const Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1) {
        // -1 is never a valid hash; a failing hash must not become a category.
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "hashing a category key failed without an error");
        }
        return -1;
    }
    const uint64_t pyhash = static_cast<uint64_t>(hash);
    uint64_t bits = 0;
    const bool valued = exact_value(key, &bits) != 0;
    *facts = {pyhash, valued ? bits : other_mark(pyhash), valued, false};
    return 0;
}

// Whether a key equals an entry's key of the same hash: 1, 0, or -1 with the
// error of a failing comparison. Values and NaNs are compared here; only
// other keys run their `__eq__`, the entry's key first, as a dictionary does.
int matches(const category_entry* e, PyObject* key, const key_facts& facts) {
    const bool nan = is_nan(e->py_keyhash, e->exact);
    if (facts.is_nan || nan) {
        return facts.is_nan && nan ? 1 : 0;
    }
    if (facts.has_value && has_value(e->py_keyhash, e->exact)) {
        return e->exact == facts.exact ? 1 : 0;
    }
    if (e->key == key) {
        return 1;
    }
    // Two str, the most common other keys, compare without Python code: the
    // interpreter stores equal strings in the same width.
    if (PyUnicode_CheckExact(e->key) && PyUnicode_CheckExact(key)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(key);
        const int kind = PyUnicode_KIND(key);
        return length == PyUnicode_GET_LENGTH(e->key) && kind == PyUnicode_KIND(e->key) &&
                       std::memcmp(PyUnicode_DATA(key), PyUnicode_DATA(e->key), static_cast<size_t>(length) * kind) == 0
                   ? 1
                   : 0;
    }
    // Both held while the comparison runs Python code.
    PyRef filed(vesk_newref(e->key));
    PyRef asked(vesk_newref(key));
    return PyObject_RichCompareBool(filed.get(), asked.get(), Py_EQ);
}

// Whether the int of these bits and of an entry's hash is the entry's key:
// 1, 0, or -1 for a key that only the interpreter can compare with it. Kept
// out of the finders' loop, as ints of hash other than their value and keys
// of one hash are few.
[[gnu::noinline, gnu::cold]] int look_closer(const category_entry* e, uint64_t bits) {
    // Equal hashes and bits make equal values (see category_entry).
    if (e->exact == bits) {
        return 1;
    }
    // Another value, or a NaN, is not this int; any other key may be.
    return has_value(e->py_keyhash, e->exact) || is_nan(e->py_keyhash, e->exact) ? 0 : -1;
}

// category_hashmap_find_int for an int whose hash is not its value.
[[gnu::noinline, gnu::cold]] category_entry* find_looking_closer(const category_hashmap* map, uint64_t pyhash,
                                                                 uint64_t bits) {
    const size_t mask = map->capacity - 1;
    for (size_t i = home(map, pyhash); map->index[i].entry != 0; i = (i + 1) & mask) {
        if (map->index[i].py_keyhash == pyhash) {
            category_entry* e = entry_of(map->index[i]);
            const int found = look_closer(e, bits);
            if (found != 0) {
                return found > 0 ? e : nullptr;
            }
        }
    }
    return nullptr;
}

// Files a new entry, a copy of `like` (whose key it takes a reference to),
// at the head of its bucket: absent from the map. The entry owns a reference
// to the key; the system allocator keeps entries apart from the
// interpreter's memory, which they outlive only together with their map.
// Null with MemoryError, the map unchanged.
category_entry* add_entry(category_hashmap* map, const category_entry& like) {
    if (reserve(map) < 0) {
        return nullptr;
    }
    category_entry* entry = static_cast<category_entry*>(std::malloc(sizeof(category_entry)));
    if (entry == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    const size_t bucket = like.py_keyhash % CATEGORY_BUCKETS;
    *entry = like;
    entry->nxt = map->entries[bucket];
    Py_INCREF(entry->key);
    map->entries[bucket] = entry;
    file(map, entry);
    ++map->count;
    return entry;
}

}  // namespace

category_entry* category_hashmap_get(category_hashmap* map, PyObject* key) {
    key_facts facts;
    if (key_facts_of(key, &facts) < 0) {
        return nullptr;
    }
    // The caller keeps the map from changing while keys are compared, so the
    // probe goes on where it was.
    if (map->index != nullptr) {
        const size_t mask = map->capacity - 1;
        for (size_t i = home(map, facts.pyhash); map->index[i].entry != 0; i = (i + 1) & mask) {
            if (map->index[i].py_keyhash != facts.pyhash) {
                continue;
            }
            category_entry* e = entry_of(map->index[i]);
            const int found = matches(e, key, facts);
            if (found != 0) {
                return found > 0 ? e : nullptr;
            }
        }
    }
    return add_entry(map,
                     {.nxt = nullptr, .weight = 0.0, .key = key, .py_keyhash = facts.pyhash, .exact = facts.exact});
}

category_entry* category_hashmap_find_int(const category_hashmap* map, uint64_t pyhash, uint64_t bits) {
    if (map->index == nullptr) {
        return nullptr;
    }
    if (pyhash != bits) [[unlikely]] {
        return find_looking_closer(map, pyhash, bits);
    }
    const size_t mask = map->capacity - 1;
    for (size_t i = home(map, pyhash); map->index[i].entry != 0; i = (i + 1) & mask) {
        const category_slot& slot = map->index[i];
        if (slot.py_keyhash == pyhash) {
            // Untagged, the entry's value is its hash, and so this int's.
            if ((slot.entry & 1) == 0) {
                return reinterpret_cast<category_entry*>(slot.entry);
            }
            const int found = look_closer(entry_of(slot), bits);
            if (found != 0) {
                return found > 0 ? entry_of(slot) : nullptr;
            }
        }
    }
    return nullptr;
}

int category_hashmap_clear(category_hashmap* map) {
    static const category_hashmap empty = {};
    // Dropped first: no index is built again for entries that all go.
    PyMem_Free(std::exchange(map->index, nullptr));
    map->capacity = 0;
    // An empty map (most, in a population just built) has no bucket to walk.
    if (map->count != 0) {
        category_hashmap_rollback(map, &empty);
    }
    return 0;
}

category_entry* category_hashmap_iterate(category_hashmap* map, category_entry* curr) {
    if (curr != nullptr && curr->nxt != nullptr) {
        return curr->nxt;
    }
    size_t bucket = curr != nullptr ? curr->py_keyhash % CATEGORY_BUCKETS + 1 : 0;
    while (bucket < CATEGORY_BUCKETS && map->entries[bucket] == nullptr) {
        ++bucket;
    }
    return bucket < CATEGORY_BUCKETS ? map->entries[bucket] : nullptr;
}

// The entries created since `before` was copied from the map sit above the
// old heads of their buckets: they are unlinked and the index is built again
// from what stays. Only then are they freed and their keys released, so that
// code run by a release (a finaliser of the key) sees the map without them.
void category_hashmap_rollback(category_hashmap* map, const category_hashmap* before) {
    category_entry* unlinked = nullptr;
    for (size_t bucket = 0; bucket < CATEGORY_BUCKETS; ++bucket) {
        category_entry*& head = map->entries[bucket];
        while (head != nullptr && head != before->entries[bucket]) {
            category_entry* e = std::exchange(head, head->nxt);
            e->nxt = std::exchange(unlinked, e);
            --map->count;
        }
    }
    if (map->index != nullptr) {
        std::memset(map->index, 0, map->capacity * sizeof(category_slot));
        reindex(map);
    }
    while (unlinked != nullptr) {
        category_entry* e = std::exchange(unlinked, unlinked->nxt);
        Py_DECREF(e->key);
        std::free(e);
    }
}

int category_hashmap_copy(category_hashmap* copy, category_hashmap* map, PyObject* memo) {
    // Each entry as read, and its key for the copy (null until copied); the
    // references are owned.
    struct read_entry {
        category_entry entry;
        PyRef key;
        PyRef copied_key;
    };
    std::vector<read_entry> read;
    try {
        read.reserve(map->count);
        for (category_entry* e = category_hashmap_iterate(map, nullptr); e != nullptr;
             e = category_hashmap_iterate(map, e)) {
            read.push_back({*e, PyRef(vesk_newref(e->key)), nullptr});
        }
    } catch (const std::bad_alloc&) {
        return vesk_no_memory();
    }
    for (read_entry& r : read) {
        r.copied_key.reset(vesk_deepcopy_value(r.key.get(), memo));
        if (!r.copied_key) {
            return -1;
        }
    }
    // Filed last first, so that each bucket, newest first, lists them in the
    // order read. Copied keys that come out equal end in one entry, with the
    // weight of the first listed, as the setter leaves them.
    for (auto r = read.rbegin(); r != read.rend(); ++r) {
        category_entry* entry = nullptr;
        if (r->copied_key.get() != r->key.get()) {
            entry = category_hashmap_get(copy, r->copied_key.get());
        } else {
            // A key kept as it is: the entries read are categories apart,
            // so it is filed as it was, its exact value with it.
            category_entry like = r->entry;
            like.key = r->key.get();
            entry = add_entry(copy, like);
        }
        if (entry == nullptr) {
            return -1;
        }
        entry->weight = r->entry.weight;
    }
    return 0;
}
