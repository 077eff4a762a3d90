#!/usr/bin/env python3
"""Runs the real installer bundle end to end.

Each run copies a test bundle (production host 127.0.0.1:8443), may rewrite
its Info.plist, and starts it in a network and mount namespace of its own
beside the test HTTPS server and an Xvfb display of that namespace. There,
/Applications and /tmp/.X11-unix are tmpfs mounts of that namespace alone (the
host's folders are only the mount points, made when missing); /Applications is
reached from here through /proc/<pid>/root. The desktop's
default handler is a stand-in xdg-open on PATH that records what it is asked
to open. Alerts are read from the installer's report line
(CORVANTIS_TEST_ALERT_REPORT) and from the alert window's title on the X
server, and are dismissed with a real Return key press.

usage: installer_run_test.py --bundle APP --dev-bundle APP --support DIR
                             --artifacts DIR [unittest arguments]
"""

import argparse
import errno
import json
import os
import plistlib
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

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


def build(path, url=None, kind="zip"):
    """A manifest offering one build for both kinds of machine."""
    file = {"path": path, "url": url or f"https://{HOST}/files/{path}"}
    return document(version="2.0", **{kind: {"x64": file, "arm64": file}})


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
    # Whole installs; the tests put the files under files/.
    "sample/cv-latest-mac.json": build("Sample.zip"),
    "slow/cv-latest-mac.json": build(
        "Sample.zip", f"https://{HOST}/_slow/files/Sample.zip?pieces=40&pause=0.1"),
    "refused/cv-latest-mac.json": build("Refused.zip"),
    "nested/cv-latest-mac.json": build("sub/Sample.zip", f"https://{HOST}/files/Sample.zip"),
    "cut/cv-latest-mac.json": build("Sample.zip", f"https://{HOST}/_cut/files/Sample.zip"),
    "notzip/cv-latest-mac.json": build("Broken.zip"),
    "empty/cv-latest-mac.json": build("Empty.zip"),
    "folder/cv-latest-mac.json": build("Folder.zip"),
    "noisy/cv-latest-mac.json": build("Noisy.zip"),
    "disk/cv-latest-mac.json": build("Sample.dmg", kind="dmg"),
    "badurl/cv-latest-mac.json": build("Sample.zip", "not a url"),
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

    def wait_for_match(self, predicate):
        end = time.monotonic() + DEADLINE
        with self.condition:
            while not any(predicate(line) for line in self.lines):
                if self.closed:
                    return False
                if not self.condition.wait(max(0, end - time.monotonic())):
                    raise AssertionError("gave up waiting; lines so far: %r" % self.lines)
            return True

    def finish(self):
        self.thread.join(DEADLINE)
        return list(self.lines)


class Display:
    """An Xvfb server inside a Namespace, on a display number it picks itself.
    Its clients reach it in that network namespace (by the abstract socket)
    or by the socket file in the namespace's own /tmp/.X11-unix; X servers
    that other work on the machine starts can take neither over."""

    def __init__(self, namespace):
        self.namespace = namespace
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            namespace.command(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                               "1024x768x24", "-nolisten", "tcp"]),
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            self.name = ":" + numbers.readline().strip()

    def run(self, *argv):
        return subprocess.run(self.namespace.command(argv),
                              env=dict(os.environ, DISPLAY=self.name), check=True,
                              capture_output=True, text=True, timeout=DEADLINE).stdout

    def window_names(self, *search):
        windows = self.run("xdotool", "search", "--sync", "--onlyvisible", *search).split()
        return {w: self.run("xdotool", "getwindowname", w).rstrip("\n") for w in windows}

    def close(self):
        self.process.terminate()
        self.process.wait()


class Namespace:
    """A network namespace with only loopback and a mount namespace, held by a
    process until close(), with an X server of its own (display). Its
    /Applications is a fresh tmpfs ("rw", "ro", or "sealed": mode 000, which
    only a process without the DAC override capabilities feels)."""

    OPTIONS = {"rw": "mode=755", "ro": "mode=755,ro", "sealed": "mode=000"}

    def __init__(self, applications="rw"):
        for folder, mode in (("/Applications", 0o755), ("/tmp/.X11-unix", 0o1777)):
            if not os.path.lexists(folder):
                os.mkdir(folder, mode)  # mount points, nothing more
        script = ("ip link set lo up"
                  " && mount -t tmpfs -o %s,size=1g applications /Applications"
                  " && mount -t tmpfs -o mode=1777 x11 /tmp/.X11-unix"
                  " && echo ready && exec cat" % self.OPTIONS[applications])
        self.holder = subprocess.Popen(["unshare", "--net", "--mount", "--", "sh", "-c", script],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if self.holder.stdout.readline().strip() != b"ready":
            raise RuntimeError("could not make the namespaces")
        self.applications = "/proc/%d/root/Applications" % self.holder.pid
        self.display = Display(self)

    def command(self, argv):
        return ["nsenter", "-t", str(self.holder.pid), "--net", "--mount", "--", *argv]

    def make_applications_read_only(self):
        subprocess.run(self.command(["mount", "-o", "remount,ro", "/Applications"]), check=True)

    def close(self):
        self.display.close()
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

    def wait_for_request(self, path):
        return self.log.wait_for_match(lambda line: ('"GET ' + path) in line)

    def requests(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            self.process.wait(DEADLINE)
            self.process.stdout.close()
        return [line for line in self.log.finish() if '"GET ' in line]


class Run:
    """What one run of the installer showed."""

    stdout = stderr = requests = opened = ()
    alerts = None  # [(report, title of the alert window on the X server)]
    status = None
    temporary = None  # the TMPDIR it was given
    window_names = ()
    namespace = server = None
    opened_file = None  # where the stand-in xdg-open records its arguments

    @property
    def workdir(self):
        return workdir_of(self.stdout[0])


def workdir_of(first_line):
    """The run's working directory, as its first log line names it."""
    return re.match("^Temporary directory is:  file://(.*)/$", first_line).group(1)


def snapshot(root):
    """Each entry of a tree by relative path: kind, permission bits, content
    (a link's target for links)."""
    result = {}
    for folder, directories, files in os.walk(root):
        for name in directories + files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root)
            if os.path.islink(path):
                result[relative] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                result[relative] = ("folder", os.lstat(path).st_mode & 0o7777)
            else:
                with open(path, "rb") as f:
                    result[relative] = ("file", os.lstat(path).st_mode & 0o7777, f.read())
    return result


def make_app(folder, version, marker, count=3, executable=True):
    """Sample.app: its executable appends its own path and the version to
    marker; count resource files carry the version too."""
    app = os.path.join(folder, "Sample.app")
    contents = os.path.join(app, "Contents")
    os.makedirs(os.path.join(contents, "MacOS"))
    with open(os.path.join(contents, "Info.plist"), "wb") as f:
        plistlib.dump({"CFBundleName": "Sample", "CFBundleExecutable": "Sample",
                       "CFBundleShortVersionString": version}, f)
    program = os.path.join(contents, "MacOS", "Sample")
    with open(program, "w") as f:
        f.write('#!/bin/sh\necho "$0 %s" >> "%s"\n' % (version, marker))
    os.chmod(program, 0o755 if executable else 0o644)
    for i in range(count):
        part = os.path.join(contents, "Resources", "part-%d" % (i // 100))
        os.makedirs(part, exist_ok=True)
        with open(os.path.join(part, "file-%d.txt" % i), "w") as f:
            f.write("%s %d\n" % (version, i))
    os.symlink("Resources", os.path.join(contents, "Current"))
    return app


def zip_of(folder, *names):
    """A zip archive of the named entries of folder, made by zip, links kept."""
    archive = os.path.join(tempfile.mkdtemp(dir=folder), "archive.zip")
    subprocess.run(["zip", "-q", "-r", "-y", archive, *names], cwd=folder, check=True)
    with open(archive, "rb") as f:
        return f.read()


def wait_until(predicate, what):
    """Polls; only bounds a run that went wrong, nothing relies on speed."""
    end = time.monotonic() + DEADLINE
    while not predicate():
        if time.monotonic() > end:
            raise AssertionError("gave up waiting for " + what)
        time.sleep(0.01)


class InstallerCase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="installer-run-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.marker = os.path.join(self.work, "marker")

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

    def product(self, product_id):
        return self.bundle(settings={"Corvantis ID": product_id})

    def namespace(self, applications="rw", serve=True, files=None):
        """Namespaces with their /Applications, and the test server serving
        SERVED plus files (path: bytes) when serve is set."""
        namespace = Namespace(applications)
        self.addCleanup(namespace.close)
        if not serve:
            return namespace, None
        root = tempfile.mkdtemp(dir=self.work)
        for path, content in {**SERVED, **(files or {})}.items():
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "wb") as f:
                f.write(content if isinstance(content, bytes) else
                        (content if isinstance(content, str) else json.dumps(content)).encode())
        server = Server(namespace, root)
        self.addCleanup(server.requests)
        return namespace, server

    def start(self, bundle, namespace, environment=None, without_dac_override=False,
              default_handler=True):
        """Starts the bundle's executable in the namespaces; returns the Run
        to fill, the process and readers of its standard output and error.
        Without default_handler there is no xdg-open stand-in on PATH."""
        run = Run()
        folder = tempfile.mkdtemp(dir=self.work)
        run.temporary, runtime, tools = (os.path.join(folder, n) for n in ("tmp", "run", "bin"))
        os.mkdir(run.temporary)
        os.mkdir(runtime, 0o700)
        os.mkdir(tools)
        # The desktop's default handler: records what it is asked to open.
        run.opened_file = os.path.join(folder, "opened")
        if default_handler:
            with open(os.path.join(tools, "xdg-open"), "w") as f:
                f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\n' % run.opened_file)
            os.chmod(os.path.join(tools, "xdg-open"), 0o755)

        macos = os.path.join(bundle, "Contents", "MacOS")
        env = dict(os.environ, DISPLAY=namespace.display.name, QT_QPA_PLATFORM="xcb",
                   TMPDIR=run.temporary, XDG_RUNTIME_DIR=runtime,
                   PATH=tools + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"),
                   SSL_CERT_FILE=os.path.join(CERTIFICATES, "ca.pem"),
                   # Only the loopback address exists in the namespace: no proxy
                   # the machine names could be reached.
                   no_proxy="*", NO_PROXY="*",
                   CORVANTIS_TEST_ALERT_REPORT="1")
        env.update(environment or {})
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)  # no file browser: the handler shows folders
        for tool, suppressions in (("TSAN", "qt.tsan-suppressions"), ("LSAN", "lsan.suppressions")):
            env[tool + "_OPTIONS"] = ":".join(filter(None, [
                os.environ.get(tool + "_OPTIONS"),
                "suppressions=" + os.path.join(HERE, suppressions)]))
        argv = [os.path.join(macos, os.listdir(macos)[0])]
        if without_dac_override:
            # Root that obeys permission bits, as any user does.
            argv = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--", *argv]
        process = subprocess.Popen(namespace.command(argv), env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        run.namespace = namespace
        return run, process, LineReader(process.stdout), LineReader(process.stderr)

    def run_installer(self, bundle, serve=True, environment=None, files=None, applications="rw",
                      without_dac_override=False, default_handler=True, prepare=None,
                      during=None):
        """Runs the bundle to its end, pressing Return in each alert.
        prepare(namespace) runs before the start; during(run, process, stdout,
        server) right after it, and when it returns True the installer is
        stopped (SIGTERM) instead of run to its end."""
        namespace, server = self.namespace(applications, serve, files)
        if prepare:
            prepare(namespace)
        run, process, stdout, stderr = self.start(bundle, namespace, environment,
                                                  without_dac_override, default_handler)
        run.server = server
        run.alerts = []
        try:
            stop = bool(during and during(run, process, stdout, server))
            if stop:
                process.terminate()
            while not stop:
                line = stderr.wait_for("alert: ", skip=len(run.alerts))
                if line is None:
                    break
                report = json.loads(line[len("alert: "):])
                run.alerts.append(
                    (report, self.dismiss_alert(namespace.display, report["title"])))
            run.status = process.wait(DEADLINE)
        finally:
            if process.poll() is None:
                process.kill()
                process.wait()
        run.stdout, run.stderr = stdout.finish(), stderr.finish()
        run.requests = server.requests() if server else []
        run.opened = self.opened(run)
        return run

    @staticmethod
    def opened(run):
        if not os.path.exists(run.opened_file):
            return []
        with open(run.opened_file) as f:
            return f.read().splitlines()

    def wait_for_opened(self, run, paths):
        """The stand-in runs detached and may finish after the installer; it
        is handed file URLs."""
        wait_until(lambda: len(self.opened(run)) >= len(paths), "the default handler")
        self.assertEqual(self.opened(run), ["file://" + path for path in paths])

    def screenshot(self, run, process, name):
        display = run.namespace.display
        run.window_names = list(display.window_names("--pid", str(process.pid)).values())
        time.sleep(0.5)  # let the window paint what the last step set
        display.run("import", "-window", "root", os.path.join(ARGS.artifacts, name))

    @staticmethod
    def close_window(run, process):
        """Closes the installer's window as its close button would."""
        display = run.namespace.display
        for window in display.window_names("--pid", str(process.pid)):
            display.run(ARGS.close_window, window)

    def dismiss_alert(self, display, title):
        """Presses Return in the alert window with this title; returns the
        window's title as the X server has it."""
        windows = display.window_names("--name", "^" + re.escape(title) + "$")
        self.assertEqual(len(windows), 1, windows)
        window, name = windows.popitem()
        display.run("xdotool", "windowfocus", "--sync", window)
        display.run("xdotool", "key", "--clearmodifiers", "Return")
        return name

    def assert_working_directory_line(self, run):
        self.assertRegex(run.stdout[0], "^Temporary directory is:  file://" +
                         re.escape(run.temporary) + "/" + UUID + "/$")

    def assert_failed_with(self, run, title, message, manifest_url=None, main_thread=False,
                           lines=()):
        """One critical alert, then clean-up and status 1; lines are the log
        lines between the manifest's and "Cleaning up"."""
        self.assertEqual(run.status, 1, run.stderr)
        self.assertEqual(len(run.alerts), 1, run.stderr)
        report, window_title = run.alerts[0]
        self.assertEqual((report["style"], report["buttons"]), ("critical", ["Ok"]))
        self.assertEqual((report["title"], window_title), (title, title))
        if message is not None:
            self.assertEqual(report["message"], message)
        self.assert_working_directory_line(run)
        expected = (["in main thread"] if main_thread else []) + \
            (["Manifest URL is: " + manifest_url] if manifest_url else []) + list(lines) + \
            ["Cleaning up"]
        self.assertEqual(run.stdout[1:], expected)
        self.assertEqual([n for n in os.listdir(run.temporary) if re.fullmatch(UUID, n)], [])
        return report

    def assert_handed_over(self, run, manifest_url, path, kind):
        """The manifest step handed the build on: its url was requested and
        its path named the file. The test server has no such file, so the
        body is a 404 page: a zip then fails to uncompress, a disk image goes
        to the default handler all the same."""
        self.assertEqual([r.split('"GET ')[1].split(" ")[0] for r in run.requests][-1],
                         "/files/" + path, run.requests)
        archive = run.workdir + "/" + path
        if kind == "zip":
            self.assert_failed_with(
                run, "Error uncompresing " + archive,
                "Command '%s -q -o %s -d %s' finished with exit code 9." % (
                    shutil.which("unzip"), archive, run.workdir),
                manifest_url, lines=[archive])
        else:
            self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
            self.assertEqual(run.stdout[1:], ["Manifest URL is: " + manifest_url, "Cleaning up"])
            self.wait_for_opened(run, [archive])
            self.assertFalse(os.path.exists(run.workdir))


class ManifestResponses(InstallerCase):
    """Each kind of answer to the manifest request."""

    def test_good_manifest_hands_over_the_zip_build(self):
        run = self.run_installer(self.bundle())
        self.assert_handed_over(run, manifest_url("good"), "Good-x64.zip", "zip")

    def test_dmg_set_and_redirects_to_a_manifest(self):
        cases = [("dmgonly", "Disk-x64.dmg", "dmg"),
                 ("_redirect?to=/good/cv-latest-mac.json&from=", "Good-x64.zip", "zip")]
        for product, path, kind in cases:
            with self.subTest(product=product):
                run = self.run_installer(self.product(product))
                self.assert_handed_over(run, manifest_url(product), path, kind)

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
        cases = [("empty", dict(settings={"Corvantis ID": ""}), "", "Root.zip"),
                 ("slash", dict(settings={"Corvantis ID": "team/app"}), "team/app", "Team.zip"),
                 ("binary plist", dict(settings={"Corvantis ID": "good"}, binary=True), "good",
                  "Good-x64.zip")]
        for description, change, product, path in cases:
            with self.subTest(description):
                run = self.run_installer(self.bundle(**change))
                self.assert_handed_over(run, manifest_url(product), path, "zip")

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
        run = self.run_installer(self.bundle(ARGS.dev_bundle))
        self.assert_handed_over(run, "https://localhost:8443/good/cv-latest-mac.json",
                                "Good-x64.zip", "zip")


class Installing(InstallerCase):
    """Whole installs into a /Applications of the test's own."""

    def sample_zip(self, version="2.0", count=3, executable=True):
        folder = tempfile.mkdtemp(dir=self.work)
        app = make_app(folder, version, self.marker, count, executable)
        return zip_of(folder, "Sample.app"), snapshot(app)

    def assert_installed(self, run, expected, version):
        """Installed, run from /Applications, cleaned up, quit with status 0."""
        self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
        workdir = run.workdir
        self.assertEqual(run.stdout[1:], [
            "Manifest URL is: " + manifest_url(run.product), workdir + "/Sample.zip", "2",
            "prevAppPath", "file://" + workdir + "/Sample.app/", "appName", "Sample.app",
            "Cleaning up"])
        applications = run.namespace.applications
        self.assertEqual(os.listdir(applications), ["Sample.app"])
        self.assertEqual(snapshot(os.path.join(applications, "Sample.app")), expected)
        wait_until(lambda: os.path.exists(self.marker), "the installed application to run")
        with open(self.marker) as f:
            self.assertEqual(f.read(), "/Applications/Sample.app/Contents/MacOS/Sample %s\n"
                             % version)
        self.assertFalse(os.path.exists(workdir))
        self.assertEqual(run.opened, [])

    def install(self, product, files, **options):
        run = self.run_installer(self.product(product), files=files, **options)
        run.product = product
        return run

    def test_fresh_install(self):
        data, expected = self.sample_zip()
        run = self.install("sample", {"files/Sample.zip": data})
        self.assert_installed(run, expected, "2.0")
        self.assertEqual([r.split('"GET ')[1].split(" ")[0] for r in run.requests],
                         ["/sample/cv-latest-mac.json", "/files/Sample.zip"])

    def test_older_copy_is_replaced_with_nothing_of_it_left(self):
        data, expected = self.sample_zip("2.0")
        old = make_app(tempfile.mkdtemp(dir=self.work), "1.0", self.marker, count=120)
        os.mkdir(os.path.join(old, "Contents", "Plugins"))

        def put_old_copy(namespace):
            shutil.copytree(old, os.path.join(namespace.applications, "Sample.app"),
                            symlinks=True)

        run = self.install("sample", {"files/Sample.zip": data}, prepare=put_old_copy)
        self.assert_installed(run, expected, "2.0")

    def test_progress_bar_moves_while_downloading(self):
        data, expected = self.sample_zip()

        def look_mid_download(run, process, stdout, server):
            server.wait_for_request("/_slow/")
            time.sleep(1.5)  # a share of the 4 seconds the body takes
            self.screenshot(run, process, "installer-downloading.png")

        run = self.install("slow", {"files/Sample.zip": data}, during=look_mid_download)
        self.assert_installed(run, expected, "2.0")
        self.assertEqual(run.window_names, ["Corvantis Test Installer"])

    def test_closing_the_window_does_not_stop_the_run(self):
        data, expected = self.sample_zip()

        def close_mid_download(run, process, stdout, server):
            server.wait_for_request("/_slow/")
            self.close_window(run, process)

        run = self.install("slow", {"files/Sample.zip": data}, during=close_mid_download)
        self.assert_installed(run, expected, "2.0")

    def test_refused_launch_leaves_the_window_at_installed_until_it_is_closed(self):
        data, expected = self.sample_zip(executable=False)

        def look_then_close(run, process, stdout, server):
            self.assertEqual(stdout.wait_for("appName"), "appName")
            installed = os.path.join(run.namespace.applications, "Sample.app")
            wait_until(lambda: os.path.exists(installed), "the application in /Applications")
            time.sleep(1)  # well past the quarter second before the launch
            self.screenshot(run, process, "installer-installed.png")
            self.assertIsNone(process.poll(), "the installer quit by itself")
            self.close_window(run, process)

        def close_at_once(run, process, stdout, server):
            stdout.wait_for("Manifest URL is: ")
            self.close_window(run, process)

        for description, during in (("window closed after the refusal", look_then_close),
                                    ("window closed before it", close_at_once)):
            with self.subTest(description):
                run = self.install("refused", {"files/Refused.zip": data}, during=during)
                # Nothing after the refusal: no clean-up, the window's end is the run's.
                self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
                self.assertEqual(run.stdout[-2:], ["appName", "Sample.app"])
                self.assertTrue(os.path.isdir(run.workdir))
                self.assertEqual(
                    snapshot(os.path.join(run.namespace.applications, "Sample.app")), expected)
                self.assertFalse(os.path.exists(self.marker))

    def test_unwritable_applications_hands_the_app_over(self):
        cases = [("read-only", dict(applications="ro"), errno.EROFS),
                 ("cannot be entered", dict(applications="sealed", without_dac_override=True),
                  errno.EACCES)]
        data, expected = self.sample_zip()
        for description, options, code in cases:
            with self.subTest(description):
                run = self.install("sample", {"files/Sample.zip": data}, **options)
                self.assertEqual(run.status, 0, run.stderr)
                title = "You will need to manually move Sample to Applications folder."
                self.assertEqual(run.alerts, [({
                    "style": "warning", "title": title, "buttons": ["Reveal in Finder"],
                    "message": "We will reveal Sample.app in Finder. You can then manually drag "
                               "the application to the Applications folder yourself.\n\n"
                               "Internal code: %d" % code}, title)])
                workdir = run.workdir
                self.assertEqual(run.stdout[1:], [
                    "Manifest URL is: " + manifest_url("sample"), workdir + "/Sample.zip", "2",
                    "prevAppPath", "file://" + workdir + "/Sample.app/", "appName",
                    "Sample.app"])
                # Kept for the user: the bundle beside a link to drag it onto.
                self.assertEqual(sorted(os.listdir(workdir)), ["Applications", "Sample.app"])
                self.assertEqual(os.readlink(os.path.join(workdir, "Applications")),
                                 "/Applications")
                self.assertEqual(snapshot(os.path.join(workdir, "Sample.app")), expected)
                self.wait_for_opened(run, [workdir])
                self.assertEqual(os.listdir(run.namespace.applications), [])

    def test_disk_image_goes_to_the_default_handler(self):
        run = self.install("disk", {"files/Sample.dmg": b"not really a disk image"})
        self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
        self.assertEqual(run.stdout[1:], ["Manifest URL is: " + manifest_url("disk"),
                                          "Cleaning up"])
        self.wait_for_opened(run, [run.workdir + "/Sample.dmg"])
        self.assertFalse(os.path.exists(run.workdir))

    def test_disk_image_nobody_opens_leaves_the_window_up(self):
        if shutil.which("xdg-open"):
            self.skipTest("this machine has a default handler of its own")

        def wait_for_the_image(run, process, stdout, server):
            server.wait_for_request("/files/Sample.dmg")
            image = os.path.join(workdir_of(stdout.wait_for("Temporary")), "Sample.dmg")
            wait_until(lambda: os.path.exists(image), "the disk image")
            time.sleep(1)  # time to open it, clean up and quit, were it accepted
            return True

        run = self.install("disk", {"files/Sample.dmg": b"not really a disk image"},
                           default_handler=False, during=wait_for_the_image)
        self.assertEqual((run.status, run.alerts), (-signal.SIGTERM, []), run.stderr)
        self.assertEqual(run.stdout[1:], ["Manifest URL is: " + manifest_url("disk")])
        self.assertEqual(os.listdir(run.workdir), ["Sample.dmg"])


class FailedInstalls(InstallerCase):
    """Downloads and archives that cannot be installed end with their alert."""

    def unzip_failure(self, run, name, status):
        archive = run.workdir + "/" + name
        return ("Error uncompresing " + archive,
                "Command '%s -q -o %s -d %s' finished with exit code %d." % (
                    shutil.which("unzip"), archive, run.workdir, status), [archive])

    def test_each_failure_has_its_alert(self):
        folder = tempfile.mkdtemp(dir=self.work)
        make_app(os.path.join(folder, "Release"), "2.0", self.marker)
        sample = zip_of(os.path.join(folder, "Release"), "Sample.app")
        in_folder = zip_of(folder, "Release")
        files = {"files/Sample.zip": sample, "files/Broken.zip": b"<html>not a zip</html>",
                 "files/Empty.zip": b"", "files/Folder.zip": in_folder}
        cases = [
            ("not a zip", "notzip", lambda run: self.unzip_failure(run, "Broken.zip", 9)),
            ("empty body", "empty", lambda run: self.unzip_failure(run, "Empty.zip", 9)),
            ("nested path", "nested", lambda run: (
                "Error writing to " + run.workdir + "/sub/Sample.zip", None, [])),
            ("connection cut", "cut", lambda run: ("Error downloading file", None, [
                "Error downloading file from https://%s/_cut/files/Sample.zip" % HOST])),
            ("url that does not parse", "badurl", lambda run: (
                "Error downloading file",
                'The download address "not a url" is not a valid URL.', [])),
            ("bundle inside a folder", "folder", lambda run: (
                "No application in the download", None,
                [run.workdir + "/Folder.zip", "2"])),
        ]
        for description, product, expect in cases:
            with self.subTest(description):
                run = self.run_installer(self.product(product), files=files)
                title, message, lines = expect(run)
                report = self.assert_failed_with(run, title, message, manifest_url(product),
                                                 lines=lines)
                self.assertTrue(report["message"])
                self.assertFalse(os.path.exists(self.marker))

    def test_working_directory_that_cannot_be_made(self):
        blocker = os.path.join(self.work, "not-a-folder")
        open(blocker, "w").close()
        run = self.run_installer(self.product("sample"), environment={"TMPDIR": blocker})
        self.assertEqual((run.status, len(run.alerts)), (1, 1), run.stderr)
        report, _ = run.alerts[0]
        self.assertEqual(report["title"], "Error creating directory " + run.workdir)
        self.assertIn("Not a directory", report["message"])
        self.assertEqual(run.stdout[1:], ["Manifest URL is: " + manifest_url("sample"),
                                          "Cleaning up"])

    def test_failed_replacement_keeps_the_old_copy(self):
        folder = tempfile.mkdtemp(dir=self.work)
        new = zip_of(folder, os.path.basename(make_app(folder, "2.0", self.marker)))
        old = make_app(tempfile.mkdtemp(dir=self.work), "1.0", self.marker)

        def put_old_copy_on_read_only(namespace):
            shutil.copytree(old, os.path.join(namespace.applications, "Sample.app"),
                            symlinks=True)
            namespace.make_applications_read_only()

        run = self.run_installer(self.product("sample"), files={"files/Sample.zip": new},
                                 prepare=put_old_copy_on_read_only)
        report = self.assert_failed_with(
            run, "Error replacing existing application", None, manifest_url("sample"), lines=[
                run.workdir + "/Sample.zip", "2", "prevAppPath",
                "file://" + run.workdir + "/Sample.app/", "appName", "Sample.app"])
        self.assertIn("Read-only file system", report["message"])
        self.assertEqual(snapshot(os.path.join(run.namespace.applications, "Sample.app")),
                         snapshot(old))

    def test_unzip_writing_more_than_a_megabyte_still_ends(self):
        # Each absolute entry name makes unzip warn once, naming it in full.
        archive = os.path.join(self.work, "Noisy.zip")
        deep = "/" + "/".join(["d" * 200] * 15)
        with zipfile.ZipFile(archive, "w") as z:
            for i in range(400):
                z.writestr("%s/file-%d" % (deep, i), "x")
        out = tempfile.mkdtemp(dir=self.work)
        words = subprocess.run(["unzip", "-q", "-o", archive, "-d", out], capture_output=True)
        self.assertGreater(len(words.stdout) + len(words.stderr), 1024 * 1024)
        with open(archive, "rb") as f:
            data = f.read()
        run = self.run_installer(self.product("noisy"), files={"files/Noisy.zip": data})
        title, message, lines = self.unzip_failure(run, "Noisy.zip", words.returncode)
        self.assert_failed_with(run, title, message, manifest_url("noisy"), lines=lines)


class InterruptedReplacement(InstallerCase):
    """Killing the installer while it replaces an older copy never leaves a
    partial application under the application's name."""

    KILLS = 50
    FILES = 1000  # wide enough a window to land in

    def test_sigkill_at_random_moments_of_replacing(self):
        folders = [tempfile.mkdtemp(dir=self.work) for _ in range(2)]
        old = make_app(folders[0], "1.0", self.marker, self.FILES)
        with open(os.path.join(old, "Contents", "only-in-old"), "w") as f:
            f.write("old\n")
        new = make_app(folders[1], "2.0", self.marker, self.FILES)
        states = {"old": snapshot(old), "new": snapshot(new)}
        namespace, server = self.namespace(files={"files/Sample.zip": zip_of(folders[1],
                                                                             "Sample.app")})
        installed = os.path.join(namespace.applications, "Sample.app")
        bundle = self.product("sample")

        def put_old_copy():
            if os.path.exists(installed):
                shutil.rmtree(installed)
            shutil.copytree(old, installed, symlinks=True)

        def state():
            found = snapshot(installed) if os.path.isdir(installed) else None
            return next((name for name, tree in states.items() if tree == found), None)

        def start_replacing():
            run, process, stdout, stderr = self.start(bundle, namespace)
            self.assertEqual(stdout.wait_for("appName"), "appName", stderr.lines)
            return process, time.monotonic()

        # How long replacing takes here, from the log line before it to the
        # moment only the new copy is left.
        put_old_copy()
        process, started = start_replacing()
        wait_until(lambda: os.listdir(namespace.applications) == ["Sample.app"] and
                   not os.path.exists(os.path.join(installed, "Contents", "only-in-old")),
                   "the replacement")
        window = time.monotonic() - started
        self.assertEqual(process.wait(DEADLINE), 0)

        seen = {"old": 0, "new": 0, "leftovers": 0}
        for attempt in range(self.KILLS):
            if state() != "old":
                put_old_copy()
            process, _ = start_replacing()
            time.sleep(random.uniform(0, window * 1.2))
            process.kill()
            process.wait()
            found = state()
            if found is None:
                self.fail("attempt %d left a partial application: %d entries, %s" % (
                    attempt, len(snapshot(installed)), os.listdir(namespace.applications)))
            seen[found] += 1
            seen["leftovers"] += len(os.listdir(namespace.applications)) > 1

        # A complete run afterwards clears what the killed ones left behind.
        put_old_copy()
        process, _ = start_replacing()
        self.assertEqual(process.wait(DEADLINE), 0)
        self.assertEqual((state(), os.listdir(namespace.applications)), ("new", ["Sample.app"]))
        sys.stderr.write("\nreplacement window %.3f s; after %d kills: %d old, %d new, "
                         "%d with a temporary copy beside\n" % (
                             window, self.KILLS, seen["old"], seen["new"], seen["leftovers"]))


def main():
    global ARGS, CERTIFICATES
    parser = argparse.ArgumentParser()
    for option in ("--bundle", "--dev-bundle", "--support", "--artifacts", "--close-window"):
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
