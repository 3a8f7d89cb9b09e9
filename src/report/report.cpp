#include "report/report.hpp"

#include "capi/api.hpp"
#include "lineage/record.hpp"

namespace report {

namespace {

using namespace lineage::record;

struct Piece {
    const char* label;
    Key key;
};

const Piece pieces[] = {
    {"序号: ", column_sort},
    {", 别名: ", column_alias},
    {", 来源字段名: ", column_name},
    {", 来源字段表别名: ", column_table},
    {", 字段类型: ", column_type},
    {", 来源库名: ", table_db},
    {", 来源表名: ", table_name},
    {", 来源表别名: ", table_alias},
};

}  // namespace

capi::Ref report_line(PyObject* record) {
    capi::Ref parts = capi::Ref::steal(PyList_New(0));
    capi::Ref empty = capi::Ref::steal(PyUnicode_FromString(""));
    if (!parts || !empty) {
        return capi::Ref();
    }
    for (const Piece& piece : pieces) {
        capi::Ref label = capi::Ref::steal(PyUnicode_FromString(piece.label));
        if (!label || PyList_Append(parts.get(), label.get()) < 0) {
            return capi::Ref();
        }
        capi::Ref value =
            capi::Ref::steal(PyObject_CallMethod(record, "get", "s", key_texts[piece.key]));
        if (!value) {
            return value;
        }
        capi::Ref text = capi::Ref::steal(PyObject_Format(value.get(), empty.get()));
        if (!text || PyList_Append(parts.get(), text.get()) < 0) {
            return capi::Ref();
        }
    }
    return capi::Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

int print_frame(PyObject* print, PyObject* pandas, PyObject* records) {
    capi::Ref frame_class = capi::Ref::steal(PyObject_GetAttrString(pandas, "DataFrame"));
    if (!frame_class) {
        return -1;
    }
    capi::Ref frame = capi::call(frame_class.get(), {records});
    if (!frame) {
        return -1;
    }
    return capi::call(print, {frame.get()}) ? 0 : -1;
}

int print_line(PyObject* print, PyObject* record) {
    capi::Ref line = report_line(record);
    if (!line) {
        return -1;
    }
    return capi::call(print, {line.get()}) ? 0 : -1;
}

}  // namespace report
