"""The host runs that the session tests share: the host's data folder, a
run with no receiver, and the long "journey" against one simulator. Each is
made once for all the session test modules, which only read what it left."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from session_peers import Host  # noqa: E402
from session_runs import Journey, Store, free_port  # noqa: E402


@pytest.fixture(scope="session")
def store(tmp_path_factory):
    s = Store(tmp_path_factory.mktemp("data"))
    yield s
    s.restore()


@pytest.fixture(scope="session")
def no_receiver(store, tmp_path_factory):
    """A host run against a port where nothing listens; it also tells whether
    this build's host gets past its graphics devices at all."""
    host = Host(tmp_path_factory.mktemp("none"), free_port(), "--source", "synthetic",
                data_home=store.home)
    code = host.wait()
    return code, host.lines()


@pytest.fixture(scope="session")
def session_runs(no_receiver):
    code, lines = no_receiver
    failed = [line.text for line in lines if line.text.startswith("GraphicsContext failed")]
    if failed:
        pytest.skip("this build's host has no graphics devices (%s); the session cannot start"
                    % failed[0])


@pytest.fixture(scope="session")
def journey(session_runs, store, tmp_path_factory):
    return Journey(tmp_path_factory.mktemp("journey"), store)
