// test(source): the entry point. Finds the select to analyse, has its select
// list turned into records (get_columns) and its table scopes resolved into
// them (get_tables). Both are called by name through the module namespace.

#include <pthread.h>

#include <algorithm>
#include <cstdint>

#include "capi/api.hpp"
#include "lineage/fast_path.hpp"
#include "lineage/functions.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

namespace lineage {

namespace {

using capi::Ref;

// test -> get_tables -> match_column -> test recurses once per nested query,
// in C, where the interpreter's own guard counts calls but not stack. The
// depth is bounded here by the interpreter's recursion limit, and by the
// stack left to the thread, so that a thread with a small stack gets a
// RecursionError rather than a crash. Each thread counts its own levels:
// threads analysing at the same time do not add up.
thread_local int depth = 0;

// Room kept free below the deepest level for the calls each level makes: a
// quarter of the thread's stack, at most 128 KiB, so that a small stack still
// holds what fits in it.
constexpr uintptr_t largest_reserve = 128 * 1024;
constexpr uintptr_t reserve_share = 4;

struct StackLimit {
    uintptr_t floor = 0;    // lowest usable address; 0 when it cannot be told
    uintptr_t reserve = 0;  // room kept free above the floor
};

StackLimit read_stack_limit() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return {};
    }
    void* low = nullptr;
    size_t size = 0;
    int failed = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (failed) {
        return {};
    }
    return {reinterpret_cast<uintptr_t>(low), std::min<uintptr_t>(largest_reserve, size / reserve_share)};
}

const StackLimit& stack_limit() {
    thread_local StackLimit limit = read_stack_limit();
    return limit;
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
        const StackLimit& limit = stack_limit();
        return limit.floor != 0 && reinterpret_cast<uintptr_t>(&here) < limit.floor + limit.reserve;
    }
};

}  // namespace

PyObject* test_impl(PyObject*, PyObject* source) {
    DepthGuard guard;
    if (guard.exceeded()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while analysing nested queries");
        return nullptr;
    }
    Ref expression = tree::find(source, state.names.Select);
    if (!expression) {
        return nullptr;
    }
    Ref select_list = capi::getattr(expression.get(), state.names.expressions);
    if (!select_list) {
        return nullptr;
    }
    fast_path::Analysis analysis(
        PyList_CheckExact(select_list.get()) ? PyList_GET_SIZE(select_list.get()) : 0);
    analysis.expect_lists();
    Ref columns_and_texts[2];
    if (state.globals.call_unpacked(state.names.get_columns, {select_list.get()},
                                    columns_and_texts) < 0) {
        return nullptr;
    }
    auto& [columns, texts] = columns_and_texts;
    return state.globals
        .call(state.names.get_tables, {expression.get(), columns.get(), texts.get()})
        .release();
}

}  // namespace lineage
