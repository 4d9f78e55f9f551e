"""The two-process example, run as a newcomer runs it."""
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "two_processes.py"


def run_example(env, timeout):
    # A session of its own, so a hung run takes its reader process down with it.
    proc = subprocess.Popen([sys.executable, "-u", str(EXAMPLE)], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, err = proc.communicate()
        pytest.fail(f"the example hung:\n{out}{err}")
    return proc.returncode, out, err


@pytest.mark.slow
def test_the_example_replays_to_a_second_process_and_tells_it_of_new_writes(kafka_bootstrap):
    status, out, err = run_example({**os.environ, "QUARNEL_KAFKA_BOOTSTRAP": kafka_bootstrap}, 180)
    assert (status, err) == (0, ""), out + err

    lines = out.splitlines()
    assert [line for line in lines if line.startswith("[writer] ")][1:3] == [
        "[writer] users: {'alice': {'name': 'Alice', 'roles': ['admin']}}",
        "[writer] orders: {'o-1': {'user': 'alice', 'total': 42.5}}",
    ], out
    expected = [
        "[reader] replayed users: {'alice': {'name': 'Alice', 'roles': ['admin']}}",
        "[reader] replayed orders: {'o-1': {'user': 'alice', 'total': 42.5}}",
        "[reader] listening for changes",
        "[writer] adding carol and order o-2, deleting order o-1",
        "[reader] told: users/carol = {'name': 'Carol', 'roles': ['support']}",
        "[reader] told: orders/o-2 = {'user': 'carol', 'total': 7}",
        "[reader] told: orders/o-1 deleted",
        "[reader] Consumer was correctly killed",
        "[writer] reader exited with status 0; closing",
    ]
    assert [line for line in lines if line in expected] == expected, out
    assert lines[-1] == "Consumer was correctly killed"


def test_the_example_asks_for_the_bootstrap_servers():
    env = {k: v for k, v in os.environ.items() if k != "QUARNEL_KAFKA_BOOTSTRAP"}
    status, out, err = run_example(env, 60)
    assert status == 1
    assert "QUARNEL_KAFKA_BOOTSTRAP" in err
