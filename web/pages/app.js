// What every page shares: requests to the program's API, the session with its CSRF token,
// the header's log-out button, and how times and numbers are written.

export class ApiError extends Error {
  constructor(status, message, retryAfter) {
    super(message);
    this.status = status;
    this.retryAfter = retryAfter;
  }
}

// One request to the API. An answer other than 2xx becomes an ApiError with the server's
// own words, so that pages can tell a lost session (401) from a refusal (403) or a gap (404).
export async function api(path, { method = 'GET', body, csrf } = {}) {
  const headers = { Accept: 'application/json' };
  if (body !== undefined) headers['Content-Type'] = 'application/json';
  if (csrf) headers['X-CSRF-Token'] = csrf;
  const response = await fetch(path, {
    method,
    headers,
    body: body === undefined ? undefined : JSON.stringify(body),
    credentials: 'same-origin',
    cache: 'no-store',
  });
  if (!response.ok) {
    let text = response.statusText || `status ${response.status}`;
    try {
      text = (await response.json()).error || text;
    } catch {
      // Not every refusal comes with JSON (a proxy's, a limit's): the status says enough.
    }
    throw new ApiError(response.status, text, Number(response.headers.get('Retry-After')) || 0);
  }
  return response.status === 204 ? null : response.json();
}

let current = null;

// The session as the server sees it; `fresh` asks again (after a log-in, or a refused token).
export async function session(fresh = false) {
  if (!current || fresh) current = await api('/api/session');
  return current;
}

export function goToLogin() {
  location.assign('/login?next=' + encodeURIComponent(location.pathname + location.search));
}

// Shows what went wrong in `element`; a session that ended sends the user to log in again.
export function report(error, element) {
  if (error instanceof ApiError && error.status === 401) {
    goToLogin();
    return;
  }
  element.textContent = error instanceof ApiError ? `The program answered: ${error.message}` :
    'The program cannot be reached. Is it still running?';
  element.classList.add('problem');
}

export function clearReport(element) {
  element.textContent = '';
  element.classList.remove('problem');
}

// The log-out button is there only where there is something to log out of.
export async function setUpHeader() {
  const button = document.getElementById('logout');
  try {
    const s = await session();
    button.hidden = !(s.passwordRequired && s.authenticated);
  } catch {
    return;
  }
  button.addEventListener('click', async () => {
    try {
      await api('/api/logout', { method: 'POST', csrf: (await session()).csrf });
    } finally {
      location.assign('/login');
    }
  });
}

// Times come as the camera's local time with its offset ("2026-12-10T07:15:03+01:00"); they
// are shown as the camera's clock showed them, whatever the browser's time zone.
export function clockTime(iso) {
  return iso.slice(11, 19);
}

export function dayOf(iso) {
  return iso.slice(0, 10);
}

// Formatters are made once: making one costs more than a whole page of events' texts.
const days = new Intl.DateTimeFormat(undefined, {
  weekday: 'long', year: 'numeric', month: 'long', day: 'numeric', timeZone: 'UTC',
});
const numbers = new Intl.NumberFormat('en');

export function dayHeading(day) {
  const [year, month, date] = day.split('-').map(Number);
  return days.format(new Date(Date.UTC(year, month - 1, date)));
}

export function durationText(seconds) {
  if (seconds === null || seconds === undefined) return 'still going';
  if (seconds < 60) return `${seconds.toFixed(1)} s`;
  const minutes = Math.floor(seconds / 60);
  return `${minutes} min ${Math.floor(seconds - minutes * 60)} s`;
}

export function count(n) {
  return numbers.format(n);
}
