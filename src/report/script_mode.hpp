// The demonstration that runs when the module is the program's main module.
#pragma once

#include "capi/namespace.hpp"

namespace report {

// Reads the query at the fixed path, analyses it with the function bound to
// `test_name` in `globals` (the module namespace, where the names it binds go
// too) and prints the records with `print`, as a data frame and as one
// labelled line each. 0, or -1 with an exception set.
int run_script_mode(const capi::Globals& globals, PyObject* print, PyObject* test_name);

}  // namespace report
