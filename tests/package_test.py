"""Checks the programs as they ship: each a static program for its machine, each in a Debian
package that Debian's checker accepts; the manual page; a build without GoogleTest; and
packages that are the same bytes every time; and the texts written by hand that ship against the
program. A program for another machine runs under the
emulator given.

Usage: package_test.py BUILD_FOLDER [EMULATOR] [-- unittest arguments]
"""
import glob
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest

from expected import BLANK_SAVE, PROMPT, TEXTS, filled, patched, success

ARGUMENTS = sys.argv[1:sys.argv.index("--")] if "--" in sys.argv else sys.argv[1:]
BUILD, EMULATOR = ARGUMENTS[0], ARGUMENTS[1:]
PROGRAM = os.path.join(BUILD, "halvek")
SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE_COMPLEMENT = 0x01  # of the sample's header with the marker in place
# The machine as release names give it: how ELF names it, and Debian's architecture.
MACHINES = {"x86_64": ("Advanced Micro Devices X86-64", "amd64"), "aarch64": ("AArch64", "arm64"),
            "armhf": ("ARM", "armhf")}


def cached(name):
    with open(os.path.join(BUILD, "CMakeCache.txt")) as cache:
        return re.search(rf"^{name}:\w+=(.*)$", cache.read(), re.M).group(1)


def output(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def unfollowed_links(readme, shipped):
    """The README's links to files that do not ship beside it (shipped: the names that do)."""
    links = re.findall(r"\]\(([^)]+)\)|src=\"([^\"]+)\"", readme)
    return [target for target in (markdown or html for markdown, html in links)
            if not target.startswith("#") and "://" not in target and target not in shipped]


class Shipped(unittest.TestCase):
    def assert_patches_the_sample(self, program):
        with tempfile.TemporaryDirectory(prefix="halvek-test-") as folder:
            shutil.copy(os.path.join(SOURCE, "examples", "sample.gba"), folder)
            run = subprocess.run(EMULATOR + [program, "sample.gba"], cwd=folder, stdin=subprocess.DEVNULL,
                                 capture_output=True, timeout=120)
            self.assertEqual((run.returncode, run.stderr), (0, b""))
            self.assertEqual(run.stdout.decode(), success("sample.gba", f"{SAMPLE_COMPLEMENT:x}"))
            with open(os.path.join(folder, "sample.gba"), "rb") as sample:
                content = sample.read()
            with open(os.path.join(folder, "sample.gba.bin"), "rb") as image, \
                    open(os.path.join(folder, "sample.gba.sav"), "rb") as save:
                self.assertEqual((image.read(), save.read()), (patched(content, SAMPLE_COMPLEMENT), BLANK_SAVE))


class Program(unittest.TestCase):
    def test_static_program_for_its_machine(self):
        self.assertEqual(output("readelf", "-d", PROGRAM).strip(), "There is no dynamic section in this file.")
        self.assertNotIn("INTERP", output("readelf", "-l", PROGRAM))
        elf_machine, _ = MACHINES[cached("HALVEK_MACHINE")]
        self.assertRegex(output("readelf", "-h", PROGRAM), rf"Machine:\s+{re.escape(elf_machine)}\n")


class DebianPackage(Shipped):
    def test_fields_files_checker_and_the_unpacked_program(self):
        version = cached("CMAKE_PROJECT_VERSION")
        _, architecture = MACHINES[cached("HALVEK_MACHINE")]
        package = os.path.join(BUILD, f"halvek_{version}_{architecture}.deb")

        def field(name):
            return output("dpkg-deb", "-f", package, name).strip()

        self.assertEqual((field("Package"), field("Version"), field("Architecture"), field("Depends")),
                         ("halvek", version, architecture, ""))  # static: it depends on nothing
        self.assertRegex(field("Maintainer"), r"^\S.* <[^@\s]+@[^@\s]+\.[a-z]+>$")
        summary, *details = field("Description").splitlines()
        self.assertIn("64 KiB SRAM save", summary)
        self.assertTrue(details, "no long description")
        checked = subprocess.run(["lintian", "--fail-on", "error,warning", package], capture_output=True, text=True)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
        with tempfile.TemporaryDirectory(prefix="halvek-test-") as scratch:
            subprocess.run(["dpkg-deb", "-x", package, scratch], check=True)
            files = sorted(os.path.relpath(name, scratch) for name in glob.glob(f"{scratch}/**", recursive=True)
                           if os.path.isfile(name))
            self.assertEqual(files, ["usr/bin/halvek", "usr/share/doc/halvek/README.md",
                                     "usr/share/doc/halvek/changelog.gz", "usr/share/doc/halvek/copyright",
                                     "usr/share/lintian/overrides/halvek", "usr/share/man/man1/halvek.1.gz"])
            with open(os.path.join(scratch, "usr/share/doc/halvek/README.md")) as readme:
                self.assertEqual(unfollowed_links(readme.read(), os.listdir(os.path.join(scratch, "usr/share/doc/halvek"))),
                                 [])
            self.assert_patches_the_sample(os.path.join(scratch, "usr/bin/halvek"))


class Versions(unittest.TestCase):
    def test_texts_that_ship_carry_the_version_the_build_took(self):
        # The program, the Windows resources and the package names take the version from the
        # project() line at build time; these texts are written by hand, so they are checked.
        version = cached("CMAKE_PROJECT_VERSION")
        number = r"(\d+(?:\.\d+)+)"
        cases = [  # text, what names a version there, how many it names at least
            ("README.md", rf"[Hh]alvek[ _-]{number}|version {number}", 5),  # the assets' names, the banner
            ("tool/halvek.1", rf'^\.TH .*"Halvek {number}"', 1),
            ("packaging/changelog", rf"\Ahalvek \({number}\)", 1),  # the newest entry only
        ]
        for text, pattern, at_least in cases:
            with self.subTest(text=text):
                with open(os.path.join(SOURCE, text)) as file:
                    named = [next(filter(None, found.groups())) for found in re.finditer(pattern, file.read(), re.M)]
                self.assertGreaterEqual(len(named), at_least, named)
                self.assertEqual(set(named), {version})


def roff_text(line):
    """A manual page line as it reads: a font macro's words joined, the escapes used here read."""
    macro = re.match(r"\.(B|I|BI|IB|BR|RB|IR|RI) (.*)", line)
    if macro:  # one font's words stand apart; two fonts alternate with no space between
        words = [quoted or word for quoted, word in re.findall(r'"([^"]*)"|(\S+)', macro.group(2))]
        line = (" " if len(macro.group(1)) == 1 else "").join(words)
    for escape, character in [("\\-", "-"), ("\\(dq", '"'), ("\\&", ""), ("\\e", "\\")]:
        line = line.replace(escape, character)
    return line


class Transcripts(unittest.TestCase):
    """The README, the manual page and the Windows README are written by hand: each must show
    what the program prints. When a text changes in tool/texts.hpp, this names what to edit."""
    # text, how it names the image in its list of messages
    DOCUMENTS = [("README.md", "<image>"), ("tool/halvek.1", "image"), ("packaging/README-windows.txt", "<image>")]

    def document(self, name):
        with open(os.path.join(SOURCE, name)) as file:
            lines = file.read().splitlines()
        return [roff_text(line) for line in lines] if name.endswith(".1") else lines

    def printed(self, *arguments, image=None):
        with tempfile.TemporaryDirectory(prefix="halvek-test-") as folder:
            if image:
                with open(os.path.join(folder, image), "wb") as file:
                    file.write(bytes(1024))
            run = subprocess.run(EMULATOR + [os.path.abspath(PROGRAM), *arguments], cwd=folder,
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            return run.stdout.decode()

    def test_transcripts_are_what_the_program_prints(self):
        usage = self.printed()
        cases = [  # text, where its transcripts stand, what the program prints for them
            ("README.md", r"^```\n(.*?)^```$", [usage, self.printed("rom.gba", image="rom.gba")]),
            ("tool/halvek.1", r"^\.EX\n(.*?)^\.EE$", [usage]),
        ]
        for name, block, printed in cases:
            with self.subTest(text=name):
                # A block that ends on the prompt is a transcript.
                shown = [text for text in re.findall(block, "\n".join(self.document(name)) + "\n", re.S | re.M)
                         if text.endswith(PROMPT)]
                for transcript in printed:
                    self.assertTrue(transcript in shown, f"{name} must be edited by hand: it lacks this transcript, as "
                                  f"the program prints it now:\n{transcript}")
                for transcript in shown:
                    self.assertTrue(transcript in printed, f"{name} must be edited by hand: the program no longer "
                                  f"prints this transcript:\n{transcript}")

    def test_messages_named_as_the_program_says_them(self):
        for name, image in self.DOCUMENTS:
            with self.subTest(text=name):
                text = "\n".join(self.document(name))
                lines = [filled("opening_failed", image), filled("opening_failed", image + ".bin"),
                         filled("opening_failed", image + ".sav"), filled("reading_failed", image),
                         filled("writing_failed", image + ".bin"), filled("writing_failed", image + ".sav"),
                         TEXTS["out_of_memory"], filled("complement", "xx"), TEXTS["success"], TEXTS["prompt"]]
                for line in lines:
                    line = line.strip().splitlines()[0]
                    self.assertTrue(line in text, f"{name} must be edited by hand: it does not name the message "
                                    f"{line!r} as tool/texts.hpp has it")


class ManualPage(unittest.TestCase):
    def test_renders_without_warnings(self):
        rendered = subprocess.run(["groff", "-ww", "-man", "-z", os.path.join(SOURCE, "tool", "halvek.1")],
                                  capture_output=True, text=True)
        self.assertEqual((rendered.returncode, rendered.stdout, rendered.stderr), (0, "", ""))


class BuildWithoutGoogleTest(Shipped):
    def test_program_builds_the_same_bytes_elsewhere_and_runs(self):
        with tempfile.TemporaryDirectory(prefix="halvek-test-") as scratch:
            subprocess.run(["cmake", "-S", SOURCE, "-B", scratch, "-DCMAKE_BUILD_TYPE=Release",
                            "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON"], check=True, capture_output=True)
            subprocess.run(["cmake", "--build", scratch, "-j", "2"], check=True, capture_output=True)
            self.assertFalse(os.path.exists(os.path.join(scratch, "tests")), "tests configured without GoogleTest")
            built = os.path.join(scratch, "halvek")
            with open(built, "rb") as elsewhere, open(PROGRAM, "rb") as here:
                self.assertTrue(elsewhere.read() == here.read(), "the program holds its build folder's path")
            self.assert_patches_the_sample(built)


class Reproducible(unittest.TestCase):
    def test_two_builds_in_two_folders_at_two_times_package_the_same_bytes(self):
        # Each build from scratch, in a folder of its own, seconds apart, with another time zone
        # and umask: a path, a time or a mode that reaches a package shows as a difference.
        assets = []
        with tempfile.TemporaryDirectory(prefix="halvek-test-") as scratch:
            for attempt, zone, umask in [("first", "UTC", 0o022), ("second", "Pacific/Kiritimati", 0o002)]:
                build, dist = os.path.join(scratch, attempt, "build"), os.path.join(scratch, attempt, "dist")
                environment = dict(os.environ, TZ=zone, HALVEK_DIST=dist)
                old_umask = os.umask(umask)
                try:
                    for command in (["cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                                     "-DHALVEK_TESTS=OFF"],
                                    ["cmake", "--build", build, "-j", "2"],
                                    [os.path.join(SOURCE, "scripts", "package"), build]):
                        subprocess.run(command, check=True, capture_output=True, env=environment)
                finally:
                    os.umask(old_umask)
                subprocess.run(["sha256sum", "--quiet", "-c", "SHA256SUMS"], cwd=dist, check=True)
                made = {}
                for name in sorted(os.listdir(dist)):
                    with open(os.path.join(dist, name), "rb") as asset:
                        made[name] = asset.read()
                assets.append(made)
                time.sleep(1.1)  # past the second, which archive headers count in
        self.assertEqual(sorted(assets[0]), sorted(assets[1]))
        self.assertEqual(len(assets[0]), 3, sorted(assets[0]))  # the .deb, the tarball and SHA256SUMS
        [tarball] = [name for name in assets[0] if name.endswith(".tar.gz")]
        with tarfile.open(fileobj=io.BytesIO(assets[0][tarball])) as archive:
            members = archive.getnames()
            [readme] = [name for name in members if name.endswith("/README.md")]
            shipped = [os.path.relpath(name, os.path.dirname(readme)) for name in members]
            self.assertEqual(unfollowed_links(archive.extractfile(readme).read().decode(), shipped), [])
        self.assertEqual([name for name, content in assets[0].items() if content != assets[1][name]], [],
                         "differ between the two builds")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + sys.argv[len(ARGUMENTS) + 2:], verbosity=2)
