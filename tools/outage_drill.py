"""The README's gunicorn recipe, as written there, through a Kafka outage under a steady PUT load.

  python tools/outage_drill.py [--outage 45] [--how killed|frozen|both]   (tools/outage_drill.sh installs first)

Starts a broker of its own and `gunicorn -w 2 app:app` on the recipe taken from README.md, PUTs a new key
every 50 ms, GETs one key and asks /ready every 0.5 s, kills (or freezes) the broker for --outage seconds,
and prints what the service did: whether the master stayed up, GETs answered, how long failed PUTs took,
when readiness turned 503 and back, how soon writes worked again, and whether every acknowledged PUT is in
Kafka. Exit status 1 when any of those falls short.
"""
import argparse
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request
import uuid
from pathlib import Path

from confluent_kafka import OFFSET_BEGINNING, Consumer, TopicPartition

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools" / "kafka"))
import cluster  # noqa: E402


def recipe() -> str:
    """The app.py of the README's gunicorn recipe, as written there."""
    text = (ROOT / "README.md").read_text()
    found = re.search(r"```python\n(# app\.py: gunicorn.*?)```", text, re.S)
    if not found:
        sys.exit("outage_drill: the gunicorn recipe (# app.py: gunicorn ...) is not in README.md")
    return found.group(1)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def request(url, method="GET", body=None, timeout=60.0):
    """(status, seconds); status 0 when no answer came."""
    started = time.monotonic()
    data = json.dumps(body).encode() if body is not None else None
    try:
        with urllib.request.urlopen(urllib.request.Request(url, data=data, method=method), timeout=timeout) as r:
            return r.status, time.monotonic() - started
    except urllib.error.HTTPError as e:
        return e.code, time.monotonic() - started
    except OSError:
        return 0, time.monotonic() - started


class Load:
    """A PUT of a new key every 50 ms, a GET of one key and a /ready every 0.5 s; every outcome timed."""

    def __init__(self, base):
        self.base, self.stop = base, threading.Event()
        self.puts, self.gets, self.ready = [], [], []  # (start, status, seconds[, key])

    def run(self):
        threads = [threading.Thread(target=self.put_loop), threading.Thread(target=self.poll_loop)]
        for t in threads:
            t.start()
        return threads

    def put_loop(self):
        for i in range(10**9):
            if self.stop.wait(0.05):
                return
            key, started = f"k{i:06}", time.monotonic()
            status, seconds = request(f"{self.base}/{key}", "PUT", {"i": i})
            self.puts.append((started, status, seconds, key, i))

    def poll_loop(self):
        while not self.stop.wait(0.5):
            started = time.monotonic()
            self.gets.append((started, *request(f"{self.base}/k000000", timeout=10)))
            self.ready.append((time.monotonic(), *request(f"{self.base}/ready", timeout=10)))


def acknowledged_lost(bootstrap, topic, puts):
    """The acknowledged PUTs whose value is not the key's last in the topic."""
    consumer = Consumer({"bootstrap.servers": bootstrap, "group.id": uuid.uuid4().hex, "enable.auto.commit": False,
                         "enable.partition.eof": True})
    consumer.assign([TopicPartition(topic, 0, OFFSET_BEGINNING)])
    last, deadline = {}, time.monotonic() + 60
    while time.monotonic() < deadline:
        msg = consumer.poll(1.0)
        if msg is None:
            continue
        if msg.error():
            break  # the partition's end
        last[msg.key().decode()] = json.loads(msg.value()) if msg.value() else None
    consumer.close()
    return [key for _, status, _, key, i in puts if status == 200 and last.get(key) != {"i": i}]


def drill(how, outage_s):
    with cluster.KafkaCluster(nodes=1) as kafka, tempfile.TemporaryDirectory() as work:
        (Path(work) / "app.py").write_text(recipe())
        port, db_topic = free_port(), "shop.users"
        server = subprocess.Popen([sys.executable, "-m", "gunicorn", "-w", "2", "-b", f"127.0.0.1:{port}", "app:app"],
                                  cwd=work, env={**os.environ, "KAFKA": kafka.bootstrap}, stdout=subprocess.DEVNULL,
                                  stderr=open(Path(work) / "gunicorn.log", "w"))
        base = f"http://127.0.0.1:{port}"
        deadline = time.monotonic() + 60
        while request(f"{base}/ready", timeout=2)[0] != 200:
            if time.monotonic() > deadline or server.poll() is not None:
                sys.exit("outage_drill: the service did not become ready:\n" + (Path(work) / "gunicorn.log").read_text())
            time.sleep(0.5)
        request(f"{base}/k000000", "PUT", {"i": 0})
        load = Load(base)
        threads = load.run()
        time.sleep(10)
        down = time.monotonic()
        kafka.pause_node(0) if how == "frozen" else kafka.kill_node(0)
        time.sleep(outage_s)
        kafka.resume_node(0) if how == "frozen" else kafka.start_node(0)
        up = time.monotonic()
        time.sleep(20)
        load.stop.set()
        for t in threads:
            t.join()
        master_up = server.poll() is None
        server.send_signal(signal.SIGTERM)
        server.wait(30)
        during = [p for p in load.puts if down <= p[0] < up]
        failed = [p for p in during if p[1] != 200]
        after = [p for p in load.puts if p[0] >= up and p[1] == 200]
        not_ready = [t for t, status, _ in load.ready if status == 503 and down <= t]
        ready_again = [t for t, status, _ in load.ready if status == 200 and t >= up]
        figures = {
            "how": how, "outage_s": outage_s, "master_up": master_up,
            "gets": len(load.gets), "gets_not_200": sum(1 for g in load.gets if g[1] != 200),
            "puts": len(load.puts), "puts_during": len(during), "puts_failed_during": len(failed),
            "slowest_failed_put_s": round(max((p[2] for p in failed), default=0), 1),
            "puts_during_s": [(round(p[0] - down, 1), p[1], round(p[2], 1)) for p in during],
            "ready_503_after_s": round(not_ready[0] - down, 1) if not_ready else None,
            "ready_200_after_return_s": round(ready_again[0] - up, 1) if ready_again else None,
            "first_put_after_return_s": round(after[0][0] + after[0][2] - up, 1) if after else None,
            "acknowledged_puts": sum(1 for p in load.puts if p[1] == 200),
            "acknowledged_lost": len(acknowledged_lost(kafka.bootstrap, db_topic, load.puts)),
        }
        print(json.dumps(figures), flush=True)
        return (master_up and figures["gets_not_200"] == 0 and figures["acknowledged_lost"] == 0
                and figures["ready_503_after_s"] is not None and figures["ready_200_after_return_s"] is not None
                and figures["first_put_after_return_s"] is not None and figures["first_put_after_return_s"] <= 5
                and figures["slowest_failed_put_s"] <= 15)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--outage", type=float, default=45.0, help="seconds the broker stays away")
    parser.add_argument("--how", choices=("killed", "frozen", "both"), default="both")
    args = parser.parse_args()
    kinds = ("killed", "frozen") if args.how == "both" else (args.how,)
    return 0 if all([drill(how, args.outage) for how in kinds]) else 1


if __name__ == "__main__":
    sys.exit(main())
