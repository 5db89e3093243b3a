// The log-in page: the password goes to the program as JSON; the answer says whether it
// was right, or how long the program slows down guesses from this address.

import { ApiError, api, report, session } from './app.js';

const form = document.getElementById('login');
const message = document.getElementById('message');
const submit = form.querySelector('button[type=submit]');

// Back to the page that sent the user here; only a path of this site, never another site.
// The browser parses it as it would follow it (tabs and newlines dropped, backslashes as
// slashes), and only an address of this very origin is taken.
function next() {
  try {
    const target = new URL(new URLSearchParams(location.search).get('next') || '/', location.origin);
    if (target.origin === location.origin) return target.pathname + target.search + target.hash;
  } catch (e) {
    // not an address at all
  }
  return '/';
}

function waitBeforeTrying(seconds) {
  submit.disabled = true;
  let left = Math.max(1, seconds);
  const tell = () => {
    message.textContent = `Too many wrong passwords. Try again in ${left} s.`;
  };
  tell();
  const timer = setInterval(() => {
    left -= 1;
    if (left > 0) {
      tell();
      return;
    }
    clearInterval(timer);
    submit.disabled = false;
    message.textContent = 'You can try again.';
  }, 1000);
}

form.addEventListener('submit', async (e) => {
  e.preventDefault();
  submit.disabled = true;
  message.textContent = '';
  try {
    await api('/api/login', { method: 'POST', body: { password: form.elements.password.value } });
    location.replace(next());
    return;
  } catch (error) {
    form.elements.password.select();
    if (error instanceof ApiError && error.status === 401) {
      message.textContent = 'Wrong password.';
    } else if (error instanceof ApiError && error.status === 429) {
      waitBeforeTrying(error.retryAfter);
      return;
    } else {
      report(error, message);
    }
  }
  submit.disabled = false;
});

// Nothing to log in to, or logged in already: straight on.
session().then((s) => {
  if (!s.passwordRequired || s.authenticated) location.replace(next());
}).catch((error) => report(error, message));
