#!/usr/bin/env python3
"""Smoke runs of the real installer bundle in a real window: one run per way
the window takes part. Every other way a run ends is tested without a
window, in install_engine_tests.

Each run is in a sandbox of its own (scripts/sandbox.py): private network
and mount namespaces holding the HTTPS server on 127.0.0.1:8443, an Xvfb
display and a tmpfs on /Applications, reached from here through
/proc/<pid>/root. The desktop's default handler is a stand-in xdg-open on
PATH that records what it is asked to open. Alerts are read from the
installer's report line and dismissed with a real Return key press.

usage: installer_run_test.py --bundle APP --dev-bundle APP --close-window PROGRAM
                             --artifacts DIR [unittest arguments]
"""

import argparse
import errno
import io
import json
import os
import plistlib
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import types
import unittest
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import sandbox  # noqa: E402

ARGS = None
CERTIFICATES = None
HOST = sandbox.HOST
DEADLINE = 90  # only bounds a hung run; nothing relies on speed
UUID = r"[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"


def manifest(path, kind="zip", query=""):
    """A manifest offering one build, served under files/, for both kinds of machine."""
    entry = {"path": path, "url": f"https://{HOST}/{query and '_slow/'}files/{path}{query}"}
    return json.dumps({"artifacts": {kind: {"x64": entry, "arm64": entry}},
                       "createdAt": "2024-06-01T12:00:00Z", "version": "2.0"})


def manifest_url(product, host=HOST):
    return f"https://{host}/{product}/cv-latest-mac.json"


def sample_zip(marker, executable=True):
    """Sample.app zipped; its program appends the path it was started as to marker."""
    data = io.BytesIO()
    with zipfile.ZipFile(data, "w") as archive:
        for name, content, mode in (
                ("Info.plist", plistlib.dumps({"CFBundleExecutable": "Sample"}), 0o644),
                ("MacOS/Sample", '#!/bin/sh\necho "$0" >> "%s"\n' % marker,
                 0o755 if executable else 0o644)):
            info = zipfile.ZipInfo("Sample.app/Contents/" + name)
            info.external_attr = (stat.S_IFREG | mode) << 16
            archive.writestr(info, content)
    return data.getvalue()


class Smoke(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="installer-run-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.marker = os.path.join(self.work, "started")

    def run_installer(self, product, files=None, bundle=None, read_only=False, during=None):
        """Runs a copy of the bundle for product to its end, pressing Return in
        each alert; during(run) runs right after the start."""
        folder = tempfile.mkdtemp(dir=self.work)
        copy = sandbox.copy_bundle(bundle or ARGS.bundle, folder, {"Corvantis ID": product})
        root = os.path.join(folder, "served")
        os.mkdir(root)
        for path, content in (files or {}).items():
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "wb") as f:
                f.write(content.encode() if isinstance(content, str) else content)
        box = sandbox.Sandbox(root, CERTIFICATES, "mode=755" + (",ro" if read_only else ""),
                              deadline=DEADLINE)
        self.addCleanup(box.close)

        run = types.SimpleNamespace(box=box, alerts=[], window_names=[],
                                    opened_file=os.path.join(folder, "opened"))
        run.tmp, runtime, tools, run.downloads = (
            os.path.join(folder, name) for name in ("tmp", "run", "bin", "downloads"))
        os.mkdir(run.tmp)
        os.mkdir(runtime, 0o700)
        os.mkdir(tools)
        with open(os.path.join(tools, "xdg-open"), "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\n' % run.opened_file)
        os.chmod(os.path.join(tools, "xdg-open"), 0o755)
        # No session bus, so no file browser: the default handler shows folders.
        env = sandbox.installer_environment(
            box.display.name, run.tmp, runtime, CERTIFICATES, session_bus=False,
            XDG_DOWNLOAD_DIR=run.downloads,
            PATH=tools + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"))
        run.process = subprocess.Popen(box.command([sandbox.bundle_executable(copy)]),
                                       env=sandbox.with_suppressions(env, HERE),
                                       stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        run.stdout = sandbox.Lines(run.process.stdout, deadline=DEADLINE)
        stderr = sandbox.Lines(run.process.stderr, deadline=DEADLINE)
        try:
            if during:
                during(run)
            while line := stderr.wait_for(lambda l: l.startswith(sandbox.ALERT), len(run.alerts)):
                run.alerts.append(sandbox.alert_in(line))
                box.display.dismiss(run.alerts[-1]["title"])
            run.status = run.process.wait(DEADLINE)
        finally:
            if run.process.poll() is None:
                run.process.kill()
                run.process.wait()
        run.log, run.stderr = run.stdout.finish(), stderr.finish()
        self.assertRegex(run.log[0], "^Temporary directory is:  file://" + re.escape(run.tmp) +
                         "/" + UUID + "/$")
        run.workdir = run.log[0][len("Temporary directory is:  file://"):-1]
        return run

    def opened(self, run, count=0):
        """What the stand-in handler was asked to open, once asked count times;
        it runs detached and may finish after the installer."""
        def lines():
            if not os.path.exists(run.opened_file):
                return []
            with open(run.opened_file) as f:
                return f.read().splitlines()
        sandbox.wait_until(lambda: len(lines()) >= count, "the default handler", DEADLINE)
        return lines()

    def screenshot(self, run, name):
        display = run.box.display
        run.window_names = [display.run("xdotool", "getwindowname", window).strip()
                            for window in display.windows("--pid", str(run.process.pid))]
        time.sleep(0.5)  # let the window paint what the last step set
        display.screenshot(os.path.join(ARGS.artifacts, name))

    def close_window(self, run):
        """As a window manager's close button does."""
        for window in run.box.display.windows("--pid", str(run.process.pid)):
            run.box.display.run(ARGS.close_window, window)

    def install_log(self, run):
        return ["Manifest URL is: " + manifest_url("sample"), run.workdir + "/Sample.zip", "2",
                "prevAppPath", "file://" + run.workdir + "/Sample.app/", "appName", "Sample.app"]

    def test_happy_path(self):
        run = self.run_installer("sample", {"sample/cv-latest-mac.json": manifest("Sample.zip"),
                                            "files/Sample.zip": sample_zip(self.marker)})
        self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
        self.assertEqual(run.log[1:], self.install_log(run) + ["Cleaning up"])
        self.assertEqual(os.listdir(run.box.applications), ["Sample.app"])
        sandbox.wait_until(lambda: os.path.exists(self.marker),
                           "the installed application to run", DEADLINE)
        with open(self.marker) as f:
            self.assertEqual(f.read(), "/Applications/Sample.app/Contents/MacOS/Sample\n")
        self.assertFalse(os.path.exists(run.workdir))
        self.assertEqual(self.opened(run), [])

    def test_critical_alert_dismissed_by_a_key_press_in_a_development_build(self):
        run = self.run_installer("missing", bundle=ARGS.dev_bundle)
        url = manifest_url("missing", "localhost:8443")
        self.assertEqual((run.status, run.alerts), (1, [{
            "style": "critical", "title": "Error downloading manifest", "buttons": ["Ok"],
            "message": "Server returned HTTP status code 404 from " + url}]), run.stderr)
        self.assertEqual(run.log[1:], ["Manifest URL is: " + url, "Cleaning up"])
        self.assertEqual([n for n in os.listdir(run.tmp) if re.fullmatch(UUID, n)], [])

    def test_manual_hand_over(self):
        run = self.run_installer("sample", {"sample/cv-latest-mac.json": manifest("Sample.zip"),
                                            "files/Sample.zip": sample_zip(self.marker)},
                                 read_only=True)
        title = "You will need to manually move Sample to Applications folder."
        self.assertEqual((run.status, run.alerts), (0, [{
            "style": "warning", "title": title, "buttons": ["Reveal in Finder"],
            "message": "We will reveal Sample.app in Finder. You can then manually drag "
                       "the application to the Applications folder yourself.\n\n"
                       "Internal code: %d" % errno.EROFS}]), run.stderr)
        self.assertEqual(run.log[1:], self.install_log(run))
        self.assertEqual(sorted(os.listdir(run.workdir)), ["Applications", "Sample.app"])
        self.assertEqual(self.opened(run, 1), ["file://" + run.workdir])

    def test_disk_image(self):
        run = self.run_installer("disk", {"disk/cv-latest-mac.json": manifest("Sample.dmg", "dmg"),
                                          "files/Sample.dmg": "not really a disk image"})
        self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
        # Kept in the download folder, since its handler may read it late.
        kept = os.path.join(run.downloads, "Sample.dmg")
        self.assertEqual(run.log[1:], ["Manifest URL is: " + manifest_url("disk"),
                                       "Disk image moved to: " + kept, "Cleaning up"])
        self.assertEqual(self.opened(run, 1), ["file://" + kept])
        self.assertFalse(os.path.exists(run.workdir))

    def test_closing_the_window_mid_download_lets_the_run_end_by_itself(self):
        # The installed program cannot start: a refused launch ends the run
        # only because the window has gone.
        def look_then_close(run):
            run.box.requests.wait_for(lambda line: '"GET /_slow/' in line)
            self.screenshot(run, "installer-downloading.png")
            self.close_window(run)

        run = self.run_installer(
            "sample", {"sample/cv-latest-mac.json": manifest("Sample.zip", query="?pieces=40"),
                       "files/Sample.zip": sample_zip(self.marker, executable=False)},
            during=look_then_close)
        self.assertEqual(run.window_names, ["Corvantis Test Installer"])
        self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
        self.assertEqual(run.log[-2:], ["appName", "Sample.app"])
        self.assertEqual(os.listdir(run.box.applications), ["Sample.app"])
        self.assertFalse(os.path.exists(self.marker))

    def test_refused_launch_keeps_the_window_until_it_is_closed(self):
        def look_then_close(run):
            run.stdout.wait_for(lambda line: line == "appName")
            installed = os.path.join(run.box.applications, "Sample.app")
            sandbox.wait_until(lambda: os.path.exists(installed),
                               "the application in /Applications", DEADLINE)
            time.sleep(1)  # well past the quarter second before the launch
            self.screenshot(run, "installer-installed.png")
            self.assertIsNone(run.process.poll(), "the installer quit by itself")
            self.close_window(run)

        run = self.run_installer(
            "sample", {"sample/cv-latest-mac.json": manifest("Sample.zip"),
                       "files/Sample.zip": sample_zip(self.marker, executable=False)},
            during=look_then_close)
        self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
        self.assertTrue(os.path.isdir(run.workdir))


def main():
    global ARGS, CERTIFICATES
    parser = argparse.ArgumentParser()
    for option in ("--bundle", "--dev-bundle", "--artifacts", "--close-window"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    os.makedirs(ARGS.artifacts, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="installer-certificates-") as CERTIFICATES:
        sandbox.make_certificates(CERTIFICATES)
        program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
