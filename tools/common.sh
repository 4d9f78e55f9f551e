# Steps shared by the entry scripts in tools/; source it from the checkout root.

# A virtual environment in .venv with this checkout built and installed into it.
# $1: pip extras, such as "[test]".
install_package() {
    python3 -m venv .venv
    .venv/bin/pip install -q --upgrade pip
    .venv/bin/pip install -q ".${1:-}"
}

# Exports QUARNEL_KAFKA_BOOTSTRAP: a local single-node broker, started here and
# stopped when the calling script exits, unless it already names a cluster.
use_kafka() {
    if [ -n "${QUARNEL_KAFKA_BOOTSTRAP:-}" ]; then
        return
    fi
    kafka_state_dir="$(mktemp -d)"
    trap 'python3 tools/kafka/cluster.py stop --state "$kafka_state_dir/kafka.json"; rm -rf "$kafka_state_dir"' EXIT
    echo "Starting a local Kafka broker (the first run downloads it)..."
    QUARNEL_KAFKA_BOOTSTRAP="$(python3 tools/kafka/cluster.py start --nodes 1 --state "$kafka_state_dir/kafka.json")"
    export QUARNEL_KAFKA_BOOTSTRAP
}
