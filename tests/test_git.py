"""The commit of the working directory's repository, read without running git."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import vask.git
from vask.git import find_commit_sha

pytestmark = pytest.mark.skipif(shutil.which("git") is None, reason="needs git to build repos")

GIT_ENV = {
    **os.environ,
    "GIT_AUTHOR_NAME": "t",
    "GIT_AUTHOR_EMAIL": "t@example.invalid",
    "GIT_COMMITTER_NAME": "t",
    "GIT_COMMITTER_EMAIL": "t@example.invalid",
    "GIT_CONFIG_GLOBAL": os.devnull,
    "GIT_CONFIG_NOSYSTEM": "1",
}
GIT_ENV.pop("GIT_DIR", None)


def git(cwd: Path, *args: str) -> str:
    result = subprocess.run(
        ["git", *args], cwd=cwd, env=GIT_ENV, check=True, capture_output=True, text=True
    )
    return result.stdout.strip()


@pytest.fixture
def repo(tmp_path):
    path = tmp_path / "repo"
    path.mkdir()
    git(path, "init", "-q", "-b", "main")
    (path / "a.txt").write_text("a")
    git(path, "add", "a.txt")
    git(path, "commit", "-q", "-m", "one")
    (path / "sub" / "dir").mkdir(parents=True)
    return path


def commit(repo: Path, text: str) -> str:
    (repo / "a.txt").write_text(text)
    git(repo, "commit", "-q", "-am", text)
    return git(repo, "rev-parse", "HEAD")


@pytest.fixture(autouse=True)
def no_git_dir(monkeypatch):
    monkeypatch.delenv("GIT_DIR", raising=False)


class TestInsideARepository:
    def test_branch_head_from_any_subdirectory(self, repo):
        head = git(repo, "rev-parse", "HEAD")
        assert find_commit_sha(repo) == head
        assert find_commit_sha(repo / "sub" / "dir") == head

    def test_detached_head(self, repo):
        first = git(repo, "rev-parse", "HEAD")
        commit(repo, "two")
        git(repo, "checkout", "-q", "--detach", first)
        assert find_commit_sha(repo) == first

    def test_packed_refs(self, repo):
        head = commit(repo, "two")
        git(repo, "pack-refs", "--all", "--prune")
        assert not (repo / ".git" / "refs" / "heads" / "main").exists()
        assert find_commit_sha(repo) == head
        # A loose ref written later wins over its packed copy.
        newer = commit(repo, "three")
        assert find_commit_sha(repo) == newer

    def test_worktree(self, repo, tmp_path):
        main_head = git(repo, "rev-parse", "HEAD")
        other = tmp_path / "other"
        git(repo, "worktree", "add", "-q", "-b", "feature", str(other))
        feature_head = commit(other, "on feature")
        assert (other / ".git").is_file()
        assert find_commit_sha(other) == feature_head
        assert find_commit_sha(repo) == main_head

    def test_gitdir_file_of_a_submodule(self, repo, tmp_path):
        # A submodule's .git is a file pointing to the repository, relatively.
        checkout = tmp_path / "checkout"
        checkout.mkdir()
        relative = os.path.relpath(repo / ".git", checkout)
        (checkout / ".git").write_text(f"gitdir: {relative}\n")
        assert find_commit_sha(checkout) == git(repo, "rev-parse", "HEAD")

    def test_import_time_value_uses_the_working_directory(self, repo):
        code = "import vask.git; print(vask.git.COMMIT_SHA)"
        # The vask this test imported, installed or not.
        env = {**GIT_ENV, "PYTHONPATH": str(Path(vask.__file__).parents[1])}
        out = subprocess.run(
            [sys.executable, "-c", code],
            cwd=repo / "sub",
            env=env,
            capture_output=True,
            text=True,
            check=False,
        )
        assert out.stdout.strip() == git(repo, "rev-parse", "HEAD"), out.stderr


class TestNoCommit:
    def test_outside_any_repository(self, tmp_path):
        assert not any((p / ".git").exists() for p in (tmp_path, *tmp_path.parents))
        assert find_commit_sha(tmp_path) is None

    def test_unborn_branch(self, tmp_path):
        git(tmp_path, "init", "-q")
        assert find_commit_sha(tmp_path) is None

    @pytest.mark.parametrize(
        "head",
        ["garbage", "ref: refs/heads/missing", "ref: ../../../etc/passwd", "ref: refs/heads/loop"],
    )
    def test_odd_heads_give_none(self, repo, head):
        (repo / ".git" / "HEAD").write_text(head + "\n")
        (repo / ".git" / "refs" / "heads" / "loop").write_text("ref: refs/heads/loop\n")
        assert find_commit_sha(repo) is None

    def test_broken_gitdir_file(self, tmp_path):
        (tmp_path / ".git").write_text("gitdir: /nonexistent/place\n")
        assert find_commit_sha(tmp_path) is None
        (tmp_path / ".git").write_bytes(b"\xff\xfe")
        assert find_commit_sha(tmp_path) is None
