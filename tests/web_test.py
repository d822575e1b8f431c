"""Runs the page in headless Chromium, served from 127.0.0.1, and compares what it shows and
offers for download with what the console program shows and writes for the same images.

Usage: web_test.py WEB_FOLDER PROGRAM [-- unittest arguments]
Run it with Debian's /usr/bin/python3, which has Selenium.
"""
import functools
import http.server
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from expected import PROMPT

WEB = PROGRAM = None  # the page's folder and the console program, from the command line


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *arguments):
        pass


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


class Page(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=WEB))
        threading.Thread(target=cls.server.serve_forever, daemon=True).start()
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
        self.driver.get(self.url)

    def panel(self):
        return self.driver.execute_script("return document.getElementById('console').textContent")

    def offered(self):
        return not self.driver.execute_script("return document.getElementById('downloads').hidden")

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

    def download(self, link, name):
        self.driver.find_element(By.ID, link).click()
        path = os.path.join(self.downloads, name)
        wait_for(lambda: os.path.exists(path) and not any(entry.endswith(".crdownload")
                                                          for entry in os.listdir(self.downloads)), name)
        with open(path, "rb") as downloaded:
            content = downloaded.read()
        os.remove(path)
        return content

    def test_downloads_match_the_console_program(self):
        for size in [0, 1, 191, 512, 8 << 10, 32 << 20]:
            with self.subTest(size=size):
                name = f"rom{size}.gba"
                content = random.Random(size).randbytes(size)
                shown, (image, save) = self.console_program(name, content)
                path = os.path.join(self.folder, name)
                with open(path, "wb") as chosen:
                    chosen.write(content)
                self.driver.find_element(By.ID, "image-input").send_keys(path)
                wait_for(lambda: self.panel().endswith("proper places\n\n"), "the success message")
                self.assertEqual(self.panel(), shown)
                self.assertTrue(self.offered())
                self.assertTrue(self.download("image-download", name + ".bin") == image, "the .bin differs")
                self.assertTrue(self.download("save-download", name + ".sav") == save, "the .sav differs")

    def test_drops_that_give_nothing_to_download(self):
        cases = [  # the files dropped, whether they are removed after they were chosen, what shows
            (["gone.gba"], True, "Error opening gone.gba.\n\n"),
            (["one.gba", "two.gba"], False, "Please give one image at a time.\n"),
        ]
        for names, removed, shown in cases:
            with self.subTest(names=names):
                self.driver.get(self.url)
                paths = [os.path.join(self.folder, name) for name in names]
                for path in paths:
                    with open(path, "wb") as chosen:
                        chosen.write(bytes(4096))
                # Chosen as a user chooses them: the browser takes a file's size and date when it
                # first looks at it, here at once.
                self.driver.execute_script("const stash = document.createElement('input');"
                                           "stash.type = 'file'; stash.multiple = true; stash.id = 'stash';"
                                           "document.body.append(stash);")
                self.driver.find_element(By.ID, "stash").send_keys("\n".join(paths))
                self.driver.execute_script("for (const file of document.getElementById('stash').files) file.size;")
                for path in paths if removed else []:
                    os.remove(path)
                self.driver.execute_script(
                    "const files = new DataTransfer();"
                    "for (const file of document.getElementById('stash').files) files.items.add(file);"
                    "document.getElementById('drop-zone').dispatchEvent("
                    "    new DragEvent('drop', {dataTransfer: files, bubbles: true, cancelable: true}));")
                wait_for(self.panel, "a message")
                self.assertEqual(self.panel(), shown)
                self.assertFalse(self.offered())

    def test_layout_on_a_phone_and_a_desktop(self):
        sample = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "sample.gba")
        for width, height, scheme in [(360, 740, "light"), (1280, 800, "light"), (360, 740, "dark")]:
            with self.subTest(width=width, scheme=scheme):
                self.driver.set_window_size(width, height)
                self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                            {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
                self.driver.get(self.url)
                self.driver.find_element(By.ID, "image-input").send_keys(sample)
                wait_for(lambda: self.panel().endswith("proper places\n\n"), "the success message")
                overflow = self.driver.execute_script(
                    "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
                self.assertLessEqual(overflow, 0, "the page scrolls sideways")
                self.driver.save_screenshot(os.path.join(WEB, f"screenshot-{width}-{scheme}.png"))
                errors = [entry for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]
                self.assertEqual(errors, [])

    def test_module_exports_only_what_the_page_needs(self):
        exports = self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "fetch('halvek.wasm').then((response) => response.arrayBuffer())"
            "  .then((bytes) => done(WebAssembly.Module.exports(new WebAssembly.Module(bytes)).map((e) => e.name)));")
        self.assertEqual(sorted(exports), ["header_block", "memory", "patch_block"])


if __name__ == "__main__":
    ARGUMENTS = sys.argv[1:sys.argv.index("--")] if "--" in sys.argv else sys.argv[1:]
    WEB, PROGRAM = (os.path.abspath(argument) for argument in ARGUMENTS)
    unittest.main(argv=[sys.argv[0]] + sys.argv[len(ARGUMENTS) + 2:], verbosity=2)
