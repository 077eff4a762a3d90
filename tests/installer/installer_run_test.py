#!/usr/bin/env python3
"""Runs the real installer bundle end to end.

Each case copies a test bundle (built with the production host
127.0.0.1:8443), may rewrite its Info.plist, and runs it in a network
namespace of its own with the test HTTPS server on 127.0.0.1:8443, on an Xvfb
display. Alerts are read from the installer's test report line
(CORVANTIS_TEST_ALERT_REPORT) and from the alert window's title on the X
server, and are dismissed with a real Return key press.

usage: installer_run_test.py --bundle APP --dev-bundle APP --support DIR
                             --artifacts DIR [unittest arguments]
"""

import argparse
import json
import os
import plistlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ARGS = None
HOST = "127.0.0.1:8443"
# Generous bounds so a hung run fails instead of blocking the suite; no case
# relies on anything being fast.
DEADLINE = 90

UUID = r"[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"
WRONG_ID = ("Corvantis ID is incorrect", "The value in the plist file is not a string.")


def manifest_document(version="3.1.4", zip=None, dmg=None):
    artifacts = {}
    if zip is not None:
        artifacts["zip"] = zip
    if dmg is not None:
        artifacts["dmg"] = dmg
    return {"artifacts": artifacts, "createdAt": "2024-06-01T12:00:00Z", "version": version}


def entry(name):
    return {"path": name, "url": f"https://{HOST}/files/{name}"}


# The files the test server serves, by path under its root.
SERVED = {
    "good/cv-latest-mac.json": manifest_document(
        zip={"x64": entry("Good-x64.zip"), "arm64": entry("Good-arm64.zip")},
        dmg={"x64": entry("Good-x64.dmg"), "arm64": entry("Good-arm64.dmg")},
    ),
    "dmgonly/cv-latest-mac.json": manifest_document(
        version="", dmg={"x64": entry("Disk-x64.dmg"), "ia32": entry("Disk-ia32.dmg")}
    ),
    "armonly/cv-latest-mac.json": manifest_document(
        zip={"arm64": entry("Arm.zip")}, dmg={"x64": entry("Arm-fallback.dmg")}
    ),
    "team/app/cv-latest-mac.json": manifest_document(version="9", zip={"x64": entry("Team.zip")}),
    # What an empty product identifier asks for: //cv-latest-mac.json.
    "cv-latest-mac.json": manifest_document(version="root", zip={"x64": entry("Root.zip")}),
    "notjson/cv-latest-mac.json": "this is not JSON {",
    "nocreatedat/cv-latest-mac.json": {"artifacts": {}, "version": "1"},
    "numericurl/cv-latest-mac.json": manifest_document(zip={"x64": {"path": "a", "url": 5}}),
}


class LineReader:
    """Collects the lines of a pipe on a thread, for waiting on them."""

    def __init__(self, pipe):
        self.lines = []
        self.closed = False
        self.condition = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self.thread.start()

    def _read(self, pipe):
        with pipe:
            for raw in iter(pipe.readline, b""):
                with self.condition:
                    self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
                    self.condition.notify_all()
        with self.condition:
            self.closed = True
            self.condition.notify_all()

    def wait_for(self, predicate, skip=0, timeout=DEADLINE):
        """The first line after skip earlier ones that satisfies predicate;
        None when input ends first."""
        end = time.monotonic() + timeout
        with self.condition:
            while True:
                matches = [line for line in self.lines if predicate(line)]
                if len(matches) > skip:
                    return matches[skip]
                if self.closed:
                    return None
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError("gave up waiting; lines so far: %r" % self.lines)
                self.condition.wait(left)

    def finish(self):
        self.thread.join(DEADLINE)
        return list(self.lines)


class Display:
    """An Xvfb server on a display number it picks itself."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
             "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number

    def xdotool(self, *arguments):
        result = subprocess.run(["xdotool", *arguments], env=dict(os.environ, DISPLAY=self.name),
                                capture_output=True, text=True, timeout=DEADLINE)
        return result.stdout.split()

    def window_name(self, window):
        return subprocess.run(["xdotool", "getwindowname", window], capture_output=True,
                              text=True, env=dict(os.environ, DISPLAY=self.name),
                              timeout=DEADLINE).stdout.rstrip("\n")

    def screenshot(self, path):
        subprocess.run(["import", "-window", "root", path], check=True, timeout=DEADLINE,
                       env=dict(os.environ, DISPLAY=self.name))

    def close(self):
        self.process.terminate()
        self.process.wait()


class Namespace:
    """A network namespace with only a loopback interface, held open by a
    process that lives until close()."""

    def __init__(self):
        self.holder = subprocess.Popen(
            ["unshare", "--net", "--mount", "--", "sh", "-c",
             "ip link set lo up && echo ready && exec cat"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if self.holder.stdout.readline().strip() != b"ready":
            raise RuntimeError("could not make a network namespace")

    def command(self, argv):
        return ["nsenter", "-t", str(self.holder.pid), "--net", "--mount", "--", *argv]

    def close(self):
        self.holder.stdin.close()
        self.holder.wait()
        self.holder.stdout.close()


class Server:
    """The tests' HTTPS server on 127.0.0.1:8443 inside a namespace."""

    def __init__(self, namespace, root):
        self.process = subprocess.Popen(
            namespace.command([sys.executable, os.path.join(ARGS.support, "https-server.py"),
                               "--root", root, "--certificates", CERTIFICATES,
                               "--port", "8443", "--host", "127.0.0.1"]),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = self.process.stdout.readline().decode().strip()
        if first != "PORT 8443":
            raise RuntimeError("test server did not start: %r" % first)
        self.log = LineReader(self.process.stderr)

    def close(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            self.process.wait(DEADLINE)
        self.process.stdout.close()
        return self.log.finish()


class Run:
    """What one run of the installer showed."""

    def __init__(self):
        self.stdout = []
        self.stderr = []
        self.alerts = []  # (report, window title on the X server)
        self.status = None
        self.requests = []
        self.temporary = None  # the TMPDIR the run was given


class InstallerCase(unittest.TestCase):
    display = None

    @classmethod
    def setUpClass(cls):
        cls.display = Display()

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="installer-run-")
        self.addCleanup(shutil.rmtree, self.work, True)

    # Copies a bundle into this case's folder, changing its settings.
    # settings: key -> value to set, or None to remove; binary writes the
    # plist in binary form; missing drops Info.plist altogether.
    def bundle(self, source=None, settings=None, binary=False, missing=False):
        source = source or ARGS.bundle
        target = os.path.join(tempfile.mkdtemp(dir=self.work), os.path.basename(source))
        shutil.copytree(source, target, symlinks=True)
        plist_path = os.path.join(target, "Contents", "Info.plist")
        if missing:
            os.remove(plist_path)
        elif settings is not None or binary:
            with open(plist_path, "rb") as f:
                info = plistlib.load(f)
            for key, value in (settings or {}).items():
                if value is None:
                    info.pop(key, None)
                else:
                    info[key] = value
            with open(plist_path, "wb") as f:
                plistlib.dump(info, f, fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML)
        return target

    def run_installer(self, bundle, serve=True, environment=None, until_line=None,
                      screenshot=None):
        """Runs the bundle's executable to its end, dismissing each alert with
        Return. With until_line, stops the installer (SIGTERM) once a line of
        standard output starts with that text."""
        run = Run()
        folder = tempfile.mkdtemp(dir=self.work)
        run.temporary = os.path.join(folder, "tmp")
        os.mkdir(run.temporary)
        runtime = os.path.join(folder, "runtime")
        os.mkdir(runtime, 0o700)
        root = os.path.join(folder, "root")
        for path, content in SERVED.items():
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(content if isinstance(content, str) else json.dumps(content))

        namespace = Namespace()
        self.addCleanup(namespace.close)
        server = Server(namespace, root) if serve else None
        if server:
            self.addCleanup(server.close)

        macos = os.path.join(bundle, "Contents", "MacOS")
        executable = os.path.join(macos, os.listdir(macos)[0])
        env = dict(os.environ)
        env.update(DISPLAY=self.display.name, QT_QPA_PLATFORM="xcb", TMPDIR=run.temporary,
                   XDG_RUNTIME_DIR=runtime, SSL_CERT_FILE=os.path.join(CERTIFICATES, "ca.pem"),
                   CORVANTIS_TEST_ALERT_REPORT="1")
        env.update(environment or {})
        process = subprocess.Popen(namespace.command([executable]), env=env,
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        stdout = LineReader(process.stdout)
        stderr = LineReader(process.stderr)
        try:
            if until_line is not None:
                line = stdout.wait_for(lambda l: l.startswith(until_line))
                self.assertIsNotNone(line, "installer ended before printing %r" % until_line)
                self.window_title = self.window_titles(process.pid)
                if screenshot:
                    # Let the window paint what the last step set.
                    time.sleep(0.5)
                    self.display.screenshot(screenshot)
                process.terminate()
            else:
                while True:
                    line = stderr.wait_for(lambda l: l.startswith("alert: "),
                                           skip=len(run.alerts))
                    if line is None:
                        break
                    report = json.loads(line[len("alert: "):])
                    run.alerts.append((report, self.dismiss_alert(report["title"])))
            run.status = process.wait(DEADLINE)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        run.stdout = stdout.finish()
        run.stderr = stderr.finish()
        if server:
            run.requests = [l for l in server.close() if '"GET ' in l]
        return run

    def dismiss_alert(self, title):
        """Finds the alert window by its title, presses Return in it, and
        returns the window's title as the X server knows it."""
        pattern = "^" + re.escape(title) + "$"
        windows = self.display.xdotool("search", "--sync", "--onlyvisible", "--name", pattern)
        self.assertTrue(windows, "no alert window titled %r" % title)
        window = windows[0]
        name = self.display.window_name(window)
        self.display.xdotool("windowfocus", "--sync", window)
        self.display.xdotool("key", "--clearmodifiers", "Return")
        return name

    def window_titles(self, pid):
        windows = self.display.xdotool("search", "--sync", "--onlyvisible", "--pid", str(pid))
        return [self.display.window_name(window) for window in windows]

    # Checks shared by every run.
    def assert_working_directory_line(self, run):
        self.assertRegex(run.stdout[0], "^Temporary directory is:  file://" +
                         re.escape(run.temporary) + "/" + UUID + "/$")

    def assert_failed_with(self, run, title, message, manifest_url=None, main_thread=False):
        self.assertEqual(run.status, 1, run.stderr)
        self.assertEqual(len(run.alerts), 1, run.stderr)
        report, window_title = run.alerts[0]
        self.assertEqual(report["style"], "critical")
        self.assertEqual(report["buttons"], ["Ok"])
        self.assertEqual(report["title"], title)
        self.assertEqual(window_title, title)
        if message is not None:
            self.assertEqual(report["message"], message)
        expected = [None]
        if main_thread:
            expected.append("in main thread")
        if manifest_url:
            expected.append("Manifest URL is: " + manifest_url)
        expected.append("Cleaning up")
        self.assertEqual(len(run.stdout), len(expected), run.stdout)
        self.assert_working_directory_line(run)
        self.assertEqual(run.stdout[1:], expected[1:])
        # Nothing of the run is left in the temporary directory.
        self.assertEqual([n for n in os.listdir(run.temporary) if re.fullmatch(UUID, n)], [])
        return report

    def assert_handed_over(self, run, manifest_url, url, path, version, kind):
        self.assert_working_directory_line(run)
        self.assertEqual(run.stdout[1:], [
            "Manifest URL is: " + manifest_url,
            f"Artifact: {url} path: {path} version: {version} {kind}",
        ])
        self.assertEqual(run.alerts, [])


def manifest_url(product_id):
    return f"https://{HOST}/{product_id}/cv-latest-mac.json"


class ManifestResponses(InstallerCase):
    """What the installer does with each kind of answer to the manifest
    request."""

    def test_good_manifest_hands_over_the_zip_build_and_shows_it(self):
        shot = os.path.join(ARGS.artifacts, "installer-window.png")
        run = self.run_installer(self.bundle(), until_line="Artifact:", screenshot=shot)
        self.assert_handed_over(run, manifest_url("good"), f"https://{HOST}/files/Good-x64.zip",
                                "Good-x64.zip", "3.1.4", "zip")
        self.assertEqual(len(run.requests), 1, run.requests)
        self.assertIn("Corvantis Test Installer", self.window_title)
        self.assertTrue(os.path.getsize(shot) > 0)

    def test_dmg_set_is_used_without_a_zip_set_and_an_empty_version_passes(self):
        run = self.run_installer(self.bundle(settings={"Corvantis ID": "dmgonly"}),
                                 until_line="Artifact:")
        self.assert_handed_over(run, manifest_url("dmgonly"), f"https://{HOST}/files/Disk-x64.dmg",
                                "Disk-x64.dmg", "", "dmg")

    def test_redirect_to_a_manifest_is_followed(self):
        product = "_redirect?to=/good/cv-latest-mac.json&from="
        run = self.run_installer(self.bundle(settings={"Corvantis ID": product}),
                                 until_line="Artifact:")
        self.assert_handed_over(run, manifest_url(product), f"https://{HOST}/files/Good-x64.zip",
                                "Good-x64.zip", "3.1.4", "zip")

    def test_status_other_than_200_fails(self):
        cases = [
            ("missing", "404"),
            ("_status/204?", "204"),
            ("_status/500?", "500"),
            ("_redirect?to=/missing/cv-latest-mac.json&from=", "404"),
        ]
        for product, code in cases:
            with self.subTest(product=product):
                run = self.run_installer(self.bundle(settings={"Corvantis ID": product}))
                self.assert_failed_with(
                    run, "Error downloading manifest",
                    f"Server returned HTTP status code {code} from {manifest_url(product)}",
                    manifest_url(product))

    def test_undecodable_manifests_fail(self):
        for product in ["notjson", "nocreatedat", "numericurl"]:
            with self.subTest(product=product):
                run = self.run_installer(self.bundle(settings={"Corvantis ID": product}))
                report = self.assert_failed_with(run, "Error decoding manifest JSON", None,
                                                 manifest_url(product))
                self.assertTrue(report["message"])

    def test_manifest_without_a_build_for_this_machine_fails_without_download(self):
        run = self.run_installer(self.bundle(settings={"Corvantis ID": "armonly"}))
        report = self.assert_failed_with(run, "No suitable download in manifest", None,
                                         manifest_url("armonly"))
        self.assertIn(manifest_url("armonly"), report["message"])
        self.assertIn("x86_64", report["message"])
        self.assertEqual(len(run.requests), 1, run.requests)

    def test_transport_failures_name_the_manifest_url(self):
        cases = [
            ("no server", "good", False, {}),
            ("server never answers", "_hang?", True,
             {"CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS": "1500"}),
        ]
        for description, product, serve, environment in cases:
            with self.subTest(description):
                run = self.run_installer(self.bundle(settings={"Corvantis ID": product}),
                                         serve=serve, environment=environment)
                report = self.assert_failed_with(
                    run, "Error downloading manifest from " + manifest_url(product), None,
                    manifest_url(product))
                self.assertTrue(report["message"])


class ProductIdentifier(InstallerCase):
    """How the "Corvantis ID" bundle setting is read."""

    def test_values_that_are_not_strings_stop_before_any_request(self):
        cases = [
            ("absent", dict(settings={"Corvantis ID": None})),
            ("number", dict(settings={"Corvantis ID": 42})),
            ("boolean", dict(settings={"Corvantis ID": True})),
            ("array", dict(settings={"Corvantis ID": ["good"]})),
            ("number in a binary plist", dict(settings={"Corvantis ID": 7}, binary=True)),
            ("no Info.plist", dict(missing=True)),
        ]
        for description, change in cases:
            with self.subTest(description):
                run = self.run_installer(self.bundle(**change))
                self.assert_failed_with(run, *WRONG_ID, main_thread=True)
                self.assertEqual(run.requests, [])

    def test_strings_are_used_unchanged(self):
        cases = [
            ("empty", dict(settings={"Corvantis ID": ""}), "", "Root.zip", "root"),
            ("with a slash", dict(settings={"Corvantis ID": "team/app"}), "team/app",
             "Team.zip", "9"),
            ("in a binary plist", dict(settings={"Corvantis ID": "good"}, binary=True), "good",
             "Good-x64.zip", "3.1.4"),
        ]
        for description, change, product, path, version in cases:
            with self.subTest(description):
                run = self.run_installer(self.bundle(**change), until_line="Artifact:")
                self.assert_handed_over(run, manifest_url(product),
                                        f"https://{HOST}/files/{path}", path, version, "zip")

    def test_identifier_that_makes_no_url_stops_before_any_request(self):
        run = self.run_installer(self.bundle(settings={"Corvantis ID": "two words"}))
        report = self.assert_failed_with(run, "Corvantis ID is incorrect", None, main_thread=True)
        self.assertIn(manifest_url("two words"), report["message"])
        self.assertEqual(run.requests, [])

    def test_each_run_has_its_own_working_directory(self):
        names = set()
        for _ in range(2):
            run = self.run_installer(self.bundle(settings={"Corvantis ID": None}))
            self.assert_working_directory_line(run)
            names.add(run.stdout[0])
        self.assertEqual(len(names), 2)


class Endpoints(InstallerCase):
    """A build whose environment is not exactly "prod" asks the development
    host."""

    def test_development_build_uses_the_development_host(self):
        run = self.run_installer(self.bundle(ARGS.dev_bundle), until_line="Artifact:")
        self.assert_handed_over(run, "https://localhost:8443/good/cv-latest-mac.json",
                                f"https://{HOST}/files/Good-x64.zip", "Good-x64.zip", "3.1.4",
                                "zip")


def main():
    global ARGS, CERTIFICATES
    parser = argparse.ArgumentParser()
    parser.add_argument("--bundle", required=True)
    parser.add_argument("--dev-bundle", required=True)
    parser.add_argument("--support", required=True)
    parser.add_argument("--artifacts", required=True)
    ARGS, rest = parser.parse_known_args()
    os.makedirs(ARGS.artifacts, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="installer-certificates-") as certificates:
        subprocess.run([os.path.join(ARGS.support, "make-test-certificates"), certificates],
                       check=True)
        CERTIFICATES = certificates
        program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
