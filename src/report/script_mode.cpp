#include "report/script_mode.hpp"

#include "capi/api.hpp"
#include "capi/namespace.hpp"
#include "lineage/names.hpp"
#include "report/report.hpp"

namespace report {

namespace {

using capi::Ref;

// The developer's query file; on systems without drive letters this is a
// plain relative file name that contains backslashes.
const char* const query_path = "D:\\kelvo\\kelvo_parse\\sql3.txt";

int bind(const char* name, PyObject* value) {
    return PyDict_SetItemString(capi::namespace_.globals, name, value);
}

// The value bound to `name` in the module namespace, read back at each use.
Ref global(const char* name) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    return key ? capi::lookup_global(key.get()) : Ref();
}

// callable(*args, **{keyword: value})
Ref call_with_keyword(PyObject* callable, std::initializer_list<PyObject*> args,
                      const char* keyword, const char* value) {
    Ref kwnames = Ref::steal(Py_BuildValue("(s)", keyword));
    Ref kwvalue = Ref::steal(PyUnicode_FromString(value));
    if (!kwnames || !kwvalue) {
        return Ref();
    }
    PyObject* stack[4];
    size_t count = 0;
    for (PyObject* arg : args) {
        stack[count++] = arg;
    }
    stack[count] = kwvalue.get();
    return Ref::steal(PyObject_Vectorcall(callable, stack, count, kwnames.get()));
}

Ref read_query(PyObject* path) {
    Ref open = global("open");
    Ref file = open ? call_with_keyword(open.get(), {path}, "encoding", "utf-8") : Ref();
    if (!file) {
        return file;
    }
    Ref text = Ref::steal(PyObject_CallMethod(file.get(), "read", nullptr));
    Ref closed = Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr));
    if (!text || !closed) {
        return Ref();
    }
    return Ref::steal(PyObject_CallMethod(text.get(), "replace", "ss", "`", ""));
}

}  // namespace

int run_script_mode() {
    Ref kelvo_func = global("KelvoFunc");
    if (!kelvo_func || !capi::call(kelvo_func.get(), {})) {
        return -1;
    }
    Ref path = Ref::steal(PyUnicode_FromString(query_path));
    if (!path || bind("path", path.get()) < 0) {
        return -1;
    }
    path = global("path");
    Ref text = path ? read_query(path.get()) : Ref();
    Ref parse_one = text ? global("parse_one") : Ref();
    if (!parse_one) {
        return -1;
    }
    Ref tree = call_with_keyword(parse_one.get(), {text.get()}, "dialect", "mysql");
    Ref result = tree ? capi::call_global(lineage::names.test, {tree.get()}) : Ref();
    if (!result || bind("result", result.get()) < 0) {
        return -1;
    }
    Ref pandas = Ref::steal(PyImport_ImportModule("pandas"));
    if (!pandas || bind("pd", pandas.get()) < 0) {
        return -1;
    }
    Ref pd = global("pd");
    Ref records = pd ? global("result") : Ref();
    if (!records || print_frame(lineage::builtins.print, pd.get(), records.get()) < 0) {
        return -1;
    }
    return capi::for_each(records.get(), [](PyObject* record) {
        if (bind("i", record) < 0) {
            return -1;
        }
        Ref current = global("i");
        return current ? print_line(lineage::builtins.print, current.get()) : -1;
    });
}

}  // namespace report
