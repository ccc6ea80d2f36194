"""A throwaway PostgreSQL cluster for the tests: initdb and pg_ctl on a Unix socket in a
temporary directory, removed afterwards.

initdb refuses to run as root: as root the cluster belongs to the unprivileged
``postgres`` user (Debian's package makes it), run through ``runuser``.  Two
roles can log in: the current user's name without a password (``trust``), and
:data:`PASSWORD_ROLE` with :data:`PASSWORD` (``scram-sha-256``), for the
tests of where a password may show.
"""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

PASSWORD_ROLE = "vask_pw"
PASSWORD = "pw-Zq8!never-shown"


def _bin(name: str) -> str | None:
    found = shutil.which(name)
    if found:
        return found
    candidates = sorted(glob.glob(f"/usr/lib/postgresql/*/bin/{name}"))
    return candidates[-1] if candidates else None


class Cluster:
    """A running cluster; :meth:`url` names a database on it, :meth:`restart` restarts it."""

    def __init__(self) -> None:
        self.initdb = _bin("initdb")
        self.pg_ctl = _bin("pg_ctl")
        if self.initdb is None or self.pg_ctl is None:
            raise RuntimeError("no initdb/pg_ctl (Debian's postgresql package)")
        self.root = Path(tempfile.mkdtemp(prefix="vask-pg-"))
        self.data = self.root / "data"
        self.socket = self.root / "socket"
        self.user = pwd.getpwuid(os.getuid()).pw_name
        self.as_user: list[str] = []
        if os.getuid() == 0:
            owner = pwd.getpwnam("postgres")
            os.chown(self.root, owner.pw_uid, owner.pw_gid)
            self.as_user = ["runuser", "-u", "postgres", "--"]
            self.user = "postgres"
        self.root.chmod(0o755)
        try:
            self._set_up()
        except BaseException:
            self.remove()  # nothing left running or behind
            raise

    def _set_up(self) -> None:
        self._run(
            [self.initdb, "-D", str(self.data), "-U", self.user, "-A", "trust", "-E", "UTF8"],
            timeout=120,
        )
        hba = self.data / "pg_hba.conf"
        hba.write_text(
            f"local all {PASSWORD_ROLE} scram-sha-256\n"
            "local all all trust\n"
            f"host all {PASSWORD_ROLE} 127.0.0.1/32 scram-sha-256\n"
            "host all all 127.0.0.1/32 trust\n"
        )
        self.start()
        self.psql(
            f"CREATE ROLE {PASSWORD_ROLE} LOGIN PASSWORD '{PASSWORD}';"
            f" CREATE DATABASE vask_pw OWNER {PASSWORD_ROLE};"
        )

    def _run(self, argv: list[str], timeout: float = 60) -> str:
        done = subprocess.run(
            [*self.as_user, *argv], capture_output=True, text=True, timeout=timeout, check=False
        )
        if done.returncode != 0:
            raise RuntimeError(f"{argv[0]} failed: {done.stdout}{done.stderr}")
        return done.stdout

    def start(self) -> None:
        self.socket.mkdir(exist_ok=True)
        if self.as_user:
            shutil.chown(self.socket, "postgres", "postgres")
        if not hasattr(self, "port"):
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                self.port = probe.getsockname()[1]
        # fsync=off: a commit survives the server's processes being killed
        # (restart()'s immediate stop), not the machine's crash, which the tests
        # never cause. synchronous_commit stays on: off, a commit is acknowledged
        # before its WAL leaves the server's memory, and an immediate stop loses
        # commits the writers were told succeeded (no store could know it).
        options = (
            f"-k {self.socket} -c listen_addresses=127.0.0.1 -p {self.port}"
            " -c fsync=off -c max_connections=200 -c full_page_writes=off"
        )
        self._run(
            [self.pg_ctl, "-D", str(self.data), "-o", options, "-l", str(self.root / "log"),
             "-w", "-t", "60", "start"],  # fmt: skip
            timeout=90,
        )

    def stop(self, mode: str = "fast") -> None:
        self._run([self.pg_ctl, "-D", str(self.data), "-m", mode, "-w", "stop"], timeout=90)

    def restart(self, pause: float = 0.0) -> None:
        self.stop("immediate")
        time.sleep(pause)
        self.start()

    def url(self, schema: str = "vask", user: str | None = None, password: str | None = None,
            dbname: str = "postgres") -> str:  # fmt: skip
        who = user or self.user
        if password is not None:
            who = f"{who}:{password}"
        return f"postgresql://{who}@/{dbname}?host={self.socket}&port={self.port}&schema={schema}"

    def tcp_url(self, schema: str = "vask") -> str:
        """A URL of the loopback port rather than the socket."""
        return f"postgresql://{self.user}@127.0.0.1:{self.port}/postgres?schema={schema}"

    def psql(self, sql: str) -> str:
        import psycopg

        with psycopg.connect(host=str(self.socket), port=self.port, user=self.user,
                             dbname="postgres", autocommit=True) as conn:  # fmt: skip
            for statement in filter(str.strip, sql.split(";")):
                conn.execute(statement)
        return ""

    def remove(self) -> None:
        try:
            self.stop("immediate")
        except Exception:  # noqa: BLE001 - removed all the same
            pass
        shutil.rmtree(self.root, ignore_errors=True)
