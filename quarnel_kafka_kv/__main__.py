"""The operator's command line: ``python -m quarnel_kafka_kv`` or ``quarnel-kv``.

Each command opens a store on the collections it names, does its work and
stops the store again. Standard output carries only results, one parseable
line each; the store's own lines, progress and errors go to standard error.
"""
from __future__ import annotations

import argparse
import itertools
import json
import logging
import os
import signal
import sys
import tempfile
import threading
import time
import traceback

from confluent_kafka import KafkaError, KafkaException
from confluent_kafka.admin import AdminClient

from .mervane import KafkaDB

DEFAULT_DB = "quarnel.configs"
# The store gives up on an unreachable cluster after the same time.
METADATA_TIMEOUT_S = 10.0
# Client properties whose values must never reach a message.
SECRET_MARKERS = ("password", "secret", "jaas", "oauthbearer.config", "key.pem")
TRANSPORT_ERRORS = ("_TRANSPORT", "_TIMED_OUT", "_ALL_BROKERS_DOWN")
REFUSAL_ERRORS = ("_AUTHENTICATION", "_SSL")

DESCRIPTION = """\
See and change the collections of a quarnel_kafka_kv database. A collection is
the log-compacted topic <db>.<collection>; keys are text, values JSON."""

EPILOG = """\
Client properties are applied in this order, later ones winning: --config FILE
(a Java properties file: key=value lines, # or ! comments; keep passwords
there rather than on the command line), each -X, then -b.

Exit status: 0 success; 1 failure (Kafka unreachable or refusing the login, a
collection or key that does not exist, bad input to load, status of a store
that is not live); 2 usage error; 128+N when stopped by signal N (Ctrl-C:
130), except watch, which stops with 0.

Ctrl-C during load stops handing keys to Kafka: the keys handed over before it
are written, in input order, the rest are not."""

COMMAND_HELP = {
    "collections": ("list the collections of the database that exist", ""),
    "keys": ("list the keys of a collection, sorted, one per line as text", ""),
    "get": ("print the value under a key as one line of JSON", "A missing key: status 1."),
    "set": ("write a JSON value under a key", "JSON null is refused: use delete."),
    "delete": ("delete a key", "A missing key: status 1, nothing written."),
    "dump": ("print a collection as JSON lines",
             'One {"key": ..., "value": ...} line per key, sorted by key. A value that is not JSON\n'
             "(written by another producer) is named on standard error and left out: status 1."),
    "load": (
        "write keys from JSON lines or a JSON object",
        'Input: the JSON lines of dump, or one JSON object of key to value; a null value deletes\n'
        "its key. The whole input is read and checked before anything is written, then the\n"
        "keys are written in input order as one batch, streamed from the input. Progress (keys\n"
        "written, keys per second) goes to standard error when it is a terminal. Ctrl-C stops\n"
        "handing keys over (status 130): the keys handed over before it are written.",
    ),
    "status": (
        "print the health of a store on the collections as one JSON object",
        'The collections named, or every collection of the database. Exit status 0 when the state\n'
        'is "live", else 1: usable as a health probe. Fields: see status() in the README.',
    ),
    "watch": (
        "print each change to the collections as it happens",
        'One JSON line per change, flushed: {"collection": ..., "key": ..., "value": ...}, or\n'
        '{"collection": ..., "key": ..., "deleted": true}. Changes made before the watch started\n'
        "are not shown. Ctrl-C or SIGTERM stops it with status 0.",
    ),
}


def is_transport_failure(exc):
    return bool(exc.args) and isinstance(exc.args[0], KafkaError) and exc.args[0].name() in TRANSPORT_ERRORS


class Failure(Exception):
    """Ends the run with a one-line message (none when message is None) and a status."""

    def __init__(self, message: str | None, status: int = 1):
        super().__init__(message)
        self.message = message
        self.status = status


# ------------------------------------------------------------------ arguments


def property_argument(text):
    name, sep, value = text.partition("=")
    if not sep or not name.strip():
        # The text itself is not echoed: it may be a misplaced password.
        raise argparse.ArgumentTypeError("expected PROPERTY=VALUE")
    return name.strip(), value


def value_argument(text):
    try:
        value = json.loads(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"not JSON ({e}); a text value needs its quotes, e.g. '\"text\"'") from None
    if value is None:
        raise argparse.ArgumentTypeError("null would delete the key: use the delete command")
    return value


def add_connection_options(parser, dest_suffix=""):
    # Given before the command and after it alike; SUPPRESS keeps a command's
    # parser from overwriting what was given before the command name.
    group = parser.add_argument_group("connection")
    group.add_argument("-b", "--bootstrap-servers", metavar="HOST:PORT[,...]", default=argparse.SUPPRESS,
                       help="the Kafka cluster")
    group.add_argument("--db", metavar="NAME", default=argparse.SUPPRESS,
                       help=f"the database: its topics are named NAME.<collection> (default: {DEFAULT_DB})")
    group.add_argument("-X", dest="properties" + dest_suffix, action="append", type=property_argument,
                       metavar="PROPERTY=VALUE", default=argparse.SUPPRESS,
                       help="any Kafka client property; may be repeated")
    group.add_argument("--config", metavar="FILE", default=argparse.SUPPRESS,
                       help="a properties file of client properties, e.g. credentials")
    group.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                       help="show tracebacks, and log the store's and the Kafka clients' lines to stderr")


def build_parser(prog):
    parser = argparse.ArgumentParser(prog=prog, description=DESCRIPTION, epilog=EPILOG,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    add_connection_options(parser)
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, run):
        summary, details = COMMAND_HELP[name]
        sub = commands.add_parser(name, help=summary, description=f"{summary[0].upper()}{summary[1:]}.\n{details}",
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        sub.set_defaults(run=run)
        add_connection_options(sub, "_after_command")
        return sub

    command("collections", run_collections)
    command("keys", run_keys).add_argument("collection")
    sub = command("get", run_get)
    sub.add_argument("collection")
    sub.add_argument("key")
    sub = command("set", run_set)
    sub.add_argument("collection")
    sub.add_argument("key")
    sub.add_argument("value", metavar="JSON", type=value_argument)
    sub = command("delete", run_delete)
    sub.add_argument("collection")
    sub.add_argument("key")
    command("dump", run_dump).add_argument("collection")
    sub = command("load", run_load)
    sub.add_argument("collection")
    sub.add_argument("file", nargs="?", default="-", help="the input (default: standard input)")
    sub.add_argument("--format", choices=("auto", "lines", "object"), default="auto",
                     help="the input's form; auto tells them apart, but one line holding exactly "
                          '"key" and "value" members reads as JSON lines (default: auto)')
    command("watch", run_watch).add_argument("collections", metavar="collection", nargs="+")
    command("status", run_status).add_argument("collections", metavar="collection", nargs="*")
    return parser


def unescape_property(text):
    out, chars = [], iter(text)
    for c in chars:
        if c != "\\":
            out.append(c)
            continue
        c = next(chars, "")
        if c == "u":
            code = "".join(next(chars, "") for _ in range(4))
            try:
                out.append(chr(int(code, 16)))
            except ValueError:
                raise ValueError(f"bad \\u escape: \\u{code}") from None
        else:
            out.append({"t": "\t", "n": "\n", "r": "\r", "f": "\f"}.get(c, c))
    return "".join(out)


def split_property(line):
    """(name, value) of one logical line: the name ends at the first unescaped =, : or blank."""
    i = 0
    while i < len(line) and line[i] not in "=: \t\f":
        i += 2 if line[i] == "\\" else 1
    rest = line[i:].lstrip(" \t\f")
    if rest[:1] in ("=", ":") and rest:
        rest = rest[1:].lstrip(" \t\f")
    return unescape_property(line[:i]), unescape_property(rest)


def read_properties(path):
    """The properties of a Java-style properties file, in file order."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    props, pending = [], None
    for raw in lines:
        line = raw.lstrip(" \t\f")
        if pending is None and (not line or line[0] in "#!"):
            continue
        continued = (len(line) - len(line.rstrip("\\"))) % 2 == 1
        pending = (pending or "") + (line[:-1] if continued else line)
        if not continued:
            props.append(split_property(pending))
            pending = None
    if pending is not None:
        props.append(split_property(pending))
    return props


def client_properties(parser, args):
    conf = {}
    if getattr(args, "config", None):
        try:
            conf.update(read_properties(args.config))
        except (OSError, UnicodeDecodeError, ValueError) as e:
            parser.error(f"cannot read --config {args.config}: {getattr(e, 'strerror', None) or e}")
    for name, value in getattr(args, "properties", []) + getattr(args, "properties_after_command", []):
        conf[name] = value
    if getattr(args, "bootstrap_servers", None):
        conf["bootstrap.servers"] = args.bootstrap_servers
    if not conf.get("bootstrap.servers"):
        parser.error("no Kafka cluster named: give -b HOST:PORT (or bootstrap.servers in --config or -X)")
    if not args.debug:
        # Its lines would bury the one-line error; failures come back as exceptions anyway.
        conf.setdefault("log_level", "0")
    return conf


# -------------------------------------------------------------------- session


class Session:
    """One run: the client properties, the real standard output, and the store once opened."""

    def __init__(self, args, conf, out):
        self.args = args
        self.conf = conf
        self.out = out
        self.db_name = args.db
        self.db = None
        self._topics = None
        # --debug: the store's lines and the clients' go through logging.
        self.logger = logging.getLogger("quarnel_kafka_kv") if args.debug else None
        # Set by the store's stop action, on its consumer thread.
        self.stopped = threading.Event()
        self.signum = None
        self.stop_reason = "its consumer thread ended"
        self.output_closed = False

    def emit(self, line):
        self.out.write(line + "\n")

    def secrets(self):
        return [str(v) for k, v in self.conf.items() if any(m in k.lower() for m in SECRET_MARKERS) and str(v)]

    def kafka_failure(self, exc):
        error = exc.args[0] if exc.args and isinstance(exc.args[0], KafkaError) else None
        if error is None:
            return Failure(f"Kafka: {exc}")
        name = error.name()
        if name in REFUSAL_ERRORS:
            return Failure(f"Kafka refused the connection ({name}): {error.str()}")
        if name in TRANSPORT_ERRORS:
            return Failure(f"cannot reach Kafka at {self.conf['bootstrap.servers']} ({name}): {error.str()}")
        if name == "_INVALID_ARG":
            return Failure(f"bad client property: {error.str()}", 2)
        if name == "TOPIC_AUTHORIZATION_FAILED":
            # The client's text names neither the topic nor the right.
            return Failure(f"Kafka ({name}): {error.str()} (on the topics {self.db_name}.*: reading needs Describe, "
                           "DescribeConfigs and Read; writing also Write; a missing collection Create and "
                           "AlterConfigs)")
        return Failure(f"Kafka ({name}): {error.str()}")

    def topics(self):
        """The cluster's topic names; the first call also proves the cluster can be reached."""
        if self._topics is not None:
            return self._topics
        refusals = []

        def heard(error):
            if error.name() in REFUSAL_ERRORS:
                refusals.append(error)

        conf = {**self.conf, "error_cb": heard}
        if self.logger:
            conf.setdefault("logger", self.logger)
        try:
            admin = AdminClient(conf)
        except KafkaException as e:
            raise self.kafka_failure(e) from e
        except (ValueError, TypeError) as e:
            raise Failure(f"bad client property: {e}", 2) from e
        deadline = time.monotonic() + METADATA_TIMEOUT_S
        # Short waits, so that Ctrl-C is seen and a refused login ends the wait at once.
        while True:
            try:
                self._topics = set(admin.list_topics(timeout=0.5).topics)
                break
            except KafkaException as e:
                if not is_transport_failure(e):
                    raise self.kafka_failure(e) from e
                # A refused login reaches only the error callback, which poll serves.
                admin.poll(0)
                if refusals:
                    raise self.kafka_failure(KafkaException(refusals[-1])) from e
                if time.monotonic() >= deadline:
                    raise self.kafka_failure(e) from e
        return self._topics

    def collection_names(self):
        prefix = self.db_name + "."
        return sorted(t[len(prefix):] for t in self.topics() if t.startswith(prefix) and len(t) > len(prefix))

    def require(self, names):
        """Fails unless every collection exists, so that reading one never creates its topic."""
        existing = set(self.collection_names())
        for name in names:
            if name not in existing:
                raise Failure(f"no collection {name!r} in database {self.db_name!r}")

    def open(self, names, defer_signals=True, cls=KafkaDB):
        self.topics()
        if self.logger:
            cls = type(cls.__name__, (cls,), {"logger": self.logger})
        try:
            self.db = cls(self.conf, names, self.db_name, on_consumer_kill=self.store_stopped)
        except KafkaException as e:
            raise self.kafka_failure(e) from e
        except Exception as e:
            # The store's SIGINT/SIGTERM handler stopped it during the replay.
            if self.stopped.is_set():
                raise Failure("interrupted", 128 + signal.SIGINT) from e
            raise
        self.db.read_your_writes = True
        if defer_signals:
            # Replaces the store's handler, which would stop it under a running write.
            for sig in (signal.SIGINT, signal.SIGTERM):
                signal.signal(sig, self.defer_signal)
        return self.db

    def defer_signal(self, signum, _frame):
        self.signum = signum

    def check(self, what="interrupted"):
        """Raises once a signal arrived or the store stopped by itself."""
        if self.signum is not None:
            raise Failure(what, 128 + self.signum)
        if self.stopped.is_set():
            raise Failure(f"the store stopped: {self.stop_reason}")

    def close(self):
        if self.db is not None:
            db, self.db = self.db, None
            db.close()
            db.cons_thr.join()

    def store_stopped(self):
        # On the consumer thread, as the store's stop action; a failure that
        # stopped it is kept on the store (and printed there).
        error = getattr(self.db, "_stop_error", None)
        if error is not None:
            self.stop_reason = f"{type(error).__name__}: {error}"
        self.stopped.set()


# ------------------------------------------------------------------- commands


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


def is_record(obj):
    return isinstance(obj, dict) and set(obj) == {"key", "value"} and isinstance(obj["key"], str)


def parse_entries(text, form, source):
    """The (key, value) pairs of load's input, in input order."""
    if form in ("auto", "object"):
        try:
            whole = json.loads(text)
        except ValueError as e:
            if form == "object":
                raise Failure(f"{source}: not a JSON object: {e}") from None
        else:
            if form == "object" or not is_record(whole):
                if not isinstance(whole, dict):
                    raise Failure(f'{source}: expected a JSON object of key to value, or JSON lines of '
                                  f'{{"key": ..., "value": ...}}')
                return list(whole.items())
    # Not splitlines: it would also split at separators a JSON string may hold raw.
    return list(parse_lines(text.split("\n"), source))


def parse_lines(lines, source, first_number=1):
    """The (key, value) of each JSON line, numbered from first_number; blank lines are skipped."""
    for number, line in enumerate(lines, first_number):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except ValueError as e:
            raise Failure(f"{source}, line {number}: not JSON: {e}") from None
        if not is_record(record):
            raise Failure(f'{source}, line {number}: expected {{"key": "...", "value": ...}}')
        yield record["key"], record["value"]


# Inputs of up to this many entries are parsed once and kept; larger ones are
# parsed again as they are written, so that memory stays bounded.
KEEP_ENTRIES = 100_000


class LoadInput:
    """load's input: checked whole before anything is written, then streamed to the store.

    JSON lines are read line by line (standard input is spooled to a temporary file
    for the second reading); a single JSON object is read whole, as json.loads needs it.
    """

    def __init__(self, path, form):
        self.path, self.form = path, form
        self.source = "standard input" if path == "-" else path
        self.kept = None  # the entries, when few enough to keep
        self.spool = None
        self.count = self.deleted = 0

    def _open(self):
        if self.path != "-":
            return open(self.path, encoding="utf-8")
        if self.spool is not None:
            self.spool.seek(0)
            return self.spool
        if sys.stdin.isatty():
            print("reading from the terminal; end with Ctrl-D", file=sys.stderr)
        self.spool = tempfile.SpooledTemporaryFile(max_size=64 << 20, mode="w+", encoding="utf-8")
        return sys.stdin

    def _reading(self, what):
        try:
            return what()
        except OSError as e:
            raise Failure(f"cannot read {self.source}: {e.strerror or e}") from None
        except UnicodeDecodeError as e:
            raise Failure(f"cannot read {self.source}: not UTF-8 ({e.reason})") from None

    def _lines(self, stream):
        # A text stream splits at "\n" only (after newline translation), as text.split("\n") does.
        for line in stream:
            if self.spool is not None and stream is not self.spool:
                self.spool.write(line)
            yield line[:-1] if line.endswith("\n") else line

    def _entries(self, stream):
        """The entries of the input, in input order, checked as they are read."""
        lines = self._lines(stream)
        if self.form == "lines":
            return parse_lines(lines, self.source)
        # auto: a first line that is a record makes JSON lines; anything else is read whole.
        head = []
        for line in lines:
            head.append(line)
            if line.strip():
                break
        if self.form == "auto" and head and is_record(self._json_or_none(head[-1])):
            return itertools.chain(parse_lines(head, self.source), parse_lines(lines, self.source, len(head) + 1))
        return iter(parse_entries("\n".join(itertools.chain(head, lines)), self.form, self.source))

    @staticmethod
    def _json_or_none(text):
        try:
            return json.loads(text)
        except ValueError:
            return None

    def check(self):
        """Reads and checks the whole input; returns the number of entries."""
        def read():
            kept = []
            stream = self._open()
            try:
                for key, value in self._entries(stream):
                    self.count += 1
                    self.deleted += value is None
                    if kept is not None:
                        kept.append((key, value))
                        if len(kept) > KEEP_ENTRIES:
                            kept = None
            finally:
                if stream is not sys.stdin and stream is not self.spool:
                    stream.close()
            self.kept = kept
        self._reading(read)
        return self.count

    def entries(self):
        """The checked entries again, streamed."""
        if self.kept is not None:
            yield from self.kept
            return
        stream = self._reading(self._open)
        try:
            it = self._entries(stream)
            while True:
                entry = self._reading(lambda: next(it, None))
                if entry is None:
                    return
                yield entry
        finally:
            stream.close()


class Progress:
    """Keys handed to the store and their rate, on one rewritten line of a terminal."""

    interval = 0.2  # seconds between two drawings

    def __init__(self, collection, total):
        self.collection, self.total = collection, total
        self.live = sys.stderr.isatty()
        self.started = self.shown = time.monotonic()
        self.drawn = False

    def update(self, done):
        now = time.monotonic()
        if self.live and now - self.shown >= self.interval:
            self.shown, self.drawn = now, True
            rate = done / max(now - self.started, 1e-9)
            sys.stderr.write(f"\rloading {self.collection}: {done}/{self.total} keys, {rate:,.0f} keys/s\033[K")
            sys.stderr.flush()

    def clear(self):
        if self.drawn:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def run_load(s):
    collection = s.args.collection
    source = LoadInput(s.args.file, s.args.format)
    total = source.check()
    if not total:
        s.topics()  # still tells an unreachable cluster apart, without creating the collection
        print(f"loaded 0 keys into {collection}", file=sys.stderr)
        return
    db = s.open([collection])
    progress = Progress(collection, total)
    handed = 0

    def entries():
        nonlocal handed
        for entry in source.entries():
            s.check(f"interrupted: the first {handed} of {total} keys are written, the rest are not")
            progress.update(handed)
            yield entry
            handed += 1

    try:
        db.set_collection_values(collection, entries())
    except KafkaException as e:
        failure = s.kafka_failure(e)
        missing = getattr(e, "not_written", None)
        if missing is None:
            raise Failure(f"not every key was written: {failure.message}") from e
        shown = ", ".join(repr(key) for key in missing[:5]) + (", ..." if len(missing) > 5 else "")
        rest = "every other key is" if len(missing) < total else "none is"
        raise Failure(f"{len(missing)} of {total} keys not written ({shown}); {rest}: {failure.message}") from e
    finally:
        progress.clear()
    if s.signum is not None:
        raise Failure(f"interrupted after all {total} keys were written", 128 + s.signum)
    print(f"loaded {total} keys into {collection} ({source.deleted} deleted)", file=sys.stderr)


def run_status(s):
    names = list(dict.fromkeys(s.args.collections)) or s.collection_names()
    if not names:
        raise Failure(f"no collections in database {s.db_name!r}")
    s.require(names)
    status = s.open(names).status()
    s.emit(json.dumps(status))
    if status["state"] != "live":
        raise Failure(None)


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


# ----------------------------------------------------------------------- main


def discard_output(out):
    # Nothing more can reach the reader; without this the interpreter's own
    # flush at exit would fail again, with a message.
    os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())


def program_name():
    name = os.path.basename(sys.argv[0])
    return "python -m quarnel_kafka_kv" if name in ("__main__.py", "-m", "") else name


def main(argv=None):
    prog = program_name()
    parser = build_parser(prog)
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
