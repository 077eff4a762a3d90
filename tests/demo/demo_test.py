#!/usr/bin/env python3
"""Runs scripts/demo headless and checks from the outside what it did: what
it printed, the sample app's marker, the installer's log, the screenshots,
and that the machine's own /Applications got nothing.

usage: demo_test.py --demo SCRIPT --installer APP --output DIR [unittest arguments]
"""

import argparse
import os
import platform
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "scripts"))
import sandbox  # noqa: E402

ARGS = None
DEADLINE = 400  # only bounds a hung run
ARCH = "arm64" if platform.machine() == "arm64" else "x64"
STARTED = f"Sample 1.0.0 ({ARCH}) started from /Applications/Sample.app"


def run_demo(installer, output):
    # The installer's end-to-end tests keep the sanitizer suppressions.
    env = sandbox.with_suppressions(os.environ, os.path.join(HERE, "..", "installer"))
    return subprocess.run([ARGS.demo, "--headless", "--installer", installer, "--output", output],
                          env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=DEADLINE)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


class Success(unittest.TestCase):
    def test_one_run_installs_and_starts_the_app_and_shows_the_window(self):
        result = run_demo(ARGS.installer, ARGS.output)
        file = lambda *parts: os.path.join(ARGS.output, *parts)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        lines = result.stdout.splitlines()
        for expected in ["Installed Sample.app into /Applications (private to this demo)",
                         f'Sample app started: marker written ("{STARTED}")',
                         "Installer exited with status 0 and removed its working directory"]:
            self.assertIn(expected, lines)
        with open(file("state", "Sample", "started")) as marker:
            self.assertEqual(marker.read(), STARTED + "\n")
        self.assertFalse(os.path.exists("/Applications/Sample.app"))

        # The installer went through every step, then cleaned up; the lines
        # that held the log while "Installed!" was photographed are not its own.
        with open(file("logs", "installer.log")) as log:
            lines = log.read().splitlines()
        steps = ["Manifest URL is: https://127.0.0.1:8443/sample/cv-latest-mac.json",
                 f"Sample-1.0.0-{ARCH}.zip", "appName", "Sample.app", "Cleaning up"]
        found = [i for step in steps for i, line in enumerate(lines) if line.endswith(step)]
        self.assertEqual((len(found), found, lines[-1]), (len(steps), sorted(found), steps[-1]))
        self.assertNotIn("", [line.strip() for line in lines])
        with open(file("logs", "installer-stderr.log")) as errors:
            self.assertNotIn("alert: ", errors.read())

        # Two different screens, both named in the demo's own report.
        shots = [file("screenshots", n) for n in ("downloading.png", "installed.png")]
        (report,) = [line for line in result.stdout.splitlines() if line.startswith("Screenshots:")]
        contents = []
        for shot in shots:
            self.assertIn(shot, report)
            self.assertEqual(png_size(shot), (1024, 768), shot)
            with open(shot, "rb") as f:
                contents.append(f.read())
        self.assertNotEqual(contents[0], contents[1])


class Failure(unittest.TestCase):
    def test_an_alert_for_a_product_not_served_ends_the_demo_naming_it(self):
        work = tempfile.mkdtemp(prefix="demo-test-")
        self.addCleanup(shutil.rmtree, work, True)
        bundle = sandbox.copy_bundle(ARGS.installer, work, {"Corvantis ID": "elsewhere"})
        run = run_demo(bundle, ARGS.output)
        self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
        self.assertEqual(
            run.stderr.splitlines()[-1].split(" (exit status")[0],
            'demo failed: the installer stopped with the alert "Error downloading manifest": '
            "Server returned HTTP status code 404 from "
            "https://127.0.0.1:8443/elsewhere/cv-latest-mac.json")
        self.assertIn("(exit status 1;", run.stderr)
        self.assertEqual(png_size(os.path.join(ARGS.output, "screenshots", "alert.png")),
                         (1024, 768))
        self.assertFalse(os.path.exists(os.path.join(ARGS.output, "state", "Sample")))
        self.assertFalse(os.path.exists("/Applications/Sample.app"))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--demo", "--installer", "--output"):
        parser.add_argument(option, required=True)
    ARGS, rest = parser.parse_known_args()
    program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
