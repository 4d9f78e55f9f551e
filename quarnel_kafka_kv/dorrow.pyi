"""Topic administration."""
import logging
from typing import Any, Iterable, Mapping

from confluent_kafka.admin import AdminClient, ConfigResource

class Admin(AdminClient):
    """An AdminClient that brings topics into a wanted shape.

    Constructed like AdminClient, from a dictionary of client properties.
    """

    logger: logging.Logger | None
    """Where its lines go (INFO; failures WARNING); None, the default: printed. A store with a
    logger sets it on its Admin."""

    def create_or_update_topic(
        self, topic: str, num_partitions: int, replication_factor: int, config_dict: Mapping[str, Any]
    ) -> None:
        """Create the topic if missing (also when another process creates it first), raise its
        partition count to at least num_partitions, and alter its configuration when any entry of
        config_dict differs from the topic's (compared and sent as str(value))."""

    def create_or_update_topics(
        self, topics: Iterable[str], num_partitions: int, replication_factor: int, config_dict: Mapping[str, Any]
    ) -> list[str] | None:
        """create_or_update_topic for every topic (a topic named twice once), with one request per
        step for all of them: one creation of the missing (the replication-factor fallback applied
        to the batch), one wait until the metadata lists them (10 s for every started hundred topics
        created: a broker lists them when it has applied the whole creation), one description of the
        configurations, one partition request and one incremental alteration for those that differ.
        Prints the lines topic-by-topic calls print, in the same order. A topic that fails ends it
        there: the topics before it are in shape, its error is raised and the lines of later topics
        are not printed, though the requests may have created or altered them. When a subclass
        overrides create_or_update_topic or a method it calls, that is called per topic. Returns the
        topics this call created, in the order given (not those another process created first), or
        None when overrides were called."""

    def get_topic_configs(self, topic: str) -> dict[str, Any]:
        """{} for a missing topic, else {"num_partitions", "replication_factor", "configs"}."""

    def create_topic_with_params(
        self, topic: str, num_partitions: int, replication_factor: int, timeout: float = 10
    ) -> None:
        """Create the topic and wait up to timeout seconds until it is visible; a replication
        factor above the broker count falls back to the broker count."""

    def set_topic_configs(self, topic: str, config_dict: Mapping[str, Any]) -> ConfigResource:
        """Set these entries of the topic's configuration in one incremental request; its other
        entries stay as they are."""

    def set_topic_partitions(self, topic: str, new_total_count: int | str) -> None:
        """create partitions"""
