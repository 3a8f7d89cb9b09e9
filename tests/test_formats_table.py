"""The table format: marks, alignment by display width, cells that stay
whole off a terminal and wrap on a narrow one, hostile values kept inert."""

import re

import pytest

from column_lineage.formats.table import display_width, split_to_width
from column_lineage.rows import FileLineage, Row, Statement
from test_formats_golden import Terminal, render


def lineage_of(*rows, **statement):
    fields = dict(file="q.sql", number=1, kind="SELECT")
    fields.update(statement)
    return FileLineage(fields["file"], [Statement(rows=list(rows), **fields)])


def row(**fields):
    values = dict(file="q.sql", statement=1, position=1, output_name="a", column_name="a",
                  column_table="t", column_type="column", table_db="db", table_name="t",
                  table_alias="t", resolved=True)
    values.update(fields)
    return Row(**values)


def table_lines(text):
    """The lines of the one table in `text`: from its header to the end."""
    lines = text.splitlines()
    start = next(n for n, line in enumerate(lines) if "output" in line and "kind" in line)
    return [line for line in lines[start:] if line]


@pytest.mark.parametrize("fields, mark", [
    (dict(), ""),
    (dict(resolved=False, table_db=None, table_name=None, table_alias=None), "?"),
    (dict(resolved=False, column_type="literal", column_name="1", table_name=None), ""),
    (dict(resolved=False, column_type="null", column_name="NULL", table_name=None), ""),
    (dict(ambiguous=True), "!"),
    (dict(resolved=False, ambiguous=True, table_name=None), "?!"),
])
def test_marks_and_legend(fields, mark):
    text = render("table", [lineage_of(row(**fields))])
    data_line = table_lines(text)[2]
    if mark:
        assert data_line.startswith(f"{mark}  1  a")
        assert text.endswith("? unresolved: no base table was found for the column, or only a "
                             "schema would say which column of a star it is\n"
                             "! ambiguous: the column could come from more than one table\n")
    else:
        assert data_line.startswith("1  a")
        assert "unresolved" not in text and "ambiguous" not in text


def test_columns_align_by_display_width():
    text = render("table", [lineage_of(
        row(output_name="名称名称", column_name="名称"),
        row(position=2, output_name="amount_total", column_name="amount_total"),
    )])
    header, _, wide, narrow = table_lines(text)

    def offset(line, word):
        return display_width(line[:line.index(word)])

    assert offset(header, "kind") == offset(wide, "column") == offset(narrow, "column")
    assert offset(header, "qualifier") == offset(wide, " t ") + 1 == offset(narrow, " t ") + 1


@pytest.mark.parametrize("value, shown", [
    ("\x1b[31mred", "\\x1b[31mred"),
    ("bell\x07", "bell\\x07"),
    ("tab\there", "tab\\there"),
])
def test_control_characters_are_shown_escaped(value, shown):
    text = render("table", [lineage_of(row(output_name=value), file="f\x1b.sql")])
    assert "\x1b" not in text and "\x07" not in text and "\t" not in text
    assert shown in text and text.startswith("f\\x1b.sql\n")


def test_a_line_break_in_a_value_makes_a_two_line_cell():
    text = render("table", [lineage_of(row(output_name="first\nsecond", column_name="c"))])
    header, rule, first, second = table_lines(text)
    column = header.index("output")
    assert first[column:].startswith("first ") and first.endswith("t")
    assert second == " " * column + "second"


LONG = "a_rather_long_column_name_that_does_not_fit_anywhere"


def test_values_stay_whole_off_a_terminal(monkeypatch):
    monkeypatch.setenv("COLUMNS", "40")
    text = render("table", [lineage_of(row(output_name=LONG, column_name=LONG))])
    assert text.count(LONG) == 2 and "..." not in text


def column_text(lines, number):
    """The text of column `number` (from 0) over the table's body lines,
    cut at the places its rule line gives, the pieces joined."""
    rule = next(n for n, line in enumerate(lines) if set(line) == {"-", " "})
    start, end = [match.span() for match in re.finditer(r"-+", lines[rule])][number]
    return "".join(line[start:end].strip() for line in lines[rule + 1:])


@pytest.mark.parametrize("columns", [50, 60, 80])
def test_a_narrow_terminal_wraps_cells_and_keeps_every_character(columns, monkeypatch):
    monkeypatch.setenv("COLUMNS", str(columns))
    text = render("table", [lineage_of(row(output_name=LONG, column_name=LONG[::-1],
                                           table_db="warehouse"))], out=Terminal())
    lines = table_lines(text)
    assert max(display_width(line) for line in lines) <= columns
    assert len(lines) > 3  # wrapped
    assert column_text(lines, 1) == LONG  # output
    assert column_text(lines, 3) == LONG[::-1]  # source column


def test_a_terminal_too_narrow_for_any_table_gets_the_narrowest_one(monkeypatch):
    monkeypatch.setenv("COLUMNS", "10")
    text = render("table", [lineage_of(row(output_name=LONG))], out=Terminal())
    lines = table_lines(text)
    assert column_text(lines, 1) == LONG
    # Headings keep their words whole: "qualifier" is the widest one.
    assert max(display_width(line) for line in lines) < 60 and "qualifier" in lines[0]


def test_a_wide_enough_terminal_changes_nothing(monkeypatch):
    monkeypatch.setenv("COLUMNS", "200")
    lineage = [lineage_of(row(output_name=LONG))]
    assert render("table", lineage, out=Terminal()) == render("table", lineage)


@pytest.mark.parametrize("line, width, pieces", [
    ("", 4, [""]),
    ("abc", 3, ["abc"]),
    ("ab cd", 4, ["ab", "cd"]),
    ("sales.orders", 8, ["sales.", "orders"]),
    ("order_date", 6, ["order_", "date"]),
    ("crm.regions", 6, ["crm.re", "gions"]),
    ("名称名称x", 4, ["名称", "名称", "x"]),
    ("名称名", 3, ["名", "称", "名"]),
])
def test_split_to_width(line, width, pieces):
    assert split_to_width(line, width) == pieces
    assert "".join(pieces).replace(" ", "") == line.replace(" ", "")


@pytest.mark.parametrize("statement, heading", [
    (dict(kind="UPDATE", skipped="UPDATE statement has no query"),
     "statement 1: UPDATE: skipped (UPDATE statement has no query)"),
    (dict(kind="SELECT", error="not supported (暂不支持): 1 + 1 AS x"),
     "statement 1: SELECT: not analysed (not supported (暂不支持): 1 + 1 AS x)"),
    (dict(kind="SELECT"), "statement 1: SELECT: no output columns"),
])
def test_statements_without_rows_get_one_line(statement, heading):
    assert render("table", [lineage_of(**statement)]) == f"q.sql\n=====\n\n{heading}\n"


@pytest.mark.parametrize("spare, wraps", [(0, False), (-1, True)])
def test_a_table_exactly_as_wide_as_the_terminal_stays_whole(spare, wraps, monkeypatch):
    lineage = [lineage_of(row(output_name=LONG))]
    width = max(display_width(line) for line in table_lines(render("table", lineage)))
    monkeypatch.setenv("COLUMNS", str(width + spare))
    lines = table_lines(render("table", lineage, out=Terminal()))
    assert (max(display_width(line) for line in lines) < width) == wraps
    assert column_text(lines, 1) == LONG
