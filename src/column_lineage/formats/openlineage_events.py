"""OpenLineage: one COMPLETE RunEvent per analysed statement, as JSON Lines,
built with the openlineage-python client's classes and serialised by its
Serde.

The job is named after the file and statement ("load.sql:1": a file by
its path inside the directory given, a file given itself by its name, with
the command's --job-prefix before it; in the --job-namespace); the inputs
are the base tables the statement reads; the output is its target table. A
plain SELECT has inputs and no output: a query's result is no dataset, so
its column lineage has nowhere to sit (the other formats have it). The
output carries the columnLineage facet: each output column with the source
columns it is computed from, typed DIRECT/IDENTITY, DIRECT/AGGREGATION or
DIRECT/TRANSFORMATION. Output columns without a source column (literals)
have no entry. Statements without a query, or whose analysis failed, have
no event.

Answers about the whole pipeline (end to end, upstream, downstream) are
one event per file instead: the job is the file, its inputs the columns'
sources, its outputs each table the file writes, with the column lineage
the answers found.

All events of one run share one event time (now, or the command's
--event-time). The run id is the client's static UUIDv7 of that time and
the file and statement: unique per statement and run, time-ordered, and
the same again when the event time is fixed."""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import Any, TextIO

from openlineage.client.event_v2 import InputDataset, Job, OutputDataset, Run, RunEvent, RunState
from openlineage.client.facet_v2 import column_lineage_dataset as column_lineage, sql_job
from openlineage.client.serde import Serde
from openlineage.client.uuid import generate_static_uuid

from .. import __version__
from ..rows import IDENTITY, FileLineage, OutputColumn, Row, Statement
from . import FormatError, WriterOptions
from .json_lines import LINE_BREAKS

DEFAULT_NAMESPACE = "mysql://localhost"
PRODUCER = f"urn:column-lineage:lineage:{__version__}"
DIRECT = "DIRECT"
INDIRECT = "INDIRECT"


def dataset_name(db: str | None, table: str | None) -> str:
    return ".".join(part for part in (db, table) if part)


def job_name(statement: Statement, jobs: dict[str, str] | None = None) -> str:
    """"FILE:N", the file named as `jobs` names it (else as shown)."""
    return f"{(jobs or {}).get(statement.file, statement.file)}:{statement.label}"


def run_id(name: str, event_time: datetime) -> str:
    """The static UUIDv7 of the event time and the job's name."""
    return str(generate_static_uuid(event_time, name.encode("utf-8", "surrogatepass")))


def input_tables(statement: Statement) -> list[str]:
    """Dataset names of the tables the statement reads (its `reads`: those
    its rows name first, then the others), each once."""
    return list(dict.fromkeys(dataset_name(db, table) for db, table in statement.reads))


def output_name(statement: Statement) -> str:
    return dataset_name(statement.target_db, statement.target_table)


def transformation(column: OutputColumn | None) -> column_lineage.Transformation:
    if column is None:
        return column_lineage.Transformation(type=DIRECT, subtype=IDENTITY)
    description = None if column.transformation == IDENTITY else column.sql
    return column_lineage.Transformation(type=DIRECT, subtype=column.transformation,
                                         description=description)


def field_name(row: Row, column: OutputColumn | None) -> str:
    if column is not None and column.target_column:
        return column.target_column
    return row.target_column or row.output_name


# Output field -> the source columns it reads (or, INDIRECT, that decide its rows).
FieldInputs = dict[str, list[column_lineage.InputField]]


def column_lineage_facet(statement: Statement, namespace: str, indirect: bool = False
                         ) -> column_lineage.ColumnLineageDatasetFacet:
    """Output field -> the source columns it reads, each once; with
    `indirect`, also those that decide its rows (INDIRECT transformations,
    per field, and for every field in the facet's dataset list)."""
    fields = field_inputs(statement, namespace, {})
    dataset: list[column_lineage.InputField] = []
    if indirect:
        indirect_inputs(statement, namespace, fields, dataset)
    return lineage_facet(fields, dataset)


def lineage_facet(fields: FieldInputs, dataset: list[column_lineage.InputField] | None = None
                  ) -> column_lineage.ColumnLineageDatasetFacet:
    """The column lineage facet of an output dataset with these fields."""
    return column_lineage.ColumnLineageDatasetFacet(
        fields={name: column_lineage.Fields(inputFields=inputs) for name, inputs in fields.items()},
        dataset=dataset or [], producer=PRODUCER)


def indirect_inputs(statement: Statement, namespace: str, fields: FieldInputs,
                    dataset: list[column_lineage.InputField]) -> None:
    """The statement's indirect rows as INDIRECT transformations: of the
    field they concern in `fields`, or, at the dataset level, in `dataset`;
    an input field named twice gets each transformation once."""
    columns = {column.position: column for column in statement.columns}
    for row in statement.indirect:
        if row.position is None:
            into = dataset
        else:
            column = columns.get(row.position)
            name = column.target_column if column is not None and column.target_column else \
                row.target_column or row.output_name or str(row.position)
            into = fields.setdefault(name, [])
        kind = column_lineage.Transformation(type=INDIRECT, subtype=row.subtype)
        table = dataset_name(row.table_db, row.table_name)
        found = next((source for source in into if (source.name, source.field) ==
                      (table, row.column_name)), None)
        if found is None:
            into.append(column_lineage.InputField(namespace=namespace, name=table,
                                                  field=row.column_name, transformations=[kind]))
        elif found.transformations is not None and kind not in found.transformations:
            found.transformations.append(kind)  # (every input field here is made with a list)


def field_inputs(statement: Statement, namespace: str, fields: FieldInputs) -> FieldInputs:
    """`fields` (output field -> its source columns) with those the
    statement's rows add, each once."""
    columns = {column.position: column for column in statement.columns}
    for row in statement.rows:
        if not row.table_name or not row.column_name:
            continue
        column = columns.get(row.position)
        source = column_lineage.InputField(
            namespace=namespace, name=dataset_name(row.table_db, row.table_name),
            field=row.column_name, transformations=[transformation(column)])
        inputs = fields.setdefault(field_name(row, column), [])
        if source not in inputs:
            inputs.append(source)
    return fields


def statement_event(statement: Statement, namespace: str, event_time: datetime,
                    dialect: str, jobs: Jobs | None = None, indirect: bool = False) -> RunEvent:
    jobs = jobs or Jobs(namespace)
    name = jobs.prefix + job_name(statement, jobs.names)
    job = Job(namespace=jobs.namespace, name=name, facets={
        "sql": sql_job.SQLJobFacet(query=statement.sql, dialect=dialect, producer=PRODUCER)})
    outputs = [OutputDataset(namespace=namespace, name=output_name(statement), facets={
        "columnLineage": column_lineage_facet(statement, namespace, indirect)})] \
        if statement.target_table else []
    return RunEvent(
        eventType=RunState.COMPLETE,
        eventTime=event_time.isoformat(),
        run=Run(runId=run_id(name, event_time)),
        job=job,
        inputs=[InputDataset(namespace=namespace, name=table)
                for table in input_tables(statement)],
        outputs=outputs,
        producer=PRODUCER,
    )


@dataclass(frozen=True)
class Jobs:
    """How the events name their jobs: in `namespace`, each file by its
    name in `names` (else as shown), after `prefix`."""

    namespace: str
    prefix: str = ""
    names: dict[str, str] = field(default_factory=dict)


def file_event(lineage: FileLineage, namespace: str, event_time: datetime,
               jobs: Jobs | None = None) -> RunEvent:
    """One event for a file's part in the pipeline: the tables it writes,
    each with the columns it reads (lineage.statements as the answers made
    them: one per statement and table written)."""
    outputs: dict[str, FieldInputs] = {}
    inputs: dict[str, None] = {}
    for statement in lineage.statements:
        field_inputs(statement, namespace, outputs.setdefault(output_name(statement), {}))
        inputs.update((name, None) for name in input_tables(statement))
    jobs = jobs or Jobs(namespace)
    name = jobs.prefix + jobs.names.get(lineage.file, lineage.file)
    return RunEvent(
        eventType=RunState.COMPLETE,
        eventTime=event_time.isoformat(),
        run=Run(runId=run_id(name, event_time)),
        job=Job(namespace=jobs.namespace, name=name),
        inputs=[InputDataset(namespace=namespace, name=name) for name in inputs],
        outputs=[OutputDataset(namespace=namespace, name=name,
                               facets={"columnLineage": lineage_facet(fields)})
                 for name, fields in outputs.items()],
        producer=PRODUCER,
    )


class OpenLineageWriter:
    """The events as JSON Lines on `out`, or, with the command's --emit,
    sent through the OpenLineage client's own transport as its
    configuration says (OPENLINEAGE_URL, openlineage.yml)."""

    def __init__(self, out: TextIO, options: WriterOptions | None = None) -> None:
        options = options or WriterOptions()
        self.out = out
        self.per_file = options.per_file  # answers about a pipeline
        self.namespace = options.namespace or DEFAULT_NAMESPACE
        self.jobs = Jobs(options.job_namespace or self.namespace, options.job_prefix or "",
                         options.job_names or {})
        self.dialect = options.dialect or "mysql"
        self.event_time = options.event_time or datetime.now(UTC)
        self.client: Any = options.emit_client  # the OpenLineage client's, untyped
        self.indirect = options.indirect
        self.sent = 0

    def write(self, lineage: FileLineage) -> None:
        if self.per_file:
            self.send(file_event(lineage, self.namespace, self.event_time, self.jobs))
            return
        for statement in lineage.statements:
            self.statement(statement)

    def begin_file(self, file: str) -> None:
        pass

    def statement(self, statement: Statement) -> None:
        if not statement.skipped and not statement.error:
            self.send(statement_event(statement, self.namespace, self.event_time, self.dialect,
                                      self.jobs, self.indirect))

    def end_file(self) -> None:
        pass

    def send(self, event: RunEvent) -> None:
        if self.client is None:
            line = Serde.to_json(event, ensure_ascii=False)
            self.out.write((line if line.isascii() else line.translate(LINE_BREAKS)) + "\n")
            return
        try:
            self.client.emit(event)
        except Exception as error:  # noqa: BLE001 - whatever the transport raises
            raise FormatError(f"cannot send the OpenLineage events ({self.sent} sent): "
                              f"{' '.join(str(error).split()) or type(error).__name__}") from None
        self.sent += 1

    def close(self) -> None:
        pass
