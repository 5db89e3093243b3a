// The Events page: the recorded events newest first, a page at a time, by camera and days;
// a click plays an event's clip, and an event can be deleted after a question.

import {
  ApiError, api, clearReport, clockTime, count, dayHeading, dayOf, durationText, report, session, setUpHeader,
} from './app.js';

const pageSize = 50;
const refreshMs = 5000;

const filter = document.getElementById('filter');
const message = document.getElementById('message');
const days = document.getElementById('days');
const range = document.getElementById('range');
const newer = document.getElementById('newer');
const older = document.getElementById('older');
const itemTemplate = document.getElementById('event-item');
const player = document.getElementById('player');
const video = player.querySelector('video');
const playerProblem = player.querySelector('.player-problem');
const confirmDelete = document.getElementById('confirm-delete');

const cameraNames = new Map();
let shown = null; // the answer on screen, to tell whether a refresh brings anything new

// What is asked for lives in the address, so that a reload or the Back button keeps it.
function wanted() {
  const query = new URLSearchParams(location.search);
  return {
    camera: query.get('camera') || '',
    from: query.get('from') || '',
    to: query.get('to') || '',
    offset: Math.max(0, Number.parseInt(query.get('offset'), 10) || 0),
  };
}

function go(changes, { replace = false } = {}) {
  const next = { ...wanted(), ...changes };
  const query = new URLSearchParams();
  for (const key of ['camera', 'from', 'to']) if (next[key]) query.set(key, next[key]);
  if (next.offset > 0) query.set('offset', String(next.offset));
  const search = query.toString();
  history[replace ? 'replaceState' : 'pushState'](null, '', search ? `?${search}` : location.pathname);
  load();
}

function eventName(event) {
  return `Event at ${clockTime(event.start)}, ${durationText(event.duration)}, peak ${count(event.peakPixels)} pixels`;
}

function makeItem(event) {
  const item = itemTemplate.content.firstElementChild.cloneNode(true);
  const play = item.querySelector('.play');
  const thumb = item.querySelector('.thumb');
  if (event.thumbnail) {
    thumb.loading = 'lazy';
    thumb.src = event.thumbnail;
    thumb.alt = eventName(event);
    item.querySelector('.no-picture').remove();
  } else {
    thumb.remove();
    play.setAttribute('aria-label', `${eventName(event)}, no picture`);
  }
  if (event.clip) {
    play.title = 'Play the clip';
    play.addEventListener('click', () => openPlayer(event));
  } else {
    play.disabled = true;
    play.title = 'No clip was kept of this event';
  }
  const time = item.querySelector('time');
  time.dateTime = event.start;
  time.textContent = clockTime(event.start);
  item.querySelector('.camera-name').textContent = cameraNames.get(event.camera) || event.camera;
  item.querySelector('.duration').textContent = durationText(event.duration);
  item.querySelector('.peak').textContent =
    `peak ${count(event.peakPixels)} pixels (${event.peakPercent.toFixed(1)} %)`;
  const deleteButton = item.querySelector('.delete');
  deleteButton.setAttribute('aria-label', `Delete the event at ${clockTime(event.start)}`);
  deleteButton.addEventListener('click', () => askToDelete(event));
  item.dataset.event = `${event.camera}/${event.id}`;
  return item;
}

function render(answer, offset) {
  const page = document.createDocumentFragment();
  let list = null;
  let day = null;
  for (const event of answer.events) {
    if (dayOf(event.start) !== day) {
      day = dayOf(event.start);
      const section = document.createElement('section');
      const heading = document.createElement('h2');
      heading.textContent = dayHeading(day);
      list = document.createElement('ul');
      list.className = 'events';
      section.append(heading, list);
      page.append(section);
    }
    list.append(makeItem(event));
  }
  days.replaceChildren(page);
  if (answer.total === 0) {
    message.textContent = 'No events here.';
  }
  const last = offset + answer.events.length;
  range.textContent = answer.total === 0 ? '' : `${count(offset + 1)}–${count(last)} of ${count(answer.total)}`;
  newer.disabled = offset === 0;
  older.disabled = last >= answer.total;
}

async function fetchPage(w) {
  const query = new URLSearchParams({ offset: String(w.offset), limit: String(pageSize) });
  for (const key of ['camera', 'from', 'to']) if (w[key]) query.set(key, w[key]);
  return api(`/api/events?${query}`);
}

function sameAnswer(a, b) {
  return a && b && a.total === b.total && a.events.length === b.events.length &&
    a.events.every((e, i) => e.camera === b.events[i].camera && e.id === b.events[i].id);
}

async function loadCameras() {
  try {
    const { cameras } = await api('/api/cameras');
    const select = filter.elements.camera;
    for (const camera of cameras) {
      cameraNames.set(camera.id, camera.name);
      select.append(new Option(camera.name, camera.id));
    }
  } catch (error) {
    report(error, message);
  }
}

// Asked for once, beside the first page of events rather than before it.
const camerasLoaded = loadCameras();

async function load({ quiet = false } = {}) {
  const w = wanted();
  try {
    const [answer] = await Promise.all([fetchPage(w), camerasLoaded]);
    // A refresh leaves the form alone: the user may be choosing other days in it.
    if (!quiet) {
      filter.elements.camera.value = w.camera;
      filter.elements.from.value = w.from;
      filter.elements.to.value = w.to;
      filter.elements.to.min = w.from;
    }
    if (quiet && sameAnswer(answer, shown)) return;
    // A page beyond the end (its last events deleted) shows the last page there is.
    if (answer.events.length === 0 && w.offset > 0 && answer.total > 0) {
      go({ offset: Math.floor((answer.total - 1) / pageSize) * pageSize }, { replace: true });
      return;
    }
    clearReport(message);
    render(answer, w.offset);
    shown = answer;
  } catch (error) {
    report(error, message);
  }
}

function openPlayer(event) {
  player.querySelector('#player-title').textContent =
    `${cameraNames.get(event.camera) || event.camera}, ${dayHeading(dayOf(event.start))} ${clockTime(event.start)}`;
  playerProblem.hidden = true;
  video.src = event.clip;
  player.querySelector('.download').href = event.clip;
  player.showModal();
  video.play().catch(() => {
    // Refused autoplay leaves the controls to the user; a clip that cannot play says so below.
  });
}

video.addEventListener('error', () => {
  if (!video.getAttribute('src')) return;
  playerProblem.textContent = 'This browser cannot play the clip. Download it to watch it in a player.';
  playerProblem.hidden = false;
});

player.addEventListener('close', () => {
  video.pause();
  // Lets go of the clip's connection too.
  video.removeAttribute('src');
  video.load();
});

function askToDelete(event) {
  confirmDelete.querySelector('.what').textContent =
    `The event at ${clockTime(event.start)} on ${dayHeading(dayOf(event.start))} ` +
    `(${cameraNames.get(event.camera) || event.camera}) and its clip and picture are removed for good.`;
  confirmDelete.returnValue = '';
  confirmDelete.onclose = () => {
    if (confirmDelete.returnValue === 'delete') deleteEvent(event);
  };
  confirmDelete.showModal();
}

async function deleteEvent(event) {
  const path = `/api/events/${encodeURIComponent(event.camera)}/${event.id}`;
  try {
    try {
      await api(path, { method: 'DELETE', csrf: (await session()).csrf });
    } catch (error) {
      // A token from before the program restarted: one more try with the current one.
      if (!(error instanceof ApiError) || error.status !== 403) throw error;
      await api(path, { method: 'DELETE', csrf: (await session(true)).csrf });
    }
  } catch (error) {
    if (!(error instanceof ApiError) || error.status !== 404) {
      report(error, message);
      return;
    }
  }
  await load();
}

filter.addEventListener('submit', (e) => {
  e.preventDefault();
  go({ camera: filter.elements.camera.value, from: filter.elements.from.value, to: filter.elements.to.value, offset: 0 });
});
filter.addEventListener('reset', (e) => {
  e.preventDefault();
  go({ from: '', to: '', offset: 0 });
});
filter.elements.from.addEventListener('change', () => { filter.elements.to.min = filter.elements.from.value; });
newer.addEventListener('click', () => go({ offset: Math.max(0, wanted().offset - pageSize) }));
older.addEventListener('click', () => go({ offset: wanted().offset + pageSize }));
window.addEventListener('popstate', () => load());

// New events show up by themselves on the first page, unless the user is busy with one.
setInterval(() => {
  if (!document.hidden && wanted().offset === 0 && !player.open && !confirmDelete.open) load({ quiet: true });
}, refreshMs);

setUpHeader();
load();
