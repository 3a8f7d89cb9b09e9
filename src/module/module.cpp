// The module definition and its load sequence.
//
// The module is process-wide: one module object, tied to the first interpreter
// that creates it. The create slot builds (or hands back) that object; the
// execute slot fills its namespace: imports, the six functions, the script-mode
// report when the module runs as the program's main module, and `__test__`.

#include <cstdint>

#include "capi/api.hpp"
#include "lineage/calls.hpp"
#include "lineage/fast_path.hpp"
#include "lineage/state.hpp"
#include "module/functions.hpp"
#include "module/state.hpp"
#include "report/script_mode.hpp"

// Flags an embedding host (or a test) sets before the import; the module
// never sets them.
extern "C" {
// Non-zero: the module runs as its program's main module.
__attribute__((visibility("default"))) int test_module_is_main = 0;
// Non-zero: the analysis runs without its speed-ups (lineage/fast_path.hpp),
// as the plain path alone would.
__attribute__((visibility("default"))) int test_module_plain = 0;
}

namespace module {

State state;

namespace {

using capi::Ref;

// What the analysis reads, filled by the load sequence.
lineage::State& analysis = lineage::state;

// Create slot: ties the module to the first interpreter that creates it, and
// hands back the process's one module object, made from the spec the first
// time.
PyObject* create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return nullptr;
    }
    if (state.first_interpreter == -1) {
        state.first_interpreter = current;
    } else if (state.first_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (state.module != nullptr) {
        return Py_NewRef(state.module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    struct {
        const char* from;
        const char* to;
        bool even_none;
    } const copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const auto& copy : copies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, copy.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if ((copy.even_none || value.get() != Py_None) &&
            PyDict_SetItemString(dict, copy.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

int bind(const char* name, PyObject* value) {
    return PyDict_SetItemString(analysis.globals.dict, name, value);
}

int warn_on_version_mismatch() {
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "test", "does not match", major,
                            minor);
}

int register_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, analysis.names.test);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyDict_SetItem(modules, analysis.names.test, module);
}

// print and NotImplementedError from the builtins; NameError if one is
// missing.
int fetch_builtins() {
    PyObject* dict = PyModule_GetDict(analysis.globals.builtins);
    const struct {
        PyObject* name;
        PyObject** slot;
    } wanted[] = {{analysis.names.print, &analysis.print},
                  {analysis.names.NotImplementedError, &analysis.NotImplementedError}};
    for (const auto& builtin : wanted) {
        Ref found;
        int present = capi::dict_get(dict, builtin.name, &found);
        if (present < 0) {
            return -1;
        }
        if (present == 0) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", builtin.name);
            return -1;
        }
        Py_XSETREF(*builtin.slot, found.release());
    }
    return 0;
}

// sys.modules["<package>.<name>"]: empty with no exception set when it is not
// there (or the package has no name).
Ref imported_submodule(PyObject* package, const char* name) {
    Ref package_name = Ref::steal(PyModule_GetNameObject(package));
    if (!package_name) {
        PyErr_Clear();
        return package_name;
    }
    Ref full = Ref::steal(PyUnicode_FromFormat("%U.%s", package_name.get(), name));
    if (!full) {
        return full;
    }
    Ref submodule;
    capi::dict_get(PyImport_GetModuleDict(), full.get(), &submodule);
    return submodule;
}

// from <package> import <name>: the attribute, else an already imported
// submodule <package>.<name>, else ImportError.
Ref import_from(PyObject* package, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(package, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref submodule = imported_submodule(package, name);
    if (submodule || PyErr_Occurred()) {
        return submodule;
    }
    Ref missing = Ref::steal(PyUnicode_FromString(name));
    if (!missing) {
        return missing;
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", missing.get());
    return Ref();
}

// from <package> import <names...>, each bound under its own name.
int import_names(const char* package, std::initializer_list<const char*> wanted) {
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!fromlist) {
        return -1;
    }
    for (const char* name : wanted) {
        Ref text = Ref::steal(PyUnicode_FromString(name));
        if (!text || PyList_Append(fromlist.get(), text.get()) < 0) {
            return -1;
        }
    }
    Ref package_name = Ref::steal(PyUnicode_FromString(package));
    if (!package_name) {
        return -1;
    }
    Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(
        package_name.get(), analysis.globals.dict, nullptr, fromlist.get(), 0));
    if (!imported) {
        return -1;
    }
    for (const char* name : wanted) {
        Ref value = import_from(imported.get(), name);
        if (!value || bind(name, value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

int import_module(const char* name) {
    Ref module_name = Ref::steal(PyUnicode_FromString(name));
    if (!module_name) {
        return -1;
    }
    Ref imported = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), analysis.globals.dict, nullptr, nullptr, 0));
    if (!imported) {
        return -1;
    }
    return bind(name, imported.get());
}

int runs_as_main(PyObject* module) {
    Ref name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!name) {
        return -1;
    }
    return capi::equals(name.get(), analysis.names.main);
}

// What the analysis takes from the sqlglot it runs on: the clause keys of a
// select and the library's own search methods.
int learn_sqlglot() {
    Ref exp;
    int present = capi::dict_get(analysis.globals.dict, analysis.names.exp, &exp);
    if (present <= 0) {
        return present;
    }
    lineage::fast_path::learn_library(exp.get());
    return lineage::choose_clause_keys(analysis.names, exp.get());
}

// The namespace and the constants: the module object and its dictionary are
// remembered, `__builtins__` bound, the interpreter's version checked, the
// interned names made and the builtins the analysis calls fetched.
int init_state(PyObject* module) {
    state.module = Py_NewRef(module);
    analysis.globals.dict = Py_NewRef(PyModule_GetDict(module));
    if (analysis.globals.builtins == nullptr) {
        analysis.globals.builtins = PyImport_ImportModule("builtins");
        if (analysis.globals.builtins == nullptr) {
            return -1;
        }
    }
    if (bind("__builtins__", analysis.globals.builtins) < 0 || warn_on_version_mismatch() < 0) {
        return -1;
    }
    lineage::fast_path::set_enabled(test_module_plain == 0);
    if (lineage::make_names(analysis.names) < 0) {
        return -1;
    }
    return fetch_builtins();
}

int mark_as_main(PyObject* module) {
    if (test_module_is_main == 0) {
        return 0;
    }
    return PyObject_SetAttrString(module, "__name__", analysis.names.main);
}

int import_dependencies() {
    if (import_module("json") < 0 || import_names("kelvo_func", {"KelvoFunc"}) < 0) {
        return -1;
    }
    if (import_names("kelvo_var", {"KelvoVar"}) < 0) {
        return -1;
    }
    return import_names("sqlglot", {"parse_one", "exp"});
}

// The load sequence: the state, then the namespace in binding order - the
// imports, the six functions, the script-mode report when the module runs as
// the program's main module, and `__test__`.
int load(PyObject* module) {
    if (init_state(module) < 0 || mark_as_main(module) < 0) {
        return -1;
    }
    if (register_in_sys_modules(module) < 0 || import_dependencies() < 0) {
        return -1;
    }
    if (learn_sqlglot() < 0 || publish_functions(module) < 0) {
        return -1;
    }
    // Rebinding any name is seen from here on.
    lineage::fast_path::watch_namespace(analysis.globals.dict);
    int is_main = runs_as_main(module);
    if (is_main < 0 || (is_main && report::run_script_mode(analysis.globals, analysis.print,
                                                           analysis.names.test) < 0)) {
        return -1;
    }
    Ref registry = Ref::steal(PyDict_New());
    if (!registry) {
        return -1;
    }
    return bind("__test__", registry.get());
}

// Execute slot: a module already executed in this process succeeds at once
// when it is this one and is refused otherwise; else the load sequence runs.
int exec(PyObject* module) {
    if (state.module != nullptr) {
        if (state.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'test' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (load(module) == 0) {
        return 0;
    }
    // A failed load leaves no module behind: the next import starts afresh.
    capi::add_traceback(lineage::traceback_file, "init test", 1, analysis.globals.dict);
    Py_CLEAR(state.module);
    Py_CLEAR(analysis.globals.dict);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "test",
    "Column lineage of SQL SELECT statements parsed by sqlglot.",
    0,        // all state is process-wide (module/state.hpp, lineage/state.hpp)
    nullptr,  // the functions are made by the load sequence
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace module

PyMODINIT_FUNC PyInit_test(void) {
    return PyModuleDef_Init(&module::definition);
}
