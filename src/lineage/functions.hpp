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

// Each function's place in publication order, and their count.
enum FunctionIndex {
#define LINEAGE_FUNCTION_INDEX(function, ...) function##_index,
    LINEAGE_FUNCTIONS(LINEAGE_FUNCTION_INDEX)
#undef LINEAGE_FUNCTION_INDEX
    function_count
};

#define LINEAGE_DECLARE_IMPL(function, ...) \
    PyObject* function##_impl(PyObject* module, LINEAGE_MAP(LINEAGE_PARAMETER, __VA_ARGS__));
LINEAGE_FUNCTIONS(LINEAGE_DECLARE_IMPL)
#undef LINEAGE_DECLARE_IMPL

}  // namespace lineage
