#!/usr/bin/python3
"""Prints the seconds from opening PAGE#scenario=NAME in headless Chromium,
NAME the first scenario that did not pass, until its scenario view is on
screen.   page_open.py PAGE.html"""
import json
import re
import sys
import time
import urllib.parse

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def first_failed(page):
    with open(page, encoding="utf-8") as handle:
        text = handle.read()
    block = re.search(r'<script type="application/json" id="zv-data">(.*?)</script>', text, re.S).group(1)
    rows = json.loads(block)["scenarios"]
    return next(row[0] for row in rows if row[3] != 0)


def main():
    page = sys.argv[1]
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,1000"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        url = f"file://{page}#scenario={urllib.parse.quote(first_failed(page))}"
        start = time.monotonic()
        driver.get(url)
        WebDriverWait(driver, 120, poll_frequency=0.05).until(
            lambda d: d.find_element(By.CSS_SELECTOR, "#scenario-view article").is_displayed())
        print(f"{time.monotonic() - start:.2f}")
    finally:
        driver.quit()


main()
