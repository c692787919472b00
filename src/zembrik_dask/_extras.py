"""The error for an optional dependency that is not installed.

zembrik_core itself needs nothing beyond the interpreter; Dask, distributed
and numpy come with the `dask` extra. A bare "No module named 'dask'" does
not say how to get it, so the modules that import one say so.
"""

from __future__ import annotations

INSTALL_HINT = "install the 'dask' extra: pip install 'zembrik_core[dask]'"


def missing_extra(error: ModuleNotFoundError, needed_by: str, package: str) -> ModuleNotFoundError:
    """The error to raise when importing `package` for `needed_by` failed.

    Only a missing `package` itself is explained (importing `numpy.typing`
    without numpy names `numpy`); a module missing from inside an installed
    package is another fault, and `error` stays as it is.
    """
    if error.name != package:
        return error
    explained = ModuleNotFoundError(f"{needed_by} needs {package}, which is not installed; "
                                    f"{INSTALL_HINT}", name=error.name)
    explained.__cause__ = error
    return explained
