"""The desktop package is reproducible, and a release package is checked before it is embedded."""
import os
import pathlib
import shutil
import subprocess
import tempfile

import pytest

from build_facts import package_facts
from source_copy import commit, committed_copy, copy_sources

SOURCE = os.environ["VELTO_SOURCE_DIR"]
DEB = os.environ["VELTO_DESKTOP_DEB"]
FIELDS = package_facts()
WITH_DISPLAY = os.path.join(SOURCE, "tests", "ui", "with-display")


def configure(build_dir, *options):
    return subprocess.run(["cmake", "-S", SOURCE, "-B", build_dir, "-G", "Ninja",
                           "-DBUILD_TESTING=OFF", *options], capture_output=True, text=True)


def build(build_dir, target):
    return subprocess.run(["cmake", "--build", build_dir, "--target", target],
                          capture_output=True, text=True)


def test_a_second_build_folder_gives_the_same_package_bytes():
    with tempfile.TemporaryDirectory(prefix="velto-rebuild.") as other:
        assert configure(other).returncode == 0
        result = build(other, "velto_desktop_package")
        assert result.returncode == 0, result.stdout + result.stderr
        with open(os.path.join(other, "package", os.path.basename(DEB)), "rb") as handle:
            rebuilt = handle.read()
    with open(DEB, "rb") as handle:
        assert handle.read() == rebuilt


def test_the_package_has_the_expected_members_and_fields():
    members = subprocess.run(["ar", "t", DEB], capture_output=True, text=True, check=True)
    assert members.stdout.split() == ["debian-binary", "control.tar.gz", "data.tar.gz"]
    for field, value in FIELDS.items():
        out = subprocess.run(["dpkg-deb", "-f", DEB, field], capture_output=True, text=True,
                             check=True)
        assert out.stdout == value + "\n"
    listing = subprocess.run(["dpkg-deb", "-c", DEB], capture_output=True, text=True, check=True)
    assert "./usr/bin/velto-desktop" in listing.stdout


def release_package(directory, **fields):
    control = dict(FIELDS, **fields)
    tree = os.path.join(directory, "tree")
    os.makedirs(os.path.join(tree, "DEBIAN"))
    with open(os.path.join(tree, "DEBIAN", "control"), "w") as handle:
        for name, value in control.items():
            handle.write("{}: {}\n".format(name, value))
        handle.write("Maintainer: test <test@example.invalid>\nDescription: test\n")
    deb = os.path.join(directory, "release.deb")
    subprocess.run(["dpkg-deb", "--root-owner-group", "--build", tree, deb], check=True,
                   capture_output=True)
    return deb


@pytest.mark.parametrize("fields, named", [
    ({"Package": "velto-old"}, "Package"),
    ({"Version": "0.1.79"}, "Version"),
    ({"Architecture": "arm64"}, "Architecture"),
])
def test_a_release_package_with_other_fields_is_refused_by_name(fields, named):
    """Before anything is built; a package of another version is sent to the one line to change."""
    with tempfile.TemporaryDirectory(prefix="velto-release.") as scratch:
        deb = release_package(scratch, **fields)
        result = configure(os.path.join(scratch, "build"), "-DVELTO_PACKAGE=" + deb)
        assert result.returncode != 0
        assert f'{deb} has {named} "{fields[named]}"; the setup program installs {named} ' \
               f'"{FIELDS[named]}"' in result.stderr
        to_change = (f"to carry velto {fields[named]} instead of {FIELDS[named]}, change the "
                     f"VERSION in project() at the top of {SOURCE}/CMakeLists.txt")
        assert (to_change in result.stderr) is (named == "Version")


def test_the_next_velto_is_one_line_away(tmp_path):
    """Its version is typed in one place only, and changing it there gives a program that carries,
    shows and proves a stand-in of that version."""
    version = FIELDS["Version"]
    code = ["CMakeLists.txt", "Makefile", "cmake", "src", "scripts", "package", "tools", "bench"]
    typed = subprocess.run(["grep", "-rlF", version, *code], cwd=SOURCE, capture_output=True,
                           text=True).stdout.split()
    assert typed == ["CMakeLists.txt"]
    major, minor, patch = version.split(".")
    following = f"{major}.{minor}.{int(patch) + 1}"
    source = tmp_path / "source"
    copy_sources(SOURCE, source)
    declaration = (source / "CMakeLists.txt").read_text()
    assert declaration.count(f"VERSION {version} ") == 1
    (source / "CMakeLists.txt").write_text(declaration.replace(f"VERSION {version} ",
                                                               f"VERSION {following} "))
    build_dir = str(tmp_path / "build")
    result = subprocess.run(["cmake", "-S", str(source), "-B", build_dir, "-G", "Ninja",
                             "-DBUILD_TESTING=OFF"], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    result = build(build_dir, "velto-linux-setup")
    assert result.returncode == 0, result.stdout + result.stderr
    program = os.path.join(build_dir, "velto-linux-setup")
    staging = tmp_path / "staging"
    staging.mkdir()
    check = subprocess.run([program, "--check"], env={"TMPDIR": str(staging),
                                                       "PATH": "/usr/bin:/bin"})
    assert check.returncode == 0
    shown = subprocess.run(
        [WITH_DISPLAY, "/usr/bin/python3", "-c",
         "import sys; sys.path.insert(0, sys.argv[1]); from setup_window import SetupWindow\n"
         "window = SetupWindow(sys.argv[2]); print('shown:', window.labels()[0])\n"
         "window.close_and_wait()",
         os.path.join(SOURCE, "tests", "support"), program],
        env=dict(os.environ, NO_AT_BRIDGE="0"), capture_output=True, text=True, timeout=120)
    assert f"shown: Velto {following}\n" in shown.stdout, shown.stdout + shown.stderr


def make_dist(checkout, scratch, **variables):
    """`make dist` in `checkout` with `variables` in its environment, building under `scratch`."""
    environment = {name: value for name, value in os.environ.items()
                   if name not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "SOURCE_DATE_EPOCH",
                                   "VELTO_PACKAGE", "VELTO_DIST_STAND_IN")}
    return subprocess.run(["make", "-C", checkout, "dist", f"DIST_BUILD_DIR={scratch}/build",
                           f"DIST_DIR={scratch}/dist"], env=dict(environment, **variables),
                          capture_output=True, text=True)


@pytest.mark.parametrize("package, refusal", [
    ("", "VELTO_PACKAGE is not set"),
    (" \t ", "VELTO_PACKAGE=$' \\t ' is blank"),
    ("{scratch}/no such.deb", "VELTO_PACKAGE='{scratch}/no such.deb' names no existing file"),
    ("{scratch}", "VELTO_PACKAGE='{scratch}' is not a regular file"),
])
def test_make_dist_without_a_real_package_names_the_value_and_builds_nothing(tmp_path, package,
                                                                               refusal):
    result = make_dist(SOURCE, tmp_path, VELTO_PACKAGE=package.format(scratch=tmp_path))
    assert result.returncode != 0 and refusal.format(scratch=tmp_path) in result.stderr
    assert not {"build", "dist"} & set(os.listdir(tmp_path))


def test_make_dist_embeds_a_release_package_and_refuses_a_change_in_its_folder():
    """`VELTO_PACKAGE=… make dist` with clean sources, as a release is made, from the folder
    `velto` of a larger repository: the package at a path with spaces, given with white space
    around it; a later commit and a change not committed outside the folder, which neither date
    nor stop it. With a change inside the folder, it builds nothing."""
    with tempfile.TemporaryDirectory(prefix="velto-release.") as scratch:
        os.mkdir(os.path.join(scratch, "a folder"))
        deb = release_package(os.path.join(scratch, "a folder"))
        repository, commit_time = os.path.join(scratch, "repository"), 1767225600
        checkout = os.path.join(repository, "velto")
        committed_copy(SOURCE, checkout, commit_time, repository)
        outside = pathlib.Path(repository, "NOTES")
        outside.write_text("a later commit outside the sources\n")
        commit(repository, commit_time + 86400)
        outside.write_text("a change outside the sources, not committed\n")

        result = make_dist(checkout, scratch, VELTO_PACKAGE=f" {deb}\n")
        assert result.returncode == 0, result.stdout + result.stderr
        dist, build_dir = os.path.join(scratch, "dist"), os.path.join(scratch, "build")
        assert int(os.stat(os.path.join(dist, "velto-linux-setup")).st_mtime) == commit_time
        check = subprocess.run([os.path.join(dist, "velto-linux-setup"), "--check"],
                               env={"TMPDIR": scratch, "PATH": "/usr/bin:/bin"})
        assert check.returncode == 0
        digest = subprocess.run(["sha256sum", deb], capture_output=True, text=True).stdout[:64]
        with open(os.path.join(build_dir, "src", "payload", "generated",
                               "package_constants.h")) as handle:
            assert '"{}"'.format(digest) in handle.read()

        with open(os.path.join(checkout, "README.md"), "a") as handle:
            handle.write("a change not committed\n")
        shutil.rmtree(dist)
        refused = make_dist(checkout, scratch, VELTO_PACKAGE=deb)
        assert refused.returncode != 0, refused.stdout
        assert "uncommitted changes" in refused.stderr and " M velto/README.md" in refused.stderr
        assert not os.path.exists(dist)


def test_a_relative_release_path_is_refused_at_configure_time():
    with tempfile.TemporaryDirectory(prefix="velto-release.") as scratch:
        result = configure(os.path.join(scratch, "build"), "-DVELTO_PACKAGE=release.deb")
        assert result.returncode != 0
        assert "VELTO_PACKAGE must be the absolute path" in result.stderr


@pytest.mark.parametrize("version_option, version", [([], FIELDS["Version"]),
                                                     (["--version", "0.1.79"], "0.1.79")])
def test_a_large_package_is_the_desktop_package_tree_at_the_asked_size(version_option, version):
    """tools/make-large-package --base, as the benchmarks build their 11.9 MB packages."""
    tool = os.path.join(SOURCE, "tools", "make-large-package")
    with tempfile.TemporaryDirectory(prefix="velto-large.") as scratch:
        builds = []
        for name in ("first.deb", "second.deb"):
            path = os.path.join(scratch, name)
            subprocess.run([tool, path, "3000000", "--base", DEB, *version_option], check=True,
                           capture_output=True)
            with open(path, "rb") as handle:
                builds.append(handle.read())
        assert builds[0] == builds[1]
        assert len(builds[0]) == 3000000
        out = subprocess.run(["dpkg-deb", "-f", path, "Package", "Version", "Architecture"],
                             capture_output=True, text=True, check=True)
        assert out.stdout == "".join(f"{name}: {value}\n"
                                     for name, value in dict(FIELDS, Version=version).items())
        # Every file of the desktop package, with its mode, owner, size and date, and the padding.
        listing = subprocess.run(["dpkg-deb", "-c", path], capture_output=True, text=True,
                                 check=True).stdout.splitlines()
        base = subprocess.run(["dpkg-deb", "-c", DEB], capture_output=True, text=True,
                              check=True).stdout.splitlines()
        assert set(base) <= set(listing)
        added = sorted(line.split()[-1] for line in set(listing) - set(base))
        assert added == ["./usr/share/velto/", "./usr/share/velto/padding.bin"]
