#!/usr/bin/env python3
"""Benchmarks of the store against the floor of its own Kafka client, measured in the same run.

Usage:  QUARNEL_KAFKA_BOOTSTRAP=host:port python bench/run.py [--quick] [--reps N] [--sizes N,N] [--output FILE]
(tools/bench.sh installs the package, starts a local broker and runs this.)

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
import threading
import time
import uuid
import warnings
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RESULT_MARK = "@@bench-result "
VALUE_SIZE = 100
# The store's topic settings, so the store finds its topics already in shape.
TOPIC_SETTINGS = {"cleanup.policy": "compact", "delete.retention.ms": "100", "segment.ms": "100",
                  "min.cleanable.dirty.ratio": "0.01"}

# The topic set-up uses the client's replacing config request on purpose.
warnings.filterwarnings("ignore", "alter_configs has been deprecated", DeprecationWarning)


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


def consumer_config(conf: dict) -> dict:
    """The configuration the store gives its own consumer."""
    c = dict(conf)
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


def bare_replay(conf: dict, topic: str, batch: int):
    """The floor: one consumer, one dict, one lock, ending when every assigned partition reported its end."""
    from confluent_kafka import Consumer, KafkaError, KafkaException
    data: dict = {}
    lock = threading.Lock()
    ends = set()
    consumer = Consumer(consumer_config(conf))
    consumer.subscribe([topic])
    while True:
        msgs = consumer.consume(num_messages=batch, timeout=0.1)
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


def child_replay_bare(p: dict) -> dict:
    # Same imports as the store's child, so both start from the same resident set.
    import quarnel_kafka_kv.quillet  # noqa: F401
    gc.collect()
    before = rss_bytes()
    cpu0, t0 = time.process_time(), time.perf_counter()
    consumer, data = bare_replay(p["conf"], f"{p['db']}.{p['name']}", p["batch"])
    seconds, cpu = time.perf_counter() - t0, time.process_time() - cpu0
    raw, settled = settled_rss_bytes()
    peak = peak_rss_bytes()
    consumer.close()
    if len(data) != p["n"]:
        raise RuntimeError(f"the bare loop holds {len(data)} keys after its replay, expected {p['n']}")
    return {"seconds": seconds, "cpu": cpu, "rss_growth": settled - before, "raw_rss_growth": raw - before,
            "peak_rss": peak}


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

        def baseline_keys():
            [k.decode() for k in stored]

        def store_keys():
            store.get_collection_keys(name)

        listing = take_turns({"decode": baseline_keys, "store": store_keys}, 2, p["key_reps"])
        if store.get_collection_keys(name) != [k.decode() for k in stored]:
            raise RuntimeError("get_collection_keys differs from the stored keys")
        if store.get_collection_value(name, keys[0]) != loads(raw[0]):
            raise RuntimeError("get_collection_value differs from the stored value")
    finally:
        stop_store(store)
        stop_store(db)
    return {"reads": reads, "keys": listing}


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


CHILDREN = {"replay_store": child_replay_store, "replay_bare": child_replay_bare, "reads": child_reads,
            "writes": child_writes, "latency": child_latency}


def child_main(kind: str, params: str) -> None:
    result = CHILDREN[kind](json.loads(params))
    sys.stdout.flush()
    print(RESULT_MARK + json.dumps(result), flush=True)


def run_child(kind: str, params: dict, timeout: float = 900) -> dict:
    proc = subprocess.run([sys.executable, "-u", str(Path(__file__).resolve()), "--child", kind, json.dumps(params)],
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
    for f in admin.delete_topics(topics, operation_timeout=30).values():
        try:
            f.result()
        except Exception as e:  # a leftover topic is worth a line, not a failed run
            print(f"could not delete a benchmark topic: {e}", file=sys.stderr)


# ------------------------------------------------------------------------------------------ report


@dataclass
class Row:
    case: str
    size: str
    subject: str
    samples: list[float]
    unit: str  # "s" (shown as s/ms/µs), "MB"
    ratio: float | None = None
    target: float | None = None
    note: str = ""
    baseline: bool = False

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
        target = "" if r.target is None else f"≤ {r.target:g}"
        met = "" if r.target is None or r.ratio is None else ("yes" if r.ratio <= r.target else "**no**")
        span = f"{show(min(r.samples), r.unit)} – {show(max(r.samples), r.unit)}"
        cells = [r.case, r.size, r.subject, show(r.median, r.unit), span, ratio, target, met, r.note]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def pair(case: str, size: str, subject: str, samples: list[float], base_subject: str, base: list[float],
         unit: str = "s", target: float | None = None, per: int = 0) -> list[Row]:
    """A subject row with its ratio to the baseline row that follows it."""
    note = note_base = ""
    if per:
        note = f"{statistics.median(samples) / per * 1e6:.3f} µs per item"
        note_base = f"{statistics.median(base) / per * 1e6:.3f} µs per item"
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


def kafka_version() -> str:
    sys.path.insert(0, str(ROOT / "tools" / "kafka"))
    try:
        import cluster
        return cluster.kafka_version()
    except Exception:
        return "unknown"
    finally:
        sys.path.pop(0)


def git_revision() -> str:
    try:
        rev = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True,
                             timeout=10).stdout.strip()
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], cwd=ROOT,
                               capture_output=True, text=True, timeout=10).stdout.strip()
        return rev + (" with uncommitted changes" if dirty else "") if rev else "unknown"
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def report(rows: list[Row], args, bootstrap: str, started: dict, load_notes: list[str], growth_note: str,
           elapsed: float) -> str:
    import confluent_kafka
    mode = "quick" if args.quick else "full"
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
        + "".join(f", client property {k}={v}" for k, v in sorted(extra.items())),
        f"- confluent_kafka {client}, librdkafka {confluent_kafka.libversion()[0]}, "
        f"Python {platform.python_version()} ({platform.python_implementation()})",
        f"- Data: {VALUE_SIZE}-byte JSON values under distinct keys, loaded by a batching producer "
        f"({'; '.join(load_notes)})",
        "",
        table(rows),
        "",
        *([f"Replay time per added key between sizes (medians; equal steps mean linear growth): {growth_note}.", ""]
          if growth_note else []),
        "Ratios are the store's median over its baseline's median, both measured in this run, taking turns.",
        "",
        "- replay: construction of a `KafkaJsonCompaction` until it returns with every key in memory, in a fresh "
        "process per run; baseline: a Python loop over a `confluent_kafka.Consumer` with the store's consumer "
        "configuration, one message per `consume` call, each put in a dict under a lock, until every assigned "
        "partition reported its end. The batched loop (1,000 per call) is the client's own ceiling, for "
        "information. The store's time includes its topic check and the constructor's 0.1 s wait steps. "
        "CPU is the process's CPU time over the same span, all threads. Below about 100,000 keys the time is "
        "mostly fixed: the group join, and the broker holding the last fetch for fetch.wait.max.ms (500 ms) "
        "before the client reports the partition's end."
        + ("" if args.quick else " Replay, unpaced: the same with the client property "
           + ", ".join(f"{k}={v}" for k, v in UNPACED.items()) + " given to both (information): by default the "
           "client fetches a single partition's records at about 100,000 per second (queued.min.messages per "
           "fetch.queue.backoff.ms), which bounds both loops at 1,000,000 keys."),
        "- memory: resident-set growth (VmRSS) over the replay of the largest size, in the same fresh processes, "
        "read once the allocator has handed back what the replay freed (`malloc_trim`): what stays is the data "
        "and the clients. The growth before trimming varies from run to run with the allocator's timing.",
        "- reads: every key once in random order; baseline `json.loads` of the same stored bytes.",
        "- keys: `get_collection_keys`; baseline `[k.decode() for k in stored]` over the same dict.",
        "- writes: `set_collection_value` with `publish_pause_s = 0`, one thread, new keys; baseline a producer "
        "with the same configuration doing `produce` (with a delivery report) and `flush` per record; for "
        "information, the same producer on a topic that a consumer thread of the process reads back, as the "
        "store's own consumer thread does with its writes.",
        "- latency: a write in one store until a second store on the same topic runs its collection callback.",
        "",
    ]
    return "\n".join(lines)


# ------------------------------------------------------------------------------------------ main


UNPACED = {"fetch.queue.backoff.ms": "10"}


def replay_case(conf: dict, db: str, n: int, reps: int, case: str, target: float | None):
    """Store, bare loop and batched loop replaying n keys, each run in a fresh process, taking turns."""
    params = {"conf": conf, "db": db, "name": f"keys{n}", "n": n}
    runs = {"store": lambda: run_child("replay_store", params),
            "bare": lambda: run_child("replay_bare", {**params, "batch": 1}),
            "batched": lambda: run_child("replay_bare", {**params, "batch": 1000})}
    results: dict[str, list[dict]] = {k: [] for k in runs}
    for name in runs:
        runs[name]()  # warm-up
    for rep in range(reps):
        order = list(runs)[rep % 3:] + list(runs)[:rep % 3]
        for name in order:
            results[name].append(runs[name]())
    secs = {k: [x["seconds"] for x in v] for k, v in results.items()}
    size = f"{n:,}"
    store_row, bare_row = pair(case, size, "KafkaJsonCompaction()", secs["store"],
                               "bare loop, 1 per call (baseline)", secs["bare"], target=target, per=n)
    batched = Row(case, size, "bare loop, 1,000 per call (information)", secs["batched"], "s",
                  statistics.median(secs["batched"]) / statistics.median(secs["bare"]),
                  note=f"{statistics.median(secs['batched']) / n * 1e6:.3f} µs per item")
    for row, kind in ((store_row, "store"), (bare_row, "bare"), (batched, "batched")):
        row.note += f"; CPU {statistics.median(x['cpu'] for x in results[kind]):.2f} s"
    return [store_row, bare_row, batched], results


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes for a smoke run")
    ap.add_argument("--reps", type=int, help="timed repetitions per case (default 5, quick 3)")
    ap.add_argument("--sizes", help="replay sizes, comma-separated (default 10000,100000,1000000; quick 10000)")
    ap.add_argument("--output", default=str(ROOT / "bench" / "RESULTS.md"), help="where to write the table")
    ap.add_argument("--bootstrap", default=os.environ.get("QUARNEL_KAFKA_BOOTSTRAP"),
                    help="Kafka bootstrap servers (default: $QUARNEL_KAFKA_BOOTSTRAP)")
    ap.add_argument("--keep-topics", action="store_true", help="leave the benchmark topics on the cluster")
    ap.add_argument("--client", action="append", default=[], metavar="KEY=VALUE",
                    help="an extra client property for every client of the run (repeatable)")
    args = ap.parse_args(argv)
    if not args.bootstrap:
        ap.error("name the cluster with --bootstrap or QUARNEL_KAFKA_BOOTSTRAP (tools/bench.sh starts one)")
    args.reps = args.reps or (3 if args.quick else 5)
    sizes = [int(s) for s in args.sizes.split(",")] if args.sizes else ([10_000] if args.quick
                                                                        else [10_000, 100_000, 1_000_000])
    read_size = min(sizes, key=lambda n: abs(n - 100_000))
    writes = 200 if args.quick else 2000
    latency_samples = 50 if args.quick else 500

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

    def log(msg: str) -> None:
        print(f"[{time.perf_counter() - t_start:6.1f}s] {msg}", file=sys.stderr, flush=True)

    try:
        for n in sizes:
            topic = f"{db}.keys{n}"
            topics.append(topic)
            seconds = load_topic(conf, topic, n)
            load_notes.append(f"{n:,} records in {seconds:.1f} s")
            log(f"loaded {n:,} records into {topic} in {seconds:.1f} s")

        # In-memory cases first: their two replays also warm the broker's page cache.
        log(f"reads and key listing on {read_size:,} keys")
        r = run_child("reads", {"conf": conf, "db": db, "name": f"keys{read_size}", "n": read_size,
                                "reps": args.reps, "key_reps": args.reps * 4})
        size = f"{read_size:,}"
        rows += pair("reads", size, "get_collection_value", r["reads"]["store"], "json.loads (baseline)",
                     r["reads"]["loads"], target=1.5, per=read_size)
        rows += pair("reads", size, "db[name][key]", r["reads"]["db"], "json.loads (baseline)",
                     r["reads"]["loads"], target=2.0, per=read_size)[:1]
        rows += pair("keys", size, "get_collection_keys", r["keys"]["store"], "[k.decode() for k in keys] (baseline)",
                     r["keys"]["decode"], target=1.2, per=read_size)

        memory = {}
        growth_note = ""
        for n in sizes:
            log(f"replay of {n:,} keys")
            target = 0.9 if n == max(sizes) and n >= 1_000_000 else None
            case_rows, memory[n] = replay_case(conf, db, n, args.reps, "replay", target)
            rows += case_rows
        # The client paces a single partition to queued.min.messages per fetch.queue.backoff.ms (100,000 per
        # second by default); without that pause the consumer loop itself sets the pace.
        if not args.quick:
            n = max(sizes)
            log(f"replay of {n:,} keys, unpaced client")
            rows += replay_case({**conf, **UNPACED}, db, n, args.reps, "replay, unpaced", None)[0]

        n = max(sizes)
        grow = {k: [x["rss_growth"] for x in v] for k, v in memory[n].items()}
        peak = {k: statistics.median(x["peak_rss"] for x in v) / 2**20 for k, v in memory[n].items()}
        raw = {k: statistics.median(x["raw_rss_growth"] for x in v) / 2**20 for k, v in memory[n].items()}
        mem_rows = pair("memory", f"{n:,}", "KafkaJsonCompaction()", grow["store"], "bare loop, 1 per call (baseline)",
                        grow["bare"], unit="MB", target=1.05 if n >= 1_000_000 else None)
        for row, kind in zip(mem_rows, ("store", "bare")):
            row.note = f"before trimming {raw[kind]:.1f} MiB; peak RSS {peak[kind]:.0f} MiB"
        rows += mem_rows
        if len(sizes) > 1:
            growth = []
            for kind, label in (("store", "store"), ("bare", "bare loop")):
                t = {k: statistics.median(x["seconds"] for x in memory[k][kind]) for k in sizes}
                steps = [f"{a:,} → {b:,}: {(t[b] - t[a]) / (b - a) * 1e6:.2f} µs"
                         for a, b in zip(sizes, sizes[1:])]
                growth.append(f"{label} {', '.join(steps)}")
            growth_note = "; ".join(growth)

        log(f"writes: {writes:,} per repetition")
        wtopic, btopic, ftopic = f"{db}.writes", f"{db}.writes-base", f"{db}.writes-followed"
        topics += [wtopic, btopic, ftopic]
        create_topic(conf, btopic)
        create_topic(conf, ftopic)
        w = run_child("writes", {"conf": conf, "db": db, "name": "writes", "base_topic": btopic,
                                 "followed_topic": ftopic, "count": writes, "reps": args.reps})["writes"]
        rows += pair("writes", f"{writes:,}", "set_collection_value, pause 0", w["store"],
                     "produce + flush per record (baseline)", w["produce"], target=1.1, per=writes)
        rows.append(Row("writes", f"{writes:,}", "produce + flush, a consumer thread reading it back (information)",
                        w["followed"], "s", statistics.median(w["followed"]) / statistics.median(w["produce"]),
                        note=f"{statistics.median(w['followed']) / writes * 1e6:.3f} µs per item"))

        log(f"latency: {latency_samples} writes")
        topics.append(f"{db}.latency")
        lat = run_child("latency", {"conf": conf, "db": db, "name": "latency", "samples": latency_samples,
                                    "warmup": 10})["latency"]
        p99 = sorted(lat)[min(len(lat) - 1, int(round(0.99 * (len(lat) - 1))))]
        rows.append(Row("latency", f"{latency_samples}", "write → second store's callback", lat, "s",
                        note=f"p99 {show_time(p99)}"))
    finally:
        if not args.keep_topics:
            delete_topics(conf, topics)

    text = report(rows, args, args.bootstrap, started, load_notes, growth_note, time.perf_counter() - t_start)
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
