// test(source): the entry point. Finds the select to analyse, has its select
// list turned into records (get_columns) and its table scopes resolved into
// them (get_tables). Both are called by name through the module namespace.

#include "capi/api.hpp"
#include "capi/namespace.hpp"
#include "lineage/functions.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"

namespace lineage {

namespace {

using capi::Ref;

// test -> get_tables -> match_column -> test recurses once per nested query.
// The interpreter's own guard does not see this recursion (it runs in C), so
// the depth is bounded here, by the interpreter's recursion limit, before the
// C stack can run out.
int depth = 0;

class DepthGuard {
public:
    DepthGuard() { ++depth; }
    ~DepthGuard() { --depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    bool exceeded() const { return depth > Py_GetRecursionLimit(); }
};

}  // namespace

PyObject* test(PyObject* const* args) {
    PyObject* source = args[0];
    DepthGuard guard;
    if (guard.exceeded()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while analysing nested queries");
        return nullptr;
    }
    Ref expression = tree::find(source, names.Select);
    if (!expression) {
        return nullptr;
    }
    Ref select_list = capi::getattr(expression.get(), names.expressions);
    if (!select_list) {
        return nullptr;
    }
    Ref extracted = capi::call_global(names.get_columns, {select_list.get()});
    Ref columns_and_texts[2];
    if (!extracted || capi::unpack(extracted.get(), 2, columns_and_texts) < 0) {
        return nullptr;
    }
    auto& [columns, texts] = columns_and_texts;
    return capi::call_global(names.get_tables, {expression.get(), columns.get(), texts.get()})
        .release();
}

}  // namespace lineage
