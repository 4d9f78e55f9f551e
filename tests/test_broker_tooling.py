"""The brokers the rest of the suite runs on: they must behave like the Kafka the store expects."""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from confluent_kafka import Consumer, KafkaError, KafkaException, Producer, TopicPartition
from confluent_kafka.admin import AdminClient, ConfigResource, ConfigSource, NewTopic

import cluster as kafka_tooling

CLUSTER_PY = Path(kafka_tooling.__file__).resolve()
QUIET = {"log_level": 0}


def create_topic(admin: AdminClient, name: str, replication: int = 1, **config: str) -> None:
    futures = admin.create_topics([NewTopic(name, 1, replication, config=config)], operation_timeout=30)
    futures[name].result(30)


def produce(conf: dict, topic: str, records: list[tuple[bytes, bytes | None]], **extra) -> None:
    errors = []
    p = Producer({**conf, **QUIET, "acks": "all", "linger.ms": 0, **extra})
    for key, value in records:
        p.produce(topic, value, key, on_delivery=lambda err, _msg: err and errors.append(err))
    assert p.flush(60) == 0, "messages still queued after 60s"
    assert not errors, errors


def read_all(conf: dict, topic: str, group: str | None = None, timeout: float = 30) -> list[tuple[bytes, bytes]]:
    """Every record from the start up to the end offset observed when called; commits them if group is given."""
    c = Consumer({**conf, **QUIET, "group.id": group or f"{topic}-reader", "auto.offset.reset": "earliest",
                  "enable.auto.commit": False, "enable.partition.eof": True})
    try:
        _low, high = c.get_watermark_offsets(TopicPartition(topic, 0), timeout=10)
        c.assign([TopicPartition(topic, 0, 0)])
        out, deadline = [], time.monotonic() + timeout
        while high and time.monotonic() < deadline:
            m = c.poll(0.5)
            if m is None:
                continue
            if m.error():
                if m.error().code() == KafkaError._PARTITION_EOF:
                    break
                raise KafkaException(m.error())
            out.append((m.key(), m.value()))
            if m.offset() + 1 >= high:
                break
        if group:
            c.commit(offsets=[TopicPartition(topic, 0, len(out))], asynchronous=False)
            [committed] = c.committed([TopicPartition(topic, 0)], timeout=10)
            assert committed.offset == len(out)
        return out
    finally:
        c.close()


def wait_for(predicate, timeout: float, what: str):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            pytest.fail(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.25)


# --- single node -----------------------------------------------------------------------------------------


class TestSingleNode:
    def test_topic_roundtrip_and_group_commit(self, admin_configs, unique_name):
        # Group commits need __consumer_offsets, which a one-node broker can only create with RF 1.
        admin = AdminClient({**admin_configs, **QUIET})
        create_topic(admin, unique_name, **{"cleanup.policy": "compact"})
        records = [(f"k{i}".encode(), f"v{i}".encode()) for i in range(20)]
        produce(admin_configs, unique_name, records)

        group = f"{unique_name}-g"
        c = Consumer({**admin_configs, **QUIET, "group.id": group, "auto.offset.reset": "earliest",
                      "enable.auto.commit": False})
        try:
            c.subscribe([unique_name])
            got = []
            deadline = time.monotonic() + 30
            while len(got) < len(records) and time.monotonic() < deadline:
                m = c.poll(0.5)
                if m is not None and not m.error():
                    got.append((m.key(), m.value()))
            assert got == records
            c.commit(asynchronous=False)
            [tp] = c.committed([TopicPartition(unique_name, 0)], timeout=10)
            assert tp.offset == len(records)
        finally:
            c.close()

    def test_missing_topic_is_not_auto_created(self, admin_configs, unique_name):
        admin = AdminClient({**admin_configs, **QUIET})
        p = Producer({**admin_configs, **QUIET, "message.timeout.ms": 3000})
        errors = []
        p.produce(unique_name, b"v", on_delivery=lambda err, _m: errors.append(err))
        p.flush(10)
        assert errors and errors[0] is not None
        assert unique_name not in admin.list_topics(timeout=10).topics

    @pytest.mark.slow
    def test_compaction_happens_within_seconds(self, admin_configs, unique_name):
        # The store's tests rely on seeing the cleaner at work; a default broker would wait 15 s between runs
        # and only clean topics at 50 % dirty.
        admin = AdminClient({**admin_configs, **QUIET})
        create_topic(admin, unique_name, **{"cleanup.policy": "compact", "segment.ms": "100",
                                            "min.cleanable.dirty.ratio": "0.01"})
        produce(admin_configs, unique_name, [(b"k", f"v{i}".encode()) for i in range(50)])
        time.sleep(0.3)
        # Appending after segment.ms rolls the segment, so the 50 overwrites become cleanable.
        produce(admin_configs, unique_name, [(b"other", b"x")])

        def compacted():
            time.sleep(0.5)
            produce(admin_configs, unique_name, [(b"other", b"x")])
            recs = read_all(admin_configs, unique_name)
            return recs if len([r for r in recs if r[0] == b"k"]) == 1 else None

        recs = wait_for(compacted, 12, "the log cleaner to compact the topic")
        assert [v for k, v in recs if k == b"k"] == [b"v49"]


@pytest.mark.slow
def test_kafka_defaults_broker_keeps_every_group_and_cleaner_default():
    # The bench measures start-up on this broker as a stand-in for an untuned cluster; one leftover test
    # override (a zero rebalance delay, a small dedupe buffer) would make that measurement flatter than life.
    with kafka_tooling.KafkaCluster(nodes=1, kafka_defaults=True) as c:
        admin = AdminClient({"bootstrap.servers": c.bootstrap, **QUIET})
        broker = ConfigResource(ConfigResource.Type.BROKER, "1")
        configs = admin.describe_configs([broker])[broker].result(30)
    tuned = {k: e.value for k, e in configs.items()
             if k.startswith(("group.", "log.cleaner.")) and e.source != ConfigSource.DEFAULT_CONFIG.value}
    assert tuned == {}
    assert configs["group.initial.rebalance.delay.ms"].value == "3000"


# --- three nodes -----------------------------------------------------------------------------------------


@pytest.mark.cluster3
@pytest.mark.slow
class TestThreeNodes:
    def test_three_brokers_registered(self, kafka_cluster3):
        admin = AdminClient({"bootstrap.servers": kafka_cluster3.bootstrap, **QUIET})
        assert sorted(admin.list_topics(timeout=10).brokers) == [1, 2, 3]

    def test_killed_node_restarts_with_its_data(self, kafka_cluster3, unique_name):
        conf = {"bootstrap.servers": kafka_cluster3.bootstrap}
        admin = AdminClient({**conf, **QUIET})
        create_topic(admin, unique_name, replication=3, **{"min.insync.replicas": "2"})
        produce(conf, unique_name, [(b"a", b"1")])
        if getattr(kafka_cluster3, "external", False):
            pytest.skip("cannot kill nodes of an external cluster")

        victim = 0
        pid = kafka_cluster3.nodes[victim].pid
        kafka_cluster3.kill_node(victim)
        try:
            assert kafka_cluster3.alive_nodes() == [1, 2]
            with pytest.raises(ProcessLookupError):
                os.kill(pid, 0)
            # Two replicas are still min.insync, so acks=all writes and group commits keep working.
            produce(conf, unique_name, [(b"b", b"2")], **{"message.timeout.ms": 30000})
            assert [k for k, _ in read_all(conf, unique_name, group=f"{unique_name}-g")] == [b"a", b"b"]
        finally:
            kafka_cluster3.start_node(victim)

        assert kafka_cluster3.alive_nodes() == [0, 1, 2]
        assert kafka_cluster3.nodes[victim].pid != pid
        port = kafka_cluster3.nodes[victim].broker_port
        assert kafka_tooling.broker_ids(port) == {1, 2, 3}

        def back_in_isr():
            md = admin.list_topics(unique_name, timeout=10).topics[unique_name].partitions[0]
            return sorted(md.isrs) == [1, 2, 3]

        wait_for(back_in_isr, 60, "the restarted node to rejoin the ISR")
        # A client that knows only the restarted node can bootstrap from it again.
        only_victim = {"bootstrap.servers": kafka_cluster3.node_bootstrap(victim)}
        assert [k for k, _ in read_all(only_victim, unique_name)] == [b"a", b"b"]


# --- SASL ------------------------------------------------------------------------------------------------


class TestSasl:
    @staticmethod
    def sasl_conf(cluster, user: str, password: str) -> dict:
        return {"bootstrap.servers": cluster.sasl_bootstrap, "security.protocol": "SASL_PLAINTEXT",
                "sasl.mechanisms": "PLAIN", "sasl.username": user, "sasl.password": password}

    def test_right_credentials_work(self, kafka_sasl, unique_name):
        conf = self.sasl_conf(kafka_sasl, *kafka_sasl.sasl_credentials)
        create_topic(AdminClient({**conf, **QUIET}), unique_name)
        produce(conf, unique_name, [(b"k", b"v")])
        assert read_all(conf, unique_name) == [(b"k", b"v")]

    @pytest.mark.parametrize("wrong", ["password", "user"])
    def test_wrong_credentials_fail_authentication(self, kafka_sasl, wrong):
        user, password = kafka_sasl.sasl_credentials
        if wrong == "password":
            password += "x"
        else:
            user = "nobody"
        errors = []
        admin = AdminClient({**self.sasl_conf(kafka_sasl, user, password), **QUIET,
                             "error_cb": lambda e: errors.append(e.code())})
        with pytest.raises(KafkaException):
            admin.list_topics(timeout=5)
        wait_for(lambda: admin.poll(0.2) is not None and KafkaError._AUTHENTICATION in errors, 10,
                 "an authentication error")

    def test_sasl_listener_rejects_plaintext_clients(self, kafka_sasl):
        admin = AdminClient({"bootstrap.servers": kafka_sasl.sasl_bootstrap, **QUIET})
        with pytest.raises(KafkaException):
            admin.list_topics(timeout=3)


# --- process hygiene -------------------------------------------------------------------------------------


def _gone(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


@pytest.mark.slow
class TestProcessHygiene:
    def test_cli_start_prints_only_bootstrap_and_stop_cleans_up(self, tmp_path):
        state = tmp_path / "state.json"
        out = subprocess.run([sys.executable, str(CLUSTER_PY), "start", "--nodes", "1", "--state", str(state)],
                             capture_output=True, text=True, timeout=300)
        assert out.returncode == 0, out.stderr
        s = json.loads(state.read_text())
        try:
            assert re.fullmatch(r"127\.0\.0\.1:\d+\n", out.stdout)
            assert out.stdout.strip() == s["bootstrap"]
            port = int(out.stdout.strip().rsplit(":", 1)[1])
            assert kafka_tooling.broker_ids(port) == {1}
        finally:
            stop = subprocess.run([sys.executable, str(CLUSTER_PY), "stop", "--state", str(state)],
                                  capture_output=True, text=True, timeout=120)
        assert stop.returncode == 0, stop.stderr
        assert stop.stdout == ""
        assert not state.exists()
        assert not Path(s["workdir"]).exists()
        wait_for(lambda: all(_gone(n["pid"]) for n in s["nodes"]), 10, "broker processes to go")

    def test_brokers_die_with_a_crashed_owner(self):
        # A test run killed with SIGKILL never runs atexit; its brokers must not outlive it.
        script = (f"import sys; sys.path.insert(0, {str(CLUSTER_PY.parent)!r}); import cluster, time\n"
                  "c = cluster.KafkaCluster(1).start()\n"
                  "print(c.nodes[0].pid, c.workdir, flush=True)\n"
                  "time.sleep(300)\n")
        pid = workdir = None
        with subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True) as owner:
            try:
                pid_text, workdir = owner.stdout.readline().split()
                pid = int(pid_text)
                assert not _gone(pid)
                owner.send_signal(signal.SIGKILL)
                owner.wait(10)
                wait_for(lambda: _gone(pid), 10, "the orphaned broker to die")
            finally:
                owner.kill()
                if pid and not _gone(pid):
                    os.kill(pid, signal.SIGKILL)
                if workdir:
                    shutil.rmtree(workdir, ignore_errors=True)
