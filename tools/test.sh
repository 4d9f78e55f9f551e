#!/usr/bin/env bash
# Runs the whole test suite on a fresh machine: a virtual environment with the
# package built from this checkout, the Kafka jars resolved (cached), then
# pytest, whose fixtures start and stop the brokers. Extra arguments go to pytest.
# QUARNEL_PYTHON (such as 3.13) and QUARNEL_CLIENT_VERSION (such as "lowest")
# choose the interpreter and the confluent-kafka release (tools/common.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

install_package "[test]"
"$VENV/bin/python" -c 'import importlib.metadata as m, sys
print("Python %s, confluent-kafka %s, in %s" % (sys.version.split()[0], m.version("confluent-kafka"), sys.prefix))'
"$VENV/bin/python" tools/kafka/cluster.py fetch
exec "$VENV/bin/pytest" "$@"
