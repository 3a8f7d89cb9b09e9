"""Statements of a SQL text: split, parsed one by one, their kind, their
target table and the query they run.

The text is tokenised once and cut at its semicolons, so that a statement
that does not parse costs only itself, and each statement keeps its own
text as written."""

from __future__ import annotations

import re
import threading
from dataclasses import dataclass, field

from sqlglot import exp
from sqlglot.dialects.dialect import Dialect
from sqlglot.errors import ParseError, TokenError
from sqlglot.tokens import Tokenizer, TokenType


class LineageError(Exception):
    """The text could not be analysed at all; the message says why and where."""


@dataclass
class ParsedStatement:
    """One statement of a text: its text as written, its tree, or the reason
    it could not be parsed."""

    number: int
    sql: str
    tree: exp.Expression | None = None
    error: str | None = None
    item_texts: list[str] | None = None
    first_word: str = ""
    has_select: bool = True


@dataclass
class Target:
    """The table a statement writes and the columns it names (if written)."""

    db: str | None
    table: str
    columns: list[str] = field(default_factory=list)
    by_name: bool = False  # CREATE TABLE … AS SELECT: each column fills the one named like it


def arg(node: exp.Expression, name: str):
    """A child by its key, whichever way sqlglot spells it ("from" up to
    27.x, "from_" from 28 on)."""
    value = node.args.get(name)
    return value if value is not None else node.args.get(name + "_")


def arg_key(node: exp.Expression, name: str) -> str:
    return name + "_" if name + "_" in type(node).arg_types else name


def dialect_of(name: str) -> Dialect:
    try:
        return Dialect.get_or_raise(name)
    except ValueError as error:
        raise LineageError(f"unknown dialect {name!r}") from error


def describe_parse_error(error: ParseError) -> str:
    details = error.errors[0] if getattr(error, "errors", None) else {}
    where = ""
    if details.get("line") is not None:
        where = f" at line {details['line']}, column {details.get('col')}"
    message = details.get("description") or str(error).splitlines()[0]
    return f"parse error{where}: {message}"


def check_text(text: str) -> None:
    position = text.find("\x00")
    if position >= 0:
        line = text.count("\n", 0, position) + 1
        column = position - text.rfind("\n", 0, position)
        raise LineageError(f"NUL byte at line {line}, column {column}")


# Per thread, each dialect's instance and a tokenizer of it: made once, not
# per text (a tokenizer holds one text at a time, so not shared by threads).
_PER_THREAD = threading.local()


def dialect_and_tokenizer(name: str) -> tuple[Dialect, Tokenizer]:
    made = _PER_THREAD.__dict__.setdefault("dialects", {})
    if name not in made:
        dialect = dialect_of(name)
        made[name] = (dialect, dialect.tokenizer())
    return made[name]


def tokenise(text: str, tokenizer: Tokenizer) -> list:
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

    tokens: list
    depth: int = 0
    has_select: bool = False


def split_statements(tokens: list) -> list[StatementTokens]:
    """The tokens cut at semicolons, in one pass that also measures each
    statement's nesting and finds its SELECTs."""
    l_paren, r_paren, case, end = TokenType.L_PAREN, TokenType.R_PAREN, TokenType.CASE, TokenType.END
    semicolon, select = TokenType.SEMICOLON, TokenType.SELECT
    chunks = []
    start = depth = deepest = 0
    has_select = False
    for index, token in enumerate(tokens):
        kind = token.token_type
        if kind is l_paren or kind is case:
            depth += 1
            if depth > deepest:
                deepest = depth
        elif kind is r_paren or kind is end:
            depth -= 1
        elif kind is semicolon:
            if index > start:
                chunks.append(StatementTokens(tokens[start:index], deepest, has_select))
            start, depth, deepest, has_select = index + 1, 0, 0, False
        elif kind is select:
            has_select = True
    if start < len(tokens):
        chunks.append(StatementTokens(tokens[start:], deepest, has_select))
    return chunks


def parse_statements(text: str, dialect: str = "mysql") -> list[ParsedStatement]:
    """Every statement of `text`, numbered from 1 in file order. A statement
    that does not parse carries its error; one that cannot even be
    tokenised (an unterminated string) fails the whole text."""
    check_text(text)
    text = text[1:] if text.startswith("\ufeff") else text  # a UTF-8 byte-order mark
    sql_dialect, tokenizer = dialect_and_tokenizer(dialect)
    parser = sql_dialect.parser()  # parse() starts afresh each time
    statements = []
    for number, chunk in enumerate(split_statements(tokenise(text, tokenizer)), start=1):
        tokens = chunk.tokens
        source = text[tokens[0].start:tokens[-1].end + 1]
        statement = ParsedStatement(
            number, source, item_texts=select_item_texts(tokens, text),
            first_word=tokens[0].text.upper(), has_select=chunk.has_select)
        if chunk.depth > MAX_NESTING:
            statement.error = "too deeply nested to parse"
            statements.append(statement)
            continue
        try:
            trees = [tree for tree in parser.parse(parseable(tokens, source), text)
                     if tree is not None]
            statement.tree = trees[0] if trees else None
            if statement.tree is not None and statement.tree.key == "command":
                statement.tree = reparse_command(statement.tree, sql_dialect) or statement.tree
        except ParseError as error:
            statement.error = describe_parse_error(error)
        except RecursionError:
            statement.error = "too deeply nested to parse"
        statements.append(statement)
    return statements


UNPARSED_CLAUSE = re.compile(r"\b(?:OUTFILE|DUMPFILE|OPTION)\b", re.IGNORECASE)


def parseable(tokens: list, source: str) -> list:
    """The tokens without the MySQL clauses sqlglot does not parse and that
    change nothing of the lineage: where a query's rows are exported to, and
    a view's CHECK OPTION. (The text is searched first: it is faster than
    a look at every token.)"""
    if not may_hold_unparsed_clause(source):
        return tokens
    return without_check_option(without_export(tokens))


def may_hold_unparsed_clause(source: str) -> bool:
    """Whether the text holds a word of those clauses; ASCII text is first
    looked at without the regular expression, ten times slower."""
    if source.isascii():
        upper = source.upper()
        if "OUTFILE" not in upper and "DUMPFILE" not in upper and "OPTION" not in upper:
            return False
    return UNPARSED_CLAUSE.search(source) is not None


def without_check_option(tokens: list) -> list:
    """`CREATE VIEW … WITH [CASCADED | LOCAL] CHECK OPTION` without it."""
    words = [token.text.upper() for token in tokens[-4:]]
    if words[-3:] == ["WITH", "CHECK", "OPTION"]:
        return tokens[:-3]
    if len(words) == 4 and words[0] == "WITH" and words[1] in ("CASCADED", "LOCAL") \
            and words[2:] == ["CHECK", "OPTION"]:
        return tokens[:-4]
    return tokens


EXPORTS = {"OUTFILE", "DUMPFILE"}


def without_export(tokens: list) -> list:
    """The tokens without MySQL's `INTO OUTFILE 'file' [options]` or `INTO
    DUMPFILE 'file'`."""
    for index, token in enumerate(tokens):
        if token.token_type == TokenType.INTO and index + 2 < len(tokens) \
                and tokens[index + 1].text.upper() in EXPORTS \
                and tokens[index + 2].token_type == TokenType.STRING:
            end = next((at for at in range(index + 2, len(tokens))
                        if tokens[at].token_type in EXPORT_ENDS), len(tokens))
            return tokens[:index] + without_export(tokens[end:])
    return tokens


SELECT_LIST_ENDS = {
    TokenType.FROM, TokenType.INTO, TokenType.WHERE, TokenType.GROUP_BY, TokenType.HAVING,
    TokenType.ORDER_BY, TokenType.LIMIT, TokenType.UNION, TokenType.EXCEPT, TokenType.INTERSECT,
    TokenType.WINDOW, TokenType.FOR, TokenType.QUALIFY,
}
EXPORT_ENDS = SELECT_LIST_ENDS - {TokenType.INTO} | {TokenType.R_PAREN}
SET_OPERATORS = {TokenType.UNION, TokenType.EXCEPT, TokenType.INTERSECT}
SELECT_MODIFIERS = {
    "DISTINCT", "ALL", "DISTINCTROW", "HIGH_PRIORITY", "STRAIGHT_JOIN", "SQL_SMALL_RESULT",
    "SQL_BIG_RESULT", "SQL_BUFFER_RESULT", "SQL_NO_CACHE", "SQL_CACHE", "SQL_CALC_FOUND_ROWS",
}


def select_item_texts(tokens: list, text: str) -> list[str] | None:
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
    items, depth = [[]], 0
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


def mark_written_items(query: exp.Expression, texts: list[str] | None) -> None:
    """Give each item of the main select the text it was written with, the
    output name of an unaliased expression."""
    select = query
    while isinstance(select, (exp.SetOperation, exp.Subquery)):
        select = select.this
    if texts and isinstance(select, exp.Select) and len(select.expressions) == len(texts):
        for item, written in zip(select.expressions, texts):
            item.meta["written"] = written


def reparse_command(tree: exp.Command, dialect: Dialect) -> exp.Expression | None:
    """REPLACE [INTO] … is MySQL's INSERT that replaces duplicate keys;
    sqlglot 27 keeps it as an opaque command. Read it as the INSERT it is."""
    if str(tree.this).upper() != "REPLACE":
        return None
    rest = tree.expression.name if isinstance(tree.expression, exp.Literal) else ""
    try:
        trees = dialect.parse("INSERT " + rest)
    except (ParseError, TokenError):
        return None
    insert = trees[0] if trees else None
    if not isinstance(insert, exp.Insert):
        return None
    insert.meta["replace"] = True
    return insert


def statement_kind(tree: exp.Expression) -> str:
    if isinstance(tree, exp.Insert):
        return "REPLACE" if tree.meta.get("replace") or tree.args.get("alternative") == "REPLACE" \
            else "INSERT"
    if isinstance(tree, exp.Create):
        return f"CREATE {str(tree.args.get('kind') or '').upper()}".strip()
    if isinstance(tree, exp.Command):
        return str(tree.this).upper()
    if tree.key in ("drop", "alter") and tree.args.get("kind"):
        return f"{tree.key.upper()} {str(tree.args['kind']).upper()}"
    if tree.key == "truncatetable":
        return "TRUNCATE TABLE"
    if isinstance(tree, exp.Query):
        return "SELECT"
    return tree.key.upper()


def statement_query(tree: exp.Expression) -> exp.Expression | None:
    """The query a statement runs, or None for a statement with none."""
    if isinstance(tree, exp.Query):
        return tree
    if isinstance(tree, (exp.Insert, exp.Create)):
        query = tree.expression
        while isinstance(query, exp.Subquery) and isinstance(query.this, exp.Query):
            query = query.this
        if isinstance(query, exp.Query):
            return query
    return None


def statement_with(tree: exp.Expression) -> exp.With | None:
    """A WITH written before INSERT … SELECT belongs to the Insert node in
    sqlglot's tree, not to the query."""
    if isinstance(tree, (exp.Insert, exp.Create)):
        return arg(tree, "with")
    return None


def statement_target(tree: exp.Expression) -> Target | None:
    if not isinstance(tree, (exp.Insert, exp.Create)):
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


def used_database(tree: exp.Expression) -> str | None:
    """The database a MySQL `USE db` switches to."""
    if isinstance(tree, exp.Use) and tree.this is not None:
        return tree.this.name or None
    return None
