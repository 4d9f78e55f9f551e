"""The fault-injection check (tools/chaos), short: every fault kind the store is expected to survive today."""
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools" / "chaos"))

import coordinator  # noqa: E402
import faults  # noqa: E402


@pytest.mark.cluster3
@pytest.mark.slow
def test_a_short_randomized_run_under_every_fault_kind_keeps_every_copy_equal_to_its_log(kafka_cluster3, tmp_path):
    if getattr(kafka_cluster3, "external", False):
        pytest.skip("the run kills and freezes brokers")
    # avoid_known leaves out what the store is known to fail today (faults.KNOWN_FAULTS); once fixed, drop it.
    options = coordinator.Options(seconds=100, seed=27, workers=4, workdir=tmp_path, avoid_known=True)
    result = coordinator.run(kafka_cluster3, options)
    print(result.summary)
    assert result.passed, "\n".join(result.details[:60] + [result.summary])
    injected = set(result.counts["faults"])
    assert injected == set(faults.ALL_KINDS) - set(faults.AVOIDED_KINDS), result.summary
    assert result.counts["confirmed"] > 200 and result.counts["ryw_checked"] > 50, result.summary
