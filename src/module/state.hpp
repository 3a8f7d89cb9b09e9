// The module shell's own process-wide state. The module keeps no per-module
// state (its state size is 0): there is one module object per process. What
// the analysis reads at every call is lineage::State (lineage/state.hpp),
// which the load sequence fills too.
#pragma once

#include <cstdint>

#include "capi/ref.hpp"

namespace module {

struct State {
    PyObject* module = nullptr;      // the one module object of the process
    int64_t first_interpreter = -1;  // the interpreter that created it; -1: none yet
};
extern State state;

}  // namespace module
