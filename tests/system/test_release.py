"""`make dist`: the release artefact is reproducible, stripped, and linked to its debug information.

The suite's own build is one of the two builds compared: it was made in the checkout's build
folder, earlier. The test makes the other with `make dist` in a copy of the sources in another
folder, now, in another time zone and with another umask. A build of the suite that is not in
release form (another build type, or the sanitizers) cannot stand in, so a second copy is built.
"""
import os
import pathlib
import shutil
import subprocess
import tempfile
import zlib

import pytest

from source_copy import copy_sources

SOURCE = pathlib.Path(os.environ["VELTO_SOURCE_DIR"])
SETUP = pathlib.Path(os.environ["VELTO_SETUP"])
RELEASE_FORM = os.environ["VELTO_RELEASE_FORM"] == "1"
NAME = "velto-linux-setup"
FILES = [NAME, NAME + ".debug", "SHA256SUMS"]


def last_commit_time():
    """What `make dist` takes from git; any fixed value serves where git cannot say."""
    result = subprocess.run(["git", "-C", str(SOURCE), "log", "-1", "--format=%ct"],
                            capture_output=True, text=True)
    found = result.stdout.strip() if result.returncode == 0 else ""
    return found or "1767225600"


EPOCH = last_commit_time()


def make_environment(**extra):
    """The test's environment without the settings of a `make` that may have started ctest."""
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    environment.update(extra)
    return environment


def make_dist(source):
    """`make dist` in `source`, at a time and in a time zone of its own, under umask 077, with the
    suite's package: the stand-in, asked for by name, unless a release package was given. The
    value comes with white space around it, which make dist trims: blank, it means the stand-in."""
    package = f" {os.environ.get('VELTO_PACKAGE', '')} "
    result = subprocess.run(
        ["sh", "-c", 'umask 077 && exec make -C "$1" dist SOURCE_DATE_EPOCH="$2"', "sh",
         str(source), EPOCH],
        env=make_environment(TZ="Pacific/Kiritimati", VELTO_PACKAGE=package,
                             VELTO_DIST_STAND_IN="1"), capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    return source / "dist"


def differences(first, second):
    """diffoscope's account of how two files differ, shortened, for the failure message."""
    if shutil.which("diffoscope") is None:
        return "(diffoscope is not installed)"
    report = subprocess.run(["diffoscope", "--text", "-", str(first), str(second)],
                            capture_output=True, text=True, timeout=600)
    return "\n".join(report.stdout.splitlines()[:200])


def make_dist_in_copy(folder):
    copy_sources(SOURCE, folder)
    return make_dist(folder)


@pytest.fixture(scope="module")
def dists():
    """The artefact from a copy of the sources, the same artefact made from the suite's build (or
    from a second copy in a folder of another length), and a scratch folder."""
    with tempfile.TemporaryDirectory(prefix="velto-test-release.") as scratch:
        scratch = pathlib.Path(scratch)
        fresh = make_dist_in_copy(scratch / "a-folder-of-another-name" / "velto")
        if RELEASE_FORM:
            reference = scratch / "from-the-suite-build"
            subprocess.run([SOURCE / "tools" / "make-dist", SETUP, reference, EPOCH], check=True)
        else:
            reference = make_dist_in_copy(scratch / "second")
        (scratch / "work").mkdir()
        yield fresh, reference, scratch / "work"


def test_two_builds_in_other_folders_at_other_times_give_the_same_files(dists):
    fresh, reference, _ = dists
    for name in FILES:
        same = (fresh / name).read_bytes() == (reference / name).read_bytes()
        assert same, f"{name} differs:\n" + differences(fresh / name, reference / name)
        assert (fresh / name).stat().st_mode == (reference / name).stat().st_mode


def sections(path):
    listing = subprocess.run(["readelf", "-S", "-W", str(path)], capture_output=True, text=True,
                             check=True).stdout
    return {field for line in listing.splitlines() for field in line.split()
            if field.startswith(".")}


def build_id(path):
    notes = subprocess.run(["readelf", "-n", str(path)], capture_output=True, text=True,
                           check=True).stdout
    return [line.split()[-1] for line in notes.splitlines() if "Build ID:" in line]


def test_the_executable_is_stripped_and_finds_its_debug_information(dists):
    dist, _, work = dists
    executable, debug = dist / NAME, dist / (NAME + ".debug")
    assert not {".symtab", ".debug_info", ".debug_line"} & sections(executable)
    assert {".symtab", ".debug_info", ".debug_line"} <= sections(debug)
    assert build_id(executable) == build_id(debug) and len(build_id(executable)) == 1
    # .gnu_debuglink: the debug file's base name, padding, then the CRC-32 of the file as published.
    link = work / "debuglink"
    subprocess.run(["objcopy", "--dump-section", f".gnu_debuglink={link}", str(executable),
                    str(work / "scratch-copy")], check=True)
    data = link.read_bytes()
    assert data.split(b"\0", 1)[0] == (NAME + ".debug").encode()
    assert int.from_bytes(data[-4:], "little") == zlib.crc32(debug.read_bytes())
    assert oct(executable.stat().st_mode & 0o777) == "0o755"
    assert {int((dist / name).stat().st_mtime) for name in FILES} == {int(EPOCH)}
    checked = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist, capture_output=True,
                             text=True)
    assert checked.returncode == 0 and checked.stdout == f"{NAME}: OK\n{NAME}.debug: OK\n"
    check_mode = subprocess.run([str(executable), "--check"],
                                env={"TMPDIR": str(work), "PATH": "/usr/bin:/bin"})
    assert check_mode.returncode == 0
