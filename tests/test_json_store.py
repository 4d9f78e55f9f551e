"""KafkaJsonCompaction: text keys, JSON values, missing data read as None or []."""
import asyncio
import datetime
import json
import threading

import pytest
from confluent_kafka import KafkaException, Producer

from store_fixtures import topic_records, wait_until


def test_values_come_back_as_json_gives_them_back(make_store):
    store = make_store(["c"])
    day = datetime.date(2024, 2, 29)
    written = {
        "tuple": (1, "two", None),
        "int_names": {1: "one", 2: [True, 2.5]},
        "set": {7},
        "date": day,
        "text": "caf\u00e9 \U0001f600",
        # False values are stored, not taken for a deletion.
        "zero": 0,
        "empty_text": "",
        "empty_list": [],
        "false": False,
    }
    for key, value in written.items():
        store.set_collection_value("c", key, value)
    wait_until(lambda: len(store.get_collection_keys("c")) == len(written))

    assert store.get_collection_value("c", "tuple") == [1, "two", None]
    assert store.get_collection_value("c", "int_names") == {"1": "one", "2": [True, 2.5]}
    assert store.get_collection_value("c", "set") == "{7}"
    assert store.get_collection_value("c", "date") == "2024-02-29"
    assert store.get_collection_value("c", "text") == "caf\u00e9 \U0001f600"
    for key in ("zero", "empty_text", "empty_list", "false"):
        assert store.get_collection_value("c", key) == written[key]
        assert type(store.get_collection_value("c", key)) is type(written[key])


def test_records_hold_utf8_keys_and_default_json_text(make_store, admin_configs, unique_name):
    store = make_store(["c"])
    store.set_collection_value("c", "cl\u00e9", {"b": 1, "a": "\u00e9", "n": float("nan")})
    store.delete_collection_value("c", "gone")

    records = topic_records(admin_configs, f"{unique_name}.c", b"gone")
    assert records == [
        ("cl\u00e9".encode(), b'{"b": 1, "a": "\\u00e9", "n": NaN}'),
        (b"gone", b""),
    ]


def test_each_read_returns_a_fresh_object(make_store):
    store = make_store(["c"])
    store.set_collection_value("c", "list", [1, 2])
    store.set_collection_value("c", "dict", {"a": 1})
    wait_until(lambda: store.get_collection_keys("c") == ["list", "dict"])

    store.get_collection_value("c", "list").append(3)
    store.get_collection_value("c", "dict")["b"] = 2
    store.get_collection_keys("c").append("extra")

    assert store.get_collection_value("c", "list") == [1, 2]
    assert store.get_collection_value("c", "dict") == {"a": 1}
    assert store.get_collection_keys("c") == ["list", "dict"]


def test_writing_none_or_deleting_removes_the_key(make_store):
    store = make_store(["c"])
    store.set_collection_value("c", "a", 1)
    store.set_collection_value("c", "b", 2)
    wait_until(lambda: store.get_collection_keys("c") == ["a", "b"])

    store.set_collection_value("c", "a", None)
    store.delete_collection_value("c", "b")
    wait_until(lambda: store.get_collection_keys("c") == [])
    assert store.get_collection_value("c", "a") is None
    assert store.get_collection_value("c", "b") is None


def test_a_batch_encodes_as_single_writes_do_and_names_failed_keys_as_text(make_store, admin_configs):
    store = make_store(["c"], configs=dict(admin_configs, **{"message.max.bytes": 4_000_000}), pause=30.0)
    store.read_your_writes = True
    store.set_collection_value("c", "old", 1)
    store.set_collection_values("c", {"old": None, "n": [1], "é": datetime.date(2024, 1, 2)})
    assert [(k, store.get_collection_value("c", k)) for k in store.get_collection_keys("c")] == [
        ("n", [1]), ("é", "2024-01-02")]
    with pytest.raises(KafkaException) as raised:
        store.set_collection_values("c", {"big": "x" * 2_000_000})
    assert raised.value.not_written == ["big"]
    # One awaitable write fails as the blocking one does, not as a batch of one.
    with pytest.raises(KafkaException) as blocking:
        store.set_collection_value("c", "big", "x" * 2_000_000)

    async def awaited():
        await store.aset_collection_value("c", "big", "x" * 2_000_000)
    with pytest.raises(KafkaException) as failed:
        asyncio.run(awaited())
    assert failed.value.args[0].str() == blocking.value.args[0].str() and not hasattr(failed.value, "not_written")
    # A key that cannot be encoded ends the batch there; the keys before it are written.
    with pytest.raises(AttributeError):
        store.set_collection_values("c", [("before", 1), (5, 2), ("after", 3)])
    assert store.get_collection_keys("c") == ["n", "é", "before"]


def test_deleting_a_missing_key_still_publishes(make_store, admin_configs, unique_name):
    store = make_store(["c"])
    calls = []
    store.add_collection_callback("c", lambda: calls.append(1))

    store.delete_collection_value("c", "never")
    store.set_collection_value("c", "never", None)

    assert topic_records(admin_configs, f"{unique_name}.c", b"never") == [(b"never", b"")]
    wait_until(lambda: len(calls) == 2)
    assert store.get_collection_keys("c") == []


def test_stored_bytes_that_do_not_decode_raise_and_release_the_lock(make_store, admin_configs, unique_name):
    store = make_store(["c"])
    topic = f"{unique_name}.c"
    producer = Producer(admin_configs)
    producer.produce(topic, key=b"bad", value=b"not json")
    producer.flush()
    wait_until(lambda: "bad" in store.get_collection_keys("c"))

    with pytest.raises(json.JSONDecodeError):
        store.get_collection_value("c", "bad")
    assert not store.locks[topic].locked()
    assert store.get_collection_keys("c") == ["bad"]

    # A key that is not UTF-8, which no text key can address, is left out of the listing only.
    producer.produce(topic, key=b"\xff", value=b"1")
    producer.flush()
    wait_until(lambda: len(store._topics[topic]) == 2)
    assert store.get_collection_keys("c") == ["bad"]
    assert store._topics[topic][b"\xff"] == b"1"


# Stored bytes another writer may have left: each reads exactly as json.loads reads it.
FOREIGN_VALUES = [b' \t{"a": [1, 2.5, "\\u00e9"]}\r\n ', '"caf\u00e9"'.encode(), '{"x": 1}'.encode("utf-16"),
                  '[1]'.encode("utf-16-le"), '{"b": 2}'.encode("utf-8-sig"), b"7", b"1 2", b'"\xed\xa0\x80"',
                  b'{"a": 1', b"   ", b"NaN", b'"\x01"', b"\xff"]


def test_stored_values_read_exactly_as_json_loads_reads_them(make_store, admin_configs, unique_name):
    store = make_store(["c"])
    producer = Producer(admin_configs)
    for i, value in enumerate(FOREIGN_VALUES):
        producer.produce(f"{unique_name}.c", key=b"%d" % i, value=value)
    producer.flush()
    wait_until(lambda: len(store.get_collection_keys("c")) == len(FOREIGN_VALUES))
    for i, value in enumerate(FOREIGN_VALUES):
        try:
            expected = json.loads(value)
        except ValueError as e:
            with pytest.raises(type(e)) as raised:
                store.get_collection_value("c", str(i))
            assert str(raised.value) == str(e)
        else:
            got = store.get_collection_value("c", str(i))
            assert got == expected or (got != got and expected != expected), value


def test_integer_and_text_collection_names_address_one_collection(make_store):
    store = make_store([5])
    assert store.get_collections() == ["5"]

    store.set_collection_value(5, "a", 1)
    wait_until(lambda: store.get_collection_value("5", "a") == 1)
    assert store.get_collection_keys(5) == store.get_collection_keys("5") == ["a"]

    store.delete_collection_value("5", "a")
    wait_until(lambda: store.get_collection_value(5, "a") is None)


def test_collections_are_listed_without_the_leading_database_name_only(make_store, unique_name):
    # The database name also occurs inside the collection names: only the prefix goes.
    collections = ["users", f"x{unique_name}.y", f"{unique_name}.z", "groups"]
    store = make_store(collections)
    assert store.get_collections() == collections


def test_a_collection_never_written_reads_as_empty_without_blocking(make_store, unique_name):
    store = make_store(["c"])
    result = []
    reader = threading.Thread(target=lambda: result.extend(
        [store.get_collection_keys("c"), store.get_collection_value("c", "k"),
         store.get_collection_keys("unfollowed"), store.get_collection_value("unfollowed", "k")]))
    reader.start()
    reader.join(5)
    assert result == [[], None, [], None]
    # Readers never create a lock: a missing lock is what makes the answer empty.
    assert f"{unique_name}.c" not in store.locks


def test_keys_are_listed_in_first_insertion_order(make_store):
    store = make_store(["c"])
    for key in ("b", "a", "c"):
        store.set_collection_value("c", key, 1)
    wait_until(lambda: store.get_collection_keys("c") == ["b", "a", "c"])

    store.set_collection_value("c", "b", 2)  # keeps its place
    store.delete_collection_value("c", "a")
    store.set_collection_value("c", "a", 3)  # moves to the end
    wait_until(lambda: store.get_collection_value("c", "a") == 3)
    assert store.get_collection_keys("c") == ["b", "c", "a"]
    assert store.get_collection_value("c", "b") == 2


def test_listeners_are_told_each_new_record_raw_or_decoded(make_store, admin_configs, unique_name):
    writer = make_store(["c"])
    writer.set_collection_value("c", "replayed", 0)
    wait_until(lambda: writer.get_collection_value("c", "replayed") == 0)
    from quarnel_kafka_kv.quillet import KafkaCompaction
    raw_store, json_store = make_store(["c"], cls=KafkaCompaction), make_store(["c"])
    raw, decoded = [], []
    raw_store.add_collection_listener("c", lambda key, value: raw.append((key, value)))
    json_store.add_collection_listener("c", lambda key, value: decoded.append((key, value)))
    writer.set_collection_value("c", "k", {"a": 1})
    writer.set_collection_value("c", "k", [2])
    producer = Producer(admin_configs)
    producer.produce(f"{unique_name}.c", key=b"\xff", value=b"1")  # foreign records: not JSON changes
    producer.produce(f"{unique_name}.c", key=b"bad", value=b"not json")
    producer.flush()
    writer.delete_collection_value("c", "k")
    wait_until(lambda: len(raw) == 5 and decoded[-1:] == [("k", None)])
    assert decoded == [("k", {"a": 1}), ("k", [2]), ("k", None)]
    assert raw == [(b"k", b'{"a": 1}'), (b"k", b"[2]"), (b"\xff", b"1"), (b"bad", b"not json"), (b"k", None)]
