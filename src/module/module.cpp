// The module definition and its load sequence.
//
// The module is process-wide: one module object, tied to the first interpreter
// that creates it. The create slot builds (or hands back) that object; the
// execute slot fills its namespace: imports, the six functions, the script-mode
// report when the module runs as the program's main module, and `__test__`.

#include <cstdint>

#include "capi/api.hpp"
#include "capi/namespace.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"
#include "module/functions.hpp"
#include "report/script_mode.hpp"

// Set to non-zero by an embedding host before the import when this module is
// to run as its program's main module. The module never sets it.
extern "C" {
__attribute__((visibility("default"))) int test_module_is_main = 0;
}

namespace module {

namespace {

using capi::Ref;
using capi::namespace_;

int64_t first_interpreter = -1;

// Create slot, steps 1-3.
PyObject* create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return nullptr;
    }
    if (first_interpreter == -1) {
        first_interpreter = current;
    } else if (first_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (namespace_.module != nullptr) {
        return Py_NewRef(namespace_.module);
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
    return PyDict_SetItemString(namespace_.globals, name, value);
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
    Ref key = Ref::steal(PyUnicode_FromString("test"));
    if (!key) {
        return -1;
    }
    int present = PyDict_Contains(modules, key.get());
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyDict_SetItem(modules, key.get(), module);
}

// from <package> import <name>: the attribute, else an already imported
// submodule <package>.<name>, else ImportError.
Ref import_from(PyObject* package, const char* name) {
    Ref value = Ref::steal(PyObject_GetAttrString(package, name));
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    PyErr_Clear();
    Ref package_name = Ref::steal(PyModule_GetNameObject(package));
    if (package_name) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%s", package_name.get(), name));
        if (!full) {
            return full;
        }
        PyObject* submodule = PyDict_GetItemWithError(PyImport_GetModuleDict(), full.get());
        if (submodule != nullptr) {
            return Ref::borrow(submodule);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    } else {
        PyErr_Clear();
    }
    Ref missing = Ref::steal(PyUnicode_FromString(name));
    if (missing) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", missing.get());
    }
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
        package_name.get(), namespace_.globals, nullptr, fromlist.get(), 0));
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
        PyImport_ImportModuleLevelObject(module_name.get(), namespace_.globals, nullptr, nullptr, 0));
    return imported ? bind(name, imported.get()) : -1;
}

int runs_as_main(PyObject* module) {
    Ref name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    Ref main_name = Ref::steal(PyUnicode_FromString("__main__"));
    if (!name || !main_name) {
        return -1;
    }
    return capi::equals(name.get(), main_name.get());
}

// Steps 5-14.
int load(PyObject* module) {
    namespace_.module = Py_NewRef(module);
    namespace_.globals = Py_NewRef(PyModule_GetDict(module));
    if (namespace_.builtins == nullptr) {
        namespace_.builtins = PyImport_ImportModule("builtins");
        if (namespace_.builtins == nullptr) {
            return -1;
        }
    }
    if (bind("__builtins__", namespace_.builtins) < 0) {
        return -1;
    }
    if (warn_on_version_mismatch() < 0 || lineage::init_names() < 0 ||
        lineage::init_builtins(namespace_.builtins) < 0) {
        return -1;
    }
    if (test_module_is_main != 0) {
        Ref main_name = Ref::steal(PyUnicode_FromString("__main__"));
        if (!main_name || PyObject_SetAttrString(module, "__name__", main_name.get()) < 0) {
            return -1;
        }
    }
    if (register_in_sys_modules(module) < 0) {
        return -1;
    }
    if (import_module("json") < 0 || import_names("kelvo_func", {"KelvoFunc"}) < 0 ||
        import_names("kelvo_var", {"KelvoVar"}) < 0 ||
        import_names("sqlglot", {"parse_one", "exp"}) < 0) {
        return -1;
    }
    if (PyObject* exp = PyDict_GetItemString(namespace_.globals, "exp")) {
        lineage::tree::remember_library_search(exp);
        if (lineage::choose_clause_keys(exp) < 0) {
            return -1;
        }
    }
    if (publish_functions(module) < 0) {
        return -1;
    }
    int is_main = runs_as_main(module);
    if (is_main < 0 || (is_main && report::run_script_mode() < 0)) {
        return -1;
    }
    Ref registry = Ref::steal(PyDict_New());
    return registry ? bind("__test__", registry.get()) : -1;
}

// Execute slot, step 4, then the load sequence.
int exec(PyObject* module) {
    if (namespace_.module != nullptr) {
        if (namespace_.module == module) {
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
    capi::add_traceback("init test", 1, namespace_.globals);
    Py_CLEAR(namespace_.module);
    Py_CLEAR(namespace_.globals);
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
    0,        // all state is process-wide
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
