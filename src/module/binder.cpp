#include "module/binder.hpp"

#include <cstring>

namespace module {

namespace {

// "takes exactly N positional argument(s) (M given)"; M is the number of
// leading parameters that were supplied.
int wrong_count(const Signature& signature, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.name, "exactly", signature.count, signature.count == 1 ? "" : "s",
                 given);
    return -1;
}

Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        return -2;
    }
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        const char* param = signature.params[i];
        if (std::strlen(param) == static_cast<size_t>(size) && std::memcmp(param, text, size) == 0) {
            return i;
        }
    }
    return -1;
}

}  // namespace

int bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound) {
    if (nargs > signature.count) {
        return wrong_count(signature, nargs);
    }
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }
    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.name);
            return -1;
        }
        Py_ssize_t index = parameter_index(signature, keyword);
        if (index == -2) {
            return -1;
        }
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.name, keyword);
            return -1;
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         signature.name, keyword);
            return -1;
        }
        bound[index] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < signature.count; ++i) {
        if (bound[i] == nullptr) {
            return wrong_count(signature, i);
        }
    }
    return 0;
}

}  // namespace module
