"""Free-threaded CPython: the module keeps the GIL off, a stable-ABI build is
refused cleanly, and arguments that other threads change while they are
converted cannot crash it. The checks of the GIL itself are skipped on builds
that have one; the concurrent-argument cases run everywhere."""
import os
import pathlib
import subprocess
import sys
import sysconfig
import textwrap
import zipfile

import pytest

import reliability_support

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
needs_free_threading = pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded CPython")


def run_without_gil_setting(*arguments):
    """Runs Python in a subprocess that decides about the GIL itself (no PYTHON_GIL)."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    return subprocess.run([sys.executable, "-W", "error::RuntimeWarning", *arguments],
                          capture_output=True, text=True, env=env, timeout=120)


@needs_free_threading
def test_the_gil_stays_disabled_after_import():
    # An extension that does not declare itself safe turns the GIL on, with a
    # RuntimeWarning (an error here).
    done = run_without_gil_setting("-c", textwrap.dedent("""
        import sys
        assert not sys._is_gil_enabled()
        import _quorix_core
        c = _quorix_core.Container()
        c.register_provider("a", lambda: 1, True, False, [])
        assert c.resolve_many_plan(["a"]) == [1]
        del sys.modules["_quorix_core"]
        import _quorix_core as again
        assert again is _quorix_core
        assert not sys._is_gil_enabled(), "importing the module enabled the GIL"
        print("OK")
    """))
    reliability_support.check_ok(done)


def _stable_abi_wheel(level):
    folder = os.environ.get("QUORIX_ABI3_WHEELS")
    if not folder:
        pytest.skip("QUORIX_ABI3_WHEELS names no folder of stable-ABI wheels")
    found = sorted(pathlib.Path(folder).glob(f"*-{level}-abi3-*.whl"))
    if not found:
        pytest.skip(f"no {level}-abi3 wheel in {folder}")
    return found[0]


@needs_free_threading
@pytest.mark.parametrize("level", ["cp39", "cp310", "cp312"])
def test_a_stable_abi_build_is_refused_with_an_import_error(tmp_path, level):
    # The interpreter still lists `.abi3.so` among its suffixes, so it loads
    # the file; the module must refuse before it reads any object.
    with zipfile.ZipFile(_stable_abi_wheel(level)) as wheel:
        (member,) = [n for n in wheel.namelist() if n.endswith(".so")]
        (tmp_path / pathlib.PurePosixPath(member).name).write_bytes(wheel.read(member))
    (tmp_path / "load.py").write_text(textwrap.dedent("""
        import sys
        try:
            import _quorix_core
        except ImportError as e:
            print(type(e).__name__ + ": " + str(e))
        assert not sys._is_gil_enabled(), "the refused import enabled the GIL"
        assert "_quorix_core" not in sys.modules
        print("OK")
    """))
    done = run_without_gil_setting(str(tmp_path / "load.py"))
    reliability_support.check_ok(done)
    message = done.stdout.splitlines()[0]
    assert message.startswith("ImportError: ") and "free-threaded" in message, message
    assert "GIL" in message and "--no-binary quorix-core" in message, message


# Another thread changes the caller's list of keys while a batch converts it:
# growing and shrinking it past the length first read, and replacing its items
# with new `str` objects whose last reference the list holds.
MUTATED_LIST = """
c = Container()
names = ["k%d" % i for i in range(64)]
for name in names:
    c.register_provider(name, (lambda n: lambda: n)(name), False, False, [])
keys = list(names)
stop = threading.Event()

def mutate():
    i = 0
    while not stop.is_set():
        i += 1
        keys.append("".join(["k", str(i % 64)]))
        del keys[-1]
        keys[i % 32] = "".join(["k", str(i % 64)])
        if i % 64 == 0:
            del keys[32:]
            keys.extend("".join(["k", str(j)]) for j in range(32, 64))

mutator = threading.Thread(target=mutate, daemon=True)
mutator.start()
deadline = time.monotonic() + 1.5
runs = 0
while time.monotonic() < deadline:
    values = c.METHOD(keys)
    assert 0 < len(values) <= 65 and set(values) <= set(names), values
    runs += 1
stop.set()
mutator.join(30)
assert runs > 0
print("OK")
"""


@pytest.mark.parametrize("method", ["resolve_many", "resolve_many_plan"])
def test_a_list_changed_by_another_thread_while_converted(run_python, method):
    done = run_python(reliability_support.script(MUTATED_LIST.replace("METHOD", method)), timeout=120)
    reliability_support.check_ok(done)

