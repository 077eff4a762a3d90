#!/usr/bin/env python3
"""The installer beside the shell pipeline it stands for, on one artifact.

Serves a zip of an application bundle (200 MiB by default, incompressible)
over HTTPS on loopback, in a network and mount namespace whose /Applications
is a tmpfs of its own (the host's /Applications is only the mount point, made
when missing), and measures in turn, several rounds each:

  installer  the bench bundle of the real installer, from its start until the
             application is in /Applications (the moment "Installed!" shows),
             and until it has quit;
  pipeline   curl -o, unzip -q -o and mv of the same files into /Applications.

Both write the download into the same folder (--downloads: by default one in
/dev/shm, another tmpfs, so that disk writeback of other work on the machine
does not swamp the figures; give a disk folder to include the disk) and move
across file systems into /Applications. Peak memory comes from /usr/bin/time -v. Then it runs
bench_install_progress: the same download through the platform's URL session
without a progress observer and with the installer's main-thread progress bar.

usage: bench/install/run.py [--build DIR] [--size MIB] [--rounds N] [--progress-rounds N]
                           [--downloads DIR] [--results]
       (DIR: a configured and built release tree, default build/install-release;
        targets bench_install_bundle and bench_install_progress;
        --results adds the figures as tab-separated RESULT lines for bench/run)
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SUPPORT = os.path.join(SOURCE, "tests", "support")
URL = "https://127.0.0.1:8443/files/Bench.zip"


class Namespace:
    """Loopback only; /Applications and /tmp/.X11-unix tmpfs mounts of its
    own, so that its X server is out of reach of others on the machine."""

    def __init__(self):
        for folder, mode in (("/Applications", 0o755), ("/tmp/.X11-unix", 0o1777)):
            if not os.path.lexists(folder):
                os.mkdir(folder, mode)  # mount points, nothing more
        self.holder = subprocess.Popen(
            ["unshare", "--net", "--mount", "--", "sh", "-c",
             "ip link set lo up && mount -t tmpfs -o size=2g applications /Applications"
             " && mount -t tmpfs -o mode=1777 x11 /tmp/.X11-unix && echo ready && exec cat"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert self.holder.stdout.readline().strip() == b"ready"
        self.applications = "/proc/%d/root/Applications" % self.holder.pid

    def command(self, argv):
        return ["nsenter", "-t", str(self.holder.pid), "--net", "--mount", "--", *argv]

    def close(self):
        self.holder.stdin.close()
        self.holder.wait()


def make_artifact(root, mebibytes):
    """files/Bench.zip: Bench.app with four large random files and 200 small ones."""
    folder = tempfile.mkdtemp(dir=root)
    contents = os.path.join(folder, "Bench.app", "Contents")
    os.makedirs(os.path.join(contents, "MacOS"))
    os.makedirs(os.path.join(contents, "Resources"))
    with open(os.path.join(contents, "Info.plist"), "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                "<key>CFBundleExecutable</key><string>Bench</string></dict></plist>\n")
    with open(os.path.join(contents, "MacOS", "Bench"), "w") as f:
        f.write("#!/bin/sh\nexit 0\n")
    os.chmod(os.path.join(contents, "MacOS", "Bench"), 0o755)
    for i in range(200):
        with open(os.path.join(contents, "Resources", "small-%d.txt" % i), "w") as f:
            f.write("resource %d\n" % i)
    for i in range(4):
        with open(os.path.join(contents, "Resources", "large-%d.bin" % i), "wb") as f:
            for _ in range(mebibytes // 4):
                f.write(os.urandom(1024 * 1024))
    os.makedirs(os.path.join(root, "files"))
    subprocess.run(["zip", "-q", "-0", "-r", "-y", os.path.join(root, "files", "Bench.zip"),
                    "Bench.app"], cwd=folder, check=True)
    shutil.rmtree(folder)
    entry = {"path": "Bench.zip", "url": URL}
    os.makedirs(os.path.join(root, "bench"))
    with open(os.path.join(root, "bench", "cv-latest-mac.json"), "w") as f:
        json.dump({"version": "1.0", "createdAt": "2024-06-01T12:00:00Z",
                   "artifacts": {"zip": {"x64": entry, "arm64": entry}}}, f)
    return os.path.getsize(os.path.join(root, "files", "Bench.zip"))


def timed(namespace, argv, env, marks):
    """Runs argv under /usr/bin/time -v in the namespaces. Seconds until
    Bench.app is in /Applications, seconds until the end, peak RSS in KiB.
    marks gets the seconds at which each line of standard output came."""
    installed = os.path.join(namespace.applications, "Bench.app")
    if os.path.exists(installed):
        shutil.rmtree(installed)
    start = time.monotonic()
    process = subprocess.Popen(namespace.command(["/usr/bin/time", "-v", *argv]), env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)

    def read_lines():
        for line in process.stdout:
            marks.append((line.rstrip("\n"), time.monotonic() - start))

    reader = threading.Thread(target=read_lines)
    reader.start()
    in_place = None
    while process.poll() is None:
        if in_place is None and os.path.exists(installed):
            in_place = time.monotonic() - start
        time.sleep(0.002)
    ended = time.monotonic() - start
    reader.join()
    report = process.stderr.read()
    if process.returncode != 0 or in_place is None:
        sys.exit("run failed (status %d):\n%s" % (process.returncode, report))
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", report).group(1))
    return in_place, ended, peak


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(SOURCE, "build", "install-release"))
    parser.add_argument("--size", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--progress-rounds", type=int, default=9)
    parser.add_argument("--downloads", default="/dev/shm")
    parser.add_argument("--results", action="store_true")
    args = parser.parse_args()
    bench = os.path.join(os.path.abspath(args.build), "bench", "install")
    macos = os.path.join(bench, "bundle", "Corvantis Bench Installer.app", "Contents", "MacOS")
    installer = os.path.join(macos, "CorvantisInstaller")
    progress = os.path.join(bench, "bench_install_progress")

    work = tempfile.mkdtemp(prefix="install-bench-")
    cleanup = []
    try:
        certificates, root, runtime = (os.path.join(work, n) for n in ("certs", "root", "run"))
        os.mkdir(runtime, 0o700)
        downloads = tempfile.mkdtemp(prefix="install-bench-", dir=args.downloads)
        cleanup.append(lambda: shutil.rmtree(downloads, ignore_errors=True))
        os.mkdir(root)
        subprocess.run([os.path.join(SUPPORT, "make-test-certificates"), certificates],
                       check=True)
        size = make_artifact(root, args.size)

        namespace = Namespace()
        cleanup.append(namespace.close)
        read_end, write_end = os.pipe()
        display = subprocess.Popen(namespace.command(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp"]), pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        cleanup.append(lambda: (display.terminate(), display.wait()))
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            display_name = ":" + numbers.readline().strip()
        server = subprocess.Popen(namespace.command(
            [sys.executable, os.path.join(SUPPORT, "https-server.py"), "--root", root,
             "--certificates", certificates, "--port", "8443"]),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        cleanup.append(lambda: (server.terminate(), server.wait()))
        assert server.stdout.readline().strip() == b"PORT 8443"

        ca = os.path.join(certificates, "ca.pem")
        env = dict(os.environ, DISPLAY=display_name, QT_QPA_PLATFORM="xcb", TMPDIR=downloads,
                   XDG_RUNTIME_DIR=runtime, SSL_CERT_FILE=ca,
                   no_proxy="*", NO_PROXY="*")  # the namespace has only loopback
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        pipeline = ('set -e; d=$(mktemp -d "$TMPDIR/pipeline.XXXXXX"); '
                    'curl -sS --fail --cacert "$SSL_CERT_FILE" -o "$d/Bench.zip" ' + URL + '; '
                    'unzip -q -o "$d/Bench.zip" -d "$d"; mv "$d/Bench.app" /Applications/; '
                    'rm -rf "$d"')
        runs = {"installer": [], "pipeline": []}
        steps = []  # per installer run: seconds at which its log lines came
        for _ in range(args.rounds):
            marks = []
            runs["installer"].append(timed(namespace, [installer], env, marks))
            steps.append(marks)
            runs["pipeline"].append(timed(namespace, ["bash", "-c", pipeline], env, []))

        print("artifact %.1f MiB over loopback HTTPS, downloads in %s, median of %d rounds" % (
            size / 2**20, args.downloads, args.rounds))
        print("  %-10s %14s %12s %12s" % ("", "until in place", "until end", "peak RSS"))
        medians = {}
        for name, values in runs.items():
            medians[name] = [statistics.median(v[i] for v in values) for i in range(3)]
            in_place, ended, peak = medians[name]
            print("  %-10s %12.3f s %10.3f s %8.1f MiB" % (name, in_place, ended, peak / 1024))
        ratio = medians["installer"][0] / medians["pipeline"][0]
        print("  installer / pipeline until in place: %.2fx (target at most 1.2x)" % ratio)
        print("  installer peak RSS - artifact: %+.1f MiB (target at most +64 MiB)" % (
            medians["installer"][2] / 1024 - size / 2**20))
        if args.results:
            print("RESULT\tinstaller, until in place\t%.3f\ts\tcurl + unzip + mv\t%.3f\t"
                  "ratio<=1.2" % (medians["installer"][0], medians["pipeline"][0]))
            print("RESULT\tinstaller peak RSS\t%.1f\tMiB\tartifact size\t%.1f\tdiff<=64" % (
                medians["installer"][2] / 1024, size / 2**20))
        # Where the installer's time goes, from its log lines: the archive's
        # path comes once it is written, "2" once unzip has ended.
        def seconds(marks, text):
            return next(at for line, at in marks if line == text or line.endswith("/" + text))

        ends = [(seconds(m, "Bench.zip"), seconds(m, "2"), run[0])
                for m, run in zip(steps, runs["installer"])]
        names = ["start, manifest, download, write", "unzip", "move into /Applications"]
        for k, name in enumerate(names):
            spent = statistics.median(e[k] - (e[k - 1] if k else 0) for e in ends)
            print("    installer: %-32s %6.3f s" % (name, spent))
        sys.stdout.flush()

        subprocess.run(namespace.command([progress, URL, str(args.progress_rounds)] +
                                         (["--results"] if args.results else [])),
                       env=dict(env, QT_QPA_PLATFORM="offscreen"), check=True)
    finally:
        for step in reversed(cleanup):
            step()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
