#!/usr/bin/env python3
"""Runs the real installer bundle end to end.

Each run copies a test bundle (production host 127.0.0.1:8443), may rewrite
its Info.plist, and starts it in a network namespace of its own beside the
test HTTPS server, on an Xvfb display. Alerts are read from the installer's
report line (CORVANTIS_TEST_ALERT_REPORT) and from the alert window's title on
the X server, and are dismissed with a real Return key press.

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
CERTIFICATES = None
HERE = os.path.dirname(os.path.abspath(__file__))
HOST = "127.0.0.1:8443"
DEADLINE = 90  # only bounds a hung run; nothing relies on speed
UUID = r"[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"
WRONG_ID = ("Corvantis ID is incorrect", "The value in the plist file is not a string.")


def document(version="3.1.4", **sets):
    return {"artifacts": sets, "createdAt": "2024-06-01T12:00:00Z", "version": version}


def entry(name):
    return {"path": name, "url": f"https://{HOST}/files/{name}"}


def manifest_url(product_id):
    return f"https://{HOST}/{product_id}/cv-latest-mac.json"


# What the test server serves, by path under its root.
SERVED = {
    "good/cv-latest-mac.json": document(
        zip={"x64": entry("Good-x64.zip"), "arm64": entry("Good-arm64.zip")},
        dmg={"x64": entry("Good-x64.dmg"), "arm64": entry("Good-arm64.dmg")}),
    "dmgonly/cv-latest-mac.json": document(
        version="", dmg={"x64": entry("Disk-x64.dmg"), "ia32": entry("Disk-ia32.dmg")}),
    "armonly/cv-latest-mac.json": document(
        zip={"arm64": entry("Arm.zip")}, dmg={"x64": entry("Arm-fallback.dmg")}),
    "team/app/cv-latest-mac.json": document(version="9", zip={"x64": entry("Team.zip")}),
    # An empty product identifier asks for //cv-latest-mac.json.
    "cv-latest-mac.json": document(version="root", zip={"x64": entry("Root.zip")}),
    "notjson/cv-latest-mac.json": "this is not JSON {",
    "nocreatedat/cv-latest-mac.json": {"artifacts": {}, "version": "1"},
    "numericurl/cv-latest-mac.json": document(zip={"x64": {"path": "a", "url": 5}}),
}


class LineReader:
    """Collects the lines of a pipe on a thread, for waiting on them."""

    def __init__(self, pipe):
        self.lines, self.closed = [], False
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

    def wait_for(self, prefix, skip=0):
        """The line starting with prefix after skip such lines; None at the end."""
        end = time.monotonic() + DEADLINE
        with self.condition:
            while True:
                matches = [line for line in self.lines if line.startswith(prefix)]
                if len(matches) > skip:
                    return matches[skip]
                if self.closed:
                    return None
                if not self.condition.wait(max(0, end - time.monotonic())):
                    raise AssertionError("gave up waiting; lines so far: %r" % self.lines)

    def finish(self):
        self.thread.join(DEADLINE)
        return list(self.lines)


class Display:
    """An Xvfb server on a display number it picks itself."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            self.name = ":" + numbers.readline().strip()

    def run(self, *argv):
        return subprocess.run(argv, env=dict(os.environ, DISPLAY=self.name), check=True,
                              capture_output=True, text=True, timeout=DEADLINE).stdout

    def window_names(self, *search):
        windows = self.run("xdotool", "search", "--sync", "--onlyvisible", *search).split()
        return {w: self.run("xdotool", "getwindowname", w).rstrip("\n") for w in windows}

    def close(self):
        self.process.terminate()
        self.process.wait()


class Namespace:
    """A network namespace with only loopback, held by a process until close()."""

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
        script = os.path.join(ARGS.support, "https-server.py")
        self.process = subprocess.Popen(
            namespace.command([sys.executable, script, "--root", root, "--certificates",
                               CERTIFICATES, "--port", "8443", "--host", "127.0.0.1"]),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if self.process.stdout.readline().strip() != b"PORT 8443":
            raise RuntimeError("test server did not start")
        self.log = LineReader(self.process.stderr)

    def requests(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            self.process.wait(DEADLINE)
            self.process.stdout.close()
        return [line for line in self.log.finish() if '"GET ' in line]


class Run:
    """What one run of the installer showed."""

    stdout = stderr = requests = ()
    alerts = None  # [(report, title of the alert window on the X server)]
    status = None
    temporary = None  # the TMPDIR it was given
    window_names = ()


class InstallerCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = Display()

    @classmethod
    def tearDownClass(cls):
        cls.display.close()

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="installer-run-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def bundle(self, source=None, settings=None, binary=False, missing=False):
        """A copy of a bundle whose Info.plist has settings applied (None
        removes a key), is written in binary form, or is missing."""
        source = source or ARGS.bundle
        target = os.path.join(tempfile.mkdtemp(dir=self.work), os.path.basename(source))
        shutil.copytree(source, target, symlinks=True)
        plist_path = os.path.join(target, "Contents", "Info.plist")
        if missing:
            os.remove(plist_path)
            return target
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
        """Runs the bundle to its end, pressing Return in each alert; with
        until_line, stops it (SIGTERM) once it logs a line starting so."""
        run = Run()
        folder = tempfile.mkdtemp(dir=self.work)
        run.temporary, runtime, root = (os.path.join(folder, n) for n in ("tmp", "run", "root"))
        os.mkdir(run.temporary)
        os.mkdir(runtime, 0o700)
        for path, content in SERVED.items():
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "w") as f:
                f.write(content if isinstance(content, str) else json.dumps(content))

        namespace = Namespace()
        self.addCleanup(namespace.close)
        server = Server(namespace, root) if serve else None
        if server:
            self.addCleanup(server.requests)
        macos = os.path.join(bundle, "Contents", "MacOS")
        env = dict(os.environ, DISPLAY=self.display.name, QT_QPA_PLATFORM="xcb",
                   TMPDIR=run.temporary, XDG_RUNTIME_DIR=runtime,
                   SSL_CERT_FILE=os.path.join(CERTIFICATES, "ca.pem"),
                   CORVANTIS_TEST_ALERT_REPORT="1", **(environment or {}))
        env["TSAN_OPTIONS"] = ":".join(filter(None, [
            os.environ.get("TSAN_OPTIONS"), "suppressions=" + os.path.join(HERE, "qt.tsan-suppressions")]))
        process = subprocess.Popen(
            namespace.command([os.path.join(macos, os.listdir(macos)[0])]), env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        stdout, stderr = LineReader(process.stdout), LineReader(process.stderr)
        run.alerts = []
        try:
            if until_line:
                self.assertIsNotNone(stdout.wait_for(until_line), stdout.lines)
                run.window_names = self.display.window_names("--pid", str(process.pid)).values()
                if screenshot:
                    time.sleep(0.5)  # let the window paint what the last step set
                    self.display.run("import", "-window", "root", screenshot)
                process.terminate()
            while not until_line:
                line = stderr.wait_for("alert: ", skip=len(run.alerts))
                if line is None:
                    break
                report = json.loads(line[len("alert: "):])
                run.alerts.append((report, self.dismiss_alert(report["title"])))
            run.status = process.wait(DEADLINE)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        run.stdout, run.stderr = stdout.finish(), stderr.finish()
        run.requests = server.requests() if server else []
        return run

    def dismiss_alert(self, title):
        """Presses Return in the alert window with this title; returns the
        window's title as the X server has it."""
        windows = self.display.window_names("--name", "^" + re.escape(title) + "$")
        self.assertEqual(len(windows), 1, windows)
        window, name = windows.popitem()
        self.display.run("xdotool", "windowfocus", "--sync", window)
        self.display.run("xdotool", "key", "--clearmodifiers", "Return")
        return name

    def assert_working_directory_line(self, run):
        self.assertRegex(run.stdout[0], "^Temporary directory is:  file://" +
                         re.escape(run.temporary) + "/" + UUID + "/$")

    def assert_failed_with(self, run, title, message, manifest_url=None, main_thread=False):
        self.assertEqual(run.status, 1, run.stderr)
        self.assertEqual(len(run.alerts), 1, run.stderr)
        report, window_title = run.alerts[0]
        self.assertEqual((report["style"], report["buttons"]), ("critical", ["Ok"]))
        self.assertEqual((report["title"], window_title), (title, title))
        if message is not None:
            self.assertEqual(report["message"], message)
        self.assert_working_directory_line(run)
        expected = (["in main thread"] if main_thread else []) + \
            (["Manifest URL is: " + manifest_url] if manifest_url else []) + ["Cleaning up"]
        self.assertEqual(run.stdout[1:], expected)
        self.assertEqual([n for n in os.listdir(run.temporary) if re.fullmatch(UUID, n)], [])
        return report

    def assert_handed_over(self, run, manifest_url, path, version, kind):
        self.assert_working_directory_line(run)
        self.assertEqual(run.stdout[1:], [
            "Manifest URL is: " + manifest_url,
            f"Artifact: https://{HOST}/files/{path} path: {path} version: {version} {kind}"])
        self.assertEqual(run.alerts, [])
        # The manifest was fetched, and nothing else yet.
        self.assertTrue(run.requests)
        self.assertFalse([r for r in run.requests if "/files/" in r], run.requests)


class ManifestResponses(InstallerCase):
    """Each kind of answer to the manifest request."""

    def test_good_manifest_hands_over_the_zip_build_and_shows_it(self):
        shot = os.path.join(ARGS.artifacts, "installer-window.png")
        run = self.run_installer(self.bundle(), until_line="Artifact:", screenshot=shot)
        self.assert_handed_over(run, manifest_url("good"), "Good-x64.zip", "3.1.4", "zip")
        self.assertEqual(list(run.window_names), ["Corvantis Test Installer"])

    def test_dmg_set_and_redirects_to_a_manifest(self):
        cases = [("dmgonly", "Disk-x64.dmg", "", "dmg"),
                 ("_redirect?to=/good/cv-latest-mac.json&from=", "Good-x64.zip", "3.1.4", "zip")]
        for product, path, version, kind in cases:
            with self.subTest(product=product):
                run = self.run_installer(self.bundle(settings={"Corvantis ID": product}),
                                         until_line="Artifact:")
                self.assert_handed_over(run, manifest_url(product), path, version, kind)

    def test_status_other_than_200_fails(self):
        cases = [("missing", "404"), ("_status/204?", "204"), ("_status/500?", "500"),
                 ("_redirect?to=/missing/cv-latest-mac.json&from=", "404")]
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

    def test_manifest_without_a_build_for_this_machine_fails(self):
        run = self.run_installer(self.bundle(settings={"Corvantis ID": "armonly"}))
        report = self.assert_failed_with(run, "No suitable download in manifest", None,
                                         manifest_url("armonly"))
        self.assertIn(manifest_url("armonly"), report["message"])
        self.assertIn("x86_64", report["message"])
        self.assertEqual(len(run.requests), 1, run.requests)

    def test_transport_failures_name_the_manifest_url(self):
        cases = [("no server", "good", False, {}),
                 ("never answers", "_hang?", True, {"CORVANTIS_TEST_HTTP_IDLE_TIMEOUT_MS": "1500"})]
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
        cases = [("absent", dict(settings={"Corvantis ID": None})),
                 ("number", dict(settings={"Corvantis ID": 42})),
                 ("boolean", dict(settings={"Corvantis ID": True})),
                 ("array", dict(settings={"Corvantis ID": ["good"]})),
                 ("number, binary plist", dict(settings={"Corvantis ID": 7}, binary=True)),
                 ("no Info.plist", dict(missing=True))]
        for description, change in cases:
            with self.subTest(description):
                run = self.run_installer(self.bundle(**change))
                self.assert_failed_with(run, *WRONG_ID, main_thread=True)
                self.assertEqual(run.requests, [])

    def test_strings_are_used_unchanged(self):
        cases = [("empty", dict(settings={"Corvantis ID": ""}), "", "Root.zip", "root"),
                 ("slash", dict(settings={"Corvantis ID": "team/app"}), "team/app", "Team.zip",
                  "9"),
                 ("binary plist", dict(settings={"Corvantis ID": "good"}, binary=True), "good",
                  "Good-x64.zip", "3.1.4")]
        for description, change, product, path, version in cases:
            with self.subTest(description):
                run = self.run_installer(self.bundle(**change), until_line="Artifact:")
                self.assert_handed_over(run, manifest_url(product), path, version, "zip")

    def test_identifier_that_makes_no_url_stops_before_any_request(self):
        run = self.run_installer(self.bundle(settings={"Corvantis ID": "two words"}))
        report = self.assert_failed_with(run, "Corvantis ID is incorrect", None, main_thread=True)
        self.assertIn(manifest_url("two words"), report["message"])
        self.assertEqual(run.requests, [])

    def test_each_run_has_its_own_working_directory(self):
        runs = [self.run_installer(self.bundle(settings={"Corvantis ID": None})) for _ in "ab"]
        for run in runs:
            self.assert_working_directory_line(run)
        self.assertNotEqual(runs[0].stdout[0], runs[1].stdout[0])


class Endpoints(InstallerCase):
    """A build whose environment is not exactly "prod" asks the development host."""

    def test_development_build_uses_the_development_host(self):
        run = self.run_installer(self.bundle(ARGS.dev_bundle), until_line="Artifact:")
        self.assert_handed_over(run, "https://localhost:8443/good/cv-latest-mac.json",
                                "Good-x64.zip", "3.1.4", "zip")


def main():
    global ARGS, CERTIFICATES
    parser = argparse.ArgumentParser()
    for option in ("--bundle", "--dev-bundle", "--support", "--artifacts"):
        parser.add_argument(option, required=True)
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
