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
