"""A throw-away PostgreSQL cluster on 127.0.0.1 for the line's database tests:
initdb in a temporary folder (run as the `postgres` user when the tests run as
root), a role `station` with a password, a database `stbline`, and a private
odbcinst.ini/odbc.ini (ODBCSYSINI) with psqlODBC as "PostgreSQL Unicode" and
its own logging off, plus the DSN "stbline".

What the cluster holds is read back through psql, never through the tool.
"""

import os
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

PG_BIN = Path("/usr/lib/postgresql/15/bin")
PSQLODBC = Path("/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so")
ADMIN_PASSWORD = "admin-secret-1"
STATION_USER = "station"
STATION_PASSWORD = "St4tion;pa=ss}w0rd"  # a ';', a '=' and a '}' that the connection string must carry
DATABASE = "stbline"


def missing_tools():
    """What the database tests need and this machine lacks."""
    missing = [str(path) for path in (PG_BIN / "initdb", PG_BIN / "pg_ctl", PSQLODBC) if not path.exists()]
    missing += [tool for tool in ("psql",) if shutil.which(tool) is None]
    return missing


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Cluster:
    """The cluster, started; stop() and start() again for an outage, close() at the end.
    `durable`: commits forced to the disk, as a line's server does (the tests need not)."""

    def __init__(self, durable=False):
        self.dir = Path(tempfile.mkdtemp(prefix="stbload-pg-"))
        self.data = self.dir / "data"
        self.port = free_port()
        self.as_postgres = os.geteuid() == 0
        if self.as_postgres:
            os.chmod(self.dir, 0o755)
            shutil.chown(self.dir, "postgres", "postgres")
        (self.dir / "pw").write_text(ADMIN_PASSWORD + "\n")
        if self.as_postgres:
            shutil.chown(self.dir / "pw", "postgres", "postgres")
        self._run([str(PG_BIN / "initdb"), "-D", str(self.data), "-U", "postgres", "--pwfile", str(self.dir / "pw"),
                   "-A", "scram-sha-256", "--no-sync"])
        with open(self.data / "postgresql.conf", "a") as conf:
            conf.write("listen_addresses = '127.0.0.1'\nport = %d\nunix_socket_directories = '%s'\nfsync = %s\n"
                       "max_connections = 200\n" % (self.port, self.dir, "on" if durable else "off"))
        self.start()
        self.sql("CREATE ROLE %s LOGIN PASSWORD '%s'" % (STATION_USER, STATION_PASSWORD.replace("'", "''")),
                 database="postgres")
        self.sql("CREATE DATABASE %s OWNER %s" % (DATABASE, STATION_USER), database="postgres")
        self.odbc_dir = self.dir / "odbc"
        self.odbc_dir.mkdir()
        (self.odbc_dir / "odbcinst.ini").write_text(
            "[PostgreSQL Unicode]\nDriver=%s\nDebug=0\nCommLog=0\n" % PSQLODBC)
        (self.odbc_dir / "odbc.ini").write_text(
            "[stbline]\nDriver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=%d\nDatabase=%s\nUsername=%s\n"
            % (self.port, DATABASE, STATION_USER))

    def _run(self, command, **kwargs):
        if self.as_postgres:
            command = ["runuser", "-u", "postgres", "--"] + command
        return subprocess.run(command, check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)

    def start(self):
        self._run([str(PG_BIN / "pg_ctl"), "-D", str(self.data), "-l", str(self.dir / "server.log"), "-w",
                   "-t", "60", "start"])

    def stop(self):
        self._run([str(PG_BIN / "pg_ctl"), "-D", str(self.data), "-m", "fast", "-w", "-t", "60", "stop"])

    def close(self):
        try:
            self.stop()
        except subprocess.CalledProcessError:
            pass
        shutil.rmtree(self.dir, ignore_errors=True)

    def connection(self, database=DATABASE, user=STATION_USER):
        """A driver's connection string, no password in it."""
        return ("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%d;Database=%s;Uid=%s"
                % (self.port, database, user))

    def env(self, password=STATION_PASSWORD):
        """What a station under this cluster needs in its environment."""
        env = {"ODBCSYSINI": str(self.odbc_dir), "ODBCINI": str(self.odbc_dir / "odbc.ini")}
        if password is not None:
            env["STBLOAD_DB_PASSWORD"] = password
        return env

    def sql(self, statement, database=DATABASE):
        """Runs `statement` as the administrator; returns its rows as lists of text."""
        deadline = time.monotonic() + 120
        while True:
            done = subprocess.run(["psql", "-h", "127.0.0.1", "-p", str(self.port), "-U", "postgres", "-d", database,
                                   "-X", "-A", "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1", "-c", statement],
                                  env=dict(os.environ, PGPASSWORD=ADMIN_PASSWORD), stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
            if done.returncode == 0:
                return [line.split("\t") for line in done.stdout.splitlines() if line]
            # Just started: the server may still refuse for a moment.
            if "starting up" not in done.stderr or time.monotonic() > deadline:
                raise AssertionError("psql failed: %s\n%s" % (statement, done.stderr))
            time.sleep(0.1)

    def reset(self):
        """An empty database again: the tool makes its tables on first use."""
        self.sql("DROP TABLE IF EXISTS stb_boxes, stb_ranges, stb_leases, stb_schema, stb_approvals")
