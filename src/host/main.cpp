// lineage-host: runs the module `test` as its program's main module.
//
// The host embeds CPython 3.13 with the packages of the checkout's .venv,
// sets the module's exported main-module flag before the import, and imports
// `test`, whose load then runs the script-mode report. A failed load is
// reported as the interpreter reports an uncaught exception, and the host
// exits with status 1.

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "capi/ref.hpp"

namespace {

// The directory this executable lives in (build/).
std::string own_directory() {
    char buffer[PATH_MAX];
    ssize_t size = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (size <= 0) {
        return ".";
    }
    std::string path(buffer, static_cast<size_t>(size));
    return path.substr(0, path.rfind('/'));
}

int fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "lineage-host: %s: %s\n", what, detail.c_str());
    return 1;
}

// Starts the interpreter as the venv's python would start: its pyvenv.cfg
// adds the venv's site-packages. The command line is the host's own: it
// becomes sys.argv as it is and is never read as interpreter options.
bool start_interpreter(const std::string& venv_python, int argc, char** argv) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    config.parse_argv = 0;
    PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, venv_python.c_str());
    if (!PyStatus_Exception(status)) {
        status = PyConfig_SetBytesArgv(&config, argc, argv);
    }
    if (!PyStatus_Exception(status)) {
        status = Py_InitializeFromConfig(&config);
    }
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) {
        Py_ExitStatusException(status);  // prints the reason and exits
    }
    return true;
}

int prepend_to_path(const std::string& directory) {
    PyObject* path = PySys_GetObject("path");  // borrowed
    if (path == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "sys.path is missing");
        return -1;
    }
    capi::Ref entry = capi::Ref::steal(PyUnicode_DecodeFSDefault(directory.c_str()));
    if (!entry) {
        return -1;
    }
    return PyList_Insert(path, 0, entry.get());
}

// import test; 0, or 1 with the error printed as the interpreter prints an
// uncaught exception.
int import_module(const std::string& build) {
    if (prepend_to_path(build) < 0) {
        PyErr_Print();
        return 1;
    }
    capi::Ref module = capi::Ref::steal(PyImport_ImportModule("test"));
    if (!module) {
        PyErr_Print();
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string build = own_directory();
    const std::string module_file = build + "/" MODULE_FILE_NAME;
    const std::string venv_python = build + "/../.venv/bin/python";

    // Load the module's library first to set its flag; the interpreter's
    // import later opens the same library and sees the flag set.
    void* library = dlopen(module_file.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr) {
        return fail("cannot load the module", dlerror());
    }
    int* is_main = static_cast<int*>(dlsym(library, "test_module_is_main"));
    if (is_main == nullptr) {
        return fail("the module exports no main-module flag", module_file);
    }
    *is_main = 1;

    start_interpreter(venv_python, argc, argv);
    int status = import_module(build);
    if (Py_FinalizeEx() < 0 && status == 0) {
        status = 120;  // as the interpreter does when flushing fails
    }
    return status;
}
