// find_column(find_list, columns, alias, texts, column_type, sort): the nodes
// of one select item into records.
//
// Each node gets its output name and, when unqualified, the first FROM source
// of its select (get_column_parent). A node bound to a base table that way
// becomes a bound record at once. Every other node becomes an open record that
// waits in `texts` for match_column to bind it; a node whose text is already
// waiting is a duplicate and is dropped.

#include "capi/api.hpp"
#include "lineage/calls.hpp"
#include "lineage/fast_path.hpp"
#include "lineage/functions.hpp"
#include "lineage/record.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

namespace lineage {

namespace {

using capi::Ref;

struct Resolution {
    PyObject* columns;
    PyObject* alias;
    PyObject* texts;
    PyObject* column_type;
    Ref sort;
    fast_path::ListIndex* alias_index;
    fast_path::ListIndex* texts_index;

    int number_output(PyObject* column_table_alias) {
        return record::number_output(alias, alias_index, sort, column_table_alias);
    }
};

// The output name of the node, and its table when it has one:
// get_column_parent(column, column_table) by name. An old alias that is
// empty gives way to the node's own alias_or_name.
int output_and_table(PyObject* column, PyObject* column_table, Ref* column_alias, Ref* table) {
    Ref old_alias;
    Ref callable = state.globals.lookup(state.names.get_column_parent);
    if (!callable) {
        return -1;
    }
    if (is_own(callable.get(), get_column_parent_index)) {
        if (run_as(get_column_parent_index,
                   [&] { return column_parent(column, column_table, &old_alias, table); }) < 0) {
            return -1;
        }
    } else {
        Ref old_alias_and_table[2];
        if (capi::call_unpacked(callable.get(), {column, column_table}, old_alias_and_table) < 0) {
            return -1;
        }
        old_alias = std::move(old_alias_and_table[0]);
        *table = std::move(old_alias_and_table[1]);
    }
    int has_alias = capi::truthy(old_alias.get());
    if (has_alias < 0) {
        return -1;
    }
    if (has_alias) {
        *column_alias = std::move(old_alias);
        return 0;
    }
    *column_alias = tree::attribute(column, state.names.alias_or_name);
    return *column_alias ? 0 : -1;
}

// column_table + "." + column_alias, the key by which output names are told
// apart.
Ref output_key(PyObject* column_table, PyObject* column_alias) {
    Ref prefix = capi::add(column_table, state.names.dot);
    if (!prefix) {
        return prefix;
    }
    return capi::add(prefix.get(), column_alias);
}

// Only a base table binds a column here; an unqualified column whose first
// source is a subquery waits for that scope like a qualified one.
int is_base_table(PyObject* table) {
    if (table == Py_None) {
        return 0;
    }
    return tree::is_instance(table, state.names.Table);
}

// The bound record of a node whose table is known.
int add_bound_record(Resolution& resolution, PyObject* name, PyObject* column_alias,
                     PyObject* record_table, PyObject* table, PyObject* column_table_alias) {
    if (resolution.number_output(column_table_alias) < 0) {
        return -1;
    }
    Ref table_side[3];
    PyObject* const table_keys[3] = {state.names.db, state.names.name, state.names.alias};
    for (int i = 0; i < 3; ++i) {
        table_side[i] = capi::getattr(table, table_keys[i]);
        if (!table_side[i]) {
            return -1;
        }
    }
    PyObject* values[] = {resolution.sort.get(), name,
                          column_alias,          record_table,
                          resolution.column_type, table_side[0].get(),
                          table_side[1].get(),   table_side[2].get()};
    Ref made = record::make(values, record::bound_size);
    if (!made) {
        return -1;
    }
    return capi::append(resolution.columns, made.get());
}

// The open record of a node that waits for its table, unless its text is
// already waiting.
int add_open_record(Resolution& resolution, PyObject* name, PyObject* column_alias,
                    PyObject* column_table, PyObject* record_table, PyObject* column_table_alias) {
    Ref text = record::text(name, column_alias, column_table, resolution.column_type);
    if (!text) {
        return -1;
    }
    int waiting = fast_path::contains(resolution.texts_index, resolution.texts, text.get());
    if (waiting != 0) {
        return waiting < 0 ? -1 : 0;
    }
    if (fast_path::append(resolution.texts_index, resolution.texts, text.get()) < 0) {
        return -1;
    }
    if (resolution.number_output(column_table_alias) < 0) {
        return -1;
    }
    PyObject* values[] = {resolution.sort.get(), name, column_alias, record_table,
                          resolution.column_type};
    Ref made = record::make(values, record::open_size);
    if (!made) {
        return -1;
    }
    // The text waits under the qualifier written; the record keeps "" for
    // the "anonymous" one, and so has a text of its own.
    if (resolution.texts_index != nullptr && record_table == column_table) {
        resolution.texts_index->remember(made.get(), text.get(), record_table);
    }
    return capi::append(resolution.columns, made.get());
}

int resolve_node(Resolution& resolution, PyObject* column, bool anonymous) {
    const Names& names = state.names;
    // The working qualifier: "anonymous" for a function call, else what the
    // column was written with before its dot.
    Ref column_table = anonymous ? Ref::borrow(names.anonymous)
                                 : tree::attribute(column, names.table);
    if (!column_table) {
        return -1;
    }
    Ref column_alias;
    Ref table;
    if (output_and_table(column, column_table.get(), &column_alias, &table) < 0) {
        return -1;
    }
    Ref column_table_alias = output_key(column_table.get(), column_alias.get());
    if (!column_table_alias) {
        return -1;
    }
    int bound = is_base_table(table.get());
    if (bound < 0) {
        return -1;
    }
    Ref name = tree::attribute(column, names.name);
    if (!name) {
        return -1;
    }
    int is_anonymous_qualifier = capi::equals(column_table.get(), names.anonymous);
    if (is_anonymous_qualifier < 0) {
        return -1;
    }
    PyObject* record_table = is_anonymous_qualifier ? names.empty : column_table.get();
    if (bound) {
        return add_bound_record(resolution, name.get(), column_alias.get(), record_table,
                                table.get(), column_table_alias.get());
    }
    return add_open_record(resolution, name.get(), column_alias.get(), column_table.get(),
                           record_table, column_table_alias.get());
}

}  // namespace

int find_columns(PyObject* find_list, PyObject* column_type, SelectList& select_list) {
    Resolution resolution{select_list.columns.get(),
                          select_list.alias.get(),
                          select_list.texts.get(),
                          column_type,
                          std::move(select_list.sort),
                          fast_path::Analysis::index_of(select_list.alias.get()),
                          fast_path::Analysis::index_of(select_list.texts.get())};
    int anonymous = capi::equals(column_type, state.names.anonymous);
    int resolved = anonymous < 0 ? -1 : capi::for_each(find_list, [&](PyObject* column) {
        return resolve_node(resolution, column, anonymous);
    });
    select_list.sort = std::move(resolution.sort);
    return resolved;
}

PyObject* find_column_impl(PyObject*, PyObject* find_list, PyObject* columns, PyObject* alias,
                           PyObject* texts, PyObject* column_type, PyObject* sort) {
    SelectList select_list{Ref::borrow(columns), Ref::borrow(alias), Ref::borrow(texts),
                           Ref::borrow(sort)};
    if (find_columns(find_list, column_type, select_list) < 0) {
        return nullptr;
    }
    return capi::tuple({columns, alias, texts, select_list.sort.get()}).release();
}

}  // namespace lineage
