"""One worker process of the run: a store on the shared database and threads that use it at random.

Started by the coordinator as `python workload.py ARGS`; takes commands on standard input, one a line:
  reopen             close the store under the running threads, open a new one, hand it to them; answers
                     REOPENED
  slow SECONDS DELAY listeners sleep DELAY per record for SECONDS (a slow listener holds the consumer thread)
  quiesce            stop the threads once their operation ends; answers QUIESCED
  report PATH ENDS   once the store is live and has applied every partition up to ENDS (JSON), write its
                     copy, its listeners' view and its status to PATH; answers REPORTED
  busy               restart the threads (a process that owns its store is then sent SIGTERM)
  exit [busy]        leave the interpreter with the store open (busy: with threads inside store calls)
and answers READY once its store is open. Every write goes to the history file (history.py).

Each thread owns keys (w{slot}t{thread}k{n}) in every collection and is their only writer, so the checker
knows the exact value each must end with; keys s{n} of the single-partition collections are shared by every
worker and checked for agreement only.
"""
from __future__ import annotations

import argparse
import asyncio
import json
import random
import sys
import threading
import time

from history import HistoryWriter

COLLECTIONS = ("a", "b", "m")  # "m" has several partitions, and gains more in the log-event phase
SHARED_IN = ("a", "b")  # shared keys stay out of "m": across partitions only timestamps order two writers
KEYS_PER_THREAD = 6
SHARED_KEYS = 6
KINDS = ("single", "facade", "async")  # the writing threads, in order; a reader thread comes on top


def store_class(owns_process):
    # Imported here: the coordinator takes this module's names without opening a store.
    from quarnel_kafka_kv.mervane import KafkaDB

    if owns_process:
        return KafkaDB

    class ServiceStore(KafkaDB):
        owns_process = False
    return ServiceStore


def rss_kb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def short(exc):
    return f"{type(exc).__name__}: {exc}"[:300]


class Worker:
    def __init__(self, args):
        self.args = args
        self.history = HistoryWriter(args.history) if args.history else None
        self.rng = random.Random(args.seed)
        self.stop = threading.Event()
        self.threads = []
        self.counter = 0
        self.counter_lock = threading.Lock()
        self.slow_until, self.slow_delay = 0.0, 0.0
        # (store, number of stores this process opened before it): threads take both at once.
        self.current = (None, -1)
        self.s, self.told, self.snapshot = -1, {}, {}

    # -- the store -------------------------------------------------------------------------------------------

    def configs(self):
        configs = {"bootstrap.servers": self.args.bootstrap, "acks": "all"}
        cls = store_class(self.args.owns_process)
        if not hasattr(cls, "write_timeout_s"):
            # A write during an outage fails in bounded time instead of librdkafka's 300 s.
            configs["message.timeout.ms"] = str(self.args.write_timeout_ms)
        return cls, configs

    def open_store(self):
        cls, configs = self.configs()
        kwargs = {} if self.args.owns_process else {"on_consumer_kill": None}
        store = cls(configs, list(COLLECTIONS), self.args.db, **kwargs)
        if hasattr(store, "write_timeout_s"):
            store.write_timeout_s = self.args.write_timeout_ms / 1000
        store.read_your_writes = self.args.ryw
        store.publish_pause_s = self.args.pause
        told = {c: {} for c in COLLECTIONS}
        for c in COLLECTIONS:
            store.add_collection_listener(c, self.listener(told[c]))
        # Taken after the listeners are in place: a key they were told of since wins over the snapshot.
        snapshot = {c: self.copy_of(store, c) for c in COLLECTIONS}
        self.s += 1
        self.told, self.snapshot = told, snapshot
        self.current = (store, self.s)
        self.event("store", what="open", ryw=self.args.ryw)

    @property
    def store(self):
        return self.current[0]

    def listener(self, told):
        def heard(key, value):
            if time.time() < self.slow_until:
                time.sleep(self.slow_delay)
            told[key] = value
        return heard

    @staticmethod
    def copy_of(store, c):
        values = {k: store.get_collection_value(c, k) for k in store.get_collection_keys(c)}
        return {k: v for k, v in values.items() if v is not None}

    def reopen(self):
        old = self.store
        self.event("store", what="close")
        old.close()
        # A store that cannot be opened ends the worker: a violation the coordinator reports.
        self.open_store()

    # -- history ---------------------------------------------------------------------------------------------

    def event(self, e, **fields):
        if self.history:
            self.history.write(e=e, w=self.args.slot, i=self.args.incarnation, s=self.s, **fields)

    def next_id(self):
        with self.counter_lock:
            self.counter += 1
            return f"w{self.args.slot}.{self.args.incarnation}.{self.counter}"

    def write(self, th, f, c, kv, call, store, s):
        """Runs call() as the write f of the pairs kv and records it; returns whether it was confirmed."""
        op = self.next_id()
        self.history.write(e="invoke", id=op, w=self.args.slot, i=self.args.incarnation, s=s, th=th, f=f, c=c,
                           kv=kv, ryw=self.args.ryw)
        started = time.monotonic()
        try:
            call()
        except Exception as e:  # noqa: BLE001 - any failure leaves the write's outcome unknown
            self.history.write(e="fail", id=op, err=short(e))
            return False
        self.finish(op, c, kv, store, time.monotonic() - started)
        return True

    def finish(self, op, c, kv, store, took):
        after = None
        if self.args.ryw:
            after = {}
            for k, _ in kv:
                try:
                    after[k] = store.get_collection_value(c, k)
                except Exception as e:  # noqa: BLE001 - a read that fails is what the checker reports
                    after[k] = {"read failed": short(e)}
        self.history.write(e="ok", id=op, after=after, bounded=self.args.ryw and took >= 0.95 * self.args.pause)

    @staticmethod
    def value(rng):
        # Unique in practice, so that a value in the log names the write that made it.
        return {"n": rng.getrandbits(48), "pad": "x" * rng.randrange(0, 120)}

    # -- threads ---------------------------------------------------------------------------------------------

    def own_keys(self, th, c):
        return [f"w{self.args.slot}t{th}k{n}" for n in range(KEYS_PER_THREAD)]

    def run_thread(self, kind, th):
        rng = random.Random(self.rng.random())
        last_ms = {}

        def spaced(keys):
            # Across partitions the later timestamp wins: two writes of one key never share a millisecond.
            while any(int(time.time() * 1000) <= last_ms.get(k, 0) for k in keys):
                time.sleep(0.002)

        def done(keys):
            for k in keys:
                last_ms[k] = int(time.time() * 1000)

        def pick(c, n):
            return rng.sample(self.own_keys(th, c), n)

        if kind == "async":
            asyncio.run(self.async_loop(th, rng, pick, spaced, done))
            return
        while not self.stop.is_set():
            store, s = self.current
            c = rng.choice(COLLECTIONS)
            r = rng.random()
            if kind == "single":
                if r < 0.4:
                    [k] = pick(c, 1)
                    v = self.value(rng)
                    spaced([k])
                    self.write(th, "set", c, [[k, v]], lambda: store.set_collection_value(c, k, v), store, s)
                    done([k])
                elif r < 0.55:
                    [k] = pick(c, 1)
                    spaced([k])
                    self.write(th, "delete", c, [[k, None]], lambda: store.delete_collection_value(c, k), store, s)
                    done([k])
                elif r < 0.85:
                    [k] = pick(c, 1)
                    t0 = time.time()
                    try:
                        v = store.get_collection_value(c, k)
                    except Exception as e:  # noqa: BLE001
                        v = {"read failed": short(e)}
                    self.event("read", th=th, c=c, k=k, v=v, t0=t0, t1=time.time(), ryw=self.args.ryw)
                else:
                    c = rng.choice(SHARED_IN)
                    k, v = f"s{rng.randrange(SHARED_KEYS)}", self.value(rng)
                    self.write(th, "shared", c, [[k, v]], lambda: store.set_collection_value(c, k, v), store, s)
            else:  # the dictionary facade
                kv = [[k, None if rng.random() < 0.25 else self.value(rng)] for k in pick(c, rng.randint(1, 4))]
                keys = [k for k, _ in kv]
                spaced(keys)
                if r < 0.3:
                    [[k, v]] = kv[:1]
                    kv = kv[:1]
                    if v is None:
                        self.write(th, "delete", c, kv, lambda: store[c].__delitem__(k), store, s)
                    else:
                        self.write(th, "set", c, kv, lambda: store[c].__setitem__(k, v), store, s)
                elif r < 0.55:
                    self.write(th, "batch", c, kv, lambda: store.__setitem__(c, dict(kv)), store, s)
                elif r < 0.8:
                    self.write(th, "batch", c, kv, lambda: store[c].update(dict(kv)), store, s)
                else:
                    self.write(th, "batch", c, kv, lambda: store.set_collection_values(c, kv), store, s)
                done(keys)
            time.sleep(rng.uniform(0.005, 0.03))

    async def async_loop(self, th, rng, pick, spaced, done):
        while not self.stop.is_set():
            store, s = self.current
            pending = []
            for c in rng.sample(COLLECTIONS, rng.randint(1, 3)):
                kv = [[k, self.value(rng)] for k in pick(c, rng.randint(1, 3))]
                r = rng.random()
                if r < 0.4:
                    f, kv = "aset", kv[:1]
                elif r < 0.6:
                    f, kv = "adelete", [[kv[0][0], None]]
                else:
                    f = "abatch"
                spaced([k for k, _ in kv])
                op = self.next_id()
                self.history.write(e="invoke", id=op, w=self.args.slot, i=self.args.incarnation, s=s, th=th, f=f,
                                   c=c, kv=kv, ryw=self.args.ryw)
                started = time.monotonic()
                try:
                    if f == "aset":
                        future = store.aset_collection_value(c, kv[0][0], kv[0][1])
                    elif f == "adelete":
                        future = store.adelete_collection_value(c, kv[0][0])
                    else:
                        future = store.aset_collection_values(c, dict(kv))
                except Exception as e:  # noqa: BLE001
                    self.history.write(e="fail", id=op, err=short(e))
                    continue
                pending.append((op, c, kv, future, started))
            results = await asyncio.gather(*(p[3] for p in pending), return_exceptions=True)
            for (op, c, kv, _, started), result in zip(pending, results):
                if isinstance(result, BaseException):
                    self.history.write(e="fail", id=op, err=short(result))
                else:
                    self.finish(op, c, kv, store, time.monotonic() - started)
                done([k for k, _ in kv])
            await asyncio.sleep(rng.uniform(0.005, 0.03))

    def reader_loop(self):
        rng = random.Random(self.rng.random())
        while not self.stop.is_set():
            store, n = self.store, 0
            try:
                for c in COLLECTIONS:
                    keys = store.get_collection_keys(c)
                    for k in rng.sample(keys, min(10, len(keys))):
                        store[c].get(k)
                        n += 1
                    n += len(store[c])
            except Exception as e:  # noqa: BLE001
                self.event("reads", n=n, err=short(e))
            else:
                self.event("reads", n=n)
            time.sleep(0.05)

    def start_threads(self):
        self.stop.clear()
        self.threads = []
        for th, kind in enumerate(KINDS[:self.args.threads]):
            self.threads.append(threading.Thread(target=self.run_thread, args=(kind, th), daemon=True,
                                                 name=f"chaos-{kind}"))
        if self.args.threads:
            self.threads.append(threading.Thread(target=self.reader_loop, daemon=True, name="chaos-reader"))
        for thread in self.threads:
            thread.start()

    def rss_loop(self):
        while True:
            self.event("rss", kb=rss_kb())
            time.sleep(5)

    # -- commands --------------------------------------------------------------------------------------------

    def report(self, path, ends):
        deadline = time.monotonic() + 90
        while True:
            status = self.store.status()
            caught_up = status["state"] == "live" and all(
                not status["collections"][c]["topic_missing"]
                and all(p["position"] >= ends[c].get(str(p["partition"]), 0)
                        for p in status["collections"][c]["partitions"])
                and {str(p["partition"]) for p in status["collections"][c]["partitions"]} >= set(ends[c])
                for c in COLLECTIONS)
            if caught_up or time.monotonic() > deadline:
                break
            time.sleep(0.1)
        copy = {c: self.copy_of(self.store, c) for c in COLLECTIONS}
        told = {c: dict(self.told[c]) for c in COLLECTIONS}
        listened = {c: {k: v for k, v in {**self.snapshot[c], **told[c]}.items() if v is not None}
                    for c in COLLECTIONS}
        report = {"slot": self.args.slot, "incarnation": self.args.incarnation, "caught_up": caught_up,
                  "status": status, "copy": copy, "listened": listened, "rss_kb": rss_kb(), "stores_opened": self.s + 1}
        with open(path, "w") as f:
            json.dump(report, f)

    def serve(self):
        self.open_store()
        if self.args.threads:
            threading.Thread(target=self.rss_loop, daemon=True).start()
        self.start_threads()
        print("READY", flush=True)
        for line in sys.stdin:
            command, *rest = line.split(maxsplit=1) or [""]
            if command == "reopen":
                self.reopen()
                print("REOPENED", flush=True)
            elif command == "slow":
                seconds, delay = map(float, rest[0].split())
                self.slow_delay, self.slow_until = delay, time.time() + seconds
            elif command == "quiesce":
                self.stop.set()
                for thread in self.threads:
                    thread.join(120)
                print("QUIESCED " + json.dumps([t.name for t in self.threads if t.is_alive()]), flush=True)
            elif command == "report":
                path, ends = rest[0].split(maxsplit=1)
                self.report(path, json.loads(ends))
                print("REPORTED", flush=True)
            elif command == "busy":
                self.start_threads()
            elif command == "exit":
                # The store is left open: it closes at interpreter shutdown. "exit busy" leaves with threads
                # inside store calls, as a service's worker may be stopped.
                if rest and rest[0].strip() == "busy":
                    self.start_threads()
                    time.sleep(1.0)
                return


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bootstrap", required=True)
    ap.add_argument("--db", required=True)
    ap.add_argument("--slot", type=int, required=True)
    ap.add_argument("--incarnation", type=int, default=0)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--history")
    ap.add_argument("--threads", type=int, default=len(KINDS))
    ap.add_argument("--ryw", action="store_true")
    ap.add_argument("--owns-process", action="store_true")
    ap.add_argument("--pause", type=float, default=0.02)
    ap.add_argument("--write-timeout-ms", type=int, default=15000)
    Worker(ap.parse_args()).serve()


if __name__ == "__main__":
    main()
