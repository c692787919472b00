"""Run zembrik_core pipelines on Dask.

`to_dask(store, ops, outputs)` lowers a recorded or reduced `GraphStore` into
a plain Dask task graph: one task per node the outputs need, one task per
Stage. `ops` says what every kind of node computes (see
`zembrik_dask.protocol`); `zembrik_dask.numpy_ops` is a reference `ops` over
numpy arrays. Importing this package imports neither Dask nor numpy; only
`execute` without an explicit `get` imports Dask.
"""

from zembrik_core import version as _core_version

from .lowering import StoreView, Task, TaskGraph, execute, outputs_in, to_dask
from .protocol import LoweringError, OpsTable

__all__ = ["LoweringError", "OpsTable", "StoreView", "Task", "TaskGraph", "execute",
           "outputs_in", "to_dask"]

# One wheel ships both packages, so they share one version.
__version__: str = _core_version()
