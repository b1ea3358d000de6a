"""Running the real program against replaced system programs without changing the machine.

The program starts its helpers by fixed absolute paths, so tests run it as root inside a private
mount namespace (`unshare -m`) in which an overlay covers a system directory. Whatever the test
puts into, or deletes from, the overlay is gone when the namespace ends.
"""
import os
import shutil
import subprocess
import tempfile

from prerequisites import require


def require_root_namespaces():
    """Skips outside CI when root or mount namespaces are missing; in CI that is a failure."""
    reason = None
    if os.geteuid() != 0:
        reason = "needs root for mount namespaces and overlays"
    elif subprocess.run(["unshare", "-m", "true"], capture_output=True).returncode != 0:
        reason = "unshare -m is not permitted here"
    require(reason is None, reason)


class Overlay:
    """A temporary upper layer for one system directory, such as /usr/bin."""

    def __init__(self, target="/usr/bin"):
        self.target = target
        self.root = tempfile.mkdtemp(prefix="velto-overlay.")
        self.upper = os.path.join(self.root, "upper")
        self.work = os.path.join(self.root, "work")
        os.mkdir(self.upper)
        os.mkdir(self.work)
        self.removed = []

    def put(self, name, text, mode=0o755):
        path = os.path.join(self.upper, name)
        with open(path, "w") as handle:
            handle.write(text)
        os.chmod(path, mode)

    def remove(self, name):
        self.removed.append(name)

    def mount_text(self):
        lines = [
            "mount -t overlay overlay -o lowerdir={0},upperdir={1},workdir={2} {0}".format(
                self.target, self.upper, self.work)
        ]
        lines += ["rm -f {}/{}".format(self.target, name) for name in self.removed]
        return "\n".join(lines)

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


def run_in_namespace(overlays, argv, setup="", popen=False, **kwargs):
    """Runs argv inside a private mount namespace with the overlays mounted. The program takes the
    place of the namespace's shell (same process), so with popen=True the Popen signals it."""
    script = "set -e\nmount --make-rprivate /\n"
    script += "\n".join(overlay.mount_text() for overlay in overlays)
    script += "\n" + setup + '\nexec "$@"\n'
    command = ["unshare", "-m", "/bin/sh", "-c", script, "namespace"] + list(argv)
    return subprocess.Popen(command, **kwargs) if popen else subprocess.run(command, **kwargs)
