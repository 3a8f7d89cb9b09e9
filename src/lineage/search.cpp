#include "lineage/search.hpp"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "capi/api.hpp"
#include "lineage/tree.hpp"
#include "module/functions.hpp"
#include "module/state.hpp"
#include "module/watch.hpp"

namespace lineage::search {

namespace {

using capi::Ref;
using module::state;

// The names of the methods in state.search.methods, in the same order.
constexpr PyObject* Names::*method_names[module::LibrarySearch::method_count] = {
    &Names::find, &Names::find_all, &Names::walk, &Names::bfs, &Names::iter_expressions};

using module::LibraryType;

// A type that searches as the library does but cannot be remembered (it has
// no version tag): attribute access on it goes the general way.
const LibraryType unremembered{};

// What is known of the type when it was last seen to search as the library
// does, and has not changed since; else null.
const LibraryType* known_library_type(PyTypeObject* type) {
    return state.search.types.find(type);
}

// What is known of the node's type when it searches exactly as sqlglot's
// Expression does; else null.
const LibraryType* library_type(PyObject* node) {
    PyTypeObject* type = Py_TYPE(node);
    if (const LibraryType* known = known_library_type(type)) {
        return known;
    }
    module::LibrarySearch& search = state.search;
    for (int i = 0; i < module::LibrarySearch::method_count; ++i) {
        if (!tree::type_attribute_is(type, state.names.*method_names[i], search.methods[i])) {
            return nullptr;
        }
    }
    LibraryType* entry = search.types.store(type);
    if (entry == nullptr) {
        return &unremembered;
    }
    entry->release();  // what an older version of the type resolved
    entry->args = capi::data_descriptor(type, state.names.args).release();
    entry->parent = capi::data_descriptor(type, state.names.parent).release();
    return entry;
}

// node.args
Ref args_of(PyObject* node, const LibraryType& type) {
    return type.args != nullptr ? capi::read_through(type.args, node)
                                : capi::getattr(node, state.names.args);
}

// hasattr(child, "parent"): 1, 0, or -1 with an exception set.
int has_parent(PyObject* child) {
    if (parent_of(child)) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

enum class Walked { done, failed, not_applicable };

// Storage kept between the walks of this thread, so that most walks
// allocate nothing: each walk takes it and gives it back when it ends (a
// walk within a walk finds none, and makes its own).
thread_local std::vector<Ref> spare_queue;

// The walk's queue: nodes waiting to be visited, in order.
class Queue {
public:
    Queue() { nodes_.swap(spare_queue); }
    ~Queue() {
        nodes_.clear();
        if (nodes_.capacity() > spare_queue.capacity()) {
            nodes_.swap(spare_queue);
        }
    }
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;
    bool empty() const { return head_ == nodes_.size(); }
    void push(PyObject* node) { nodes_.push_back(Ref::borrow(node)); }
    Ref pop() { return std::move(nodes_[head_++]); }

private:
    std::vector<Ref> nodes_;
    size_t head_ = 0;
};

// Appends `child` to the queue when it is a node: a value with a `parent`
// attribute. 0, or -1 with an exception set.
int enqueue_if_node(Queue& queue, capi::SignalCheck& signals, PyObject* child) {
    if (signals.tick() < 0) {
        return -1;
    }
    // Strings, flags and None, the leaves of every tree, have no `parent`:
    // their types are the interpreter's and fixed.
    if (PyUnicode_CheckExact(child) || PyBool_Check(child) || child == Py_None) {
        return 0;
    }
    int is_node = has_parent(child);
    if (is_node > 0) {
        queue.push(child);
    }
    return is_node < 0 ? -1 : 0;
}

// Queues the children of a node whose `args` is the dict `args`: its values,
// and the items of each value that is a plain list, read as the list stands
// at each step.
int enqueue_children(Queue& queue, capi::SignalCheck& signals, PyObject* args) {
    Py_ssize_t position = 0;
    PyObject* value = nullptr;
    while (PyDict_Next(args, &position, nullptr, &value)) {
        Ref held = Ref::borrow(value);
        if (!Py_IS_TYPE(value, &PyList_Type)) {
            if (enqueue_if_node(queue, signals, value) < 0) {
                return -1;
            }
            continue;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(value, i));
            if (enqueue_if_node(queue, signals, item.get()) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

// Which classes of a walk the instances of each type are instances of, as
// of the type's version tag: bit i for class i.
using TypeMasks = TypeTable<unsigned int>;

// What one walk looks for: instances of `count` classes, each appended to
// its own list; with `first_only`, only the first instance of the first.
// With `masks`, what the node's type alone decides is kept there.
struct Sought {
    PyObject* const* classes;
    std::vector<Ref>* found;
    int count;
    bool first_only;
    TypeMasks* masks = nullptr;
};

// The classes sought that the node is an instance of, bit by bit: 0, or -1
// with an exception set.
int match_mask(PyObject* node, const Sought& sought, unsigned int* mask) {
    PyTypeObject* type = Py_TYPE(node);
    bool keep = sought.masks != nullptr;
    if (keep) {
        if (const unsigned int* known = sought.masks->find(type)) {
            *mask = *known;
            return 0;
        }
    }
    unsigned int bits = 0;
    for (int i = 0; i < sought.count; ++i) {
        int matches = tree::type_is_instance_of(type, sought.classes[i]);
        if (matches == -2) {
            keep = false;
            matches = tree::is_instance_of(node, sought.classes[i]);
        }
        if (matches < 0) {
            return -1;
        }
        bits |= matches ? 1u << i : 0u;
        if (matches && sought.first_only) {
            break;
        }
    }
    if (keep) {
        if (unsigned int* kept = sought.masks->store(type)) {
            *kept = bits;
        }
    }
    *mask = bits;
    return 0;
}

// 1 when the walk is over (the first was found), 0 to go on, -1 on error.
int collect(PyObject* node, const Sought& sought) {
    unsigned int mask = 0;
    if (match_mask(node, sought, &mask) < 0) {
        return -1;
    }
    for (int i = 0; i < sought.count; ++i) {
        if ((mask & (1u << i)) == 0) {
            continue;
        }
        sought.found[i].push_back(Ref::borrow(node));
        if (sought.first_only) {
            return 1;
        }
    }
    return 0;
}

// Expression.bfs: the node, then its children breadth-first, each collected
// as `sought` says. A node whose type has its own search methods, or whose
// `args` is not a dict, makes the walk not applicable.
Walked breadth_first(PyObject* root, const Sought& sought) {
    Queue queue;
    queue.push(root);
    capi::SignalCheck signals;  // a node among its own descendants never ends
    while (!queue.empty()) {
        if (signals.tick() < 0) {
            return Walked::failed;
        }
        Ref node = queue.pop();
        int collected = collect(node.get(), sought);
        if (collected != 0) {
            return collected < 0 ? Walked::failed : Walked::done;
        }
        const LibraryType* type = library_type(node.get());
        if (type == nullptr) {
            return Walked::not_applicable;
        }
        Ref args = args_of(node.get(), *type);
        if (!args) {
            return Walked::failed;
        }
        if (!PyDict_CheckExact(args.get())) {
            return Walked::not_applicable;
        }
        if (enqueue_children(queue, signals, args.get()) < 0) {
            return Walked::failed;
        }
    }
    return Walked::done;
}

// The walk for `sought` from `node`: 0 when done, 1 when not applicable (no
// exception set), -1 on error.
int walk(PyObject* node, const Sought& sought) {
    if (library_type(node) == nullptr) {
        return 1;
    }
    Walked walked = breadth_first(node, sought);
    return walked == Walked::done ? 0 : walked == Walked::failed ? -1 : 1;
}

thread_local CallSearches* innermost_searches = nullptr;

// A new list of the nodes found, in order.
Ref as_list(const std::vector<Ref>& found) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) {
        return list;
    }
    for (size_t i = 0; i < found.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(found[i].get()));
    }
    return list;
}

}  // namespace

void remember_library_methods(PyObject* exp_module) {
    Ref expression = capi::getattr(exp_module, state.names.Expression);
    if (!expression) {
        PyErr_Clear();
        return;
    }
    module::LibrarySearch& search = state.search;
    search.types.clear([](LibraryType& known) { known.release(); });
    for (int i = 0; i < module::LibrarySearch::method_count; ++i) {
        PyObject* found = PyObject_GetAttr(expression.get(), state.names.*method_names[i]);
        if (found == nullptr) {
            PyErr_Clear();
        }
        Py_XSETREF(search.methods[i], found);
    }
}

Ref args_of(PyObject* node) {
    const LibraryType* type = known_library_type(Py_TYPE(node));
    return type != nullptr ? args_of(node, *type) : capi::getattr(node, state.names.args);
}

Ref attribute_of(PyObject* node, PyObject* name) {
    LibraryType* type = state.search.types.find(Py_TYPE(node));
    if (type == nullptr) {
        return capi::getattr(node, name);
    }
    int at = 0;
    while (at < type->attributes_known && type->attribute_names[at] != name) {
        ++at;
    }
    if (at == type->attributes_known) {
        if (at == LibraryType::attribute_count) {
            return capi::getattr(node, name);
        }
        type->attribute_names[at] = name;
        type->attributes[at] = capi::data_descriptor(Py_TYPE(node), name).release();
        ++type->attributes_known;
    }
    PyObject* descriptor = type->attributes[at];
    return descriptor != nullptr ? capi::read_through(descriptor, node) : capi::getattr(node, name);
}

Ref parent_of(PyObject* node) {
    const LibraryType* type = known_library_type(Py_TYPE(node));
    return type != nullptr && type->parent != nullptr ? capi::read_through(type->parent, node)
                                                      : capi::getattr(node, state.names.parent);
}

Ref nodes_of_class(PyObject* node, PyObject* cls, bool first_only) {
    std::vector<Ref> found;
    return walk(node, {&cls, &found, 1, first_only}) == 0 ? as_list(found) : Ref();
}

CallSearches::CallSearches() : outer_(innermost_searches), kept_(module::functions_are_own()) {
    innermost_searches = this;
}

CallSearches::~CallSearches() {
    innermost_searches = outer_;
}

CallSearches* CallSearches::innermost() {
    CallSearches* searches = innermost_searches;
    return searches != nullptr && searches->kept_ && !searches->walking_ &&
                   searches->since_start_.holds()
               ? searches
               : nullptr;
}

bool CallSearches::read_classes() {
    if (classes_kept_ && classes_read_at_ == module::watch::changes()) {
        return true;  // what `exp` gives is what it gave then
    }
    PyObject* const names[class_count] = {state.names.Subquery, state.names.Column,
                                          state.names.Anonymous};
    classes_kept_ = true;
    classes_read_at_ = module::watch::changes();
    for (int i = 0; i < class_count; ++i) {
        // Only classes that can be read without running interpreter code are
        // sought beyond the one asked for.
        Ref cls = tree::plain_exp_class(names[i]);
        if (!cls) {
            PyErr_Clear();
            classes_kept_ = false;
            return false;
        }
        classes_kept_ = classes_kept_ &&
                        state.exp_classes.find(names[i], classes_read_at_) == cls.get();
        if (cls.get() != classes_[i].get()) {
            classes_[i] = std::move(cls);
            walks_.clear();
            found_.clear();
            masks_.clear();
        }
    }
    return true;
}

Ref CallSearches::found_list(Walk walk, int class_index) {
    // The walk is a copy: making the list may run a collection, and the
    // finalizers it runs may add walks.
    unsigned int count = walk.count[class_index];
    if (count != 0) {
        Ref list = Ref::steal(PyList_New(count));
        if (!list) {
            return list;
        }
        for (unsigned int i = 0; i < count; ++i) {
            PyList_SET_ITEM(list.get(), i, Py_NewRef(found_[walk.first[class_index] + i].get()));
        }
        return list;
    }
    if (!none_found_ || PyList_GET_SIZE(none_found_.get()) != 0) {
        none_found_ = Ref::steal(PyList_New(0));
    }
    return Ref::borrow(none_found_.get());
}

Ref CallSearches::nodes_of_class(PyObject* node, PyObject* cls) {
    if (!read_classes()) {
        return search::nodes_of_class(node, cls, false);
    }
    const Walk* known = walks_.find(node);
    if (known == nullptr) {
        // The lists of one walk, taken from those kept between walks.
        std::vector<Ref> found[class_count];
        PyObject* classes[class_count];
        for (int i = 0; i < class_count; ++i) {
            found[i].swap(spare_found_[i]);
            classes[i] = classes_[i].get();
        }
        walking_ = true;
        int walked_all = walk(node, {classes, found, class_count, false, &masks_});
        walking_ = false;
        Walk walked;
        for (int i = 0; i < class_count; ++i) {
            walked.first[i] = static_cast<unsigned int>(found_.size());
            walked.count[i] = static_cast<unsigned int>(found[i].size());
            if (walked_all == 0) {
                std::move(found[i].begin(), found[i].end(), std::back_inserter(found_));
            }
            found[i].clear();
            found[i].swap(spare_found_[i]);
        }
        if (walked_all != 0) {
            return Ref();
        }
        Walk& kept = walks_[node];
        kept = walked;
        known = &kept;
    }
    for (int i = 0; i < class_count; ++i) {
        if (classes_[i].get() == cls) {
            return found_list(*known, i);
        }
    }
    return search::nodes_of_class(node, cls, false);
}

}  // namespace lineage::search
