#include "lineage/record.hpp"

#include "capi/api.hpp"
#include "lineage/names.hpp"

namespace lineage::record {

Kinds kinds;

namespace {

const char* const key_texts[bound_size] = {
    "column_sort", "column_name", "column_alias", "column_table",
    "column_type", "table_db",    "table_name",   "table_alias",
};
PyObject* keys[bound_size];
PyObject* dash;

}  // namespace

int init() {
    for (int i = 0; i < bound_size; ++i) {
        if (keys[i] == nullptr && (keys[i] = PyUnicode_InternFromString(key_texts[i])) == nullptr) {
            return -1;
        }
    }
    struct {
        PyObject** slot;
        const char* text;
    } constants[] = {
        {&kinds.literal, "literal"},   {&kinds.null, "null"},
        {&kinds.column, "column"},     {&kinds.subquery, "subquery"},
        {&kinds.anonymous, "anonymous"}, {&dash, "-"},
    };
    for (auto& constant : constants) {
        if (*constant.slot == nullptr &&
            (*constant.slot = PyUnicode_InternFromString(constant.text)) == nullptr) {
            return -1;
        }
    }
    return 0;
}

capi::Ref make(PyObject* const* values, int size) {
    capi::Ref record = capi::Ref::steal(PyDict_New());
    if (!record) {
        return record;
    }
    for (int i = 0; i < size; ++i) {
        if (PyDict_SetItem(record.get(), keys[i], values[i]) < 0) {
            return capi::Ref();
        }
    }
    return record;
}

capi::Ref make(const capi::Ref (&values)[bound_size]) {
    PyObject* raw[bound_size];
    for (int i = 0; i < bound_size; ++i) {
        raw[i] = values[i].get();
    }
    return make(raw, bound_size);
}

capi::Ref get(PyObject* record, Key key) {
    if (PyDict_CheckExact(record)) {
        PyObject* value = PyDict_GetItemWithError(record, keys[key]);
        if (value == nullptr && PyErr_Occurred()) {
            return capi::Ref();
        }
        return capi::Ref::borrow(value ? value : Py_None);
    }
    return capi::call_method(record, names.get, {keys[key]});
}

capi::Ref text(PyObject* name, PyObject* alias, PyObject* table, PyObject* type) {
    capi::Ref parts = capi::tuple({name, alias, table, type});
    if (!parts) {
        return parts;
    }
    return capi::Ref::steal(PyUnicode_Join(dash, parts.get()));
}

capi::Ref text_of(PyObject* record) {
    capi::Ref name = get(record, column_name);
    capi::Ref alias = name ? get(record, column_alias) : capi::Ref();
    capi::Ref table = alias ? get(record, column_table) : capi::Ref();
    capi::Ref type = table ? get(record, column_type) : capi::Ref();
    if (!type) {
        return type;
    }
    return text(name.get(), alias.get(), table.get(), type.get());
}

}  // namespace lineage::record
