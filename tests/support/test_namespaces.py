"""MountNamespace: stand-ins over /usr/bin that runs side by side share, none can change, and the
machine never sees."""
import os
import subprocess

import pytest

import namespaces

STAND_IN = "#!/bin/sh\necho stand-in\n"


@pytest.fixture
def namespace(tmp_path):
    namespaces.require()
    namespace = namespaces.MountNamespace(tmp_path)
    namespace.put("velto-stand-in", STAND_IN)
    namespace.remove("dpkg-deb")
    return namespace


def test_stand_ins_and_removals_are_seen_inside_only(namespace):
    script = "/usr/bin/velto-stand-in; [ -e /usr/bin/dpkg-deb ] || echo removed"
    inside = subprocess.run(namespace.argv(["/bin/sh", "-c", script]), capture_output=True,
                            text=True, timeout=30)
    assert (inside.returncode, inside.stdout) == (0, "stand-in\nremoved\n"), inside.stderr
    assert os.path.exists("/usr/bin/dpkg-deb") and not os.path.exists("/usr/bin/velto-stand-in")


def test_runs_at_once_share_the_layer_and_cannot_change_it(namespace):
    # The first run holds its namespace, the layer mounted, until the second has ended.
    first = subprocess.Popen(namespace.argv(["/bin/sh", "-c", "/usr/bin/velto-stand-in; read _"]),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert first.stdout.readline() == "stand-in\n"
        second = subprocess.run(
            namespace.argv(["/bin/sh", "-c", "/usr/bin/velto-stand-in; echo x > /usr/bin/new"]),
            capture_output=True, text=True, timeout=30)
        assert first.communicate("\n", timeout=30)[0] == ""
    finally:
        if first.poll() is None:
            first.kill()
    assert first.returncode == 0
    assert second.stdout == "stand-in\n"
    assert second.returncode != 0 and "Read-only file system" in second.stderr
    assert sorted(p.name for p in namespace.stand_ins.iterdir()) == ["dpkg-deb", "velto-stand-in"]
