"""Statements of a SQL text: split, parsed one by one, their kind, their
target table and the query they run.

A MySQL text is cut as the mysql client cuts a script (script.py), another
dialect's at its semicolons; each statement is then parsed alone, so that
one that does not parse costs only itself, and keeps its text as written."""

from __future__ import annotations

import re
import threading
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from sqlglot import Token, TokenType, exp
from sqlglot.dialects.dialect import Dialect
from sqlglot.errors import ParseError, TokenError
from sqlglot.parser import Parser
from sqlglot.tokens import Tokenizer

from .errors import LineageError as LineageError  # raised here, importable from here
from .rows import TableName
from .script import iter_script

if TYPE_CHECKING:
    from .routines import Routine


@dataclass
class ParsedStatement:
    """One statement of a text: its text as written, its tree, or the reason
    it could not be parsed; for a CREATE PROCEDURE/FUNCTION/TRIGGER/EVENT,
    the routine and the statements of its body, each with its place in the
    body and the variables it may read."""

    number: int
    sql: str
    tree: exp.Expr | None = None
    error: str | None = None
    item_texts: list[str] | None = None
    first_word: str = ""
    has_select: bool = True
    line: int = 1
    place: int | None = None
    variables: frozenset[str] = frozenset()
    routine: Routine | None = None
    body: list[ParsedStatement] = field(default_factory=list)


@dataclass
class Target:
    """The table a statement writes and the columns it names (if written)."""

    db: str | None
    table: str
    columns: list[str] = field(default_factory=list)
    by_name: bool = False  # CREATE TABLE … AS SELECT: each column fills the one named like it


def arg(node: exp.Expr, name: str) -> Any:
    """A child by its key, whichever way sqlglot spells it ("from" up to
    27.x, "from_" from 28 on): any value a node's arguments hold."""
    value = node.args.get(name)
    return value if value is not None else node.args.get(name + "_")


def arg_key(node: exp.Expr, name: str) -> str:
    """The key a node's child of that name is set under (see `arg`)."""
    return name + "_" if name + "_" in type(node).arg_types else name


def dialect_of(name: str) -> Dialect:
    """sqlglot's dialect of that name (MySQL files are then read with the
    package's own dialect where sqlglot's refuses a statement)."""
    try:
        return Dialect.get_or_raise(name)
    except ValueError as error:
        raise LineageError(f"unknown dialect {name!r}") from error


def describe_parse_error(error: ParseError, line: int = 1, column: int = 1) -> str:
    """The parser's complaint, placed in the file: `line` and `column` are
    where the statement's text starts."""
    details = error.errors[0] if getattr(error, "errors", None) else {}
    where = ""
    if details.get("line") is not None:
        at_line, at_column = details["line"], details.get("col")
        if at_line == 1 and isinstance(at_column, int):
            at_column += column - 1
        where = f" at line {at_line + line - 1}, column {at_column}"
    message = details.get("description") or str(error).splitlines()[0]
    return f"parse error{where}: {message}"


def check_text(text: str) -> None:
    position = text.find("\x00")
    if position >= 0:
        line = text.count("\n", 0, position) + 1
        column = position - text.rfind("\n", 0, position)
        raise LineageError(f"NUL byte at line {line}, column {column}")


def is_mysql(name: str) -> bool:
    return name.partition(",")[0].strip().lower() == "mysql"


@dataclass
class Parsers:
    """What a dialect's statements are parsed with: first its sqlglot
    tokenizer and parser; for MySQL, whose files are split as its client
    splits them, the package's own dialect then parses what sqlglot's
    refuses or misreads. sqlglot's goes first because, where it is compiled
    (sqlglotc), only its own classes are: its parser is several times faster
    than ours. Ours is made, and its module imported, at its first use."""

    name: str
    tokenizer: Tokenizer
    parser: Parser
    mysql: bool = False
    _own: tuple[Tokenizer, Parser] | None = None

    def own(self) -> tuple[Tokenizer, Parser]:
        if self._own is None:
            from .dialect import dialect_for
            dialect = dialect_for(self.name)
            self._own = (dialect.tokenizer(), dialect.parser())
        return self._own


# Per thread, each dialect's parsers: made once, not per text (a tokenizer
# holds one text at a time, so not shared by threads).
_PER_THREAD = threading.local()


def parsers_of(name: str) -> Parsers:
    """This thread's parsers of the dialect of that name."""
    made: dict[str, Parsers] = _PER_THREAD.__dict__.setdefault("parsers", {})
    if name not in made:
        dialect = dialect_of(name)
        made[name] = Parsers(name, dialect.tokenizer(), dialect.parser(), is_mysql(name))
    return made[name]


def tokenise(text: str, tokenizer: Tokenizer) -> list[Token]:
    try:
        return tokenizer.tokenize(text)
    except TokenError as error:
        message = str(error).splitlines()[0] if str(error) else "cannot be tokenised"
        raise LineageError(f"token error: {message}") from error


# Parentheses and CASE … END nest the parser's recursion; the compiled
# parser (sqlglotc) checks no recursion limit and overflows the C stack at a
# few thousand levels, so deeper statements are refused before parsing.
MAX_NESTING = 1000


@dataclass
class StatementTokens:
    """The tokens of one statement, how deeply its parentheses and CASEs
    nest, and whether it holds a SELECT."""

    tokens: list[Token]
    depth: int = 0
    has_select: bool = False


def measure(tokens: list[Token]) -> StatementTokens:
    """One statement's tokens with how deeply they nest and whether they
    hold a SELECT."""
    l_paren, r_paren = TokenType.L_PAREN, TokenType.R_PAREN
    case, end = TokenType.CASE, TokenType.END
    select = TokenType.SELECT
    depth = deepest = 0
    has_select = False
    for token in tokens:
        kind = token.token_type
        if kind is l_paren or kind is case:
            depth += 1
            if depth > deepest:
                deepest = depth
        elif kind is r_paren or kind is end:
            depth -= 1
        elif kind is select:
            has_select = True
    return StatementTokens(tokens, deepest, has_select)


def split_statements(tokens: list[Token]) -> list[list[Token]]:
    """The tokens cut at semicolons (dialects other than MySQL, whose files
    are split as its client does)."""
    chunks, start = [], 0
    for index, token in enumerate(tokens):
        if token.token_type is TokenType.SEMICOLON:
            if index > start:
                chunks.append(tokens[start:index])
            start = index + 1
    if start < len(tokens):
        chunks.append(tokens[start:])
    return chunks


@dataclass
class Piece:
    """One statement's text to parse, and where it stands in the file."""

    number: int
    text: str
    written: str
    line: int = 1
    column: int = 1
    place: int | None = None
    variables: frozenset[str] = frozenset()


def pieces_of(text: str, parsers: Parsers, more: Iterator[str] | None = None
              ) -> Iterator[Piece]:
    """The statements of a text (and the `more` of it, line-aligned pieces
    read later): MySQL's as its client splits a file (DELIMITER, executable
    comments), each found when asked for; another dialect's at semicolons."""
    if parsers.mysql:
        return (Piece(chunk.number, chunk.text, chunk.written, chunk.line, chunk.column)
                for chunk in iter_script(text, more))
    text += "".join(more or ())
    return iter([Piece(number, text[tokens[0].start:tokens[-1].end + 1],
                       text[tokens[0].start:tokens[-1].end + 1], tokens[0].line)
                 for number, tokens in enumerate(
                     split_statements(tokenise(text, parsers.tokenizer)), start=1)])


ROUTINE_HEAD = re.compile(r"\s*(?:CREATE|ALTER)\b(?:(?!\bAS\b|\bSELECT\b).){0,400}?"
                          r"\b(?:PROCEDURE|FUNCTION|TRIGGER|EVENT)\b", re.IGNORECASE | re.DOTALL)


def parse_statements(text: str, dialect: str = "mysql", more: Iterator[str] | None = None
                     ) -> Iterator[ParsedStatement]:
    """Every statement of `text`, numbered from 1 as the server runs them,
    each parsed when it is asked for (a file's trees are never all held at
    once); `more`: the rest of the text, in line-aligned pieces read as the
    statements reach them. A statement that does not parse carries its
    error; a text with a NUL byte fails as a whole (LineageError: at once,
    or when `more` reaches it)."""
    check_text(text)
    return parsed_pieces(text[1:] if text.startswith("\ufeff") else text,  # a byte-order mark
                         parsers_of(dialect), None if more is None else checked_pieces(more))


def checked_pieces(more: Iterator[str]) -> Iterator[str]:
    for piece in more:
        check_text(piece)
        yield piece


def parsed_pieces(text: str, parsers: Parsers, more: Iterator[str] | None = None
                  ) -> Iterator[ParsedStatement]:
    for piece in pieces_of(text, parsers, more):
        if ROUTINE_HEAD.match(piece.text):
            yield parse_routine(piece, parsers)
        else:
            yield parse_piece(piece, parsers)


def parse_routine(piece: Piece, parsers: Parsers) -> ParsedStatement:
    """A CREATE PROCEDURE/FUNCTION/TRIGGER/EVENT and its body's statements,
    each parsed; a routine that cannot be read is this statement's error."""
    from .routines import RoutineError, read_routine  # only files with routines need it

    try:
        routine = read_routine(piece.text)
    except RoutineError as error:
        return ParsedStatement(piece.number, piece.written, error=f"cannot read routine: {error}",
                               first_word="CREATE", line=piece.line)
    if routine is None:
        return parse_piece(piece, parsers)
    statement = ParsedStatement(piece.number, piece.written,
                                first_word=piece.text.split(None, 1)[0].upper(),
                                line=piece.line, routine=routine)
    statement.body = [parse_piece(Piece(piece.number, handled(inner.sql), inner.sql,
                                        piece.line + inner.line - 1, 1, inner.place,
                                        inner.variables), parsers)
                      for inner in routine.body]
    return statement


HANDLER_CONDITION = (r"(?:SQLSTATE(?:\s+VALUE)?\s*'[^']*'|NOT\s+FOUND|SQLWARNING|SQLEXCEPTION"
                     r"|\d+|`[^`]+`|\w+)")
HANDLER_HEAD = re.compile(rf"\s*DECLARE\s+(?:CONTINUE|EXIT|UNDO)\s+HANDLER\s+FOR\s+"
                          rf"{HANDLER_CONDITION}(?:\s*,\s*{HANDLER_CONDITION})*\s+(?=\S)",
                          re.IGNORECASE)


def handled(sql: str) -> str:
    """A handler's own statement where a DECLARE … HANDLER holds one (what
    the server runs when it fires), else the statement as it is."""
    head = HANDLER_HEAD.match(sql)
    return sql[head.end():] if head is not None else sql


# The trees of statements sqlglot's own MySQL parser reads as MySQL does;
# any other tree (a Command, or a statement misread as an expression) is
# parsed again with the project's dialect.
STATEMENT_TREES = (exp.Query, exp.DML, exp.DDL, exp.Use, exp.Set, exp.Transaction, exp.Commit,
                   exp.Rollback, exp.Describe, exp.Drop, exp.Alter, exp.TruncateTable, exp.Grant,
                   exp.Show, exp.Analyze, exp.Kill, exp.Revoke)


# Statements sqlglot keeps whole as a Command that move no data and that the
# package's dialect would keep so as well: no second parse.
OPAQUE_COMMANDS = {
    "LOCK", "UNLOCK", "CALL", "DECLARE", "OPEN", "FETCH", "CLOSE", "LEAVE", "ITERATE", "GRANT",
    "REVOKE", "FLUSH", "SIGNAL", "RESIGNAL", "HANDLER", "PURGE", "KILL", "RESET", "XA",
    "INSTALL", "UNINSTALL", "CHECKSUM", "OPTIMIZE", "REPAIR", "HELP", "PREPARE", "EXECUTE",
    "DEALLOCATE",
}


def read_as_mysql(tree: exp.Expr | None) -> bool:
    """Whether sqlglot's own MySQL parser read the statement as MySQL does:
    not `SELECT … INTO var` read as a table, nor sqlglot 27's `INSERT …
    TABLE t` kept apart from the query, nor `USE warehouse` read as another
    dialect's USE of a kind of object."""
    if isinstance(tree, exp.Command):
        return str(tree.this).split(None, 1)[0].upper() in OPAQUE_COMMANDS \
            if str(tree.this).strip() else False
    return isinstance(tree, STATEMENT_TREES) \
        and tree.args.get("into") is None \
        and not (isinstance(tree, exp.Insert)
                 and isinstance(tree.args.get("source"), exp.Expression)) \
        and not (isinstance(tree, exp.Use) and (tree.this is None or tree.args.get("kind")))


def parse_piece(piece: Piece, parsers: Parsers) -> ParsedStatement:
    """One statement parsed: by sqlglot's parser, and for MySQL by the
    package's own dialect where sqlglot's refuses or misreads it."""
    source = piece.text
    statement = ParsedStatement(piece.number, piece.written, line=piece.line, place=piece.place,
                                variables=piece.variables)
    try:
        chunk = measure(tokenise(source, parsers.tokenizer))
    except LineageError as error:
        if not parsers.mysql:
            return failed(statement, source, str(error))
        try:
            chunk = measure(tokenise(source, parsers.own()[0]))
        except LineageError as error:
            return failed(statement, source, str(error))
    tokens = chunk.tokens
    if not tokens:
        return failed(statement, source, "no SQL statement")
    statement.item_texts = select_item_texts(tokens, source)
    statement.first_word = tokens[0].text.upper()
    statement.has_select = chunk.has_select
    if chunk.depth > MAX_NESTING:
        return failed(statement, source, "too deeply nested to parse")
    end = first_row_end(tokens)
    if end is not None:  # a dump's data: the rows after the first add nothing
        tokens = tokens[:end + 1]
    first: exp.Expr | None = None
    try:
        try:
            first = parse_tokens(parsers.parser, tokens, source)
        except ParseError:
            if not parsers.mysql:
                raise
        if not parsers.mysql or read_as_mysql(first):
            statement.tree = first
            return statement
        tokenizer, parser = parsers.own()
        statement.tree = parse_tokens(parser, tokenise(source, tokenizer), source)
    except (ParseError, LineageError) as error:
        if first is not None:
            statement.tree = first  # what sqlglot's own parser made of it
        else:
            statement.error = describe_parse_error(error, piece.line, piece.column) \
                if isinstance(error, ParseError) else str(error)
    except RecursionError:
        statement.error = "too deeply nested to parse"
    return statement


LITERALS = {TokenType.NUMBER, TokenType.STRING, TokenType.NULL, TokenType.TRUE, TokenType.FALSE,
            TokenType.HEX_STRING, TokenType.BIT_STRING, TokenType.NATIONAL_STRING,
            TokenType.BYTE_STRING}
SIGNS = {TokenType.DASH, TokenType.PLUS}


def first_row_end(tokens: list[Token]) -> int | None:
    """For `INSERT|REPLACE … VALUES (…), (…), …` whose rows after the first
    hold literals only (a dump's data, thousands of rows a statement): the
    index of the token that closes the first row. A literal reads no column,
    so those rows add nothing to the lineage, and parsing the statement up
    to there gives what parsing it whole gives, at a fraction of the cost.
    None for any other statement."""
    if not tokens or tokens[0].token_type not in (TokenType.INSERT, TokenType.REPLACE):
        return None
    depth, at, count = 0, None, len(tokens)
    for index, token in enumerate(tokens):
        kind = token.token_type
        depth += (kind is TokenType.L_PAREN) - (kind is TokenType.R_PAREN)
        if kind is TokenType.SELECT:
            return None
        if depth == 0 and kind is TokenType.VALUES:
            at = index + 1
            break
    if at is None or at >= count or tokens[at].token_type is not TokenType.L_PAREN:
        return None
    depth, end = 0, None
    for index in range(at, count):
        kind = tokens[index].token_type
        depth += (kind is TokenType.L_PAREN) - (kind is TokenType.R_PAREN)
        if depth == 0:
            end = index
            break
    if end is None or end + 1 >= count or tokens[end + 1].token_type is not TokenType.COMMA:
        return None
    index = end + 1
    while index < count and tokens[index].token_type is TokenType.COMMA:
        if index + 1 >= count or tokens[index + 1].token_type is not TokenType.L_PAREN:
            return None
        index += 2
        while True:  # [sign] literal, then , or )
            if index < count and tokens[index].token_type in SIGNS:
                index += 1
            if index + 1 >= count or tokens[index].token_type not in LITERALS:
                return None
            index += 2
            if tokens[index - 1].token_type is TokenType.R_PAREN:
                break
            if tokens[index - 1].token_type is not TokenType.COMMA:
                return None
    rest = tokens[index:]
    return end if all(token.token_type is TokenType.SEMICOLON for token in rest) else None


def parse_tokens(parser: Parser, tokens: list[Token], source: str) -> exp.Expr | None:
    trees = [tree for tree in parser.parse(tokens, source) if tree is not None]
    return trees[0] if trees else None


def failed(statement: ParsedStatement, source: str, error: str) -> ParsedStatement:
    statement.error = error
    if not statement.first_word:
        words = source.split(None, 1)
        statement.first_word = words[0].upper() if words else ""
    return statement


SELECT_LIST_ENDS = {
    TokenType.FROM, TokenType.INTO, TokenType.WHERE, TokenType.GROUP_BY, TokenType.HAVING,
    TokenType.ORDER_BY, TokenType.LIMIT, TokenType.UNION, TokenType.EXCEPT, TokenType.INTERSECT,
    TokenType.WINDOW, TokenType.FOR, TokenType.QUALIFY,
}
SET_OPERATORS = {TokenType.UNION, TokenType.EXCEPT, TokenType.INTERSECT}
SELECT_MODIFIERS = {
    "DISTINCT", "ALL", "DISTINCTROW", "HIGH_PRIORITY", "STRAIGHT_JOIN", "SQL_SMALL_RESULT",
    "SQL_BIG_RESULT", "SQL_BUFFER_RESULT", "SQL_NO_CACHE", "SQL_CACHE", "SQL_CALC_FOUND_ROWS",
}


def select_item_texts(tokens: list[Token], text: str) -> list[str] | None:
    """The select items of a statement's main SELECT (the first one outside
    parentheses) as written, or None when there is none."""
    depth, start = 0, None
    for index, token in enumerate(tokens):
        depth += (token.token_type == TokenType.L_PAREN) - (token.token_type == TokenType.R_PAREN)
        if depth == 0 and token.token_type in SET_OPERATORS:
            return None  # the main select is a parenthesised first branch
        if depth == 0 and token.token_type == TokenType.SELECT:
            start = index + 1
            break
    if start is None:
        return None
    while start < len(tokens) and tokens[start].text.upper() in SELECT_MODIFIERS:
        start += 1
    items: list[list[Token]] = [[]]
    depth = 0
    for token in tokens[start:]:
        if depth == 0 and token.token_type in SELECT_LIST_ENDS:
            break
        depth += (token.token_type == TokenType.L_PAREN) - (token.token_type == TokenType.R_PAREN)
        if depth < 0:
            break
        if depth == 0 and token.token_type == TokenType.COMMA:
            items.append([])
        else:
            items[-1].append(token)
    return [text[item[0].start:item[-1].end + 1] if item else "" for item in items]


def mark_written_items(query: exp.Expr, texts: list[str] | None) -> None:
    """Give each item of the main select the text it was written with, the
    output name of an unaliased expression."""
    select = query
    while isinstance(select, (exp.SetOperation, exp.Subquery)):
        select = select.this
    if texts and isinstance(select, exp.Select) and len(select.expressions) == len(texts):
        for item, written in zip(select.expressions, texts):
            item.meta["written"] = written


def statement_kind(tree: exp.Expr) -> str:
    if isinstance(tree, exp.Insert):
        return "REPLACE" if tree.meta.get("replace") or tree.args.get("alternative") == "REPLACE" \
            else "INSERT"
    if isinstance(tree, exp.Create):
        kind = str(tree.args.get("kind") or "").upper()
        properties = tree.args.get("properties")
        if kind == "TABLE" and properties is not None \
                and any(isinstance(item, exp.TemporaryProperty) for item in properties.expressions):
            kind = "TEMPORARY TABLE"
        return f"CREATE {kind}".strip()
    if isinstance(tree, exp.Command):
        return str(tree.this).upper()
    if tree.key in ("drop", "alter") and tree.args.get("kind"):
        return f"{tree.key.upper()} {str(tree.args['kind']).upper()}"
    if tree.key == "truncatetable":
        return "TRUNCATE TABLE"
    if tree.key == "loaddata":
        return "LOAD DATA"
    if isinstance(tree, (exp.Query, exp.Values)):  # VALUES is a query too
        return "SELECT"
    return tree.key.upper()


# Statements that cannot move data into a table's columns: by the first
# word of their kind, or their whole kind. Any other statement without rows
# may move data (CALL, LOAD DATA, EXECUTE, ...) and says why it has none.
INERT_WORDS = {
    "SET", "USE", "LOCK", "UNLOCK", "GRANT", "REVOKE", "START", "BEGIN", "COMMIT", "ROLLBACK",
    "SAVEPOINT", "RELEASE", "DROP", "ALTER", "RENAME", "TRUNCATE", "DELETE", "ANALYZE",
    "OPTIMIZE", "CHECK", "CHECKSUM", "REPAIR", "SHOW", "DESCRIBE", "DESC", "EXPLAIN", "FLUSH",
    "KILL", "RESET", "PURGE", "DECLARE", "OPEN", "CLOSE", "FETCH", "LEAVE", "ITERATE", "RETURN",
    "SIGNAL", "RESIGNAL", "DEALLOCATE", "HANDLER", "DO", "XA", "INSTALL", "UNINSTALL", "HELP",
    "TRANSACTION", "CACHE", "BINLOG", "SHUTDOWN", "RESTART", "CLONE", "COMMENT", "PRAGMA",
    "UNCACHE", "REFRESH", "GET",
}
INERT_CREATES = {
    "CREATE TABLE", "CREATE TEMPORARY TABLE", "CREATE DATABASE", "CREATE SCHEMA", "CREATE INDEX",
    "CREATE USER", "CREATE ROLE", "CREATE PROCEDURE", "CREATE FUNCTION", "CREATE TRIGGER",
    "CREATE EVENT", "CREATE SERVER", "CREATE TABLESPACE", "CREATE LOGFILE", "CREATE SPATIAL",
    "CREATE SEQUENCE",
}


def moves_data(kind: str) -> bool:
    """Whether a statement of this kind may move data into a table's
    columns (a CREATE TABLE or VIEW with a query is read before this is
    asked)."""
    words = kind.split()
    if not words:
        return True
    if words[0] == "CREATE":
        return " ".join(words[:3]) not in INERT_CREATES and " ".join(words[:2]) not in INERT_CREATES
    return words[0] not in INERT_WORDS


def why_no_rows(kind: str, tree: exp.Expr | None) -> str:
    """The line a statement that may move data but gives no rows says."""
    if kind == "CALL":
        called = tree.expression.name if tree is not None and isinstance(tree, exp.Command) \
            and isinstance(tree.expression, exp.Literal) else ""
        routine = called.split("(", 1)[0].strip()
        return f"CALL runs procedure {routine or '(unnamed)'}: its statements are analysed " \
            "where it is created"
    if kind.startswith("LOAD"):
        return f"{kind} statement reads a file, not a table"
    if kind in ("PREPARE", "EXECUTE"):
        return f"{kind} statement runs SQL built at run time: not analysed"
    return f"{kind} statement has no query"


def altered_view_query(tree: exp.Expr) -> exp.Query | None:
    """The new query of `ALTER VIEW v AS …` (a view redefined, as CREATE OR
    REPLACE VIEW does)."""
    if isinstance(tree, exp.Alter) and str(tree.args.get("kind") or "").upper() == "VIEW":
        actions = tree.args.get("actions") or []
        if len(actions) == 1 and isinstance(actions[0], exp.Query):
            return actions[0]
    return None


def statement_query(tree: exp.Expr) -> exp.Query | None:
    """The query a statement runs, or None for a statement with none."""
    if isinstance(tree, exp.Query):
        return tree
    if isinstance(tree, exp.Alter):
        return altered_view_query(tree)
    if isinstance(tree, (exp.Insert, exp.Create)):
        query = tree.expression
        while isinstance(query, exp.Subquery) and isinstance(query.this, exp.Query):
            query = query.this
        if isinstance(query, exp.Query):
            return query
    return None


def statement_with(tree: exp.Expr) -> exp.With | None:
    """A WITH written before INSERT … SELECT belongs to the Insert node in
    sqlglot's tree, not to the query."""
    if isinstance(tree, (exp.Insert, exp.Create)):
        found = arg(tree, "with")
        return found if isinstance(found, exp.With) else None
    return None


def statement_target(tree: exp.Expr) -> Target | None:
    if not isinstance(tree, (exp.Insert, exp.Create)) and altered_view_query(tree) is None:
        return None
    table, columns = tree.this, []
    if isinstance(table, exp.Schema):
        # A column list names the target column of each position (CREATE
        # TABLE's column definitions do not: MySQL matches them by name).
        columns = [column.name for column in table.expressions
                   if isinstance(column, (exp.Identifier, exp.Column))]
        table = table.this
    if not isinstance(table, exp.Table):
        return None
    by_name = isinstance(tree, exp.Create) and str(tree.args.get("kind") or "").upper() == "TABLE"
    return Target(table.db or None, table.name, [] if by_name else columns, by_name)


def read_tables(tree: exp.Expr, database: str | None) -> list[TableName]:
    """The base tables a statement reads, each once, the tables of inner
    queries before those of the queries around them: a CTE's name is none of
    them, nor the table the statement writes; a table named without its
    database is in `database` (the default one, as USE left it). An UPDATE's
    are those of its subqueries."""
    target = tree.this if isinstance(tree, exp.Insert | exp.Create) else None
    if isinstance(target, exp.Schema):
        target = target.this
    found: list[tuple[int, TableName]] = []
    for table in tree.find_all(exp.Table):
        if table is target or not isinstance(table.this, exp.Identifier) or not table.name:
            continue
        depth = queries_around(table)
        if depth is not None and (depth or not isinstance(tree, exp.Update)):
            found.append((-depth, TableName(table.db or database or None, table.name)))
    found.sort(key=lambda entry: entry[0])  # stable: as written within one depth
    return list(dict.fromkeys(name for _, name in found))


def queries_around(table: exp.Table) -> int | None:
    """How many queries a table sits in; None when, unqualified, it names a
    CTE in sight instead: one of a WITH around it, defined before the CTE the
    table sits in (any of them, when the WITH is RECURSIVE)."""
    count, parent = 0, table.parent
    child: exp.Expr = table
    while parent is not None:
        if isinstance(parent, exp.With):
            ctes = parent.expressions
            if not parent.args.get("recursive"):
                ctes = ctes[:next((i for i, cte in enumerate(ctes) if cte is child), len(ctes))]
        else:
            with_ = parent.args.get("with_") or parent.args.get("with")
            ctes = with_.expressions if isinstance(with_, exp.With) and with_ is not child else []
        if not table.db and any(cte.alias_or_name == table.name for cte in ctes):
            return None
        count += isinstance(parent, exp.Query)
        child, parent = parent, parent.parent
    return count


def used_database(tree: exp.Expr) -> str | None:
    """The database a MySQL `USE db` switches to."""
    if isinstance(tree, exp.Use) and tree.this is not None:
        return tree.this.name or None
    return None
