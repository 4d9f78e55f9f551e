"""The run's history: one JSON object a line, written by every process as things happen.

A worker writes an `invoke` line before each write and an `ok` or `fail` line after it, so that a write
cut short by a SIGKILL is still known to have been attempted (its outcome is unknown). Lines are written
with one write call each and flushed at once: a killed process loses at most the line it was writing,
which the reader skips.

Line kinds (`e`):
  invoke   a write starts: id, w (worker slot), i (incarnation), s (store opened in that process),
           th (thread), f (set, delete, batch, aset, abatch, adelete), c (collection), kv [[key, value]...],
           t (wall time)
  ok/fail  it ended: id, t, err (fail), after {key: value read right after, read_your_writes stores},
           bounded (returned after waiting its whole publish_pause_s)
  read     an owner's read of its own key: w, i, s, th, c, k, v, t0, t1
  reads    a reader's sweep: w, n (keys read), t
  store    a store opened or closed in a worker: w, i, s, what (open, close), t, ryw
  rss      a worker's resident set: w, i, kb, t
  fault    from the coordinator: kind, t0, t1, detail
"""
from __future__ import annotations

import json
import os
import threading
import time


class HistoryWriter:
    def __init__(self, path):
        self._fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        self._lock = threading.Lock()

    def write(self, **fields):
        fields.setdefault("t", time.time())
        line = (json.dumps(fields, separators=(",", ":"), default=str) + "\n").encode()
        with self._lock:
            os.write(self._fd, line)

    def close(self):
        with self._lock:
            os.close(self._fd)


def read_history(paths):
    """Every complete line of the files, in time order (a line cut by a kill is skipped)."""
    events = []
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                try:
                    events.append(json.loads(line))
                except ValueError:
                    continue
    events.sort(key=lambda e: e.get("t", e.get("t0", 0)))
    return events


class Op:
    """One write as the checker sees it: what was asked, and how it ended (None: never heard of)."""

    __slots__ = ("id", "w", "i", "s", "th", "f", "c", "kv", "t0", "t1", "outcome", "err", "after", "bounded",
                 "ryw", "order")

    def __init__(self, invoke, order):
        self.id = invoke["id"]
        self.w, self.i, self.s, self.th = invoke["w"], invoke["i"], invoke["s"], invoke["th"]
        self.f, self.c, self.kv, self.t0 = invoke["f"], invoke["c"], invoke["kv"], invoke["t"]
        self.ryw = invoke.get("ryw", False)
        self.t1 = None
        self.outcome = None  # "ok", "fail", or None when the process died first
        self.err = None
        self.after = None
        self.bounded = False
        self.order = order

    @property
    def confirmed(self):
        return self.outcome == "ok"

    def brief(self):
        end = f"{self.outcome} at {self.t1:.3f}" if self.t1 else "no end (process killed)"
        text = f"{self.id} {self.f} {self.c} {self.kv} from {self.t0:.3f}: {end}"
        if self.err:
            text += f" ({self.err})"
        if self.after is not None:
            text += f"; read right after: {self.after}"
        return text


def collect_ops(events):
    """The writes of the history with their outcomes, in invocation order."""
    ops, by_id = [], {}
    for e in events:
        kind = e.get("e")
        if kind == "invoke":
            op = Op(e, len(ops))
            ops.append(op)
            by_id[op.id] = op
        elif kind in ("ok", "fail") and e.get("id") in by_id:
            op = by_id[e["id"]]
            op.outcome, op.t1, op.err = kind, e["t"], e.get("err")
            op.after, op.bounded = e.get("after"), e.get("bounded", False)
    return ops
