// find_column(find_list, columns, alias, texts, column_type, sort): the nodes
// of one select item into records.
//
// Each node gets its output name and, when unqualified, the first FROM source
// of its select (get_column_parent). A node bound to a base table that way
// becomes a bound record at once. Every other node becomes an open record that
// waits in `texts` for match_column to bind it; a node whose text is already
// waiting is a duplicate and is dropped.

#include "capi/api.hpp"
#include "capi/namespace.hpp"
#include "lineage/functions.hpp"
#include "lineage/list_index.hpp"
#include "lineage/names.hpp"
#include "lineage/record.hpp"
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
    list_index::ListIndex* alias_index;
    list_index::ListIndex* texts_index;
};

// Numbers the output key `column_table_alias` unless `alias` holds it.
int number_output(Resolution& state, PyObject* column_table_alias) {
    int listed = list_index::contains(state.alias_index, state.alias, column_table_alias);
    if (listed != 0) {
        return listed < 0 ? -1 : 0;
    }
    if (list_index::append(state.alias_index, state.alias, column_table_alias) < 0) {
        return -1;
    }
    state.sort = capi::concat(state.sort.get(), names.one);
    return state.sort ? 0 : -1;
}

int resolve_node(Resolution& state, PyObject* column, bool anonymous) {
    // The working qualifier: "anonymous" for a function call, else what the
    // column was written with before its dot.
    Ref column_table = anonymous ? Ref::borrow(names.anonymous) : capi::getattr(column, names.table);
    if (!column_table) {
        return -1;
    }
    Ref parent = capi::call_global(names.get_column_parent, {column, column_table.get()});
    Ref old_alias_and_table[2];
    if (!parent || capi::unpack(parent.get(), 2, old_alias_and_table) < 0) {
        return -1;
    }
    auto& [old_alias, table] = old_alias_and_table;

    int has_alias = capi::truthy(old_alias.get());
    if (has_alias < 0) {
        return -1;
    }
    Ref column_alias = has_alias ? Ref::borrow(old_alias.get()) : capi::getattr(column, names.alias_or_name);
    Ref prefix = column_alias ? capi::concat(column_table.get(), names.dot) : Ref();
    Ref column_table_alias = prefix ? capi::concat(prefix.get(), column_alias.get()) : Ref();
    if (!column_table_alias) {
        return -1;
    }

    // Only a base table binds a column here; an unqualified column whose
    // first source is a subquery waits for that scope like a qualified one.
    int bound = 0;
    if (table.get() != Py_None) {
        bound = tree::is_instance(table.get(), names.Table);
        if (bound < 0) {
            return -1;
        }
    }
    Ref name = capi::getattr(column, names.name);
    if (!name) {
        return -1;
    }
    int is_anonymous_qualifier = capi::equals(column_table.get(), names.anonymous);
    if (is_anonymous_qualifier < 0) {
        return -1;
    }
    PyObject* record_table = is_anonymous_qualifier ? names.empty : column_table.get();

    if (bound) {
        if (number_output(state, column_table_alias.get()) < 0) {
            return -1;
        }
        Ref db = capi::getattr(table.get(), names.db);
        Ref table_name = db ? capi::getattr(table.get(), names.name) : Ref();
        Ref table_alias = table_name ? capi::getattr(table.get(), names.alias) : Ref();
        if (!table_alias) {
            return -1;
        }
        PyObject* values[] = {state.sort.get(), name.get(),  column_alias.get(), record_table,
                              state.column_type, db.get(), table_name.get(),    table_alias.get()};
        Ref made = record::make(values, record::bound_size);
        return made ? capi::append(state.columns, made.get()) : -1;
    }

    Ref text = record::text(name.get(), column_alias.get(), column_table.get(), state.column_type);
    if (!text) {
        return -1;
    }
    int waiting = list_index::contains(state.texts_index, state.texts, text.get());
    if (waiting != 0) {
        return waiting < 0 ? -1 : 0;
    }
    if (list_index::append(state.texts_index, state.texts, text.get()) < 0 ||
        number_output(state, column_table_alias.get()) < 0) {
        return -1;
    }
    PyObject* values[] = {state.sort.get(), name.get(), column_alias.get(), record_table,
                          state.column_type};
    Ref made = record::make(values, record::open_size);
    return made ? capi::append(state.columns, made.get()) : -1;
}

}  // namespace

PyObject* find_column(PyObject* const* args) {
    PyObject* find_list = args[0];
    Resolution state{args[1], args[2], args[3], args[4], Ref::borrow(args[5]),
                     list_index::index_of(args[2]), list_index::index_of(args[3])};
    int anonymous = capi::equals(state.column_type, names.anonymous);
    if (anonymous < 0) {
        return nullptr;
    }
    if (capi::for_each(find_list, [&](PyObject* column) { return resolve_node(state, column, anonymous); }) < 0) {
        return nullptr;
    }
    return capi::tuple({state.columns, state.alias, state.texts, state.sort.get()}).release();
}

}  // namespace lineage
