// Reloads a page of the program in Debian's chromium N times and prints each load's time from
// the navigation's start to the first event on screen, then the median (ms), last.
//   node web_page_time.mjs URL N
// puppeteer-core comes from the browser tests' packages (scripts/install-dependencies.sh).

import { createRequire } from 'node:module';

const require = createRequire(new URL('../tests/web/browser/package.json', import.meta.url));
const puppeteer = require('puppeteer-core');

const [url, runs] = [process.argv[2], Number(process.argv[3] || 20)];
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
});
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  // The first load fills the browser's cache of the page's own files, as a user's second visit would.
  await page.goto(url, { waitUntil: 'networkidle0' });
  const times = [];
  // Reloaded, as a user does: a visit from another site would add the browser's start of a
  // new renderer process, which is not the page's cost.
  for (let i = 0; i < runs; ++i) {
    await page.reload({ waitUntil: 'domcontentloaded' });
    const shown = await page.waitForFunction(
      () => document.querySelector('.event') !== null && performance.now(), { polling: 'mutation', timeout: 30000 });
    times.push(await shown.jsonValue());
  }
  console.log(times.map((t) => t.toFixed(1)).join(' '));
  times.sort((a, b) => a - b);
  console.log(((times[(runs - 1) >> 1] + times[runs >> 1]) / 2).toFixed(1));
} finally {
  await browser.close();
}
