// Owned references to interpreter objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace capi {

// Owns one strong reference, or nothing. Move-only: copying is deleted and a
// move leaves the source empty, so each reference is released exactly once.
// A `Ref` is made with `steal` (take over a new reference, as returned by most
// API calls; a null pointer means an exception is set) or with `borrow` (add a
// reference of our own to a borrowed pointer).
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = object_;
            object_ = other.object_;
            other.object_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Gives up ownership; call it only once a reference-stealing call
    // (PyList_SET_ITEM, PyModule_AddObjectRef's callers, a return to the
    // interpreter) has taken the reference over.
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace capi
