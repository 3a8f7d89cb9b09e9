// match_column(table_args, columns, texts): binds the records of one select to
// one of its table scopes.
//
// A record is bound when it has no table yet, its text still waits in `texts`
// and its qualifier equals the scope's alias. A base table completes it with
// the table's database, name and alias. A subquery or CTE is analysed in full
// (test on its inner query) and the record is replaced by one record per
// inner output column named like the record's source column: the position,
// output alias and qualifier stay, the rest comes from the inner column.
// Either way the record's text leaves `texts`, so no later scope binds it.

#include <unordered_map>
#include <vector>

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

enum class Scope { table, query, other };

// Exact str keys: hash and equality that never fail and agree with `==`.
struct TextHash {
    size_t operator()(PyObject* text) const { return static_cast<size_t>(PyObject_Hash(text)); }
};
struct TextEqual {
    bool operator()(PyObject* left, PyObject* right) const {
        return left == right || PyUnicode_Compare(left, right) == 0;
    }
};

// The shared inner records by their `column_alias`, each list in inner order.
using RecordsByAlias = std::unordered_map<PyObject*, std::vector<PyObject*>, TextHash, TextEqual>;

struct Matching {
    PyObject* table_args;
    PyObject* texts;
    list_index::ListIndex* texts_index;
    Ref new_columns;
    // The inner analysis of a subquery or CTE scope gives the same records
    // every time, so while the module's own functions are in place it is run
    // once per call and shared by all records bound to the scope. When any of
    // them has been rebound, test is called once per bound record, so that a
    // wrapper sees every call.
    bool share_inner;
    Ref inner_records;
    // Built once from the shared inner records when every one is a plain
    // dict whose alias is a str or missing; keys and records are borrowed
    // from `inner_records`.
    bool by_alias_tried = false;
    bool by_alias_usable = false;
    RecordsByAlias by_alias;
};

int scope_kind(PyObject* table_args, Scope* kind) {
    int is_table = tree::is_instance(table_args, names.Table);
    if (is_table != 0) {
        *kind = Scope::table;
        return is_table < 0 ? -1 : 0;
    }
    Ref subquery = tree::exp_class(names.Subquery);
    Ref cte = subquery ? tree::exp_class(names.CTE) : Ref();
    if (!cte) {
        return -1;
    }
    int is_query = tree::is_instance_of(table_args, subquery.get());
    if (is_query == 0) {
        is_query = tree::is_instance_of(table_args, cte.get());
    }
    *kind = is_query > 0 ? Scope::query : Scope::other;
    return is_query < 0 ? -1 : 0;
}

// The record's five column-side values, then the table's database, name
// and alias.
int bind_to_table(Matching& state, PyObject* column, PyObject* scope_alias) {
    Ref values[record::bound_size];
    for (int key = 0; key < record::open_size; ++key) {
        values[key] = record::get(column, static_cast<record::Key>(key));
        if (!values[key]) {
            return -1;
        }
    }
    values[record::table_db] = capi::getattr(state.table_args, names.db);
    if (values[record::table_db]) {
        values[record::table_name] = capi::getattr(state.table_args, names.name);
    }
    if (!values[record::table_name]) {
        return -1;
    }
    values[record::table_alias] = Ref::borrow(scope_alias);
    Ref made = record::make(values);
    return made ? capi::append(state.new_columns.get(), made.get()) : -1;
}

Ref inner_analysis(Matching& state) {
    if (state.share_inner && state.inner_records) {
        return Ref::borrow(state.inner_records.get());
    }
    Ref inner = tree::arg(state.table_args, names.this_);
    Ref records = inner ? capi::call_global(names.test, {inner.get()}) : Ref();
    if (records && state.share_inner) {
        state.inner_records = Ref::borrow(records.get());
    }
    return records;
}

// Indexes the shared inner records by alias, once per call. A record that is
// not a plain dict, or an alias that is neither a str nor missing, leaves the
// index unused: the records are then compared one by one.
void index_inner_records(Matching& state) {
    state.by_alias_tried = true;
    PyObject* records = state.inner_records.get();
    if (records == nullptr || !PyList_CheckExact(records)) {
        return;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(records); ++i) {
        PyObject* table_column = PyList_GET_ITEM(records, i);
        if (!PyDict_CheckExact(table_column)) {
            return;
        }
        Ref alias = record::get(table_column, record::column_alias);
        if (!alias) {
            PyErr_Clear();
            return;
        }
        // A missing alias reads as None, which equals no str.
        if (alias.get() == Py_None) {
            continue;
        }
        if (!PyUnicode_CheckExact(alias.get())) {
            return;
        }
        state.by_alias[alias.get()].push_back(table_column);
    }
    state.by_alias_usable = true;
}

// The inner records whose alias equals `column_name`, in inner order, or
// null when they must be found by comparing each.
const std::vector<PyObject*>* inner_records_named(Matching& state, PyObject* column_name) {
    if (!state.share_inner || !PyUnicode_CheckExact(column_name)) {
        return nullptr;
    }
    if (!state.by_alias_tried) {
        index_inner_records(state);
    }
    if (!state.by_alias_usable) {
        return nullptr;
    }
    static const std::vector<PyObject*> none;
    auto found = state.by_alias.find(column_name);
    return found == state.by_alias.end() ? &none : &found->second;
}

// The outer record `column` carried through the inner output `table_column`.
Ref traced_record(PyObject* column, PyObject* table_column) {
    using record::get;
    Ref values[record::bound_size];
    const std::pair<PyObject*, record::Key> sources[record::bound_size] = {
        {column, record::column_sort},       {table_column, record::column_name},
        {column, record::column_alias},      {column, record::column_table},
        {table_column, record::column_type}, {table_column, record::table_db},
        {table_column, record::table_name},  {table_column, record::table_alias},
    };
    for (int i = 0; i < record::bound_size; ++i) {
        values[i] = get(sources[i].first, sources[i].second);
        if (!values[i]) {
            return Ref();
        }
    }
    return record::make(values);
}

int bind_to_query(Matching& state, PyObject* column) {
    Ref table_new_columns = inner_analysis(state);
    Ref column_name = table_new_columns ? record::get(column, record::column_name) : Ref();
    if (!column_name) {
        return -1;
    }
    bool matched = false;
    if (const std::vector<PyObject*>* named = inner_records_named(state, column_name.get())) {
        for (PyObject* table_column : *named) {
            matched = true;
            Ref made = traced_record(column, table_column);
            if (!made || capi::append(state.new_columns.get(), made.get()) < 0) {
                return -1;
            }
        }
        return matched ? 0 : capi::append(state.new_columns.get(), column);
    }
    int walked = capi::for_each(table_new_columns.get(), [&](PyObject* table_column) {
        Ref inner_alias = record::get(table_column, record::column_alias);
        int same = inner_alias ? capi::equals(inner_alias.get(), column_name.get()) : -1;
        if (same <= 0) {
            return same;
        }
        matched = true;
        Ref made = traced_record(column, table_column);
        return made ? capi::append(state.new_columns.get(), made.get()) : -1;
    });
    if (walked < 0) {
        return -1;
    }
    // An inner query that offers no output of that name (a star select, say)
    // leaves the record as it was rather than losing the output column.
    return matched ? 0 : capi::append(state.new_columns.get(), column);
}

int match_record(Matching& state, PyObject* column) {
    Ref table_name = record::get(column, record::table_name);
    int finished = table_name ? capi::truthy(table_name.get()) : -1;
    if (finished != 0) {
        return finished < 0 ? -1 : capi::append(state.new_columns.get(), column);
    }
    Ref text = record::text_of(column);
    int waiting = text ? list_index::contains(state.texts_index, state.texts, text.get()) : -1;
    if (waiting <= 0) {
        return waiting < 0 ? -1 : capi::append(state.new_columns.get(), column);
    }
    Ref scope_alias = capi::getattr(state.table_args, names.alias);
    Ref column_table = scope_alias ? record::get(column, record::column_table) : Ref();
    int same_alias = column_table ? capi::equals(scope_alias.get(), column_table.get()) : -1;
    if (same_alias <= 0) {
        return same_alias < 0 ? -1 : capi::append(state.new_columns.get(), column);
    }

    Scope kind;
    if (scope_kind(state.table_args, &kind) < 0) {
        return -1;
    }
    int bound = -1;
    switch (kind) {
        case Scope::table:
            bound = bind_to_table(state, column, scope_alias.get());
            break;
        case Scope::query:
            bound = bind_to_query(state, column);
            break;
        case Scope::other:
            raise_not_supported(state.table_args);
            return -1;
    }
    if (bound < 0) {
        return -1;
    }
    return list_index::remove(state.texts_index, state.texts, text.get());
}

}  // namespace

PyObject* match_column(PyObject* const* args) {
    Matching state{args[0], args[2], list_index::index_of(args[2]), Ref::steal(PyList_New(0)),
                   capi::functions_are_own(), Ref(), false, false, RecordsByAlias()};
    // The removals of this call reach the list before it is handed back,
    // and stay made when the call fails.
    list_index::FlushOnExit flush(state.texts_index);
    if (!state.new_columns) {
        return nullptr;
    }
    if (capi::for_each(args[1], [&](PyObject* column) { return match_record(state, column); }) < 0) {
        return nullptr;
    }
    return capi::tuple({state.new_columns.get(), state.texts}).release();
}

}  // namespace lineage
