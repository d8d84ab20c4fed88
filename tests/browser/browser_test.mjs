// A real browser drives the agent: Debian's Chromium, through puppeteer-core, opens the
// reference page served by the remote server stand-in on a "public" address (203.0.113.1,
// a veth in the private network namespace this runs in) and calls the real agent on
// 127.0.0.1:8070, which talks to the adapter simulator linked as COM3.
//
// Run by scripts/test-browser, which makes the namespace. Environment:
//   MORVANIX_BUILD         build folder holding the agent and the stand-ins (build/dev)
//   MORVANIX_NODE_MODULES  folder whose node_modules holds puppeteer-core (build/browser)
//   MORVANIX_BROWSER_OUT   where screenshots go (build/browser/out)
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const build = process.env.MORVANIX_BUILD ?? path.join(root, 'build/dev');
const modules = process.env.MORVANIX_NODE_MODULES ?? path.join(root, 'build/browser');
const out = process.env.MORVANIX_BROWSER_OUT ?? path.join(root, 'build/browser/out');
const HOST = '203.0.113.1';
const PERMISSION = { name: 'loopback-network' };
const WAIT_MS = 60000;
const PAGE_PROMPT_WAIT_MS = 60000;  // PROMPT_WAIT_MS in the page's app.js

const require = createRequire(path.join(modules, 'package.json'));
const { default: puppeteer } = await import(pathToFileURL(require.resolve('puppeteer-core')));

const scratch = mkdtempSync(path.join(os.tmpdir(), 'morvanix-browser-'));
const children = [];
let browser;
let agent;
let plainOrigin;
let tlsOrigin;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function start(command, args, options = {}) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  child.output = '';
  child.stdout.on('data', (data) => { child.output += data; });
  child.stderr.on('data', (data) => { child.output += data; });
  children.push(child);
  return child;
}

async function until(what, check, ms = 10000) {
  const deadline = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(50);
  }
}

const accepts = (port) => new Promise((resolve) => {
  const socket = net.connect(port, '127.0.0.1', () => { socket.destroy(); resolve(true); });
  socket.on('error', () => resolve(false));
});

async function control(pathAndQuery) {
  const response = await fetch(`${plainOrigin}${pathAndQuery}`);
  assert.equal(response.status, 200, `${pathAndQuery}: ${response.status}`);
  return response.json();
}

const recordsOf = async (session) =>
  (await control('/control/messages')).filter((record) => record.ssid === session);
const agentLog = () => readFileSync(path.join(scratch, 'agent/vd_service.log'), 'latin1');

before(async () => {
  mkdirSync(out, { recursive: true });
  // A certificate for the page's origin, trusted by the browser through its key's hash.
  const cert = path.join(scratch, 'cert.pem');
  const key = path.join(scratch, 'key.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1',
    '-subj', `/CN=${HOST}`, '-addext', `subjectAltName=IP:${HOST}`, '-keyout', key,
    '-out', cert], { stdio: 'ignore' });
  const der = execFileSync('openssl', ['x509', '-in', cert, '-pubkey', '-noout']);
  const spki = execFileSync('openssl', ['pkey', '-pubin', '-outform', 'der'], { input: der });
  const spkiHash = execFileSync('openssl', ['dgst', '-sha256', '-binary'], { input: spki })
    .toString('base64');

  const stub = start(path.join(build, 'tools/remote_stub/remote-stub'), ['--host', HOST,
    '--port', '0', '--tls-port', '0', '--tls-cert', cert, '--tls-key', key,
    '--page', path.join(root, 'tools/remote_stub/page'), '--allow-test-net']);
  const [, plainPort, tlsPort] = await until('the stand-in', () =>
    /listening on [\d.]+:(\d+)\n.*listening on https:\/\/[\d.]+:(\d+)/.exec(stub.output));
  plainOrigin = `http://${HOST}:${plainPort}`;
  tlsOrigin = `https://${HOST}:${tlsPort}`;

  const serial = path.join(scratch, 'serial');
  mkdirSync(serial);
  start(path.join(build, 'tools/adapter_sim/adapter-sim'), ['--link', path.join(serial, 'COM3')]);
  await until('the adapter simulator', () => existsSync(path.join(serial, 'COM3')));

  // From a folder of its own, so that its event log lands there.
  mkdirSync(path.join(scratch, 'agent'));
  const agentPath = path.join(scratch, 'agent/morvanix-agent');
  copyFileSync(path.join(build, 'src/service/morvanix-agent'), agentPath);
  agent = start(agentPath, [], { env: { ...process.env, MORVANIX_SERIAL_DIR: serial,
    MORVANIX_REMOTE_HOST: HOST, MORVANIX_REMOTE_PORT: plainPort } });
  await until('the agent on 127.0.0.1:8070', async () => {
    assert.equal(agent.exitCode, null, `the agent stopped: ${agent.output}`);
    return accepts(8070);
  });

  browser = await puppeteer.launch({
    executablePath: process.env.MORVANIX_CHROMIUM ?? '/usr/bin/chromium',
    headless: true,
    args: [`--ignore-certificate-errors-spki-list=${spkiHash}`,
      ...(process.getuid() === 0 ? ['--no-sandbox'] : [])],
  });
  console.log(`# ${await browser.version()}, puppeteer-core ${require('puppeteer-core/package.json').version}, node ${process.version}`);
});

after(async () => {
  await browser?.close();
  for (const child of children) child.kill('SIGTERM');
  await Promise.all(children.map((child) => child.exitCode !== null ? null
    : new Promise((resolve) => child.on('exit', resolve))));
  rmSync(scratch, { recursive: true, force: true });
});

// A page in a fresh browser context, with the loopback permission set for its origin
// (null: left as the browser has it). Console lines are kept for the checks.
async function openPage(origin, setting) {
  const context = await browser.createBrowserContext();
  if (setting) {
    const session = await browser.target().createCDPSession();
    await session.send('Browser.setPermission', { permission: PERMISSION, setting, origin,
      browserContextId: context.id });
  }
  const page = await context.newPage();
  page.consoleLines = [];
  page.on('console', (message) => page.consoleLines.push(message.text()));
  await page.goto(`${origin}/`, { waitUntil: 'load' });
  return page;
}

// Presses Connect; the outcome and text once the page has settled.
async function connect(page, timeout = WAIT_MS) {
  await page.click('#connect');
  await page.waitForFunction(() => !['idle', 'busy'].includes(
    document.getElementById('status').dataset.outcome), { timeout });
  return page.$eval('#status', (status) => ({ outcome: status.dataset.outcome,
    text: status.textContent, session: status.dataset.session }));
}

test('the page decodes the answers it is shown (its own checks)', async () => {
  const page = await openPage(tlsOrigin, 'granted');
  const result = await page.evaluate(async () => (await import('./checks.js')).runChecks());
  assert.deepEqual(result.failures, []);
  assert.ok(result.passed > 0);
});

test('allowed: connects, reads, draws a series that stops on Stop', async () => {
  const page = await openPage(tlsOrigin, 'granted');
  assert.equal(await page.evaluate(() => window.isSecureContext), true);
  const status = await connect(page);
  assert.deepEqual([status.outcome, status.text], ['found', 'adapter found: ELM327 v1.5 on COM3']);

  const expected = {
    battery_voltage: /^12\.6 V$/, engine_speed: /^\d{3,4} rpm$/, vehicle_speed: /^0 km\/h$/,
    coolant_temperature: /^83 °C$/, vin: /^1SIMVIN0000000042$/,
  };
  for (const [name, pattern] of Object.entries(expected)) {
    await page.click(`#read-${name}`);
    await page.waitForSelector(`#reading-${name}[data-state="done"]`, { timeout: WAIT_MS });
    const value = await page.$eval(`#reading-${name} .value`, (cell) => cell.textContent);
    assert.match(value, pattern, name);
  }
  await page.screenshot({ path: path.join(out, 'reading.png'), fullPage: true });

  await page.click('#series-start');
  await page.waitForFunction(() => Number(document.getElementById('chart').dataset.points) >= 5,
    { timeout: WAIT_MS });
  await page.click('#series-stop');
  await page.waitForSelector('#series-status[data-state="stopped"]', { timeout: WAIT_MS });
  const points = await page.$eval('#chart', (chart) => Number(chart.dataset.points));
  const line = await page.$eval('#chart-line', (polyline) => polyline.getAttribute('points'));
  assert.equal(line.trim().split(/\s+/).length, Math.min(points, 60));
  assert.match(await page.$eval('#series-status', (s) => s.textContent),
    new RegExp(`^Stopped after ${points} readings\\.$`));
  await page.screenshot({ path: path.join(out, 'series.png'), fullPage: true });

  const responses = async () => (await recordsOf(status.session))
    .filter((record) => record.message_type === 'RESPONSE').length;
  const stoppedAt = await responses();
  await sleep(1000);
  assert.equal(await responses(), stoppedAt, 'the series went on after Stop');
  assert.equal(stoppedAt, 5 + points, 'five readings, then one RESPONSE per point');

  const records = await recordsOf(status.session);
  assert.deepEqual(records.filter((record) => record.error), []);
  assert.deepEqual([...new Set(records.map((record) => record.message_type))].sort(),
    ['AGENT_CHECK', 'GET_REQUEST', 'INTERFACE_CHECK', 'RESPONSE']);
});

test('refused: the page says so and nothing reaches the agent', async () => {
  const logBefore = agentLog();
  const page = await openPage(tlsOrigin, 'denied');
  const status = await connect(page);
  assert.equal(status.outcome, 'refused');
  assert.match(status.text, /did not allow this page to reach the diagnostics agent/);
  assert.ok(page.consoleLines.some((line) => /Permission was denied .* `loopback` address/.test(line)),
    page.consoleLines.join('\n'));
  assert.deepEqual(await recordsOf(status.session), []);
  assert.equal(agentLog(), logBefore);
});

test('never asked on an HTTPS page: nothing reaches the agent', async () => {
  const logBefore = agentLog();
  const page = await openPage(tlsOrigin, null);
  const status = await connect(page);
  assert.equal(status.outcome, 'refused', status.text);
  assert.deepEqual(await recordsOf(status.session), []);
  assert.equal(agentLog(), logBefore);
});

// What a plain-HTTP public page may do is the browser's policy, and it changes between
// versions: this records what this browser did and holds the page to telling the truth
// about it.
test('a plain-HTTP public page: what the browser allows, and what the page says', async () => {
  const logBefore = agentLog();
  // Granted where the browser lets it be, so that what a granted page may do is seen too.
  let page;
  try {
    page = await openPage(plainOrigin, 'granted');
  } catch (error) {
    if (!/can't be granted/.test(error.message)) throw error;
    page = await openPage(plainOrigin, null);
  }
  const grantable = (await page.evaluate(async () => {
    try {
      return (await navigator.permissions.query({ name: 'loopback-network' })).state;
    } catch {
      return 'unsupported';
    }
  })) === 'granted';
  const secure = await page.evaluate(() => window.isSecureContext);
  // A browser that leaves the permission at "prompt" keeps the page waiting for the user's
  // answer for its full minute before it gives up.
  const status = await connect(page, PAGE_PROMPT_WAIT_MS + WAIT_MS);
  const reached = (await recordsOf(status.session)).length > 0 || agentLog() !== logBefore;
  const seen = { browser: await browser.version(), secureContext: secure,
    permissionGranted: grantable, reachedAgent: reached, pageOutcome: status.outcome };
  writeFileSync(path.join(out, 'plain-http.json'), `${JSON.stringify(seen, null, 2)}\n`);
  console.log(`plain-HTTP public page on ${seen.browser}: permission ${grantable ? 'granted' : 'could not be granted'}, ${reached ? 'reached' : 'did not reach'} the agent, the page said "${status.outcome}"`);
  if (reached) {
    assert.equal(status.outcome, 'found', status.text);
  } else {
    assert.equal(status.outcome, 'refused', status.text);
    if (!secure) assert.match(status.text, /not loaded over HTTPS/);
  }
});

// Last: it stops the agent.
test('allowed, with no agent running: the page says the agent is not running', async () => {
  agent.kill('SIGTERM');
  await until('the agent to stop', () => agent.exitCode !== null);
  const page = await openPage(tlsOrigin, 'granted');
  const status = await connect(page);
  assert.equal(status.outcome, 'not-running');
  assert.match(status.text, /agent is not running on this computer/);
  assert.deepEqual(await recordsOf(status.session), []);
});
