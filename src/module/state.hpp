// The module's process-wide state, in one place. The module keeps no
// per-module state (its state size is 0): there is one module object per
// process, and everything it holds lives here. The load sequence (module.cpp)
// fills it; afterwards only the caches change (the dictionary watch, what is
// kept while nothing watched changes, and the types seen to search and to
// test instances as sqlglot's own do). Per-thread
// state (the nesting depth and the analyses under way) stays in thread_local
// variables beside its code.
#pragma once

#include <cstdint>
#include <vector>

#include "capi/namespace.hpp"
#include "lineage/checked_types.hpp"
#include "lineage/functions.hpp"
#include "lineage/names.hpp"

namespace module {

#define MODULE_COUNT_FUNCTION(...) +1
constexpr int function_count = 0 LINEAGE_FUNCTIONS(MODULE_COUNT_FUNCTION);
#undef MODULE_COUNT_FUNCTION

// The dictionary watcher (module/watch.cpp), the dictionaries it watches and
// the changes it has counted on them.
struct DictWatch {
    int watcher = -1;                // -2: none could be had
    std::vector<PyObject*> watched;  // borrowed; each leaves when it is freed
    unsigned long long changes = 0;
};

// An answer that holds while no watched dictionary changes.
struct WatchedAnswer {
    unsigned long long answered_at = 0;
    bool answered = false;
    bool answer = false;
};

// A node type that searches exactly as sqlglot's Expression does, with the
// data descriptors its `args` and `parent` resolve to (null where the type
// resolves the name otherwise, and attribute access must go the general way).
// The references are never released at exit, like the rest of the state.
struct LibraryType {
    PyObject* args = nullptr;
    PyObject* parent = nullptr;
    // Other attributes read on nodes of the type, as they were first read:
    // the name (an interned string of Names) and its data descriptor, or
    // null for the general way.
    static constexpr int attribute_count = 4;
    int attributes_known = 0;
    PyObject* attribute_names[attribute_count] = {};
    PyObject* attributes[attribute_count] = {};

    // Releases what the entry holds, and empties it.
    void release() {
        Py_CLEAR(args);
        Py_CLEAR(parent);
        for (int i = 0; i < attributes_known; ++i) {
            Py_CLEAR(attributes[i]);
        }
        attributes_known = 0;
    }
};

// sqlglot's own search methods, for the native search (lineage/search.cpp).
struct LibrarySearch {
    static constexpr int method_count = 5;  // find, find_all, walk, bfs, iter_expressions
    PyObject* methods[method_count] = {};   // Expression.<name>, or null when missing
    // Node types that search as Expression does.
    lineage::TypeTable<LibraryType> types;
};

struct State {
    PyObject* module = nullptr;         // the one module object of the process
    capi::Globals globals;              // its namespace, then the builtins
    int64_t first_interpreter = -1;     // the interpreter that created it; -1: none yet
    lineage::Names names;               // every interned string, and 0 and 1
    PyObject* print = nullptr;          // builtins fetched at load
    PyObject* NotImplementedError = nullptr;
    PyObject* published[function_count] = {};  // the function objects, in publication order
    DictWatch watch;
    WatchedAnswer functions_are_own;  // module/functions.cpp
    // The classes found in the dictionary of the module bound to `exp`,
    // while no watched dictionary has changed (lineage/tree.cpp).
    capi::WatchedCache exp_classes;
    LibrarySearch search;
    // Metaclasses that keep type's own __instancecheck__, and types that
    // answer `__class__` with the instance's own type (lineage/tree.cpp).
    lineage::CheckedTypes plain_metaclasses;
    lineage::CheckedTypes own_class_types;
    // What isinstance gave for the instances of each type seen and the
    // classes of `exp`, when the type and the class alone decide it
    // (lineage/tree.cpp).
    lineage::TypeTable<lineage::ClassAnswers> class_answers;
};
extern State state;

}  // namespace module
