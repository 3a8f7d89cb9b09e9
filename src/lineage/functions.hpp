// The six analysis functions the module publishes, declared once.
//
// LINEAGE_FUNCTIONS lists each function in publication order with its
// parameters. From that one list come the C++ signatures below, the
// parameter names the module binds arguments to, and each function's
// docstring, its signature text "name(param, ...)" (module/functions.cpp).
// Each `<name>_impl` takes the module and its arguments already bound to its
// parameters (borrowed) and returns a new reference, or null with an
// exception set.
#pragma once

#include "capi/ref.hpp"

#define LINEAGE_FUNCTIONS(X)                                                 \
    X(get_column_parent, column, column_table)                              \
    X(find_column, find_list, columns, alias, texts, column_type, sort)     \
    X(get_columns, expressions)                                             \
    X(match_column, table_args, columns, texts)                             \
    X(get_tables, expression, columns, texts)                               \
    X(test, source)

// LINEAGE_MAP(F, a, b, ...) is F(a), F(b), ... for up to six arguments.
#define LINEAGE_MAP_1(F, a) F(a)
#define LINEAGE_MAP_2(F, a, ...) F(a), LINEAGE_MAP_1(F, __VA_ARGS__)
#define LINEAGE_MAP_3(F, a, ...) F(a), LINEAGE_MAP_2(F, __VA_ARGS__)
#define LINEAGE_MAP_4(F, a, ...) F(a), LINEAGE_MAP_3(F, __VA_ARGS__)
#define LINEAGE_MAP_5(F, a, ...) F(a), LINEAGE_MAP_4(F, __VA_ARGS__)
#define LINEAGE_MAP_6(F, a, ...) F(a), LINEAGE_MAP_5(F, __VA_ARGS__)
#define LINEAGE_MAP_PICK(_1, _2, _3, _4, _5, _6, MAP, ...) MAP
#define LINEAGE_MAP(F, ...)                                                         \
    LINEAGE_MAP_PICK(__VA_ARGS__, LINEAGE_MAP_6, LINEAGE_MAP_5, LINEAGE_MAP_4,      \
                     LINEAGE_MAP_3, LINEAGE_MAP_2, LINEAGE_MAP_1, unused)(F, __VA_ARGS__)

#define LINEAGE_PARAMETER(name) PyObject* name

namespace lineage {

// Each function's place in publication order.
enum FunctionIndex {
#define LINEAGE_FUNCTION_INDEX(function, ...) function##_index,
    LINEAGE_FUNCTIONS(LINEAGE_FUNCTION_INDEX)
#undef LINEAGE_FUNCTION_INDEX
};

#define LINEAGE_DECLARE_IMPL(function, ...) \
    PyObject* function##_impl(PyObject* module, LINEAGE_MAP(LINEAGE_PARAMETER, __VA_ARGS__));
LINEAGE_FUNCTIONS(LINEAGE_DECLARE_IMPL)
#undef LINEAGE_DECLARE_IMPL

// The work of get_column_parent and find_column without their result tuples,
// for the module's own callers that find the module's own function bound
// under the name (module::run_as).

// get_column_parent(column, column_table) into `old_alias` and `table`.
int column_parent(PyObject* column, PyObject* column_table, capi::Ref* old_alias,
                  capi::Ref* table);

// The running state of one select list that find_column carries on.
struct SelectList {
    capi::Ref columns;
    capi::Ref alias;
    capi::Ref texts;
    capi::Ref sort;
};

// find_column(find_list, columns, alias, texts, column_type, sort) on
// `select_list`, which takes back what the call would return.
int find_columns(PyObject* find_list, PyObject* column_type, SelectList& select_list);

}  // namespace lineage
