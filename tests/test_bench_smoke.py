"""The benchmark harness runs end to end on tiny sizes; its numbers are not judged here."""
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest

RUN = Path(__file__).resolve().parent.parent / "bench" / "run.py"


@pytest.mark.slow
def test_a_quick_benchmark_run_writes_every_case_to_the_results_table(kafka_bootstrap, tmp_path):
    output = tmp_path / "RESULTS.md"
    # A session of its own, so a hung run takes its benchmark children down with it.
    proc = subprocess.Popen(
        [sys.executable, str(RUN), "--quick", "--reps", "1", "--sizes", "2000", "--output", str(output)],
        env={**os.environ, "QUARNEL_KAFKA_BOOTSTRAP": kafka_bootstrap},
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        # Long enough for the broker with Kafka's default settings that the run starts for itself.
        out, err = proc.communicate(timeout=300)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        pytest.fail(f"the benchmark hung:\n{out[-3000:]}{err[-3000:]}")
    assert proc.returncode == 0, out[-3000:] + err[-3000:]

    text = output.read_text()
    assert text in out
    case = re.compile(r"\| (reads|keys|construction|replay|memory|writes|latency)\b")
    rows = [line.split(" | ") for line in text.splitlines() if case.match(line)]
    assert {case.match(row[0]).group(1) for row in rows} == {"reads", "keys", "construction", "replay", "memory",
                                                             "writes", "latency"}
    assert {row[0] for row in rows} >= {"| construction, test broker", "| construction, Kafka's defaults"}
    subjects = {row[2] for row in rows}
    assert {"get_collection_value", "db[name][key]", "get_collection_value, missing key", "get_collection_keys",
            "KafkaJsonCompaction()", "bare loop, 1 per call, client defaults (baseline)",
            "batched loop, the store's consumer properties (baseline)", "set_collection_value, pause 0",
            "one set_collection_value", "db[name] = mapping"} <= subjects
    # Every row with a target carries its ratio to a baseline of the same run.
    assert all(re.fullmatch(r"\d+\.\d\d", row[5]) for row in rows if row[6])
    assert any(row[6] for row in rows)
    for fact in ("cores", "memory", "Kafka", "confluent_kafka", "librdkafka", "Python"):
        assert fact in text
    # The run cleans its topics off the shared cluster.
    assert "could not delete" not in err, err
