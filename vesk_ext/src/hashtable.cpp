// The category hash map: a fixed set of separately chained buckets from a
// key's Python hash to a category entry holding the key and its weight.
// Entries are identified by the hash alone, so keys that hash alike (1, 1.0
// and True; -1 and -2) are one category, kept under the key seen first.
#include "_vesk.h"

#include <cstdlib>

namespace {

inline size_t bucket_of(uint64_t pyhash) {
    return static_cast<size_t>(pyhash % CATEGORY_BUCKETS);
}

// Files a new entry at the head of its bucket. The entry owns a reference to
// the key; the system allocator keeps entries apart from the interpreter's
// memory, which they outlive only together with their map.
category_entry* category_hashmap_new(category_hashmap* map, PyObject* key, uint64_t pyhash) {
    category_entry* entry = static_cast<category_entry*>(std::malloc(sizeof(category_entry)));
    if (entry == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    const size_t bucket = bucket_of(pyhash);
    Py_INCREF(key);
    entry->key = key;
    entry->py_keyhash = pyhash;
    entry->weight = 0.0;
    entry->nxt = map->entries[bucket];
    map->entries[bucket] = entry;
    return entry;
}

// Unlinks the head of a bucket before releasing its key, so that code run by
// the release (a finaliser of the key) sees a consistent map.
void pop_head(category_hashmap* map, size_t bucket) {
    category_entry* head = map->entries[bucket];
    map->entries[bucket] = head->nxt;
    PyObject* key = head->key;
    std::free(head);
    Py_DECREF(key);
}

}  // namespace

category_entry* category_hashmap_get(category_hashmap* map, PyObject* key) {
    const Py_hash_t hash = PyObject_Hash(key);
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
    return category_hashmap_new(map, key, pyhash);
}

category_entry* category_hashmap_find(category_hashmap* map, uint64_t pyhash) {
    for (category_entry* entry = map->entries[bucket_of(pyhash)]; entry != nullptr; entry = entry->nxt) {
        if (entry->py_keyhash == pyhash) {
            return entry;
        }
    }
    return nullptr;
}

int category_hashmap_clear(category_hashmap* map) {
    for (size_t bucket = 0; bucket < CATEGORY_BUCKETS; ++bucket) {
        // Re-read the head each time: a key's finaliser may have changed it.
        while (map->entries[bucket] != nullptr) {
            pop_head(map, bucket);
        }
    }
    return 0;
}

category_entry* category_hashmap_iterate(category_hashmap* map, category_entry* curr) {
    size_t bucket = 0;
    if (curr != nullptr) {
        if (curr->nxt != nullptr) {
            return curr->nxt;
        }
        bucket = bucket_of(curr->py_keyhash) + 1;
    }
    for (; bucket < CATEGORY_BUCKETS; ++bucket) {
        if (map->entries[bucket] != nullptr) {
            return map->entries[bucket];
        }
    }
    return nullptr;
}

void category_hashmap_rollback(category_hashmap* map, const category_hashmap* before) {
    // New entries sit above the old heads, so popping heads until the old
    // head is on top again removes exactly them.
    for (size_t bucket = 0; bucket < CATEGORY_BUCKETS; ++bucket) {
        while (map->entries[bucket] != nullptr && map->entries[bucket] != before->entries[bucket]) {
            pop_head(map, bucket);
        }
    }
}
