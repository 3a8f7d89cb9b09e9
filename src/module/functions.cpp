#include "module/functions.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <utility>

#include "capi/api.hpp"
#include "lineage/calls.hpp"
#include "lineage/functions.hpp"
#include "lineage/state.hpp"
#include "module/binder.hpp"

namespace module {

namespace {

using lineage::state;

// Calls the function's `_impl` with the module and the bound arguments.
using Body = PyObject* (*)(PyObject* module, PyObject* const* bound);

struct Function {
    Signature signature;
    const char* doc;  // the signature text, with no marker
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
     #function "(" #__VA_ARGS__ ")", unpack_into<lineage::function##_impl>, \
     &lineage::Names::function},
// In publication order.
constexpr Function functions[] = {LINEAGE_FUNCTIONS(MODULE_FUNCTION)};
#undef MODULE_FUNCTION
#undef MODULE_STRING
static_assert(std::size(functions) == lineage::function_count);

constexpr Py_ssize_t most_parameters =
    std::max_element(std::begin(functions), std::end(functions), [](const auto& a, const auto& b) {
        return a.signature.count < b.signature.count;
    })->signature.count;

PyObject* run(lineage::FunctionIndex index, PyObject* module, PyObject* const* args,
              Py_ssize_t nargs, PyObject* kwnames) {
    const Function& function = functions[index];
    PyObject* bound[most_parameters];
    if (bind_arguments(function.signature, args, nargs, kwnames, bound) < 0) {
        lineage::fail_as(index, false);
        return nullptr;
    }
    // C++ exceptions stop here: the interpreter only ever sees its own.
    PyObject* result = nullptr;
    lineage::run_as(index, [&] {
        result = function.body(module, bound);
        return result != nullptr ? 0 : -1;
    });
    return result;
}

template <int I>
PyObject* trampoline(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run(static_cast<lineage::FunctionIndex>(I), module, args, nargs, kwnames);
}

template <int... I>
constexpr auto make_method_defs(std::integer_sequence<int, I...>) {
    return std::array<PyMethodDef, sizeof...(I)>{PyMethodDef{
        functions[I].signature.name,
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampoline<I>)),
        METH_FASTCALL | METH_KEYWORDS, functions[I].doc}...};
}

// The interpreter keeps pointers into these for the life of the functions.
std::array<PyMethodDef, lineage::function_count> method_defs =
    make_method_defs(std::make_integer_sequence<int, lineage::function_count>());

}  // namespace

int publish_functions(PyObject* module) {
    for (int i = 0; i < lineage::function_count; ++i) {
        PyObject* name = state.names.*functions[i].name;
        capi::Ref function =
            capi::Ref::steal(PyCMethod_New(&method_defs[i], module, state.names.test, nullptr));
        if (!function || PyDict_SetItem(state.globals.dict, name, function.get()) < 0) {
            return -1;
        }
        Py_XSETREF(state.own_functions[i], function.release());
    }
    return 0;
}

}  // namespace module
