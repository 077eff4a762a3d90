#!/usr/bin/env python3
"""Installs the command runner from a build folder into a temporary prefix,
moves the prefix elsewhere (an installed package must not depend on where it
was put), and builds the example program of consumer/ against it twice: as a
CMake project with find_package, and with one compiler call from pkg-config.

usage: package_test.py --build-dir DIR --source-dir DIR --consumer DIR
                       --generator NAME --cxx PATH --cxx-flags FLAGS
                       --linker-flags FLAGS --build-type TYPE [unittest arguments]
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None
PREFIX = None
DEADLINE = 300  # only bounds a hung step

# What the example prints: two captured runs, the lines of a started one, and
# the error of an echoing run whose command fails.
EXPECTED = re.compile(r"""hello from echo
ls exited with 2
line 1
line 2
line 3
Command '/(usr/)?bin/false' returned with error code 1\.
""")


def run(argv, **options):
    result = subprocess.run(argv, capture_output=True, text=True, timeout=DEADLINE, **options)
    if result.returncode != 0:
        raise AssertionError(f"{shlex.join(argv)} failed with {result.returncode}:\n"
                             f"{result.stdout}{result.stderr}")
    return result.stdout


class InstalledPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        global PREFIX
        cls.work = tempfile.mkdtemp(prefix="package-test-")
        staged = os.path.join(cls.work, "staged")
        run(["cmake", "--install", ARGS.build_dir, "--prefix", staged,
             "--component", "CorvantisShell"])
        PREFIX = os.path.join(cls.work, "moved", "prefix")
        os.makedirs(os.path.dirname(PREFIX))
        os.rename(staged, PREFIX)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def installed_files(self):
        return sorted(os.path.relpath(os.path.join(folder, name), PREFIX)
                      for folder, _, names in os.walk(PREFIX) for name in names)

    def test_only_the_command_runner_is_installed(self):
        files = self.installed_files()
        libraries = [f for f in files if f.endswith((".a", ".so"))]
        self.assertEqual([os.path.basename(f) for f in libraries],
                         ["libcorvantis-platform-system.a", "libcorvantis-shell.a"])
        headers = {f.split(os.sep)[1] + "/" + f.split(os.sep)[2] for f in files
                   if f.startswith("include" + os.sep) and f.count(os.sep) >= 2}
        self.assertEqual({h.split("/")[0] for h in headers}, {"shell", "platform"})
        self.assertIn("shell/Shell.h", headers)
        for name in ("CorvantisShellConfig.cmake", "CorvantisShellConfigVersion.cmake",
                     "corvantis-shell.pc"):
            self.assertEqual(len([f for f in files if os.path.basename(f) == name]), 1, files)

    def test_nothing_installed_points_back_at_the_build(self):
        build = os.path.realpath(ARGS.build_dir)
        source = os.path.realpath(ARGS.source_dir)
        for name in self.installed_files():
            if name.endswith((".cmake", ".pc")):
                with open(os.path.join(PREFIX, name)) as f:
                    text = f.read()
                self.assertNotIn(build, text, name)
                self.assertNotIn(source, text, name)
                self.assertNotIn(os.path.join(self.work, "staged"), text, name)

    def test_find_package_builds_a_program_that_runs_commands(self):
        build = os.path.join(self.work, "cmake-consumer")
        # The consumer sets no language standard: the package's target
        # brings what its headers need.
        run(["cmake", "-S", ARGS.consumer, "-B", build, "-G", ARGS.generator,
             f"-DCMAKE_PREFIX_PATH={PREFIX}", f"-DCMAKE_CXX_COMPILER={ARGS.cxx}",
             f"-DCMAKE_CXX_FLAGS={ARGS.cxx_flags}", f"-DCMAKE_EXE_LINKER_FLAGS={ARGS.linker_flags}",
             f"-DCMAKE_BUILD_TYPE={ARGS.build_type}", "-DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON"])
        run(["cmake", "--build", build])
        self.assertRegex(run([os.path.join(build, "count-lines")]), EXPECTED)

    def test_pkg_config_compiles_the_same_file(self):
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(PREFIX, "lib", "pkgconfig"))
        flags = shlex.split(run(["pkg-config", "--cflags", "--libs", "corvantis-shell"], env=env))
        program = os.path.join(self.work, "count-lines")
        # Warnings are errors here: the public headers must compile cleanly
        # in a program that is not part of this project.
        run([ARGS.cxx, *shlex.split(ARGS.cxx_flags), "-Wall", "-Wextra", "-Wpedantic", "-Werror",
             os.path.join(ARGS.consumer, "main.cpp"), "-o", program, *flags,
             *shlex.split(ARGS.linker_flags)])
        self.assertRegex(run([program]), EXPECTED)

    def test_readme_shows_the_example_as_built(self):
        with open(os.path.join(ARGS.source_dir, "README.md")) as f:
            readme = f.read()
        for name in ("CMakeLists.txt", "main.cpp"):
            with open(os.path.join(ARGS.consumer, name)) as f:
                self.assertIn(f.read(), readme, f"README.md lacks consumer/{name} as it is")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--build-dir", "--source-dir", "--consumer", "--generator", "--cxx"):
        parser.add_argument(option, required=True)
    for option in ("--cxx-flags", "--linker-flags", "--build-type"):
        parser.add_argument(option, default="")
    ARGS, rest = parser.parse_known_args()
    program = unittest.main(argv=[sys.argv[0], *rest], exit=False, verbosity=2)
    sys.exit(0 if program.result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
