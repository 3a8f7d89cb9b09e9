// The one table of interned strings the module uses, made once at load.
#pragma once

#include "capi/ref.hpp"
#include "lineage/functions.hpp"
#include "lineage/record.hpp"

// Each entry: the field of `Names`, then its text.
#define LINEAGE_NAMES(X)                                                   \
    /* Attributes, methods and argument keys of sqlglot nodes. */          \
    X(args, "args")                                                        \
    X(get, "get")                                                          \
    X(find, "find")                                                        \
    X(find_all, "find_all")                                                \
    X(walk, "walk")                                                        \
    X(bfs, "bfs")                                                          \
    X(iter_expressions, "iter_expressions")                                \
    X(expressions, "expressions")                                          \
    X(parent, "parent")                                                    \
    X(alias, "alias")                                                      \
    X(alias_or_name, "alias_or_name")                                      \
    X(name, "name")                                                        \
    X(table, "table")                                                      \
    X(db, "db")                                                            \
    X(this_, "this")                                                       \
    X(from, "from") /* or "from_", as the running sqlglot names it */      \
    X(with, "with") /* or "with_", likewise */                             \
    X(joins, "joins")                                                      \
    X(remove, "remove")                                                    \
    X(instancecheck, "__instancecheck__")                                  \
    X(class_, "__class__")                                                 \
    /* Classes read from `exp` at each use. */                             \
    X(Expression, "Expression")                                            \
    X(Select, "Select")                                                    \
    X(Column, "Column")                                                    \
    X(Table, "Table")                                                      \
    X(Alias, "Alias")                                                      \
    X(Subquery, "Subquery")                                                \
    X(CTE, "CTE")                                                          \
    X(Literal, "Literal")                                                  \
    X(Null, "Null")                                                        \
    X(Anonymous, "Anonymous")                                              \
    /* Other global names of the module namespace and the builtins. */     \
    X(exp, "exp")                                                          \
    X(print, "print")                                                      \
    X(NotImplementedError, "NotImplementedError")                          \
    X(main, "__main__")                                                    \
    /* The values of "column_type"; "anonymous" is also the qualifier of  \
       a function call. */                                                 \
    X(literal, "literal")                                                  \
    X(null, "null")                                                        \
    X(column, "column")                                                    \
    X(subquery, "subquery")                                                \
    X(anonymous, "anonymous")                                              \
    /* Other literal strings. */                                           \
    X(empty, "")                                                           \
    X(dot, ".")                                                            \
    X(dash, "-")                                                           \
    X(not_supported, "暂不支持")

namespace lineage {

struct Names {
#define LINEAGE_NAME_FIELD(field, text) PyObject* field = nullptr;
    LINEAGE_NAMES(LINEAGE_NAME_FIELD)
#undef LINEAGE_NAME_FIELD
    // The six function names; `test` is the module's name too.
#define LINEAGE_FUNCTION_NAME_FIELD(function, ...) PyObject* function = nullptr;
    LINEAGE_FUNCTIONS(LINEAGE_FUNCTION_NAME_FIELD)
#undef LINEAGE_FUNCTION_NAME_FIELD
    // The record keys, by record::Key (texts: record::key_texts).
    PyObject* record_keys[record::bound_size] = {};
    // Integer constants.
    PyObject* zero = nullptr;
    PyObject* one = nullptr;

    // The six function names, in publication order.
    static constexpr PyObject* Names::*functions[] = {
#define LINEAGE_FUNCTION_NAME_MEMBER(function, ...) &Names::function,
        LINEAGE_FUNCTIONS(LINEAGE_FUNCTION_NAME_MEMBER)
#undef LINEAGE_FUNCTION_NAME_MEMBER
    };
};

// Makes every string and integer not made yet. 0, or -1 with an exception
// set.
int make_names(Names& names);

// Chooses the argument keys of a select's FROM and WITH clauses from sqlglot
// itself: "from_" and "with_" when exp.Select declares them (sqlglot 28 on),
// else "from" and "with". 0, or -1 with an exception set.
int choose_clause_keys(Names& names, PyObject* exp_module);

// Raises NotImplementedError("暂不支持", node); always returns null.
PyObject* raise_not_supported(PyObject* node);

}  // namespace lineage
