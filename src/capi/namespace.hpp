// A module namespace as interpreted code sees it: names are looked up at the
// moment of use, in the module's dictionary first and then in the builtins,
// exactly as a global name in interpreted code is.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "capi/api.hpp"

namespace capi {

// Values found in dictionaries under a few names, kept while a count of the
// changes to those dictionaries stays what it was when they were found. Lives
// as long as the process: what it holds at exit is left to the interpreter's
// own teardown, never released after it.
class WatchedCache {
public:
    // The value kept under `name` (borrowed), or null when there is none at
    // this count of changes.
    PyObject* find(PyObject* name, unsigned long long changes) const {
        if (changes != kept_at_) {
            return nullptr;
        }
        unsigned char at = first_[slot_of(name)];
        if (at != 0 && entries_[at - 1].name == name) {
            return entries_[at - 1].value;
        }
        for (const Entry& entry : entries_) {
            if (entry.name == name) {
                return entry.value;
            }
        }
        return nullptr;
    }

    void keep(PyObject* name, PyObject* value, unsigned long long changes);

private:
    struct Entry {
        PyObject* name;   // strong
        PyObject* value;  // strong
    };
    static constexpr size_t slot_count = 64;
    static size_t slot_of(PyObject* name) {
        auto address = reinterpret_cast<size_t>(name);
        return (address >> 4 ^ address >> 10) % slot_count;
    }

    unsigned long long kept_at_ = 0;
    std::vector<Entry> entries_;
    // By a name's slot, 1 + the index of the first entry kept in it, or 0:
    // most names are found at once, the others by going through the entries.
    unsigned char first_[slot_count] = {};
};

struct Globals {
    PyObject* dict = nullptr;      // the module's namespace dictionary
    PyObject* builtins = nullptr;  // the builtins module
    // Set while `dict` is watched: the count of changes to it (kept by the
    // watcher), at which what is found in `dict` is kept in `found`.
    const unsigned long long* changes = nullptr;
    mutable WatchedCache found;

    // The object bound to `name`, or an empty Ref with NameError set.
    Ref lookup(PyObject* name) const;

    // name(*args), the callable looked up at the moment of the call.
    Ref call(PyObject* name, std::initializer_list<PyObject*> args) const;

    // a, b, ... = name(*args): exactly N results into `out`. 0, or -1 with
    // an exception set.
    template <std::size_t N>
    int call_unpacked(PyObject* name, std::initializer_list<PyObject*> args, Ref (&out)[N]) const {
        Ref callable = lookup(name);
        return callable ? capi::call_unpacked(callable.get(), args, out) : -1;
    }
};

}  // namespace capi
