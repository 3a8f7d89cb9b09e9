// get_tables(expression, columns, texts): hands the table scopes of one select
// to match_column, in a fixed order, threading the records and `texts` from
// one call to the next:
//   - with a WITH clause: each CTE, and nothing else;
//   - otherwise: the FROM source of each subquery in the select list (items in
//     order, subqueries breadth-first), then the select's own FROM source,
//     then each joined source.
// A select without FROM (or a select-list subquery without one) simply has
// no scope there.

#include "capi/api.hpp"
#include "lineage/functions.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

namespace lineage {

namespace {

using capi::for_each;
using capi::Ref;

struct Scopes {
    Ref new_columns;
    Ref texts;

    // match_column(table_args, new_columns, texts), taking back both lists.
    int match(PyObject* table_args) {
        Ref updated[2];
        if (state.globals.call_unpacked(state.names.match_column,
                                        {table_args, new_columns.get(), texts.get()},
                                        updated) < 0) {
            return -1;
        }
        new_columns = std::move(updated[0]);
        texts = std::move(updated[1]);
        return 0;
    }

    // The source of `select`'s FROM clause, when it has one.
    int match_from_of(PyObject* select) {
        Ref from = tree::arg(select, state.names.from);
        if (!from) {
            return -1;
        }
        if (from.get() == Py_None) {
            return 0;
        }
        Ref from_args = tree::arg(from.get(), state.names.this_);
        if (!from_args) {
            return -1;
        }
        return match(from_args.get());
    }
};

int walk_ctes(Scopes& scopes, PyObject* with) {
    Ref ctes = capi::getattr(with, state.names.expressions);
    if (!ctes) {
        return -1;
    }
    return for_each(ctes.get(), [&](PyObject* with_expression) { return scopes.match(with_expression); });
}

int walk_sources(Scopes& scopes, PyObject* expression) {
    Ref select_args = capi::getattr(expression, state.names.expressions);
    if (!select_args) {
        return -1;
    }
    int walked = for_each(select_args.get(), [&](PyObject* select) {
        Ref subqueries = tree::find_all(select, state.names.Subquery);
        if (!subqueries) {
            return -1;
        }
        return for_each(subqueries.get(), [&](PyObject* subquery) {
            Ref inner = tree::arg(subquery, state.names.this_);
            if (!inner) {
                return -1;
            }
            return scopes.match_from_of(inner.get());
        });
    });
    if (walked < 0 || scopes.match_from_of(expression) < 0) {
        return -1;
    }
    Ref no_joins = Ref::steal(PyList_New(0));
    if (!no_joins) {
        return -1;
    }
    Ref join_args = tree::arg_or(expression, state.names.joins, no_joins.get());
    if (!join_args) {
        return -1;
    }
    return for_each(join_args.get(), [&](PyObject* join) {
        Ref joined = tree::arg(join, state.names.this_);
        if (!joined) {
            return -1;
        }
        return scopes.match(joined.get());
    });
}

}  // namespace

PyObject* get_tables_impl(PyObject*, PyObject* expression, PyObject* columns, PyObject* texts) {
    Scopes scopes{Ref::borrow(columns), Ref::borrow(texts)};
    Ref with = tree::arg(expression, state.names.with);
    if (!with) {
        return nullptr;
    }
    int has_with = capi::truthy(with.get());
    if (has_with < 0) {
        return nullptr;
    }
    // With a WITH clause the CTEs are the only scopes.
    int walked = has_with ? walk_ctes(scopes, with.get()) : walk_sources(scopes, expression);
    if (walked < 0) {
        return nullptr;
    }
    return scopes.new_columns.release();
}

}  // namespace lineage
