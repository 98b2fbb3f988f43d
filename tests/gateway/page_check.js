// Drives the operator's page in headless chromium as an operator would:
//   node page_check.js URL SCREENSHOT MAC_A MAC_B POINT_ID FIRST LAST GBK_NAME
//                      MAC_BIG BIG_POINTS TOKEN MAC_BUSY PHONE_SCREENSHOT
// Station A, opened with a double click, shows its point POINT_ID as FIRST,
// then (once this has said "seen the first value") LAST without a reload;
// the GBK name shows as its characters; the filter narrows the rows; all
// BIG_POINTS of MAC_BIG are listed and the filter finds the last. Station
// A's key is held, B's not: a write without TOKEN is refused, one with it
// says "delivered" once it is. The site file names B "Boiler house" and
// gives POINT_ID its unit and description. Once this has said "alarms
// please", B sends an alarm event and L beyond its high limit: both show
// in the alarm list and the header while A is open; acknowledging needs
// the token; once this has said "return please", L is back within its
// limits and its alarm shows returned. POINT_ID's chart, opened by a
// click on its sparkline, shows FIRST and LAST as its min and max, with
// times; a reload opens the same station, filter and chart from the
// address; the CSV export equals the JSON points. Tab reaches a station
// row and Enter opens it; at 390 x 844 (PHONE_SCREENSHOT) no text is
// under 12 px and nothing is wider than the screen. B opened while its points cannot be read
// says so under its own title, with no rows. Once this has said "flood
// please", MAC_BUSY changes every few milliseconds: clicks and long presses
// on its rows land, a selection stays, and its 900-character event stays
// in its column; then this says "flood over". Once this has said "ready
// for the drop N" (N the gateway's last change), the page shows the
// gateway gone and everything stale; once the new gateway has more than N
// changes, the page, its stream let through again, holds the new
// gateway's stations only, and the new station, once offline, shows its
// points greyed with their age; beside five more tabs, out of sight,
// another loads. No script error anywhere. Exits non-zero
// with the step that failed.
"use strict";
const { chromium } = require("playwright-core");

const [url, screenshot, macA, macB, pointId, first, last, gbkName, macBig,
       bigPoints, token, macBusy, phoneScreenshot] = process.argv.slice(2);

// Node loses what waits for a pipe when it exits at once: a failure is
// thrown up to the end instead.
async function step(name, body) {
  try {
    return await body();
  } catch (error) {
    const seen = await page.evaluate(() =>
      document.getElementById("link").textContent + "; " +
      document.querySelector("#stations tbody").innerText.replace(/\s+/g, " ") +
      "; " + document.getElementById("stationTitle").textContent + " " +
      document.getElementById("stationNote").textContent + "; " +
      document.getElementById("shown").textContent).catch(() => "");
    throw new Error(name + ": " + error.message.split("\n")[0] + "\n  page: " + seen);
  }
}
// How long one step may take before it counts as failed: a guard against a
// page that never gets there, long enough for a machine busy with other
// builds and sanitizers, since a passing step takes what it takes.
const patience = 60000;
const waitFor = (name, test, arg, timeout = patience, polling = "raf") =>
  step(name, () => page.waitForFunction(test, arg, { timeout, polling }));

let browser;
let page;
const errors = [];
(async () => {
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    args: ["--no-sandbox"],
  });
  const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
  page = await context.newPage();
  page.on("pageerror", (error) => errors.push(error.stack || error.message));
  await step("page loads", () => page.goto(url));
  await step("both stations listed", () => Promise.all([
    page.waitForSelector(`tr[data-mac="${macA}"]`, { timeout: patience }),
    page.waitForSelector(`tr[data-mac="${macB}"]`, { timeout: patience })]));
  // Two opens of one station at once: the later wins, and stays live.
  await waitFor("the site file's names",
    (mac) => document.querySelector(`tr[data-mac="${mac}"] td:nth-child(2)`).textContent ===
             "Boiler houseYard, north", macB);
  await page.dblclick(`tr[data-mac="${macA}"]`);
  const value = `.row[data-id="${pointId}"] .value`;
  await waitFor("the host's value",
    ([selector, want]) => document.querySelector(selector)?.textContent === want,
    [value, first]);
  console.log("seen the first value");  // the test changes it now
  await waitFor("the changed value without a reload",
    ([selector, want]) => document.querySelector(selector)?.textContent === want,
    [value, last], patience);
  await waitFor("the point's unit and description from the site file",
    (selector) => document.querySelector(selector + " > span:nth-child(3)")?.textContent === "\u00B0C" &&
                  document.querySelector(selector + " .desc")?.textContent === "Tank temperature",
    `.row[data-id="${pointId}"]`);
  await waitFor("the GBK name as its characters",
    (name) => [...document.querySelectorAll(".row .name")].some((n) => n.textContent === name),
    gbkName, patience);
  await waitFor("the events, newest first",
    () => [...document.querySelectorAll("#events li")]
      .map((li) => li.textContent.slice(li.querySelector("time").textContent.length))
      .join(" / ") === "alarm | high / door | open", null);

  // Writes: commands are possible at A only; without the token, or with a
  // wrong one, the gateway refuses and counts; with it, A's host gets it.
  const commandsOf = (mac) => page.textContent(`tr[data-mac="${mac}"] td:last-child`);
  // A's events are alarms by the site file's rules.
  await waitFor("A's events in the alarm list", () =>
    [...document.querySelectorAll("#alarmTable tbody tr")].map((r) => r.children[2].textContent).sort().join()
      === "alarm|high,door|open", null);
  if ((await commandsOf(macA)) !== "yes" || (await commandsOf(macB)) !== "no")
    throw new Error("commands possible at A only");
  const bare = await page.evaluate(([station, point]) => fetch("/api/write", {
    method: "POST", headers: { "Content-Type": "application/json" },
    body: JSON.stringify({ station, point, value: "41", client: "bare" }),
  }).then((r) => r.status), [macA, pointId]);
  if (bare !== 403) throw new Error("a write without the token: " + bare);
  await page.click(`.row[data-id="${pointId}"] .name`);
  await page.fill("#writeValue", "42");
  await page.fill("#writeToken", token + "x");
  await page.click("#write button");
  await waitFor("a wrong token refused",
    () => document.querySelector("#writes li")?.textContent === "T = 42: refused (wrong token)",
    null, patience);
  const refused = await page.evaluate(() => fetch("/api/writes").then((r) => r.json()));
  if (refused.refused !== 2) throw new Error("refused writes counted: " + refused.refused);
  await page.fill("#writeToken", token);
  await page.click("#write button");
  await waitFor("the write delivered",
    () => document.querySelector("#writes li")?.textContent === "T = 42: delivered", null);
  console.log("delivered");  // the host may go now

  // Alarms of B while A is open: in the list and the header at once.
  console.log("alarms please");
  await waitFor("B's alarms listed and counted", (mac) => {
    const rows = [...document.querySelectorAll("#alarmTable tbody tr")];
    const l = rows.find((r) => r.dataset.station === mac && r.children[2].textContent === "L high");
    const e = rows.find((r) => r.dataset.station === mac && r.children[2].textContent === "alarm|pressure");
    return l && e && l.children[3].textContent === "major" && e.children[3].textContent === "critical" &&
      l.children[1].textContent === "Boiler house" && l.classList.contains("unacknowledged") &&
      document.getElementById("alarmCounts").textContent ===
        "2 critical1 major1 warning4 unacknowledged" &&
      document.title === "(4) Pelmora site" && document.getElementById("stationTitle").textContent.endsWith("0A");
  }, macB);
  const ackId = await page.getAttribute(`#alarmTable tr[data-station="${macB}"]:has(td:nth-child(3):text-is("alarm|pressure"))`, "data-id");
  const unauthorised = await page.evaluate((id) => fetch("/api/alarms/ack", {
    method: "POST", headers: { "Content-Type": "application/json" }, body: JSON.stringify({ id }),
  }).then((r) => r.status), ackId);
  if (unauthorised !== 403) throw new Error("an acknowledgement without the token: " + unauthorised);
  await page.selectOption("#alarmStation", macB);
  await page.selectOption("#alarmSeverity", "critical");
  await waitFor("the list filtered to B's critical alarm",
    (id) => [...document.querySelectorAll("#alarmTable tbody tr")].map((r) => r.dataset.id).join() === id, ackId);
  await page.fill("#alarmToken", token);
  await page.click(`#alarmTable tr[data-id="${ackId}"] button.ack`);
  await waitFor("an acknowledged event leaves the list",
    () => document.querySelectorAll("#alarmTable tbody tr").length === 0 && document.title === "(3) Pelmora site", null);
  const journal = await page.evaluate(() => fetch("/api/alarms/journal").then((r) => r.json()));
  const acked = journal.journal.find((j) => j.id === Number(ackId) && j.acknowledged_at);
  if (!acked || acked.acknowledged_by !== "127.0.0.1")
    throw new Error("the acknowledgement in the journal: " + JSON.stringify(journal.journal[0]));
  await page.selectOption("#alarmSeverity", "");
  console.log("return please");
  await waitFor("L's alarm returned to normal", (mac) =>
    [...document.querySelectorAll(`#alarmTable tbody tr[data-station="${mac}"]`)]
      .some((r) => r.children[2].textContent === "L high" && r.children[4].textContent === "returned"), macB);
  await page.selectOption("#alarmStation", "");

  // The chart of a point, opened by a click on its sparkline: the values
  // the host pushed, with times.
  await page.click(`.row[data-id="${pointId}"] .trend svg`);
  await waitFor("the chart with times, min and max", ([low, high]) => {
    const stats = document.getElementById("chartStats").dataset;
    const times = [...document.querySelectorAll("#chartSvg .tick-time")].map((t) => t.textContent);
    return stats.min === low && stats.max === high && times.length >= 2 &&
      times.every((t) => /^\d\d:\d\d(:\d\d)?$/.test(t));
  }, [first, last]);
  // The cursor by keyboard: the last change, then the one before.
  await page.focus("#chartSvg");
  const cursorAt = [];
  for (const key of ["ArrowLeft", "ArrowLeft"]) {
    await page.keyboard.press(key);
    cursorAt.push((await page.textContent("#chartCursor")).replace(/^.*: /, ""));
  }
  if (cursorAt.join() !== `${last} \u00B0C,${first} \u00B0C`)
    throw new Error("the chart's cursor read " + cursorAt.join());
  await page.screenshot({ path: screenshot });  // alarms, the station and a chart
  const history = await page.evaluate(([mac, id]) => Promise.all([
    fetch(`/api/stations/${mac}/points/${id}/trend`).then((r) => r.json()),
    fetch(`/api/stations/${mac}/points`).then((r) => r.json())]), [macA, pointId]);
  const lastSample = history[0].samples[history[0].samples.length - 1];
  const changedAt = new Date(history[1].points.find((p) => p.id === pointId).changed).getTime();
  if (history[0].samples.length !== 2 || lastSample[0] !== changedAt || String(lastSample[1]) !== last)
    throw new Error("the history: " + JSON.stringify(history[0].samples) + " changed at " + changedAt);

  // The export, as shown, equals the JSON.
  const [download] = await Promise.all([page.waitForEvent("download"), page.click("#exportPoints")]);
  const csv = require("fs").readFileSync(await download.path(), "utf8");
  if (!csv.startsWith("\uFEFF")) throw new Error("the CSV has no byte-order mark");
  // Every field quoted, a quote in one doubled.
  const csvRows = csv.slice(1).trim().split("\r\n").slice(1)
    .map((line) => [...line.matchAll(/"((?:[^"]|"")*)"(?:,|$)/g)].map((m) => m[1].replace(/""/g, '"')));
  const asShown = (p) => (p.decimals === undefined ? p.value : Number(p.value).toFixed(p.decimals));
  const fromJson = history[1].points.map((p) => [p.name, asShown(p), p.changes].join("|")).sort();
  const fromCsv = csvRows.map((r) => [r[0], r[2], Number(r[6])].join("|")).sort();
  if (fromCsv.join() !== fromJson.join()) throw new Error("CSV " + fromCsv + " vs JSON " + fromJson);

  // The address holds the view: a reload opens the same station, filter
  // and chart.
  await page.fill("#filter", "T");
  const address = await page.evaluate(() => location.href);
  if (!address.includes("station=" + macA) || !address.includes("point=" + pointId) ||
      !address.includes("filter=T"))
    throw new Error("the address: " + address);
  await page.reload();
  await waitFor("the same view after a reload", ([mac, id]) =>
    document.getElementById("stationTitle").textContent === "Station " + mac &&
    document.getElementById("filter").value === "T" && !document.getElementById("chart").hidden &&
    document.getElementById("chartStats").dataset.count === "2" &&
    document.querySelector(`.row[data-id="${id}"]`) !== null, [macA, pointId]);
  await page.fill("#filter", "");
  const all = await page.locator(".row").count();
  await page.fill("#filter", "p");
  const narrowed = await page.locator(".row").count();
  if (!(narrowed > 0 && narrowed < all))
    throw new Error(`the filter narrows the rows: ${all} then ${narrowed}`);

  // Names in natural order: digits by their number.
  const natural = await page.evaluate(() => [
    ["P10", "P2", "P1"], ["a2b10", "a2b9", "a10b1"], ["x007", "x7a", "x08"], ["温度2", "温度10", "温度"],
  ].map((names) => names.map((name) => ({ name, id: name })).sort(compareBy).map((p) => p.name).join()));
  if (natural.join(" / ") !== "P1,P2,P10 / a2b9,a2b10,a10b1 / x007,x7a,x08 / 温度,温度2,温度10")
    throw new Error("natural order: " + natural.join(" / "));

  // The keyboard: Tab reaches a station row, Enter opens it.
  await page.click("#chartClose");
  await page.focus("#alarmToken");
  let focused = "";
  for (let i = 0; i < 60 && !focused; i++) {
    await page.keyboard.press("Tab");
    focused = await page.evaluate(() => document.activeElement.dataset?.mac || "");
  }
  if (!focused) throw new Error("Tab never reached a station row");
  await page.keyboard.press("Enter");
  await waitFor("Enter opens the focused station",
    (mac) => document.getElementById("stationTitle").textContent === "Station " + mac, focused);

  // A phone: the page reads at 390 px, every text at least 12 px.
  const phone = await browser.newContext({ viewport: { width: 390, height: 844 }, isMobile: true,
                                           deviceScaleFactor: 2 });
  const small = await phone.newPage();
  small.on("pageerror", (error) => errors.push(error.message));
  await small.goto(url + "#station=" + macA);
  await small.waitForFunction((id) => document.querySelector(`.row[data-id="${id}"]`) !== null,
                              pointId, { timeout: patience });
  const fit = await small.evaluate(() => {
    const tiny = [...document.querySelectorAll("body *")].filter((e) =>
      e.offsetParent !== null && [...e.childNodes].some((n) => n.nodeType === 3 && n.textContent.trim()) &&
      parseFloat(getComputedStyle(e).fontSize) < 12).map((e) => e.tagName + " " + e.textContent.slice(0, 20));
    return { tiny, width: document.documentElement.scrollWidth, view: innerWidth };
  });
  await small.screenshot({ path: phoneScreenshot });
  if (fit.tiny.length || fit.width > fit.view) throw new Error("at 390 px: " + JSON.stringify(fit));
  await phone.close();

  // Many points: every one listed, read a page at a time, then a filter
  // that keeps a few, and one that finds the last.
  await page.fill("#filter", "");
  await page.click(`tr[data-mac="${macBig}"]`);
  await waitFor("the many points listed",
    (count) => document.getElementById("shown").textContent === `${count} of ${count} points`,
    bigPoints, patience);
  const unfiltered = await page.getAttribute("#timing", "data-ms");
  await page.fill("#filter", "9999");
  const shown = await page.textContent("#shown");
  const filtered = await page.getAttribute("#timing", "data-ms");
  const lastName = "N" + String(Number(bigPoints) - 1).padStart(6, "0");
  await page.fill("#filter", lastName);
  await waitFor("the last point found",
    (name) => [...document.querySelectorAll(".row .name")].map((n) => n.textContent).join() === name,
    lastName, patience);
  await page.fill("#filter", "");

  // The gateway fails while B opens: B's title, no rows of the station
  // before, and why.
  await page.route("**/points?*", (route) => route.abort());
  await page.click(`tr[data-mac="${macB}"]`);
  await waitFor("a failed open says so under its own title",
    (mac) => document.getElementById("stationTitle").textContent === "Station " + mac &&
             document.getElementById("stationNote").textContent.startsWith("could not be read") &&
             document.querySelectorAll(".row").length === 0,
    macB, patience);
  await page.unroute("**/points?*");

  // A station changing every few milliseconds: clicks and long presses
  // land, selected text stays selected, a long event stays in its column.
  console.log("flood please");
  await page.waitForSelector(`tr[data-mac="${macBusy}"]`, { timeout: patience });
  await page.click(`tr[data-mac="${macBusy}"]`);
  await page.waitForSelector('.row[data-id="503030"]', { timeout: patience });  // "P00"
  for (let i = 0; i < 30; i++) {
    const name = "P" + String(i % 10).padStart(2, "0");
    const row = `.row[data-id="${Buffer.from(name).toString("hex")}"] .name`;
    if (i % 3 === 0) {  // a long press
      await page.hover(row);
      await page.mouse.down();
      await page.waitForTimeout(300);
      await page.mouse.up();
    } else {
      await page.click(row);
    }
    const picked = await page.textContent("#writePoint");
    if (picked !== name) throw new Error(`click ${i} on ${name} picked ${picked}`);
  }
  // Selected text stays selected: a MAC while its station's row changes,
  // a point's name while its neighbours change.
  const select = (selector) => page.evaluate((where) => {
    getSelection().selectAllChildren(document.querySelector(where));
    return getSelection().toString();
  }, selector);
  const selected = () => page.evaluate(() => getSelection().toString());
  const seenCell = `tr[data-mac="${macBusy}"] td:nth-child(6)`;
  const seen = await page.textContent(seenCell);
  const mac = await select(`tr[data-mac="${macBusy}"] td`);
  await waitFor("the busy station's row changed",
    ([cell, was]) => document.querySelector(cell).textContent !== was, [seenCell, seen]);
  if (mac !== macBusy || (await selected()) !== mac)
    throw new Error(`the selected MAC ${mac} became ${await selected()}`);
  const changesOf = '.row[data-id="503030"] > span:nth-child(5)';
  const changes = Number(await page.textContent(changesOf));
  const name = await select('.row[data-id="503031"] .name');  // "P01"
  await waitFor("twenty more changes shown",
    ([cell, n]) => Number(document.querySelector(cell).textContent) >= n,
    [changesOf, changes + 20]);
  if (name !== "P01" || (await selected()) !== name)
    throw new Error(`the selected name ${name} became ${await selected()}`);
  await waitFor("the long event shown", () => [...document.querySelectorAll("#events li")]
    .some((li) => li.textContent.length > 900), null);
  const widths = await page.evaluate(() => ({
    page: document.documentElement.scrollWidth,
    view: window.innerWidth,
    points: document.getElementById("rowsBox").getBoundingClientRect().width,
  }));
  if (widths.page > widths.view || widths.points < 700)
    throw new Error("the long event widened the page: " + JSON.stringify(widths));
  console.log("flood over");

  // The gateway goes away: every value and status stale. A new one comes on
  // the same port with more changes than this page has seen; its stream is
  // held back until then, as a slow reconnection would be.
  await page.route("**/api/stream*", (route) => route.abort());
  const lastChange = await page.evaluate(() => fetch("/api/stations").then((r) => r.json()))
    .then((list) => list.last_change);
  console.log(`ready for the drop ${lastChange} `);
  await waitFor("disconnected and stale",
    () => document.getElementById("link").textContent.startsWith("disconnected") &&
          document.body.classList.contains("stale") &&
          getComputedStyle(document.querySelector("td.online, td.offline")).color === "rgb(138, 148, 158)",
    null);
  console.log("saw the drop");
  await waitFor("the new gateway busier than the last", (n) =>
    fetch("/api/stations").then((r) => r.json()).then((list) => list.last_change > n, () => false),
    lastChange, patience, 250);
  await page.unroute("**/api/stream*");
  await waitFor("live again with the new gateway's stations only",
    (mac) => document.getElementById("link").textContent === "live" &&
             [...document.querySelectorAll("#stations tbody tr")].map((r) => r.dataset.mac).join() === mac &&
             !document.body.classList.contains("stale"),
    "02-00-00-00-00-0E", patience);
  // Its last datagram came a while ago: offline, its points greyed, aged.
  await waitFor("the new station offline",
    () => document.querySelector("#stations tbody td:nth-child(4)").textContent === "offline",
    null, patience);
  await page.click('tr[data-mac="02-00-00-00-00-0E"]');
  await waitFor("an offline station's points greyed with their age",
    () => document.getElementById("rowsBox").classList.contains("old") &&
          / \(\d+ s ago\)$/.test(document.querySelector(".row > span:nth-child(4)")?.textContent) &&
          getComputedStyle(document.querySelector(".row")).color === "rgb(138, 148, 158)",
    null, patience);
  // One browser reaches one server over six connections at most, and each
  // tab's stream holds one: five more tabs fill them; once they are out of
  // sight (as tabs behind this one are), another tab still loads.
  const tabs = [];
  for (let i = 0; i < 5; i++) {
    const tab = await page.context().newPage();
    tab.on("pageerror", (error) => errors.push(error.message));
    await tab.goto(url);
    await tab.waitForFunction(() => document.getElementById("link").textContent === "live",
                              null, { timeout: patience });
    tabs.push(tab);
  }
  for (const tab of tabs) {
    await tab.evaluate(() => {
      Object.defineProperty(document, "hidden", { value: true });
      document.dispatchEvent(new Event("visibilitychange"));
    });
  }
  const another = await page.context().newPage();
  await step("another tab loads beside five out of sight", async () => {
    await another.goto(url, { timeout: patience });
    await another.waitForFunction(() => document.getElementById("link").textContent === "live",
                                  null, { timeout: patience });
  });
  if (errors.length) throw new Error("script errors: " + errors.join("; "));
  console.log(`rows drawn: ${all}, filtered: ${narrowed}`);
  console.log(`${bigPoints} points: all listed in ${unfiltered} ms, "9999" ` +
              `(${shown}) in ${filtered} ms`);
})().catch((error) => {
  console.log("FAILED: " + error.message);
  process.exitCode = 1;
}).finally(() => browser && browser.close());
