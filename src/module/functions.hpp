// The six function objects the module publishes.
#pragma once

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

// Watches the module namespace, so that what is found in it is kept until it
// changes. False when it cannot be watched.
bool watch_namespace();

}  // namespace module
