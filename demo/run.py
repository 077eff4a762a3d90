#!/usr/bin/env python3
"""Installs the sample product with the real installer, end to end, and says
what happened.

scripts/demo starts this inside a mount and a network namespace of its own
(unshare --mount --net): the /Applications seen here is a tmpfs that nothing
outside sees, and the HTTPS server on 127.0.0.1:8443 is reachable from here
only. The installer's window goes to the X server named by DISPLAY when that
is a local one (its socket is a file, which the private network does not
hide), else to an Xvfb screen of the demo's own.

The sample builds are signed with the publisher key given by --signing-key;
an installer that holds a public key must hold that key's.

usage: run.py --installer APP --support DIR --output DIR [--signing-key KEY]
              [--headless]
"""

import argparse
import json
import os
import platform
import plistlib
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# The installer is built for this product and endpoint (CORVANTIS_PRODUCT_ID,
# CORVANTIS_PRODUCTION_HOST); scripts/demo and the demo's test build it so.
PRODUCT_ID = "sample"
HOST = "127.0.0.1:8443"
VERSION = "1.0.0"
# The slow path of the server sends the archive in pieces, so the progress
# bar moves for about four seconds.
DOWNLOAD_URL = f"https://{HOST}/_slow/files/{{file}}?pieces=40&pause=0.1"
DEADLINE = 120  # seconds for any one step; only a hung run comes near it
SIGN_BUILD = os.path.join(HERE, "..", "scripts", "sign-build")
PUBLIC_KEY_SETTING = "Corvantis Public Key"
UUID = re.compile(r"[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")


class Failure(Exception):
    """Ends the demo with one line saying what went wrong."""


def say(line):
    print(line, flush=True)


def wait_until(condition, what, deadline=DEADLINE, interval=0.05):
    """Polls condition until it gives something true; fails after deadline."""
    end = time.monotonic() + deadline
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > end:
            raise Failure(f"gave up after {deadline} s waiting for {what}")
        time.sleep(interval)


class Lines:
    """The lines of a pipe, collected on a thread and copied to a log file.
    on_line, when given, runs on that thread for each line before it is
    kept, and may hold the reading up."""

    def __init__(self, fd, log_path, on_line=None):
        self.lines = []
        self.lock = threading.Lock()
        self.on_line = on_line
        self.log = open(log_path, "w", encoding="utf-8")
        self.thread = threading.Thread(target=self._read, args=(fd,), daemon=True)
        self.thread.start()

    def _read(self, fd):
        pending = b""
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            pending += chunk
            *complete, pending = pending.split(b"\n")
            for raw in complete:
                self._keep(raw.decode("utf-8", "replace"))
        if pending:
            self._keep(pending.decode("utf-8", "replace"))
        os.close(fd)
        self.log.close()

    def _keep(self, line):
        if self.on_line and self.on_line(line) is False:
            return
        with self.lock:
            self.lines.append(line)
        self.log.write(line + "\n")
        self.log.flush()

    def snapshot(self):
        with self.lock:
            return list(self.lines)

    def first(self, predicate):
        return next((line for line in self.snapshot() if predicate(line)), None)

    def finish(self):
        self.thread.join(DEADLINE)
        return self.snapshot()


class LogHold:
    """Keeps the installer's window on screen for a photograph.

    The installer logs "appName" and the bundle's name, moves the bundle into
    /Applications, shows "Installed!" for a quarter of a second, opens the
    installed application, logs "Cleaning up" and quits. Once the name has
    come, the pipe of its standard output is filled up to the last byte, so
    the "Cleaning up" line waits, and the window with it, until the pipe is
    read again. The filler is blank lines, left out of the log."""

    def __init__(self, write_fd):
        self.write_fd = write_fd  # non-blocking, and our own
        self.lock = threading.Lock()  # over write_fd and filled
        self.released = threading.Event()
        self.named = self.filled = False

    def on_line(self, line):
        """Runs on the reading thread; whether the line is the installer's."""
        if self.filled and not line.strip():
            return False
        if self.named and not self.released.is_set():
            with self.lock:
                if self.write_fd is not None and not self.filled:
                    self._fill()
                    self.filled = True
            self.released.wait()
            self._close()
        self.named = line == "appName"
        return True

    def _fill(self):
        # Writes up to PIPE_BUF are whole or not at all, so each piece is a
        # whole line; halving down to one byte leaves no room at all.
        size = select.PIPE_BUF
        while size >= 1:
            try:
                os.write(self.write_fd, b" " * (size - 1) + b"\n")
            except BlockingIOError:
                size //= 2

    def _close(self):
        with self.lock:
            if self.write_fd is not None:
                os.close(self.write_fd)
                self.write_fd = None

    def release(self):
        """Lets the installer go on; the pipe ends when the installer's
        copy of it does."""
        self.released.set()
        with self.lock:
            if self.filled:
                return  # the reading thread closes it once it reads on
        self._close()


class Display:
    """Where the installer's window goes and how it is photographed."""

    def __init__(self, headless, outside):
        self.process = self.sockets = None
        name = os.environ.get("DISPLAY", "")
        local = re.fullmatch(r"(?:unix)?:(\d+)(?:\.\d+)?", name)
        if not headless and local and os.path.exists(f"/tmp/.X11-unix/X{local.group(1)}"):
            self.name, self.virtual = name, False
            return
        if not headless and name:
            say(f"DISPLAY={name} is not a local X server, which the demo's private network "
                "cannot reach: using a virtual screen instead")
        self.name, self.virtual = ":" + self._start_xvfb(outside), True

    def _start_xvfb(self, outside):
        """Starts Xvfb on a free display number and gives this namespace a
        socket folder of its own that holds only its socket.

        Xvfb runs in the caller's namespaces: an X server tells a number in
        use by its socket in the network namespace's abstract names, so one
        started in a private network would take the number of a running
        server and replace that server's socket file. Other test runs on the
        machine may still replace ours in /tmp/.X11-unix; the clients here
        reach it through a hard link in a folder mounted over that one."""
        read_end, write_end = os.pipe()
        net, mnt = outside
        self.process = subprocess.Popen(
            ["nsenter", f"--net=/proc/self/fd/{net}", f"--mount=/proc/self/fd/{mnt}", "--",
             "Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
             "tcp"], pass_fds=(write_end, net, mnt), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            raise Failure("Xvfb did not start")
        self.sockets = tempfile.mkdtemp(prefix="corvantis-demo-x11-", dir="/tmp")
        os.link(f"/tmp/.X11-unix/X{number}", os.path.join(self.sockets, f"X{number}"))
        subprocess.run(["mount", "--bind", self.sockets, "/tmp/.X11-unix"], check=True)
        return number

    def run(self, *argv):
        return subprocess.run(argv, env=dict(os.environ, DISPLAY=self.name), check=True,
                              capture_output=True, text=True, timeout=DEADLINE).stdout

    def screenshot(self, path, pid):
        """The whole virtual screen; on a real screen only the installer's
        window, not the rest of the user's desktop."""
        window = "root"
        if not self.virtual:
            found = self.run("xdotool", "search", "--onlyvisible", "--pid", str(pid)).split()
            if not found:
                raise Failure("the installer's window is not on the screen")
            window = found[0]
        self.run("import", "-window", window, path)

    def press_return_in(self, title):
        windows = self.run("xdotool", "search", "--sync", "--onlyvisible", "--name",
                           "^" + re.escape(title) + "$").split()
        self.run("xdotool", "windowfocus", "--sync", windows[0])
        self.run("xdotool", "key", "--clearmodifiers", "Return")

    def close(self):
        if self.process:
            self.process.terminate()
            self.process.wait()
        if self.sockets:
            shutil.rmtree(self.sockets, ignore_errors=True)


class Demo:
    def __init__(self, args):
        self.args = args
        self.output = os.path.abspath(args.output)
        self.shots = os.path.join(self.output, "screenshots")
        self.logs = os.path.join(self.output, "logs")
        self.state = os.path.join(self.output, "state")
        self.marker = os.path.join(self.state, "Sample", "started")
        self.work = tempfile.mkdtemp(prefix="corvantis-demo-")
        self.server = self.display = self.installer = self.hold = None
        # The build the installer picks: it counts as ARM only when the
        # machine's hardware name is exactly "arm64".
        self.machine = platform.machine()
        self.arch = "arm64" if self.machine == "arm64" else "x64"

    # Set-up --------------------------------------------------------------

    def check_isolation(self):
        # scripts/demo hands over to unshare, which starts this: the caller
        # of scripts/demo is in the namespaces this one must not share. They
        # are kept open for the X server, which belongs out there.
        self.outside = []
        for kind in ("net", "mnt"):
            theirs = f"/proc/{os.getppid()}/ns/{kind}"
            if os.readlink(f"/proc/self/ns/{kind}") == os.readlink(theirs):
                raise Failure(f"not in a {kind} namespace of its own; start it with scripts/demo")
            self.outside.append(os.open(theirs, os.O_RDONLY | os.O_CLOEXEC))
        if not os.path.isdir("/Applications"):
            raise Failure("/Applications is missing: scripts/demo makes the empty mount point")
        subprocess.run(["mount", "--make-rprivate", "/"], check=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755,size=64m", "corvantis-demo",
                        "/Applications"], check=True)
        with open("/proc/self/mountinfo") as mounts:
            fields = [line.split() for line in mounts]
        top = [f for f in fields if f[4] == "/Applications"][-1]
        if top[top.index("-") + 1:][:2] != ["tmpfs", "corvantis-demo"]:
            raise Failure("could not put a private tmpfs over /Applications")
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)

    def prepare_output(self):
        for folder in (self.shots, self.logs, self.state):
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)

    def serve_sample(self):
        certificates = os.path.join(self.work, "certificates")
        site = os.path.join(self.work, "site")
        subprocess.run([os.path.join(self.args.support, "make-test-certificates"), certificates],
                       check=True)
        subprocess.run([os.path.join(HERE, "make-sample-product"), site, PRODUCT_ID, VERSION,
                        DOWNLOAD_URL] + ([self.args.signing_key] if self.args.signing_key else []),
                       check=True)
        self.certificates = certificates
        host, port = HOST.split(":")
        read_end, write_end = os.pipe()
        self.server = subprocess.Popen(
            [sys.executable, os.path.join(self.args.support, "https-server.py"), "--root", site,
             "--certificates", certificates, "--host", host, "--port", port],
            stdout=subprocess.PIPE, stderr=write_end)
        os.close(write_end)
        self.requests = Lines(read_end, os.path.join(self.logs, "server.log"))
        if self.server.stdout.readline().strip() != f"PORT {port}".encode():
            raise Failure(f"the HTTPS server did not start on {HOST}; see {self.logs}")
        say(f"Serving Sample {VERSION} at https://{HOST}/{PRODUCT_ID}/cv-latest-mac.json "
            "(private network; certificate authority made for this run)")

    def check_signing(self):
        """The installer refuses builds its public key does not verify: say so
        before the run rather than with an alert after the download."""
        info = os.path.join(self.args.installer, "Contents", "Info.plist")
        try:
            with open(info, "rb") as f:
                held = plistlib.load(f).get(PUBLIC_KEY_SETTING)
        except (OSError, plistlib.InvalidFileException):
            held = None
        if not self.args.signing_key:
            if held is not None:
                raise Failure(f'the installer holds a public key ("{PUBLIC_KEY_SETTING}") '
                              "but no --signing-key was given to sign the builds with")
            say("Sample builds are not signed; the installer holds no public key")
            return
        printed = subprocess.run([SIGN_BUILD, "--public-key", self.args.signing_key],
                                 check=True, capture_output=True, text=True).stdout
        signing = re.search(r"-DCORVANTIS_PUBLIC_KEY=(\S+)", printed).group(1)
        if held is None:
            say("Signed the sample builds; the installer holds no public key, so it checks "
                "their SHA-512 digests only")
        elif held == signing:
            say(f"Signed the sample builds; the installer holds the public key {held}")
        else:
            raise Failure(f"the installer holds the public key {held!r}, but the builds are "
                          f"signed with another key (public key {signing}): give the "
                          "installer's private key with --signing-key")

    def start_installer(self):
        macos = os.path.join(self.args.installer, "Contents", "MacOS")
        executables = os.listdir(macos) if os.path.isdir(macos) else []
        if len(executables) != 1:
            raise Failure(f"no installer executable in {macos}")
        self.temporary = os.path.join(self.work, "tmp")
        runtime = os.path.join(self.work, "runtime")
        os.mkdir(self.temporary)
        os.mkdir(runtime, 0o700)
        env = dict(os.environ, DISPLAY=self.display.name, QT_QPA_PLATFORM="xcb",
                   TMPDIR=self.temporary, XDG_STATE_HOME=self.state,
                   SSL_CERT_FILE=os.path.join(self.certificates, "ca.pem"),
                   # Only the loopback address exists in the demo's network: no
                   # proxy the machine names could be reached.
                   no_proxy="*", NO_PROXY="*",
                   CORVANTIS_TEST_ALERT_REPORT="1")
        if self.display.virtual or not env.get("XDG_RUNTIME_DIR"):
            env["XDG_RUNTIME_DIR"] = runtime
        read_end, write_end = os.pipe()
        errors_read, errors_write = os.pipe()
        self.installer = subprocess.Popen(
            [os.path.join(macos, executables[0])], env=env, stdin=subprocess.DEVNULL,
            stdout=write_end, stderr=errors_write)
        os.close(errors_write)
        # The hold writes without blocking. That flag belongs to an open
        # pipe, shared by every copy of its descriptor, so the hold opens
        # the pipe anew rather than change the installer's.
        self.hold = LogHold(os.open(f"/proc/self/fd/{write_end}",
                                    os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC))
        os.close(write_end)
        self.log = Lines(read_end, os.path.join(self.logs, "installer.log"), self.hold.on_line)
        self.errors = Lines(errors_read, os.path.join(self.logs, "installer-stderr.log"))
        where = ("a virtual screen (Xvfb " + self.display.name + ")" if self.display.virtual
                 else "your screen (DISPLAY=" + self.display.name + ")")
        say(f"Installer started on {where}")

    # The run -------------------------------------------------------------

    def check_alert(self):
        """A failure alert ends the demo: it is photographed, dismissed, and
        named in the failure line."""
        line = self.errors.first(lambda text: text.startswith("alert: "))
        if line is None:
            return
        report = json.loads(line[len("alert: "):])
        self.hold.release()
        self.display.screenshot(os.path.join(self.shots, "alert.png"), self.installer.pid)
        self.display.press_return_in(report["title"])
        status = self.wait_for_exit()
        raise Failure(f'the installer stopped with the alert "{report["title"]}": '
                      f'{report["message"]} (exit status {status}; screenshot '
                      f'{os.path.join(self.shots, "alert.png")})')

    def running(self, step):
        """Fails when the installer has ended or raised an alert before step."""
        self.check_alert()
        if self.installer.poll() is not None:
            self.hold.release()
            raise Failure(f"the installer exited with status {self.installer.returncode} "
                          f"before {step}; see {self.logs}")

    def watch(self, condition, step):
        def check():
            self.running(step)
            return condition()
        return wait_until(check, step)

    def download_request(self):
        return self.requests.first(lambda line: '"GET /_slow/files/' in line)

    def run(self):
        self.check_isolation()
        self.prepare_output()
        self.check_signing()
        self.serve_sample()
        self.display = Display(self.args.headless, self.outside)
        self.start_installer()

        request = self.watch(self.download_request, "the archive's download")
        archive = f"Sample-{VERSION}-{self.arch}.zip"
        asked = request.split("/_slow/files/")[1].split("?")[0].split(" ")[0]
        say(f"Downloading {asked} with the progress bar (this machine is {self.machine})")
        # Part of the way through: the bar has moved and still has a way to go.
        time.sleep(1.5)
        self.running("the end of the download")
        downloading = os.path.join(self.shots, "downloading.png")
        self.display.screenshot(downloading, self.installer.pid)

        self.watch(lambda: os.path.exists(self.marker), "the sample app's start")
        installed = os.path.join(self.shots, "installed.png")
        held = self.installer.poll() is None
        self.display.screenshot(installed, self.installer.pid)
        self.hold.release()
        status = self.wait_for_exit()
        self.check_result(status, archive)
        say("Screenshots: " + downloading + " (downloading), " + installed +
            (' ("Installed!")' if held else " (the installer had already closed its window)"))

    def wait_for_exit(self):
        try:
            return self.installer.wait(DEADLINE)
        except subprocess.TimeoutExpired:
            raise Failure(f"the installer did not end within {DEADLINE} s") from None

    # The outcome ---------------------------------------------------------

    def check_result(self, status, archive):
        if status != 0:
            raise Failure(f"the installer exited with status {status}; see {self.logs}")
        bundle = "/Applications/Sample.app"
        if not os.access(os.path.join(bundle, "Contents", "MacOS", "Sample"), os.X_OK):
            raise Failure(f"{bundle} is missing or has no executable")
        say("Installed Sample.app into /Applications (private to this demo)")
        with open(self.marker) as marker:
            started = marker.read().strip()
        expected = f"Sample {VERSION} ({self.arch}) started from {bundle}"
        if started != expected:
            raise Failure(f'the sample app wrote "{started}", expected "{expected}"')
        say(f'Sample app started: marker written ("{started}")')

        left = [name for name in os.listdir(self.temporary) if UUID.fullmatch(name)]
        if left:
            raise Failure(f"the installer left its working directory {left[0]} behind")
        self.stop_server()
        fetched = [line.split('"GET ')[1].split(" ")[0] for line in self.requests.finish()
                   if '"GET ' in line]
        wanted = [f"/{PRODUCT_ID}/cv-latest-mac.json", f"/_slow/files/{archive}"]
        if [path.split("?")[0] for path in fetched] != wanted:
            raise Failure(f"the installer asked for {fetched}, expected {wanted}")
        say("Installer exited with status 0 and removed its working directory")

    def stop_server(self):
        if self.server and self.server.poll() is None:
            self.server.send_signal(signal.SIGINT)
            self.server.wait(DEADLINE)

    def close(self):
        if self.hold:
            self.hold.release()
        if self.installer and self.installer.poll() is None:
            self.installer.kill()
            self.installer.wait()
        self.stop_server()
        if self.display:
            self.display.close()
        shutil.rmtree(self.work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--installer", required=True, help="the installer's .app bundle")
    parser.add_argument("--support", required=True, help="folder of the test HTTPS server")
    parser.add_argument("--output", required=True, help="screenshots, logs, the marker")
    parser.add_argument("--signing-key", help="the publisher's private key to sign builds with")
    parser.add_argument("--headless", action="store_true", help="always use Xvfb")
    demo = Demo(parser.parse_args())
    try:
        demo.run()
        return 0
    except Failure as failure:
        print(f"demo failed: {failure}", file=sys.stderr, flush=True)
        return 1
    except (OSError, subprocess.SubprocessError) as error:
        print(f"demo failed: {error}", file=sys.stderr, flush=True)
        return 1
    finally:
        demo.close()


if __name__ == "__main__":
    sys.exit(main())
