// Calls between the six functions. Each calls the next by name through the
// module namespace; when the name is bound to the module's own function
// object (and the speed-ups are on), the caller may run that function's work
// directly instead, exactly as the call would: same result, same traceback
// entry on failure.
#pragma once

#include <new>

#include "capi/ref.hpp"
#include "lineage/functions.hpp"

namespace lineage {

// The file name of the traceback entries the module adds to exceptions.
inline constexpr const char* traceback_file = "test.py";

// What a failed call of function `index` adds to its exception: with
// `internal_error` a SystemError for the C++ exception that ended it, then
// the traceback entry "test.<function>".
void fail_as(FunctionIndex index, bool internal_error);

// Whether `callable` is the module's own function `index` and the
// speed-ups are on, so that a call by name may run its work directly.
bool is_own(PyObject* callable, FunctionIndex index);

// body() run as a call of function `index` runs its work: 0, or -1 with an
// exception set, as the call would leave it.
template <typename Body>
int run_as(FunctionIndex index, Body&& body) {
    try {
        if (body() == 0) {
            return 0;
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        fail_as(index, true);
        return -1;
    }
    fail_as(index, false);
    return -1;
}

// The running state of one select list that find_column carries on.
struct SelectList {
    capi::Ref columns;
    capi::Ref alias;
    capi::Ref texts;
    capi::Ref sort;
};

// The work of get_column_parent and find_column without their result
// tuples, for run_as.

// get_column_parent(column, column_table) into `old_alias` and `table`.
int column_parent(PyObject* column, PyObject* column_table, capi::Ref* old_alias,
                  capi::Ref* table);

// find_column(find_list, columns, alias, texts, column_type, sort) on
// `select_list`, which takes back what the call would return.
int find_columns(PyObject* find_list, PyObject* column_type, SelectList& select_list);

}  // namespace lineage
