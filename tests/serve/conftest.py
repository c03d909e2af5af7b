import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from serve_fixture import PROGRAM, Server  # noqa: E402


@pytest.fixture
def serve(tmp_path):
    """A function that starts a server on the given simulated units."""
    if not os.path.exists(PROGRAM):
        pytest.fail(f"no trelvo program at {PROGRAM} (set TRELVO_CLI)")
    started = []

    def start(simulate="1", **kwargs):
        server = Server(tmp_path, simulate, **kwargs)
        started.append(server)
        return server

    yield start
    for server in started:
        assert server.stop() == 0
