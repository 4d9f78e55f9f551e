"""Fixtures for tests that open stores inside the pytest process."""
import signal
import time

import pytest

from quarnel_kafka_kv.quillet import KafkaJsonCompaction


def wait_until(predicate, timeout=15.0, interval=0.02):
    """Polls predicate until it is true; the consumer thread applies records asynchronously."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"condition not met within {timeout}s")
        time.sleep(interval)


@pytest.fixture
def make_store(admin_configs, unique_name):
    """Opens stores that cannot end the pytest process and are stopped afterwards.

    make_store(collections, cls=KafkaJsonCompaction, db_name=unique, pause=0.0, **kwargs):
    the default stop action would end the process, so a no-op replaces it
    unless on_consumer_kill is given; `pause` sets the instance's publish_pause_s.
    """
    stores = []
    handlers = {sig: signal.getsignal(sig) for sig in (signal.SIGTERM, signal.SIGINT)}

    def make(collections, cls=KafkaJsonCompaction, db_name=None, pause=0.0, configs=None, **kwargs):
        kwargs.setdefault("on_consumer_kill", lambda: None)
        store = cls(configs if configs is not None else admin_configs, collections,
                    unique_name if db_name is None else db_name, **kwargs)
        store.publish_pause_s = pause
        stores.append(store)
        return store

    yield make
    for store in stores:
        store.close()
    for store in stores:
        store.cons_thr.join(10)
    for sig, handler in handlers.items():
        signal.signal(sig, handler)
