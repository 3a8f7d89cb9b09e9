#include "report/script_mode.hpp"

#include "capi/api.hpp"
#include "report/report.hpp"

namespace report {

namespace {

using capi::Ref;

// What run_script_mode was given, for the steps below.
struct Context {
    const capi::Globals* globals;
    PyObject* print;
    PyObject* test_name;
};
Context context;

// The developer's query file; on systems without drive letters this is a
// plain relative file name that contains backslashes.
const char* const query_path = "D:\\kelvo\\kelvo_parse\\sql3.txt";

int bind(const char* name, PyObject* value) {
    return PyDict_SetItemString(context.globals->dict, name, value);
}

// The value bound to `name` in the module namespace, read back at each use.
Ref global(const char* name) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) {
        return key;
    }
    return context.globals->lookup(key.get());
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

// open(path, encoding="utf-8").read() without backquotes; the file is
// closed after reading, or when it is let go on a failed read.
Ref read_query(PyObject* path) {
    Ref open = global("open");
    if (!open) {
        return open;
    }
    Ref file = call_with_keyword(open.get(), {path}, "encoding", "utf-8");
    if (!file) {
        return file;
    }
    Ref text = Ref::steal(PyObject_CallMethod(file.get(), "read", nullptr));
    if (!text) {
        return text;
    }
    Ref closed = Ref::steal(PyObject_CallMethod(file.get(), "close", nullptr));
    if (!closed) {
        return closed;
    }
    return Ref::steal(PyObject_CallMethod(text.get(), "replace", "ss", "`", ""));
}

// path = "..."; result = test(parse_one(open(path).read(), dialect="mysql"))
int analyse_query_file() {
    Ref path = Ref::steal(PyUnicode_FromString(query_path));
    if (!path || bind("path", path.get()) < 0) {
        return -1;
    }
    path = global("path");
    if (!path) {
        return -1;
    }
    Ref text = read_query(path.get());
    if (!text) {
        return -1;
    }
    Ref parse_one = global("parse_one");
    if (!parse_one) {
        return -1;
    }
    Ref tree = call_with_keyword(parse_one.get(), {text.get()}, "dialect", "mysql");
    if (!tree) {
        return -1;
    }
    Ref result = context.globals->call(context.test_name, {tree.get()});
    if (!result) {
        return -1;
    }
    return bind("result", result.get());
}

// print(pd.DataFrame(result)), then for i in result: print(<line of i>)
int print_result() {
    Ref pd = global("pd");
    if (!pd) {
        return -1;
    }
    Ref records = global("result");
    if (!records || print_frame(context.print, pd.get(), records.get()) < 0) {
        return -1;
    }
    return capi::for_each(records.get(), [](PyObject* record) {
        if (bind("i", record) < 0) {
            return -1;
        }
        Ref current = global("i");
        if (!current) {
            return -1;
        }
        return print_line(context.print, current.get());
    });
}

}  // namespace

int run_script_mode(const capi::Globals& globals, PyObject* print, PyObject* test_name) {
    context = {&globals, print, test_name};
    Ref kelvo_func = global("KelvoFunc");
    if (!kelvo_func || !capi::call(kelvo_func.get(), {})) {
        return -1;
    }
    if (analyse_query_file() < 0) {
        return -1;
    }
    Ref pandas = Ref::steal(PyImport_ImportModule("pandas"));
    if (!pandas || bind("pd", pandas.get()) < 0) {
        return -1;
    }
    return print_result();
}

}  // namespace report
