#!/usr/bin/env bash
# Runs the whole test suite on a fresh machine: a virtual environment with the
# package built from this checkout, the Kafka jars resolved (cached), then
# pytest, whose fixtures start and stop the brokers. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

install_package "[test]"
python3 tools/kafka/cluster.py fetch
exec .venv/bin/pytest "$@"
