"""A run: workers on one database, faults injected while they work, then the checks.

run(cluster, Options(...)) is called by the command line (__main__.py) and by the test suite; the cluster is
tools/kafka/cluster.py's KafkaCluster (three nodes, under this process's control).
"""
from __future__ import annotations

import json
import queue
import random
import signal
import subprocess
import sys
import threading
import time
import uuid
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "kafka"))

import cluster as kafka_tooling  # noqa: E402
import faults  # noqa: E402
from checker import Checker  # noqa: E402
from history import HistoryWriter, read_history  # noqa: E402
from workload import COLLECTIONS  # noqa: E402

PARTITIONS = {"a": 1, "b": 1, "m": 3}
RYW_PAUSE = 10.0  # publish_pause_s of the read_your_writes workers: the bound of their visibility wait
PLAIN_PAUSE = 0.02


@dataclass
class Options:
    seconds: float = 120.0
    seed: int = 0
    workers: int = 4
    kinds: tuple = faults.ALL_KINDS
    avoid_known: bool = False  # leave out what faults.KNOWN_FAULTS names
    workdir: Path = Path(".")
    log_phase: float = 0.35  # the share of the run given to the log events, at its end
    rss_enforced: bool = False
    say: object = print


@dataclass
class Result:
    summary: str
    violations: list
    details: list = field(default_factory=list)
    counts: dict = field(default_factory=dict)

    @property
    def passed(self):
        return not self.violations


def _stopped(pid):
    """Whether the process is frozen (SIGSTOP)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "T"
    except (OSError, IndexError):
        return False


def beyond(report, ends):
    """Whether a store applied records past the end offsets of the log's reading."""
    return any(p["position"] > ends.get(c, {}).get(str(p["partition"]), 0)
               for c, status in report["status"]["collections"].items() for p in status["partitions"])


def worker_kind(slot):
    """Slot 0 and 2 read their writes, 1 and 3 pause; slot 2 owns its process (status 0 on SIGTERM)."""
    return {"ryw": slot % 2 == 0, "owns_process": slot % 4 == 2}


class WorkerProcess:
    def __init__(self, run, slot, incarnation, fresh=False):
        self.run, self.slot, self.incarnation = run, slot, incarnation
        self.name = "fresh store" if fresh else f"w{slot}" + (f" (restart {incarnation})" if incarnation else "")
        kind = {"ryw": False, "owns_process": False} if fresh else worker_kind(slot)
        self.owns_process = kind["owns_process"]
        self.ready, self.ended, self.expected = False, False, (0,)
        self.reopening = False
        self.history = None if fresh else run.workdir / f"w{slot}.{incarnation}.jsonl"
        self.stderr_path = run.workdir / ("fresh.stderr" if fresh else f"w{slot}.{incarnation}.stderr")
        args = [sys.executable, "-u", str(HERE / "workload.py"), "--bootstrap", run.bootstrap, "--db", run.db,
                "--slot", str(slot), "--incarnation", str(incarnation),
                "--seed", str(run.options.seed * 1000 + slot * 100 + incarnation),
                "--pause", str(RYW_PAUSE if kind["ryw"] else PLAIN_PAUSE)]
        args += ["--threads", "0"] if fresh else ["--history", str(self.history)]
        args += ["--ryw"] if kind["ryw"] else []
        args += ["--owns-process"] if kind["owns_process"] else []
        with open(self.stderr_path, "w") as stderr:
            self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr,
                                         text=True, cwd=HERE)
        self.lines = queue.Queue()
        self.pump_thread = threading.Thread(target=self.pump, daemon=True)
        self.pump_thread.start()

    def pump(self):
        for line in self.proc.stdout:
            # The store prints its own lines to standard output too; the answers are the upper-case words.
            word = line.split(maxsplit=1)[:1]
            if word == ["REOPENED"]:
                self.reopening = False
            elif word and word[0] in ("READY", "QUIESCED", "REPORTED"):
                self.lines.put(line.rstrip("\n"))

    def send(self, line):
        try:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass

    def expect(self, word, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=0.2)
            except queue.Empty:
                if self.proc.poll() is not None:
                    return None
                continue
            if line.startswith(word):
                if word == "READY":
                    self.ready = True
                return line
        return None

    def check_ready(self):
        while not self.ready:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                return
            self.ready = line.startswith("READY")

    def release(self):
        """Closes the pipes once the process has ended and its output is read."""
        self.pump_thread.join(10)
        for pipe in (self.proc.stdin, self.proc.stdout):
            try:
                pipe.close()
            except OSError:
                pass

    def stderr_tail(self, lines=25):
        """The end of its standard error, without the Kafka client's own lines (%N|...)."""
        try:
            text = self.stderr_path.read_text(errors="replace").splitlines()
        except OSError:
            return ""
        return "\n".join([line for line in text if not line.startswith("%")][-lines:])


class Run:
    def __init__(self, cluster, options):
        self.cluster, self.options = cluster, options
        self.bootstrap = cluster.bootstrap
        self.db = f"chaos{options.seed}x{uuid.uuid4().hex[:6]}"
        self.workdir = Path(options.workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.rng = random.Random(options.seed)
        self.say = options.say
        self.workers = {}
        self.started = []
        self.exits = []
        self.fault_log = HistoryWriter(self.workdir / "faults.jsonl")
        self.topics = [f"{self.db}.{c}" for c in COLLECTIONS]
        self.last_log_event = 0.0
        self.lanes = {}
        self.whole_at = 0.0  # when every node last saw every broker

    # -- workers ---------------------------------------------------------------------------------------------

    def start_worker(self, slot, incarnation):
        self.workers[slot] = WorkerProcess(self, slot, incarnation)
        self.started.append(self.workers[slot])

    def clean_up(self):
        """Leaves no worker running and every broker up, also after a run that failed part-way."""
        for worker in self.started:
            if worker.proc.poll() is None:
                worker.proc.kill()
                worker.proc.wait()
            worker.release()
        for i, node in enumerate(self.cluster.nodes):
            self.cluster.resume_node(i)
            if not node.alive():
                faults.BrokerControl.submit(lambda i=i: self.cluster.start_node(i)).result(300)
        faults.delete_topics(self.bootstrap, self.db, COLLECTIONS)

    def ended(self, worker, why):
        worker.ended = True
        worker.release()
        self.exits.append({"name": worker.name, "status": worker.proc.returncode, "expected": worker.expected,
                           "why": why, "stderr": worker.stderr_tail()})

    def watch_workers(self):
        for slot, worker in list(self.workers.items()):
            worker.check_ready()
            if worker.proc.poll() is not None and not worker.ended:
                # Died of itself: a violation, and a fresh incarnation keeps the run going.
                self.ended(worker, "ended during the run")
                self.say(f"chaos: {worker.name} ended with status {worker.proc.returncode}")
                self.start_worker(slot, worker.incarnation + 1)

    def ready_workers(self, reopenable=False):
        # w0 keeps its first store: the memory check follows it through the whole run.
        return [w for w in self.workers.values() if w.ready and not w.ended and not w.reopening
                and not (reopenable and (w.owns_process or w.slot == 0))]

    def opening(self):
        """Whether a worker is opening a store (a restart or a reopen)."""
        return any(not w.ended and (not w.ready or w.reopening) for w in self.workers.values())

    # -- faults ----------------------------------------------------------------------------------------------

    def inject(self, kind):
        rng = self.rng
        try:
            if kind in faults.BROKER_KINDS:
                if self.options.avoid_known and self.opening():
                    return None
                return faults.broker_fault(kind, self.cluster, self.topics, rng)
            if kind == "worker-kill":
                candidates = self.ready_workers()
                if len(candidates) < len(self.workers):
                    return None
                # w0 lives through the whole run, for the memory check.
                victim = rng.choice([w for w in candidates if w.slot != 0])
                victim.expected = (-signal.SIGKILL,)
                victim.proc.kill()
                victim.proc.wait()
                self.ended(victim, "SIGKILL injected")
                fault = faults.Fault(kind, f"{victim.name} SIGKILL")
                fault.end_at = time.monotonic() + rng.uniform(0.5, 3)
                fault.undo = lambda: self.start_worker(victim.slot, victim.incarnation + 1)
                fault.hold_while = self.outage if self.options.avoid_known else None
                return fault
            if kind == "store-reopen" and self.options.avoid_known and self.outage():
                return None
            if kind in faults.STORE_KINDS:
                candidates = self.ready_workers(reopenable=kind == "store-reopen")
                if not candidates:
                    return None
                target = rng.choice(candidates)
                if kind == "store-reopen":
                    target.reopening = True
                    target.send("reopen")
                    return faults.Fault(kind, f"{target.name}: close() under its threads, then a new store")
                hold, delay = rng.uniform(1, 4), rng.choice((0.005, 0.01, 0.02))
                target.send(f"slow {hold} {delay}")
                fault = faults.Fault(kind, f"{target.name}: listeners take {delay}s a record for {hold:.1f}s")
                fault.end_at = time.monotonic() + hold
                return fault
            fault = faults.log_event(kind, self.bootstrap, self.db, list(COLLECTIONS), rng)
            self.last_log_event = time.monotonic()
            return fault
        except Exception as e:  # noqa: BLE001 - a fault that could not be staged is said, not fatal
            self.say(f"chaos: {kind} not injected: {type(e).__name__}: {e}")
            return None

    def outage(self):
        """Whether a broker is down, frozen, or back but not yet seen by every node (a frozen one that was
        fenced rejoins some seconds after it runs again)."""
        if self.lanes["brokers"].active is not None or len(self.cluster.alive_nodes()) < len(
                self.cluster.nodes) or any(n.pid and _stopped(n.pid) for n in self.cluster.nodes):
            return True
        if time.monotonic() - self.whole_at > 1.0:
            ids = {n.node_id for n in self.cluster.nodes}
            try:
                if any(kafka_tooling.broker_ids(n.broker_port) != ids for n in self.cluster.nodes):
                    return True
            except OSError:
                return True
            self.whole_at = time.monotonic()
        return False

    def done(self, fault):
        self.fault_log.write(**fault.record())
        self.say(f"chaos: {fault.kind}: {fault.detail} ({fault.t1 - fault.t0:.1f}s)")

    # -- the run ---------------------------------------------------------------------------------------------

    def run(self):
        options = self.options
        kinds = self.kinds = set(options.kinds) - (set(faults.AVOIDED_KINDS) if options.avoid_known else set())
        began = time.monotonic()
        faults.create_topics(self.bootstrap, self.db, PARTITIONS)
        for slot in range(options.workers):
            self.start_worker(slot, 0)
        for worker in self.workers.values():
            if not worker.expect("READY", 120):
                raise RuntimeError(f"{worker.name} did not open its store:\n{worker.stderr_tail()}")
        start = time.monotonic()
        self.say(f"chaos: {options.workers} workers on {self.db} ready in {start - began:.1f}s; seed {options.seed}")
        # A run is one cycle of the faults, a long one several of about ten minutes.
        cycles = max(1, round(options.seconds / 600))
        cycle = options.seconds / cycles
        warmup = min(60.0, max(10.0, cycle * 0.1))
        pick = lambda group: [k for k in group if k in kinds]  # noqa: E731
        # Shorter gaps in a short run, so that it still gets every kind.
        gap = (1, 4) if cycle < 300 else (2, 10)
        lanes = self.lanes = {name: faults.Lane(name, pick(group), self.rng, gap, self.inject) for name, group in (
            ("brokers", faults.BROKER_KINDS), ("workers", faults.WORKER_KINDS), ("stores", faults.STORE_KINDS),
            ("logs", faults.LOG_KINDS))}
        for lane in lanes.values():
            lane.next_at += warmup
        # A cycle has two phases: the broker faults, then the log events, which need a whole cluster and lose
        # data by definition; workers and stores have faults in both. A phase lasts its share of the cycle
        # and, on a machine slow enough that a broker restart takes a minute, longer, until each of its kinds
        # came once (at most its share again).
        log_share = options.log_phase if lanes["logs"].kinds else 0.0
        phases = [(("brokers", "workers", "stores"), cycle * (1 - log_share)),
                  (("logs", "workers", "stores"), cycle * log_share)] * cycles
        # The memory check's baseline: after the warm-up, or in a run of several cycles after the first, when
        # every kind has run and the allocator holds what a store's rebuilds and restarts of clients take.
        rss_from = time.time() + warmup
        phase_end = start
        for index, (names, length) in enumerate(phases):
            if index == 2:
                rss_from = time.time()
            if length <= 0:
                continue
            phase_end += length
            # The log events begin once the last broker fault is undone.
            while lanes["brokers"].active and "logs" in names:
                self.watch_workers()
                lanes["brokers"].step(time.monotonic(), self.done)
                time.sleep(0.2)
            if "logs" in names:
                lanes["logs"].next_at = time.monotonic() + 2
            limit = phase_end + length
            while True:
                now = time.monotonic()
                covered = all(lanes[n].covered() for n in names)
                if (now >= phase_end and covered) or now >= limit:
                    break
                self.watch_workers()
                for name in names:
                    lane = lanes[name]
                    # Late in the phase, only a kind not yet injected starts a broker fault.
                    if name == "brokers" and not lane.active and now >= phase_end - 15 and lane.covered():
                        continue
                    if name == "logs" and self.outage():
                        continue
                    lane.step(now, self.done)
                time.sleep(0.2)
            phase_end = max(phase_end, time.monotonic())
        for lane in lanes.values():
            if lane.active:
                lane.finish(self.done)
        self.seconds = time.monotonic() - start
        return self.check(rss_from)

    def check(self, warm_at):
        # The checks run on a whole cluster: every node sees every broker again.
        deadline = time.monotonic() + 180
        while self.outage() and time.monotonic() < deadline:
            time.sleep(0.5)
        for worker in list(self.workers.values()):
            if not worker.ended and not worker.ready and not worker.expect("READY", 120):
                worker.expected = ()
                worker.proc.kill()
                worker.proc.wait()
                self.ended(worker, "did not open its store within 120 s")
        # A store notices a re-created topic at its next look, every 2 s.
        time.sleep(max(3.0, self.last_log_event + 6 - time.monotonic()))
        hung = []
        live = [w for w in self.workers.values() if not w.ended]
        for worker in live:
            worker.send("quiesce")
        for worker in live:
            line = worker.expect("QUIESCED", 180)
            if line is None or json.loads(line.split(maxsplit=1)[1]):
                hung.append(worker)
        for worker in hung:
            self.exits.append({"name": worker.name, "status": "hung", "expected": (0,), "why": "threads did not "
                               "finish their operation within 180 s", "stderr": worker.stderr_tail()})
        # A write that raised may still be delivered (the client goes on trying): the log is read once its
        # end offsets stopped moving, and again if a store has applied more than that reading held.
        faults.wait_until_still(self.bootstrap, self.db, COLLECTIONS)
        fresh = WorkerProcess(self, 99, 0, fresh=True)
        self.started.append(fresh)
        if not fresh.expect("READY", 120):
            fresh.expected = ()
            fresh.proc.kill()
            fresh.proc.wait()
            self.ended(fresh, "the fresh store did not open")
            everyone = live
        else:
            everyone = live + [fresh]
        for attempt in range(3):
            log, ends = faults.read_log(self.bootstrap, self.db, COLLECTIONS)
            (self.workdir / "log.json").write_text(json.dumps({"log": log, "ends": ends}))
            reports, missing = [], []
            for worker in everyone:
                worker.send(f"report {self.workdir / (worker.name.split()[0] + '.report.json')} {json.dumps(ends)}")
            for worker in everyone:
                if worker.expect("REPORTED", 150):
                    path = self.workdir / (worker.name.split()[0] + ".report.json")
                    reports.append((worker.name, json.loads(path.read_text())))
                else:
                    missing.append(worker)
            if not any(beyond(report, ends) for _, report in reports):
                break
            self.say("chaos: the log grew while the stores reported; reading it again")
            faults.wait_until_still(self.bootstrap, self.db, COLLECTIONS)
        for worker in missing:
            self.exits.append({"name": worker.name, "status": "no report", "expected": (0,),
                               "why": "did not report within 150 s", "stderr": worker.stderr_tail()})
        checked_until = time.time()
        busy = "exit-busy" in self.kinds
        # A service's worker returns from main with its store open (it closes at interpreter shutdown); a
        # process that owns its store gets SIGTERM. With exit-busy their threads are inside store calls then.
        for worker in everyone:
            if worker.owns_process:
                worker.send("busy" if busy else "")
            else:
                worker.send("exit busy" if busy else "exit")
        if busy:
            time.sleep(1.0)
            self.fault_log.write(e="fault", kind="exit-busy", t0=checked_until, t1=time.time(), c=None,
                                 t=checked_until, detail="every worker ended with its threads inside store calls")
        for worker in everyone:
            if worker.owns_process:
                worker.proc.send_signal(signal.SIGTERM)
        for worker in everyone:
            try:
                worker.proc.wait(60)
                why = "stopped at the end"
            except subprocess.TimeoutExpired:
                worker.proc.kill()
                worker.proc.wait()
                why = "still running 60 s after it was told to stop; killed"
                worker.expected = ()
            if (worker.owns_process and worker.proc.returncode == 1
                    and "not delivered to Kafka within" in worker.stderr_tail()):
                # Documented: writes still undelivered after close_flush_s make the stop's status 1.
                worker.expected = (0, 1)
            self.ended(worker, why)
        self.fault_log.close()

        histories = [self.workdir / "faults.jsonl"] + sorted(self.workdir.glob("w*.jsonl"))
        # What the threads wrote while their process was being ended came after the log was read.
        events = [e for e in read_history(histories) if e.get("t", 0) <= checked_until]
        baseline = {}
        for e in events:
            if e.get("e") == "rss" and e["i"] == 0 and e["t"] >= warm_at:
                baseline.setdefault(f"w{e['w']}", e["kb"])
        long_lived = {f"w{w.slot}": b for w in live if w.incarnation == 0 for b in [baseline.get(f"w{w.slot}")] if b}
        checker = Checker(events, reports, log, self.exits, long_lived, self.options.rss_enforced)
        violations = checker.check()
        return self.summarize(checker, violations, reports, long_lived, log)

    def summarize(self, checker, violations, reports, baseline, log):
        kinds, confirmed, unknown, fault_counts = checker.counts()
        writes = sum(v for k, v in kinds.items() if k not in ("read", "reads"))
        per_invariant = {n: sum(v.invariant == n for v in violations) for n in range(1, 7)}
        rss = []
        for name, report in reports:
            if name in baseline:
                rss.append(f"{name} {baseline[name] / 1024:.1f}->{report['rss_kb'] / 1024:.1f} MiB")
        keys = sum(len(v) for v in log.values())
        summary = (
            f"chaos seed {self.options.seed}, {self.seconds:.0f}s, {self.options.workers} workers: "
            f"ops {', '.join(f'{k} {v}' for k, v in sorted(kinds.items()))}; "
            f"writes confirmed {confirmed} of {writes} ({writes - confirmed - unknown} raised, {unknown} cut by a "
            f"kill); read-your-writes checks {checker.ryw_checked}; {keys} keys in the log; "
            f"faults {', '.join(f'{k} {v}' for k, v in sorted(fault_counts.items())) or 'none'}; "
            f"violations {' '.join(f'inv{n}={c}' for n, c in per_invariant.items())}; "
            f"rss {', '.join(rss) or 'n/a'}; {'FAIL' if violations else 'PASS'}")
        details = []
        for v in violations:
            details.append(f"VIOLATION of invariant {v.invariant}: {v.text}")
            slice_ = checker.history_slice(v)
            if slice_:
                details.append("  history around it:")
                details.extend("    " + line for line in slice_)
        counts = {"ops": dict(kinds), "writes": writes, "confirmed": confirmed, "unknown": unknown,
                  "ryw_checked": checker.ryw_checked,
                  "faults": dict(fault_counts), "violations": per_invariant, "rss": rss, "keys": keys}
        return Result(summary, violations, details, counts)


def run(cluster, options):
    if len(getattr(cluster, "nodes", ())) != 3:
        raise ValueError("the run needs a three-node cluster under its control (tools/kafka/cluster.py)")
    chaos = Run(cluster, options)
    try:
        return chaos.run()
    finally:
        chaos.clean_up()
