"""Shared fixtures: fresh containers, and the fault-injection build run in subprocesses.

The tests sit in folders by what they cover (see the development notes); the
helpers they share (reliability_support, all_methods) sit here, beside this
file, whose folder pytest puts on sys.path for every test below it."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import _quorix_core

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture
def container():
    return _quorix_core.Container()


def _fault_build_dir():
    given = os.environ.get("QUORIX_FAULT_BUILD")
    if given:
        return pathlib.Path(given)
    built = ROOT / "build" / "fault"
    if not any(built.glob("_quorix_core*.so")):
        subprocess.run(
            [str(ROOT / "tools" / "build-fault-module"), str(built)],
            check=True,
            env={**os.environ, "PYTHON": sys.executable},
        )
    return built


@pytest.fixture(scope="session")
def fault_build():
    """Directory holding the test-only module with its fault points."""
    if sys.platform == "win32" and not os.environ.get("QUORIX_FAULT_BUILD"):
        # tools/build-fault-module is a shell script: the Windows release run
        # tests everything else (its command also leaves out tests/faults).
        pytest.skip("the fault-injection module is built by a shell script, not on Windows")
    path = _fault_build_dir()
    assert any(path.glob("_quorix_core*.so")), f"no fault-injection module in {path}"
    return path


@pytest.fixture
def run_faulty(fault_build):
    """Runs Python code in a subprocess against the fault-injection build.

    `faults` arms fault points from the start; code can also arm them later by
    setting os.environ["QUORIX_FAULTS"].
    """

    def run(code, faults="", timeout=120):
        env = {k: v for k, v in os.environ.items() if k != "QUORIX_FAULTS"}
        env["PYTHONPATH"] = str(fault_build)
        if faults:
            env["QUORIX_FAULTS"] = faults
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            env=env,
            timeout=timeout,
        )

    return run


@pytest.fixture
def run_python():
    """Runs Python code in a subprocess against the installed module."""

    def run(code, timeout=300):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run
