// SPDX-FileCopyrightText: 2026 the KXRWebServer authors
// SPDX-License-Identifier: BSD-2-Clause
// Sign-in page: posts the user and password to kxr-signin and, once the
// daemon has set the session cookie, goes to the device pages. Stands alone:
// the daemon serves only this page, this script and kxr.css without a session.
const form = document.getElementById('signin');
const { user, password } = form.elements;
const button = form.querySelector('button');
const message = document.getElementById('message');

function say(kind, text) {
  message.className = 'status ' + kind;
  message.textContent = text;
}

form.addEventListener('submit', async (ev) => {
  ev.preventDefault();
  button.disabled = true;
  say('busy', 'Signing in…');
  let answer;
  try {
    // Relative, so that the pages work at / and below /config/ alike.
    answer = await fetch('kxr-signin', {
      method: 'POST', credentials: 'same-origin', cache: 'no-store',
      body: new URLSearchParams({ user: user.value, password: password.value }),
    });
  } catch (err) {
    say('error', 'The device cannot be reached (' + err.message + ').');
    return;
  } finally {
    button.disabled = false;
  }
  if (answer.ok) {
    location.assign('index.htm');
  } else if (answer.status === 403) {
    say('error', 'Sign-in refused: check the user name and the password.');
    password.value = '';
    password.focus();
  } else if (answer.status === 429) {
    say('warn', 'Too many attempts from here: wait a minute, then try again.');
  } else {
    say('error', 'Sign-in failed: the device answered HTTP ' + answer.status + '.');
  }
});
