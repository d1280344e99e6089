"""A Ray cluster of several nodes on this machine, bound to 127.0.0.1, for tests and benchmarks.

Every Ray process listens and connects on loopback only:

- ``RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER=0`` makes each Ray process take 127.0.0.1 as its address
  instead of probing the network for one;
- each node is started with ``node_ip_address="127.0.0.1"``, without dashboard or usage stats;
- Ray's dashboard process asks cloud metadata addresses (169.254.169.254,
  metadata.google.internal) which cloud it runs on, even with usage stats off. An HTTP proxy on
  a closed loopback port, with loopback exempt, makes those requests fail on this machine
  instead of leaving it; Ray's own gRPC traffic goes to 127.0.0.1 and is exempt.

The variables are set before Ray starts any process, which inherit them.
"""

from __future__ import annotations

import contextlib
import logging
import os

_CLOSED_PORT = "http://127.0.0.1:9"
LOOPBACK_ENV = {
    "RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER": "0",
    "RAY_USAGE_STATS_ENABLED": "0",
    "http_proxy": _CLOSED_PORT, "https_proxy": _CLOSED_PORT,
    "HTTP_PROXY": _CLOSED_PORT, "HTTPS_PROXY": _CLOSED_PORT,
    "no_proxy": "127.0.0.1,localhost", "NO_PROXY": "127.0.0.1,localhost",
}  # fmt: skip


def set_loopback_env() -> None:
    """Set :data:`LOOPBACK_ENV` in this process (call before importing ray)."""
    os.environ.update(LOOPBACK_ENV)


@contextlib.contextmanager
def loopback_cluster(nodes: int = 2, cpus_per_node: int = 4, object_store_mb: int = 100):
    """A ``ray.cluster_utils.Cluster`` of ``nodes`` nodes on 127.0.0.1, with this process
    connected as its driver; shut down on exit.

    ``cpus_per_node`` is the number of logical CPUs each node offers: each shard actor reserves
    one, whatever the cores.
    """
    set_loopback_env()
    import ray
    from ray.cluster_utils import Cluster

    node = {"num_cpus": cpus_per_node, "node_ip_address": "127.0.0.1",
            "object_store_memory": object_store_mb * 2**20}  # fmt: skip
    cluster = Cluster(initialize_head=True, head_node_args=dict(node, include_dashboard=False))
    try:
        for _ in range(nodes - 1):
            cluster.add_node(**node)
        ray.init(address=cluster.address, logging_level=logging.WARNING)
        cluster.wait_for_nodes()
        yield cluster
    finally:
        ray.shutdown()
        cluster.shutdown()
