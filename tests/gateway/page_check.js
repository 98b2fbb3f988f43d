// Drives the operator's page in headless chromium as an operator would:
//   node page_check.js URL SCREENSHOT MAC_A MAC_B POINT_ID FIRST LAST GBK_NAME
//                      MAC_BIG TOKEN
// Station A's point POINT_ID shows FIRST, then (once this has said "seen
// the first value") LAST without a reload; the
// GBK name shows as its characters; the filter narrows the rows; at
// MAC_BIG's many points the filter's time is printed; once this has said
// "ready for the drop" the page shows the gateway gone, and once it has said
// "saw the drop", live again with a new gateway's state. Station A's key is
// held, B's not: a write without TOKEN is refused, one with it says
// "delivered" once it is. Exits non-zero
// with the step that failed.
"use strict";
const { chromium } = require("playwright-core");

const [url, screenshot, macA, macB, pointId, first, last, gbkName, macBig,
       token] = process.argv.slice(2);

// How long one step may take before it counts as failed: a guard against a
// page that never gets there, long enough for a machine busy with other
// builds and sanitizers, since a passing step takes what it takes.
const patience = 60000;

// Node loses what waits for a pipe when it exits at once: a failure is
// thrown up to the end instead.
async function step(name, body) {
  try {
    return await body();
  } catch (error) {
    const seen = await page.evaluate(() =>
      document.getElementById("link").textContent + "; " +
      document.querySelector("#stations tbody").innerText.replace(/\s+/g, " ") +
      "; " + document.getElementById("shown").textContent).catch(() => "");
    throw new Error(name + ": " + error.message.split("\n")[0] + "\n  page: " + seen);
  }
}

let browser;
let page;
(async () => {
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    args: ["--no-sandbox"],
  });
  page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  await step("page loads", () => page.goto(url));
  await step("both stations listed", () => Promise.all([
    page.waitForSelector(`tr[data-mac="${macA}"]`, { timeout: patience }),
    page.waitForSelector(`tr[data-mac="${macB}"]`, { timeout: patience })]));
  await page.click(`tr[data-mac="${macA}"]`);
  const value = `.row[data-id="${pointId}"] .value`;
  await step("the host's value", () => page.waitForFunction(
    ([selector, want]) => document.querySelector(selector)?.textContent === want,
    [value, first], { timeout: patience }));
  console.log("seen the first value");  // the test changes it now
  await step("the changed value without a reload", () => page.waitForFunction(
    ([selector, want]) => document.querySelector(selector)?.textContent === want,
    [value, last], { timeout: patience }));
  await step("the GBK name as its characters", () => page.waitForFunction(
    (name) => [...document.querySelectorAll(".row .name")].some((n) => n.textContent === name),
    gbkName, { timeout: patience }));
  await step("the events, newest first", () => page.waitForFunction(
    () => [...document.querySelectorAll("#events li")]
      .map((li) => li.textContent.slice(li.querySelector("time").textContent.length))
      .join(" / ") === "alarm | high / door | open",
    null, { timeout: patience }));

  // Writes: commands are possible at A only; without the token, or with a
  // wrong one, the gateway refuses and counts; with it, A's host gets it.
  const commandsOf = (mac) => page.textContent(`tr[data-mac="${mac}"] td:last-child`);
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
  await step("a wrong token refused", () => page.waitForFunction(
    () => document.querySelector("#writes li")?.textContent === "T = 42: refused (wrong token)",
    null, { timeout: patience }));
  const refused = await page.evaluate(() => fetch("/api/writes").then((r) => r.json()));
  if (refused.refused !== 2) throw new Error("refused writes counted: " + refused.refused);
  await page.fill("#writeToken", token);
  await page.click("#write button");
  await step("the write delivered", () => page.waitForFunction(
    () => document.querySelector("#writes li")?.textContent === "T = 42: delivered",
    null, { timeout: patience }));
  console.log("delivered");  // the host may go now
  await page.screenshot({ path: screenshot });
  const all = await page.locator(".row").count();
  await page.fill("#filter", "p");
  const narrowed = await page.locator(".row").count();
  if (!(narrowed > 0 && narrowed < all))
    throw new Error(`the filter narrows the rows: ${all} then ${narrowed}`);

  // Many points: every one listed, then a filter that keeps a few.
  await page.fill("#filter", "");
  await page.click(`tr[data-mac="${macBig}"]`);
  await step("the many points listed", () => page.waitForFunction(
    () => /^(\d+) of \1 points$/.test(document.getElementById("shown").textContent) &&
          Number(document.getElementById("shown").textContent.split(" ")[0]) >= 100000,
    null, { timeout: patience }));
  const unfiltered = await page.getAttribute("#timing", "data-ms");
  await page.fill("#filter", "9999");
  const shown = await page.textContent("#shown");
  const filtered = await page.getAttribute("#timing", "data-ms");
  // The gateway goes away and a new one comes on the same port: the page
  // says so, comes back by itself and reads the new one's state.
  console.log("ready for the drop");
  await step("disconnected shown", () => page.waitForFunction(
    () => document.getElementById("link").textContent.startsWith("disconnected"),
    null, { timeout: patience }));
  console.log("saw the drop");
  await step("live again with the new gateway's state", () => page.waitForFunction(
    () => document.getElementById("link").textContent === "live" &&
          document.getElementById("summary").textContent === "0 stations",
    null, { timeout: patience }));
  console.log(`rows drawn: ${all}, filtered: ${narrowed}`);
  console.log(`100000 points: all listed in ${unfiltered} ms, "9999" ` +
              `(${shown}) in ${filtered} ms`);
})().catch((error) => {
  console.log("FAILED: " + error.message);
  process.exitCode = 1;
}).finally(() => browser && browser.close());
