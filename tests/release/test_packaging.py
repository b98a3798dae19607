"""The installed distribution: what pip put into site-packages for this
interpreter. Skipped when the module is loaded from a build tree."""
import ast
import importlib.metadata as metadata
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import _quorix_core

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
# A free-threaded CPython has no stable ABI for the module: it gets a build of
# its own, under its own extension suffix and wheel tag.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture(scope="module")
def dist():
    try:
        found = metadata.distribution("quorix-core")
    except metadata.PackageNotFoundError:
        pytest.skip("quorix-core is not installed; the module comes from a build tree")
    module = pathlib.Path(_quorix_core.__file__).resolve()
    if pathlib.Path(found.locate_file(module.name)).resolve() != module:
        pytest.skip("the imported module is not the installed distribution's")
    return found


def installed_names(dist):
    return {str(f).replace("\\", "/") for f in dist.files}


@pytest.mark.parametrize("member", [
    "_quorix_core-stubs/__init__.pyi",
    "MODULE",
    "quorix_core-0.1.0.dist-info/licenses/LICENSE",
])
def test_distribution_ships(dist, member):
    if member == "MODULE":
        member = pathlib.Path(_quorix_core.__file__).name
    assert member in installed_names(dist)


def test_module_file_has_the_portable_stable_abi_name(dist):
    # Whichever interpreter built the wheel: a platform-qualified suffix that
    # a newer CPython prefers would not import on older ones of the same level.
    if FREE_THREADED:
        expected = "_quorix_core" + sysconfig.get_config_var("EXT_SUFFIX")
    else:
        expected = "_quorix_core.pyd" if sys.platform == "win32" else "_quorix_core.abi3.so"
    assert [n for n in installed_names(dist) if n.endswith((".so", ".pyd"))] == [expected]


def test_no_stub_beside_the_module(dist):
    # A second copy beside the module would be ignored by type checkers and
    # go stale.
    assert not [n for n in installed_names(dist) if n.endswith(".pyi") and "/" not in n]


def test_licence_is_declared_and_shipped(dist):
    assert dist.metadata["License-Expression"] == "MIT"
    assert dist.metadata.get_all("License-File") == ["LICENSE"]
    text = pathlib.Path(dist.locate_file("quorix_core-0.1.0.dist-info/licenses/LICENSE")).read_text()
    assert text.startswith("MIT License") and "the quorix-core authors" in text


def test_wheel_level_is_the_one_pip_should_pick(dist):
    """tools/run-tests installs with pip from all levels' wheels; the newest
    level this interpreter can load must have won (unless a run pins one)."""
    sys.path.insert(0, str(TOOLS))
    try:
        import release_matrix
    finally:
        sys.path.remove(str(TOOLS))
    tags = [v for k, v in (line.split(": ", 1) for line in dist.read_text("WHEEL").splitlines() if ": " in line)
            if k == "Tag"]
    if FREE_THREADED:
        version = "cp%d%d" % sys.version_info[:2]
        assert tags and all(tag.startswith(f"{version}-{version}t-") for tag in tags), tags
        return
    wanted = os.environ.get("QUORIX_EXPECTED_WHEEL_LEVEL") or release_matrix.level_for("%d.%d" % sys.version_info[:2])
    assert tags and all(tag.startswith(f"{wanted}-abi3-") for tag in tags), tags


def _stub_methods(dist):
    tree = ast.parse(pathlib.Path(dist.locate_file("_quorix_core-stubs/__init__.pyi")).read_text())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "Container"]
    return {f.name: [a.arg for a in f.args.args] for f in cls.body if isinstance(f, ast.FunctionDef)}


def test_stub_declares_exactly_the_runtime_methods(dist):
    runtime = {name for name in vars(_quorix_core.Container) if not name.startswith("_")}
    assert set(_stub_methods(dist)) - {"__new__"} == runtime


@pytest.mark.parametrize("method", sorted(n for n in vars(_quorix_core.Container) if not n.startswith("_")))
def test_stub_parameters_match_runtime_signature(dist, method):
    signature = getattr(_quorix_core.Container, method).__text_signature__
    runtime = [p.strip() for p in signature.strip("()").split(",") if p.strip()]
    assert ["self" if p == "$self" else p for p in runtime] == _stub_methods(dist)[method]


@pytest.mark.parametrize("version, refused", [("3.13.0", True), ("3.13.1", True), ("3.13.2", False), ("3.14.0", False)])
def test_build_refuses_free_threaded_versions_that_race_on_key_text(tmp_path, version, refused):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("no cmake on PATH")
    script = tmp_path / "check.cmake"
    check = (TOOLS.parent / "cmake" / "free_threaded_version.cmake").as_posix()
    script.write_text(f'include("{check}")\nquorix_require_free_threaded_version("{version}")\n')
    done = subprocess.run([cmake, "-P", str(script)], capture_output=True, text=True)
    assert (done.returncode != 0) == refused, done.stderr
    assert ("Build with free-threaded CPython 3.13.2 or newer" in " ".join(done.stderr.split())) == refused
