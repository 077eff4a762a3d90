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


# What the test server serves, by path under its root; the tests put the
# builds under files/.
SERVED = {
    "good/cv-latest-mac.json": document(
        zip={"x64": entry("Good-x64.zip"), "arm64": entry("Good-arm64.zip")},
        dmg={"x64": entry("Good-x64.dmg"), "arm64": entry("Good-arm64.dmg")}),
    "sample/cv-latest-mac.json": build("Sample.zip"),
    "slow/cv-latest-mac.json": build(
        "Sample.zip", f"https://{HOST}/_slow/files/Sample.zip?pieces=40&pause=0.1"),
    "refused/cv-latest-mac.json": build("Refused.zip"),
    "disk/cv-latest-mac.json": build("Sample.dmg", kind="dmg"),
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
    /Applications is a fresh tmpfs ("rw" or "ro")."""

    OPTIONS = {"rw": "mode=755", "ro": "mode=755,ro"}

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

    def bundle(self, source=None, settings=None):
        """A copy of a bundle whose Info.plist has settings applied."""
        source = source or ARGS.bundle
        target = os.path.join(tempfile.mkdtemp(dir=self.work), os.path.basename(source))
        shutil.copytree(source, target, symlinks=True)
        plist_path = os.path.join(target, "Contents", "Info.plist")
        with open(plist_path, "rb") as f:
            info = plistlib.load(f)
        info.update(settings or {})
        with open(plist_path, "wb") as f:
            plistlib.dump(info, f)
        return target

    def product(self, product_id):
        return self.bundle(settings={"Corvantis ID": product_id})

    def namespace(self, applications="rw", files=None):
        """Namespaces with their /Applications, and the test server serving
        SERVED plus files (path: bytes)."""
        namespace = Namespace(applications)
        self.addCleanup(namespace.close)
        root = tempfile.mkdtemp(dir=self.work)
        for path, content in {**SERVED, **(files or {})}.items():
            os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
            with open(os.path.join(root, path), "wb") as f:
                f.write(content if isinstance(content, bytes) else
                        (content if isinstance(content, str) else json.dumps(content)).encode())
        server = Server(namespace, root)
        self.addCleanup(server.requests)
        return namespace, server

    def start(self, bundle, namespace):
        """Starts the bundle's executable in the namespaces; returns the Run
        to fill, the process and readers of its standard output and error."""
        run = Run()
        folder = tempfile.mkdtemp(dir=self.work)
        run.temporary, runtime, tools, run.downloads = (
            os.path.join(folder, n) for n in ("tmp", "run", "bin", "downloads"))
        os.mkdir(run.temporary)
        os.mkdir(runtime, 0o700)
        os.mkdir(tools)
        # The desktop's default handler: records what it is asked to open.
        run.opened_file = os.path.join(folder, "opened")
        with open(os.path.join(tools, "xdg-open"), "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$*" >> "%s"\n' % run.opened_file)
        os.chmod(os.path.join(tools, "xdg-open"), 0o755)

        macos = os.path.join(bundle, "Contents", "MacOS")
        env = dict(os.environ, DISPLAY=namespace.display.name, QT_QPA_PLATFORM="xcb",
                   TMPDIR=run.temporary, XDG_RUNTIME_DIR=runtime, XDG_DOWNLOAD_DIR=run.downloads,
                   PATH=tools + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"),
                   SSL_CERT_FILE=os.path.join(CERTIFICATES, "ca.pem"),
                   # Only the loopback address exists in the namespace: no proxy
                   # the machine names could be reached.
                   no_proxy="*", NO_PROXY="*",
                   CORVANTIS_TEST_ALERT_REPORT="1")
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)  # no file browser: the handler shows folders
        for tool, suppressions in (("TSAN", "qt.tsan-suppressions"), ("LSAN", "lsan.suppressions")):
            env[tool + "_OPTIONS"] = ":".join(filter(None, [
                os.environ.get(tool + "_OPTIONS"),
                "suppressions=" + os.path.join(HERE, suppressions)]))
        argv = [os.path.join(macos, os.listdir(macos)[0])]
        process = subprocess.Popen(namespace.command(argv), env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        run.namespace = namespace
        return run, process, LineReader(process.stdout), LineReader(process.stderr)

    def run_installer(self, bundle, files=None, applications="rw", during=None):
        """Runs the bundle to its end, pressing Return in each alert;
        during(run, process, stdout, server) runs right after the start."""
        namespace, server = self.namespace(applications, files)
        run, process, stdout, stderr = self.start(bundle, namespace)
        run.server = server
        run.alerts = []
        try:
            if during:
                during(run, process, stdout, server)
            while True:
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
        run.requests = server.requests()
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

    def assert_failed_with(self, run, title, message, manifest_url, lines=()):
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
        expected = ["Manifest URL is: " + manifest_url, *lines, "Cleaning up"]
        self.assertEqual(run.stdout[1:], expected)
        self.assertEqual([n for n in os.listdir(run.temporary) if re.fullmatch(UUID, n)], [])
        return report


class Smoke(InstallerCase):
    """The real window wired to the install flow: one run per way the window
    takes part. Every other way a run ends is tested without a window, in
    install_engine_tests."""

    def sample_zip(self, executable=True):
        folder = tempfile.mkdtemp(dir=self.work)
        app = make_app(folder, "2.0", self.marker, executable=executable)
        return zip_of(folder, "Sample.app"), snapshot(app)

    def install(self, product, files, **options):
        run = self.run_installer(self.product(product), files=files, **options)
        run.product = product
        return run

    def assert_installed(self, run, expected):
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
            self.assertEqual(f.read(), "/Applications/Sample.app/Contents/MacOS/Sample 2.0\n")
        self.assertFalse(os.path.exists(workdir))
        self.assertEqual(run.opened, [])

    def test_happy_path(self):
        data, expected = self.sample_zip()
        run = self.install("sample", {"files/Sample.zip": data})
        self.assert_installed(run, expected)
        self.assertEqual([r.split('"GET ')[1].split(" ")[0] for r in run.requests],
                         ["/sample/cv-latest-mac.json", "/files/Sample.zip"])

    def test_critical_alert_dismissed_by_a_key_press(self):
        run = self.run_installer(self.product("missing"))
        self.assert_failed_with(
            run, "Error downloading manifest",
            "Server returned HTTP status code 404 from " + manifest_url("missing"),
            manifest_url("missing"))

    def test_manual_hand_over(self):
        data, expected = self.sample_zip()
        run = self.install("sample", {"files/Sample.zip": data}, applications="ro")
        self.assertEqual(run.status, 0, run.stderr)
        title = "You will need to manually move Sample to Applications folder."
        self.assertEqual(run.alerts, [({
            "style": "warning", "title": title, "buttons": ["Reveal in Finder"],
            "message": "We will reveal Sample.app in Finder. You can then manually drag "
                       "the application to the Applications folder yourself.\n\n"
                       "Internal code: %d" % errno.EROFS}, title)])
        workdir = run.workdir
        self.assertEqual(run.stdout[1:], [
            "Manifest URL is: " + manifest_url("sample"), workdir + "/Sample.zip", "2",
            "prevAppPath", "file://" + workdir + "/Sample.app/", "appName", "Sample.app"])
        # Kept for the user: the bundle beside a link to drag it onto.
        self.assertEqual(sorted(os.listdir(workdir)), ["Applications", "Sample.app"])
        self.assertEqual(os.readlink(os.path.join(workdir, "Applications")), "/Applications")
        self.assertEqual(snapshot(os.path.join(workdir, "Sample.app")), expected)
        self.wait_for_opened(run, [workdir])
        self.assertEqual(os.listdir(run.namespace.applications), [])

    def test_disk_image(self):
        run = self.install("disk", {"files/Sample.dmg": b"not really a disk image"})
        self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
        # Kept in the download folder, since its handler may read it late.
        kept = os.path.join(run.downloads, "Sample.dmg")
        self.assertEqual(run.stdout[1:], ["Manifest URL is: " + manifest_url("disk"),
                                          "Disk image moved to: " + kept, "Cleaning up"])
        self.wait_for_opened(run, [kept])
        self.assertFalse(os.path.exists(run.workdir))
        with open(kept, "rb") as image:
            self.assertEqual(image.read(), b"not really a disk image")

    def test_closing_the_window_mid_download(self):
        data, expected = self.sample_zip()

        def look_then_close(run, process, stdout, server):
            server.wait_for_request("/_slow/")
            self.screenshot(run, process, "installer-downloading.png")
            self.close_window(run, process)

        run = self.install("slow", {"files/Sample.zip": data}, during=look_then_close)
        self.assert_installed(run, expected)
        self.assertEqual(run.window_names, ["Corvantis Test Installer"])

    def test_refused_launch_ends_with_the_window(self):
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
                self.assertEqual((run.status, run.alerts), (0, []), run.stderr)
                self.assertEqual(run.stdout[-2:], ["appName", "Sample.app"])
                self.assertTrue(os.path.isdir(run.workdir))
                self.assertFalse(os.path.exists(self.marker))

    def test_development_build_uses_the_development_host(self):
        # The build named in the manifest is missing: its 404 page fails to unzip.
        run = self.run_installer(self.bundle(ARGS.dev_bundle))
        archive = run.workdir + "/Good-x64.zip"
        self.assert_failed_with(
            run, "Error uncompresing " + archive,
            "Command '%s -q -o %s -d %s' finished with exit code 9." % (
                shutil.which("unzip"), archive, run.workdir),
            "https://localhost:8443/good/cv-latest-mac.json", lines=[archive])


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
