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

// Whether nothing watched has changed since the moment it was made: no
// function of the module rebound, no class of `exp` replaced. It never holds
// when the namespace is not watched, since a change could then go unseen.
class Unchanged {
public:
    Unchanged() : watched_(state.globals.changes != nullptr), at_(changes()) {}
    bool holds() const { return watched_ && at_ == changes(); }

private:
    bool watched_;
    unsigned long long at_;
};

}  // namespace module::watch
