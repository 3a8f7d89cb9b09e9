"""The lineage store: analyses come back equal after reopening, in the last
run's order; files are replaced, forgotten and listed by directory; a file
that is not a usable store, or one another run holds, is refused with one
line and left as it was."""

import dataclasses
import os
import sqlite3
import subprocess
import sys
import threading
from contextlib import closing

import pytest

from column_lineage import analyse_sql
from column_lineage.rows import IndirectRow, ROW_KEYS, FileLineage, OutputColumn, Row, Statement, TableChange
from column_lineage.store import APPLICATION_ID, SCHEMA_VERSION, Store, StoreError

SCRIPT = """\
CREATE TABLE shop.orders (id INT, amount DECIMAL(9,2), day DATE);
CREATE TABLE mart.daily (day DATE, n INT, total DECIMAL(12,2));
INSERT INTO mart.daily (day, n, total)
  SELECT day, COUNT(*), SUM(amount) FROM shop.orders GROUP BY day;
UPDATE mart.daily d SET total = (SELECT SUM(o.amount) FROM shop.orders o WHERE o.day = d.day);
DELIMITER $$
CREATE PROCEDURE mart.reload(IN p_day DATE)
BEGIN
  INSERT INTO mart.daily (day, n)
    SELECT day, COUNT(id) FROM shop.orders WHERE day = p_day GROUP BY day;
END$$
DELIMITER ;
CALL mart.reload('2024-01-01');
INSERT INTO mart.daily (day) SELECT nosuch FROM (SELECT 1) AS x WHERE ;
RENAME TABLE mart.daily TO mart.daily_old;
"""


@pytest.fixture(scope="module")
def script():
    lineage = FileLineage("etl.sql", analyse_sql(SCRIPT, file="etl.sql"))
    # What the round trip must carry: a body statement, a skipped CALL, a
    # failure, table changes and an UPDATE's rows.
    statements = lineage.statements
    assert any(s.place is not None and s.rows for s in statements)
    assert any(s.kind == "CALL" and s.skipped for s in statements)
    assert any(s.error for s in statements)
    assert any(s.changes for s in statements)
    assert any(s.kind == "UPDATE" and s.rows for s in statements)
    return lineage


def sample(cls, k, **given):
    """An instance of a dataclass of rows.py with every field not given set
    away from its default (bools flipped, "" for some strings): a field the
    store does not keep, or keeps in the wrong place, changes it."""
    values = {}
    for field in dataclasses.fields(cls):
        kind, n = field.type, k * 100 + len(values)
        if field.name in given or kind.startswith("list["):
            continue
        if kind == "bool":
            values[field.name] = field.default is False
        elif kind.startswith("int"):
            values[field.name] = n
        elif kind.startswith("str"):
            values[field.name] = "" if n % 4 == 0 else f"{field.name}·{n}\x00é"
        elif kind.startswith("tuple[str"):
            values[field.name] = () if n % 2 else (f"{field.name}·{n}", "", "\"é,")
        else:
            raise AssertionError(f"no sample for {cls.__name__}.{field.name}: {kind}")
    return cls(**values, **given)


def every_field():
    column = sample(OutputColumn, 1)
    statement = sample(Statement, 2, file="other.sql", columns=[column, sample(OutputColumn, 3)],
                       changes=[sample(TableChange, 4), sample(TableChange, 5)])
    own = sample(Row, 6)
    inherits = dataclasses.replace(
        sample(Row, 7), file=statement.file, statement=statement.number, place=statement.place,
        position=column.position, output_name=column.output_name, target_db=column.target_db,
        target_table=column.target_table, target_column=column.target_column)
    statement.rows = [own, inherits, dataclasses.replace(inherits, target_db=None)]
    statement.indirect = [sample(IndirectRow, 8),
                          dataclasses.replace(sample(IndirectRow, 9), position=None)]
    bare = Statement("shown.sql", 3, "SET", place=None, moves_data=False, error="")
    return FileLineage("shown.sql", [statement, bare], error="")


def test_analyses_come_back_equal_in_the_last_runs_order(tmp_path, script):
    path = str(tmp_path / "store.db")
    unreadable = FileLineage("gone.sql", [], "cannot read gone.sql")
    with Store.open(path) as store:
        store.put(script, "sql/etl.sql", "d1", "s1")
        store.put(every_field(), "sql/shown.sql", "d2", "s2")
        store.put(unreadable, "b.sql", "d3", "s3")
        store.order(["sql/shown.sql", "sql/etl.sql", "sql/shown.sql"])
    with Store.open(path) as store:
        lineages = store.lineages()
    assert lineages == [every_field(), script, unreadable]
    rows = [row for lineage in lineages for s in lineage.statements for row in s.rows]
    assert all(list(row.as_dict()) == list(ROW_KEYS) for row in rows)
    assert {type(row.resolved) for row in rows} == {type(row.ambiguous) for row in rows} == {bool}


def test_files_are_replaced_forgotten_and_listed(tmp_path, script):
    path = str(tmp_path / "store.db")
    open(path, "wb").close()  # an empty file is a new store
    tiny = FileLineage("a.sql", [Statement("a.sql", 1, "SELECT", "SELECT 1")])
    with Store.open(path) as store:
        for name in ("sql/a.sql", "sql/deep/b.sql", "sqlx/c.sql", "d.sql"):
            store.put(script, name, "old", "s")
        store.put(tiny, "sql/a.sql", "new", "s2")
        store.order(["d.sql", "sql/a.sql", "z.sql"])
        store.put(tiny, "z.sql", "d", "s")  # ordered before it was stored
        assert store.known("sql/a.sql") == ("new", "s2")
        assert store.known("nowhere.sql") is None
    with Store.open(path) as store:
        assert store.paths_under("sql") == store.paths_under("sql/") == [
            "sql/a.sql", "sql/deep/b.sql"]
        assert store.lineages() == [script, tiny, tiny, script, script]  # d, a, z, then by path
        store.forget(["sql/deep/b.sql", "sqlx/c.sql", "never.sql"])
        assert store.lineages() == [script, tiny, tiny]
    with closing(sqlite3.connect(path)) as db:  # nothing left of replaced and forgotten files
        assert db.execute("SELECT count(*) FROM statement").fetchone()[0] == len(
            script.statements) + 2
        assert db.execute("PRAGMA journal_mode").fetchone()[0] == "wal"


def test_a_failed_put_keeps_the_earlier_analysis(tmp_path, script):
    path = str(tmp_path / "store.db")
    bad = FileLineage("etl.sql", [*script.statements, Statement("etl.sql", "x", "SELECT")])
    with Store.open(path) as store:
        store.put(script, "etl.sql", "d1", "s")
        with pytest.raises(StoreError, match=r"cannot store etl.sql: .*number"):
            store.put(bad, "etl.sql", "d2", "s")
            store.flush()
        assert store.known("etl.sql") == ("d1", "s")
    with Store.open(path) as store:
        assert store.lineages() == [script]
    with pytest.raises(StoreError, match="closed"):
        store.known("etl.sql")


def real_store(path, script):
    with Store.open(path) as store:
        for number in range(8):
            store.put(script, f"{number}.sql", "d", "s")
    with open(path, "rb") as stream:
        return stream.read()


def sqlite_file(path, *sql):
    with closing(sqlite3.connect(path)) as db:
        for statement in sql:
            db.execute(statement)
        db.commit()


@pytest.mark.parametrize("make, message", [
    (lambda path, data: open(path, "w").write("SELECT 1;\n" * 20), "not a SQLite database"),
    (lambda path, data: sqlite_file(path, "CREATE TABLE t (x)"), "application id 0"),
    (lambda path, data: sqlite_file(path, "PRAGMA application_id = 7", "CREATE TABLE t (x)"),
     "application id 7"),
    (lambda path, data: sqlite_file(path, f"PRAGMA application_id = {APPLICATION_ID}",
                                    f"PRAGMA user_version = {SCHEMA_VERSION + 1}"),
     "newer than this tool's"),
    # A store of version 0 whose first step cannot be taken: refused, not overwritten.
    (lambda path, data: sqlite_file(path, f"PRAGMA application_id = {APPLICATION_ID}",
                                    "CREATE TABLE file (x)", "INSERT INTO file VALUES (1)"),
     "from schema version 0 to 1: table file already exists"),
    (lambda path, data: open(path, "wb").write(data[:len(data) // 2]), "damaged"),
    (lambda path, data: open(path, "wb").write(data[:4096] + b"\xa5" * 3 * 4096 + data[4 * 4096:]),
     "damaged"),
    (lambda path, data: open(path, "wb").write(data[:60]), "damaged"),
])
def test_unusable_files_are_refused_and_left_alone(tmp_path, script, make, message):
    data = real_store(str(tmp_path / "real.db"), script)
    path = str(tmp_path / "other.db")
    make(path, data)
    with open(path, "rb") as stream:
        before = stream.read()
    with pytest.raises(StoreError) as refused:
        Store.open(path, wait=0.1)
    assert message in str(refused.value)
    assert str(refused.value).startswith(path + ": ") and "\n" not in str(refused.value)
    with open(path, "rb") as stream:
        assert stream.read() == before
    assert sorted(os.listdir(tmp_path)) == ["other.db", "real.db"]


def test_an_older_store_is_brought_up_to_date(tmp_path, script):
    path = str(tmp_path / "store.db")
    sqlite_file(path, f"PRAGMA application_id = {APPLICATION_ID}", "PRAGMA user_version = 0")
    with Store.open(path) as store:
        store.put(script, "etl.sql", "d", "s")
    with Store.open(path) as store:
        assert store.lineages() == [script]
    with closing(sqlite3.connect(path)) as db:
        assert db.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION


HOLDER = """
import sys
from column_lineage.store import Store
store = Store.open(sys.argv[1])
print("holding", flush=True)
sys.stdin.readline()
store.close()
"""


def test_a_store_in_use_by_another_run_waits_then_refuses(tmp_path):
    path = str(tmp_path / "store.db")
    Store.open(path).close()
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, path], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "holding\n"
        with open(path, "rb") as stream:
            before = stream.read()
        with pytest.raises(StoreError, match=r"^.*store\.db: is in use by another run$"):
            Store.open(path, wait=0.3)
        with open(path, "rb") as stream:
            assert stream.read() == before
        # Let go while the next run waits: that run gets the store.
        release = threading.Timer(0.3, lambda: holder.communicate("\n", timeout=30))
        release.start()
        with Store.open(path, wait=30) as store:
            assert store.lineages() == []
    finally:
        holder.kill()
        holder.wait()
    release.join()
