// Tables keyed by type, each entry kept with the version tag its type had
// when it was stored: any change to a type or its bases gives it a new tag,
// and a type made later at a freed type's address has a new tag too, so an
// entry is only found while its type is as it was. Open-addressed in one
// array; no references are held.
#pragma once

#include <cstddef>
#include <vector>

#include "capi/ref.hpp"

namespace lineage {

template <typename Value>
class TypeTable {
public:
    // The value stored for the type as it is now, or null.
    const Value* find(PyTypeObject* type) const {
        if (used_ == 0 || type->tp_version_tag == 0) {
            return nullptr;
        }
        const Slot& slot = slots_[slot_of(type)];
        return slot.type == type && slot.tag == type->tp_version_tag ? &slot.value : nullptr;
    }
    Value* find(PyTypeObject* type) {
        return const_cast<Value*>(static_cast<const TypeTable*>(this)->find(type));
    }

    // The entry of the type, kept from now on by its present tag: the value
    // stored before, even for an older tag, or a new Value{}. Null when the
    // type cannot be given a tag.
    Value* store(PyTypeObject* type) {
        if (!PyUnstable_Type_AssignVersionTag(type)) {
            return nullptr;
        }
        if ((used_ + 1) * 4 > slots_.size() * 3) {
            grow();
        }
        Slot& slot = slots_[slot_of(type)];
        if (slot.type == nullptr) {
            slot.type = type;
            ++used_;
        }
        slot.tag = type->tp_version_tag;
        return &slot.value;
    }

    // Calls visit(value) for every entry, stale ones included, then empties
    // the table.
    template <typename Visit>
    void clear(Visit&& visit) {
        std::vector<Slot> slots;
        slots.swap(slots_);
        used_ = 0;
        for (Slot& slot : slots) {
            if (slot.type != nullptr) {
                visit(slot.value);
            }
        }
    }
    void clear() {
        clear([](Value&) {});
    }

private:
    struct Slot {
        PyTypeObject* type = nullptr;
        unsigned int tag = 0;
        Value value{};
    };

    size_t slot_of(PyTypeObject* type) const {
        auto address = reinterpret_cast<size_t>(type);
        size_t mask = slots_.size() - 1;
        for (size_t at = (address ^ (address >> 9)) & mask;; at = (at + 1) & mask) {
            if (slots_[at].type == nullptr || slots_[at].type == type) {
                return at;
            }
        }
    }

    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        slots_.resize(old.empty() ? 16 : old.size() * 2);
        for (Slot& slot : old) {
            if (slot.type != nullptr) {
                slots_[slot_of(slot.type)] = std::move(slot);
            }
        }
    }

    std::vector<Slot> slots_;  // a power of two in size, at most 3/4 used
    size_t used_ = 0;
};

// Types that passed a check.
class CheckedTypes {
public:
    bool known(PyTypeObject* type) const { return passed_.find(type) != nullptr; }
    void remember(PyTypeObject* type) {
        if (bool* passed = passed_.store(type)) {
            *passed = true;
        }
    }
    void clear() { passed_.clear(); }

private:
    TypeTable<bool> passed_;
};

// What isinstance(x, exp.<name>) gave for the instances x of one type (as of
// `tag`), name by name, while the dictionaries that `exp` is read from stay
// unchanged (`answered_at`, a count of their changes). The names are interned
// strings that live as long as the process.
struct ClassAnswers {
    static constexpr int capacity = 8;
    unsigned int tag = 0;
    unsigned long long answered_at = 0;
    int count = 0;
    PyObject* names[capacity] = {};
    bool answers[capacity] = {};

    // 1 or 0 as kept for `name`; -1 when nothing is.
    int find(PyObject* name) const {
        for (int i = 0; i < count; ++i) {
            if (names[i] == name) {
                return answers[i];
            }
        }
        return -1;
    }

    // Keeps the answer, unless all entries are in use.
    void keep(PyObject* name, bool answer) {
        if (count < capacity) {
            names[count] = name;
            answers[count] = answer;
            ++count;
        }
    }
};

}  // namespace lineage
