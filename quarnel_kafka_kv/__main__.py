"""The operator's command line: ``python -m quarnel_kafka_kv`` or ``quarnel-kv``.

Each command opens a store on the collections it names, does its work and
stops the store again. Standard output carries only results, one parseable
line each; the store's own lines, progress and errors go to standard error.
"""
from __future__ import annotations

import json
import logging
import signal
import sys
import time
import traceback

from confluent_kafka import KafkaException

from ._cli_args import DEFAULT_DB, Failure, build_parser, client_properties, discard_output, program_name

# A health probe must answer before the prober gives up.
STATUS_TIMEOUT_S = 5.0
from ._cli_load import run_load
from ._cli_session import Session
from .mervane import KafkaDB


def run_collections(s):
    for name in s.collection_names():
        s.emit(name)


def run_keys(s):
    s.require([s.args.collection])
    for key in sorted(s.open([s.args.collection]).get_collection_keys(s.args.collection)):
        s.emit(key)


def open_key(s):
    """The store, once the collection exists and holds the key."""
    collection, key = s.args.collection, s.args.key
    s.require([collection])
    db = s.open([collection])
    if key not in db.get_collection_keys(collection):
        raise Failure(f"no key {key!r} in collection {collection!r}")
    return db


def stored_value(s, db, collection, key):
    """The value under key; a record another producer wrote that is not JSON text is a Failure naming it."""
    try:
        return db.get_collection_value(collection, key)
    except ValueError as e:  # JSONDecodeError, UnicodeDecodeError
        raise Failure(f"the value of {key!r} in collection {collection!r} is not JSON ({e})") from e


def run_get(s):
    s.emit(json.dumps(stored_value(s, open_key(s), s.args.collection, s.args.key)))


def run_set(s):
    s.open([s.args.collection]).set_collection_value(s.args.collection, s.args.key, s.args.value)


def run_delete(s):
    open_key(s).delete_collection_value(s.args.collection, s.args.key)


def run_dump(s):
    collection = s.args.collection
    s.require([collection])
    db = s.open([collection])
    # One record that another producer wrote and that is not JSON must not cost the rest of a backup.
    unreadable = []
    for key in sorted(db.get_collection_keys(collection)):
        s.check()
        try:
            value = stored_value(s, db, collection, key)
        except Failure as e:
            print(f"{program_name()}: {e.message}", file=sys.stderr)
            unreadable.append(key)
            continue
        if value is not None:  # deleted since the keys were listed
            s.emit(json.dumps({"key": key, "value": value}))
    if unreadable:
        raise Failure(f"{len(unreadable)} key(s) not dumped: their values are not JSON; every other key is")


def run_status(s):
    """What the cluster says of the collections, within STATUS_TIMEOUT_S: no store is opened, no record read."""
    deadline = time.monotonic() + STATUS_TIMEOUT_S
    s.topics(timeout=STATUS_TIMEOUT_S - 1)
    names = list(dict.fromkeys(s.args.collections)) or s.collection_names()
    if not names:
        raise Failure(f"no collections in database {s.db_name!r}")
    s.require(names)
    s.emit(json.dumps({"connected": True, "collections": s.positions(names, deadline)}))


def run_watch(s):
    names = list(dict.fromkeys(s.args.collections))
    s.require(names)

    class Watched(KafkaDB):
        def start_consumer(self, init_timeout=10.0):
            # Registered before the replay ends, so no change after it is missed.
            for name in names:
                self.add_collection_listener(name, watcher(s, self, name))
            super().start_consumer(init_timeout)

    # The store's own SIGINT/SIGTERM handler stops it; its stop action wakes us.
    db = s.open(names, defer_signals=False, cls=Watched)
    print(f"watching {', '.join(names)} in {s.db_name}; Ctrl-C stops", file=sys.stderr, flush=True)
    s.stopped.wait()
    s.close()
    if s.output_closed:
        raise Failure(None)
    # close() and the signal handler clear it; a consumer thread that failed leaves it set.
    if db.cons_running:
        raise Failure(f"the store stopped: {s.stop_reason}")


def watcher(s, db, collection):
    def listener(key, value):
        change = {"collection": collection, "key": key}
        change.update({"deleted": True} if value is None else {"value": value})
        try:
            s.out.write(json.dumps(change) + "\n")
            s.out.flush()
        except BrokenPipeError:
            # The reader went away (`| head`): stop quietly instead of failing the thread.
            s.output_closed = True
            discard_output(s.out)
            db.close()

    return listener


def main(argv=None):
    prog = program_name()
    parser = build_parser(prog, {"collections": run_collections, "keys": run_keys, "get": run_get, "set": run_set,
                                 "delete": run_delete, "dump": run_dump, "load": run_load, "watch": run_watch,
                                 "status": run_status})
    args = parser.parse_args(argv)
    args.db = getattr(args, "db", None) or DEFAULT_DB
    args.debug = getattr(args, "debug", False)
    conf = client_properties(parser, args)
    if args.debug:
        logging.basicConfig(stream=sys.stderr, level=logging.DEBUG,
                            format="%(asctime)s %(levelname)s %(name)s: %(message)s")

    out = sys.stdout
    session = Session(args, conf, out)
    # The store prints its lines to sys.stdout, from this thread and its own.
    sys.stdout = sys.stderr
    error = None
    try:
        try:
            args.run(session)
        finally:
            session.close()
        out.flush()
    except BrokenPipeError as e:
        discard_output(out)
        error, failure = e, Failure(None)
    except KeyboardInterrupt as e:
        error, failure = e, Failure("interrupted", 128 + signal.SIGINT)
    except Exception as e:
        error = e
        if isinstance(e, Failure):
            failure = e
        elif isinstance(e, KafkaException):
            failure = session.kafka_failure(e)
        else:
            failure = Failure(f"{type(e).__name__}: {e}")
    finally:
        sys.stdout = out
    if error is None:
        return 0
    if failure.message is not None:
        text = f"{prog}: error: {' '.join(failure.message.splitlines())}"
        if args.debug:
            text = "".join(traceback.format_exception(error)) + text
        for secret in session.secrets():
            text = text.replace(secret, "***")
        print(text, file=sys.stderr)
    return failure.status


if __name__ == "__main__":
    sys.exit(main())
