"""JSON Lines: one row per line, every key present (null where empty)."""

import json


class JsonLinesWriter:
    def __init__(self, out, options=None):
        self.out = out

    def write(self, lineage):
        for statement in lineage.statements:
            for row in statement.rows:
                self.out.write(json.dumps(row.as_dict(), ensure_ascii=False) + "\n")

    def close(self):
        pass
