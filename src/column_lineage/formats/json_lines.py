"""JSON Lines: one row per line, every key present (null where empty)."""

import json

# One encoder for every row: json.dumps with options makes a new one per call.
ENCODER = json.JSONEncoder(ensure_ascii=False)


class JsonLinesWriter:
    def __init__(self, out, options=None):
        self.out = out

    def write(self, lineage):
        lines = [ENCODER.encode(row.as_dict()) + "\n"
                 for statement in lineage.statements for row in statement.rows]
        self.out.write("".join(lines))

    def close(self):
        pass
