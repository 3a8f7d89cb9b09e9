"""JSON Lines and CSV read back with the standard library give the rows
they were written from, whatever the values hold."""

import csv
import io
import json

import pytest

from column_lineage.rows import OUTPUT_KEYS, ROW_KEYS, FileLineage, Row, Statement
from etl_lineage import etl_directory
from test_formats_golden import render


def all_rows(lineages):
    return [row for lineage in lineages for statement in lineage.statements
            for row in statement.rows]


def hostile_lineage():
    """Values that break naive writers: separators, quotes, line breaks,
    an empty string beside a missing value, non-ASCII text, and the text
    that JSON Lines finds between two rows' objects."""
    values = ['a,b', 'say "hi"', "two\nlines", "cr\r\nlf", "", " padded ", "名称", "=1+1", "\\N",
              '}, {"file": ', 'x}, {"file": 1}', '\\"}, {"file": "\\']
    rows = [Row(file="odd, \"name\".sql", statement=1, position=n, output_name=value,
                column_name=value, column_table="", column_type="column", note=value or None)
            for n, value in enumerate(values, start=1)]
    return FileLineage("odd, \"name\".sql", [Statement("odd, \"name\".sql", 1, "SELECT", rows=rows)])


INPUTS = pytest.mark.parametrize("lineages", [etl_directory(), [hostile_lineage()]],
                                 ids=["etl", "hostile"])


def output_records(lineages):
    """The rows as the row formats write them: each row's fields, how its
    output column is computed and the line of its statement."""
    records = []
    for lineage in lineages:
        for statement in lineage.statements:
            computed = {column.position: column.transformation.lower()
                        for column in statement.columns}
            records += [{**row.as_dict(), "transformation": computed.get(row.position),
                         "line": statement.line} for row in statement.rows]
    return records


def from_csv(record):
    """A CSV record as the row's dict: numbers and booleans back to values."""
    values = {}
    for key in OUTPUT_KEYS:
        value = record[key]
        if key in ("statement", "position", "column_sort", "line") and value is not None:
            value = int(value)
        elif key in ("resolved", "ambiguous"):
            value = {"true": True, "false": False}[value]
        values[key] = value
    return values


@INPUTS
def test_json_lines_read_back(lineages):
    text = render("json", lineages)
    documents = [json.loads(line) for line in text.splitlines()]
    assert [list(document) for document in documents] == [list(OUTPUT_KEYS)] * len(documents)
    assert documents == output_records(lineages)


@INPUTS
def test_csv_reads_back(lineages):
    text = render("csv", lineages)
    reader = csv.DictReader(io.StringIO(text, newline=""), quoting=csv.QUOTE_NOTNULL)
    assert reader.fieldnames == list(OUTPUT_KEYS)
    assert [from_csv(record) for record in reader] == output_records(lineages)


def test_csv_without_rows_is_its_header():
    empty = [FileLineage("e.sql", [Statement("e.sql", 1, "UPDATE", skipped="no query")])]
    assert render("csv", empty) == ",".join(f'"{key}"' for key in OUTPUT_KEYS) + "\n"


def test_csv_tells_a_missing_value_from_an_empty_string():
    # COPY ... (FORMAT csv) reads an unquoted empty field as NULL and a
    # quoted one as the empty string.
    line = render("csv", [hostile_lineage()]).split("\n")[1]
    fields = next(csv.reader([line]))
    assert fields[ROW_KEYS.index("column_table")] == ""
    assert ',"",' in line and ",,,," in line  # column_table quoted; the table keys bare


def test_rows_made_from_fields_are_ordinary_rows():
    rows = all_rows(etl_directory())
    assert rows
    for row in rows:
        ordinary = Row(**row.as_dict())
        assert (row, hash(row), repr(row)) == (ordinary, hash(ordinary), repr(ordinary))
        assert list(row.__dict__) == list(ROW_KEYS)
        with pytest.raises(AttributeError):
            row.position = 0  # type: ignore[misc]
