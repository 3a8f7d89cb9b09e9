// Changes to the dictionaries the analysis keeps answers about: the module
// namespace (which object each name is bound to) and the dictionary of the
// module bound to `exp` (its classes). One dictionary watcher counts every
// change to any watched dictionary; an answer worked out at one count holds
// while the count stays the same.
#pragma once

#include "module/state.hpp"

namespace module::watch {

// Watches `dict` (the module namespace, or a module's dictionary). False
// when no watcher could be had; nothing is then known to stay unchanged.
bool add(PyObject* dict);

// The changes seen so far on all watched dictionaries.
inline unsigned long long changes() {
    return state.watch.changes;
}

}  // namespace module::watch
