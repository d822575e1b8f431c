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
import socket
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
    slow = None  # a file served a second late, as over a slow network

    def log_message(self, *arguments):
        pass

    def do_GET(self):
        if self.slow and self.path.endswith(self.slow):
            time.sleep(1)
        super().do_GET()


def serve(folder, slow=None):
    handler = type("Handler", (QuietHandler,), {"slow": slow})
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(handler, directory=folder))
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
    folder: run.querySelector('.folder').textContent,
    header: [...run.querySelectorAll('.title, .game-code, .maker-code, .version')].map((field) => field.textContent),
    warning: run.querySelector('.warning').hidden ? null : run.querySelector('.warning').textContent,
    transcript: run.querySelector('.transcript').textContent,
    downloads: run.querySelector('.files').hidden ? null
        : [...run.querySelectorAll('.files a')].map((link) => link.download),
    shortened: !run.querySelector('.shortened').hidden,
    state: run.querySelector('.state').textContent}))"""
ASIDE = """return [...document.querySelectorAll('#set-aside-list li')].map((entry) => [
    entry.querySelector('.folder').textContent + entry.querySelector('.name').textContent,
    entry.querySelector('.reason').textContent])"""


def image_bytes(size, seed):
    """A made-up image of that size whose header has the fixed 96 (hex) at B2."""
    content = bytearray(random.Random(seed).randbytes(size))
    made_up = f"GAME {seed:07}"[:12].encode() + f"ZG{seed % 100:02}".encode() + b"00\x96"
    content[0xA0:0xB3] = made_up[:max(0, size - 0xA0)]
    return bytes(content)


def zipped(entries, compression=zipfile.ZIP_DEFLATED):
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w", compression) as contents:
        for name, content in entries:
            contents.writestr(name, content)
    return archive.getvalue()


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

    def message(self):
        return self.driver.find_element(By.ID, "message").text

    def taken(self, action):
        """The runs shown once what action gives has been looked at: the page then sums it up."""
        self.driver.execute_script("document.getElementById('message').textContent = ''")
        action()
        wait_for(lambda: self.message() and self.driver.execute_script(
            "return document.getElementById('runs').getAttribute('aria-busy') !== 'true'"), "the summary")
        return self.driver.execute_script(RUNS)

    def choose(self, paths):
        return self.taken(lambda: self.driver.find_element(By.ID, "image-input").send_keys("\n".join(paths)))

    def drag(self, x, y, data, drop=True):
        for kind in ["dragEnter", "dragOver"] + (["drop"] if drop else []):
            self.driver.execute_cdp_cmd("Input.dispatchDragEvent", {"type": kind, "x": x, "y": y,
                                                                    "data": dict(data, dragOperationsMask=1)})

    def drop(self, paths, x=30, y=30):
        return self.taken(lambda: self.drag(x, y, {"items": [], "files": paths}))

    def console_program(self, name, content):
        """What the console program shows (but its closing prompt) and writes for the image."""
        folder = tempfile.mkdtemp(dir=self.folder)
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

    def saved(self, click, name):
        """The bytes of the file a click saves into the downloads folder under that name."""
        click()
        path = os.path.join(self.downloads, name)
        wait_for(lambda: os.path.exists(path) and not any(entry.endswith(".crdownload")
                                                          for entry in os.listdir(self.downloads)), name)
        with open(path, "rb") as downloaded:
            content = downloaded.read()
        os.remove(path)
        return content

    def download(self, run, link, name):
        return self.saved(self.driver.find_elements(By.CSS_SELECTOR, f"#runs .run .{link}")[run].click, name)

    def assert_runs_match_the_console_program(self, images, runs):
        """images: (name, content, the name its files take before .bin and .sav), in the order of runs."""
        self.assertEqual([run["name"] for run in runs], [name for name, _, _ in images])
        for index, ((name, content, downloaded), run) in enumerate(zip(images, runs)):
            with self.subTest(name=name[:40], size=len(content)):
                shown, (image, save) = self.console_program(name, content)
                self.assertEqual(run["transcript"], shown)
                self.assertEqual(run["downloads"], [downloaded + ".bin", downloaded + ".sav"])
                self.assertEqual(run["shortened"], downloaded != name)
                self.assertTrue(self.download(index, "image-download", downloaded + ".bin") == image, "the .bin differs")
                self.assertTrue(self.download(index, "save-download", downloaded + ".sav") == save, "the .sav differs")
                self.assertEqual(self.driver.execute_script(RUNS)[index]["state"], "Saved")

    def test_each_image_is_a_run_like_the_console_program(self):
        images = [(f"rom{size}.gba", image_bytes(size, size), f"rom{size}.gba") for size in [512, 8 << 10, 32 << 20]]
        # A name the console program can write but a browser cannot save with ".crdownload" on it.
        long_name = "L" * 246 + ".gba"
        images.append((long_name, image_bytes(4096, 1), long_name[:236]))
        runs = self.choose([self.write(name, content) for name, content, _ in images])
        self.assertTrue(all(run["warning"] is None for run in runs))
        self.assert_runs_match_the_console_program(images, runs)

        # Files too short to be images are set aside; patched anyway, they are what the console makes.
        short = [(f"short{size}.gba", image_bytes(size, size), f"short{size}.gba") for size in [0, 1, 0xB2]]
        self.assertEqual(self.choose([self.write(name, content) for name, content, _ in short]), [])
        for count, button in enumerate(self.driver.find_elements(By.CSS_SELECTOR, "#set-aside .run-anyway"), 1):
            button.click()
            runs = wait_for(lambda: len(runs := self.driver.execute_script(RUNS)) == count and runs,  # noqa: B023
                            f"run {count}")
        self.assertTrue(all("use them only if you are sure" in run["warning"] for run in runs))
        self.assert_runs_match_the_console_program(short, runs)

    def test_a_collection_saved_all_at_once(self):
        tree = {  # path: content, and where it is set aside, why
            "games/a/game.gba": (image_bytes(4096, 7), None),
            "games/b/game.gba": (image_bytes(2048, 8), None),
            "games/b/game.gba.bin": (image_bytes(2048, 8), "an earlier output, the patched copy of game.gba"),
            "games/b/game.gba.sav": (bytes(65536), "an earlier save"),
            "games/old.gba.bin": (image_bytes(1024, 3), "an earlier output, the patched copy of old.gba"),
            "games/.DS_Store": (b"\0\0\0\x01Bud1" + bytes(200), "a macOS folder's settings"),
            "games/cover.png": (b"\x89PNG\r\n\x1a\n" + image_bytes(400, 4), "a PNG picture"),
            "games/notes.txt": (b"Just some notes.\n" * 40, "lacks the fixed value 96 (hex) at B2"),
            "games/packed.zip": (zipped([("inner/zipped.gba", image_bytes(3000, 9)), ("readme.txt", b"hi")]), None),
            "games/empty.zip": (zipped([("readme.txt", b"hi")]), "a zip that holds no cartridge image"),
            "games/nested.zip": (zipped([("inner.zip", zipped([("deep.gba", image_bytes(600, 5))]))]),
                                 "a zip that holds another zip: open that one"),
            # Names that would climb out of the folder saved into, or that Windows refuses.
            "games/paths.zip": (zipped([(name, image_bytes(700, seed)) for seed, name in enumerate(
                ["../trav.gba", "/abs.gba", "..\\bs.gba", "C:/drive.gba", "ok/../../up.gba", "dir/a.gba", "DIR/a.gba"],
                20)]), None),
            "games/a\\b:c.gba": (image_bytes(900, 30), None),
            "games/b/Game.gba": (image_bytes(800, 31), None),
            "games/damaged.zip": (zipped([("damaged.gba", image_bytes(5000, 32))], zipfile.ZIP_STORED), None),
        }
        damaged = bytearray(tree["games/damaged.zip"][0])
        damaged[30 + len("damaged.gba") + 4000] ^= 1  # a bit flipped in the image's stored bytes
        tree["games/damaged.zip"] = (damaged, None)
        for path, (content, _) in tree.items():
            self.write(path, content)
        # Each run as the page lists it: where its files are saved, and its image. Paths that differ
        # only in case are one file on Windows and macOS, so the later one goes in a folder more.
        in_paths = {f"games/{name}": (f"games/{saved}", image_bytes(700, seed)) for seed, (name, saved) in enumerate(
            [("trav.gba",) * 2, ("abs.gba",) * 2, ("bs.gba",) * 2, ("drive.gba",) * 2, ("ok/up.gba",) * 2,
             ("dir/a.gba",) * 2, ("DIR/a.gba", "DIR/2/a.gba")], 20)}
        images = {"games/a/game.gba": ("games/a/game.gba", tree["games/a/game.gba"][0]),
                  "games/a\\b:c.gba": ("games/a_b_c.gba", tree["games/a\\b:c.gba"][0]),
                  "games/b/Game.gba": ("games/b/Game.gba", tree["games/b/Game.gba"][0]),
                  "games/b/game.gba": ("games/b/2/game.gba", tree["games/b/game.gba"][0]),
                  "games/inner/zipped.gba": ("games/inner/zipped.gba", image_bytes(3000, 9)), **in_paths}
        runs = self.drop([os.path.join(self.folder, "games")])
        shown = list(images)
        shown.insert(4, "games/damaged.gba")
        self.assertEqual([run["folder"] + run["name"] for run in runs], shown)
        self.assertEqual(self.message(), "12 images patched, ready to save. 8 set aside, below. 1 could not be read.")
        # An image whose bytes fail the zip's check is shown as one that could not be read.
        self.assertEqual([runs[4][key] for key in ("transcript", "downloads", "state")],
                         [error_opening("damaged.gba") + "\n", None, "Could not be read"])
        self.assertIn("fail the zip's own check", runs[4]["warning"])
        aside = self.driver.execute_script(ASIDE)
        self.assertEqual(sorted(path for path, _ in aside), sorted(path for path, (_, why) in tree.items() if why))
        for path, reason in aside:
            self.assertIn(tree[path][1], reason, path)

        console = {saved: self.console_program("game.gba", content)[1] for saved, content in images.values()}
        for naming, names in [("console", lambda path: [path + ".bin", path + ".sav"]),
                              ("cartridge", lambda path: [path, path[:-4] + ".sav"])]:
            with self.subTest(naming=naming):
                self.driver.find_element(By.CSS_SELECTOR, f"input[value={naming}]").click()
                self.assertTrue(self.driver.find_element(By.ID, "advice").text.startswith(names("rom.gba")[0] + " is"))
                archive = zipfile.ZipFile(io.BytesIO(self.saved(
                    self.driver.find_element(By.ID, "save-as-zip").click, "halvek.zip")))
                self.assertEqual({entry.compress_type for entry in archive.infolist()}, {zipfile.ZIP_STORED})
                expected = {name: content for path, written in console.items()
                            for name, content in zip(names(path), written)}
                self.assertEqual(sorted(archive.namelist()), sorted(expected))
                for name, content in expected.items():
                    self.assertTrue(archive.read(name) == content, f"{name} differs")
                self.assertEqual([run["state"] for run in self.driver.execute_script(RUNS)],
                                 [("Could not be read" if path == "games/damaged.gba" else "Saved") for path in shown])

    def test_save_all_into_a_folder_replaces_nothing(self):
        # The browser's own private folder stands in for the one the user would pick.
        script = self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {
            "source": "window.showDirectoryPicker = () => navigator.storage.getDirectory()"})
        self.addCleanup(self.driver.execute_cdp_cmd, "Page.removeScriptToEvaluateOnNewDocument", script)
        self.driver.get(self.url)
        self.driver.execute_async_script("""const done = arguments[0];
            navigator.storage.getDirectory().then(async (root) => {
              for await (const name of root.keys()) await root.removeEntry(name, {recursive: true});
              const folder = await root.getDirectoryHandle('set', {create: true});
              const writable = await (await (await folder.getDirectoryHandle('x', {create: true}))
                .getFileHandle('game.gba.bin', {create: true})).createWritable();
              await writable.write('mine');
              await writable.close();
            }).then(done)""")
        content = {"x": image_bytes(4096, 11), "y": image_bytes(600, 12)}
        for folder, image in content.items():
            self.write(f"set/{folder}/game.gba", image)
        odd = self.write("set/y/a\\b:c.gba", image_bytes(900, 13))  # saved as a_b_c.gba: Windows refuses \ and :
        self.drop([os.path.join(self.folder, "set")])
        self.driver.find_element(By.ID, "save-to-folder").click()
        wait_for(lambda: "saved into the folder" in self.message(), "the folder saved")
        self.assertEqual(self.message(), "5 files saved into the folder. Left as they were, not replaced: set/x/game.gba.bin.")
        found = self.driver.execute_async_script("""const done = arguments[0];
            async function read(folder, path) {
              const found = {};
              for await (const [name, handle] of folder.entries()) {
                if (handle.kind === 'directory') Object.assign(found, await read(handle, path + name + '/'));
                else found[path + name] = [...new Uint8Array(await (await handle.getFile()).arrayBuffer())];
              }
              return found;
            }
            navigator.storage.getDirectory().then((root) => read(root, '')).then(done)""")
        found = {path: bytes(content) for path, content in found.items()}
        _, (x_image, x_save) = self.console_program("game.gba", content["x"])
        _, (y_image, y_save) = self.console_program("game.gba", content["y"])
        with open(odd, "rb") as image:
            _, (odd_image, odd_save) = self.console_program("game.gba", image.read())
        self.assertEqual(found, {"set/x/game.gba.bin": b"mine", "set/x/game.gba.sav": x_save,
                                 "set/y/a_b_c.gba.bin": odd_image, "set/y/a_b_c.gba.sav": odd_save,
                                 "set/y/game.gba.bin": y_image, "set/y/game.gba.sav": y_save})
        self.assertEqual([run["state"] for run in self.driver.execute_script(RUNS)],
                         ["Blank save saved", "Saved", "Saved"])

        # Chosen anew while the folder is being picked: that save ends, and the newer choice's
        # summary stays.
        self.driver.execute_script("window.showDirectoryPicker = () => new Promise((resolve) => {"
                                   "  window.pickFolder = () => resolve(navigator.storage.getDirectory()); })")
        self.driver.find_element(By.ID, "save-to-folder").click()
        self.choose([SAMPLE])
        self.driver.execute_script("pickFolder()")
        wait_for(lambda: not self.driver.find_element(By.ID, "save-to-folder").get_property("disabled"), "the save")
        self.assertEqual(self.message(), "1 image patched, ready to save.")

    def test_a_hundred_images_on_a_phone(self):
        paths = [self.write(f"collection/Game number {index:03}.gba", image_bytes(1024, index)) for index in range(100)]
        self.driver.set_window_size(320, 640)
        # A choice replaced while it is still running: only the newer one is shown and summed up.
        self.driver.find_element(By.ID, "image-input").send_keys("\n".join(paths))
        self.assertEqual([run["name"] for run in self.choose([SAMPLE])], ["sample.gba"])
        time.sleep(0.5)  # what the older choice would still show, it shows by then
        self.assertEqual(len(self.driver.execute_script(RUNS)), 1)
        self.assertEqual(self.message(), "1 image patched, ready to save.")
        # So too when the older one is in its last file, a zip, waiting for the zip library.
        server = serve(WEB, slow="fflate.js")
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        self.driver.get(f"http://127.0.0.1:{server.server_port}/index.html")
        self.driver.execute_script("""window.said = [];
            const message = document.getElementById('message');
            new MutationObserver(() => said.push(message.textContent + ' ' + document.getElementById('runs')
              .getAttribute('aria-busy'))).observe(message, {childList: true, characterData: true, subtree: true})""")
        self.driver.find_element(By.ID, "image-input").send_keys(self.write("a.zip", zipped([("a.gba", SAMPLE_BYTES)])))
        self.choose([SAMPLE, self.write("b.zip", zipped([("b.gba", image_bytes(4 << 20, 2))]))])
        time.sleep(0.5)
        self.assertEqual([said for said in self.driver.execute_script("return said") if said.strip()],
                         ["2 images patched, ready to save. false"])

        self.assertEqual(len(self.choose(paths)), 100)
        height = self.driver.execute_script("return document.documentElement.scrollHeight")
        rows = self.driver.execute_script("return document.getElementById('runs').getBoundingClientRect().height")
        print(f"\n100 images at 320 px: the page is {height} px tall, the list {rows:.0f} px", file=sys.stderr)
        self.assertLessEqual(rows, 100 * 60, "a row takes more than two short lines")

    def test_drops_anywhere_on_the_page(self):
        for name in ["folder/b.gba", "folder/a.gba", "folder/inner/c.gba"]:
            self.write(name, image_bytes(300, 1))
        os.makedirs(os.path.join(self.folder, "empty"))
        self.choose([SAMPLE])  # a run on the page, to drop on too
        points = self.driver.execute_script(
            "return ['h1', 'main > p', '#drop-zone', '.run'].map((selector) => {"
            "  const box = document.querySelector(selector).getBoundingClientRect();"
            "  return [selector, Math.round(box.left + 5), Math.round(box.top + 5)]; })") + [("the margin", 3, 3)]
        nothing = "Nothing to patch"
        cases = [(where, x, y, {"items": [], "files": [SAMPLE]}, ["sample.gba"]) for where, x, y in points] + [
            ("several", 30, 30, {"items": [], "files": [SAMPLE, os.path.join(self.folder, "folder/b.gba")]},
             ["sample.gba", "b.gba"]),
            ("a folder", 30, 30, {"items": [], "files": [os.path.join(self.folder, "folder")]},
             ["folder/a.gba", "folder/b.gba", "folder/inner/c.gba"]),
            ("an empty folder", 30, 30, {"items": [], "files": [os.path.join(self.folder, "empty")]}, []),
            ("text", 30, 30, {"items": [{"mimeType": "text/plain", "data": "sample.gba"}]}, []),
        ]
        for where, x, y, data, names in cases:
            with self.subTest(where=where):
                self.drag(x, y, data, drop=False)
                self.assertEqual(self.driver.execute_script(
                    "return getComputedStyle(document.body).outlineStyle"), "dashed", "the page shows no drop")
                runs = self.taken(lambda: self.drag(x, y, data))  # noqa: B023
                self.assertEqual([run["folder"] + run["name"] for run in runs], names)
                self.assertTrue(self.message().startswith(f"{len(names)} image" if names else nothing))
                self.assertEqual(self.driver.current_url, self.url)
        self.assertEqual(os.listdir(self.downloads), [], "the browser saved a dropped file")

    def test_files_that_cannot_be_saved(self):
        # A file the browser has looked at, then removed: its run cannot read it.
        gone = self.write("gone.gba", image_bytes(4096, 2))
        self.driver.execute_script("const stash = document.createElement('input');"
                                   "stash.type = 'file'; stash.id = 'stash'; document.body.append(stash);")
        self.driver.find_element(By.ID, "stash").send_keys(gone)
        self.driver.execute_script("document.getElementById('stash').files[0].size;")
        os.remove(gone)
        [run] = self.taken(lambda: self.driver.execute_script(
            "const files = new DataTransfer(); files.items.add(document.getElementById('stash').files[0]);"
            "document.body.dispatchEvent(new DragEvent('drop', {dataTransfer: files, bubbles: true, cancelable: true}));"))
        self.assertEqual(run["transcript"], error_opening("gone.gba") + "\n")
        self.assertIsNone(run["downloads"])
        self.assertEqual(self.message(), "0 images patched. 1 could not be read.")

        # A file changed after its files were offered: the run says so when its image is asked for.
        changed = self.write("changed.gba", image_bytes(4096, 3))
        self.choose([changed])
        with open(changed, "ab") as image:
            image.write(b"more")
        self.driver.find_element(By.CSS_SELECTOR, ".image-download").click()
        wait_for(lambda: self.driver.execute_script(RUNS)[0]["downloads"] is None, "the files withdrawn")
        self.assertIn("changed.gba was moved or changed", self.driver.execute_script(RUNS)[0]["warning"])

    def test_layout_on_phones_and_desktops(self):
        paths = [self.write(("N" * length)[:length - 4] + ".gba", image_bytes(1024, length)) for length in [8, 60, 200]]
        paths.append(self.write("notes.txt", b"notes"))
        for width in [320, 375, 1280]:
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
                        self.driver.execute_script("document.querySelector('.run details').open = true")
                        outside = self.driver.execute_script(
                            "return [...document.querySelectorAll('.button, button')].filter((button) => {"
                            "  const box = button.getBoundingClientRect();"
                            "  return box.left < 0 || box.right > document.documentElement.clientWidth; }).length")
                        self.assertEqual(outside, 0, "a button runs past the screen")
                        overflow = self.driver.execute_script(
                            "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
                        self.assertLessEqual(overflow, 0, "the page scrolls sideways")
                        if text == "100%" and width < 1280:
                            self.driver.save_screenshot(os.path.join(WEB, f"screenshot-{width}-{scheme}.png"))
                        errors = [entry for entry in self.driver.get_log("browser") if entry["level"] == "SEVERE"]
                        self.assertEqual(errors, [])

    def test_from_disk_and_without_webassembly(self):
        self.driver.get("file://" + os.path.join(WEB, "index.html"))
        zipped_image = image_bytes(3000, 5)
        runs = self.choose([SAMPLE, self.write("packed.zip", zipped([("zipped.gba", zipped_image)]))])
        self.assert_runs_match_the_console_program(
            [("sample.gba", SAMPLE_BYTES, "sample.gba"), ("zipped.gba", zipped_image, "zipped.gba")], runs)
        # A folder dropped there with a file: the browser will not give the folder, but the file stays.
        self.write("dropped/a.gba", image_bytes(1024, 1))
        runs = self.drop([os.path.join(self.folder, "dropped"), SAMPLE])
        self.assertEqual([run["name"] for run in runs], ["sample.gba"])
        self.assertIn("does not let a page opened from disk read a dropped folder (dropped)", self.message())

        script = self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                             {"source": "delete globalThis.WebAssembly"})
        self.addCleanup(self.driver.execute_cdp_cmd, "Page.removeScriptToEvaluateOnNewDocument", script)
        self.driver.get(self.url)
        wait_for(lambda: "cannot run WebAssembly" in self.message(), "the failure")
        self.drag(30, 30, {"items": [], "files": [SAMPLE]})
        time.sleep(0.5)  # a run, if one were made, is shown at once
        self.assertEqual(self.driver.execute_script("return document.querySelectorAll('#runs a[href]').length"), 0)
        self.assertIn("cannot run WebAssembly", self.message())

    def test_from_the_cache_after_one_visit(self):
        server = serve(WEB)
        port = server.server_port
        self.driver.get(f"http://127.0.0.1:{port}/")
        self.driver.execute_async_script("navigator.serviceWorker.ready.then(() => arguments[0]())")
        server.shutdown()
        server.server_close()
        shown, _ = self.console_program("sample.gba", SAMPLE_BYTES)
        # A server that takes the connection and never answers, as behind a captive portal; then none.
        silent = socket.create_server(("127.0.0.1", port))
        self.driver.set_page_load_timeout(30)  # the page would wait past it for that server
        self.addCleanup(self.driver.set_page_load_timeout, 300)
        for url in [f"http://127.0.0.1:{port}/", f"http://127.0.0.1:{port}/index.html?x=1"]:
            for answer in ["never", "no server"]:
                with self.subTest(url=url, answer=answer):
                    if answer == "no server":
                        silent.close()
                    self.driver.get(url)
                    self.assertEqual(self.choose([SAMPLE])[0]["transcript"], shown)
            silent = socket.create_server(("127.0.0.1", port))
        silent.close()

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
