// Reading sqlglot expression trees. Classes are read from the module global
// `exp` at each use, so rebinding `exp` changes what the analysis tests for.
#pragma once

#include "capi/ref.hpp"

namespace lineage::tree {

// exp.<class_name>
capi::Ref exp_class(PyObject* class_name);

// exp.<class_name> when `exp` is a plain module whose dictionary holds the
// class (reading it runs no interpreter code); else an empty Ref, perhaps
// with an exception set.
capi::Ref plain_exp_class(PyObject* class_name);

// isinstance(node, cls): 1, 0, or -1 on error.
int is_instance_of(PyObject* node, PyObject* cls);

// isinstance(x, cls) for every instance x of `type`, when the type alone
// decides it: 1 or 0; -2 when it depends on the instance, or cannot be told
// without running interpreter code.
int type_is_instance_of(PyTypeObject* type, PyObject* cls);

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

// True when `type` resolves the attribute `name` to `expected` itself (false
// when either is null, or on any error).
bool type_attribute_is(PyTypeObject* type, PyObject* name, PyObject* expected);

}  // namespace lineage::tree
