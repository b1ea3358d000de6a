"""What the built executable asks of the machine it runs on.

The program supports Ubuntu 22.04 LTS and newer, and Debian 12 and newer. The build machine's
toolchain and libraries may be newer than that, and a newer one silently raises the floor: one
call to a fresh glibc or libstdc++ function and the program no longer starts on Ubuntu 22.04.
This reads the dynamic section (`readelf -d`) and the versioned symbols (`objdump -T`) of the
executable and fails on anything the oldest target lacks.
"""
import os
import re
import shutil
import subprocess

from prerequisites import require

SETUP = os.environ["VELTO_SETUP"]

# The newest symbol version of each versioned library on Ubuntu 22.04: glibc 2.35, libstdc++6 and
# libgcc-s1 from GCC 12, OpenSSL 3.0.2 (whose symbols all carry OPENSSL_3.0.0). A version family
# not listed here fails as well, since nobody has checked which targets provide it.
CEILINGS = {
    "GLIBC": (2, 35),
    "GLIBCXX": (3, 4, 30),
    "CXXABI": (1, 3, 13),
    "GCC": (12, 0, 0),
    "OPENSSL": (3, 0, 0),
}

# Libraries that Ubuntu 22.04, Debian 12 and Debian 13 all ship under this soname, with the
# package carrying each there. Debian 13 renamed several packages for 64-bit time_t (the t64
# suffix) but kept the sonames. libm is not needed today; libX11 and libwayland-client, GDK's two
# backends, come with GTK as libgdk-3 does, so a direct call into them raises no new requirement.
ALLOWED_LIBRARIES = {
    "libgtk-3.so.0": "libgtk-3-0, libgtk-3-0, libgtk-3-0t64",
    "libgdk-3.so.0": "libgtk-3-0, libgtk-3-0, libgtk-3-0t64",
    "libgdk_pixbuf-2.0.so.0": "libgdk-pixbuf-2.0-0 on all three",
    "libX11.so.6": "libx11-6 on all three",
    "libwayland-client.so.0": "libwayland-client0 on all three",
    "libglib-2.0.so.0": "libglib2.0-0, libglib2.0-0, libglib2.0-0t64",
    "libgobject-2.0.so.0": "libglib2.0-0, libglib2.0-0, libglib2.0-0t64",
    "libgio-2.0.so.0": "libglib2.0-0, libglib2.0-0, libglib2.0-0t64",
    "libcrypto.so.3": "libssl3, libssl3, libssl3t64",
    "libstdc++.so.6": "libstdc++6 on all three",
    "libgcc_s.so.1": "libgcc-s1 on all three",
    "libm.so.6": "libc6 on all three",
    "libc.so.6": "libc6 on all three",
}


def tool_output(*argv):
    require(shutil.which(argv[0]) is not None, f"{argv[0]} is missing (binutils, build-essential)")
    return subprocess.run(argv, check=True, capture_output=True, text=True, timeout=60).stdout


def needed_libraries():
    return re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", tool_output("readelf", "-d", SETUP))


def versioned_symbols():
    """(symbol, version) for every dynamic symbol that carries a version, such as GLIBC_2.34."""
    pairs = []
    for line in tool_output("objdump", "-T", SETUP).splitlines():
        # address, flags, section, size, then the version (in parentheses when hidden) and name
        match = re.match(r"[0-9a-f]{16} .*\t[0-9a-f]{16}\s+\(?([^\s()]+)\)?\s+(\S+)$", line)
        if match and match.group(1) != "Base":
            pairs.append((match.group(2), match.group(1)))
    return pairs


def too_new(version):
    match = re.fullmatch(r"([A-Z]+)_([0-9]+(?:\.[0-9]+)*)", version)
    if match is None or match.group(1) not in CEILINGS:
        return True
    return tuple(int(part) for part in match.group(2).split(".")) > CEILINGS[match.group(1)]


def test_needs_only_libraries_every_target_ships():
    needed = needed_libraries()
    assert "libc.so.6" in needed, needed  # the section was read at all
    unlisted = sorted(set(needed) - ALLOWED_LIBRARIES.keys())
    assert not unlisted, f"needs libraries not every target ships: {', '.join(unlisted)}"


def test_needs_no_symbol_version_newer_than_ubuntu_22_04():
    symbols = versioned_symbols()
    assert {version.split("_")[0] for _, version in symbols} >= {"GLIBC", "GLIBCXX", "OPENSSL"}
    newer = sorted(f"{symbol}@{version}" for symbol, version in symbols if too_new(version))
    assert not newer, "needs symbols newer than Ubuntu 22.04 has:\n" + "\n".join(newer)
