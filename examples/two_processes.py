"""Two processes sharing one KafkaDB.

The writer opens a database, writes and deletes values in two collections,
then starts a reader process on the same database. The reader replays what
the writer left, and a collection listener tells it of every later change.
SIGTERM stops the reader; leaving the `with` block stops the writer.

Run: QUARNEL_KAFKA_BOOTSTRAP=127.0.0.1:9092 python examples/two_processes.py
(tools/demo.sh starts a local broker and runs it.)
"""
import os
import signal
import subprocess
import sys
import uuid

from quarnel_kafka_kv.mervane import KafkaDB

COLLECTIONS = ["users", "orders"]


def writer(configs):
    # A fresh database per run, so every run starts from empty topics.
    db_name = f"demo-{uuid.uuid4().hex[:8]}"
    print(f"[writer] opening database {db_name}")
    # Closing the store (here: leaving the block) ends the process, status 0.
    with KafkaDB(configs, COLLECTIONS, db_name) as db:
        # Each write returns once this store has read it back, so the listing
        # below sees every one of them.
        db.read_your_writes = True
        db["users"]["alice"] = {"name": "Alice", "roles": ["admin"]}
        db["users"]["bob"] = {"name": "Bob", "roles": []}
        db["orders"] = {"o-1": {"user": "alice", "total": 42.5}}
        del db["users"]["bob"]
        for name in COLLECTIONS:
            print(f"[writer] {name}: {dict(db[name].items())}")

        reader = subprocess.Popen([sys.executable, "-u", __file__, "reader", db_name],
                                  stdout=subprocess.PIPE, text=True)
        try:
            relay(reader, until="listening")
            print("[writer] adding carol and order o-2, deleting order o-1")
            db["users"]["carol"] = {"name": "Carol", "roles": ["support"]}
            db["orders"]["o-2"] = {"user": "carol", "total": 7}
            del db["orders"]["o-1"]
            relay(reader, until="told: orders/o-1 deleted")
        finally:
            reader.terminate()  # its store closes on SIGTERM, which ends the reader
            relay(reader)
        print(f"[writer] reader exited with status {reader.wait()}; closing")


def relay(reader, until=None):
    """Echoes the reader's lines until one starts with `until`, or to its end."""
    for line in reader.stdout:
        print("[reader]", line, end="")
        if until and line.startswith(until):
            return
    if until:
        raise RuntimeError(f"the reader ended before saying {until!r}")


def reader(configs, db_name):
    with KafkaDB(configs, COLLECTIONS, db_name) as db:
        seen = {name: dict(db[name].items()) for name in COLLECTIONS}
        for name in COLLECTIONS:
            print(f"replayed {name}: {seen[name]}")

        def report(name, key, value):
            # Called on the store's consumer thread for each change, with the
            # changed key and its new value (None for a deletion).
            print(f"told: {name}/{key} deleted" if value is None else f"told: {name}/{key} = {value}")

        for name in COLLECTIONS:
            db.add_collection_listener(name, lambda key, value, name=name: report(name, key, value))
        print("listening for changes")
        # The store handles SIGTERM and SIGINT: it closes and ends the process.
        signal.pause()


if __name__ == "__main__":
    bootstrap = os.environ.get("QUARNEL_KAFKA_BOOTSTRAP")
    if not bootstrap:
        sys.exit("set QUARNEL_KAFKA_BOOTSTRAP to the Kafka bootstrap servers, e.g. 127.0.0.1:9092")
    configs = {"bootstrap.servers": bootstrap}
    if sys.argv[1:2] == ["reader"]:
        reader(configs, sys.argv[2])
    else:
        writer(configs)
