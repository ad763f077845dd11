import numpy as np
import pytest

from weightsets import tiny


@pytest.fixture(autouse=True, scope="session")
def _cache_home(tmp_path_factory):
    # The default model is trained into a cache of the test session's own.
    mp = pytest.MonkeyPatch()
    mp.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("cache")))
    yield
    mp.undo()


@pytest.fixture
def tiny_set():
    return tiny


@pytest.fixture(scope="module")
def cluster():
    """A Dask cluster of two worker processes on this machine, shared by a module's tests that need one."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1", dashboard_address=None
    ) as c:  # fmt: skip
        yield c
