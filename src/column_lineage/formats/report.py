"""The native module's own report per statement: the records as a data
frame, then one labelled line each. With several files or statements a
heading names the file, and the statement with its kind and target; a
statement without a query gets one line saying so."""

from ..native import report_module
from ..terminal import escaped


def shown(record: dict) -> dict:
    """A record with its texts escaped for the terminal (see terminal)."""
    return {key: escaped(value) if isinstance(value, str) else value
            for key, value in record.items()}


def statement_label(statement) -> str:
    label = f"statement {statement.label}: {statement.kind}"
    target = ".".join(part for part in (statement.target_db, statement.target_table) if part)
    return f"{label} -> {target}" if target else label


class ReportWriter:
    def __init__(self, out, options=None):
        self.out = out
        self.headings = getattr(options, "several_files", False)
        self.first = True

    def write(self, lineage):
        several = len(lineage.statements) > 1
        for statement in lineage.statements:
            if not statement.skipped and not statement.rows:
                continue  # failed: the command has said why on standard error
            if not self.first:
                self.out.write("\n")
            self.first = False
            if self.headings or several:
                number = f" ({statement_label(statement)})" if several else ""
                self.out.write(f"==> {escaped(lineage.file + number)} <==\n")
            if statement.skipped:
                self.out.write(f"skipped: {escaped(statement.skipped)}\n")
                continue
            self.out.flush()
            report_module().print_report([shown(row.module_record()) for row in statement.rows])

    def close(self):
        pass
