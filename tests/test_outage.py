"""A broker that freezes (SIGSTOP) or dies under a store: the health view says so, writes keep their bound and
work again after it, a store opens before the cluster is back, close() ends what is pending, and the clients'
lines about failed connections do not flood the log."""
import asyncio
import logging
import threading
import time

import pytest
from confluent_kafka import KafkaError, KafkaException

from cluster import KafkaCluster
from quarnel_kafka_kv.mervane import KafkaDB
from store_fixtures import wait_until

pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def broker():
    """A node of its own, since these tests freeze and kill it."""
    with KafkaCluster(nodes=1) as cluster:
        yield cluster


class Lines(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append((record.levelno, record.getMessage()))

    def store_lines(self, words):
        return [text for level, text in self.records if level >= logging.INFO and words in text]


@pytest.fixture
def open_store(broker, unique_name):
    """open_store(**class_attributes) -> (store, lines): a store that does not own the process, logging to lines."""
    stores = []

    def open_(**attributes):
        lines = Lines()
        logger = logging.getLogger(f"outage.{unique_name}.{len(stores)}")
        logger.setLevel(logging.DEBUG)
        logger.addHandler(lines)
        logger.propagate = False
        cls = type("Store", (KafkaDB,), {"owns_process": False, "logger": logger, **attributes})
        store = cls({"bootstrap.servers": broker.bootstrap}, ["c"], unique_name)
        store.close_flush_s = 1.0
        stores.append(store)
        return store, lines

    yield open_
    for node in broker.nodes:
        if not node.alive():
            broker.start_node(node.index)
    broker.resume_node(0)
    for store in stores:
        store.close()


def outage(broker, how):
    """Freezes or kills the node; returns what brings it back."""
    if how == "frozen":
        broker.pause_node(0)
        return lambda: broker.resume_node(0)
    broker.kill_node(0)
    return lambda: broker.start_node(0)


def seconds_until(predicate, timeout):
    started = time.monotonic()
    wait_until(predicate, timeout=timeout, interval=0.1)
    return time.monotonic() - started


@pytest.mark.parametrize("how", ["frozen", "killed"])
def test_the_health_view_tells_an_outage_and_its_end_and_the_log_says_each_once(open_store, broker, how):
    store, lines = open_store()
    store["c"]["k"] = 1
    assert store.status()["connected"]
    back = outage(broker, how)
    assert seconds_until(lambda: not store.status()["connected"], 20) < 15
    status = store.status()
    # The copy is as complete as it was: live, and still served.
    assert status["state"] == "live" and status["consumer_alive"] and status["seconds_since_contact"] >= 10
    assert store["c"]["k"] == 1
    time.sleep(11)  # a reminder comes every 10 s
    back()
    assert seconds_until(lambda: store.status()["connected"], 15) < 10
    assert len(lines.store_lines("has had no answer from Kafka")) == 1
    assert 1 <= len(lines.store_lines("still has no answer from Kafka")) <= 2
    assert len(lines.store_lines("has answers from Kafka again")) == 1
    # One line per connection passes; the rest went to DEBUG, and the reminders count them.
    failed = [text for level, text in lines.records if text.startswith("FAIL") and level > logging.DEBUG]
    assert len(failed) <= 6, failed


def test_writes_keep_their_bound_through_an_outage_and_work_again_after_it(open_store, broker):
    store, _ = open_store(write_timeout_s=2.0)
    store.read_your_writes = True
    store.publish_pause_s = 10.0
    store["c"]["before"] = 1
    back = outage(broker, "frozen")

    async def awaited():
        await store.aset_collection_value("c", "awaited", 1)

    try:
        for write in (lambda: store.set_collection_value("c", "one", 1),
                      lambda: store.set_collection_values("c", {"a": 1, "b": 2}),
                      lambda: asyncio.run(awaited())):
            started = time.monotonic()
            with pytest.raises(KafkaException) as raised:
                write()
            assert raised.value.args[0].code() == KafkaError._MSG_TIMED_OUT
            assert time.monotonic() - started < 5
    finally:
        back()
    wait_until(lambda: store.status()["connected"], timeout=20)
    # No reopen: the same producer delivers again.
    wait_until(lambda: store.set_collection_value("c", "after", 2) is None, timeout=20, interval=0.5,
               ignore=(KafkaException,))
    assert store["c"]["after"] == 2


def test_a_store_opened_while_the_cluster_is_away_becomes_live_when_it_returns(open_store, broker, unique_name):
    open_store()[0]["c"]["k"] = 1  # the topic exists before the outage
    back = outage(broker, "killed")
    try:
        started = time.monotonic()
        store, _ = open_store(wait_for_replay=False)
        assert time.monotonic() - started < 2
        assert store.status()["state"] == "replaying" and not store.status()["connected"]
        with pytest.raises(RuntimeError, match="still reading its topics"):
            store["c"]["k"]
    finally:
        back()
    wait_until(lambda: store.status()["state"] == "live", timeout=30)
    assert store["c"]["k"] == 1 and store.status()["replay_seconds"] > 0


def test_close_ends_every_pending_write_within_its_flush_time(open_store, broker, capfd):
    store, lines = open_store()
    store["c"]["k"] = 1
    back = outage(broker, "frozen")
    outcomes = []

    def blocking():
        try:
            store.set_collection_value("c", "blocking", 1)
        except KafkaException as e:
            outcomes.append(e.args[0].code())

    async def main():
        pending = store.aset_collection_value("c", "awaited", 1)
        writer = threading.Thread(target=blocking)
        writer.start()
        await asyncio.sleep(0.5)
        started = time.monotonic()
        await asyncio.get_running_loop().run_in_executor(None, store.close)
        with pytest.raises(KafkaException) as raised:
            await pending
        writer.join(5)
        outcomes.append(raised.value.args[0].code())
        return time.monotonic() - started

    try:
        assert asyncio.run(main()) < store.close_flush_s + 1.5
    finally:
        back()
    assert sorted(outcomes) == [KafkaError._PURGE_INFLIGHT] * 2
    assert lines.store_lines("2 written record(s) not delivered to Kafka within 1.0 s; 2 of them were in flight "
                             "and may still be delivered")
