"""The counts the command reports at the end of a run."""

from __future__ import annotations

from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from .rows import FileLineage, Statement


@dataclass
class Summary:
    files: int = 0
    statements: int = 0
    columns: int = 0
    unresolved: int = 0
    ambiguous: int = 0
    unsupported: int = 0
    skipped: int = 0
    failed: int = 0
    inert: Counter[str] = field(default_factory=Counter)  # statements moving no data, by kind

    def add(self, lineage: FileLineage) -> None:
        self.files += 1
        failed = lineage.error is not None
        for statement in lineage.statements:
            failed = self.add_statement(statement) or failed
        self.failed += failed

    def add_statement(self, statement: Statement) -> bool:
        """Counts one statement of the file being counted (`add` counts the
        file); whether it failed."""
        self.statements += statement.place is None  # a routine's body is part of its CREATE
        if not statement.moves_data:
            self.inert[statement.kind] += statement.place is None
            return False
        self.skipped += statement.skipped is not None
        self.columns += len(statement.columns)
        # An output column counts once however many of its rows say so.
        doubtful: dict[str, set[int]] = {"unresolved": set(), "ambiguous": set(),
                                         "unsupported": set()}
        for row in statement.rows:
            if row.ambiguous:
                doubtful["ambiguous"].add(row.position)
            if row.unsupported:
                doubtful["unsupported"].add(row.position)
            elif row.unresolved:
                doubtful["unresolved"].add(row.position)
        self.unresolved += len(doubtful["unresolved"])
        self.ambiguous += len(doubtful["ambiguous"])
        self.unsupported += len(doubtful["unsupported"])
        return statement.error is not None

    def counts(self) -> dict[str, object]:
        """The counts as plain data (JSON's), for `of_counts`."""
        return {**vars(self), "inert": dict(self.inert)}

    @classmethod
    def of_counts(cls, counts: dict[str, Any]) -> Summary:
        """The summary `counts` holds (as `counts()` gave it)."""
        return cls(**{**counts, "inert": Counter(counts.get("inert", {}))})

    def doubtful(self) -> bool:
        """Anything --strict refuses."""
        return bool(self.unresolved or self.ambiguous or self.unsupported or self.skipped)

    def line(self) -> str:
        line = (f"{self.files} files, {self.statements} statements, {self.columns} output columns, "
                f"{self.unresolved} unresolved, {self.ambiguous} ambiguous, "
                f"{self.unsupported} unsupported, {self.skipped} skipped statements, "
                f"{self.failed} failed files")
        inert = sorted(((count, kind) for kind, count in self.inert.items() if count),
                       key=lambda entry: (-entry[0], entry[1]))
        if inert:
            line += "; moving no data: " + ", ".join(f"{count} {kind}" for count, kind in inert)
        return line
