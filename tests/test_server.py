"""Reading lineage input from a live server: URL parsing, and against a
throwaway MariaDB holding tests/server/warehouse.sql the schema, the stored
objects (their lineage the same as that of a mariadb-dump of the same
databases), the failures a user meets, and the read-only session. The
server tests skip, saying why, where MariaDB or PyMySQL is missing."""

import secrets
import socket
from collections import Counter
from pathlib import Path

import pytest

from column_lineage.analysis import analyse_sql
from column_lineage.server import (ServerError, connect, is_server_url, parse_server_url,
                                   read_objects, read_schema, with_delimiter)
from mariadb_instance import Unavailable, start

FIXTURE = Path(__file__).parent / "server" / "warehouse.sql"
DATABASES = ("dw", "reporting", "staging")
OBJECTS = [  # (database, kind, name) in the order read_objects gives them
    ("dw", "view", "v_paid_orders"), ("dw", "procedure", "load_sales"),
    ("dw", "function", "to_eur"), ("dw", "trigger", "dim_customer_tidy"),
    ("dw", "trigger", "fact_sales_audit"), ("dw", "event", "nightly_totals"),
    ("reporting", "view", "customer_emails"), ("reporting", "view", "revenue_eur"),
    ("reporting", "view", "sales_by_country"), ("reporting", "view", "top_countries"),
    ("reporting", "view", "totals`by day"),
]


class Server:
    """The running instance, its reader's password and option files."""

    def __init__(self, instance, folder: Path):
        self.instance = instance
        self.socket = instance.socket
        self.password = secrets.token_urlsafe(12)
        self.wrong_password = "not-" + self.password
        instance.client(FIXTURE.read_text())
        instance.client(f"ALTER USER lineage_reader@localhost IDENTIFIED BY '{self.password}';")
        self.reader_file = folder / "reader.cnf"
        self.reader_file.write_text(f"[client]\npassword={self.password}\n")
        self.wrong_file = folder / "wrong.cnf"
        self.wrong_file.write_text(f"[client]\npassword={self.wrong_password}\n")

    def url(self, user="root", path="/", **options):
        query = "&".join(f"{key}={value}" for key, value in
                         {"socket": self.socket, **options}.items() if value is not None)
        return f"mysql://{user}@localhost{path}?{query}"

    def reader(self, path="/"):
        return parse_server_url(self.url("lineage_reader", path, **{
            "defaults-file": self.reader_file}))


@pytest.fixture(scope="session")
def server(tmp_path_factory):
    pytest.importorskip("pymysql", reason="PyMySQL is not installed")
    folder = tmp_path_factory.mktemp("mariadb")
    try:
        instance = start(folder)
    except Unavailable as why:
        pytest.skip(f"no throwaway MariaDB: {why}")
    try:
        yield Server(instance, folder)
    finally:
        instance.stop()


def object_key(obj):
    """(database, kind, name) from an object's name: mysql://localhost/DB/KIND/NAME."""
    scheme, _, host, database, kind, name = obj.name.split("/")
    assert (scheme, host, database) == ("mysql:", "localhost", obj.database)
    return database, kind, name


def lineage_keys(statements):
    """Each row as its statement's kind and every field but the file and the
    statement's number and place, counted."""
    return Counter((statement.kind, tuple(sorted(
        (key, value) for key, value in row.as_dict().items()
        if key not in ("file", "statement", "place"))))
        for statement in statements for row in statement.rows)


def final_statements(statements):
    """A dump's statements less its stand-in views (a CREATE VIEW of a view it
    creates again later)."""
    last = {(s.target_db, s.target_table): i for i, s in enumerate(statements)
            if s.kind == "CREATE VIEW"}
    return [s for i, s in enumerate(statements)
            if s.kind != "CREATE VIEW" or last[(s.target_db, s.target_table)] == i]


# -- the schema and the objects -------------------------------------------------


@pytest.mark.parametrize("path, databases", [("/", DATABASES),
                                             ("/dw,staging", ("dw", "staging"))])
def test_schema_lists_columns_in_order_with_types(server, path, databases):
    address = parse_server_url(server.url(path=path))
    schema = read_schema(connect(address), address)
    assert sorted(schema) == sorted(databases)
    assert list(schema["staging"]["orders_raw"].items()) == [
        ("order_id", "int(11)"), ("customer_id", "int(11)"), ("amount", "decimal(10,2)"),
        ("currency", "char(3)"), ("ordered_at", "datetime"),
        ("status", "enum('open','paid','void')")]
    assert list(schema["dw"]["v_paid_orders"]) == [
        "order_id", "customer_id", "amount_eur", "sold_on"]
    assert schema["dw"]["dim_customer"]["customer_key"] == "int(10) unsigned"


def test_objects_read_in_order_and_analysed_as_the_dump_is(server):
    address = parse_server_url(server.url())
    connection = connect(address)
    schema, objects = read_schema(connection, address), read_objects(connection, address)
    assert [object_key(obj) for obj in objects] == [
        (db, kind, name.replace("`", "%60").replace(" ", "%20")) for db, kind, name in OBJECTS]
    assert all(obj.error is None and obj.sql for obj in objects)
    mine = []
    for obj in objects:
        statements = analyse_sql(obj.sql, schema=schema, file=obj.name, database=obj.database)
        assert statements[0].error is None and any(s.rows for s in statements), obj.name
        mine += statements
    dump = final_statements(analyse_sql(server.instance.dump(*DATABASES)))
    assert [s for s in dump if s.error] == []
    assert lineage_keys(mine) == lineage_keys(dump)


def test_a_reader_without_privileges_gets_errors_for_those_objects_only(server):
    address = server.reader()
    connection = connect(address)
    assert sorted(read_schema(connection, address)) == sorted(DATABASES)
    objects = {object_key(obj)[1:]: obj for obj in read_objects(connection, address)}
    failed = {key: obj.error for key, obj in objects.items() if obj.error}
    assert set(failed) == {("view", "customer_emails"), ("procedure", "load_sales"),
                           ("function", "to_eur")}
    assert "SHOW VIEW" in failed["view", "customer_emails"]
    assert all("\n" not in error and server.password not in error for error in failed.values())
    assert all(obj.sql for key, obj in objects.items() if key not in failed)


# -- what goes wrong ------------------------------------------------------------


@pytest.fixture
def closed_port():
    """A port on 127.0.0.1 bound but not listening: a connection is refused."""
    with socket.socket() as held:
        held.bind(("127.0.0.1", 0))
        yield held.getsockname()[1]


FAILURES = [  # (what, URL from the server and a closed port, words of the message)
    ("bad password", lambda s, port: s.url("lineage_reader", **{
        "defaults-file": s.wrong_file}), "login refused"),
    ("unknown database", lambda s, port: s.url("lineage_reader", "/staging,no_such_db", **{
        "defaults-file": s.reader_file}), "unknown database `no_such_db`"),
    ("missing option file", lambda s, port: s.url(**{"defaults-file": "/nonexistent/my.cnf"}),
     "cannot read option file"),
    ("missing socket", lambda s, port: s.url(socket="/nonexistent/mysqld.sock"),
     "cannot reach the server"),
    ("closed port", lambda s, port: f"mysql://root@127.0.0.1:{port}/?connect-timeout=5",
     "cannot reach the server"),
    ("unknown CA", lambda s, port: s.url(**{"ssl-ca": s.instance.tls.other_ca}), "TLS failed"),
    ("another host name", lambda s, port: s.url(**{
        "ssl-mode": "VERIFY_IDENTITY", "ssl-ca": s.instance.tls.ca}).replace(
            "@localhost", "@127.0.0.1"), "TLS failed"),
]


@pytest.mark.parametrize("what, url, words", FAILURES, ids=[case[0] for case in FAILURES])
def test_a_failure_is_one_line_without_password(server, closed_port, what, url, words):
    if "TLS" in words and server.instance.tls is None:
        pytest.skip("no openssl to make certificates with")
    with pytest.raises(ServerError) as raised:
        connect(parse_server_url(url(server, closed_port)), prompt=lambda _: server.password)
    message = str(raised.value)
    assert words in message and "\n" not in message
    assert server.password not in message and server.wrong_password not in message


@pytest.mark.parametrize("home_file, prompted", [
    (None, True),
    ("!includedir /etc/mysql/conf.d/\n[client]\npassword=wrong\npassword={password}\n", False),
    ("[client]\npassword\n", True),  # a bare key: ask
])
def test_the_password_comes_from_the_home_option_file_else_the_prompt(
        server, tmp_path, monkeypatch, home_file, prompted):
    monkeypatch.setenv("HOME", str(tmp_path))
    if home_file is not None:
        (tmp_path / ".my.cnf").write_text(home_file.format(password=server.password))
    asked = []
    address = parse_server_url(server.url("lineage_reader", "/staging"))
    connect(address, prompt=lambda text: asked.append(text) or server.password).close()
    assert asked == ([f"Password for {address.display()}: "] if prompted else [])


@pytest.mark.parametrize("mode, encrypted", [
    ("REQUIRED", True), ("VERIFY_CA", True), ("VERIFY_IDENTITY", True), ("DISABLED", False)])
def test_tls_settings_reach_the_session(server, mode, encrypted):
    if server.instance.tls is None:
        pytest.skip("no openssl to make certificates with")
    ca = server.instance.tls.ca if mode.startswith("VERIFY") else None
    cursor = connect(parse_server_url(server.url(**{"ssl-mode": mode, "ssl-ca": ca}))).cursor()
    cursor.execute("SHOW SESSION STATUS LIKE 'Ssl_version'")
    assert bool(cursor.fetchall()[0][1]) is encrypted


@pytest.mark.parametrize("statements", [
    ["INSERT INTO dw.fx_rate VALUES ('USD', 0.9)"],
    ["CREATE TABLE dw.scratch (x INT)"],
    ["COMMIT", "UPDATE dw.fx_rate SET rate_to_eur = 1"],
    ["COMMIT", "CREATE TABLE dw.scratch (x INT)"],
])
def test_the_session_writes_nothing(server, statements):
    import pymysql
    cursor = connect(parse_server_url(server.url())).cursor()
    for statement in statements[:-1]:
        cursor.execute(statement)
    with pytest.raises(pymysql.err.MySQLError) as raised:
        cursor.execute(statements[-1])
    assert raised.value.args[0] == 1792  # cannot execute in a READ ONLY transaction
    check = pymysql.connect(unix_socket=server.socket, user="root", autocommit=True).cursor()
    check.execute("SELECT currency, rate_to_eur + 0 FROM dw.fx_rate ORDER BY currency")
    assert [(currency, float(rate)) for currency, rate in check.fetchall()] == [
        ("EUR", 1.0), ("USD", 0.92)]
    check.execute("SHOW TABLES FROM dw LIKE 'scratch'")
    assert check.fetchall() == ()


# -- URLs -----------------------------------------------------------------------


GOOD_URLS = [  # (URL, fields of its address)
    ("mysql://etl@db.example.com:3307/sales,crm",
     dict(user="etl", host="db.example.com", port=3307, databases=("sales", "crm"))),
    ("MariaDB://localhost", dict(scheme="mariadb", user=None, port=None, databases=())),
    ("mysql:///warehouse?socket=/run/mysqld/mysqld.sock",
     dict(host="localhost", databases=("warehouse",), unix_socket="/run/mysqld/mysqld.sock")),
    ("mysql://u@[::1]:3306/", dict(host="::1", port=3306)),
    ("mysql://a%40b@h/we%2Cird,x,we%2Cird?ssl-mode=verify_ca&ssl-ca=/ca.pem"
     "&connect_timeout=2.5&read-timeout=30&defaults-file=~/x.cnf",
     dict(user="a@b", databases=("we,ird", "x"), ssl_mode="VERIFY_CA", ssl_ca="/ca.pem",
          connect_timeout=2.5, read_timeout=30.0, defaults_file="~/x.cnf")),
]


@pytest.mark.parametrize("url, fields", GOOD_URLS)
def test_a_good_url_and_its_display(url, fields):
    address = parse_server_url(url)
    assert is_server_url(url)
    assert {key: getattr(address, key) for key in fields} == fields
    assert "ssl" not in address.display() and "defaults" not in address.display()
    again = parse_server_url(address.display())
    same = ("scheme", "user", "host", "port", "databases", "unix_socket")
    assert [getattr(again, key) for key in same] == [getattr(address, key) for key in same]


BAD_URLS = [  # (URL, words of the message)
    ("mysql://etl:s3cret@h/db", "password is not taken"),
    ("mysql://etl:@h/db", "password is not taken"),
    ("postgres://h/db", "not a server URL"),
    ("warehouse.sql", "not a server URL"),
    ("mysql://h:99999/db", "bad server URL"),
    ("mysql://h:0/", "port 0"),
    ("mysql://[::1/db", "bad server URL"),
    ("mysql://h/a/b", "comma-separated"),
    ("mysql://h/a,,b", "empty database name"),
    ("mysql://h/" + "x" * 65, "longer than 64"),
    ("mysql://h/db#top", "fragment"),
    ("mysql://h/?sslmode=REQUIRED", "unknown option 'sslmode'"),
    ("mysql://h/?ssl-mode=sometimes", "ssl-mode must be one of"),
    ("mysql://h/?ssl-mode=DISABLED&ssl-ca=/ca.pem", "ssl-mode=DISABLED"),
    ("mysql://h/?connect-timeout=0", "connect-timeout must be"),
    ("mysql://h/?read-timeout=nan", "read-timeout must be"),
    ("mysql://h/?socket=", "needs a value"),
    ("mysql://h/?socket=/a&socket=/b", "given twice"),
    ("mysql://h/?socket", "not name=value"),
]


@pytest.mark.parametrize("url, words", BAD_URLS)
def test_a_bad_url_is_refused_in_one_line(url, words):
    with pytest.raises(ServerError) as raised:
        parse_server_url(url)
    message = str(raised.value)
    assert words in message and "\n" not in message and "s3cret" not in message


def test_a_stored_program_holding_the_delimiters_stays_one_statement():
    body = "BEGIN\n  INSERT INTO t (a) SELECT ';;' FROM s; -- $$ // @@\n  SELECT 1;\nEND"
    statements = analyse_sql(with_delimiter(f"CREATE PROCEDURE p()\n{body}"), database="d")
    assert [s.kind for s in statements][:2] == ["CREATE PROCEDURE", "INSERT"]
    assert statements[0].error is None and statements[1].target_table == "t"



# -- the command ----------------------------------------------------------------


def command(capsys, *argv):
    from column_lineage import cli
    code = cli.main([*argv, "--jobs", "1"])
    out, err = capsys.readouterr()
    return code, out, err


def test_the_command_reads_a_server_as_it_reads_files(server, capsys, tmp_path):
    import json
    url = server.url()
    code, out, err = command(capsys, "--json", url)
    assert code == 0, err
    rows = [json.loads(line) for line in out.splitlines()]
    assert {row["file"].split("/", 3)[-1] for row in rows} >= {
        "dw/view/v_paid_orders", "dw/procedure/load_sales", "reporting/view/top_countries"}
    # the server's tables are the schema: no star is left unexpanded
    assert [row for row in rows if row["column_name"] == "*"
            and not row["output_name"].startswith("COUNT(")] == []
    # end to end, through views over views across databases, and from a store alone
    store = str(tmp_path / "lineage.db")
    code, first, _ = command(capsys, "--store", store, "--end-to-end", "--json", url)
    assert code == 0 and first
    code, again, _ = command(capsys, "--store", store, "--end-to-end", "--json")
    assert code == 0 and sorted(again.splitlines()) == sorted(first.splitlines())
    sources = {(row["target_db"], row["target_table"], row["source_table"])
               for row in map(json.loads, first.splitlines())}
    assert ("reporting", "top_countries", "orders_raw") in sources
    # a file read with the server's schema
    query = tmp_path / "q.sql"
    query.write_text("SELECT * FROM staging.customers_raw")
    code, out, err = command(capsys, "--json", "--schema", url, str(query))
    assert code == 0, err
    assert [row["column_name"] for row in map(json.loads, out.splitlines())] == [
        "customer_id", "full_name", "email", "country"]


def test_an_unreadable_server_is_one_line_and_the_files_are_still_read(server, capsys,
                                                                        tmp_path):
    query = tmp_path / "q.sql"
    query.write_text("SELECT o.a FROM s.o o")
    wrong = server.url("lineage_reader", **{"defaults-file": server.wrong_file})
    code, out, err = command(capsys, "--json", wrong, str(query))
    assert code == 1 and out.count("\n") == 1
    lines = err.splitlines()
    assert len(lines) == 2 and "lineage_reader" in lines[0] and server.wrong_password not in err
    assert lines[1].startswith("lineage: 2 files, 1 statements") and "1 failed files" in lines[1]
    with pytest.raises(SystemExit) as usage:
        command(capsys, "--schema", wrong, str(query))
    err = capsys.readouterr().err
    assert usage.value.code == 2 and "login refused" in err and server.wrong_password not in err
