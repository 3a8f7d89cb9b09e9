// The six function objects the module publishes.
#pragma once

#include <new>

#include "capi/ref.hpp"

namespace module {

// The file name of the traceback entries the module adds to exceptions.
inline constexpr const char* traceback_file = "test.py";

// Creates the function objects and binds them in the module namespace, in
// publication order. 0, or -1 with an exception set.
int publish_functions(PyObject* module);

// True while every published name is still bound to the module's own
// function object, so that a call by name is known to reach the module's
// code; false once any of them is rebound or deleted.
bool functions_are_own();

// Whether `callable` is the module's own function `index` (publication
// order), so that a call by name may run its work directly.
bool is_own_function(PyObject* callable, int index);

// What a call of the module's function `index` adds to its failure: the
// exception a C++ exception stands for, and the function's traceback entry.
void fail_as(int index, bool internal_error);

// body() run as a call of the module's own function `index` runs its work:
// 0, or -1 with an exception set, as the call would leave it.
template <typename Body>
int run_as(int index, Body&& body) {
    try {
        if (body() == 0) {
            return 0;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        fail_as(index, true);
        return -1;
    }
    fail_as(index, false);
    return -1;
}

// Watches the module namespace, so that what is found in it is kept until it
// changes. False when it cannot be watched.
bool watch_namespace();

}  // namespace module
