// The WebSocket to the station: commands with ids answered by
// acknowledgements, and the server's messages handed to the page. It
// reconnects by itself; on every (re)connection the server sends the whole
// state again, and nothing is resumed or restarted by reconnecting.

export class Connection {
  constructor(handlers) {
    this.handlers = handlers;  // {state, status, event, role, program, open, close}
    this.nextId = 1;
    this.pending = new Map();
    this.ws = null;
    this.key = '';
    this.id = null;
    this.retry = 500;
    this.connect();
  }

  connect() {
    const url = `${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`;
    const ws = new WebSocket(url);
    this.ws = ws;
    ws.onopen = () => {
      this.retry = 500;
      this.handlers.open?.();
    };
    ws.onmessage = (e) => {
      if (typeof e.data !== 'string') return;
      let m;
      try { m = JSON.parse(e.data); } catch { return; }
      this.dispatch(m);
    };
    ws.onclose = () => {
      if (this.ws !== ws) return;
      this.ws = null;
      for (const [, p] of this.pending) p.resolve({ ok: false, error: 'connection lost' });
      this.pending.clear();
      this.handlers.close?.();
      setTimeout(() => this.connect(), this.retry);
      this.retry = Math.min(this.retry * 2, 5000);
    };
  }

  dispatch(m) {
    switch (m.type) {
      case 'state':
        if (m.you) { this.id = m.you.id; this.key = m.you.key; }
        this.handlers.state?.(m);
        break;
      case 'status': this.handlers.status?.(m); break;
      case 'event': this.handlers.event?.(m); break;
      case 'role': this.handlers.role?.(m); break;
      case 'program': this.handlers.program?.(m.program); break;
      case 'ack': {
        const p = this.pending.get(m.id);
        if (p) { this.pending.delete(m.id); p.resolve(m); }
        break;
      }
      default: break;
    }
  }

  get open() { return this.ws !== null && this.ws.readyState === WebSocket.OPEN; }

  // Sends a command; resolves with its acknowledgement ({ok, error}).
  send(cmd, args = {}) {
    if (!this.open) return Promise.resolve({ ok: false, error: 'not connected' });
    const id = this.nextId++;
    this.ws.send(JSON.stringify({ id, cmd, ...args }));
    return new Promise((resolve) => this.pending.set(id, { resolve }));
  }

  // Sends without waiting for the answer (jog repeats).
  fire(cmd, args = {}) {
    if (this.open) this.ws.send(JSON.stringify({ cmd, ...args }));
  }
}
