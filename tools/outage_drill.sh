#!/usr/bin/env bash
# Runs tools/outage_drill.py on a fresh machine: a virtual environment with the
# package built from this checkout and gunicorn (tools/constraints.txt), then
# the drill, which starts a broker of its own. Extra arguments go to the drill.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

install_package
"$VENV/bin/pip" install -q -c "$VENV/constraints.txt" gunicorn
"$VENV/bin/python" tools/kafka/cluster.py fetch > /dev/null
"$VENV/bin/python" tools/outage_drill.py "$@"
