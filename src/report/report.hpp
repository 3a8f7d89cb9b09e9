// The lineage report: the records as a data frame, then one labelled line
// per record. Script mode and the lineage command both print it from here.
#pragma once

#include "capi/ref.hpp"

namespace report {

// "序号: 1, 别名: ..., 来源表别名: t": eight labels, each followed by the
// record's value for its key, read with record.get(key) (so a missing key
// shows as None) and formatted with format(value, "").
capi::Ref report_line(PyObject* record);

// print(pandas.DataFrame(records))
int print_frame(PyObject* print, PyObject* pandas, PyObject* records);

// print(report_line(record))
int print_line(PyObject* print, PyObject* record);

}  // namespace report
