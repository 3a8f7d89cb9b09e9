"""The native module's own report per statement: the records as a data
frame, then one labelled line each."""

from ..native import report_module


class ReportWriter:
    def __init__(self, out, options=None):
        self.out = out
        self.headings = getattr(options, "several_files", False)
        self.first = True

    def write(self, lineage):
        for statement in lineage.statements:
            if statement.skipped or not statement.rows:
                continue
            if not self.first:
                self.out.write("\n")
            self.first = False
            if self.headings or len(lineage.statements) > 1:
                number = f" (statement {statement.number})" if len(lineage.statements) > 1 else ""
                self.out.write(f"==> {lineage.file}{number} <==\n")
            self.out.flush()
            report_module().print_report([row.module_record() for row in statement.rows])

    def close(self):
        pass
