"""The type stubs, as users get them: mypy --strict over an example script in a fresh virtual
environment holding only the installed wheel (and NumPy), from outside the repository; and
stubtest, so the stubs cannot drift from the classes of the built module."""

import glob
import hashlib
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(ROOT, "python", "_ostrel-stubs", "__init__.pyi")
pytest.importorskip("mypy")


def clean_env() -> dict:
    # No search path of our own: what mypy finds must come from the environment's packages.
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}


def source_digest() -> str:
    """A digest of everything that goes into the wheel, so it is built again only after changes."""
    h = hashlib.sha256()
    patterns = ["pyproject.toml", "CMakeLists.txt", "README.md", "python/**/*", "src/**/*.h", "src/**/*.cc"]
    for path in sorted({p for pat in patterns for p in glob.glob(os.path.join(ROOT, pat), recursive=True)}):
        if os.path.isfile(path) and not path.endswith(".test.cc") and "__pycache__" not in path:
            h.update(os.path.relpath(path, ROOT).encode() + b"\0")
            with open(path, "rb") as f:
                h.update(f.read())
    return h.hexdigest()[:16]


@pytest.fixture(scope="module")
def wheel() -> str:
    """The project's wheel, built offline once per source state (kept under build/)."""
    if os.environ.get("OSTREL_SANITIZED"):
        pytest.skip("the instrumented run checks the module, not packaging")
    pytest.importorskip("scikit_build_core", reason="building the wheel offline needs scikit-build-core")
    out = os.path.join(ROOT, "build", "typing-wheel", source_digest())
    found = glob.glob(os.path.join(out, "ostrel-*.whl"))
    if found:
        return found[0]
    shutil.rmtree(os.path.dirname(out), ignore_errors=True)
    done = subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "--no-index", "-q",
         "-w", out, "-Cbuild-dir=" + os.path.join(ROOT, "build", "typing-wheel-build"), ROOT],
        capture_output=True, text=True, timeout=900, env=clean_env())
    found = glob.glob(os.path.join(out, "ostrel-*.whl"))
    if done.returncode != 0 or not found:
        pytest.skip(f"the wheel could not be built offline: {(done.stderr or done.stdout).strip()[-300:]}")
    return found[0]


def test_installed_wheel_types_the_example_under_mypy_strict(wheel, tmp_path):
    env_dir = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(env_dir)], check=True, timeout=120)
    fresh = str(env_dir / "bin" / "python")
    subprocess.run([sys.executable, "-m", "pip", "--python", fresh, "install", "-q", "--no-deps", "--no-index",
                    wheel], check=True, capture_output=True, timeout=300, env=clean_env())
    site = subprocess.run([fresh, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          check=True, capture_output=True, text=True).stdout.strip()
    assert os.path.isfile(os.path.join(site, "_ostrel-stubs", "__init__.pyi"))
    # The wheel's one dependency, NumPy, is lent from this environment (installing it would need
    # the network); only NumPy, through a folder holding nothing else.
    import numpy
    lent = tmp_path / "lent"
    lent.mkdir()
    os.symlink(os.path.dirname(numpy.__file__), lent / "numpy")
    (env_dir / "lib").joinpath(os.path.relpath(site, env_dir / "lib"), "lent-numpy.pth").write_text(f"{lent}\n")

    work = tmp_path / "work"  # outside the repository
    work.mkdir()
    shutil.copy(os.path.join(ROOT, "tests", "typing_example.py"), work)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           "--python-executable", fresh, "typing_example.py"],
                          cwd=work, env=clean_env(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    # The same script with a wrong use is refused, so the stubs really type it (not Any).
    (work / "typing_example.py").write_text((work / "typing_example.py").read_text()
                                            + "\nbroken: str = _ostrel.OstrelStream('x').timeout\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull,
                           "--python-executable", fresh, "typing_example.py"],
                          cwd=work, env=clean_env(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 1 and "float | None" in done.stdout, done.stdout + done.stderr


def test_stubs_match_the_native_module(tmp_path):
    # stubtest imports _ostrel (this build) and compares every class, method and property with the
    # stub, given here as a plain stub file on the search path.
    shutil.copy(STUB, tmp_path / "_ostrel.pyi")
    env = {**os.environ, "MYPYPATH": str(tmp_path), "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_ostrel", "--ignore-missing-stub"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
