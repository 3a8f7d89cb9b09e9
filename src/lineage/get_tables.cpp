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
#include "capi/namespace.hpp"
#include "lineage/functions.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"

namespace lineage {

namespace {

using capi::for_each;
using capi::Ref;

struct Walk {
    Ref new_columns;
    Ref texts;

    // match_column(table_args, new_columns, texts), taking back both lists.
    int match(PyObject* table_args) {
        Ref result = capi::call_global(names.match_column, {table_args, new_columns.get(), texts.get()});
        Ref updated[2];
        if (!result || capi::unpack(result.get(), 2, updated) < 0) {
            return -1;
        }
        new_columns = std::move(updated[0]);
        texts = std::move(updated[1]);
        return 0;
    }

    // The source of `select`'s FROM clause, when it has one.
    int match_from_of(PyObject* select) {
        Ref from = tree::arg(select, names.from);
        if (!from) {
            return -1;
        }
        if (from.get() == Py_None) {
            return 0;
        }
        Ref from_args = tree::arg(from.get(), names.this_);
        return from_args ? match(from_args.get()) : -1;
    }
};

int walk_ctes(Walk& walk, PyObject* with) {
    Ref ctes = capi::getattr(with, names.expressions);
    if (!ctes) {
        return -1;
    }
    return for_each(ctes.get(), [&](PyObject* with_expression) { return walk.match(with_expression); });
}

int walk_sources(Walk& walk, PyObject* expression) {
    Ref select_args = capi::getattr(expression, names.expressions);
    if (!select_args) {
        return -1;
    }
    int walked = for_each(select_args.get(), [&](PyObject* select) {
        Ref subqueries = tree::find_all(select, names.Subquery);
        if (!subqueries) {
            return -1;
        }
        return for_each(subqueries.get(), [&](PyObject* subquery) {
            Ref inner = tree::arg(subquery, names.this_);
            return inner ? walk.match_from_of(inner.get()) : -1;
        });
    });
    if (walked < 0 || walk.match_from_of(expression) < 0) {
        return -1;
    }
    Ref no_joins = Ref::steal(PyList_New(0));
    Ref join_args = no_joins ? tree::arg_or(expression, names.joins, no_joins.get()) : Ref();
    if (!join_args) {
        return -1;
    }
    return for_each(join_args.get(), [&](PyObject* join) {
        Ref joined = tree::arg(join, names.this_);
        return joined ? walk.match(joined.get()) : -1;
    });
}

}  // namespace

PyObject* get_tables(PyObject* const* args) {
    PyObject* expression = args[0];
    Walk walk{Ref::borrow(args[1]), Ref::borrow(args[2])};
    Ref with = tree::arg(expression, names.with);
    int has_with = with ? capi::truthy(with.get()) : -1;
    if (has_with < 0) {
        return nullptr;
    }
    // With a WITH clause the CTEs are the only scopes.
    int walked = has_with ? walk_ctes(walk, with.get()) : walk_sources(walk, expression);
    return walked < 0 ? nullptr : walk.new_columns.release();
}

}  // namespace lineage
