"""Hosts for the tests in network namespaces of their own (Debian's iproute2;
needs root): each host has a veth pair whose other end is on a bridge in a
switch namespace, so nothing of this machine's own network is touched.
`cut(host)` and `heal(host)` take the host's link down and up.

Namespaces are named telem-<pid>-<host>; tools/remove-test-netns removes
those of processes that are gone (.ci/run calls it at its end).
"""

import os
import shutil
import subprocess
import time

PREFIX = "telem-"


def _clean_env():
    # `ip` runs as it would anywhere, without the sanitizer runtime that the
    # sanitizer build preloads into the tests.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}


def ip(*args, netns=None):
    cmd = ["ip", *(["-n", netns] if netns else []), *map(str, args)]
    done = subprocess.run(cmd, capture_output=True, text=True, env=_clean_env())
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(cmd)} failed: {done.stderr.strip()}")


def unavailable():
    """Why these tests cannot run here, or None."""
    if os.geteuid() != 0:
        return "network namespaces need root"
    if shutil.which("ip") is None:
        return "ip (Debian's iproute2) is not installed: make test installs it"
    return None


class Network:
    """A switch and hosts on the subnet 10.<a>.<b>.0/24, host i at .i+1."""

    def __init__(self, *hosts):
        tag = os.getpid()
        self.subnet_prefix = f"10.{200 + tag % 50}.{tag // 50 % 250}"
        self.subnet = f"{self.subnet_prefix}.0/24"
        self.switch = f"{PREFIX}{tag}-sw"
        self.hosts = {}
        self.address = {}
        self._ends = {}
        try:
            ip("netns", "add", self.switch)
            ip("link", "add", "br0", "type", "bridge", netns=self.switch)
            ip("link", "set", "br0", "up", netns=self.switch)
            for i, host in enumerate(hosts):
                ns = f"{PREFIX}{tag}-{host}"
                ip("netns", "add", ns)
                self.hosts[host] = ns
                end = f"p{i}"
                ip("link", "add", "eth0", "netns", ns, "type", "veth", "peer", "name", end, "netns", self.switch)
                ip("link", "set", end, "master", "br0", netns=self.switch)
                ip("link", "set", end, "up", netns=self.switch)
                self.address[host] = f"{self.subnet_prefix}.{i + 1}"
                ip("addr", "add", f"{self.address[host]}/24", "dev", "eth0", netns=ns)
                ip("link", "set", "eth0", "up", netns=ns)
                ip("link", "set", "lo", "up", netns=ns)
                self._ends[host] = end
        except BaseException:
            self.remove()
            raise

    def command(self, host, *argv):
        """argv run on `host`."""
        return ["ip", "netns", "exec", self.hosts[host], *map(str, argv)]

    def cut(self, host):
        ip("link", "set", self._ends[host], "down", netns=self.switch)

    def heal(self, host):
        ip("link", "set", self._ends[host], "up", netns=self.switch)
        time.sleep(0.5)  # the bridge and ARP take a moment

    def remove(self):
        for ns in [*self.hosts.values(), self.switch]:
            subprocess.run(["ip", "netns", "del", ns], capture_output=True, env=_clean_env())
