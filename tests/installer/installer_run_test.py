#!/usr/bin/env python3
"""Smoke runs of the real installer bundle in a real window: one run per way
the window takes part. Every other way a run ends is tested without a
window, in install_engine_tests.

Each run has a network and mount namespace of its own holding the test
HTTPS server on 127.0.0.1:8443, an Xvfb display, and tmpfs mounts on
/Applications (reached from here through /proc/<pid>/root) and
/tmp/.X11-unix; the host's folders are only the mount points. The desktop's
default handler is a stand-in xdg-open on PATH that records what it is asked
to open. Alerts are read from the installer's report line
(CORVANTIS_TEST_ALERT_REPORT) and dismissed with a real Return key press.

usage: installer_run_test.py --bundle APP --dev-bundle APP --support DIR
                             --close-window PROGRAM --artifacts DIR [unittest arguments]
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
import threading
import time
import types
import unittest
import zipfile

ARGS = None
CERTIFICATES = None
HERE = os.path.dirname(os.path.abspath(__file__))
HOST = "127.0.0.1:8443"
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


class Lines:
    """The lines of a pipe, collected on a thread so that a test can wait on them."""

    def __init__(self, pipe):
        self.lines, self.closed = [], False
        self.condition = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self.thread.start()

    def _read(self, pipe):
        with pipe:
            for raw in pipe:
                with self.condition:
                    self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                    self.condition.notify_all()
        with self.condition:
            self.closed = True
            self.condition.notify_all()

    def wait_for(self, wanted, skip=0):
        """The line after skip others for which wanted holds; None once the pipe has ended."""
        matches = lambda: [line for line in self.lines if wanted(line)][skip:]
        with self.condition:
            if not self.condition.wait_for(lambda: matches() or self.closed, DEADLINE):
                raise AssertionError("gave up waiting; lines so far: %r" % self.lines)
            return (matches() or [None])[0]

    def finish(self):
        self.thread.join(DEADLINE)
        return self.lines


class Sandbox:
    """The namespaces, held by a process until close(), with their display and
    the test server serving root."""

    def __init__(self, root, read_only):
        for folder, mode in (("/Applications", 0o755), ("/tmp/.X11-unix", 0o1777)):
            if not os.path.lexists(folder):
                os.mkdir(folder, mode)
        script = ("ip link set lo up && mount -t tmpfs -o mode=755%s applications /Applications"
                  " && mount -t tmpfs -o mode=1777 x11 /tmp/.X11-unix && echo ready && exec cat"
                  % (",ro" if read_only else ""))
        self.holder = subprocess.Popen(["unshare", "--net", "--mount", "--", "sh", "-c", script],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if self.holder.stdout.readline().strip() != b"ready":
            raise RuntimeError("could not make the namespaces")
        self.applications = "/proc/%d/root/Applications" % self.holder.pid
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            self.command(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                          "-nolisten", "tcp"]),
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            self.display = ":" + numbers.readline().strip()
        self.server = subprocess.Popen(
            self.command([sys.executable, os.path.join(ARGS.support, "https-server.py"),
                          "--root", root, "--certificates", CERTIFICATES, "--port", "8443"]),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if self.server.stdout.readline().strip() != b"PORT 8443":
            raise RuntimeError("test server did not start")
        self.requests = Lines(self.server.stderr)

    def command(self, argv):
        return ["nsenter", "-t", str(self.holder.pid), "--net", "--mount", "--", *argv]

    def x(self, *argv):
        return subprocess.run(self.command(argv), env=dict(os.environ, DISPLAY=self.display),
                              check=True, capture_output=True, text=True,
                              timeout=DEADLINE).stdout

    def windows(self, *search):
        return self.x("xdotool", "search", "--sync", "--onlyvisible", *search).split()

    def close(self):
        for process in (self.server, self.xvfb):
            process.terminate()
            process.wait()
        self.server.stdout.close()
        self.requests.finish()
        self.holder.stdin.close()
        self.holder.wait()
        self.holder.stdout.close()


def wait_until(predicate, what):
    """Polls; only bounds a run that went wrong, nothing relies on speed."""
    end = time.monotonic() + DEADLINE
    while not predicate():
        if time.monotonic() > end:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(0.01)


class Smoke(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="installer-run-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.marker = os.path.join(self.work, "started")

    def run_installer(self, product, files=None, bundle=None, read_only=False, during=None):
        """Runs a copy of the bundle for product to its end, pressing Return in
        each alert; during(run) runs right after the start."""
        folder = tempfile.mkdtemp(dir=self.work)
        source = bundle or ARGS.bundle
        copy = os.path.join(folder, os.path.basename(source))
        shutil.copytree(source, copy, symlinks=True)
        with open(os.path.join(copy, "Contents", "Info.plist"), "r+b") as f:
            settings = plistlib.load(f)
            settings["Corvantis ID"] = product
            f.seek(0)
            f.truncate()
            plistlib.dump(settings, f)
        root = os.path.join(folder, "served")
        os.mkdir(root)
        for path, content in (files or {}).items():
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "wb") as f:
                f.write(content.encode() if isinstance(content, str) else content)
        box = Sandbox(root, read_only)
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
        env = dict(os.environ, DISPLAY=box.display, QT_QPA_PLATFORM="xcb", TMPDIR=run.tmp,
                   XDG_RUNTIME_DIR=runtime, XDG_DOWNLOAD_DIR=run.downloads,
                   PATH=tools + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"),
                   SSL_CERT_FILE=os.path.join(CERTIFICATES, "ca.pem"),
                   no_proxy="*", NO_PROXY="*", CORVANTIS_TEST_ALERT_REPORT="1")
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)  # no file browser: the handler shows folders
        for tool, suppressions in (("TSAN", "qt.tsan-suppressions"), ("LSAN", "lsan.suppressions")):
            env[tool + "_OPTIONS"] = ":".join(filter(None, [
                os.environ.get(tool + "_OPTIONS"),
                "suppressions=" + os.path.join(HERE, suppressions)]))
        macos = os.path.join(copy, "Contents", "MacOS")
        run.process = subprocess.Popen(box.command([os.path.join(macos, os.listdir(macos)[0])]),
                                       env=env, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        run.stdout, stderr = Lines(run.process.stdout), Lines(run.process.stderr)
        try:
            if during:
                during(run)
            while line := stderr.wait_for(lambda l: l.startswith("alert: "), len(run.alerts)):
                run.alerts.append(json.loads(line[len("alert: "):]))
                (window,) = box.windows("--name", "^" + re.escape(run.alerts[-1]["title"]) + "$")
                box.x("xdotool", "windowfocus", "--sync", window)
                box.x("xdotool", "key", "--clearmodifiers", "Return")
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
        wait_until(lambda: len(lines()) >= count, "the default handler")
        return lines()

    def screenshot(self, run, name):
        run.window_names = [run.box.x("xdotool", "getwindowname", window).strip()
                            for window in run.box.windows("--pid", str(run.process.pid))]
        time.sleep(0.5)  # let the window paint what the last step set
        run.box.x("import", "-window", "root", os.path.join(ARGS.artifacts, name))

    def close_window(self, run):
        """As a window manager's close button does."""
        for window in run.box.windows("--pid", str(run.process.pid)):
            run.box.x(ARGS.close_window, window)

    def install_log(self, run):
        return ["Manifest URL is: " + manifest_url("sample"), run.workdir + "/Sample.zip", "2",
                "prevAppPath", "file://" + run.workdir + "/Sample.app/", "appName", "Sample.app"]

    def test_happy_path(self):
        run = self.run_installer("sample", {"sample/cv-latest-mac.json": manifest("Sample.zip"),
                                            "files/Sample.zip": sample_zip(self.marker)})
        self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
        self.assertEqual(run.log[1:], self.install_log(run) + ["Cleaning up"])
        self.assertEqual(os.listdir(run.box.applications), ["Sample.app"])
        wait_until(lambda: os.path.exists(self.marker), "the installed application to run")
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
            wait_until(lambda: os.path.exists(installed), "the application in /Applications")
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
    for option in ("--bundle", "--dev-bundle", "--support", "--artifacts", "--close-window"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    os.makedirs(ARGS.artifacts, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="installer-certificates-") as CERTIFICATES:
        subprocess.run([os.path.join(ARGS.support, "make-test-certificates"), CERTIFICATES],
                       check=True)
        program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
