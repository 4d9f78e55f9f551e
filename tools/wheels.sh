#!/usr/bin/env bash
# Builds a wheel of this checkout for every supported Python (3.10 to 3.13, or
# the versions given, such as 3.13 or a path to an interpreter) into dist/, each
# from a fresh build directory; installs each wheel into a fresh virtual
# environment and imports the three modules and the command line there. Fails on
# a compiler warning in the package's own sources. Needs no broker.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/common.sh

versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.10 3.11 3.12 3.13)
pythons=()
for version in "${versions[@]}"; do
    pythons+=("$(find_python "$version")")   # every interpreter found before anything is built
done

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir -p dist
for python in "${pythons[@]}"; do
    tag="$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
    echo "== $tag: $python"
    rm -rf "$scratch/build" "$scratch/wheel" "$scratch/env"
    if ! "$python" -m pip wheel -v --no-deps --config-settings=build-dir="$scratch/build" \
        -w "$scratch/wheel" . > "$scratch/build.log" 2>&1; then
        cat "$scratch/build.log"
        echo "error: the wheel for $tag did not build" >&2
        exit 1
    fi
    if grep -n "quarnel_kafka_kv/.*warning:" "$scratch/build.log"; then
        echo "error: compiler warnings in the package's sources on $tag" >&2
        exit 1
    fi
    wheel="$(ls "$scratch"/wheel/quarnel_kafka_kv-*.whl)"
    cp "$wheel" dist/
    "$python" -m venv "$scratch/env"
    "$scratch/env/bin/pip" install -q "$wheel"
    # -I: the modules come from the installed wheel, never from this checkout.
    (cd "$scratch" && "$scratch/env/bin/python" -I -c '
import importlib.metadata, sys
import quarnel_kafka_kv.dorrow, quarnel_kafka_kv.quillet, quarnel_kafka_kv.mervane, quarnel_kafka_kv.__main__
assert quarnel_kafka_kv.__file__.startswith(sys.prefix), quarnel_kafka_kv.__file__
client = importlib.metadata.version("confluent-kafka")
print("   imported from", quarnel_kafka_kv.__path__[0], "with confluent-kafka", client)')
    "$scratch/env/bin/quarnel-kv" --help > /dev/null
    echo "   dist/$(basename "$wheel")"
done
