"""Random nested queries for the structure fuzzer: SELECTs over tables,
derived tables and CTEs, with JOINs, UNIONs, CASEs, functions and scalar
subqueries, from small pools of names so that qualifiers often meet the
aliases of the sources in scope. One random.Random drives everything, so a
seed gives the same queries again."""

import random

DATABASES = ["", "db1", "db2"]
TABLES = ["orders", "items", "users"]
COLUMNS = ["a", "b", "c", "id"]
ALIASES = ["t", "u", "s", "x"]
AGGREGATES = ["SUM", "MAX", "COUNT"]
FUNCTIONS = ["COALESCE", "CONCAT", "IFNULL"]
ANONYMOUS = ["MYFN", "KELVO_DAY"]
JOINS = ["JOIN", "LEFT JOIN", "INNER JOIN", "RIGHT JOIN", "CROSS JOIN"]

MAX_DEPTH = 3


def query(rng: random.Random, depth: int = MAX_DEPTH) -> str:
    """A whole query: a SELECT, a UNION of two, or a SELECT under WITH."""
    kind = rng.choices(["select", "union", "with"], [6, 1, 2])[0] if depth > 0 else "select"
    if kind == "union":
        union = rng.choice(["UNION", "UNION ALL"])
        return f"{select(rng, depth - 1)} {union} {select(rng, depth - 1)}"
    if kind == "with":
        names = rng.sample(["c1", "c2", "c3"], rng.randint(1, 2))
        ctes = ", ".join(f"{name} AS ({query(rng, depth - 1)})" for name in names)
        return f"WITH {ctes} {select(rng, depth - 1, names)}"
    return select(rng, depth)


def select(rng: random.Random, depth: int, ctes=()) -> str:
    """SELECT items FROM source [JOIN source ON ...]... [WHERE ...] [GROUP BY ...]."""
    if rng.random() < 0.03:
        return f"SELECT {literal(rng)} AS k"  # no FROM clause
    aliases = rng.sample(ALIASES, rng.randint(1, 3))
    sources = [source(rng, depth, alias, ctes) for alias in aliases]
    items = ", ".join(item(rng, depth, aliases) for _ in range(rng.randint(1, 4)))
    text = f"SELECT {items} FROM {sources[0]}"
    for alias, joined in zip(aliases[1:], sources[1:]):
        join = rng.choice(JOINS)
        on = "" if join == "CROSS JOIN" else f" ON {column(rng, aliases[:1])} = {alias}.id"
        text += f" {join} {joined}{on}"
    if rng.random() < 0.3:
        text += f" WHERE {condition(rng, depth, aliases)}"
    if rng.random() < 0.2:
        text += f" GROUP BY {column(rng, aliases)}"
    return text


def source(rng: random.Random, depth: int, alias: str, ctes) -> str:
    """A table (with or without database and alias), a CTE, or a derived table."""
    kind = rng.choices(["table", "cte", "derived"], [5, 3 if ctes else 0, 3 if depth > 0 else 0])[0]
    if kind == "derived":
        return f"({query(rng, depth - 1)}) AS {alias}"
    name = rng.choice(ctes) if kind == "cte" else table_name(rng)
    return name if rng.random() < 0.15 else f"{name} AS {alias}"


def table_name(rng: random.Random) -> str:
    database = rng.choice(DATABASES)
    return f"{database}.{rng.choice(TABLES)}" if database else rng.choice(TABLES)


def item(rng: random.Random, depth: int, aliases) -> str:
    """One select-list item, aliased more often than not."""
    kind = rng.choices(
        ["column", "literal", "null", "function", "anonymous", "case", "arithmetic", "subquery", "star"],
        [8, 2, 1, 3, 2, 2, 2, 2 if depth > 0 else 0, 1])[0]
    if kind == "star":
        return rng.choice(["*", f"{rng.choice(aliases)}.*"])
    expression = expression_of(kind, rng, depth, aliases)
    return f"{expression} AS {rng.choice(COLUMNS + ['n', 'm'])}" if rng.random() < 0.7 else expression


def expression_of(kind: str, rng: random.Random, depth: int, aliases) -> str:
    if kind == "column":
        return column(rng, aliases)
    if kind == "literal":
        return literal(rng)
    if kind == "null":
        return "NULL"
    if kind == "function":
        if rng.random() < 0.5:
            return f"{rng.choice(AGGREGATES)}({column(rng, aliases)})"
        return f"{rng.choice(FUNCTIONS)}({column(rng, aliases)}, {column(rng, aliases)})"
    if kind == "anonymous":
        return f"{rng.choice(ANONYMOUS)}({rng.choice([column(rng, aliases), literal(rng)])})"
    if kind == "case":
        return (f"CASE WHEN {condition(rng, 0, aliases)} THEN {column(rng, aliases)} "
                f"ELSE {rng.choice([literal(rng), column(rng, aliases)])} END")
    if kind == "arithmetic":
        return f"{column(rng, aliases)} {rng.choice('+-*')} {rng.choice([column(rng, aliases), literal(rng)])}"
    return f"({select(rng, depth - 1)})"


def column(rng: random.Random, aliases) -> str:
    """A column, qualified by one of the aliases in scope, now and then by
    another name or by none."""
    name = rng.choice(COLUMNS)
    qualifier = rng.choices([rng.choice(aliases), rng.choice(ALIASES), ""], [7, 1, 2])[0]
    return f"{qualifier}.{name}" if qualifier else name


def literal(rng: random.Random) -> str:
    return rng.choice(["1", "42", "'2020'", "3.5", "'x'"])


def condition(rng: random.Random, depth: int, aliases) -> str:
    if depth > 0 and rng.random() < 0.3:
        return f"{column(rng, aliases)} IN ({select(rng, depth - 1)})"
    return f"{column(rng, aliases)} > {literal(rng)}"
