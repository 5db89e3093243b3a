// The Cameras page: each camera's live picture, its state and whether it is watched.

import { api, clearReport, report, setUpHeader } from './app.js';

const list = document.getElementById('cameras');
const message = document.getElementById('message');
const template = document.getElementById('camera-card');

const stateWords = { live: 'Live', connecting: 'Connecting', failed: 'Failed', stopped: 'Stopped' };
const refreshMs = 3000;
// Pictures a second when the browser cannot show the MJPEG stream itself.
const snapshotMs = 250;

// A camera's moving picture: the server's MJPEG stream in the <img>, or where that fails
// (a browser or proxy that cannot hold a multipart answer) one snapshot after another, each
// asked for once the one before has come. Stopped while the page is hidden, so that the
// program encodes nothing for nobody.
class LivePicture {
  constructor(img, id) {
    this.img = img;
    this.base = `/api/cameras/${encodeURIComponent(id)}/`;
    this.snapshots = false;
    this.taken = 0;
    this.timer = 0;
    this.running = false;
    img.addEventListener('load', () => {
      if (this.running && this.snapshots) this.timer = setTimeout(() => this.nextSnapshot(), snapshotMs);
    });
    img.addEventListener('error', () => {
      if (!this.running) return;
      // A camera without a picture yet answers 503: asked again, more slowly.
      const wait = this.snapshots ? 4 * snapshotMs : 0;
      this.snapshots = true;
      this.timer = setTimeout(() => this.nextSnapshot(), wait);
    });
  }

  start() {
    this.stop();
    this.running = true;
    if (this.snapshots) this.nextSnapshot();
    else this.img.src = this.base + 'live.mjpeg';
  }

  stop() {
    this.running = false;
    clearTimeout(this.timer);
    this.img.removeAttribute('src');
  }

  nextSnapshot() {
    // A new address each time: the same one would be shown again from the browser's memory.
    this.taken += 1;
    this.img.src = `${this.base}snapshot.jpg?n=${this.taken}`;
  }
}

const cards = new Map(); // camera id -> { item, picture, state }

function makeCard(camera) {
  const item = template.content.firstElementChild.cloneNode(true);
  const img = item.querySelector('img.live');
  if (camera.width > 0 && camera.height > 0) {
    img.width = camera.width;
    img.height = camera.height;
  }
  const card = { item, picture: new LivePicture(img, camera.id), state: null };
  list.append(item);
  cards.set(camera.id, card);
  return card;
}

function fill(card, camera) {
  const { item } = card;
  item.querySelector('.name').textContent = camera.name;
  item.querySelector('img.live').alt = `Live picture of ${camera.name}`;
  const badge = item.querySelector('.badge');
  badge.textContent = stateWords[camera.state] || camera.state;
  badge.dataset.state = camera.state;
  item.querySelector('.status').textContent = camera.status;
  for (const [name, on, words] of [['auto', camera.auto, 'Auto'], ['detection', camera.detection, 'Detection']]) {
    const flag = item.querySelector('.' + name);
    flag.textContent = `${words} ${on ? 'on' : 'off'}`;
    flag.classList.toggle('on', on);
  }
  // A camera that comes back starts a new stream: the old one ended with its source.
  if (camera.state !== card.state && camera.state === 'live' && !document.hidden) card.picture.start();
  card.state = camera.state;
}

async function refresh() {
  try {
    const { cameras } = await api('/api/cameras');
    clearReport(message);
    const seen = new Set();
    for (const camera of cameras) {
      seen.add(camera.id);
      fill(cards.get(camera.id) || makeCard(camera), camera);
    }
    for (const [id, card] of cards) {
      if (!seen.has(id)) {
        card.picture.stop();
        card.item.remove();
        cards.delete(id);
      }
    }
    if (cameras.length === 0) message.textContent = 'No camera is watched.';
  } catch (error) {
    report(error, message);
  }
}

document.addEventListener('visibilitychange', () => {
  for (const card of cards.values()) {
    if (document.hidden) card.picture.stop();
    else if (card.state === 'live') card.picture.start();
  }
});

setUpHeader();
refresh();
setInterval(refresh, refreshMs);
