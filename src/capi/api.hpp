// Small wrappers over the CPython C API. Every function that returns a `Ref`
// returns an empty one with an exception set on failure; every `int` result is
// -1 with an exception set on failure.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "capi/ref.hpp"

namespace capi {

// obj.name
Ref getattr(PyObject* object, PyObject* name);

// The first entry `name` in the dictionaries of the type's MRO, as attribute
// access finds it on the type's instances, and the class holding it: 1 when
// found, 0 when none is, -1 with an exception set.
int type_lookup(PyTypeObject* type, PyObject* name, Ref* found, PyTypeObject** owner = nullptr);

// The data descriptor attribute access on the type's instances meets first
// for `name` (one that no instance dictionary can hide), when the type reads
// attributes the generic way; else an empty Ref. Never fails.
Ref data_descriptor(PyTypeObject* type, PyObject* name);

// What attribute access on `object` gives through its data descriptor
// `descriptor` (one data_descriptor found for the object's type).
inline Ref read_through(PyObject* descriptor, PyObject* object) {
    return Ref::steal(Py_TYPE(descriptor)->tp_descr_get(
        descriptor, object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

// callable(*args)
Ref call(PyObject* callable, std::initializer_list<PyObject*> args);

// object.name(*args)
Ref call_method(PyObject* object, PyObject* name, std::initializer_list<PyObject*> args);

// bool(object): 1, 0, or -1 on error.
int truthy(PyObject* object);

// a == b, the left operand first: 1, 0, or -1 on error.
int equals(PyObject* left, PyObject* right);

// item in container: 1, 0, or -1 on error.
int contains(PyObject* container, PyObject* item);

// container.append(item), with the plain list taking the short way.
int append(PyObject* container, PyObject* item);

// left + right: joins strings, adds numbers.
Ref add(PyObject* left, PyObject* right);

// dict[key] into `out`: 1 when found, 0 when missing (`out` left empty), or
// -1 with an exception set. Inline: it sits on the analysis' hottest paths.
inline int dict_get(PyObject* dict, PyObject* key, Ref* out) {
    PyObject* found = nullptr;
    int result = PyDict_GetItemRef(dict, key, &found);
    *out = Ref::steal(found);
    return result;
}

// a, b, ... = object: exactly `count` items into `out`, or ValueError.
int unpack(PyObject* object, Py_ssize_t count, Ref* out);

// a, b, ... = callable(*args): exactly N results into `out`. 0, or -1 with an
// exception set.
template <std::size_t N>
int call_unpacked(PyObject* callable, std::initializer_list<PyObject*> args, Ref (&out)[N]) {
    Ref result = call(callable, args);
    if (!result) {
        return -1;
    }
    return unpack(result.get(), N, out);
}

// for item in iterable: visit(item), stopping at the first visit that
// returns -1. 0, or -1 with an exception set.
template <typename Visit>
int for_each(PyObject* iterable, Visit&& visit) {
    if (PyList_CheckExact(iterable)) {
        // As the list's own iterator walks it: by index, the size read anew
        // at every step.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (visit(item.get()) < 0) {
                return -1;
            }
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) {
        return -1;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (visit(item.get()) < 0) {
            return -1;
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Lets Ctrl-C end a loop that may never end (a walk over a tree with a
// cycle): tick() once per step looks for pending signals every `interval`
// steps. 0, or -1 with the exception (KeyboardInterrupt) set.
class SignalCheck {
public:
    int tick() { return ++steps_ % interval == 0 ? PyErr_CheckSignals() : 0; }

private:
    static constexpr unsigned interval = 4096;
    unsigned steps_ = 0;
};

// New tuple holding the given objects.
Ref tuple(std::initializer_list<PyObject*> items);

// Adds an entry `function` in `file` to the traceback of the pending
// exception, with `globals` as the frame's globals (may be null).
void add_traceback(const char* file, const char* function, int line, PyObject* globals);

}  // namespace capi
