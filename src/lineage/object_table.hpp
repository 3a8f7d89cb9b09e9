// The one hash table of the analysis: from Python objects to values,
// open-addressed in one array, so no allocation per entry, released in one
// pass. It holds a reference to
// each key, so that no key's address is reused while it is in the table.
// `Policy::hash` and `Policy::equal` must not fail or run interpreter code.
#pragma once

#include <cstddef>
#include <vector>

#include "capi/ref.hpp"

namespace lineage {

// Exact str keys, compared by value (as a list's `in` and `remove` and `==`
// compare them).
struct TextKeys {
    static size_t hash(PyObject* text) { return static_cast<size_t>(PyObject_Hash(text)); }
    static bool equal(PyObject* left, PyObject* right) {
        return left == right || PyUnicode_Compare(left, right) == 0;
    }
};

// Any object, compared by identity.
struct IdentityKeys {
    static size_t hash(PyObject* object) {
        auto address = reinterpret_cast<size_t>(object);
        return address ^ (address >> 9);
    }
    static bool equal(PyObject* left, PyObject* right) { return left == right; }
};

template <typename Value, typename Policy>
class ObjectTable {
public:
    ObjectTable() = default;
    ~ObjectTable() { clear(); }
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;

    bool empty() const { return used_ == 0; }

    // Makes room for `count` entries in all, so that adding them moves none.
    void reserve(size_t count) {
        size_t size = slots_.empty() ? 16 : slots_.size();
        while (count * 4 > size * 3) {
            size *= 2;
        }
        if (size != slots_.size()) {
            resize(size);
        }
    }

    // The value under `key`, or null.
    const Value* find(PyObject* key) const {
        if (used_ == 0) {
            return nullptr;
        }
        const Slot& slot = slots_[slot_of(key, Policy::hash(key))];
        return slot.key != nullptr ? &slot.value : nullptr;
    }
    Value* find(PyObject* key) {
        return const_cast<Value*>(static_cast<const ObjectTable*>(this)->find(key));
    }

    // The value under `key`, added as Value{} when missing.
    Value& operator[](PyObject* key) {
        if ((used_ + 1) * 4 > slots_.size() * 3) {
            grow();
        }
        size_t hash = Policy::hash(key);
        Slot& slot = slots_[slot_of(key, hash)];
        if (slot.key == nullptr) {
            slot.key = Py_NewRef(key);
            slot.hash = hash;
            ++used_;
        }
        return slot.value;
    }

    void clear() {
        std::vector<Slot> slots;
        slots.swap(slots_);
        used_ = 0;
        for (Slot& slot : slots) {
            Py_XDECREF(slot.key);
        }
    }

private:
    struct Slot {
        PyObject* key = nullptr;
        size_t hash = 0;
        Value value{};
    };

    // The slot holding `key`, or the empty slot where it would go.
    size_t slot_of(PyObject* key, size_t hash) const {
        size_t mask = slots_.size() - 1;
        for (size_t at = hash & mask;; at = (at + 1) & mask) {
            const Slot& slot = slots_[at];
            if (slot.key == nullptr || (slot.hash == hash && Policy::equal(slot.key, key))) {
                return at;
            }
        }
    }

    void grow() { resize(slots_.empty() ? 16 : slots_.size() * 2); }

    void resize(size_t size) {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.resize(size);
        for (Slot& slot : old) {
            if (slot.key != nullptr) {
                slots_[slot_of(slot.key, slot.hash)] = std::move(slot);
            }
        }
    }

    std::vector<Slot> slots_;  // a power of two in size, at most 3/4 used
    size_t used_ = 0;
};

}  // namespace lineage
