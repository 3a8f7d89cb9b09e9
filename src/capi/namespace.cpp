#include "capi/namespace.hpp"

namespace capi {

Ref Globals::lookup(PyObject* name) const {
    PyObject* dicts[2] = {dict, builtins ? PyModule_GetDict(builtins) : nullptr};
    for (PyObject* each : dicts) {
        if (each == nullptr) {
            continue;
        }
        Ref found;
        int present = dict_get(each, name, &found);
        if (present != 0) {
            return found;
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
