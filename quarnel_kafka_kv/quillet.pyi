"""The store: named collections kept in log-compacted Kafka topics."""
from asyncio import Future
import logging
from threading import Event, Lock, Thread
from types import TracebackType
from typing import Any, Callable, Hashable, Iterable, Literal, Mapping, TypedDict

from confluent_kafka import Consumer, Producer

from .dorrow import Admin

class PartitionStatus(TypedDict):
    partition: int
    position: int
    """The offset of the next record to apply."""
    end: int
    """The partition's end offset as last heard from the broker (no request per call)."""
    lag: int
    """Records (offsets) not applied yet: end - position, at least 0."""

class CollectionStatus(TypedDict):
    keys: int
    partitions: list[PartitionStatus]

class StoreStatus(TypedDict):
    state: Literal["replaying", "live", "stopped", "failed"]
    consumer_alive: bool
    replay_seconds: float | None
    collections: dict[str, CollectionStatus]
    last_error: str | None

class KafkaCompaction:
    """Collections of bytes keys and values, each in one log-compacted topic named
    db_name + "." + str(name), mirrored in memory by a consumer thread.

    Construction returns once every partition has been read to its end. Writes are
    published and become visible when the consumer thread reads them back. The default
    on_consumer_kill ends the process when the store stops (status 1 after a failure or a
    with block left by an exception).
    """

    publish_pause_s: float
    """Pause after each published write, giving the consumer thread time to apply it; with
    read_your_writes, the longest a write waits to become visible."""
    read_your_writes: bool
    """When true, a write returns as soon as this store has applied it (a read right after it, on
    any thread, sees it), at most publish_pause_s later; when false (the default) it pauses
    publish_pause_s."""
    owns_process: bool
    """True (the default, for scripts): the store installs its close as the SIGTERM/SIGINT handler,
    its consumer thread keeps the interpreter alive and the default stop action ends the process.
    False (for services; set it on the class or a subclass before construction): no signal handler,
    the store is closed when the interpreter shuts down (before atexit handlers), and the default stop
    action only says that the store stopped."""
    logger: logging.Logger | None
    """When set (on the class or a subclass, before construction), the store's lines go to this logger
    (INFO; failures WARNING/ERROR) instead of standard output, and its three clients get it as their
    `logger` unless admin_configs names one. None (the default): printed, as always."""
    close_flush_s: float
    """How long a stop lets queued writes be delivered (5.0)."""

    admin: Admin
    db_name: str
    on_consumer_kill: Callable[[], Any] | None
    consumer: Consumer
    producer: Producer
    locks: dict[str, Lock]
    _publish_locks: dict[str, Lock]
    _written_offsets: dict[str, dict[int, int]]
    _read_offsets: dict[str, dict[int, int]]
    _unsettled_topics: set[str]
    _visibility_waiters: list[tuple[str, int, int, Any]]
    _writes_in_flight: dict[str, int]
    _poll_turn: Lock
    _poll_waiters: list[Lock]
    _async_writes: int
    _async_poller: Thread | None
    collection_callbacks: dict[str, Callable[[], Any]]
    collection_listeners: dict[str, list[Callable[[Any, Any], Any]]]
    _topics: dict[str, dict[bytes | None, bytes | None]]
    _topic_names: dict[str, dict[str, str]]
    consumer_num_messages: int
    consumer_timeout_s: float
    cons_running: bool
    _inited: bool
    _replayed: Event
    _stop_error: BaseException
    cons_thr: Thread
    _owns_process: bool
    _pid: int
    _replay_seconds: float
    _partition_marks: dict[str, dict[int, tuple[int, int]]]
    _poll_clients: bool
    _delivered_at_close: bool

    def __init__(
        self,
        admin_configs: Mapping[str, Any],
        collection_names: Iterable[Hashable],
        db_name: str = "quarnel.configs",
        on_consumer_kill: Callable[[], Any] | None = ...,
    ) -> None: ...
    def create_compacted_topic(self, topic: str) -> None: ...
    def add_collection_callback(self, collection_name: Hashable, callback: Callable[[], Any]) -> None:
        """Call callback() on the consumer thread after each new record of the collection."""
    def add_collection_listener(
        self, collection_name: Hashable, listener: Callable[[bytes, bytes | None], Any]
    ) -> None:
        """Call listener(key, value) on the consumer thread for each new record of the collection
        (value None for a deletion); records replayed at start-up are not told. A listener that
        raises stops the consumer thread, as a failing callback does."""
    def start_consumer(self, init_timeout: float = 10.0) -> None: ...
    def set_collection_value(self, name: Hashable, key: bytes | str, value: bytes | str | None) -> None:
        """Publish value under key unless the local copy already holds it; b"" deletes.
        Raises confluent_kafka.KafkaException when the record was not delivered."""
    def set_collection_values(
        self, name: Hashable, mapping: Mapping[bytes | str, bytes | str | None] | Iterable[tuple[Any, Any]]
    ) -> None:
        """Publish every pair in order as set_collection_value would, then wait once for all of them.
        Failed records raise KafkaException afterwards; its not_written attribute lists their keys."""
    def aset_collection_value(self, name: Hashable, key: bytes | str, value: bytes | str | None) -> Future[None]:
        """Awaitable set_collection_value; call under a running event loop."""
    def aset_collection_values(
        self, name: Hashable, mapping: Mapping[bytes | str, bytes | str | None] | Iterable[tuple[Any, Any]]
    ) -> Future[None]:
        """Awaitable set_collection_values; call under a running event loop."""
    def close(self, arg1: object = None, arg2: object = None) -> None:
        """Give queued writes close_flush_s to be delivered, then ask the consumer thread to stop; also
        the SIGTERM and SIGINT handler (called with a signal number, the consumer thread's exit steps
        do the delivery). Records left undelivered are reported on stderr (or the logger) and the
        default stop action then ends the process with status 1."""
    def status(self) -> StoreStatus:
        """The store's health, as a plain dict; cheap enough for every health-check request."""
    def __enter__(self) -> "KafkaCompaction": ...
    def __exit__(
        self,
        exception_type: type[BaseException] | None = None,
        exception_value: BaseException | None = None,
        traceback: TracebackType | None = None,
    ) -> None: ...
    def __del__(self) -> None: ...

class KafkaJsonCompaction(KafkaCompaction):
    """A store with text keys and JSON values; missing data reads as None or []."""

    def __enter__(self) -> "KafkaJsonCompaction": ...
    def get_collections(self) -> list[str]: ...
    def set_collection_value(self, name: Hashable, key: str, value: Any) -> None:  # type: ignore[override]
        """Publish json.dumps(value, default=str) under key; None deletes the key."""
    def delete_collection_value(self, name: Hashable, key: str) -> None: ...
    def set_collection_values(  # type: ignore[override]
        self, name: Hashable, mapping: Mapping[str, Any] | Iterable[tuple[str, Any]]
    ) -> None:
        """Publish every pair as JSON in order (None deletes), then wait once; not_written keys are text."""
    def aset_collection_value(self, name: Hashable, key: str, value: Any) -> Future[None]:  # type: ignore[override]
        """Awaitable set_collection_value."""
    def aset_collection_values(  # type: ignore[override]
        self, name: Hashable, mapping: Mapping[str, Any] | Iterable[tuple[str, Any]]
    ) -> Future[None]:
        """Awaitable set_collection_values."""
    def adelete_collection_value(self, name: Hashable, key: str) -> Future[None]:
        """Awaitable delete_collection_value."""
    def get_collection_value(self, name: Hashable, key: str) -> Any:
        """The value under key, freshly decoded, or None."""
    def get_collection_keys(self, name: Hashable) -> list[str]:
        """The keys as text; a stored key that is not UTF-8 is left out."""
    def add_collection_listener(  # type: ignore[override]
        self, collection_name: Hashable, listener: Callable[[str, Any], Any]
    ) -> None:
        """Call listener(key, value) with the text key and the decoded value (None for a
        deletion); a record that is not text and JSON is not told."""
