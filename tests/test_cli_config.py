"""[tool.vask] in pyproject.toml: finding the file, reading and checking its values."""

from __future__ import annotations

from pathlib import Path

import pytest
from vask import config


def write(directory: Path, text: str) -> Path:
    path = directory / "pyproject.toml"
    path.write_text(text)
    return path


def test_nearest_pyproject_is_found_walking_up(tmp_path: Path) -> None:
    outer = write(tmp_path, "[tool.vask]\ndb = 'outer.db'\n")
    deep = tmp_path / "a" / "b"
    deep.mkdir(parents=True)
    assert config.find_pyproject(deep) == outer
    inner = write(tmp_path / "a", "[project]\nname = 'x'\n")
    assert config.find_pyproject(deep) == inner
    # the nearest file wins even without a [tool.vask] table
    assert config.load_settings(inner) == config.FileSettings(path=inner)


def test_values_are_read_and_db_is_relative_to_the_file(tmp_path: Path) -> None:
    path = write(
        tmp_path,
        """
        [tool.vask]
        db = "traces/v.db"
        include = "site-packages/mylib"
        ignore = ["tests/", "migrations/"]
        lightweight_repr = true
        flush_subtree_mb = 0.5
        engine = "profile"
        typo = 1
        other = 2
        """.replace("        ", ""),
    )
    settings = config.load_settings(path)
    assert settings.db == tmp_path / "traces" / "v.db"
    assert settings.include == ["site-packages/mylib"]
    assert settings.ignore == ["tests/", "migrations/"]
    assert settings.lightweight_repr is True and settings.threads is None
    assert settings.flush_subtree_mb == 0.5
    assert settings.engine == "profile"
    assert settings.unknown_keys == ["other", "typo"]


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("[tool.vask]\nthreads = 1\n", "threads must be true or false"),
        ("[tool.vask]\nignore = [1]\n", "ignore must be a list of strings"),
        ("[tool.vask]\nflush_subtree_mb = -1\n", "flush_subtree_mb must be a non-negative"),
        ("[tool.vask]\nflush_subtree_mb = true\n", "flush_subtree_mb must be a non-negative"),
        ("[tool.vask]\ndb = ''\n", "db must be a path"),
        ("[tool.vask]\nredact = 1\n", "redact must be a list of strings"),
        ("[tool.vask]\nredact_extra = true\n", "redact_extra must be a list of strings"),
        ("[tool.vask]\nengine = 'fast'\n", "engine must be"),
        ("[tool.vask\n", "is not valid TOML"),
    ],
)
def test_bad_values_name_the_file(tmp_path: Path, text: str, message: str) -> None:
    path = write(tmp_path, text)
    with pytest.raises(config.ConfigError, match=message) as error:
        config.load_settings(path)
    assert str(path) in str(error.value)


@pytest.mark.parametrize(
    ("value", "expected"),
    [("off", False), ("false", False), (False, False), ("2.5", 2.5), (0, 0.0), (3, 3.0)],
)
def test_flush_subtree_mb_values(value: object, expected: object) -> None:
    result = config.parse_flush_subtree_mb(value)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("value", ["nan", "inf", "-0.5", "lots", True, None, [1]])
def test_flush_subtree_mb_rejects(value: object) -> None:
    with pytest.raises(ValueError, match="non-negative number or false"):
        config.parse_flush_subtree_mb(value)


@pytest.mark.parametrize(
    ("text", "redact", "extra"),
    [
        ("redact = false", False, None),
        ('redact = ["pin"]\nredact_extra = "badge"', ["pin"], ["badge"]),
        ('redact_extra = ["badge", "door"]', None, ["badge", "door"]),
    ],
)
def test_redaction_settings(tmp_path: Path, text: str, redact: object, extra: object) -> None:
    settings = config.load_settings(write(tmp_path, f"[tool.vask]\n{text}\n"))
    assert (settings.redact, settings.redact_extra, settings.unknown_keys) == (redact, extra, [])
