// Reading sqlglot expression trees. Classes are read from the module global
// `exp` at each use, so rebinding `exp` changes what the analysis tests for.
#pragma once

#include "capi/ref.hpp"

namespace lineage::tree {

// Remembers sqlglot's own search methods (Expression.find, find_all, walk,
// bfs and iter_expressions) so that searches on nodes that use them can run
// natively, in the library's order. Without them every search calls the
// node's own method. Never fails.
void remember_library_search(PyObject* exp_module);

// exp.<class_name>
capi::Ref exp_class(PyObject* class_name);

// isinstance(node, cls): 1, 0, or -1 on error.
int is_instance_of(PyObject* node, PyObject* cls);

// isinstance(node, exp.<class_name>): 1, 0, or -1 on error.
int is_instance(PyObject* node, PyObject* class_name);

// node.args.get(key)
capi::Ref arg(PyObject* node, PyObject* key);

// node.args.get(key, fallback)
capi::Ref arg_or(PyObject* node, PyObject* key, PyObject* fallback);

// node.find(exp.<class_name>): the node itself or its first match breadth-first.
capi::Ref find(PyObject* node, PyObject* class_name);

// list(node.find_all(exp.<class_name>))
capi::Ref find_all(PyObject* node, PyObject* class_name);

}  // namespace lineage::tree
