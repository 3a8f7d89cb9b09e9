#include "module/functions.hpp"

#include <array>
#include <new>
#include <utility>

#include "capi/api.hpp"
#include "capi/namespace.hpp"
#include "lineage/functions.hpp"
#include "module/binder.hpp"

namespace module {

namespace {

using Body = PyObject* (*)(PyObject* const*);

struct Function {
    Signature signature;
    const char* traceback_name;  // the entry added to an escaping exception
    const char* doc;             // the signature text, with no marker
    Body body;
};

const char* const get_column_parent_params[] = {"column", "column_table"};
const char* const find_column_params[] = {"find_list", "columns", "alias",
                                          "texts", "column_type", "sort"};
const char* const get_columns_params[] = {"expressions"};
const char* const match_column_params[] = {"table_args", "columns", "texts"};
const char* const get_tables_params[] = {"expression", "columns", "texts"};
const char* const test_params[] = {"source"};

// In publication order.
const Function functions[] = {
    {{"get_column_parent", get_column_parent_params, 2}, "test.get_column_parent",
     "get_column_parent(column, column_table)", lineage::get_column_parent},
    {{"find_column", find_column_params, 6}, "test.find_column",
     "find_column(find_list, columns, alias, texts, column_type, sort)", lineage::find_column},
    {{"get_columns", get_columns_params, 1}, "test.get_columns", "get_columns(expressions)",
     lineage::get_columns},
    {{"match_column", match_column_params, 3}, "test.match_column",
     "match_column(table_args, columns, texts)", lineage::match_column},
    {{"get_tables", get_tables_params, 3}, "test.get_tables",
     "get_tables(expression, columns, texts)", lineage::get_tables},
    {{"test", test_params, 1}, "test.test", "test(source)", lineage::test},
};
constexpr int function_count = sizeof(functions) / sizeof(functions[0]);
static_assert(function_count == capi::Namespace::published_count);

PyObject* run(const Function& function, PyObject* const* args, Py_ssize_t nargs,
              PyObject* kwnames) {
    PyObject* bound[6];
    PyObject* result = nullptr;
    if (bind_arguments(function.signature, args, nargs, kwnames, bound) == 0) {
        // C++ exceptions stop here: the interpreter only ever sees its own.
        try {
            result = function.body(bound);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (...) {
            PyErr_Format(PyExc_SystemError, "%s: unexpected internal error", function.traceback_name);
        }
    }
    if (result == nullptr) {
        int line = static_cast<int>(&function - functions) + 1;
        capi::add_traceback(function.traceback_name, line, capi::namespace_.globals);
    }
    return result;
}

template <int I>
PyObject* trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run(functions[I], args, nargs, kwnames);
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

}  // namespace

int publish_functions(PyObject* module) {
    capi::Ref module_name = capi::Ref::steal(PyUnicode_FromString("test"));
    if (!module_name) {
        return -1;
    }
    for (int i = 0; i < function_count; ++i) {
        capi::Ref name = capi::Ref::steal(PyUnicode_InternFromString(functions[i].signature.name));
        if (!name) {
            return -1;
        }
        capi::Ref function =
            capi::Ref::steal(PyCMethod_New(&method_defs[i], module, module_name.get(), nullptr));
        if (!function || PyDict_SetItem(capi::namespace_.globals, name.get(), function.get()) < 0) {
            return -1;
        }
        Py_XSETREF(capi::namespace_.published_names[i], name.release());
        Py_XSETREF(capi::namespace_.published[i], function.release());
    }
    return 0;
}

}  // namespace module
