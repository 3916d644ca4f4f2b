// The Windows tool's station under Wine (scripts/windows/test.sh), driven
// over loopback: the page's scripts as JavaScript, a foreign Origin refused,
// a program uploaded and run to its end point, statuses at their rate.
//
//   node --experimental-websocket wine-check.mjs SERVE-OUTPUT-FILE
import { readFileSync } from 'node:fs';

const outFile = process.argv[2];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
function fail(why) {
  console.log(`serve: FAILED: ${why}`);
  process.exit(1);
}

let host = null;
for (let i = 0; i < 600 && !host; i++) {
  const m = readFileSync(outFile, 'utf8').match(/open http:\/\/(127\.0\.0\.1:\d+)\//);
  if (m) host = m[1];
  else await sleep(100);
}
if (!host) fail(`telvo serve did not start: ${readFileSync(outFile, 'utf8')}`);
const origin = `http://${host}`;

const js = await fetch(`${origin}/app.js`);
if (js.status !== 200 || !js.headers.get('content-type').startsWith('text/javascript')) fail(`app.js: ${js.status} ${js.headers.get('content-type')}`);

const foreign = new WebSocket(`ws://${host}/ws`, { headers: { Origin: 'http://evil.example' } });
const opened = await new Promise((r) => { foreign.onopen = () => r(true); foreign.onerror = () => r(false); });
if (opened) fail('a foreign Origin opened the socket');

const ws = new WebSocket(`ws://${host}/ws`, { headers: { Origin: origin } });
let key = null;
let last = null;
let statuses = 0;
let program = null;
const acks = new Map();
ws.onmessage = (e) => {
  const m = JSON.parse(e.data);
  if (m.type === 'state') key = m.you.key;
  if (m.type === 'status') { statuses++; last = m; }
  if (m.type === 'program') program = m.program;
  if (m.type === 'ack' && acks.has(m.id)) acks.get(m.id)(m);
};
await new Promise((r, j) => { ws.onopen = r; ws.onerror = () => j(new Error('socket refused')); });
const send = (cmd, args = {}) => new Promise((r) => { const id = `${cmd}-${acks.size}`; acks.set(id, r); ws.send(JSON.stringify({ id, cmd, ...args })); });
while (!key) await sleep(20);
if (!(await send('control')).ok) fail('control');
const up = await fetch(`${origin}/api/upload?name=w.ngc`, {
  method: 'POST', headers: { Origin: origin, 'X-Telvo-Client': key }, body: 'G21 G90\nG0 X10 Y5\nG1 X30 F1200\nM30\n',
});
if (up.status !== 202) fail(`upload: ${up.status}`);
for (let i = 0; i < 200 && !program; i++) await sleep(50);
if (!program || !program.check.ok) fail('the program was not checked');
const run = await send('run');
if (!run.ok) fail(`run: ${run.error}`);
const t0 = Date.now();
statuses = 0;
await sleep(1000);
const rate = statuses;
while (Date.now() - t0 < 30000 && !(last.mode === 'idle' && Math.abs(last.machine[0] - 30) < 1e-3)) await sleep(50);
ws.close();
if (last.mode !== 'idle' || Math.abs(last.machine[0] - 30) > 1e-3 || Math.abs(last.machine[1] - 5) > 1e-3) fail(`ended ${last.mode} at ${last.machine}`);
if (rate < 40) fail(`${rate} statuses in a second`);
if (last.underruns !== 0) fail(`${last.underruns} underruns`);
console.log(`serve: end point X30 Y5 reached, ${rate} statuses in a second, underruns 0, foreign Origin refused`);
