// The native search: sqlglot's Expression.find and find_all, run without
// calling into the interpreter, for nodes whose type searches exactly as the
// library's Expression does.
#pragma once

#include "capi/ref.hpp"

namespace lineage::search {

// Remembers sqlglot's own search methods (Expression.find, find_all, walk,
// bfs and iter_expressions), against which node types are checked. Without
// them no search runs natively. Never fails.
void remember_library_methods(PyObject* exp_module);

// The nodes of class `cls` under `node` (the node itself first, then
// breadth-first), as a new list; with `first_only`, at most the first. An
// empty Ref with no exception set means the native search does not apply to
// this tree, and the node's own method is to be called instead.
capi::Ref nodes_of_class(PyObject* node, PyObject* cls, bool first_only);

}  // namespace lineage::search
