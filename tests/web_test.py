"""Runs the page in headless Chromium, served from 127.0.0.1 or opened from disk, and compares
what it shows and offers for download with what the console program shows and writes for the
same images.

Usage: web_test.py WEB_FOLDER PROGRAM [-- unittest arguments]
Run it with Debian's /usr/bin/python3, which has Selenium.
"""
import base64
import functools
import http.server
import io
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zipfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from expected import PROMPT, error_opening

WEB = PROGRAM = None  # the page's folder and the console program, from the command line
SAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "sample.gba")
with open(SAMPLE, "rb") as sample_image:
    SAMPLE_BYTES = sample_image.read()


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *arguments):
        pass


def serve(folder):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=folder))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def browser(downloads):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    # Headless, as root, and with none of the browser's own traffic: this machine has no network.
    for argument in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync"]:
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def wait_for(condition, what, seconds=120):
    deadline = time.monotonic() + seconds
    while not (result := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)
    return result


RUNS = """return [...document.querySelectorAll('#runs .run')].map((run) => ({
    name: run.querySelector('.name').textContent,
    header: run.querySelector('.header').hidden ? null
        : [...run.querySelectorAll('.header dd')].map((field) => field.textContent),
    warning: run.querySelector('.warning').hidden ? null : run.querySelector('.warning').textContent,
    transcript: run.querySelector('.transcript').textContent,
    downloads: run.querySelector('.result').hidden ? null
        : [...run.querySelectorAll('.result a')].map((link) => link.download),
    shortened: !run.querySelector('.shortened').hidden,
    warningFirst: !!(run.querySelector('.warning').compareDocumentPosition(run.querySelector('.result')) & 4)}))"""


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = serve(WEB)
        cls.downloads = tempfile.mkdtemp(prefix="halvek-downloads-")
        cls.driver = browser(cls.downloads)
        cls.url = f"http://127.0.0.1:{cls.server.server_port}/index.html"

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.server.shutdown()
        shutil.rmtree(cls.downloads, ignore_errors=True)

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="halvek-test-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.driver.set_window_size(1280, 900)
        self.driver.get(self.url)

    def write(self, name, content):
        path = os.path.join(self.folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as image:
            image.write(content)
        return path

    def runs(self, count):
        """The runs shown, once count of them have each made their one announcement."""
        wait_for(lambda: self.driver.execute_script("return document.querySelectorAll('#announcements p').length")
                 == count, f"{count} runs")
        return self.driver.execute_script(RUNS)

    def choose(self, paths):
        self.driver.find_element(By.ID, "image-input").send_keys("\n".join(paths))
        return self.runs(len(paths))

    def drag(self, x, y, data, drop=True):
        for kind in ["dragEnter", "dragOver"] + (["drop"] if drop else []):
            self.driver.execute_cdp_cmd("Input.dispatchDragEvent", {"type": kind, "x": x, "y": y,
                                                                    "data": dict(data, dragOperationsMask=1)})

    def console_program(self, name, content):
        """What the console program shows (but its closing prompt) and writes for the image."""
        folder = os.path.join(self.folder, "console")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), "wb") as image:
            image.write(content)
        run = subprocess.run([PROGRAM, name], cwd=folder, stdin=subprocess.DEVNULL, capture_output=True, check=True)
        shown = run.stdout.decode()
        self.assertTrue(shown.endswith(PROMPT))
        written = []
        for suffix in (".bin", ".sav"):
            with open(os.path.join(folder, name + suffix), "rb") as output:
                written.append(output.read())
        return shown[:-len(PROMPT)], written

    def download(self, run, link, name):
        self.driver.find_elements(By.CSS_SELECTOR, f"#runs .run .{link}")[run].click()
        path = os.path.join(self.downloads, name)
        wait_for(lambda: os.path.exists(path) and not any(entry.endswith(".crdownload")
                                                          for entry in os.listdir(self.downloads)), name)
        with open(path, "rb") as downloaded:
            content = downloaded.read()
        os.remove(path)
        return content

    def assert_runs_match_the_console_program(self, images):
        """images: (name, content, the name its downloads take before .bin and .sav), chosen at once."""
        runs = self.choose([self.write(name, content) for name, content, _ in images])
        self.assertEqual([run["name"] for run in runs], [name for name, _, _ in images])
        for index, ((name, content, downloaded), run) in enumerate(zip(images, runs)):
            with self.subTest(name=name[:40], size=len(content)):
                shown, (image, save) = self.console_program(name, content)
                self.assertEqual(run["transcript"], shown)
                self.assertEqual(run["downloads"], [downloaded + ".bin", downloaded + ".sav"])
                self.assertEqual(run["shortened"], downloaded != name)
                self.assertTrue(self.download(index, "image-download", downloaded + ".bin") == image, "the .bin differs")
                self.assertTrue(self.download(index, "save-download", downloaded + ".sav") == save, "the .sav differs")

    def test_each_image_chosen_at_once_is_a_run_like_the_console_program(self):
        images = [(f"rom{size}.gba", random.Random(size).randbytes(size), f"rom{size}.gba")
                  for size in [0, 1, 191, 512, 8 << 10, 32 << 20]]
        # A name the console program can write but a browser cannot save with ".crdownload" on it.
        long_name = "L" * 246 + ".gba"
        images.append((long_name, random.Random(1).randbytes(4096), long_name[:236]))
        self.assert_runs_match_the_console_program(images)

    def test_what_each_image_is(self):
        archive = io.BytesIO()
        with zipfile.ZipFile(archive, "w") as contents:
            contents.writestr("game.gba", bytes(1024))
        cases = [  # name, content, header fields shown, words the warning must hold
            ("sample.gba", SAMPLE_BYTES, ["HALVEK DEMO", "ZHVK", "00", "0"], None),
            ("notes.txt", b"Just some notes.\n" * 40, None, "notes.txt does not look like a cartridge image"),
            ("games.zip", archive.getvalue(), None, "games.zip is a zip archive"),
        ]
        runs = self.choose([self.write(name, content) for name, content, _, _ in cases])
        for (name, _, fields, warning), run in zip(cases, runs):
            with self.subTest(name=name):
                if fields:
                    self.assertEqual(run["header"], fields)
                if warning:
                    self.assertIn(warning, run["warning"])
                    self.assertTrue(run["warningFirst"], "the warning comes after the downloads")
                else:
                    self.assertIsNone(run["warning"])
                self.assertIsNotNone(run["downloads"])

    def test_drops_anywhere_on_the_page(self):
        self.write("folder/b.gba", bytes(300))
        self.write("folder/a.gba", bytes(300))
        self.write("folder/inner/c.gba", bytes(300))
        os.makedirs(os.path.join(self.folder, "empty"))
        self.choose([SAMPLE])  # a run on the page, to drop on too
        points = self.driver.execute_script(
            "return ['h1', 'main > p', '#drop-zone', '.transcript'].map((selector) => {"
            "  const box = document.querySelector(selector).getBoundingClientRect();"
            "  return [selector, Math.round(box.left + 5), Math.round(box.top + 5)]; })") + [("the margin", 3, 3)]
        takes = "this page takes cartridge image files"
        cases = [(where, x, y, {"items": [], "files": [SAMPLE]}, ["sample.gba"], "") for where, x, y in points] + [
            ("several", 30, 30, {"items": [], "files": [SAMPLE, os.path.join(self.folder, "folder/b.gba")]},
             ["sample.gba", "b.gba"], ""),
            ("a folder", 30, 30, {"items": [], "files": [os.path.join(self.folder, "folder")]},
             ["a.gba", "b.gba", "c.gba"], ""),
            ("an empty folder", 30, 30, {"items": [], "files": [os.path.join(self.folder, "empty")]}, [], takes),
            ("text", 30, 30, {"items": [{"mimeType": "text/plain", "data": "sample.gba"}]}, [], takes),
        ]
        for where, x, y, data, names, message in cases:
            with self.subTest(where=where):
                self.driver.execute_script("document.getElementById('announcements').replaceChildren()")
                self.drag(x, y, data, drop=False)
                self.assertEqual(self.driver.execute_script(
                    "return getComputedStyle(document.body).outlineStyle"), "dashed", "the page shows no drop")
                self.drag(x, y, data)
                self.assertEqual([run["name"] for run in self.runs(len(names))], names)
                shown = lambda: self.driver.find_element(By.ID, "message").text  # noqa: E731
                if message:
                    wait_for(lambda: message in shown(), "the message")
                else:
                    self.assertEqual(shown(), "")
                self.assertEqual(self.driver.current_url, self.url)
        self.assertEqual(os.listdir(self.downloads), [], "the browser saved a dropped file")

    def test_files_that_cannot_be_downloaded(self):
        # A file the browser has looked at, then removed: its run cannot read it.
        gone = self.write("gone.gba", bytes(4096))
        self.driver.execute_script("const stash = document.createElement('input');"
                                   "stash.type = 'file'; stash.id = 'stash'; document.body.append(stash);")
        self.driver.find_element(By.ID, "stash").send_keys(gone)
        self.driver.execute_script("document.getElementById('stash').files[0].size;")
        os.remove(gone)
        self.driver.execute_script(
            "const files = new DataTransfer(); files.items.add(document.getElementById('stash').files[0]);"
            "document.body.dispatchEvent(new DragEvent('drop', {dataTransfer: files, bubbles: true, cancelable: true}));")
        [run] = self.runs(1)
        self.assertEqual(run["transcript"], error_opening("gone.gba") + "\n")
        self.assertIsNone(run["downloads"])

        # A file changed after its downloads were offered: the run says so when its image is asked for.
        changed = self.write("changed.gba", bytes(4096))
        self.choose([changed])
        with open(changed, "ab") as image:
            image.write(b"more")
        self.driver.find_element(By.CSS_SELECTOR, ".image-download").click()
        wait_for(lambda: self.driver.execute_script(RUNS)[0]["downloads"] is None, "the downloads withdrawn")
        self.assertIn("changed.gba was moved or changed", self.driver.execute_script(RUNS)[0]["warning"])

    def test_layout_on_phones_and_desktops(self):
        paths = [self.write(("N" * length)[:length - 4] + ".gba", bytes(1024)) for length in [8, 60, 200]]
        for width in [320, 360, 1280]:
            for scheme in ["light", "dark"]:
                for text in ["100%", "200%"]:
                    with self.subTest(width=width, scheme=scheme, text=text):
                        self.driver.set_window_size(width, 800)
                        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {
                            "features": [{"name": "prefers-color-scheme", "value": scheme}]})
                        self.driver.get(self.url)
                        # The page sizes everything in rem, so this is the reader's text size.
                        self.driver.execute_script(f"document.documentElement.style.fontSize = '{text}'")
                        self.choose(paths)
                        outside = self.driver.execute_script(
                            "return [...document.querySelectorAll('a.button')].filter((link) => {"
                            "  const box = link.getBoundingClientRect();"
                            "  return box.left < 0 || box.right > document.documentElement.clientWidth; }).length")
                        self.assertEqual(outside, 0, "a download button runs past the screen")
                        overflow = self.driver.execute_script(
                            "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
                        self.assertLessEqual(overflow, 0, "the page scrolls sideways")
                        if text == "100%" and width < 1280:
                            self.driver.save_screenshot(os.path.join(WEB, f"screenshot-{width}-{scheme}.png"))
                        errors = [entry for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]
                        self.assertEqual(errors, [])

    def test_from_disk_and_without_webassembly(self):
        self.driver.get("file://" + os.path.join(WEB, "index.html"))
        self.assert_runs_match_the_console_program([("sample.gba", SAMPLE_BYTES, "sample.gba")])

        script = self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                             {"source": "delete globalThis.WebAssembly"})
        self.addCleanup(self.driver.execute_cdp_cmd, "Page.removeScriptToEvaluateOnNewDocument", script)
        self.driver.get(self.url)
        wait_for(lambda: "cannot run WebAssembly" in self.driver.find_element(By.ID, "message").text, "the failure")
        self.drag(30, 30, {"items": [], "files": [SAMPLE]})
        time.sleep(0.5)  # a run, if one were made, is shown at once
        self.assertEqual(self.driver.execute_script("return document.querySelectorAll('#runs a[href]').length"), 0)
        self.assertIn("cannot run WebAssembly", self.driver.find_element(By.ID, "message").text)

    def test_offline_after_one_visit(self):
        server = serve(WEB)
        self.driver.get(f"http://127.0.0.1:{server.server_port}/")
        self.driver.execute_async_script("navigator.serviceWorker.ready.then(() => arguments[0]())")
        server.shutdown()
        server.server_close()
        self.driver.refresh()
        shown, _ = self.console_program("sample.gba", SAMPLE_BYTES)
        self.assertEqual(self.choose([SAMPLE])[0]["transcript"], shown)

    def test_module_exports_only_what_the_page_needs(self):
        with open(os.path.join(WEB, "halvek.js")) as script:
            module = re.search(r'moduleBase64 = "([A-Za-z0-9+/=]+)"', script.read()).group(1)
        base64.b64decode(module, validate=True)
        exports = self.driver.execute_script(
            "const bytes = Uint8Array.from(atob(arguments[0]), (c) => c.charCodeAt(0));"
            "return WebAssembly.Module.exports(new WebAssembly.Module(bytes)).map((e) => e.name)", module)
        self.assertEqual(sorted(exports), ["header_block", "memory", "patch_block"])


if __name__ == "__main__":
    ARGUMENTS = sys.argv[1:sys.argv.index("--")] if "--" in sys.argv else sys.argv[1:]
    WEB, PROGRAM = (os.path.abspath(argument) for argument in ARGUMENTS)
    unittest.main(argv=[sys.argv[0]] + sys.argv[len(ARGUMENTS) + 2:], verbosity=2)
