"""Shared fixtures: real Kafka brokers (tools/kafka/cluster.py) and per-test names.

Environment:
  QUARNEL_KAFKA_BOOTSTRAP   use this running cluster instead of starting a single-node one
  QUARNEL_KAFKA3_BOOTSTRAP  use this running three-node cluster (tests that kill nodes then skip)
"""

from __future__ import annotations

pytest_plugins = ["store_fixtures"]

import os
import sys
import uuid
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools" / "kafka"))

import cluster as kafka_tooling  # noqa: E402


class ExternalCluster:
    """A cluster someone else started: it can be used, not crashed."""

    external = True

    def __init__(self, bootstrap: str):
        self.bootstrap = bootstrap
        self.size = len([b for b in bootstrap.split(",") if b.strip()])

    def _unsupported(self, *_args, **_kwargs):
        pytest.skip("needs node control; the three-node cluster comes from QUARNEL_KAFKA3_BOOTSTRAP")

    kill_node = stop_node = start_node = start_nodes = pause_node = resume_node = _unsupported


@pytest.fixture(scope="session")
def kafka_bootstrap():
    external = os.environ.get("QUARNEL_KAFKA_BOOTSTRAP")
    if external:
        yield external
        return
    with kafka_tooling.KafkaCluster(nodes=1) as cluster:
        yield cluster.bootstrap


@pytest.fixture(scope="session")
def kafka_cluster3():
    external = os.environ.get("QUARNEL_KAFKA3_BOOTSTRAP")
    if external:
        yield ExternalCluster(external)
        return
    with kafka_tooling.KafkaCluster(nodes=3) as cluster:
        yield cluster


@pytest.fixture(scope="session")
def kafka_sasl():
    """One secured node for every security test: SASL (sasl_credentials is a super user,
    ordinary_credentials may do only what cluster.grant allowed) and TLS (tls_bootstrap, ca_location)."""
    with kafka_tooling.KafkaCluster(nodes=1, sasl=True, tls=True, authorizer=True) as cluster:
        yield cluster


@pytest.fixture
def admin_configs(kafka_bootstrap):
    return {"bootstrap.servers": kafka_bootstrap}


@pytest.fixture
def unique_name():
    return "t" + uuid.uuid4().hex[:12]
