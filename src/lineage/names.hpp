// Interned strings and builtins the analysis uses, made once at load.
#pragma once

#include "capi/ref.hpp"

namespace lineage {

struct Names {
    // Attributes, methods and argument keys of sqlglot nodes.
    PyObject* args;
    PyObject* get;
    PyObject* find;
    PyObject* find_all;
    PyObject* expressions;
    PyObject* parent;
    PyObject* alias;
    PyObject* alias_or_name;
    PyObject* name;
    PyObject* table;
    PyObject* db;
    PyObject* this_;
    PyObject* from;  // "from" or "from_", as the running sqlglot names it
    PyObject* with;  // "with" or "with_", likewise
    PyObject* joins;
    PyObject* remove;
    PyObject* instancecheck;  // "__instancecheck__"
    PyObject* class_;         // "__class__"
    // Classes read from `exp` at each use.
    PyObject* Select;
    PyObject* Column;
    PyObject* Table;
    PyObject* Alias;
    PyObject* Subquery;
    PyObject* CTE;
    PyObject* Literal;
    PyObject* Null;
    PyObject* Anonymous;
    // Global names of the module namespace.
    PyObject* exp;
    PyObject* get_column_parent;
    PyObject* find_column;
    PyObject* get_columns;
    PyObject* match_column;
    PyObject* get_tables;
    PyObject* test;
    // Literal strings.
    PyObject* empty;          // ""
    PyObject* dot;            // "."
    PyObject* anonymous;      // "anonymous", the qualifier of function calls
    PyObject* not_supported;  // the message of NotImplementedError
    // Integer constants.
    PyObject* zero;
    PyObject* one;
};
extern Names names;

// Builtins fetched once at load.
struct Builtins {
    PyObject* print;
    PyObject* NotImplementedError;
};
extern Builtins builtins;

// Makes the strings and integers (once per process). 0, or -1 with an
// exception set.
int init_names();

// Chooses the argument keys of a select's FROM and WITH clauses once, from
// sqlglot itself: "from_" and "with_" when exp.Select declares them (sqlglot
// 28 on), else "from" and "with". 0, or -1 with an exception set.
int choose_clause_keys(PyObject* exp_module);

// Looks up `print` and `NotImplementedError` in the builtins module; NameError
// if one is missing.
int init_builtins(PyObject* builtins_module);

// Raises NotImplementedError("暂不支持", node); always returns null.
PyObject* raise_not_supported(PyObject* node);

}  // namespace lineage
