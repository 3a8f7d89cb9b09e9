#include "module/functions.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <utility>

#include "capi/api.hpp"
#include "lineage/functions.hpp"
#include "module/binder.hpp"
#include "module/state.hpp"
#include "module/watch.hpp"

namespace module {

namespace {

// Calls the function's `_impl` with the module and the bound arguments.
using Body = PyObject* (*)(PyObject* module, PyObject* const* bound);

struct Function {
    Signature signature;
    const char* traceback_name;  // the entry added to an escaping exception
    const char* doc;             // the signature text, with no marker
    Body body;
    PyObject* lineage::Names::*name;
};

template <typename... Parameters>
constexpr std::size_t arity(PyObject* (*)(PyObject* module, Parameters...)) {
    return sizeof...(Parameters);
}

template <auto Impl, std::size_t... I>
PyObject* call_impl(PyObject* module, PyObject* const* bound, std::index_sequence<I...>) {
    return Impl(module, bound[I]...);
}

// Impl(module, bound[0], bound[1], ...), as many as Impl has parameters.
template <auto Impl>
PyObject* unpack_into(PyObject* module, PyObject* const* bound) {
    return call_impl<Impl>(module, bound, std::make_index_sequence<arity(Impl)>());
}

#define MODULE_STRING(text) #text
#define MODULE_PARAMETERS(function, ...) \
    constexpr const char* const function##_parameters[] = {LINEAGE_MAP(MODULE_STRING, __VA_ARGS__)};
LINEAGE_FUNCTIONS(MODULE_PARAMETERS)
#undef MODULE_PARAMETERS

// The docstring is the name and the parameters as LINEAGE_FUNCTIONS writes
// them: stringizing keeps ", " between them.
#define MODULE_FUNCTION(function, ...)                                                      \
    {{#function, function##_parameters, std::size(function##_parameters)},                  \
     "test." #function, #function "(" #__VA_ARGS__ ")", unpack_into<lineage::function##_impl>, \
     &lineage::Names::function},
// In publication order.
constexpr Function functions[] = {LINEAGE_FUNCTIONS(MODULE_FUNCTION)};
#undef MODULE_FUNCTION
#undef MODULE_STRING
static_assert(std::size(functions) == function_count);

constexpr Py_ssize_t most_parameters =
    std::max_element(std::begin(functions), std::end(functions), [](const auto& a, const auto& b) {
        return a.signature.count < b.signature.count;
    })->signature.count;

void add_traceback_entry(const Function& function) {
    int line = static_cast<int>(&function - functions) + 1;
    capi::add_traceback(traceback_file, function.traceback_name, line, state.globals.dict);
}

PyObject* run(int index, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
    const Function& function = functions[index];
    PyObject* bound[most_parameters];
    if (bind_arguments(function.signature, args, nargs, kwnames, bound) < 0) {
        fail_as(index, false);
        return nullptr;
    }
    // C++ exceptions stop here: the interpreter only ever sees its own. (As
    // run_as does, written out: this frame is on every level of a nested
    // analysis, and stays as small as it can.)
    PyObject* result = nullptr;
    try {
        result = function.body(module, bound);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        fail_as(index, true);
        return nullptr;
    }
    if (result == nullptr) {
        fail_as(index, false);
    }
    return result;
}

template <int I>
PyObject* trampoline(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run(I, module, args, nargs, kwnames);
}

template <int... I>
constexpr auto make_method_defs(std::integer_sequence<int, I...>) {
    return std::array<PyMethodDef, sizeof...(I)>{PyMethodDef{
        functions[I].signature.name,
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampoline<I>)),
        METH_FASTCALL | METH_KEYWORDS, functions[I].doc}...};
}

// The interpreter keeps pointers into these for the life of the functions.
std::array<PyMethodDef, function_count> method_defs =
    make_method_defs(std::make_integer_sequence<int, function_count>());

bool all_published_are_bound() {
    for (int i = 0; i < function_count; ++i) {
        PyObject* name = state.names.*functions[i].name;
        if (name == nullptr || state.published[i] == nullptr) {
            return false;
        }
        // A failed lookup only means "not known to be ours".
        capi::Ref bound;
        if (capi::dict_get(state.globals.dict, name, &bound) < 0) {
            PyErr_Clear();
        }
        if (bound.get() != state.published[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

int publish_functions(PyObject* module) {
    for (int i = 0; i < function_count; ++i) {
        PyObject* name = state.names.*functions[i].name;
        capi::Ref function =
            capi::Ref::steal(PyCMethod_New(&method_defs[i], module, state.names.test, nullptr));
        if (!function || PyDict_SetItem(state.globals.dict, name, function.get()) < 0) {
            return -1;
        }
        Py_XSETREF(state.published[i], function.release());
    }
    return 0;
}

bool is_own_function(PyObject* callable, int index) {
    return callable != nullptr && callable == state.published[index];
}

void fail_as(int index, bool internal_error) {
    const Function& function = functions[index];
    if (internal_error) {
        PyErr_Format(PyExc_SystemError, "%s: unexpected internal error", function.traceback_name);
    }
    add_traceback_entry(function);
}

bool functions_are_own() {
    if (state.globals.dict == nullptr) {
        return false;
    }
    if (!watch_namespace()) {
        return all_published_are_bound();
    }
    WatchedAnswer& own = state.functions_are_own;
    if (!own.answered || own.answered_at != watch::changes()) {
        own.answer = all_published_are_bound();
        own.answered = true;
        own.answered_at = watch::changes();
    }
    return own.answer;
}

bool watch_namespace() {
    // Once watched, the namespace stays watched until it is freed.
    if (state.globals.changes != nullptr) {
        return true;
    }
    if (!watch::add(state.globals.dict)) {
        state.globals.changes = nullptr;
        return false;
    }
    state.globals.changes = &state.watch.changes;
    return true;
}

}  // namespace module
