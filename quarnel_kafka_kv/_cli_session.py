"""One run of the command line: the client properties, the real standard output, the store once opened."""
from __future__ import annotations

import logging
import signal
import threading
import time
import uuid

from confluent_kafka import Consumer, KafkaError, KafkaException, TopicCollection, TopicPartition
from confluent_kafka.admin import AclOperation, AdminClient

from ._cli_args import METADATA_TIMEOUT_S, REFUSAL_ERRORS, SECRET_MARKERS, TRANSPORT_ERRORS, Failure, is_transport_failure
from .mervane import KafkaDB


class Session:
    """One run: the client properties, the real standard output, and the store once opened."""

    def __init__(self, args, conf, out):
        self.args = args
        self.conf = conf
        self.out = out
        self.db_name = args.db
        self.db = None
        self._topics = None
        # --debug: the store's lines and the clients' go through logging.
        self.logger = logging.getLogger("quarnel_kafka_kv") if args.debug else None
        # Set by the store's stop action, on its consumer thread.
        self.stopped = threading.Event()
        self.signum = None
        self.stop_reason = "its consumer thread ended"
        self.output_closed = False

    def emit(self, line):
        self.out.write(line + "\n")

    def secrets(self):
        return [str(v) for k, v in self.conf.items() if any(m in k.lower() for m in SECRET_MARKERS) and str(v)]

    def kafka_failure(self, exc):
        error = exc.args[0] if exc.args and isinstance(exc.args[0], KafkaError) else None
        if error is None:
            return Failure(f"Kafka: {exc}")
        name = error.name()
        if name in REFUSAL_ERRORS:
            return Failure(f"Kafka refused the connection ({name}): {error.str()}")
        if name in TRANSPORT_ERRORS:
            return Failure(f"cannot reach Kafka at {self.conf['bootstrap.servers']} ({name}): {error.str()}")
        if name == "_INVALID_ARG":
            return Failure(f"bad client property: {error.str()}", 2)
        if name == "TOPIC_AUTHORIZATION_FAILED":
            # The client's text names neither the topic nor the right.
            return Failure(f"Kafka ({name}): {error.str()} (on the topics {self.db_name}.*: reading needs Describe, "
                           "DescribeConfigs and Read; writing also Write; a missing collection Create and "
                           "AlterConfigs)")
        return Failure(f"Kafka ({name}): {error.str()}")

    def topics(self, timeout=METADATA_TIMEOUT_S):
        """The cluster's topic names; the first call also proves the cluster can be reached within timeout."""
        if self._topics is not None:
            return self._topics
        refusals = []

        def heard(error):
            if error.name() in REFUSAL_ERRORS:
                refusals.append(error)

        conf = {**self.conf, "error_cb": heard}
        if self.logger:
            conf.setdefault("logger", self.logger)
        try:
            admin = self.admin = AdminClient(conf)
        except KafkaException as e:
            raise self.kafka_failure(e) from e
        except (ValueError, TypeError) as e:
            raise Failure(f"bad client property: {e}", 2) from e
        deadline = time.monotonic() + timeout
        # Short waits, so that Ctrl-C is seen and a refused login ends the wait at once.
        while True:
            try:
                self.metadata = admin.list_topics(timeout=0.5)
                self._topics = set(self.metadata.topics)
                break
            except KafkaException as e:
                if not is_transport_failure(e):
                    raise self.kafka_failure(e) from e
                # A refused login reaches only the error callback, which poll serves.
                admin.poll(0)
                if refusals:
                    raise self.kafka_failure(KafkaException(refusals[-1])) from e
                if time.monotonic() >= deadline:
                    raise self.kafka_failure(e) from e
        return self._topics

    def collection_names(self):
        prefix = self.db_name + "."
        return sorted(t[len(prefix):] for t in self.topics() if t.startswith(prefix) and len(t) > len(prefix))

    def require_read(self, names, deadline):
        """A principal without Read on a collection is refused here, as a store opening would be."""
        topics = [f"{self.db_name}.{name}" for name in names]
        try:
            answers = self.admin.describe_topics(TopicCollection(topics), include_authorized_operations=True,
                                                 request_timeout=max(deadline - time.monotonic(), 0.5))
        except KafkaException as e:
            raise self.kafka_failure(e) from e
        for topic, answer in answers.items():
            try:
                granted = answer.result().authorized_operations
            except KafkaException as e:
                raise self.kafka_failure(e) from e
            if granted and AclOperation.READ not in granted:
                raise self.kafka_failure(KafkaException(KafkaError(
                    KafkaError.TOPIC_AUTHORIZATION_FAILED,
                    f"Not authorized to read topic {topic}: the store's principal needs Read on it")))

    def positions(self, names, deadline):
        """Per collection, its topic and each partition's first and end offsets, asked of the cluster by deadline."""
        self.require_read(names, deadline)
        consumer = Consumer({**self.conf, "group.id": f"quarnel-kv-status-{uuid.uuid4()}", "enable.auto.commit": False})
        try:
            collections = {}
            for name in names:
                topic = f"{self.db_name}.{name}"
                partitions = []
                for partition in sorted(self.metadata.topics[topic].partitions):
                    left = deadline - time.monotonic()
                    marks = consumer.get_watermark_offsets(TopicPartition(topic, partition), timeout=max(left, 0.1),
                                                           cached=False) if left > 0 else None
                    if marks is None:
                        raise self.kafka_failure(KafkaException(KafkaError(KafkaError._TIMED_OUT,
                                                                           f"no end offsets of {topic} in time")))
                    partitions.append({"partition": partition, "start": marks[0], "end": marks[1]})
                collections[name] = {"topic": topic, "partitions": partitions,
                                     "records": sum(p["end"] - p["start"] for p in partitions)}
            return collections
        except KafkaException as e:
            raise self.kafka_failure(e) from e
        finally:
            consumer.close()

    def require(self, names):
        """Fails unless every collection exists, so that reading one never creates its topic."""
        existing = set(self.collection_names())
        for name in names:
            if name not in existing:
                raise Failure(f"no collection {name!r} in database {self.db_name!r}")

    def open(self, names, defer_signals=True, cls=KafkaDB):
        self.topics()
        if self.logger:
            cls = type(cls.__name__, (cls,), {"logger": self.logger})
        try:
            self.db = cls(self.conf, names, self.db_name, on_consumer_kill=self.store_stopped)
        except KafkaException as e:
            raise self.kafka_failure(e) from e
        except Exception as e:
            # The store's SIGINT/SIGTERM handler stopped it during the replay.
            if self.stopped.is_set():
                raise Failure("interrupted", 128 + signal.SIGINT) from e
            raise
        self.db.read_your_writes = True
        if defer_signals:
            # Replaces the store's handler, which would stop it under a running write.
            for sig in (signal.SIGINT, signal.SIGTERM):
                signal.signal(sig, self.defer_signal)
        return self.db

    def defer_signal(self, signum, _frame):
        self.signum = signum

    def check(self, what="interrupted"):
        """Raises once a signal arrived or the store stopped by itself."""
        if self.signum is not None:
            raise Failure(what, 128 + self.signum)
        if self.stopped.is_set():
            raise Failure(f"the store stopped: {self.stop_reason}")

    def close(self):
        if self.db is not None:
            db, self.db = self.db, None
            db.close()
            db.cons_thr.join()

    def store_stopped(self):
        # On the consumer thread, as the store's stop action; a failure that
        # stopped it is kept on the store (and printed there).
        error = self.db.status()["last_error"] if self.db is not None else None
        if error is not None:
            self.stop_reason = error
        self.stopped.set()
