#!/usr/bin/env bash
# Runs the benchmarks on a fresh machine: a virtual environment with the
# package built from this checkout, a local single-node Kafka (unless
# QUARNEL_KAFKA_BOOTSTRAP names a running cluster), then bench/run.py, which
# prints the table and writes bench/RESULTS.md. For its start-up case
# bench/run.py starts a second broker with Kafka's default settings, unless
# QUARNEL_KAFKA_DEFAULTS_BOOTSTRAP names one. Extra arguments go to
# bench/run.py (--quick for a short run of every case).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

install_package
use_kafka
"$VENV/bin/python" bench/run.py "$@"
