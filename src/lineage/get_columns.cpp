// get_columns(expressions): the select list, item by item, into records.
//
// Literal and NULL items get their record here. Every other item is sorted by
// what its tree holds - a subquery, columns, or calls of functions sqlglot has
// no class for (exp.Anonymous) - and its nodes go to find_column with that
// kind. `columns`, `alias`, `texts` and `sort` run on across all items, so the
// numbering of output columns is shared by every kind of item.

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

// The running state of one select list.
struct SelectList {
    Ref columns;
    Ref alias;
    Ref texts;
    Ref sort;
};

// An item of class `kind_class`, or an Alias over one: 1, 0, -1 on error.
int is_item_of(PyObject* expression, PyObject* kind_class) {
    int direct = tree::is_instance(expression, kind_class);
    if (direct != 0) {
        return direct;
    }
    int aliased = tree::is_instance(expression, names.Alias);
    if (aliased <= 0) {
        return aliased;
    }
    Ref inner = tree::arg(expression, names.this_);
    return inner ? tree::is_instance(inner.get(), kind_class) : -1;
}

// Numbers a new output name: appends it to `alias` and raises `sort`, unless
// the name is already listed.
int number_output(SelectList& state, PyObject* output_name) {
    list_index::ListIndex* index = list_index::index_of(state.alias.get());
    int listed = list_index::contains(index, state.alias.get(), output_name);
    if (listed != 0) {
        return listed < 0 ? -1 : 0;
    }
    if (list_index::append(index, state.alias.get(), output_name) < 0) {
        return -1;
    }
    state.sort = capi::concat(state.sort.get(), names.one);
    return state.sort ? 0 : -1;
}

// The open record of a literal or NULL item.
int add_constant_record(SelectList& state, PyObject* expression, PyObject* kind) {
    Ref output_name = capi::getattr(expression, names.alias_or_name);
    if (!output_name || number_output(state, output_name.get()) < 0) {
        return -1;
    }
    Ref name = capi::getattr(expression, names.name);
    Ref column_alias = name ? capi::getattr(expression, names.alias_or_name) : Ref();
    if (!column_alias) {
        return -1;
    }
    PyObject* values[] = {state.sort.get(), name.get(), column_alias.get(), names.empty, kind};
    Ref made = record::make(values, record::open_size);
    return made ? capi::append(state.columns.get(), made.get()) : -1;
}

// find_column(find_list, columns, alias, texts, kind, sort), taking back the
// four pieces of running state it returns.
int resolve(SelectList& state, PyObject* find_list, PyObject* kind) {
    Ref result = capi::call_global(
        names.find_column,
        {find_list, state.columns.get(), state.alias.get(), state.texts.get(), kind, state.sort.get()});
    Ref updated[4];
    if (!result || capi::unpack(result.get(), 4, updated) < 0) {
        return -1;
    }
    state.columns = std::move(updated[0]);
    state.alias = std::move(updated[1]);
    state.texts = std::move(updated[2]);
    state.sort = std::move(updated[3]);
    return 0;
}

// An item holding a subquery: each entry of the first inner select list goes
// to its own find_column call with that entry's columns.
int resolve_subquery_item(SelectList& state, PyObject* expression) {
    Ref inner = tree::find(expression, names.Select);
    Ref subquery_expressions = inner ? capi::getattr(inner.get(), names.expressions) : Ref();
    if (!subquery_expressions) {
        return -1;
    }
    return capi::for_each(subquery_expressions.get(), [&](PyObject* subquery) {
        Ref find_list = tree::find_all(subquery, names.Column);
        return find_list ? resolve(state, find_list.get(), record::kinds.subquery) : -1;
    });
}

// Tries the nodes of class `node_class` under the item: 1 when there were
// some and they were resolved with `kind`, 0 when there were none.
int resolve_nodes(SelectList& state, PyObject* expression, PyObject* node_class, PyObject* kind) {
    Ref find_list = tree::find_all(expression, node_class);
    if (!find_list) {
        return -1;
    }
    if (PyList_GET_SIZE(find_list.get()) == 0) {
        return 0;
    }
    return resolve(state, find_list.get(), kind) < 0 ? -1 : 1;
}

int not_supported(PyObject* expression) {
    Ref text = Ref::steal(PyObject_Repr(expression));
    if (!text || !capi::call(builtins.print, {text.get()})) {
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

int extract_item(SelectList& state, PyObject* expression) {
    const Kind constants[] = {{names.Literal, record::kinds.literal}, {names.Null, record::kinds.null}};
    for (const Kind& constant : constants) {
        int matches = is_item_of(expression, constant.node_class);
        if (matches != 0) {
            return matches < 0 ? -1 : add_constant_record(state, expression, constant.kind);
        }
    }

    Ref subqueries = tree::find_all(expression, names.Subquery);
    if (!subqueries) {
        return -1;
    }
    if (PyList_GET_SIZE(subqueries.get()) > 0) {
        return resolve_subquery_item(state, expression);
    }

    const Kind node_kinds[] = {{names.Column, record::kinds.column},
                               {names.Anonymous, record::kinds.anonymous}};
    for (const Kind& nodes : node_kinds) {
        int resolved = resolve_nodes(state, expression, nodes.node_class, nodes.kind);
        if (resolved != 0) {
            return resolved < 0 ? -1 : 0;
        }
    }
    return not_supported(expression);
}

}  // namespace

PyObject* get_columns(PyObject* const* args) {
    PyObject* expressions = args[0];
    SelectList state{Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0)),
                     Ref::steal(PyList_New(0)), Ref::borrow(names.zero)};
    if (!state.columns || !state.alias || !state.texts) {
        return nullptr;
    }
    list_index::adopt(state.alias.get(), state.texts.get());
    if (capi::for_each(expressions, [&](PyObject* expression) { return extract_item(state, expression); }) < 0) {
        return nullptr;
    }
    return capi::tuple({state.columns.get(), state.texts.get()}).release();
}

}  // namespace lineage
