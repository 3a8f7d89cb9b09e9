#include "module/watch.hpp"

#include <algorithm>

#include "module/state.hpp"

namespace module::watch {

namespace {

int on_change(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    DictWatch& watch = state.watch;
    ++watch.changes;
    if (event == PyDict_EVENT_DEALLOCATED) {
        // Its address may be reused by a dictionary nobody watches.
        std::erase(watch.watched, dict);
        if (dict == state.globals.dict) {
            state.globals.changes = nullptr;
        }
    }
    return 0;
}

}  // namespace

bool add(PyObject* dict) {
    DictWatch& watch = state.watch;
    if (std::find(watch.watched.begin(), watch.watched.end(), dict) != watch.watched.end()) {
        return true;
    }
    if (watch.watcher == -1 && (watch.watcher = PyDict_AddWatcher(on_change)) < 0) {
        watch.watcher = -2;
    }
    if (watch.watcher < 0 || PyDict_Watch(watch.watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    // What was read from it before went unwatched.
    ++watch.changes;
    watch.watched.push_back(dict);
    return true;
}

}  // namespace module::watch
