"""What every run of the real installer bundle needs around it: private
namespaces, an X display and what a user does on it, the HTTPS server with
certificates made for the run, readers of the installer's output lines, and
the installer's environment. The end-to-end tests, the demo and the install
benchmark share it; import it with scripts/ on sys.path.
"""

import json
import os
import plistlib
import re
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HTTPS_SERVER = os.path.join(HERE, "https-server.py")
MAKE_CERTIFICATES = os.path.join(HERE, "make-test-certificates")
PORT = 8443
HOST = "127.0.0.1:%d" % PORT  # where serve() listens, as build settings name it
DEADLINE = 120  # seconds; only bounds a hung run, nothing relies on speed
ALERT = "alert: "  # the installer's alert report line (CORVANTIS_TEST_ALERT_REPORT)


class Failure(AssertionError):
    """A part of the run did not start, or a wait gave up."""


def wait_until(condition, what, deadline=DEADLINE):
    """Polls condition until it gives something true, and returns that."""
    end = time.monotonic() + deadline
    while not (result := condition()):
        if time.monotonic() > end:
            raise Failure(f"gave up after {deadline} s waiting for {what}")
        time.sleep(0.01)
    return result


class Lines:
    """The lines of a binary pipe, read on a thread so that a caller can wait
    on them, and copied to log_path when given. on_line, when given, runs on
    that thread for each line before it is kept; it may hold the reading up,
    and a line for which it returns False is dropped."""

    def __init__(self, pipe, log_path=None, on_line=None, deadline=DEADLINE):
        self.lines, self.closed, self.deadline = [], False, deadline
        self.on_line = on_line
        self.log = open(log_path, "w", encoding="utf-8") if log_path else None
        self.condition = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(pipe,), daemon=True)
        self.thread.start()

    def _read(self, pipe):
        with pipe:
            for raw in pipe:
                self._keep(raw.decode("utf-8", "replace").rstrip("\n"))
        with self.condition:
            self.closed = True
            self.condition.notify_all()
        if self.log:
            self.log.close()

    def _keep(self, line):
        if self.on_line and self.on_line(line) is False:
            return
        with self.condition:
            self.lines.append(line)
            self.condition.notify_all()
        if self.log:
            self.log.write(line + "\n")
            self.log.flush()

    def snapshot(self):
        with self.condition:
            return list(self.lines)

    def first(self, wanted):
        """The first line so far for which wanted holds, else None."""
        return next((line for line in self.snapshot() if wanted(line)), None)

    def wait_for(self, wanted, skip=0):
        """The line after skip others for which wanted holds; None once the
        pipe has ended without it."""
        matches = lambda: [line for line in self.lines if wanted(line)][skip:]
        with self.condition:
            if not self.condition.wait_for(lambda: matches() or self.closed, self.deadline):
                raise Failure("gave up waiting; lines so far: %r" % self.lines)
            return (matches() or [None])[0]

    def finish(self):
        """All lines, once the pipe has ended."""
        self.thread.join(self.deadline)
        return self.snapshot()


def alert_in(line):
    """The alert an installer's report line describes, else None."""
    return json.loads(line[len(ALERT):]) if line.startswith(ALERT) else None


def start_xvfb(command):
    """Xvfb, started through command on the first free display number: the
    process and that number."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        command(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp"]),
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as numbers:
        number = numbers.readline().strip()
    if not number:
        server.kill()
        server.wait()
        raise Failure("Xvfb did not start")
    return server, number


class Display:
    """An X display, and what a user does on it. command wraps each program
    run against it, to run it in the namespaces the display is reached from;
    server, when given, is the X server's process, ended by close()."""

    def __init__(self, name, command, deadline=DEADLINE, server=None):
        self.name, self.command, self.deadline, self.server = name, command, deadline, server

    def run(self, *argv):
        """The standard output of a program run on this display."""
        return subprocess.run(self.command(list(argv)), env=dict(os.environ, DISPLAY=self.name),
                              check=True, capture_output=True, text=True,
                              timeout=self.deadline).stdout

    def windows(self, *search):
        """The visible windows xdotool finds, once there is one."""
        return self.run("xdotool", "search", "--sync", "--onlyvisible", *search).split()

    def dismiss(self, title):
        """Presses Return in the one window titled title, as a user would."""
        found = self.windows("--name", "^" + re.escape(title) + "$")
        if len(found) != 1:
            raise Failure(f"{len(found)} windows titled {title!r}, expected one")
        self.run("xdotool", "windowfocus", "--sync", found[0])
        self.run("xdotool", "key", "--clearmodifiers", "Return")

    def screenshot(self, path, window="root"):
        self.run("import", "-window", window, path)

    def close(self):
        if self.server:
            self.server.terminate()
            self.server.wait()


def make_certificates(directory):
    """A new certificate authority and a server certificate in directory."""
    subprocess.run([MAKE_CERTIFICATES, directory], check=True)


def serve(root, certificates, command):
    """The HTTPS server on HOST serving root, started through command;
    returns once it listens. It logs each request on stderr."""
    server = subprocess.Popen(
        command([sys.executable, HTTPS_SERVER, "--root", root, "--certificates", certificates,
                 "--port", str(PORT)]), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if server.stdout.readline().strip() != b"PORT %d" % PORT:
        server.kill()
        server.wait()
        errors = server.stderr.read().decode("utf-8", "replace").strip()
        server.stdout.close()
        server.stderr.close()
        raise Failure(f"the HTTPS server did not start on {HOST}: {errors or 'no message'}")
    return server


class Sandbox:
    """A network namespace with loopback only and a mount namespace with a
    tmpfs on /Applications (mounted with the options applications), held by
    a process until close(); the host's folder is only the mount point.
    Inside: the HTTPS server serving root, whose request lines are in
    requests (and in server_log when given), and an X display: the one named
    display, else an Xvfb of its own on a tmpfs /tmp/.X11-unix, out of reach
    of other X servers on the machine."""

    def __init__(self, root, certificates, applications="mode=755", display=None,
                 server_log=None, deadline=DEADLINE):
        for folder, mode in (("/Applications", 0o755), ("/tmp/.X11-unix", 0o1777)):
            if not os.path.lexists(folder):
                os.mkdir(folder, mode)
        x11 = "" if display else " && mount -t tmpfs -o mode=1777 x11 /tmp/.X11-unix"
        script = ("ip link set lo up && mount -t tmpfs -o %s applications /Applications%s"
                  " && echo ready && exec cat" % (applications, x11))
        self.holder = subprocess.Popen(["unshare", "--net", "--mount", "--", "sh", "-c", script],
                                       stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.display = self.server = self.requests = None
        try:
            if self.holder.stdout.readline().strip() != b"ready":
                raise Failure("could not make the namespaces")
            self.applications = "/proc/%d/root/Applications" % self.holder.pid
            if display:
                self.display = Display(display, self.command, deadline)
            else:
                server, number = start_xvfb(self.command)
                self.display = Display(":" + number, self.command, deadline, server)
            self.server = serve(root, certificates, self.command)
            self.requests = Lines(self.server.stderr, server_log, deadline=deadline)
        except BaseException:
            self.close()
            raise

    def command(self, argv):
        """argv run inside the namespaces."""
        return ["nsenter", "-t", str(self.holder.pid), "--net", "--mount", "--", *argv]

    def stop_server(self):
        """Ends the HTTPS server: the request lines it logged."""
        if self.server and self.server.poll() is None:
            self.server.terminate()
            self.server.wait()
        return self.requests.finish() if self.requests else []

    def close(self):
        if self.server:
            self.stop_server()
            self.server.stdout.close()
        if self.display:
            self.display.close()
        self.holder.stdin.close()
        self.holder.wait()
        self.holder.stdout.close()


def copy_bundle(source, folder, settings):
    """A copy of the bundle source in folder, with settings put into its
    Info.plist."""
    copy = os.path.join(folder, os.path.basename(source))
    shutil.copytree(source, copy, symlinks=True)
    info = os.path.join(copy, "Contents", "Info.plist")
    with open(info, "rb") as f:
        values = plistlib.load(f)
    values.update(settings)
    with open(info, "wb") as f:
        plistlib.dump(values, f)
    return copy


def bundle_executable(bundle):
    """The bundle's one program, by an absolute path: entering a mount
    namespace starts at its root."""
    macos = os.path.join(os.path.abspath(bundle), "Contents", "MacOS")
    found = os.listdir(macos) if os.path.isdir(macos) else []
    if len(found) != 1:
        raise Failure(f"no installer executable in {macos}")
    return os.path.join(macos, found[0])


def installer_environment(display, temporary, runtime, certificates, session_bus=True,
                          **more):
    """The installer's environment: its window on display, its files in
    temporary, trusting the run's certificates, reporting each alert on
    standard error. Without session_bus it finds no desktop session bus."""
    env = dict(os.environ, DISPLAY=display, QT_QPA_PLATFORM="xcb", TMPDIR=temporary,
               XDG_RUNTIME_DIR=runtime, SSL_CERT_FILE=os.path.join(certificates, "ca.pem"),
               # A private network has only loopback: no proxy could be reached.
               no_proxy="*", NO_PROXY="*", CORVANTIS_TEST_ALERT_REPORT="1", **more)
    if not session_bus:
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    return env


def with_suppressions(env, folder):
    """env with the sanitizer suppressions kept in folder: what uninstrumented
    Qt and glib do, and what libdbus keeps for the process's lifetime, are
    not the installer's faults."""
    env = dict(env)
    for tool, name in (("TSAN", "qt.tsan-suppressions"), ("LSAN", "lsan.suppressions")):
        suppressions = os.path.join(folder, name)
        if os.path.exists(suppressions):
            env[tool + "_OPTIONS"] = ":".join(filter(None, [
                env.get(tool + "_OPTIONS"), "suppressions=" + suppressions]))
    return env
