// get_column_parent(column, column_table): climbs from the node to the
// nearest enclosing select. The alias of the node's ancestor directly under
// that select (for a select-list node, the select item) is the output name;
// for an unqualified column, the first source of the select's FROM clause is
// its table.

#include "capi/api.hpp"
#include "lineage/functions.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"

namespace lineage {

namespace {

using capi::Ref;

// The first source of the select's FROM clause, or None when the select has
// no FROM clause (a select of constants has no table to offer).
Ref first_source(PyObject* select) {
    Ref from = tree::arg(select, names.from);
    if (!from || from.get() == Py_None) {
        return from;
    }
    return tree::arg(from.get(), names.this_);
}

PyObject* result(PyObject* old, PyObject* table) {
    Ref old_alias = capi::getattr(old, names.alias);
    return old_alias ? capi::tuple({old_alias.get(), table}).release() : nullptr;
}

}  // namespace

PyObject* get_column_parent(PyObject* const* args) {
    PyObject* column = args[0];
    PyObject* column_table = args[1];
    Ref old = Ref::borrow(column);
    Ref parent = capi::getattr(column, names.parent);
    capi::SignalCheck signals;  // a parent chain with a cycle never ends
    while (parent) {
        if (signals.tick() < 0) {
            return nullptr;
        }
        int more = capi::truthy(parent.get());
        if (more <= 0) {
            return more < 0 ? nullptr : result(old.get(), Py_None);
        }
        int is_select = tree::is_instance(parent.get(), names.Select);
        if (is_select < 0) {
            return nullptr;
        }
        if (is_select) {
            int unqualified = capi::equals(column_table, names.empty);
            if (unqualified < 0) {
                return nullptr;
            }
            Ref table = unqualified ? first_source(parent.get()) : Ref::borrow(Py_None);
            return table ? result(old.get(), table.get()) : nullptr;
        }
        Ref next = capi::getattr(parent.get(), names.parent);
        old = std::move(parent);
        parent = std::move(next);
    }
    return nullptr;
}

}  // namespace lineage
