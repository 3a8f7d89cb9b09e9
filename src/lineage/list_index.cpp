#include "lineage/list_index.hpp"

#include "capi/api.hpp"
#include "module/functions.hpp"
#include "module/state.hpp"

namespace lineage::list_index {

namespace {

// The innermost `test` call of this thread.
thread_local Analysis* innermost = nullptr;

}  // namespace

// Only exact str objects are counted (TextKeys).
void ListIndex::count(Counts& counts, PyObject* text, Py_ssize_t by) {
    counts[text] += by;
}

ListIndex::ListIndex(PyObject* list) : list_(capi::Ref::borrow(list)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list) && usable_; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (PyUnicode_CheckExact(item)) {
            count(listed_, item, 1);
        } else {
            usable_ = false;
        }
    }
}

ListIndex::~ListIndex() = default;

void ListIndex::reserve(Py_ssize_t count, bool records) {
    listed_.reserve(static_cast<size_t>(count));
    if (records) {
        open_records_.reserve(static_cast<size_t>(count));
    }
}

int ListIndex::contains(PyObject* item) const {
    if (!PyUnicode_CheckExact(item)) {
        return -2;
    }
    const Py_ssize_t* listed = listed_.find(item);
    return listed != nullptr && *listed > 0;
}

int ListIndex::append(PyObject* item) {
    if (PyList_Append(list_.get(), item) < 0) {
        return -1;
    }
    if (PyUnicode_CheckExact(item)) {
        count(listed_, item, 1);
    } else {
        usable_ = false;
    }
    return 0;
}

void ListIndex::remove(PyObject* item) {
    if (removed_.empty()) {
        // At most every entry of the list is removed before the next flush.
        removed_.reserve(static_cast<size_t>(PyList_GET_SIZE(list_.get())));
    }
    count(listed_, item, -1);
    count(removed_, item, 1);
}

// Compacts the list in place: kept entries move forward, removed ones lose
// the list's reference (a str frees without running interpreter code), and
// the length shrinks to the kept count within the list's own storage.
void ListIndex::flush() {
    if (removed_.empty()) {
        return;
    }
    PyObject* list = list_.get();
    Py_ssize_t size = PyList_GET_SIZE(list);
    Py_ssize_t kept = 0;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        Py_ssize_t* pending = PyUnicode_CheckExact(item) ? removed_.find(item) : nullptr;
        if (pending != nullptr && *pending > 0) {
            --*pending;
            capi::Ref::steal(item);  // the list's reference, released here
        } else {
            PyList_SET_ITEM(list, kept++, item);
        }
    }
    for (Py_ssize_t i = kept; i < size; ++i) {
        PyList_SET_ITEM(list, i, nullptr);
    }
    Py_SET_SIZE(list, kept);
    removed_.clear();
}

void ListIndex::remember(PyObject* record, PyObject* text, PyObject* column_table) {
    OpenRecord& kept = open_records_[record];
    if (!kept.text) {
        kept = {capi::Ref::borrow(text), capi::Ref::borrow(column_table)};
    }
}

Analysis::Analysis() : outer_(innermost) {
    innermost = this;
}

Analysis::~Analysis() {
    innermost = outer_;
}

void adopt(PyObject* alias, PyObject* texts, Py_ssize_t expected) {
    Analysis* analysis = innermost;
    if (analysis == nullptr || !analysis->expecting_) {
        return;
    }
    analysis->expecting_ = false;
    if (!analysis->since_expected_.holds() || !module::functions_are_own()) {
        return;
    }
    analysis->alias_ = std::make_unique<ListIndex>(alias);
    analysis->texts_ = std::make_unique<ListIndex>(texts);
    analysis->alias_->reserve(expected, false);
    analysis->texts_->reserve(expected, true);
}

ListIndex* index_of(PyObject* list) {
    Analysis* analysis = innermost;
    if (analysis == nullptr || !analysis->texts_) {
        return nullptr;
    }
    if (!analysis->since_expected_.holds()) {
        // A rebound function may have seen the lists: from now on they are
        // plain lists, for every analysis under way on this thread.
        for (Analysis* each = analysis; each != nullptr; each = each->outer_) {
            if (each->texts_) {
                each->alias_->drop();
                each->texts_->drop();
            }
        }
        return nullptr;
    }
    for (ListIndex* index : {analysis->alias_.get(), analysis->texts_.get()}) {
        if (index->list() == list) {
            return index->usable() ? index : nullptr;
        }
    }
    return nullptr;
}

int contains(ListIndex* index, PyObject* list, PyObject* item) {
    int known = index != nullptr ? index->contains(item) : -2;
    return known != -2 ? known : capi::contains(list, item);
}

int append(ListIndex* index, PyObject* list, PyObject* item) {
    return index != nullptr ? index->append(item) : capi::append(list, item);
}

int remove(ListIndex* index, PyObject* list, PyObject* item) {
    if (index != nullptr && PyUnicode_CheckExact(item)) {
        index->remove(item);
        return 0;
    }
    return capi::call_method(list, module::state.names.remove, {item}) ? 0 : -1;
}

}  // namespace lineage::list_index
