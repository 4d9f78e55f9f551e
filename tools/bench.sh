#!/usr/bin/env bash
# Runs the benchmarks on a fresh machine: a virtual environment with the
# package built from this checkout, a local single-node Kafka (unless
# QUARNEL_KAFKA_BOOTSTRAP names a running cluster), then bench/run.py, which
# prints the table and writes bench/RESULTS.md. Extra arguments go to
# bench/run.py (--quick for a short run).
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m venv .venv
.venv/bin/pip install -q --upgrade pip
.venv/bin/pip install -q .

if [ -z "${QUARNEL_KAFKA_BOOTSTRAP:-}" ]; then
    python3 tools/kafka/cluster.py fetch >/dev/null
    state_dir="$(mktemp -d)"
    state="$state_dir/kafka.json"
    # Stops the broker however the run ends.
    trap 'python3 tools/kafka/cluster.py stop --state "$state"; rm -rf "$state_dir"' EXIT
    echo "Starting a local Kafka broker (the first run downloads it)..."
    QUARNEL_KAFKA_BOOTSTRAP="$(python3 tools/kafka/cluster.py start --nodes 1 --state "$state")"
    export QUARNEL_KAFKA_BOOTSTRAP
fi
.venv/bin/python bench/run.py "$@"
