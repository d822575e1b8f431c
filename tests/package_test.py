"""Checks the program as it ships: the libraries it needs, the Debian package, and a build
on a machine without GoogleTest. Each runs the program on the bundled sample.

Usage: package_test.py PROGRAM BUILD_FOLDER [-- unittest arguments]
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from expected import BLANK_SAVE, patched, success

ARGUMENTS = sys.argv[1:sys.argv.index("--")] if "--" in sys.argv else sys.argv[1:]
PROGRAM, BUILD = ARGUMENTS
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE_COMPLEMENT = 0x01  # of the sample's header with the marker in place


def project_version():
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache.read(), re.M).group(1)


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


class Shipped(unittest.TestCase):
    def assert_patches_the_sample(self, program):
        with tempfile.TemporaryDirectory(prefix="halvek-test-") as folder:
            shutil.copy(os.path.join(SOURCE, "examples", "sample.gba"), folder)
            run = subprocess.run([program, "sample.gba"], cwd=folder, stdin=subprocess.DEVNULL,
                                 capture_output=True, timeout=120)
            self.assertEqual((run.returncode, run.stderr), (0, b""))
            self.assertEqual(run.stdout.decode(), success("sample.gba", f"{SAMPLE_COMPLEMENT:x}"))
            with open(os.path.join(folder, "sample.gba"), "rb") as sample:
                content = sample.read()
            with open(os.path.join(folder, "sample.gba.bin"), "rb") as image, \
                    open(os.path.join(folder, "sample.gba.sav"), "rb") as save:
                self.assertEqual((image.read(), save.read()), (patched(content, SAMPLE_COMPLEMENT), BLANK_SAVE))


class Program(unittest.TestCase):
    def test_needs_no_shared_library_but_the_c_library(self):
        needed = re.findall(r"\(NEEDED\).*\[(.+)\]", output("readelf", "-d", PROGRAM))
        self.assertIn("libc.so.6", needed)
        for library in needed:
            self.assertRegex(library, r"^(libc\.so\.6|ld-linux[-\w.]*\.so\.\d)$")


class DebianPackage(Shipped):
    def test_fields_files_and_the_unpacked_program(self):
        architecture = output("dpkg", "--print-architecture").strip()
        version = project_version()
        package = os.path.join(BUILD, f"halvek_{version}_{architecture}.deb")

        def field(name):
            return output("dpkg-deb", "-f", package, name).strip()

        self.assertEqual((field("Package"), field("Version"), field("Architecture")),
                         ("halvek", version, architecture))
        self.assertRegex(field("Depends"), r"^libc6( \(>= [\d.]+\))?$")
        self.assertRegex(field("Maintainer"), r"^\S.* <[^@\s]+@[^@\s]+\.[a-z]+>$")
        summary, *details = field("Description").splitlines()
        self.assertIn("64 KiB SRAM save", summary)
        self.assertTrue(details, "no long description")
        with tempfile.TemporaryDirectory(prefix="halvek-test-") as scratch:
            subprocess.run(["dpkg-deb", "-x", package, scratch], check=True)
            files = sorted(os.path.relpath(name, scratch) for name in glob.glob(f"{scratch}/**", recursive=True)
                           if os.path.isfile(name))
            self.assertEqual(files, ["usr/bin/halvek", "usr/share/doc/halvek/LICENSE",
                                     "usr/share/doc/halvek/README.md"])
            self.assert_patches_the_sample(os.path.join(scratch, "usr/bin/halvek"))


class BuildWithoutGoogleTest(Shipped):
    def test_program_builds_and_runs(self):
        with tempfile.TemporaryDirectory(prefix="halvek-test-") as scratch:
            subprocess.run(["cmake", "-S", SOURCE, "-B", scratch, "-DCMAKE_BUILD_TYPE=Release",
                            "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"], check=True, capture_output=True)
            subprocess.run(["cmake", "--build", scratch, "-j", "2"], check=True, capture_output=True)
            self.assertFalse(os.path.exists(os.path.join(scratch, "tests")), "tests configured without GoogleTest")
            self.assert_patches_the_sample(os.path.join(scratch, "halvek"))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[len(ARGUMENTS) + 2:], verbosity=2)
