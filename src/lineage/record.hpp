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

#include <initializer_list>
#include <utility>

#include "capi/ref.hpp"

// The record keys in key order.
#define LINEAGE_RECORD_KEYS(X) \
    X(column_sort)             \
    X(column_name)             \
    X(column_alias)            \
    X(column_table)            \
    X(column_type)             \
    X(table_db)                \
    X(table_name)              \
    X(table_alias)

namespace lineage::fast_path {
class ListIndex;
}

namespace lineage::record {

enum Key {
#define LINEAGE_RECORD_KEY_ENUM(key) key,
    LINEAGE_RECORD_KEYS(LINEAGE_RECORD_KEY_ENUM)
#undef LINEAGE_RECORD_KEY_ENUM
};
constexpr int open_size = 5;
constexpr int bound_size = 8;

// The text of each key, by Key.
constexpr const char* key_texts[bound_size] = {
#define LINEAGE_RECORD_KEY_TEXT(key) #key,
    LINEAGE_RECORD_KEYS(LINEAGE_RECORD_KEY_TEXT)
#undef LINEAGE_RECORD_KEY_TEXT
};

// A new record holding the first `size` keys with `values` in key order.
capi::Ref make(PyObject* const* values, int size);

// A new bound record from values held in key order.
capi::Ref make(const capi::Ref (&values)[bound_size]);

// A new record holding the keys of `record` with their values, except that
// `changes` (key, value pairs) set some of them and add the rest after, in
// key order: the record `make` would build from the same values. Only for a
// plain dict holding exactly the first `size` keys in key order (a record
// made here and never changed); for any other, an empty Ref with no
// exception set, and the record is to be built key by key. With `own`, the
// record is known to be one made here, and only its size is checked.
capi::Ref copy_with(PyObject* record, int size,
                    std::initializer_list<std::pair<Key, PyObject*>> changes, bool own = false);

// Adds the table's database, name and alias to an open record made here
// that no one else holds: it becomes the bound record. 0, or -1 with an
// exception set.
int complete(PyObject* record, PyObject* db, PyObject* name, PyObject* alias);

// record.get(key): None when the key is missing.
capi::Ref get(PyObject* record, Key key);

// The record text "name-alias-table-type" by which an open record waits for
// its table in `texts`. TypeError unless all four are strings.
capi::Ref text(PyObject* name, PyObject* alias, PyObject* table, PyObject* type);

// The text of an existing record, from its own values.
capi::Ref text_of(PyObject* record);

// Numbers the output name `output_name` of a select list: appends it to the
// output-name list `alias` (through its index, when it has one) and raises the
// counter `sort` by one, unless `alias` already holds it. 0, or -1 with an
// exception set.
int number_output(PyObject* alias, fast_path::ListIndex* alias_index, capi::Ref& sort,
                  PyObject* output_name);

}  // namespace lineage::record
