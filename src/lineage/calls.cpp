#include "lineage/calls.hpp"

#include "capi/api.hpp"
#include "lineage/fast_path.hpp"
#include "lineage/state.hpp"

namespace lineage {

namespace {

// The traceback entry of each function, in publication order.
constexpr const char* traceback_names[] = {
#define LINEAGE_TRACEBACK_NAME(function, ...) "test." #function,
    LINEAGE_FUNCTIONS(LINEAGE_TRACEBACK_NAME)
#undef LINEAGE_TRACEBACK_NAME
};

}  // namespace

void fail_as(FunctionIndex index, bool internal_error) {
    if (internal_error) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected internal error", traceback_names[index]);
    }
    capi::add_traceback(traceback_file, traceback_names[index], index + 1, state.globals.dict);
}

bool is_own(PyObject* callable, FunctionIndex index) {
    return callable != nullptr && callable == state.own_functions[index] && fast_path::enabled();
}

}  // namespace lineage
