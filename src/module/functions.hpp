// The six function objects the module publishes.
#pragma once

#include "capi/ref.hpp"

namespace module {

// Creates the function objects and binds them in the module namespace, in
// publication order. 0, or -1 with an exception set.
int publish_functions(PyObject* module);

}  // namespace module
