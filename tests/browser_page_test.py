#!/usr/bin/python3
"""Drives the pages that zrmuml made in headless chromium: the example merge
(example/zrmrdd.html), the same once door_open_run2.rod went away
(missing/zrmrdd.html), its door_lock runs alone (passed/zrmrdd.html), a
generated merge of a few hundred files (generated/merged.html) and a -TIME
merge (time/zrmrdd.html).
    browser_page_test.py WORK
Saves page-overview.png, page-timeline-zoomed.png and page-scenario.png into
WORK, and into ZV_SCREENSHOT_DIR too when that is set."""
import os
import shutil
import sys
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.actions.wheel_input import ScrollOrigin
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

WORK = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else ".")
SCENARIO_VIEW = "#scenario-view article"
# Heights in a lane, from its top: the scenario band, the event band.
SCENARIO_BAND_Y = 9
EVENT_BAND_Y = 22


def start_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1400,1000", "--no-first-run", "--disable-background-networking"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.driver = start_browser()

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()

    def tearDown(self):
        self.assertEqual(self.driver.get_log("browser"), [], "the page wrote to the browser console")

    # --- helpers ---

    def open(self, page, fragment=""):
        self.driver.get("about:blank")
        self.driver.get(f"file://{WORK}/{page}{fragment}")
        self.wait_for("#timeline canvas.tl-lanes")

    def wait_for(self, css):
        return WebDriverWait(self.driver, 10).until(lambda d: d.find_element(By.CSS_SELECTOR, css))

    def wait_until(self, condition, message):
        WebDriverWait(self.driver, 10).until(lambda d: condition(), message)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def view_range(self):
        dataset = self.js("return document.getElementById('timeline').dataset")
        return int(dataset["t0"]), int(dataset["t1"])

    def rect(self, css):
        return self.js("const r = document.querySelector(arguments[0]).getBoundingClientRect();"
                       "return {x: r.x, y: r.y, w: r.width, h: r.height}", css)

    def x_of(self, time, canvas):
        t0, t1 = self.view_range()
        return int(canvas["x"] + (time - t0) / (t1 - t0) * canvas["w"])

    def pointer(self, *steps):
        actions = ActionBuilder(self.driver)
        for step, *where in steps:
            if step == "move":
                actions.pointer_action.move_to_location(*where)
            else:
                getattr(actions.pointer_action, step)()
        actions.perform()

    def zoom_axis_to(self, start, end):
        self.js("document.getElementById('timeline').scrollIntoView()")
        axis = self.rect("#timeline canvas.tl-axis")
        y = int(axis["y"] + axis["h"] / 2)
        self.pointer(("move", self.x_of(start, axis), y), ("pointer_down",),
                     ("move", self.x_of(end, axis), y), ("pointer_up",))

    def lane_point(self, time, file, band_y):
        lane = self.rect(f"#timeline .tl-lane[data-file='{file}']")
        return self.x_of(time, self.rect("#timeline canvas.tl-lanes")), int(lane["y"] + band_y)

    def tooltip_at(self, time, file, band_y):
        self.pointer(("move", *self.lane_point(time, file, band_y)))
        return self.driver.find_element(By.CSS_SELECTOR, ".tl-tip").text

    def table_names(self):
        # Read in one script: the table may be drawn again between finding
        # its rows and reading each one's text.
        return self.js("return [...document.querySelectorAll('#sc-table .vt-body .sc-link')]"
                       ".map(row => row.innerText)")

    def screenshot(self, name):
        path = os.path.join(WORK, name)
        self.driver.save_screenshot(path)
        if os.environ.get("ZV_SCREENSHOT_DIR"):
            shutil.copy(path, os.environ["ZV_SCREENSHOT_DIR"])

    def door_check(self, file):
        cell = self.driver.find_element(By.XPATH, f"//td[@data-file='{file}'][.//span[text()='door']]")
        return cell.find_element(By.XPATH, ".//span[text()='door']/following-sibling::span[1]")

    def assert_door_values(self):
        self.wait_for(SCENARIO_VIEW)
        self.assertEqual(self.wait_for("#sc-title").text, "SC_OPEN_02")
        failed, passed = self.door_check(2), self.door_check(1)
        self.assertEqual((failed.text, passed.text), ("OPEN", "SHUT"))
        self.assertIn("diff", failed.get_attribute("class"))
        self.assertIn("v-failed", self.driver.find_element(By.CSS_SELECTOR, "th[data-file='2']").get_attribute("class"))
        lifelines = [t.text for t in self.driver.find_elements(By.CSS_SELECTOR, "svg.seq .inst text")]
        self.assertEqual(lifelines, ["test bench", "CABIN_IO", "DOOR_CTRL"])
        self.assertIn("91,810 ms", self.sequence_times())
        Select(self.driver.find_element(By.ID, "seq-run")).select_by_index(1)
        self.assertIn("1,810 ms", self.sequence_times())

    def sequence_times(self):
        return [t.text for t in self.driver.find_elements(By.CSS_SELECTOR, "svg.seq text.time")]

    def coloured_lane_pixels(self):
        return self.js("""const c = document.querySelector('#timeline canvas.tl-lanes');
            const px = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
            let n = 0;
            for (let i = 0; i < px.length; i += 4) {
                const hi = Math.max(px[i], px[i + 1], px[i + 2]), lo = Math.min(px[i], px[i + 1], px[i + 2]);
                if (hi - lo > 60 || hi < 160) n++;
            }
            return n;""")

    # --- the example merge ---

    def test_example_timeline_opens_scenario(self):
        self.open("example/zrmrdd.html")
        self.assertEqual(self.driver.find_element(By.ID, "count-failed").text, "1 failed")
        self.assertEqual([e.get_attribute("data-scenario") for e in self.driver.find_elements(By.CSS_SELECTOR, "#attention .att-item")],
                         ["SC_OPEN_02"])
        self.screenshot("page-overview.png")

        self.zoom_axis_to(900, 2600)
        t0, t1 = self.view_range()
        self.assertTrue(800 <= t0 <= 1000 and 2500 <= t1 <= 2700, (t0, t1))
        self.screenshot("page-timeline-zoomed.png")

        self.pointer(("move", *self.lane_point(2050, 1, SCENARIO_BAND_Y)), ("click",))
        self.wait_for(SCENARIO_VIEW)
        self.screenshot("page-scenario.png")
        self.assert_door_values()

        self.driver.back()
        self.wait_until(lambda: not self.driver.find_elements(By.CSS_SELECTOR, SCENARIO_VIEW), "back did not leave the scenario")
        self.assertTrue(self.driver.find_element(By.ID, "timeline").is_displayed())
        self.assertEqual(self.view_range(), (t0, t1), "the timeline lost its zoom")

    def test_example_deep_links(self):
        self.open("example/zrmrdd.html", "#scenario=SC_OPEN_02")
        self.assert_door_values()
        self.driver.find_element(By.CSS_SELECTOR, "th[data-file='2'] a").click()
        highlighted = self.wait_for("#timeline .tl-lane.hl")
        self.assertEqual(highlighted.get_attribute("data-file"), "2")
        self.driver.back()
        self.wait_for(SCENARIO_VIEW)
        self.open("example/zrmrdd.html", "#scenario=NO_SUCH")
        self.assertIn("no scenario NO_SUCH", self.driver.find_element(By.CSS_SELECTOR, ".notice").text)

    def test_example_timeline_controls(self):
        self.open("example/zrmrdd.html")
        self.zoom_axis_to(900, 2600)
        tip = self.tooltip_at(2050, 1, SCENARIO_BAND_Y)
        self.assertIn("Scenario SC_OPEN_02 (failed)", tip)
        self.assertIn("RDD line 52", tip)
        tip = self.tooltip_at(1810, 1, EVENT_BAND_Y)
        self.assertIn("Event CAR_MOVING", tip)
        self.assertIn("RDD line 53", tip)

        t0, t1 = self.view_range()
        start = self.lane_point(1500, 1, SCENARIO_BAND_Y)
        self.pointer(("move", *start), ("pointer_down",), ("move", start[0] - 200, start[1]), ("pointer_up",))
        shift = self.view_range()[0] - t0
        self.assertAlmostEqual(shift, 200 * (t1 - t0) / self.rect("#timeline canvas.tl-lanes")["w"], delta=5)
        self.assertFalse(self.driver.find_elements(By.CSS_SELECTOR, SCENARIO_VIEW), "a drag opened a scenario")

        lanes = self.driver.find_element(By.CSS_SELECTOR, "#timeline .tl-scroll")
        t0, t1 = self.view_range()
        lanes.send_keys("+")
        self.assertLess(self.view_range()[1] - self.view_range()[0], (t1 - t0) * 0.7)
        lanes.send_keys("-")
        self.assertAlmostEqual(self.view_range()[1] - self.view_range()[0], t1 - t0, delta=2)
        lanes.send_keys(Keys.ARROW_LEFT)
        self.assertLess(self.view_range()[0], t0)

        group = self.driver.find_element(By.CSS_SELECTOR, "#timeline button.tl-group[data-group='0']")
        group.click()
        self.assertFalse(self.driver.find_elements(By.CSS_SELECTOR, "#timeline .tl-lane[data-file='1']"))
        group = self.driver.switch_to.active_element
        self.assertEqual(group.get_attribute("aria-expanded"), "false")
        group.send_keys(Keys.ENTER)
        self.wait_for("#timeline .tl-lane[data-file='1']")

    def test_example_zoom_and_table(self):
        self.open("example/zrmrdd.html")
        before = self.view_range()
        lanes = self.rect("#timeline canvas.tl-lanes")
        origin = ScrollOrigin.from_viewport(int(lanes["x"] + lanes["w"] / 2), int(lanes["y"] + 10))
        ActionChains(self.driver).scroll_from_origin(origin, 0, -400).perform()
        self.wait_until(lambda: self.view_range()[1] - self.view_range()[0] < (before[1] - before[0]) / 2,
                        "the wheel did not zoom in")
        self.driver.find_element(By.CSS_SELECTOR, "#timeline .tl-scroll").send_keys("0")
        self.assertEqual(self.view_range(), before, "0 did not reset the zoom")

        self.assertEqual(self.table_names(), ["SC_OPEN_01", "SC_OPEN_02", "SC_LOCK_01", "SC_LOCK_02"])
        self.driver.find_element(By.XPATH, "//div[@role='columnheader']/button[text()='Name']").click()
        self.assertEqual(self.table_names(), ["SC_LOCK_01", "SC_LOCK_02", "SC_OPEN_01", "SC_OPEN_02"])
        self.driver.find_element(By.XPATH, "//div[@role='columnheader']/button[text()='Verdict']").click()
        self.assertEqual(self.table_names()[0], "SC_OPEN_02")
        verdict = Select(self.driver.find_element(By.ID, "sc-verdict"))
        verdict.select_by_value("1")
        self.assertEqual(self.table_names(), ["SC_OPEN_02"])
        verdict.select_by_value("all")
        search = self.driver.find_element(By.ID, "sc-search")
        search.send_keys("floor level")
        self.wait_until(lambda: self.table_names() == ["SC_LOCK_02"], "searching a description")
        search.clear()
        search.send_keys("open_01")
        self.wait_until(lambda: self.table_names() == ["SC_OPEN_01"], "searching a name")
        self.driver.find_element(By.CSS_SELECTOR, "#sc-table .sc-link").click()
        self.assertEqual(self.wait_for("#sc-title").text, "SC_OPEN_01")
        self.driver.back()
        self.wait_until(lambda: self.table_names() == ["SC_OPEN_01"], "back did not return to the searched table")

    def test_run_without_its_rod_file(self):
        self.open("missing/zrmrdd.html")
        item = self.driver.find_element(By.CSS_SELECTOR, "#attention .att-item[data-scenario='SC_OPEN_02']")
        self.assertIn("#2 door_open_run2.rod not known ROD file missing", item.text)
        self.assertEqual(self.driver.find_element(By.CSS_SELECTOR, "#files tr[data-file='2'] td:last-child").text, "missing")
        item.find_element(By.CSS_SELECTOR, ".sc-link").click()
        run = self.wait_for("th[data-file='2']")
        self.assertIn("not known", run.text)
        self.assertIn("missing", run.text)

    def test_all_passed(self):
        self.open("passed/zrmrdd.html")
        self.assertEqual(self.driver.find_element(By.ID, "attention").text,
                         "Needs attention\nNothing to report: all 2 scenarios passed.")

    # --- a generated merge of a few hundred files ---

    def test_generated_merge(self):
        self.open("generated/merged.html")
        self.assertGreater(len(self.driver.find_elements(By.CSS_SELECTOR, "#timeline .tl-lane")), 10)
        files = self.driver.find_element(By.ID, "files")
        self.assertIsNone(files.get_attribute("open"), "300 files are listed open")
        files.find_element(By.TAG_NAME, "summary").click()
        self.wait_until(lambda: len(files.find_elements(By.CSS_SELECTOR, "tbody tr")) == 300, "the files list")
        self.wait_until(lambda: self.coloured_lane_pixels() > 2000, "the overview drew no densities")
        self.js("document.getElementById('timeline').scrollIntoView()")
        binned = self.js("""const view = document.querySelector('#timeline .tl-scroll').getBoundingClientRect();
            return [...document.querySelectorAll('#timeline .tl-lane.binned')].find(lane => {
                const r = lane.getBoundingClientRect();
                return r.top >= view.top && r.bottom <= view.bottom; }).dataset.file""")
        t0, t1 = self.view_range()
        self.assertIn("finer detail is not in the page", self.tooltip_at((t0 + t1) / 2, binned, SCENARIO_BAND_Y))
        link = self.driver.find_element(By.CSS_SELECTOR, "#attention .sc-link")
        name, fragment = link.text, link.get_attribute("href").split("#", 1)[1]
        self.open("generated/merged.html", "#" + fragment)
        self.assertEqual(self.wait_for("#sc-title").text.split(" key ")[0], name)
        columns = len(self.driver.find_elements(By.CSS_SELECTOR, "table.runs th"))
        self.assertGreater(columns, 1)
        self.driver.find_element(By.CSS_SELECTOR, ".sc-runs button.more").click()
        self.assertGreater(len(self.driver.find_elements(By.CSS_SELECTOR, "table.runs th")), columns)

    # --- a -TIME merge ---

    def test_time_report(self):
        self.open("time/zrmrdd.html")
        times = [int(cell.text.split()[0].replace(",", "")) for cell in
                 self.driver.find_elements(By.CSS_SELECTOR, "#items-table .vt-body .vt-row .vt-cell:first-child")
                 if cell.text]
        self.assertGreater(len(times), 5)
        self.assertEqual(times, sorted(times))
        self.assertFalse(self.driver.find_elements(By.CSS_SELECTOR, "#attention, #scenarios"))
        for panel in self.driver.find_elements(By.CSS_SELECTOR, "#overview > .panel"):
            title = panel.find_element(By.CSS_SELECTOR, "h2").text
            self.assertGreater(len(panel.text), len(title), f"section {title} is empty")


if __name__ == "__main__":
    unittest.main(verbosity=2)
