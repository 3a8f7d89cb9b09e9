"""Lineage input read from a live MySQL or MariaDB server: the columns of its
tables and views from `information_schema`, and the text of its views,
procedures, functions, triggers and events as `SHOW CREATE …` gives it, each
ready for `analyse_sql` as if it were a file.

A server is named by a URL, `mysql://user@host:port/db1,db2?option=value`
(or `mariadb://…`). It never carries a password: that comes from an option
file's [client] group (`?defaults-file=PATH`, else ~/.my.cnf when there is
one) or from a prompt. The session is read-only (SET SESSION TRANSACTION
READ ONLY, then START TRANSACTION READ ONLY), and it only runs SELECTs and
SHOWs written here, with every name from the server quoted as an identifier
and every value passed as a query parameter.

PyMySQL is the driver (`pip install 'column-lineage[mysql]'`); it is only
imported by `connect`, so that URLs can be parsed without it."""

from __future__ import annotations

import configparser
import importlib
import math
import os
import ssl
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Protocol
from urllib.parse import parse_qsl, quote, unquote, urlsplit

from .errors import ServerError as ServerError  # raised here, importable from here

__all__ = ["Connection", "ServerAddress", "ServerError", "ServerInput", "ServerObject", "connect",
           "is_server_url", "parse_server_url", "read_objects", "read_schema", "read_server"]

SCHEMES = ("mysql", "mariadb")
SYSTEM_DATABASES = ("information_schema", "performance_schema", "mysql", "sys")
SSL_MODES = ("DISABLED", "PREFERRED", "REQUIRED", "VERIFY_CA", "VERIFY_IDENTITY")
DEFAULT_CONNECT_TIMEOUT = 10.0
DEFAULT_READ_TIMEOUT = 60.0
LONGEST_TIMEOUT = 31_536_000.0  # a year: PyMySQL's own bound
LONGEST_NAME = 64  # characters of a database name
OPTION_GROUP = "client"
# The options a URL's query may set (underscores read as dashes).
URL_OPTIONS = ("socket", "ssl-mode", "ssl-ca", "defaults-file", "connect-timeout",
               "read-timeout")

# The kinds of stored object, in the order read_objects gives them; for each,
# the SHOW statement that gives its text and the column that holds it.
KINDS = ("view", "procedure", "function", "trigger", "event")
SHOW_CREATE = {
    "view": ("SHOW CREATE VIEW", "Create View"),
    "procedure": ("SHOW CREATE PROCEDURE", "Create Procedure"),
    "function": ("SHOW CREATE FUNCTION", "Create Function"),
    "trigger": ("SHOW CREATE TRIGGER", "SQL Original Statement"),
    "event": ("SHOW CREATE EVENT", "Create Event"),
}
# (database, name) of every object of a kind; "{where}" takes the condition
# on the database column that database_condition writes.
LISTINGS = {
    "view": "SELECT TABLE_SCHEMA, TABLE_NAME FROM information_schema.TABLES"
            " WHERE TABLE_TYPE = 'VIEW' AND {where}",
    "procedure": "SELECT ROUTINE_SCHEMA, ROUTINE_NAME FROM information_schema.ROUTINES"
                 " WHERE ROUTINE_TYPE = 'PROCEDURE' AND {where}",
    "function": "SELECT ROUTINE_SCHEMA, ROUTINE_NAME FROM information_schema.ROUTINES"
                " WHERE ROUTINE_TYPE = 'FUNCTION' AND {where}",
    "trigger": "SELECT TRIGGER_SCHEMA, TRIGGER_NAME FROM information_schema.TRIGGERS"
               " WHERE {where}",
    "event": "SELECT EVENT_SCHEMA, EVENT_NAME FROM information_schema.EVENTS WHERE {where}",
}
LISTING_COLUMNS = {"view": "TABLE_SCHEMA", "procedure": "ROUTINE_SCHEMA",
                   "function": "ROUTINE_SCHEMA", "trigger": "TRIGGER_SCHEMA",
                   "event": "EVENT_SCHEMA"}
SCHEMA_QUERY = ("SELECT TABLE_SCHEMA, TABLE_NAME, COLUMN_NAME, COLUMN_TYPE"
                " FROM information_schema.COLUMNS WHERE {where}"
                " ORDER BY TABLE_SCHEMA, TABLE_NAME, ORDINAL_POSITION")
# Delimiters a stored program's text is put between, the first its text
# does not hold (mariadb-dump's own first).
DELIMITERS = (";;", "$$", "//", "@@")

# Server error codes: the client's own (lost connection, cannot connect,
# TLS) are 2000-2999; the server's are below and above.
CLIENT_ERRORS = range(2000, 3000)
ACCESS_DENIED = (1044, 1045, 1698)
CANNOT_CONNECT = (2002, 2003, 2005)
TLS_FAILED = 2026


class Cursor(Protocol):
    """What the reader uses of a DB-API cursor."""

    @property
    def description(self) -> Sequence[Sequence[Any]] | None: ...

    def execute(self, query: str, args: Sequence[object] | None = None) -> int: ...

    def fetchall(self) -> Sequence[Sequence[Any]]: ...

    def close(self) -> None: ...


class Connection(Protocol):
    """What the reader uses of a DB-API connection."""

    def cursor(self) -> Cursor: ...

    def close(self) -> None: ...


@dataclass(frozen=True)
class ServerAddress:
    """Where a server is and what to read from it, as a URL names it.
    `databases` empty: every database but the system ones."""

    scheme: str
    user: str | None
    host: str
    port: int | None
    databases: tuple[str, ...] = ()
    unix_socket: str | None = None
    ssl_mode: str | None = None
    ssl_ca: str | None = None
    defaults_file: str | None = None
    connect_timeout: float = DEFAULT_CONNECT_TIMEOUT
    read_timeout: float = DEFAULT_READ_TIMEOUT

    def server(self) -> str:
        """The server as names of its objects start: "mysql://host[:port]"."""
        host = f"[{self.host}]" if ":" in self.host else self.host
        port = f":{self.port}" if self.port is not None else ""
        return f"{self.scheme}://{host}{port}"

    def display(self) -> str:
        """The address as a URL without password or TLS options:
        "mysql://user@host:port/db1,db2" (and "?socket=PATH" for a socket)."""
        user = f"{quote(self.user, safe='')}@" if self.user else ""
        server = self.server().replace("://", "://" + user, 1)
        databases = ",".join(quote(name, safe="$") for name in self.databases)
        socket = f"?socket={quote(self.unix_socket, safe='/')}" if self.unix_socket else ""
        return f"{server}/{databases}{socket}"


@dataclass(frozen=True)
class ServerObject:
    """One stored object of a server. `name` is "mysql://host/db/KIND/NAME"
    (KIND: view, procedure, function, trigger or event); `sql` is its
    definition as SHOW CREATE gives it, a stored program's between DELIMITER
    lines, so that analyse_sql reads it as one statement; `error` says in one
    line why it could not be read (then `sql` is None)."""

    name: str
    database: str
    sql: str | None
    error: str | None


# What the command reads: a file's path (or "-"), or a server's object.
InputName = str | ServerObject


# -- URLs ----------------------------------------------------------------------


def is_server_url(text: str) -> bool:
    """Whether `text` names a server (mysql:// or mariadb://) rather than a file."""
    head, separator, _ = text.strip().partition("://")
    return bool(separator) and head.lower() in SCHEMES


def one_line(text: str) -> str:
    """`text` with every run of whitespace (newlines too) made one space."""
    return " ".join(str(text).split())


def parse_server_url(text: str) -> ServerAddress:
    """The address a mysql:// or mariadb:// URL names. Raises ServerError for
    anything else, for an unknown or repeated option or a bad value, and for
    a password in the URL (those come from an option file or the prompt)."""
    if not is_server_url(text):
        raise ServerError(f"not a server URL (mysql://… or mariadb://…): {one_line(text)[:80]}")
    try:
        parts = urlsplit(text.strip())
        password, port, host = parts.password, parts.port, parts.hostname
    except ValueError as error:
        raise ServerError(f"bad server URL: {error}") from None
    scheme = parts.scheme.lower()
    if password is not None:
        raise ServerError(f"{scheme}:// URL: a password is not taken in the URL; put it in an "
                          "option file's [client] group (?defaults-file=PATH or ~/.my.cnf) "
                          "or type it at the prompt")
    if parts.fragment:
        raise ServerError(f"{scheme}:// URL: unexpected #fragment")
    if port == 0:
        raise ServerError(f"{scheme}:// URL: port 0 is not a port")
    host = unquote(host) if host else "localhost"
    if not host or any(char.isspace() or not char.isprintable() for char in host):
        raise ServerError(f"{scheme}:// URL: bad host name {host!r}")
    user = unquote(parts.username) if parts.username else None
    options = url_options(scheme, parts.query)
    ssl_mode = options.get("ssl-mode")
    if ssl_mode is not None:
        ssl_mode = ssl_mode.upper().replace("-", "_")
        if ssl_mode not in SSL_MODES:
            raise ServerError(f"{scheme}:// URL: ssl-mode must be one of {', '.join(SSL_MODES)}")
        if ssl_mode == "DISABLED" and "ssl-ca" in options:
            raise ServerError(f"{scheme}:// URL: ssl-ca given with ssl-mode=DISABLED")
    return ServerAddress(
        scheme=scheme, user=user, host=host, port=port,
        databases=url_databases(scheme, parts.path),
        unix_socket=options.get("socket"), ssl_mode=ssl_mode, ssl_ca=options.get("ssl-ca"),
        defaults_file=options.get("defaults-file"),
        connect_timeout=url_seconds(scheme, options, "connect-timeout", DEFAULT_CONNECT_TIMEOUT),
        read_timeout=url_seconds(scheme, options, "read-timeout", DEFAULT_READ_TIMEOUT))


def url_databases(scheme: str, path: str) -> tuple[str, ...]:
    """The database names of a URL's path ("/db1,db2"), in order, each once."""
    if path in ("", "/"):
        return ()
    if path.count("/") > 1:
        raise ServerError(f"{scheme}:// URL: the path names databases, comma-separated "
                          f"(/db1,db2), not {path!r}")
    names: list[str] = []
    for written in path[1:].split(","):
        name = unquote(written)
        if not name.strip():
            raise ServerError(f"{scheme}:// URL: an empty database name in {path!r}")
        if len(name) > LONGEST_NAME:
            raise ServerError(f"{scheme}:// URL: database name longer than {LONGEST_NAME} "
                              f"characters: {name[:20]}…")
        if name not in names:
            names.append(name)
    return tuple(names)


def url_options(scheme: str, query: str) -> dict[str, str]:
    """The options of a URL's query, by their dashed names."""
    try:
        pairs = parse_qsl(query, keep_blank_values=True, strict_parsing=bool(query))
    except ValueError:
        raise ServerError(f"{scheme}:// URL: the query is not name=value&…: {query!r}") from None
    options: dict[str, str] = {}
    for written, value in pairs:
        key = written.lower().replace("_", "-")
        if key not in URL_OPTIONS:
            raise ServerError(f"{scheme}:// URL: unknown option {written!r} "
                              f"(known: {', '.join(URL_OPTIONS)})")
        if key in options:
            raise ServerError(f"{scheme}:// URL: option {key} given twice")
        if not value:
            raise ServerError(f"{scheme}:// URL: option {key} needs a value")
        options[key] = value
    return options


def url_seconds(scheme: str, options: dict[str, str], key: str, default: float) -> float:
    """A timeout option in seconds: a positive number up to a year."""
    if key not in options:
        return default
    try:
        seconds = float(options[key])
    except ValueError:
        seconds = math.nan
    if not 0 < seconds <= LONGEST_TIMEOUT:  # NaN fails too
        raise ServerError(f"{scheme}:// URL: {key} must be a number of seconds above 0, "
                          f"not {options[key]!r}")
    return seconds


# -- connecting ----------------------------------------------------------------


def load_driver() -> ModuleType:
    """PyMySQL, or a ServerError saying how to install it."""
    try:
        return importlib.import_module("pymysql")
    except ImportError:
        raise ServerError("reading a server needs PyMySQL, which is not installed: "
                          "pip install 'column-lineage[mysql]'") from None


def option_file_path(address: ServerAddress) -> str | None:
    """The option file to read: the URL's defaults-file, else ~/.my.cnf when
    there is one, else none."""
    if address.defaults_file is not None:
        return os.path.expanduser(address.defaults_file)
    default = os.path.expanduser("~/.my.cnf")
    return default if os.path.isfile(default) else None


def read_option_file(address: ServerAddress, driver: ModuleType) -> dict[str, str]:
    """The [client] options of the address's option file (none without one),
    read with PyMySQL's parser; a later line wins over an earlier one."""
    path = option_file_path(address)
    if path is None:
        return {}
    parser = driver.optionfile.Parser(strict=False)
    try:
        with open(path, encoding="utf-8") as handle:
            # !include and !includedir lines name other files: not followed.
            lines = [line for line in handle if not line.lstrip().startswith("!")]
        parser.read_string("".join(lines), source=path)
    except OSError as error:
        raise ServerError(f"{address.display()}: cannot read option file {path} "
                          f"({error.strerror or type(error).__name__})") from None
    except (configparser.Error, UnicodeDecodeError) as error:
        why = type(error).__name__
        raise ServerError(f"{address.display()}: option file {path} is not an option file "
                          f"({why})") from None
    if not parser.has_section(OPTION_GROUP):
        return {}
    # A key without value ("password" alone: ask for it) is no value.
    return {key: parser.get(OPTION_GROUP, key) for key in parser.options(OPTION_GROUP)
            if configparser.RawConfigParser.get(parser, OPTION_GROUP, key) is not None}


def tls_arguments(address: ServerAddress, ssl_ca: str | None) -> dict[str, Any]:
    """PyMySQL's TLS arguments for the address's ssl-mode: DISABLED none;
    PREFERRED (the default without a CA) TLS when the server offers it;
    REQUIRED TLS without checking the certificate; VERIFY_CA (the default
    with a CA) checking it against the CA, VERIFY_IDENTITY its host name too."""
    mode = address.ssl_mode or ("VERIFY_CA" if ssl_ca else "PREFERRED")
    if mode == "DISABLED":
        return {"ssl_disabled": True}
    if mode == "PREFERRED":
        return {}
    try:
        context = ssl.create_default_context(cafile=ssl_ca if mode != "REQUIRED" else None)
    except (OSError, ssl.SSLError) as error:
        raise ServerError(f"{address.display()}: cannot read ssl-ca {ssl_ca} "
                          f"({one_line(str(error))})") from None
    # The servers' own self-signed certificates lack what strict X.509 checks want.
    context.verify_flags &= ~ssl.VERIFY_X509_STRICT
    context.check_hostname = mode == "VERIFY_IDENTITY"
    context.verify_mode = ssl.CERT_NONE if mode == "REQUIRED" else ssl.CERT_REQUIRED
    return {"ssl": context}


def connection_arguments(address: ServerAddress, options: dict[str, str]) -> dict[str, Any]:
    """PyMySQL's connect arguments for the address, but the password. The URL wins over the
    option file, which gives the user when the URL names none, the socket
    for a localhost URL without port or socket, and the CA."""
    local = address.host == "localhost" and address.port is None
    unix_socket = address.unix_socket or (options.get("socket") if local else None)
    arguments: dict[str, Any] = {
        "user": address.user or options.get("user"),
        "host": address.host,
        "port": address.port or 3306,
        "unix_socket": unix_socket,
        "charset": "utf8mb4",
        "connect_timeout": address.connect_timeout,
        "read_timeout": address.read_timeout,
        "write_timeout": address.read_timeout,
        "autocommit": False,
        "local_infile": False,
        "program_name": "column-lineage",
    }
    arguments.update(tls_arguments(address, address.ssl_ca or options.get("ssl-ca")))
    return arguments


def error_code(error: BaseException) -> int | None:
    """The MySQL error number a driver error carries, if any."""
    code = error.args[0] if error.args else None
    return code if isinstance(code, int) else None


def error_text(error: BaseException) -> str:
    """A driver error's message, on one line."""
    args = error.args
    message = args[1] if len(args) > 1 else (args[0] if args else type(error).__name__)
    return one_line(str(message)) or type(error).__name__


def connection_failed(error: BaseException) -> bool:
    """Whether a driver error is the client's own (lost connection, timeout,
    closed connection) rather than the server refusing one statement."""
    code = error_code(error)
    return not code or code in CLIENT_ERRORS


def describe_failure(address: ServerAddress, error: BaseException, doing: str) -> str:
    """One line: the server, what failed and the server's or driver's reason."""
    code = error_code(error)
    cause = getattr(error, "original_exception", None)
    if code == TLS_FAILED or isinstance(cause, ssl.SSLError):
        what = "TLS failed"
    elif code in ACCESS_DENIED:
        what = "login refused"
    elif code in CANNOT_CONNECT:
        what = "cannot reach the server"
    elif code in (2006, 2013):
        what = f"connection lost while {doing}"
    else:
        what = f"failed while {doing}"
    number = f" [{code}]" if code else ""
    return f"{address.display()}: {what}: {error_text(error)}{number}"


def connect(address: ServerAddress, *,
            prompt: Callable[[str], str] | None = None) -> Connection:
    """A read-only session on the server, its named databases checked. The
    password comes from the option file's [client] group, else from
    `prompt` (asked with the address), else none. Raises ServerError for an
    unreachable server, a refused login or an unknown database."""
    driver = load_driver()
    options = read_option_file(address, driver)
    arguments = connection_arguments(address, options)
    password = options.get("password")
    if password is None and prompt is not None:
        password = prompt(f"Password for {address.display()}: ")
    # As bytes: PyMySQL would encode a str as Latin-1, failing on others.
    arguments["password"] = (password or "").encode("utf-8")
    try:
        connection: Connection = driver.connect(**arguments)
    except driver.err.MySQLError as error:
        raise ServerError(describe_failure(address, error, "connecting")) from None
    except (OSError, ValueError) as error:
        raise ServerError(f"{address.display()}: cannot connect: {one_line(str(error))}") from None
    try:
        fetch(connection, address, "SET SESSION TRANSACTION READ ONLY", (), "starting a session")
        fetch(connection, address, "START TRANSACTION READ ONLY", (), "starting a session")
        check_databases(connection, address)
    except BaseException:
        connection.close()
        raise
    return connection


def fetch(connection: Connection, address: ServerAddress, query: str,
          parameters: Sequence[object], doing: str) -> list[tuple[Any, ...]]:
    """The rows of one of our own queries; a ServerError naming the server
    and what it was doing when the query fails."""
    driver = load_driver()
    cursor = connection.cursor()
    try:
        cursor.execute(query, tuple(parameters) or None)
        return [tuple(row) for row in cursor.fetchall()]
    except driver.err.MySQLError as error:
        raise ServerError(describe_failure(address, error, doing)) from None
    finally:
        cursor.close()


def check_databases(connection: Connection, address: ServerAddress) -> None:
    """Raises ServerError naming the databases of the address that the server
    does not show this user."""
    if not address.databases:
        return
    where, parameters = database_condition("SCHEMA_NAME", address)
    rows = fetch(connection, address,
                 f"SELECT SCHEMA_NAME FROM information_schema.SCHEMATA WHERE {where}",
                 parameters, "checking the databases")
    found = {text_of(row[0]) for row in rows}
    missing = [name for name in address.databases if name not in found]
    if missing:
        names = ", ".join(quote_name(name) for name in missing)
        raise ServerError(f"{address.display()}: unknown database {names} "
                          "(or no privilege on it)")


# -- reading -------------------------------------------------------------------


def text_of(value: object) -> str:
    """A text value of a result row (some servers give bytes)."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode("utf-8", errors="replace")
    return str(value)


def quote_name(name: str) -> str:
    """`name` as a MySQL identifier in backticks, any backtick doubled."""
    return "`" + name.replace("`", "``") + "`"


def database_condition(column: str, address: ServerAddress) -> tuple[str, tuple[str, ...]]:
    """The WHERE condition on a database column (one of our own) and its
    parameters: the address's databases, or every one but the system ones."""
    if address.databases:
        names = address.databases
        return f"{column} IN ({', '.join(['%s'] * len(names))})", names
    return (f"{column} NOT IN ({', '.join(['%s'] * len(SYSTEM_DATABASES))})",
            SYSTEM_DATABASES)


def schema_of(rows: Sequence[Sequence[Any]]) -> dict[str, dict[str, dict[str, str]]]:
    """{db: {table: {column: type}}} from (db, table, column, type) rows, in
    their order."""
    schema: dict[str, dict[str, dict[str, str]]] = {}
    for database, table, column, column_type in rows:
        columns = schema.setdefault(text_of(database), {}).setdefault(text_of(table), {})
        columns[text_of(column)] = text_of(column_type)
    return schema


def read_schema(connection: Connection,
                address: ServerAddress) -> dict[str, dict[str, dict[str, str]]]:
    """{db: {table: {column: column_type}}} of every table and view of the
    address's databases (all but the system ones when it names none), each
    table's columns in their order, types as the server writes them
    ("int(11)", "decimal(10,2)")."""
    where, parameters = database_condition("TABLE_SCHEMA", address)
    rows = fetch(connection, address, SCHEMA_QUERY.format(where=where), parameters,
                 "reading the schema")
    return schema_of(rows)


def object_name(address: ServerAddress, kind: str, database: str, name: str) -> str:
    """How a stored object is named: "mysql://host/db/KIND/NAME"."""
    return f"{address.server()}/{quote(database, safe='$')}/{kind}/{quote(name, safe='$')}"


def list_objects(connection: Connection, address: ServerAddress) -> list[tuple[str, str, str]]:
    """(database, kind, name) of every stored object of the address's
    databases, ordered by database, kind (as KINDS) and name."""
    found: list[tuple[str, str, str]] = []
    for kind in KINDS:
        where, parameters = database_condition(LISTING_COLUMNS[kind], address)
        for database, name in fetch(connection, address, LISTINGS[kind].format(where=where),
                                    parameters, f"listing the {kind}s"):
            found.append((text_of(database), kind, text_of(name)))
    return sorted(found, key=lambda item: (item[0], KINDS.index(item[1]), item[2]))


def with_delimiter(definition: str) -> str:
    """A stored program's definition as a script the split reads as one
    statement: between DELIMITER lines, with a delimiter its text lacks."""
    delimiter = next((candidate for candidate in DELIMITERS if candidate not in definition),
                     None)
    number = 0
    while delimiter is None or delimiter in definition:
        number += 1
        delimiter = f";;{number}"
    return f"DELIMITER {delimiter}\n{definition}\n{delimiter}\nDELIMITER ;\n"


def definition_of(rows: Sequence[Sequence[Any]], description: Sequence[Sequence[Any]] | None,
                  column: str) -> str | None:
    """The text in the named column of a SHOW CREATE result, or None when the
    server shows none (no row, no such column, or NULL)."""
    if not rows or not description:
        return None
    names = [str(entry[0]).lower() for entry in description]
    if column.lower() not in names:
        return None
    value = rows[0][names.index(column.lower())]
    text = text_of(value) if value is not None else ""
    return text if text.strip() else None


def read_object(connection: Connection, address: ServerAddress, database: str, kind: str,
                name: str) -> ServerObject:
    """One stored object's definition, or the one-line reason it cannot be
    read; a lost connection raises ServerError instead."""
    driver = load_driver()
    statement, column = SHOW_CREATE[kind]
    label = object_name(address, kind, database, name)
    cursor = connection.cursor()
    try:
        cursor.execute(f"{statement} {quote_name(database)}.{quote_name(name)}")
        text = definition_of(cursor.fetchall(), cursor.description, column)
    except driver.err.MySQLError as error:
        if connection_failed(error):
            raise ServerError(describe_failure(address, error, f"reading {label}")) from None
        return ServerObject(label, database, None, f"cannot read its definition: "
                            f"{error_text(error)} [{error_code(error)}]")
    finally:
        cursor.close()
    if text is None:
        return ServerObject(label, database, None,
                            f"the server shows no definition of this {kind} to this user "
                            "(it takes the definer, or the privilege to see others' "
                            "definitions)")
    return ServerObject(label, database, text if kind == "view" else with_delimiter(text), None)


def read_objects(connection: Connection, address: ServerAddress) -> list[ServerObject]:
    """Every view, procedure, function, trigger and event of the address's
    databases, ordered by database, kind and name. An object the server
    will not show is there with its `error`; the others are read."""
    return [read_object(connection, address, database, kind, name)
            for database, kind, name in list_objects(connection, address)]


# -- one server as an input ------------------------------------------------------


@dataclass(frozen=True)
class ServerInput:
    """What the command reads of one server: its schema and stored objects,
    and the prefixes of its objects' names (a database's, or the server's
    when the URL names none), under which stored objects that are gone
    from it are forgotten."""

    address: ServerAddress
    schema: dict[str, dict[str, dict[str, str]]]
    objects: list[ServerObject]

    @property
    def prefixes(self) -> list[str]:
        server = self.address.server()
        return [f"{server}/{quote(name, safe='$')}" for name in self.address.databases] \
            or [server]


def read_server(url: str, *, prompt: Callable[[str], str] | None = None,
                objects: bool = True) -> ServerInput:
    """The schema and (unless `objects` is false: a schema is all that is
    wanted) the objects of the server `url` names, read in one read-only
    session; ServerError when it cannot be read at all."""
    address = parse_server_url(url)
    connection = connect(address, prompt=prompt)
    try:
        return ServerInput(address, read_schema(connection, address),
                           read_objects(connection, address) if objects else [])
    finally:
        connection.close()
