// test(source): the entry point. Finds the select to analyse, has its select
// list turned into records (get_columns) and its table scopes resolved into
// them (get_tables). Both are called by name through the module namespace.

#include <pthread.h>

#include <cstdint>

#include "capi/api.hpp"
#include "capi/namespace.hpp"
#include "lineage/functions.hpp"
#include "lineage/list_index.hpp"
#include "lineage/names.hpp"
#include "lineage/tree.hpp"

namespace lineage {

namespace {

using capi::Ref;

// test -> get_tables -> match_column -> test recurses once per nested query,
// in C, where the interpreter's own guard counts calls but not stack. The
// depth is bounded here by the interpreter's recursion limit, and by the
// stack left to the thread, so that a thread with a small stack gets a
// RecursionError rather than a crash.
int depth = 0;

// Room kept free below the deepest level for the calls each level makes.
constexpr uintptr_t stack_reserve = 128 * 1024;

// Lowest address of the current thread's stack, 0 when it cannot be told.
uintptr_t stack_floor() {
    thread_local uintptr_t floor = [] {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
            return uintptr_t{0};
        }
        void* low = nullptr;
        size_t size = 0;
        int failed = pthread_attr_getstack(&attributes, &low, &size);
        pthread_attr_destroy(&attributes);
        return failed ? uintptr_t{0} : reinterpret_cast<uintptr_t>(low);
    }();
    return floor;
}

class DepthGuard {
public:
    DepthGuard() { ++depth; }
    ~DepthGuard() { --depth; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

    bool exceeded() const {
        if (depth > Py_GetRecursionLimit()) {
            return true;
        }
        char here;
        uintptr_t floor = stack_floor();
        return floor != 0 && reinterpret_cast<uintptr_t>(&here) < floor + stack_reserve;
    }
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
    list_index::Analysis analysis;
    analysis.expect_lists();
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
