#include "lineage/tree.hpp"

#include "capi/api.hpp"
#include "capi/namespace.hpp"
#include "lineage/names.hpp"

namespace lineage::tree {

using capi::Ref;

Ref exp_class(PyObject* class_name) {
    Ref exp = capi::lookup_global(names.exp);
    if (!exp) {
        return exp;
    }
    return capi::getattr(exp.get(), class_name);
}

int is_instance(PyObject* node, PyObject* class_name) {
    Ref cls = exp_class(class_name);
    if (!cls) {
        return -1;
    }
    return PyObject_IsInstance(node, cls.get());
}

Ref arg_or(PyObject* node, PyObject* key, PyObject* fallback) {
    Ref args = capi::getattr(node, names.args);
    if (!args) {
        return args;
    }
    if (PyDict_CheckExact(args.get())) {
        PyObject* value = PyDict_GetItemWithError(args.get(), key);
        if (value == nullptr && PyErr_Occurred()) {
            return Ref();
        }
        return Ref::borrow(value ? value : fallback);
    }
    if (fallback == Py_None) {
        return capi::call_method(args.get(), names.get, {key});
    }
    return capi::call_method(args.get(), names.get, {key, fallback});
}

Ref arg(PyObject* node, PyObject* key) {
    return arg_or(node, key, Py_None);
}

Ref find(PyObject* node, PyObject* class_name) {
    Ref cls = exp_class(class_name);
    if (!cls) {
        return cls;
    }
    return capi::call_method(node, names.find, {cls.get()});
}

Ref find_all(PyObject* node, PyObject* class_name) {
    Ref cls = exp_class(class_name);
    if (!cls) {
        return cls;
    }
    Ref found = capi::call_method(node, names.find_all, {cls.get()});
    if (!found) {
        return found;
    }
    return Ref::steal(PySequence_List(found.get()));
}

}  // namespace lineage::tree
