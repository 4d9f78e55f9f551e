"""A store inside a service: process ownership, shutdown that loses nothing silently, status(), logging."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import cluster as kafka_tooling
from quarnel_kafka_kv.quillet import KafkaJsonCompaction
from store_fixtures import wait_until

TESTS_DIR = os.path.dirname(__file__)


def run_script(code, *args, timeout=60, **kwargs):
    # From tests/, so the installed package is imported rather than the source folder.
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                          timeout=timeout, cwd=TESTS_DIR, **kwargs)


# --- owns_process = False ---------------------------------------------------------------------------

def test_a_store_that_does_not_own_its_process_leaves_signals_exit_and_atexit_to_it(kafka_bootstrap, unique_name):
    run = run_script("""
        import atexit, os, signal, sys
        from quarnel_kafka_kv.mervane import KafkaDB

        class Service(KafkaDB):
            owns_process = False

        before = {sig: signal.getsignal(sig) for sig in (signal.SIGTERM, signal.SIGINT)}
        db = Service({"bootstrap.servers": sys.argv[1]}, ["c"], sys.argv[2])
        print("HANDLERS KEPT", all(signal.getsignal(sig) is h for sig, h in before.items()), flush=True)
        atexit.register(lambda: print("ATEXIT", db.status()["state"], flush=True))
        if os.fork() == 0:
            status = db.status()
            print("CHILD", status["consumer_alive"], status["state"], flush=True)
            os._exit(0)
        os.wait()
        # The main code ends here without closing the store.
    """, kafka_bootstrap, unique_name)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert "HANDLERS KEPT True" in lines and "CHILD False stopped" in lines
    # Closed at shutdown, before the atexit handlers, and it says that it stopped.
    assert lines[-3:] == ["Consumer was correctly killed", "KafkaCompaction stopped", "ATEXIT stopped"]


def test_a_spawn_pool_whose_workers_open_stores_joins(kafka_bootstrap, unique_name, tmp_path):
    # Spawned workers import the main module: it must be a file.
    script = tmp_path / "pool.py"
    script.write_text(textwrap.dedent("""
        import multiprocessing, sys
        from quarnel_kafka_kv.mervane import KafkaDB

        class Service(KafkaDB):
            owns_process = False

        def open_store(bootstrap, db_name):
            global db
            db = Service({"bootstrap.servers": bootstrap}, ["c"], db_name)

        def state(_):
            return db.status()["state"]

        if __name__ == "__main__":
            pool = multiprocessing.get_context("spawn").Pool(2, open_store, tuple(sys.argv[1:]))
            print(pool.map(state, range(4)))
            pool.close()
            pool.join()
            print("JOINED")
    """))
    run = subprocess.run([sys.executable, str(script), kafka_bootstrap, unique_name], capture_output=True, text=True,
                         timeout=90, cwd=TESTS_DIR)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == "JOINED" and "['live', 'live', 'live', 'live']" in run.stdout


# --- shutdown ---------------------------------------------------------------------------------------

@pytest.mark.slow
def test_a_signal_with_a_write_pending_while_the_broker_is_away_reports_it_and_exits_1(unique_name):
    with kafka_tooling.KafkaCluster(nodes=1) as node:
        writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import sys
            from quarnel_kafka_kv.quillet import KafkaJsonCompaction
            store = KafkaJsonCompaction({"bootstrap.servers": sys.argv[1]}, ["c"], sys.argv[2])
            store.publish_pause_s = 0
            store.set_collection_value("c", "delivered", 1)
            print("READY", flush=True)
            sys.stdin.readline()
            print("WRITING", flush=True)
            store.set_collection_value("c", "pending", 1)
        """), node.bootstrap, unique_name], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True, cwd=TESTS_DIR)
        try:
            for expected in ("READY\n", "WRITING\n"):
                # After the store's own lines.
                while (line := writer.stdout.readline()) not in (expected, ""):
                    pass
                assert line == expected
                if expected == "READY\n":
                    node.stop_node(0)
                    writer.stdin.write("go\n")
                    writer.stdin.flush()
            time.sleep(0.5)
            writer.send_signal(signal.SIGTERM)
            out, err = writer.communicate(timeout=30)
        finally:
            writer.kill()
    # The client's own lines about the missing broker are left out of a failure's message.
    assert writer.returncode == 1, (writer.returncode, out, [line for line in err.splitlines() if "|FAIL|" not in line])
    assert "KafkaCompaction stopping: 1 written record(s) not delivered to Kafka within 5.0 s" in err


def test_close_reports_the_writes_it_could_not_deliver(make_store, admin_configs, capfd):
    # No topic for a collection the store was not opened with (the test broker creates none): the
    # record stays queued until its message time-out.
    store = make_store(["c"], configs={**admin_configs, "message.timeout.ms": 3000})
    store.close_flush_s = 0.5
    writer = threading.Thread(target=lambda: pytest.raises(Exception, store.set_collection_value, "nowhere", "k", 1))
    writer.start()
    wait_until(lambda: len(store.producer) == 1)
    store.close()
    assert "KafkaCompaction stopping: 1 written record(s) not delivered to Kafka within 0.5 s" in capfd.readouterr().err
    assert store._core.snapshot()["exit_status"] == 1  # what the default stop action would exit with
    writer.join(10)


def test_records_a_batch_hands_over_after_close_are_delivered_or_reported(kafka_bootstrap, unique_name):
    run = run_script("""
        import sys, threading, time
        from quarnel_kafka_kv.quillet import KafkaJsonCompaction
        store = KafkaJsonCompaction({"bootstrap.servers": sys.argv[1], "message.timeout.ms": 60000}, ["c"], sys.argv[2])
        store.publish_pause_s, store.close_flush_s = 0, 0.5
        # A callback holds the consumer thread, so the stop's exit steps wait until the records are handed over.
        entered, closed, handed_over = threading.Event(), threading.Event(), threading.Event()
        store.add_collection_callback("c", lambda: (entered.set(), handed_over.wait(10)))
        store.set_collection_value("c", "k", 1)
        entered.wait(10)

        def pairs():
            closed.wait()
            yield from ((f"k{i}", i) for i in range(300))

        # No topic for a collection the store was not opened with: what is handed over stays queued.
        threading.Thread(target=store.set_collection_values, args=("nowhere", pairs()), daemon=True).start()
        store.close()
        closed.set()
        deadline = time.monotonic() + 3
        while len(store.producer) < 300 and time.monotonic() < deadline:
            time.sleep(0.01)
        print("QUEUED AFTER CLOSE", len(store.producer), flush=True)
        handed_over.set()
        time.sleep(30)
    """, kafka_bootstrap, unique_name)
    queued = int(next(line for line in run.stdout.splitlines() if line.startswith("QUEUED")).split()[-1])
    if queued:
        assert run.returncode == 1, (queued, run.returncode, run.stderr[-2000:])
        assert "not delivered to Kafka within 0.5 s" in run.stderr


# --- status -----------------------------------------------------------------------------------------

def test_status_tells_replaying_live_stopped_and_failed_with_honest_lag(make_store):
    writer = make_store(["a", "b"])
    for i in range(3):
        writer.set_collection_value("a", f"k{i}", i)
    seen = []

    class Watched(KafkaJsonCompaction):
        def start_consumer(self, init_timeout=10.0):
            seen.append(self.status())
            super().start_consumer(init_timeout)

    store = make_store(["a", "b"], cls=Watched)
    assert seen[0]["state"] == "replaying" and seen[0]["consumer_alive"] and seen[0]["replay_seconds"] is None
    status = store.status()
    assert (status["state"], status["consumer_alive"], status["last_error"]) == ("live", True, None)
    assert status["replay_seconds"] > 0
    wait_until(lambda: store.status()["collections"] == {
        "a": {"keys": 3, "partitions": [{"partition": 0, "position": 3, "end": 3, "lag": 0}], "topic_missing": False},
        "b": {"keys": 0, "partitions": [{"partition": 0, "position": 0, "end": 0, "lag": 0}], "topic_missing": False}})

    # A consumer thread held up by its callback shows the records it has not applied yet.
    store.add_collection_callback("b", lambda: time.sleep(0.3))
    for i in range(5):
        writer.set_collection_value("b", f"k{i}", i)
    wait_until(lambda: store.status()["collections"]["b"]["partitions"][0]["lag"] >= 2)
    wait_until(lambda: store.status()["collections"]["b"]["partitions"][0]["lag"] == 0)

    # Stopped: the consumer is closed, status() still answers without it.
    store.close()
    store.cons_thr.join(10)
    status = store.status()
    assert (status["state"], status["consumer_alive"]) == ("stopped", False)
    assert status["collections"]["b"]["keys"] == 5

    failing = make_store(["a"])
    failing.add_collection_callback("a", lambda: {}["boom"])
    writer.set_collection_value("a", "k9", 9)
    failing.cons_thr.join(15)
    status = failing.status()
    assert (status["state"], status["consumer_alive"], status["last_error"]) == ("failed", False, "KeyError: 'boom'")


# --- logging ----------------------------------------------------------------------------------------

def test_a_logger_receives_the_store_s_lines_and_all_three_clients_lines(kafka_bootstrap, unique_name):
    run = run_script("""
        import logging, sys, time
        from quarnel_kafka_kv.mervane import KafkaDB

        class Collect(logging.Handler):
            def emit(self, record):
                self.records.append((record.levelname, record.getMessage()))

        def logger(name):
            log = logging.getLogger(name)
            log.handlers = [Collect()]
            log.handlers[0].records = []
            log.setLevel(logging.DEBUG)
            return log

        class Service(KafkaDB):
            owns_process = False
            logger = logger("store")

        mine = logger("mine")
        configs = {"bootstrap.servers": sys.argv[1], "debug": "metadata,cgrp"}
        stores = [Service(configs, ["c"], sys.argv[2]), Service({**configs, "logger": mine}, ["d"], sys.argv[2])]

        def clients(log):
            return {text.split("[")[1].split("]")[0] for _, text in log.handlers[0].records
                    if text.startswith("METADATA")}

        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and min(len(clients(Service.logger)), len(clients(mine))) < 3:
            time.sleep(0.2)
        for store in stores:
            store.close()
            store.cons_thr.join(10)
        records = Service.logger.handlers[0].records
        print(len(clients(Service.logger)), len(clients(mine)), file=sys.stderr)
        print([r for r in records if not r[1].split(" ")[0].isupper()], file=sys.stderr)
        # Lines about a group coordinator, which cgrp debugging asks for: the store joins no group.
        print(sum("oordinator" in text or text.startswith("CGRP") for _, text in records), file=sys.stderr)
    """, kafka_bootstrap, unique_name)
    assert run.returncode == 0, run.stderr
    assert run.stdout == ""
    clients, store_lines, coordinator_lines = run.stderr.splitlines()[-3:]
    # The caller's own logger won for the second store's clients.
    assert (clients, coordinator_lines) == ("3 3", "0")
    store_lines = eval(store_lines)
    for line in (f"Consumer topic_list: ['{unique_name}.c']", "KafkaCompaction Inited, no msg in topics",
                 "Consumer was correctly killed", "KafkaCompaction stopped"):
        assert ("INFO", line) in store_lines
