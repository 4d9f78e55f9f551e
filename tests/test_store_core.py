"""The raw store: replay at construction, publishing, and how the process ends."""
import asyncio
import inspect
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest
from confluent_kafka import KafkaException, Producer

from quarnel_kafka_kv.dorrow import Admin
from quarnel_kafka_kv.quillet import KafkaCompaction
from store_fixtures import fill_topic, partitions_once_added, produce, topic_records, wait_until


def test_construction_returns_with_every_stored_record_applied(make_store, admin_configs, unique_name, capsys):
    fill_topic(admin_configs, f"{unique_name}.c", 20000)
    store = make_store(["c"], cls=KafkaCompaction)
    collection = store._topics[f"{unique_name}.c"]
    assert len(collection) == 20000
    assert collection[b"k19999"] == b"v19999"
    assert "KafkaCompaction Inited, already has some messages" in capsys.readouterr().out.splitlines()


def test_every_partition_of_every_collection_is_replayed_and_added_ones_are_followed(
        make_store, admin_configs, unique_name):
    admin = Admin(admin_configs)
    admin.create_topic_with_params(f"{unique_name}.a", 3, 1)
    producer = Producer(admin_configs)
    for partition in range(3):
        for i in range(200):
            producer.produce(f"{unique_name}.a", key=b"%d-%d" % (partition, i), value=b"v", partition=partition)
    producer.flush()
    fill_topic(admin_configs, f"{unique_name}.b", 300)
    groups_before = {g.group_id for g in admin.list_consumer_groups().result().valid}

    store = make_store(["a", "b", "empty"], cls=KafkaCompaction)
    assert [len(store._topics[f"{unique_name}.{name}"]) for name in "ab"] == [600, 300]
    # Read by assignment: no group was joined, so the broker knows no member of the store's group.
    new_groups = [g.group_id for g in admin.list_consumer_groups().result().valid if g.group_id not in groups_before]
    if new_groups:
        assert all(not d.members for d in (f.result() for f in admin.describe_consumer_groups(new_groups).values()))

    admin.set_topic_partitions(f"{unique_name}.b", 2)
    partitions_once_added(admin, f"{unique_name}.b", 2)
    produce(admin_configs, f"{unique_name}.b", [(b"late", b"1")], partition=1)
    wait_until(lambda: store._topics[f"{unique_name}.b"].get(b"late") == b"1", timeout=30)


def test_empty_topics_start_well_before_the_ten_second_grace(make_store, capsys):
    started = time.monotonic()
    make_store(["a", "b"], cls=KafkaCompaction)
    assert time.monotonic() - started < 8
    assert "KafkaCompaction Inited, no msg in topics" in capsys.readouterr().out.splitlines()


def test_a_write_becomes_visible_and_empty_bytes_delete(make_store, unique_name):
    store = make_store(["c"], cls=KafkaCompaction)
    store.set_collection_value("c", b"k", b"v")
    topic = f"{unique_name}.c"
    wait_until(lambda: store._topics[topic].get(b"k") == b"v")
    store.set_collection_value("c", b"k", b"")
    wait_until(lambda: b"k" not in store._topics[topic])


def test_an_undelivered_write_raises_and_releases_the_lock(make_store, admin_configs, unique_name):
    # The client accepts 2 MB, the topic does not: only the delivery report can tell.
    store = make_store(["c"], cls=KafkaCompaction, configs=dict(admin_configs, **{"message.max.bytes": 4_000_000}))
    with pytest.raises(KafkaException):
        store.set_collection_value("c", b"big", b"x" * 2_000_000)
    store.set_collection_value("c", b"small", b"1")
    wait_until(lambda: store._topics[f"{unique_name}.c"].get(b"small") == b"1")


class StalledProducer:
    """Holds every record until released: a delivery that takes its time."""

    def __init__(self, producer):
        self.producer, self.held, self.lock = producer, [], threading.Lock()
        self.release = threading.Event()

    def produce(self, *args, **kwargs):
        with self.lock:
            self.held.append((args, kwargs))

    def poll(self, timeout=-1):
        if not self.release.wait(min(timeout, 0.05)):
            return 0
        with self.lock:
            while self.held:
                args, kwargs = self.held.pop(0)
                self.producer.produce(*args, **kwargs)
        return self.producer.poll(timeout)

    flush = poll


class EncodedAs:
    """A value the JSON encoder turns into `text`, telling when it does."""

    def __init__(self, text):
        self.text, self.encoded = text, threading.Event()

    def __str__(self):
        self.encoded.set()
        return self.text


def test_a_slow_delivery_holds_up_no_reader_consumer_or_other_writer(make_store, unique_name):
    store = make_store(["c"])
    other = make_store(["c"])
    store.set_collection_value("c", "old", 1)
    wait_until(lambda: store.get_collection_value("c", "old") == 1)
    store.producer = stalled = StalledProducer(store.producer)
    done = []
    writers = [threading.Thread(target=lambda v=v: (store.set_collection_value("c", "k", v), done.append(v)))
               for v in ("first", "second")]
    try:
        for count, writer in enumerate(writers, 1):
            writer.start()
            # Each hands its record over while the one before it still waits for its delivery.
            wait_until(lambda: len(stalled.held) == count)
        # Meanwhile reads answer and the consumer thread applies other processes' records.
        assert store.get_collection_value("c", "old") == 1
        assert store.get_collection_keys("c") == ["old"]
        other.set_collection_value("c", "from other", 2)
        wait_until(lambda: store.get_collection_value("c", "from other") == 2)
        assert done == []
    finally:
        stalled.release.set()
        for writer in writers:
            writer.join(30)
    assert sorted(done) == ["first", "second"]
    # Handed over in turn, kept in turn.
    wait_until(lambda: other.get_collection_value("c", "k") == "second")


class PollFails:
    """Sends the record but fails serving its report, as a caller's raising error_cb would."""

    def __init__(self, producer):
        self.producer = producer

    def produce(self, *args, **kwargs):
        self.producer.produce(*args, **kwargs)

    def poll(self, *timeout):
        raise RuntimeError("poll failed")

    flush = poll


@pytest.mark.parametrize("new_write", ["delivered", "poll failed"])
def test_writing_back_an_older_value_before_the_consumer_caught_up_is_published(make_store, unique_name,
                                                                                 new_write):
    store = make_store(["c"], cls=KafkaCompaction)
    topic = f"{unique_name}.c"
    collection = store._topics[topic]
    store.set_collection_value("c", b"k", b"old")
    wait_until(lambda: collection.get(b"k") == b"old")
    # A callback that waits holds the consumer thread, so the local copy stays behind.
    entered, release = threading.Event(), threading.Event()
    store.add_collection_callback("c", lambda: (entered.set(), release.wait(30)))
    try:
        # The consumer thread has read back every confirmed write when it stops here.
        store.set_collection_value("c", b"other", b"1")
        assert entered.wait(10)
        if new_write == "delivered":
            store.set_collection_value("c", b"k", b"new")
        else:
            # The record still reaches the topic; only its confirmation is missing.
            producer, store.producer = store.producer, PollFails(store.producer)
            with pytest.raises(RuntimeError):
                store.set_collection_value("c", b"k", b"new")
            store.producer = producer
        # The local copy still shows b"old", yet b"new" replaced it in the topic.
        assert collection[b"k"] == b"old"
        store.set_collection_value("c", b"k", b"old")
    finally:
        release.set()
    reader = make_store(["c"], cls=KafkaCompaction)
    assert reader._topics[topic][b"k"] == b"old"

    # Once caught up with its own writes, the store publishes no unchanged value.
    written = store._core.snapshot()["written"][topic]
    wait_until(lambda: store._core.snapshot()["read"].get(topic) == written)
    store.set_collection_value("c", b"k", b"old")
    assert store._core.snapshot()["written"][topic] == written


# --- batches and overlapping writers ---------------------------------------------------------------


def test_a_batch_keeps_order_skips_unchanged_keys_and_reports_the_records_that_failed(
        make_store, admin_configs, unique_name):
    # The client accepts 2 MB, the topic does not: only the delivery report can tell.
    store = make_store(["c"], cls=KafkaCompaction, configs=dict(admin_configs, **{"message.max.bytes": 4_000_000}),
                       pause=30.0)
    store.read_your_writes = True
    topic = f"{unique_name}.c"
    store.set_collection_values("c", [(b"same", b"1"), (b"gone", b"x"), (b"twice", b"1"), (b"twice", b"2")])
    assert store._topics[topic] == {b"same": b"1", b"gone": b"x", b"twice": b"2"}
    written = store._core.snapshot()["written"][topic]
    store.set_collection_values("c", {b"same": b"1", b"twice": b"2"})
    assert store._core.snapshot()["written"][topic] == written

    batch = {b"a": b"1", b"gone": b"", b"big": b"x" * 2_000_000, b"same": b"1", b"b": b"2"}
    with pytest.raises(KafkaException) as raised:
        store.set_collection_values("c", batch)
    not_written = raised.value.not_written
    assert b"big" in not_written and raised.value.args[0].str().startswith(f"{len(not_written)} of 5 records")
    # Every record reported as written is in the topic, and is visible here already.
    expected = {b"same": b"1", b"gone": b"x", b"twice": b"2"}
    for key, value in batch.items():
        if key not in not_written:
            expected[key] = value
    expected = {key: value for key, value in expected.items() if value}
    assert store._topics[topic] == expected
    assert make_store(["c"], cls=KafkaCompaction)._topics[topic] == expected
    store.set_collection_value("c", b"after", b"1")


def test_overlapping_writers_read_their_writes_and_every_store_ends_with_the_last(make_store, unique_name):
    store = make_store(["c"], pause=30.0)
    store.read_your_writes = True
    other = make_store(["c"])
    failures = []

    def writer(n):
        try:
            for i in range(30):
                key = f"w{n}-{i % 3}"
                store.set_collection_value("c", key, i)
                if store.get_collection_value("c", key) != i:
                    failures.append((key, i))
        except Exception as e:  # noqa: BLE001 - reported below
            failures.append(e)

    threads = [threading.Thread(target=writer, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert failures == []
    final = {f"w{n}-{j}": 27 + j for n in range(8) for j in range(3)}
    wait_until(lambda: {k: other.get_collection_value("c", k) for k in final} == final)
    fresh = make_store(["c"])
    assert {k: fresh.get_collection_value("c", k) for k in final} == final


def test_a_write_does_not_wait_for_a_linger_the_caller_set(make_store, admin_configs):
    store = make_store(["c"], configs=dict(admin_configs, **{"linger.ms": 10_000}), pause=30.0)
    store.read_your_writes = True
    started = time.monotonic()
    store.set_collection_value("c", "k", 1)
    assert time.monotonic() - started < 5 and store.get_collection_value("c", "k") == 1


FIRST_WRITES_AT_ONCE = """
import sys, threading
from quarnel_kafka_kv.quillet import KafkaJsonCompaction
store = KafkaJsonCompaction({"bootstrap.servers": sys.argv[1]}, ["c"], sys.argv[2], on_consumer_kill=lambda: None)
start = threading.Barrier(8)
writers = [threading.Thread(target=lambda n=n: (start.wait(), store.set_collection_value("c", str(n), n)))
           for n in range(8)]
for writer in writers:
    writer.start()
for writer in writers:
    writer.join()
store.close()
"""


def test_the_first_writes_of_a_process_made_at_once_do_not_deadlock(kafka_bootstrap, unique_name):
    # What a first write sets up once must be ready before a second writer can wait for it holding the GIL.
    runs = [subprocess.Popen([sys.executable, "-c", FIRST_WRITES_AT_ONCE, kafka_bootstrap, f"{unique_name}{n}"],
                             cwd=os.path.dirname(__file__), stdout=subprocess.DEVNULL) for n in range(3)]
    try:
        assert [run.wait(60) for run in runs] == [0, 0, 0]
    finally:
        for run in runs:
            run.kill()


ABANDONED_BY_ITS_LOOP = """
import asyncio, contextlib, gc, sys, threading, weakref
from quarnel_kafka_kv.quillet import KafkaJsonCompaction
store = KafkaJsonCompaction({"bootstrap.servers": sys.argv[1]}, ["c"], sys.argv[2], on_consumer_kill=lambda: None)
store.read_your_writes = True
futures = []
async def abandoned(seconds):
    futures.append(weakref.ref(store.aset_collection_value("c", "late", 1)))
    with contextlib.suppress(asyncio.TimeoutError):
        await asyncio.wait_for(futures[0](), seconds)
"""

LOOP_CLOSED = {
    "before-its-report": """
asyncio.run(abandoned(0.0001))
store.set_collection_value("c", "after", 2)
print(store.get_collection_value("c", "late"), store.get_collection_value("c", "after"))
""",
    # Delivered, but a callback holds the consumer thread until the loop is gone.
    "before-it-was-visible": """
store.publish_pause_s = 30
entered, release = threading.Event(), threading.Event()
store.add_collection_callback("c", lambda: (entered.set(), release.wait(30)))
store.set_collection_value("c", "hold", 1)
entered.wait(10)
asyncio.run(abandoned(1.0))
release.set()
store.add_collection_callback("c", lambda: None)
store.set_collection_value("c", "after", 2)
print(store.get_collection_value("c", "late"), store.get_collection_value("c", "after"))
""",
}


@pytest.mark.parametrize("closed", list(LOOP_CLOSED))
def test_an_awaitable_write_whose_loop_closed_leaves_nothing_to_complain_of(kafka_bootstrap, unique_name, closed):
    # Then nothing may keep the write's future, nor wait for its records.
    code = ABANDONED_BY_ITS_LOOP + LOOP_CLOSED[closed] + textwrap.dedent("""
        gc.collect()
        print("left behind:", futures[0]() is not None, store._core.snapshot()["waiting"])
        store.close()
    """)
    run = subprocess.run([sys.executable, "-c", code, kafka_bootstrap, unique_name], capture_output=True, text=True,
                         timeout=60, cwd=os.path.dirname(__file__))
    assert run.returncode == 0 and "1 2" in run.stdout.splitlines(), run.stderr[-3000:]
    assert "left behind: False 0" in run.stdout.splitlines(), run.stdout[-3000:]
    assert "Exception ignored" not in run.stderr and "Event loop is closed" not in run.stderr, run.stderr[-3000:]


def test_no_code_of_a_value_runs_while_its_collection_waits_for_it(make_store, unique_name):
    store = make_store(["c"], cls=KafkaCompaction, pause=5.0)
    store.read_your_writes = True
    store.set_collection_value("c", b"k", b"v1")

    class WritesWhenCompared(bytes):
        def __eq__(self, other):
            store.set_collection_value("c", b"other", b"x")
            return False

        __hash__ = bytes.__hash__

    writer = threading.Thread(target=store.set_collection_value, args=("c", b"k", WritesWhenCompared(b"v2")))
    writer.start()
    writer.join(10)
    assert not writer.is_alive()
    wait_until(lambda: store._topics[f"{unique_name}.c"][b"k"] == b"v2")


def test_no_code_of_a_key_runs_while_a_read_holds_its_collection(make_store, unique_name):
    store = make_store(["c"])
    store.set_collection_value("c", "k", 1)
    wait_until(lambda: store.get_collection_value("c", "k") == 1)
    lock, held = store.locks[f"{unique_name}.c"], []

    class RecordKey:
        # Hashes and compares as the stored b"k" does, and tells whether the collection was held meanwhile.
        def __hash__(self):
            held.append(lock.locked())
            return hash(b"k")

        def __eq__(self, other):
            held.append(lock.locked())
            return other == b"k"

    class Key(str):
        def encode(self, *args):
            return RecordKey()

    try:
        store.get_collection_value("c", Key("k"))
    except TypeError:
        pass  # refusing a key whose encoding is not bytes runs none of its code either
    assert True not in held, held


def test_waiters_that_give_up_while_others_are_woken_leave_the_consumer_thread_running(make_store):
    # Writers of two collections, some of which give up at once, as the consumer thread wakes others.
    store = make_store(["a", "b"], cls=KafkaCompaction)
    store.read_your_writes = True

    def write(name, i):
        for j in range(20):
            try:
                store.set_collection_value(name, b"%d-%d" % (i, j), b"v")
            except TimeoutError:
                pass

    writers = [threading.Thread(target=write, args=(name, i)) for i, name in enumerate("abab")]
    store.publish_pause_s = 0.0005
    for writer in writers:
        writer.start()
    for writer in writers:
        writer.join(30)
    assert store.status()["state"] == "live" and store._core.snapshot()["waiting"] == 0


def test_with_read_your_writes_a_write_the_consumer_cannot_read_back_raises(make_store):
    store = make_store(["c"], pause=30.0)
    store.read_your_writes = True
    store.close()
    store.cons_thr.join(10)

    async def awaited():
        await store.aset_collection_values("c", {"k": 2})

    for write in (lambda: store.set_collection_value("c", "k", 1), lambda: asyncio.run(awaited())):
        with pytest.raises(RuntimeError, match="may still have been delivered"):
            write()


def test_awaited_writes_leave_the_event_loop_free(make_store):
    store = make_store(["c"], pause=0.3)

    async def main():
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.005)

        task = asyncio.create_task(ticker())
        started = time.monotonic()
        await asyncio.gather(store.aset_collection_value("c", "a", 1), store.aset_collection_values("c", {"b": 2}))
        paused = ticks
        assert time.monotonic() - started >= 0.3  # the pause, taken on the loop's timer
        store.read_your_writes = True
        store.publish_pause_s = 30.0
        for i in range(20):
            await store.aset_collection_value("c", "a", i)
            assert store.get_collection_value("c", "a") == i
        await store.aset_collection_values("c", [("b", None), ("c", [3])])
        assert (store.get_collection_value("c", "b"), store.get_collection_value("c", "c")) == (None, [3])
        await store.adelete_collection_value("c", "c")
        assert store.get_collection_keys("c") == ["a"]
        task.cancel()
        return paused

    # Without read_your_writes each write pauses: the ticker ran meanwhile.
    assert asyncio.run(main()) >= 20


def test_the_callers_configuration_is_left_as_given(make_store, admin_configs, unique_name, capfd):
    # Properties of one kind of client, which the other kind would say it ignores.
    configs = dict(admin_configs, **{"group.id": "callers-group", "enable.auto.commit": True,
                                     "message.timeout.ms": 60000, "fetch.wait.max.ms": 100})
    given = dict(configs)
    first = make_store(["c"], cls=KafkaCompaction, configs=configs)
    first.set_collection_value("c", b"k", b"v")
    assert configs == given
    assert "CONFWARN" not in capfd.readouterr().err
    # The consumer still gets its own group and reads from the start each time.
    second = make_store(["c"], cls=KafkaCompaction, configs=configs)
    assert second._topics[f"{unique_name}.c"] == {b"k": b"v"}


def test_a_name_given_twice_is_one_collection(make_store):
    store = make_store(["c", "c", "d"])
    assert store.get_collections() == ["c", "d"]
    store.set_collection_value("c", "k", 1)
    wait_until(lambda: store.get_collection_value("c", "k") == 1)


def test_callbacks_fire_per_new_record_and_a_new_one_replaces_the_old(make_store):
    store = make_store(["c"])
    store.set_collection_value("c", "replayed", 0)
    wait_until(lambda: store.get_collection_value("c", "replayed") == 0)
    late = make_store(["c"])
    old, new = [], []
    late.add_collection_callback("c", lambda: old.append(1))
    late.add_collection_callback("c", lambda: new.append(1))
    late.add_collection_callback("unfollowed", lambda: new.append("never"))
    store.set_collection_value("c", "k", 1)
    store.set_collection_value("c", "k", 2)
    wait_until(lambda: late.get_collection_value("c", "k") == 2)
    # The replayed record fired nothing.
    assert (old, new) == ([], [1, 1])


def test_a_listener_that_writes_does_not_hold_up_the_consumer_thread(make_store):
    store = make_store(["a", "b"], pause=3.0)  # a pause, without read_your_writes
    store.add_collection_listener("a", lambda key, value: store.set_collection_value("b", key, value))
    writer = make_store(["a"])
    started = time.monotonic()
    writer.set_collection_values("a", {f"k{i}": i for i in range(5)})
    wait_until(lambda: len(store.get_collection_keys("b")) == 5, timeout=20)
    took = time.monotonic() - started
    # Pausing would take 15 s; a loaded machine takes a few.
    assert took < 7.5, f"5 records mirrored in {took:.1f} s, as if each write paused"


def test_records_without_a_value_are_kept_as_absent_values(make_store, admin_configs, unique_name):
    raw = make_store(["c"], cls=KafkaCompaction)
    store = make_store(["c"])
    topic = f"{unique_name}.c"
    producer = Producer(admin_configs)
    producer.produce(topic, key=b"null", value=None)
    producer.produce(topic, key=b"marker", value=b"1")
    producer.flush()
    wait_until(lambda: store.get_collection_value("c", "marker") == 1 and b"marker" in raw._topics[topic])
    assert raw._topics[topic] == {b"null": None, b"marker": b"1"}
    # An absent value for a key that holds one, or for a missing key, is not published again.
    raw.set_collection_value("c", b"null", None)
    raw.set_collection_value("c", b"missing", None)
    raw.set_collection_value("c", b"end", b"2")
    assert topic_records(admin_configs, topic, b"end")[-1:] == [(b"end", b"2")]
    assert len(topic_records(admin_configs, topic, b"end")) == 3
    # None over a value held under a text key is a change: published and applied as an absent value.
    raw.read_your_writes, raw.publish_pause_s = True, 5.0
    raw.set_collection_value("c", "text", b"v")
    raw.set_collection_value("c", "text", None)
    raw.set_collection_value("c", b"last", b"3")
    assert topic_records(admin_configs, topic, b"last")[-2:] == [(b"text", None), (b"last", b"3")]
    assert b"text" in raw._topics[topic] and raw._topics[topic][b"text"] is None


def test_close_and_exit_take_what_signals_and_with_give_and_stop_once(make_store, capfd):
    stops = []
    store = make_store(["c"], cls=KafkaCompaction, on_consumer_kill=lambda: stops.append(1))
    assert store.__enter__() is store
    for args, kwargs in (((), {}), ((15,), {}), ((15, None), {}), ((), {"arg1": 2, "arg2": None})):
        assert store.close(*args, **kwargs) is None
    with pytest.raises(TypeError):
        store.close(1, 2, 3)
    for args in ((), (None,), (None, None, None), (ValueError, ValueError("x"), None)):
        assert store.__exit__(*args) is None
    with pytest.raises(TypeError):
        store.__exit__(1, 2, 3, 4)
    store.cons_thr.join(10)
    assert not store.cons_thr.is_alive()
    assert stops == [1]
    assert capfd.readouterr().out.splitlines().count("Consumer was correctly killed") == 1


def test_the_signature_names_the_default_stop_action():
    default = inspect.signature(KafkaCompaction).parameters["on_consumer_kill"].default
    assert callable(default) and default.__name__ == "exit_process"


def test_the_default_pause_is_one_second(make_store):
    assert KafkaCompaction.publish_pause_s == 1.0
    store = make_store(["c"], cls=KafkaCompaction, pause=1.0)
    started = time.monotonic()
    store.set_collection_value("c", b"k", b"v")
    assert time.monotonic() - started >= 1.0


def run_store_process(bootstrap, db_name, body):
    code = textwrap.dedent(f"""
        import os, signal, time
        from quarnel_kafka_kv.quillet import KafkaCompaction
        store = KafkaCompaction({{"bootstrap.servers": {bootstrap!r}}}, ["c"], {db_name!r})
    """) + textwrap.dedent(body)
    # Not from the checkout root, where the source folder would shadow the installed package.
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          cwd=os.path.dirname(__file__))


@pytest.mark.parametrize("signal_name", ["SIGTERM", "SIGINT"])
def test_a_signal_ends_the_process_with_status_zero(kafka_bootstrap, unique_name, signal_name):
    result = run_store_process(kafka_bootstrap, unique_name, f"""
        os.kill(os.getpid(), signal.{signal_name})
        time.sleep(30)
    """)
    assert result.returncode == 0
    assert result.stdout.splitlines()[-1] == "Consumer was correctly killed"


@pytest.mark.parametrize("body, status", [
    ("pass", 0),
    ("raise ValueError('boom')", 1),
    ("sys.exit(3)", 3),
], ids=["normally", "by-exception", "by-sys.exit"])
def test_leaving_the_with_block_ends_the_process_with_the_status_it_calls_for(
        kafka_bootstrap, unique_name, body, status):
    result = run_store_process(kafka_bootstrap, unique_name, f"""
        import sys
        with store:
            {body}
        time.sleep(30)
    """)
    assert result.returncode == status, result.stderr[-3000:]
    if status == 1:
        assert "ValueError: boom" in result.stderr


@pytest.mark.parametrize("stderr_closed", [False, True], ids=["traceback", "stderr-closed"])
def test_a_consumer_failure_ends_the_process_with_status_one(kafka_bootstrap, unique_name, stderr_closed):
    result = run_store_process(kafka_bootstrap, unique_name, f"""
        import sys
        def failing_callback():
            if {stderr_closed}:
                sys.stderr.close()  # the traceback cannot be printed; the exit steps still run
            {{}}["missing"]
        store.add_collection_callback("c", failing_callback)
        store.publish_pause_s = 0
        store.set_collection_value("c", b"k", b"v")
        time.sleep(30)
    """)
    assert result.returncode == 1
    assert result.stdout.splitlines()[-1] == "Consumer was correctly killed"
    if not stderr_closed:
        # Once, with the callback's own frame.
        assert result.stderr.count("Traceback") == 1, result.stderr
        assert ", in failing_callback\n" in result.stderr and "KeyError: 'missing'" in result.stderr


def test_repeated_signals_run_a_callers_stop_action_once(kafka_bootstrap, unique_name):
    code = textwrap.dedent(f"""
        import os, signal
        from quarnel_kafka_kv.quillet import KafkaCompaction
        store = KafkaCompaction({{"bootstrap.servers": {kafka_bootstrap!r}}}, ["c"], {unique_name!r},
                                on_consumer_kill=lambda: print("stop action", flush=True))
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGTERM):
            os.kill(os.getpid(), sig)
        store.cons_thr.join(30)
        print("thread ended" if not store.cons_thr.is_alive() else "thread alive")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                            cwd=os.path.dirname(__file__))
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.splitlines()[-3:] == ["Consumer was correctly killed", "stop action", "thread ended"]


def test_a_stop_during_the_replay_makes_construction_raise(admin_configs, unique_name):
    original = KafkaCompaction.start_consumer

    class StoppedEarly(KafkaCompaction):
        # close() before the first poll: the loop ends before the replay is over.
        def start_consumer(self, init_timeout=10.0):
            self.close()
            original(self, init_timeout)

    handlers = {sig: signal.getsignal(sig) for sig in (signal.SIGTERM, signal.SIGINT)}
    try:
        with pytest.raises(Exception, match="stopped before its initial replay"):
            StoppedEarly(admin_configs, ["c"], unique_name, on_consumer_kill=lambda: None)
        # A store that never started hands the signals back.
        assert {sig: signal.getsignal(sig) for sig in handlers} == handlers
    finally:
        for sig, handler in handlers.items():
            signal.signal(sig, handler)


def test_a_failure_with_a_stop_action_that_returns_is_printed_once_and_kept(make_store, capfd):
    stops = []
    store = make_store(["c"], cls=KafkaCompaction, on_consumer_kill=lambda: stops.append(1))
    store.add_collection_callback("c", lambda: {}["missing"])
    store.set_collection_value("c", b"k", b"v")
    store.cons_thr.join(15)
    out, err = capfd.readouterr()
    assert stops == [1] and out.splitlines()[-1] == "Consumer was correctly killed"
    assert err.count("Traceback") == 1 and isinstance(store._core.snapshot()["failure"], KeyError)


def test_without_a_stop_action_a_stop_ends_only_the_consumer_thread(make_store, capfd):
    store = make_store(["c"], cls=KafkaCompaction, on_consumer_kill=None)
    store.close()
    store.cons_thr.join(10)
    assert not store.cons_thr.is_alive()
    assert capfd.readouterr().err == ""


def test_a_store_built_off_the_main_thread_starts_without_signal_handlers(make_store):
    handlers = {sig: signal.getsignal(sig) for sig in (signal.SIGTERM, signal.SIGINT)}
    built = []
    builder = threading.Thread(target=lambda: built.append(make_store(["c"])))
    builder.start()
    builder.join(60)
    assert built and built[0]._inited
    assert {sig: signal.getsignal(sig) for sig in handlers} == handlers
    built[0].set_collection_value("c", "k", 1)
    wait_until(lambda: built[0].get_collection_value("c", "k") == 1)


# --- write settings -------------------------------------------------------------------------------


@pytest.mark.parametrize("setting", [{"acks": 0}, {"delivery.report.only.error": True}], ids=["acks-0", "errors-only"])
def test_a_write_whose_delivery_reports_no_offset_returns(make_store, admin_configs, unique_name, setting):
    store = make_store(["c"], cls=KafkaCompaction, configs={**admin_configs, **setting}, pause=10.0)
    store.read_your_writes = True
    writer = threading.Thread(target=store.set_collection_values, args=("c", {b"k": b"v", b"j": b"w"}), daemon=True)
    writer.start()
    writer.join(15)
    assert not writer.is_alive()
    wait_until(lambda: store._topics[f"{unique_name}.c"] == {b"k": b"v", b"j": b"w"})
    # With acks=0 its place in the topic is unknown, so an equal value is published again;
    # the store's producer reports every delivery whatever the caller asked for.
    assert (f"{unique_name}.c" in store._core.snapshot()["unsettled"]) == ("acks" in setting)


# --- read your writes -----------------------------------------------------------------------------


def test_with_read_your_writes_every_thread_reads_a_write_once_it_returned(make_store):
    assert KafkaCompaction.read_your_writes is False
    store = make_store(["c"], pause=5.0)
    store.read_your_writes = True
    seen_elsewhere = []
    for i in range(20):
        store.set_collection_value("c", "k", i)
        assert store.get_collection_value("c", "k") == i
        reader = threading.Thread(target=lambda: seen_elsewhere.append(store.get_collection_value("c", "k")))
        reader.start()
        reader.join()
    store.delete_collection_value("c", "k")
    assert store.get_collection_value("c", "k") is None
    assert seen_elsewhere == list(range(20))


def test_with_read_your_writes_the_first_write_to_a_new_database_is_read_back_within_the_default_pause(
        make_store, unique_name):
    # A consumer given topics it never asked the cluster about found them only at its next scan, up to a
    # second later: about one new database in four failed its first write with the default pause.
    for run in range(8):
        store = make_store(["c"], db_name=f"{unique_name}-{run}", pause=KafkaCompaction.publish_pause_s)
        store.read_your_writes = True
        store.set_collection_value("c", "k", run)


def test_with_read_your_writes_a_callback_may_write_and_a_late_write_raises_after_the_pause(make_store):
    store = make_store(["c"], pause=30.0)
    store.read_your_writes = True
    release = threading.Event()

    def on_change():
        # On the consumer thread: its own write cannot wait for it.
        if store.get_collection_value("c", "src") == 1 and store.get_collection_value("c", "copy") is None:
            store.set_collection_value("c", "copy", "made")
        elif store.get_collection_value("c", "hold") == 1:
            release.wait(30)

    store.add_collection_callback("c", on_change)
    store.set_collection_value("c", "src", 1)
    wait_until(lambda: store.get_collection_value("c", "copy") == "made", timeout=20)

    store.set_collection_value("c", "hold", 1)  # its callback now holds the consumer thread
    store.publish_pause_s = 0.5
    try:
        with pytest.raises(TimeoutError, match="delivered to Kafka but not read back"):
            store.set_collection_value("c", "late", 1)
        assert store.get_collection_value("c", "late") is None
        assert store._core.snapshot()["waiting"] == 0
    finally:
        release.set()
    wait_until(lambda: store.get_collection_value("c", "late") == 1)
