// Constant-time membership for the output-name list `alias` and the
// pending-text list `texts` of one analysis.
//
// find_column asks whether a key or a text is listed once per node, and
// match_column asks and removes once per record, so with plain lists a select
// of n columns costs n^2. While the module's own functions are in place, the
// two lists that get_columns creates for a `test` call pass only through the
// module's code until that call ends; for those two lists a count of every
// entry is kept beside the list. The lists themselves stay exactly what they
// would be without it: appends go to the list at once, and the removals of one
// match_column call are applied to it in one pass before that call returns.
//
// Any list the module does not know to be its own (one a caller built, or any
// list once a function has been rebound) is used as a plain list.
#pragma once

#include <memory>
#include <utility>

#include "capi/ref.hpp"
#include "lineage/object_table.hpp"
#include "module/watch.hpp"

namespace lineage::list_index {

// Counts of the entries of one list of strings.
class ListIndex {
public:
    // Indexes `list` as it stands; an entry that is not a str makes the
    // index unusable, and the list is then used as it is.
    explicit ListIndex(PyObject* list);
    ~ListIndex();
    ListIndex(const ListIndex&) = delete;
    ListIndex& operator=(const ListIndex&) = delete;

    // Makes room for `count` entries, and with `records` for as many open
    // records, so that adding them moves none.
    void reserve(Py_ssize_t count, bool records);

    PyObject* list() const { return list_.get(); }
    bool usable() const { return usable_; }
    void drop() { usable_ = false; }

    // item in list: 1 or 0; -2 when the index cannot tell (not a str).
    int contains(PyObject* item) const;
    // list.append(item), counted. 0, or -1 with an exception set.
    int append(PyObject* item);
    // Takes one `item` off the count; the list loses its first equal entry
    // at the next flush. The item must be listed.
    void remove(PyObject* item);
    // Deletes from the list the first entries equal to each removed item, as
    // many as were removed, in one pass. Cannot fail.
    void flush();

    // What is known of an open record made while this index was in use: a
    // plain dict of the five open keys in key order, which nobody else has
    // seen and which is never changed, so its text and qualifier are worked
    // out once.
    struct OpenRecord {
        capi::Ref text;
        capi::Ref column_table;
    };
    void remember(PyObject* record, PyObject* text, PyObject* column_table);
    // What was remembered of `record`, or null.
    const OpenRecord* known(PyObject* record) const {
        const OpenRecord* open = open_records_.find(record);
        return open != nullptr && open->text ? open : nullptr;
    }
    // The record is open no more.
    void forget(PyObject* record) {
        if (OpenRecord* open = open_records_.find(record)) {
            *open = OpenRecord{};
        }
    }

private:
    using Counts = ObjectTable<Py_ssize_t, TextKeys>;

    static void count(Counts& counts, PyObject* text, Py_ssize_t by);

    capi::Ref list_;
    bool usable_ = true;
    Counts listed_;   // entries of the list, less the removed ones
    Counts removed_;  // removals not yet applied to the list
    ObjectTable<OpenRecord, IdentityKeys> open_records_;
};

// One `test` call, on this thread's stack of analyses. Indexes the lists of
// the get_columns call that `test` makes next, when the module's own
// functions are in place then.
class Analysis {
public:
    Analysis();
    ~Analysis();
    Analysis(const Analysis&) = delete;
    Analysis& operator=(const Analysis&) = delete;

    // Called right before `test` calls get_columns: that call's new lists are
    // taken as this analysis' own, unless something is rebound before they
    // are made (a function called in get_columns' place sees them).
    void expect_lists() {
        expecting_ = true;
        since_expected_ = module::watch::Unchanged();
    }

private:
    friend void adopt(PyObject* alias, PyObject* texts, Py_ssize_t expected);
    friend ListIndex* index_of(PyObject* list);

    Analysis* outer_;
    bool expecting_ = false;
    // The lists are used through their indexes only while nothing is
    // rebound: a function rebound even for a moment may have seen them.
    module::watch::Unchanged since_expected_;
    std::unique_ptr<ListIndex> alias_;
    std::unique_ptr<ListIndex> texts_;
};

// get_columns, on the lists it has just created, for about `expected`
// entries each (the length of the select list).
void adopt(PyObject* alias, PyObject* texts, Py_ssize_t expected);

// The index kept beside `list`, or null when the list is to be used as a
// plain list.
ListIndex* index_of(PyObject* list);

// The list operations, through the index when there is one.
int contains(ListIndex* index, PyObject* list, PyObject* item);
int append(ListIndex* index, PyObject* list, PyObject* item);
// list.remove(item), or its deferred form; the item must be listed.
int remove(ListIndex* index, PyObject* list, PyObject* item);

// Flushes an index when it goes out of scope, on success and on failure.
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

}  // namespace lineage::list_index
