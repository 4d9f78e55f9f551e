"""The invariants, checked against the history, the stores' reports and a bare reading of the log.

  1  every confirmed write is in the log: an owned key ends with its writer's last confirmed value or a
     later unconfirmed one; after a topic re-created or truncated, only writes begun after it count
  2  every running store's copy, a fresh store's copy and the log are equal, collection by collection
  3  with read_your_writes, a confirmed write was readable by its own store right after, and its owner's
     later reads on that store saw it (or a later write of its own)
  4  what the listeners were told, key by key, equals the copy
  5  no worker ended but by an injected fault, none hung, every exit status is the documented one
  6  a long-lived worker's resident set at the end is within 10% of where it stood after the warm-up

A write that raised, or whose process was killed before it returned, is unconfirmed: it may or may not be
in the log. A read_your_writes write that returned only after its whole publish_pause_s ("bounded") is
confirmed for 1 but not for 3.
"""
from __future__ import annotations

import json
from collections import Counter, defaultdict

from history import collect_ops

DATA_LOSS = ("topic-recreate", "truncate")
# A store sees a re-created or truncated log within about 2 s; reads until then may show the old copy.
SETTLE = 15.0
RSS_GROWTH = 0.10


class Violation:
    def __init__(self, invariant, text, key=None, ops=()):
        self.invariant, self.text, self.key, self.ops = invariant, text, key, list(ops)


def show(value):
    return "absent" if value is None else json.dumps(value, sort_keys=True)[:120]


def value_of(op, key):
    values = [v for k, v in op.kv if k == key]
    return values[-1] if values else None


class Checker:
    def __init__(self, events, reports, log, exits, rss_baseline, rss_enforced):
        self.events = events
        self.reports = reports  # [(name, report)]
        self.log = log
        self.exits = exits
        self.rss_baseline, self.rss_enforced = rss_baseline, rss_enforced
        self.ops = collect_ops(events)
        self.faults = [e for e in events if e.get("e") == "fault"]
        self.losses = defaultdict(list)
        for f in self.faults:
            if f["kind"] in DATA_LOSS:
                self.losses[f["c"]].append(f)
        self.by_key = defaultdict(list)
        for op in self.ops:
            for k, _ in op.kv:
                self.by_key[(op.c, k)].append(op)
        self.violations = []
        self.ryw_checked = 0  # writes read back right after, and owners' reads, that invariant 3 judged

    def check(self):
        self.confirmed_writes_in_log()
        self.copies_equal_log()
        self.read_your_writes()
        self.listeners_match()
        self.exit_statuses()
        self.memory()
        return self.violations

    def violate(self, invariant, text, key=None, ops=()):
        self.violations.append(Violation(invariant, text, key, ops))

    # -- 1 ---------------------------------------------------------------------------------------------------

    def last_loss(self, c):
        return self.losses[c][-1] if self.losses[c] else None

    def allowed_values(self, c, k, ops):
        """The values the log may hold for an owned key, and the write that decides it (or None)."""
        loss = self.last_loss(c)
        after = [op for op in ops if loss is None or op.t0 > loss["t1"]]
        confirmed = [op for op in after if op.confirmed]
        if confirmed:
            last = confirmed[-1]
            later = after[after.index(last) + 1:]
            return [value_of(last, k)] + [value_of(op, k) for op in later if not op.confirmed], last
        maybe = [op for op in after if not op.confirmed]
        if loss:
            maybe += [op for op in ops if op.t0 <= loss["t1"] and (op.t1 is None or op.t1 >= loss["t0"])]
        return [None] + [value_of(op, k) for op in maybe], None

    def confirmed_writes_in_log(self):
        keys = set(self.by_key)
        for c, values in self.log.items():
            keys |= {(c, k) for k in values}
        for c, k in sorted(keys):
            ops = self.by_key.get((c, k), [])
            held = self.log.get(c, {}).get(k)
            if k.startswith("s"):
                allowed = [None] + [value_of(op, k) for op in ops]
                if held not in allowed:
                    self.violate(1, f"shared key {k} in {c}: the log holds {show(held)}, which no write wrote",
                                 (c, k))
                continue
            allowed, last = self.allowed_values(c, k, [op for op in ops if op.f != "shared"])
            if held not in allowed:
                if last:
                    text = (f"{k} in {c}: the log holds {show(held)}, but write {last.id} ({last.f}) confirmed "
                            f"{show(value_of(last, k))} and no later write of the key is unconfirmed with that value")
                else:
                    text = f"{k} in {c}: the log holds {show(held)}, which no write that may have landed wrote"
                self.violate(1, text, (c, k), [last] if last else [])

    # -- 2 and 4 ---------------------------------------------------------------------------------------------

    def difference(self, mine, theirs):
        missing = sorted(set(theirs) - set(mine))
        extra = sorted(set(mine) - set(theirs))
        differ = sorted(k for k in set(mine) & set(theirs) if mine[k] != theirs[k])
        parts = []
        for label, keys in (("lacks", missing), ("has extra", extra), ("differs on", differ)):
            if keys:
                parts.append(f"{label} {len(keys)} key(s) ({', '.join(keys[:4])}{', ...' if len(keys) > 4 else ''})")
        return "; ".join(parts), (missing + extra + differ)[:1]

    def copies_equal_log(self):
        for name, report in self.reports:
            if not report.get("caught_up"):
                self.violate(2, f"{name} did not reach the log's end offsets while live: "
                                f"{json.dumps(report.get('status'))[:600]}")
            for c, values in self.log.items():
                text, first = self.difference(report["copy"].get(c, {}), values)
                if text:
                    self.violate(2, f"{name}'s copy of {c} against the log: {text}",
                                 (c, first[0]) if first else None)

    def listeners_match(self):
        for name, report in self.reports:
            if "listened" not in report:
                continue
            for c, copy in report["copy"].items():
                text, first = self.difference(report["listened"].get(c, {}), copy)
                if text:
                    self.violate(4, f"{name}: its listeners' view of {c} against its copy: {text}",
                                 (c, first[0]) if first else None)

    # -- 3 ---------------------------------------------------------------------------------------------------

    def near_loss(self, c, t0, t1):
        return any(f["t0"] <= t1 and t0 <= (f["t1"] or f["t0"]) + SETTLE for f in self.losses[c])

    def read_your_writes(self):
        for op in self.ops:
            if not (op.confirmed and op.ryw and op.after is not None) or op.bounded or op.f == "shared":
                continue
            if self.near_loss(op.c, op.t0, op.t1 + 1):
                continue
            self.ryw_checked += 1
            for k, v in op.kv:
                if op.after.get(k) != v:
                    self.violate(3, f"{k} in {op.c}: write {op.id} ({op.f}) returned, but a read right after on "
                                    f"its store gave {show(op.after.get(k))}, not {show(v)}", (op.c, k), [op])
        for e in self.events:
            if e.get("e") != "read" or not e.get("ryw"):
                continue
            c, k = e["c"], e["k"]
            ops = [op for op in self.by_key.get((c, k), []) if op.t0 < e["t0"]]
            confirmed = [op for op in ops if op.confirmed and op.t1 <= e["t0"]]
            if not confirmed:
                continue
            last = confirmed[-1]
            if (last.w, last.i, last.s) != (e["w"], e["i"], e["s"]) or last.bounded:
                continue
            if self.near_loss(c, last.t0, e["t1"]):
                continue
            self.ryw_checked += 1
            allowed = [value_of(last, k)] + [value_of(op, k) for op in ops[ops.index(last) + 1:]]
            if e["v"] not in allowed:
                self.violate(3, f"{k} in {c}: its owner read {show(e['v'])} at {e['t0']:.3f} on the store that "
                                f"confirmed write {last.id} of {show(value_of(last, k))}", (c, k), [last])

    # -- 5 and 6 ---------------------------------------------------------------------------------------------

    def exit_statuses(self):
        for x in self.exits:
            if x["status"] not in x["expected"]:
                self.violate(5, f"worker {x['name']} ended with status {x['status']} ({x['why']}), expected "
                                f"{' or '.join(map(str, x['expected']))}; stderr ends:\n{x['stderr']}")

    def memory(self):
        for name, report in self.reports:
            start = self.rss_baseline.get(name)
            if start and self.rss_enforced and report["rss_kb"] > start * (1 + RSS_GROWTH):
                self.violate(6, f"{name}'s resident set grew from {start / 1024:.1f} MiB after the warm-up to "
                                f"{report['rss_kb'] / 1024:.1f} MiB")

    # -- output ----------------------------------------------------------------------------------------------

    def history_slice(self, violation, width=10.0, limit=40):
        """The key's operations around the violation and the faults in that time, as lines."""
        if violation.key is None:
            return []
        c, k = violation.key
        mine = [e for e in self.events if e.get("c") == c and (e.get("k") == k or any(
            pair[0] == k for pair in e.get("kv", ())))]
        ids = {e["id"] for e in mine if "id" in e}
        mine += [e for e in self.events if e.get("e") in ("ok", "fail") and e.get("id") in ids]
        if not mine:
            return []
        focus = [op.t0 for op in violation.ops] or [mine[-1]["t"]]
        lo, hi = min(focus) - width, max(focus) + width
        nearby = [f for f in self.faults if f["t0"] <= hi and (f["t1"] or f["t0"]) >= lo]
        if violation.invariant in (2, 4):
            # A copy that differs at the end: every event of the collection's log counts, whenever it was.
            nearby += [f for f in self.faults if f.get("c") == c and f not in nearby]
        lines = sorted([e for e in mine if lo <= e["t"] <= hi] + nearby, key=lambda e: e["t"])
        return [json.dumps(e, sort_keys=True, default=str)[:400] for e in lines[-limit:]]

    def counts(self):
        kinds = Counter(op.f for op in self.ops)
        kinds["read"] = sum(1 for e in self.events if e.get("e") == "read")
        kinds["reads"] = sum(e.get("n", 0) for e in self.events if e.get("e") == "reads")
        confirmed = sum(op.confirmed for op in self.ops)
        unknown = sum(op.outcome is None for op in self.ops)
        return kinds, confirmed, unknown, Counter(f["kind"] for f in self.faults)
