#!/usr/bin/python3
"""Benchmarks `--check` with the default package and an 11.9 MB one.

    check_mode.py SETUP LARGE_SETUP LARGE_DEB PAYLOAD_PARTS

LARGE_SETUP is the program built to carry LARGE_DEB (bench/CMakeLists.txt builds both).

Reports the median wall time (hyperfine) and peak RSS (/usr/bin/time -v) of each, next to the sum
of the check's unavoidable parts measured on the same machine in the same run: SHA-256 of the
bytes in memory, writing them with fsync, and three `dpkg-deb -f` runs.
"""
import json
import os
import re
import subprocess
import sys
import tempfile

setup, large_setup, large_deb, parts = sys.argv[1:5]


def run(argv, **kwargs):
    return subprocess.run(argv, check=True, **kwargs)


def hyperfine_median(command, scratch, runs=30):
    out = os.path.join(scratch, "hyperfine.json")
    run(["hyperfine", "-N", "--warmup", "3", "--runs", str(runs), "--export-json", out, command],
        stdout=subprocess.DEVNULL, env=dict(os.environ, TMPDIR=scratch))
    with open(out) as handle:
        return json.load(handle)["results"][0]["median"] * 1000.0


def peak_rss_kib(argv, scratch):
    result = subprocess.run(["/usr/bin/time", "-v"] + argv, capture_output=True, text=True,
                            env=dict(os.environ, TMPDIR=scratch))
    assert result.returncode == 0, result.stderr
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))


rows = []
with tempfile.TemporaryDirectory(prefix="velto-bench.", dir="/var/tmp") as scratch:
    for label, program, deb in [("default package", setup, None), ("11.9 MB package", large_setup,
                                                                    large_deb)]:
        deb = deb or os.environ.get("VELTO_EMBEDDED_DEB")
        median = hyperfine_median(program + " --check", scratch)
        rss = peak_rss_kib([program, "--check"], scratch)
        measured = json.loads(subprocess.run([parts, deb, scratch], capture_output=True, text=True,
                                             check=True).stdout)
        dpkg = hyperfine_median("dpkg-deb -f {} Package".format(deb), scratch)
        floor = measured["sha256_ms"] + measured["write_fsync_ms"] + 3 * dpkg
        rows.append((label, measured["bytes"], median, floor, rss, measured, dpkg))

print()
print("| package | bytes | --check median | sum of parts | ratio | peak RSS | RSS - payload |")
print("|---|---|---|---|---|---|---|")
for label, size, median, floor, rss, measured, dpkg in rows:
    print("| {} | {:,} | {:.1f} ms | {:.1f} ms (sha256 {:.1f} + write/fsync {:.1f} + 3 x dpkg-deb "
          "{:.1f}) | {:.2f} | {:.1f} MiB | {:.1f} MiB |".format(
              label, size, median, floor, measured["sha256_ms"], measured["write_fsync_ms"], dpkg,
              median / floor, rss / 1024.0, (rss * 1024.0 - size) / 1048576.0))
