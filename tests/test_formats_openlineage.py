"""OpenLineage events: read back through the client's own classes, with the
expected jobs, datasets, input fields and transformation types."""

import json
import uuid
from datetime import datetime, timedelta, timezone

import pytest
from openlineage.client.event_v2 import InputDataset, Job, OutputDataset, Run, RunEvent, RunState
from openlineage.client.facet_v2 import column_lineage_dataset as column_lineage
from openlineage.client.facet_v2 import sql_job
from openlineage.client.serde import Serde

from column_lineage import analyse_sql
from column_lineage.rows import FileLineage
from test_formats_golden import EVENT_TIME, render

LOAD, REPORT = "etl/01_load.sql", "etl/02_report.sql"


def transformation(document):
    return column_lineage.Transformation(**document)


def input_field(document):
    return column_lineage.InputField(
        namespace=document["namespace"], name=document["name"], field=document["field"],
        transformations=[transformation(t) for t in document["transformations"]])


def lineage_facet(document):
    return column_lineage.ColumnLineageDatasetFacet(
        fields={name: column_lineage.Fields(inputFields=[input_field(f) for f in field["inputFields"]])
                for name, field in document["fields"].items()},
        dataset=[input_field(f) for f in document["dataset"]], producer=document["_producer"])


def event_from_document(document) -> RunEvent:
    """The RunEvent a document describes, built with the client's classes:
    a key they do not know or a value they refuse raises."""
    job = document["job"]
    return RunEvent(
        eventType=RunState(document["eventType"]),
        eventTime=document["eventTime"],
        run=Run(runId=document["run"]["runId"], facets=document["run"]["facets"]),
        job=Job(namespace=job["namespace"], name=job["name"], facets={
            "sql": sql_job.SQLJobFacet(query=job["facets"]["sql"]["query"],
                                       dialect=job["facets"]["sql"]["dialect"],
                                       producer=job["facets"]["sql"]["_producer"])}),
        inputs=[InputDataset(namespace=d["namespace"], name=d["name"], facets=d["facets"],
                             inputFacets=d["inputFacets"]) for d in document["inputs"]],
        outputs=[OutputDataset(namespace=output["namespace"], name=output["name"],
                               facets={"columnLineage": lineage_facet(output["facets"]["columnLineage"])},
                               outputFacets=output["outputFacets"])
                 for output in document["outputs"]],
        producer=document["producer"],
    )


def read_events(text):
    """Each line as a RunEvent; its serialisation gives the line back."""
    events = []
    for line in text.splitlines():
        event = event_from_document(json.loads(line))
        assert Serde.to_json(event, ensure_ascii=False) == line
        events.append(event)
    return events


def lineage_of(event):
    """output field -> {(input dataset, input field, subtype)}; none without an output."""
    if not event.outputs:
        return {}
    facet = event.outputs[0].facets["columnLineage"]
    return {name: {(f.name, f.field, t.subtype) for f in field.inputFields for t in f.transformations}
            for name, field in facet.fields.items()}


EXPECTED = {
    f"{LOAD}:1": (["sales.orders", "crm.regions"], "dw.daily_sales", {
        "day": {("sales.orders", "order_date", "IDENTITY")},
        "region": {("crm.regions", "name", "IDENTITY")},
        "revenue": {("sales.orders", "amount", "AGGREGATION")},
    }),
    # A plain SELECT's result is no dataset: inputs only.
    f"{REPORT}:1": (["dw.daily_sales"], None, {}),
    # crm.regions is only joined: an input, but no column's source.
    f"{REPORT}:2": (["sales.orders", "crm.regions"], None, {}),
    f"{REPORT}:3": ([], None, {}),
}


def test_one_event_per_analysed_statement_with_its_lineage():
    events = read_events(render("openlineage"))
    assert [event.job.name for event in events] == list(EXPECTED)  # no event for the UPDATE
    for event in events:
        inputs, output, fields = EXPECTED[event.job.name]
        assert event.eventType == RunState.COMPLETE
        assert [dataset.name for dataset in event.inputs] == inputs
        assert [dataset.name for dataset in event.outputs] == ([output] if output else [])
        assert lineage_of(event) == fields
        assert all(t.type == "DIRECT" for output in event.outputs
                   for f in output.facets["columnLineage"].fields.values()
                   for i in f.inputFields for t in i.transformations)


def test_the_namespace_names_every_job_and_dataset():
    namespace = "postgres://warehouse:5432"
    for event in read_events(render("openlineage", namespace=namespace)):
        fields = [f for output in event.outputs
                  for field in output.facets["columnLineage"].fields.values()
                  for f in field.inputFields]
        assert {event.job.namespace} | {d.namespace for d in event.inputs + event.outputs} | {
            f.namespace for f in fields} == {namespace}


def run_ids(**changes):
    return [event.run.runId for event in read_events(render("openlineage", **changes))]


def test_run_ids_are_unique_per_statement_and_fixed_by_the_event_time():
    first = run_ids()
    assert len(set(first)) == len(first)
    assert all(uuid.UUID(run).version == 7 for run in first)
    assert run_ids() == first
    later = run_ids(event_time=EVENT_TIME + timedelta(seconds=1))
    assert not set(later) & set(first)
    assert later > first  # time-ordered


def test_without_a_fixed_time_the_events_are_stamped_now():
    before = datetime.now(timezone.utc)
    times = {event.eventTime for event in read_events(render("openlineage", event_time=None))}
    assert len(times) == 1
    stamped = datetime.fromisoformat(times.pop())
    assert stamped.tzinfo is not None and before <= stamped <= datetime.now(timezone.utc)


@pytest.mark.parametrize("sql, inputs", [
    # The tables the rows name first, then those only joined or filtered on.
    ("SELECT o.a FROM db.o AS o JOIN db.p AS p ON p.k = o.k", ["db.o", "db.p"]),
    # Tables read in a subquery or a CTE count; the CTE's own name does not.
    ("WITH c AS (SELECT a FROM db.t) SELECT c.a FROM c WHERE c.a IN (SELECT b FROM db.u)",
     ["db.t", "db.u"]),
    # A table written without its database, and no database chosen.
    ("SELECT a FROM t", ["t"]),
    # Not parseable: no event at all.
    ("SELECT FROM WHERE (", None),
])
def test_inputs_are_the_tables_read(sql, inputs):
    lineage = FileLineage("q.sql", analyse_sql(sql, file="q.sql", reads=True))
    events = read_events(render("openlineage", [lineage]))
    assert [[dataset.name for dataset in event.inputs] for event in events] == \
        ([inputs] if inputs is not None else [])


# -- the command: job names, and events sent to a lineage server ---------------

import os  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import threading  # noqa: E402
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer  # noqa: E402

ETL = {"1_load.sql": "INSERT INTO dw.f (a) SELECT o.a FROM src.o o; SELECT f.a FROM dw.f f;",
       "2_mart.sql": "INSERT INTO mart.m (b) SELECT SUM(f.a) FROM dw.f f;"}


def lineage(*argv, cwd=None, env=None):
    return subprocess.run([sys.executable, "-m", "column_lineage", *argv,
                           "--event-time", "2026-03-01T12:30:00"],
                          capture_output=True, text=True, cwd=cwd, timeout=120,
                          env={**os.environ, **(env or {})})


def jobs_of(text):
    return [(event["job"]["namespace"], event["job"]["name"])
            for event in map(json.loads, text.splitlines())]


def test_job_names_do_not_depend_on_how_the_directory_was_named(tmp_path):
    sql = tmp_path / "etl"
    sql.mkdir()
    for name, text in ETL.items():
        (sql / name).write_text(text)
    relative = lineage("--format", "openlineage", "etl", cwd=tmp_path).stdout
    absolute = lineage("--format", "openlineage", str(sql)).stdout
    dotted = lineage("--format", "openlineage", "./etl/", cwd=tmp_path).stdout
    assert relative == absolute == dotted
    assert jobs_of(relative) == [("mysql://localhost", "1_load.sql:1"),
                                 ("mysql://localhost", "1_load.sql:2"),
                                 ("mysql://localhost", "2_mart.sql:1")]
    named = lineage("--format", "openlineage", "--job-namespace", "etl-jobs", "--job-prefix",
                    "nightly/", str(sql / "2_mart.sql")).stdout
    assert jobs_of(named) == [("etl-jobs", "nightly/2_mart.sql:1")]


class Recorder(BaseHTTPRequestHandler):
    received: list = []
    status = 200

    def do_POST(self):  # noqa: N802 - the handler's name
        body = self.rfile.read(int(self.headers["Content-Length"]))
        type(self).received.append((self.path, json.loads(body)))
        self.send_response(type(self).status)
        self.end_headers()

    def log_message(self, *args):
        pass


@pytest.fixture
def lineage_server():
    Recorder.received, Recorder.status = [], 200
    server = ThreadingHTTPServer(("127.0.0.1", 0), Recorder)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    thread.join()


def test_emit_sends_the_events_through_the_clients_transport(tmp_path, lineage_server):
    pytest.importorskip("openlineage.client")
    for name, text in ETL.items():
        (tmp_path / name).write_text(text)
    url = f"http://127.0.0.1:{lineage_server.server_address[1]}"
    written = lineage("--format", "openlineage", str(tmp_path)).stdout
    sent = lineage("--emit", str(tmp_path), env={"OPENLINEAGE_URL": url})
    assert sent.returncode == 0, sent.stderr
    assert sent.stdout == ""
    assert [path for path, _ in Recorder.received] == ["/api/v1/lineage"] * 3
    # the same events, but for the client's own run facet (its version)
    for _, event in Recorder.received:
        assert list(event["run"]["facets"]) == ["tags"]
        event["run"]["facets"] = {}
    assert [event for _, event in Recorder.received] == \
        [json.loads(line) for line in written.splitlines()]
    # a server that refuses: a line per file, and a failure
    Recorder.status = 400  # not retried, as the client retries a 5xx
    refused = lineage("--emit", str(tmp_path), env={"OPENLINEAGE_URL": url})
    *lines, summary = refused.stderr.splitlines()
    assert refused.returncode == 1 and "2 failed files" in summary
    assert [line.split(": ", 2)[-1][:44] for line in lines] == \
        ["cannot send the OpenLineage events (0 sent):"] * 2 and "400" in lines[0]
    # nothing configured: one line, a usage error
    nowhere = lineage("--emit", str(tmp_path),
                      env={"OPENLINEAGE_URL": "", "OPENLINEAGE_CONFIG": str(tmp_path / "no.yml")})
    assert nowhere.returncode == 2 and "no OpenLineage transport is configured" in nowhere.stderr
