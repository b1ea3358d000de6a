"""A private copy of the machine for tests that must change it.

Each run gets fresh mount, PID and network namespaces (namespaces.py): overlays on /usr, /etc and
/var (so programs can be faked, removed, or installed for real by apt-get), its own /tmp and /run,
its own X server or Wayland compositors, and buses. Whatever the test does lands in the overlays'
upper directories in the private /run; the machine itself never changes. Every process started
inside ends with the namespace, because its first process is the PID namespace's init.
"""

import json
import os
import pathlib
import pwd
import shutil
import subprocess
import sys

import namespaces
from call import RESULT_MARK, call_reporting, load_test_module
from displays import Weston, accepts_connections, start_xvfb
from waiting import wait_for

HERE = pathlib.Path(__file__).resolve().parent

CALL = HERE / "call.py"
# The interpreter of the tests. Scenarios may fake or remove /usr/bin/python3 inside, so the
# harness itself always runs the versioned interpreter behind it.
PYTHON = os.path.realpath("/usr/bin/python3")
USER_PATH = "/usr/local/bin:/usr/bin:/bin"

SOURCE_DIR = pathlib.Path(os.environ.get("VELTO_SOURCE_DIR", HERE.parent.parent))
BUILD_DIR = pathlib.Path(os.environ.get("VELTO_BUILD_DIR", SOURCE_DIR / "build"))
SETUP_PROGRAM = BUILD_DIR / "velto-linux-setup"

def embedded_deb():
    """The package file the build embedded: the stand-in built from package/ unless named."""
    from build_facts import package_facts

    default = BUILD_DIR / "package" / "{Package}_{Version}_{Architecture}.deb".format(
        **package_facts())
    return pathlib.Path(os.environ.get("VELTO_EMBEDDED_DEB", default))



def payload_digest():
    """The digest the program carries: that of the package file the build embedded."""
    import hashlib

    return hashlib.sha256(embedded_deb().read_bytes()).hexdigest()


def payload_size():
    return embedded_deb().stat().st_size


# --- outside: starting a run -------------------------------------------------------------------


def unavailable_reason(display="x11"):
    """Why a private machine showing `display` ("x11" or "wayland") cannot run here, or None."""
    if reason := namespaces.unavailable_reason(pid=True, net=True):
        return reason
    server = "/usr/bin/weston" if display == "wayland" else "/usr/bin/Xvfb"
    for tool in (server, "/usr/bin/dbus-run-session"):
        if not os.access(tool, os.X_OK):
            return f"{tool} is missing (tools/install-deps installs it)"
    return None


def require(display="x11"):
    """Skips the calling test where the machine cannot run; in CI that is a failure."""
    # Imported here: this file is also the namespace's first process, which needs no pytest.
    from prerequisites import require as require_available

    reason = unavailable_reason(display)
    require_available(reason is None, reason)


def parse_result(stdout, stderr, what):
    for line in reversed(stdout.splitlines()):
        if line.startswith(RESULT_MARK):
            result = json.loads(line[len(RESULT_MARK):])
            if isinstance(result, dict) and "error" in result:
                raise AssertionError(f"{what} failed:\n{result['error']}\n--- stderr ---\n{stderr}")
            return result
    raise AssertionError(f"{what} gave no result\n--- stdout ---\n{stdout}\n--- stderr ---\n{stderr}")


def run_inside(module, function, arguments=None, timeout=180, name=None):
    """Calls module.function(machine=Machine, **arguments) as root inside fresh namespaces."""
    work = BUILD_DIR / "tests" / "sandbox" / (name or function)
    if work.exists():
        shutil.rmtree(work)
    work.mkdir(parents=True)
    arguments = dict(arguments or {}, work=str(work))
    command = namespaces.unshare(pid=True, net=True) + [
        PYTHON, str(HERE / "sandbox.py"), str(module), function, json.dumps(arguments)]
    completed = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    (work / "stdout.txt").write_text(completed.stdout)
    (work / "stderr.txt").write_text(completed.stderr)
    result = parse_result(completed.stdout, completed.stderr, f"{function} in the sandbox")
    # Upper directories hold root-owned copies of system files: keep only the logs.
    for entry in work.iterdir():
        if entry.is_dir():
            shutil.rmtree(entry, ignore_errors=True)
    return result


# --- inside: the private machine ---------------------------------------------------------------


class User:
    def __init__(self, name):
        entry = pwd.getpwnam(name)
        self.name = name
        self.uid = entry.pw_uid
        self.gid = entry.pw_gid
        self.home = entry.pw_dir
        self.runtime_dir = f"/run/user/{self.uid}"


class Machine:
    """The namespace's view of the machine. Built once, as root, by the namespace's first process."""

    # What the namespace covers with a copy of its own.
    COVERED = ("/usr", "/etc", "/var", "/tmp", "/run")

    def __init__(self, work):
        self.work = pathlib.Path(work)
        # The checkout and the build folder may lie under a covered directory (a clone in /tmp):
        # hold on to them now, and put them back in place once everything is covered.
        kept = self._hold(SOURCE_DIR, BUILD_DIR, self.work)
        # The overlays' upper layers live in the private /run, never below what they cover.
        self.run(["/usr/bin/mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run"])
        layers = pathlib.Path("/run/velto-sandbox")
        for directory in ("usr", "etc", "var"):
            upper = layers / f"{directory}.upper"
            lower_work = layers / f"{directory}.work"
            upper.mkdir(parents=True)
            lower_work.mkdir()
            self.run(["/usr/bin/mount", *namespaces.overlay(f"/{directory}", [f"/{directory}"],
                                                            upper, lower_work)])
        self.run(["/usr/bin/mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/tmp"])
        for path, descriptor in kept:
            os.makedirs(path, exist_ok=True)
            self.run(["/usr/bin/mount", "--no-canonicalize", "--bind",
                      f"/proc/self/fd/{descriptor}", str(path)],
                     pass_fds=(descriptor,))
            os.close(descriptor)
        os.makedirs("/run/user", 0o755)
        os.makedirs("/tmp/home", 0o755)
        # Shared with the test users: the fakes' records and the users' screenshots.
        self.log_dir = pathlib.Path("/tmp/log")
        self.shots_dir = pathlib.Path("/tmp/shots")
        for directory in (self.log_dir, self.shots_dir):
            directory.mkdir()
            os.chmod(directory, 0o1777)
        self.display = None
        self.compositors = {}  # by user name
        self.background = []

    @classmethod
    def _hold(cls, *paths):
        """Descriptors of those `paths` that a covered directory would hide, outermost only."""
        hidden = sorted({pathlib.Path(os.path.realpath(p)) for p in paths
                         if any(os.path.realpath(p).startswith(c + "/") for c in cls.COVERED)},
                        key=lambda p: len(p.parts))
        outermost = []
        for path in hidden:
            if not any(path.is_relative_to(o) for o in outermost):
                outermost.append(path)
        return [(path, os.open(path, os.O_PATH | os.O_DIRECTORY)) for path in outermost]

    @staticmethod
    def run(command, **kwargs):
        return subprocess.run(command, check=True, capture_output=True, text=True, **kwargs)

    def add_user(self, name):
        self.run(["/usr/sbin/useradd", "--create-home", "--home-dir", f"/tmp/home/{name}",
                  "--shell", "/bin/sh", "--user-group", name])
        user = User(name)
        os.makedirs(user.runtime_dir, 0o700)
        os.chown(user.runtime_dir, user.uid, user.gid)
        return user

    def root(self):
        """Root, with a home inside the namespace so nothing lands in the real /root."""
        user = User("root")
        user.home = "/tmp/home/root"
        os.makedirs(user.home, 0o700, exist_ok=True)
        os.makedirs(user.runtime_dir, 0o700, exist_ok=True)
        return user

    def start_x(self):
        """An X server of the namespace's own, display :1."""
        process, self.display = start_xvfb(1)
        self.background.append(process)
        return self.display

    def start_wayland(self, user):
        """A headless Wayland compositor for `user`'s session. Like a desktop session's, it runs
        as the user, so its socket lies in the user's own runtime directory (in the private /run),
        where the user's programs reach it and other users do not."""
        compositor = Weston(user.runtime_dir)
        self.background.append(compositor.start(user=(user.uid, user.gid)))
        self.compositors[user.name] = compositor
        return compositor

    def start_system_bus(self):
        os.makedirs("/run/dbus", exist_ok=True)
        self.run(["/usr/bin/dbus-daemon", "--system", "--fork"])
        wait_for(lambda: accepts_connections("/run/dbus/system_bus_socket"), 20, "the system bus")

    def user_environment(self, user, extra=None):
        environment = {
            "HOME": user.home,
            "USER": user.name,
            "LOGNAME": user.name,
            "SHELL": "/bin/sh",
            "PATH": USER_PATH,
            "LANG": "C.UTF-8",
            "XDG_RUNTIME_DIR": user.runtime_dir,
            "GSETTINGS_BACKEND": "memory",
            "VELTO_SOURCE_DIR": str(SOURCE_DIR),
            "VELTO_BUILD_DIR": str(BUILD_DIR),
        }
        if user.name in self.compositors:
            environment.update(self.compositors[user.name].variables())
        elif self.display:
            environment["DISPLAY"] = self.display
        environment.update(extra or {})
        return environment

    def call_as(self, user, module, function, arguments=None, environment=None, timeout=150):
        """Calls module.function(**arguments) as `user` in a new desktop session: a session bus
        of its own (dbus-run-session), and the user's compositor or else the namespace's X
        server."""
        command = ["/usr/bin/dbus-run-session", "--", PYTHON, str(CALL), str(module), function,
                   json.dumps(arguments or {})]
        if user.uid != 0:
            command = ["/usr/bin/setpriv", f"--reuid={user.uid}", f"--regid={user.gid}",
                       "--init-groups", "--"] + command
        completed = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                                   env=self.user_environment(user, environment), cwd=user.home)
        (self.work / f"{function}.{user.name}.stderr.txt").write_text(completed.stderr)
        return parse_result(completed.stdout, completed.stderr, f"{function} as {user.name}")

    # Fakes in /usr/bin. They are shell scripts: the kernel runs them through their "#!" line.

    def fake(self, name, body):
        """Puts a recording program at /usr/bin/NAME: it appends its name to /tmp/log/calls,
        writes its argument vector (NUL-separated) to /tmp/log/NAME.K, then runs `body`."""
        path = pathlib.Path("/usr/bin") / name
        if path.is_symlink() or path.exists():
            path.unlink()
        path.write_text(
            "#!/bin/sh\n"
            f"k=$(/usr/bin/grep -c '^{name}$' /tmp/log/calls 2>/dev/null)\n"
            "k=${k:-0}\n"
            f"echo {name} >> /tmp/log/calls\n"
            f"printf '%s\\0' \"$0\" \"$@\" > /tmp/log/{name}.$k\n"
            + body + "\n")
        path.chmod(0o755)

    def recording_python(self):
        """Wraps the real interpreter so each start of /usr/bin/python3 is recorded."""
        self.fake("python3", f'exec {PYTHON} "$@"')

    def calls(self):
        path = self.log_dir / "calls"
        return path.read_text().split() if path.exists() else []

    def argv_of(self, name, call=0):
        path = self.log_dir / f"{name}.{call}"
        return path.read_bytes().decode().split("\0")[:-1]

    def leftovers(self):
        """Staging and work directories that outlived a run."""
        found = [str(p) for p in pathlib.Path("/tmp").glob("velto-installer-*")]
        found += [str(p) for p in pathlib.Path("/var/tmp").glob("velto-install.*")]
        return found

    def keep_screenshots(self):
        """Copies the screenshots the users took into the build folder; gives their paths."""
        kept = []
        for shot in sorted(self.shots_dir.glob("*.png")):
            shutil.copy(shot, BUILD_DIR / shot.name)
            kept.append(str(BUILD_DIR / shot.name))
        return kept

    def stop(self):
        for process in self.background:
            process.terminate()
        for process in self.background:
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()


def inside_main():
    """Entry of the namespace's first process: build the machine, call the function, report."""
    module_path, function, arguments = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
    scenario = load_test_module(module_path, "velto_inside_module")[function]
    machine = Machine(arguments.pop("work"))
    try:
        call_reporting(scenario, machine=machine, **arguments)
    finally:
        machine.stop()


if __name__ == "__main__":
    inside_main()
