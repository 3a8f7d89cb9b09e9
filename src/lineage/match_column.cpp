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

#include <vector>

#include "capi/api.hpp"
#include "lineage/fast_path.hpp"
#include "lineage/functions.hpp"
#include "lineage/object_table.hpp"
#include "lineage/record.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

namespace lineage {

namespace {

using capi::Ref;

enum class Scope { table, query, other };

// What match_column reads of a scope: its alias, database and name.
enum ScopeAttribute { alias_attribute, db_attribute, name_attribute };

// The shared inner records by their `column_alias` (an exact str), each list
// in inner order.
using RecordsByAlias = ObjectTable<std::vector<PyObject*>, TextKeys>;

struct Matching {
    PyObject* table_args;
    // The scope's alias, database and name, once read, when reading them
    // again would give the same: the scope is one of sqlglot's own classes
    // (whose attributes are worked out from the node alone) and only the
    // module's code runs until this call returns.
    bool keep_scope_attributes;
    Ref scope_attributes[3];
    PyObject* texts;
    fast_path::ListIndex* texts_index;
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
    // Set when the shared inner records are known to be the module's own.
    bool inner_records_own = false;
};

int scope_kind(PyObject* table_args, Scope* kind) {
    int is_table = tree::is_instance(table_args, state.names.Table);
    if (is_table != 0) {
        *kind = Scope::table;
        return is_table < 0 ? -1 : 0;
    }
    Ref subquery = tree::exp_class(state.names.Subquery);
    if (!subquery) {
        return -1;
    }
    Ref cte = tree::exp_class(state.names.CTE);
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

// table_args.alias, .db or .name.
Ref scope_attribute(Matching& matching, ScopeAttribute attribute) {
    PyObject* const names[3] = {state.names.alias, state.names.db, state.names.name};
    Ref& kept = matching.scope_attributes[attribute];
    if (kept) {
        return Ref::borrow(kept.get());
    }
    Ref value = capi::getattr(matching.table_args, names[attribute]);
    if (value && matching.keep_scope_attributes) {
        kept = Ref::borrow(value.get());
    }
    return value;
}

// True when the scope node is an instance of exactly one of sqlglot's own
// scope classes, read from `exp` without running interpreter code.
bool is_library_scope(PyObject* table_args) {
    for (PyObject* name : {state.names.Table, state.names.Subquery, state.names.CTE}) {
        Ref cls = fast_path::plain_class(name);
        if (!cls) {
            PyErr_Clear();
            return false;
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(table_args)) == cls.get()) {
            return true;
        }
    }
    return false;
}

// The record's five column-side values, then the table's database, name
// and alias.
int bind_to_table(Matching& matching, PyObject* column, PyObject* scope_alias, bool known) {
    Ref db = scope_attribute(matching, db_attribute);
    if (!db) {
        return -1;
    }
    Ref name = scope_attribute(matching, name_attribute);
    if (!name) {
        return -1;
    }
    if (known) {
        // An open record nobody else has seen becomes the bound record
        // itself: no reader can tell it from a new one.
        matching.texts_index->forget(column);
        if (record::complete(column, db.get(), name.get(), scope_alias) < 0) {
            return -1;
        }
        return capi::append(matching.new_columns.get(), column);
    }
    Ref made = record::copy_with(column, record::open_size,
                                 {{record::table_db, db.get()},
                                  {record::table_name, name.get()},
                                  {record::table_alias, scope_alias}});
    if (!made && !PyErr_Occurred()) {
        Ref values[record::bound_size];
        for (int key = 0; key < record::open_size; ++key) {
            values[key] = record::get(column, static_cast<record::Key>(key));
            if (!values[key]) {
                return -1;
            }
        }
        values[record::table_db] = std::move(db);
        values[record::table_name] = std::move(name);
        values[record::table_alias] = Ref::borrow(scope_alias);
        made = record::make(values);
    }
    if (!made) {
        return -1;
    }
    return capi::append(matching.new_columns.get(), made.get());
}

Ref inner_analysis(Matching& matching) {
    if (matching.share_inner && matching.inner_records) {
        return Ref::borrow(matching.inner_records.get());
    }
    Ref inner = tree::arg(matching.table_args, state.names.this_);
    if (!inner) {
        return inner;
    }
    fast_path::Since during_call;
    Ref records = state.globals.call(state.names.test, {inner.get()});
    if (records && matching.share_inner) {
        matching.inner_records = Ref::borrow(records.get());
        // Nothing was rebound meanwhile: the records are the module's own,
        // each a plain dict of the first keys in key order, seen by no one.
        matching.inner_records_own = during_call.holds();
    }
    return records;
}

// Indexes the shared inner records by alias, once per call. A record that is
// not a plain dict, or an alias that is neither a str nor missing, leaves the
// index unused: the records are then compared one by one.
void index_inner_records(Matching& matching) {
    matching.by_alias_tried = true;
    PyObject* records = matching.inner_records.get();
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
        matching.by_alias[alias.get()].push_back(table_column);
    }
    matching.by_alias_usable = true;
}

// The inner records whose alias equals `column_name`, in inner order, or
// null when they must be found by comparing each.
const std::vector<PyObject*>* inner_records_named(Matching& matching, PyObject* column_name) {
    if (!matching.share_inner || !PyUnicode_CheckExact(column_name)) {
        return nullptr;
    }
    if (!matching.by_alias_tried) {
        index_inner_records(matching);
    }
    if (!matching.by_alias_usable) {
        return nullptr;
    }
    static const std::vector<PyObject*> none;
    const std::vector<PyObject*>* found = matching.by_alias.find(column_name);
    return found == nullptr ? &none : found;
}

// The outer record `column` carried through the inner output `table_column`.
Ref traced_record(PyObject* column, PyObject* table_column, bool own) {
    using record::get;
    if (PyDict_CheckExact(column)) {
        Ref outer[3] = {get(column, record::column_sort), get(column, record::column_alias),
                        get(column, record::column_table)};
        if (!outer[0] || !outer[1] || !outer[2]) {
            return Ref();
        }
        Ref made = record::copy_with(table_column, record::bound_size,
                                     {{record::column_sort, outer[0].get()},
                                      {record::column_alias, outer[1].get()},
                                      {record::column_table, outer[2].get()}},
                                     own);
        if (made || PyErr_Occurred()) {
            return made;
        }
    }
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

// Appends the outer record carried through `table_column`.
int add_traced_record(Matching& matching, PyObject* column, PyObject* table_column) {
    Ref made = traced_record(column, table_column, matching.inner_records_own);
    if (!made) {
        return -1;
    }
    return capi::append(matching.new_columns.get(), made.get());
}

// One traced record per inner record whose alias equals the record's
// `column_name`. An inner query that offers no output of that name (a star
// select, say) leaves the record as it was rather than losing the output
// column.
int bind_to_query(Matching& matching, PyObject* column) {
    Ref table_new_columns = inner_analysis(matching);
    if (!table_new_columns) {
        return -1;
    }
    Ref column_name = record::get(column, record::column_name);
    if (!column_name) {
        return -1;
    }
    bool matched = false;
    if (const std::vector<PyObject*>* named = inner_records_named(matching, column_name.get())) {
        for (PyObject* table_column : *named) {
            matched = true;
            if (add_traced_record(matching, column, table_column) < 0) {
                return -1;
            }
        }
    } else {
        int walked = capi::for_each(table_new_columns.get(), [&](PyObject* table_column) {
            Ref inner_alias = record::get(table_column, record::column_alias);
            if (!inner_alias) {
                return -1;
            }
            int same = capi::equals(inner_alias.get(), column_name.get());
            if (same <= 0) {
                return same;
            }
            matched = true;
            return add_traced_record(matching, column, table_column);
        });
        if (walked < 0) {
            return -1;
        }
    }
    return matched ? 0 : capi::append(matching.new_columns.get(), column);
}

// 1 when the record waits for this scope: it has no table yet, its text
// still waits in `texts` (handed back in `text`) and its qualifier equals the
// scope's alias (handed back in `scope_alias`); 0 when not, -1 on error.
// `known` is set when the record is an open record remembered by the index.
int waits_for_scope(Matching& matching, PyObject* column, Ref* text, Ref* scope_alias,
                    bool* known) {
    using OpenRecord = fast_path::ListIndex::OpenRecord;
    const OpenRecord* open =
        matching.texts_index != nullptr ? matching.texts_index->known(column) : nullptr;
    *known = open != nullptr;
    // What is remembered, held apart from the index, which reading the scope
    // below may let change.
    Ref known_column_table;
    if (open != nullptr) {
        *text = Ref::borrow(open->text.get());  // and it has no table
        known_column_table = Ref::borrow(open->column_table.get());
    } else {
        Ref table_name = record::get(column, record::table_name);
        if (!table_name) {
            return -1;
        }
        int finished = capi::truthy(table_name.get());
        if (finished != 0) {
            return finished < 0 ? -1 : 0;
        }
        *text = record::text_of(column);
        if (!*text) {
            return -1;
        }
    }
    int waiting = fast_path::contains(matching.texts_index, matching.texts, text->get());
    if (waiting <= 0) {
        return waiting;
    }
    *scope_alias = scope_attribute(matching, alias_attribute);
    if (!*scope_alias) {
        return -1;
    }
    Ref column_table = *known ? std::move(known_column_table)
                              : record::get(column, record::column_table);
    if (!column_table) {
        return -1;
    }
    return capi::equals(scope_alias->get(), column_table.get());
}

int match_record(Matching& matching, PyObject* column) {
    Ref text;
    Ref scope_alias;
    bool known = false;
    int waits = waits_for_scope(matching, column, &text, &scope_alias, &known);
    if (waits <= 0) {
        return waits < 0 ? -1 : capi::append(matching.new_columns.get(), column);
    }
    Scope kind;
    if (scope_kind(matching.table_args, &kind) < 0) {
        return -1;
    }
    int bound = -1;
    switch (kind) {
        case Scope::table:
            bound = bind_to_table(matching, column, scope_alias.get(), known);
            break;
        case Scope::query:
            bound = bind_to_query(matching, column);
            break;
        case Scope::other:
            raise_not_supported(matching.table_args);
            return -1;
    }
    if (bound < 0) {
        return -1;
    }
    return fast_path::remove(matching.texts_index, matching.texts, text.get());
}

}  // namespace

PyObject* match_column_impl(PyObject*, PyObject* table_args, PyObject* columns, PyObject* texts) {
    bool own = fast_path::Since().holds();
    Matching matching{table_args, own && is_library_scope(table_args), {}, texts,
                      fast_path::Analysis::index_of(texts), Ref::steal(PyList_New(0)), own, Ref(),
                      false, false, {}, false};
    // The removals of this call reach the list before it is handed back,
    // and stay made when the call fails.
    fast_path::FlushOnExit flush(matching.texts_index);
    if (!matching.new_columns) {
        return nullptr;
    }
    int matched = capi::for_each(columns, [&](PyObject* column) {
        return match_record(matching, column);
    });
    if (matched < 0) {
        return nullptr;
    }
    return capi::tuple({matching.new_columns.get(), texts}).release();
}

}  // namespace lineage
