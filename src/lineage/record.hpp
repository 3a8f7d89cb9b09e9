// The column lineage record: one dictionary per output column and source.
//
//   column_sort   number of the output column in its select list (from 1)
//   column_name   source column (function name, or the literal's text)
//   column_alias  output name
//   column_table  qualifier the column was written with ("" if none)
//   column_type   kind of select item: literal, null, column, subquery, anonymous
//   table_db      database of the source table ("" if none written)
//   table_name    source table
//   table_alias   alias of the source table ("" if none)
//
// An open record has the first five keys and still waits for a table; a bound
// record has all eight. Records are never changed once made: matching replaces
// them with new dictionaries.
#pragma once

#include "capi/ref.hpp"

namespace lineage::record {

enum Key {
    column_sort,
    column_name,
    column_alias,
    column_table,
    column_type,
    table_db,
    table_name,
    table_alias,
};
constexpr int open_size = 5;
constexpr int bound_size = 8;

// The values of "column_type".
struct Kinds {
    PyObject* literal;
    PyObject* null;
    PyObject* column;
    PyObject* subquery;
    PyObject* anonymous;
};
extern Kinds kinds;

// Makes the interned keys and kinds; called by the load sequence.
int init();

// A new record holding the first `size` keys with `values` in key order.
capi::Ref make(PyObject* const* values, int size);

// A new bound record from values held in key order.
capi::Ref make(const capi::Ref (&values)[bound_size]);

// record.get(key): None when the key is missing.
capi::Ref get(PyObject* record, Key key);

// The record text "name-alias-table-type" by which an open record waits for
// its table in `texts`. TypeError unless all four are strings.
capi::Ref text(PyObject* name, PyObject* alias, PyObject* table, PyObject* type);

// The text of an existing record, from its own values.
capi::Ref text_of(PyObject* record);

}  // namespace lineage::record
