#!/usr/bin/env python3
"""Real Apache Kafka brokers (KRaft, 127.0.0.1) for tests and demos, built from Maven Central jars.

Library:  with KafkaCluster(nodes=3) as c: ... c.bootstrap ... c.kill_node(0); c.start_node(0)
          c.pause_node(0); c.resume_node(0)                      (SIGSTOP/SIGCONT: a frozen broker)
CLI:      cluster.py start --nodes 1|3 [--sasl] [--tls] [--authorizer] [--kafka-defaults] --state FILE
                                                                 (prints the bootstrap string)
          cluster.py stop --state FILE
          cluster.py fetch                                       (prints the jar folder)

Stdlib only, so it can run before any virtualenv exists.
Environment: QUARNEL_KAFKA_CACHE (jar cache root, default ~/.cache/quarnel-kafka),
             QUARNEL_KAFKA_VERSION (override the version pinned in pom.xml),
             QUARNEL_KAFKA_KEEP=1 (keep the cluster folder on stop, for post-mortems).
"""

from __future__ import annotations

import argparse
import atexit
import base64
import ctypes
import fcntl
import json
import logging
import os
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import uuid
import xml.etree.ElementTree as ET
from pathlib import Path

HERE = Path(__file__).resolve().parent
POM = HERE / "pom.xml"
LOG4J2 = HERE / "log4j2.properties"
KEYTOOL = HERE / "Keytool.java"
COPY_GOAL = "org.apache.maven.plugins:maven-dependency-plugin:3.8.1:copy-dependencies"

SASL_USER = "quarnel"
SASL_PASSWORD = "quarnel-secret"
_SASL_ADMIN_PASSWORD = "admin-secret"
# With the authorizer on, SASL_USER and admin are super users; this one may do only what it is granted.
ORDINARY_USER = "tenant"
ORDINARY_PASSWORD = "tenant-secret"
# Like ORDINARY_USER, for tests that must never grant it Write: a principal without Write on any topic is
# refused an idempotent producer's id.
READER_USER = "reader"
READER_PASSWORD = "reader-secret"
STANDARD_AUTHORIZER = "org.apache.kafka.metadata.authorizer.StandardAuthorizer"
_KEYSTORE_PASSWORD = "quarnel-keystore"

STOP_TIMEOUT = 15.0
START_TIMEOUT = 120.0

log = logging.getLogger("quarnel.kafka")


class KafkaToolingError(RuntimeError):
    pass


# ---------------------------------------------------------------------------------------------------------
# Jars


def kafka_version() -> str:
    override = os.environ.get("QUARNEL_KAFKA_VERSION")
    if override:
        return override
    ns = {"m": "http://maven.apache.org/POM/4.0.0"}
    node = ET.parse(POM).getroot().find("m:properties/m:kafka.version", ns)
    if node is None or not (node.text or "").strip():
        raise KafkaToolingError(f"no kafka.version property in {POM}")
    return node.text.strip()


def cache_root() -> Path:
    return Path(os.environ.get("QUARNEL_KAFKA_CACHE") or Path.home() / ".cache" / "quarnel-kafka")


def resolve_jars(version: str | None = None) -> Path:
    """Return the folder holding the broker's runtime jars, running Maven only when it is incomplete."""
    version = version or kafka_version()
    vdir = cache_root() / version
    libs, marker = vdir / "libs", vdir / "complete"
    if _cache_complete(libs, marker):
        return libs
    vdir.mkdir(parents=True, exist_ok=True)
    # Two test sessions may start at once; only one of them downloads.
    with open(vdir / ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if _cache_complete(libs, marker):
            return libs
        mvn = shutil.which("mvn")
        if not mvn:
            raise KafkaToolingError("mvn not found on PATH; it is needed once to fetch the Kafka jars")
        partial = vdir / "libs.partial"
        shutil.rmtree(partial, ignore_errors=True)
        marker.unlink(missing_ok=True)
        log.info("fetching Kafka %s jars into %s (first run only)", version, libs)
        cmd = [mvn, "-B", "-q", "-f", str(POM), COPY_GOAL,
               f"-Dkafka.version={version}", f"-Dquarnel.kafka.libs={partial}"]
        res = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True, timeout=900)
        jars = sorted(p.name for p in partial.glob("*.jar")) if partial.is_dir() else []
        if res.returncode != 0 or not any(j.startswith(f"kafka_2.13-{version}") for j in jars):
            raise KafkaToolingError(f"mvn failed ({res.returncode}): {' '.join(cmd)}\n{res.stdout[-4000:]}")
        shutil.rmtree(libs, ignore_errors=True)
        partial.rename(libs)
        marker.write_text("\n".join(jars) + "\n")
    return libs


def _cache_complete(libs: Path, marker: Path) -> bool:
    try:
        names = marker.read_text().split()
    except OSError:
        return False
    return bool(names) and all((libs / n).is_file() for n in names)


def java_executable() -> str:
    home = os.environ.get("JAVA_HOME")
    if home and (Path(home) / "bin" / "java").is_file():
        return str(Path(home) / "bin" / "java")
    java = shutil.which("java")
    if not java:
        raise KafkaToolingError("java not found (need JDK 17+ on PATH or JAVA_HOME)")
    return java


# ---------------------------------------------------------------------------------------------------------
# Minimal Kafka wire protocol: enough to ask a broker which brokers it knows.


def _recv_exact(sock: socket.socket, n: int) -> bytes:
    buf = bytearray()
    while len(buf) < n:
        chunk = sock.recv(n - len(buf))
        if not chunk:
            raise ConnectionError("broker closed the connection")
        buf += chunk
    return bytes(buf)


def _call(sock: socket.socket, api_key: int, version: int, corr: int, body: bytes) -> bytes:
    client = b"quarnel-probe"
    msg = struct.pack(">hhih", api_key, version, corr, len(client)) + client + body
    sock.sendall(struct.pack(">i", len(msg)) + msg)
    (size,) = struct.unpack(">i", _recv_exact(sock, 4))
    resp = _recv_exact(sock, size)
    if struct.unpack(">i", resp[:4])[0] != corr:
        raise ConnectionError("correlation id mismatch")
    return resp[4:]


def _read_str(buf: bytes, off: int) -> tuple[str | None, int]:
    (n,) = struct.unpack_from(">h", buf, off)
    off += 2
    if n < 0:
        return None, off
    return buf[off:off + n].decode(), off + n


def broker_ids(port: int, host: str = "127.0.0.1", timeout: float = 2.0) -> set[int]:
    """Node ids of the live (registered, unfenced) brokers as seen by the broker at host:port."""
    with socket.create_connection((host, port), timeout=timeout) as sock:
        sock.settimeout(timeout)
        # ApiVersions v0 is the one request every broker answers; it tells which Metadata versions exist
        # (4.x dropped the oldest ones).
        resp = _call(sock, 18, 0, 1, b"")
        err, count = struct.unpack_from(">hi", resp, 0)
        if err:
            raise ConnectionError(f"ApiVersions error {err}")
        lo = hi = -1
        for i in range(count):
            key, vmin, vmax = struct.unpack_from(">hhh", resp, 6 + 6 * i)
            if key == 3:
                lo, hi = vmin, vmax
        # v4..v8 share a non-flexible layout; v8 only appends two flags to the request.
        usable = [v for v in range(4, 9) if lo <= v <= hi]
        if not usable:
            raise KafkaToolingError(f"broker supports Metadata v{lo}..v{hi}, probe needs one of v4..v8")
        ver = usable[0]
        body = struct.pack(">ib", 0, 0) + (b"\x00\x00" if ver >= 8 else b"")  # no topics, no auto-create
        resp = _call(sock, 3, ver, 2, body)
    off = 4  # throttle_time_ms
    (n,) = struct.unpack_from(">i", resp, off)
    off += 4
    ids = set()
    for _ in range(n):
        (node_id,) = struct.unpack_from(">i", resp, off)
        _, off = _read_str(resp, off + 4)
        _, off = _read_str(resp, off + 4)
        ids.add(node_id)
    return ids


# ---------------------------------------------------------------------------------------------------------
# Processes


def _pdeathsig() -> None:
    # Runs in the child between fork and exec: the broker gets SIGKILL when the thread that started it dies,
    # so a test run killed hard (where atexit never runs) leaves no broker behind.
    _LIBC.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


try:
    _LIBC = ctypes.CDLL(None, use_errno=True)
    _LIBC.prctl  # noqa: B018
except (OSError, AttributeError):
    _LIBC = None


def _pid_is_ours(pid: int, marker: str) -> bool:
    """Alive, not a zombie, and still the java process we started (pids get reused)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                return False
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return marker.encode() in f.read()
    except (OSError, IndexError):
        return False


def _free_port(taken: set[int]) -> int:
    # Below the kernel's ephemeral range, so an outgoing connection's source port can never occupy a port
    # that a killed node has to bind again on restart.
    try:
        lo = int(Path("/proc/sys/net/ipv4/ip_local_port_range").read_text().split()[0])
    except (OSError, ValueError, IndexError):
        lo = 32768
    for _ in range(1000):
        port = random.randint(10000, max(10001, lo - 1))
        if port in taken:
            continue
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
        taken.add(port)
        return port
    raise KafkaToolingError("no free loopback port")


def _new_cluster_id() -> str:
    while True:
        cid = base64.urlsafe_b64encode(uuid.uuid4().bytes).decode().rstrip("=")
        if not cid.startswith("-"):  # Kafka's own Uuid generator avoids these: they look like CLI flags
            return cid


def _tail(path: Path, lines: int = 30) -> str:
    try:
        return "\n".join(path.read_text(errors="replace").splitlines()[-lines:])
    except OSError:
        return "(missing)"


def _bind_failed(n: "Node") -> bool:
    for name in ("stdout.log", "logs/server.log"):
        try:
            if "Address already in use" in (n.dir / name).read_text(errors="replace"):
                return True
        except OSError:
            pass
    return False


class Node:
    def __init__(self, index: int, directory: Path, broker_port: int, controller_port: int,
                 sasl_port: int | None, tls_port: int | None = None):
        self.index = index
        self.node_id = index + 1
        self.dir = directory
        self.broker_port = broker_port
        self.controller_port = controller_port
        self.sasl_port = sasl_port
        self.tls_port = tls_port
        self.proc: subprocess.Popen | None = None
        self.pid: int | None = None

    @property
    def config(self) -> Path:
        return self.dir / "server.properties"

    def alive(self) -> bool:
        if self.proc is not None:
            return self.proc.poll() is None
        return self.pid is not None and _pid_is_ours(self.pid, str(self.config))

    def signal(self, sig: int) -> None:
        if self.alive():
            try:
                os.kill(self.pid, sig)
            except ProcessLookupError:
                pass

    def wait_exit(self, timeout: float) -> bool:
        deadline = time.monotonic() + timeout
        while self.alive():
            if time.monotonic() > deadline:
                return False
            if self.proc is not None:
                try:
                    self.proc.wait(timeout=min(0.2, max(0.0, deadline - time.monotonic())))
                except subprocess.TimeoutExpired:
                    pass
            else:
                time.sleep(0.05)
        return True

    def describe_failure(self) -> str:
        return (f"--- node {self.node_id} stdout.log ---\n{_tail(self.dir / 'stdout.log')}\n"
                f"--- node {self.node_id} server.log ---\n{_tail(self.dir / 'logs' / 'server.log')}")

    def to_state(self) -> dict:
        return {"index": self.index, "node_id": self.node_id, "dir": str(self.dir), "pid": self.pid,
                "broker_port": self.broker_port, "controller_port": self.controller_port,
                "sasl_port": self.sasl_port, "tls_port": self.tls_port}


_LIVE: set["KafkaCluster"] = set()
_LIVE_LOCK = threading.Lock()


@atexit.register
def _stop_leftovers() -> None:
    with _LIVE_LOCK:
        clusters = list(_LIVE)
    for c in clusters:
        try:
            c.stop()
        except Exception:  # noqa: BLE001 - best effort at interpreter exit
            pass


class KafkaCluster:
    """N combined broker+controller JVMs on loopback sharing one static KRaft quorum.

    Node indexes are 0-based; node.id is index + 1. Not thread-safe. With die_with_parent (the default) the
    kernel kills the brokers when the *thread* that spawned them ends, so start clusters and restart nodes
    from a thread that outlives them (pytest's main thread does).
    """

    def __init__(self, nodes: int = 1, sasl: bool = False, workdir: str | os.PathLike | None = None, *,
                 heap: str | None = None, start_timeout: float = START_TIMEOUT, die_with_parent: bool = True,
                 kafka_defaults: bool = False, tls: bool = False, authorizer: bool = False):
        if nodes < 1:
            raise ValueError("nodes must be >= 1")
        if authorizer and not sasl:
            raise ValueError("authorizer=True needs sasl=True: its users log in on the SASL listener")
        self.size = nodes
        self.sasl = sasl
        # tls: an SSL listener whose certificate a CA made at start signs; clients trust ca_location.
        self.tls = tls
        # authorizer: KRaft's StandardAuthorizer. The PLAINTEXT, controller and SSL listeners carry no
        # identity (User:ANONYMOUS), so they stay unrestricted, as the brokers talk over them; on the SASL
        # listener ORDINARY_USER may do only what grant() allowed.
        self.authorizer = authorizer
        # kafka_defaults: the group coordinator and log cleaner keep Kafka's own settings, as on a cluster
        # nobody tuned for tests (3 s initial rebalance delay, 128 MiB dedupe buffer, 15 s cleaner back-off).
        self.kafka_defaults = kafka_defaults
        # The default dedupe buffer is allocated on the heap at start; Kafka's own start script gives 1 GiB.
        self.heap = heap or ("1g" if kafka_defaults else "384m")
        self.start_timeout = start_timeout
        self.die_with_parent = die_with_parent and _LIBC is not None
        self._workdir_arg = Path(workdir) if workdir else None
        self.workdir: Path | None = None
        self.nodes: list[Node] = []
        self.cluster_id: str | None = None
        self.version = kafka_version()
        self.libs: Path | None = None

    # -- public surface ------------------------------------------------------------------------------------

    @property
    def bootstrap(self) -> str:
        return ",".join(f"127.0.0.1:{n.broker_port}" for n in self.nodes)

    @property
    def sasl_bootstrap(self) -> str:
        if not self.sasl:
            raise AttributeError("cluster was started without sasl=True")
        return ",".join(f"127.0.0.1:{n.sasl_port}" for n in self.nodes)

    @property
    def sasl_credentials(self) -> tuple[str, str]:
        return SASL_USER, SASL_PASSWORD

    @property
    def ordinary_credentials(self) -> tuple[str, str]:
        """A SASL user that, with the authorizer on, has no right it was not granted."""
        if not self.sasl:
            raise AttributeError("cluster was started without sasl=True")
        return ORDINARY_USER, ORDINARY_PASSWORD

    @property
    def reader_credentials(self) -> tuple[str, str]:
        """Another user without rights of its own; callers never grant it Write."""
        if not self.sasl:
            raise AttributeError("cluster was started without sasl=True")
        return READER_USER, READER_PASSWORD

    @property
    def tls_bootstrap(self) -> str:
        if not self.tls:
            raise AttributeError("cluster was started without tls=True")
        return ",".join(f"127.0.0.1:{n.tls_port}" for n in self.nodes)

    @property
    def ca_location(self) -> str:
        """The PEM file of the CA that signed the brokers' certificate (the client's ssl.ca.location)."""
        if not self.tls:
            raise AttributeError("cluster was started without tls=True")
        return str(self.workdir / "tls" / "ca.pem")

    def grant(self, principal: str, operations: list[str], name: str, resource: str = "topic",
              pattern: str = "prefixed") -> None:
        """Allow principal ("User:tenant") the operations ("READ", "DESCRIBE_CONFIGS", ...) on the resource
        ("topic", "group", "cluster") whose name is, or with pattern "prefixed" starts with, name.

        Goes through the PLAINTEXT listener, which is unrestricted; needs confluent_kafka.
        """
        from confluent_kafka.admin import (AclBinding, AclOperation, AclPermissionType, AdminClient,
                                           ResourcePatternType, ResourceType)
        admin = AdminClient({"bootstrap.servers": self.bootstrap})
        bindings = [AclBinding(ResourceType[resource.upper()], name, ResourcePatternType[pattern.upper()],
                               principal, "*", AclOperation[op.upper()], AclPermissionType.ALLOW)
                    for op in operations]
        for future in admin.create_acls(bindings, request_timeout=30).values():
            future.result()

    def node_bootstrap(self, i: int) -> str:
        return f"127.0.0.1:{self.nodes[i].broker_port}"

    def start(self) -> "KafkaCluster":
        if self.nodes:
            raise KafkaToolingError("cluster already started")
        self.libs = resolve_jars(self.version)
        if self._workdir_arg:
            self._workdir_arg.mkdir(parents=True, exist_ok=True)
            self.workdir = Path(tempfile.mkdtemp(prefix="kafka-", dir=self._workdir_arg))
        else:
            self.workdir = Path(tempfile.mkdtemp(prefix="quarnel-kafka-"))
        with _LIVE_LOCK:
            _LIVE.add(self)
        certificates = None
        try:
            # The certificates take a JVM of their own; it runs while the nodes' storage is formatted.
            certificates = self._start_certificates() if self.tls else None
            for attempt in range(3):
                self._layout()
                self._format()
                if certificates:
                    self._finish_certificates(certificates)
                    certificates = None
                for n in self.nodes:
                    self._spawn(n)
                try:
                    self._wait_ready(self.nodes)
                    return self
                except KafkaToolingError as e:
                    # A random port can be taken between the probe and the broker's bind; pick new ones.
                    if attempt < 2 and any(_bind_failed(n) for n in self.nodes):
                        log.warning("port clash, retrying: %s", e)
                        self._kill_all()
                        for n in self.nodes:
                            shutil.rmtree(n.dir, ignore_errors=True)
                        continue
                    raise
        except BaseException:
            if certificates:
                certificates.kill()
                certificates.wait()
            self.stop()
            raise
        raise AssertionError("unreachable")

    def stop(self, keep: bool | None = None) -> None:
        """SIGTERM every node, SIGKILL what is left after STOP_TIMEOUT, then delete the cluster folder."""
        for n in self.nodes:
            n.signal(signal.SIGCONT)  # a paused node would not handle SIGTERM
            n.signal(signal.SIGTERM)
        deadline = time.monotonic() + STOP_TIMEOUT
        for n in self.nodes:
            if not n.wait_exit(max(0.0, deadline - time.monotonic())):
                log.warning("node %d ignored SIGTERM for %.0fs, killing it", n.node_id, STOP_TIMEOUT)
                n.signal(signal.SIGKILL)
                n.wait_exit(5)
        if keep is None:
            keep = os.environ.get("QUARNEL_KAFKA_KEEP") == "1"
        if self.workdir and not keep:
            shutil.rmtree(self.workdir, ignore_errors=True)
        with _LIVE_LOCK:
            _LIVE.discard(self)

    def kill_node(self, i: int) -> None:
        """SIGKILL one node, as a crash would; its data stays for start_node."""
        n = self.nodes[i]
        n.signal(signal.SIGKILL)
        # On a loaded machine a killed JVM can take over 10 s to be reaped; one reported as surviving
        # would die later and stay down, as nothing restarts it.
        if not n.wait_exit(60):
            raise KafkaToolingError(f"node {n.node_id} survived SIGKILL")

    def pause_node(self, i: int) -> None:
        """SIGSTOP one node, as a frozen host would be: its connections stay open and nothing answers."""
        self.nodes[i].signal(signal.SIGSTOP)

    def resume_node(self, i: int) -> None:
        self.nodes[i].signal(signal.SIGCONT)

    def stop_node(self, i: int) -> None:
        n = self.nodes[i]
        n.signal(signal.SIGCONT)  # a paused node would not handle SIGTERM
        n.signal(signal.SIGTERM)
        if not n.wait_exit(STOP_TIMEOUT):
            n.signal(signal.SIGKILL)
            n.wait_exit(5)

    def start_node(self, i: int) -> None:
        """Restart a stopped or killed node on its old ports and data; return once the live nodes see it."""
        self.start_nodes([i])

    def start_nodes(self, indexes: list[int] | None = None) -> None:
        """Restart several stopped nodes at once (default: every stopped one); return once all live nodes see them.

        A fully stopped cluster must come back this way: a lone KRaft voter cannot elect a controller,
        so nodes restarted one by one would each wait for the others.
        """
        if indexes is None:
            indexes = [n.index for n in self.nodes if not n.alive()]
        for i in indexes:
            if self.nodes[i].alive():
                raise KafkaToolingError(f"node {self.nodes[i].node_id} is running")
        for i in indexes:
            self._spawn(self.nodes[i])
        self._wait_ready([n for n in self.nodes if n.alive()])

    def alive_nodes(self) -> list[int]:
        return [n.index for n in self.nodes if n.alive()]

    def __enter__(self) -> "KafkaCluster":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # -- state file (CLI) ----------------------------------------------------------------------------------

    def detach(self) -> None:
        """Let the brokers outlive this process (CLI start); only valid with die_with_parent=False."""
        with _LIVE_LOCK:
            _LIVE.discard(self)

    def to_state(self) -> dict:
        d = {"version": self.version, "workdir": str(self.workdir), "cluster_id": self.cluster_id,
             "heap": self.heap, "libs": str(self.libs), "sasl": self.sasl, "kafka_defaults": self.kafka_defaults,
             "tls": self.tls, "authorizer": self.authorizer, "bootstrap": self.bootstrap,
             "nodes": [n.to_state() for n in self.nodes]}
        if self.sasl:
            d["sasl_bootstrap"] = self.sasl_bootstrap
            d["sasl_credentials"] = list(self.sasl_credentials)
            d["ordinary_credentials"] = list(self.ordinary_credentials)
        if self.tls:
            d["tls_bootstrap"] = self.tls_bootstrap
            d["ca_location"] = self.ca_location
        return d

    @classmethod
    def from_state(cls, state: dict) -> "KafkaCluster":
        c = cls(len(state["nodes"]), state["sasl"], heap=state["heap"], die_with_parent=False,
                kafka_defaults=state.get("kafka_defaults", False), tls=state.get("tls", False),
                authorizer=state.get("authorizer", False))
        c.version, c.libs, c.cluster_id = state["version"], Path(state["libs"]), state["cluster_id"]
        c.workdir = Path(state["workdir"])
        for s in state["nodes"]:
            n = Node(s["index"], Path(s["dir"]), s["broker_port"], s["controller_port"], s["sasl_port"],
                     s.get("tls_port"))
            n.pid = s["pid"]
            c.nodes.append(n)
        return c

    # -- internals -----------------------------------------------------------------------------------------

    def _layout(self) -> None:
        taken: set[int] = set()
        self.nodes = []
        for i in range(self.size):
            self.nodes.append(Node(i, self.workdir / f"node{i + 1}", _free_port(taken), _free_port(taken),
                                   _free_port(taken) if self.sasl else None,
                                   _free_port(taken) if self.tls else None))
        self.cluster_id = _new_cluster_id()
        voters = ",".join(f"{n.node_id}@127.0.0.1:{n.controller_port}" for n in self.nodes)
        for n in self.nodes:
            (n.dir / "data").mkdir(parents=True)
            (n.dir / "logs").mkdir()
            props = self._properties(n, voters)
            n.config.write_text("".join(f"{k}={v}\n" for k, v in props.items()))

    def _properties(self, n: Node, voters: str) -> dict[str, str]:
        multi = self.size >= 3
        internal_rf = "3" if multi else "1"
        internal_isr = "2" if multi else "1"
        listeners = [f"PLAINTEXT://127.0.0.1:{n.broker_port}", f"CONTROLLER://127.0.0.1:{n.controller_port}"]
        advertised = [f"PLAINTEXT://127.0.0.1:{n.broker_port}"]
        protocols = "PLAINTEXT:PLAINTEXT,CONTROLLER:PLAINTEXT"
        p = {
            "process.roles": "broker,controller",
            "node.id": str(n.node_id),
            "controller.quorum.voters": voters,
            "controller.listener.names": "CONTROLLER",
            "inter.broker.listener.name": "PLAINTEXT",
            "log.dirs": str(n.dir / "data"),
            # Kafka's default of 3 replicas cannot be placed on fewer brokers.
            "offsets.topic.replication.factor": internal_rf,
            "transaction.state.log.replication.factor": internal_rf,
            "transaction.state.log.min.isr": internal_isr,
            "share.coordinator.state.topic.replication.factor": internal_rf,
            "share.coordinator.state.topic.min.isr": internal_isr,
        }
        if not self.kafka_defaults:
            p.update({
                "auto.create.topics.enable": "false",
                "num.partitions": "1",
                "num.network.threads": "2",
                "num.io.threads": "2",
                "background.threads": "4",
                "group.initial.rebalance.delay.ms": "0",
                "offsets.topic.num.partitions": "1",
                "transaction.state.log.num.partitions": "1",
                "share.coordinator.state.topic.num.partitions": "1",
                # Compaction has to happen within a test's lifetime, and the default 128 MiB dedupe buffer per
                # cleaner thread would eat a third of the heap.
                "log.cleaner.threads": "1",
                "log.cleaner.backoff.ms": "200",
                "log.cleaner.dedupe.buffer.size": "16777216",
                "log.cleaner.min.cleanable.ratio": "0.01",
                # A SIGKILLed node is fenced (and its partitions move) after the session timeout: 9 s by default.
                "broker.heartbeat.interval.ms": "1000",
                "broker.session.timeout.ms": "6000",
            })
        if self.sasl:
            listeners.append(f"SASL_PLAINTEXT://127.0.0.1:{n.sasl_port}")
            advertised.append(f"SASL_PLAINTEXT://127.0.0.1:{n.sasl_port}")
            protocols += ",SASL_PLAINTEXT:SASL_PLAINTEXT"
            p["sasl.enabled.mechanisms"] = "PLAIN"
            p["listener.name.sasl_plaintext.plain.sasl.jaas.config"] = (
                "org.apache.kafka.common.security.plain.PlainLoginModule required "
                f'username="admin" password="{_SASL_ADMIN_PASSWORD}" '
                f'user_admin="{_SASL_ADMIN_PASSWORD}" user_{SASL_USER}="{SASL_PASSWORD}" '
                f'user_{ORDINARY_USER}="{ORDINARY_PASSWORD}" user_{READER_USER}="{READER_PASSWORD}";')
        if self.tls:
            listeners.append(f"SSL://127.0.0.1:{n.tls_port}")
            advertised.append(f"SSL://127.0.0.1:{n.tls_port}")
            protocols += ",SSL:SSL"
            p.update({
                "ssl.keystore.type": "PKCS12",
                "ssl.keystore.location": str(self.workdir / "tls" / "broker.p12"),
                "ssl.keystore.password": _KEYSTORE_PASSWORD,
                "ssl.key.password": _KEYSTORE_PASSWORD,
                "ssl.client.auth": "none",
            })
        if self.authorizer:
            p["authorizer.class.name"] = STANDARD_AUTHORIZER
            p["super.users"] = f"User:ANONYMOUS;User:admin;User:{SASL_USER}"
        p["listeners"] = ",".join(listeners)
        p["advertised.listeners"] = ",".join(advertised)
        p["listener.security.protocol.map"] = protocols
        return p

    def _jvm(self, n: Node, heap_max: str, heap_min: str) -> list[str]:
        return [java_executable(), f"-Xms{heap_min}", f"-Xmx{heap_max}",
                # Three brokers share two cores: one GC thread each, no parallel GC workers.
                "-XX:+UseSerialGC", "-XX:+ExitOnOutOfMemoryError", "-XX:-UsePerfData",
                "-Djava.awt.headless=true",
                f"-Dkafka.logs.dir={n.dir / 'logs'}", f"-Dlog4j2.configurationFile={LOG4J2}",
                "-cp", f"{self.libs}/*"]

    def _start_certificates(self) -> subprocess.Popen:
        """A CA and one broker certificate for 127.0.0.1 that it signed, shared by every node."""
        folder = self.workdir / "tls"
        folder.mkdir()
        store = ["-storetype", "PKCS12", "-storepass", _KEYSTORE_PASSWORD]
        key = ["-keyalg", "EC", "-groupname", "secp256r1", "-validity", "3650"]
        ca, broker = ["-keystore", "ca.p12", *store], ["-keystore", "broker.p12", *store]
        commands = [
            ["-genkeypair", *ca, "-alias", "ca", "-dname", "CN=quarnel test CA", *key, "-ext", "bc:c"],
            ["-exportcert", *ca, "-alias", "ca", "-rfc", "-file", "ca.pem"],
            ["-genkeypair", *broker, "-alias", "broker", "-dname", "CN=127.0.0.1", *key],
            ["-certreq", *broker, "-alias", "broker", "-file", "broker.csr"],
            ["-gencert", *ca, "-alias", "ca", "-infile", "broker.csr", "-outfile", "broker.pem", "-rfc",
             "-validity", "3650", "-ext", "SAN=ip:127.0.0.1,dns:localhost"],
            ["-importcert", *broker, "-noprompt", "-alias", "ca", "-file", "ca.pem"],
            ["-importcert", *broker, "-noprompt", "-alias", "broker", "-file", "broker.pem"],
        ]
        args = [a for c in commands for a in ["--next", *c]][1:]
        cmd = [java_executable(), "-XX:TieredStopAtLevel=1", "-XX:+UseSerialGC", "-XX:-UsePerfData",
               "--add-exports", "java.base/sun.security.tools.keytool=ALL-UNNAMED", str(KEYTOOL), *args]
        with open(folder / "keytool.log", "w") as out:
            return subprocess.Popen(cmd, cwd=folder, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)

    def _finish_certificates(self, proc: subprocess.Popen) -> None:
        folder = self.workdir / "tls"
        rc = proc.wait(timeout=120)
        if rc != 0 or not (folder / "ca.pem").is_file():
            raise KafkaToolingError(f"certificate generation failed (rc={rc})\n{_tail(folder / 'keytool.log')}")

    def _format(self) -> None:
        procs = []
        for n in self.nodes:
            cmd = self._jvm(n, "128m", "32m") + ["-XX:TieredStopAtLevel=1", "kafka.tools.StorageTool", "format",
                                                 "-t", self.cluster_id, "-c", str(n.config)]
            out = open(n.dir / "format.log", "w")
            procs.append((n, subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out,
                                              stderr=subprocess.STDOUT), out))
        failed = []
        for n, p, out in procs:
            rc = p.wait(timeout=120)
            out.close()
            if rc != 0:
                failed.append(f"node {n.node_id}: rc={rc}\n{_tail(n.dir / 'format.log')}")
        if failed:
            raise KafkaToolingError("kafka storage format failed\n" + "\n".join(failed))

    def _spawn(self, n: Node) -> None:
        cmd = self._jvm(n, self.heap, "128m") + ["kafka.Kafka", str(n.config)]
        with open(n.dir / "stdout.log", "ab") as out:
            n.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                      cwd=n.dir, start_new_session=True,
                                      preexec_fn=_pdeathsig if self.die_with_parent else None)
        n.pid = n.proc.pid

    def _wait_ready(self, nodes: list[Node]) -> None:
        want = {n.node_id for n in nodes}
        deadline = time.monotonic() + self.start_timeout
        pending = list(nodes)
        last = ""
        while pending:
            for n in list(pending):
                if not n.alive():
                    raise KafkaToolingError(f"node {n.node_id} exited during startup\n{n.describe_failure()}")
                try:
                    seen = broker_ids(n.broker_port)
                except (OSError, struct.error) as e:
                    last = f"node {n.node_id}: {e!r}"
                    continue
                if want <= seen:
                    for port in (n.sasl_port, n.tls_port):
                        if port:
                            socket.create_connection(("127.0.0.1", port), timeout=2).close()
                    pending.remove(n)
                else:
                    last = f"node {n.node_id} sees brokers {sorted(seen)}, want {sorted(want)}"
            if pending:
                if time.monotonic() > deadline:
                    raise KafkaToolingError(f"cluster not ready after {self.start_timeout:.0f}s ({last})\n"
                                            + "\n".join(n.describe_failure() for n in pending))
                time.sleep(0.1)

    def _kill_all(self) -> None:
        for n in self.nodes:
            n.signal(signal.SIGKILL)
        for n in self.nodes:
            n.wait_exit(5)


# ---------------------------------------------------------------------------------------------------------
# CLI


def _cli(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="cluster.py", description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    st = sub.add_parser("start", help="start detached brokers; prints the bootstrap string")
    st.add_argument("--nodes", type=int, choices=(1, 3), default=1)
    st.add_argument("--sasl", action="store_true", help="add a SASL_PLAINTEXT (PLAIN) listener")
    st.add_argument("--tls", action="store_true",
                    help="add an SSL listener; its CA's PEM file is ca_location in the state file")
    st.add_argument("--authorizer", action="store_true",
                    help=f"turn on ACLs (needs --sasl); user {ORDINARY_USER} may do only what is granted")
    st.add_argument("--kafka-defaults", action="store_true",
                    help="keep Kafka's default group, cleaner and thread settings (1 GiB heap)")
    st.add_argument("--state", required=True, help="JSON file recording pids, ports and the folder")
    st.add_argument("--workdir", help="parent folder for the cluster folder (default: system temp)")
    sp = sub.add_parser("stop", help="stop the brokers of a state file and delete their folder")
    sp.add_argument("--state", required=True)
    sp.add_argument("--keep", action="store_true", help="keep the cluster folder (logs, data)")
    sub.add_parser("fetch", help="only download the jars; prints their folder")
    args = ap.parse_args(argv)
    logging.basicConfig(level=logging.INFO, stream=sys.stderr, format="cluster.py: %(message)s")

    if args.cmd == "fetch":
        print(resolve_jars())
        return 0
    if args.cmd == "start":
        state = Path(args.state)
        if state.exists():
            log.error("%s exists: stop that cluster first", state)
            return 1
        t0 = time.monotonic()
        if args.authorizer and not args.sasl:
            log.error("--authorizer needs --sasl")
            return 2
        c = KafkaCluster(args.nodes, args.sasl, args.workdir, die_with_parent=False,
                         kafka_defaults=args.kafka_defaults, tls=args.tls, authorizer=args.authorizer)
        c.start()
        c.detach()
        state.write_text(json.dumps(c.to_state(), indent=2) + "\n")
        log.info("%d node(s) up in %.1fs, folder %s", args.nodes, time.monotonic() - t0, c.workdir)
        if args.sasl:
            log.info("sasl bootstrap %s user %s password %s", c.sasl_bootstrap, *c.sasl_credentials)
        if args.tls:
            log.info("tls bootstrap %s ca %s", c.tls_bootstrap, c.ca_location)
        print(c.bootstrap, flush=True)
        return 0
    if args.cmd == "stop":
        state = Path(args.state)
        if not state.exists():
            log.info("%s not found: nothing to stop", state)
            return 0
        t0 = time.monotonic()
        KafkaCluster.from_state(json.loads(state.read_text())).stop(keep=args.keep or None)
        state.unlink()
        log.info("stopped in %.1fs", time.monotonic() - t0)
        return 0
    return 2


if __name__ == "__main__":
    try:
        sys.exit(_cli())
    except KafkaToolingError as e:
        print(f"cluster.py: {e}", file=sys.stderr)
        sys.exit(1)
