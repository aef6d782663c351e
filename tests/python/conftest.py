# Where the tests find the program and the examples (set by ctest; the
# defaults fit a build in build/ of the source tree).
import os
import pathlib

import pytest

SOURCE = pathlib.Path(os.environ.get("RUVO_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
BINARY = pathlib.Path(os.environ.get("RUVO_BINARY", SOURCE / "build" / "ruvo"))


@pytest.fixture
def source():
    return SOURCE


@pytest.fixture
def binary():
    return BINARY


@pytest.fixture(autouse=True)
def in_tmp(tmp_path, monkeypatch):
    # eval.out, scratch files and output files land in a directory of the test
    monkeypatch.chdir(tmp_path)
