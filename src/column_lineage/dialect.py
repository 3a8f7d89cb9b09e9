"""LineageMySQL: sqlglot's MySQL dialect with the MySQL 8 syntax its parser
refuses, or parses differently from one sqlglot release to another, parsed
into the same trees on sqlglot 27 and 30.

    from column_lineage.dialect import dialect_for, select_into
    mysql = dialect_for("mysql")
    tree = mysql.parse("SELECT SUM(x) INTO @total FROM t")[0]
    select_into(tree)  # ["@total"]

What a statement says that its tree has no place for is kept in the root's
meta, where nothing that walks the tree sees it: the targets of a SELECT …
INTO (select_into), that an INSERT was a REPLACE (meta["replace"]), the
tables RENAME TABLE renames (renamed_tables).

sqlglot compiled with mypyc (the sqlglotc package) refuses parser subclasses
written in Python, so there the parser extends the same MySQL parser built
again from the Python source that the sqlglot package installs beside its
compiled modules; sqlglot itself is left as it is.
"""

from __future__ import annotations

import builtins
import importlib
from collections.abc import Buffer, Callable, Mapping
from importlib.machinery import SourceFileLoader
from pathlib import Path
from types import ModuleType, SimpleNamespace
from typing import TYPE_CHECKING, Any, TypeVar

from sqlglot import TokenType, exp
from sqlglot.dialects.dialect import Dialect
from sqlglot.dialects.mysql import MySQL

__all__ = ["LineageMySQL", "altered_columns", "dialect_for", "renamed_tables", "select_into"]

E = TypeVar("E", bound=exp.Expression)

SELECT_INTO = "select_into"
REPLACE = "replace"
RENAMED_TABLES = "renamed_tables"
POSITION = "position"

# The FROM of a Select is "from" up to sqlglot 27, "from_" from 28 on.
FROM = "from_" if "from_" in exp.Select.arg_types else "from"

_import = builtins.__import__


def _importer(replacements: Mapping[str, ModuleType]) -> Callable[..., Any]:
    """An __import__ that answers the modules named in `replacements` with the
    modules given (for `import a.b`, `from a.b import x` and `from a import b`
    alike) and imports everything else as usual."""

    def load(name: str, globals: Any = None, locals: Any = None,
             fromlist: tuple[str, ...] = (), level: int = 0) -> Any:
        if level == 0 and name in replacements:
            return replacements[name]
        module = _import(name, globals, locals, fromlist, level)
        if level == 0 and any(f"{name}.{item}" in replacements for item in fromlist or ()):
            return SimpleNamespace(**{
                item: replacements.get(f"{name}.{item}") or getattr(module, item)
                for item in fromlist})
        return module

    return load


class _ReadingLoader(SourceFileLoader):
    """Python's loader of a source file that reads sqlglot's cached bytecode
    but never writes into sqlglot's directory."""

    def set_data(self, path: str, data: Buffer, *, _mode: int = 0o666) -> None:
        """Writes nothing."""


def _python_source_module(name: str, replacements: Mapping[str, ModuleType]) -> ModuleType:
    """The sqlglot module `name` executed afresh from its Python source, as a
    private module of ours whose imports of the modules in `replacements` get
    those instead."""
    installed = importlib.import_module(name)
    source = Path(installed.__file__ or name).with_name(name.rpartition(".")[2] + ".py")
    if not source.is_file():
        raise ImportError(f"sqlglot is compiled and the Python source of {name} is missing "
                          f"({source}): reinstall the sqlglot package")
    loader = _ReadingLoader(f"{__name__}.python.{name}", str(source))
    module = ModuleType(loader.name)
    module.__file__ = str(source)
    module.__dict__["__builtins__"] = {**vars(builtins), "__import__": _importer(replacements)}
    loader.exec_module(module)
    return module


def _accepts_python_subclasses(cls: type) -> bool:
    """Whether an instance of a Python subclass of `cls` can be made (mypyc's
    compiled classes refuse it)."""
    try:
        type("Probe", (cls,), {})()
    except TypeError:
        return False
    return True


def _mysql_parser_base() -> type:
    """sqlglot's MySQL parser class, where Python subclasses of it work; else
    the same class built from sqlglot's Python source."""
    installed: type = MySQL.parser_class
    if _accepts_python_subclasses(installed):
        return installed
    base_parser = _python_source_module("sqlglot.parser", {})
    mysql_parser = _python_source_module(installed.__module__, {"sqlglot.parser": base_parser})
    python_class: type = getattr(mysql_parser, installed.__name__)
    return python_class


if TYPE_CHECKING:
    from sqlglot.parsers.mysql import MySQLParser as _MySQLParser
else:
    _MySQLParser = _mysql_parser_base()

# What this sqlglot's MySQL parser already reads itself (sqlglot 28 on).
_READS_TABLE_QUERY = bool(getattr(_MySQLParser, "SUPPORTS_TABLE_QUERY", False))
_READS_CHANGE_COLUMN = "CHANGE" in _MySQLParser.ALTER_PARSERS
_READS_BARE_DROP = hasattr(_MySQLParser, "ALTER_DROP_REQUIRES_COLUMN")
_READS_KEY_PARTS = hasattr(_MySQLParser, "_parse_index_key_part")
_DROP_HOLDS_TABLES = "tables" in exp.Drop.arg_types
_SECURITY_HAS_THIS = "this" in exp.SqlSecurityProperty.arg_types

_NESTING = {TokenType.L_PAREN: 1, TokenType.R_PAREN: -1}
_PRIORITIES = ("LOW_PRIORITY", "DELAYED", "HIGH_PRIORITY")
_TRANSACTION_MODES = (("WITH", "CONSISTENT", "SNAPSHOT"), ("READ", "ONLY"), ("READ", "WRITE"))
_FILE_LAYOUT = (
    (("FIELDS", "COLUMNS"),
     (("TERMINATED", "BY"), ("OPTIONALLY", "ENCLOSED", "BY"), ("ENCLOSED", "BY"),
      ("ESCAPED", "BY"))),
    (("LINES",), (("STARTING", "BY"), ("TERMINATED", "BY"))),
)
_CHECK_OPTIONS = (("WITH", "CASCADED", "CHECK", "OPTION"), ("WITH", "LOCAL", "CHECK", "OPTION"),
                  ("WITH", "CHECK", "OPTION"))
# After ADD, the words of an index or a constraint that sqlglot 27 does not
# know there (sqlglot's ADD_CONSTRAINT_TOKENS are the others).
_ADDED_CONSTRAINTS = ("FULLTEXT", "SPATIAL", "CHECK")
# DROP followed by one of these and nothing else drops no bare column.
_NOT_A_COLUMN = {TokenType.COLUMN, TokenType.PRIMARY_KEY}


class LineageMySQL(MySQL):
    """MySQL 8 as an ETL script or a mysqldump file writes it."""

    # VALUES' DEFAULT is read as an expression, so that DEFAULT(col) parses
    # too (a bare DEFAULT becomes a word that reads no column).
    SUPPORTS_VALUES_DEFAULT = False

    class Tokenizer(MySQL.Tokenizer):
        """REPLACE and RENAME begin statements the parser reads, rather than
        text kept whole as a Command."""

        COMMANDS = MySQL.Tokenizer.COMMANDS - {TokenType.REPLACE, TokenType.RENAME}

    class Parser(_MySQLParser):
        """sqlglot's MySQL parser and what it misses of MySQL 8."""

        STATEMENT_PARSERS = {
            **_MySQLParser.STATEMENT_PARSERS,
            TokenType.REPLACE: lambda self: self._parse_replace_statement(),
            TokenType.RENAME: lambda self: self._parse_rename_table(),
            TokenType.DROP: lambda self: self._parse_drop_statement(),
            TokenType.USE: lambda self: self._parse_use_database(),
        }

        # SET is reserved in MySQL: never a table's alias (sqlglot 27 took the
        # SET of UPDATE a, b SET … and INSERT INTO t SET … for b's and t's).
        TABLE_ALIAS_TOKENS = _MySQLParser.TABLE_ALIAS_TOKENS - {TokenType.SET}

        ALTER_PARSERS = {
            **_MySQLParser.ALTER_PARSERS,
            "ADD": lambda self: self._parse_alter_add(),
            **({} if _READS_CHANGE_COLUMN else {
                "CHANGE": lambda self: self._parse_change_column(rename=True),
                "MODIFY": lambda self: self._parse_change_column(rename=False),
            }),
        }

        PROPERTY_PARSERS = {
            **_MySQLParser.PROPERTY_PARSERS,
            "PARTITION BY": lambda self: self._parse_partition_options(),
        }

        # UNIQUE INDEX u (a) VISIBLE, as MySQL Workbench writes it (sqlglot 27
        # reads VISIBLE after INDEX and KEY only).
        KEY_CONSTRAINT_OPTIONS = {
            **_MySQLParser.KEY_CONSTRAINT_OPTIONS,
            **dict.fromkeys(("VISIBLE", "INVISIBLE"), ()),
        }

        # The targets of the statement's SELECT … INTO, while it is parsed.
        _select_into: list[str] | None = None

        def _node(self, node: E) -> E:
            """`node` checked for its required parts, as the parser's own nodes are."""
            return self.validate_expression(node)

        def _parse_primary(self) -> exp.Expr | None:
            """DEFAULT(col), the column's declared default: a value that reads
            no column (the column's name kept as a bare word)."""
            if (self._curr is not None and self._curr.token_type == TokenType.DEFAULT
                    and self._next is not None and self._next.token_type == TokenType.L_PAREN):
                self._advance(2)
                column = self._parse_column()
                self._match_r_paren()
                name = column.sql(dialect="mysql") if column is not None else ""
                return exp.Anonymous(this="DEFAULT", expressions=[exp.Var(this=name)])
            primary: exp.Expr | None = super()._parse_primary()
            return primary

        # Statements

        def _parse_statement(self) -> exp.Expr | None:
            """A statement, with the targets of its SELECT … INTO in the meta
            of its root; on sqlglot 27 also `TABLE t`, MySQL's SELECT * FROM t.
            A statement that begins with a word sqlglot does not know as the
            start of a statement (FLUSH, RESET, PURGE, CHECK TABLE, DO, SAVEPOINT,
            DEALLOCATE PREPARE, SIGNAL, XA, …) is a Command: MySQL has no
            statement that is an expression, as sqlglot would read it."""
            if self._index == 0 and self._curr is not None \
                    and self._curr.token_type == TokenType.VAR:
                self._advance()
                return self._parse_as_command(self._prev)
            outer, self._select_into = self._select_into, None
            try:
                if self._at_table_query():
                    tree = self._parse_select()
                else:
                    tree = super()._parse_statement()
                if tree is not None and self._select_into is not None:
                    tree.meta[SELECT_INTO] = self._select_into
                return tree
            finally:
                self._select_into = outer

        def _parse_use_database(self) -> exp.Use:
            """USE db: MySQL's USE names a database, whatever the word (`USE
            warehouse` and `USE role` are databases, not other dialects' kinds)."""
            name = self._parse_id_var(any_token=True)
            return self._node(exp.Use(this=exp.Table(this=name)))

        def _parse_replace_statement(self) -> exp.Expr:
            """REPLACE [LOW_PRIORITY | DELAYED] [INTO] t … in all of INSERT's
            forms (VALUES, SELECT, SET, TABLE): the Insert of the same INSERT,
            with meta["replace"] (sqlglot keeps REPLACE as a Command)."""
            insert: exp.Expr = self._parse_insert()
            insert.meta[REPLACE] = True
            return insert

        def _parse_rename_table(self) -> exp.Expr:
            """RENAME TABLE a TO b, db.c TO db.d: a Command (it moves no data)
            with its (old, new) tables in meta, for renamed_tables."""
            start = self._prev
            pairs = []
            if self._match(TokenType.TABLE):
                while True:
                    old = self._parse_table_parts()
                    if not self._match_text_seq("TO"):
                        self.raise_error("Expected TO in RENAME TABLE")
                    pairs.append((old, self._parse_table_parts()))
                    if not self._match(TokenType.COMMA):
                        break
            while self._curr:
                self._advance()
            text = self._find_sql(start, self._prev)
            command = exp.Command(this=text[:len(start.text)], expression=text[len(start.text):])
            if pairs:
                command.meta[RENAMED_TABLES] = pairs
            return command

        def _parse_drop_statement(self) -> exp.Expr:
            """DROP [TEMPORARY] TABLE [IF EXISTS] a, b: on sqlglot 27, whose
            Drop holds one table, a Command rather than a parse error."""
            start = self._prev
            drop: exp.Expr = self._parse_drop()
            if not _DROP_HOLDS_TABLES and self._match(TokenType.COMMA, advance=False):
                return self._parse_as_command(start)
            return drop

        def _parse_transaction(self) -> exp.Transaction | exp.Command:
            """START TRANSACTION [WITH CONSISTENT SNAPSHOT | READ ONLY | READ
            WRITE, …] and BEGIN [WORK]: MySQL's characteristics as the modes."""
            self._match_texts(("TRANSACTION", "WORK"))
            modes = []
            while mode := next((" ".join(words) for words in _TRANSACTION_MODES
                                if self._match_text_seq(*words)), None):
                modes.append(mode)
                if not self._match(TokenType.COMMA):
                    break
            return self._node(exp.Transaction(modes=modes or None))

        # INSERT, UPDATE, DELETE, LOAD DATA

        def _parse_insert(self) -> exp.Insert | exp.MultitableInserts:
            """INSERT [LOW_PRIORITY | DELAYED | HIGH_PRIORITY] [IGNORE] [INTO]:
            the same Insert as without the priority; and on sqlglot 27 INSERT
            … SET a = 1, b = x, as sqlglot 30 reads it (the Schema of the
            columns, one Values row)."""
            hint = self._parse_hint()
            self._match_texts(_PRIORITIES)
            insert = super()._parse_insert()
            if hint:
                insert.set("hint", hint)
            if insert.args.get("expression") is None and self._match(TokenType.SET):
                self._parse_insert_set(insert)
            return insert

        def _parse_insert_set(self, insert: exp.Expr) -> None:
            """The SET a = 1, b = x [AS alias] [ON DUPLICATE KEY UPDATE …] of
            an INSERT (sqlglot 27), into `insert`."""
            columns, values = [], []
            while True:
                column = self._parse_column()
                if not isinstance(column, exp.Column) or not self._match(TokenType.EQ):
                    self.raise_error("Expected column assignment in INSERT ... SET")
                    return
                if self._match(TokenType.DEFAULT):
                    value: exp.Expr | None = exp.var("DEFAULT")
                else:
                    value = self._parse_disjunction()
                columns.append(column.this)
                values.append(value)
                if not self._match(TokenType.COMMA):
                    break
            insert.set("this", self._node(exp.Schema(this=insert.this, expressions=columns)))
            insert.set("expression", self._node(exp.Values(
                expressions=[exp.Tuple(expressions=values)], alias=self._parse_table_alias())))
            insert.set("conflict", self._parse_on_conflict())

        def _parse_update(self) -> exp.Update:
            """UPDATE [LOW_PRIORITY] [IGNORE] …: the same Update as without them."""
            hint = self._parse_hint()
            self._match_text_seq("LOW_PRIORITY")
            self._match(TokenType.IGNORE)
            update = super()._parse_update()
            if hint:
                update.set("hint", hint)
            return update

        def _parse_delete(self) -> exp.Delete:
            """DELETE [LOW_PRIORITY] [QUICK] [IGNORE] …: the same Delete as
            without them; on sqlglot 27 also its ORDER BY … LIMIT n."""
            hint = self._parse_hint()
            self._match_text_seq("LOW_PRIORITY")
            self._match_text_seq("QUICK")
            self._match(TokenType.IGNORE)
            delete = super()._parse_delete()
            if hint:
                delete.set("hint", hint)
            if self._match(TokenType.ORDER_BY, advance=False):
                delete.set("order", self._parse_order())
                delete.set("limit", self._parse_limit())
            return delete

        def _parse_load(self) -> exp.LoadData | exp.Command:
            """LOAD DATA [LOW_PRIORITY | CONCURRENT] [LOCAL] INFILE 'f' [REPLACE
            | IGNORE] INTO TABLE t [PARTITION (p, …)] [layout] [IGNORE n LINES]
            [(c, @v, …)] [SET c = expr, …]: a LoadData of the table (a Schema
            of the columns the file fills, when listed); the file's layout and
            the SET are left out."""
            index = self._index
            if not self._match_text_seq("DATA"):
                return super()._parse_load()
            self._match_texts(("LOW_PRIORITY", "CONCURRENT"))
            local = self._match_text_seq("LOCAL")
            if not self._match_text_seq("INFILE"):
                self._retreat(index)
                return super()._parse_load()
            inpath = self._parse_string()
            self._match_set((TokenType.REPLACE, TokenType.IGNORE))
            if not self._match_pair(TokenType.INTO, TokenType.TABLE):
                self.raise_error("Expected INTO TABLE in LOAD DATA")
            table: exp.Expr | None = self._parse_table_parts()
            partition = self._parse_partition()
            self._parse_file_layout()
            if self._match(TokenType.IGNORE):
                self._parse_number()
                self._match_texts(("LINES", "ROWS"))
            if self._match(TokenType.L_PAREN, advance=False):
                columns = self._parse_wrapped_csv(
                    lambda: self._parse_id_var() or self._parse_primary())
                table = self._node(exp.Schema(this=table, expressions=columns))
            if self._match(TokenType.SET):
                self._parse_csv(self._parse_equality)
            return self._node(exp.LoadData(this=table, local=local, inpath=inpath,
                                           partition=partition))

        def _parse_file_layout(self) -> None:
            """Skips [CHARACTER SET x] [{FIELDS | COLUMNS} [TERMINATED BY 's']
            [[OPTIONALLY] ENCLOSED BY 's'] [ESCAPED BY 's']] [LINES [STARTING BY
            's'] [TERMINATED BY 's']]: how an OUTFILE or a LOAD DATA file is laid
            out."""
            if self._match(TokenType.CHARACTER_SET) or self._match_text_seq("CHARACTER", "SET"):
                self._advance()
            for words, options in _FILE_LAYOUT:
                if self._match_texts(words):
                    while any(self._match_text_seq(*option) for option in options):
                        if not self._parse_string():
                            self.raise_error("Expected a string")

        # Queries

        def _at_table_query(self) -> bool:
            """Whether `TABLE t` starts here and this sqlglot (27) does not read
            it itself."""
            return (not _READS_TABLE_QUERY and self._curr is not None and self._next is not None
                    and self._curr.token_type == TokenType.TABLE
                    and self._next.token_type in self.ID_VAR_TOKENS)

        def _parse_select(self, nested: bool = False, table: bool = False,
                          parse_subquery_alias: bool = True, parse_set_operation: bool = True,
                          consume_pipe: bool = True, **kwargs: Any) -> exp.Expr | None:
            """On sqlglot 27, `TABLE t [ORDER BY …] [LIMIT …]` (a statement,
            INSERT … TABLE t, a UNION's branch) as the SELECT * FROM t that
            sqlglot 30 makes of it."""
            if table or not self._at_table_query():
                return super()._parse_select(nested, table, parse_subquery_alias,
                                             parse_set_operation, consume_pipe, **kwargs)
            self._advance()
            from_ = exp.From(this=self._parse_table_parts())
            query = self._parse_query_modifiers(
                self._node(exp.Select(expressions=[exp.Star()], **{FROM: from_})))
            return self._parse_set_operations(query) if parse_set_operation else query

        def _parse_into(self) -> exp.Into | None:
            """SELECT … INTO @a, @b | v_local | OUTFILE 'f' … | DUMPFILE 'f':
            in MySQL the row goes to variables or a file, never to a table.
            The targets are kept for the statement's meta (select_into), off
            the tree."""
            if not self._match(TokenType.INTO):
                return None
            if self._select_into is not None:
                self.raise_error("Found multiple 'INTO' clauses")
            self._select_into = self._parse_into_targets()
            return None

        def _parse_into_targets(self) -> list[str]:
            """The targets after INTO: ["@a", "v_local"], ["OUTFILE 'f'"]."""
            for kind in ("OUTFILE", "DUMPFILE"):
                if self._match_text_seq(kind):
                    path = self._parse_string()
                    if path is None:
                        self.raise_error(f"Expected a file name after {kind}")
                        return []
                    if kind == "OUTFILE":
                        self._parse_file_layout()
                    return [f"{kind} {path.sql(dialect=self.dialect)}"]
            targets = []
            while True:
                if self._match(TokenType.PARAMETER) and self._curr:
                    targets.append("@" + self._curr.text)
                    self._advance()
                elif variable := self._parse_id_var(any_token=False):
                    targets.append(variable.name)
                else:
                    self.raise_error("Expected a variable after INTO")
                    return targets
                if not self._match(TokenType.COMMA):
                    return targets

        def _parse_query_modifiers(self, this: Any) -> Any:
            """A query's clauses with MySQL's INTO among them: after FROM … LIMIT,
            before or after FOR UPDATE, at the end of a UNION's last branch."""
            this = super()._parse_query_modifiers(this)
            if isinstance(this, exp.Query) and self._match(TokenType.INTO, advance=False):
                self._parse_into()
                this = super()._parse_query_modifiers(this)
            return this

        def _parse_value(self, *args: Any, **kwargs: Any) -> exp.Tuple | None:
            """VALUES ROW(1, 2), ROW(3, 4): MySQL 8's row constructor, the same
            Tuple as (1, 2)."""
            if (self._curr and self._next and self._curr.text.upper() == "ROW"
                    and self._next.token_type == TokenType.L_PAREN):
                self._advance()
            return super()._parse_value(*args, **kwargs)

        def _parse_derived_table_values(self, *args: Any, **kwargs: Any) -> exp.Values | None:
            """INSERT … VALUE (1, 2), the synonym of VALUES (read by sqlglot
            30, not 27)."""
            values = super()._parse_derived_table_values(*args, **kwargs)
            if (values is None and self._curr and self._next
                    and self._curr.text.upper() == "VALUE"
                    and self._next.token_type == TokenType.L_PAREN):
                self._advance()
                values = self._node(exp.Values(expressions=self._parse_csv(self._parse_value),
                                               alias=self._parse_table_alias()))
            return values

        def _parse_ddl_select(self) -> exp.Expr | None:
            """The query of CREATE TABLE t … [IGNORE | REPLACE] SELECT … and of
            CREATE VIEW v AS … WITH [CASCADED | LOCAL] CHECK OPTION: the
            duplicate handling and the check option are left out."""
            index = self._index
            if self._match_set((TokenType.IGNORE, TokenType.REPLACE)) and not (
                    self._match_set((TokenType.SELECT, TokenType.WITH, TokenType.L_PAREN,
                                     TokenType.TABLE), advance=False)):
                self._retreat(index)
            query = super()._parse_ddl_select()
            for option in _CHECK_OPTIONS if query is not None else ():
                if self._match_text_seq(*option):
                    break
            return query

        def _parse_json_column_def(self) -> exp.JSONColumnDef:
            """A column of MySQL's JSON_TABLE: `name FOR ORDINALITY`, `name type
            [EXISTS] PATH 'p' [{NULL | ERROR | DEFAULT v} ON EMPTY] […ON ERROR]`
            or `NESTED [PATH] 'p' COLUMNS (…)`; what to do on empty or error
            is left out."""
            if self._match_text_seq("NESTED"):
                self._match_text_seq("PATH")
                return self._node(exp.JSONColumnDef(path=self._parse_json_path(),
                                                    nested_schema=self._parse_json_schema()))
            this = self._parse_id_var()
            if self._match_pair(TokenType.FOR, TokenType.ORDINALITY):
                return self._node(exp.JSONColumnDef(this=this, ordinality=True))
            kind = self._parse_types(allow_identifiers=False)
            self._match(TokenType.EXISTS)
            path = self._parse_json_path() if self._match_text_seq("PATH") else None
            self._parse_on_handling("EMPTY", "NULL", "ERROR")
            self._parse_on_handling("ERROR", "NULL", "ERROR")
            return self._node(exp.JSONColumnDef(this=this, kind=kind, path=path))

        def _parse_json_path(self) -> exp.Expr | None:
            """The path string of a JSON_TABLE column."""
            path = self._parse_string()
            if path is None:
                self.raise_error("Expected a JSON path")
            return path

        def _parse_property(self) -> exp.Expr | list[exp.Expr] | None:
            """SQL SECURITY INVOKER of a view on sqlglot 27, whose
            SqlSecurityProperty holds only DEFINER (and refuses INVOKER)."""
            if not _SECURITY_HAS_THIS and self._match_text_seq("SQL", "SECURITY", "INVOKER"):
                return exp.SqlSecurityProperty(definer=False)
            return super()._parse_property()

        def _parse_unique(self) -> exp.UniqueColumnConstraint:
            """UNIQUE [INDEX | KEY] [name] (a ASC, b DESC) [VISIBLE] on sqlglot
            27, which reads column definitions, not key parts, in the
            parentheses."""
            if _READS_KEY_PARTS:
                return super()._parse_unique()
            self._match_texts(("KEY", "INDEX"))
            this = self._parse_unique_key()
            index_type = self._prev.text if self._match(TokenType.USING) and self._advance_any() \
                else None
            if self._match(TokenType.L_PAREN, advance=False):
                this = self._node(exp.Schema(
                    this=this, expressions=self._parse_wrapped_csv(self._parse_unique_key_part)))
            return self._node(exp.UniqueColumnConstraint(
                this=this, index_type=index_type, options=self._parse_key_constraint_options()))

        def _parse_unique_key_part(self) -> exp.Expr | None:
            """A column of an index, ordered only when ASC or DESC is written
            (as sqlglot 30 reads it)."""
            ordered = self._parse_ordered()
            return ordered.this if ordered is not None and ordered.args.get("desc") is None \
                else ordered

        def _parse_definer(self) -> exp.DefinerProperty | None:
            """DEFINER = CURRENT_USER [()] of a view, besides DEFINER = user@host."""
            index = self._index
            self._match(TokenType.EQ)
            if self._match_text_seq("CURRENT_USER"):
                self._match_pair(TokenType.L_PAREN, TokenType.R_PAREN)
                return self._node(exp.DefinerProperty(this="CURRENT_USER"))
            self._retreat(index)
            return super()._parse_definer()

        def _parse_partition_options(self) -> exp.Expr | list[exp.Expr] | None:
            """PARTITION BY … of CREATE TABLE in all of MySQL's forms ([LINEAR]
            HASH | KEY | RANGE | LIST [COLUMNS], PARTITIONS n, SUBPARTITION BY,
            partitions with MAXVALUE, ENGINE = …): sqlglot's own reading where
            it reads the whole clause, else the clause as written, in a
            Property (the partitions do not change what the table holds)."""
            index = self._index
            native: exp.Expr | list[exp.Expr] | None = self._try_parse(
                lambda: _MySQLParser.PROPERTY_PARSERS["PARTITION BY"](self))
            if native is not None and self._at_partition_end():
                return native
            self._retreat(index)
            start, depth = self._curr, 0
            while self._curr and not (depth == 0 and self._at_partition_end()):
                depth += _NESTING.get(self._curr.token_type, 0)
                self._advance()
            if start is None or self._prev is None or self._index == index:
                self.raise_error("Expected the partitioning after PARTITION BY")
                return None
            return self._node(exp.Property(this=exp.Literal.string("PARTITION BY"),
                                           value=exp.var(self._find_sql(start, self._prev))))

        def _at_partition_end(self) -> bool:
            """Whether what follows ends a CREATE TABLE's PARTITION BY: the end
            of the statement or the query of CREATE TABLE … SELECT."""
            return self._curr is None or self._curr.token_type in (
                TokenType.SELECT, TokenType.ALIAS, TokenType.WITH, TokenType.IGNORE,
                TokenType.REPLACE, TokenType.TABLE, TokenType.R_PAREN)

        # ALTER

        def _parse_alter(self) -> exp.Alter | exp.Command:
            """ALTER TABLE t with actions of different kinds in one list (ADD c
            …, DROP d, CHANGE …), which sqlglot 27 reads one kind at a time;
            and ALTER [ALGORITHM = …] [DEFINER = …] [SQL SECURITY …] VIEW, the
            options left out."""
            index = self._index
            if self._match(TokenType.TABLE):
                alter = self._try_parse(self._parse_alter_table_actions)
                if alter is not None:
                    return alter
                self._retreat(index)
            elif self._match_texts(("ALGORITHM", "DEFINER", "SQL")):
                self._retreat(index)
                self._try_parse(self._parse_properties)
                if not self._match(TokenType.VIEW, advance=False):
                    self._retreat(index)
            return super()._parse_alter()

        def _parse_alter_table_actions(self) -> exp.Alter | None:
            """The table, the actions and the table options (ALGORITHM =
            INPLACE, LOCK = NONE, …) after ALTER TABLE, when they are all
            actions of ALTER_PARSERS or options and nothing follows."""
            this = self._parse_table(schema=True)
            actions: list[exp.Expr] = []
            options: list[exp.Expr] = []
            while True:
                if self._match_texts(self.ALTER_PARSERS):
                    parsed = self.ALTER_PARSERS[self._prev.text.upper()](self)
                    parsed = parsed if isinstance(parsed, list) else [parsed]
                    if not parsed or any(not isinstance(action, exp.Expression)
                                         or isinstance(action, exp.Command) for action in parsed):
                        return None
                    actions.extend(parsed)
                elif properties := self._parse_properties():
                    options.extend(properties.expressions)
                else:
                    return None
                if not (self._match(TokenType.COMMA) or self._prev.token_type == TokenType.COMMA):
                    break
            if not actions or self._curr:
                return None
            return self._node(exp.Alter(this=this, kind="TABLE", actions=actions,
                                        options=options or None))

        def _parse_alter_add(self) -> exp.Expr | list[exp.Expr] | None:
            """One ADD of ALTER TABLE: ADD [COLUMN] c definition [FIRST | AFTER
            x] or ADD [COLUMN] (c1 INT, c2 INT), as ColumnDefs; an index, key or
            constraint as sqlglot reads it. (sqlglot's ADD reads the following
            ADDs too, and refuses the parentheses.)"""
            if self._match_set(self.ADD_CONSTRAINT_TOKENS, advance=False) or self._match_texts(
                    _ADDED_CONSTRAINTS, advance=False):
                return self._node(exp.AddConstraint(expressions=[self._parse_constraint()]))
            if self._match(TokenType.PARTITION, advance=False):
                added: list[exp.Expr] = self._parse_alter_table_add()
                return added
            index = self._index
            self._match(TokenType.COLUMN)
            if self._match(TokenType.L_PAREN, advance=False):
                return self._parse_wrapped_csv(
                    lambda: self._parse_constraint() or self._parse_field_def())
            self._retreat(index)
            return self._parse_add_column()

        def _parse_alter_table_rename(  # type: ignore[override]  # MySQL's gives RenameIndex too
                self) -> exp.Expr | None:
            """RENAME AS u, MySQL's third spelling of RENAME [TO] u."""
            if self._match(TokenType.ALIAS):
                return self._node(exp.AlterRename(this=self._parse_table(schema=True)))
            rename = super()._parse_alter_table_rename
            renamed: exp.Expr | None = rename()  # type: ignore[no-untyped-call]
            return renamed

        def _parse_drop_column(self) -> exp.Drop | exp.Command | None:
            """DROP c, without COLUMN, as MySQL allows (sqlglot 27 wants COLUMN):
            a name followed by a comma or by nothing."""
            after = self._index + 2
            following = self._tokens[after] if after < len(self._tokens) else None
            if (not _READS_BARE_DROP and self._next is not None
                    and self._match(TokenType.DROP, advance=False)
                    and self._next.token_type in self.ID_VAR_TOKENS
                    and self._next.token_type not in _NOT_A_COLUMN
                    and (following is None or following.token_type == TokenType.COMMA)):
                self._advance()
                return self._node(_column_drop(self._parse_column()))
            return super()._parse_drop_column()

        def _parse_change_column(self, rename: bool) -> exp.Expr | None:
            """CHANGE [COLUMN] old new definition and MODIFY [COLUMN] c
            definition [FIRST | AFTER x] on sqlglot 27, which has no
            ModifyColumn: an AlterColumn to the new type, with the new name as
            rename_to when CHANGE gives a different one."""
            self._match(TokenType.COLUMN)
            old = self._parse_field(any_token=True)
            new = self._parse_field(any_token=True) if rename else old
            definition = self._parse_column_def(new)
            if old is None or not isinstance(definition, exp.ColumnDef):
                return None
            position = None
            if self._match_texts(("FIRST", "AFTER")):
                position = "FIRST"
                if self._prev.text.upper() == "AFTER":
                    after = self._parse_column()
                    position = f"AFTER {after.name}" if after is not None else None
            renamed = rename and new is not None and new.name != old.name
            altered = self._node(exp.AlterColumn(
                this=exp.Column(this=old), dtype=definition.args.get("kind"),
                rename_to=exp.Column(this=new) if renamed else None))
            altered.meta[POSITION] = position  # AlterColumn has no place for it
            return altered


# sqlglot 27's Dialect metaclass makes STRAIGHT_JOIN a name (an alias, a
# column) in every dialect it does not know as MySQL; here it stays the join
# it is in MySQL.
LineageMySQL.Parser.ID_VAR_TOKENS = _MySQLParser.ID_VAR_TOKENS
LineageMySQL.Parser.TABLE_ALIAS_TOKENS = _MySQLParser.TABLE_ALIAS_TOKENS - {TokenType.SET}


def _column_drop(column: exp.Expr | None) -> exp.Drop:
    """The Drop of a column as this sqlglot's ALTER makes it (the column in
    `tables` from sqlglot 28 on, in `this` before)."""
    if _DROP_HOLDS_TABLES:
        return exp.Drop(tables=[column], kind="COLUMN")
    return exp.Drop(this=column, kind="COLUMN")


def dialect_for(name: str) -> Dialect:
    """An instance of the dialect to parse with: LineageMySQL for "mysql" (any
    case, with sqlglot's settings after a comma if given), else sqlglot's
    dialect of that name. ValueError for an unknown or empty name."""
    dialect_name, comma, settings = name.partition(",")
    if not dialect_name.strip():
        raise ValueError("a dialect name is required")
    if dialect_name.strip().lower() == "mysql":
        return Dialect.get_or_raise(f"lineagemysql{comma}{settings}")
    return Dialect.get_or_raise(name)


def select_into(tree: exp.Expression) -> list[str] | None:
    """The targets a SELECT … INTO writes (["@a", "@b"], ["v_total"],
    ["OUTFILE 'f'"]); None when the statement has no INTO."""
    targets = tree.meta.get(SELECT_INTO)
    return list(targets) if targets is not None else None


def renamed_tables(tree: exp.Expression) -> list[tuple[exp.Table, exp.Table]] | None:
    """The (old, new) tables of RENAME TABLE or of ALTER TABLE … RENAME [TO |
    AS]; None for any other statement."""
    if isinstance(tree, exp.Command):
        pairs = tree.meta.get(RENAMED_TABLES)
        return list(pairs) if pairs is not None else None
    if isinstance(tree, exp.Alter) and isinstance(tree.this, exp.Table):
        renames = [(tree.this, action.this) for action in tree.args.get("actions") or []
                   if isinstance(action, exp.AlterRename) and isinstance(action.this, exp.Table)]
        return renames or None
    return None


ColumnChange = tuple[str, str | None, str | None, str | None]


def altered_columns(tree: exp.Expression) -> list[ColumnChange] | None:
    """What ALTER TABLE does to the table's columns, in order: ("add", None,
    name, position), ("drop", name, None, None), ("rename", old, new,
    position), ("move", name, name, position) for a CHANGE or MODIFY that
    keeps the name; position is None (added last, else where it was),
    "FIRST" or "AFTER column". None when `tree` is not an ALTER TABLE."""
    if not isinstance(tree, exp.Alter) or (tree.args.get("kind") or "").upper() != "TABLE":
        return None
    changes: list[ColumnChange] = []
    for action in tree.args.get("actions") or []:
        changes.extend(_column_changes(action))
    return changes


def _position(definition: exp.Expression | None) -> str | None:
    """FIRST or AFTER x of a column definition, None without either."""
    place = definition.args.get("position") if definition is not None else None
    if not isinstance(place, exp.ColumnPosition):
        return None
    where = str(place.args.get("position") or "").upper()
    if where == "AFTER" and place.this is not None:
        return f"AFTER {place.this.name}"
    return "FIRST" if where == "FIRST" else None


def _column_changes(action: exp.Expression) -> list[ColumnChange]:
    """The column names one action of ALTER TABLE adds, drops, renames or moves."""
    if isinstance(action, exp.ColumnDef):
        return [("add", None, action.name, _position(action))]
    if isinstance(action, exp.Drop) and (action.args.get("kind") or "").upper() == "COLUMN":
        dropped = action.args.get("tables") or [action.this]
        return [("drop", column.name, None, None) for column in dropped if column is not None]
    if isinstance(action, exp.RenameColumn):
        return [("rename", action.this.name, action.args["to"].name, None)]
    if isinstance(action, exp.AlterColumn):  # sqlglot 27's CHANGE and MODIFY
        position = action.meta.get(POSITION)
        if action.args.get("rename_to") is not None:
            return [("rename", action.this.name, action.args["rename_to"].name, position)]
        return [("move", action.this.name, action.this.name, position)] if position else []
    if action.key != "modifycolumn":
        return []
    old = action.args.get("rename_from")
    new = action.this
    position = _position(new)
    if old is not None and old.name != new.name:
        return [("rename", old.name, new.name, position)]
    return [("move", new.name, new.name, position)] if position else []
