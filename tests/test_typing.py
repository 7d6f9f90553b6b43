import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
pytest.importorskip("mypy")


def run_mypy_tool(*args):
    env = {**os.environ, "MYPYPATH": os.path.join(ROOT, "python"),
           "PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, env=env, capture_output=True,
                          text=True, timeout=300)


def test_example_script_passes_mypy_strict():
    done = run_mypy_tool("mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                         os.path.join("tests", "typing_example.py"))
    assert done.returncode == 0, done.stdout + done.stderr


def test_stubs_match_the_native_module():
    # stubtest imports _ostrel and compares every class, method and property with the stub.
    done = run_mypy_tool("mypy.stubtest", "_ostrel", "--ignore-missing-stub")
    assert done.returncode == 0, done.stdout + done.stderr
