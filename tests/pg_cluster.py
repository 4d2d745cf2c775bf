"""A throwaway PostgreSQL cluster for the tests: initdb into a temporary
directory, the server listening only on a Unix socket in that directory.

PostgreSQL refuses to run as root; under root the server's commands run as the
`postgres` system user (runuser).
"""

import glob
import os
import pathlib
import pwd
import shutil
import signal
import subprocess
import tempfile


def bindir():
    """The directory of initdb and pg_ctl: the newest /usr/lib/postgresql/*/bin, else PATH."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    if found:
        return pathlib.Path(found[-1]).parent
    initdb = shutil.which("initdb")
    if initdb is None:
        raise RuntimeError("PostgreSQL's initdb was not found: install the Debian package postgresql (make test does)")
    return pathlib.Path(initdb).parent


def _parent(proc):
    try:
        return int((proc / "stat").read_text().rsplit(")", 1)[1].split()[1])
    except (OSError, IndexError, ValueError):
        return None


class Cluster:
    def __init__(self, netns=None, standby_of=None):
        # With `netns`, the server runs in that network namespace (a host of
        # its own: tests/netns.py); its Unix socket is reachable from here.
        # With `standby_of` (a running Cluster), an asynchronous streaming
        # standby of it, from a base backup.
        self.netns = netns
        self.bin = bindir()
        self.as_postgres = os.geteuid() == 0
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="telem-pg-"))
        self.data = self.dir / "data"
        if self.as_postgres:
            user = pwd.getpwnam("postgres")
            os.chown(self.dir, user.pw_uid, user.pw_gid)
        if standby_of is None:
            self.run("initdb", "-D", self.data, "-U", "postgres", "-A", "trust", "-E", "UTF8", "--locale=C",
                     "--no-sync")
        else:
            self.run("pg_basebackup", "-D", self.data, "-R", "-X", "stream", "--no-sync", "-d",
                     standby_of.conninfo)
        self.conninfo = f"host={self.dir} dbname=postgres user=postgres"

    def run(self, tool, *args):
        cmd = [str(self.bin / tool), *map(str, args)]
        if self.as_postgres:
            cmd = ["runuser", "-u", "postgres", "--", *cmd]
        if self.netns is not None:
            cmd = ["ip", "netns", "exec", self.netns, *cmd]
        # The server runs as it would anywhere: without the sanitizer runtime
        # that the sanitizer build preloads into the tests.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}
        subprocess.run(cmd, check=True, capture_output=True, text=True, timeout=120, env=env)

    def start(self, *settings, listen="", clients=None):
        # No TCP port unless `listen` gives an address, which the hosts of the
        # subnet `clients` may connect to; the socket lives in the cluster's
        # directory. `settings` are more server settings, "name=value".
        if clients is not None:
            with open(self.data / "pg_hba.conf", "a") as hba:
                hba.write(f"host all all {clients} trust\n")
        options = f"-c listen_addresses='{listen}' -k {self.dir} -c fsync=off" + "".join(f" -c {s}" for s in settings)
        self.run("pg_ctl", "-D", self.data, "-l", self.dir / "server.log", "-o", options, "-w", "start")

    def stop(self, mode="fast"):
        self.run("pg_ctl", "-D", self.data, "-m", mode, "-w", "stop")

    def promote(self):
        """A standby becomes a server that takes writes (a failover)."""
        self.run("pg_ctl", "-D", self.data, "-w", "promote")

    def processes(self):
        """The server's processes: the postmaster and its children."""
        postmaster = int((self.data / "postmaster.pid").read_text().split()[0])
        children = [int(p.name) for p in pathlib.Path("/proc").iterdir() if p.name.isdigit() and _parent(p) == postmaster]
        return [postmaster, *children]

    def pause(self):
        """Stops every server process (SIGSTOP): a server that hangs, its connections open."""
        for pid in self.processes():
            os.kill(pid, signal.SIGSTOP)

    def resume(self):
        for pid in self.processes():
            os.kill(pid, signal.SIGCONT)

    def remove(self):
        try:
            self.stop("immediate")
        except subprocess.CalledProcessError:
            pass  # not running
        shutil.rmtree(self.dir, ignore_errors=True)
