"""The base tables a statement reads, found once when it is analysed
(Statement.reads): the default database a USE chose is theirs, a CTE's name
is none of them, the store keeps them, and the OpenLineage events take
their inputs from them."""

import json
import sqlite3
from contextlib import closing

import pytest

from column_lineage import analyse_sql
from column_lineage.rows import FileLineage, TableName
from column_lineage.store import SCHEMA_VERSION, Store
from test_formats_golden import render

USE_THEN_UNQUALIFIED = "USE staging;\nINSERT INTO rpt.x SELECT id FROM orders;"


@pytest.mark.parametrize("sql, database, reads", [
    # The USE before the statement gives its unqualified tables their
    # database: those the rows name (first) and those only filtered or
    # joined on.
    ("USE staging; INSERT INTO rpt.x SELECT o.id FROM orders o JOIN crm.c ON c.id = o.cid "
     "WHERE o.k IN (SELECT k FROM keep)", None,
     [("staging", "orders"), ("staging", "keep"), ("crm", "c")]),
    # The default database given stands until a USE chooses another.
    ("SELECT a FROM t", "dw", [("dw", "t")]),
    ("USE other; SELECT a FROM t", "dw", [("other", "t")]),
    # Neither: no database.
    ("SELECT a FROM t", None, [(None, "t")]),
    # A CTE's name is no table, the target is not read, a table read twice is one.
    ("WITH c AS (SELECT a FROM src.t) INSERT INTO rpt.y SELECT c.a FROM c "
     "JOIN src.t AS u ON u.a = c.a", None, [("src", "t")]),
    # A temporary table is read as any other.
    ("CREATE TEMPORARY TABLE tmp AS SELECT a FROM src.t; INSERT INTO rpt.z SELECT a FROM tmp",
     "dw", [("dw", "tmp")]),
    # UPDATE: the table an assignment reads.
    ("UPDATE rpt.x JOIN src.w ON w.id = x.id SET x.a = w.a", None, [("src", "w")]),
    # A statement without rows reads nothing.
    ("USE staging", None, []),
])
def test_the_tables_a_statement_reads(sql, database, reads):
    statement = analyse_sql(sql, database=database, reads=True)[-1]
    assert statement.reads == [TableName(db, table) for db, table in reads]


def test_a_routine_body_reads_in_the_routine_database():
    sql = ("DELIMITER //\nCREATE PROCEDURE ops.load() BEGIN INSERT INTO rpt.x SELECT a FROM t; "
           "END //\nDELIMITER ;\n")
    body = analyse_sql(sql, database="dw", reads=True)[-1]
    assert body.place == 1 and body.reads == [TableName("ops", "t")]


def input_names(lineages):
    return [[dataset["name"] for dataset in json_event["inputs"]]
            for json_event in map(json.loads, render("openlineage", lineages).splitlines())]


def test_a_table_named_after_use_is_one_input_of_that_database():
    lineage = FileLineage("q.sql", analyse_sql(USE_THEN_UNQUALIFIED, file="q.sql", reads=True))
    assert input_names([lineage]) == [["staging.orders"]]


def store_file(path, lineage):
    with Store.open(str(path)) as store:
        store.put(lineage, "q.sql", "digest", "settings")


def stored(path):
    with Store.open(str(path)) as store:
        return store.lineages()


def test_statements_read_back_give_the_same_events(tmp_path):
    text = (USE_THEN_UNQUALIFIED + "\nINSERT INTO rpt.y SELECT a FROM src.t "
            "WHERE b IN (SELECT b FROM src.u);\nSELECT 1 AS one;")
    lineage = FileLineage("q.sql", analyse_sql(text, file="q.sql", reads=True))
    store_file(tmp_path / "lineage.db", lineage)
    back = stored(tmp_path / "lineage.db")
    assert [statement.reads for statement in back[0].statements] == \
        [statement.reads for statement in lineage.statements]
    assert render("openlineage", back) == render("openlineage", [lineage])
    assert input_names(back) == [["staging.orders"], ["src.t", "src.u"], []]


def test_a_store_of_the_version_before_reads_is_migrated(tmp_path):
    path = tmp_path / "lineage.db"
    text = "INSERT INTO rpt.y SELECT a FROM src.t WHERE b IN (SELECT b FROM src.u);"
    store_file(path, FileLineage("q.sql", analyse_sql(text, file="q.sql", reads=True)))
    with closing(sqlite3.connect(path)) as db:  # as the version before made it
        db.execute("ALTER TABLE statement DROP COLUMN reads")
        db.execute(f"PRAGMA user_version = {SCHEMA_VERSION - 1}")
        db.commit()
    with Store.open(str(path)) as store:
        # Analysed again by the next run that names the file.
        assert store.known("q.sql") == ("digest", "")
        statement, = store.lineages()[0].statements
    # Until then, what its rows name.
    assert statement.reads == [TableName("src", "t")]
