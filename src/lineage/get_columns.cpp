// get_columns(expressions): the select list, item by item, into records.
//
// Literal and NULL items get their record here. Every other item is sorted by
// what its tree holds - a subquery, columns, or calls of functions sqlglot has
// no class for (exp.Anonymous) - and its nodes go to find_column with that
// kind. `columns`, `alias`, `texts` and `sort` run on across all items, so the
// numbering of output columns is shared by every kind of item.

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

// Numbers an output name of the select list.
int number_output(SelectList& select_list, PyObject* output_name) {
    return record::number_output(select_list.alias.get(),
                                 fast_path::Analysis::index_of(select_list.alias.get()),
                                 select_list.sort, output_name);
}

// An item of class `kind_class`, or an Alias over one: 1, 0, -1 on error.
int is_item_of(PyObject* expression, PyObject* kind_class) {
    int direct = tree::is_instance(expression, kind_class);
    if (direct != 0) {
        return direct;
    }
    int aliased = tree::is_instance(expression, state.names.Alias);
    if (aliased <= 0) {
        return aliased;
    }
    Ref inner = tree::arg(expression, state.names.this_);
    if (!inner) {
        return -1;
    }
    return tree::is_instance(inner.get(), kind_class);
}

// The open record of a literal or NULL item.
int add_constant_record(SelectList& select_list, PyObject* expression, PyObject* kind) {
    const Names& names = state.names;
    Ref output_name = capi::getattr(expression, names.alias_or_name);
    if (!output_name || number_output(select_list, output_name.get()) < 0) {
        return -1;
    }
    Ref name = capi::getattr(expression, names.name);
    if (!name) {
        return -1;
    }
    Ref column_alias = capi::getattr(expression, names.alias_or_name);
    if (!column_alias) {
        return -1;
    }
    PyObject* values[] = {select_list.sort.get(), name.get(), column_alias.get(), names.empty,
                          kind};
    Ref made = record::make(values, record::open_size);
    if (!made) {
        return -1;
    }
    return capi::append(select_list.columns.get(), made.get());
}

// find_column(find_list, columns, alias, texts, kind, sort), taking back the
// four pieces of running state it returns.
int resolve(SelectList& select_list, PyObject* find_list, PyObject* kind) {
    Ref callable = state.globals.lookup(state.names.find_column);
    if (!callable) {
        return -1;
    }
    if (is_own(callable.get(), find_column_index)) {
        return run_as(find_column_index, [&] { return find_columns(find_list, kind, select_list); });
    }
    Ref updated[4];
    if (capi::call_unpacked(callable.get(),
                            {find_list, select_list.columns.get(), select_list.alias.get(),
                             select_list.texts.get(), kind, select_list.sort.get()},
                            updated) < 0) {
        return -1;
    }
    select_list.columns = std::move(updated[0]);
    select_list.alias = std::move(updated[1]);
    select_list.texts = std::move(updated[2]);
    select_list.sort = std::move(updated[3]);
    return 0;
}

// An item holding a subquery: each entry of the first inner select list goes
// to its own find_column call with that entry's columns.
int resolve_subquery_item(SelectList& select_list, PyObject* expression) {
    Ref inner = tree::find(expression, state.names.Select);
    if (!inner) {
        return -1;
    }
    Ref subquery_expressions = capi::getattr(inner.get(), state.names.expressions);
    if (!subquery_expressions) {
        return -1;
    }
    return capi::for_each(subquery_expressions.get(), [&](PyObject* subquery) {
        Ref find_list = tree::find_all(subquery, state.names.Column);
        if (!find_list) {
            return -1;
        }
        return resolve(select_list, find_list.get(), state.names.subquery);
    });
}

// Tries the nodes of class `node_class` under the item: 1 when there were
// some and they were resolved with `kind`, 0 when there were none.
int resolve_nodes(SelectList& select_list, PyObject* expression, PyObject* node_class,
                  PyObject* kind) {
    Ref find_list = tree::find_all(expression, node_class);
    if (!find_list) {
        return -1;
    }
    if (PyList_GET_SIZE(find_list.get()) == 0) {
        return 0;
    }
    return resolve(select_list, find_list.get(), kind) < 0 ? -1 : 1;
}

int not_supported(PyObject* expression) {
    Ref text = Ref::steal(PyObject_Repr(expression));
    if (!text || !capi::call(state.print, {text.get()})) {
        return -1;
    }
    raise_not_supported(expression);
    return -1;
}

// A class of node, and the kind of the records made for it.
struct Kind {
    PyObject* node_class;
    PyObject* kind;
};

int extract_item(SelectList& select_list, PyObject* expression) {
    const Names& names = state.names;
    const Kind constants[] = {{names.Literal, names.literal}, {names.Null, names.null}};
    for (const Kind& constant : constants) {
        int matches = is_item_of(expression, constant.node_class);
        if (matches != 0) {
            return matches < 0 ? -1 : add_constant_record(select_list, expression, constant.kind);
        }
    }

    Ref subqueries = tree::find_all(expression, names.Subquery);
    if (!subqueries) {
        return -1;
    }
    if (PyList_GET_SIZE(subqueries.get()) > 0) {
        return resolve_subquery_item(select_list, expression);
    }

    const Kind node_kinds[] = {{names.Column, names.column}, {names.Anonymous, names.anonymous}};
    for (const Kind& nodes : node_kinds) {
        int resolved = resolve_nodes(select_list, expression, nodes.node_class, nodes.kind);
        if (resolved != 0) {
            return resolved < 0 ? -1 : 0;
        }
    }
    return not_supported(expression);
}

}  // namespace

PyObject* get_columns_impl(PyObject*, PyObject* expressions) {
    SelectList select_list{Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0)),
                           Ref::steal(PyList_New(0)), Ref::borrow(state.names.zero)};
    if (!select_list.columns || !select_list.alias || !select_list.texts) {
        return nullptr;
    }
    Py_ssize_t expected = PyList_CheckExact(expressions) ? PyList_GET_SIZE(expressions) : 0;
    fast_path::Analysis::adopt(select_list.alias.get(), select_list.texts.get(), expected);
    int extracted = capi::for_each(expressions, [&](PyObject* expression) {
        return extract_item(select_list, expression);
    });
    if (extracted < 0) {
        return nullptr;
    }
    return capi::tuple({select_list.columns.get(), select_list.texts.get()}).release();
}

}  // namespace lineage
