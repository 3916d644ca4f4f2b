// The station's page. Everything it shows comes from the server: the state
// on connecting, then statuses, events and acknowledgements. The page keeps
// no idea of the machine of its own.
import { Connection } from './connection.js';
import { Preview, parsePreview } from './preview.js';
import { ProgramView } from './program-view.js';
import { Jogger } from './jog.js';

const $ = (id) => document.getElementById(id);
const LETTERS = ['X', 'Y', 'Z', 'A', 'B', 'C'];
const WORK_SYSTEMS = ['G54', 'G55', 'G56', 'G57', 'G58', 'G59', 'G59.1', 'G59.2', 'G59.3'];
const MAX_MESSAGES = 200;

const page = {
  machine: null,
  status: null,
  program: null,
  controller: null,
  messagesSeen: new Set(),
  jogAxes: [],
  droCells: {},
};

const preview = new Preview($('preview'), $('preview-path'), $('preview-executed'), $('preview-tool'));
const programView = new ProgramView($('program-text'), $('program-spacer'), $('program-lines'));

const conn = new Connection({
  open: () => setBadge($('link'), 'online', 'ok'),
  close: () => { setBadge($('link'), 'offline', 'bad'); updateControls(); },
  state: onState,
  status: onStatus,
  event: (e) => addMessage(e),
  role: (r) => { page.controller = r.controller; updateControls(); },
  program: onProgram,
});

const jogger = new Jogger(conn, () => ({
  step: Number(document.querySelector('input[name="jog-step"]:checked').value),
  speed: (axis) => {
    const a = page.machine.axes[LETTERS.indexOf(axis)];
    return Math.max(0.01, (a.maxVelocity * Number($('jog-speed').value)) / 100);
  },
  enabled: isController(),
}), (text) => addMessage({ kind: 'error', text, line: 0 }));

function isController() { return conn.id !== null && page.controller === conn.id; }

function setBadge(el, text, kind) {
  el.textContent = text;
  el.className = `badge ${kind || ''}`;
}

function fmt(v, digits = 3) { return (Math.round(v * 10 ** digits) / 10 ** digits).toFixed(digits); }

// ---- state ----

function onState(m) {
  page.machine = m.machine;
  page.controller = m.controller;
  $('machine-name').textContent = `${m.machine.name}${m.simulated ? ' (simulated controller)' : ''}`;
  buildAxes(m.machine);
  preview.setLimits(m.machine.axes);
  const t = m.machine.touchOff;
  $('touch-axis').value = t.axis;
  $('touch-direction').value = String(t.direction);
  $('touch-plate').value = t.plate;
  $('touch-distance').value = t.distance;
  $('touch-feed').value = t.feed;
  $('touch-retract').value = t.retract;
  $('messages').replaceChildren();
  page.messagesSeen.clear();
  for (const e of m.messages) addMessage(e);
  onProgram(m.program);
  onStatus(m.status);
  refreshPrograms();
}

function buildAxes(machine) {
  const rows = $('dro-rows');
  rows.replaceChildren();
  const pad = $('jog-pad');
  pad.replaceChildren();
  const touch = $('touch-axis');
  touch.replaceChildren();
  page.droCells = {};
  page.jogAxes = [];
  machine.axes.forEach((a, i) => {
    if (!a.configured) return;
    const tr = document.createElement('tr');
    const work = document.createElement('td');
    work.className = 'work';
    work.setAttribute('aria-label', `Work ${a.letter}`);
    work.id = `work-${a.letter.toLowerCase()}`;
    const mach = document.createElement('td');
    mach.className = 'mach';
    mach.setAttribute('aria-label', `Machine ${a.letter}`);
    mach.id = `machine-${a.letter.toLowerCase()}`;
    const axisCell = document.createElement('td');
    axisCell.className = 'axis';
    axisCell.textContent = a.letter;
    const zeroCell = document.createElement('td');
    if (!a.slaveOf) {
      const zero = document.createElement('button');
      zero.type = 'button';
      zero.textContent = `Zero ${a.letter}`;
      zero.dataset.control = 'machine';
      zero.addEventListener('click', () => command('zero', { axis: a.letter }));
      zeroCell.append(zero);
    } else {
      axisCell.title = `follows ${a.slaveOf}`;
    }
    tr.append(axisCell, work, mach, zeroCell);
    rows.append(tr);
    page.droCells[i] = { work, mach };
    if (a.slaveOf) return;
    page.jogAxes.push(a.letter);
    for (const dir of [-1, 1]) {
      const b = document.createElement('button');
      b.type = 'button';
      b.textContent = `Jog ${a.letter}${dir > 0 ? '+' : '-'}`;
      b.dataset.control = 'machine';
      jogger.bindButton(b, a.letter, dir);
      pad.append(b);
    }
    const opt = document.createElement('option');
    opt.value = a.letter;
    opt.textContent = a.letter;
    touch.append(opt);
  });
}

function onStatus(s) {
  page.status = s;
  if (s.controller !== undefined) page.controller = s.controller;
  for (const [i, cells] of Object.entries(page.droCells)) {
    cells.work.textContent = fmt(s.work[i]);
    cells.mach.textContent = fmt(s.machine[i]);
  }
  const kind = { idle: 'ok', running: 'ok', jogging: 'ok', homing: 'ok', fault: 'bad', held: 'warn', holding: 'warn', paused: 'warn', stopping: 'warn' }[s.mode];
  setBadge($('mode'), s.mode + (s.waiting !== 'none' ? ` (${s.waiting})` : ''), kind);
  $('position-known').hidden = s.positionKnown;
  $('work-system').textContent = WORK_SYSTEMS[s.workSystem] || '?';
  $('tool').textContent = String(s.tool);
  $('status-line').textContent = s.line > 0 ? String(s.line) : '–';
  $('status-feed').textContent = `${fmt(s.feed * 60, 0)} ${page.machine ? page.machine.units : ''}/min`;
  $('status-buffer').value = s.buffer;
  $('status-buffer-text').textContent = `${s.buffer} + ${s.queued}`;
  $('status-spindle').textContent = s.spindle.direction === 0 ? 'off' : `${s.spindle.direction > 0 ? 'CW' : 'CCW'} ${fmt(s.spindle.rpm, 0)} rpm`;
  $('status-coolant').textContent = [s.coolant.mist && 'mist', s.coolant.flood && 'flood'].filter(Boolean).join(', ') || 'off';
  $('mist').setAttribute('aria-pressed', String(s.coolant.mist));
  $('flood').setAttribute('aria-pressed', String(s.coolant.flood));
  $('status-time').textContent = s.estimate > 0 ? `${fmt(s.elapsed, 1)} / ${fmt(s.estimate, 1)} s` : `${fmt(s.elapsed, 1)} s`;
  syncRange($('feed-override'), $('feed-override-out'), s.feedOverride);
  syncRange($('spindle-override'), $('spindle-override-out'), s.spindleOverride);
  for (const b of document.querySelectorAll('[data-rapid]')) b.setAttribute('aria-pressed', String(Number(b.dataset.rapid) === s.rapidOverride));
  const alarms = $('alarms');
  const alarmText = s.alarms.join('\n');
  if (alarms.dataset.text !== alarmText) {
    alarms.dataset.text = alarmText;
    alarms.replaceChildren(...s.alarms.map((a) => { const li = document.createElement('li'); li.textContent = a; return li; }));
  }
  showPrompt(s);
  programView.setCurrent(s.line, s.mode === 'running' || s.mode === 'holding');
  preview.position(s.machine);
  updateControls();
}

// Overrides follow the server, except while the operator drags the slider.
function syncRange(input, output, value) {
  if (document.activeElement === input && performance.now() - (input.lastInput || 0) < 1500) return;
  input.value = value;
  output.textContent = `${value} %`;
}

function showPrompt(s) {
  const waiting = s.mode === 'paused' && (s.waiting === 'pause' || s.waiting === 'optionalPause' || s.waiting === 'toolChange');
  const box = $('prompt');
  if (!waiting) { box.hidden = true; return; }
  box.hidden = false;
  $('prompt-text').textContent = s.waiting === 'toolChange'
    ? `Tool change at line ${s.line}: load tool ${s.tool}, then continue.`
    : `Program paused (${s.waiting === 'optionalPause' ? 'M1' : 'M0'}) at line ${s.line}.`;
}

function updateControls() {
  const control = isController() && conn.open;
  $('role-text').textContent = !conn.open ? 'offline' : control ? 'you control the machine' : page.controller === null ? 'nobody controls' : `client ${page.controller} controls`;
  $('take-control').hidden = control;
  $('release-control').hidden = !control;
  const mode = page.status ? page.status.mode : 'closed';
  const idle = mode === 'idle';
  for (const el of document.querySelectorAll('[data-control="machine"]')) el.disabled = !control;
  const set = (id, on) => { $(id).disabled = !on; };
  set('resume', control && (mode === 'held' || mode === 'paused'));
  set('hold', conn.open && mode === 'running');
  set('stop', conn.open && mode !== 'idle' && mode !== 'closed');
  set('abort', conn.open && mode !== 'closed');
  set('run', control && idle && page.program !== null);
  set('run-from', control && idle && page.program !== null);
  set('check', control && idle && page.program !== null);
  set('open-program', control && idle);
  set('upload', control && idle);
  set('home', control && idle);
  set('confirm-position', control && idle && page.status && !page.status.positionKnown);
  set('touch-off', control && idle);
  for (const id of ['spindle-cw', 'spindle-ccw', 'spindle-off', 'mist', 'flood', 'coolant-off', 'feed-override', 'spindle-override']) set(id, control);
  for (const b of document.querySelectorAll('[data-rapid]')) b.disabled = !control;
  $('mdi').disabled = !control;
  document.querySelector('#mdi-form button').disabled = !control || !idle;
}

// ---- program ----

function onProgram(p) {
  const changed = !page.program || !p || page.program.version !== p.version;
  page.program = p;
  $('program-name').textContent = p ? p.id : '';
  if (!changed) return;
  programView.setProgram(p);
  refreshPrograms();
  const r = $('check-result');
  if (!p) { r.textContent = ''; preview.setPath(null); return; }
  const c = p.check;
  r.textContent = c.ok
    ? `${p.id}: ${p.lines} lines, ${c.moves} moves, ${fmt(c.seconds, 1)} s planned; preview ${p.preview.points} points`
    : `${p.id}: ${c.errors.length}${c.truncated ? '+' : ''} error(s): line ${c.errors[0].line}: ${c.errors[0].message}`;
  $('start-line').max = String(p.lines);
  const version = p.version;
  fetch('/api/preview').then((res) => (res.ok ? res.arrayBuffer() : null)).then((buf) => {
    if (!buf || !page.program || page.program.version !== version) return;
    preview.setPath(parsePreview(buf));
    $('preview-info').textContent = `${preview.describe()}: ${p.preview.points} points kept of ${p.preview.moves}`;
  }).catch(() => {});
}

async function refreshPrograms() {
  try {
    const res = await fetch('/api/programs');
    if (!res.ok) return;
    const j = await res.json();
    const sel = $('program-select');
    const keep = sel.value;
    sel.replaceChildren(...j.programs.map((p) => { const o = document.createElement('option'); o.value = p.id; o.textContent = p.id; return o; }));
    if (keep) sel.value = keep;
    if (page.program) sel.value = page.program.id;
  } catch { /* offline: the next state refreshes it */ }
}

// ---- messages ----

function addMessage(e) {
  if (e.seq !== undefined) {
    if (page.messagesSeen.has(e.seq)) return;
    page.messagesSeen.add(e.seq);
  }
  const list = $('messages');
  const li = document.createElement('li');
  li.className = e.kind;
  const time = document.createElement('span');
  time.className = 'time';
  time.textContent = new Date().toLocaleTimeString();
  li.append(time);
  if (e.line > 0) {
    const a = document.createElement('a');
    a.textContent = `line ${e.line}`;
    a.addEventListener('click', () => programView.scrollTo(e.line, true));
    li.append(a);
  }
  const label = { pause: 'Pause: ', toolChange: `Tool change (T${e.tool}): `, error: 'Error: ', finished: 'Done: ' }[e.kind] || '';
  li.append(`${label}${e.text}`);
  list.prepend(li);
  while (list.children.length > MAX_MESSAGES) list.lastChild.remove();
}

// ---- commands ----

async function command(cmd, args = {}) {
  const ack = await conn.send(cmd, args);
  if (!ack.ok) addMessage({ kind: 'error', text: `${cmd}: ${ack.error}`, line: 0 });
  return ack;
}

$('take-control').addEventListener('click', () => command('control'));
$('release-control').addEventListener('click', () => command('release'));
$('hold').addEventListener('click', () => command('hold'));
$('resume').addEventListener('click', () => command('resume'));
$('stop').addEventListener('click', () => command('stop'));
$('abort').addEventListener('click', () => command('abort'));
$('prompt-continue').addEventListener('click', () => command('resume'));
$('prompt-stop').addEventListener('click', () => command('stop'));
$('home').addEventListener('click', () => command('home', { axis: 'all' }));
$('confirm-position').addEventListener('click', () => command('confirmPosition'));
$('run').addEventListener('click', () => command('run'));
$('run-from').addEventListener('click', () => command('run', { from: Number($('start-line').value) }));
$('check').addEventListener('click', () => command('check'));
$('open-program').addEventListener('click', () => command('open', { program: $('program-select').value }));
$('upload').addEventListener('click', () => $('upload-file').click());
$('upload-file').addEventListener('change', async () => {
  const file = $('upload-file').files[0];
  $('upload-file').value = '';
  if (!file) return;
  $('check-result').textContent = `uploading ${file.name} (${file.size} bytes)…`;
  const res = await fetch(`/api/upload?name=${encodeURIComponent(file.name)}`, {
    method: 'POST', body: file, headers: { 'X-Telvo-Client': conn.key },
  });
  if (!res.ok) {
    const text = (await res.text()).trim();
    $('check-result').textContent = `upload refused: ${text}`;
    addMessage({ kind: 'error', text: `Upload: ${text}`, line: 0 });
  }
  refreshPrograms();
});
$('touch-off').addEventListener('click', () => command('touchOff', {
  axis: $('touch-axis').value,
  direction: Number($('touch-direction').value),
  plate: Number($('touch-plate').value),
  distance: Number($('touch-distance').value),
  feed: Number($('touch-feed').value),
  retract: Number($('touch-retract').value),
}));
$('spindle-cw').addEventListener('click', () => command('spindle', { direction: 1, rpm: Number($('spindle-rpm').value) }));
$('spindle-ccw').addEventListener('click', () => command('spindle', { direction: -1, rpm: Number($('spindle-rpm').value) }));
$('spindle-off').addEventListener('click', () => command('spindle', { direction: 0 }));
$('mist').addEventListener('click', () => command('coolant', { mist: !page.status.coolant.mist, flood: page.status.coolant.flood }));
$('flood').addEventListener('click', () => command('coolant', { mist: page.status.coolant.mist, flood: !page.status.coolant.flood }));
$('coolant-off').addEventListener('click', () => command('coolant', { mist: false, flood: false }));
for (const [id, cmd] of [['feed-override', 'feedOverride'], ['spindle-override', 'spindleOverride']]) {
  const input = $(id);
  input.addEventListener('input', () => {
    input.lastInput = performance.now();
    $(`${id}-out`).textContent = `${input.value} %`;
    command(cmd, { value: Number(input.value) });
  });
}
for (const b of document.querySelectorAll('[data-rapid]')) b.addEventListener('click', () => command('rapidOverride', { value: Number(b.dataset.rapid) }));
$('jog-speed').addEventListener('input', () => { $('jog-speed-out').textContent = `${$('jog-speed').value} %`; });
for (const b of document.querySelectorAll('[data-view]')) {
  b.addEventListener('click', () => {
    preview.setView(b.dataset.view);
    for (const o of document.querySelectorAll('[data-view]')) o.setAttribute('aria-pressed', String(o === b));
    if (page.program) $('preview-info').textContent = `${preview.describe()}: ${page.program.preview.points} points kept of ${page.program.preview.moves}`;
  });
}
$('clear-executed').addEventListener('click', () => preview.clearExecuted());

// MDI with history (kept in this browser).
const history = JSON.parse(localStorage.getItem('telvo.mdi') || '[]');
let historyAt = history.length;
function showHistory() {
  $('mdi-history').replaceChildren(...history.slice(-30).reverse().map((h) => {
    const li = document.createElement('li');
    li.textContent = h;
    li.addEventListener('click', () => { $('mdi').value = h; $('mdi').focus(); });
    return li;
  }));
}
showHistory();
$('mdi-form').addEventListener('submit', async (e) => {
  e.preventDefault();
  const line = $('mdi').value.trim();
  if (!line) return;
  const ack = await command('mdi', { line });
  if (ack.ok) {
    if (history[history.length - 1] !== line) history.push(line);
    while (history.length > 100) history.shift();
    localStorage.setItem('telvo.mdi', JSON.stringify(history));
    historyAt = history.length;
    $('mdi').value = '';
    showHistory();
  }
});
$('mdi').addEventListener('keydown', (e) => {
  if (e.key === 'ArrowUp' && historyAt > 0) { historyAt--; $('mdi').value = history[historyAt]; e.preventDefault(); }
  if (e.key === 'ArrowDown') { historyAt = Math.min(history.length, historyAt + 1); $('mdi').value = history[historyAt] || ''; e.preventDefault(); }
});

updateControls();
