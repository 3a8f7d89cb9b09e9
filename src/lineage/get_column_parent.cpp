// get_column_parent(column, column_table): climbs from the node to the
// nearest enclosing select. The alias of the node's ancestor directly under
// that select (for a select-list node, the select item) is the output name;
// for an unqualified column, the first source of the select's FROM clause is
// its table.

#include "capi/api.hpp"
#include "lineage/calls.hpp"
#include "lineage/functions.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

namespace lineage {

namespace {

using capi::Ref;

// The first source of the select's FROM clause, or None when the select has
// no FROM clause (a select of constants has no table to offer).
Ref first_source(PyObject* select) {
    Ref from = tree::arg(select, state.names.from);
    if (!from || from.get() == Py_None) {
        return from;
    }
    return tree::arg(from.get(), state.names.this_);
}

// old.alias and the table.
int result(PyObject* old, PyObject* table, Ref* old_alias, Ref* table_out) {
    *old_alias = tree::attribute(old, state.names.alias);
    if (!*old_alias) {
        return -1;
    }
    *table_out = Ref::borrow(table);
    return 0;
}

// The result at the enclosing select `select`: the table only for an
// unqualified column.
int result_at_select(PyObject* old, PyObject* select, PyObject* column_table, Ref* old_alias,
                     Ref* table) {
    int unqualified = capi::equals(column_table, state.names.empty);
    if (unqualified < 0) {
        return -1;
    }
    if (!unqualified) {
        return result(old, Py_None, old_alias, table);
    }
    Ref source = first_source(select);
    if (!source) {
        return -1;
    }
    return result(old, source.get(), old_alias, table);
}

}  // namespace

int column_parent(PyObject* column, PyObject* column_table, Ref* old_alias, Ref* table) {
    Ref old = Ref::borrow(column);
    Ref parent = tree::attribute(column, state.names.parent);
    capi::SignalCheck signals;  // a parent chain with a cycle never ends
    while (parent) {
        if (signals.tick() < 0) {
            return -1;
        }
        int more = capi::truthy(parent.get());
        if (more <= 0) {
            return more < 0 ? -1 : result(old.get(), Py_None, old_alias, table);
        }
        int is_select = tree::is_instance(parent.get(), state.names.Select);
        if (is_select < 0) {
            return -1;
        }
        if (is_select) {
            return result_at_select(old.get(), parent.get(), column_table, old_alias, table);
        }
        Ref next = tree::attribute(parent.get(), state.names.parent);
        old = std::move(parent);
        parent = std::move(next);
    }
    return -1;
}

PyObject* get_column_parent_impl(PyObject*, PyObject* column, PyObject* column_table) {
    Ref old_alias;
    Ref table;
    if (column_parent(column, column_table, &old_alias, &table) < 0) {
        return nullptr;
    }
    return capi::tuple({old_alias.get(), table.get()}).release();
}

}  // namespace lineage
