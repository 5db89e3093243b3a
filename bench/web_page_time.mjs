// Reloads a page of the program in Debian's chromium N times and prints the median time
// (ms) from the navigation's start to the first event on screen, then, as the browser's own
// floor on this machine, the median time to a bare file's DOMContentLoaded from the same server.
//   node web_page_time.mjs URL N
// puppeteer-core comes from the browser tests' packages (scripts/install-dependencies.sh).

import { createRequire } from 'node:module';

const require = createRequire(new URL('../tests/web/browser/package.json', import.meta.url));
const puppeteer = require('puppeteer-core');

const [url, runs] = [process.argv[2], Number(process.argv[3] || 20)];

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return (sorted[(sorted.length - 1) >> 1] + sorted[sorted.length >> 1]) / 2;
}

// Reloaded, as a user does: a visit from another site would add the browser's start of a
// new renderer process, which is not the page's cost. The first load fills the browser's
// cache of the page's own files, as a user's second visit would. `until` reads a time the
// page noted itself: asked from here, the answer would come late by the round trips.
async function times(page, address, until) {
  await page.goto(address, { waitUntil: 'networkidle0' });
  const measured = [];
  for (let i = 0; i < runs; ++i) {
    await page.reload({ waitUntil: 'domcontentloaded' });
    measured.push(await (await page.waitForFunction(until, { timeout: 30000 })).jsonValue());
  }
  return measured;
}

const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
});
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  await page.evaluateOnNewDocument(() => {
    new MutationObserver((changes, observer) => {
      if (document.querySelector('.event')) {
        window.firstEventAt = performance.now();
        observer.disconnect();
      }
    }).observe(document, { childList: true, subtree: true });
  });
  const shown = await times(page, url, () => window.firstEventAt);
  const floor = await times(page, new URL('/static/app.css', url).href, () => {
    const [navigation] = performance.getEntriesByType('navigation');
    return navigation && navigation.domContentLoadedEventEnd > 0 && navigation.domContentLoadedEventEnd;
  });
  console.log(median(shown).toFixed(1), median(floor).toFixed(1));
} finally {
  await browser.close();
}
