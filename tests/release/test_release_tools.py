"""The release checks' own logic: each must notice the fault it exists for."""
import pathlib
import re
import sys

import pytest

TOOLS = pathlib.Path(__file__).resolve().parents[2] / "tools"
sys.path.insert(0, str(TOOLS))

import check_types  # noqa: E402
import release_matrix  # noqa: E402
import wheel_audit  # noqa: E402


@pytest.mark.parametrize("version, level", [
    ("3.9", "cp39"), ("3.10", "cp310"), ("3.11", "cp310"), ("3.12", "cp312"),
    ("3.13", "cp312"), ("3.15", "cp312"), ("3.10.13", "cp310"),
])
def test_level_for_interpreter(version, level):
    assert release_matrix.level_for(version) == level


@pytest.mark.parametrize("version", ["3.8", "2.7"])
def test_no_level_for_older_interpreters(version):
    with pytest.raises(ValueError):
        release_matrix.level_for(version)


def _py_api_by_overrides(pyproject, minor):
    """The wheel.py-api scikit-build-core would use when built with 3.minor."""
    from packaging.specifiers import SpecifierSet

    settings = pyproject["tool"]["scikit-build"]
    py_api = settings["wheel"]["py-api"]
    for override in settings.get("overrides", []):
        condition = override["if"]
        if set(condition) == {"python-version"} and f"3.{minor}" in SpecifierSet(condition["python-version"]):
            py_api = override.get("wheel", {}).get("py-api", py_api)
    return py_api


@pytest.mark.parametrize("minor", range(9, 16))
def test_build_overrides_agree_with_release_matrix(minor):
    """`pip install .` and the release runs must build the same level."""
    tomllib = pytest.importorskip("tomllib")
    pyproject = tomllib.loads((TOOLS.parent / "pyproject.toml").read_text())
    assert _py_api_by_overrides(pyproject, minor) == release_matrix.level_for(f"3.{minor}")


def test_the_abi3t_setting_reaches_only_the_free_threaded_315_run():
    """On the GIL cp315 identifier, wheel.py-api = "cp315.cp315t" would make a
    plain cp315-abi3 wheel; the free-threaded 3.15 alone builds the abi3t one."""
    import fnmatch

    tomllib = pytest.importorskip("tomllib")
    pyproject = tomllib.loads((TOOLS.parent / "pyproject.toml").read_text())
    setting = [o for o in pyproject["tool"]["cibuildwheel"]["overrides"]
               if o.get("config-settings", {}).get("wheel.py-api") == "cp315.cp315t"]
    assert len(setting) == 1 and "cp315t" in release_matrix.RUNS
    selected = {identifier for identifier in ("cp315t-manylinux_x86_64", "cp315t-win_amd64", "cp315-manylinux_x86_64",
                                              "cp315-win_amd64", "cp314t-manylinux_x86_64")
                if any(fnmatch.fnmatch(identifier, pattern) for pattern in setting[0]["select"].split())}
    assert selected == {"cp315t-manylinux_x86_64", "cp315t-win_amd64"}


def rows(*specs):
    return [tuple(spec.split()) for spec in specs]


CONFIGURED = {"linux": ["cp39-manylinux_x86_64", "cp310-manylinux_x86_64", "cp311-manylinux_x86_64"],
              "macos": [], "windows": []}


@pytest.mark.parametrize("actual, fault", [
    (rows("linux cp39 cp39-manylinux_x86_64", "linux cp310 cp310-manylinux_x86_64"), "in no level's run: cp311"),
    (rows("linux cp39 cp39-manylinux_x86_64", "linux cp310 cp310-manylinux_x86_64", "linux cp310 cp311-manylinux_x86_64",
          "linux cp310 cp311-manylinux_x86_64"), "in more than one level's run: cp311"),
    (rows("linux cp39 cp39-manylinux_x86_64", "linux cp39 cp310-manylinux_x86_64", "linux cp310 cp311-manylinux_x86_64"),
     "cp310-manylinux_x86_64 is in the cp39 run"),
    (rows("linux cp39 cp39-manylinux_x86_64", "linux cp310 cp310-manylinux_x86_64", "linux cp310 cp311-manylinux_x86_64",
          "linux cp312 cp312-manylinux_x86_64"), "not selected by the configuration: cp312"),
    # A free-threaded interpreter loads no stable-ABI wheel: it needs its own run.
    (rows("linux cp39 cp39-manylinux_x86_64", "linux cp310 cp310-manylinux_x86_64", "linux cp310 cp311-manylinux_x86_64",
          "linux cp310 cp314t-manylinux_x86_64"), "cp314t-manylinux_x86_64 is in the cp310 run"),
    (rows("linux cp39 cp39-manylinux_x86_64", "linux cp310 cp310-manylinux_x86_64", "linux cp310 cp311-manylinux_x86_64",
          "linux cp313t cp313t-manylinux_x86_64"), "no release run for the free-threaded cp313t"),
])
def test_release_runs_faults_are_found(actual, fault):
    problems = release_matrix.problems_with(actual, CONFIGURED)
    assert any(fault in p for p in problems), problems


def test_release_runs_that_cover_the_configuration_pass():
    actual = rows("linux cp39 cp39-manylinux_x86_64", "linux cp310 cp310-manylinux_x86_64",
                  "linux cp310 cp311-manylinux_x86_64")
    assert release_matrix.problems_with(actual, CONFIGURED) == []


def test_committed_identifiers_cover_every_platform_and_level():
    expected = release_matrix.parse_expected((TOOLS / "release-identifiers.txt").read_text())
    found = {(platform, level) for platform, level, _ in expected}
    assert found == {(p, run) for p in release_matrix.PLATFORMS for run in release_matrix.RUNS}
    archs = {identifier.split("-", 1)[1] for _, _, identifier in expected}
    assert archs == {"manylinux_x86_64", "manylinux_aarch64", "musllinux_x86_64", "musllinux_aarch64",
                     "macosx_x86_64", "macosx_arm64", "win_amd64"}


def abi3_report(baseline="3.10", computed="3.10", modules=1, **result):
    entry = {"name": "_quorix_core.abi3.so", "result": {
        "is_abi3": True, "is_abi3_baseline_compatible": True, "baseline": baseline, "computed": computed,
        "non_abi3_symbols": [], "future_abi3_objects": {}, **result}}
    return {"specs": {"w.whl": {"kind": "wheel", "wheel": [entry] * modules}}}


WHEEL = "quorix_core-0.1.0-cp310-abi3-manylinux_2_17_x86_64.manylinux2014_x86_64.whl"


@pytest.mark.parametrize("wheel, report, fault", [
    (WHEEL, abi3_report(baseline="3.9"), "audited against 3.9, but the wheel is tagged cp310"),
    (WHEEL, abi3_report(computed="3.12", is_abi3_baseline_compatible=False), "needs CPython 3.12"),
    (WHEEL, abi3_report(non_abi3_symbols=["_Py_Dealloc"]), "outside the stable ABI: _Py_Dealloc"),
    (WHEEL, abi3_report(future_abi3_objects={"PyObject_Vectorcall": "3.12"}), "newer than its level"),
    (WHEEL, abi3_report(is_abi3=False), "is not an abi3 module"),
    (WHEEL, abi3_report(modules=2), "2 extension modules"),
    (WHEEL.replace("-abi3-", "-cp310-"), abi3_report(), "not abi3"),
])
def test_abi3_faults_are_found(wheel, report, fault):
    problems = wheel_audit.abi3_problems(wheel, report)
    assert any(fault in p for p in problems), problems


def test_abi3_clean_report_passes():
    assert wheel_audit.abi3_problems(WHEEL, abi3_report()) == []


@pytest.mark.parametrize("wheel, members, fault", [
    (WHEEL, ["_quorix_core.abi3-x86_64-linux-gnu.so"], "holds _quorix_core.abi3-x86_64-linux-gnu.so"),
    (WHEEL, ["_quorix_core.cpython-312-x86_64-linux-gnu.so"], "expected exactly _quorix_core.abi3.so"),
    (WHEEL, ["_quorix_core.abi3.so", "quorix_core.libs/_quorix_core.abi3.so"], "expected exactly"),
    (WHEEL, ["_quorix_core-stubs/__init__.pyi"], "holds no extension module"),
    (WHEEL.replace("manylinux_2_17_x86_64.manylinux2014_x86_64", "win_amd64"), ["_quorix_core.abi3.so"],
     "expected exactly _quorix_core.pyd"),
])
def test_wrongly_named_modules_are_found(wheel, members, fault):
    problems = wheel_audit.module_file_problems(wheel, members + ["quorix_core-0.1.0.dist-info/WHEEL"])
    assert any(fault in p for p in problems), problems


@pytest.mark.parametrize("platform, module", [("manylinux2014_x86_64", "_quorix_core.abi3.so"),
                                              ("macosx_11_0_arm64", "_quorix_core.abi3.so"),
                                              ("win_amd64", "_quorix_core.pyd")])
def test_portable_module_name_passes(platform, module):
    wheel = f"quorix_core-0.1.0-cp312-abi3-{platform}.whl"
    assert wheel_audit.module_file_problems(wheel, [module, "_quorix_core-stubs/__init__.pyi"]) == []


@pytest.mark.parametrize("show, fault", [
    ({"overall_tag": "manylinux_2_35_x86_64", "external_libs": {}}, "only reaches manylinux_2_35_x86_64"),
    ({"overall_tag": "manylinux_2_17_x86_64", "external_libs": {"libfoo.so.1": None}}, "outside every policy: libfoo"),
    ({"error": "not an ELF file"}, "not an ELF file"),
])
def test_policy_faults_are_found(show, fault):
    problems = wheel_audit.policy_problems(WHEEL, show)
    assert any(fault in p for p in problems), problems


@pytest.mark.parametrize("overall", ["manylinux_2_17_x86_64", "manylinux2014_x86_64"])
def test_policy_met_passes(overall):
    assert wheel_audit.policy_problems(WHEEL, {"overall_tag": overall, "external_libs": {}}) == []


MYPY_OUTPUT = """\
client.py:3: error: Argument 3 has incompatible type "int"; expected "bool"  [arg-type]
client.py:3: note: see the docs
client.py:9:5: error: Name "x" is not defined  [name-defined]
"""


def test_mypy_output_is_read_per_line(tmp_path):
    found = check_types.mypy_errors(MYPY_OUTPUT, tmp_path)
    path = str((tmp_path / "client.py").resolve())
    assert sorted(found) == [(path, 3), (path, 9)]
    assert len(found[(path, 3)]) == 1  # the note is not an error


def test_pyright_report_lines_count_from_one():
    report = {"generalDiagnostics": [
        {"file": "/p/client.py", "severity": "error", "message": "bad", "range": {"start": {"line": 2}}},
        {"file": "/p/client.py", "severity": "warning", "message": "meh", "range": {"start": {"line": 5}}},
    ]}
    assert check_types.pyright_errors(report) == {(str(pathlib.Path("/p/client.py").resolve()), 3): ["bad"]}


@pytest.mark.parametrize("expected, found, verdict", [
    ({("f", 3)}, {("f", 3): ["wrong"]}, []),
    ({("f", 3)}, {}, [r"f:3: an error was expected"]),
    (set(), {("f", 4): ["oops"]}, [r"f:4: oops"]),
    ({("f", 3)}, {("f", 3): ["wrong"], ("f", 5): ["other"]}, [r"f:5: other"]),
])
def test_type_check_verdicts(expected, found, verdict):
    problems = check_types.compare(expected, found)
    assert len(problems) == len(verdict)
    for problem, pattern in zip(problems, verdict):
        assert re.match(pattern, problem)


def test_markers_are_found_only_at_line_ends():
    text = "a = 1\nf(1)  # expect-type-error\n# expect-type-error is the marker\n"
    assert check_types.expected_errors("c.py", text) == {("c.py", 2)}


@pytest.mark.parametrize("extra, fault", [
    (["build/ci/tools-venv/lib/site-packages/pkg/LICENSE"], "1 built or installed files: build/ci"),
    (["src/build/x.o"], "built or installed files: src/build/x.o"),
    (["_quorix_core.abi3.so"], "built or installed files: _quorix_core.abi3.so"),
    (["tests/__pycache__/conftest.cpython-311.pyc"], "built or installed files"),
    ([".venv-dev/bin/python"], "built or installed files"),
])
def test_sdist_with_build_output_is_refused(extra, fault):
    problems = wheel_audit.sdist_problems(list(wheel_audit.SDIST_NEEDS) + extra)
    assert any(fault in p for p in problems), problems


@pytest.mark.parametrize("missing", ["LICENSE", "tools/build-fault-module", "src/python/_quorix_core-stubs/__init__.pyi"])
def test_sdist_missing_a_needed_file_is_refused(missing):
    names = [n for n in wheel_audit.SDIST_NEEDS if n != missing] + ["bench/bench_resolve.py"]
    assert wheel_audit.sdist_problems(names) == [f"lacks {missing}"]


def test_complete_sdist_passes():
    assert wheel_audit.sdist_problems(list(wheel_audit.SDIST_NEEDS) + ["tools/builder.py", "src/core/build_plan.cpp"]) == []


FREE_THREADED_NEEDS = {"PyList_New", "Py_IncRef", "_Py_Dealloc", "_Py_DecRefShared", "_Py_MergeZeroLocalRefcount",
                       "PyUnstable_Module_SetGIL", "memcpy", "_ZdlPvm"}
GIL_EXPORTS = {"PyList_New", "Py_IncRef", "_Py_Dealloc", "PyList_GetItemRef"}


@pytest.mark.parametrize("needs, fault", [
    (FREE_THREADED_NEEDS - {"_Py_DecRefShared", "_Py_MergeZeroLocalRefcount"}, "not compiled for the free-threaded"),
    (FREE_THREADED_NEEDS - {"PyUnstable_Module_SetGIL"}, "does not declare that it runs without the GIL"),
    (FREE_THREADED_NEEDS | {"PyObject_GetOptionalAttr"}, "does not export: PyObject_GetOptionalAttr"),
])
def test_free_threaded_module_faults_are_found(needs, fault):
    problems = wheel_audit.free_threaded_problems(needs, GIL_EXPORTS)
    assert any(fault in p for p in problems), problems


def test_free_threaded_module_that_is_sound_passes():
    assert wheel_audit.free_threaded_problems(FREE_THREADED_NEEDS, GIL_EXPORTS) == []
