#!/usr/bin/env bash
# Runs the fault-injection check on a fresh machine: a virtual environment with
# the package built from this checkout, then tools/chaos, which starts its own
# three-node Kafka cluster (tools/kafka/cluster.py) and stops it at the end.
# Arguments go to tools/chaos: --seconds 120 --seed 27, or --minutes 60 for a
# soak that writes tools/chaos/RESULTS.md; --help lists the rest.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

install_package
"$VENV/bin/python" tools/kafka/cluster.py fetch > /dev/null
exec "$VENV/bin/python" tools/chaos "$@"
