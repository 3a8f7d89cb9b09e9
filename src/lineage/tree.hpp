// Reading sqlglot expression trees. Classes are read from the module global
// `exp` at each use, so rebinding `exp` changes what the analysis tests for.
#pragma once

#include "capi/ref.hpp"

namespace lineage::tree {

// exp.<class_name>
capi::Ref exp_class(PyObject* class_name);

// isinstance(node, cls), `cls` being exp.<class_name> when that is given:
// 1, 0, or -1 on error.
int is_instance_of(PyObject* node, PyObject* cls, PyObject* class_name = nullptr);

// isinstance(node, exp.<class_name>): 1, 0, or -1 on error.
int is_instance(PyObject* node, PyObject* class_name);

// node.<name>, `name` being one of the interned names.
capi::Ref attribute(PyObject* node, PyObject* name);

// node.args.get(key)
capi::Ref arg(PyObject* node, PyObject* key);

// node.args.get(key, fallback)
capi::Ref arg_or(PyObject* node, PyObject* key, PyObject* fallback);

// node.find(exp.<class_name>): the node itself or its first match breadth-first.
capi::Ref find(PyObject* node, PyObject* class_name);

// list(node.find_all(exp.<class_name>))
capi::Ref find_all(PyObject* node, PyObject* class_name);

}  // namespace lineage::tree
