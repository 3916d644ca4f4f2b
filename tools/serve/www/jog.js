// Jogging as a dead-man action: while a key or button is held the page
// repeats the jog command every 100 ms; the server stops the jog when the
// repeats stop. Releasing the key or button, losing the focus or hiding the
// page sends the stop at once. Steps move a bounded distance per press.

const REPEAT_MS = 100;

const KEYS = {
  ArrowRight: ['X', 1], ArrowLeft: ['X', -1],
  ArrowUp: ['Y', 1], ArrowDown: ['Y', -1],
  PageUp: ['Z', 1], PageDown: ['Z', -1],
};

export class Jogger {
  // settings(): {step (0: continuous), speed(axis) units/s, enabled}
  constructor(connection, settings, onRefused) {
    this.conn = connection;
    this.settings = settings;
    this.onRefused = onRefused;
    this.active = null;  // {axis, direction, timer, source}
    window.addEventListener('keydown', (e) => this.key(e, true));
    window.addEventListener('keyup', (e) => this.key(e, false));
    window.addEventListener('blur', () => this.releaseAll());
    window.addEventListener('pagehide', () => this.releaseAll());
    document.addEventListener('visibilitychange', () => { if (document.hidden) this.releaseAll(); });
  }

  key(e, down) {
    const map = KEYS[e.key];
    if (!map) return;
    const t = e.target;
    if (t && (t.tagName === 'INPUT' || t.tagName === 'SELECT' || t.tagName === 'TEXTAREA')) return;
    e.preventDefault();
    if (down) {
      if (e.repeat) return;
      this.press(map[0], map[1], 'key');
    } else {
      this.release(map[0], map[1]);
    }
  }

  // A jog button: held with the pointer; Enter or Space makes one step.
  bindButton(button, axis, direction) {
    button.addEventListener('pointerdown', (e) => {
      if (e.button !== 0) return;
      button.setPointerCapture(e.pointerId);
      button.classList.add('active');
      this.press(axis, direction, 'pointer');
    });
    const up = () => { button.classList.remove('active'); this.release(axis, direction); };
    button.addEventListener('pointerup', up);
    button.addEventListener('pointercancel', up);
    button.addEventListener('lostpointercapture', up);
    button.addEventListener('click', (e) => {
      if (e.detail !== 0) return;  // a pointer click: handled above
      const s = this.settings();
      if (!s.enabled) return;
      this.step(axis, direction, s.step > 0 ? s.step : 0.1, s.speed(axis));
    });
  }

  async step(axis, direction, distance, speed) {
    const ack = await this.conn.send('jogStep', { axis, distance: direction * distance, speed });
    if (!ack.ok) this.onRefused(`Jog ${axis}: ${ack.error}`);
  }

  async press(axis, direction, source) {
    const s = this.settings();
    if (!s.enabled) return;
    if (s.step > 0) {
      this.step(axis, direction, s.step, s.speed(axis));
      return;
    }
    if (this.active) this.releaseAll();
    const speed = s.speed(axis);
    const job = { axis, direction, timer: null, source };
    this.active = job;
    job.timer = setInterval(() => this.conn.fire('jog', { axis, direction, speed }), REPEAT_MS);
    const ack = await this.conn.send('jog', { axis, direction, speed });
    if (!ack.ok) {
      if (this.active === job) this.stop();
      this.onRefused(`Jog ${axis}: ${ack.error}`);
    }
  }

  release(axis, direction) {
    if (this.active && this.active.axis === axis && this.active.direction === direction) this.stop();
  }

  releaseAll() {
    if (this.active) this.stop();
    else this.conn.fire('jogStop');
  }

  stop() {
    clearInterval(this.active.timer);
    this.active = null;
    this.conn.fire('jogStop');
  }
}
