#include "lineage/tree.hpp"

#include "capi/api.hpp"
#include "lineage/fast_path.hpp"
#include "lineage/state.hpp"

namespace lineage::tree {

using capi::Ref;

Ref exp_class(PyObject* class_name) {
    Ref found = fast_path::plain_class(class_name);
    if (found || PyErr_Occurred()) {
        return found;
    }
    Ref exp = state.globals.lookup(state.names.exp);
    if (!exp) {
        return exp;
    }
    return capi::getattr(exp.get(), class_name);
}

int is_instance_of(PyObject* node, PyObject* cls, PyObject* class_name) {
    int decided = fast_path::type_decides(node, cls, class_name);
    return decided != -2 ? decided : PyObject_IsInstance(node, cls);
}

int is_instance(PyObject* node, PyObject* class_name) {
    int kept = fast_path::kept_answer(node, class_name);
    if (kept != -2) {
        return kept;
    }
    Ref cls = exp_class(class_name);
    return cls ? is_instance_of(node, cls.get(), class_name) : -1;
}

Ref attribute(PyObject* node, PyObject* name) {
    return fast_path::attribute(node, name);
}

Ref arg_or(PyObject* node, PyObject* key, PyObject* fallback) {
    Ref args = attribute(node, state.names.args);
    if (!args) {
        return args;
    }
    if (PyDict_CheckExact(args.get())) {
        Ref value;
        int present = capi::dict_get(args.get(), key, &value);
        return present != 0 ? std::move(value) : Ref::borrow(fallback);
    }
    if (fallback == Py_None) {
        return capi::call_method(args.get(), state.names.get, {key});
    }
    return capi::call_method(args.get(), state.names.get, {key, fallback});
}

Ref arg(PyObject* node, PyObject* key) {
    return arg_or(node, key, Py_None);
}

Ref find(PyObject* node, PyObject* class_name) {
    Ref cls = exp_class(class_name);
    if (!cls) {
        return cls;
    }
    Ref found = fast_path::nodes_of_class(node, cls.get(), class_name, true);
    if (found) {
        PyObject* first = PyList_GET_SIZE(found.get()) ? PyList_GET_ITEM(found.get(), 0) : Py_None;
        return Ref::borrow(first);
    }
    if (PyErr_Occurred()) {
        return found;
    }
    return capi::call_method(node, state.names.find, {cls.get()});
}

Ref find_all(PyObject* node, PyObject* class_name) {
    Ref cls = exp_class(class_name);
    if (!cls) {
        return cls;
    }
    Ref native = fast_path::Analysis::find_all(node, cls.get());
    if (native || PyErr_Occurred()) {
        return native;
    }
    Ref found = capi::call_method(node, state.names.find_all, {cls.get()});
    if (!found) {
        return found;
    }
    return Ref::steal(PySequence_List(found.get()));
}

}  // namespace lineage::tree
