"""Checks of built wheels that their tools only report on.

    wheel_audit.py abi3 WHEEL...        abi3audit, held to each wheel's own level,
                                        and the module's file name
    wheel_audit.py policy WHEEL...      auditwheel show: the policy a wheel reaches,
                                        and that it names no outside library
    wheel_audit.py size WHEEL...        the module's size in bytes
    wheel_audit.py sdist SDIST          holds what a build and the tests need,
                                        and nothing built or installed
    wheel_audit.py free-threaded MODULE --exports LIBPYTHON
                                        a free-threaded module compiled against
                                        the GIL build of its version: built for
                                        the free-threaded layout, declaring no
                                        GIL, needing nothing else the version lacks

Each prints one PASS or FAIL line per wheel and exits non-zero on a failure.
"""
import argparse
import json
import pathlib
import re
import subprocess
import sys
import tarfile
import zipfile

WHEEL_NAME = re.compile(r"^(?P<name>[^-]+)-(?P<version>[^-]+)-(?P<python>[^-]+)-(?P<abi>[^-]+)-(?P<platform>[^-]+)\.whl$")


def wheel_tags(path):
    match = WHEEL_NAME.match(pathlib.Path(path).name)
    if not match:
        raise ValueError(f"not a wheel file name: {pathlib.Path(path).name}")
    return match.group("python"), match.group("abi"), match.group("platform")


def tag_level(python_tag):
    """'cp310' -> '3.10'."""
    match = re.fullmatch(r"cp3(\d+)", python_tag)
    if not match:
        raise ValueError(f"not a CPython tag: {python_tag}")
    return f"3.{match.group(1)}"


def abi3_problems(wheel_name, report):
    """What is wrong with one wheel in an `abi3audit --report` result."""
    python_tag, abi, _ = wheel_tags(wheel_name)
    if abi != "abi3":
        return [f"tagged {python_tag}-{abi}, not abi3"]
    level = tag_level(python_tag)
    specs = list(report.get("specs", {}).values())
    modules = [m for spec in specs for m in spec.get("wheel", [])]
    if len(modules) != 1:
        return [f"{len(modules)} extension modules audited, expected exactly one"]
    result = modules[0]["result"]
    problems = []
    if not result.get("is_abi3"):
        problems.append(f"{modules[0]['name']} is not an abi3 module")
    if result.get("baseline") != level:
        # abi3audit takes the level from the tag; a different baseline means it
        # audited against another level than the wheel claims.
        problems.append(f"audited against {result.get('baseline')}, but the wheel is tagged {python_tag}")
    if not result.get("is_abi3_baseline_compatible"):
        problems.append(f"needs CPython {result.get('computed')} but is tagged {python_tag}")
    if result.get("non_abi3_symbols"):
        problems.append("uses functions outside the stable ABI: " + ", ".join(sorted(result["non_abi3_symbols"])))
    if result.get("future_abi3_objects"):
        problems.append("uses stable-ABI functions newer than its level: " + ", ".join(sorted(result["future_abi3_objects"])))
    return problems


def module_file_problems(wheel_name, member_names):
    """What is wrong with the extension files a wheel holds: exactly one, at the
    top level, under the stable ABI's portable name. A platform-qualified name
    (`.abi3-x86_64-linux-gnu.so`) that the building interpreter prefers would
    not import on older interpreters the wheel's tag admits."""
    _, _, platform = wheel_tags(wheel_name)
    wanted = "_quorix_core.pyd" if platform.startswith("win") else "_quorix_core.abi3.so"
    modules = sorted(name for name in member_names if re.search(r"\.(so|pyd)$", name))
    if modules != [wanted]:
        return [f"holds {', '.join(modules) or 'no extension module'}; expected exactly {wanted}"]
    return []


def policy_problems(wheel_name, show):
    """What is wrong with one wheel in an `auditwheel show --json` result, for
    a wheel that claims a manylinux or musllinux tag."""
    _, _, platform = wheel_tags(wheel_name)
    problems = []
    if show.get("error"):
        return [show["error"]]
    if show.get("external_libs"):
        problems.append("needs libraries outside every policy: " + ", ".join(sorted(show["external_libs"])))
    if platform.startswith(("manylinux", "musllinux")):
        claimed = set(platform.split("."))
        if show.get("overall_tag") not in claimed:
            problems.append(f"tagged {platform} but only reaches {show.get('overall_tag')}")
    return problems


SDIST_NEEDS = (
    "PKG-INFO", "LICENSE", "README.md", "pyproject.toml", "CMakeLists.txt", "cmake/free_threaded_version.cmake",
    "src/python/_quorix_core-stubs/__init__.pyi", "src/python/module.cpp", "src/runtime/capabilities.hpp",
    "examples/app.py", "tests/conftest.py", "tests/requirements.txt", "tools/build-fault-module",
)
SDIST_NEVER = re.compile(r"(^|/)(build|dist|wheelhouse|\.venv[^/]*|__pycache__|\.pytest_cache|\.hypothesis)/|\.(so|pyd|whl|pyc)$")


def sdist_problems(names):
    """What is wrong with an sdist, given its member names (top folder removed)."""
    problems = [f"lacks {need}" for need in SDIST_NEEDS if need not in names]
    stray = sorted(name for name in names if SDIST_NEVER.search(name))
    if stray:
        shown = ", ".join(stray[:5]) + (f" and {len(stray) - 5} more" if len(stray) > 5 else "")
        problems.append(f"holds {len(stray)} built or installed files: {shown}")
    return problems


# What only a free-threaded CPython exports: the reference counting of its
# object layout (the GIL build counts inline), and the declaration that a
# module runs without the GIL.
FREE_THREADED_REFCOUNTING = {"_Py_DecRefShared", "_Py_DecRefSharedDebug", "_Py_MergeZeroLocalRefcount"}
FREE_THREADED_ONLY = FREE_THREADED_REFCOUNTING | {"PyUnstable_Module_SetGIL"}


def free_threaded_problems(undefined, exported):
    """What is wrong with a free-threaded module compiled against the headers of
    the GIL build of its version, given the symbols the module needs and those
    that GIL build exports."""
    python_symbols = {s for s in undefined if re.match(r"_?Py", s)}
    problems = []
    if not python_symbols & FREE_THREADED_REFCOUNTING:
        problems.append("not compiled for the free-threaded object layout (calls none of "
                        + ", ".join(sorted(FREE_THREADED_REFCOUNTING)) + ")")
    if "PyUnstable_Module_SetGIL" not in python_symbols:
        problems.append("does not declare that it runs without the GIL (no PyUnstable_Module_SetGIL)")
    missing = sorted(python_symbols - set(exported) - FREE_THREADED_ONLY)
    if missing:
        problems.append("needs functions this CPython version does not export: " + ", ".join(missing))
    return problems


def dynamic_symbols(path, defined):
    done = subprocess.run(["nm", "-D", "--defined-only" if defined else "--undefined-only", str(path)],
                          capture_output=True, text=True, check=True)
    return {line.split()[-1].split("@")[0] for line in done.stdout.splitlines() if line.strip()}


def run_free_threaded(modules, exports):
    failed = 0
    exported = dynamic_symbols(exports, True)
    for module in modules:
        problems = free_threaded_problems(dynamic_symbols(module, False), exported)
        for problem in problems:
            print(f"error: {pathlib.Path(module).name}: {problem}")
        print(f"free-threaded module {pathlib.Path(module).name}: {'FAIL' if problems else 'PASS'} "
              f"(against what {pathlib.Path(exports).name} exports)")
        failed += bool(problems)
    return failed


def run_sdist(path):
    with tarfile.open(path) as archive:
        names = [m.name.split("/", 1)[1] for m in archive.getmembers() if "/" in m.name and not m.isdir()]
    problems = sdist_problems(names)
    for problem in problems:
        print(f"error: {pathlib.Path(path).name}: {problem}")
    print(f"sdist contents {pathlib.Path(path).name}: {'FAIL' if problems else f'PASS ({len(names)} files)'}")
    return 1 if problems else 0


def run_abi3(abi3audit, wheels):
    failed = 0
    for wheel in wheels:
        done = subprocess.run([abi3audit, "--strict", "--report", str(wheel)], capture_output=True, text=True)
        try:
            report = json.loads(done.stdout)
            problems = abi3_problems(wheel, report)
        except ValueError as error:
            problems = [f"no report from abi3audit ({error}): {done.stderr.strip()}"]
        if done.returncode != 0:
            problems.append(f"abi3audit exited with {done.returncode}")
        with zipfile.ZipFile(wheel) as archive:
            problems += module_file_problems(wheel, archive.namelist())
        level = tag_level(wheel_tags(wheel)[0]) if not problems else "?"
        for problem in problems:
            print(f"error: {pathlib.Path(wheel).name}: {problem}")
        print(f"abi3audit {pathlib.Path(wheel).name}: {'FAIL' if problems else f'PASS (audited against CPython {level})'}")
        failed += bool(problems)
    return failed


def run_policy(auditwheel, wheels):
    failed = 0
    for wheel in wheels:
        done = subprocess.run([auditwheel, "show", "--json", str(wheel)], capture_output=True, text=True)
        try:
            show = json.loads(done.stdout)
            problems = policy_problems(wheel, show)
        except ValueError as error:
            show, problems = {}, [f"no report from auditwheel ({error}): {done.stderr.strip()}"]
        for problem in problems:
            print(f"error: {pathlib.Path(wheel).name}: {problem}")
        verdict = "FAIL" if problems else "PASS"
        print(f"auditwheel show {pathlib.Path(wheel).name}: {verdict} (reaches {show.get('overall_tag')})")
        failed += bool(problems)
    return failed


def module_size(wheel):
    with zipfile.ZipFile(wheel) as archive:
        return sum(i.file_size for i in archive.infolist() if re.search(r"\.(so|pyd)$", i.filename))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("check", choices=("abi3", "policy", "size", "sdist", "free-threaded"))
    parser.add_argument("wheels", nargs="+", help="wheels (an sdist for the sdist check, modules for free-threaded)")
    parser.add_argument("--tool", help="abi3audit or auditwheel executable")
    parser.add_argument("--exports", help="the library of the CPython version a free-threaded module is checked against")
    args = parser.parse_args(argv)
    if args.check == "free-threaded":
        if not args.exports:
            parser.error("free-threaded needs --exports")
        return 1 if run_free_threaded(args.wheels, args.exports) else 0
    if args.check == "abi3":
        return 1 if run_abi3(args.tool or "abi3audit", args.wheels) else 0
    if args.check == "policy":
        return 1 if run_policy(args.tool or "auditwheel", args.wheels) else 0
    if args.check == "sdist":
        return max(run_sdist(path) for path in args.wheels)
    for wheel in args.wheels:
        print(f"{pathlib.Path(wheel).name}: module {module_size(wheel)} bytes, wheel {pathlib.Path(wheel).stat().st_size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
