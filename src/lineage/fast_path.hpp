// The analysis's speed-ups, all in one place, each behind one validity
// check (`Since`).
//
// The plain path of the analysis reads the tree and calls the six functions
// exactly as interpreted code would: every class read from `exp` at its use,
// every search by the node's own method, every call by name. The speed-ups
// give the same answers for less work, on conditions that this unit checks:
//
//   - kept classes: exp.<Class> is kept while the namespace and the
//     dictionary of the module bound to `exp` are unchanged;
//   - type facts: what a node type resolves (whether it searches as sqlglot's
//     Expression does, the data descriptors its attributes are read through,
//     whether isinstance on its nodes is a plain subtype test) is kept while
//     the type's version tag stays the same;
//   - the native search: find and find_all walk the tree here, for node types
//     that search as Expression does;
//   - one walk per item: within one `test` call each node is walked once for
//     Subquery, Column and Anonymous together;
//   - the list index: counts beside the lists `alias` and `texts` of one
//     `test` call, so that membership and removal take constant time, with
//     the text of each open record remembered;
//   - the shared inner analysis (match_column): a subquery or CTE scope is
//     analysed once per match_column call, not once per record bound to it.
//
// The last three hold only while the module's own functions are in place and
// nothing is rebound, not even for a moment: then only the module's code sees
// the lists and the tree until the call returns. docs/speed-ups.md gives what
// each one buys.
//
// The load sequence can turn all of them off (`set_enabled`), so that the
// plain path is what runs; the module's tests run both ways.
#pragma once

#include <memory>

#include "capi/ref.hpp"
#include "lineage/object_table.hpp"

namespace lineage::fast_path {

// Turns the speed-ups on or off for the process. Called by the load
// sequence once, before any analysis.
void set_enabled(bool on);
bool enabled();

// Remembers sqlglot's own search methods (Expression.find, find_all, walk,
// bfs and iter_expressions): only node types that have these search
// natively. Never fails.
void learn_library(PyObject* exp_module);

// Watches the module namespace, so that rebinding any name is seen, and the
// dictionary of the module bound to `exp`. False when the namespace cannot
// be watched: the speed-ups that need it then stay off.
bool watch_namespace(PyObject* dict);

// A moment from which the speed-ups that need an unchanged namespace hold:
// they are on, the namespace is watched, every published name is bound to
// the module's own function, and nothing watched has changed since.
class Since {
public:
    Since();
    bool holds() const;
    // A moment from which they never hold.
    static Since never() { return Since(false); }

private:
    explicit Since(bool) : valid_(false), at_(0) {}
    bool valid_;
    unsigned long long at_;
};

// exp.<name> when `exp` is a plain module whose dictionary holds it (read
// without running interpreter code), kept while nothing watched changes;
// else an empty Ref, perhaps with an exception set.
capi::Ref plain_class(PyObject* name);

// isinstance(node, exp.<name>) as kept for the node's type: 1 or 0; -2
// when nothing is kept.
int kept_answer(PyObject* node, PyObject* name);

// isinstance(node, cls) from the node's type alone, `cls` being exp.<name>
// when `name` is given: 1 or 0; -2 when it must be asked the general way.
int type_decides(PyObject* node, PyObject* cls, PyObject* name = nullptr);

// node.<name>, read through the data descriptor the node's type resolves it
// to when one is known, else the general way.
capi::Ref attribute(PyObject* node, PyObject* name);

// The nodes of class `cls` (exp.<name> when `name` is given) under `node`
// (the node itself first, then breadth-first) as a new list, at most one
// with `first_only`. An empty Ref
// with no exception set: the native search does not apply, and the node's
// own method is to be called.
capi::Ref nodes_of_class(PyObject* node, PyObject* cls, PyObject* name, bool first_only);

// Counts of the entries of one list of strings, beside the list.
class ListIndex {
public:
    explicit ListIndex(PyObject* list);
    ListIndex(const ListIndex&) = delete;
    ListIndex& operator=(const ListIndex&) = delete;

    void reserve(Py_ssize_t count);
    PyObject* list() const { return list_.get(); }
    bool usable() const { return usable_; }
    void drop() { usable_ = false; }

    // item in list: 1 or 0; -2 when the index cannot tell (not a str).
    int contains(PyObject* item) const;
    // list.append(item), counted. 0, or -1 with an exception set.
    int append(PyObject* item);
    // Takes one listed `item` off the count; the list loses its first equal
    // entry at the next flush.
    void remove(PyObject* item);
    // Deletes the removed entries from the list, in one pass.
    void flush();

    // An open record made while the index was in use: a plain dict nobody
    // else has seen and that is never changed, so its text and qualifier
    // are worked out once.
    struct OpenRecord {
        capi::Ref text;
        capi::Ref column_table;
    };
    void remember(PyObject* record, PyObject* text, PyObject* column_table);
    const OpenRecord* known(PyObject* record) const;
    void forget(PyObject* record);

private:
    using Counts = ObjectTable<Py_ssize_t, TextKeys>;

    capi::Ref list_;
    bool usable_ = true;
    Counts listed_;   // entries of the list, less the removed ones
    Counts removed_;  // removals not yet applied to the list
    ObjectTable<OpenRecord, IdentityKeys> open_records_;
};

// The list operations, through the index when there is one.
int contains(ListIndex* index, PyObject* list, PyObject* item);
int append(ListIndex* index, PyObject* list, PyObject* item);
int remove(ListIndex* index, PyObject* list, PyObject* item);

// One `test` call, on this thread's stack of calls: the walks made for its
// select items, and the indexes of the two lists its get_columns makes.
class Analysis {
public:
    explicit Analysis(Py_ssize_t items);
    ~Analysis();
    Analysis(const Analysis&) = delete;
    Analysis& operator=(const Analysis&) = delete;

    // Called right before `test` calls get_columns: that call's new lists
    // are taken as this analysis's own, unless something is rebound before
    // they are made.
    void expect_lists();

    // get_columns, on the lists it has just made, for about `expected`
    // entries each.
    static void adopt(PyObject* alias, PyObject* texts, Py_ssize_t expected);

    // The index beside `list`, or null when it is to be used as a plain
    // list.
    static ListIndex* index_of(PyObject* list);

    // As nodes_of_class(node, cls, nullptr, false), answered from the walk made for
    // the node in this call when there is one.
    static capi::Ref find_all(PyObject* node, PyObject* cls);

private:
    struct Walks;

    Analysis* outer_;
    Since since_start_;
    bool expecting_ = false;
    Since since_expected_ = Since::never();
    std::unique_ptr<ListIndex> alias_;
    std::unique_ptr<ListIndex> texts_;
    std::unique_ptr<Walks> walks_;
};

// Applies the removals of one match_column call to `texts` when it ends,
// on success and on failure.
class FlushOnExit {
public:
    explicit FlushOnExit(ListIndex* index) : index_(index) {}
    ~FlushOnExit() {
        if (index_ != nullptr) {
            index_->flush();
        }
    }
    FlushOnExit(const FlushOnExit&) = delete;
    FlushOnExit& operator=(const FlushOnExit&) = delete;

private:
    ListIndex* index_;
};

}  // namespace lineage::fast_path
