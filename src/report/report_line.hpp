// The labelled report line of one column lineage record.
#pragma once

#include "capi/ref.hpp"

namespace report {

// "序号: 1, 别名: ..., 来源表别名: t": eight labels, each followed by the
// record's value for its key, read with record.get(key) (so a missing key
// shows as None) and formatted with format(value, "").
capi::Ref report_line(PyObject* record);

}  // namespace report
