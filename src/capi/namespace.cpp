#include "capi/namespace.hpp"

namespace capi {

Ref Globals::lookup(PyObject* name) const {
    Ref value;
    int present = dict == nullptr ? 0 : dict_get(dict, name, &value);
    if (present != 0) {
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
