"""Runs the built program in temporary folders and compares all it shows and writes.

Usage: cli_test.py [--windows] COMMAND... [-- unittest arguments]; COMMAND starts the
program. --windows: COMMAND starts the Windows build (under Wine), whose console text has
CR LF line ends; tests of POSIX matters are skipped and those of Windows start-up run.
"""
import errno
import fnmatch
import functools
import os
import random
import re
import resource
import select
import shlex
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from expected import (BLANK_SAVE, PROMPT, TEXTS, USAGE, banner, copying, error_opening, error_reading, error_writing,
                      failure, patched, success)

ARGUMENTS = sys.argv[1:sys.argv.index("--")] if "--" in sys.argv else sys.argv[1:]
WINDOWS = ARGUMENTS[:1] == ["--windows"]
# Paths made absolute once: each case runs the program from a folder of its own.
COMMAND = [os.path.abspath(part) if os.sep in part else part for part in (ARGUMENTS[1:] if WINDOWS else ARGUMENTS)]
# Skips for these reasons say the case is not one of this build's, not that it could not run here.
POSIX_MATTER = "a POSIX matter"
SANITIZED_BUILD = "a sanitized program cannot run in a limited address space"
only_posix = unittest.skipIf(WINDOWS, POSIX_MATTER)
# A launcher that runs the program as on a file system without unnamed files: the command that
# starts it, or nothing. COMMAND itself may start the program through it as on an old kernel.
WITHOUT_UNNAMED_FILES = [os.environ["LIMITED_CALLS"], "without-unnamed-files"] if "LIMITED_CALLS" in os.environ else []
# Under AddressSanitizer the program cannot run with a limited address space.
SANITIZED = os.environ.get("HALVEK_SANITIZED") == "ON"
NOBODY = 65534
COPYING = copying()
MAKING_SAVE = COPYING + TEXTS["making_save"]


def image(size, seed):
    """Random bytes, but the summed header fields are zero so the complement is 0x3a.
    The old reserved bytes (0xB5..0xBB, 0xBD..0xBF) stay random: they must not count."""
    content = bytearray(random.Random(seed).randbytes(size))
    for offset in list(range(0xA0, 0xB5)) + [0xBC]:
        if offset < size:
            content[offset] = 0
    return bytes(content)


def console_text(stdout):
    """The text, which must be UTF-8; on Windows every line must end in CR LF."""
    if WINDOWS:
        assert b"\n" not in stdout.replace(b"\r\n", b""), f"a line end without CR: {stdout!r}"
        return stdout.replace(b"\r\n", b"\n").decode()
    return stdout.decode()


def windows_name(path):
    """The path as Wine's drive Z: shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def as_user(uid, gid=NOBODY):
    def switch():
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)
    return switch


@functools.lru_cache(maxsize=None)
def launcher_probe():
    """The launcher asked for an unnamed file: it ends with the open's error number, or with 77
    where it has no filter for this machine."""
    return subprocess.run(WITHOUT_UNNAMED_FILES + [sys.executable, "-c",
                           "import os, sys\ntry: os.open(sys.argv[1], os.O_TMPFILE | os.O_WRONLY)\n"
                           "except OSError as error: sys.exit(error.errno)", tempfile.gettempdir()],
                          capture_output=True, text=True)


def console_defaults():
    """Signals as a user at a console has them, whatever the test runner was started with."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))  # an ending by SIGQUIT leaves no core here


def marked(mark):
    """Sets a case apart from its group: tests/CMakeLists.txt gives each set of marks a ctest
    entry of its own, so that a group does not show as skipped, or as passed, for one case."""
    def mark_case(test):
        test.case_marks = getattr(test, "case_marks", frozenset()) | {mark}
        return test
    return mark_case


slow = marked("slow")


def needs_root(test):
    return marked("root")(only_posix(unittest.skipUnless(os.geteuid() == 0, "needs root")(test)))


def marks_of(test_class, name):
    return getattr(test_class, "case_marks", frozenset()) | getattr(getattr(test_class, name), "case_marks", frozenset())


def acl(*entries):
    """An ACL in the system's encoding, from (tag, permissions, user or group) entries: tags
    1 owner, 2 user, 4 owning group, 8 group, 0x10 mask, 0x20 others."""
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", tag, permissions, 0xFFFFFFFF if who is None else who)
                                           for tag, permissions, who in entries)


# A default ACL that lets the user daemon read and write everything made in the folder.
DAEMON = 1
SHARED_WITH_DAEMON = acl((1, 7, None), (2, 7, DAEMON), (4, 5, None), (0x10, 7, None), (0x20, 5, None))


# Run as `python3 -c HOLD_AND_WAIT WAY NAME...`: holds each file open, or mapped with its
# descriptor closed, until standard input ends.
HOLD_AND_WAIT = """import ctypes, os, sys
mmap = ctypes.CDLL(None).mmap
mmap.restype, mmap.argtypes = ctypes.c_void_p, [ctypes.c_void_p, ctypes.c_size_t] + [ctypes.c_int] * 3 + [ctypes.c_long]
for name in sys.argv[2:]:
    file = os.open(name, os.O_RDONLY)
    if sys.argv[1] == "a mapping":
        if mmap(None, os.fstat(file).st_size, 1, 1, file, 0) in (None, ctypes.c_void_p(-1).value):  # shared, read
            sys.exit("mmap failed")
        os.close(file)
print("held", flush=True)
sys.stdin.read()"""


def limit_file_size(limit):
    def apply():
        if WINDOWS:  # Wine would end by the signal; the program itself ignores it
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply


class Run(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="halvek-test-")
        os.chmod(self.folder, 0o755)  # for the tests that run the program as another user
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def write(self, name, content):
        with open(self.path(name), "wb") as file:
            file.write(content)

    def read(self, name):
        with open(self.path(name), "rb") as file:
            return file.read()

    def halvek(self, *arguments, expected_out, **options):
        """Runs with standard input at its end and checks the console."""
        self.assertEqual(self.console_of(*arguments, **options), expected_out)

    command = COMMAND

    def console_of(self, *arguments, command=None, **options):
        """Runs with standard input at its end, checks that it ends cleanly, and returns
        its standard output."""
        run = subprocess.run((command or self.command) + list(arguments), cwd=self.folder, stdin=subprocess.DEVNULL,
                             capture_output=True, timeout=120, **options)
        self.assertEqual(run.stderr, b"")
        self.assertEqual(run.returncode, 0)
        return console_text(run.stdout)

    def command_for_all(self):
        """Copies of the program and its launcher that every user can reach, wherever the build is."""
        return [shutil.copy(part, self.path(os.path.basename(part))) if os.path.isabs(part) else part
                for part in COMMAND]

    def clear_folder(self):
        for name in os.listdir(self.folder):
            os.remove(self.path(name))

    def deep_path(self, name):
        """A path far longer than an ordinary fixed name buffer."""
        deep = os.path.join(self.folder, *[chr(ord("a") + level) * 200 for level in range(15)])
        os.makedirs(deep)
        return os.path.join(deep, name)

    def assert_files(self, *names):
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(names))

    def earlier_outputs(self, name):
        """Puts outputs of an earlier run under the final names and returns them."""
        earlier = {name + ".bin": b"earlier image" * 5000, name + ".sav": b"earlier save" * 100}
        for output, content in earlier.items():
            self.write(output, content)
        return earlier

    def assert_holding(self, files):
        for name, content in files.items():
            self.assertEqual(self.read(name), content, name)


    def started(self, arguments, unnamed=True, first_of_namespace=False, cwd=None):
        """Starts the program as a user at a console has it, whatever the test runner was
        started with; without unnamed files, or as the first process of a namespace, where asked."""
        if not unnamed and not WITHOUT_UNNAMED_FILES:
            self.skipTest("no launcher to hide unnamed files")
        if not unnamed and launcher_probe().returncode == 77:
            self.skipTest("the launcher has no filter for this machine")
        if not unnamed:  # else the case would wait for a named file that never comes
            self.assertEqual(launcher_probe().returncode, errno.EOPNOTSUPP,
                             "the launcher let an unnamed file through: " + launcher_probe().stderr)
        if first_of_namespace and (os.geteuid() != 0 or not shutil.which("unshare")):
            self.skipTest("needs root and unshare, to start a process namespace")
        launcher = ([] if unnamed else WITHOUT_UNNAMED_FILES) + (
            ["unshare", "--fork", "--pid", "--mount-proc"] if first_of_namespace else [])
        return subprocess.Popen(launcher + COMMAND + arguments, cwd=cwd or self.folder, preexec_fn=console_defaults,
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def first_child(self, launcher):
        """The process that unshare starts in its namespace."""
        deadline = time.monotonic() + 60
        while True:
            try:
                with open(f"/proc/{launcher.pid}/task/{launcher.pid}/children") as children:
                    return int(children.read().split()[0])
            except (OSError, IndexError):
                self.assertIsNone(launcher.poll(), "unshare failed")
                self.assertLess(time.monotonic(), deadline, "the namespace never started")
                time.sleep(0.02)

    def wait_for_staged_data(self, pid, unnamed, folder=None):
        """Waits until the run has staged data as the case claims: in an open file that has no
        name, or under a `.halvek-….tmp` in the folder."""
        folder = folder or self.folder

        def staged():
            try:
                if unnamed:
                    held = [os.stat(f"/proc/{pid}/fd/{descriptor}") for descriptor in os.listdir(f"/proc/{pid}/fd")]
                    return any(stat.S_ISREG(status.st_mode) and status.st_size and not status.st_nlink
                               for status in held)
                return any(re.fullmatch(r"\.halvek-[^/]+\.tmp", name) and os.path.getsize(os.path.join(folder, name))
                           for name in os.listdir(folder))
            except OSError:
                return False  # opened or closed meanwhile
        deadline = time.monotonic() + 60
        while not staged():
            self.assertLess(time.monotonic(), deadline, "the program never held staged data")
            time.sleep(0.02)


class CommandLine(Run):
    def test_wrong_argument_counts_show_usage_and_write_nothing(self):
        self.write("rom.gba", bytes(1024))
        for arguments in [[], ["rom.gba", "rom.gba"], ["a", "b", "c"]]:
            with self.subTest(arguments=arguments):
                self.halvek(*arguments, expected_out=USAGE)
                self.assert_files("rom.gba")

    def test_pause_waits_for_enter_on_an_open_console(self):
        self.write("rom.gba", image(1024, 1))
        with subprocess.Popen(COMMAND + ["rom.gba"], cwd=self.folder, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE) as child:
            shown = b""
            while not console_text(shown).endswith(PROMPT):
                ready, _, _ = select.select([child.stdout], [], [], 60)
                self.assertTrue(ready, "no prompt before the pause: %r" % shown)
                chunk = child.stdout.read1()
                self.assertTrue(chunk, "output ended before the prompt: %r" % shown)
                shown += chunk
            time.sleep(0.3)
            self.assertIsNone(child.poll(), "ended without waiting for Enter")
            rest, _ = child.communicate(b"\n", timeout=60)
        self.assertEqual(console_text(shown + rest), success("rom.gba"))
        self.assertEqual(child.returncode, 0)


class SuccessfulRuns(Run):
    def test_images_of_every_length(self):
        cases = [
            ("rom.gba", image(4096, 2), "3a"),
            ("rom", image(600, 3), "3a"),                    # no extension: suffixes still appended
            ("empty.gba", b"", "3a"),
            ("block.gba", image(512, 4), "3a"),
            ("short.gba", image(100, 5), "3a"),              # every patched offset past its end
            ("ff.gba", b"\xff" * 0xB0, "4a"),                # block zero-filled past a short input
            ("mid.gba", image(0xB9, 6), "3a"),               # ends inside the marker
            ("long.gba", image((3 << 20) + 77, 7), "3a"),    # longer than a copy block
            ("my game.v1.2.gba", image(2048, 8), "3a"),
            ("ポケモン.gba", image(1500, 19), "3a"),
            ("Pokémon.gba", image(1500, 20), "3a"),
        ]
        for name, content, comp in cases:
            with self.subTest(name=name):
                self.write(name, content)
                self.halvek(name, expected_out=success(name, comp))
                self.assertEqual(self.read(name + ".bin"), patched(content, int(comp, 16)))
                self.assertEqual(self.read(name + ".sav"), BLANK_SAVE)
                self.assertEqual(self.read(name), content)

    def test_existing_outputs_are_replaced_without_an_old_tail(self):
        content = image(1000, 9)
        self.write("rom.gba", content)
        self.write("rom.gba.bin", b"\xee" * 300000)
        self.write("rom.gba.sav", b"\xee" * 200000)
        self.halvek("rom.gba", expected_out=success("rom.gba"))
        self.assertEqual(self.read("rom.gba.bin"), patched(content))
        self.assertEqual(self.read("rom.gba.sav"), BLANK_SAVE)

    def test_absolute_path_of_several_thousand_characters(self):
        name = self.deep_path("rom.gba")
        content = image(2048, 10)
        self.write(name, content)
        for run in ["first", "re-run"]:  # a re-run replaces what the first wrote
            with self.subTest(run=run):
                self.halvek(name, expected_out=success(name))
                self.assertEqual(self.read(name + ".bin"), patched(content))
                self.assertEqual(self.read(name + ".sav"), BLANK_SAVE)

    @slow
    def test_image_past_the_32_bit_lines_is_copied_in_full(self):
        size = (4 << 30) + 4099
        marks = [0x200, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0x100000000, size - 1]
        with open(self.path("big.gba"), "wb") as file:  # sparse, so cheap to make
            for mark in marks:
                file.seek(mark)
                file.write(bytes([0x40 + mark % 64]))
        self.halvek("big.gba", expected_out=success("big.gba"))
        self.assertEqual(os.path.getsize(self.path("big.gba.bin")), size)
        block = 1 << 24
        with open(self.path("big.gba"), "rb") as given, open(self.path("big.gba.bin"), "rb") as written:
            expected = patched(given.read(block))
            offset = 0
            while expected:
                self.assertTrue(written.read(block) == expected, "differs in the block at %d" % offset)
                offset += block
                expected = given.read(block)
        self.assertEqual(self.read("big.gba.sav"), BLANK_SAVE)


class OpenFailures(Run):
    def test_inputs_that_cannot_be_opened(self):
        os.mkdir(self.path("folder.gba"))
        names = ["missing.gba", "folder.gba", "x" * 5000 + ".gba"]
        if not WINDOWS:
            os.mkfifo(self.path("fifo.gba"))  # no writer: an ordinary open would wait forever
            names.append("fifo.gba")
        before = sorted(os.listdir(self.folder))
        for name in names:
            with self.subTest(name=name[:20]):
                self.halvek(name, expected_out=failure(error_opening(name)))
                self.assert_files(*before)

    def test_output_image_that_cannot_be_opened_is_named_before_the_banner(self):
        self.write("rom.gba", image(1024, 11))
        os.mkdir(self.path("rom.gba.bin"))
        self.halvek("rom.gba", expected_out=failure(error_opening("rom.gba.bin")))
        self.assert_files("rom.gba", "rom.gba.bin")

    def test_output_names_longer_than_the_file_system_takes_are_named_before_the_banner(self):
        content = image(1024, 44)
        for length, fits in [(255, True), (256, False), (257, False)]:  # of the output names; 255 is the limit
            with self.subTest(length=length):
                self.clear_folder()
                name = "r" * (length - len(".gba.bin")) + ".gba"
                self.write(name, content)
                self.halvek(name, expected_out=success(name) if fits else failure(error_opening(name + ".bin")))
                self.assert_files(name, *[name + ".bin", name + ".sav"][:2 * fits])

    def test_save_that_cannot_be_opened_leaves_the_image_complete(self):
        content = image(1024, 12)
        self.write("rom.gba", content)
        os.mkdir(self.path("rom.gba.sav"))
        self.halvek("rom.gba", expected_out=failure(banner("rom.gba") + COPYING + error_opening("rom.gba.sav")))
        self.assertEqual(self.read("rom.gba.bin"), patched(content))

    def test_outputs_that_lead_to_the_input_or_to_each_other_are_refused(self):
        saving = banner("rom.gba") + COPYING
        cases = [  # link name, target, hard link, what shows before the error line, the name refused
            ("rom.gba.bin", "rom.gba", False, "", "rom.gba.bin"),
            ("rom.gba.bin", "rom.gba", True, "", "rom.gba.bin"),
            ("rom.gba.sav", "rom.gba", False, saving, "rom.gba.sav"),
            ("rom.gba.sav", "rom.gba", True, saving, "rom.gba.sav"),
            # Both outputs would be one file: found before the image could take the save's place.
            ("rom.gba.sav", "rom.gba.bin", False, "", "rom.gba.bin"),
            ("rom.gba.bin", "rom.gba.sav", False, "", "rom.gba.bin"),
        ]
        content = image(70000, 13)
        for link, target, hard, before, refused in cases:
            with self.subTest(link=link, target=target, hard=hard):
                self.clear_folder()
                self.write("rom.gba", content)
                if target != "rom.gba":
                    self.write(target, b"earlier")
                (os.link if hard else os.symlink)(self.path(target), self.path(link))
                self.halvek("rom.gba", expected_out=failure(before + error_opening(refused)))
                self.assertEqual(self.read("rom.gba"), content)
                self.assertEqual(self.read("rom.gba.bin"), patched(content) if before else
                                 content if target == "rom.gba" else b"earlier")


class ReadWriteFailures(Run):
    @only_posix
    def test_input_that_ends_before_its_measured_size(self):
        # Kernel attribute files claim 4096 bytes and hold fewer. The system copy refuses
        # them, so this also runs the program's own copy loop.
        cases = [  # file, what shows between the banner and the error line
            ("/sys/class/net/lo/uevent", ""),                                 # ends inside the header
            ("/sys/devices/system/node/node0/meminfo", copying("*")),  # ends later
        ]
        for source, between in cases:
            with self.subTest(source=source):
                if not os.path.isfile(source) or not 0 < len(open(source, "rb").read()) < 4096:
                    self.skipTest(f"{source} is not a short kernel attribute file here")
                self.clear_folder()
                os.symlink(source, self.path("rom.gba"))
                shown = self.console_of("rom.gba")
                expected = banner("rom.gba") + between + failure(error_reading("rom.gba"))
                self.assertTrue(fnmatch.fnmatchcase(shown, expected), shown)
                self.assert_files("rom.gba")

    def test_image_on_another_file_system_goes_through_the_copy_loop(self):
        if not os.path.isdir("/dev/shm"):
            self.skipTest("no memory file system here")
        content = image((3 << 20) + 77, 18)
        with tempfile.NamedTemporaryFile(dir="/dev/shm", suffix=".gba") as elsewhere:
            elsewhere.write(content)
            elsewhere.flush()
            os.symlink(elsewhere.name, self.path("rom.gba"))
            self.halvek("rom.gba", expected_out=success("rom.gba"))
        self.assertEqual(self.read("rom.gba.bin"), patched(content))

    @only_posix  # a device is no file to Windows: its open fails
    def test_full_device(self):
        content = image(4096, 14)
        cases = [  # the name that leads to /dev/full, what shows before the error line
            ("rom.gba.bin", COPYING),
            ("rom.gba.sav", MAKING_SAVE),
        ]
        for full, before in cases:
            with self.subTest(full=full):
                self.clear_folder()
                self.write("rom.gba", content)
                os.symlink("/dev/full", self.path(full))
                self.halvek("rom.gba", expected_out=failure(banner("rom.gba") + before + error_writing(full)))
                if full == "rom.gba.bin":
                    self.assertFalse(os.path.exists(self.path("rom.gba.sav")))
                else:
                    self.assertEqual(self.read("rom.gba.bin"), patched(content))

    def test_failed_writes_keep_the_earlier_outputs(self):
        limit = 40000  # a write past this fails part way, as on a full disk
        self.write("large.gba", image(limit + 5000, 15))
        earlier = self.earlier_outputs("large.gba")
        self.halvek("large.gba", preexec_fn=limit_file_size(limit),
                    expected_out=failure(banner("large.gba") + COPYING + error_writing("large.gba.bin")))
        self.assert_holding(earlier)

        small = image(limit - 5000, 16)
        self.write("small.gba", small)
        earlier.update(self.earlier_outputs("small.gba"))
        self.halvek("small.gba", preexec_fn=limit_file_size(limit),
                    expected_out=failure(banner("small.gba") + MAKING_SAVE + error_writing("small.gba.sav")))
        earlier["small.gba.bin"] = patched(small)
        self.assert_holding(earlier)
        self.assert_files("large.gba", "small.gba", *earlier)

    @only_posix
    def test_closed_standard_streams_do_not_leak_into_the_image(self):
        # With both closed, the image would be opened in their place, and three long
        # names fill the console buffer, which is then written out while it is open.
        name = self.deep_path("rom.gba")
        content = image(100, 17)
        self.write(name, content)
        self.halvek(name, preexec_fn=lambda: (os.close(0), os.close(1)), expected_out="")
        self.assertEqual(self.read(name + ".bin"), patched(content))
        self.assertEqual(self.read(name + ".sav"), BLANK_SAVE)


class Staging(Run):
    @only_posix
    def test_interrupted_run_leaves_the_earlier_outputs_and_nothing_else(self):
        self.interrupt([  # signal, whether the staged file has no name, whether it is the first process of a namespace
            (signal.SIGINT, True, False), (signal.SIGTERM, True, False), (signal.SIGKILL, True, False),
            (signal.SIGINT, False, False), (signal.SIGTERM, False, False), (signal.SIGHUP, False, False),
            (signal.SIGQUIT, False, False), (signal.SIGUSR1, False, False), (signal.SIGPWR, False, False),
            (signal.SIGIO, False, False), (signal.SIGRTMIN + 3, False, False), (signal.SIGSYS, False, False),
        ])

    @needs_root  # to start a process namespace
    def test_interrupted_first_process_of_a_namespace(self):
        self.interrupt([(signal.SIGINT, True, True)])  # the system drops a signal such a process sends itself

    def interrupt(self, cases):
        with open(self.path("big.gba"), "wb") as file:
            file.truncate(1 << 30)  # sparse, so cheap to make, and long enough to copy to be stopped part way
        earlier = self.earlier_outputs("big.gba")
        # A folder whose default ACL would share every new file: a staged one must stay private.
        os.setxattr(self.folder, "system.posix_acl_default", SHARED_WITH_DAEMON)
        for signal_number, unnamed, first in cases:
            with self.subTest(signal=int(signal_number), unnamed=unnamed, first_of_namespace=first):
                with self.started(["big.gba"], unnamed, first) as child:
                    pid = self.first_child(child) if first else child.pid
                    # unshare, not this test, reaps the namespace's process: once it ends, its
                    # number may go to another process, such as a run of a case beside this one.
                    # Held open, the handle signals that process or none.
                    process = os.pidfd_open(pid)
                    try:
                        if first:
                            self.assertEqual(self.first_child(child), pid, "ended before it was held")
                        self.wait_for_staged_data(pid, unnamed)
                        if not unnamed:
                            staged = self.path(next(name for name in os.listdir(self.folder)
                                                    if name.startswith(".halvek-")))
                            self.assertEqual(os.stat(staged).st_mode & 0o7777, 0o600)
                            self.assertNotIn("system.posix_acl_access", os.listxattr(staged))
                        signal.pidfd_send_signal(process, 0)  # still the process whose files were seen
                        signal.pidfd_send_signal(process, signal_number)
                    finally:
                        os.close(process)
                    _, errors = child.communicate(timeout=120)
                # As a shell reports an end by that signal, where the process outlived it.
                self.assertEqual(child.returncode, 128 + signal_number if first else -int(signal_number))
                self.assertEqual(errors, b"")
                self.assert_holding(earlier)
                self.assert_files("big.gba", *earlier)

    def test_runs_at_once_on_one_image_all_succeed(self):
        # Each finds the names free or taken at its look-up, and another run's new file there
        # before it places its own: it is replaced as on a re-run.
        content = image(16 << 20, 39)
        self.write("rom.gba", content)
        runs = [subprocess.Popen(COMMAND + ["rom.gba"], cwd=self.folder, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE) for _ in range(10)]
        for run in runs:
            shown, errors = run.communicate(timeout=120)
            self.assertEqual((console_text(shown), errors, run.returncode), (success("rom.gba"), b"", 0))
        self.assert_holding({"rom.gba.bin": patched(content), "rom.gba.sav": BLANK_SAVE})
        self.assert_files("rom.gba", "rom.gba.bin", "rom.gba.sav")

    def test_linked_outputs_replace_the_files_they_lead_to(self):
        content = image(4096, 23)
        self.write("rom.gba", content)
        os.mkdir(self.path("card"))
        self.write("card/image", b"old image")
        os.chmod(self.path("card/image"), 0o604)
        self.write("card/save", b"old save")
        os.symlink("card/image", self.path("rom.gba.bin"))
        os.symlink(self.path("card/save"), self.path("rom.gba.sav"))
        self.halvek("rom.gba", expected_out=success("rom.gba"))
        self.assertEqual(os.readlink(self.path("rom.gba.bin")), "card/image")
        self.assertEqual(os.readlink(self.path("rom.gba.sav")), self.path("card/save"))
        self.assert_holding({"card/image": patched(content), "card/save": BLANK_SAVE})
        if not WINDOWS:  # Windows keeps no such permissions
            self.assertEqual(os.stat(self.path("card/image")).st_mode & 0o777, 0o604)
        self.assertEqual(sorted(os.listdir(self.path("card"))), ["image", "save"])

    def test_hard_linked_output_leaves_its_other_name_alone(self):
        content = image(4096, 24)
        self.write("rom.gba", content)
        self.write("unrelated", b"keep me")
        os.link(self.path("unrelated"), self.path("rom.gba.bin"))
        self.halvek("rom.gba", expected_out=success("rom.gba"))
        self.assert_holding({"unrelated": b"keep me", "rom.gba.bin": patched(content), "rom.gba.sav": BLANK_SAVE})

    @only_posix
    def test_console_pipe_closed_by_its_reader(self):
        content = image(4096, 25)
        self.write("rom.gba", content)
        reader, writer = os.pipe()
        os.close(reader)
        try:
            run = subprocess.run(COMMAND + ["rom.gba"], cwd=self.folder, stdin=subprocess.DEVNULL, stdout=writer,
                                 stderr=subprocess.PIPE, timeout=120)
        finally:
            os.close(writer)
        self.assertEqual((run.returncode, run.stderr), (0, b""))
        self.assert_holding({"rom.gba.bin": patched(content), "rom.gba.sav": BLANK_SAVE})


class Limits(Run):
    @needs_root  # to mount a small file system, and to run as an ordinary user
    def test_room_by_trying(self):
        # An output is written beside the old one; only when that runs out of room, and removing
        # the old one gives enough back, does the old one go first.
        card = self.path("card")
        os.mkdir(card)
        command, user, kib = self.command_for_all(), 4001, 1 << 10
        cases = [  # image size, old outputs and their sizes, a filler's size, the card's inodes,
                   # what else holds the old outputs, who runs, the output that fails
            (1200 * kib, {"rom.gba.bin": 1200 * kib}, 0, None, None, 0, None),  # room beside the old one
            (1600 * kib, {"rom.gba.bin": 1600 * kib}, 0, None, None, 0, None),  # room once it is gone, no more
            (1600 * kib, {"rom.gba.bin": 1600 * kib}, 0, None, "another group", user, None),  # a full device, no quota
            (1500 * kib, {"rom.gba.bin": 2048 * kib}, 0, None, "another name", 0, "bin"),
            (1500 * kib, {"rom.gba.bin": 2048 * kib}, 0, None, "an open file", 0, "bin"),  # an emulator playing it
            (1500 * kib, {"rom.gba.bin": 2048 * kib}, 0, None, "a mapping", user, "bin"),  # its descriptor closed
            (2500 * kib, {"rom.gba.bin": 1024 * kib}, 0, None, None, 0, "bin"),  # not even then
            # The save takes room beside the new image too, not beside its old self.
            (1200 * kib, {"rom.gba.sav": 64 * kib}, 1600 * kib, None, None, user, None),
            (1200 * kib, {"rom.gba.sav": 64 * kib}, 1600 * kib, None, "a mapping", user, "sav"),  # as emulators keep one
            (4 * kib, {"rom.gba.bin": 4 * kib, "rom.gba.sav": 64 * kib}, 0, 4, None, user, None),  # no inode but theirs
        ]
        for size, old_sizes, filler, inodes, kept_by, runner, fails in cases:
            with self.subTest(size=size, old=old_sizes, inodes=inodes, kept_by=kept_by, runner=runner):
                options = f"size=4m,mode=755,uid={runner}" + (f",nr_inodes={inodes}" if inodes else "")
                subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", card], check=True)
                self.addCleanup(subprocess.run, ["umount", "-l", card], capture_output=True)
                content = image(size, 41)
                old = {name: b"\xee" * old_size for name, old_size in old_sizes.items()}
                others = {"rom.gba": content, **old, **({"filler": bytes(filler)} if filler else {})}
                for name, bytes_there in others.items():
                    self.write("card/" + name, bytes_there)
                    os.chown(self.path("card/" + name), runner, runner)
                if inodes:  # the premise: every inode taken
                    self.assertEqual(os.statvfs(card).f_ffree, 0)
                if kept_by == "another group":
                    os.chown(self.path("card/rom.gba.bin"), runner, 0)
                if kept_by == "another name":
                    os.link(self.path("card/rom.gba.bin"), self.path("card/other"))
                    others["other"] = old["rom.gba.bin"]
                holder = None
                if kept_by in ("an open file", "a mapping"):
                    holder = subprocess.Popen(["/usr/bin/python3", "-c", HOLD_AND_WAIT, kept_by, *old], cwd=card,
                                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, preexec_fn=as_user(runner, runner))
                    self.assertEqual(holder.stdout.readline(), b"held\n")
                rom = self.path("card/rom.gba")
                written = {"rom.gba.bin": patched(content), "rom.gba.sav": BLANK_SAVE}
                shown = success(rom)
                if fails:
                    written = dict(list(written.items())[:["bin", "sav"].index(fails)])
                    shown = failure(banner(rom) + {"bin": COPYING, "sav": MAKING_SAVE}[fails] +
                                    error_writing(f"{rom}.{fails}"))
                try:
                    self.halvek(rom, preexec_fn=as_user(runner, runner), expected_out=shown, command=command)
                finally:
                    if holder:
                        holder.communicate(timeout=60)
                expected = {**others, **written}
                self.assert_holding({"card/" + name: bytes_there for name, bytes_there in expected.items()})
                self.assertEqual(sorted(os.listdir(card)), sorted(expected))
                subprocess.run(["umount", card], check=True)

    @needs_root  # to mount a file system that shares blocks between files
    def test_room_by_trying_counts_no_block_another_file_shares(self):
        # The old save's blocks are shared with a copy of it, so its removal would give nothing
        # back: it stays, and the run says it could not write. Unshared, it makes the room.
        if not shutil.which("mkfs.xfs") or not os.path.exists("/dev/loop-control"):
            self.skipTest("no mkfs.xfs or no loop devices here")
        card, user, content = self.path("card"), 4001, image(4096, 48)
        os.mkdir(card)
        for reflinked in [True, False]:
            with self.subTest(reflinked=reflinked):
                subprocess.run(["umount", card], capture_output=True)  # after a failed case
                with open(self.path("card.img"), "wb") as file:
                    file.truncate(300 << 20)  # the least XFS takes
                subprocess.run(["mkfs.xfs", "-q", "-f", self.path("card.img")], check=True)
                subprocess.run(["mount", "-o", "loop", self.path("card.img"), card], check=True)
                self.addCleanup(subprocess.run, ["umount", "-l", card], capture_output=True)
                os.chown(card, user, user)
                self.write("card/rom.gba", content)
                old = {"rom.gba.sav": b"\xdd" * len(BLANK_SAVE)}
                for name, bytes_there in old.items():
                    self.write("card/" + name, bytes_there)
                copy = ["cp", "--reflink=always" if reflinked else "--reflink=never", "rom.gba.sav", "backup"]
                subprocess.run(copy, cwd=card, check=True)
                for name in os.listdir(card):
                    os.chown(os.path.join(card, name), user, user)
                self.write("card/kept", bytes(40960))
                filler, chunk = os.open(self.path("card/filler"), os.O_WRONLY | os.O_CREAT), 1 << 20
                while chunk:  # every block taken but for less than a save
                    try:
                        os.write(filler, bytes(chunk))
                    except OSError:
                        chunk //= 2
                os.close(filler)
                os.remove(self.path("card/kept"))  # room for the new image, not for a save
                subprocess.run(["sync", "-f", card], check=True)
                self.assertLess(os.statvfs(card).f_bavail * os.statvfs(card).f_frsize, len(BLANK_SAVE))
                rom = self.path("card/rom.gba")
                shown = success(rom)
                if reflinked:
                    shown = failure(banner(rom) + MAKING_SAVE + error_writing(rom + ".sav"))
                self.halvek(rom, preexec_fn=as_user(user, user), expected_out=shown)
                self.assert_holding({"card/rom.gba.bin": patched(content),
                                     "card/rom.gba.sav": old["rom.gba.sav"] if reflinked else BLANK_SAVE})
                subprocess.run(["umount", card], check=True)

    @needs_root  # to act as two users
    def test_full_quota_keeps_a_file_whose_removal_would_not_relieve_it(self):
        # In a group's folder Bob's quota is full; Alice's old image counts against hers, so its
        # removal would give him nothing back. This system keeps no quotas: the error is injected.
        if not shutil.which("strace"):
            self.skipTest("no strace here")
        alice, bob, group = 4001, 4002, 4000
        command = self.command_for_all()
        os.mkdir(self.path("group"))
        os.chown(self.path("group"), alice, group)
        os.chmod(self.path("group"), 0o2775)
        self.write("group/rom.gba", image(4096, 45))
        earlier = self.earlier_outputs("group/rom.gba")
        for name in earlier:
            os.chown(self.path(name), alice, group)
            os.chmod(self.path(name), 0o664)
        rom = self.path("group/rom.gba")
        self.halvek(rom, preexec_fn=as_user(bob, group), env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"),
                    command=["strace", "-o", "/dev/null", "-e", "inject=copy_file_range,pwrite64:error=EDQUOT", *command],
                    expected_out=failure(banner(rom) + COPYING + error_writing(rom + ".bin")))
        self.assert_holding(earlier)
        self.assertEqual(sorted(os.listdir(self.path("group"))), ["rom.gba", "rom.gba.bin", "rom.gba.sav"])

    @only_posix
    def test_fifo_output_gets_the_image_in_order(self):
        content = image(300000, 30)  # more than a pipe holds
        self.write("rom.gba", content)
        os.mkfifo(self.path("rom.gba.bin"))
        reader = os.open(self.path("rom.gba.bin"), os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        received = b""
        with subprocess.Popen(COMMAND + ["rom.gba"], cwd=self.folder, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                select.select([reader], [], [], 0.1)
                try:
                    chunk = os.read(reader, 1 << 16)
                except BlockingIOError:
                    continue
                if not chunk and child.poll() is not None:
                    break
                received += chunk
            shown, errors = child.communicate(timeout=60)
        self.assertEqual((shown.decode(), errors, child.returncode), (success("rom.gba"), b"", 0))
        self.assertEqual(received, patched(content))

    @only_posix
    def test_chain_of_links_as_long_as_the_system_follows(self):
        content = image(2048, 31)
        for links, expected in [(40, success("rom.gba")), (41, failure(error_opening("rom.gba.bin")))]:
            with self.subTest(links=links):
                self.clear_folder()
                self.write("rom.gba", content)
                self.write("target", b"old")
                chain = ["rom.gba.bin"] + [f"link{n}" for n in range(1, links)] + ["target"]
                for name, leads_to in zip(chain, chain[1:]):
                    os.symlink(leads_to, self.path(name))
                self.halvek("rom.gba", expected_out=expected)
                self.assertEqual(self.read("target"), patched(content) if links == 40 else b"old")

    @only_posix
    def test_short_of_memory_the_run_still_ends_cleanly(self):
        # Wherever the program can start at all (it shows the usage screen), a run ends with
        # status 0 and nothing on standard error, short of memory or not.
        if SANITIZED:
            self.skipTest(SANITIZED_BUILD)
        if not os.path.isdir("/dev/shm"):
            self.skipTest("no /dev/shm here")
        with tempfile.NamedTemporaryFile(dir="/dev/shm", suffix=".gba") as elsewhere:
            elsewhere.write(image(100000, 32))  # on another file system: the copy needs a buffer of its own
            elsewhere.flush()
            os.symlink(elsewhere.name, self.path("rom.gba"))
            seen, succeeded_in_a_row = set(), 0
            for limit in range(1 << 20, 8 << 20, 32 << 10):
                def limited(*arguments):
                    return subprocess.run(["prlimit", f"--as={limit}"] + COMMAND + list(arguments), cwd=self.folder,
                                          stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                if limited().stdout != USAGE.encode():
                    continue  # too little to start: the system fails it before it runs
                run = limited("rom.gba")
                shown = console_text(run.stdout)
                self.assertEqual((run.returncode, run.stderr), (0, b""), (limit, shown))
                self.assertTrue(shown == success("rom.gba") or shown.endswith(failure(TEXTS["out_of_memory"])), shown)
                seen.add(shown == success("rom.gba"))
                self.assertFalse([name for name in os.listdir(self.folder) if name.startswith(".halvek-")])
                succeeded_in_a_row = succeeded_in_a_row + 1 if shown == success("rom.gba") else 0
                if succeeded_in_a_row == 8:
                    break  # past the last allocation that can fail
        self.assertEqual(seen, {True, False}, "the limits tried never ran the program short of memory")


@needs_root  # to act as other users
class OtherUsers(Run):
    def setUp(self):
        super().setUp()
        self.command = self.command_for_all()

    def test_success_means_the_outputs_are_on_the_card(self):
        # The card is read back as if pulled right after the run: only what the run flushed is on
        # it. Its journal commits only when asked (commit=300), and no rename flushes data by itself
        # (noauto_da_alloc).
        if not shutil.which("mkfs.ext4") or not os.path.exists("/dev/loop-control"):
            self.skipTest("no mkfs.ext4 or no loop devices here")
        card, pulled = self.path("card"), self.path("pulled")
        os.mkdir(card)
        os.mkdir(pulled)
        with open(self.path("card.img"), "wb") as file:
            file.truncate(32 << 20)
        subprocess.run(["mkfs.ext4", "-q", self.path("card.img")], check=True)
        subprocess.run(["mount", "-o", "loop,commit=300,noauto_da_alloc", self.path("card.img"), card], check=True)
        self.addCleanup(subprocess.run, ["umount", card])
        device = subprocess.run(["findmnt", "-n", "-o", "SOURCE", card], capture_output=True, text=True,
                                check=True).stdout.strip()
        content = image(300000, 33)
        cases = [  # the folder's owner and mode, whether outputs of an earlier run are there
            (NOBODY, 0o755, False), (NOBODY, 0o755, True),
            (0, 0o733, False), (0, 0o733, True),  # root's drop box: written into but not read by others
        ]
        for owner, mode, rerun in cases:
            with self.subTest(mode=oct(mode), rerun=rerun):
                folder = os.path.join(card, f"{mode:o}-{rerun}")
                os.mkdir(folder)
                os.chown(folder, owner, owner)
                os.chmod(folder, mode)
                self.write(f"{folder}/rom.gba", content)
                for output in self.earlier_outputs(f"{folder}/rom.gba") if rerun else []:
                    os.chown(self.path(output), NOBODY, NOBODY)
                subprocess.run(["sync", "-f", card], check=True)  # all but the run is on the card
                rom = f"{folder}/rom.gba"
                self.halvek(rom, preexec_fn=as_user(NOBODY), expected_out=success(rom))
                subprocess.run(["dd", f"if={device}", f"of={self.path('pulled.img')}", "iflag=direct", "bs=1M",
                                "status=none"], check=True)
                subprocess.run(["mount", "-o", "loop", self.path("pulled.img"), pulled], check=True)
                try:
                    self.assert_holding({f"{pulled}/{os.path.basename(folder)}/rom.gba.bin": patched(content),
                                         f"{pulled}/{os.path.basename(folder)}/rom.gba.sav": BLANK_SAVE})
                finally:
                    subprocess.run(["umount", pulled], check=True)

    def test_new_files_take_what_the_replaced_ones_carried(self):
        # Whatever the folder's default ACL would give, a replaced file's owner, group, mode,
        # ACL (or none) and attributes pass to its successor exactly; a new file gets what a
        # plain create in the folder gives.
        content = image(4096, 34)
        readable_by_nobody = acl((1, 6, None), (2, 4, NOBODY), (4, 4, None), (0x10, 4, None), (0x20, 0, None))
        write_only = acl((1, 2, None), (2, 4, DAEMON), (4, 0, None), (0x10, 4, None), (0x20, 0, None))
        cases = [  # runner, old image's owner and group, mode, ACL, user attribute, what differs from the old image
            (0, (4321, 5432), 0o640, readable_by_nobody, b"kept", None),
            (0, (4321, 5432), 0o640, None, None, None),             # no ACL: none from the folder either
            (NOBODY, (NOBODY, NOBODY), 0o240, write_only, None, None),  # read through no open of it
            # A patched image is never a program: no set-ID bits, whoever runs.
            (NOBODY, (NOBODY, NOBODY), 0o6755, None, None, {"mode": 0o100755}),
            (0, (0, 0), 0o4755, None, None, {"mode": 0o100755}),
            # A group that cannot be kept gets none of the old group's rights.
            (NOBODY, (NOBODY, 0), 0o770, None, None, {"gid": NOBODY, "mode": 0o100700}),
            (0, None, None, None, None, None),
            (NOBODY, None, None, None, None, None),
        ]
        os.mkdir(self.path("shared"))
        os.chmod(self.path("shared"), 0o777)
        os.setxattr(self.path("shared"), "system.posix_acl_default", SHARED_WITH_DAEMON)
        for runner, owner, mode, old_acl, attribute, differs in cases:
            with self.subTest(runner=runner, owner=owner, mode=oct(mode or 0), acl=bool(old_acl), differs=differs):
                for name in os.listdir(self.path("shared")):
                    os.remove(self.path("shared/" + name))
                self.write("shared/rom.gba", content)
                bin_name = self.path("shared/rom.gba.bin")
                if owner:
                    self.write("shared/rom.gba.bin", b"old")
                    os.removexattr(bin_name, "system.posix_acl_access")
                    os.chown(bin_name, *owner)
                    os.chmod(bin_name, mode)
                    if old_acl:
                        os.setxattr(bin_name, "system.posix_acl_access", old_acl)
                    if attribute:
                        os.setxattr(bin_name, "user.origin", attribute)
                    expected_status = os.stat(bin_name)
                    expected_attributes = {name: os.getxattr(bin_name, name) for name in os.listxattr(bin_name)}
                else:  # what a plain create by the same user gives
                    subprocess.run(["touch", self.path("shared/plain")], preexec_fn=as_user(runner, runner), check=True)
                    expected_status = os.stat(self.path("shared/plain"))
                    expected_attributes = {name: os.getxattr(self.path("shared/plain"), name)
                                           for name in os.listxattr(self.path("shared/plain"))}
                rom = self.path("shared/rom.gba")
                self.halvek(rom, preexec_fn=as_user(runner, runner), expected_out=success(rom))
                status = os.stat(bin_name)
                expected = {"uid": expected_status.st_uid, "gid": expected_status.st_gid, "mode": expected_status.st_mode}
                expected.update(differs or {})
                self.assertEqual((status.st_uid, status.st_gid, oct(status.st_mode)),
                                 (expected["uid"], expected["gid"], oct(expected["mode"])))
                self.assertEqual({name: os.getxattr(bin_name, name) for name in os.listxattr(bin_name)},
                                 expected_attributes)
                self.assertEqual(self.read("shared/rom.gba.bin"), patched(content))

    def test_another_users_file_passes_its_group_and_no_more_than_a_new_file_gets(self):
        # Alice and Bob share the group 4000. Where the runner may not give the old owner back,
        # the group still is; and a file another user may have planted gives the output no more
        # rights than a new file gets there.
        alice, bob, group, root = 4001, 4002, 4000, 0
        content = image(4096, 49)
        cases = [  # folder's owner, group and mode, old image's owner, group and mode, runner, group, umask, result
            ((alice, group, 0o2775), (alice, group, 0o664), (bob, group, 0o002), (bob, group, 0o664)),
            ((alice, group, 0o2775), (alice, group, 0o664), (bob, group, 0o022), (bob, group, 0o644)),
            ((root, root, 0o777), (bob, bob, 0o666), (alice, alice, 0o077), (alice, alice, 0o600)),  # planted
            ((alice, alice, 0o755), (alice, alice, 0o666), (alice, alice, 0o077), (alice, alice, 0o666)),  # her own
        ]
        for folder, old, (runner, runner_group, umask), result in cases:
            with self.subTest(folder=folder, old=old, runner=runner, umask=oct(umask)):
                shutil.rmtree(self.path("shared"), ignore_errors=True)
                os.mkdir(self.path("shared"))
                os.chown(self.path("shared"), folder[0], folder[1])
                os.chmod(self.path("shared"), folder[2])
                self.write("shared/rom.gba", content)
                bin_name = self.path("shared/rom.gba.bin")
                self.write("shared/rom.gba.bin", b"")
                os.chown(bin_name, old[0], old[1])
                os.chmod(bin_name, old[2])

                def run_as_runner():
                    os.umask(umask)
                    as_user(runner, runner_group)()
                rom = self.path("shared/rom.gba")
                self.halvek(rom, preexec_fn=run_as_runner, expected_out=success(rom))
                status = os.stat(bin_name)
                self.assertEqual((status.st_uid, status.st_gid, oct(status.st_mode)),
                                 (result[0], result[1], oct(0o100000 | result[2])))
                self.assertEqual(os.listxattr(bin_name), [])
                self.assertEqual(self.read("shared/rom.gba.bin"), patched(content))

    def test_outputs_the_move_would_fail_on_are_named_before_the_banner(self):
        if not shutil.which("chattr"):
            self.skipTest("no chattr here")
        content = image(4096, 42)
        cases = [  # runner, folder's mode, old image's owner, its mode, what it is, mark on it, mark on the folder
            (0, 0o1777, NOBODY, 0o644, "file", None, None),  # planted in a shared folder
            (0, 0o1777, NOBODY, 0o644, "fifo", None, None),
            (NOBODY, 0o1777, 0, 0o666, "file", None, None),  # another user's, writable by all
            (4001, 0o1777, 4001, 0o600, "another name", None, None),  # given a second name by another user
            (4001, 0o777, 4001, 0o600, "another name", None, None),  # in any folder others write in
            (4001, 0o777, 4002, 0o622, "fifo", None, None),  # another user's, to receive the image
            (0, 0o777, 0, 0o644, "file", None, "+a"),
            (0, 0o777, 0, 0o644, "file", "+i", None),
            (NOBODY, 0o777, NOBODY, 0o200, "file", "+a", None),  # one's own, written only by appending
        ]
        shared = self.path("shared")
        self.addCleanup(subprocess.run, ["chattr", "-R", "-ai", self.folder], capture_output=True)
        for runner, folder_mode, owner, mode, kind, mark, folder_mark in cases:
            with self.subTest(runner=runner, folder_mode=oct(folder_mode), kind=kind, mark=mark, folder_mark=folder_mark):
                subprocess.run(["chattr", "-R", "-ai", shared], capture_output=True)
                shutil.rmtree(shared, ignore_errors=True)
                os.mkdir(shared)
                os.chmod(shared, folder_mode)
                self.write("shared/rom.gba", content)
                bin_name = self.path("shared/rom.gba.bin")
                if kind == "fifo":  # with a reader waiting, as whoever planted it would have
                    os.mkfifo(bin_name)
                    self.addCleanup(os.close, os.open(bin_name, os.O_RDONLY | os.O_NONBLOCK))
                else:
                    self.write("shared/rom.gba.bin", b"old")
                os.chown(bin_name, owner, owner)
                os.chmod(bin_name, mode)
                if kind == "another name":  # carrying an ACL entry for the user who linked it
                    os.setxattr(bin_name, "system.posix_acl_access",
                                acl((1, 6, None), (2, 6, 4002), (4, 0, None), (0x10, 6, None), (0x20, 0, None)))
                    os.link(bin_name, self.path("shared/linked"))
                for mark_on, name in [(mark, bin_name), (folder_mark, shared)]:
                    if mark_on:
                        subprocess.run(["chattr", mark_on, name], check=True)
                rom = self.path("shared/rom.gba")
                self.halvek(rom, preexec_fn=as_user(runner, runner), expected_out=failure(error_opening(rom + ".bin")))
                self.assertEqual(sorted(os.listdir(shared)), ["linked"][:kind == "another name"] + ["rom.gba", "rom.gba.bin"])
                if kind != "fifo":
                    self.assertEqual(self.read("shared/rom.gba.bin"), b"old")

    def test_attribute_that_cannot_be_read_fails_the_run(self):
        # The user's own old image is write-only to its owner, who so cannot read its attributes
        # either: the run fails rather than drop them.
        content = image(4096, 46)
        os.mkdir(self.path("own"))
        os.chown(self.path("own"), NOBODY, NOBODY)
        self.write("own/rom.gba", content)
        bin_name, rom = self.path("own/rom.gba.bin"), self.path("own/rom.gba")
        self.write("own/rom.gba.bin", b"old")
        os.setxattr(bin_name, "user.tag", b"kept")
        os.chown(bin_name, NOBODY, NOBODY)
        os.chmod(bin_name, 0o200)
        self.halvek(rom, preexec_fn=as_user(NOBODY),
                    expected_out=failure(banner(rom) + COPYING + error_writing(rom + ".bin")))
        self.assertEqual((self.read("own/rom.gba.bin"), os.getxattr(bin_name, "user.tag")), (b"old", b"kept"))
        self.assertEqual(sorted(os.listdir(self.path("own"))), ["rom.gba", "rom.gba.bin"])

    def test_staged_names_another_user_planted_are_no_obstacle(self):
        # In a shared folder Bob takes every name he can predict that Alice's next run could stage
        # under, its process id being known before it starts.
        alice, bob = 4001, 4002
        content = image(4096, 47)
        shared, rom = self.path("shared"), self.path("shared/rom.gba")
        os.mkdir(shared)
        os.chmod(shared, 0o1777)
        gate = ["/bin/sh", "-c", 'read go && exec "$@"', "sh"]  # starts the program once told to
        for unnamed in [True, False]:  # a re-run names the file it staged without a name as well
            with self.subTest(unnamed=unnamed):
                if not unnamed and (not WITHOUT_UNNAMED_FILES or launcher_probe().returncode == 77):
                    self.skipTest("no launcher to hide unnamed files here")
                for name in os.listdir(shared):
                    os.remove(os.path.join(shared, name))
                self.write("shared/rom.gba", content)
                for name in self.earlier_outputs("shared/rom.gba"):
                    os.chown(self.path(name), alice, alice)
                launcher = [] if unnamed else [shutil.copy(WITHOUT_UNNAMED_FILES[0], self.path("launcher")),
                                               WITHOUT_UNNAMED_FILES[1]]
                with subprocess.Popen(gate + launcher + self.command + [rom], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      preexec_fn=as_user(alice, alice)) as run:
                    planted = [os.path.join(shared, f".halvek-{run.pid}-{n}.tmp") for n in range(100)]
                    for name in planted:
                        with open(name, "wb") as file:
                            file.write(b"Bob's")
                        os.chown(name, bob, bob)
                    shown, errors = run.communicate(b"\n", timeout=120)
                self.assertEqual((console_text(shown), errors, run.returncode), (success(rom), b"", 0))
                self.assert_holding({"shared/rom.gba.bin": patched(content), "shared/rom.gba.sav": BLANK_SAVE,
                                     **{name: b"Bob's" for name in planted}})
                self.assertEqual(len(os.listdir(shared)), 3 + len(planted))

    def test_links_in_shared_folders_are_followed_only_for_their_owners(self):
        # Whatever the system's own setting, another user's link in a shared sticky folder must
        # not choose the file a run replaces. A and B are two ordinary users.
        root, user_a, user_b = 0, 4001, 4002
        cases = [  # runner, link's owner, folder's owner, folder's mode, target exists, followed
            (root, NOBODY, root, 0o1777, True, False),
            (user_a, user_b, root, 0o1777, True, False),
            (root, NOBODY, root, 0o1777, False, False),   # a dangling link, planted
            (user_a, user_a, root, 0o1777, True, True),   # the runner's own
            (user_a, user_b, user_b, 0o1777, True, True),  # the folder owner's
            (root, NOBODY, root, 0o777, True, True),      # not sticky: no such rule
            (root, NOBODY, root, 0o1775, True, False),    # sticky and writable by the group: shared too
            (root, NOBODY, root, 0o1755, True, True),     # sticky, but written by its owner alone
        ]
        os.mkdir(self.path("home"))
        os.chmod(self.path("home"), 0o777)
        content = image(2048, 36)
        for runner, link_owner, folder_owner, mode, exists, followed in cases:
            with self.subTest(runner=runner, link_owner=link_owner, folder_owner=folder_owner, mode=oct(mode),
                              exists=exists):
                shared, victim = self.path("shared"), self.path("home/victim")
                shutil.rmtree(shared, ignore_errors=True)
                for name in os.listdir(self.path("home")):
                    os.remove(self.path("home/" + name))
                os.mkdir(shared)
                os.chown(shared, folder_owner, folder_owner)
                os.chmod(shared, mode)
                self.write("shared/rom.gba", content)
                if exists:
                    self.write("home/victim", b"victim")
                    os.chown(victim, runner, runner)
                os.symlink(victim, self.path("shared/rom.gba.bin"))
                os.lchown(self.path("shared/rom.gba.bin"), link_owner, link_owner)
                rom = self.path("shared/rom.gba")
                self.halvek(rom, preexec_fn=as_user(runner, runner),
                            expected_out=success(rom) if followed else failure(error_opening(rom + ".bin")))
                if followed:
                    self.assertEqual(self.read("home/victim"), patched(content))
                elif exists:
                    self.assertEqual(self.read("home/victim"), b"victim")
                else:
                    self.assertFalse(os.path.lexists(victim))
                self.assertEqual(sorted(os.listdir(shared)), ["rom.gba"] + ["rom.gba.bin", "rom.gba.sav"][:1 + followed])


@unittest.skipUnless(WINDOWS and shutil.which("tmux"), "a Windows console, shown by tmux")
class WindowsConsole(Run):
    """Wine gives a program whose standard streams are a terminal a console, and draws it
    with cursor movements; tmux shows the screen as the user sees it."""

    def setUp(self):
        super().setUp()
        self.tmux = ["tmux", "-u", "-L", f"halvek-test-{os.getpid()}-{self._testMethodName}"]
        self.sessions = 0
        self.addCleanup(subprocess.run, self.tmux + ["kill-server"], capture_output=True)

    def on_screen(self, command, until):
        """Runs the command in a new terminal; returns the screen once it shows `until`."""
        self.sessions += 1
        subprocess.run(self.tmux + ["new-session", "-d", "-s", f"run{self.sessions}", "-x", "200", "-y", "50",
                                    "-c", self.folder, shlex.join(command) + '; echo "ended with $?"; sleep 600'],
                       check=True)
        return self.screen_showing(until)

    def press(self, key):
        subprocess.run(self.tmux + ["send-keys", "-t", f"run{self.sessions}", key], check=True)

    def screen_showing(self, text):
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            screen = subprocess.run(self.tmux + ["capture-pane", "-p", "-J", "-t", f"run{self.sessions}"],
                                    capture_output=True, text=True, check=True).stdout.rstrip("\n") + "\n"
            if text in screen:
                return screen
            time.sleep(0.1)
        self.fail(f"the screen never showed {text!r}: {screen!r}")

    def test_names_show_as_they_are(self):
        cases = [  # name, whether this Wine can show it
            ("ポケモン.gba", True), ("Pokémon.gba", True), ("Poke\u0301mon.gba", True),
            ("\U0001F3AE.gba", False),  # outside the Basic Multilingual Plane
        ]
        for name, shown_by_wine in cases:
            with self.subTest(name=name):
                content = image(1024, 27)
                self.write(name, content)
                shown = self.on_screen(COMMAND + [name], PROMPT)
                self.assertNotIn("ended with", shown)  # the pause waits, the whole prompt shown
                if shown_by_wine:
                    self.assertEqual(shown, success(name))
                else:
                    self.assertEqual(shown.splitlines()[5:], success(name).splitlines()[5:])
                self.press("Enter")
                self.screen_showing("ended with 0")
                self.assert_holding({name: content, name + ".bin": patched(content), name + ".sav": BLANK_SAVE})

    def test_ctrl_c_removes_what_is_staged(self):
        with open(self.path("big.gba"), "wb") as file:
            file.truncate(2 << 30)  # long enough to copy to be stopped part way
        earlier = self.earlier_outputs("big.gba")
        self.on_screen(COMMAND + ["big.gba"], TEXTS["copying"].strip())
        deadline = time.monotonic() + 60
        while not any(name.startswith(".halvek-") and os.path.getsize(self.path(name))
                      for name in os.listdir(self.folder)):
            self.assertLess(time.monotonic(), deadline, "nothing was staged")
            time.sleep(0.02)
        self.press("C-c")
        self.screen_showing("ended with")
        self.assert_holding(earlier)
        self.assert_files("big.gba", *earlier)

    def test_code_page_stays_as_the_user_has_it(self):
        helper = os.environ.get("CONSOLE_CODE_PAGE_PROGRAM")
        if not helper:
            self.skipTest("no program to show the console's code page")
        self.write("rom.gba", image(1024, 28))
        loader, program = COMMAND[:-1], COMMAND[-1]
        one_console = f"{windows_name(helper)} & {windows_name(program)} rom.gba & {windows_name(helper)}"
        for ended_by in ["Enter", "a kill during the pause"]:
            with self.subTest(ended_by=ended_by):
                self.on_screen(loader + ["cmd", "/c", one_console], PROMPT)
                if ended_by == "Enter":
                    self.press("Enter")
                else:
                    os.kill(self.windows_process(program), signal.SIGKILL)
                pages = re.findall(r"output code page (\d+)", self.screen_showing("ended with"))
                self.assertEqual(len(pages), 2, pages)
                self.assertEqual(pages[0], pages[1])

    def windows_process(self, program):
        # Of this Wine prefix only: a run of the same program in another prefix on this machine
        # is no business of this test.
        name, prefix = os.path.basename(program).encode(), f"WINEPREFIX={os.environ.get('WINEPREFIX')}".encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as command_line, open(f"/proc/{pid}/environ", "rb") as environ:
                    if command_line.read().split(b"\0")[0].endswith(b"\\" + name) and prefix in environ.read().split(b"\0"):
                        return int(pid)
            except OSError:
                pass  # ended meanwhile
        self.fail(f"{program} is not running")


class WindowsFiles(Run):
    def helper(self, *arguments):
        return subprocess.Popen(COMMAND[:-1] + [os.environ["WINDOWS_FILE_PROGRAM"], *arguments], cwd=self.folder,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def attributes(self, name, value=None):
        helper = self.helper("attributes", name, *([] if value is None else [f"{value:x}"]))
        shown, _ = helper.communicate(timeout=60)
        self.assertEqual(helper.returncode, 0)
        return int(shown, 16)


@unittest.skipUnless(WINDOWS and os.environ.get("WINDOWS_FILE_PROGRAM"), "Windows files that other programs use")
class WindowsFilesInUse(WindowsFiles):
    def test_output_held_open_is_named_before_anything_is_written_to_it(self):
        content = image(4096, 37)
        cases = [  # the name another program holds, what shows when it is refused or met at the
            # move, what the image then holds
            ("rom.gba.bin", error_opening("rom.gba.bin"), banner("rom.gba") + COPYING + error_writing("rom.gba.bin"),
             None),
            ("rom.gba.sav", banner("rom.gba") + COPYING + error_opening("rom.gba.sav"),
             banner("rom.gba") + MAKING_SAVE + error_writing("rom.gba.sav"), patched(content)),
        ]
        ways = [  # how it is held, whether the old file is replaced under it (None: either that,
                  # or the move meets it and the old file stays)
            ("open", False),        # as fopen("r+b") opens
            ("sharing", False),     # to read and write, sharing write and deletion
            ("mapped", False),      # to write, as an emulator may hold a save
            # Holders of no content, which no test that changes nothing can see: the file is
            # replaced under them, and goes when they let go.
            ("attributes", True), ("synchronize", True),
            # Mapped to read, its handle closed: replaced (NTFS's POSIX semantics), or it cannot
            # go and stays (FAT32, exFAT, Wine).
            ("read-mapped", None),
        ]
        for way, replaced in ways:
            for held, refused, met_at_the_move, new_image in cases:
                with self.subTest(held=held, way=way):
                    self.clear_folder()
                    self.write("rom.gba", content)
                    earlier = self.earlier_outputs("rom.gba")
                    holder = self.helper("hold", held, "0", way)
                    self.assertEqual(holder.stdout.readline().strip(), b"held")
                    try:
                        shown = self.console_of("rom.gba")
                    finally:
                        holder.communicate(timeout=60)
                    if replaced or (replaced is None and shown == success("rom.gba")):
                        self.assertEqual(shown, success("rom.gba"))
                        earlier = {"rom.gba.bin": patched(content), "rom.gba.sav": BLANK_SAVE}
                    else:
                        self.assertEqual(shown, failure(met_at_the_move if replaced is None else refused))
                    if new_image:
                        earlier["rom.gba.bin"] = new_image
                    self.assert_holding(earlier)
                    self.assert_files("rom.gba", *earlier)

    def test_new_content_takes_the_access_list_of_the_file_it_replaces(self):
        # Wine keeps a file's access list as its mode: one that lets everyone write, as 0666
        # does, passes to the new file, where a file that took nothing would get 0644.
        self.write("rom.gba", image(4096, 47))
        self.earlier_outputs("rom.gba")
        for output in ("rom.gba.bin", "rom.gba.sav"):
            os.chmod(self.path(output), 0o666)
        self.halvek("rom.gba", expected_out=success("rom.gba"))
        for output in ("rom.gba.bin", "rom.gba.sav"):
            self.assertEqual(os.stat(self.path(output)).st_mode & 0o022, 0o022, output)

    def test_outputs_reach_the_device_before_the_run_says_so(self):
        # Each staged file is flushed, moved (by the wineserver, out of sight here), and then the
        # folder that lists it is flushed, before the next message shows.
        if not shutil.which("strace"):
            self.skipTest("no strace here")
        self.write("rom.gba", image(4096, 48))
        self.earlier_outputs("rom.gba")  # the moves replace
        folder = re.escape(os.path.realpath(self.folder))
        with tempfile.NamedTemporaryFile(prefix="halvek-calls-", dir="/tmp") as log:
            subprocess.run(["strace", "-f", "-y", "-o", log.name, "-e", "trace=fsync,write"] + COMMAND + ["rom.gba"],
                           cwd=self.folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True, timeout=120)
            with open(log.name, encoding="utf-8", errors="replace") as trace:
                calls = trace.read().splitlines()
        for output, next_message in [("rom.gba.bin", "Making blank save file"), ("rom.gba.sav", "Finished......Success!")]:
            with self.subTest(output=output):
                shown = next(at for at, call in enumerate(calls) if next_message in call)
                flushes = [call for call in calls[:shown] if "fsync(" in call]
                self.assertRegex(flushes[-2], rf"fsync\(\d+<{folder}/\.halvek-[^/>]+>")  # the staged file
                self.assertRegex(flushes[-1], rf"fsync\(\d+<{folder}>\)")  # then its folder

    def test_scanner_of_new_names_meets_no_second_name_and_nothing_is_left(self):
        # As a virus scanner does: every new name in the folder opened at once, without sharing
        # its deletion, and held for seconds. A name that lives for a moment is caught only now
        # and then: so, several re-runs.
        content = image(1 << 20, 41)
        self.write("rom.gba", content)
        self.earlier_outputs("rom.gba")
        scanner = self.helper("scan", ".", "3000")
        self.assertEqual(scanner.stdout.readline().strip(), b"scanning")
        try:
            for _ in range(5):
                self.halvek("rom.gba", expected_out=success("rom.gba"))
        finally:
            report = scanner.communicate(timeout=60)[0].decode()
        self.assertNotIn("second name", report)
        self.assert_holding({"rom.gba.bin": patched(content), "rom.gba.sav": BLANK_SAVE})
        self.assert_files("rom.gba", "rom.gba.bin", "rom.gba.sav")

    def test_short_name_of_another_file_is_refused(self):
        self.write("victim.binary", b"keep me")
        short = subprocess.run(COMMAND[:-1] + [os.environ["WINDOWS_FILE_PROGRAM"], "short", "victim.binary"],
                               cwd=self.folder, capture_output=True, check=True).stdout.decode().strip()
        stem, extension = os.path.splitext(short)
        self.assertEqual(extension, ".BIN", short)  # the premise: the output name reaches the victim
        self.write(stem, image(1024, 42))
        self.halvek(stem, expected_out=failure(error_opening(stem + ".bin")))
        self.assert_holding({"victim.binary": b"keep me"})
        self.assert_files(stem, "victim.binary")

    def test_brief_lock_at_the_move_is_waited_out(self):
        content = image(32 << 20, 38)  # long enough to copy that the lock is taken before the move
        self.write("rom.gba", content)
        self.earlier_outputs("rom.gba")
        holder = self.helper("hold-staged", ".", "rom.gba.bin", "300")
        self.assertEqual(holder.stdout.readline().strip(), b"waiting")
        try:
            self.halvek("rom.gba", expected_out=success("rom.gba"))
        finally:
            held = holder.communicate(timeout=120)[0]
        self.assertEqual(held.strip(), b"held")  # the lock was there
        self.assert_holding({"rom.gba.bin": patched(content), "rom.gba.sav": BLANK_SAVE})

    def test_new_content_carries_hidden_and_system_and_is_marked_for_backup(self):
        normal, hidden, system, archive = 0x80, 0x2, 0x4, 0x20
        self.write("rom.gba", image(4096, 40))
        self.halvek("rom.gba", expected_out=success("rom.gba"))
        for output in ("rom.gba.bin", "rom.gba.sav"):
            self.assertEqual(self.attributes(output) & (hidden | system | archive), archive, output)
        cases = [  # the old file's attributes, the new file's
            (normal, archive),  # a backup took the old file and cleared its mark: the new content needs it
            (hidden | system | archive, hidden | system | archive),
        ]
        for old, new in cases:
            for output in ("rom.gba.bin", "rom.gba.sav"):
                with self.subTest(old=old, output=output):
                    if self.attributes(output, old) & archive != old & archive:
                        self.skipTest("the archive attribute cannot be cleared here (Wine keeps it set)")
                    self.halvek("rom.gba", expected_out=success("rom.gba"))
                    self.assertEqual(self.attributes(output) & (hidden | system | archive), new)


# Where tests/run_wine_tests.sh mounted an exFAT card, which Wine has as drive F:; the cases then
# make their folders on it (Wine itself keeps to the usual temporary folder).
CARD = os.environ.get("WINE_CARD")
CARD_DRIVE = "F:"
if CARD:
    tempfile.tempdir = CARD
HIDDEN = 0x2


@unittest.skipUnless(WINDOWS and os.environ.get("WINDOWS_FILE_PROGRAM"), "Windows files that other programs use")
class WindowsWholeOrAbsent(WindowsFiles):
    """What a run leaves where it is ended at any step, or short of room, on a card as on a
    folder that stands in for NTFS."""

    # The wineserver makes every change of a name: each is held this long, for a kill to land
    # right after it.
    STEP_DELAY = 0.3
    NAME_CALLS = "link,linkat,rename,renameat,renameat2,unlink,unlinkat"

    def fill_card(self, free):
        """Leaves `free` bytes free on the card, at most: exFAT has no sparse files, so zeros."""
        status = os.statvfs(self.folder)
        self.write("filler", bytes(max(0, status.f_bavail * status.f_frsize - free)))

    @unittest.skipUnless(CARD, "no exFAT card here")
    def test_room_by_trying_on_a_card(self):
        # The new image goes beside the old one; only where that runs out of room, and removing
        # the old one gives enough back, does the old one go first. A program that holds the old
        # one for its attributes alone, or to wait on it, keeps its clusters from a removal: the
        # room must come back all the same, or the old image stay.
        content = image(20 << 20, 45)
        cases = [  # where, the earlier image's size, how another program holds it, whether the run
                   # succeeds (None: it may fail, with the old image as it was), the room left
            ("root", 20 << 20, None, True, 10 << 20),
            ("folder", 20 << 20, None, True, 10 << 20),
            ("folder", 4 << 20, None, False, 10 << 20),  # not even without the old one
            ("folder", 20 << 20, "attributes", True, 10 << 20),
            ("folder", 20 << 20, "synchronize", True, 10 << 20),
            ("folder", 20 << 20, "read-mapped", False, 10 << 20),
            # The old image lengthened by just the room there is: Wine fails that on exFAT, and
            # must not leave it longer.
            ("folder", 12 << 20, None, None, 8 << 20),
        ]

        def files(folder):  # what a run works on; the cases' own folders are at the root
            return sorted(entry for entry in os.listdir(folder) if entry.startswith(("rom.gba", ".halvek-", "filler")))

        def clear():
            for folder in (CARD, self.folder):
                for entry in files(folder):
                    os.remove(os.path.join(folder, entry))
        self.addCleanup(clear)
        for where, old_size, way, succeeds, room in cases:
            with self.subTest(where=where, old_size=old_size, held=way):
                clear()
                folder, name = (CARD, CARD_DRIVE + "\\rom.gba") if where == "root" else (self.folder, "rom.gba")
                for suffix, data in [("", content), (".bin", b"\xee" * old_size)]:
                    with open(os.path.join(folder, "rom.gba" + suffix), "wb") as file:
                        file.write(data)
                self.fill_card(room)
                holder = way and self.helper("hold", "rom.gba.bin", "0", way)
                if holder:
                    self.assertEqual(holder.stdout.readline().strip(), b"held")
                try:
                    shown = self.console_of(name)
                finally:
                    if holder:
                        holder.communicate(timeout=60)
                if succeeds is None:
                    succeeds = shown == success(name)
                self.assertEqual(shown, success(name) if succeeds else
                                 failure(banner(name) + COPYING + error_writing(name + ".bin")))
                with open(os.path.join(folder, "rom.gba.bin"), "rb") as written:
                    self.assertEqual(written.read(), patched(content) if succeeds else b"\xee" * old_size)
                self.assertEqual([entry for entry in files(folder) if entry != "filler"],
                                 ["rom.gba", "rom.gba.bin"] + ["rom.gba.sav"][:succeeds])
                if succeeds:
                    self.assertFalse(self.attributes(name + ".bin") & HIDDEN)

    @unittest.skipUnless(CARD, "no exFAT card here")
    def test_runs_at_once_on_a_full_card_leave_the_image_whole(self):
        # Room for one new image: the run that makes way for it takes its room before the
        # others' copies can, and the image is never left absent.
        content = image(20 << 20, 47)
        old = b"\xee" * len(content)
        self.write("rom.gba", content)
        self.write("rom.gba.bin", old)
        self.fill_card(10 << 20)
        runs = [subprocess.Popen(COMMAND + ["rom.gba"], cwd=self.folder, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE) for _ in range(6)]
        shown = [console_text(run.communicate(timeout=120)[0]) for run in runs]
        succeeded = shown.count(success("rom.gba"))
        no_room = failure(banner("rom.gba") + COPYING + error_writing("rom.gba.bin"))
        refused = failure(error_opening("rom.gba.bin"))
        self.assertFalse([text for text in shown if text not in (success("rom.gba"), no_room, refused)])
        self.assertEqual(self.read("rom.gba.bin"), patched(content) if succeeded else old)
        self.assertFalse([name for name in os.listdir(self.folder) if name.startswith(".halvek-")])

    def test_hard_kill_at_any_step_leaves_each_name_whole_or_absent(self):
        # On a card: 20 MiB beside an earlier image of 20 MiB, with 10 MiB free, so that the old
        # one must go first. Each step of a whole run is counted, then a run is killed right
        # after each, and once while its first staged file is written: every final name holds
        # the old file, the whole new one, or nothing, and at most one hidden staged file is left.
        # Again while another program holds the old image for its attributes alone, which a
        # replace without POSIX semantics meets: the old image is moved aside before the new
        # one moves in, and between the two a kill leaves both, hidden.
        log = self.traced_wineserver()
        content = image((20 if CARD else 1) << 20, 46)
        self.write("rom.gba", content)
        old = {"rom.gba.bin": b"\xee" * len(content), "rom.gba.sav": b"earlier save" * 100}
        new = {"rom.gba.bin": patched(content), "rom.gba.sav": BLANK_SAVE}

        def prepare():
            for name in set(os.listdir(self.folder)) - {"rom.gba", "filler"}:
                os.remove(self.path(name))
            for name, data in old.items():
                self.write(name, data)
            if CARD and not os.path.exists(self.path("filler")):
                self.fill_card(10 << 20)

        def run(kill_after, held):
            holder = held and self.helper("hold", "rom.gba.bin", "0", "attributes")
            if holder:
                self.assertEqual(holder.stdout.readline().strip(), b"held")
            try:
                return self.run_killed_after(log, kill_after)
            finally:
                if holder:
                    holder.communicate(timeout=60)

        for held in (False, True):
            prepare()
            shown, steps = run(None, held)
            self.assertEqual(shown, success("rom.gba"))
            self.assert_holding(new)
            self.assert_files("rom.gba", *new, *(["filler"] if CARD else []))
            self.assertGreater(steps, 0, "no step of the run was seen")
            for step in range(steps + 1):
                with self.subTest(killed_after_step=step, of=steps, held=held):
                    prepare()
                    run(step, held)
                    left = set(os.listdir(self.folder)) - {"rom.gba", "filler"}
                    for name in left & set(old):
                        held_bytes = self.read(name)
                        self.assertIn(held_bytes, (old[name], new[name]),
                                      f"{name} holds {len(held_bytes)} bytes of neither file")
                    staged = left - set(old)
                    self.assertLessEqual(len(staged), 2 if held else 1, staged)
                    for name in staged:
                        self.assertTrue(self.attributes(name) & HIDDEN, f"{name} is not hidden")

    def traced_wineserver(self):
        """Starts slowing the name calls of this prefix's wineserver; returns the log of them."""
        prefix = os.environ.get("WINEPREFIX")
        if not prefix or not shutil.which("strace"):
            self.skipTest("needs strace, and WINEPREFIX set as tests/run_wine_tests.sh sets it")
        servers = []  # (start time, process): a second one started meanwhile finds the first and ends
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.path.basename(os.readlink(f"/proc/{pid}/exe")).startswith("wineserver"):
                    with open(f"/proc/{pid}/environ", "rb") as environ, open(f"/proc/{pid}/stat") as status:
                        if f"WINEPREFIX={prefix}".encode() in environ.read().split(b"\0"):
                            servers.append((int(status.read().rsplit(")", 1)[1].split()[19]), pid))
            except OSError:
                pass  # ended meanwhile, or not ours to look at
        server = min(servers)[1] if servers else None
        if not server:
            self.skipTest("no wineserver of this prefix runs (tests/run_wine_tests.sh starts one)")
        log = tempfile.NamedTemporaryFile(prefix="halvek-steps-", dir="/tmp")
        self.addCleanup(log.close)
        tracer = subprocess.Popen(["strace", "-p", server, "-o", log.name, "-e", "trace=" + self.NAME_CALLS,
                                   "-e", f"inject={self.NAME_CALLS}:delay_exit={int(self.STEP_DELAY * 1e6)}"],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

        def detach():
            tracer.send_signal(signal.SIGINT)
            try:
                tracer.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                tracer.kill()  # the system detaches it then
                tracer.communicate()
                raise
        self.addCleanup(detach)
        if b"attached" not in tracer.stderr.readline():
            self.skipTest("strace cannot attach to the wineserver here")
        return log.name

    def run_killed_after(self, log, kill_after):
        """Runs on rom.gba and kills it right after the `kill_after`th change of a name in the
        folder (0: once a staged file is there), where it gets that far; returns what it showed,
        if it ran to its end, and the number of steps seen."""
        marker = os.path.basename(self.folder)
        with open(log) as trace:
            trace.seek(0, os.SEEK_END)
            child = subprocess.Popen(COMMAND + ["rom.gba"], cwd=self.folder, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            steps, pending = 0, ""
            deadline = time.monotonic() + 60
            while kill_after == 0 and child.poll() is None and not any(
                    name.startswith(".halvek-") for name in os.listdir(self.folder)):
                self.assertLess(time.monotonic(), deadline, "nothing was staged")
                time.sleep(0.005)
            while child.poll() is None and steps != kill_after:
                pending += trace.read()
                *lines, pending = pending.split("\n")
                steps += sum(marker in line for line in lines)
                time.sleep(0.005)
            if steps == kill_after:
                child.kill()
            shown, _ = child.communicate(timeout=120)
            # The step held ends; the system then closes what the process had open, and a
            # whole run's last steps may come after its end.
            time.sleep(2 * self.STEP_DELAY)
            if kill_after is None:
                pending += trace.read()
                steps += sum(marker in line for line in pending.split("\n"))
        return (console_text(shown) if child.returncode == 0 else None), steps


@unittest.skipUnless(WINDOWS, "Windows start-up")
class WindowsStart(Run):
    def test_wildcard_arguments_are_expanded(self):
        content = image(1024, 21)
        self.write("one.gba", content)
        self.halvek("*.gba", expected_out=success("one.gba"))
        self.assertEqual(self.read("one.gba.bin"), patched(content))
        os.remove(self.path("one.gba.bin"))
        os.remove(self.path("one.gba.sav"))
        self.write("two.gba", content)
        self.halvek("*.gba", expected_out=USAGE)
        self.assert_files("one.gba", "two.gba")

    def test_drive_letter_path(self):
        content = image(1024, 22)
        self.write("rom.gba", content)
        name = windows_name(self.path("rom.gba"))
        self.halvek(name, expected_out=success(name))
        self.assertEqual(self.read("rom.gba.bin"), patched(content))
        self.assertEqual(self.read("rom.gba.sav"), BLANK_SAVE)


SOME_NOT_RUN = 77  # ctest's SKIP_RETURN_CODE for these entries


class MarkedLoader(unittest.TestLoader):
    """Takes, from the groups named, only the cases whose marks are `--marks=A,B` (none for `--marks=`)."""
    marks = None

    def getTestCaseNames(self, testCaseClass):
        return [name for name in super().getTestCaseNames(testCaseClass)
                if self.marks is None or marks_of(testCaseClass, name) == self.marks]


if __name__ == "__main__":
    loader = MarkedLoader()
    rest = []
    for argument in sys.argv[len(ARGUMENTS) + 2:]:
        if argument.startswith("--marks="):
            loader.marks = frozenset(filter(None, argument.removeprefix("--marks=").split(",")))
        else:
            rest.append(argument)
    result = unittest.main(argv=[sys.argv[0]] + rest, testLoader=loader, verbosity=2, exit=False).result

    def case(test):
        return getattr(test, "test_case", test).id()  # a subtest counts for its case
    failed = {case(test) for test, _ in result.failures + result.errors} | set(map(case, result.unexpectedSuccesses))
    skipped = {case(test) for test, _ in result.skipped} - failed
    not_here = [reason for _, reason in result.skipped if reason not in (POSIX_MATTER, SANITIZED_BUILD)]
    # One line that counts whole cases, the last the run shows.
    print(f"cli_test: {result.testsRun - len(failed) - len(skipped)} passed, {len(failed)} failed, {len(skipped)} skipped",
          file=sys.stderr, flush=True)
    if not result.testsRun:
        sys.exit("cli_test: no case was selected")
    sys.exit(1 if failed else SOME_NOT_RUN if not_here else 0)
