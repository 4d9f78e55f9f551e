"""The copy follows its log through what a cluster does to it: a topic re-created, partitions added,
records without a value, a process forked after opening, a start-up that has to wait."""
import itertools
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from confluent_kafka import Producer, TopicPartition
from confluent_kafka.admin import AdminClient, AlterConfigOpType, ConfigEntry, ConfigResource, NewTopic

from quarnel_kafka_kv.dorrow import Admin
from quarnel_kafka_kv.mervane import KafkaDB
from quarnel_kafka_kv.quillet import KafkaCompaction
from store_fixtures import fill_topic, partitions_once_added, produce, wait_until

# Records are deleted through the client, which learnt to from confluent-kafka 2.4 on.
deletes_records = pytest.mark.skipif(not hasattr(AdminClient, "delete_records"),
                                     reason="this confluent-kafka cannot delete records")


def recreate(store, admin_configs, topic):
    admin = AdminClient(admin_configs)
    admin.delete_topics([topic])[topic].result()
    # The broker refuses the new topic while the deletion is still in progress.
    wait_until(lambda: store.create_compacted_topic(topic) or True, timeout=30, interval=0.5, ignore=(Exception,))
    # A producer asking before every metadata answer lists the new topic fails its records.
    partitions_once_added(Admin(admin_configs), topic, 1)


@pytest.mark.parametrize("new_records", [5, 60], ids=["shorter-log", "log-past-the-old-position"])
def test_a_topic_recreated_under_a_running_store_is_rebuilt_not_merged(make_store, admin_configs, unique_name,
                                                                        new_records, capsys):
    store = make_store(["c"], pause=10.0)
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
    # past the old position before the store looked at the topic may be told record by record first, and
    # a log read again before its last record arrived did lack "kept" for a while).
    wait_until(lambda: len(told) >= 40 + new_records)
    assert sorted(key for key, value in told if value is None and key != "kept") == sorted(f"old{i}" for i in range(40))
    assert ("kept", "same") not in told or new_records > 40 or (
        ("kept", None) in told and told.index(("kept", None)) < told.index(("kept", "same")))
    # Writes count as visible only against the new log; the bytes store publishes a value again.
    store.set_collection_value("c", "mine", 7)
    assert store.get_collection_value("c", "mine") == 7
    # A copy that has read the new log record by record but not yet noticed it is new still holds old0, and
    # would rightly skip writing the value it holds: raw writes once it has rebuilt too.
    wait_until(lambda: raw._topics[topic].get(b"mine") == b"7" and b"old0" not in raw._topics[topic])
    raw.set_collection_value("c", b"old0", b"0")
    wait_until(lambda: store.get_collection_value("c", "old0") == 0)
    later = make_store(["c"], cls=KafkaCompaction)
    wait_until(lambda: raw._topics[topic] == later._topics[topic] and len(later._topics[topic]) == len(wanted) + 2)


def test_a_topic_recreated_with_the_clusters_defaults_is_given_the_store_settings_again(
        make_store, admin_configs, unique_name):
    store = make_store(["c"], pause=10.0)
    store.read_your_writes = True
    topic = f"{unique_name}.c"
    store.set_collection_value("c", "old", 1)
    admin = AdminClient(admin_configs)
    admin.delete_topics([topic])[topic].result()
    # The copy is kept, and the status says what it follows is gone.
    wait_until(lambda: store.status()["collections"]["c"]["topic_missing"], timeout=20)
    assert store.get_collection_value("c", "old") == 1 and store.status()["state"] == "live"
    # As a broker that creates a missing topic on demand does: delete retention, the cluster's defaults.
    wait_until(lambda: admin.create_topics([NewTopic(topic, 1, 1)])[topic].result() or True, timeout=30,
               interval=0.5, ignore=(Exception,))
    produce(admin_configs, topic, [(b"new", b"2")])
    wait_until(lambda: store.get_collection_keys("c") == ["new"], timeout=20)

    def policy():
        configs = admin.describe_configs([ConfigResource("topic", topic)])
        return next(iter(configs.values())).result()["cleanup.policy"].value

    wait_until(lambda: policy() == "compact", timeout=20)
    assert not store.status()["collections"]["c"]["topic_missing"]


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


@pytest.mark.slow
def test_with_read_your_writes_a_write_made_while_partitions_are_added_is_readable_once_it_returns(
        make_store, admin_configs, unique_name):
    topic = f"{unique_name}.c"
    # Enough records that the new log's replay outlasts a write's bound.
    fill_topic(admin_configs, topic, 100_000)
    rebuilt = threading.Event()

    class Watched(KafkaDB):
        class logger:
            @staticmethod
            def log(level, text, *args):
                if "rebuilt" in text % args:
                    rebuilt.set()

    store = make_store(["c"], cls=Watched, pause=0.25)
    store.read_your_writes = True
    writes = []  # (seconds, readable at once); None: the write raised

    def write_and_read():
        for i in itertools.count():
            started = time.monotonic()
            try:
                store.set_collection_value("c", "w", i)
                readable = store.get_collection_value("c", "w") == i
            except Exception:  # noqa: BLE001 - a write that cannot be read back may raise
                readable = None
            writes.append((round(time.monotonic() - started, 2), readable))
            if rebuilt.is_set() and len(writes) > 1 and all(seconds < 0.1 for seconds, _ in writes[-2:]):
                return

    writer = threading.Thread(target=write_and_read)
    writer.start()
    time.sleep(0.3)
    Admin(admin_configs).set_topic_partitions(topic, 2)
    writer.join(60)
    unreadable = [seconds for seconds, readable in writes if readable is False]
    assert not writer.is_alive() and rebuilt.is_set()
    assert unreadable == [], (f"{len(unreadable)} of {len(writes)} writes returned unreadable, after {unreadable} s; "
                              f"the slowest took {max(seconds for seconds, _ in writes)} s")


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


FAILING_REBUILD = r"""
import gc, sys, types, weakref
import confluent_kafka

opened, failing = [], []

class Consumer(confluent_kafka.Consumer):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.fails, self.closed = bool(failing), False
        opened.append(weakref.ref(self))

    def list_topics(self, *args, **kwargs):
        if self.fails:
            raise RuntimeError("listing failed")
        return super().list_topics(*args, **kwargs)

    def close(self):
        self.closed = True
        super().close()

# The store takes its client from its own package first.
shim = types.ModuleType("quarnel_kafka_kv.confluent_kafka")
shim.__dict__.update({k: v for k, v in vars(confluent_kafka).items() if not k.startswith("__")}, Consumer=Consumer)
sys.modules[shim.__name__] = shim
from quarnel_kafka_kv.dorrow import Admin
from quarnel_kafka_kv.quillet import KafkaCompaction

store = KafkaCompaction({"bootstrap.servers": sys.argv[1]}, ["c"], sys.argv[2], on_consumer_kill=None)
failing.append(True)
Admin({"bootstrap.servers": sys.argv[1]}).set_topic_partitions(sys.argv[2] + ".c", 2)
store.cons_thr.join(20)
gc.collect()
left_open = [c for c in (ref() for ref in opened) if c is not None and not c.closed and c is not store.consumer]
print("LEFT OPEN", len(left_open))
"""


def test_a_rebuild_that_fails_leaves_no_client_open(kafka_bootstrap, unique_name):
    run = subprocess.run([sys.executable, "-c", FAILING_REBUILD, kafka_bootstrap, unique_name], capture_output=True,
                         text=True, timeout=60, cwd=os.path.dirname(__file__))
    assert run.returncode == 0, run.stderr[-3000:]
    assert "LEFT OPEN 0" in run.stdout.splitlines(), run.stdout[-500:]


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


@pytest.mark.slow
@deletes_records
def test_a_log_truncated_during_the_start_up_replay_is_read_again_from_its_new_start(
        make_store, admin_configs, unique_name):
    topic = f"{unique_name}.c"
    admin = Admin(admin_configs)
    admin.create_topic_with_params(topic, 1, 1)
    partitions_once_added(admin, topic, 1)
    producer = Producer(dict(admin_configs, **{"linger.ms": 50}))
    for i in range(200_000):
        while True:
            try:
                producer.produce(topic, key=b"k%d" % i, value=b"v")
                break
            except BufferError:
                producer.poll(0.01)
    producer.flush()

    # A busy thread slows the replay down, so that records and the error of the truncated
    # position reach the consumer thread in one batch.
    replaying, opened = threading.Event(), []

    def keep_busy():
        while not opened:
            pass

    class Watched(KafkaCompaction):
        class logger:
            @staticmethod
            def log(level, text, *args):
                if "topic_list" in text % args:
                    replaying.set()

    client = AdminClient(admin_configs)
    deletable = ConfigResource("TOPIC", topic, incremental_configs=[
        ConfigEntry("cleanup.policy", "compact,delete", incremental_operation=AlterConfigOpType.SET)])

    def truncate():
        replaying.wait(30)
        time.sleep(0.05)
        [f.result() for f in client.incremental_alter_configs([deletable]).values()]
        [f.result() for f in client.delete_records([TopicPartition(topic, 0, -1)]).values()]

    threading.Thread(target=truncate, daemon=True).start()
    threading.Thread(target=keep_busy, daemon=True).start()
    opener = threading.Thread(target=lambda: opened.append(make_store(["c"], cls=Watched)), daemon=True)
    opener.start()
    opener.join(60)
    assert opened, "the store never finished its start-up"
    store = opened[0]
    assert not store.locks[topic].locked()
    store.set_collection_value("c", b"after", b"1")
    wait_until(lambda: store._topics[topic].get(b"after") == b"1")
    # The copy is the new log's, or the whole old one where the truncation came after the replay: never a mix.
    assert len(store._topics[topic]) in (1, 200_001)


@deletes_records
def test_records_deleted_below_a_running_stores_position_leave_its_copy_too(make_store, admin_configs, unique_name):
    store = make_store(["c"], cls=KafkaCompaction)
    topic = f"{unique_name}.c"
    store.set_collection_values("c", {b"k%d" % i: b"v" for i in range(5)})
    wait_until(lambda: len(store._topics[topic]) == 5)
    client = AdminClient(admin_configs)

    def policy(value):
        change = ConfigResource("TOPIC", topic, incremental_configs=[
            ConfigEntry("cleanup.policy", value, incremental_operation=AlterConfigOpType.SET)])
        [f.result() for f in client.incremental_alter_configs([change]).values()]

    # The broker deletes records only under the delete policy.
    policy("compact,delete")
    [f.result() for f in client.delete_records([TopicPartition(topic, 0, 3)]).values()]
    policy("compact")
    # As a store opened now would have it.
    wait_until(lambda: set(store._topics[topic]) == {b"k3", b"k4"}, timeout=20)
