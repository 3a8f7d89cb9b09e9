// What the analysis reads at every call. The load sequence fills it once;
// nothing changes it afterwards. The speed-ups keep their own state in
// fast_path.cpp.
#pragma once

#include "capi/namespace.hpp"
#include "lineage/functions.hpp"
#include "lineage/names.hpp"

namespace lineage {

struct State {
    capi::Globals globals;  // the module namespace, then the builtins
    Names names;            // every interned string, and 0 and 1
    PyObject* print = nullptr;  // builtins the analysis calls
    PyObject* NotImplementedError = nullptr;
    // The function objects published under the six names, in publication
    // order: a name still bound to its own is known to reach this code.
    PyObject* own_functions[function_count] = {};
};
extern State state;

}  // namespace lineage
