import itertools
import os

import pytest

from ostrel import qssf

_counter = itertools.count()


@pytest.fixture
def write_stream(tmp_path):
    """Writes the given bytes to a fresh file and returns its path as a str."""

    def write(data: bytes) -> str:
        path = tmp_path / f"stream{next(_counter)}.qssf"
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def frames_file(write_stream):
    """A stream header followed by frames built with qssf.frame(**kwargs) for each kwargs dict."""

    def make(*frames: dict, header: bytes | None = None) -> str:
        data = qssf.stream_header() if header is None else header
        return write_stream(data + b"".join(qssf.frame(**f) for f in frames))

    return make


def pytest_collection_modifyitems(config, items):
    # Under AddressSanitizer an allocation larger than memory aborts the process instead of
    # failing, so the tests that ask for one run only in ordinary builds.
    if os.environ.get("OSTREL_SANITIZED") != "1":
        return
    skip = pytest.mark.skip(reason="the sanitizer's allocator aborts instead of failing")
    for item in items:
        if "huge_allocation" in item.keywords:
            item.add_marker(skip)
