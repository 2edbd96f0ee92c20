import pytest

import harness


@pytest.fixture(scope="module")
def server():
    """The server of the kind under test, for a file's tests that leave its sinks as they are."""
    with harness.SoundServer() as started:
        yield started


@pytest.fixture(autouse=True)
def _cleanup():
    yield
    harness.cleanup()
