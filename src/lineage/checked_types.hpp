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

// What isinstance answered for the instances of one type (as of `tag`), class
// by class, each class kept with the version tag it had then: a class made
// later at a freed class's address, or a class changed since, is not found.
struct InstanceAnswers {
    static constexpr int capacity = 8;
    unsigned int tag = 0;
    int count = 0;
    int next = 0;  // the entry replaced when all are in use
    PyTypeObject* classes[capacity] = {};
    unsigned int class_tags[capacity] = {};
    bool answers[capacity] = {};

    // 1 or 0 as kept for `cls`; -1 when nothing is.
    int find(PyTypeObject* cls) const {
        for (int i = 0; i < count; ++i) {
            if (classes[i] == cls) {
                return class_tags[i] == cls->tp_version_tag ? answers[i] : -1;
            }
        }
        return -1;
    }

    void keep(PyTypeObject* cls, bool answer) {
        if (!PyUnstable_Type_AssignVersionTag(cls)) {
            return;
        }
        int at = 0;
        while (at < count && classes[at] != cls) {
            ++at;
        }
        if (at == count) {
            if (count < capacity) {
                ++count;
            } else {
                at = next;
                next = (next + 1) % capacity;
            }
        }
        classes[at] = cls;
        class_tags[at] = cls->tp_version_tag;
        answers[at] = answer;
    }
};

}  // namespace lineage
