"""KafkaDB and Kollection: a store used as a dictionary of collections."""
import os
import subprocess
import sys
import textwrap

import pytest

from quarnel_kafka_kv.mervane import KafkaDB, Kollection
from store_fixtures import wait_until


class RecordingStore:
    """The four operations a view relies on, over a plain dictionary, with every call recorded."""

    def __init__(self, data):
        self.data = data
        self.calls = []

    def get_collection_keys(self, name):
        self.calls.append(("keys", name))
        return list(self.data)

    def get_collection_value(self, name, key):
        self.calls.append(("get", name, key))
        return self.data.get(key)

    def set_collection_value(self, name, key, value):
        self.calls.append(("set", name, key, value))

    def delete_collection_value(self, name, key):
        self.calls.append(("delete", name, key))

    def set_collection_values(self, name, mapping):
        self.calls.append(("set many", name, list(dict(mapping).items())))


def test_a_view_turns_each_operation_into_one_store_call():
    kdb = RecordingStore({"a": 1})
    coll = Kollection(kdb, "c")
    assert (coll.kdb, coll.name) == (kdb, "c")

    assert coll["a"] == 1
    assert coll["missing"] is None
    coll["b"] = 2
    coll["b"] = None  # a write of None, which the store turns into a deletion
    del coll["a"]
    coll.update({"x": 1}, y=None)
    coll.update([("z", 2)])
    coll.update(w=3)
    assert kdb.calls == [("get", "c", "a"), ("get", "c", "missing"), ("set", "c", "b", 2),
                         ("set", "c", "b", None), ("delete", "c", "a"), ("set many", "c", [("x", 1), ("y", None)]),
                         ("set many", "c", [("z", 2)]), ("set many", "c", [("w", 3)])]
    with pytest.raises(TypeError):
        coll.update({}, {})


def test_items_reads_nothing_until_advanced_then_each_value_in_turn():
    kdb = RecordingStore({"a": 1, "b": 2})
    pairs = Kollection(kdb, "c").items()
    assert kdb.calls == []

    assert next(pairs) == ("a", 1)
    assert kdb.calls == [("keys", "c"), ("get", "c", "a")]
    # The key list was fetched once: a deleted key still comes, with None; a new one never does.
    del kdb.data["b"]
    kdb.data["z"] = 3
    assert list(pairs) == [("b", None)]
    assert kdb.calls[2:] == [("get", "c", "b")]

    assert list(Kollection(RecordingStore({}), "c").items()) == []


def test_items_works_after_a_garbage_collection():
    # In a child process: a lost iterator type can crash the interpreter.
    code = textwrap.dedent("""
        import gc
        from quarnel_kafka_kv.mervane import Kollection
        class Store:
            def get_collection_keys(self, name):
                return ["a"]
            def get_collection_value(self, name, key):
                return 1
        for _ in range(3):
            gc.collect()
            print(list(Kollection(Store(), "c").items()))
    """)
    # Not from the checkout root, where the source folder would shadow the installed package.
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         cwd=os.path.dirname(__file__))
    assert (run.returncode, run.stdout) == (0, "[('a', 1)]\n" * 3), run.stderr


def test_a_view_reads_as_a_dictionary_does():
    kdb = RecordingStore({"a": 1, "b": 2})
    coll = Kollection(kdb, "c")
    assert (list(coll), len(coll), coll.keys()) == (["a", "b"], 2, ["a", "b"])
    assert list(coll.values()) == [1, 2]
    assert (coll.get("a"), coll.get("z"), coll.get("z", 0)) == (1, None, 0)
    assert repr(coll) == "Kollection(name='c')"
    # Values are read one by one through the store's own operation.
    assert [call for call in kdb.calls if call[0] == "get"] == [("get", "c", k) for k in "abazz"]


def test_membership_lists_the_keys_as_text():
    kdb = RecordingStore({"a": 1})
    coll = Kollection(kdb, "c")
    assert "a" in coll
    assert b"a" not in coll
    assert "b" not in coll
    assert kdb.calls == [("keys", "c")] * 3


def test_looking_up_a_name_twice_gives_the_same_view(make_store):
    db = make_store(["c"], cls=KafkaDB)
    assert db.collections == {}
    view = db["c"]
    assert db["c"] is view
    assert (view.kdb, view.name) == (db, "c")
    assert db.collections == {"c": view}


def test_integer_and_text_names_are_two_views_of_one_collection(make_store):
    db = make_store([1], cls=KafkaDB)
    assert db[1] is not db["1"]
    assert list(db.collections) == [1, "1"]
    assert db[1].name == 1

    db[1]["k"] = "v"
    wait_until(lambda: db["1"]["k"] == "v")
    assert "k" in db[1]


def test_assigning_a_mapping_merges_it_into_the_collection(make_store):
    db = make_store(["c"], cls=KafkaDB)
    db["c"]["keep"] = 0
    db["c"]["b"] = 1
    wait_until(lambda: "b" in db["c"])

    db["c"] = {"a": 1, "b": None}
    wait_until(lambda: "b" not in db["c"])
    assert list(db["c"].items()) == [("keep", 0), ("a", 1)]

    db["empty"] = {}
    assert "empty" in db.collections


def test_a_failing_item_ends_the_assignment_at_that_item(make_store):
    db = make_store(["c"], cls=KafkaDB)
    with pytest.raises(AttributeError):
        db["c"] = {"before": 1, 5: 2, "after": 3}
    db["c"]["marker"] = 4
    wait_until(lambda: "marker" in db["c"])
    assert list(db["c"].items()) == [("before", 1), ("marker", 4)]


def test_a_store_is_a_container_of_its_collection_names(make_store, unique_name):
    db = make_store(["c", "d"], cls=KafkaDB)
    # Each would otherwise fall back to db[0], db[1], ... and never end.
    assert ("c" in db, "x" in db, list(db), len(db)) == (True, False, ["c", "d"], 2)
    assert repr(db) == f"KafkaDB(db_name={unique_name!r}, collections=['c', 'd'])"
    assert repr(db["c"]) == f"Kollection(db_name={unique_name!r}, name='c')"


def test_assigning_anything_but_a_dict_raises_type_error_and_keeps_the_view(make_store):
    db = make_store(["c"], cls=KafkaDB)
    with pytest.raises(TypeError) as raised:
        db["c"] = [("a", 1)]
    assert raised.value.args == ()
    view = db.collections["c"]
    assert db["c"] is view

    db["c"]["marker"] = 1
    wait_until(lambda: "marker" in db["c"])
    assert db["c"]["a"] is None


def test_a_dict_subclass_supplies_its_pairs_through_its_own_items(make_store):
    class Renamed(dict):
        def items(self):
            return [(key.upper(), value) for key, value in super().items()]

    db = make_store(["c"], cls=KafkaDB)
    db["c"] = Renamed(a=1)
    wait_until(lambda: "A" in db["c"])
    assert list(db["c"].items()) == [("A", 1)]


def test_membership_and_lookup_follow_the_consumer(make_store):
    db = make_store(["c"], cls=KafkaDB)
    coll = db["c"]
    assert "a" not in coll
    assert coll["a"] is None

    coll["a"] = {"x": [1]}
    wait_until(lambda: "a" in coll)
    assert coll["a"] == {"x": [1]}
    assert b"a" not in coll
    assert coll["missing"] is None

    del coll["a"]
    wait_until(lambda: "a" not in coll)
    assert coll["a"] is None


def test_a_collection_not_given_at_construction_is_written_but_never_read_back(make_store, unique_name):
    db = make_store(["c"], cls=KafkaDB)
    follower = make_store(["other"], cls=KafkaDB)  # creates the topic and reads it
    view = db["other"]
    assert db.collections["other"] is view
    assert view["k"] is None
    assert list(view.items()) == []

    view["k"] = 1
    wait_until(lambda: follower["other"]["k"] == 1)
    db["c"]["marker"] = 1
    wait_until(lambda: "marker" in db["c"])
    assert view["k"] is None
    assert "k" not in view
    assert db.get_collections() == ["c"]
