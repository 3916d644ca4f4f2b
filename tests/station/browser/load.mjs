// Load: N WebSocket clients connected to `telvo serve` (simulated
// controller, real time) through S seconds of a long program. Prints each
// client's status rate, the round-trip time of a ping every second (median
// and 99th percentile), the controller's underruns and the station's own
// account of its host-loop cycles. Not part of the test command (it runs
// for minutes):
//
//   node --experimental-websocket tests/station/browser/load.mjs [SECONDS] [CLIENTS]
import { spawn } from 'node:child_process';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../../..');
const tool = process.env.TELVO_TOOL || path.join(root, 'build/native/bin/telvo');
const seconds = Number(process.argv[2] || 300);
const count = Number(process.argv[3] || 5);

// A raster of 400 rows of 100 mm at 600 mm/min: about 70 minutes of motion.
let program = 'G21 G90 G64 P0.01\nG0 Z2\nG0 X0 Y0\nG1 Z-0.5 F300\nF600\n';
for (let row = 0; row < 400; row++) {
  for (let k = 0; k <= 50; k++) {
    const x = (row % 2 === 0 ? k : 50 - k) * 2;
    program += `G1 X${x} Y${(row * 0.25 + 0.05 * Math.sin(k)).toFixed(4)}\n`;
  }
}
program += 'G0 Z2\nM30\n';

let output = '';
const serve = spawn(tool, ['serve', '--listen', '127.0.0.1:0', '--speed', '1'], { stdio: ['ignore', 'pipe', 'pipe'] });
serve.stdout.on('data', (d) => { output += d; });
serve.stderr.on('data', (d) => { output += d; });
const base = await new Promise((resolve, reject) => {
  const t = setInterval(() => {
    const m = output.match(/open (http:\/\/127\.0\.0\.1:\d+\/)/);
    if (m) { clearInterval(t); resolve(m[1]); }
  }, 50);
  serve.on('exit', () => reject(new Error(output)));
});
const host = new URL(base).host;
const origin = `http://${host}`;

function client(i) {
  return new Promise((resolve) => {
    const c = { i, ws: new WebSocket(`ws://${host}/ws`, { headers: { Origin: origin } }), statuses: 0, first: 0, last: 0, rtt: [], pending: new Map(), underruns: 0, key: '', acks: new Map() };
    c.send = (cmd, args = {}) => new Promise((done) => {
      const id = `${i}-${Math.random()}`;
      c.acks.set(id, done);
      c.ws.send(JSON.stringify({ id, cmd, ...args }));
    });
    c.ws.onmessage = (e) => {
      const m = JSON.parse(e.data);
      if (m.type === 'state') { c.key = m.you.key; resolve(c); }
      if (m.type === 'status') {
        if (c.counting) { c.statuses++; c.last = performance.now(); }
        c.underruns = Math.max(c.underruns, m.underruns);
        c.mode = m.mode;
      }
      if (m.type === 'program') c.program = m.program;
      if (m.type === 'ack') {
        const sent = c.pending.get(m.id);
        if (sent !== undefined) { c.rtt.push(performance.now() - sent); c.pending.delete(m.id); }
        const done = c.acks.get(m.id);
        if (done) { c.acks.delete(m.id); done(m); }
      }
    };
  });
}

const clients = await Promise.all(Array.from({ length: count }, (_, i) => client(i)));
const boss = clients[0];
console.log(`${count} clients on ${base}`);
await boss.send('control');
const up = await fetch(`${base}api/upload?name=load.ngc`, { method: 'POST', headers: { Origin: origin, 'X-Telvo-Client': boss.key }, body: program });
if (up.status !== 202) throw new Error(`upload: ${up.status} ${await up.text()}`);
while (!boss.program) await new Promise((r) => setTimeout(r, 100));
console.log(`program: ${boss.program.lines} lines, ${boss.program.check.moves} moves, ${boss.program.check.seconds} s planned`);
const run = await boss.send('run');
if (!run.ok) throw new Error(`run: ${run.error}`);
const start = performance.now();
for (const c of clients) { c.counting = true; c.first = start; }
let pingNo = 0;
const pinger = setInterval(() => {
  for (const c of clients) {
    const id = `p${pingNo}`;
    c.pending.set(id, performance.now());
    c.ws.send(JSON.stringify({ id, cmd: 'ping' }));
  }
  pingNo++;
}, 1000);
await new Promise((r) => setTimeout(r, seconds * 1000));
clearInterval(pinger);
const elapsed = (performance.now() - start) / 1000;
for (const c of clients) c.counting = false;
await boss.send('stop');
while (boss.mode !== 'idle') await new Promise((r) => setTimeout(r, 100));
for (const c of clients) c.ws.close();
const ended = new Promise((r) => serve.once('exit', r));
serve.kill('SIGTERM');
await ended;

const all = clients.flatMap((c) => c.rtt).sort((a, b) => a - b);
const q = (p) => all[Math.min(all.length - 1, Math.floor(p * all.length))];
console.log(`${elapsed.toFixed(1)} s of the program`);
for (const c of clients) console.log(`client ${c.i}: ${(c.statuses / elapsed).toFixed(1)} statuses/s, ${c.rtt.length} pings`);
console.log(`ping round trip: median ${q(0.5).toFixed(2)} ms, p99 ${q(0.99).toFixed(2)} ms, max ${all[all.length - 1].toFixed(2)} ms (${all.length} pings)`);
console.log(`underruns seen in statuses: ${Math.max(...clients.map((c) => c.underruns))}`);
console.log(output.trim().split('\n').pop());
