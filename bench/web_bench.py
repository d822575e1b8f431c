"""Measures the web page in headless Chromium and reads the page's JavaScript heap, to show
that it does not grow with the images:
- one image, from choosing it to both its files being offered, in the page's clock;
- a collection of 100: the page's height on a phone and a desktop;
- "Save all as one ZIP" for a collection: from the click to the ZIP saved, its size, the heap
  at its highest while the ZIP is made, and the ZIP read back whole (every file's CRC; ZIP64
  past 4 GiB).
Builds nothing: pass the page's build folder (make web).

Usage: /usr/bin/python3 bench/web_bench.py [build-web]
"""
import os
import sys
import tempfile
import threading
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import web_test  # noqa: E402  the tests' browser and server
from web_test import Page, image_bytes, wait_for  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402

SIZES = [(32 << 20, 10), (1 << 30, 10)]  # image size, runs
COLLECTIONS = [(100, 32 << 20), (5, 1 << 30)]  # images, each this size: 3.2 GiB, and 5 GiB (ZIP64)
# Times the page itself, from the file input's change to the files being offered, in the
# page's own clock: the browser driver's round trips would swamp a few milliseconds.
TIMER = """window.offered = new Promise((resolve) => {
  let start;
  document.addEventListener("change", () => { start = performance.now(); }, {capture: true});
  new MutationObserver(() => {
    if (document.querySelector(".run .files:not([hidden])")) resolve(performance.now() - start);
  }).observe(document.getElementById("runs"), {subtree: true, childList: true, attributes: true});
});"""


def heap(driver):
    metrics = driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
    return next(metric["value"] for metric in metrics if metric["name"] == "JSHeapUsedSize")


def collected_heap(driver):
    driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
    return heap(driver)


def sparse_images(folder, count, size):
    """Images of that size with a made-up header, the rest a hole: the page reads what it must."""
    paths = []
    for index in range(count):
        path = os.path.join(folder, f"Game {index:03}.gba")
        with open(path, "wb") as image:
            image.write(image_bytes(512, index))
            image.truncate(size)
        paths.append(path)
    return paths


def one_image(driver, folder):
    print(f"{'image':>8} {'fastest ms':>11} {'heap before':>12} {'heap after':>11}")
    for size, runs in SIZES:
        [path] = sparse_images(folder, 1, size)
        times, heaps = [], []  # ms, and the heap before and after
        for _ in range(runs):
            driver.get(Page.url)
            wait_for(lambda: driver.execute_script("return document.readyState") == "complete", "the page")
            before = collected_heap(driver)
            driver.execute_script(TIMER)
            driver.find_element(By.ID, "image-input").send_keys(path)
            times.append(driver.execute_async_script("window.offered.then(arguments[0])"))
            heaps.append((before, collected_heap(driver)))
        before, after = max(heaps, key=lambda pair: pair[1])
        print(f"{size >> 20:>4} MiB {min(times):11.1f} {before / 1024:9.0f} KiB {after / 1024:8.0f} KiB")
        os.remove(path)


def heights(page, paths):
    print(f"\n{len(paths)} images, the page's height:")
    for width in [320, 375, 1280]:
        page.driver.set_window_size(width, 800)
        page.driver.get(Page.url)
        page.choose(paths)
        height = page.driver.execute_script("return document.documentElement.scrollHeight")
        print(f"{width:>5} px wide: {height:>6} px, {height / 800:4.1f} screens of 800 px")


def save_all(page, folder, count, size):
    driver = page.driver
    paths = sparse_images(folder, count, size)
    driver.set_window_size(1280, 800)
    driver.get(Page.url)
    page.choose(paths)
    before = collected_heap(driver)
    highest = [before]
    done = threading.Event()

    def watch():  # the heap at its highest while the ZIP is made, without collecting it
        while not done.wait(0.1):
            highest.append(heap(driver))
    watcher = threading.Thread(target=watch)
    watcher.start()
    start = time.monotonic()
    try:
        driver.find_element(By.ID, "save-as-zip").click()
        path = os.path.join(Page.downloads, "halvek.zip")
        wait_for(lambda: os.path.exists(path) and not any(entry.endswith(".crdownload")
                                                          for entry in os.listdir(Page.downloads)), "the ZIP", 1800)
        seconds = time.monotonic() - start
    finally:
        done.set()
        watcher.join()
    after = collected_heap(driver)
    with zipfile.ZipFile(path) as archive:
        entries = archive.infolist()
        whole = archive.testzip() is None and len(entries) == 2 * count and all(
            entry.file_size == (size if entry.filename.endswith(".bin") else 65536) for entry in entries)
    zip_size = os.path.getsize(path)
    os.remove(path)
    for image in paths:
        os.remove(image)
    print(f"{count:>4} x {size >> 20:>4} MiB {zip_size / (1 << 30):7.2f} GiB {seconds:7.1f} s "
          f"{before / 1024:9.0f} KiB {max(highest) / 1024:9.0f} KiB {after / 1024:9.0f} KiB  "
          f"{'read back whole' if whole else 'DAMAGED'}")


def main():
    Page.setUpClass()
    driver = Page.driver
    driver.execute_cdp_cmd("Performance.enable", {})
    page = Page("test_module_exports_only_what_the_page_needs")
    try:
        with tempfile.TemporaryDirectory(prefix="halvek-bench-") as folder:
            one_image(driver, folder)
            heights(page, sparse_images(folder, 100, 4096))
            print(f"\nSave all as one ZIP:\n{'collection':>16} {'ZIP':>11} {'time':>9} {'heap before':>12} "
                  f"{'highest':>12} {'after':>12}")
            for count, size in COLLECTIONS:
                save_all(page, folder, count, size)
    finally:
        Page.tearDownClass()


if __name__ == "__main__":
    web_test.WEB = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-web")
    main()
