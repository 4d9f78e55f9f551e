"""The copy follows its log through what a cluster does to it: a topic re-created, partitions added,
records without a value, a process forked after opening, a start-up that has to wait."""
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from confluent_kafka.admin import AdminClient

from quarnel_kafka_kv.dorrow import Admin
from quarnel_kafka_kv.mervane import KafkaDB
from quarnel_kafka_kv.quillet import KafkaCompaction
from store_fixtures import partitions_once_added, produce, wait_until


def recreate(store, admin_configs, topic):
    admin = AdminClient(admin_configs)
    admin.delete_topics([topic])[topic].result()
    # The broker refuses the new topic while the deletion is still in progress.
    wait_until(lambda: store.create_compacted_topic(topic) or True, timeout=30, interval=0.5, ignore=(Exception,))


@pytest.mark.parametrize("new_records", [5, 60], ids=["shorter-log", "log-past-the-old-position"])
def test_a_topic_recreated_under_a_running_store_is_rebuilt_not_merged(make_store, admin_configs, unique_name,
                                                                        new_records, capsys):
    store = make_store(["c"])
    store.read_your_writes = True
    store.publish_pause_s = 5.0
    told = []
    store.add_collection_listener("c", lambda key, value: told.append((key, value)))
    raw = make_store(["c"], cls=KafkaCompaction)
    topic = f"{unique_name}.c"
    for i in range(40):
        store.set_collection_value("c", f"old{i}", i)
    store.set_collection_value("c", "kept", "same")
    wait_until(lambda: raw._topics[topic].get(b"kept") == b'"same"' and len(told) == 41)
    told.clear()

    recreate(store, admin_configs, topic)
    fresh = [(b"new%d" % i, b"%d" % i) for i in range(new_records)] + [(b"kept", b'"same"')]
    produce(admin_configs, topic, fresh)
    wanted = {key.decode() for key, _ in fresh}
    wait_until(lambda: set(store.get_collection_keys("c")) == wanted, timeout=20)
    assert "rebuilt " + topic in capsys.readouterr().err

    # Listeners hear of every key that vanished and every new value, not of what stayed (a log that grew
    # past the old position before the store looked at the topic may be told record by record first).
    wait_until(lambda: len(told) >= 40 + new_records)
    assert sorted(key for key, value in told if value is None) == sorted(f"old{i}" for i in range(40))
    assert ("kept", "same") not in told or new_records > 40
    # Writes count as visible only against the new log; the bytes store publishes a value again.
    store.set_collection_value("c", "mine", 7)
    assert store.get_collection_value("c", "mine") == 7
    wait_until(lambda: raw._topics[topic].get(b"mine") == b"7")
    raw.set_collection_value("c", b"old0", b"0")
    wait_until(lambda: store.get_collection_value("c", "old0") == 0)
    later = make_store(["c"], cls=KafkaCompaction)
    wait_until(lambda: raw._topics[topic] == later._topics[topic] and len(later._topics[topic]) == len(wanted) + 2)


def test_keys_moved_to_added_partitions_end_with_their_latest_record_in_every_store(
        make_store, admin_configs, unique_name):
    running = make_store(["c"], cls=KafkaCompaction)
    topic = f"{unique_name}.c"
    produce(admin_configs, topic, [(b"newer-in-p0", b"old"), (b"gone", b"v")], timestamp=1000, partition=0)
    admin = Admin(admin_configs)
    admin.set_topic_partitions(topic, 2)
    partitions_once_added(admin, topic, 2)
    # The partitioner may send a key's next record to another partition; replays read partition 0 first.
    produce(admin_configs, topic, [(b"newer-in-p1", b"old")], timestamp=1000, partition=0)
    produce(admin_configs, topic, [(b"newer-in-p1", b"new"), (b"newer-in-p0", b"stale"), (b"gone", b"v2")],
            timestamp=2000, partition=1)
    produce(admin_configs, topic, [(b"newer-in-p0", b"new"), (b"gone", b"")], timestamp=3000, partition=0)
    wanted = {b"newer-in-p0": b"new", b"newer-in-p1": b"new"}
    wait_until(lambda: running._topics[topic] == wanted, timeout=20)
    assert make_store(["c"], cls=KafkaCompaction)._topics[topic] == wanted


def test_records_without_a_value_read_as_missing_data_in_the_json_layers(make_store, admin_configs, unique_name):
    db = make_store(["c"], cls=KafkaDB)
    produce(admin_configs, f"{unique_name}.c", [(b"tombstone", b"1"), (b"tombstone", None), (b"kept", b"2")])
    wait_until(lambda: db["c"]["kept"] == 2)
    assert db.get_collection_value("c", "tombstone") is None
    assert db.get_collection_keys("c") == ["kept"]
    assert "tombstone" not in db["c"] and len(db["c"]) == 1 and dict(db["c"].items()) == {"kept": 2}


FORKED = r"""
import multiprocessing, os, signal, sys, time
from quarnel_kafka_kv.mervane import KafkaDB

db = KafkaDB({"bootstrap.servers": sys.argv[1]}, ["c"], sys.argv[2])
db.read_your_writes = True
db["c"]["a"] = 1
pid = os.fork()
if pid == 0:
    for use in (lambda: db["c"].__setitem__("b", 2), lambda: db["c"]["a"], lambda: list(db["c"])):
        try:
            use()
            os._exit(3)
        except RuntimeError as e:
            assert "opened before the process forked" in str(e)
    db.close()
    os._exit(0 if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL else 4)
assert os.waitpid(pid, 0)[1] == 0
db["c"]["b"] = 2
assert db["c"]["b"] == 2 and db["c"]["a"] == 1
pid = os.fork()
if pid == 0:
    time.sleep(60)
    os._exit(5)
time.sleep(0.2)
os.kill(pid, signal.SIGTERM)
assert os.WTERMSIG(os.waitpid(pid, 0)[1]) == signal.SIGTERM
forked = multiprocessing.get_context("fork")
with forked.Pool(2) as pool:
    assert pool.map(abs, [-1, -2]) == [1, 2]
pool = forked.Pool(2)
pool.map(abs, [1])
pool.terminate()
pool.join()
print("FORKS DONE", flush=True)
db.close()
"""


def test_a_store_used_after_a_fork_raises_and_leaves_the_child_and_the_parent_alone(kafka_bootstrap, unique_name):
    run = subprocess.run([sys.executable, "-c", FORKED, kafka_bootstrap, unique_name], capture_output=True,
                         text=True, timeout=90, cwd=os.path.dirname(__file__))
    assert run.returncode == 0, run.stderr[-3000:]
    assert "FORKS DONE" in run.stdout


@pytest.mark.slow
def test_a_start_up_that_waits_says_what_it_waits_for(admin_configs, unique_name, capfd):
    class Uncreated(KafkaCompaction):
        def create_compacted_topic(self, topic):
            pass  # the topic never exists

    stores = []
    started = threading.Thread(
        target=lambda: stores.append(Uncreated(admin_configs, ["c"], unique_name, on_consumer_kill=None)))
    started.start()
    try:
        time.sleep(11)
        err = capfd.readouterr().err
    finally:
        Admin(admin_configs).create_topic_with_params(f"{unique_name}.c", 1, 1)
        started.join(30)
    assert f"KafkaCompaction is still replaying, waiting for {unique_name}.c: the cluster does not list it" in err
    assert stores and stores[0]._inited
    stores[0].close()
    stores[0].cons_thr.join(10)
