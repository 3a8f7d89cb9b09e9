"""A throwaway MariaDB server for the server reader's tests and benchmark: a
data directory made by mariadb-install-db in a folder of the caller's, one
mariadbd on a Unix socket there (no TCP), root without password, and, when
openssl is there, TLS with a certificate for "localhost" from a CA made for
it. `start` raises Unavailable, saying why, when the programs are missing or
the server does not come up; `MariaDB.stop` ends it.

Only root's own socket connections are made by the helper itself: SQL goes
to the `mariadb` client on its standard input, never on its command line."""

from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

SBIN = ("/usr/sbin", "/usr/local/sbin", "/usr/local/mysql/bin")
# AF_UNIX paths are cut at 108 bytes.
LONGEST_SOCKET_PATH = 100


class Unavailable(Exception):
    """No throwaway server can be had here (why)."""


def program(name: str) -> str | None:
    """The path of a program on PATH or in the usual sbin folders."""
    return shutil.which(name) or next(
        (os.path.join(folder, name) for folder in SBIN
         if os.access(os.path.join(folder, name), os.X_OK)), None)


def programs() -> dict[str, str]:
    """The server, installer, client and dump programs; Unavailable names
    the missing ones."""
    found = {role: program(name) or program(fallback) for role, name, fallback in (
        ("server", "mariadbd", "mysqld"), ("install", "mariadb-install-db", "mysql_install_db"),
        ("client", "mariadb", "mysql"), ("dump", "mariadb-dump", "mysqldump"))}
    missing = [role for role, path in found.items() if path is None]
    if missing:
        raise Unavailable(f"MariaDB's {', '.join(missing)} program(s) not found "
                          "(apt-get install mariadb-server)")
    return {role: path for role, path in found.items() if path is not None}


@dataclass(frozen=True)
class TlsFiles:
    """A CA, a server certificate for "localhost" signed by it, and a CA
    that signed nothing here (for a failed check)."""

    ca: str
    certificate: str
    key: str
    other_ca: str


def make_tls(folder: Path) -> TlsFiles | None:
    """TLS files made with openssl in `folder`, or None without openssl."""
    openssl = shutil.which("openssl")
    if openssl is None:
        return None
    folder.mkdir()
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    (folder / "san.cnf").write_text("subjectAltName=DNS:localhost\n")
    commands = [
        [openssl, "req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
         "-subj", "/CN=lineage test CA"],
        [openssl, "req", "-x509", *key, "-keyout", "other.key", "-out", "other.pem",
         "-days", "2", "-subj", "/CN=another CA"],
        [openssl, "req", *key, "-keyout", "server.key", "-out", "server.csr",
         "-subj", "/CN=localhost"],
        [openssl, "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
         "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "san.cnf"],
    ]
    for command in commands:
        if subprocess.run(command, cwd=folder, capture_output=True, timeout=60).returncode:
            return None
    return TlsFiles(str(folder / "ca.pem"), str(folder / "server.pem"),
                    str(folder / "server.key"), str(folder / "other.pem"))


def run(command: list[str], what: str, stdin: str | None = None, timeout: float = 120) -> str:
    """The standard output of a command; Unavailable with its last error line
    when it fails."""
    try:
        done = subprocess.run(command, input=stdin, capture_output=True, text=True,
                              timeout=timeout)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise Unavailable(f"{what}: {error}") from None
    if done.returncode:
        last = (done.stderr.strip().splitlines() or ["no message"])[-1]
        raise Unavailable(f"{what} failed ({done.returncode}): {last}")
    return done.stdout


def answers(path: str) -> bool:
    """Whether a server listens on the Unix socket `path`."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
        probe.settimeout(1)
        try:
            probe.connect(path)
        except OSError:
            return False
    return True


@dataclass
class MariaDB:
    """A running throwaway server."""

    folder: Path
    socket: str
    process: subprocess.Popen[bytes]
    tls: TlsFiles | None
    tools: dict[str, str]

    def client(self, sql: str, timeout: float = 300) -> str:
        """Runs `sql` (DELIMITER lines allowed) as root; its output."""
        return run([self.tools["client"], "--no-defaults", f"--socket={self.socket}",
                    "--user=root", "--batch"], "mariadb client", stdin=sql, timeout=timeout)

    def dump(self, *databases: str) -> str:
        """mariadb-dump --routines --triggers --events --no-data of the databases."""
        return run([self.tools["dump"], "--no-defaults", f"--socket={self.socket}",
                    "--user=root", "--routines", "--triggers", "--events", "--no-data",
                    "--skip-dump-date", "--databases", *databases], "mariadb-dump")

    def stop(self) -> None:
        """Ends the server (killed when it does not stop within 30 s) and
        removes the socket's own folder, if it had one."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if Path(self.socket).parent != self.folder:
            shutil.rmtree(Path(self.socket).parent, ignore_errors=True)


def socket_folder(folder: Path) -> Path:
    """`folder`, or a short new one under the temporary folder when a
    socket path in `folder` would be too long."""
    if len(str(folder / "mariadb.sock")) <= LONGEST_SOCKET_PATH:
        return folder
    return Path(tempfile.mkdtemp(prefix="mdb"))


def start(folder: Path, *, tls: bool = True, options: tuple[str, ...] = (),
          timeout: float = 60) -> MariaDB:
    """A new server with its data in `folder` (which must not hold one yet);
    Unavailable, saying why, when it cannot be had."""
    tools = programs()
    folder.mkdir(parents=True, exist_ok=True)
    data = folder / "data"
    as_root = ["--user=root"] if os.geteuid() == 0 else []
    run([tools["install"], "--no-defaults", f"--datadir={data}", *as_root,
         "--auth-root-authentication-method=normal", "--skip-test-db"], "mariadb-install-db")
    files = make_tls(folder / "tls") if tls else None
    with_tls = [f"--ssl-ca={files.ca}", f"--ssl-cert={files.certificate}",
                f"--ssl-key={files.key}"] if files else []
    path = str(socket_folder(folder) / "mariadb.sock")
    log = folder / "server.log"
    command = [tools["server"], "--no-defaults", f"--datadir={data}", f"--socket={path}",
               "--skip-networking", f"--pid-file={folder / 'server.pid'}",
               f"--log-error={log}", "--innodb-buffer-pool-size=64M", *as_root, *with_tls,
               *options]
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    server = MariaDB(folder, path, process, files, tools)
    deadline = time.monotonic() + timeout
    while not (os.path.exists(path) and answers(path)):
        if process.poll() is not None or time.monotonic() > deadline:
            server.stop()
            text = log.read_text(errors="replace") if log.exists() else ""
            errors = [line for line in text.splitlines() if "[ERROR]" in line]
            raise Unavailable("mariadbd did not start: "
                              + (errors[0] if errors else f"exit {process.returncode}"))
        time.sleep(0.05)
    return server
