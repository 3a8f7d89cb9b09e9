// The module namespace as the analysis sees it: names are looked up at the
// moment of use, in the module's dictionary first and then in the builtins,
// exactly as a global name in interpreted code is.
#pragma once

#include <initializer_list>

#include "capi/ref.hpp"

namespace capi {

// Process-wide; set once by the load sequence, cleared if the load fails.
struct Namespace {
    PyObject* module = nullptr;    // the one module object of the process
    PyObject* globals = nullptr;   // its namespace dictionary
    PyObject* builtins = nullptr;  // the builtins module

    // The function objects the module published, and their names.
    static constexpr int published_count = 6;
    PyObject* published_names[published_count] = {};
    PyObject* published[published_count] = {};
};
extern Namespace namespace_;

// The object bound to `name`, or an empty Ref with NameError set.
Ref lookup_global(PyObject* name);

// Calls the object bound to `name` with positional arguments.
Ref call_global(PyObject* name, std::initializer_list<PyObject*> args);

// True while every published name is still bound to the module's own
// function object, so that a call by name is known to reach the module's
// code; false once any of them is rebound or deleted.
bool functions_are_own();

}  // namespace capi
