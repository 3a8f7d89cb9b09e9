#include "capi/namespace.hpp"

#include "capi/api.hpp"

namespace capi {

Namespace namespace_;

Ref lookup_global(PyObject* name) {
    PyObject* dicts[2] = {namespace_.globals,
                          namespace_.builtins ? PyModule_GetDict(namespace_.builtins) : nullptr};
    for (PyObject* dict : dicts) {
        if (dict == nullptr) {
            continue;
        }
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (found != nullptr) {
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref call_global(PyObject* name, std::initializer_list<PyObject*> args) {
    Ref callable = lookup_global(name);
    if (!callable) {
        return callable;
    }
    return call(callable.get(), args);
}

namespace {

// Changes to the module namespace are counted by a dictionary watcher, so
// that the answer of functions_are_own is worked out again only after one.
int watcher = -1;                  // -2: none could be had
PyObject* watched = nullptr;       // the namespace being watched (borrowed)
unsigned long long changes = 0;    // events seen on it
unsigned long long answered_at = 0;
bool answered = false;
bool answer = false;

int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++changes;
    return 0;
}

// Watches the namespace; false when no watcher could be had.
bool watch_namespace() {
    if (watched == namespace_.globals) {
        return true;
    }
    if (watcher == -1 && (watcher = PyDict_AddWatcher(on_change)) < 0) {
        watcher = -2;
    }
    if (watcher < 0 || PyDict_Watch(watcher, namespace_.globals) < 0) {
        PyErr_Clear();
        return false;
    }
    watched = namespace_.globals;
    answered = false;
    return true;
}

bool all_published_are_bound() {
    for (int i = 0; i < Namespace::published_count; ++i) {
        PyObject* name = namespace_.published_names[i];
        if (name == nullptr) {
            return false;
        }
        // A failed lookup only means "not known to be ours".
        PyObject* bound = PyDict_GetItemWithError(namespace_.globals, name);
        if (bound != namespace_.published[i]) {
            if (bound == nullptr && PyErr_Occurred()) {
                PyErr_Clear();
            }
            return false;
        }
    }
    return true;
}

}  // namespace

bool functions_are_own() {
    if (namespace_.globals == nullptr) {
        return false;
    }
    if (!watch_namespace()) {
        return all_published_are_bound();
    }
    if (!answered || answered_at != changes) {
        answer = all_published_are_bound();
        answered = true;
        answered_at = changes;
    }
    return answer;
}

}  // namespace capi
