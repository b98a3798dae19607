"""Shared pieces of the reliability tier: code run in subprocesses, and its checks.

Every scenario of the tier can end in a hang, a crash or an abort of the whole
interpreter, so each runs in a subprocess with a timeout and threads are joined
with timeouts too.
"""
import textwrap

PRELUDE = """\
import os, signal, sys, threading, time
from _quorix_core import Container

# How the refusal of a wait between threads that would never end begins.
DEADLOCK = "Deadlock detected"

def start(call, daemon=True):
    outcome = {}
    def run():
        try:
            outcome["ok"] = call()
        except BaseException as e:
            outcome["error"] = e
    thread = threading.Thread(target=run, daemon=daemon)
    thread.start()
    return thread, outcome

def finish(thread, outcome, timeout=30):
    thread.join(timeout)
    assert not thread.is_alive(), "the call hangs"
    return outcome

def wait_until(condition, timeout=30):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.005)
"""


def script(*parts):
    """The prelude followed by the parts, each dedented on its own."""
    return PRELUDE + "".join(textwrap.dedent(part).strip("\n") + "\n" for part in parts)


def check_ok(done):
    """The subprocess ended normally and printed OK as its last line."""
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stderr}"
    assert done.stdout.strip().splitlines()[-1:] == ["OK"], done.stdout + done.stderr
