#include "lineage/tree.hpp"

#include "capi/api.hpp"
#include "lineage/search.hpp"
#include "module/state.hpp"
#include "module/watch.hpp"

namespace lineage::tree {

using capi::Ref;
using module::state;

bool type_attribute_is(PyTypeObject* type, PyObject* name, PyObject* expected) {
    if (name == nullptr || expected == nullptr) {
        return false;
    }
    Ref found = capi::getattr(reinterpret_cast<PyObject*>(type), name);
    if (!found) {
        PyErr_Clear();
        return false;
    }
    return found.get() == expected;
}

Ref plain_exp_class(PyObject* class_name) {
    // Kept only while `exp` and its dictionary are watched: unchanged since.
    if (PyObject* kept = state.exp_classes.find(class_name, module::watch::changes())) {
        return Ref::borrow(kept);
    }
    Ref exp = state.globals.lookup(state.names.exp);
    if (!exp || !PyModule_CheckExact(exp.get())) {
        return Ref();
    }
    PyObject* classes = PyModule_GetDict(exp.get());
    // While the namespace and that dictionary are watched, a class found is
    // kept until either changes (rebinding `exp` changes the namespace).
    bool watched = state.globals.changes != nullptr && module::watch::add(classes);
    Ref found;
    if (capi::dict_get(classes, class_name, &found) > 0 && watched) {
        state.exp_classes.keep(class_name, found.get(), module::watch::changes());
    }
    return found;
}

Ref exp_class(PyObject* class_name) {
    // A plain module keeps the classes in its dictionary, where attribute
    // access would find them too; anything else goes the general way.
    Ref found = plain_exp_class(class_name);
    if (found) {
        return found;
    }
    PyErr_Clear();
    Ref exp = state.globals.lookup(state.names.exp);
    if (!exp) {
        return exp;
    }
    return capi::getattr(exp.get(), class_name);
}

namespace {

// True when isinstance(node, cls) is a plain subtype test: `cls` is a class
// whose metaclass keeps type's own __instancecheck__.
bool has_plain_instance_check(PyObject* cls) {
    if (!PyType_Check(cls)) {
        return false;
    }
    PyTypeObject* metaclass = Py_TYPE(cls);
    if (metaclass == &PyType_Type || state.plain_metaclasses.known(metaclass)) {
        return true;
    }
    Ref types_own =
        capi::getattr(reinterpret_cast<PyObject*>(&PyType_Type), state.names.instancecheck);
    if (!type_attribute_is(metaclass, state.names.instancecheck, types_own.get())) {
        PyErr_Clear();
        return false;
    }
    state.plain_metaclasses.remember(metaclass);
    return true;
}

// The first `__class__` in the dictionaries of the type's MRO, and whether it
// is object's own. 0, or -1 with an exception set.
int first_class_attribute(PyTypeObject* type, bool* objects_own) {
    Ref found;
    PyTypeObject* owner = nullptr;
    int present = capi::type_lookup(type, state.names.class_, &found, &owner);
    *objects_own = present > 0 && owner == &PyBaseObject_Type;
    return present < 0 ? -1 : 0;
}

// True when the type answers `__class__` with the instance's own type:
// generic attribute access, and object's own `__class__` descriptor first in
// the MRO (a data descriptor, which no instance attribute can hide).
bool reports_own_type(PyTypeObject* type) {
    if (state.own_class_types.known(type)) {
        return true;
    }
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_mro == nullptr) {
        return false;
    }
    bool objects_own = false;
    if (first_class_attribute(type, &objects_own) < 0) {
        PyErr_Clear();
        return false;
    }
    if (!objects_own) {
        return false;
    }
    state.own_class_types.remember(type);
    return true;
}

// type_is_instance_of for a class whose instance check is known to be plain.
int plain_type_is_instance_of(PyTypeObject* type, PyObject* cls) {
    if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) {
        return 1;
    }
    return reports_own_type(type) ? 0 : -2;
}

// The answer kept for the instances of `type` and exp.<class_name>, or -1.
int kept_answer(PyTypeObject* type, PyObject* class_name) {
    const ClassAnswers* known = state.class_answers.find(type);
    if (known == nullptr || known->answered_at != module::watch::changes()) {
        return -1;
    }
    return known->find(class_name);
}

// Keeps the answer for the instances of `type` and exp.<class_name>.
void keep_answer(PyTypeObject* type, PyObject* class_name, bool answer) {
    if (ClassAnswers* answers = state.class_answers.store(type)) {
        if (answers->tag != type->tp_version_tag ||
            answers->answered_at != module::watch::changes()) {
            *answers = ClassAnswers{};  // given by an older type, or other classes
            answers->tag = type->tp_version_tag;
            answers->answered_at = module::watch::changes();
        }
        answers->keep(class_name, answer);
    }
}

}  // namespace

int is_instance_of(PyObject* node, PyObject* cls) {
    if (!has_plain_instance_check(cls)) {
        return PyObject_IsInstance(node, cls);
    }
    // type.__instancecheck__ without the call: the node's type, else the
    // class the node claims through __class__.
    int by_type = plain_type_is_instance_of(Py_TYPE(node), cls);
    if (by_type >= 0) {
        return by_type;
    }
    PyObject* raw_declared = nullptr;
    int found = PyObject_GetOptionalAttr(node, state.names.class_, &raw_declared);
    Ref declared = Ref::steal(raw_declared);
    if (found <= 0) {
        return found;
    }
    PyObject* claimed = declared.get();
    if (claimed == reinterpret_cast<PyObject*>(Py_TYPE(node)) || !PyType_Check(claimed)) {
        return 0;
    }
    return PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(claimed),
                            reinterpret_cast<PyTypeObject*>(cls));
}

int type_is_instance_of(PyTypeObject* type, PyObject* cls) {
    return has_plain_instance_check(cls) ? plain_type_is_instance_of(type, cls) : -2;
}

int is_instance(PyObject* node, PyObject* class_name) {
    PyTypeObject* type = Py_TYPE(node);
    int kept = kept_answer(type, class_name);
    if (kept >= 0) {
        return kept;
    }
    Ref cls = exp_class(class_name);
    if (!cls) {
        return -1;
    }
    // The answer holds for the type while the class stays the one `exp`
    // gives: a class kept from the watched dictionaries, whose metaclass is
    // type itself (and so can never answer otherwise).
    bool watched = state.exp_classes.find(class_name, module::watch::changes()) == cls.get();
    if (watched && Py_IS_TYPE(cls.get(), &PyType_Type)) {
        int answer = type_is_instance_of(type, cls.get());
        if (answer >= 0) {
            keep_answer(type, class_name, answer != 0);
            return answer;
        }
    }
    return is_instance_of(node, cls.get());
}

Ref arg_or(PyObject* node, PyObject* key, PyObject* fallback) {
    Ref args = search::args_of(node);
    if (!args) {
        return args;
    }
    if (PyDict_CheckExact(args.get())) {
        Ref value;
        int present = capi::dict_get(args.get(), key, &value);
        if (present != 0) {
            return value;
        }
        return Ref::borrow(fallback);
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
    Ref found = search::nodes_of_class(node, cls.get(), true);
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
    search::CallSearches* searches = search::CallSearches::innermost();
    Ref native = searches != nullptr ? searches->nodes_of_class(node, cls.get())
                                     : search::nodes_of_class(node, cls.get(), false);
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
