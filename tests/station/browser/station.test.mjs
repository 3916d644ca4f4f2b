// The operator's station in headless Chromium: `telvo serve` on the
// simulated controller in real time, the page driven by its accessible
// names the way an operator (or a screen reader) finds the controls.
//
//   TELVO_TOOL        the telvo binary (default: build/native/bin/telvo)
//   TELVO_ARTIFACTS   where the screenshots go (default: build/station-browser)
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';
import { mkdirSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const tool = process.env.TELVO_TOOL || path.join(root, 'build/native/bin/telvo');
const artifacts = process.env.TELVO_ARTIFACTS || path.join(root, 'build/station-browser');

// A short part: a rapid, a plunge, a square with an arc for a side, and a
// rapid to its end point (X30 Y20 Z5). About 8 s at 1500 mm/min.
const PROGRAM = [
  'G21 G90 G17',
  'G0 Z5',
  'G0 X10 Y10',
  'G1 Z-1 F600',
  'G1 X40 F1500',
  'G3 X40 Y40 I0 J15',
  'G1 X10',
  'G1 Y10',
  'G0 Z5',
  'G0 X30 Y20',
  'M30',
  '',
].join('\n');

let serve;
let base;
let browser;
let page;
const consoleErrors = [];

let serveOutput = '';

function startStation() {
  return new Promise((resolve, reject) => {
    serve = spawn(tool, ['serve', '--listen', '127.0.0.1:0', '--speed', '1'], { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    serve.stdout.on('data', (d) => { serveOutput += d; });
    serve.stderr.on('data', (d) => { serveOutput += d; });
    const timer = setTimeout(() => reject(new Error(`telvo serve did not start: ${out}`)), 30000);
    serve.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/open (http:\/\/127\.0\.0\.1:\d+\/)/);
      if (m) { clearTimeout(timer); resolve(m[1]); }
    });
    serve.stderr.on('data', (d) => { out += d; });
    serve.on('exit', (code) => reject(new Error(`telvo serve exited (${code}): ${out}`)));
  });
}

const workX = () => page.getByLabel('Work X', { exact: true });
const workY = () => page.getByLabel('Work Y', { exact: true });
const machineX = () => page.getByLabel('Machine X', { exact: true });
const button = (name) => page.getByRole('button', { name, exact: true });
const num = async (loc) => Number(await loc.textContent());

async function mode() { return (await page.getByRole('status', { name: 'Machine state' }).textContent()).trim(); }
async function waitMode(want, timeout = 30000) {
  await page.waitForFunction((w) => document.getElementById('mode').textContent.startsWith(w), want, { timeout });
}
async function waitNumber(loc, want, timeout = 30000) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const v = await num(loc);
    if (Math.abs(v - want) < 1e-3) return v;
    if (Date.now() > deadline) assert.fail(`expected ${want}, shown ${v}`);
    await page.waitForTimeout(50);
  }
}

before(async () => {
  mkdirSync(artifacts, { recursive: true });
  base = await startStation();
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage'],
    // playwright gives it a fresh, empty profile of its own.
  });
  page = await browser.newPage({ viewport: { width: 1600, height: 1000 } });
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  page.on('pageerror', (e) => consoleErrors.push(String(e)));
});

after(async () => {
  await browser?.close();
  if (serve && serve.exitCode === null) {
    const ended = new Promise((r) => serve.once('exit', r));
    serve.kill('SIGTERM');
    await ended;
  }
});

test('the page loads, connects and takes control', async () => {
  await page.goto(base);
  assert.equal(await page.title(), 'telvo station');
  await page.waitForFunction(() => document.getElementById('link').textContent === 'online');
  await workX().waitFor();
  await button('Take control').click();
  await page.waitForFunction(() => document.getElementById('role-text').textContent === 'you control the machine');
  // Every control the operator needs, by its accessible name.
  for (const name of ['Hold', 'Resume', 'Stop', 'Home', 'Zero X', 'Zero Y', 'Zero Z', 'Run', 'Run from line',
    'Upload', 'Check', 'Jog X+', 'Jog X-', 'Jog Y+', 'Jog Z-', 'Send MDI', 'Spindle CW', 'Spindle off', 'Mist',
    'Flood', 'Touch off', 'Top view', 'Front view', 'Side view', 'Rapid 25%']) {
    assert.equal(await button(name).count(), 1, name);
  }
  for (const label of ['Feed override', 'Spindle override', 'MDI command', 'Jog speed', 'Plate thickness']) {
    assert.equal(await page.getByLabel(label, { exact: true }).count(), 1, label);
  }
});

test('the DRO follows a jog, by button and by key, and stops on release', async () => {
  await button('Home').click();
  await page.waitForFunction(() => document.getElementById('messages').textContent.includes('homed'));
  await waitMode('idle');
  assert.ok(await page.locator('#position-known').isHidden());
  const x0 = await num(workX());
  const jog = button('Jog X+');
  await jog.hover();
  await page.mouse.down();
  await page.waitForFunction((x) => Number(document.getElementById('work-x').textContent) > x + 2, x0);
  await page.mouse.up();
  await waitMode('idle');
  const x1 = await num(workX());
  await page.waitForTimeout(400);
  assert.equal(await num(workX()), x1, 'X still moves after the button was released');

  const y0 = await num(workY());
  await page.locator('body').focus();
  await page.keyboard.down('ArrowUp');
  await page.waitForFunction((y) => Number(document.getElementById('work-y').textContent) > y + 1, y0);
  await page.keyboard.up('ArrowUp');
  await waitMode('idle');
  assert.ok((await num(workY())) > y0 + 1);
});

test('a program uploads and runs; hold stops the positions, resume finishes it', async () => {
  await page.locator('#upload-file').setInputFiles({ name: 'square.ngc', mimeType: 'text/plain', buffer: Buffer.from(PROGRAM) });
  await page.waitForFunction(() => document.getElementById('check-result').textContent.startsWith('uploads/square.ngc: 11 lines'));
  await page.getByLabel('Program text').getByText('G3 X40 Y40 I0 J15').waitFor();
  await button('Run').click();
  await waitMode('running');
  await page.waitForFunction(() => Number(document.getElementById('status-line').textContent) >= 5);
  await page.screenshot({ path: path.join(artifacts, 'station-running.png') });
  await button('Hold').click();
  await waitMode('held');
  const held = [await num(workX()), await num(workY())];
  await page.waitForTimeout(700);
  assert.deepEqual([await num(workX()), await num(workY())], held, 'the machine moved while held');
  // The executing line is highlighted in the program text.
  const current = await page.locator('#program-lines .ln.current').getAttribute('data-line');
  assert.ok(Number(current) >= 5, `highlighted line ${current}`);
  await page.screenshot({ path: path.join(artifacts, 'station-held.png') });
  await button('Resume').click();
  await waitMode('running');
  await waitMode('idle', 60000);
  await waitNumber(workX(), 30);
  await waitNumber(workY(), 20);
  await page.screenshot({ path: path.join(artifacts, 'station.png') });
});

test('an MDI line moves the machine', async () => {
  await page.getByLabel('MDI command', { exact: true }).fill('G0 X5 Y7');
  await button('Send MDI').click();
  await waitNumber(workX(), 5);
  await waitNumber(workY(), 7);
  await waitMode('idle');
  assert.equal(await page.getByRole('list', { name: 'MDI history' }).getByText('G0 X5 Y7').count(), 1);
});

test('zero X changes the work position, not the machine position', async () => {
  const m = await num(machineX());
  assert.ok(Math.abs(m - 5) < 1e-3);
  await button('Zero X').click();
  await waitNumber(workX(), 0);
  assert.equal(await num(machineX()), m);
});

test('a page of another origin cannot open the socket nor upload', async () => {
  const station = new URL(base);
  const foreign = createServer((req, res) => {
    res.setHeader('Content-Type', 'text/html');
    res.end(`<!doctype html><link rel="icon" href="data:,"><script>
      const ws = new WebSocket('ws://${station.host}/ws');
      ws.onopen = () => { document.title = 'opened'; };
      ws.onclose = () => { if (document.title !== 'opened') document.title = 'refused'; };
      fetch('http://${station.host}/api/upload?name=evil.ngc', { method: 'POST', mode: 'no-cors', body: 'G0 X100' }).catch(() => {});
    </script>`);
  });
  await new Promise((r) => foreign.listen(0, '127.0.0.1', r));
  const other = await browser.newPage();
  const otherErrors = [];
  other.on('console', (m) => { if (m.type() === 'error') otherErrors.push(m.text()); });
  try {
    await other.goto(`http://127.0.0.1:${foreign.address().port}/`);
    await other.waitForFunction(() => document.title === 'refused' || document.title === 'opened');
    assert.equal(await other.title(), 'refused');
    assert.ok(otherErrors.some((e) => e.includes('403')), otherErrors.join('\n'));
  } finally {
    await other.close();
    foreign.close();
  }
  const list = await (await fetch(new URL('/api/programs', base))).json();
  assert.deepEqual(list.programs.map((p) => p.id), ['uploads/square.ngc']);
});

test('the page logged no console errors', () => {
  assert.deepEqual(consoleErrors, []);
});

test('the station ends cleanly on SIGTERM', async () => {
  const ended = new Promise((r) => serve.once('exit', (code, signal) => r({ code, signal })));
  serve.kill('SIGTERM');
  const { code } = await ended;
  assert.equal(code, 0, serveOutput);
  assert.match(serveOutput, /telvo serve: ended; while moving: \d+ host-loop cycles, \d+ over 5 ms, the longest [\d.]+ ms; underruns 0/);
});
