"""The fault-injection check: randomized writers on a three-node cluster, faults while they write, then the
invariants (see README, "Fault-injection check").

  python tools/chaos --seconds 120 --seed 27 --avoid-known     a short run, as the test suite makes it
  python tools/chaos --minutes 60                   a soak; its summary goes to tools/chaos/RESULTS.md
  python tools/chaos --seed 27 --faults broker-kill,topic-recreate     only these kinds

Exit status 0 when no invariant was violated, 1 otherwise, 2 when the run could not be made.
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "kafka"))

import cluster as kafka_tooling  # noqa: E402
import coordinator  # noqa: E402
import faults  # noqa: E402

RESULTS = HERE / "RESULTS.md"


def kinds_of(text):
    if text == "all":
        return faults.ALL_KINDS
    chosen = tuple(k for k in text.split(",") if k)
    unknown = set(chosen) - set(faults.ALL_KINDS)
    if unknown:
        raise argparse.ArgumentTypeError(f"unknown fault kind(s) {', '.join(sorted(unknown))}; "
                                         f"known: {', '.join(faults.ALL_KINDS)}")
    return chosen


def attach(state_file):
    """The cluster of a state file, its nodes found by their command line: a node restarted by an earlier run
    has another pid than the file says."""
    cluster = kafka_tooling.KafkaCluster.from_state(json.loads(Path(state_file).read_text()))
    for node in cluster.nodes:
        if node.alive():
            continue
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
            except OSError:
                continue
            if str(node.config).encode() in cmdline and b"kafka.Kafka" in cmdline:
                node.pid = int(pid)
    return cluster


def write_results(path, args, result, took, version):
    from importlib.metadata import version as installed
    revision = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                              cwd=HERE).stdout.strip() or "unknown"
    counts = result.counts
    lines = [
        "# Fault-injection check: results",
        "",
        f"`python tools/chaos --minutes {args.minutes:g} --seed {args.seed}"
        f"{' --avoid-known' if args.avoid_known else ''}`, "
        f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, revision {revision}, "
        f"{took / 60:.1f} minutes in all.",
        "",
        f"- Machine: {os.cpu_count()} cores, Linux {platform.release()}; load average at the end "
        f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}",
        f"- Kafka {version} (three KRaft nodes, tools/kafka/cluster.py), confluent_kafka "
        f"{installed('confluent-kafka')}, Python {platform.python_version()}",
        f"- Workers: {args.workers}; fault kinds: "
        f"{', '.join(k for k in args.faults if not (args.avoid_known and k in faults.AVOIDED_KINDS))}"
        + (" (avoiding the known faults)" if args.avoid_known else ""),
        "",
        "| what | count |",
        "|---|---|",
    ]
    lines += [f"| operations: {k} | {v:,} |" for k, v in sorted(counts["ops"].items())]
    lines += [f"| writes confirmed | {counts['confirmed']:,} of {counts['writes']:,} |",
              f"| writes cut by a kill (outcome unknown) | {counts['unknown']:,} |",
              f"| writes and owners' reads checked for reading back | {counts['ryw_checked']:,} |",
              f"| keys in the log at the end | {counts['keys']:,} |"]
    lines += [f"| faults: {k} | {v} |" for k, v in sorted(counts["faults"].items())]
    lines += [f"| violations of invariant {n} | {v} |" for n, v in counts["violations"].items()]
    lines += ["", f"Memory (resident set after the warm-up -> at the end): {', '.join(counts['rss']) or 'n/a'}.",
              "", "Summary line:", "", "```", result.summary, "```", ""]
    if result.details:
        lines += ["Violations:", "", "```", *result.details[:200], "```", ""]
    Path(path).write_text("\n".join(lines))


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python tools/chaos", description=__doc__.split("\n\n")[0])
    length = ap.add_mutually_exclusive_group()
    length.add_argument("--seconds", type=float, help="a short run of this many seconds of workload (default 120)")
    length.add_argument("--minutes", type=float, help="a soak of this many minutes; writes the results file")
    ap.add_argument("--seed", type=int, help="the run's seed (default: random, printed); replays the choices")
    ap.add_argument("--workers", type=int, default=4, help="worker processes, at least 3 (default 4)")
    ap.add_argument("--faults", type=kinds_of, default=faults.ALL_KINDS,
                    help=f"fault kinds, comma-separated (default: all of {','.join(faults.ALL_KINDS)})")
    ap.add_argument("--avoid-known", action="store_true",
                    help="leave out what the store is known to fail today: " + "; ".join(
                        f"{k}: {v}" for k, v in faults.KNOWN_FAULTS.items()))
    ap.add_argument("--without", type=kinds_of, default=(), help="fault kinds to leave out")
    ap.add_argument("--state", help="a three-node cluster started with 'cluster.py start --nodes 3 --state FILE'")
    ap.add_argument("--workdir", help="where the history goes (default: a temporary folder, kept on a violation)")
    ap.add_argument("--results", help=f"the results file (default with --minutes: {RESULTS.relative_to(HERE.parent.parent)})")
    args = ap.parse_args(argv)
    if args.workers < 3:
        ap.error("--workers must be at least 3")
    args.seed = args.seed if args.seed is not None else random.randrange(1_000_000)
    args.faults = tuple(k for k in args.faults if k not in args.without)
    seconds = args.minutes * 60 if args.minutes else (args.seconds or 120.0)
    workdir = Path(args.workdir) if args.workdir else Path(tempfile.mkdtemp(prefix="chaos-"))
    options = coordinator.Options(seconds=seconds, seed=args.seed, workers=args.workers, kinds=args.faults,
                                  workdir=workdir, rss_enforced=seconds >= 900, avoid_known=args.avoid_known,
                                  say=lambda line: print(line, file=sys.stderr, flush=True))
    print(f"chaos: seed {args.seed}, history in {workdir}", file=sys.stderr, flush=True)
    started = time.monotonic()
    try:
        if args.state:
            cluster = attach(args.state)
            try:
                result = coordinator.run(cluster, options)
            finally:
                # Restarted nodes have new pids, which 'cluster.py stop' needs.
                Path(args.state).write_text(json.dumps(cluster.to_state(), indent=2) + "\n")
        else:
            with kafka_tooling.KafkaCluster(nodes=3) as cluster:
                result = coordinator.run(cluster, options)
    except (kafka_tooling.KafkaToolingError, RuntimeError, TimeoutError) as e:
        print(f"chaos: the run could not be made: {e}", file=sys.stderr)
        return 2
    for line in result.details:
        print(line)
    print(result.summary, flush=True)
    results = args.results or (RESULTS if args.minutes else None)
    if results:
        write_results(results, args, result, time.monotonic() - started, kafka_tooling.kafka_version())
        print(f"chaos: results written to {results}", file=sys.stderr)
    if result.passed and not args.workdir:
        shutil.rmtree(workdir, ignore_errors=True)
    elif not result.passed:
        print(f"chaos: history kept in {workdir}; replay with --seed {args.seed}", file=sys.stderr)
    return 0 if result.passed else 1


if __name__ == "__main__":
    sys.exit(main())
