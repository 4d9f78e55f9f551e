"""Fixtures for tests that open stores inside the pytest process."""
import signal
import time
import uuid

import pytest
from confluent_kafka import OFFSET_BEGINNING, Consumer, Producer, TopicPartition

from quarnel_kafka_kv.dorrow import Admin
from quarnel_kafka_kv.quillet import KafkaJsonCompaction


def wait_until(predicate, timeout=15.0, interval=0.02, ignore=()):
    """Polls predicate until it is true (an `ignore` exception counts as false); the consumer thread
    applies records asynchronously."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            if predicate():
                return
        except ignore:
            pass
        if time.monotonic() > deadline:
            raise AssertionError(f"condition not met within {timeout}s")
        time.sleep(interval)


def produce(configs, topic, records, **kwargs):
    """Produces (key, value) records; a record the broker refused fails the test here, not later."""
    refused = []
    producer = Producer(configs)
    for key, value in records:
        producer.produce(topic, key=key, value=value, on_delivery=lambda error, _: error and refused.append(error),
                         **kwargs)
    producer.flush()
    assert not refused, refused


def fill_topic(admin_configs, topic, count):
    """Creates the topic with `count` records, k0: v0 and on, produced in batches."""
    Admin(admin_configs).create_topic_with_params(topic, 1, 1)
    producer = Producer(dict(admin_configs, **{"linger.ms": 20}))
    for i in range(count):
        producer.produce(topic, key=b"k%d" % i, value=b"v%d" % i)
        if i % 5000 == 0:
            producer.poll(0)
    producer.flush()


def partitions_once_added(admin, topic, count):
    """The broker confirms new partitions before every metadata answer shows them, and a producer
    that asks in that moment fails its records for the new ones."""
    wait_until(lambda: admin.get_topic_configs(topic).get("num_partitions") == count)


def topic_records(configs, topic, until_key, timeout=20.0):
    """Every (key, value) of the topic from its start up to the record keyed until_key.

    Reading up to a marker written last, rather than to the partition's end,
    makes "nothing else was published" a certainty rather than a race.
    """
    consumer = Consumer({**configs, "group.id": uuid.uuid4().hex, "enable.auto.commit": False})
    consumer.assign([TopicPartition(topic, 0, OFFSET_BEGINNING)])
    records = []
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            msg = consumer.poll(0.2)
            if msg is None or msg.error():
                continue
            records.append((msg.key(), msg.value()))
            if msg.key() == until_key:
                return records
    finally:
        consumer.close()
    raise AssertionError(f"{until_key!r} not seen on {topic}; got {records}")


@pytest.fixture
def make_store(admin_configs, unique_name):
    """Opens stores that cannot end the pytest process and are stopped afterwards.

    make_store(collections, cls=KafkaJsonCompaction, db_name=unique, pause=0.0, **kwargs):
    the default stop action would end the process, so a no-op replaces it
    unless on_consumer_kill is given; `pause` sets the instance's publish_pause_s.
    """
    stores = []
    handlers = {sig: signal.getsignal(sig) for sig in (signal.SIGTERM, signal.SIGINT)}

    def make(collections, cls=KafkaJsonCompaction, db_name=None, pause=0.0, configs=None, **kwargs):
        kwargs.setdefault("on_consumer_kill", lambda: None)
        store = cls(configs if configs is not None else admin_configs, collections,
                    unique_name if db_name is None else db_name, **kwargs)
        store.publish_pause_s = pause
        stores.append(store)
        return store

    yield make
    for store in stores:
        store.close()
    for store in stores:
        store.cons_thr.join(10)
    for sig, handler in handlers.items():
        signal.signal(sig, handler)
