#!/usr/bin/env bash
# Shows the store at work on a fresh machine: a virtual environment with the
# package built from this checkout, a local single-node Kafka (unless
# QUARNEL_KAFKA_BOOTSTRAP names a running cluster), then the two-process example.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

install_package
use_kafka
"$VENV/bin/python" examples/two_processes.py
