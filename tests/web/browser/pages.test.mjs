// The web page as a user meets it: Debian's chromium, driven headless, against the real
// program watching a looping picture sequence on 127.0.0.1 (two seconds of a moving ball,
// four still), which makes an event every six seconds.
//
//   node pages.test.mjs PATH/TO/Video

import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const program = process.argv[2];
if (!program) {
  console.error('usage: node pages.test.mjs PATH/TO/Video');
  process.exit(2);
}

const home = fs.mkdtempSync(path.join(os.tmpdir(), 'video-web-'));
process.env.XDG_CONFIG_HOME = path.join(home, 'config');
process.env.XDG_CACHE_HOME = path.join(home, 'cache');
const saveDir = path.join(home, 'events');
const frames = path.join(home, 'frames');
for (const dir of [saveDir, frames, path.join(home, 'config', 'Video')]) fs.mkdirSync(dir, { recursive: true });

// Short gaps and rolls, so that an event ends, with its clip, two seconds after the ball stops.
fs.writeFileSync(path.join(home, 'config', 'Video', 'video-headless.conf'),
  '[General]\nformat=Video settings 1\n\n[events]\ngapSeconds=1\nbeforeSeconds=1\nafterSeconds=1\n');

// Twenty frames of the moving ball, then the last one forty times more.
execFileSync('gst-launch-1.0', ['-q', 'videotestsrc', 'pattern=ball', 'num-buffers=20', '!',
  'video/x-raw,width=320,height=240,framerate=10/1', '!', 'jpegenc', '!', 'multifilesink',
  `location=${frames}/f%03d.jpg`]);
for (let i = 20; i < 60; ++i) fs.copyFileSync(path.join(frames, 'f019.jpg'), path.join(frames, `f${String(i).padStart(3, '0')}.jpg`));
const source = `multifilesrc location=${frames}/f%03d.jpg loop=true caps=image/jpeg,framerate=10/1 ! jpegdec`;

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The program, watching `source` with a web server on a free port, its standard error kept
// for the report of a failure.
const programs = [];
async function startProgram(name, source, extra) {
  const port = await freePort();
  const started = { name, base: `http://127.0.0.1:${port}`, err: '' };
  started.process = spawn(program, ['--headless', '--source', source, '--http', `127.0.0.1:${port}`, ...extra],
    { stdio: ['ignore', 'ignore', 'pipe'] });
  started.process.stderr.on('data', (chunk) => { started.err += chunk; });
  programs.push(started);
  await until(`${name}'s web server`, async () => {
    assert.equal(started.process.exitCode, null, `${name} ended early`);
    return (await fetch(`${started.base}/api/session`)).ok;
  });
  return started;
}

let browser = null;
async function cleanUp() {
  if (browser) await browser.close().catch(() => {});
  for (const { process: running } of programs) {
    if (running.exitCode !== null) continue;
    running.kill('SIGTERM');
    await Promise.race([new Promise((resolve) => running.once('exit', resolve)), sleep(30000)]);
  }
  fs.rmSync(home, { recursive: true, force: true });
}

let current = '';
async function step(name, body) {
  current = name;
  const started = Date.now();
  await body();
  console.log(`ok  ${name} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
}

// Waits for `check` to return something truthy, asking again every 200 ms; a failed
// assertion in it ends the wait at once, any other failure is asked again.
async function until(what, check, ms = 30000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const result = await check().catch((error) => {
      if (error instanceof assert.AssertionError) throw error;
      return null;
    });
    if (result) return result;
    if (Date.now() > deadline) assert.fail(`waited ${ms / 1000} s for ${what}`);
    await sleep(200);
  }
}

let base = '';
async function getJson(route) {
  const response = await fetch(base + route);
  return { status: response.status, body: await response.json().catch(() => null) };
}

try {
  await step('the program answers on its port', async () => {
    ({ base } = await startProgram('the watching program', source,
      ['--period', '100', '--min-movement', '50', '--save-dir', saveDir]));
  });

  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
  });
  const page = await browser.newPage();
  // A page that breaks the server's content policy (an inline script or style), throws or
  // names a file that is not there says so here. The API's refusals the steps ask for (401,
  // 429) are logged too, as failed loads: those are the API's to judge, not the pages'.
  const complaints = [];
  page.on('pageerror', (error) => complaints.push(`${page.url()}: ${error.message}`));
  page.on('console', (message) => {
    if (message.type() === 'error' && !message.text().startsWith('Failed to load resource'))
      complaints.push(`${page.url()}: ${message.text()}`);
  });
  page.on('response', (response) => {
    if (response.status() >= 400 && !new URL(response.url()).pathname.startsWith('/api/'))
      complaints.push(`${response.url()}: ${response.status()}`);
  });
  await page.setViewport({ width: 1280, height: 900 });

  await step('the Cameras page shows the camera with a live picture that changes', async () => {
    await page.goto(`${base}/`, { waitUntil: 'domcontentloaded' });
    const picture = await page.waitForSelector('.camera img.live[src]', { timeout: 30000 });
    await until('the live picture to show a frame', () => picture.evaluate((img) => img.naturalWidth === 320));
    await until('the camera to be live', async () => (await page.$eval('.camera .badge', (e) => e.textContent)) === 'Live');
    const [camera] = (await getJson('/api/cameras')).body.cameras;
    assert.equal(await page.$eval('.camera .name', (e) => e.textContent), camera.name);
    assert.equal(await picture.evaluate((img) => img.alt), `Live picture of ${camera.name}`);
    const flags = await page.$$eval('.camera .flags li', (items) => items.map((e) => e.textContent));
    assert.deepEqual(flags, [`Auto ${camera.auto ? 'on' : 'off'}`, `Detection ${camera.detection ? 'on' : 'off'}`]);
    // The ball moves two seconds in six: within one loop two pictures of it differ.
    const first = await picture.screenshot();
    await until('a different live picture', async () => !first.equals(await picture.screenshot()), 10000);
  });

  let event = null;
  let item = null;
  await step('an event appears on the Events page with its thumbnail named for it', async () => {
    await page.goto(`${base}/events`, { waitUntil: 'domcontentloaded' });
    // The page takes in new events by itself.
    const thumb = await page.waitForSelector('.event img.thumb', { timeout: 60000 });
    await until('the thumbnail to load', () => thumb.evaluate((img) => img.complete && img.naturalWidth > 0));
    item = await page.$('.event');
    ({ body: event } = await getJson(`/api/events/${await item.evaluate((e) => e.dataset.event)}`));
    const starts = await page.$$eval('.event time', (times) => times.map((t) => t.dateTime));
    assert.deepEqual(starts, [...starts].sort().reverse(), 'newest first');
    const alt = await item.$eval('img.thumb', (img) => img.alt);
    const clock = event.start.slice(11, 19);
    assert.equal(alt, `Event at ${clock}, ${event.duration.toFixed(1)} s, peak ${event.peakPixels.toLocaleString('en')} pixels`);
    assert.equal(event.clipType, 'video/webm');
  });

  await step('the event\'s clip plays and seeks', async () => {
    await (await item.$('button.play')).click();
    await page.waitForSelector('#player[open] video');
    const duration = await until('the clip\'s length', () =>
      page.$eval('#player video', (v) => (v.readyState >= 1 ? v.duration : 0)));
    assert.ok(Number.isFinite(duration) && duration > 0.5, `a clip of ${duration} s`);
    const target = duration / 2;
    const reached = await page.$eval('#player video', (v, t) => new Promise((resolve, reject) => {
      v.pause();
      v.addEventListener('seeked', () => resolve(v.currentTime), { once: true });
      v.addEventListener('error', () => reject(new Error(`video error ${v.error && v.error.code}`)), { once: true });
      v.currentTime = t;
    }), target);
    assert.ok(Math.abs(reached - target) < 0.1, `sought ${target} s, at ${reached} s`);
    await until('a frame at the new time', () => page.$eval('#player video', (v) => v.readyState >= 2));
    await page.click('#player button[value="close"]');
    await until('the player to close', () => page.$eval('#player', (d) => !d.open));
  });

  await step('a 360 px phone shows both pages without sideways scrolling', async () => {
    await page.setViewport({ width: 360, height: 740, isMobile: true, hasTouch: true });
    for (const [route, selector] of [['/events', '.event img.thumb'], ['/', '.camera img.live[src]']]) {
      await page.goto(base + route, { waitUntil: 'domcontentloaded' });
      const shown = await page.waitForSelector(selector, { timeout: 30000 });
      await until(`${route} to settle`, () => shown.evaluate((img) => img.complete && img.naturalWidth > 0));
      const { scrollWidth, innerWidth } = await page.evaluate(() =>
        ({ scrollWidth: document.scrollingElement.scrollWidth, innerWidth: window.innerWidth }));
      // A phone's browser zooms out to show a page that is too wide, widening the window with it.
      assert.ok(scrollWidth <= innerWidth && innerWidth === 360,
        `${route}: ${scrollWidth} px wide in a window ${innerWidth} px wide on a 360 px screen`);
      const box = await shown.boundingBox();
      assert.ok(box.width > 50 && box.x >= 0 && box.x + box.width <= innerWidth, `${route}: picture at ${JSON.stringify(box)}`);
    }
    await page.setViewport({ width: 1280, height: 900 });
  });

  await step('deleting asks first, and only a yes removes the event from the page and the log', async () => {
    const selector = `.event[data-event="${event.camera}/${event.id}"]`;
    await page.goto(`${base}/events`, { waitUntil: 'domcontentloaded' });
    await page.waitForSelector(`${selector} button.delete`);
    await page.click(`${selector} button.delete`);
    await page.waitForSelector('#confirm-delete[open]');
    await page.click('#confirm-delete button[value="keep"]');
    await until('the question to close', () => page.$eval('#confirm-delete', (d) => !d.open));
    await sleep(500);
    assert.ok(await page.$(selector), 'kept after "Keep it"');
    assert.equal((await getJson(`/api/events/${event.camera}/${event.id}`)).status, 200);

    await page.click(`${selector} button.delete`);
    await page.waitForSelector('#confirm-delete[open]');
    await page.click('#confirm-delete button[value="delete"]');
    await until('the event to leave the page', async () => !(await page.$(selector)), 10000);
    assert.equal((await getJson(`/api/events/${event.camera}/${event.id}`)).status, 404, 'gone from the API');
    const told = await page.$eval('#message', (e) => (e.classList.contains('problem') ? e.textContent : ''));
    assert.equal(told, '', 'no complaint after deleting');
  });

  await step('the log-in page sends on only within this site', async () => {
    // A tab that the browser drops would make "/<tab>/host" the address of another site.
    for (const next of ['/%09/example.invalid/', '//example.invalid/', '/%5Cexample.invalid', 'javascript:alert(1)']) {
      await page.goto(`${base}/login?next=${next}`, { waitUntil: 'domcontentloaded' });
      await until('the page to send on', async () => new URL(page.url()).pathname !== '/login');
      assert.equal(new URL(page.url()).origin, new URL(base).origin, `next=${next} stays here`);
    }
  });

  await step('with a password the pages ask for it, refuse a wrong one and let the right one in', async () => {
    const hashLine = execFileSync(program, ['--http-password-hash'],
      { input: 'open sesame\n', encoding: 'utf8', stdio: ['pipe', 'pipe', 'ignore'] });
    const config = path.join(home, 'locked.conf');
    fs.writeFileSync(config, `[General]\nformat=Video settings 1\n\n[http]\n${hashLine}`);
    const locked = await startProgram('the program with a password',
      'videotestsrc pattern=black is-live=true ! video/x-raw,width=320,height=240,framerate=5/1',
      ['--config', config, '--save-dir', fs.mkdtempSync(path.join(home, 'locked-'))]);
    assert.equal((await fetch(`${locked.base}/api/cameras`)).status, 401);

    await page.goto(`${locked.base}/events`, { waitUntil: 'domcontentloaded' });
    assert.equal(new URL(page.url()).pathname, '/login', 'sent to log in first');
    const told = () => page.$eval('#message', (e) => e.textContent);
    await page.type('input[name="password"]', 'open says me');
    await page.click('#login button[type="submit"]');
    await until('the wrong password to be told', async () => (await told()) === 'Wrong password.', 10000);
    // Guesses are slowed, twice as long after each wrong one: a try at once is refused,
    // however slow this machine (the waits outgrow it).
    for (let tries = 1; !/^Too many wrong passwords\. Try again in \d+ s\.$/.test(await told()); ++tries) {
      assert.ok(tries <= 5, `never slowed down: ${await told()}`);
      await page.click('#login button[type="submit"]');
      await until('an answer', async () => (await told()) !== '', 10000);
    }
    assert.ok(await page.$eval('#login button[type="submit"]', (b) => b.disabled), 'no trying while slowed');
    await until('the page to allow another try', async () => (await told()) === 'You can try again.', 60000);

    await page.$eval('input[name="password"]', (input) => { input.value = ''; });
    await page.type('input[name="password"]', 'open sesame');
    await Promise.all([page.waitForNavigation(), page.click('#login button[type="submit"]')]);
    assert.notEqual(new URL(page.url()).pathname, '/login', 'let in');
    await page.waitForSelector('#logout:not([hidden])');
    await page.waitForSelector('.camera img.live[src]');
    await Promise.all([page.waitForNavigation(), page.click('#logout')]);
    assert.equal(new URL(page.url()).pathname, '/login', 'logged out');
    assert.equal(await page.evaluate(async () => (await fetch('/api/cameras')).status), 401, 'the session is over');
  });

  await step('no page broke the content policy or threw', async () => {
    assert.deepEqual(complaints, []);
  });
} catch (error) {
  console.error(`FAILED  ${current}\n  ${error.message}`);
  for (const { name, err } of programs) console.error(`--- ${name} said:\n${err}`);
  process.exitCode = 1;
} finally {
  await cleanUp();
}
