#include "capi/namespace.hpp"

#include "capi/api.hpp"

namespace capi {

Namespace namespace_;

Ref lookup_global(PyObject* name) {
    PyObject* dicts[2] = {namespace_.globals,
                          namespace_.builtins ? PyModule_GetDict(namespace_.builtins) : nullptr};
    for (PyObject* dict : dicts) {
        if (dict == nullptr) {
            continue;
        }
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (found != nullptr) {
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref call_global(PyObject* name, std::initializer_list<PyObject*> args) {
    Ref callable = lookup_global(name);
    if (!callable) {
        return callable;
    }
    return call(callable.get(), args);
}

bool functions_are_own() {
    if (namespace_.globals == nullptr) {
        return false;
    }
    for (int i = 0; i < Namespace::published_count; ++i) {
        PyObject* name = namespace_.published_names[i];
        if (name == nullptr) {
            return false;
        }
        // A failed lookup only means "not known to be ours".
        PyObject* bound = PyDict_GetItemWithError(namespace_.globals, name);
        if (bound != namespace_.published[i]) {
            if (bound == nullptr && PyErr_Occurred()) {
                PyErr_Clear();
            }
            return false;
        }
    }
    return true;
}

}  // namespace capi
