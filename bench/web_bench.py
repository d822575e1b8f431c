"""Times the web page in headless Chromium, from choosing an image to both downloads being
offered, in the page's clock, and reads the page's JavaScript heap before and after, to show that it does not grow
with the image. Builds nothing: pass the page's build folder (make web).

Usage: /usr/bin/python3 bench/web_bench.py [build-web]
"""
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
import web_test  # noqa: E402  the tests' browser and server
from web_test import Page, wait_for  # noqa: E402

from selenium.webdriver.common.by import By  # noqa: E402

SIZES = [(32 << 20, 10), (1 << 30, 10)]  # image size, runs
# Times the page itself, from the file input's change to the downloads being shown, in the
# page's own clock: the browser driver's round trips would swamp a few milliseconds.
TIMER = """window.offered = new Promise((resolve) => {
  let start;
  document.addEventListener("change", () => { start = performance.now(); }, {capture: true});
  new MutationObserver(() => {
    if (document.querySelector(".run .result:not([hidden])")) resolve(performance.now() - start);
  }).observe(document.getElementById("runs"), {subtree: true, childList: true, attributes: true});
});"""


def heap(driver):
    metrics = driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
    return next(metric["value"] for metric in metrics if metric["name"] == "JSHeapUsedSize")


def main():
    Page.setUpClass()
    driver = Page.driver
    driver.execute_cdp_cmd("Performance.enable", {})
    print(f"{'image':>8} {'fastest ms':>11} {'heap before':>12} {'heap after':>11}")
    try:
        with tempfile.TemporaryDirectory(prefix="halvek-bench-") as folder:
            for size, runs in SIZES:
                path = os.path.join(folder, "rom.gba")
                with open(path, "wb") as image:
                    image.truncate(size)  # the page reads only the header; the rest stays on disk
                times, heaps = [], []  # ms, and the heap before and after
                for _ in range(runs):
                    driver.get(Page.url)
                    wait_for(lambda: driver.execute_script("return document.readyState") == "complete", "the page")
                    driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
                    before = heap(driver)
                    driver.execute_script(TIMER)
                    driver.find_element(By.ID, "image-input").send_keys(path)
                    times.append(driver.execute_async_script("window.offered.then(arguments[0])"))
                    driver.execute_cdp_cmd("HeapProfiler.collectGarbage", {})
                    heaps.append((before, heap(driver)))
                before, after = max(heaps, key=lambda pair: pair[1])
                print(f"{size >> 20:>4} MiB {min(times):11.1f} {before / 1024:9.0f} KiB {after / 1024:8.0f} KiB")
    finally:
        Page.tearDownClass()


if __name__ == "__main__":
    web_test.WEB = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-web")
    main()
