import pytest

import harness


@pytest.fixture(scope="module")
def server():
    """The server of the kind under test, shared by a file's tests; tests that rearrange or kill a server start
    their own."""
    with harness.SoundServer() as started:
        yield started


@pytest.fixture(autouse=True)
def _cleanup():
    yield
    harness.cleanup()
