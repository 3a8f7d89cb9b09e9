"""A warehouse schema for the analysis: MySQL `CREATE TABLE` DDL (what
`mysqldump --no-data` writes) or the JSON mapping `{db: {table: {column:
type}}}` that sqlglot's optimizer takes, turned into sqlglot's MappingSchema."""

from __future__ import annotations

import json
from typing import Any

from sqlglot import exp
from sqlglot.errors import SqlglotError
from sqlglot.schema import MappingSchema

from .errors import LineageError
from .statements import parse_statements, used_database

# A schema as sqlglot's MappingSchema takes it: {db: {table: {column: type}}}
# (or {table: {column: type}}, or with catalogs above the databases).
SchemaMapping = dict[str, Any]
# What the API takes as a schema: sqlglot's MappingSchema, such a mapping,
# or the text of one (DDL or JSON); None for none.
SchemaArgument = MappingSchema | SchemaMapping | str | None


def table_depths(mapping: object, depth: int = 0) -> set[int]:
    """The nesting depths at which the mapping holds tables ({column: type});
    a part that is neither gives -1."""
    if not isinstance(mapping, dict) or not mapping:
        return {-1}
    if all(isinstance(value, str) for value in mapping.values()):
        return {depth}
    return set().union(*(table_depths(value, depth + 1) for value in mapping.values()))


def schema_from_mapping(mapping: SchemaMapping, dialect: str = "mysql") -> MappingSchema:
    """The MappingSchema of a mapping {db: {table: {column: type}}} (or one
    level less or more); LineageError for anything else."""
    depths = table_depths(mapping)
    if len(depths) != 1 or not depths <= {1, 2, 3}:
        raise LineageError("schema: not a mapping of databases, tables and columns "
                           "({db: {table: {column: type}}}, every table at the same depth)")
    try:
        return MappingSchema(mapping, dialect=dialect, normalize=False)
    except (SqlglotError, ValueError, TypeError, AttributeError) as error:
        raise LineageError(f"schema: not a mapping of databases, tables and columns ({error})") \
            from error


def mapping_from_ddl(text: str, dialect: str = "mysql") -> SchemaMapping:
    """{db: {table: {column: type}}} from the CREATE TABLE statements of
    `text`; a table written without database goes under the database of the
    last `USE` before it, else under the empty name."""
    mapping: SchemaMapping = {}
    database = ""
    for statement in parse_statements(text, dialect):
        tree = statement.tree
        if tree is None:
            continue
        database = used_database(tree) or database
        if not (isinstance(tree, exp.Create) and isinstance(tree.this, exp.Schema)):
            continue
        table = tree.this.this
        columns = {column.name: column.args["kind"].sql(dialect=dialect) if column.args.get("kind")
                   else "UNKNOWN"
                   for column in tree.this.expressions if isinstance(column, exp.ColumnDef)}
        if isinstance(table, exp.Table) and columns:
            mapping.setdefault(table.db or database, {})[table.name] = columns
    return mapping


def load_schema(text: str, dialect: str = "mysql") -> MappingSchema:
    """The schema written in `text`: JSON when it reads as JSON, else DDL.
    LineageError when it is none, or too deeply nested to read."""
    try:
        return read_schema_text(text, dialect)
    except RecursionError:
        raise LineageError("schema: too deeply nested to read (a schema is "
                           "{db: {table: {column: type}}})") from None


def read_schema_text(text: str, dialect: str) -> MappingSchema:
    stripped = text.lstrip("\ufeff").lstrip()
    if stripped.startswith("{"):
        try:
            mapping = json.loads(stripped)
        except json.JSONDecodeError as error:
            raise LineageError(f"schema: not valid JSON (line {error.lineno}, column "
                               f"{error.colno}: {error.msg})") from error
    else:
        mapping = mapping_from_ddl(stripped, dialect)
    if not mapping:
        raise LineageError("schema: no tables found")
    return schema_from_mapping(mapping, dialect)


def as_schema(schema: SchemaArgument, dialect: str = "mysql") -> MappingSchema | None:
    """The API's `schema` argument (None, a mapping, a MappingSchema, or the
    text of a schema) as a MappingSchema."""
    if schema is None or isinstance(schema, MappingSchema):
        return schema
    if isinstance(schema, str):
        return load_schema(schema, dialect)
    return schema_from_mapping(schema, dialect)


def table_columns(schema: MappingSchema | None, db: str | None, name: str) -> list[str]:
    """The columns of a table in the schema, in their order; none if unknown.
    Names are looked up as written, then in lower case (a script's own
    tables are kept so: table names compare case-insensitively)."""
    if schema is None:
        return []
    tables = [exp.table_(name, db=db or None), exp.table_(name)]
    if name != name.lower() or (db or "") != (db or "").lower():
        tables += [exp.table_(name.lower(), db=(db or "").lower() or None),
                   exp.table_(name.lower())]
    for table in tables:
        try:
            names = list(schema.column_names(table))
        except (SqlglotError, KeyError, ValueError):
            names = []
        if names:
            return names
    return []
