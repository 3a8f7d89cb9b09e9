#include "lineage/search.hpp"

#include <deque>

#include "capi/api.hpp"
#include "lineage/tree.hpp"
#include "module/state.hpp"

namespace lineage::search {

namespace {

using capi::Ref;
using module::state;

// The names of the methods in state.search.methods, in the same order.
constexpr PyObject* Names::*method_names[module::LibrarySearch::method_count] = {
    &Names::find, &Names::find_all, &Names::walk, &Names::bfs, &Names::iter_expressions};

// True when the node's type searches exactly as sqlglot's Expression does.
bool searches_like_the_library(PyObject* node) {
    PyTypeObject* type = Py_TYPE(node);
    module::LibrarySearch& search = state.search;
    if (search.types.known(type)) {
        return true;
    }
    for (int i = 0; i < module::LibrarySearch::method_count; ++i) {
        if (!tree::type_attribute_is(type, state.names.*method_names[i], search.methods[i])) {
            return false;
        }
    }
    search.types.remember(type);
    return true;
}

enum class Walked { done, failed, not_applicable };

// Appends `child` to the queue when it is a node: a value with a `parent`
// attribute. 0, or -1 with an exception set.
int enqueue_if_node(std::deque<Ref>& queue, capi::SignalCheck& signals, PyObject* child) {
    if (signals.tick() < 0) {
        return -1;
    }
    // Strings, flags and None, the leaves of every tree, have no `parent`:
    // their types are the interpreter's and fixed.
    if (PyUnicode_CheckExact(child) || PyBool_Check(child) || child == Py_None) {
        return 0;
    }
    int is_node = PyObject_HasAttrWithError(child, state.names.parent);
    if (is_node > 0) {
        queue.push_back(Ref::borrow(child));
    }
    return is_node < 0 ? -1 : 0;
}

// Queues the children of a node whose `args` is the dict `args`: its values,
// and the items of each value that is a plain list.
int enqueue_children(std::deque<Ref>& queue, capi::SignalCheck& signals, PyObject* args) {
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
        Ref items = Ref::steal(PyList_GetSlice(value, 0, PyList_GET_SIZE(value)));
        if (!items) {
            return -1;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            if (enqueue_if_node(queue, signals, PyList_GET_ITEM(items.get(), i)) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

// Expression.bfs: the node, then its children breadth-first. Every instance
// of `cls` is appended to `found`; with `first_only` the walk stops at the
// first. A node whose type has its own search methods, or whose `args` is not
// a dict, makes the walk not applicable.
Walked breadth_first(PyObject* root, PyObject* cls, bool first_only, PyObject* found) {
    std::deque<Ref> queue;
    queue.push_back(Ref::borrow(root));
    capi::SignalCheck signals;  // a node among its own descendants never ends
    while (!queue.empty()) {
        if (signals.tick() < 0) {
            return Walked::failed;
        }
        Ref node = std::move(queue.front());
        queue.pop_front();
        int matches = tree::is_instance_of(node.get(), cls);
        if (matches < 0) {
            return Walked::failed;
        }
        if (matches) {
            if (PyList_Append(found, node.get()) < 0) {
                return Walked::failed;
            }
            if (first_only) {
                return Walked::done;
            }
        }
        if (!searches_like_the_library(node.get())) {
            return Walked::not_applicable;
        }
        Ref args = capi::getattr(node.get(), state.names.args);
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

}  // namespace

void remember_library_methods(PyObject* exp_module) {
    Ref expression = capi::getattr(exp_module, state.names.Expression);
    if (!expression) {
        PyErr_Clear();
        return;
    }
    module::LibrarySearch& search = state.search;
    search.types.clear();
    for (int i = 0; i < module::LibrarySearch::method_count; ++i) {
        PyObject* found = PyObject_GetAttr(expression.get(), state.names.*method_names[i]);
        if (found == nullptr) {
            PyErr_Clear();
        }
        Py_XSETREF(search.methods[i], found);
    }
}

Ref nodes_of_class(PyObject* node, PyObject* cls, bool first_only) {
    if (!searches_like_the_library(node)) {
        return Ref();
    }
    Ref found = Ref::steal(PyList_New(0));
    if (!found) {
        return found;
    }
    if (breadth_first(node, cls, first_only, found.get()) != Walked::done) {
        return Ref();
    }
    return found;
}

}  // namespace lineage::search
