"""The command line, run in its own process as an operator runs it, against the test broker."""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest
from confluent_kafka import Producer
from confluent_kafka.admin import AdminClient

from quarnel_kafka_kv.mervane import KafkaDB
from store_fixtures import wait_until

TESTS_DIR = os.path.dirname(__file__)


def command(*args):
    return [sys.executable, "-m", "quarnel_kafka_kv", *args]


def cli(*args, input=None, timeout=60):
    # From tests/, so the installed package is imported rather than the source folder.
    return subprocess.run(command(*args), input=input, capture_output=True, text=True, timeout=timeout,
                          cwd=TESTS_DIR)


@pytest.fixture
def kv(kafka_bootstrap, unique_name):
    return lambda *args, **kwargs: cli("-b", kafka_bootstrap, "--db", unique_name, *args, **kwargs)


def succeeded(run):
    assert run.returncode == 0, run.stderr[-3000:]
    return run.stdout


def one_line_error(run, status=1):
    assert run.returncode == status, run.stdout + run.stderr
    assert run.stdout == ""
    [line] = run.stderr.splitlines()
    assert " error: " in line
    return line


def test_every_command_round_trips_with_a_store(kv, make_store, kafka_bootstrap, unique_name, tmp_path):
    succeeded(kv("set", "users", "alice", '{"name": "Alice", "tags": ["a"]}'))
    db = make_store(["users"], cls=KafkaDB)
    assert db["users"]["alice"] == {"name": "Alice", "tags": ["a"]}

    db["users"]["bob"] = {"n": 2}
    assert succeeded(kv("get", "users", "bob")) == '{"n": 2}\n'
    # Options may also follow the command.
    assert succeeded(cli("keys", "users", "-b", kafka_bootstrap, "--db", unique_name)) == "alice\nbob\n"
    assert succeeded(kv("collections")) == "users\n"

    # A JSON object from standard input: null deletes.
    succeeded(kv("load", "users", input='{"carol": 3, "alice": null}'))
    # JSON lines from a file, with a line separator JSON keeps raw inside a string.
    lines = tmp_path / "users.jsonl"
    lines.write_text('{"key": "dave", "value": "a\u2028b"}\n\n{"key": "erin", "value": [1]}\n', encoding="utf-8")
    succeeded(kv("load", "users", str(lines)))
    expected = {"bob": {"n": 2}, "carol": 3, "dave": "a\u2028b", "erin": [1]}
    wait_until(lambda: dict(db["users"].items()) == expected)

    dump = succeeded(kv("dump", "users"))
    assert [json.loads(line) for line in dump.split("\n") if line] == [
        {"key": key, "value": value} for key, value in sorted(expected.items())]

    run = kv("delete", "users", "bob")
    succeeded(run)
    # The store's own lines went to stderr.
    assert "Consumer was correctly killed" in run.stderr
    wait_until(lambda: "bob" not in db["users"])


def test_load_streams_an_input_larger_than_the_producer_queue_with_progress_on_a_terminal(
        kafka_bootstrap, unique_name, make_store, tmp_path):
    keys = [f"k{i:05}" for i in range(3000)]
    source = tmp_path / "many.jsonl"
    source.write_text("".join(json.dumps({"key": key, "value": i}) + "\n" for i, key in enumerate(keys)))
    # Kept entries capped at 10, so the input is read a second time as it is written;
    # progress drawn at every key.
    script = ("import sys, quarnel_kafka_kv.__main__ as m, quarnel_kafka_kv._cli_load as load; "
              "load.KEEP_ENTRIES = 10; load.Progress.interval = 0; sys.exit(m.main(sys.argv[1:]))")
    main, terminal = os.openpty()
    run = subprocess.Popen([sys.executable, "-c", script, "-b", kafka_bootstrap, "--db", unique_name,
                            "-X", "queue.buffering.max.messages=100", "load", "many", str(source)],
                           stdout=subprocess.PIPE, stderr=terminal, text=True, cwd=TESTS_DIR)
    os.close(terminal)
    shown = []

    def read_all():
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:
                return
            if not chunk:
                return
            shown.append(chunk)

    reader = threading.Thread(target=read_all)
    reader.start()
    out, _ = run.communicate(timeout=120)
    reader.join(10)
    os.close(main)
    err = b"".join(shown).decode()
    assert (run.returncode, out) == (0, ""), err
    assert "loaded 3000 keys into many (0 deleted)" in err
    assert "loading many: " in err and " keys/s" in err
    db = make_store(["many"], cls=KafkaDB)
    assert db.get_collection_keys("many") == keys
    assert db["many"]["k02999"] == 2999


def test_missing_collections_and_keys_fail_and_reading_creates_no_topic(kv, admin_configs, unique_name):
    for args in (["keys", "nope"], ["get", "nope", "k"], ["dump", "nope"], ["delete", "nope", "k"],
                 ["watch", "nope"]):
        assert "'nope'" in one_line_error(kv(*args))
    assert f"{unique_name}.nope" not in AdminClient(admin_configs).list_topics(timeout=10).topics

    succeeded(kv("set", "c", "k", "1"))
    # The store's lines come first; the error is the last line.
    for args in (["get", "c", "missing"], ["delete", "c", "missing"]):
        run = kv(*args)
        assert run.returncode == 1 and run.stdout == ""
        assert "no key 'missing'" in run.stderr.splitlines()[-1]

    # A value another producer wrote that is not JSON: named; a dump still gives every other key.
    producer = Producer(admin_configs)
    producer.produce(f"{unique_name}.c", key=b"raw", value=b"not json")
    assert producer.flush(10) == 0
    run = kv("get", "c", "raw")
    assert run.returncode == 1 and "'raw' in collection 'c' is not JSON" in run.stderr.splitlines()[-1]
    run = kv("dump", "c")
    assert (run.returncode, run.stdout) == (1, '{"key": "k", "value": 1}\n'), run.stderr[-3000:]
    assert "'raw'" in run.stderr and "1 key(s) not dumped" in run.stderr.splitlines()[-1]


def test_status_is_a_health_probe_of_the_cluster_and_debug_logs_to_stderr(kv):
    # Nothing to tell of: no collections yet, or one that does not exist.
    assert "no collections" in one_line_error(kv("status"))
    assert "'nope'" in one_line_error(kv("status", "nope"))
    succeeded(kv("set", "c", "k", "1"))
    status = json.loads(succeeded(kv("status")))
    assert status["connected"] and status["collections"]["c"]["partitions"] == [{"partition": 0, "start": 0, "end": 1}]
    # No broker answering: status 1 within its 5 s.
    started = time.monotonic()
    assert "cannot reach" in one_line_error(cli("-b", f"127.0.0.1:{free_port()}", "status", "c"))
    assert time.monotonic() - started < 7
    # --debug: the store's lines go through logging, to stderr.
    run = kv("--debug", "keys", "c")
    assert any(" INFO " in line and "KafkaCompaction Inited" in line for line in run.stderr.splitlines())


@pytest.mark.parametrize("args", [
    [],
    ["-b", "h:1", "set", "c", "k", "not json"],
    ["-b", "h:1", "set", "c", "k", "null"],
    ["-b", "h:1", "-X", "no-equals-sign", "keys", "c"],
    ["-b", "h:1", "-X", "no.such.property=1", "keys", "c"],
    ["keys", "c"],
])
def test_usage_errors_exit_with_2(args):
    run = cli(*args)
    assert (run.returncode, run.stdout) == (2, ""), run.stderr
    assert run.stderr.splitlines()[-1].count(" error: ") == 1


def read_lines(stream, enough, timeout=60):
    """The lines read until enough(lines); fewer if the stream ends or stalls, rather than a hung test."""
    lines = []

    def read():
        while not enough(lines) and (line := stream.readline()):
            lines.append(line)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    reader.join(timeout)
    return list(lines)


def test_watch_shows_another_process_s_changes_and_stops_on_ctrl_c(kafka_bootstrap, unique_name, make_store):
    db = make_store(["a", "b"], cls=KafkaDB)
    db["a"]["replayed"] = 0
    watch = subprocess.Popen(command("-b", kafka_bootstrap, "--db", unique_name, "watch", "a", "b"),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=TESTS_DIR)
    try:
        # Its listeners are in place once it says so.
        assert "watching a, b" in "".join(read_lines(watch.stderr, lambda lines: "watching" in "".join(lines)))
        db["a"]["k"] = {"v": 1}
        db["a"]["k"] = {"v": 2}
        db["b"]["x"] = "text"
        del db["a"]["k"]
        lines = read_lines(watch.stdout, lambda lines: len(lines) == 4)
        watch.send_signal(signal.SIGINT)
        out, err = watch.communicate(timeout=60)
    finally:
        watch.kill()
    # In order within a collection; two collections' topics are read side by side.
    assert sorted((json.loads(line) for line in lines), key=lambda change: change["collection"]) == [
        {"collection": "a", "key": "k", "value": {"v": 1}},
        {"collection": "a", "key": "k", "value": {"v": 2}},
        {"collection": "a", "key": "k", "deleted": True},
        {"collection": "b", "key": "x", "value": "text"},
    ]
    assert (watch.returncode, out) == (0, ""), err


@pytest.mark.slow
def test_ctrl_c_stops_a_load_handing_over_keys_with_the_keys_before_it_written(
        kafka_bootstrap, unique_name, make_store, tmp_path):
    db = make_store(["big"], cls=KafkaDB)
    keys = [f"k{i:05}" for i in range(20000)]
    source = tmp_path / "big.jsonl"
    source.write_text("".join(json.dumps({"key": key, "value": i}) + "\n" for i, key in enumerate(keys)))
    # A small producer queue paces the handing over by the deliveries.
    load = subprocess.Popen(command("-b", kafka_bootstrap, "--db", unique_name, "-X", "queue.buffering.max.messages=20",
                                    "load", "big", str(source)),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=TESTS_DIR)
    try:
        wait_until(lambda: "k00100" in db["big"], timeout=60)
        load.send_signal(signal.SIGINT)
        out, err = load.communicate(timeout=60)
    finally:
        load.kill()
    assert (load.returncode, out) == (130, ""), err
    last = err.splitlines()[-1]
    assert "interrupted" in last
    written = int(last.split("the first ")[1].split(" ")[0])
    assert 100 < written < len(keys)
    # Written in input order: exactly a prefix of the input.
    wait_until(lambda: len(db.get_collection_keys("big")) >= written)
    assert sorted(db.get_collection_keys("big")) == keys[:written]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.slow
@pytest.mark.parametrize("case", ["right password", "wrong password", "unreachable"])
def test_credentials_come_from_a_file_and_a_failed_connection_is_one_line(kafka_sasl, unique_name, tmp_path, case):
    user, password = kafka_sasl.sasl_credentials
    given = "not-" + password if case == "wrong password" else password
    config = tmp_path / "client.properties"
    # Java properties syntax: comments, spaces around separators, a continued line.
    config.write_text(f"# credentials\nsecurity.protocol = SASL_PLAINTEXT\nsasl.mechanisms: PLAIN\n"
                      f"! the user\nsasl.username={user}\nsasl.password={given[:3]}\\\n    {given[3:]}\n")
    bootstrap = f"127.0.0.1:{free_port()}" if case == "unreachable" else kafka_sasl.sasl_bootstrap
    base = ["-b", bootstrap, "--db", unique_name, "--config", str(config)]
    if case == "right password":
        runs = [cli(*base, "set", "c", "k", "[1]"), cli(*base, "get", "c", "k")]
        assert succeeded(runs[1]) == "[1]\n"
    else:
        runs = [cli(*base, "collections")]
        line = one_line_error(runs[0])
        assert ("_AUTHENTICATION" if case == "wrong password" else "cannot reach") in line
    for run in runs:
        assert password not in run.stdout + run.stderr
