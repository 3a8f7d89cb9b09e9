#include "capi/namespace.hpp"

#include <algorithm>
#include <iterator>

namespace capi {

void WatchedCache::keep(PyObject* name, PyObject* value, unsigned long long changes) {
    if (changes != kept_at_) {
        // Released only once the cache is consistent again: a release may
        // run interpreter code that reads the cache.
        std::vector<Entry> stale;
        stale.swap(entries_);
        kept_at_ = changes;
        std::fill(std::begin(first_), std::end(first_), 0);
        for (const Entry& entry : stale) {
            Py_DECREF(entry.name);
            Py_DECREF(entry.value);
        }
    }
    entries_.push_back({Py_NewRef(name), Py_NewRef(value)});
    unsigned char& first = first_[slot_of(name)];
    if (first == 0 && entries_.size() <= 255) {
        first = static_cast<unsigned char>(entries_.size());
    }
}

Ref Globals::lookup(PyObject* name) const {
    if (changes != nullptr) {
        if (PyObject* kept = found.find(name, *changes)) {
            return Ref::borrow(kept);
        }
    }
    Ref value;
    int present = dict == nullptr ? 0 : dict_get(dict, name, &value);
    if (present != 0) {
        if (present > 0 && changes != nullptr) {
            found.keep(name, value.get(), *changes);
        }
        return value;
    }
    if (builtins != nullptr) {
        present = dict_get(PyModule_GetDict(builtins), name, &value);
        if (present != 0) {
            return value;
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref Globals::call(PyObject* name, std::initializer_list<PyObject*> args) const {
    Ref callable = lookup(name);
    if (!callable) {
        return callable;
    }
    return capi::call(callable.get(), args);
}

}  // namespace capi
