#include "capi/api.hpp"

#include <cstring>

#include <frameobject.h>

namespace capi {

Ref getattr(PyObject* object, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(object, name));
}

int type_lookup(PyTypeObject* type, PyObject* name, Ref* found, PyTypeObject** owner) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {
        return 0;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = Ref::steal(PyType_GetDict(base));
        if (!dict) {
            return -1;
        }
        int present = dict_get(dict.get(), name, found);
        if (present != 0) {
            if (owner != nullptr) {
                *owner = base;
            }
            return present;
        }
    }
    return 0;
}

Ref data_descriptor(PyTypeObject* type, PyObject* name) {
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return Ref();
    }
    Ref found;
    if (type_lookup(type, name, &found) <= 0) {
        PyErr_Clear();
        return Ref();
    }
    PyTypeObject* kind = Py_TYPE(found.get());
    if (kind->tp_descr_get == nullptr || kind->tp_descr_set == nullptr) {
        return Ref();
    }
    return found;
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return Ref::steal(PyObject_Vectorcall(
        callable, const_cast<PyObject* const*>(args.begin()), args.size(), nullptr));
}

Ref call_method(PyObject* object, PyObject* name, std::initializer_list<PyObject*> args) {
    // Vectorcall methods want the receiver in front of the arguments.
    PyObject* stack[8];
    if (args.size() >= sizeof(stack) / sizeof(stack[0])) {
        PyErr_SetString(PyExc_SystemError, "call_method: too many arguments");
        return Ref();
    }
    Py_ssize_t count = 0;
    stack[count++] = object;
    for (PyObject* arg : args) {
        stack[count++] = arg;
    }
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

int truthy(PyObject* object) {
    return PyObject_IsTrue(object);
}

int equals(PyObject* left, PyObject* right) {
    if (left != right && PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
        // str == str, as the str type compares: same length, kind and text.
        Py_ssize_t length = PyUnicode_GET_LENGTH(left);
        int kind = PyUnicode_KIND(left);
        return length == PyUnicode_GET_LENGTH(right) && kind == PyUnicode_KIND(right) &&
               std::memcmp(PyUnicode_DATA(left), PyUnicode_DATA(right),
                           static_cast<size_t>(length) * kind) == 0;
    }
    return PyObject_RichCompareBool(left, right, Py_EQ);
}

int contains(PyObject* container, PyObject* item) {
    return PySequence_Contains(container, item);
}

int append(PyObject* container, PyObject* item) {
    if (PyList_CheckExact(container)) {
        return PyList_Append(container, item);
    }
    return Ref::steal(PyObject_CallMethod(container, "append", "O", item)) ? 0 : -1;
}

Ref add(PyObject* left, PyObject* right) {
    return Ref::steal(PyNumber_Add(left, right));
}

namespace {

void too_many_values(Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

void need_more_values(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
}

}  // namespace

int unpack(PyObject* object, Py_ssize_t count, Ref* out) {
    if (PyTuple_CheckExact(object) || PyList_CheckExact(object)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(object);
        if (size != count) {
            size > count ? too_many_values(count) : need_more_values(size);
            return -1;
        }
        PyObject** items = PySequence_Fast_ITEMS(object);
        for (Py_ssize_t i = 0; i < count; ++i) {
            out[i] = Ref::borrow(items[i]);
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        out[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!out[i]) {
            if (!PyErr_Occurred()) {
                need_more_values(i);
            }
            return -1;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) {
        too_many_values(count);
        return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!result) {
        return result;
    }
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        PyTuple_SET_ITEM(result.get(), i++, Py_NewRef(item));
    }
    return result;
}

namespace {

// A frame of an empty code object `function` in `file`, for a traceback entry.
Ref traceback_frame(const char* file, const char* function, int line, PyObject* globals) {
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, line)));
    if (!code) {
        return code;
    }
    Ref own_globals;
    if (globals == nullptr) {
        own_globals = Ref::steal(PyDict_New());
        if (!own_globals) {
            return own_globals;
        }
        globals = own_globals.get();
    }
    return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
}

}  // namespace

void add_traceback(const char* file, const char* function, int line, PyObject* globals) {
    // The frame is made with the exception put aside, so that a failure here
    // cannot replace it; the entry is simply not added then.
    PyObject* pending = PyErr_GetRaisedException();
    Ref frame = traceback_frame(file, function, line, globals);
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

}  // namespace capi
