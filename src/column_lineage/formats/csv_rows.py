"""CSV: the rows with a header line, written by the standard library's
writer.

Every value is quoted except a missing one, which is an empty unquoted
field: PostgreSQL's `COPY ... (FORMAT csv)` reads that as NULL and a quoted
empty field as the empty string, and Python reads it back as None with
`quoting=csv.QUOTE_NOTNULL`. Booleans are written `true`/`false`."""

import csv

from ..rows import OUTPUT_KEYS


def csv_value(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return value


class CsvWriter:
    def __init__(self, out, options=None):
        self.writer = csv.writer(out, quoting=csv.QUOTE_NOTNULL, lineterminator="\n")
        self.writer.writerow(OUTPUT_KEYS)

    def write(self, lineage):
        for statement in lineage.statements:
            for record in statement.output_records():
                self.writer.writerow([csv_value(record[key]) for key in OUTPUT_KEYS])

    def close(self):
        pass
