// The category hash map: a key's Python hash to a category entry holding the
// key and its weight. Entries are identified by the hash alone, so keys that
// hash alike (1, 1.0 and True; -1 and -2) are one category, kept under the
// key seen first. The entries hang in a fixed set of separately chained
// buckets, which give the map its order; an index over them finds an entry
// without walking a chain.
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

// The place of a hash in the index: the one that holds it, or else the
// free one where its probe ends. The index has a free place at least.
category_slot& probe(const category_hashmap* map, uint64_t pyhash) {
    const size_t mask = map->capacity - 1;
    // The probe starts at the top bits of the mixed hash. The hashes of ints
    // are the ints themselves: the multiplication spreads runs and multiples
    // of a power of two over the whole index. The seed goes in by XOR, which
    // keeps a run of small ints (category codes) a run that the multiplication
    // spreads evenly; added, it would only move every key by the same amount.
    size_t i = static_cast<size_t>(((pyhash ^ index_seed) * 0x9E3779B97F4A7C15ull) >> map->shift);
    while (map->index[i].entry != nullptr && map->index[i].py_keyhash != pyhash) {
        i = (i + 1) & mask;
    }
    return map->index[i];
}

// Files every entry of the buckets in an empty index.
void reindex(category_hashmap* map) {
    for (category_entry* head : map->entries) {
        for (category_entry* e = head; e != nullptr; e = e->nxt) {
            probe(map, e->py_keyhash) = {e->py_keyhash, e};
        }
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

// A key's Python hash. Since Python 3.10 a NaN hashes by its identity, so no
// two NaN keys would ever meet: every float NaN (Python's or numpy's) is
// filed under 0, as Python hashed NaN before, wherever the map is made.
Py_hash_t key_hash(PyObject* key) {
    double value = 0.0;
    if (PyFloat_Check(key)) {
        value = PyFloat_AS_DOUBLE(key);
    } else if (PyArray_IsScalar(key, Floating)) {
        PyRef as_double(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
        if (PyArray_CastScalarToCtype(key, &value, reinterpret_cast<PyArray_Descr*>(as_double.get())) < 0) {
            return -1;
        }
    }
    return std::isnan(value) ? 0 : PyObject_Hash(key);
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
    probe(map, entry->py_keyhash) = {entry->py_keyhash, entry};
    ++map->count;
    return entry;
}

}  // namespace

category_entry* category_hashmap_get(category_hashmap* map, PyObject* key) {
    const Py_hash_t hash = key_hash(key);
    if (hash == -1) {
        // -1 is never a valid hash; a failing hash must not become a category.
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "hashing a category key failed without an error");
        }
        return nullptr;
    }
    const uint64_t pyhash = static_cast<uint64_t>(hash);
    if (category_entry* entry = category_hashmap_find(map, pyhash)) {
        return entry;
    }
    return add_entry(map, {.nxt = nullptr, .weight = 0.0, .key = key, .py_keyhash = pyhash});
}

category_entry* category_hashmap_find(category_hashmap* map, uint64_t pyhash) {
    return map->index != nullptr ? probe(map, pyhash).entry : nullptr;
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
    // order read. Keys that hash alike end in one entry, with the weight of
    // the first listed, as the setter leaves them.
    for (auto r = read.rbegin(); r != read.rend(); ++r) {
        category_entry* entry = nullptr;
        if (r->copied_key.get() != r->key.get()) {
            entry = category_hashmap_get(copy, r->copied_key.get());
        } else if (!(entry = category_hashmap_find(copy, r->entry.py_keyhash))) {
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
