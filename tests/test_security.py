"""A secured broker: SASL logins whose credentials are never printed, ACLs, TLS."""
import asyncio
import json
import logging
import os
import subprocess
import sys
import threading
import time

import pytest
from confluent_kafka import KafkaException

from quarnel_kafka_kv.dorrow import Admin
from quarnel_kafka_kv.quillet import KafkaJsonCompaction
from store_fixtures import wait_until

TESTS_DIR = os.path.dirname(__file__)


def sasl_configs(cluster, user, password):
    return {"bootstrap.servers": cluster.sasl_bootstrap, "security.protocol": "SASL_PLAINTEXT",
            "sasl.mechanisms": "PLAIN", "sasl.username": user, "sasl.password": password}


def tls_configs(cluster, trusted=True):
    configs = {"bootstrap.servers": cluster.tls_bootstrap, "security.protocol": "SSL"}
    if trusted:
        configs["ssl.ca.location"] = cluster.ca_location
    return configs


def run_python(code, configs, db_name, *args, timeout=60):
    """Runs code with sys.argv[1:] = configs as JSON, db_name, *args; returns the finished process."""
    return subprocess.run([sys.executable, "-u", "-c", code, json.dumps(configs), db_name, *args],
                          capture_output=True, text=True, timeout=timeout, cwd=TESTS_DIR)


# Goes through every path that prints: topic creation and correction, a
# refused partition change, the replay, writes, reads and the default stop.
SESSION = r"""
import json, sys, time
from quarnel_kafka_kv.dorrow import Admin
from quarnel_kafka_kv.mervane import KafkaDB

configs, db_name = json.loads(sys.argv[1]), sys.argv[2]
admin = Admin(configs)
admin.create_or_update_topic(db_name + ".extra", 1, 1, {"cleanup.policy": "compact"})
admin.set_topic_partitions(db_name + ".extra", 1)
print(sorted(admin.get_topic_configs(db_name + ".extra")))
db = KafkaDB(configs, ["users"], db_name)
db.publish_pause_s = 0
db["users"]["alice"] = {"age": 30}
deadline = time.monotonic() + 15
while db["users"]["alice"] != {"age": 30} and time.monotonic() < deadline:
    time.sleep(0.05)
print("READ", json.dumps(db["users"]["alice"]), flush=True)
db.close()
time.sleep(30)
sys.exit("the stopped store did not end the process")
"""


def test_the_right_credentials_open_a_working_store_that_never_prints_them(kafka_sasl, unique_name):
    user, password = kafka_sasl.sasl_credentials
    run = run_python(SESSION, sasl_configs(kafka_sasl, user, password), unique_name)
    # The default stop action ends the process with status 0 once the store has stopped.
    assert run.returncode == 0, run.stderr[-3000:]
    lines = run.stdout.splitlines()
    assert 'READ {"age": 30}' in lines
    assert "Consumer was correctly killed" in lines
    assert any("Additional partitions" in line or "Failed to add partitions" in line for line in lines)
    assert password not in run.stdout
    assert password not in run.stderr


WRONG = r"""
import gc, json, os, sys, threading, time
from confluent_kafka import KafkaException
from quarnel_kafka_kv.quillet import KafkaJsonCompaction

def tasks():
    return len(os.listdir("/proc/self/task"))

configs, db_name = json.loads(sys.argv[1]), sys.argv[2]
# The caller's own error callback must still hear of the refusal.
heard = []


def error_cb(error):
    heard.append(error.name())
    if sys.argv[3] == "raise":
        raise RuntimeError("the caller's error callback failed")


configs["error_cb"] = error_cb
before = tasks()
started = time.monotonic()
try:
    KafkaJsonCompaction(configs, ["c"], db_name, on_consumer_kill=lambda: None)
    outcome = {"error": None}
except KafkaException as e:
    print("REFUSED", e, flush=True)
    outcome = {"error": e.args[0].name(), "cause": type(e.__cause__).__name__}
outcome["elapsed"] = time.monotonic() - started
gc.collect()
outcome.update(python_threads=threading.active_count(), tasks_before=before, tasks_after=tasks(),
               heard=sorted(set(heard)))
print("OUTCOME " + json.dumps(outcome))
"""


@pytest.mark.parametrize("wrong", ["password", "user", "certificate"])
def test_a_refused_login_or_certificate_fails_construction_at_once_and_leaves_no_thread(
        kafka_sasl, unique_name, wrong):
    user, password = kafka_sasl.sasl_credentials
    if wrong == "password":
        password = "not-" + password
    elif wrong == "user":
        user = "nobody"
    # Without ssl.ca.location the client does not trust the certificate the test CA signed.
    configs = tls_configs(kafka_sasl, trusted=False) if wrong == "certificate" else \
        sasl_configs(kafka_sasl, user, password)
    # With a wrong user, the caller's error callback also raises: the refusal must still come out.
    run = run_python(WRONG, configs, unique_name, "raise" if wrong == "user" else "return")
    # Ending by itself also shows that no thread of the store is left to hold the process.
    assert run.returncode == 0, run.stderr[-3000:]
    [line] = [line for line in run.stdout.splitlines() if line.startswith("OUTCOME ")]
    outcome = json.loads(line[len("OUTCOME "):])
    # The refusal comes within a second or so, not when the first request's 10-s time-out is over.
    assert outcome["elapsed"] < 5, outcome
    assert outcome["python_threads"] == 1
    assert outcome["tasks_after"] == outcome["tasks_before"], outcome
    assert password not in run.stdout + run.stderr
    assert kafka_sasl.sasl_credentials[1] not in run.stdout + run.stderr
    # A transport failure or a time-out would send the caller looking at the network.
    expected = "_SSL" if wrong == "certificate" else "_AUTHENTICATION"
    assert outcome["error"] == expected, run.stdout
    assert outcome["cause"] == "KafkaException"
    assert expected in outcome["heard"]


# The settings a store gives its topics, which an operator applies beforehand.
STORE_TOPIC_SETTINGS = {"cleanup.policy": "compact", "delete.retention.ms": "100", "segment.ms": "100",
                        "min.cleanable.dirty.ratio": "0.01"}


def prepared_topic(cluster, unique_name, credentials, rights):
    """The collection c's topic as an operator prepares it, and the login granted `rights` on the database."""
    Admin({"bootstrap.servers": cluster.bootstrap}).create_or_update_topic(
        unique_name + ".c", 1, 1, STORE_TOPIC_SETTINGS)
    user, password = credentials
    cluster.grant(f"User:{user}", rights, unique_name + ".")
    return user, password


def test_a_principal_with_rights_on_its_topics_only_runs_a_store_on_a_prepared_topic(
        kafka_sasl, make_store, unique_name):
    # No right on any group, nor to create topics or alter their settings.
    user, password = prepared_topic(kafka_sasl, unique_name, kafka_sasl.ordinary_credentials,
                                    ["DESCRIBE", "DESCRIBE_CONFIGS", "READ", "WRITE"])
    store = make_store(["c"], configs=sasl_configs(kafka_sasl, user, password))
    store.set_collection_value("c", "k", [1])
    wait_until(lambda: store.get_collection_value("c", "k") == [1])
    # The refused group coordinator lookup comes right after the replay; it used to stop the store.
    time.sleep(1)
    store.set_collection_value("c", "k", [2])
    wait_until(lambda: store.get_collection_value("c", "k") == [2])
    assert store.cons_thr.is_alive()
    # The command line asks for no more.
    login = ["-Xsecurity.protocol=SASL_PLAINTEXT", "-Xsasl.mechanisms=PLAIN", f"-Xsasl.username={user}",
             f"-Xsasl.password={password}"]
    run = subprocess.run([sys.executable, "-m", "quarnel_kafka_kv", "-b", kafka_sasl.sasl_bootstrap,
                          "--db", unique_name, *login, "get", "c", "k"],
                         capture_output=True, text=True, timeout=60, cwd=TESTS_DIR)
    assert (run.returncode, run.stdout) == (0, "[2]\n"), run.stderr[-3000:]


def test_a_principal_without_read_is_refused_at_construction_even_on_an_empty_topic(
        kafka_sasl, make_store, unique_name):
    user, password = prepared_topic(kafka_sasl, unique_name, kafka_sasl.ordinary_credentials,
                                    ["DESCRIBE", "DESCRIBE_CONFIGS", "WRITE"])
    threads = threading.active_count()
    # An empty topic needs no fetch to be replayed: the store used to come up live, then fail.
    with pytest.raises(KafkaException) as refused:
        make_store(["c"], configs=sasl_configs(kafka_sasl, user, password))
    assert refused.value.args[0].name() == "TOPIC_AUTHORIZATION_FAILED"
    assert unique_name + ".c" in refused.value.args[0].str() and "Read" in refused.value.args[0].str()
    assert threading.active_count() == threads
    # A health probe with such a login must not say live.
    run = subprocess.run([sys.executable, "-m", "quarnel_kafka_kv", "-b", kafka_sasl.sasl_bootstrap,
                          "--db", unique_name, "-Xsecurity.protocol=SASL_PLAINTEXT", "-Xsasl.mechanisms=PLAIN",
                          f"-Xsasl.username={user}", f"-Xsasl.password={password}", "status", "c"],
                         capture_output=True, text=True, timeout=60, cwd=TESTS_DIR)
    assert (run.returncode, run.stdout) == (1, ""), run.stderr[-3000:]
    assert "Not authorized to read topic" in run.stderr and f"topics {unique_name}.*: reading needs" in run.stderr


def test_a_principal_that_may_only_read_runs_a_store_whose_producer_was_refused(
        kafka_sasl, make_store, unique_name):
    # Without Write on any topic the broker refuses the idempotent producer its id: a fatal client error.
    user, password = prepared_topic(kafka_sasl, unique_name, kafka_sasl.reader_credentials,
                                    ["DESCRIBE", "DESCRIBE_CONFIGS", "READ"])
    lines = []
    logger = logging.getLogger("quarnel.reader." + unique_name)
    logger.addHandler(type("H", (logging.Handler,), {"emit": lambda self, r: lines.append(r.getMessage())})())
    logger.propagate = False
    # With a logger the consumer thread polls the producer, which used to stop the store.
    logged = make_store(["c"], configs=sasl_configs(kafka_sasl, user, password),
                        cls=type("Logged", (KafkaJsonCompaction,), {"logger": logger}))
    plain = make_store(["c"], configs=sasl_configs(kafka_sasl, user, password))

    async def awaited_write():
        return await asyncio.wait_for(plain.aset_collection_value("c", "k", 1), 10)
    # Made before the refusal arrives, as a rule: its deliveries thread used to die of it, the write never ending.
    with pytest.raises(KafkaException):
        asyncio.run(awaited_write())
    wait_until(lambda: any("producer failed" in line for line in lines))
    assert logged.status()["state"] == "live"
    # Later writes name the refusal, not the client's bare "Fatal error".
    with pytest.raises(KafkaException) as refused:
        logged.set_collection_value("c", "k", 1)
    with pytest.raises(KafkaException) as refused_batch:
        logged.set_collection_values("c", {"a": 1})
    for error in (refused.value.args[0], refused_batch.value.args[0]):
        assert error.name() == "CLUSTER_AUTHORIZATION_FAILED", error
    # Its close used to raise the producer's failure and leave the store running.
    plain.close()
    plain.cons_thr.join(10)
    assert not plain.cons_thr.is_alive()


def test_over_tls_a_store_works_and_the_command_line_reports_an_untrusted_certificate_in_one_line(
        kafka_sasl, make_store, unique_name):
    store = make_store(["c"], configs=tls_configs(kafka_sasl))
    store.set_collection_value("c", "k", {"over": "tls"})
    wait_until(lambda: store.get_collection_value("c", "k") == {"over": "tls"})

    run = subprocess.run([sys.executable, "-m", "quarnel_kafka_kv", "-b", kafka_sasl.tls_bootstrap,
                          "--db", unique_name, "-X", "security.protocol=SSL", "get", "c", "k"],
                         capture_output=True, text=True, timeout=60, cwd=TESTS_DIR)
    assert run.returncode == 1, run.stdout + run.stderr
    assert run.stdout == ""
    [line] = run.stderr.splitlines()
    assert "error: Kafka refused the connection (_SSL)" in line
    assert "certificate verify failed" in line
