"""Broker faults: a killed broker, a restarted cluster, an unreachable one."""
import json
import os
import socket
import subprocess
import sys
import threading
import time

import pytest
from confluent_kafka import KafkaException, TopicCollection
from confluent_kafka.admin import AdminClient, NewTopic

from store_fixtures import produce, wait_until

TESTS_DIR = os.path.dirname(__file__)

# Writes distinct keys until the stop file appears; every write that returned
# is reported, then the process checks that its own store shows them all.
# acks=all is librdkafka's default; it is set anyway, so the test does not
# depend on a default that a client upgrade could change.
WRITER = r"""
import json, os, sys, threading, time
from quarnel_kafka_kv.quillet import KafkaJsonCompaction

bootstrap, db_name, tag, stop_file = sys.argv[1:]
stopped = []
store = KafkaJsonCompaction({"bootstrap.servers": bootstrap, "acks": "all"}, ["c"], db_name,
                            on_consumer_kill=lambda: stopped.append(True))
store.publish_pause_s = 0.05
confirmed, failures, read_errors = {}, [], []
latest = [None]
reads = [0]
longest_read = [0.0]
done = threading.Event()


def read_loop():
    while not done.is_set():
        key = latest[0]
        started = time.monotonic()
        try:
            value = store.get_collection_value("c", key) if key else None
            if value is not None and value != confirmed[key]:
                read_errors.append(f"{key}: {value!r}")
        except Exception as e:
            read_errors.append(repr(e))
        longest_read[0] = max(longest_read[0], time.monotonic() - started)
        reads[0] += 1
        time.sleep(0.01)


reader = threading.Thread(target=read_loop)
reader.start()
n = 0
while not os.path.exists(stop_file):
    key = f"{tag}-{n}"
    value = {"writer": tag, "n": n, "pad": "v" * (n % 40)}
    try:
        store.set_collection_value("c", key, value)
    except Exception as e:
        failures.append(f"{key}: {e!r}")
    else:
        confirmed[key] = value
        latest[0] = key
        print("CONFIRMED", key, flush=True)
    n += 1

deadline = time.monotonic() + 60
while True:
    missing = [k for k, v in confirmed.items() if store.get_collection_value("c", k) != v]
    if not missing or time.monotonic() > deadline:
        break
    time.sleep(0.1)
done.set()
reader.join()
summary = {"attempted": n, "confirmed": confirmed, "failures": failures, "missing_locally": missing,
           "reads": reads[0], "longest_read": longest_read[0], "read_errors": read_errors,
           "consumer_alive": store.cons_thr.is_alive() and not stopped}
print("SUMMARY " + json.dumps(summary), flush=True)
store.close()
store.cons_thr.join(10)
"""


class Writer:
    def __init__(self, bootstrap, db_name, tag, stop_file, log_dir):
        self.tag = tag
        self.stderr_path = log_dir / f"{tag}.stderr"
        self.lines = []
        with open(self.stderr_path, "w") as stderr:
            self.proc = subprocess.Popen(
                [sys.executable, "-u", "-c", WRITER, bootstrap, db_name, tag, str(stop_file)],
                stdout=subprocess.PIPE, stderr=stderr, text=True, cwd=TESTS_DIR)
        self.pump = threading.Thread(target=self._read, daemon=True)
        self.pump.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    def confirmed(self):
        return sum(line.startswith("CONFIRMED ") for line in list(self.lines))

    def wait_confirmed(self, count, timeout):
        deadline = time.monotonic() + timeout
        while self.confirmed() < count:
            assert self.proc.poll() is None, f"writer {self.tag} ended early:\n{self.stderr()}"
            assert time.monotonic() < deadline, f"writer {self.tag} confirmed {self.confirmed()} < {count}"
            time.sleep(0.05)

    def finish(self, timeout):
        assert self.proc.wait(timeout) == 0, self.stderr()
        self.pump.join(10)
        [summary] = [line for line in self.lines if line.startswith("SUMMARY ")]
        return json.loads(summary[len("SUMMARY "):])

    def stderr(self):
        return self.stderr_path.read_text()[-3000:]

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.pump.join(10)
        self.proc.stdout.close()


def needs_node_control(cluster):
    if getattr(cluster, "external", False):
        pytest.skip("the nodes of an external cluster cannot be stopped")


def wrong_or_missing(store, expected, timeout):
    """Keys of expected that the store does not hold with their value, after waiting up to timeout."""
    def wrong():
        return [k for k, v in expected.items() if store.get_collection_value("c", k) != v]
    try:
        wait_until(lambda: not wrong(), timeout=timeout, interval=0.2)
    except AssertionError:
        pass
    return wrong()


@pytest.mark.cluster3
@pytest.mark.slow
def test_a_store_on_three_brokers_replicates_its_topics_three_times(kafka_cluster3, make_store, unique_name,
                                                                    capsys):
    store = make_store(["a", "b"], configs={"bootstrap.servers": kafka_cluster3.bootstrap})
    topics = store.admin.list_topics(timeout=10).topics
    for name in ("a", "b"):
        partitions = topics[f"{unique_name}.{name}"].partitions
        assert list(partitions) == [0]
        assert sorted(partitions[0].replicas) == [1, 2, 3]
    assert "replication_factor" not in capsys.readouterr().out


@pytest.mark.cluster3
@pytest.mark.slow
def test_no_confirmed_write_is_lost_when_a_broker_is_killed_under_two_writers(
        kafka_cluster3, make_store, unique_name, tmp_path):
    needs_node_control(kafka_cluster3)
    configs = {"bootstrap.servers": kafka_cluster3.bootstrap}
    topic = f"{unique_name}.c"
    # Open from before the kill to after the restart, and creates the topic for the writers.
    survivor = make_store(["c"], configs=configs)
    # The partition's leader is the broker whose loss hurts: writes must move to a new leader.
    victim = survivor.admin.list_topics(topic, timeout=10).topics[topic].partitions[0].leader - 1
    stop_file = tmp_path / "stop"
    writers = [Writer(kafka_cluster3.bootstrap, unique_name, tag, stop_file, tmp_path) for tag in ("w1", "w2")]
    try:
        for writer in writers:
            writer.wait_confirmed(10, timeout=60)
        kafka_cluster3.kill_node(victim)
        try:
            before_kill = [writer.confirmed() for writer in writers]
            for writer, count in zip(writers, before_kill):
                writer.wait_confirmed(count + 20, timeout=90)
            stop_file.touch()
            summaries = [writer.finish(timeout=120) for writer in writers]
            confirmed = {k: v for s in summaries for k, v in s["confirmed"].items()}

            assert wrong_or_missing(make_store(["c"], configs=configs), confirmed, 30) == []
        finally:
            kafka_cluster3.start_node(victim)
        assert wrong_or_missing(make_store(["c"], configs=configs), confirmed, 30) == []
        assert wrong_or_missing(survivor, confirmed, 30) == []
    finally:
        stop_file.touch()
        for writer in writers:
            writer.close()

    for summary in summaries:
        assert summary["missing_locally"] == []
        assert summary["read_errors"] == []
        # Reads never wait for a write's delivery, which a failover holds up for seconds.
        assert summary["longest_read"] < 2, summary["longest_read"]
        assert summary["consumer_alive"]
    attempted = sum(s["attempted"] for s in summaries)
    failed = sum(len(s["failures"]) for s in summaries)
    print(f"broker kill: attempted {attempted}, confirmed {len(confirmed)}, raised {failed}, lost 0; "
          f"before kill {sum(before_kill)}; longest read "
          f"{max(s['longest_read'] for s in summaries):.2f}s over {sum(s['reads'] for s in summaries)} reads")
    assert attempted == len(confirmed) + failed


@pytest.mark.cluster3
@pytest.mark.slow
def test_a_store_whose_admin_names_a_dead_controller_neither_spins_nor_misses_a_recreated_topic(
        kafka_cluster3, make_store, unique_name, capsys):
    needs_node_control(kafka_cluster3)
    configs = {"bootstrap.servers": kafka_cluster3.bootstrap}
    topic = f"{unique_name}.c"
    store = make_store(["c"], configs=configs)
    store.set_collection_value("c", "old", 1)
    # Descriptions go to the broker a client last heard named as the controller: kill that one.
    victim = store.admin.list_topics(topic, timeout=10).controller_id - 1
    kafka_cluster3.kill_node(victim)
    try:
        # Its Admin used to retry that broker without pause for as long as each look lasted: most of a core.
        cpu = time.process_time()
        time.sleep(12)
        assert time.process_time() - cpu < 4
        alive = {"bootstrap.servers": ",".join(kafka_cluster3.node_bootstrap(i) for i in kafka_cluster3.alive_nodes())}
        admin = AdminClient(alive)
        old_id = admin.describe_topics(TopicCollection([topic]))[topic].result().topic_id
        admin.delete_topics([topic])[topic].result()

        def recreated():
            # A creation that took effect but reported a time-out is retried into "already exists".
            try:
                admin.create_topics([NewTopic(topic, 1, 2, config={"cleanup.policy": "compact"})])[topic].result()
            except KafkaException:
                pass
            return admin.describe_topics(TopicCollection([topic]))[topic].result().topic_id != old_id
        wait_until(recreated, timeout=30, interval=0.5, ignore=(KafkaException,))
        # A new log that grew past the old position: only the topic's identity tells it from the old one.
        produce(alive, topic, [(b"k%d" % i, b"%d" % i) for i in range(5)])
        wait_until(lambda: sorted(store.get_collection_keys("c")) == [f"k{i}" for i in range(5)], timeout=30)
        assert "rebuilt " + topic in capsys.readouterr().err
        store.set_collection_value("c", "new", 2)
        wait_until(lambda: store.get_collection_value("c", "new") == 2)
    finally:
        kafka_cluster3.start_node(victim)


@pytest.mark.cluster3
@pytest.mark.slow
def test_a_running_store_catches_up_after_the_whole_cluster_restarts(kafka_cluster3, make_store):
    needs_node_control(kafka_cluster3)
    configs = {"bootstrap.servers": kafka_cluster3.bootstrap}
    stops = []
    store = make_store(["c"], configs=configs, on_consumer_kill=lambda: stops.append(True))
    store.set_collection_value("c", "before", 1)
    wait_until(lambda: store.get_collection_value("c", "before") == 1)

    try:
        # A crash of every node: a graceful stop of the last voter waits 15 s for a quorum that is gone.
        for node in range(len(kafka_cluster3.nodes)):
            kafka_cluster3.kill_node(node)
        # Long enough for every client of the store to lose all its connections.
        time.sleep(3)
        assert store.cons_thr.is_alive()
    finally:
        kafka_cluster3.start_nodes()

    other = make_store(["c"], configs=configs)
    other.set_collection_value("c", "while away", 2)
    other.delete_collection_value("c", "before")
    wait_until(lambda: store.get_collection_value("c", "while away") == 2
               and store.get_collection_keys("c") == ["while away"], timeout=60)
    store.set_collection_value("c", "after", 3)
    wait_until(lambda: other.get_collection_value("c", "after") == 3, timeout=30)
    assert store.cons_thr.is_alive() and stops == []


UNREACHABLE = r"""
import gc, json, os, sys, threading, time
from confluent_kafka import KafkaException
from quarnel_kafka_kv.quillet import KafkaJsonCompaction

def tasks():
    return len(os.listdir("/proc/self/task"))

before = tasks()
started = time.monotonic()
try:
    KafkaJsonCompaction({"bootstrap.servers": sys.argv[1]}, ["c"], "unreachable",
                        on_consumer_kill=lambda: None)
    outcome = {"error": None}
except KafkaException as e:
    outcome = {"error": e.args[0].name(), "text": e.args[0].str()}
outcome["elapsed"] = time.monotonic() - started
gc.collect()
outcome.update(python_threads=threading.active_count(), tasks_before=before, tasks_after=tasks())
print(json.dumps(outcome))
"""


@pytest.mark.slow
def test_construction_against_an_unreachable_broker_fails_within_fifteen_seconds_and_leaves_no_thread():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    # Nothing listens on the port once the probe is closed: every connection is refused.
    run = subprocess.run([sys.executable, "-c", UNREACHABLE, f"127.0.0.1:{port}"], capture_output=True,
                         text=True, timeout=60, cwd=TESTS_DIR)
    # The process ended by itself: no thread of the store held it.
    assert run.returncode == 0, run.stderr[-3000:]
    outcome = json.loads(run.stdout.splitlines()[-1])
    assert outcome["error"] in ("_TRANSPORT", "_TIMED_OUT", "_ALL_BROKERS_DOWN"), outcome
    assert outcome["elapsed"] < 15, outcome
    assert outcome["python_threads"] == 1
    # librdkafka's own threads are gone too once the half-built store is released.
    assert outcome["tasks_after"] == outcome["tasks_before"], outcome
