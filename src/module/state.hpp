// The module's process-wide state, in one place. The module keeps no
// per-module state (its state size is 0): there is one module object per
// process, and everything it holds lives here. The load sequence (module.cpp)
// fills it; afterwards only the caches change (the namespace watch, and the
// types seen to search and to test instances as sqlglot's own do). Per-thread
// state (the nesting depth and the analyses under way) stays in thread_local
// variables beside its code.
#pragma once

#include <cstdint>

#include "capi/namespace.hpp"
#include "lineage/checked_types.hpp"
#include "lineage/functions.hpp"
#include "lineage/names.hpp"

namespace module {

#define MODULE_COUNT_FUNCTION(...) +1
constexpr int function_count = 0 LINEAGE_FUNCTIONS(MODULE_COUNT_FUNCTION);
#undef MODULE_COUNT_FUNCTION

// The dictionary watcher that counts changes to the module namespace, and
// the last answer of functions_are_own() with the count it was worked out at.
struct NamespaceWatch {
    int watcher = -1;                // -2: none could be had
    PyObject* watched = nullptr;     // the namespace being watched (borrowed)
    unsigned long long changes = 0;  // events seen on it
    unsigned long long answered_at = 0;
    bool answered = false;
    bool answer = false;
};

// sqlglot's own search methods, for the native search (lineage/search.cpp).
struct LibrarySearch {
    static constexpr int method_count = 5;  // find, find_all, walk, bfs, iter_expressions
    PyObject* methods[method_count] = {};   // Expression.<name>, or null when missing
    lineage::CheckedTypes types;            // node types that search as Expression does
};

struct State {
    PyObject* module = nullptr;         // the one module object of the process
    capi::Globals globals;              // its namespace, then the builtins
    int64_t first_interpreter = -1;     // the interpreter that created it; -1: none yet
    lineage::Names names;               // every interned string, and 0 and 1
    PyObject* print = nullptr;          // builtins fetched at load
    PyObject* NotImplementedError = nullptr;
    PyObject* published[function_count] = {};  // the function objects, in publication order
    NamespaceWatch watch;
    LibrarySearch search;
    // Metaclasses that keep type's own __instancecheck__, and types that
    // answer `__class__` with the instance's own type (lineage/tree.cpp).
    lineage::CheckedTypes plain_metaclasses;
    lineage::CheckedTypes own_class_types;
};
extern State state;

}  // namespace module
