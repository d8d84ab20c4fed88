// Real browsers drive the agent: Debian's Chromium and Firefox ESR, through puppeteer-core,
// open the reference page served by the remote server stand-in on a "public" address
// (203.0.113.1, a veth in the private network namespace this runs in) and call the real
// agent on 127.0.0.1:8070, which talks to the adapter simulator linked as COM3. Both
// browsers share the one agent and stand-in.
//
// Run by scripts/test-browser, which makes the namespace. Environment:
//   MORVANIX_BUILD         build folder holding the agent and the stand-ins (build/dev)
//   MORVANIX_NODE_MODULES  folder whose node_modules holds puppeteer-core (build/browser)
//   MORVANIX_BROWSER_OUT   where screenshots go (build/browser/out)
//   MORVANIX_CHROMIUM, MORVANIX_FIREFOX  other browser binaries
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { copyFileSync, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import http from 'node:http';
import https from 'node:https';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const build = process.env.MORVANIX_BUILD ?? path.join(root, 'build/dev');
const modules = process.env.MORVANIX_NODE_MODULES ?? path.join(root, 'build/browser');
const out = process.env.MORVANIX_BROWSER_OUT ?? path.join(root, 'build/browser/out');
const HOST = '203.0.113.1';
const PERMISSION = 'loopback-network';
const WAIT_MS = 60000;
const PAGE_PROMPT_WAIT_MS = 60000;  // PROMPT_WAIT_MS in the page's app.js
// How long the user takes to answer Firefox's prompt: longer than Chromium keeps a call.
const LATE_ANSWER_MS = 8000;

const require = createRequire(path.join(modules, 'package.json'));
const { default: puppeteer } = await import(pathToFileURL(require.resolve('puppeteer-core')));

const scratch = mkdtempSync(path.join(os.tmpdir(), 'morvanix-browser-'));
const children = [];
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

async function enqueue(session, request) {
  const response = await fetch(`${plainOrigin}/control/enqueue?ssid=${session}`,
    { method: 'POST', body: request });
  assert.equal(response.status, 200, `enqueue: ${response.status}`);
}

const recordsOf = async (session) =>
  (await control('/control/messages')).filter((record) => record.ssid === session);
const agentLog = () => readFileSync(path.join(scratch, 'agent/vd_service.log'), 'latin1');

// The browsers under test. `grants` is false where a permission set by the test cannot be
// told from one the user gave; `prompts` is filled in at launch for Firefox (140 has no
// local-network check at all, 153 asks the user and holds the call meanwhile).
const BROWSERS = [
  {
    name: 'chromium',
    options: (spkiHash) => ({
      executablePath: process.env.MORVANIX_CHROMIUM ?? '/usr/bin/chromium',
      args: [`--ignore-certificate-errors-spki-list=${spkiHash}`,
        ...(process.getuid() === 0 ? ['--no-sandbox'] : [])],
    }),
    // Chromium headless dismisses its prompt at once: a page never asked is refused.
    neverAskedOutcome: 'refused',
    deniedConsole: /Permission was denied .* `loopback` address/,
  },
  {
    name: 'firefox',
    options: () => ({
      browser: 'firefox',
      executablePath: process.env.MORVANIX_FIREFOX ?? '/usr/bin/firefox-esr',
      acceptInsecureCerts: true,
      // Lets the test answer the prompt in the browser window, as a user would.
      args: ['--remote-allow-system-access'],
    }),
  },
];

before(async () => {
  mkdirSync(out, { recursive: true });
  // A certificate for the page's origin, trusted by Chromium through its key's hash.
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

  for (const kind of BROWSERS) {
    kind.browser = await puppeteer.launch({ headless: true, ...kind.options(spkiHash) });
    kind.version = await kind.browser.version();
    if (kind.name === 'firefox') {
      kind.prompts = await inFirefoxWindow(kind,
        "Services.prefs.getBoolPref('network.lna.enabled', false) && " +
        "Services.prefs.getBoolPref('network.lna.blocking', false)");
    }
    console.log(`# ${kind.version}${kind.name === 'firefox' ? ` (asks the user: ${kind.prompts})` : ''}`);
  }
  console.log(`# puppeteer-core ${require('puppeteer-core/package.json').version}, node ${process.version}`);
});

after(async () => {
  for (const kind of BROWSERS) await kind.browser?.close();
  for (const child of children) child.kill('SIGTERM');
  await Promise.all(children.map((child) => child.exitCode !== null ? null
    : new Promise((resolve) => child.on('exit', resolve))));
  rmSync(scratch, { recursive: true, force: true });
});

// Runs an expression in Firefox's own window (its browser chrome), where the prompt is.
async function inFirefoxWindow(kind, expression) {
  const connection = kind.browser.connection;
  const { result: tree } = await connection.send('browsingContext.getTree', { 'moz:scope': 'chrome' });
  const window = tree.contexts.find((context) => context.url === 'chrome://browser/content/browser.xhtml');
  assert.ok(window, 'no Firefox window');
  const { result } = await connection.send('script.evaluate',
    { expression, target: { context: window.context }, awaitPromise: true });
  assert.equal(result.type, 'success', JSON.stringify(result.exceptionDetails ?? result));
  return result.result.value;
}

// Firefox's prompt on the selected tab, null while there is none.
const promptShown = `PopupNotifications.getNotification('${PERMISSION}', gBrowser.selectedBrowser)`;

// Waits for Firefox's prompt on the selected tab, returns its text and answers it late.
async function answerFirefoxPrompt(kind, page, answer) {
  await page.bringToFront();
  await until('the prompt', () => inFirefoxWindow(kind, `!!${promptShown}`));
  await sleep(LATE_ANSWER_MS);
  const button = answer === 'allow' ? 'button' : 'secondaryButton';
  return inFirefoxWindow(kind, `(() => {
    const panel = document.getElementById('${PERMISSION}-notification');
    const text = panel.querySelector('.popup-notification-description').textContent.trim();
    panel.${button}.click();
    return text;
  })()`);
}

// A page in a fresh browser context, with the loopback permission set for its origin
// (null: left as the browser has it). Console lines are kept for the checks.
async function openPage(kind, origin, state) {
  const context = await kind.browser.createBrowserContext();
  if (state) await context.setPermission(origin, { permission: { name: PERMISSION }, state });
  const page = await context.newPage();
  page.consoleLines = [];
  page.on('console', (message) => page.consoleLines.push(message.text()));
  await page.goto(`${origin}/`, { waitUntil: 'load' });
  return page;
}

// Presses Connect; the outcome and text once the page has settled.
async function connect(page, timeout = WAIT_MS) {
  await page.click('#connect');
  return settled(page, timeout);
}

async function settled(page, timeout = WAIT_MS) {
  await page.waitForFunction(() => !['idle', 'busy'].includes(
    document.getElementById('status').dataset.outcome), { timeout });
  return page.$eval('#status', (status) => ({ outcome: status.dataset.outcome,
    text: status.textContent, session: status.dataset.session }));
}

// A page of another public site, on an HTTPS server of its own at HOST, whose own script
// sends the browser to `target` once it has loaded: no click, so no user activation (a call
// from the test into the page would count as one). The document that comes back: its status
// and text.
async function sentThereByAPage(kind, target) {
  const server = https.createServer({ cert: readFileSync(path.join(scratch, 'cert.pem')),
    key: readFileSync(path.join(scratch, 'key.pem')) }, (request, response) => {
    response.setHeader('Content-Type', 'text/html');
    response.end(`<!doctype html><title>elsewhere</title><script>addEventListener('load', () =>
      setTimeout(() => { location.href = ${JSON.stringify(target)}; }));</script>`);
  });
  await new Promise((resolve) => server.listen(0, HOST, resolve));
  try {
    const page = await (await kind.browser.createBrowserContext()).newPage();
    const [answer] = await Promise.all([
      page.waitForResponse((response) => response.url() === target, { timeout: WAIT_MS }),
      page.goto(`https://${HOST}:${server.address().port}/`, { waitUntil: 'load' })]);
    await page.waitForFunction((to) => location.href === to && document.readyState === 'complete',
      { timeout: WAIT_MS }, target);
    return { page, status: answer.status(),
      text: await page.evaluate(() => document.body.innerText.trim()) };
  } finally {
    server.closeAllConnections();
    server.close();
  }
}

// A server of its own on the loopback address that keeps the Sec-Fetch-* headers of the
// requests it gets: the agent logs nothing of a request it refuses.
async function headerRecorder() {
  const seen = [];
  const server = http.createServer((request, response) => {
    seen.push({ path: request.url, ...Object.fromEntries(Object.entries(request.headers)
      .filter(([name]) => name.startsWith('sec-fetch-'))) });
    response.end('recorded');
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { url: `http://127.0.0.1:${server.address().port}`, seen,
    close: () => new Promise((resolve) => { server.close(resolve); server.closeAllConnections(); }) };
}

// Whether anything of `session` reached the agent or the server since the log read `before`.
const reachedAgent = async (session, logBefore) =>
  (await recordsOf(session)).length > 0 || agentLog() !== logBefore;

for (const kind of BROWSERS) {
  describe(kind.name, () => {
    const shot = (page, name) =>
      page.screenshot({ path: path.join(out, `${kind.name}-${name}.png`), fullPage: true });

    test('the page decodes the answers it is shown (its own checks)', async () => {
      const page = await openPage(kind, tlsOrigin, 'granted');
      const result = await page.evaluate(async () => (await import('./checks.js')).runChecks());
      assert.deepEqual(result.failures, []);
      assert.ok(result.passed > 0);
    });

    test('allowed: connects, reads, draws a series that stops on Stop', async () => {
      const page = await openPage(kind, tlsOrigin, 'granted');
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
      await shot(page, 'reading');

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
      await shot(page, 'series');

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

    test('refused: the page says so and nothing reaches the agent', async (t) => {
      if (kind.prompts === false) return t.skip('this Firefox has no local-network check');
      const logBefore = agentLog();
      const page = await openPage(kind, tlsOrigin, 'denied');
      const status = await connect(page);
      assert.equal(status.outcome, 'refused');
      assert.match(status.text, /did not allow this page to reach the diagnostics agent/);
      if (kind.deniedConsole) {
        assert.ok(page.consoleLines.some((line) => kind.deniedConsole.test(line)),
          page.consoleLines.join('\n'));
      }
      assert.equal(await reachedAgent(status.session, logBefore), false);
    });

    if (kind.neverAskedOutcome) {
      test('never asked on an HTTPS page: nothing reaches the agent', async () => {
        const logBefore = agentLog();
        const page = await openPage(kind, tlsOrigin, null);
        const status = await connect(page);
        assert.equal(status.outcome, kind.neverAskedOutcome, status.text);
        assert.equal(await reachedAgent(status.session, logBefore), false);
      });
    } else {
      // Firefox holds the call while its prompt shows, so a late answer still counts.
      test('never asked on an HTTPS page: a late Allow goes through, Block is refused', async () => {
        const seen = { browser: kind.version, asks: kind.prompts };
        for (const answer of ['allow', 'block']) {
          const logBefore = agentLog();
          const page = await openPage(kind, tlsOrigin, null);
          await page.click('#connect');
          if (kind.prompts) {
            if (answer === 'allow') {
              await until('the prompt', () => inFirefoxWindow(kind, `!!${promptShown}`));
              assert.equal(await page.$eval('#permission-hint', (hint) => hint.hidden), false);
              assert.match(await page.$eval('#status', (status) => status.textContent), /^Waiting for you to allow/);
              await shot(page, 'prompt-shown');
            }
            seen.prompt = await answerFirefoxPrompt(kind, page, answer);
            assert.match(seen.prompt, /wants to access other apps and services on this device/);
          }
          const status = await settled(page);
          seen[answer] = { reachedAgent: await reachedAgent(status.session, logBefore),
            pageOutcome: status.outcome };
          if (!kind.prompts || answer === 'allow') {
            assert.equal(status.outcome, 'found', status.text);
          } else {
            assert.equal(status.outcome, 'refused', status.text);
            assert.match(status.text, /did not allow this page to reach the diagnostics agent/);
            assert.equal(seen[answer].reachedAgent, false);
          }
          if (!kind.prompts) break;
        }
        writeFileSync(path.join(out, `${kind.name}-never-asked.json`), `${JSON.stringify(seen, null, 2)}\n`);
      });
    }

    // What a plain-HTTP public page may do is the browser's policy, and it changes between
    // versions: this records what this browser did and holds the page to telling the truth
    // about it.
    test('a plain-HTTP public page: what the browser allows, and what the page says', async () => {
      const logBefore = agentLog();
      // Granted where the browser lets it be, so that what a granted page may do is seen too.
      let page;
      try {
        page = await openPage(kind, plainOrigin, 'granted');
      } catch (error) {
        page = await openPage(kind, plainOrigin, null);
      }
      const grantable = (await page.evaluate(async (name) => {
        try {
          return (await navigator.permissions.query({ name })).state;
        } catch {
          return 'unsupported';
        }
      }, PERMISSION)) === 'granted';
      const secure = await page.evaluate(() => window.isSecureContext);
      // A browser that leaves the permission at "prompt" keeps the page waiting for the user's
      // answer for its full minute before it gives up.
      const status = await connect(page, PAGE_PROMPT_WAIT_MS + WAIT_MS);
      const reached = await reachedAgent(status.session, logBefore);
      const seen = { browser: kind.version, secureContext: secure,
        permissionGranted: grantable, reachedAgent: reached, pageOutcome: status.outcome };
      writeFileSync(path.join(out, `${kind.name}-plain-http.json`), `${JSON.stringify(seen, null, 2)}\n`);
      console.log(`plain-HTTP public page on ${seen.browser}: permission ${grantable ? 'granted' : 'could not be granted'}, ${reached ? 'reached' : 'did not reach'} the agent, the page said "${status.outcome}"`);
      if (reached) {
        assert.equal(status.outcome, 'found', status.text);
      } else {
        assert.equal(status.outcome, 'refused', status.text);
        if (!secure) assert.match(status.text, /not loaded over HTTPS/);
      }
    });

    // The local-network check does not cover a navigation: a page that sends the browser to
    // the agent, here to relay a request queued for a session of the page's choosing, is
    // refused by the agent itself. The headers recorded are those the browser sent to another
    // loopback server when the same kind of page sent it there.
    test('a page that navigates to the agent gets the 403, and nothing of it is run', async () => {
      const session = `navigated_${kind.name}`;
      await enqueue(session, '{"id": 17, "command": "{\\"01\\":\\"ATRV\\"}"}');
      const recorder = await headerRecorder();
      try {
        await sentThereByAPage(kind, `${recorder.url}/RQ/${session}`);
      } finally {
        await recorder.close();
      }
      const logBefore = agentLog();
      const tab = await sentThereByAPage(kind, `http://127.0.0.1:8070/RQ/${session}`);
      await shot(tab.page, 'navigated');
      const seen = { browser: kind.version, headers: recorder.seen, agentStatus: tab.status,
        tab: tab.text, reachedAgent: await reachedAgent(session, logBefore),
        stillQueued: (await control(`/control/queue?ssid=${session}`)).queued };
      writeFileSync(path.join(out, `${kind.name}-navigation.json`), `${JSON.stringify(seen, null, 2)}\n`);
      console.log(`navigation from a public page on ${seen.browser}: sent ${JSON.stringify(seen.headers)}; the agent answered ${seen.agentStatus}`);
      const sent = seen.headers.find((headers) => headers.path === `/RQ/${session}`);
      assert.deepEqual([sent?.['sec-fetch-mode'], sent?.['sec-fetch-dest'], sent?.['sec-fetch-site']],
        ['navigate', 'document', 'cross-site']);
      assert.equal(tab.status, 403);
      assert.match(tab.text, /^This is the local diagnostics agent; it is called by its web application/);
      assert.equal(seen.reachedAgent, false);
      assert.equal(seen.stillQueued, 1);
    });

    if (kind.name === 'firefox') {
      // Set so, Firefox blocks a plain-HTTP page that was never asked, with no prompt: the
      // page must say why at once rather than wait for an answer that cannot come.
      test('a plain-HTTP page blocked without a prompt: the page says so at once', async (t) => {
        if (!kind.prompts) return t.skip('this Firefox has no local-network check');
        const pref = 'network.lna.block_insecure_contexts';
        await inFirefoxWindow(kind, `Services.prefs.setBoolPref('${pref}', true)`);
        try {
          const logBefore = agentLog();
          const page = await openPage(kind, plainOrigin, null);
          const status = await connect(page, 10000);
          assert.equal(status.outcome, 'refused', status.text);
          assert.match(status.text, /not loaded over HTTPS/);
          assert.equal(await reachedAgent(status.session, logBefore), false);
          await shot(page, 'plain-http-blocked');
        } finally {
          await inFirefoxWindow(kind, `Services.prefs.clearUserPref('${pref}')`);
        }
      });
    }
  });
}

// Last: it stops the agent.
describe('no agent running', () => {
  before(async () => {
    agent.kill('SIGTERM');
    await until('the agent to stop', () => agent.exitCode !== null);
  });
  for (const kind of BROWSERS) {
    test(`${kind.name}, allowed: the page says the agent is not running`, async () => {
      const page = await openPage(kind, tlsOrigin, 'granted');
      const status = await connect(page);
      assert.equal(status.outcome, 'not-running', status.text);
      assert.match(status.text, /agent is not running on this computer/);
      assert.deepEqual(await recordsOf(status.session), []);
    });
  }
});
