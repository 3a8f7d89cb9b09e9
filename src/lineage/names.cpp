#include "lineage/names.hpp"

#include "capi/api.hpp"
#include "lineage/record.hpp"

namespace lineage {

Names names;
Builtins builtins;

namespace {

struct Interned {
    PyObject** slot;
    const char* text;
};

const Interned interned[] = {
    {&names.args, "args"},
    {&names.get, "get"},
    {&names.find, "find"},
    {&names.find_all, "find_all"},
    {&names.expressions, "expressions"},
    {&names.parent, "parent"},
    {&names.alias, "alias"},
    {&names.alias_or_name, "alias_or_name"},
    {&names.name, "name"},
    {&names.table, "table"},
    {&names.db, "db"},
    {&names.this_, "this"},
    {&names.from, "from"},
    {&names.with, "with"},
    {&names.joins, "joins"},
    {&names.remove, "remove"},
    {&names.instancecheck, "__instancecheck__"},
    {&names.class_, "__class__"},
    {&names.Select, "Select"},
    {&names.Column, "Column"},
    {&names.Table, "Table"},
    {&names.Alias, "Alias"},
    {&names.Subquery, "Subquery"},
    {&names.CTE, "CTE"},
    {&names.Literal, "Literal"},
    {&names.Null, "Null"},
    {&names.Anonymous, "Anonymous"},
    {&names.exp, "exp"},
    {&names.get_column_parent, "get_column_parent"},
    {&names.find_column, "find_column"},
    {&names.get_columns, "get_columns"},
    {&names.match_column, "match_column"},
    {&names.get_tables, "get_tables"},
    {&names.test, "test"},
    {&names.empty, ""},
    {&names.dot, "."},
    {&names.anonymous, "anonymous"},
    {&names.not_supported, "暂不支持"},
};

bool made = false;

}  // namespace

int init_names() {
    if (made) {
        return 0;
    }
    for (const Interned& entry : interned) {
        if (*entry.slot == nullptr) {
            *entry.slot = PyUnicode_InternFromString(entry.text);
            if (*entry.slot == nullptr) {
                return -1;
            }
        }
    }
    if (names.zero == nullptr && (names.zero = PyLong_FromLong(0)) == nullptr) {
        return -1;
    }
    if (names.one == nullptr && (names.one = PyLong_FromLong(1)) == nullptr) {
        return -1;
    }
    if (record::init() < 0) {
        return -1;
    }
    made = true;
    return 0;
}

namespace {

// True when exp.Select.arg_types holds `key`; a sqlglot without them reads as
// one that does not.
int select_declares(PyObject* exp_module, const char* key) {
    capi::Ref select = capi::Ref::steal(PyObject_GetAttrString(exp_module, "Select"));
    capi::Ref arg_types =
        select ? capi::Ref::steal(PyObject_GetAttrString(select.get(), "arg_types")) : capi::Ref();
    if (!arg_types || !PyDict_Check(arg_types.get())) {
        PyErr_Clear();
        return 0;
    }
    return PyDict_ContainsString(arg_types.get(), key);
}

int set_key(PyObject** slot, const char* text) {
    PyObject* key = PyUnicode_InternFromString(text);
    if (key == nullptr) {
        return -1;
    }
    Py_XSETREF(*slot, key);
    return 0;
}

}  // namespace

int choose_clause_keys(PyObject* exp_module) {
    int trailing = select_declares(exp_module, "from_");
    if (trailing < 0) {
        return -1;
    }
    if (set_key(&names.from, trailing ? "from_" : "from") < 0) {
        return -1;
    }
    return set_key(&names.with, trailing ? "with_" : "with");
}

int init_builtins(PyObject* builtins_module) {
    PyObject* dict = PyModule_GetDict(builtins_module);
    const char* wanted[] = {"print", "NotImplementedError"};
    PyObject** slots[] = {&builtins.print, &builtins.NotImplementedError};
    for (int i = 0; i < 2; ++i) {
        capi::Ref key = capi::Ref::steal(PyUnicode_InternFromString(wanted[i]));
        if (!key) {
            return -1;
        }
        PyObject* found = PyDict_GetItemWithError(dict, key.get());
        if (found == nullptr) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
            }
            return -1;
        }
        Py_XSETREF(*slots[i], Py_NewRef(found));
    }
    return 0;
}

PyObject* raise_not_supported(PyObject* node) {
    capi::Ref error = capi::call(builtins.NotImplementedError, {names.not_supported, node});
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
    return nullptr;
}

}  // namespace lineage
