import pytest

from elements import internal_error_type


@pytest.fixture(scope="session")
def panic_exception():
    return internal_error_type()
