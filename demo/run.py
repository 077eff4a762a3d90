#!/usr/bin/env python3
"""Installs the sample product with the real installer, end to end, and says
what happened.

The installer runs in a sandbox of its own (scripts/sandbox.py): network and
mount namespaces where /Applications is a tmpfs that nothing outside sees
and the HTTPS server on 127.0.0.1:8443 is the only one reachable. Its window
goes to the X server named by DISPLAY when that is a local one (its socket
is a file, which the private network does not hide), else to an Xvfb screen
of the sandbox's own. Needs root, for the namespaces; scripts/demo starts it.

The sample builds are signed with the publisher key given by --signing-key;
an installer that holds a public key must hold that key's.

usage: run.py --installer APP --output DIR [--signing-key KEY] [--headless]
"""

import argparse
import os
import platform
import plistlib
import re
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
import sandbox  # noqa: E402
from sandbox import Failure  # noqa: E402

# The installer is built for this product and endpoint (CORVANTIS_PRODUCT_ID,
# CORVANTIS_PRODUCTION_HOST); scripts/demo and the demo's test build it so.
PRODUCT_ID = "sample"
HOST = sandbox.HOST
VERSION = "1.0.0"
# The slow path of the server sends the archive in pieces, so the progress
# bar moves for about four seconds.
DOWNLOAD_URL = f"https://{HOST}/_slow/files/{{file}}?pieces=40&pause=0.1"
DEADLINE = sandbox.DEADLINE  # for any one step; only a hung run comes near it
SIGN_BUILD = os.path.join(HERE, "..", "scripts", "sign-build")
PUBLIC_KEY_SETTING = "Corvantis Public Key"
UUID = re.compile(r"[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")


def say(line):
    print(line, flush=True)


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


def local_display(headless):
    """The caller's X server when the window may go there, else None for a
    virtual screen; and a note to say about the choice, or None."""
    name = os.environ.get("DISPLAY", "")
    local = re.fullmatch(r"(?:unix)?:(\d+)(?:\.\d+)?", name)
    if not headless and local and os.path.exists(f"/tmp/.X11-unix/X{local.group(1)}"):
        return name, None
    if not headless and name:
        return None, (f"DISPLAY={name} is not a local X server, which the demo's private "
                      "network cannot reach: using a virtual screen instead")
    return None, None


class Demo:
    def __init__(self, args):
        self.args = args
        self.output = os.path.abspath(args.output)
        self.shots = os.path.join(self.output, "screenshots")
        self.logs = os.path.join(self.output, "logs")
        self.state = os.path.join(self.output, "state")
        self.marker = os.path.join(self.state, "Sample", "started")
        self.work = tempfile.mkdtemp(prefix="corvantis-demo-")
        self.box = self.installer = self.hold = None
        # The build the installer picks: it counts as ARM only when the
        # machine's hardware name is exactly "arm64".
        self.machine = platform.machine()
        self.arch = "arm64" if self.machine == "arm64" else "x64"

    # Set-up --------------------------------------------------------------

    def prepare_output(self):
        for folder in (self.shots, self.logs, self.state):
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)

    def serve_sample(self):
        certificates = os.path.join(self.work, "certificates")
        site = os.path.join(self.work, "site")
        sandbox.make_certificates(certificates)
        subprocess.run([os.path.join(HERE, "make-sample-product"), site, PRODUCT_ID, VERSION,
                        DOWNLOAD_URL] + ([self.args.signing_key] if self.args.signing_key else []),
                       check=True)
        self.certificates = certificates
        display, note = local_display(self.args.headless)
        try:
            self.box = sandbox.Sandbox(site, certificates, "mode=0755,size=64m", display,
                                       os.path.join(self.logs, "server.log"))
        except Failure as failure:
            raise Failure(f"{failure}; see {self.logs}") from None
        self.display, self.virtual = self.box.display, display is None
        say(f"Serving Sample {VERSION} at https://{HOST}/{PRODUCT_ID}/cv-latest-mac.json "
            "(private network; certificate authority made for this run)")
        if note:
            say(note)

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
        executable = sandbox.bundle_executable(self.args.installer)
        self.temporary = os.path.join(self.work, "tmp")
        runtime = os.path.join(self.work, "runtime")
        os.mkdir(self.temporary)
        os.mkdir(runtime, 0o700)
        if not self.virtual and os.environ.get("XDG_RUNTIME_DIR"):
            runtime = os.environ["XDG_RUNTIME_DIR"]  # the desktop's, with its screen
        env = sandbox.installer_environment(self.display.name, self.temporary, runtime,
                                            self.certificates, XDG_STATE_HOME=self.state)
        read_end, write_end = os.pipe()
        self.installer = subprocess.Popen(self.box.command([executable]), env=env, stdin=subprocess.DEVNULL,
                                          stdout=write_end, stderr=subprocess.PIPE)
        # The hold writes without blocking. That flag belongs to an open
        # pipe, shared by every copy of its descriptor, so the hold opens
        # the pipe anew rather than change the installer's.
        self.hold = LogHold(os.open(f"/proc/self/fd/{write_end}",
                                    os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC))
        os.close(write_end)
        self.log = sandbox.Lines(open(read_end, "rb"), os.path.join(self.logs, "installer.log"),
                                 self.hold.on_line)
        self.errors = sandbox.Lines(self.installer.stderr,
                                    os.path.join(self.logs, "installer-stderr.log"))
        where = ("a virtual screen (Xvfb " + self.display.name + ")" if self.virtual
                 else "your screen (DISPLAY=" + self.display.name + ")")
        say(f"Installer started on {where}")

    # The run -------------------------------------------------------------

    def check_alert(self):
        """A failure alert ends the demo: it is photographed, dismissed, and
        named in the failure line."""
        line = self.errors.first(lambda text: text.startswith(sandbox.ALERT))
        if line is None:
            return
        report = sandbox.alert_in(line)
        self.hold.release()
        self.photograph(os.path.join(self.shots, "alert.png"))
        self.display.dismiss(report["title"])
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
        return sandbox.wait_until(check, step)

    def download_request(self):
        return self.box.requests.first(lambda line: '"GET /_slow/files/' in line)

    def run(self):
        self.prepare_output()
        self.check_signing()
        self.serve_sample()
        self.start_installer()

        request = self.watch(self.download_request, "the archive's download")
        archive = f"Sample-{VERSION}-{self.arch}.zip"
        asked = request.split("/_slow/files/")[1].split("?")[0].split(" ")[0]
        say(f"Downloading {asked} with the progress bar (this machine is {self.machine})")
        # Part of the way through: the bar has moved and still has a way to go.
        time.sleep(1.5)
        self.running("the end of the download")
        downloading = os.path.join(self.shots, "downloading.png")
        self.photograph(downloading)

        self.watch(lambda: os.path.exists(self.marker), "the sample app's start")
        installed = os.path.join(self.shots, "installed.png")
        held = self.installer.poll() is None
        self.photograph(installed)
        self.hold.release()
        status = self.wait_for_exit()
        self.check_result(status, archive)
        say("Screenshots: " + downloading + " (downloading), " + installed +
            (' ("Installed!")' if held else " (the installer had already closed its window)"))

    def photograph(self, path):
        """The whole virtual screen; on a real screen only the installer's
        window, not the rest of the user's desktop."""
        window = "root"
        if not self.virtual:
            found = self.display.run("xdotool", "search", "--onlyvisible", "--pid",
                                     str(self.installer.pid)).split()
            if not found:
                raise Failure("the installer's window is not on the screen")
            window = found[0]
        self.display.screenshot(path, window)

    def wait_for_exit(self):
        try:
            return self.installer.wait(DEADLINE)
        except subprocess.TimeoutExpired:
            raise Failure(f"the installer did not end within {DEADLINE} s") from None

    # The outcome ---------------------------------------------------------

    def check_result(self, status, archive):
        if status != 0:
            raise Failure(f"the installer exited with status {status}; see {self.logs}")
        bundle = "/Applications/Sample.app"  # as the sandbox sees it
        program = os.path.join(self.box.applications, "Sample.app", "Contents", "MacOS", "Sample")
        if not os.access(program, os.X_OK):
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
        fetched = [line.split('"GET ')[1].split(" ")[0] for line in self.box.stop_server()
                   if '"GET ' in line]
        wanted = [f"/{PRODUCT_ID}/cv-latest-mac.json", f"/_slow/files/{archive}"]
        if [path.split("?")[0] for path in fetched] != wanted:
            raise Failure(f"the installer asked for {fetched}, expected {wanted}")
        say("Installer exited with status 0 and removed its working directory")

    def close(self):
        if self.hold:
            self.hold.release()
        if self.installer and self.installer.poll() is None:
            self.installer.kill()
            self.installer.wait()
        if self.box:
            self.box.close()
        shutil.rmtree(self.work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--installer", required=True, help="the installer's .app bundle")
    parser.add_argument("--output", required=True, help="screenshots, logs, the marker")
    parser.add_argument("--signing-key", help="the publisher's private key to sign builds with")
    parser.add_argument("--headless", action="store_true", help="always use Xvfb")
    demo = Demo(parser.parse_args())
    try:
        demo.run()
        return 0
    except (Failure, OSError, subprocess.SubprocessError) as error:
        print(f"demo failed: {error}", file=sys.stderr, flush=True)
        return 1
    finally:
        demo.close()


if __name__ == "__main__":
    sys.exit(main())
