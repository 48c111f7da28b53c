#!/usr/bin/env python3
"""catweb's page in a real headless Chromium, as a person uses it.

Indexes the catalogues web_test_catalogues writes (one with markup, script and control
characters in its names and descriptions, and a right-to-left override in its file name) and
a sample, starts catweb on a free port of 127.0.0.1, then: types a query and sees the results
(the query in the URL, the same results after a reload), reaches a result with Tab and opens
its disk with Enter, walks the folders through the breadcrumbs and the picture of sizes,
lists the disks with their state, reads the page at a phone's width, and checks all along that
every hostile name shows as text and that no script of theirs ran (no alert, window.__xss
unset, no element made from a name).

    browser_test.py --build BUILD_DIR --samples SAMPLES_DIR [--screenshot PNG]

BUILD_DIR holds catweb, catindex, the modules and web_test_catalogues. Needs chromium,
chromedriver (chromium-driver) and python3-selenium.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

MARKUP_FOLDER = "<img src=x onerror=alert(1)>"
SCRIPT_FILE = '<svg onload="window.__xss=1">.txt'
SCRIPT_DESCRIPTION = "<script>window.__xss=2</script>"

checks = 0
failures = 0


def check(condition, what):
    global checks, failures
    checks += 1
    if not condition:
        failures += 1
        print(f"FAILED: {what}")
    return condition


def start_catweb(build, database, work):
    err_path = os.path.join(work, "catweb.err")
    err = open(err_path, "wb")
    server = subprocess.Popen(
        [os.path.join(build, "catweb"), "--db", database, "--listen", "127.0.0.1:0"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with open(err_path, "rb") as said:
            found = re.search(rb"at http://127\.0\.0\.1:(\d+)/", said.read())
        if found:
            return server, int(found.group(1))
        if server.poll() is not None:
            break
        time.sleep(0.05)
    server.kill()
    with open(err_path, "rb") as said:
        sys.exit("browser_test: catweb did not start: " + said.read().decode(errors="replace"))


def browser(work):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1100,760",
                     f"--user-data-dir={os.path.join(work, 'profile')}"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(shutil.which("chromedriver") or "/usr/bin/chromedriver")
    driver = webdriver.Chrome(service=service, options=options)
    # Before any script of the page: an alert() anywhere records itself instead of blocking.
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {
        "source": "window.alert = () => { window.__alerted = true; };"})
    return driver


def wait_for(driver, condition, what, seconds=10):
    try:
        return WebDriverWait(driver, seconds).until(lambda _: condition())
    except TimeoutException:
        check(False, f"timed out waiting for {what}")
        return None


def texts(driver, selector):
    # Read in one step: the page may render the list again meanwhile.
    return driver.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map((e) => e.innerText)", selector)


def no_script_ran(driver, where):
    try:
        driver.switch_to.alert
        check(False, f"{where}: an alert is open")
    except NoAlertPresentException:
        pass
    state = driver.execute_script(
        "return [typeof window.__xss, Boolean(window.__alerted),"
        " document.querySelectorAll('main img, main svg, main script, main iframe, main b').length]")
    check(state == ["undefined", False, 0], f"{where}: a name's script ran or made elements: {state}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--samples", required=True)
    parser.add_argument("--screenshot")
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    work = tempfile.mkdtemp(prefix="catweb_browser_")
    server = driver = None
    try:
        cats = os.path.join(work, "cats")
        os.mkdir(cats)
        subprocess.run([os.path.join(build, "web_test_catalogues"), cats], check=True)
        shutil.copy(os.path.join(args.samples, "photos.mur"), cats)
        database = os.path.join(work, "index.sqlite")
        # 1: the damaged catalogue is reported; every catalogue is indexed.
        indexed = subprocess.run([os.path.join(build, "catindex"), "--db", database, cats],
                                 stderr=subprocess.DEVNULL)
        check(indexed.returncode == 1, f"catindex exit status {indexed.returncode}")
        server, port = start_catweb(build, database, work)
        base = f"http://127.0.0.1:{port}"
        driver = browser(work)

        # Search as you type; the query goes into the URL.
        driver.get(base + "/")
        box = driver.find_element(By.ID, "q")
        check(driver.switch_to.active_element == box, "the search box has the focus")
        box.send_keys("onerror")
        # The folder, the two files in it, and whatever else the disk's own name makes match.
        wait_for(driver, lambda: len(texts(driver, "#results tbody tr")) >= 3, "the results")
        paths = texts(driver, "#results td.path")
        check(MARKUP_FOLDER in paths, f"the folder's name shows as text: {paths}")
        check(f"{MARKUP_FOLDER}\\{SCRIPT_FILE}" in paths, f"the file's path shows as text: {paths}")
        descriptions = texts(driver, "#results td.description")
        check(SCRIPT_DESCRIPTION in descriptions, f"the description shows as text: {descriptions}")
        wait_for(driver, lambda: driver.current_url.endswith("/?q=onerror"), "the query in the URL")
        no_script_ran(driver, "search")

        # A filter narrows; a reload shows the same search.
        driver.find_element(By.CSS_SELECTOR, "#filters summary").click()
        driver.find_element(By.ID, "f-type").send_keys("files")
        wait_for(driver, lambda: "type=f" in driver.current_url, "the filter in the URL")
        wait_for(driver, lambda: MARKUP_FOLDER not in texts(driver, "#results td.path"),
                 "files only")
        files = texts(driver, "#results td.path")
        check(f"{MARKUP_FOLDER}\\{SCRIPT_FILE}" in files, f"the files: {files}")
        driver.refresh()
        wait_for(driver, lambda: texts(driver, "#results td.path") == files, "the same files again")
        check(driver.find_element(By.ID, "q").get_attribute("value") == "onerror",
              "the box holds the query after a reload")

        # Tab from the box reaches the first result's disk; Enter opens it.
        box = driver.find_element(By.ID, "q")
        box.click()
        reached = None
        for _ in range(20):
            driver.switch_to.active_element.send_keys(Keys.TAB)
            active = driver.switch_to.active_element
            if driver.execute_script("return arguments[0].closest('#results') !== null", active):
                reached = active
                break
        if check(reached is not None, "Tab reaches the results"):
            reached.send_keys(Keys.ENTER)
        wait_for(driver, lambda: "disk=" in driver.current_url, "the disk opened")
        wait_for(driver, lambda: len(texts(driver, "#children tbody tr")) == 3, "the disk's root")
        heading = driver.find_element(By.ID, "disk-heading")
        check(texts(driver, "#disk-heading .control") == ["U+202E", "U+001B"],
              "the override and the escape in the disk's name show as marked codes")
        check("\u202e" not in heading.text and "\x1b" not in heading.text,
              "no control character reaches the heading")
        check(heading.text.endswith("U+001B[7m" + MARKUP_FOLDER + ".mur"),
              f"the markup shows as text: {heading.text!r}")
        check(len(driver.find_elements(By.CSS_SELECTOR, "#treemap .block")) >= 2,
              "the picture of sizes has blocks")
        no_script_ran(driver, "disk")

        # Into the hostile folder through its block in the picture, out through the crumbs.
        folders = [block for block in driver.find_elements(By.CSS_SELECTOR, "#treemap a.block")
                   if block.get_attribute("title").startswith(MARKUP_FOLDER + ":")]
        if check(len(folders) == 1, "the folder has a block of its own"):
            folders[0].click()
        wait_for(driver, lambda: len(texts(driver, "#crumbs li")) == 2, "two crumbs")
        names = texts(driver, "#children td.name")
        check(SCRIPT_FILE in names, f"the file's name shows as text: {names}")
        check("\u2190[31mred\u2022 bell" in names, f"control bytes show as glyphs: {names}")
        check(SCRIPT_DESCRIPTION in texts(driver, "#children td.description"),
              "the description shows as text")
        no_script_ran(driver, "folder")
        driver.back()
        wait_for(driver, lambda: len(texts(driver, "#crumbs li")) == 1, "back at the root")

        # The disks, with the damaged one marked.
        driver.find_element(By.ID, "nav-disks").click()
        wait_for(driver, lambda: len(texts(driver, "#disks tbody tr")) == 4, "4 disks")
        states = texts(driver, "#disks .badge")
        check(states.count("complete") == 3 and "damaged" in states, f"the disks' states: {states}")
        no_script_ran(driver, "disks")

        # A phone's width: each row a card.
        driver.set_window_size(390, 800)
        display = driver.execute_script(
            "return getComputedStyle(document.querySelector('#disks tbody td')).display")
        check(display == "block", f"rows become cards on a phone ({display})")
        driver.set_window_size(1100, 760)

        # Nothing the page did broke its own rules (a refused inline script, a failed load).
        problems = [entry["message"] for entry in driver.get_log("browser")
                    if entry["level"] == "SEVERE"]
        check(not problems, f"the console reports {problems}")

        if args.screenshot:
            photos = driver.find_element(By.XPATH, "//table[@id='disks']//a[.='photos.mur']")
            photos.click()
            wait_for(driver, lambda: len(texts(driver, "#children tbody tr")) == 4, "photos.mur")
            driver.find_element(By.CSS_SELECTOR, "#children td.folder a").click()
            wait_for(driver, lambda: len(texts(driver, "#crumbs li")) == 2, "a folder of photos")
            driver.execute_script("document.activeElement.blur()")
            time.sleep(0.3)
            driver.save_screenshot(args.screenshot)
            check(open(args.screenshot, "rb").read(8) == b"\x89PNG\r\n\x1a\n", "a PNG screenshot")
    finally:
        if driver:
            driver.quit()
        if server:
            server.send_signal(signal.SIGTERM)
            try:
                status = server.wait(10)
            except subprocess.TimeoutExpired:
                server.kill()
                status = -1
            check(status == 0, f"catweb stops with status 0 on SIGTERM ({status})")
        shutil.rmtree(work, ignore_errors=True)

    print(f"browser_test: {checks - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
