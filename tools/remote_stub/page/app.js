// The client side of the diagnostics application. The agent on this computer answers every
// call with the same fixed text, and the browser hides even that from a page of another
// origin (the calls are made in "no-cors" mode), so the page learns what happened from its
// own server, which receives the agent's messages. From a call to the agent the page only
// learns whether the browser let it through.
import { READINGS, decodeReading } from './decode.js';

const AGENT = 'http://127.0.0.1:8070';
const PROMPT_WAIT_MS = 60000;  // how long the user may take to answer the browser's prompt
const RESULT_WAIT_MS = 30000;  // how long a reading may take to reach the server
const CHART_POINTS = 60;
const CHART_MAX_RPM = 3000;
const WAITING_FOR_ALLOW = 'Waiting for you to allow this site to access other apps and ' +
  'services on this device…';

const $ = (id) => document.getElementById(id);
let session = null;
let since = 0;  // the server's sequence number up to which events were read
let series = null;

async function server(method, path) {
  const response = await fetch(path, { method, cache: 'no-store' });
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || `server answered ${response.status}`);
  return body;
}

// The events of this session after `since`, waiting up to waitMs for the first one.
async function nextEvents(waitMs) {
  const query = `session=${session}&since=${since}&wait_ms=${Math.min(waitMs, 10000)}`;
  const { last, events } = await server('GET', `/app/events?${query}`);
  since = last;
  return events;
}

// 'granted', 'prompt', 'denied', or 'unsupported' where the browser has no such permission.
async function loopbackPermission() {
  try {
    return (await navigator.permissions.query({ name: 'loopback-network' })).state;
  } catch {
    return 'unsupported';
  }
}

// Resolves with the new state once the user answers the prompt, or the old one after waitMs.
async function permissionAnswered(waitMs) {
  let status;
  try {
    status = await navigator.permissions.query({ name: 'loopback-network' });
  } catch {
    return 'unsupported';
  }
  if (status.state !== 'prompt') return status.state;
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(status.state), waitMs);
    status.addEventListener('change', () => {
      clearTimeout(timer);
      resolve(status.state);
    }, { once: true });
  });
}

// One call to the agent: true when the browser let it through (its answer is opaque).
async function callAgent(route) {
  try {
    await fetch(`${AGENT}/${route}/${session}`, { mode: 'no-cors', cache: 'no-store' });
    return true;
  } catch {
    return false;
  }
}

// A call that raises the permission prompt is lost when the user answers late; once the
// answer is "allow", the same call goes through. A page that is not a secure context gets
// no such second chance: a browser that asks such a page holds the call until the answer,
// and one that does not blocks it without asking, so waiting would only wait.
async function callAgentOnceAllowed(route) {
  if (await callAgent(route)) return { reached: true };
  if (!window.isSecureContext) return { reached: false, state: await loopbackPermission() };
  if ((await loopbackPermission()) === 'prompt') setStatus('busy', WAITING_FOR_ALLOW);
  const state = await permissionAnswered(PROMPT_WAIT_MS);
  if (state === 'denied') return { reached: false, state };
  return { reached: await callAgent(route), state };
}

function setStatus(outcome, text) {
  $('status').dataset.outcome = outcome;
  $('status').textContent = text;
}

function enableReadings(enabled) {
  for (const button of document.querySelectorAll('#reading-buttons button')) {
    button.disabled = !enabled;
  }
  $('series-start').disabled = !enabled;
}

function explainUnreached(state) {
  if (!window.isSecureContext) {
    setStatus('refused', 'This page was not loaded over HTTPS, so the browser does not let it ' +
      'reach the diagnostics agent on this computer. Open it with an https:// address.');
  } else if (state === 'prompt') {
    setStatus('refused', 'The browser has not allowed this page to reach the diagnostics ' +
      'agent yet. Press Connect and choose Allow when the browser asks.');
  } else if (state === 'denied') {
    setStatus('refused', 'The browser did not allow this page to reach the diagnostics agent ' +
      'on this computer. Allow it in this site\'s settings (the icon left of the address): ' +
      '"Apps on device" in Chrome, Edge and Chromium, "Access this device" in Firefox. Then ' +
      'press Connect again.');
  } else {
    setStatus('not-running', 'The diagnostics agent is not running on this computer (nothing ' +
      'answered on 127.0.0.1:8070). Start it, or install it, then press Connect again.');
  }
}

async function connect() {
  $('connect').disabled = true;
  enableReadings(false);
  try {
    setStatus('busy', 'Connecting…');
    session = (await server('POST', '/app/session')).session;
    since = 0;
    $('status').dataset.session = session;
    // A page served from this computer itself is asked nothing.
    const local = ['127.0.0.1', 'localhost', '[::1]'].includes(location.hostname);
    const asking = !local && (await loopbackPermission()) === 'prompt';
    $('permission-hint').hidden = !asking;
    // Some browsers hold the call below while their prompt shows.
    if (asking) setStatus('busy', WAITING_FOR_ALLOW);
    // Harmless (it only stops a running series): raises the prompt if there is one.
    const first = await callAgentOnceAllowed('RSQ');
    $('permission-hint').hidden = true;
    if (!first.reached) return explainUnreached(first.state);
    setStatus('busy', 'Looking for the adapter…');
    const check = await callAgentOnceAllowed('AC');
    if (!check.reached) return explainUnreached(check.state);
    // The agent posts both messages before it answers, so they are there by now.
    const events = await nextEvents(2000);
    const found = events.find((event) => event.type === 'INTERFACE_CHECK');
    if (found) {
      setStatus('found', `adapter found: ${found.discovered}`);
      enableReadings(true);
    } else if (events.some((event) => event.type === 'AGENT_CHECK')) {
      setStatus('no-adapter', 'The agent is running, but no adapter answered on any serial ' +
        'port. Plug the adapter in, switch the ignition on, then press Connect again.');
    } else {
      setStatus('error', 'Something answered on 127.0.0.1:8070, but no diagnostics agent ' +
        'reported to the server. Restart the agent, then press Connect again.');
    }
  } catch (error) {
    setStatus('error', `The diagnostics server could not be reached: ${error.message}`);
  } finally {
    $('connect').disabled = false;
  }
}

// Waits for the RESPONSE to request `id`; null when none came in time.
async function responseTo(id) {
  const deadline = Date.now() + RESULT_WAIT_MS;
  while (Date.now() < deadline) {
    const found = (await nextEvents(deadline - Date.now()))
      .find((event) => event.type === 'RESPONSE' && event.id === id);
    if (found) return found;
  }
  return null;
}

function showReading(name, text, answer) {
  const row = $(`reading-${name}`);
  row.querySelector('.value').textContent = text;
  row.querySelector('.answer').textContent = answer ?? '';
  row.dataset.state = 'done';
}

async function read(name) {
  enableReadings(false);
  $(`reading-${name}`).dataset.state = 'busy';
  try {
    const { id } = await server('POST', `/app/reading?session=${session}&name=${name}`);
    if (!(await callAgent('RQ'))) {
      return showReading(name, 'the agent could not be reached: press Connect again');
    }
    const response = await responseTo(id);
    if (!response) return showReading(name, 'no answer reached the server in time');
    const answer = response.answers ? response.answers['01'] : null;
    showReading(name, decodeReading(name, answer).text, answer ?? response.response);
  } catch (error) {
    showReading(name, `failed: ${error.message}`);
  } finally {
    enableReadings(true);
  }
}

function drawGrid() {
  const grid = $('chart-grid');
  for (let rpm = 0; rpm <= CHART_MAX_RPM; rpm += 1000) {
    const y = 230 - (rpm / CHART_MAX_RPM) * 200;
    grid.insertAdjacentHTML('beforeend',
      `<line x1="40" x2="600" y1="${y}" y2="${y}"></line>` +
      `<text x="34" y="${y + 4}" text-anchor="end">${rpm}</text>`);
  }
}

function drawSeries(values) {
  const shown = values.slice(-CHART_POINTS);
  const step = 560 / (CHART_POINTS - 1);
  $('chart-line').setAttribute('points', shown.map((rpm, i) => {
    const y = 230 - (Math.min(rpm, CHART_MAX_RPM) / CHART_MAX_RPM) * 200;
    return `${(40 + i * step).toFixed(1)},${y.toFixed(1)}`;
  }).join(' '));
  $('chart').dataset.points = String(values.length);
  $('chart-latest').textContent = shown.length ? `${shown[shown.length - 1]} rpm` : '';
}

function takeSeriesEvents(events) {
  for (const event of events) {
    if (event.type !== 'RESPONSE' || event.id !== series.id || !event.answers) continue;
    const { value } = decodeReading('engine_speed', event.answers['01']);
    if (value !== null) series.values.push(value);
  }
  drawSeries(series.values);
}

async function startSeries() {
  enableReadings(false);
  $('connect').disabled = true;
  $('series-status').dataset.state = 'running';
  $('series-status').textContent = 'Reading…';
  try {
    const { id } = await server('POST', `/app/reading?session=${session}&name=engine_speed`);
    series = { id, values: [], ended: false };
    drawSeries([]);
    $('series-stop').disabled = false;
    // The agent answers this call only when the series has ended.
    const call = callAgent('RMQ').then((reached) => {
      series.ended = true;
      return reached;
    });
    while (!series.ended) takeSeriesEvents(await nextEvents(1000));
    const reached = await call;
    takeSeriesEvents(await nextEvents(0));
    $('series-status').textContent = reached
      ? `Stopped after ${series.values.length} readings.`
      : 'The agent could not be reached: press Connect again.';
  } catch (error) {
    $('series-status').textContent = `Failed: ${error.message}`;
  } finally {
    $('series-status').dataset.state = 'stopped';
    $('series-stop').disabled = true;
    $('connect').disabled = false;
    enableReadings(true);
  }
}

async function stopSeries() {
  $('series-stop').disabled = true;
  $('series-status').textContent = 'Stopping…';
  await callAgent('RSQ');
}

function setUp() {
  for (const { name, label } of READINGS) {
    const button = document.createElement('button');
    button.type = 'button';
    button.id = `read-${name}`;
    button.textContent = label;
    button.disabled = true;
    button.addEventListener('click', () => read(name));
    $('reading-buttons').append(button);
    $('reading-rows').insertAdjacentHTML('beforeend',
      `<tr id="reading-${name}" data-state="idle"><td>${label}</td>` +
      '<td class="value">–</td><td class="answer"></td></tr>');
  }
  drawGrid();
  $('connect').addEventListener('click', connect);
  $('series-start').addEventListener('click', startSeries);
  $('series-stop').addEventListener('click', stopSeries);
}

setUp();
