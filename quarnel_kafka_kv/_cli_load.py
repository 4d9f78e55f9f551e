"""The load command: input checked whole before anything is written, then streamed as one batch."""
from __future__ import annotations

import itertools
import json
import sys
import tempfile
import time

from confluent_kafka import KafkaException

from ._cli_args import Failure


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
