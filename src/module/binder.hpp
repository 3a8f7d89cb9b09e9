// Binding of call arguments to parameters, shared by the six functions.
#pragma once

#include "capi/ref.hpp"

namespace module {

struct Signature {
    const char* name;             // function name used in error messages
    const char* const* params;    // parameter names, in order
    Py_ssize_t count;             // all parameters are required
};

// Binds a vectorcall argument vector (positional arguments first, then the
// values of `kwnames`) to the parameters of `signature`: by position first,
// then by keyword. Fills `bound` with borrowed references, one per parameter,
// and returns 0; or raises TypeError with the interpreter's own wording and
// returns -1.
int bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound);

}  // namespace module
