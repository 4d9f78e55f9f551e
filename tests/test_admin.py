"""Admin: topic creation, description and correction against a real broker."""
import collections
import concurrent.futures
import glob
import importlib.metadata
import importlib.util
import os
import shutil
import subprocess
import types

import pytest
from confluent_kafka import KafkaError, KafkaException
from confluent_kafka.admin import ConfigResource, NewPartitions

import quarnel_kafka_kv
from quarnel_kafka_kv.dorrow import Admin
from quarnel_kafka_kv.quillet import KafkaJsonCompaction
from store_fixtures import partitions_once_added, wait_until

ZOOKEEPER_TEXT = "Replication factor: 3 larger than available brokers: {}."
KRAFT_TEXT = (
    "Unable to replicate the partition 3 time(s): The target replication factor of 3 cannot be "
    "reached because only {} broker(s) are registered or some brokers have all their log "
    "directories cordoned."
)


@pytest.fixture
def admin(admin_configs):
    return Admin(admin_configs)


def printed(capsys):
    return capsys.readouterr().out.splitlines()


def altered(topic):
    return f"{ConfigResource('topic', topic)} configuration successfully altered"


def configs_once_applied(admin, topic, wanted):
    """The topic's configuration once it shows `wanted`: a broker applies a confirmed alteration a moment later."""
    configs = {}

    def applied():
        configs.update(admin.get_topic_configs(topic)["configs"])
        return all(configs[name].value == value for name, value in wanted.items())

    wait_until(applied)
    return configs


def fell_back(topic, factor):
    return f"Topic {topic} will created with replication_factor = {factor}"


class CraftedRejections(Admin):
    """Answers the first creation requests with the given rejections, then asks the broker;
    with `retry_allowed` false, a request after the rejections fails the test instead."""

    def create_topics(self, new_topics, **kwargs):
        self.requests.append((new_topics[0].topic, new_topics[0].replication_factor))
        if self.rejections:
            future = concurrent.futures.Future()
            future.set_exception(KafkaException(self.rejections.pop(0)))
            return {new_topics[0].topic: future}
        assert self.retry_allowed, "the same rejection was retried"
        return super().create_topics(new_topics, **kwargs)


def crafted(admin_configs, texts, retry_allowed=True):
    admin = CraftedRejections(admin_configs)
    admin.rejections = [KafkaError(KafkaError.INVALID_REPLICATION_FACTOR, text) for text in texts]
    admin.requests = []
    admin.retry_allowed = retry_allowed
    return admin


class LosesTheRace(Admin):
    """Lets `rival` create the topic right after this Admin has found it missing."""

    def get_topic_configs(self, topic):
        description = super().get_topic_configs(topic)
        if self.rival is not None:
            rival, self.rival = self.rival, None
            rival.create_topic_with_params(topic, 1, 1)
        return description

    def create_topic_with_params(self, *args, **kwargs):
        try:
            return super().create_topic_with_params(*args, **kwargs)
        except KafkaException as e:
            self.rejected.append(e.args[0].name())
            raise


# --- create_topic_with_params -------------------------------------------------------------------


def test_creating_on_one_broker_falls_back_to_replication_factor_one(admin, unique_name, capsys):
    admin.create_topic_with_params(unique_name, 2, 3)

    assert printed(capsys) == [fell_back(unique_name, 1), f"Topic {unique_name} created"]
    description = admin.get_topic_configs(unique_name)
    assert (description["num_partitions"], description["replication_factor"]) == (2, 1)


@pytest.mark.cluster3
def test_creating_on_three_brokers_keeps_replication_factor_three(kafka_cluster3, unique_name, capsys):
    admin = Admin({"bootstrap.servers": kafka_cluster3.bootstrap})
    admin.create_topic_with_params(unique_name, 2, 3)

    assert printed(capsys) == [f"Topic {unique_name} created"]
    # The brokers learn of the new topic one after another: the one asked may refuse the
    # description a moment, or not list the topic yet.
    described = []
    wait_until(lambda: described.append(admin.get_topic_configs(unique_name)) or described[-1], ignore=KafkaException)
    assert (described[-1]["num_partitions"], described[-1]["replication_factor"]) == (2, 3)


# A count of 2 cannot come from the one-broker metadata, so it proves the text was read; the
# broker then rejects 2 as well and the retry falls back again.
@pytest.mark.parametrize(
    "text, factors",
    [
        (ZOOKEEPER_TEXT.format(2), [2, 1]),
        (KRAFT_TEXT.format(2), [2, 1]),
        ("The replication factor is too large.", [1]),
    ],
    ids=["zookeeper-text", "kraft-text", "count-from-metadata"],
)
def test_the_broker_count_of_a_rejection_is_read_from_its_text_or_the_metadata(
    admin_configs, unique_name, capsys, text, factors
):
    admin = crafted(admin_configs, [text])
    admin.create_topic_with_params(unique_name, 1, 3)

    assert printed(capsys) == [fell_back(unique_name, f) for f in factors] + [f"Topic {unique_name} created"]
    assert admin.requests == [(unique_name, r) for r in [3, *factors]]
    assert admin.get_topic_configs(unique_name)["replication_factor"] == 1


@pytest.mark.parametrize(
    "text, requested",
    [
        (ZOOKEEPER_TEXT.format(3), 3),
        (KRAFT_TEXT.format(5), 3),
        (ZOOKEEPER_TEXT.format(0), 3),
        ("The replication factor is too large.", 1),
    ],
    ids=["equal-count", "higher-count", "no-broker", "metadata-count-equal"],
)
def test_a_broker_count_that_would_not_lower_the_factor_is_raised_instead_of_retried(
    admin_configs, unique_name, capsys, text, requested
):
    admin = crafted(admin_configs, [text], retry_allowed=False)

    with pytest.raises(KafkaException) as excinfo:
        admin.create_topic_with_params(unique_name, 1, requested)

    assert excinfo.value.args[0].str() == text
    assert admin.requests == [(unique_name, requested)]
    assert printed(capsys) == []


def test_a_zero_timeout_fails_after_creating_without_looking_for_the_topic(admin, unique_name, capsys):
    message = f"Timeout 0s on creating topic {unique_name} expired"

    with pytest.raises(Exception) as excinfo:
        admin.create_topic_with_params(unique_name, 1, 1, timeout=0)

    assert type(excinfo.value) is Exception and str(excinfo.value) == message
    assert printed(capsys) == [f"Failed to create topic {unique_name}: {message}"]
    # The broker goes on creating it: its metadata lists the topic a moment later.
    partitions_once_added(admin, unique_name, 1)


# --- create_or_update_topic ---------------------------------------------------------------------


def test_a_missing_topic_is_created_then_configured_in_one_alteration(admin, unique_name, capsys):
    # Any mapping of settings, a read-only one too.
    admin.create_or_update_topic(unique_name, 1, 3,
                                 types.MappingProxyType({"cleanup.policy": "compact", "delete.retention.ms": 100}))

    assert printed(capsys) == [
        fell_back(unique_name, 1),
        f"Topic {unique_name} created",
        "('cleanup.policy', 'compact')",
        "('delete.retention.ms', '100')",
        altered(unique_name),
    ]
    configs_once_applied(admin, unique_name, {"cleanup.policy": "compact", "delete.retention.ms": "100"})
    description = admin.get_topic_configs(unique_name)
    assert (description["num_partitions"], description["replication_factor"]) == (1, 1)


def test_a_topic_already_in_shape_is_left_alone(admin, unique_name, capsys):
    wanted = {"cleanup.policy": "compact", "delete.retention.ms": 100}
    admin.create_or_update_topic(unique_name, 2, 1, wanted)
    configs_once_applied(admin, unique_name, {"cleanup.policy": "compact", "delete.retention.ms": "100"})
    capsys.readouterr()

    # Fewer partitions, another replication factor and no entries at all ask for nothing either.
    admin.create_or_update_topic(unique_name, 2, 1, wanted)
    admin.create_or_update_topic(unique_name, 1, 3, wanted)
    admin.create_or_update_topic(unique_name, 2, 1, {})

    assert printed(capsys) == []
    description = admin.get_topic_configs(unique_name)
    assert (description["num_partitions"], description["replication_factor"]) == (2, 1)
    assert description["configs"]["cleanup.policy"].value == "compact"


def test_one_mismatching_entry_sends_every_entry(admin, unique_name, capsys):
    admin.create_or_update_topic(unique_name, 1, 1, {"cleanup.policy": "compact", "delete.retention.ms": "100"})
    capsys.readouterr()

    admin.create_or_update_topic(unique_name, 1, 1, {"cleanup.policy": "compact", "delete.retention.ms": 200})

    assert printed(capsys) == [
        "('cleanup.policy', 'compact')",
        "('delete.retention.ms', '200')",
        altered(unique_name),
    ]
    configs_once_applied(admin, unique_name, {"cleanup.policy": "compact", "delete.retention.ms": "200"})


def test_partitions_are_raised_but_never_lowered(admin, unique_name, capsys):
    admin.create_topic_with_params(unique_name, 1, 1)
    capsys.readouterr()

    admin.create_or_update_topic(unique_name, 3, 1, {})
    assert printed(capsys) == [f"Additional partitions created for topic {unique_name} now there are 3"]
    # A description that does not show them yet would ask for 2 again, and be refused as no increase.
    partitions_once_added(admin, unique_name, 3)

    admin.create_or_update_topic(unique_name, 2, 1, {})
    assert printed(capsys) == []
    assert admin.get_topic_configs(unique_name)["num_partitions"] == 3


def test_a_topic_created_by_a_rival_meanwhile_is_corrected_while_direct_creation_raises(
    admin_configs, unique_name, capsys
):
    rival = Admin(admin_configs)
    admin = LosesTheRace(admin_configs)
    admin.rival = rival
    admin.rejected = []

    admin.create_or_update_topic(unique_name, 2, 1, {"cleanup.policy": "compact", "delete.retention.ms": 100})

    assert admin.rejected == ["TOPIC_ALREADY_EXISTS"]
    assert printed(capsys) == [
        f"Topic {unique_name} created",  # by the rival
        f"Additional partitions created for topic {unique_name} now there are 2",
        "('cleanup.policy', 'compact')",
        "('delete.retention.ms', '100')",
        altered(unique_name),
    ]
    partitions_once_added(admin, unique_name, 2)
    configs_once_applied(admin, unique_name, {"cleanup.policy": "compact", "delete.retention.ms": "100"})

    # Called directly, the creation still reports the topic that is already there.
    with pytest.raises(KafkaException) as excinfo:
        rival.create_topic_with_params(unique_name, 1, 1)
    assert excinfo.value.args[0].name() == "TOPIC_ALREADY_EXISTS"
    assert printed(capsys) == []


class LaggingBroker(Admin):
    """Answers the first descriptions as a broker that has not heard of the topic yet."""

    def get_topic_configs(self, topic):
        self.descriptions += 1
        if self.refusals:
            raise KafkaException(KafkaError(self.refusals.pop(0)))
        return super().get_topic_configs(topic)


def test_a_description_refused_by_a_lagging_broker_is_retried_and_other_refusals_are_not(
    admin_configs, unique_name
):
    admin = LaggingBroker(admin_configs)
    admin.descriptions = 0
    admin.refusals = [KafkaError.UNKNOWN_TOPIC_OR_PART] * 3
    admin.create_or_update_topic(unique_name, 1, 1, {"cleanup.policy": "compact"})
    assert admin.descriptions == 5  # three refused, the missing topic, the created one
    configs_once_applied(admin, unique_name, {"cleanup.policy": "compact"})

    admin.refusals = [KafkaError.TOPIC_AUTHORIZATION_FAILED]
    with pytest.raises(KafkaException) as excinfo:
        admin.create_or_update_topic(unique_name, 1, 1, {})
    assert excinfo.value.args[0].name() == "TOPIC_AUTHORIZATION_FAILED"


class DescribesLate(Admin):
    """A cluster whose brokers refuse the first descriptions of a new topic's configuration."""

    def describe_configs(self, resources, **kwargs):
        if self.refusals:
            self.refusals -= 1
            refused = concurrent.futures.Future()
            refused.set_exception(KafkaException(KafkaError(KafkaError.UNKNOWN_TOPIC_OR_PART)))
            return {resources[0]: refused}
        return super().describe_configs(resources, **kwargs)


def test_refusals_that_are_retried_print_nothing_and_a_raised_one_is_printed(admin_configs, unique_name, capsys):
    admin = DescribesLate(admin_configs)
    admin.refusals = 3
    admin.create_topic_with_params(unique_name, 1, 1)
    capsys.readouterr()
    admin.create_or_update_topic(unique_name, 1, 1, {})
    assert (admin.refusals, printed(capsys)) == (0, [])

    admin.refusals = 1
    with pytest.raises(KafkaException):
        admin.get_topic_configs(unique_name)
    assert printed(capsys)[0].startswith(f"Failed to describe {ConfigResource('topic', unique_name)}: ")


def configs_show(admin, topics, wanted):
    """Whether every topic's configuration shows `wanted`, asked in one request."""
    futures = admin.describe_configs([ConfigResource("topic", topic) for topic in topics])
    return all(f.result()[name].value == value for f in futures.values() for name, value in wanted.items())


def test_a_store_over_many_collections_creates_the_missing_and_corrects_the_rest_leaving_what_it_does_not_name(
    make_store, admin, unique_name, capsys
):
    names = [f"c{i:02d}" for i in range(30)]
    topics = [f"{unique_name}.{name}" for name in names]
    existing, missing = topics[::3], [topic for i, topic in enumerate(topics) if i % 3]
    own = {"max.message.bytes": "5000000", "retention.ms": "86400000"}
    admin.create_or_update_topics(existing, 1, 1, own)
    wait_until(lambda: configs_show(admin, existing, own))
    capsys.readouterr()

    make_store(names)

    created = [line.split()[1] for line in printed(capsys) if line.startswith("Topic ") and line.endswith(" created")]
    assert created == missing
    store_settings = {"cleanup.policy": "compact", "segment.ms": "100", "min.cleanable.dirty.ratio": "0.01"}
    wait_until(lambda: configs_show(admin, existing, {**own, **store_settings})
               and configs_show(admin, missing, store_settings))


class OwnTopics(KafkaJsonCompaction):
    def create_compacted_topic(self, topic):
        self.asked.append(topic)
        super().create_compacted_topic(topic)


def test_a_store_whose_class_creates_its_topics_itself_is_asked_for_each(make_store, unique_name):
    OwnTopics.asked = []
    make_store(["a", "b", "c"], cls=OwnTopics)
    assert OwnTopics.asked == [f"{unique_name}.{name}" for name in "abc"]


class CountsRequests(Admin):
    """Counts the client's requests of the steps, which a batch makes once for all its topics."""

    def __init__(self, configs):
        super().__init__(configs)
        self.requests = collections.Counter()

    def counted(name):
        def request(self, *args, **kwargs):
            self.requests[name] += 1
            return getattr(super(CountsRequests, self), name)(*args, **kwargs)
        return request

    create_topics = counted("create_topics")
    describe_configs = counted("describe_configs")
    create_partitions = counted("create_partitions")
    incremental_alter_configs = counted("incremental_alter_configs")


def test_a_batch_prints_and_shapes_as_topic_by_topic_calls_do_with_one_request_per_step(
    admin_configs, unique_name, capsys
):
    wanted = {"cleanup.policy": "compact", "delete.retention.ms": 100}
    setup = Admin(admin_configs)

    def topics(prefix):
        setup.create_topic_with_params(f"{prefix}.few", 1, 1)  # too few partitions, the cluster's settings
        setup.create_or_update_topic(f"{prefix}.shaped", 2, 1, wanted)
        configs_once_applied(setup, f"{prefix}.shaped", {"cleanup.policy": "compact"})
        return [f"{prefix}.{name}" for name in ("new", "few", "shaped", "other")]

    singly, batched = topics(f"{unique_name}-1"), topics(f"{unique_name}-2")
    admin = CountsRequests(admin_configs)
    capsys.readouterr()
    for topic in singly:
        admin.create_or_update_topic(topic, 2, 3, wanted)
    lines = printed(capsys)
    admin.requests.clear()

    assert admin.create_or_update_topics(batched + batched[:1], 2, 3, wanted) == [batched[0], batched[3]]

    assert [line.replace(f"{unique_name}-2", f"{unique_name}-1") for line in printed(capsys)] == lines
    # The missing two asked for at factor 3, then at the broker count; the existing, then the created described.
    assert admin.requests == {"create_topics": 2, "describe_configs": 2, "create_partitions": 1,
                              "incremental_alter_configs": 1}
    for topic in batched:
        partitions_once_added(admin, topic, 2)
    wait_until(lambda: configs_show(admin, batched, {"cleanup.policy": "compact", "delete.retention.ms": "100"}))


def test_a_topic_failing_in_a_batch_ends_it_where_topic_by_topic_calls_would_end(admin, unique_name, capsys):
    good, bad = f"{unique_name}.a", f"{unique_name}.no spaces"
    with pytest.raises(KafkaException) as singly:
        admin.create_or_update_topic(bad, 1, 1, {})

    with pytest.raises(KafkaException) as batched:
        admin.create_or_update_topics([good, bad, f"{unique_name}.c"], 1, 1, {"cleanup.policy": "compact"})

    assert batched.value.args[0].name() == singly.value.args[0].name() == "TOPIC_EXCEPTION"
    assert printed(capsys) == [f"Topic {good} created", "('cleanup.policy', 'compact')", altered(good)]


class PerTopic(Admin):
    def create_or_update_topic(self, topic, *args):
        self.asked.append((topic, *args))


def test_a_batch_calls_an_overridden_step_per_topic(admin_configs):
    admin = PerTopic(admin_configs)
    admin.asked = []
    assert admin.create_or_update_topics(iter(["a", "b", "a"]), 2, 1, {}) is None
    assert admin.asked == [("a", 2, 1, {}), ("b", 2, 1, {})]
    with pytest.raises(TypeError, match="not str"):
        admin.create_or_update_topics("ab", 2, 1, {})


# --- get_topic_configs --------------------------------------------------------------------------


def test_a_missing_topic_is_described_as_empty(admin, unique_name, capsys):
    assert admin.get_topic_configs(unique_name) == {}
    assert printed(capsys) == []


def test_a_topic_with_several_partitions_is_described(admin, unique_name):
    admin.create_topic_with_params(unique_name, 3, 1)

    description = admin.get_topic_configs(unique_name)

    assert list(description) == ["num_partitions", "replication_factor", "configs"]
    assert (description["num_partitions"], description["replication_factor"]) == (3, 1)
    assert description["configs"]["cleanup.policy"].value == "delete"


# --- set_topic_partitions ----------------------------------------------------------------------


def test_partitions_given_as_text_are_sent_as_a_number(admin, unique_name, capsys):
    admin.create_topic_with_params(unique_name, 1, 1)
    capsys.readouterr()

    admin.set_topic_partitions(unique_name, "03")

    # The line shows the argument as given, not its conversion.
    assert printed(capsys) == [f"Additional partitions created for topic {unique_name} now there are 03"]
    partitions_once_added(admin, unique_name, 3)


@pytest.mark.parametrize("total", [2, 1])
def test_a_rejected_partition_request_is_printed_and_swallowed(admin, unique_name, capsys, total):
    admin.create_topic_with_params(unique_name, 2, 1)
    with pytest.raises(KafkaException) as rejection:
        admin.create_partitions([NewPartitions(unique_name, total)])[unique_name].result()
    capsys.readouterr()

    assert admin.set_topic_partitions(unique_name, total) is None

    assert printed(capsys) == [f"Failed to add partitions to topic {unique_name}: {rejection.value}"]
    assert admin.get_topic_configs(unique_name)["num_partitions"] == 2


# --- the module ---------------------------------------------------------------------------------


def test_only_the_partition_operation_is_documented():
    assert Admin.set_topic_partitions.__doc__ == " create partitions "
    for name in ("create_or_update_topic", "get_topic_configs", "create_topic_with_params", "set_topic_configs"):
        assert getattr(Admin, name).__doc__ is None, name


def test_the_package_states_its_installed_version():
    assert quarnel_kafka_kv.__version__ == importlib.metadata.version("quarnel_kafka_kv")


def test_each_extension_module_exports_only_its_init_function():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    libraries = {
        name: importlib.util.find_spec(f"quarnel_kafka_kv.{name}").origin for name in ("dorrow", "quillet", "mervane")
    }
    for folder in quarnel_kafka_kv.__path__:
        for path in glob.glob(os.path.join(folder, "*.so")):
            libraries.setdefault(os.path.basename(path).split(".")[0], path)

    for name, path in libraries.items():
        out = subprocess.run([nm, "-D", "--defined-only", path], capture_output=True, text=True, check=True).stdout
        assert [line.split()[-1] for line in out.splitlines()] == [f"PyInit_{name}"], path
