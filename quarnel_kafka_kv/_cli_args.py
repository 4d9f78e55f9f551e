"""The command line's arguments: options, help texts, client properties, and how a run ends."""
from __future__ import annotations

import argparse
import json
import os
import sys

from confluent_kafka import KafkaError

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
        "print what the cluster says of the collections as one JSON object",
        'The collections named, or every collection of the database: per collection its topic, and\n'
        'per partition the first and the end offset (records: the records the topic keeps, deleted\n'
        'and replaced ones among them until they are compacted). No store is opened and no record\n'
        'is read. Exit status 0 when the cluster answered within 5 s and every collection exists,\n'
        'else 1: usable as a health probe of the cluster.',
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


def build_parser(prog, runs):
    """The parser; `runs` maps each command's name to the function that runs it."""
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

    command("collections", runs["collections"])
    command("keys", runs["keys"]).add_argument("collection")
    sub = command("get", runs["get"])
    sub.add_argument("collection")
    sub.add_argument("key")
    sub = command("set", runs["set"])
    sub.add_argument("collection")
    sub.add_argument("key")
    sub.add_argument("value", metavar="JSON", type=value_argument)
    sub = command("delete", runs["delete"])
    sub.add_argument("collection")
    sub.add_argument("key")
    command("dump", runs["dump"]).add_argument("collection")
    sub = command("load", runs["load"])
    sub.add_argument("collection")
    sub.add_argument("file", nargs="?", default="-", help="the input (default: standard input)")
    sub.add_argument("--format", choices=("auto", "lines", "object"), default="auto",
                     help="the input's form; auto tells them apart, but one line holding exactly "
                          '"key" and "value" members reads as JSON lines (default: auto)')
    command("watch", runs["watch"]).add_argument("collections", metavar="collection", nargs="+")
    command("status", runs["status"]).add_argument("collections", metavar="collection", nargs="*")
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


def program_name():
    name = os.path.basename(sys.argv[0])
    return "python -m quarnel_kafka_kv" if name in ("__main__.py", "-m", "") else name


def discard_output(out):
    # Nothing more can reach the reader; without this the interpreter's own
    # flush at exit would fail again, with a message.
    os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
