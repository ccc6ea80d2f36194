"""How vask is packaged: the Python versions it is built for, the msgpack-cxx
headers it is built with, and the check of what its sdist and wheel hold."""

from __future__ import annotations

import importlib.metadata
import io
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest
from packaging.specifiers import SpecifierSet
from packaging.version import Version
from source_modules import load_source

if sys.version_info >= (3, 11):
    import tomllib
else:
    import tomli as tomllib

REPO = Path(__file__).resolve().parents[1]
PYPROJECT = tomllib.loads((REPO / "pyproject.toml").read_text())


check_dist = load_source("check_dist", REPO / "scripts" / "check_dist.py")


def cmake_tested_versions() -> list[str]:
    text = (REPO / "cmake" / "tested_python.cmake").read_text()
    return re.search(r"set\(VASK_TESTED_PYTHON_VERSIONS ([\d. ]+)\)", text).group(1).split()


def classifier_versions(classifiers: list[str]) -> list[str]:
    prefix = "Programming Language :: Python :: "
    return [c[len(prefix) :] for c in classifiers if re.fullmatch(re.escape(prefix) + r"3\.\d+", c)]


# ---- the Python versions ---------------------------------------------------------------


def test_every_list_of_tested_versions_is_the_same():
    tested = cmake_tested_versions()
    assert tested == ["3.10", "3.11", "3.12", "3.13"]
    assert classifier_versions(PYPROJECT["project"]["classifiers"]) == tested
    script = (REPO / "scripts" / "test").read_text()
    assert (
        re.search(r"^ALL_VERSIONS=\(([\d. ]+)\)", script, re.MULTILINE).group(1).split() == tested
    )
    assert f"{sys.version_info.major}.{sys.version_info.minor}" in tested


def test_requires_python_admits_exactly_the_tested_versions():
    tested = set(cmake_tested_versions())
    supported = SpecifierSet(PYPROJECT["project"]["requires-python"])
    for minor in range(6, 20):
        for patch in (0, 7):
            admitted = Version(f"3.{minor}.{patch}") in supported
            assert admitted == (f"3.{minor}" in tested), f"3.{minor}.{patch}"


def test_the_installed_metadata_names_the_tested_versions():
    meta = importlib.metadata.metadata("vask")
    assert SpecifierSet(meta["Requires-Python"]) == SpecifierSet(
        PYPROJECT["project"]["requires-python"]
    )
    assert classifier_versions(meta.get_all("Classifier")) == cmake_tested_versions()


@pytest.fixture(scope="module")
def cmake() -> str:
    found = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")
    if found is None:
        pytest.skip("no cmake")
    return found


def check_version(cmake: str, version: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [cmake, f"-DVERSION={version}", "-P", str(REPO / "cmake" / "tested_python.cmake")],
        capture_output=True,
        text=True,
        check=False,
    )


@pytest.mark.parametrize("version", ["3.9", "3.14", "3.15", "4.0"])
def test_the_build_refuses_an_untested_python(cmake, version):
    result = check_version(cmake, version)
    assert result.returncode != 0
    message = " ".join(result.stderr.split())
    assert f"this is Python {version}" in message
    assert "3.10, 3.11, 3.12, 3.13" in message


@pytest.mark.parametrize("version", ["3.10", "3.13"])
def test_the_build_accepts_a_tested_python(cmake, version):
    result = check_version(cmake, version)
    assert result.returncode == 0, result.stderr


# ---- msgpack-cxx ------------------------------------------------------------------------


def test_msgpack_cxx_is_pinned_to_the_same_range_everywhere():
    requires = [r for r in PYPROJECT["build-system"]["requires"] if r.startswith("msgpack-cxx")]
    assert requires == ["msgpack-cxx>=7.0,<7.1"]
    test_requirements = (REPO / "scripts" / "requirements-test.txt").read_text().splitlines()
    assert "msgpack-cxx>=7.0,<7.1" in test_requirements
    cmake_lists = (REPO / "CMakeLists.txt").read_text()
    assert 'set(VASK_MSGPACK_CXX_VERSIONS "7.0")' in cmake_lists
    # The headers the C++ unit tests compile with are of that range too.
    installed = importlib.metadata.version("msgpack-cxx")
    assert Version(installed) in SpecifierSet(">=7.0,<7.1")


def test_no_system_msgpack_package_is_installed_for_the_build():
    packages = (REPO / "scripts" / "debian-packages.txt").read_text()
    assert "msgpack" not in re.sub(r"#.*", "", packages)


# ---- the sdist and wheel check -----------------------------------------------------------

SDIST = [
    "pyproject.toml",
    "CMakeLists.txt",
    "README.md",
    "src/lib.cpp",
    "tests/test_cli.py",
    "python/vask_follow.pth",
    "python/vask/__init__.py",
    "python/vask/cli/__init__.py",
    "python/vask/viewer/static/index.html",
]
WHEEL = [
    "vask/__init__.py",
    "vask/cli/__init__.py",
    "vask/viewer/static/index.html",
    "vask/_vask.cpython-313-x86_64-linux-gnu.so",
    "vask/_dump.cpython-313-x86_64-linux-gnu.so",
    "vask_follow.pth",
    "vask-0.2.0.dist-info/METADATA",
    "vask-0.2.0.dist-info/WHEEL",
    "vask-0.2.0.dist-info/RECORD",
    "vask-0.2.0.dist-info/entry_points.txt",
    "vask-0.2.0.dist-info/licenses/LICENSE",
]


def test_a_wheel_of_exactly_the_package_passes():
    assert check_dist.check_wheel(WHEEL, SDIST, "cp313") == []
    assert check_dist.check_sdist(SDIST) == []


@pytest.mark.parametrize(
    "change, problem",
    [
        (lambda w: w + ["tests/test_cli.py"], "unexpected file tests/test_cli.py"),
        (lambda w: w + ["vask/__pycache__/x.cpython-313.pyc"], "unexpected file vask/__pycache__"),
        (lambda w: w + ["vask/CMakeCache.txt"], "unexpected file vask/CMakeCache.txt"),
        (lambda w: w + ["vask-0.2.0.dist-info/stray"], "unexpected file vask-0.2.0.dist-info"),
        (
            lambda w: [n for n in w if n != "vask/cli/__init__.py"],
            "vask/cli/__init__.py is missing",
        ),
        (lambda w: [n for n in w if "static" not in n], "index.html is missing"),
        (lambda w: [n for n in w if n != "vask_follow.pth"], "vask_follow.pth is missing"),
        (lambda w: [n for n in w if "_dump" not in n], "0 extension modules _dump"),
        (
            lambda w: w + ["vask/_vask.cpython-312-x86_64-linux-gnu.so"],
            "unexpected file vask/_vask.cpython-312",
        ),
        (lambda w: w + ["vask/_vask.abi3.so"], "unexpected file vask/_vask.abi3.so"),
        (lambda w: w + ["vask/__init__.py"], "vask/__init__.py is in it twice"),
    ],
)
def test_a_wheel_that_holds_more_or_less_is_refused(change, problem):
    problems = check_dist.check_wheel(change(list(WHEEL)), SDIST, "cp313")
    assert any(problem in p for p in problems), problems


LEFTOVERS = [
    "build/cp313/CMakeCache.txt",
    "python/vask/_vask.so",
    ".vask/db.sqlite3",
    "python/vask/__pycache__/cli.cpython-313.pyc",
    "src/lib.o",
    ".hypothesis/unicode_data/charmap.json.gz",
]


@pytest.mark.parametrize("leftover", LEFTOVERS)
def test_an_sdist_with_build_leftovers_is_refused(leftover):
    assert check_dist.check_sdist(SDIST + [leftover]) == [f"sdist: build leftover {leftover}"]


def test_a_recorded_test_fixture_is_not_a_leftover():
    fixtures = ["tests/data/shop.sqlite3", "tests/data/show_export/export-chrome.txt"]
    assert check_dist.check_sdist(SDIST + fixtures) == []
    assert check_dist.check_sdist(SDIST + ["tests/db.sqlite3"]) != []


def test_the_checker_reads_real_archives(tmp_path):
    sdist = tmp_path / "vask-0.2.0.tar.gz"
    with tarfile.open(sdist, "w:gz") as tar:
        for name in SDIST:
            info = tarfile.TarInfo(f"vask-0.2.0/{name}")
            tar.addfile(info, io.BytesIO(b""))
    wheel = tmp_path / "vask-0.2.0-cp313-cp313-linux_x86_64.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for name in WHEEL:
            archive.writestr(name, "")
    assert check_dist.main([str(sdist), str(wheel)]) == 0
    with zipfile.ZipFile(wheel, "a") as archive:
        archive.writestr("vask/tests/test_x.py", "")
    assert check_dist.main([str(sdist), str(wheel)]) == 1
