#include "lineage/tree.hpp"

#include <deque>
#include <unordered_map>

#include "capi/api.hpp"
#include "capi/namespace.hpp"
#include "lineage/names.hpp"

namespace lineage::tree {

using capi::Ref;

int is_instance_of(PyObject* node, PyObject* cls);

namespace {

// One of sqlglot's Expression methods that make up a search, as loaded.
struct LibraryMethod {
    const char* text;
    PyObject* name = nullptr;    // interned
    PyObject* method = nullptr;  // Expression.<name>
};

LibraryMethod library[] = {{"find"}, {"find_all"}, {"walk"}, {"bfs"}, {"iter_expressions"}};

// Types that passed a check, with the version tag they had then: any change
// to a type or its bases gives it a new tag, and so a new check.
class CheckedTypes {
public:
    bool known(PyTypeObject* type) const {
        auto seen = tags_.find(type);
        return seen != tags_.end() && type->tp_version_tag != 0 &&
               seen->second == type->tp_version_tag;
    }
    void remember(PyTypeObject* type) {
        if (PyUnstable_Type_AssignVersionTag(type)) {
            tags_[type] = type->tp_version_tag;
        }
    }
    void clear() { tags_.clear(); }

private:
    std::unordered_map<PyTypeObject*, unsigned int> tags_;
};

// True when `type` resolves the attribute `name` to `expected` itself.
bool type_attribute_is(PyTypeObject* type, PyObject* name, PyObject* expected) {
    if (name == nullptr || expected == nullptr) {
        return false;
    }
    PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name);
    if (found == nullptr) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(found);  // only compared; the type keeps it alive
    return found == expected;
}

CheckedTypes library_types;

// True when the node's type searches exactly as sqlglot's Expression does.
bool searches_like_the_library(PyObject* node) {
    PyTypeObject* type = Py_TYPE(node);
    if (library_types.known(type)) {
        return true;
    }
    for (const LibraryMethod& entry : library) {
        if (!type_attribute_is(type, entry.name, entry.method)) {
            return false;
        }
    }
    library_types.remember(type);
    return true;
}

enum class Walked { done, failed, not_applicable };

// Expression.bfs: the node, then its children breadth-first, where the
// children are the values of `args` (the items of a plain list value) that
// have a `parent` attribute. Every instance of `cls` is appended to `found`;
// with `first_only` the walk stops at the first. A node whose type has its
// own iter_expressions, or whose `args` is not a dict, makes the walk
// not applicable, and the caller falls back to the node's own method.
Walked breadth_first(PyObject* root, PyObject* cls, bool first_only, PyObject* found) {
    std::deque<Ref> queue;
    queue.push_back(Ref::borrow(root));
    capi::SignalCheck signals;  // a node among its own descendants never ends
    while (!queue.empty()) {
        if (signals.tick() < 0) {
            return Walked::failed;
        }
        Ref node = std::move(queue.front());
        queue.pop_front();
        int matches = is_instance_of(node.get(), cls);
        if (matches < 0) {
            return Walked::failed;
        }
        if (matches) {
            if (PyList_Append(found, node.get()) < 0) {
                return Walked::failed;
            }
            if (first_only) {
                return Walked::done;
            }
        }
        if (!searches_like_the_library(node.get())) {
            return Walked::not_applicable;
        }
        Ref args = capi::getattr(node.get(), names.args);
        if (!args) {
            return Walked::failed;
        }
        if (!PyDict_CheckExact(args.get())) {
            return Walked::not_applicable;
        }
        Py_ssize_t position = 0;
        PyObject* value = nullptr;
        auto enqueue_if_node = [&](PyObject* child) {
            if (signals.tick() < 0) {
                return -1;
            }
            // Strings, flags and None, the leaves of every tree, have no
            // `parent`: their types are the interpreter's and fixed.
            if (PyUnicode_CheckExact(child) || PyBool_Check(child) || child == Py_None) {
                return 0;
            }
            int is_node = PyObject_HasAttrWithError(child, names.parent);
            if (is_node > 0) {
                queue.push_back(Ref::borrow(child));
            }
            return is_node;
        };
        while (PyDict_Next(args.get(), &position, nullptr, &value)) {
            Ref held = Ref::borrow(value);
            if (Py_IS_TYPE(value, &PyList_Type)) {
                Ref items = Ref::steal(PyList_GetSlice(value, 0, PyList_GET_SIZE(value)));
                if (!items) {
                    return Walked::failed;
                }
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
                    if (enqueue_if_node(PyList_GET_ITEM(items.get(), i)) < 0) {
                        return Walked::failed;
                    }
                }
            } else if (enqueue_if_node(value) < 0) {
                return Walked::failed;
            }
        }
    }
    return Walked::done;
}

// The nodes of class `cls` under `node` in the library's order, natively when
// the node searches as the library does. An empty Ref with no exception set
// means the native walk does not apply.
Ref search(PyObject* node, PyObject* cls, bool first_only) {
    if (!searches_like_the_library(node)) {
        return Ref();
    }
    Ref found = Ref::steal(PyList_New(0));
    if (!found) {
        return found;
    }
    switch (breadth_first(node, cls, first_only, found.get())) {
        case Walked::done:
            return found;
        case Walked::failed:
            return Ref();
        case Walked::not_applicable:
            break;
    }
    return Ref();
}

}  // namespace

void remember_library_search(PyObject* exp_module) {
    Ref expression = Ref::steal(PyObject_GetAttrString(exp_module, "Expression"));
    if (!expression) {
        PyErr_Clear();
        return;
    }
    library_types.clear();
    for (LibraryMethod& entry : library) {
        if (entry.name == nullptr && (entry.name = PyUnicode_InternFromString(entry.text)) == nullptr) {
            PyErr_Clear();
            return;
        }
        PyObject* found = PyObject_GetAttr(expression.get(), entry.name);
        if (found == nullptr) {
            PyErr_Clear();
        }
        Py_XSETREF(entry.method, found);
    }
}

Ref exp_class(PyObject* class_name) {
    Ref exp = capi::lookup_global(names.exp);
    if (!exp) {
        return exp;
    }
    // A plain module keeps the classes in its dictionary, where attribute
    // access would find them too; anything else goes the general way.
    if (PyModule_CheckExact(exp.get())) {
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(exp.get()), class_name);
        if (found != nullptr) {
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    return capi::getattr(exp.get(), class_name);
}

namespace {

// Metaclasses seen to keep type's own __instancecheck__, for whose classes
// isinstance() is a plain subtype test.
CheckedTypes plain_metaclasses;

bool has_plain_instance_check(PyObject* cls) {
    if (!PyType_Check(cls)) {
        return false;
    }
    PyTypeObject* metaclass = Py_TYPE(cls);
    if (metaclass == &PyType_Type) {
        return true;
    }
    if (plain_metaclasses.known(metaclass)) {
        return true;
    }
    Ref types_own = Ref::steal(
        PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyType_Type), names.instancecheck));
    if (!type_attribute_is(metaclass, names.instancecheck, types_own.get())) {
        PyErr_Clear();
        return false;
    }
    plain_metaclasses.remember(metaclass);
    return true;
}

// Types seen to answer `__class__` with the instance's own type: generic
// attribute access, and object's own `__class__` descriptor first in the MRO
// (a data descriptor, which no instance attribute can hide).
CheckedTypes own_class_types;

bool reports_own_type(PyTypeObject* type) {
    if (own_class_types.known(type)) {
        return true;
    }
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_mro == nullptr) {
        return false;
    }
    PyObject* found = nullptr;
    PyObject* objects = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(type->tp_mro) && found == nullptr; ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(type->tp_mro, i));
        Ref dict = Ref::steal(PyType_GetDict(base));
        found = dict ? PyDict_GetItemWithError(dict.get(), names.class_) : nullptr;
        if (base == &PyBaseObject_Type) {
            objects = found;
        }
    }
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    // Borrowed from dictionaries that the types keep alive.
    if (found == nullptr || found != objects) {
        return false;
    }
    own_class_types.remember(type);
    return true;
}

}  // namespace

int is_instance_of(PyObject* node, PyObject* cls) {
    if (!has_plain_instance_check(cls)) {
        return PyObject_IsInstance(node, cls);
    }
    // type.__instancecheck__ without the call: the node's type, else the
    // class the node claims through __class__.
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (PyObject_TypeCheck(node, type)) {
        return 1;
    }
    if (reports_own_type(Py_TYPE(node))) {
        return 0;
    }
    PyObject* declared = nullptr;
    int found = PyObject_GetOptionalAttr(node, names.class_, &declared);
    if (found <= 0) {
        return found;
    }
    int result = declared != reinterpret_cast<PyObject*>(Py_TYPE(node)) && PyType_Check(declared)
                     ? PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(declared), type)
                     : 0;
    Py_DECREF(declared);
    return result;
}

int is_instance(PyObject* node, PyObject* class_name) {
    Ref cls = exp_class(class_name);
    if (!cls) {
        return -1;
    }
    return is_instance_of(node, cls.get());
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
    Ref found = search(node, cls.get(), true);
    if (found) {
        return Ref::borrow(PyList_GET_SIZE(found.get()) ? PyList_GET_ITEM(found.get(), 0) : Py_None);
    }
    if (PyErr_Occurred()) {
        return found;
    }
    return capi::call_method(node, names.find, {cls.get()});
}

Ref find_all(PyObject* node, PyObject* class_name) {
    Ref cls = exp_class(class_name);
    if (!cls) {
        return cls;
    }
    Ref native = search(node, cls.get(), false);
    if (native || PyErr_Occurred()) {
        return native;
    }
    Ref found = capi::call_method(node, names.find_all, {cls.get()});
    if (!found) {
        return found;
    }
    return Ref::steal(PySequence_List(found.get()));
}

}  // namespace lineage::tree
