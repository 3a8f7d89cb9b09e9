#include "lineage/names.hpp"

#include "capi/api.hpp"
#include "lineage/state.hpp"

namespace lineage {

namespace {

struct Interned {
    PyObject* Names::*field;
    const char* text;
};

#define LINEAGE_NAME_ENTRY(field, text) {&Names::field, text},
#define LINEAGE_FUNCTION_NAME_ENTRY(function, ...) {&Names::function, #function},
const Interned interned[] = {
    LINEAGE_NAMES(LINEAGE_NAME_ENTRY)
    LINEAGE_FUNCTIONS(LINEAGE_FUNCTION_NAME_ENTRY)
};
#undef LINEAGE_NAME_ENTRY
#undef LINEAGE_FUNCTION_NAME_ENTRY

int intern(PyObject** slot, const char* text) {
    if (*slot == nullptr) {
        *slot = PyUnicode_InternFromString(text);
    }
    return *slot == nullptr ? -1 : 0;
}

int make_integer(PyObject** slot, long value) {
    if (*slot == nullptr) {
        *slot = PyLong_FromLong(value);
    }
    return *slot == nullptr ? -1 : 0;
}

// True when exp.Select.arg_types holds `key`; a sqlglot without them reads as
// one that does not.
int select_declares(const Names& names, PyObject* exp_module, const char* key) {
    capi::Ref select = capi::getattr(exp_module, names.Select);
    if (!select) {
        PyErr_Clear();
        return 0;
    }
    capi::Ref arg_types = capi::Ref::steal(PyObject_GetAttrString(select.get(), "arg_types"));
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

int make_names(Names& names) {
    for (const Interned& entry : interned) {
        if (intern(&(names.*entry.field), entry.text) < 0) {
            return -1;
        }
    }
    for (int key = 0; key < record::bound_size; ++key) {
        if (intern(&names.record_keys[key], record::key_texts[key]) < 0) {
            return -1;
        }
    }
    if (make_integer(&names.zero, 0) < 0) {
        return -1;
    }
    return make_integer(&names.one, 1);
}

int choose_clause_keys(Names& names, PyObject* exp_module) {
    int trailing = select_declares(names, exp_module, "from_");
    if (trailing < 0) {
        return -1;
    }
    if (set_key(&names.from, trailing ? "from_" : "from") < 0) {
        return -1;
    }
    return set_key(&names.with, trailing ? "with_" : "with");
}

PyObject* raise_not_supported(PyObject* node) {
    capi::Ref error = capi::call(state.NotImplementedError, {state.names.not_supported, node});
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
    return nullptr;
}

}  // namespace lineage
