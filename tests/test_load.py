"""Two processes, eight threads each, on the same collections: no deadlock, no loss, one final state."""
import json
import os
import subprocess
import sys
import time

import pytest

TESTS_DIR = os.path.dirname(__file__)
LOAD_SECONDS = 30
# Beyond this the run counts as hung; the child dumps its threads' stacks first.
HANG_SECONDS = 150

# One process of the load. Every key belongs to one writer thread, so the last
# value written to it (or its deletion) is well defined: that thread's last call.
LOAD = r"""
import collections, faulthandler, json, os, random, sys, threading, time, traceback
from quarnel_kafka_kv.mervane import KafkaDB

bootstrap, db_name, me, other, workdir, seconds, hang = sys.argv[1:]
faulthandler.dump_traceback_later(float(hang) - 20, exit=True)
stops = []
db = KafkaDB({"bootstrap.servers": bootstrap}, ["a", "b"], db_name, on_consumer_kill=lambda: stops.append(1))
db.publish_pause_s = 0.01
NAMES = ("a", "b")
WRITERS = 4
ALL_KEYS = [f"{p}-t{t}-k{j}" for p in (me, other) for t in range(WRITERS) for j in range(3)]
counts = collections.Counter()
errors = []
last = {}
stop_readers = threading.Event()


def check_value(key, value):
    if value is not None and (value.get("by") != key or not isinstance(value.get("seq"), int)):
        raise AssertionError(f"{key!r} holds {value!r}")


def writer(n, tally):
    rnd = random.Random(f"{me}-{n}")
    keys = [f"{me}-t{n}-k{j}" for j in range(3)]
    seq = 0
    while time.monotonic() < end:
        name, key = rnd.choice(NAMES), rnd.choice(keys)
        seq += 1
        if rnd.random() < 0.3:
            if seq % 2:
                del db[name][key]
            else:
                db.delete_collection_value(name, key)
            last[f"{name}/{key}"] = None
            tally["deletes"] += 1
        else:
            value = {"by": key, "seq": seq}
            if seq % 2:
                db[name][key] = value
            else:
                db.set_collection_value(name, key, value)
            last[f"{name}/{key}"] = value
            tally["writes"] += 1


def reader(n, tally):
    rnd = random.Random(n)
    while not stop_readers.is_set():
        key = rnd.choice(ALL_KEYS)
        check_value(key, db.get_collection_value(rnd.choice(NAMES), key))
        tally["reads"] += 1


def lister(n, tally):
    while not stop_readers.is_set():
        for name in NAMES:
            keys = db.get_collection_keys(name)
            assert len(keys) == len(set(keys)) and set(keys) <= set(ALL_KEYS), keys
            tally["key listings"] += 1
            ALL_KEYS[tally["key listings"] % len(ALL_KEYS)] in db[name]
            tally["membership tests"] += 1


def iterator(n, tally):
    while not stop_readers.is_set():
        for name in NAMES:
            for key, value in db[name].items():
                check_value(key, value)
            tally["items() iterations"] += 1


callback_tally = collections.Counter()


def on_change(name):
    # Runs on the consumer thread, with no lock held: it may read the store.
    def callback():
        for key in db.get_collection_keys(name)[:3]:
            check_value(key, db.get_collection_value(name, key))
        callback_tally["callbacks"] += 1
    return callback


def guarded(role, n, tallies):
    tally = tallies[(role.__name__, n)] = collections.Counter()
    def run():
        try:
            role(n, tally)
        except Exception:
            errors.append(traceback.format_exc())
    return threading.Thread(target=run, name=f"{role.__name__}-{n}")


for name in NAMES:
    db.add_collection_callback(name, on_change(name))
open(os.path.join(workdir, f"{me}.ready"), "w").close()
while not os.path.exists(os.path.join(workdir, "go")):
    time.sleep(0.01)

end = time.monotonic() + float(seconds)
tallies = {}
threads = [guarded(writer, n, tallies) for n in range(WRITERS)]
threads += [guarded(reader, 0, tallies), guarded(reader, 1, tallies), guarded(lister, 0, tallies),
            guarded(iterator, 0, tallies)]
for t in threads:
    t.start()
for t in threads[:WRITERS]:
    t.join()

# Writers are done here: publish this process's last values, wait for the other's.
with open(os.path.join(workdir, f"{me}.last.tmp"), "w") as f:
    json.dump(last, f)
os.rename(os.path.join(workdir, f"{me}.last.tmp"), os.path.join(workdir, f"{me}.last"))
other_last = os.path.join(workdir, f"{other}.last")
while not os.path.exists(other_last):
    time.sleep(0.05)
with open(other_last) as f:
    expected = {**last, **json.load(f)}
wanted = {name: {k.split("/", 1)[1]: v for k, v in expected.items() if k.startswith(name + "/") and v is not None}
          for name in NAMES}


def snapshot():
    return {name: dict(db[name].items()) for name in NAMES}


deadline = time.monotonic() + 60
while snapshot() != wanted and time.monotonic() < deadline:
    time.sleep(0.1)
stop_readers.set()
for t in threads[WRITERS:]:
    t.join()
for tally in tallies.values():
    counts.update(tally)
counts.update(callback_tally)
print("RESULT " + json.dumps({"snapshot": snapshot(), "wanted": wanted, "counts": counts, "errors": errors,
                  "consumer_alive": db.cons_thr.is_alive() and not stops}), flush=True)
db.close()
db.cons_thr.join(10)
"""


@pytest.mark.slow
def test_two_processes_of_eight_threads_end_with_identical_collections(kafka_bootstrap, unique_name, tmp_path):
    procs = {}
    for me, other in (("p1", "p2"), ("p2", "p1")):
        procs[me] = subprocess.Popen(
            [sys.executable, "-u", "-c", LOAD, kafka_bootstrap, unique_name, me, other, str(tmp_path),
             str(LOAD_SECONDS), str(HANG_SECONDS)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=TESTS_DIR)
    results = {}
    try:
        deadline = time.monotonic() + 60
        while not all((tmp_path / f"{me}.ready").exists() for me in procs):
            assert all(p.poll() is None for p in procs.values()), "a load process ended before the start"
            assert time.monotonic() < deadline, "the load processes did not start"
            time.sleep(0.05)
        started = time.monotonic()
        (tmp_path / "go").touch()
        for me, proc in procs.items():
            try:
                out, err = proc.communicate(timeout=max(1, HANG_SECONDS - (time.monotonic() - started)))
            except subprocess.TimeoutExpired:
                proc.kill()
                out, err = proc.communicate()
                pytest.fail(f"{me} still running after {HANG_SECONDS}s (deadlock?)\n{err[-5000:]}")
            assert proc.returncode == 0, err[-5000:]
            [line] = [line for line in out.splitlines() if line.startswith("RESULT ")]
            results[me] = json.loads(line[len("RESULT "):])
        elapsed = time.monotonic() - started
    finally:
        for proc in procs.values():
            if proc.poll() is None:
                proc.kill()
                proc.communicate()

    for me, result in results.items():
        assert result["errors"] == [], "\n".join(result["errors"])
        assert result["consumer_alive"], me
        assert result["snapshot"] == result["wanted"], me
    assert results["p1"]["wanted"] == results["p2"]["wanted"]
    assert results["p1"]["snapshot"] == results["p2"]["snapshot"]
    assert any(results["p1"]["snapshot"].values())
    # A callback per record a process read, and never more: compaction may
    # remove a superseded record before a lagging consumer reaches it.
    records = sum(r["counts"]["writes"] + r["counts"]["deletes"] for r in results.values())
    assert all(0 < r["counts"]["callbacks"] <= records for r in results.values())
    for me, result in results.items():
        counts = result["counts"]
        assert all(counts[k] > 0 for k in ("writes", "deletes", "reads", "key listings", "items() iterations",
                                           "callbacks")), counts
        print(f"load {me}: {dict(sorted(counts.items()))}")
    print(f"load run: {elapsed:.1f}s from start to both processes ended; {records} records published")
