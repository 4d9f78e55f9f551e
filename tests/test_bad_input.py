"""Bad input: a clear exception, nothing published, and the store keeps working."""
import signal
import threading
import time

import pytest
from confluent_kafka import KafkaError, KafkaException

from quarnel_kafka_kv.mervane import KafkaDB
from quarnel_kafka_kv.quillet import KafkaJsonCompaction
from store_fixtures import topic_records, wait_until


def topics_of(store, db_name):
    return sorted(t for t in store.admin.list_topics(timeout=10).topics if t.startswith(db_name + "."))


def assert_still_works(store, name="c", key="after"):
    store.set_collection_value(name, key, {"ok": True})
    wait_until(lambda: store.get_collection_value(name, key) == {"ok": True})


class ConstructionFailure:
    """What a refused construction must leave behind: nothing."""

    def __init__(self):
        self.handlers = {sig: signal.getsignal(sig) for sig in (signal.SIGTERM, signal.SIGINT)}
        self.threads = set(threading.enumerate())

    def check(self):
        assert {sig: signal.getsignal(sig) for sig in self.handlers} == self.handlers
        assert set(threading.enumerate()) == self.threads


def test_keys_that_are_not_text_are_refused_before_anything_is_published(make_store, admin_configs, unique_name):
    db = make_store(["c"], cls=KafkaDB)
    db["c"]["good"] = 1
    wait_until(lambda: db["c"]["good"] == 1)

    for key in (7, 1.5, b"bytes", None, ("t",)):
        with pytest.raises(AttributeError, match="encode"):
            db.set_collection_value("c", key, 1)
        with pytest.raises(AttributeError, match="encode"):
            db.delete_collection_value("c", key)
        with pytest.raises(AttributeError, match="encode"):
            db["c"][key] = 1
        # A read encodes the key under the collection's lock: the lock must come back.
        with pytest.raises(AttributeError, match="encode"):
            db.get_collection_value("c", key)
    assert not db.locks[f"{unique_name}.c"].locked()

    db.set_collection_value("c", "end", 2)
    assert topic_records(admin_configs, f"{unique_name}.c", b"end") == [(b"good", b"1"), (b"end", b"2")]
    wait_until(lambda: db.get_collection_keys("c") == ["good", "end"])
    assert_still_works(db)


def test_values_the_json_encoder_rejects_are_refused_before_anything_is_published(
        make_store, admin_configs, unique_name):
    store = make_store(["c"])
    looped_list = [1]
    looped_list.append(looped_list)
    looped_dict = {"a": 1}
    looped_dict["self"] = looped_dict
    rejected = [
        ({(1, 2): "tuple member name"}, TypeError, "keys must be"),
        ({"deep": [{("a",): 1}]}, TypeError, "keys must be"),
        (looped_list, ValueError, "Circular reference"),
        (looped_dict, ValueError, "Circular reference"),
    ]
    for value, error, message in rejected:
        with pytest.raises(error, match=message):
            store.set_collection_value("c", "k", value)

    store.set_collection_value("c", "end", 2)
    assert topic_records(admin_configs, f"{unique_name}.c", b"end") == [(b"end", b"2")]
    wait_until(lambda: store.get_collection_keys("c") == ["end"])
    assert_still_works(store)


@pytest.mark.parametrize("client_limit", ["default", "raised"])
def test_a_value_over_the_brokers_message_limit_is_refused_and_the_store_recovers(
        make_store, admin_configs, unique_name, client_limit):
    configs = dict(admin_configs)
    if client_limit == "raised":
        # The client then lets the record go and only the broker's answer refuses it.
        configs["message.max.bytes"] = 8_000_000
    store = make_store(["c"], configs=configs)
    topic = f"{unique_name}.c"
    broker_limit = int(store.admin.get_topic_configs(topic)["configs"]["max.message.bytes"].value)

    started = time.monotonic()
    with pytest.raises(KafkaException) as refused:
        store.set_collection_value("c", "big", "x" * (broker_limit + 1000))
    assert refused.value.args[0].code() == KafkaError.MSG_SIZE_TOO_LARGE
    assert time.monotonic() - started < 10

    store.set_collection_value("c", "end", 2)
    assert topic_records(admin_configs, topic, b"end") == [(b"end", b"2")]
    wait_until(lambda: store.get_collection_keys("c") == ["end"])
    assert store.get_collection_value("c", "big") is None
    assert_still_works(store)


def test_collection_names_kafka_refuses_fail_construction_and_create_nothing(
        make_store, admin_configs, unique_name):
    existing = make_store(["c"], db_name=unique_name + "-ok")
    for name in ("with space", "with/slash", "x" * 250):
        left = ConstructionFailure()
        with pytest.raises(KafkaException) as refused:
            KafkaJsonCompaction(admin_configs, [name], unique_name, on_consumer_kill=lambda: None)
        assert refused.value.args[0].code() == KafkaError.TOPIC_EXCEPTION
        assert "Topic name is invalid" in refused.value.args[0].str()
        left.check()
    assert topics_of(existing, unique_name) == []
    assert_still_works(existing)


@pytest.mark.parametrize("bad", [
    {"no.such.property": "1"},
    {"bootstrap.server": "127.0.0.1:9092"},
    {"acks": "everyone"},
    {"socket.timeout.ms": "soon"},
    {"bootstrap.servers": None},
], ids=["unknown", "misspelt-name", "misspelt-value", "wrong-type", "no-brokers"])
def test_admin_configs_with_bad_properties_fail_construction_and_create_nothing(
        make_store, admin_configs, unique_name, bad):
    existing = make_store(["c"], db_name=unique_name + "-ok")
    left = ConstructionFailure()
    started = time.monotonic()
    configs = {k: v for k, v in {**admin_configs, **bad}.items() if v is not None}
    with pytest.raises(KafkaException) as refused:
        KafkaJsonCompaction(configs, ["c"], unique_name, on_consumer_kill=lambda: None)
    assert time.monotonic() - started < 1
    error = refused.value.args[0]
    assert error.code() == KafkaError._INVALID_ARG
    # The message names the property (librdkafka reports acks under its alias).
    assert any(word in error.str() for word in (*bad, "request.required.acks")), error.str()
    left.check()
    assert topics_of(existing, unique_name) == []
    assert_still_works(existing)


def test_collection_names_that_are_not_iterable_fail_construction_and_create_nothing(
        make_store, admin_configs, unique_name):
    existing = make_store(["c"], db_name=unique_name + "-ok")
    for names, message in ((5, "not iterable"), (object(), "not iterable"), ("cfg", "not str"), (b"cfg", "not bytes")):
        left = ConstructionFailure()
        with pytest.raises(TypeError, match=message):
            KafkaJsonCompaction(admin_configs, names, unique_name, on_consumer_kill=lambda: None)
        left.check()
    # False values are taken for an empty list before anything is built.
    for names in (None, 0, ""):
        with pytest.raises(Exception, match='At least one collection must be set in "collection_names"'):
            KafkaJsonCompaction(admin_configs, names, unique_name, on_consumer_kill=lambda: None)
    assert topics_of(existing, unique_name) == []
    assert_still_works(existing)


def test_callbacks_and_listeners_that_cannot_be_called_are_refused_at_registration(make_store):
    store = make_store(["c"])
    for register in (store.add_collection_callback, store.add_collection_listener):
        with pytest.raises(TypeError, match="must be callable, not int"):
            register("c", 42)
    assert store.collection_callbacks == {} and store.collection_listeners == {}
    assert_still_works(store)


def test_arguments_are_bound_as_a_python_method_binds_them(make_store):
    store = make_store(["c"])
    store.set_collection_value(value=1, key="k", name="c")
    wait_until(lambda: store.get_collection_value(key="k", name="c") == 1)
    cls = "KafkaJsonCompaction"
    for call, message in [
        (lambda: store.get_collection_value("c"), f"{cls}.get_collection_value() missing 1 required positional "
                                                  "argument: 'key'"),
        (lambda: store.set_collection_value(), f"{cls}.set_collection_value() missing 3 required positional "
                                               "arguments: 'name', 'key', and 'value'"),
        (lambda: store.get_collection_value("c", "k", "x"), f"{cls}.get_collection_value() takes 3 positional "
                                                            "arguments but 4 were given"),
        (lambda: store.close(1, 2, 3), "KafkaCompaction.close() takes from 1 to 3 positional arguments but 4 "
                                       "were given"),
        (lambda: store.get_collection_value("c", key="k", nme="c"), f"{cls}.get_collection_value() got an "
                                                                    "unexpected keyword argument 'nme'"),
        (lambda: store.get_collection_value("c", "k", name="c"), f"{cls}.get_collection_value() got multiple "
                                                                 "values for argument 'name'"),
    ]:
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == message
    assert_still_works(store)
