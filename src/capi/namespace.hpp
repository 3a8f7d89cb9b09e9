// A module namespace as interpreted code sees it: names are looked up at the
// moment of use, in the module's dictionary first and then in the builtins,
// exactly as a global name in interpreted code is.
#pragma once

#include <cstddef>
#include <initializer_list>

#include "capi/api.hpp"

namespace capi {

struct Globals {
    PyObject* dict = nullptr;      // the module's namespace dictionary
    PyObject* builtins = nullptr;  // the builtins module

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
