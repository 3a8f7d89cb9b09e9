"""MySQL stored routines, triggers and events: their header and the simple
statements their bodies run.

sqlglot's MySQL parser reads one simple statement at a time, while a CREATE
PROCEDURE/FUNCTION/TRIGGER/EVENT holds a compound body (BEGIN … END, IF,
CASE, loops, DECLAREs). read_routine reads the header and walks the body's
tokens (sqlglot's MySQL tokenizer, which knows quotes and comments), cutting
each simple statement out of the text as written, with its place in the
body, its line and the variables in scope there. The statements themselves
are not parsed."""

from __future__ import annotations

import bisect
import re
from dataclasses import dataclass, replace
from typing import NamedTuple

from sqlglot import Token, TokenError, TokenType
from sqlglot.dialects.mysql import MySQL

from .errors import RoutineError as RoutineError  # raised here, importable from here


@dataclass(frozen=True)
class BodyStatement:
    """One simple statement of a routine's body."""

    place: int  # 1, 2, …: its place among the body's statements
    sql: str  # its text as written, without `;` (a cursor's: its query)
    line: int  # 1-based line of its first character within the CREATE's text
    variables: frozenset[str]  # lower-cased parameters and local variables in scope
    cursor: str | None = None  # the cursor that `DECLARE c CURSOR FOR <sql>` declares


@dataclass(frozen=True)
class Routine:
    """A procedure, function, trigger or event: its header and its body."""

    kind: str  # "PROCEDURE", "FUNCTION", "TRIGGER", "EVENT"
    db: str | None
    name: str
    parameters: tuple[str, ...]
    table_db: str | None = None  # a trigger's table
    table: str | None = None
    event: str | None = None  # a trigger's INSERT / UPDATE / DELETE
    timing: str | None = None  # BEFORE / AFTER
    body: tuple[BodyStatement, ...] = ()


class _BodyTokenizer(MySQL.Tokenizer):
    """MySQL's tokenizer that keeps CALL, EXECUTE, FETCH, PREPARE, REPLACE… as
    ordinary tokens: the stock one folds the rest of such a statement into a
    single string token, whose offsets do not cover its text."""

    COMMANDS = set[TokenType]()


_KINDS = frozenset({"PROCEDURE", "FUNCTION", "TRIGGER", "EVENT"})
_BLOCKS = frozenset({"BEGIN", "IF", "CASE", "WHILE", "LOOP", "REPEAT"})
_LABELLED = frozenset({"BEGIN", "WHILE", "LOOP", "REPEAT"})
_STOPS = frozenset({"END", "ELSE", "ELSEIF", "WHEN", "UNTIL"})
_END, _UNTIL, _THEN, _WHEN, _DO = (frozenset({w}) for w in ("END", "UNTIL", "THEN", "WHEN", "DO"))
_IF_ENDS = frozenset({"ELSEIF", "ELSE", "END"})
_CASE_ENDS = frozenset({"WHEN", "ELSE", "END"})
_TYPE_WORDS = frozenset(
    {"PRECISION", "VARYING", "VARCHAR", "VARBINARY", "CHAR", "CHARACTER", "INTEGER", "UNSIGNED",
     "SIGNED", "ZEROFILL", "BINARY", "ASCII", "UNICODE", "BYTE"}
)
_QUALIFIERS = frozenset({".", "@", "@@"})
_MAX_DEPTH = 100
_WORD = re.compile(r"[^\W\d][\w$]*")
_WORDS = re.compile(r"[^\W\d][\w$]*(?:\s+[^\W\d][\w$]*)*")
_OPENERS = re.compile(
    r"""'(?:[^'\\]|\\.|'')*'|"(?:[^"\\]|\\.|"")*"|`(?:[^`]|``)*`|/\*.*?\*/|(?:--|\#)[^\n]*
    |(?P<open>['"`]|/\*)""",
    re.S | re.X,
)
_LEADING = re.compile(r"(?:\s+|(?:--|\#)[^\n]*|/\*.*?\*/)*", re.S)
_UNCLOSED = {"'": "string", '"': "string", "`": "quoted name", "/*": "comment"}


class _Item(NamedTuple):
    """One word, quoted name, string or mark of the text."""

    kind: str  # "word" (keyword or bare name), "name" (quoted), "string", "mark"
    word: str  # a word upper-cased, a mark as written; "" for names and strings
    text: str  # as written (a quoted name unquoted)
    start: int
    end: int  # inclusive


def _items(text: str, tokens: list[Token]) -> list[_Item]:
    """The items of the tokens."""
    items: list[_Item] = []
    for token in tokens:
        kind, start, end = token.token_type, token.start, token.end
        raw = text[start : end + 1]
        if kind == TokenType.STRING:
            items.append(_Item("string", "", token.text, start, end))
        elif kind == TokenType.IDENTIFIER:
            items.append(_Item("name", "", token.text, start, end))
        elif raw.isidentifier() or _WORD.fullmatch(raw):
            items.append(_Item("word", raw.upper(), raw, start, end))
        elif _WORDS.fullmatch(raw):  # one token of several words: `CHARACTER SET`
            items.extend(_Item("word", w[0].upper(), w[0], start + w.start(), start + w.end() - 1)
                         for w in _WORD.finditer(raw))
        else:
            items.append(_Item("mark", raw, raw, start, end))
    return items


def _tokens(text: str) -> list[Token]:
    """The text's tokens; TokenError for an unterminated quote or comment."""
    tokens: list[Token] = _BodyTokenizer(dialect=MySQL()).tokenize(text)
    return tokens


def read_routine(text: str) -> Routine | None:
    """The routine a CREATE … PROCEDURE/FUNCTION/TRIGGER/EVENT statement
    defines, None when the text is not such a statement; RoutineError when it
    is one whose header or body cannot be read."""
    start = _LEADING.match(text)
    if start is None or text[start.end() : start.end() + 6].upper() not in ("CREATE", "ALTER "):
        return None  # spares tokenizing the statements that cannot be routines
    try:
        tokens = _tokens(text)
    except TokenError as error:
        _check_untokenizable(text, error)
        return None
    reader = _Reader(text, _items(text, tokens))
    kind = reader.kind()
    if kind is None:
        return None
    try:
        return reader.routine(kind)
    except RoutineError as error:
        raise RoutineError(f"{reader.title or kind}: {error}") from None


def _check_untokenizable(text: str, error: TokenError) -> None:
    """For a text the tokenizer refused: when it starts a routine, raises the
    RoutineError that names the quote or comment left open."""
    opener = next((m for m in _OPENERS.finditer(text) if m["open"]), None)
    if opener is None:
        return None
    try:
        head = _Reader(text, _items(text, _tokens(text[: opener.start()])))
    except TokenError:
        return None
    kind = head.kind()
    if kind is None:
        return None
    what, line = _UNCLOSED[opener["open"]], text.count("\n", 0, opener.start()) + 1
    raise RoutineError(f"{kind}: unterminated {what} starting at line {line}") from error


class _Reader:
    """Walks the items of one CREATE text, collecting its body's statements."""

    def __init__(self, text: str, items: list[_Item]) -> None:
        self.text = text
        self.items = items
        self.pos = 0
        self.newlines = [m.start() for m in re.finditer("\n", text)]
        self.body: list[BodyStatement] = []
        self.open: list[_Item] = []  # the compound statements being read
        self.title = ""  # the routine's kind and name, once read
        self.altering = False  # ALTER EVENT rather than CREATE

    # -- looking at items

    def peek(self, ahead: int = 0) -> _Item | None:
        """The item `ahead` items on, None past the end."""
        index = self.pos + ahead
        return self.items[index] if index < len(self.items) else None

    def word(self, ahead: int = 0) -> str:
        """The keyword `ahead` items on: an unquoted word not qualified by `.`
        or `@` (`t.end`, `@do` are names); "" for anything else."""
        item = self.peek(ahead)
        if item is None or item.kind != "word":
            return ""
        before = self.items[self.pos + ahead - 1] if self.pos + ahead else None
        if before is not None and before.kind == "mark" and before.word in _QUALIFIERS:
            return ""
        return item.word

    def mark(self, ahead: int = 0) -> str:
        """The mark (`;`, `(`, `@`…) `ahead` items on; "" for anything else."""
        item = self.peek(ahead)
        return item.word if item is not None and item.kind == "mark" else ""

    def is_name(self, ahead: int = 0) -> bool:
        """Whether the item `ahead` items on is a word or a quoted name."""
        item = self.peek(ahead)
        return item is not None and item.kind in ("word", "name")

    def is_string(self) -> bool:
        """Whether the item here is a string."""
        item = self.peek()
        return item is not None and item.kind == "string"

    def line(self, offset: int) -> int:
        """The 1-based line of an offset of the text."""
        return bisect.bisect_left(self.newlines, offset) + 1

    def at(self, item: _Item) -> str:
        """`WORD at line N` for messages."""
        return f"{item.word or item.text} at line {self.line(item.start)}"

    def fail(self, what: str) -> RoutineError:
        """The error `what` with what was found instead."""
        item = self.peek()
        if item is None:
            return RoutineError(f"{what}, found the end of the text")
        return RoutineError(f"{what}, found {item.text!r} at line {self.line(item.start)}")

    def take(self) -> _Item:
        """The item here, moving past it."""
        item = self.items[self.pos]
        self.pos += 1
        return item

    def expect(self, *words: str) -> None:
        """Past these keywords, which must come next."""
        for word in words:
            if self.word() != word:
                raise self.fail(f"expected {word}")
            self.pos += 1

    def one_of(self, *words: str) -> str:
        """Which of these keywords comes next, moving past it."""
        word = self.word()
        if word not in words:
            raise self.fail("expected " + " or ".join(words))
        self.pos += 1
        return word

    def name(self, what: str) -> str:
        """The name here (unquoted), moving past it."""
        if not self.is_name():
            raise self.fail(f"expected {what}")
        return self.take().text

    def qualified(self, what: str) -> tuple[str | None, str]:
        """The `db.name` or `name` here, as (db or None, name)."""
        first = self.name(what)
        if self.mark() != ".":
            return None, first
        self.pos += 1
        return first, self.name(what)

    def skip_parentheses(self) -> None:
        """Past the `(` here and its matching `)`."""
        opener = self.take()
        depth = 1
        while depth:
            item = self.peek()
            if item is None:
                raise RoutineError(f"{self.at(opener)} is not closed")
            depth += {"(": 1, ")": -1}.get(self.mark(), 0)
            self.pos += 1

    # -- the header

    def kind(self) -> str | None:
        """PROCEDURE, FUNCTION, TRIGGER or EVENT when the text starts
        `CREATE [OR REPLACE] [DEFINER = user] [AGGREGATE]` and that word;
        EVENT for `ALTER [DEFINER = user] EVENT`, which may give the event a
        new body (`… DO body`)."""
        if self.word() not in ("CREATE", "ALTER"):
            return None
        self.altering = self.word() == "ALTER"
        self.pos += 1
        if self.word() == "OR" and self.word(1) == "REPLACE":
            self.pos += 2
        while True:
            word = self.word()
            if word in _KINDS:
                self.pos += 1
                return word if not self.altering or word == "EVENT" else None
            if word == "AGGREGATE":
                self.pos += 1
            elif word == "DEFINER" and self.mark(1) == "=":
                self.pos += 2
                if not self.skip_user():
                    return None
            else:
                return None

    def skip_user(self) -> bool:
        """Past `CURRENT_USER[()]`, `user` or `user@host`; False when no user is here."""
        if self.word() == "CURRENT_USER":
            self.pos += 1
            if self.mark() == "(" and self.mark(1) == ")":
                self.pos += 2
            return True
        if not (self.is_name() or self.is_string()):
            return False
        self.pos += 1
        if self.mark() == "@":
            self.pos += 1
            if self.peek() is None or self.mark():
                return False
            self.pos += 1
        return True

    def routine(self, kind: str) -> Routine | None:
        """The routine whose kind word was just read: its header, then its body."""
        if self.word() == "IF" and self.word(1) == "NOT" and self.word(2) == "EXISTS":
            self.pos += 3
        db, name = self.qualified(f"the {kind.lower()}'s name")
        self.title = f"{kind} {name}"
        if kind == "FUNCTION" and self.word() == "RETURNS":
            return None  # a loadable function: RETURNS … SONAME 'library'
        if kind == "TRIGGER":
            routine = self.trigger_header(db, name)
        elif kind == "EVENT":
            if not self.event_header():
                return None  # ALTER EVENT without DO: the body stays as it was
            routine = Routine(kind, db, name, ())
        else:
            routine = Routine(kind, db, name, self.parameters())
            if kind == "FUNCTION":
                self.expect("RETURNS")
                self.skip_type()
            self.skip_characteristics()
        self.read_body(frozenset(p.lower() for p in routine.parameters))
        return replace(routine, body=tuple(self.body))

    def parameters(self) -> tuple[str, ...]:
        """The names of `([IN|OUT|INOUT] name type, …)`."""
        if self.mark() != "(":
            raise self.fail("expected ( and the parameters")
        self.pos += 1
        names: list[str] = []
        if self.mark() == ")":
            self.pos += 1
            return ()
        while True:
            if self.word() in ("IN", "OUT", "INOUT") and self.is_name(1):
                self.pos += 1
            names.append(self.name("a parameter name"))
            if self.mark() in (",", ")"):
                raise self.fail(f"parameter {names[-1]} has no type")
            while self.mark() not in (",", ")"):
                if self.peek() is None:
                    raise self.fail("the parameter list is not closed")
                if self.mark() == "(":
                    self.skip_parentheses()
                else:
                    self.pos += 1
            if self.take().word == ")":
                return tuple(names)

    def skip_type(self) -> None:
        """Past a data type: `DECIMAL(10,2) UNSIGNED`, `VARCHAR(20) CHARSET x COLLATE y`…"""
        if self.word() == "":
            raise self.fail("expected a type")
        self.pos += 1
        while True:
            word = self.word()
            if self.mark() == "(":
                self.skip_parentheses()
            elif word in ("CHARACTER", "CHAR") and self.word(1) == "SET":
                self.pos += 2
                self.name("a character set")
            elif word in ("CHARSET", "COLLATE"):
                self.pos += 1
                self.name("a character set or collation")
            elif word in _TYPE_WORDS:
                self.pos += 1
            else:
                return

    def skip_characteristics(self) -> None:
        """Past COMMENT, LANGUAGE SQL, [NOT] DETERMINISTIC, the SQL data access and SQL SECURITY."""
        while True:
            word = self.word()
            if word == "COMMENT":
                self.pos += 1
                if not self.is_string():
                    raise self.fail("expected the comment's string")
                self.pos += 1
            elif word == "LANGUAGE":
                self.expect("LANGUAGE", "SQL")
            elif word == "DETERMINISTIC":
                self.pos += 1
            elif word == "NOT" and self.word(1) == "DETERMINISTIC":
                self.pos += 2
            elif word in ("CONTAINS", "NO"):
                self.pos += 1
                self.expect("SQL")
            elif word in ("READS", "MODIFIES"):
                self.pos += 1
                self.expect("SQL", "DATA")
            elif word == "SQL" and self.word(1) == "SECURITY":
                self.pos += 2
                self.one_of("DEFINER", "INVOKER")
            else:
                return

    def trigger_header(self, db: str | None, name: str) -> Routine:
        """The trigger of `{BEFORE|AFTER} event ON tbl FOR EACH ROW [{FOLLOWS|PRECEDES} t]`."""
        timing = self.one_of("BEFORE", "AFTER")
        event = self.one_of("INSERT", "UPDATE", "DELETE")
        self.expect("ON")
        table_db, table = self.qualified("the trigger's table")
        self.expect("FOR", "EACH", "ROW")
        if self.word() in ("FOLLOWS", "PRECEDES"):
            self.pos += 1
            self.name("the other trigger's name")
        return Routine("TRIGGER", db, name, (), table_db, table, event, timing)

    def event_header(self) -> bool:
        """Past `ON SCHEDULE …` and the options up to and with DO (ALTER EVENT
        needs neither: False when it has no DO)."""
        if not self.altering:
            self.expect("ON", "SCHEDULE")
        depth = 0
        while not (depth == 0 and self.word() == "DO"):
            if self.peek() is None:
                if self.altering:
                    return False
                raise self.fail("expected DO and the event's body")
            depth += {"(": 1, ")": -1}.get(self.mark(), 0)
            self.pos += 1
        self.pos += 1
        return True

    # -- the body

    def read_body(self, variables: frozenset[str]) -> None:
        """Reads the body: one statement, simple or compound, and nothing after it."""
        if self.peek() is None or self.mark() == ";":
            raise self.fail("expected the body")
        self.statement(variables, top=True)
        while self.mark() == ";":
            self.pos += 1
        if self.peek() is not None:
            raise self.fail("expected the end of the body")

    def statements(self, variables: frozenset[str], ends: frozenset[str]) -> str:
        """Reads statements up to one starting with a word of `ends`; gives that word."""
        while True:
            while self.mark() == ";":
                self.pos += 1
            if self.peek() is None:
                raise self.unclosed()
            word = self.word()
            if word in ends:
                return word
            variables = self.statement(variables, top=False)

    def statement(self, variables: frozenset[str], top: bool) -> frozenset[str]:
        """Reads one statement; gives the variables in scope after it."""
        word = self.word()
        if word in _STOPS:
            raise RoutineError(f"{self.at(self.take())} is out of place")
        if self.is_name() and self.mark(1) == ":":
            label = self.take()
            self.pos += 1
            if self.word() not in _LABELLED:
                raise self.fail(f"label {label.text}: must precede BEGIN, LOOP, REPEAT or WHILE")
            self.compound(variables, label)
        elif word in _BLOCKS:
            self.compound(variables, None)
        elif word == "DECLARE":
            return self.declare(variables, top)
        else:
            self.record(self.pos, self.statement_end(top), variables)
            return variables
        if not top:
            if self.mark() != ";":
                raise self.fail(f"expected ; after END {self.items[self.pos - 1].text}")
            self.pos += 1
        return variables

    def compound(self, variables: frozenset[str], label: _Item | None) -> None:
        """Reads a BEGIN … END, IF, CASE, WHILE, LOOP or REPEAT statement."""
        opener = self.take()
        if len(self.open) >= _MAX_DEPTH:
            raise RoutineError(f"{self.at(opener)}: blocks nested deeper than {_MAX_DEPTH}")
        self.open.append(opener)
        kind = opener.word
        if kind == "BEGIN":
            if self.word() == "NOT" and self.word(1) == "ATOMIC":
                self.pos += 2
            self.statements(variables, _END)
        elif kind == "IF":
            self.branches(variables, _IF_ENDS)
        elif kind == "CASE":
            if self.word() != "WHEN":
                self.condition(_WHEN)
            self.expect("WHEN")
            self.branches(variables, _CASE_ENDS)
        elif kind == "WHILE":
            self.condition(_DO)
            self.pos += 1
            self.statements(variables, _END)
        elif kind == "LOOP":
            self.statements(variables, _END)
        else:
            self.statements(variables, _UNTIL)
            self.pos += 1
            self.condition(_END)
        self.pos += 1  # END
        self.close(opener, label)
        self.open.pop()

    def branches(self, variables: frozenset[str], ends: frozenset[str]) -> None:
        """Reads `cond THEN statements` branches and an ELSE branch, up to END."""
        while True:
            self.condition(_THEN)
            self.pos += 1
            found = self.statements(variables, ends)
            if found == "ELSE":
                self.pos += 1
                self.statements(variables, _END)
                return
            if found == "END":
                return
            self.pos += 1

    def condition(self, stops: frozenset[str]) -> None:
        """Past a condition or value, up to (not past) a word of `stops` outside
        parentheses and CASE expressions."""
        start, parentheses, cases = self.pos, 0, 0
        while True:
            item = self.peek()
            word = self.word()
            if item is None or (self.mark() == ";" and parentheses == 0):
                raise self.fail(f"{self.at(self.open[-1])}: expected {' or '.join(sorted(stops))}")
            if self.mark() in ("(", ")"):
                parentheses = max(parentheses + (1 if self.mark() == "(" else -1), 0)
            elif parentheses == 0 and word == "CASE":
                cases += 1
            elif parentheses == 0 and word == "END" and cases:
                cases -= 1
            elif parentheses == 0 and cases == 0 and word in stops:
                break
            self.pos += 1
        if self.pos == start:
            raise self.fail(f"{self.at(self.open[-1])}: missing condition")

    def close(self, opener: _Item, label: _Item | None) -> None:
        """Past the word after END that names what it closes, and its label."""
        closes = "" if opener.word == "BEGIN" else opener.word
        if closes:
            if self.word() != closes:
                raise self.fail(f"{self.at(opener)} needs END {closes}")
            self.pos += 1
        if opener.word in ("IF", "CASE") or not self.is_name():
            return
        end_label = self.take()
        if end_label.word in _BLOCKS:
            raise RoutineError(f"{self.at(opener)} is closed by END {self.at(end_label)}")
        if label is None or end_label.text.lower() != label.text.lower():
            begin = f"label {label.text}" if label is not None else "no label"
            raise RoutineError(f"{self.at(opener)} has {begin} but END {end_label.text} "
                               f"at line {self.line(end_label.start)}")

    def declare(self, variables: frozenset[str], top: bool) -> frozenset[str]:
        """Reads a DECLARE of variables, a cursor, a condition or a handler;
        gives the variables in scope after it."""
        first = self.pos
        self.pos += 1
        if self.word() in ("CONTINUE", "EXIT", "UNDO") and self.word(1) == "HANDLER":
            self.pos += 2
            self.expect("FOR")
            self.handler_conditions()
            if self.word() in _BLOCKS or (self.is_name() and self.mark(1) == ":"):
                self.record(first, self.pos - 1, variables)
                self.statement(variables, top)
            else:
                if self.peek() is None or self.mark() == ";":
                    raise self.fail("expected the handler's statement")
                self.record(first, self.statement_end(top), variables)
            return variables
        if self.word(1) == "CURSOR":
            cursor = self.name("the cursor's name")
            self.expect("CURSOR", "FOR")
            query = self.pos
            last = self.statement_end(top)
            if last < query:
                raise RoutineError(f"cursor {cursor} of {self.at(self.items[first])} has no query")
            self.record(query, last, variables, cursor)
            return variables
        if self.word(1) == "CONDITION":
            self.record(first, self.statement_end(top), variables)
            return variables
        names = [self.name("a variable name")]
        while self.mark() == ",":
            self.pos += 1
            names.append(self.name("a variable name"))
        self.record(first, self.statement_end(top), variables)
        return variables | {name.lower() for name in names}

    def handler_conditions(self) -> None:
        """Past `SQLSTATE [VALUE] 'x' | NOT FOUND | SQLWARNING | SQLEXCEPTION | code | name, …`."""
        while True:
            word = self.word()
            if word == "SQLSTATE":
                self.pos += 1
                if self.word() == "VALUE":
                    self.pos += 1
                if not self.is_string():
                    raise self.fail("expected the SQLSTATE's string")
                self.pos += 1
            elif word == "NOT":
                self.expect("NOT", "FOUND")
            elif self.is_name() or self.mark().isdigit():
                self.pos += 1
            else:
                raise self.fail("expected a handler condition")
            if self.mark() != ",":
                return
            self.pos += 1

    def statement_end(self, top: bool) -> int:
        """The index of the last item of the simple statement starting here,
        moving past its `;` (outside parentheses); at the top the end of the
        text ends it too."""
        parentheses: list[_Item] = []
        while True:
            item = self.peek()
            if item is None:
                if parentheses:
                    raise RoutineError(f"{self.at(parentheses[0])} is not closed")
                if not top:
                    raise self.unclosed()
                return self.pos - 1
            self.pos += 1
            if item.kind != "mark":
                continue
            if item.word == "(":
                parentheses.append(item)
            elif item.word == ")" and parentheses:
                parentheses.pop()
            elif item.word == ";" and not parentheses:
                return self.pos - 2

    def unclosed(self) -> RoutineError:
        """The error for a text that ends inside the innermost open block."""
        if not self.open:
            return RoutineError("the body is not ended by ;")
        opener = self.open[-1]
        closer = "END" if opener.word == "BEGIN" else f"END {opener.word}"
        return RoutineError(f"{self.at(opener)} is not closed by {closer}")

    def record(
        self, first: int, last: int, variables: frozenset[str], cursor: str | None = None
    ) -> None:
        """Adds the statement of items first … last to the body."""
        start, end = self.items[first].start, self.items[last].end
        place = len(self.body) + 1
        sql = self.text[start : end + 1]
        self.body.append(BodyStatement(place, sql, self.line(start), variables, cursor))
