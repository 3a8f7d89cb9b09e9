#include "lineage/record.hpp"

#include "capi/api.hpp"
#include "lineage/fast_path.hpp"
#include "lineage/state.hpp"

namespace lineage::record {

namespace {

using capi::Ref;

const Names& names() {
    return state.names;
}

PyObject* key_name(Key key) {
    return names().record_keys[key];
}

// True when `record` is a plain dict holding exactly the first `size` keys,
// in key order.
bool has_keys(PyObject* record, int size) {
    if (!PyDict_CheckExact(record) || PyDict_GET_SIZE(record) != size) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    for (int i = 0; PyDict_Next(record, &position, &key, nullptr); ++i) {
        if (key != key_name(static_cast<Key>(i))) {
            return false;
        }
    }
    return true;
}

}  // namespace

Ref make(PyObject* const* values, int size) {
    Ref record = Ref::steal(PyDict_New());
    if (!record) {
        return record;
    }
    for (int i = 0; i < size; ++i) {
        if (PyDict_SetItem(record.get(), key_name(static_cast<Key>(i)), values[i]) < 0) {
            return Ref();
        }
    }
    return record;
}

Ref make(const Ref (&values)[bound_size]) {
    PyObject* raw[bound_size];
    for (int i = 0; i < bound_size; ++i) {
        raw[i] = values[i].get();
    }
    return make(raw, bound_size);
}

Ref copy_with(PyObject* record, int size, std::initializer_list<std::pair<Key, PyObject*>> changes,
              bool own) {
    bool shaped = own ? PyDict_CheckExact(record) && PyDict_GET_SIZE(record) == size
                      : has_keys(record, size);
    if (!shaped) {
        return Ref();
    }
    Ref copy = Ref::steal(PyDict_Copy(record));
    if (!copy) {
        return copy;
    }
    for (const auto& [changed, value] : changes) {
        if (PyDict_SetItem(copy.get(), key_name(changed), value) < 0) {
            return Ref();
        }
    }
    return copy;
}

int complete(PyObject* record, PyObject* db, PyObject* name, PyObject* alias) {
    const std::pair<Key, PyObject*> table_side[] = {{table_db, db}, {table_name, name},
                                                    {table_alias, alias}};
    for (const auto& [key, value] : table_side) {
        if (PyDict_SetItem(record, key_name(key), value) < 0) {
            return -1;
        }
    }
    return 0;
}

Ref get(PyObject* record, Key key) {
    if (!PyDict_CheckExact(record)) {
        return capi::call_method(record, names().get, {key_name(key)});
    }
    Ref value;
    if (capi::dict_get(record, key_name(key), &value) < 0) {
        return value;
    }
    return value ? std::move(value) : Ref::borrow(Py_None);
}

Ref text(PyObject* name, PyObject* alias, PyObject* table, PyObject* type) {
    Ref parts = capi::tuple({name, alias, table, type});
    if (!parts) {
        return parts;
    }
    return Ref::steal(PyUnicode_Join(names().dash, parts.get()));
}

Ref text_of(PyObject* record) {
    Ref values[4];
    const Key keys[4] = {column_name, column_alias, column_table, column_type};
    for (int i = 0; i < 4; ++i) {
        values[i] = get(record, keys[i]);
        if (!values[i]) {
            return Ref();
        }
    }
    return text(values[0].get(), values[1].get(), values[2].get(), values[3].get());
}

int number_output(PyObject* alias, fast_path::ListIndex* alias_index, Ref& sort,
                  PyObject* output_name) {
    int listed = fast_path::contains(alias_index, alias, output_name);
    if (listed != 0) {
        return listed < 0 ? -1 : 0;
    }
    if (fast_path::append(alias_index, alias, output_name) < 0) {
        return -1;
    }
    sort = capi::add(sort.get(), names().one);
    return sort ? 0 : -1;
}

}  // namespace lineage::record
