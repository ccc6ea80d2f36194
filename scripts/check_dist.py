"""Checks what vask's sdist and wheel hold (run by scripts/test).

    python scripts/check_dist.py SDIST WHEEL

The wheel must hold exactly the package (every file of python/vask/ in the
sdist: its modules and the viewer's static files), the start-up hook
vask_follow.pth, the two extension modules built for the wheel's Python, and
its own .dist-info: no tests, no sources, no build leftovers. The sdist must
hold no build leftovers (build directories, compiled objects, caches, traces).
Prints what is wrong and exits 1, else prints a summary and exits 0.
"""

from __future__ import annotations

import re
import sys
import tarfile
import zipfile
from pathlib import PurePosixPath

PACKAGE_DIR = "python/vask/"
HOOK = "vask_follow.pth"
EXTENSIONS = ("_vask", "_dump")
# What a build or a run leaves in a tree, by path component or file suffix.
LEFTOVER_PARTS = {
    "build",
    "dist",
    "__pycache__",
    ".vask",
    ".pytest_cache",
    ".hypothesis",
    ".venv",
    ".git",
}
LEFTOVER_SUFFIXES = (".so", ".o", ".a", ".pyc", ".pyo", ".sqlite3", ".msgpack", ".whl")
DIST_INFO_FILES = {"METADATA", "WHEEL", "RECORD", "entry_points.txt"}


# Recorded on purpose and kept in git: the tests' fixtures (a stored trace
# database among them) are not leftovers, whatever their suffix.
FIXTURES_DIR = "tests/data/"


def is_leftover(path: str) -> bool:
    parts = PurePosixPath(path).parts
    if LEFTOVER_PARTS.intersection(parts):
        return True
    return path.endswith(LEFTOVER_SUFFIXES) and not path.startswith(FIXTURES_DIR)


def sdist_files(sdist: str) -> list[str]:
    """The sdist's file paths below its top directory (vask-X.Y.Z/)."""
    with tarfile.open(sdist) as tar:
        names = [m.name for m in tar.getmembers() if m.isfile()]
    return [name.split("/", 1)[1] for name in names if "/" in name]


def check_sdist(files: list[str]) -> list[str]:
    problems = [f"sdist: build leftover {path}" for path in files if is_leftover(path)]
    for needed in ("pyproject.toml", "CMakeLists.txt", "python/" + HOOK):
        if needed not in files:
            problems.append(f"sdist: {needed} is missing")
    if not any(path.startswith(PACKAGE_DIR) for path in files):
        problems.append(f"sdist: no {PACKAGE_DIR}")
    return problems


def wheel_python_tag(wheel: str) -> str:
    """The interpreter tag of a wheel's file name: cp313 in vask-...-cp313-cp313-linux_x86_64."""
    parts = PurePosixPath(wheel).name[: -len(".whl")].split("-")
    if len(parts) < 5:
        raise ValueError(f"not a wheel file name: {wheel}")
    return parts[-3]


def check_wheel(wheel_names: list[str], sdist: list[str], python_tag: str) -> list[str]:
    """What is wrong with a wheel holding `wheel_names`, built from an sdist holding `sdist`."""
    problems = []
    expected = {
        "vask/" + path[len(PACKAGE_DIR) :]
        for path in sdist
        if path.startswith(PACKAGE_DIR) and not is_leftover(path)
    }
    version = python_tag.removeprefix("cp")
    extension = re.compile(
        rf"vask/({'|'.join(EXTENSIONS)})\.cpython-{re.escape(version)}[-\w]*\.so"
    )
    found_extensions = []
    seen = set()
    for name in wheel_names:
        if name.endswith("/"):
            continue
        if name in seen:
            problems.append(f"wheel: {name} is in it twice")
        seen.add(name)
        top = name.split("/", 1)[0]
        if top.endswith(".dist-info"):
            inner = name.split("/", 1)[1]
            if inner not in DIST_INFO_FILES and not inner.startswith("licenses/"):
                problems.append(f"wheel: unexpected file {name}")
        elif name == HOOK or name in expected:
            pass
        elif match := extension.fullmatch(name):
            found_extensions.append(match.group(1))
        else:
            problems.append(f"wheel: unexpected file {name}")
    for name in sorted(expected - seen):
        problems.append(f"wheel: {name} is missing")
    if HOOK not in seen:
        problems.append(f"wheel: {HOOK} is missing")
    for ext in EXTENSIONS:
        count = found_extensions.count(ext)
        if count != 1:
            problems.append(f"wheel: {count} extension modules {ext} for {python_tag} (one wanted)")
    if not any(name.endswith(".dist-info/METADATA") for name in seen):
        problems.append("wheel: no .dist-info/METADATA")
    return problems


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    sdist_path, wheel_path = argv
    sdist = sdist_files(sdist_path)
    with zipfile.ZipFile(wheel_path) as wheel:
        names = wheel.namelist()
    problems = check_sdist(sdist) + check_wheel(names, sdist, wheel_python_tag(wheel_path))
    for problem in problems:
        print(problem)
    if problems:
        return 1
    files = [n for n in names if not n.endswith("/")]
    print(f"sdist: {len(sdist)} files; wheel: {len(files)} files, as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
