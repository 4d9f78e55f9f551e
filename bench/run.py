#!/usr/bin/env python3
"""Benchmarks of the store against the floor of its own Kafka client, measured in the same run.

Usage:  QUARNEL_KAFKA_BOOTSTRAP=host:port python bench/run.py [--quick] [--reps N] [--sizes N,N] [--output FILE]
(tools/bench.sh installs the package, starts a local broker and runs this.) The construction case also runs on a
broker with Kafka's default settings: $QUARNEL_KAFKA_DEFAULTS_BOOTSTRAP, or one the run starts for it.

Each case runs a warm-up, then several repetitions with the store and its baseline taking turns, and
reports medians. Replays run in a fresh process each time, so memory is measured from a clean start
and no store threads or signal handlers pile up. The table goes to stdout and to bench/RESULTS.md.

One measurement alone, e.g. under a profiler (--keep-topics leaves the loaded topics in place):
  python bench/run.py --child replay_store '{"conf": {"bootstrap.servers": "..."}, "db": "...", "name": "keys100000",
                                            "n": 100000}'
"""
from __future__ import annotations

import argparse
import contextlib
import gc
import io
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RESULT_MARK = "@@bench-result "
VALUE_SIZE = 100
STATUS_CALLS = 1000
# The store's topic settings, so the store finds its topics already in shape.
TOPIC_SETTINGS = {"cleanup.policy": "compact", "delete.retention.ms": "100", "segment.ms": "100",
                  "min.cleanable.dirty.ratio": "0.01"}


# ------------------------------------------------------------------------------------------ data


def key_of(i: int) -> str:
    return f"key-{i:07d}"


def value_of(i: int, size: int = VALUE_SIZE) -> bytes:
    """A JSON object of exactly `size` bytes with a few typical fields."""
    head = {"id": i, "name": f"item-{i:07d}", "tags": ["a", "b"], "score": 0.5, "pad": ""}
    pad = size - len(json.dumps(head, separators=(",", ":")))
    head["pad"] = "x" * pad
    out = json.dumps(head, separators=(",", ":")).encode()
    assert len(out) == size
    return out


def rss_bytes() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def settled_rss_bytes() -> tuple[int, int]:
    """The resident set as is, and once the allocator has returned the memory freed by the replay (glibc)."""
    raw = rss_bytes()
    gc.collect()
    try:
        import ctypes
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass
    return raw, rss_bytes()


def peak_rss_bytes() -> int:
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


# What the store adds to its consumer's copy of the configuration where the caller set nothing: keep it equal
# to the store's own choice. The batched replay loop and the bare construction run with it; the one-per-call
# replay baseline keeps the client's defaults.
STORE_CONSUMER_PROPERTIES: dict[str, str] = {"fetch.queue.backoff.ms": "10", "queued.max.messages.kbytes": "2048"}
# The client's own bound on what it fetches ahead, per partition: the peak-memory baseline keeps it.
CLIENT_QUEUE_DEFAULT = {"queued.max.messages.kbytes": "65536"}


def consumer_config(conf: dict, store_properties: bool = True) -> dict:
    """The configuration the store gives its own consumer (or, without store_properties, only its fixed entries)."""
    c = {**STORE_CONSUMER_PROPERTIES, **conf} if store_properties else dict(conf)
    c["session.timeout.ms"] = 6000
    c["auto.offset.reset"] = "earliest"
    c["enable.auto.commit"] = False
    c["group.id"] = str(uuid.uuid4())
    c["enable.partition.eof"] = True
    return c


def quiet_store_kwargs() -> dict:
    # The default stop action ends the process; a child reports first and then stops the store itself.
    return {"on_consumer_kill": lambda: None}


def stop_store(store) -> None:
    store.close()
    store.cons_thr.join(15)


# ------------------------------------------------------------------------------------------ children
# Each runs in a fresh interpreter and prints one result line.


def child_replay_store(p: dict) -> dict:
    from quarnel_kafka_kv.quillet import KafkaJsonCompaction
    gc.collect()
    before = rss_bytes()
    cpu0, t0 = time.process_time(), time.perf_counter()
    store = KafkaJsonCompaction(p["conf"], [p["name"]], p["db"], **quiet_store_kwargs())
    seconds, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    held = len(store._topics[f"{p['db']}.{p['name']}"])
    raw, settled = settled_rss_bytes()
    peak = peak_rss_bytes()
    stop_store(store)
    if held != p["n"]:
        raise RuntimeError(f"the store holds {held} keys after its replay, expected {p['n']}")
    return {"seconds": seconds, "cpu": cpu, "rss_growth": settled - before, "raw_rss_growth": raw - before,
            "peak_rss": peak}


def bare_replay(conf: dict, topic: str):
    """The plainest loop: a subscribed consumer with the client's defaults, one message per call into one dict
    under one lock, ending when every assigned partition reported its end."""
    from confluent_kafka import Consumer, KafkaError, KafkaException
    data: dict = {}
    lock = threading.Lock()
    ends = set()
    consumer = Consumer(consumer_config(conf, store_properties=False))
    consumer.subscribe([topic])
    while True:
        msgs = consumer.consume(num_messages=1, timeout=0.1)
        at_end = not msgs
        for m in msgs:
            err = m.error()
            if err is not None:
                if err.code() == KafkaError._PARTITION_EOF:
                    ends.add((m.topic(), m.partition()))
                    at_end = True
                    continue
                raise KafkaException(err)
            with lock:
                data[m.key()] = m.value()
        if at_end:
            assigned = consumer.assignment()
            if assigned and all((tp.topic, tp.partition) in ends for tp in assigned):
                return consumer, data


def read_to_end(consumer, topic: str, partitions, batch: int = 1000) -> dict:
    """The client's own best replay: every partition assigned from its start, no group join, batches of
    `batch`, done once the position reaches the end offsets read before the first fetch."""
    from confluent_kafka import OFFSET_BEGINNING, KafkaError, KafkaException, TopicPartition
    ends = {p: consumer.get_watermark_offsets(TopicPartition(topic, p), timeout=10)[1] for p in partitions}
    consumer.assign([TopicPartition(topic, p, OFFSET_BEGINNING) for p in partitions])
    data: dict = {}
    lock = threading.Lock()
    pending = {p: end for p, end in ends.items() if end > 0}
    while pending:
        # What is queued at once, else wait for the next one: a batch call with a timeout would hold a small
        # topic's last records until the timeout ran out.
        for m in consumer.consume(num_messages=batch, timeout=0) or consumer.consume(num_messages=1, timeout=0.1):
            err = m.error()
            if err is not None:
                if err.code() == KafkaError._PARTITION_EOF:
                    continue
                raise KafkaException(err)
            with lock:
                data[m.key()] = m.value()
        for tp in consumer.position([TopicPartition(topic, p) for p in pending]):
            if tp.offset >= pending[tp.partition]:
                del pending[tp.partition]
    return data


def topic_partitions(client, topic: str) -> list[int]:
    from confluent_kafka import KafkaException
    described = client.list_topics(topic, timeout=10).topics[topic]
    if described.error is not None:
        raise KafkaException(described.error)
    return sorted(described.partitions)


def child_replay_bare(p: dict) -> dict:
    from confluent_kafka import Consumer
    # Same imports as the store's child, so both start from the same resident set.
    import quarnel_kafka_kv.quillet  # noqa: F401
    topic = f"{p['db']}.{p['name']}"
    gc.collect()
    before = rss_bytes()
    cpu0, t0 = time.process_time(), time.perf_counter()
    if p["batched"]:
        consumer = Consumer({**consumer_config(p["conf"]), **p.get("extra", {})})
        data = read_to_end(consumer, topic, topic_partitions(consumer, topic))
    else:
        consumer, data = bare_replay(p["conf"], topic)
    seconds, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    raw, settled = settled_rss_bytes()
    peak = peak_rss_bytes()
    consumer.close()
    if len(data) != p["n"]:
        raise RuntimeError(f"the bare loop holds {len(data)} keys after its replay, expected {p['n']}")
    return {"seconds": seconds, "cpu": cpu, "rss_growth": settled - before, "raw_rss_growth": raw - before,
            "peak_rss": peak}


def child_construct_bare(p: dict) -> dict:
    """What construction does, with bare clients: describe the topic, make a producer, replay to the end."""
    from confluent_kafka import Consumer, Producer
    from confluent_kafka.admin import AdminClient, ConfigResource
    import quarnel_kafka_kv.quillet  # noqa: F401
    topic = f"{p['db']}.{p['name']}"
    gc.collect()
    t0 = time.perf_counter()
    admin = AdminClient(p["conf"])
    partitions = topic_partitions(admin, topic)
    resource = ConfigResource(ConfigResource.Type.TOPIC, topic)
    admin.describe_configs([resource])[resource].result(10)
    producer = Producer(p["conf"])
    consumer = Consumer(consumer_config(p["conf"]))
    data = read_to_end(consumer, topic, partitions)
    seconds = time.perf_counter() - t0
    consumer.close()
    producer.flush(10)
    if len(data) != p["n"]:
        raise RuntimeError(f"the bare clients hold {len(data)} keys after their replay, expected {p['n']}")
    return {"seconds": seconds}


def collection_topics(db: str, n: int) -> list[str]:
    return [f"{db}.c{i:04d}" for i in range(n)]


def child_collections_store(p: dict) -> dict:
    """The constructor over n collections, new or existing; the store prints its lines as it does by default."""
    from quarnel_kafka_kv.quillet import KafkaJsonCompaction
    names = [topic.split(".", 1)[1] for topic in collection_topics(p["db"], p["n"])]
    gc.collect()
    t0 = time.perf_counter()
    store = KafkaJsonCompaction(p["conf"], names, p["db"], **quiet_store_kwargs())
    seconds = time.perf_counter() - t0
    held = len(store._topics)
    stop_store(store)
    if held != p["n"]:
        raise RuntimeError(f"the store follows {held} collections, expected {p['n']}")
    return {"seconds": seconds}


def child_collections_bare(p: dict) -> dict:
    """The bare client's share of opening n collections. New: one describe_cluster (how many brokers), one
    create_topics of every topic, compacted, then a wait until the metadata lists them all. Existing:
    one describe_topics and one describe_configs of all topics, one list_offsets of every partition's end, a
    producer and a consumer assigned to every partition."""
    from confluent_kafka import OFFSET_BEGINNING, Consumer, KafkaException, Producer, TopicCollection, TopicPartition
    from confluent_kafka.admin import AdminClient, ConfigResource, NewTopic, OffsetSpec
    import quarnel_kafka_kv.quillet  # noqa: F401
    topics = collection_topics(p["db"], p["n"])
    gc.collect()
    t0 = time.perf_counter()
    admin = AdminClient(p["conf"])
    if p["new"]:
        brokers = len(admin.describe_cluster().result().nodes)
        created = admin.create_topics([NewTopic(t, 1, min(3, brokers), config=TOPIC_SETTINGS) for t in topics])
        for future in created.values():
            future.result()
        # Asked of these topics alone, as the store asks: a listing of the whole cluster costs as many topics as
        # the cluster holds.
        pending = topics
        while pending:
            answers = admin.describe_topics(TopicCollection(pending))
            pending = [t for t, f in answers.items() if f.exception() is not None]
            time.sleep(LISTING_WAIT if pending else 0)
        return {"seconds": time.perf_counter() - t0}
    described = {t: f.result() for t, f in admin.describe_topics(TopicCollection(topics)).items()}
    for future in admin.describe_configs([ConfigResource("topic", t) for t in topics]).values():
        future.result()
    partitions = [TopicPartition(t, part.id) for t, d in described.items() for part in d.partitions]
    listed = admin.list_offsets({tp: OffsetSpec.latest() for tp in partitions})
    ends = {tp: f.result().offset for tp, f in listed.items()}
    producer = Producer(p["conf"])
    consumer = Consumer(consumer_config(p["conf"]))
    consumer.assign([TopicPartition(tp.topic, tp.partition, OFFSET_BEGINNING) for tp in partitions])
    seconds = time.perf_counter() - t0
    consumer.close()
    producer.flush(10)
    if len(ends) != p["n"] or any(ends.values()):
        raise KafkaException(f"expected {p['n']} empty partitions, got the ends {ends}")
    return {"seconds": seconds}


def take_turns(runs: dict, warmup: int, reps: int) -> dict[str, list[float]]:
    """Times each callable `reps` times after `warmup` untimed calls, rotating the order every round."""
    names = list(runs)
    for _ in range(warmup):
        for name in names:
            runs[name]()
    samples: dict[str, list[float]] = {name: [] for name in names}
    for rep in range(reps):
        k = rep % len(names)
        for name in names[k:] + names[:k]:
            gc.collect()
            t0 = time.perf_counter()
            runs[name]()
            samples[name].append(time.perf_counter() - t0)
    return samples


def child_reads(p: dict) -> dict:
    from quarnel_kafka_kv.mervane import KafkaDB
    from quarnel_kafka_kv.quillet import KafkaJsonCompaction
    name, db_name = p["name"], p["db"]
    topic = f"{db_name}.{name}"
    store = KafkaJsonCompaction(p["conf"], [name], db_name, **quiet_store_kwargs())
    db = KafkaDB(p["conf"], [name], db_name, **quiet_store_kwargs())
    try:
        stored = store._topics[topic]
        if len(stored) != p["n"] or len(db._topics[topic]) != p["n"]:
            raise RuntimeError("a store did not replay every key")
        keys = [key_of(i) for i in range(p["n"])]
        random.Random(7).shuffle(keys)
        raw = [stored[k.encode()] for k in keys]
        loads = json.loads

        def baseline_reads():
            for b in raw:
                loads(b)

        def store_reads():
            get = store.get_collection_value
            for k in keys:
                get(name, k)

        def db_reads():
            for k in keys:
                db[name][k]

        reads = take_turns({"loads": baseline_reads, "store": store_reads, "db": db_reads}, 1, p["reps"])

        # A miss costs no decoding: its floor is the dictionary lookup under a lock, in a Python function
        # called with the same arguments as the store.
        absent = [f"absent-{i:07d}" for i in range(p["n"])]
        plain = {k.decode(): v for k, v in stored.items()}
        plain_lock = threading.Lock()

        def python_get(_name, key):
            with plain_lock:
                return plain.get(key)

        def baseline_misses():
            get = python_get
            for k in absent:
                get(name, k)

        def store_misses():
            get = store.get_collection_value
            for k in absent:
                get(name, k)

        misses = take_turns({"python": baseline_misses, "store": store_misses}, 1, p["reps"])
        if store.get_collection_value(name, absent[0]) is not None or len(plain) != len(stored):
            raise RuntimeError("a missing key was found")

        def baseline_keys():
            [k.decode() for k in stored]

        def store_keys():
            store.get_collection_keys(name)

        listing = take_turns({"decode": baseline_keys, "store": store_keys}, 2, p["key_reps"])

        # A health check calls status() per request; it takes no lock the reads take.
        def store_status():
            for _ in range(STATUS_CALLS):
                store.status()

        def one_key_reads():
            get = store.get_collection_value
            for _ in range(STATUS_CALLS):
                get(name, keys[0])

        status = take_turns({"status": store_status, "read": one_key_reads}, 1, p["reps"])
        if store.get_collection_keys(name) != [k.decode() for k in stored]:
            raise RuntimeError("get_collection_keys differs from the stored keys")
        if store.get_collection_value(name, keys[0]) != loads(raw[0]):
            raise RuntimeError("get_collection_value differs from the stored value")
    finally:
        stop_store(store)
        stop_store(db)
    return {"reads": reads, "misses": misses, "keys": listing, "status": status}


def follow(conf: dict, topic: str, stop: threading.Event) -> threading.Thread:
    """A thread reading a topic as the store's consumer thread does: one record per call, into a dict under a lock."""
    from confluent_kafka import Consumer

    def run():
        consumer = Consumer(consumer_config(conf))
        consumer.subscribe([topic])
        data, lock = {}, threading.Lock()
        while not stop.is_set():
            for m in consumer.consume(num_messages=1, timeout=0.1):
                if m.error() is None:
                    with lock:
                        data[m.key()] = m.value()
        consumer.close()

    thread = threading.Thread(target=run)
    thread.start()
    return thread


def child_writes(p: dict) -> dict:
    from confluent_kafka import KafkaException, Producer
    from quarnel_kafka_kv.quillet import KafkaJsonCompaction
    name, count = p["name"], p["count"]
    store = KafkaJsonCompaction(p["conf"], [name], p["db"], **quiet_store_kwargs())
    store.publish_pause_s = 0
    producer = Producer(p["conf"])
    stop = threading.Event()
    reader = follow(p["conf"], p["followed_topic"], stop)
    rounds = iter(range(1_000_000))
    failures = []

    def report(err, _msg):
        if err is not None:
            failures.append(err)

    def bare_writes(topic):
        r = next(rounds)
        for key, value in payload:
            producer.produce(topic, value=value, key=b"%d-" % r + key, on_delivery=report)
            producer.flush()
        if failures:
            raise KafkaException(failures[0])

    try:
        payload = [(key_of(i).encode(), value_of(i)) for i in range(count)]
        document = [json.loads(v) for _k, v in payload]

        def store_writes():
            # Keys new to the collection: a value equal to the stored one would not be published.
            r = next(rounds)
            put = store.set_collection_value
            for i in range(count):
                put(name, f"{r}-{key_of(i)}", document[i])

        samples = take_turns({"produce": lambda: bare_writes(p["base_topic"]), "store": store_writes,
                              "followed": lambda: bare_writes(p["followed_topic"])}, 1, p["reps"])
    finally:
        stop.set()
        reader.join(15)
        stop_store(store)
    return {"writes": samples}


def child_visible_writes(p: dict) -> dict:
    """Writes with read_your_writes, each timed until it returns, and whether a read right after it sees it."""
    from confluent_kafka import KafkaException, Producer
    from quarnel_kafka_kv.mervane import KafkaDB
    name, count, items = p["name"], p["count"], p["items"]
    db = KafkaDB(p["conf"], [name], p["db"], **quiet_store_kwargs())
    supported = hasattr(db, "read_your_writes")
    db.read_your_writes = True  # publish_pause_s keeps its default, the bound of the wait
    producer = Producer(p["conf"])
    failures = []

    def report(err, _msg):
        if err is not None:
            failures.append(err)

    def bare_write(key: bytes, value: bytes):
        producer.produce(p["base_topic"], value=value, key=key, on_delivery=report)
        producer.flush()
        if failures:
            raise KafkaException(failures[0])

    try:
        payload = [(key_of(i), value_of(i)) for i in range(max(count, items))]
        document = [json.loads(v) for _k, v in payload]
        put = db.set_collection_value
        single = {"store": [], "produce": []}
        unseen = 0
        for i in range(p["warmup"] + count):
            key, value = payload[i % len(payload)]
            timed = i >= p["warmup"]
            gc.collect()
            for turn in (("store", "produce") if i % 2 else ("produce", "store")):
                if turn == "store":
                    t0 = time.perf_counter()
                    put(name, f"single-{key}", document[i % len(payload)])
                    took = time.perf_counter() - t0
                    if timed and db.get_collection_value(name, f"single-{key}") is None:
                        unseen += 1
                else:
                    t0 = time.perf_counter()
                    bare_write(b"single-%d" % i, value)
                    took = time.perf_counter() - t0
                if timed:
                    single[turn].append(took)

        # Keys new to the collection in every round, so each item is published.
        mappings = iter([{f"map{r}-{key_of(i)}": document[i] for i in range(items)} for r in range(1 + p["reps"])])
        rounds = iter(range(1_000_000))
        mapping_unseen = []

        def store_mapping():
            mapping = next(mappings)
            db[name] = mapping
            mapping_unseen.append(sum(db.get_collection_value(name, k) is None for k in mapping))

        def bare_mapping():
            r = next(rounds)
            for i in range(items):
                bare_write(b"map%d-%d" % (r, i), payload[i][1])

        whole = take_turns({"produce": bare_mapping, "store": store_mapping}, 1, p["reps"])
    finally:
        stop_store(db)
    return {"single": single, "unseen": unseen, "mapping": whole, "mapping_unseen": sum(mapping_unseen[1:]),
            "supported": supported}


def child_latency(p: dict) -> dict:
    from quarnel_kafka_kv.quillet import KafkaJsonCompaction
    name = p["name"]
    writer = KafkaJsonCompaction(p["conf"], [name], p["db"], **quiet_store_kwargs())
    reader = KafkaJsonCompaction(p["conf"], [name], p["db"], **quiet_store_kwargs())
    writer.publish_pause_s = 0
    applied = threading.Event()
    seen = [0.0]

    def on_change():
        seen[0] = time.perf_counter()
        applied.set()

    reader.add_collection_callback(name, on_change)
    samples = []
    try:
        for i in range(p["warmup"] + p["samples"]):
            applied.clear()
            t0 = time.perf_counter()
            writer.set_collection_value(name, key_of(i), {"i": i})
            if not applied.wait(15):
                raise RuntimeError("the second store never applied a write")
            if i >= p["warmup"]:
                samples.append(seen[0] - t0)
    finally:
        stop_store(writer)
        stop_store(reader)
    return {"latency": samples}


def child_bulk(p: dict) -> dict:
    """db[name] = mapping of new keys with read_your_writes, against a batching producer encoding and producing the
    same documents, one flush."""
    from confluent_kafka import KafkaException, Producer
    from quarnel_kafka_kv.mervane import KafkaDB
    name, items = p["name"], p["items"]
    db = KafkaDB(p["conf"], [name], p["db"], **quiet_store_kwargs())
    db.read_your_writes = True
    producer = Producer(p["conf"])
    failures = []

    def report(err, _msg):
        if err is not None:
            failures.append(err)

    try:
        payload = [(key_of(i).encode(), value_of(i)) for i in range(items)]
        document = [json.loads(v) for _k, v in payload]
        mappings = iter([{f"bulk{r}-{key_of(i)}": document[i] for i in range(items)} for r in range(2 + p["reps"])])
        rounds = iter(range(1_000_000))
        unseen = []

        def store_bulk():
            mapping = next(mappings)
            db[name] = mapping
            # The last key and a sample: read right after the call returned.
            keys = list(mapping)[-1::-max(1, items // 100)]
            unseen.append(sum(db.get_collection_value(name, k) is None for k in keys))

        def bare_bulk():
            r = f"bare{next(rounds)}-"
            for i in range(items):
                producer.produce(p["base_topic"], value=json.dumps(document[i]), key=(r + key_of(i)).encode(),
                                 on_delivery=report)
            producer.flush()
            if failures:
                raise KafkaException(failures[0])

        samples = take_turns({"produce": bare_bulk, "store": store_bulk}, 1, p["reps"])
    finally:
        stop_store(db)
    return {"bulk": samples, "unseen": sum(unseen)}


class BareReadBack:
    """The bare client doing what a write with read_your_writes does: produce, wait for the record's own delivery
    report (served by a polling thread), then for a consumer thread of the process to have applied its offset."""

    def __init__(self, conf: dict, topic: str):
        from confluent_kafka import Consumer, Producer, TopicPartition
        # Idempotent, as the store's producer, so a retried record cannot overtake a later one; no linger, which
        # suits a lone writer best.
        self.producer = Producer({**conf, "enable.idempotence": True, "linger.ms": 0})
        self.consumer = Consumer({**conf, "group.id": f"bare-{uuid.uuid4().hex}", "enable.auto.commit": False})
        self.consumer.assign([TopicPartition(topic, 0, 0)])
        self.topic, self.data, self.applied = topic, {}, -1
        self.changed, self.running = threading.Condition(), True
        self.threads = [threading.Thread(target=self._consume), threading.Thread(target=self._poll)]
        for t in self.threads:
            t.start()

    def _consume(self):
        while self.running:
            msgs = self.consumer.consume(1, 0.1)
            if msgs:
                msgs += self.consumer.consume(1000, 0)
            for m in msgs:
                if m.error() is None:
                    self.data[m.key()] = m.value()
                    with self.changed:
                        self.applied = m.offset()
                        self.changed.notify_all()

    def _poll(self):
        while self.running:
            self.producer.poll(0.05)

    def write(self, key: bytes, value: bytes) -> None:
        from confluent_kafka import KafkaException
        delivered, report = threading.Event(), []

        def on_delivery(err, msg):
            report.append((err, msg.offset()))
            delivered.set()

        self.producer.produce(self.topic, value=value, key=key, on_delivery=on_delivery)
        delivered.wait()
        err, offset = report[0]
        if err is not None:
            raise KafkaException(err)
        with self.changed:
            self.changed.wait_for(lambda: self.applied >= offset)

    def close(self):
        self.running = False
        for t in self.threads:
            t.join()
        self.consumer.close()


def child_threads(p: dict) -> dict:
    """Single-key writes with read_your_writes from 8 threads at once and from 1, each checked right after; the
    bare client doing the same from as many threads, for information."""
    from quarnel_kafka_kv.quillet import KafkaJsonCompaction
    name, count, threads = p["name"], p["count"], p["threads"]
    store = KafkaJsonCompaction(p["conf"], [name], p["db"], **quiet_store_kwargs())
    store.read_your_writes = True
    bare = BareReadBack(p["conf"], p["base_topic"])
    rounds = iter(range(1_000_000))
    unseen = [0]

    def writer(r, t):
        for i in range(count):
            key = f"r{r}-t{t}-{i % 10}"
            store.set_collection_value(name, key, i)
            if store.get_collection_value(name, key) != i:
                unseen[0] += 1

    def bare_writer(r, t):
        for i in range(count):
            key = f"r{r}-t{t}-{i % 10}".encode()
            bare.write(key, str(i).encode())
            if bare.data.get(key) != str(i).encode():
                unseen[0] += 1

    def run(target, n):
        r = next(rounds)
        workers = [threading.Thread(target=target, args=(r, t)) for t in range(n)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    try:
        samples = take_turns({"many": lambda: run(writer, threads), "one": lambda: run(writer, 1),
                              "bare_many": lambda: run(bare_writer, threads), "bare_one": lambda: run(bare_writer, 1)},
                             1, p["reps"])
    finally:
        bare.close()
        stop_store(store)
    # Time per write.
    return {kind: [x / ((threads if kind.endswith("many") else 1) * count) for x in runs]
            for kind, runs in samples.items()} | {"unseen": unseen[0]}


LOAD_SCRIPT = """\
import json, sys
from confluent_kafka import KafkaException, Producer
conf, topic, path = json.loads(sys.argv[1]), sys.argv[2], sys.argv[3]
producer, failures = Producer(conf), []
def report(err, _msg):
    if err is not None:
        failures.append(err)
with open(path, encoding="utf-8") as f:
    for line in f:
        if line.strip():
            record = json.loads(line)
            value = record["value"]
            producer.produce(topic, key=record["key"].encode(), value=b"" if value is None else json.dumps(value),
                             on_delivery=report)
producer.flush()
if failures:
    raise KafkaException(failures[0])
"""


def load_case(conf: dict, db: str, lines: int, reps: int, client: list[str], workdir: Path) -> list[Row]:
    """The command line's load of a JSON-lines file, whole command, against a script producing the same lines."""
    source, script = workdir / "load.jsonl", workdir / "load_script.py"
    source.write_text("".join(json.dumps({"key": key_of(i), "value": json.loads(value_of(i))}) + "\n"
                              for i in range(lines)))
    script.write_text(LOAD_SCRIPT)
    base_topic = f"{db}.load-base"
    create_topic(conf, base_topic)
    options = [arg for prop in client for arg in ("-X", prop)]
    store = [sys.executable, "-m", "quarnel_kafka_kv", "-b", conf["bootstrap.servers"], *options, "--db", db,
             "load", "load", str(source)]
    bare = [sys.executable, str(script), json.dumps(conf), base_topic, str(source)]

    def run(cmd):
        # Not from the checkout root, where the source folder would shadow the installed package.
        subprocess.run(cmd, check=True, capture_output=True, cwd=workdir, timeout=600)

    samples = take_turns({"store": lambda: run(store), "bare": lambda: run(bare)}, 1, reps)
    return pair("load, whole command", f"{lines:,}", "quarnel-kv load FILE", samples["store"],
                "python script: json.loads per line, produce, one flush (baseline)", samples["bare"], target=3.0,
                per=lines)


CHILDREN = {"replay_store": child_replay_store, "replay_bare": child_replay_bare, "reads": child_reads,
            "writes": child_writes, "visible_writes": child_visible_writes, "latency": child_latency,
            "construct_bare": child_construct_bare, "bulk": child_bulk, "threads": child_threads,
            "collections_store": child_collections_store, "collections_bare": child_collections_bare}


def child_main(kind: str, params: str) -> None:
    result = CHILDREN[kind](json.loads(params))
    sys.stdout.flush()
    print(RESULT_MARK + json.dumps(result), flush=True)


def run_child(kind: str, params: dict, timeout: float = 900) -> dict:
    # faulthandler: a child that crashes says where.
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-u", str(Path(__file__).resolve()), "--child", kind,
                           json.dumps(params)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout)
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith(RESULT_MARK):
            if proc.returncode != 0:
                break
            return json.loads(line[len(RESULT_MARK):])
    raise RuntimeError(f"benchmark child {kind} failed (status {proc.returncode}):\n"
                       f"{proc.stdout[-3000:]}\n{proc.stderr[-3000:]}")


# ------------------------------------------------------------------------------------------ broker set-up


def create_topic(conf: dict, topic: str) -> None:
    from quarnel_kafka_kv.dorrow import Admin
    # Admin reports each step on stdout, which is kept for the table.
    with contextlib.redirect_stdout(io.StringIO()):
        Admin(conf).create_or_update_topic(topic, 1, 3, TOPIC_SETTINGS)


def load_topic(conf: dict, topic: str, n: int) -> float:
    """Fills a topic with n distinct keys through a plain batching producer; returns the seconds taken."""
    from confluent_kafka import KafkaException, Producer
    create_topic(conf, topic)
    producer = Producer({**conf, "linger.ms": 50, "batch.num.messages": 10000,
                         "queue.buffering.max.messages": 500000, "queue.buffering.max.kbytes": 1048576})
    failures = []

    def report(err, _msg):
        if err is not None:
            failures.append(err)

    t0 = time.perf_counter()
    for i in range(n):
        key, value = key_of(i).encode(), value_of(i)
        while True:
            try:
                producer.produce(topic, value=value, key=key, on_delivery=report)
                break
            except BufferError:
                producer.poll(0.05)
        if i % 10000 == 0:
            producer.poll(0)
    producer.flush()
    if failures:
        raise KafkaException(failures[0])
    return time.perf_counter() - t0


def delete_topics(conf: dict, topics: list[str]) -> None:
    from confluent_kafka.admin import AdminClient
    admin = AdminClient(conf)  # kept alive until every answer is in
    # In parts: a request for thousands of topics outlasts the request time-out.
    for start in range(0, len(topics), 500):
        for f in admin.delete_topics(topics[start:start + 500], operation_timeout=30).values():
            try:
                f.result()
            except Exception as e:  # a leftover topic is worth a line, not a failed run
                print(f"could not delete a benchmark topic: {e}", file=sys.stderr)


def clear_away(conf: dict, topics: list[str], probe: str) -> None:
    """Deletes the topics and waits until the broker has stopped their partitions: a broker applies changes to
    its metadata one after another, so a topic created next has a leader only after that."""
    from confluent_kafka.admin import AdminClient, NewTopic
    delete_topics(conf, topics)
    admin = AdminClient(conf)  # kept alive until its answer is in
    admin.create_topics([NewTopic(probe, 1, 1)])[probe].result()
    await_leaders(conf, [probe])
    delete_topics(conf, [probe])


def await_leaders(conf: dict, topics: list[str], timeout: float = 900) -> None:
    """Until every partition of the topics answers for its end offset. A broker lists new topics before it has
    created their logs, which it then does one after another (about 100 a second on a busy 2-core machine), and a
    creation that follows waits behind them: each run of the many-collections case starts on a settled broker."""
    from confluent_kafka import KafkaException, TopicPartition
    from confluent_kafka.admin import AdminClient, OffsetSpec
    admin = AdminClient(conf)
    pending = [TopicPartition(t, 0) for t in topics]
    deadline = time.monotonic() + timeout
    while pending:
        answers = admin.list_offsets({tp: OffsetSpec.latest() for tp in pending})
        left = []
        for tp, f in answers.items():
            try:
                f.result()
            except KafkaException:
                left.append(tp)
        pending = left
        if pending and time.monotonic() > deadline:
            raise RuntimeError(f"{len(pending)} partitions still have no leader after {timeout:.0f} s")
        time.sleep(0.2 if pending else 0)


# ------------------------------------------------------------------------------------------ report


@dataclass
class Row:
    case: str
    size: str
    subject: str
    samples: list[float]
    unit: str  # "s" (shown as s/ms/µs), "MB"
    ratio: float | None = None
    target: float | None = None  # on the ratio
    note: str = ""
    baseline: bool = False
    limit: float | None = None  # on the median itself, in the row's unit

    @property
    def met(self) -> bool | None:
        if self.limit is not None:
            return self.median <= self.limit
        if self.target is None or self.ratio is None:
            return None
        return self.ratio <= self.target

    @property
    def median(self) -> float:
        return statistics.median(self.samples)


def show_time(s: float) -> str:
    if s >= 1:
        return f"{s:.2f} s"
    if s >= 1e-3:
        return f"{s * 1e3:.2f} ms"
    return f"{s * 1e6:.2f} µs"


def show(v: float, unit: str) -> str:
    return f"{v / 2**20:.1f} MiB" if unit == "MB" else show_time(v)


def table(rows: list[Row]) -> str:
    head = ["case", "size", "subject", "median", "min – max", "ratio", "target", "met", "notes"]
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join("---" for _ in head) + "|"]
    for r in rows:
        ratio = "baseline" if r.baseline else ("" if r.ratio is None else f"{r.ratio:.2f}")
        target = (f"≤ {show(r.limit, r.unit)}" if r.limit is not None
                  else "" if r.target is None else f"≤ {r.target:g}")
        met = "" if r.met is None else ("yes" if r.met else "**no**")
        span = f"{show(min(r.samples), r.unit)} – {show(max(r.samples), r.unit)}"
        cells = [r.case, r.size, r.subject, show(r.median, r.unit), span, ratio, target, met, r.note]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def per_item(samples: list[float], per: int) -> str:
    each = statistics.median(samples) / per
    return f"{show_time(each)} per item" if each >= 1e-3 else f"{each * 1e6:.3f} µs per item"


def pair(case: str, size: str, subject: str, samples: list[float], base_subject: str, base: list[float],
         unit: str = "s", target: float | None = None, per: int = 0) -> list[Row]:
    """A subject row with its ratio to the baseline row that follows it."""
    note = note_base = ""
    if per:
        note, note_base = per_item(samples, per), per_item(base, per)
    row = Row(case, size, subject, samples, unit, statistics.median(samples) / statistics.median(base), target, note)
    return [row, Row(case, size, base_subject, base, unit, note=note_base, baseline=True)]


def machine() -> dict:
    info = {"cores": os.cpu_count(), "cpu": platform.processor() or platform.machine(), "memory": "?"}
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                info["cpu"] = line.split(":", 1)[1].strip()
                break
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal:"):
                info["memory"] = f"{int(line.split()[1]) / 2**20:.1f} GiB"
                break
    except OSError:
        pass
    info["load"] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return info


def tooling():
    """tools/kafka/cluster.py, which starts brokers and knows the pinned Kafka version."""
    sys.path.insert(0, str(ROOT / "tools" / "kafka"))
    try:
        import cluster
        return cluster
    finally:
        sys.path.pop(0)


def kafka_version() -> str:
    try:
        return tooling().kafka_version()
    except Exception:
        return "unknown"


def rebalance_delay(conf: dict) -> str:
    """The broker's group.initial.rebalance.delay.ms, the fixed part of a group join's wait."""
    from confluent_kafka import KafkaException
    from confluent_kafka.admin import AdminClient, ConfigResource
    admin = AdminClient(conf)
    try:
        broker = min(admin.list_topics(timeout=10).brokers)
        resource = ConfigResource(ConfigResource.Type.BROKER, str(broker))
        return admin.describe_configs([resource])[resource].result(10)["group.initial.rebalance.delay.ms"].value
    except KafkaException as e:  # a cluster that refuses the description still gets measured
        return f"unknown ({e.args[0].name()})"


def git_revision() -> str:
    try:
        rev = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True,
                             timeout=10).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], cwd=ROOT,
                               capture_output=True, text=True, timeout=10).stdout.strip()
        return rev + (" with uncommitted changes" if dirty else "") if rev else "unknown"
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def properties_text(props: dict) -> str:
    return ", ".join(f"{k}={v}" for k, v in props.items()) or "none: client defaults"


def report(rows: list[Row], args, bootstrap: str, defaults_broker: str, started: dict, load_notes: list[str],
           growth_note: str, collections_note: str, elapsed: float) -> str:
    import confluent_kafka
    mode = "quick" if args.quick else f"--only {args.only}" if args.only else "full"
    extra = dict(prop.split("=", 1) for prop in args.client)
    client = confluent_kafka.version()
    client = client if isinstance(client, str) else client[0]
    lines = [
        "# Benchmark results",
        "",
        f"`bench/run.py` ({mode} run, {args.reps} repetitions after a warm-up), "
        f"{time.strftime('%Y-%m-%d %H:%M %Z')}, revision {git_revision()}, {elapsed:.0f} s in all.",
        "",
        f"- Machine: {started['cores']} cores ({started['cpu']}), {started['memory']} memory, "
        f"{platform.system()} {platform.release()}; load average at the start {started['load']}, "
        f"at the end {machine()['load']}",
        f"- Kafka {kafka_version()} (version pinned in tools/kafka/pom.xml), broker(s) {bootstrap}"
        + "".join(f", client property {k}={v}" for k, v in sorted(extra.items()))
        + f"; for construction also {defaults_broker}",
        f"- confluent_kafka {client}, librdkafka {confluent_kafka.libversion()[0]}, "
        f"Python {platform.python_version()} ({platform.python_implementation()})",
        f"- Data: {VALUE_SIZE}-byte JSON values under distinct keys, loaded by a batching producer "
        f"({'; '.join(load_notes)})",
        f"- The store's consumer properties as this run assumes them (`STORE_CONSUMER_PROPERTIES`): "
        f"{properties_text(STORE_CONSUMER_PROPERTIES)}",
        "",
        table(rows),
        "",
        *([f"Replay time per added key between sizes (medians; equal steps mean linear growth): {growth_note}.", ""]
          if growth_note else []),
        *([f"Start-up time per added collection between sizes (medians): {collections_note}.", ""]
          if collections_note else []),
        "Ratios are the store's median over its baseline's median, both measured in this run, taking turns. "
        "A target with a unit applies to the median itself.",
        "",
        "- reads: every key once in random order; baseline `json.loads` of the same stored bytes. Missing key: "
        "`get_collection_value` of as many keys absent from the collection; baseline a Python function "
        "`get(name, key)` doing `with lock: return d.get(key)` on a dict of the same size, called in the same loop.",
        "- keys: `get_collection_keys`; baseline `[k.decode() for k in stored]` over the same dict.",
        "- status: `status()` called 1,000 times in a loop, for information, against as many reads of one key; "
        "status() takes no lock that reads take and reads run no code of it, so the read rows above are its cost "
        "on the read path.",
        "- construction: the `KafkaJsonCompaction` constructor call alone over one existing collection topic of "
        f"{START_KEYS} keys, in a fresh process per run (imports excluded); baseline: bare `confluent_kafka` clients "
        "doing the same work in a fresh process: an AdminClient describing the topic's metadata and configuration, "
        "a Producer, and a Consumer with the store's consumer properties that assigns every partition from its "
        "start and consumes until its position reaches the end offsets read with `get_watermark_offsets`. Once on "
        "the test broker (as the tests start it: no initial rebalance delay, a fast log cleaner) and once on a "
        "broker with Kafka's default settings (`tools/kafka/cluster.py start --kafka-defaults`). The notes give "
        "the broker's group.initial.rebalance.delay.ms and the warm-up run, the first on the topic.",
        "- replay: construction until it returns with every key in memory, in a fresh process per run, against "
        "two baselines. The first is a Python loop over a subscribed `confluent_kafka.Consumer` with the client's "
        "defaults (only the store's fixed consumer entries), one message per `consume` call, each put in a dict "
        "under a lock, until every assigned partition reported its end. The second is the client's own batched "
        "loop with the store's consumer properties: every partition assigned from its start, 1,000 messages per "
        "call, until the position reaches the end offsets read before the first fetch; the row \"same runs\" "
        "holds the same store runs against it. The store's time includes its topic check. CPU is the process's "
        "CPU time over the same span, all threads. Below about 100,000 keys the subscribed loop's time is mostly "
        "fixed: the group join, and the broker holding the last fetch for fetch.wait.max.ms (500 ms) before the "
        "client reports the partition's end. With its defaults the client fetches a single partition's records at "
        "about 100,000 per second (queued.min.messages per fetch.queue.backoff.ms), which bounds the first "
        "baseline at 1,000,000 keys.",
        "- memory: resident-set growth (VmRSS) over the replay of the largest size, in the same fresh processes, "
        "read once the allocator has handed back what the replay freed (`malloc_trim`): what stays is the data "
        "and the clients; baseline the one-per-call loop. The growth before trimming varies from run to run with "
        "the allocator's timing.",
        "- writes: `set_collection_value` with `publish_pause_s = 0`, one thread, new keys; baseline a producer "
        "with the same configuration doing `produce` (with a delivery report) and `flush` per record on a topic "
        "that a consumer thread of the process reads back, as the store's own consumer thread reads back its "
        "writes (that thread's share of the GIL and of the two cores is part of every write of a store); for "
        "information, the same producer with no reader in the process.",
        "- writes, read_your_writes: a store with `read_your_writes = True` and the default `publish_pause_s` "
        "(1 s, the bound of its wait). One `set_collection_value` of a new key is timed until it returns, taking "
        "turns write by write with one `produce` + `flush` of the baseline producer; median and p99 per write. "
        "`db[name] = mapping`: a dict of new keys merged until the call returns (target: under 2 s for 1,000 "
        "items), against `produce` + `flush` of as many records one by one. The notes count the keys that a read "
        "right after the call did not find.",
        "- latency: a write in one store until a second store on the same topic runs its collection callback.",
        "- replay peak memory: the peak resident set (`getrusage` ru_maxrss) of the fresh process that replays, "
        "imports included, so both sides start from the same interpreter and extension modules; the store's "
        "construction against the batched loop with the client's default fetch queue (queued.max.messages.kbytes "
        "65536, what a plain loop over the client gets), and for information the batched loop with the store's "
        "consumer properties (its bounded fetch queue).",
        "- bulk merge: `db[name] = mapping` of new keys with `read_your_writes` until it returns (every key "
        "readable then; the note counts sampled keys a read right after did not find); baseline a batching "
        "`Producer` with the same configuration turning the same documents into the same records (`json.dumps` of "
        "each value, the encoded key) and flushing once.",
        "- load: `quarnel-kv load` of a JSON-lines file, the whole command in a fresh process (interpreter start, "
        "store construction, the writes read back, shutdown); baseline a Python script in a fresh process that "
        "reads the same file, `json.loads` each line, produces `json.dumps` of its value and flushes once.",
        "- threads: single-key writes with `read_your_writes` (default pause), 8 threads at once against 1 thread "
        "alone, per write; each write checked by a read right after it returned. The target is on the time per "
        "write: 0.25 means 4 times the writes per second. For information, the bare client doing the same work "
        "from as many threads in the same run: an idempotent producer without linger, each writer waiting for its "
        "record's delivery report (served by a polling thread) and then for a consumer thread of the process "
        "to have applied that offset.",
        "- collections: the `KafkaJsonCompaction` constructor call alone over as many collections (the store "
        "printing its lines as by default), in a fresh process per run (imports excluded), on the test broker. New "
        "database: every topic missing, a new database per run; baseline the bare client's share of the same work "
        "in a fresh process: one `describe_cluster` (how many brokers), one `create_topics` of every topic with "
        "the store's settings at min(3, brokers) replicas, then a wait until `describe_topics` answers for them "
        f"all, looking every {LISTING_WAIT * 1000:g} ms. Existing database: empty topics already in shape; "
        "baseline one `describe_topics` and one `describe_configs` of all topics, one `list_offsets` of every "
        "partition's end, a Producer, and a Consumer with the store's consumer properties assigned to every "
        "partition. Every run starts once the broker has settled: it lists new topics before it has created their "
        "logs, which it then creates one after another, and a creation that follows waits behind them; the run "
        "waits (untimed) until every partition of the previous one answers for its end offset, then deletes that "
        "database and waits until a topic created after the deletion has a leader (the broker applies its "
        "metadata changes in order).",
        "",
    ]
    return "\n".join(lines)


# ------------------------------------------------------------------------------------------ main


START_KEYS = 500
CASES = ("reads", "construction", "replay", "peak", "writes", "visible", "latency", "bulk", "load", "threads",
         "collections")
# Collections per database in the many-collections case, and how often the bare client looks whether the metadata
# lists the topics it created: the store's own wait looks every 0.1 s.
COLLECTION_COUNTS = (100, 1000)
LISTING_WAIT = 0.01


def p99(samples: list[float]) -> float:
    return sorted(samples)[min(len(samples) - 1, int(round(0.99 * (len(samples) - 1))))]


def children_in_turns(runs: dict, reps: int) -> tuple[dict[str, list[dict]], dict[str, dict]]:
    """Every fresh-process run once as a warm-up, then `reps` rounds in a rotating order; returns both."""
    warm = {name: run() for name, run in runs.items()}
    names = list(runs)
    results: dict[str, list[dict]] = {name: [] for name in names}
    for rep in range(reps):
        k = rep % len(names)
        for name in names[k:] + names[:k]:
            results[name].append(runs[name]())
    return results, warm


def construction_case(conf: dict, db: str, reps: int, case: str, target: float | None) -> list[Row]:
    params = {"conf": conf, "db": db, "name": f"keys{START_KEYS}", "n": START_KEYS}
    results, warm = children_in_turns({"store": lambda: run_child("replay_store", params),
                                       "bare": lambda: run_child("construct_bare", params)}, reps)
    secs = {k: [x["seconds"] for x in v] for k, v in results.items()}
    rows = pair(case, f"{START_KEYS}", "KafkaJsonCompaction()", secs["store"], "bare clients, same work (baseline)",
                secs["bare"], target=target)
    rows[0].note = (f"broker's group.initial.rebalance.delay.ms {rebalance_delay(conf)}; "
                    f"warm-up {show_time(warm['store']['seconds'])}")
    rows[1].note = f"warm-up {show_time(warm['bare']['seconds'])}"
    return rows


def collections_case(conf: dict, db: str, counts: tuple[int, ...], reps: int, topics: list[str],
                     log) -> tuple[list[Row], str]:
    """Opening a database of n collections, new and existing, against the bare client's share of the same work,
    each run in a fresh process on a settled broker. Each new database is deleted after its run: thousands of
    topics more per run would exhaust the test broker's heap."""
    from quarnel_kafka_kv.dorrow import Admin
    rows: list[Row] = []
    medians: dict[tuple[str, str, int], float] = {}
    for n in counts:
        made = iter(range(1_000_000))

        def new(kind: str) -> dict:
            name = f"{db}-{kind}{n}-{next(made)}"
            made_now = collection_topics(name, n)
            topics.extend(made_now)
            result = run_child(f"collections_{kind}", {"conf": conf, "db": name, "n": n, "new": True})
            log(f"  {kind}: {show_time(result['seconds'])}")
            await_leaders(conf, made_now)
            clear_away(conf, made_now, f"{db}-probe{n}-{next(made)}")
            del topics[-n:]
            return result

        log(f"{n:,} collections, new database")
        results, _ = children_in_turns({"store": lambda: new("store"), "bare": lambda: new("bare")}, reps)
        secs = {k: [x["seconds"] for x in v] for k, v in results.items()}
        rows += pair("collections, new database", f"{n:,}", "KafkaJsonCompaction()", secs["store"],
                     "bare client, same work (baseline)", secs["bare"], target=1.5, per=n)
        medians.update({("new", k, n): statistics.median(v) for k, v in secs.items()})

        log(f"{n:,} collections, existing database")
        existing = f"{db}-existing{n}"
        topics.extend(collection_topics(existing, n))
        with contextlib.redirect_stdout(io.StringIO()):
            Admin(conf).create_or_update_topics(collection_topics(existing, n), 1, 3, TOPIC_SETTINGS)
        await_leaders(conf, collection_topics(existing, n))
        params = {"conf": conf, "db": existing, "n": n, "new": False}
        results, _ = children_in_turns({"store": lambda: run_child("collections_store", params),
                                        "bare": lambda: run_child("collections_bare", params)}, reps)
        secs = {k: [x["seconds"] for x in v] for k, v in results.items()}
        rows += pair("collections, existing database", f"{n:,}", "KafkaJsonCompaction()", secs["store"],
                     "bare client, same work (baseline)", secs["bare"], target=1.5, per=n)
        medians.update({("existing", k, n): statistics.median(v) for k, v in secs.items()})
    steps = []
    for a, b in zip(counts, counts[1:]):
        for case in ("new", "existing"):
            grow = {k: (medians[(case, k, b)] - medians[(case, k, a)]) / (b - a) for k in ("store", "bare")}
            steps.append(f"{case} database {a:,} → {b:,}: store {grow['store'] * 1e3:.2f} ms, bare client "
                         f"{grow['bare'] * 1e3:.2f} ms")
    return rows, "; ".join(steps)


def replay_case(conf: dict, db: str, n: int, reps: int, targets: bool, peaks: bool = False) -> tuple[list[Row], dict]:
    """Store, one-per-call loop and batched loop replaying n keys, each run in a fresh process, taking turns."""
    params = {"conf": conf, "db": db, "name": f"keys{n}", "n": n}
    results, _ = children_in_turns({"store": lambda: run_child("replay_store", params),
                                    "bare": lambda: run_child("replay_bare", {**params, "batched": False}),
                                    "batched": lambda: run_child("replay_bare", {**params, "batched": True})}, reps)
    secs = {k: [x["seconds"] for x in v] for k, v in results.items()}
    size = f"{n:,}"
    rows = pair("replay", size, "KafkaJsonCompaction()", secs["store"],
                "bare loop, 1 per call, client defaults (baseline)", secs["bare"],
                target=0.35 if targets else None, per=n)
    rows += pair("replay", size, "KafkaJsonCompaction(), same runs", secs["store"],
                 "batched loop, the store's consumer properties (baseline)", secs["batched"],
                 target=1.15 if targets else None, per=n)
    for row, kind in zip(rows, ("store", "bare", "store", "batched")):
        row.note += f"; CPU {statistics.median(x['cpu'] for x in results[kind]):.2f} s"
    if peaks:
        more, _ = children_in_turns({"client queue": lambda: run_child(
            "replay_bare", {**params, "batched": True, "extra": CLIENT_QUEUE_DEFAULT})}, reps)
        peak = {k: [x["peak_rss"] for x in v] for k, v in {**results, **more}.items()}
        rows += pair("replay peak memory", size, "KafkaJsonCompaction()", peak["store"],
                     "batched loop, the client's default fetch queue (baseline)", peak["client queue"], unit="MB",
                     target=1.0)
        rows.append(Row("replay peak memory", size, "batched loop, the store's consumer properties (information)",
                        peak["batched"], "MB", statistics.median(peak["batched"]) / statistics.median(
                            peak["client queue"])))
    return rows, results


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes for a smoke run of every case")
    ap.add_argument("--reps", type=int, help="timed repetitions per case (default 5, quick 3)")
    ap.add_argument("--sizes", help="replay sizes, comma-separated (default 10000,100000,1000000; quick 10000)")
    ap.add_argument("--collections", help="collections per database in the many-collections case, comma-separated "
                                           "(default 100,1000; quick 10,30)")
    ap.add_argument("--output", default=str(ROOT / "bench" / "RESULTS.md"), help="where to write the table")
    ap.add_argument("--bootstrap", default=os.environ.get("QUARNEL_KAFKA_BOOTSTRAP"),
                    help="Kafka bootstrap servers (default: $QUARNEL_KAFKA_BOOTSTRAP)")
    ap.add_argument("--defaults-bootstrap", default=os.environ.get("QUARNEL_KAFKA_DEFAULTS_BOOTSTRAP"),
                    help="a broker with Kafka's default settings for the construction case (default: "
                         "$QUARNEL_KAFKA_DEFAULTS_BOOTSTRAP; without it the run starts one for that case)")
    ap.add_argument("--keep-topics", action="store_true", help="leave the benchmark topics on the cluster")
    ap.add_argument("--only", metavar="CASE[,CASE]", help="run only these cases: " + ", ".join(CASES))
    ap.add_argument("--client", action="append", default=[], metavar="KEY=VALUE",
                    help="an extra client property for every client of the run (repeatable)")
    args = ap.parse_args(argv)
    only = set(args.only.split(",")) if args.only else set(CASES)
    if only - set(CASES):
        ap.error(f"--only: unknown cases {', '.join(sorted(only - set(CASES)))}")
    if not args.bootstrap:
        ap.error("name the cluster with --bootstrap or QUARNEL_KAFKA_BOOTSTRAP (tools/bench.sh starts one)")
    args.reps = args.reps or (3 if args.quick else 5)
    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else ([10_000] if args.quick
                                                                        else [10_000, 100_000, 1_000_000])
    read_size = min(sizes, key=lambda n: abs(n - 100_000))
    writes = 200 if args.quick else 2000
    visible_writes = 20 if args.quick else 500
    mapping_items = 10 if args.quick else 1000
    latency_samples = 50 if args.quick else 500
    bulk_items = 2000 if args.quick else 20_000
    load_lines = 2000 if args.quick else 20_000
    thread_writes = 20 if args.quick else 100
    peak_keys = 20_000 if args.quick else 200_000

    conf = {"bootstrap.servers": args.bootstrap}
    for prop in args.client:
        key, sep, value = prop.partition("=")
        if not sep:
            ap.error(f"--client {prop}: expected KEY=VALUE")
        conf[key] = value
    started = machine()
    t_start = time.perf_counter()
    db = "bench" + uuid.uuid4().hex[:8]
    topics: list[str] = []
    rows: list[Row] = []
    load_notes = []
    collections_note = ""
    defaults_broker = "a broker with Kafka's default settings"

    def log(msg: str) -> None:
        print(f"[{time.perf_counter() - t_start:6.1f}s] {msg}", file=sys.stderr, flush=True)

    try:
        loads = ([START_KEYS] if "construction" in only else []) + (sizes if only & {"reads", "replay"} else [])
        for n in loads + ([peak_keys] if "peak" in only and peak_keys not in loads else []):
            topic = f"{db}.keys{n}"
            topics.append(topic)
            seconds = load_topic(conf, topic, n)
            load_notes.append(f"{n:,} records in {seconds:.1f} s")
            log(f"loaded {n:,} records into {topic} in {seconds:.1f} s")

        # In-memory cases first: their two replays also warm the broker's page cache.
        r = {} if "reads" not in only else run_child("reads", {"conf": conf, "db": db, "name": f"keys{read_size}",
                                                               "n": read_size, "reps": args.reps,
                                                               "key_reps": args.reps * 4})
        size = f"{read_size:,}"
        if r:
            log(f"reads and key listing on {read_size:,} keys")
            rows += pair("reads", size, "get_collection_value", r["reads"]["store"], "json.loads (baseline)",
                         r["reads"]["loads"], target=1.1, per=read_size)
            rows += pair("reads", size, "db[name][key]", r["reads"]["db"], "json.loads (baseline)",
                         r["reads"]["loads"], target=1.25, per=read_size)[:1]
            rows += pair("reads", size, "get_collection_value, missing key", r["misses"]["store"],
                         "Python get(name, key): with lock: d.get(key) (baseline)", r["misses"]["python"],
                         target=1.0, per=read_size)
            rows += pair("keys", size, "get_collection_keys", r["keys"]["store"],
                         "[k.decode() for k in keys] (baseline)", r["keys"]["decode"], target=0.8, per=read_size)
            rows += pair("status", f"{STATUS_CALLS:,}", "status() (information)", r["status"]["status"],
                         "get_collection_value of one key (baseline)", r["status"]["read"], per=STATUS_CALLS)

        if "construction" in only:
            log(f"construction over {START_KEYS} keys, test broker")
            rows += construction_case(conf, db, args.reps, "construction, test broker", None)
        with contextlib.ExitStack() as broker:
            if "construction" in only:
                if args.defaults_bootstrap:
                    dconf = {**conf, "bootstrap.servers": args.defaults_bootstrap}
                    defaults_broker += f" {args.defaults_bootstrap}"
                else:
                    log("starting a broker with Kafka's default settings")
                    cluster = broker.enter_context(tooling().KafkaCluster(nodes=1, kafka_defaults=True))
                    dconf = {**conf, "bootstrap.servers": cluster.bootstrap}
                    defaults_broker += " started by the run"
                topic = f"{db}.keys{START_KEYS}"
                load_topic(dconf, topic, START_KEYS)
                try:
                    log(f"construction over {START_KEYS} keys, broker with Kafka's default settings")
                    rows += construction_case(dconf, db, args.reps, "construction, Kafka's defaults", 1.5)
                finally:
                    if args.defaults_bootstrap and not args.keep_topics:
                        delete_topics(dconf, [topic])

        memory = {}
        growth_note = ""
        if "replay" in only:
            for n in sizes:
                log(f"replay of {n:,} keys")
                case_rows, memory[n] = replay_case(conf, db, n, args.reps, n == max(sizes) and n >= 1_000_000)
                rows += case_rows

            n = max(sizes)
            grow = {k: [x["rss_growth"] for x in v] for k, v in memory[n].items()}
            peak = {k: statistics.median(x["peak_rss"] for x in v) / 2**20 for k, v in memory[n].items()}
            raw = {k: statistics.median(x["raw_rss_growth"] for x in v) / 2**20 for k, v in memory[n].items()}
            mem_rows = pair("memory", f"{n:,}", "KafkaJsonCompaction()", grow["store"],
                            "bare loop, 1 per call, client defaults (baseline)", grow["bare"], unit="MB",
                            target=1.05 if n >= 1_000_000 else None)
            for row, kind in zip(mem_rows, ("store", "bare")):
                row.note = f"before trimming {raw[kind]:.1f} MiB; peak RSS {peak[kind]:.0f} MiB"
            rows += mem_rows
            if len(sizes) > 1:
                growth = []
                for kind, label in (("store", "store"), ("bare", "one-per-call loop"), ("batched", "batched loop")):
                    t = {k: statistics.median(x["seconds"] for x in memory[k][kind]) for k in sizes}
                    steps = [f"{a:,} → {b:,}: {(t[b] - t[a]) / (b - a) * 1e6:.2f} µs"
                             for a, b in zip(sizes, sizes[1:])]
                    growth.append(f"{label} {', '.join(steps)}")
                growth_note = "; ".join(growth)

        if "peak" in only:
            log(f"replay peak memory on {peak_keys:,} keys")
            rows += replay_case(conf, db, peak_keys, args.reps, False, peaks=True)[0]

        if "writes" in only:
            log(f"writes: {writes:,} per repetition")
            wtopic, btopic, ftopic = f"{db}.writes", f"{db}.writes-base", f"{db}.writes-followed"
            topics += [wtopic, btopic, ftopic]
            create_topic(conf, btopic)
            create_topic(conf, ftopic)
            w = run_child("writes", {"conf": conf, "db": db, "name": "writes", "base_topic": btopic,
                                     "followed_topic": ftopic, "count": writes, "reps": args.reps})["writes"]
            rows += pair("writes", f"{writes:,}", "set_collection_value, pause 0", w["store"],
                         "produce + flush per record, a consumer thread reading it back (baseline)", w["followed"],
                         target=1.1, per=writes)
            rows.append(Row("writes", f"{writes:,}", "produce + flush per record, no reader (information)",
                            w["produce"], "s", statistics.median(w["produce"]) / statistics.median(w["followed"]),
                            note=per_item(w["produce"], writes)))

        if "visible" in only:
            log(f"writes with read_your_writes: {visible_writes} single, a {mapping_items:,}-item mapping")
            vtopic, vbase = f"{db}.visible", f"{db}.visible-base"
            topics += [vtopic, vbase]
            create_topic(conf, vbase)
            v = run_child("visible_writes", {"conf": conf, "db": db, "name": "visible", "base_topic": vbase,
                                             "count": visible_writes, "items": mapping_items,
                                             "warmup": 2 if args.quick else 10, "reps": args.reps})
            lacking = "" if v["supported"] else "; the store has no read_your_writes: each write pauses publish_pause_s"
            one = pair("writes, read_your_writes", f"{visible_writes:,}", "one set_collection_value",
                       v["single"]["store"], "one produce + flush (baseline)", v["single"]["produce"], target=2.5)
            one[0].note = (f"per write; p99 {show_time(p99(v['single']['store']))}; "
                           f"{v['unseen']} of {visible_writes} not found right after" + lacking)
            one[1].note = f"per write; p99 {show_time(p99(v['single']['produce']))}"
            whole = pair("writes, read_your_writes", f"{mapping_items:,}", "db[name] = mapping", v["mapping"]["store"],
                         "produce + flush per record (baseline)", v["mapping"]["produce"], per=mapping_items)
            whole[0].limit = 2.0 if mapping_items == 1000 else None
            whole[0].note += f"; {v['mapping_unseen']} of {mapping_items * args.reps:,} not found right after" + lacking
            rows += one + whole

        if "latency" in only:
            log(f"latency: {latency_samples} writes")
            topics.append(f"{db}.latency")
            lat = run_child("latency", {"conf": conf, "db": db, "name": "latency", "samples": latency_samples,
                                        "warmup": 10})["latency"]
            rows.append(Row("latency", f"{latency_samples}", "write → second store's callback", lat, "s",
                            note=f"p99 {show_time(p99(lat))}"))

        if "bulk" in only:
            log(f"bulk merge of {bulk_items:,} new keys with read_your_writes")
            btopic = f"{db}.bulk-base"
            topics += [f"{db}.bulk", btopic]
            create_topic(conf, btopic)
            bk = run_child("bulk", {"conf": conf, "db": db, "name": "bulk", "base_topic": btopic, "items": bulk_items,
                                    "reps": args.reps})
            bulk = pair("bulk merge, read_your_writes", f"{bulk_items:,}", "db[name] = mapping, until readable",
                        bk["bulk"]["store"], "batching Producer: json.dumps, produce all, one flush (baseline)",
                        bk["bulk"]["produce"], target=2.0, per=bulk_items)
            bulk[0].note += f"; {bk['unseen']} sampled keys not found right after"
            rows += bulk

        if "load" in only:
            log(f"load of {load_lines:,} lines, whole command")
            topics += [f"{db}.load", f"{db}.load-base"]
            with tempfile.TemporaryDirectory() as workdir:
                rows += load_case(conf, db, load_lines, args.reps, args.client, Path(workdir))

        if "threads" in only:
            log(f"8 threads writing with read_your_writes, {thread_writes} writes each")
            ttopic = f"{db}.threads-base"
            topics += [f"{db}.threads", ttopic]
            create_topic(conf, ttopic)
            th = run_child("threads", {"conf": conf, "db": db, "name": "threads", "base_topic": ttopic,
                                       "count": thread_writes, "threads": 8, "reps": args.reps})
            size = f"8 × {thread_writes}"
            trows = pair("threads, read_your_writes", size, "8 threads: time per write",
                         th["many"], "1 thread: time per write (baseline)", th["one"], target=0.25)
            trows[0].note = (f"speed-up {statistics.median(th['one']) / statistics.median(th['many']):.1f}x; "
                             f"{th['unseen']} writes not read back right after (store and bare client)")
            trows += pair("threads, read_your_writes", size, "8 threads: time per write (information)", th["many"],
                          "bare client, 8 threads: time per write (baseline)", th["bare_many"])
            trows.append(Row("threads, read_your_writes", size, "bare client, 1 thread: time per write (information)",
                             th["bare_one"], "s", note=f"bare client's speed-up "
                             f"{statistics.median(th['bare_one']) / statistics.median(th['bare_many']):.1f}x"))
            rows += trows

        # Last: thousands of topics made and deleted leave the broker busy for a while.
        if "collections" in only:
            counts = (tuple(int(c) for c in args.collections.split(",")) if args.collections
                      else (10, 30) if args.quick else COLLECTION_COUNTS)
            case_rows, collections_note = collections_case(conf, db, counts, args.reps, topics, log)
            rows += case_rows
    finally:
        if not args.keep_topics:
            delete_topics(conf, topics)

    text = report(rows, args, args.bootstrap, defaults_broker, started, load_notes, growth_note, collections_note,
                  time.perf_counter() - t_start)
    print(text)
    Path(args.output).parent.mkdir(parents=True, exist_ok=True)
    Path(args.output).write_text(text)
    log(f"written to {args.output}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child_main(sys.argv[2], sys.argv[3])
    else:
        sys.exit(main())
