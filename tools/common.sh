# Steps shared by the entry scripts in tools/; source it from the checkout root.

# The interpreter for a Python version such as 3.13: the newest pyenv build of
# it, else python3.13 on PATH. A path to an interpreter is taken as it is.
# Prints its path; fails with a message naming what was looked for.
find_python() {
    local wanted="$1" candidate
    if [[ "$wanted" == */* ]]; then
        if [ -x "$wanted" ] && "$wanted" -c '' 2>/dev/null; then
            echo "$wanted"
            return
        fi
        echo "error: $wanted is not a Python interpreter that runs" >&2
        return 1
    fi
    if [[ ! "$wanted" =~ ^3\.[0-9]+$ ]]; then
        echo "error: a Python is named by its version (such as 3.13) or by a path, not '$wanted'" >&2
        return 1
    fi
    local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
    # pyenv's shims answer for versions that are not selected with an error, so
    # every candidate has to show that it runs and is the version asked for.
    for candidate in $(ls -d "$pyenv_root"/versions/"$wanted".*/bin/python"$wanted" 2>/dev/null | sort -rV) \
        "$(command -v "python$wanted" || true)"; do
        if [ -n "$candidate" ] &&
            [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$wanted" ]; then
            echo "$candidate"
            return
        fi
    done
    echo "error: Python $wanted not found: looked in $pyenv_root/versions/$wanted.*/bin and for" \
        "python$wanted on PATH (install it, for example with 'pyenv install $wanted')" >&2
    return 1
}

# The lowest confluent-kafka release pyproject.toml declares for the Python $1.
lowest_client() {
    "$1" - <<'PY'
import re, sys
here = sys.version_info[:2]
for low, op, version in re.findall(r"\"confluent-kafka>=([\d.]+),(?:!=[\d.*]+,)*<\d+(?:; *python_version *([<>]=?) *'([\d.]+)')?\"",
                                   open("pyproject.toml").read()):
    there = tuple(int(part) for part in version.split(".")) if version else None
    if not op or {"<": here < there, "<=": here <= there, ">": here > there, ">=": here >= there}[op]:
        print(low)
        break
else:
    sys.exit("error: pyproject.toml declares no confluent-kafka>=X range for Python %d.%d" % here)
PY
}

# A virtual environment with this checkout built and installed into it, at the
# exact versions of tools/constraints.txt. $1: pip extras, such as "[test]".
# QUARNEL_PYTHON picks the interpreter (default: python3), QUARNEL_CLIENT_VERSION
# the confluent-kafka release (a version, or "lowest"). Sets VENV: .venv for the
# defaults, else one per choice (.venv-3.13, .venv-3.10-client2.4.0), so runs on
# different Pythons neither rebuild nor disturb each other.
install_package() {
    local python=python3 client="${QUARNEL_CLIENT_VERSION:-}"
    VENV=.venv
    if [ -n "${QUARNEL_PYTHON:-}" ]; then
        python="$(find_python "$QUARNEL_PYTHON")"
        VENV=".venv-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
    fi
    if [ "$client" = lowest ]; then
        client="$(lowest_client "$python")"
    fi
    if [ -n "$client" ]; then
        [ "$VENV" = .venv ] && VENV=".venv-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
        VENV="$VENV-client$client"
    fi
    # A .venv left by another interpreter would keep that interpreter's packages.
    local home='import sys; print(sys.base_prefix, sys.version)'
    if [ -x "$VENV/bin/python" ] &&
        [ "$("$VENV/bin/python" -c "$home" 2>/dev/null)" != "$("$python" -c "$home")" ]; then
        "$python" -m venv --clear "$VENV"
    else
        "$python" -m venv "$VENV"
    fi
    sed "${client:+s/^confluent-kafka==.*/confluent-kafka==$client/}" tools/constraints.txt > "$VENV/constraints.txt"
    "$VENV/bin/pip" install -q --upgrade pip
    "$VENV/bin/pip" install -q -c "$VENV/constraints.txt" ".${1:-}"
    export VENV
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
