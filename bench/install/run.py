#!/usr/bin/env python3
"""The installer beside the shell pipeline it stands for: its install time,
its peak memory for builds large and small, and for hostile manifests.

Serves zips of an application bundle (200 MiB and 2 GiB by default,
incompressible, made at run time) over HTTPS on loopback, in a sandbox of its
own (scripts/sandbox.py: network and mount namespaces whose /Applications is
a tmpfs of their own, with an Xvfb display), and measures:

  idle       the installer against a manifest that is missing (status 404):
             its window, its session and the alert that ends the run; the
             baseline of every peak memory figure below;
  manifests  the installer against a manifest just under its size cap made
             of "{}" entries, and against one over the cap (blanks only),
             which it must refuse with its manifest download alert;
  installer  the bench bundle of the real installer, from its start until the
             application is in /Applications (the moment "Installed!" shows),
             and until it has quit, for the 200 MiB build (several rounds)
             and for the 2 GiB build (one round);
  pipeline   curl -o, unzip -q -o and mv of the 200 MiB build into
             /Applications, in the same rounds as the installer, until mv
             has ended (it makes the folder before it fills it).

Alerts are dismissed as a user would: the installer reports each one on
standard error (CORVANTIS_TEST_ALERT_REPORT) and Return is pressed in its
window. Both the installer and the pipeline write the download into the same
folder (--downloads: by default one in /dev/shm, another tmpfs, so that disk
writeback of other work on the machine does not swamp the figures; give a
disk folder to include the disk) and move across file systems into
/Applications. Peak memory is the maximum resident set size from
/usr/bin/time -v. Then it runs bench_install_progress: the same download
through the platform's URL session without a progress observer and with the
installer's main-thread progress bar.

usage: bench/install/run.py [--build DIR] [--size MIB] [--large-size MIB] [--rounds N]
                           [--progress-rounds N] [--downloads DIR] [--results]
       (DIR: a configured and built release tree, default build/release;
        targets bench_install_bundle and bench_install_progress;
        --large-size 0 leaves out the large build;
        --results adds the figures as tab-separated RESULT lines for bench/run)
"""

import argparse
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE, "scripts"))
import sandbox  # noqa: E402

SERVER = "https://" + sandbox.HOST
MANIFEST_URL = SERVER + "/bench/cv-latest-mac.json"
# The installer's manifest cap (maximumManifestSize) and its memory target.
MANIFEST_CAP = 1 << 20
MEMORY_TARGET_MIB = 64
# Longest a single run may take before it counts as hung.
DEADLINE = 600


def make_artifact(root, name, mebibytes):
    """files/NAME: Bench.app with four large random files and 200 small ones."""
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
    os.makedirs(os.path.join(root, "files"), exist_ok=True)
    subprocess.run(["zip", "-q", "-0", "-r", "-y", os.path.join(root, "files", name),
                    "Bench.app"], cwd=folder, check=True)
    shutil.rmtree(folder)
    return os.path.getsize(os.path.join(root, "files", name))


def serve_manifest(root, body):
    """What the installer finds at its manifest address; None: nothing (404)."""
    path = os.path.join(root, "bench", "cv-latest-mac.json")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if body is None:
        if os.path.exists(path):
            os.remove(path)
        return
    with open(path, "wb") as f:
        f.write(body)


def build_manifest(name):
    entry = {"path": "Bench.zip", "url": SERVER + "/files/" + name}
    return json.dumps({"version": "1.0", "createdAt": "2024-06-01T12:00:00Z",
                       "artifacts": {"zip": {"x64": entry, "arm64": entry}}}).encode()


def hostile_manifest():
    """A valid manifest padded with "{}" entries to just under the cap: the
    most objects a document the installer accepts can hold. Its build is
    missing, so the run ends at unpacking with an alert."""
    entry = {"path": "a", "url": SERVER + "/files/missing.zip"}
    head = json.dumps({"version": "1", "createdAt": "x",
                       "artifacts": {"zip": {"x64": entry, "arm64": entry}}})[:-1]
    head += ',"junk":['
    tail = "{}]}"
    count = (MANIFEST_CAP - 16 - len(head) - len(tail)) // 3 + 1
    body = (head + "{}," * (count - 1) + tail).encode()
    assert len(body) < MANIFEST_CAP, len(body)
    json.loads(body)
    return body


class Run:
    """One run under /usr/bin/time -v in the namespaces: seconds until
    Bench.app is in /Applications (None when it never was), seconds until the
    end, peak RSS in KiB, processor seconds (with the children it waited
    for), exit status, the alerts it showed, and the seconds
    at which each line of standard output came."""

    def __init__(self, box, argv, env):
        installed = os.path.join(box.applications, "Bench.app")
        if os.path.exists(installed):
            shutil.rmtree(installed)
        self.marks, self.alerts, report = [], [], []
        start = time.monotonic()
        process = subprocess.Popen(box.command(["/usr/bin/time", "-v", *argv]), env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, start_new_session=True)

        def stop():
            """Ends the run and whatever it started: it hangs."""
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        def read_output():
            for line in process.stdout:
                self.marks.append((line.rstrip("\n"), time.monotonic() - start))

        def read_errors():
            for line in process.stderr:
                report.append(line)
                if alert := sandbox.alert_in(line):
                    self.alerts.append(alert)
                    try:
                        box.display.dismiss(alert["title"])
                    except (subprocess.SubprocessError, sandbox.Failure) as error:
                        report.append("could not dismiss the alert: %s\n" % error)
                        stop()

        readers = [threading.Thread(target=read_output), threading.Thread(target=read_errors)]
        for reader in readers:
            reader.start()
        self.in_place = None
        while process.poll() is None:
            if self.in_place is None and os.path.exists(installed):
                self.in_place = time.monotonic() - start
            if time.monotonic() - start > DEADLINE:
                stop()
            time.sleep(0.002)
        self.ended = time.monotonic() - start
        for reader in readers:
            reader.join()
        self.status = process.returncode
        self.report = "".join(report)
        peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", self.report)
        if not peak:
            sys.exit("run of %s ended without a report (status %d):\n%s" % (
                argv[0], self.status, self.report))
        self.peak = int(peak.group(1))
        self.cpu = sum(float(x) for x in re.findall(
            r"(?:User|System) time \(seconds\): ([0-9.]+)", self.report))

    def fail(self, why):
        sys.exit("%s (status %d):\n%s" % (why, self.status, self.report))


def seconds(marks, text):
    """When the first line that is text, ends in /text or starts with it came."""
    return next(at for line, at in marks
                if line == text or line.endswith("/" + text) or line.startswith(text))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    parser.add_argument("--size", type=int, default=200)
    parser.add_argument("--large-size", type=int, default=2048)
    parser.add_argument("--rounds", type=int, default=5)
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
        sandbox.make_certificates(certificates)
        size = make_artifact(root, "Bench.zip", args.size)
        large = make_artifact(root, "Large.zip", args.large_size) if args.large_size else 0

        # Room for the largest unpacked bundle, whose files a zip stores as they are.
        box = sandbox.Sandbox(root, certificates,
                              "size=%dm" % (max(args.size, args.large_size) + 256),
                              deadline=60)  # for a step on the display, such as an alert's
        cleanup.append(box.close)
        env = sandbox.installer_environment(box.display.name, downloads, runtime, certificates,
                                            session_bus=False)

        def alerted(body, title, says):
            """Runs the installer against a manifest body that must end the run
            with one alert whose title starts with title and whose message
            says says."""
            serve_manifest(root, body)
            run = Run(box, [installer], env)
            if run.status != 1 or len(run.alerts) != 1 or \
                    not run.alerts[0]["title"].startswith(title) or \
                    says not in run.alerts[0]["message"]:
                run.fail("the installer did not end with one alert \"%s…\" that says \"%s\"" % (
                    title, says))
            return run

        # The same installer, idle and against hostile manifests, in turn.
        cases = [("idle (manifest missing)", None, "Error downloading manifest", "404"),
                 ("manifest of {} under the cap", hostile_manifest(), "Error uncompres", "unzip"),
                 ("manifest over the cap", b" " * (2 * MANIFEST_CAP),
                  "Error downloading manifest from " + MANIFEST_URL, "too large")]
        memory = {case[0]: [] for case in cases}
        shown = {}
        for _ in range(args.rounds):
            for name, body, title, says in cases:
                run = alerted(body, title, says)
                memory[name].append(run.peak / 1024)
                shown[name] = run.alerts[0]
        idle = statistics.median(memory[cases[0][0]])

        serve_manifest(root, build_manifest("Bench.zip"))
        pipeline = ('set -e; d=$(mktemp -d "$TMPDIR/pipeline.XXXXXX"); '
                    'curl -sS --fail --cacert "$SSL_CERT_FILE" -o "$d/Bench.zip" '
                    + SERVER + '/files/Bench.zip; echo downloaded; '
                    'unzip -q -o "$d/Bench.zip" -d "$d"; echo unzipped; '
                    'mv "$d/Bench.app" /Applications/; echo moved; '
                    'rm -rf "$d"')
        runs = {"installer": [], "pipeline": []}
        for _ in range(args.rounds):
            for name, argv in (("installer", [installer]), ("pipeline", ["bash", "-c", pipeline])):
                run = Run(box, argv, env)
                if run.status != 0 or run.in_place is None:
                    run.fail(name + " run failed")
                if name == "pipeline":
                    # mv across file systems makes the folder first and fills
                    # it after; the installer's bundle shows up whole.
                    run.in_place = seconds(run.marks, "moved")
                runs[name].append(run)
        large_run = None
        if large:
            serve_manifest(root, build_manifest("Large.zip"))
            large_run = Run(box, [installer], env)
            if large_run.status != 0 or large_run.in_place is None:
                large_run.fail("installer run of the large build failed")
            shutil.rmtree(os.path.join(box.applications, "Bench.app"))

        print("load average %s" % " ".join("%.2f" % x for x in os.getloadavg()))
        print("installer peak RSS, median of %d rounds, beside its idle size %.1f MiB:" % (
            args.rounds, idle))
        for name, *_ in cases:
            peak = statistics.median(memory[name])
            print("  %-30s %8.1f MiB  %+7.1f MiB   alert: %s — %s" % (
                name, peak, peak - idle, shown[name]["title"], shown[name]["message"][:120]))
        print("artifact %.1f MiB over loopback HTTPS, downloads in %s, median of %d rounds" % (
            size / 2**20, args.downloads, args.rounds))
        print("  %-10s %14s %12s %12s %12s" % ("", "until in place", "until end", "peak RSS",
                                                "processor"))
        medians = {}
        for name, values in runs.items():
            medians[name] = [statistics.median(getattr(r, k) for r in values)
                             for k in ("in_place", "ended", "peak", "cpu")]
            in_place, ended, peak, cpu = medians[name]
            print("  %-10s %12.3f s %10.3f s %8.1f MiB %10.3f s" % (name, in_place, ended,
                                                                   peak / 1024, cpu))
        ratio = medians["installer"][0] / medians["pipeline"][0]
        print("  installer / pipeline until in place: %.2fx (target at most 1.05x); "
              "round by round %s" % (ratio, " ".join(
                  "%.2fx" % (i.in_place / p.in_place)
                  for i, p in zip(runs["installer"], runs["pipeline"]))))
        # Where the time goes, from the log lines: the installer's first comes
        # once its window is up, the archive's path once it is written, "2"
        # once unzip has ended; the pipeline says when each step has ended.
        ends = [(seconds(r.marks, "Temporary directory is:"), seconds(r.marks, "Bench.zip"),
                 seconds(r.marks, "2"), r.in_place) for r in runs["installer"]]
        names = ["start until the first log line", "manifest, download, write", "unzip",
                 "move into /Applications"]
        for k, name in enumerate(names):
            spent = statistics.median(e[k] - (e[k - 1] if k else 0) for e in ends)
            print("    installer: %-32s %6.3f s" % (name, spent))
        ends = [(seconds(r.marks, "downloaded"), seconds(r.marks, "unzipped"), r.in_place)
                for r in runs["pipeline"]]
        names = ["start, download, write", "unzip", "move into /Applications"]
        for k, name in enumerate(names):
            spent = statistics.median(e[k] - (e[k - 1] if k else 0) for e in ends)
            print("    pipeline:  %-32s %6.3f s" % (name, spent))
        if large_run:
            print("artifact %.1f MiB, one round: installer until in place %.3f s, until end "
                  "%.3f s, peak RSS %.1f MiB" % (large / 2**20, large_run.in_place,
                                                 large_run.ended, large_run.peak / 1024))
        if args.results:
            baseline = "installer idle (manifest missing)"
            target = "diff<=%d" % MEMORY_TARGET_MIB
            print("RESULT\tinstaller, until in place (%d MiB)\t%.3f\ts\tcurl + unzip + mv\t%.3f\t"
                  "ratio<=1.05" % (round(size / 2**20), medians["installer"][0],
                                   medians["pipeline"][0]))
            print("RESULT\tinstaller peak RSS, %d MiB build\t%.1f\tMiB\t%s\t%.1f\t%s" % (
                round(size / 2**20), medians["installer"][2] / 1024, baseline, idle, target))
            if large_run:
                print("RESULT\tinstaller peak RSS, %d MiB build\t%.1f\tMiB\t%s\t%.1f\t%s" % (
                    round(large / 2**20), large_run.peak / 1024, baseline, idle, target))
            for name, *_ in cases[1:]:
                print("RESULT\tinstaller peak RSS, %s\t%.1f\tMiB\t%s\t%.1f\t%s" % (
                    name, statistics.median(memory[name]), baseline, idle, target))
        sys.stdout.flush()

        subprocess.run(box.command([progress, SERVER + "/files/Bench.zip",
                                          str(args.progress_rounds)] +
                                         (["--results"] if args.results else [])),
                       env=dict(env, QT_QPA_PLATFORM="offscreen"), check=True)
    finally:
        for step in reversed(cleanup):
            step()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
