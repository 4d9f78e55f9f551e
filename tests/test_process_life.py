"""A store within its process's life: the interpreter's exit, close(), fork and a constructor cut short
must leave the process as it would be without the store."""
import os
import subprocess
import sys
import textwrap
import time

import pytest

TESTS_DIR = os.path.dirname(__file__)

# Every script gets the broker and a database name of its own as arguments.
PREAMBLE = """
import asyncio, gc, itertools, os, signal, sys, threading, time, weakref
from quarnel_kafka_kv.quillet import KafkaCompaction, KafkaJsonCompaction

CONFIGS = {"bootstrap.servers": sys.argv[1]}
DB = sys.argv[2]

class Service(KafkaJsonCompaction):
    owns_process = False

def os_threads():
    return len(os.listdir("/proc/self/task"))
"""


def start(code, bootstrap, db_name, env=None):
    # From tests/, so the installed package is imported rather than the source folder.
    return subprocess.Popen([sys.executable, "-c", PREAMBLE + textwrap.dedent(code), bootstrap, db_name],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=TESTS_DIR,
                            env=env and {**os.environ, **env})


def finish(run, timeout=60):
    """(status, stdout, stderr); status None when the script had to be killed after `timeout`."""
    try:
        out, err = run.communicate(timeout=timeout)
        return run.returncode, out, err
    except subprocess.TimeoutExpired:
        run.kill()
        out, err = run.communicate()
        return None, out, err


def runs(code, bootstrap, db_name, count, timeout=60):
    """Runs `count` copies of the script at once: a fault that shows only sometimes shows in one of them."""
    started = [start(code, bootstrap, f"{db_name}{n}") for n in range(count)]
    return [finish(run, timeout) for run in started]


def reported(out):
    """The fields of the script's last RESULT line: the store prints lines of its own around it."""
    return [line.split()[1:] for line in out.splitlines() if line.startswith("RESULT ")][-1]


def told(result):
    """A result as an assertion message: the status and the script's last lines, the client's own left out."""
    status, out, err = result
    return status, [line for line in err.splitlines() if line and "|FAIL|" not in line][-4:], out.splitlines()[-4:]


# --- the interpreter's exit -------------------------------------------------------------------------

# What another thread does in a store when the main code ends.
OTHER_THREAD_INSIDE_THE_STORE = {
    "writing": """
        store = Service(CONFIGS, ["c"], DB)
        store.publish_pause_s = 0.01

        def write_forever():
            for i in itertools.count():
                store.set_collection_value("c", "k", i)

        threading.Thread(target=write_forever, daemon=True).start()
        time.sleep(0.3)
    """,
    # No topic for a collection the store was not opened with: the record stays queued, as under a
    # paused broker, and the store's delivery thread keeps serving the producer for it.
    "awaiting-a-delivery": """
        store = Service({**CONFIGS, "message.timeout.ms": 60000}, ["c"], DB)
        store.close_flush_s = 0.2

        async def hand_over():
            return store.aset_collection_value("nowhere", "k", 1)

        pending = asyncio.new_event_loop().run_until_complete(hand_over())
    """,
    # Longer than the store waits for its consumer thread at shutdown.
    "listening": """
        store = Service(CONFIGS, ["c"], DB)
        store.publish_pause_s = 0
        busy = threading.Event()

        def listener(key, value):
            busy.set()
            while True:
                time.sleep(0.01)

        store.add_collection_listener("c", listener)
        store.set_collection_value("c", "k", 1)
        busy.wait(10)
    """,
}


@pytest.mark.parametrize("doing", ["writing", "awaiting-a-delivery", pytest.param("listening", marks=pytest.mark.slow)])
def test_the_main_code_ending_ends_the_process_with_status_zero_whatever_other_threads_do_in_a_store(
        kafka_bootstrap, unique_name, doing):
    # A thread that touches the interpreter's objects without the GIL while the interpreter is torn down
    # crashes the process only now and then; the debug allocator stops it at the first such touch.
    code = textwrap.dedent(OTHER_THREAD_INSIDE_THE_STORE[doing]) + "print('RESULT main ends', flush=True)\n"
    result = finish(start(code, kafka_bootstrap, unique_name, env={"PYTHONMALLOC": "debug"}))
    assert result[0] == 0, told(result)


# --- close() ----------------------------------------------------------------------------------------

def test_close_hands_the_signals_back_and_a_closed_store_can_be_freed(kafka_bootstrap, unique_name):
    status, out, err = result = finish(start("""
        handlers = [signal.getsignal(sig) for sig in (signal.SIGTERM, signal.SIGINT)]
        before = os_threads()
        closed = []
        for n in range(3):
            store = KafkaJsonCompaction(CONFIGS, ["c"], DB, on_consumer_kill=None)
            store.close()
            store.cons_thr.join(10)
            closed.append(weakref.ref(store))
            del store
        gc.collect()
        print("RESULT", handlers == [signal.getsignal(sig) for sig in (signal.SIGTERM, signal.SIGINT)],
              sum(ref() is not None for ref in closed), os_threads() - before, flush=True)
    """, kafka_bootstrap, unique_name))
    assert status == 0, told(result)
    handed_back, alive, threads_added = reported(out)
    # Each store's clients run about 7 OS threads.
    assert (handed_back, alive) == ("True", "0") and int(threads_added) <= 2, (handed_back, alive, threads_added)


# --- signal handlers ---------------------------------------------------------------------------------

def test_a_signal_handler_may_write_to_the_collection_the_interrupted_write_is_handing_over_to(
        kafka_bootstrap, unique_name):
    status, out, err = result = finish(start("""
        class Raw(KafkaCompaction):
            owns_process = False

        store = Raw(CONFIGS, ["c"], DB)
        store.publish_pause_s = 0
        store.set_collection_value("c", b"k", b"1")
        collection, main = store.locks[DB + ".c"], threading.get_ident()

        def write(signum, frame):
            try:
                store.set_collection_value("c", b"from the handler", b"1")
            except Exception as e:
                print("HANDLER RAISED", repr(e), flush=True)

        signal.signal(signal.SIGUSR1, write)

        def interrupt_while_holding_the_collection():
            with collection:
                # The main thread's write now waits for the collection, holding its turn to hand over.
                time.sleep(0.3)
                signal.pthread_kill(main, signal.SIGUSR1)
                time.sleep(0.3)

        threading.Thread(target=interrupt_while_holding_the_collection).start()
        time.sleep(0.1)
        store.set_collection_value("c", b"k", b"2")
        print("RESULT written", flush=True)
    """, kafka_bootstrap, unique_name), timeout=10)
    assert status == 0 and reported(out) == ["written"], told(result)


# --- fork -------------------------------------------------------------------------------------------

def test_a_child_forked_with_stores_open_dies_by_sigterm(kafka_bootstrap, unique_name):
    # The stores hand the signals back in an order that follows their addresses: with two, the child
    # ignores SIGTERM in some environments only; with three, in most orders.
    results = runs("""
        stores = [KafkaJsonCompaction(CONFIGS, ["c"], DB, on_consumer_kill=None) for _ in range(3)]
        pid = os.fork()
        if pid == 0:
            time.sleep(3)
            os._exit(0)
        time.sleep(0.2)
        os.kill(pid, signal.SIGTERM)
        _, ended = os.waitpid(pid, 0)
        print("RESULT", signal.Signals(os.WTERMSIG(ended)).name if os.WIFSIGNALED(ended) else "survived", flush=True)
        for store in stores:
            store.close()
    """, kafka_bootstrap, unique_name, count=2)
    assert all(status == 0 for status, _, _ in results), [told(result) for result in results]
    ended = [reported(out)[0] for _, out, _ in results]
    assert ended == ["SIGTERM"] * 2, ended


# --- a constructor cut short ------------------------------------------------------------------------

def test_a_constructor_interrupted_during_the_replay_leaves_no_thread_and_no_client(kafka_bootstrap, unique_name):
    started = time.monotonic()
    status, out, err = result = finish(start("""
        class Interrupted(Service):
            def start_consumer(self, init_timeout=10.0):
                # Ctrl-C while the constructor waits for this thread's replay.
                os.kill(os.getpid(), signal.SIGINT)
                time.sleep(0.5)
                super().start_consumer(init_timeout)

        before = os_threads()
        try:
            Interrupted(CONFIGS, ["c"], DB)
        except KeyboardInterrupt:
            print("INTERRUPTED", flush=True)
        deadline = time.monotonic() + 5
        while threading.active_count() > 1 and time.monotonic() < deadline:
            time.sleep(0.05)
        gc.collect()
        print("THREADS LEFT", [thread.name for thread in threading.enumerate()[1:]])
        print("RESULT", threading.active_count() - 1, os_threads() - before, flush=True)
    """, kafka_bootstrap, unique_name), timeout=30)
    assert status == 0 and time.monotonic() - started < 20, told(result)
    assert "INTERRUPTED" in out.splitlines(), told(result)
    threads, threads_added = reported(out)
    assert threads == "0" and int(threads_added) <= 2, told(result)
