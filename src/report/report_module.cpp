// lineage_report: the report of the lineage command, printed by the same code
// as script mode's.

#include "capi/api.hpp"
#include "report/report.hpp"

namespace {

using capi::Ref;

Ref builtin_print() {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) {
        return builtins;
    }
    return Ref::steal(PyObject_GetAttrString(builtins.get(), "print"));
}

PyObject* report_line(PyObject*, PyObject* record) {
    return report::report_line(record).release();
}

PyObject* print_report(PyObject*, PyObject* records) {
    Ref print = builtin_print();
    if (!print) {
        return nullptr;
    }
    Ref pandas = Ref::steal(PyImport_ImportModule("pandas"));
    if (!pandas || report::print_frame(print.get(), pandas.get(), records) < 0) {
        return nullptr;
    }
    int printed = capi::for_each(records, [&](PyObject* record) {
        return report::print_line(print.get(), record);
    });
    return printed < 0 ? nullptr : Py_NewRef(Py_None);
}

PyMethodDef methods[] = {
    {"report_line", report_line, METH_O,
     "report_line(record)\n--\n\nThe labelled report line of one lineage record."},
    {"print_report", print_report, METH_O,
     "print_report(records)\n--\n\nPrints the records as a data frame, then one labelled line "
     "each."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "lineage_report", "The lineage report text.", 0, methods, slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_lineage_report(void) {
    return PyModuleDef_Init(&definition);
}
