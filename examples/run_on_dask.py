#!/usr/bin/env python3
"""Record a small pipeline, reduce it and run it on a local Dask cluster of
two worker processes, listening on the loopback interface only.

Needs Dask, distributed and numpy: `pip install '.[dask]'`.
"""

from typing import Any

import numpy as np

import zembrik_core as zc
from zembrik_dask import numpy_ops, outputs_in, to_dask


def record() -> tuple[zc.GraphStore, list[int]]:
    store = zc.GraphStore()
    prices = store.add_source("prices", {"seed": 7, "size": 1000})
    volumes = store.add_source("volumes", {"seed": 8, "size": 1000})
    scaled = store.add_op("map", [prices], {"scale": 0.01, "offset": 1.0})
    shifted = store.add_op("add", [scaled], {"scalar": 0.0, "side": "r"})  # an identity
    growth = store.add_op("exp", [shifted])
    weight = store.add_op("abs", [volumes])
    left = store.add_op("mul", [growth, weight])
    right = store.add_op("mul", [weight, growth])  # the same product, operands swapped
    spread = store.add_op("maximum", [left, right])
    total = store.add_reduction("sum", [spread], {"axis": 0})
    balanced = store.add_exchange([store.add_op("neg", [spread])], {"scheme": "hash"})
    store.add_op("log", [growth])  # a debugging branch no output needs
    return store, [total, balanced]


def main() -> None:
    import distributed

    # distributed ships these without annotations.
    local_cluster: Any = distributed.LocalCluster
    client_of: Any = distributed.Client

    store, outputs = record()
    reduced, report = store.reduce(maximal_fusion=True, outputs=outputs)
    ops = numpy_ops  # sources draw seeded random arrays from their parameters
    recorded_graph, recorded_keys = to_dask(store, ops, outputs)
    reduced_graph, reduced_keys = to_dask(reduced, ops, outputs_in(reduced, outputs))

    with local_cluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                       dashboard_address=None, worker_dashboard_address=None) as cluster, \
            client_of(cluster) as client:
        recorded: list[Any] = client.get(recorded_graph, recorded_keys)
        values: list[Any] = client.get(reduced_graph, reduced_keys)

    total, balanced = values
    print(f"recorded nodes: {store.node_count()}, report: "
          + ", ".join(f"{key}={count}" for key, count in sorted(report.items())))
    print(f"tasks recorded: {len(recorded_graph)}")
    print(f"tasks reduced: {len(reduced_graph)}")
    print(f"total: {float(total[0]):.6f}")
    print(f"balanced[:3]: {np.round(balanced[:3], 6).tolist()}")
    # Removing add(x, 0.0) may only flip the sign of a zero, which == ignores.
    agree = all(np.array_equal(a, b, equal_nan=True) for a, b in zip(recorded, values))
    print(f"outputs agree: {agree}")


if __name__ == "__main__":
    main()
