// The six analysis functions as the module publishes them. Each takes its
// arguments already bound to its parameters, in order (borrowed), and returns
// a new reference, or null with an exception set.
#pragma once

#include "capi/ref.hpp"

namespace lineage {

PyObject* get_column_parent(PyObject* const* args);  // (column, column_table)
PyObject* find_column(PyObject* const* args);  // (find_list, columns, alias, texts, column_type, sort)
PyObject* get_columns(PyObject* const* args);  // (expressions)
PyObject* match_column(PyObject* const* args);  // (table_args, columns, texts)
PyObject* get_tables(PyObject* const* args);   // (expression, columns, texts)
PyObject* test(PyObject* const* args);         // (source)

}  // namespace lineage
