"""Running real programs against stand-ins of the system's own without changing the machine.

The programs start their helpers by fixed absolute paths (/usr/bin/dpkg-deb, /usr/bin/gdbus,
/usr/bin/apt-get), so a test runs them as root in a private mount namespace, in which a layer of
stand-ins lies over /usr/bin as a read-only overlay. Read-only, the layer needs no upper or work
directory, which two mounts at once could not share: runs side by side share one set of stand-ins,
and none can change it. The private machine of sandbox.py, which must change the system for real,
is built from the same pieces: the probe, unshare() and overlay(), with writable overlays.
"""

import functools
import os
import pathlib
import shlex
import stat
import subprocess


def unshare(pid=False, net=False):
    """unshare(1) up to the command: a mount namespace of its own, and PID and network ones when
    asked. In its PID namespace the command is the first process, and /proc shows only its own."""
    return ["/usr/bin/unshare", "--mount", "--propagation", "private",
            *(["--pid", "--fork", "--mount-proc"] if pid else []), *(["--net"] if net else []),
            "--"]


@functools.cache
def unavailable_reason(pid=False, net=False):
    """Why the namespaces that unshare(pid, net) asks for cannot be had here, or None."""
    if os.geteuid() != 0:
        return "needs root for mount namespaces and overlays"
    if not os.access("/usr/bin/unshare", os.X_OK):
        return "/usr/bin/unshare is missing"
    probe = subprocess.run(unshare(pid, net) + ["/usr/bin/mount", "-t", "tmpfs", "tmpfs", "/mnt"],
                           stdin=subprocess.DEVNULL, capture_output=True)
    if probe.returncode != 0:
        return "cannot create namespaces: " + probe.stderr.decode(errors="replace").strip()
    return None


def require(pid=False, net=False):
    """Skips the calling case where the namespaces are unavailable; in CI that is a failure."""
    # Imported here: the private machine's first process uses this module, and needs no pytest.
    from prerequisites import require as require_available

    reason = unavailable_reason(pid, net)
    require_available(reason is None, reason)


def overlay(target, lower, upper=None, work=None):
    """mount(8)'s arguments for an overlay on `target` of the `lower` directories, the first on
    top: read-only, or with changes going to `upper` (by way of its `work` directory)."""
    options = "lowerdir=" + ":".join(map(str, lower))
    if upper is not None:
        options += f",upperdir={upper},workdir={work}"
    return ["-t", "overlay", "overlay", "-o", options, str(target)]


class MountNamespace:
    """Stand-ins over /usr/bin, and mounts of the test's own, for commands that each run in a
    private mount namespace. The mounts are made in the order first given; mounting over a target
    again replaces the earlier mount there."""

    def __init__(self, directory):
        self.directory = pathlib.Path(directory)
        self.stand_ins = self.directory / "usr-bin"
        self.stand_ins.mkdir()
        # The merged /usr/bin takes its owner and mode from the top layer.
        self.stand_ins.chmod(0o755)
        self.mounts = {"/usr/bin": overlay("/usr/bin", [self.stand_ins, "/usr/bin"])}

    def put(self, name, text):
        """Makes /usr/bin/NAME the program `text`."""
        path = self.stand_ins / name
        path.write_text(text)
        path.chmod(0o755)

    def remove(self, name):
        """Hides /usr/bin/NAME: a whiteout in the layer, overlayfs's mark of a removed file."""
        os.mknod(self.stand_ins / name, stat.S_IFCHR, os.makedev(0, 0))

    def bind(self, source, target):
        self.mounts[target] = ["--bind", str(source), target]

    def tmpfs(self, target, options):
        self.mounts[target] = ["-t", "tmpfs", "-o", options, "tmpfs", target]

    def argv(self, command):
        """The argument vector that runs `command` as root in a namespace with these mounts. The
        command takes the place of the namespace's shell (same process), so signals sent to the
        process started reach it."""
        mounts = "".join(shlex.join(["/usr/bin/mount", *arguments]) + "\n"
                         for arguments in self.mounts.values())
        return [*unshare(), "/bin/sh", "-c", f'set -e\n{mounts}exec "$@"', "namespace", *command]
