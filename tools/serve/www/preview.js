// The preview: the programmed path (thinned by the server, sent as binary
// arrays), the machine's travel limits, the executed path and the tool, in
// three 2-D views. The programmed path is drawn once per view and size into
// an off-screen canvas and copied from there; the executed path grows on its
// own canvas segment by segment; the tool is drawn on an overlay canvas, the
// only layer redrawn at the status rate.

const VIEWS = {
  top: { h: 0, v: 1, name: 'X / Y' },
  front: { h: 0, v: 2, name: 'X / Z' },
  side: { h: 1, v: 2, name: 'Y / Z' },
};
const MAX_EXECUTED = 400000;

export function parsePreview(buffer) {
  const view = new DataView(buffer);
  const magic = String.fromCharCode(view.getUint8(0), view.getUint8(1), view.getUint8(2), view.getUint8(3));
  if (magic !== 'TVP1') throw new Error('not a preview');
  const count = view.getUint32(4, true);
  const tolerance = view.getFloat32(8, true);
  const min = [view.getFloat32(12, true), view.getFloat32(16, true), view.getFloat32(20, true)];
  const max = [view.getFloat32(24, true), view.getFloat32(28, true), view.getFloat32(32, true)];
  const xyz = new Float32Array(buffer, 36, count * 3);
  const kinds = new Uint8Array(buffer, 36 + 12 * count, count);
  return { count, tolerance, min, max, xyz, kinds };
}

export class Preview {
  constructor(container, pathCanvas, executedCanvas, toolCanvas) {
    this.container = container;
    this.layers = { path: pathCanvas, executed: executedCanvas, tool: toolCanvas };
    this.view = 'top';
    this.path = null;
    this.limits = null;  // {min:[3], max:[3]} machine travel, entries may be null
    this.cache = new Map();  // view -> {key, canvas}
    this.executed = new Float32Array(MAX_EXECUTED * 3);
    this.executedCount = 0;
    this.tool = null;
    this.toolPending = false;
    new ResizeObserver(() => this.redraw()).observe(container);
  }

  setLimits(axes) {
    const min = [0, 1, 2].map((a) => (axes[a] && axes[a].configured ? axes[a].min : null));
    const max = [0, 1, 2].map((a) => (axes[a] && axes[a].configured ? axes[a].max : null));
    this.limits = { min, max };
    this.cache.clear();
    this.redraw();
  }

  setPath(path) {
    this.path = path;
    this.cache.clear();
    this.redraw();
  }

  setView(view) {
    if (!VIEWS[view]) return;
    this.view = view;
    this.redraw();
  }

  clearExecuted() {
    this.executedCount = 0;
    this.redraw();
  }

  // A machine position from a status: extends the executed path, moves the tool.
  position(p) {
    const n = this.executedCount;
    const e = this.executed;
    const moved = n === 0 || Math.abs(e[3 * n - 3] - p[0]) + Math.abs(e[3 * n - 2] - p[1]) + Math.abs(e[3 * n - 1] - p[2]) > 1e-4;
    if (moved) {
      if (n >= MAX_EXECUTED) {
        // Keep the newer half.
        e.copyWithin(0, (MAX_EXECUTED / 2) * 3, MAX_EXECUTED * 3);
        this.executedCount = MAX_EXECUTED / 2;
        this.redrawExecuted();
      }
      const k = this.executedCount;
      e[3 * k] = p[0]; e[3 * k + 1] = p[1]; e[3 * k + 2] = p[2];
      this.executedCount = k + 1;
      if (k > 0) this.drawExecutedSegment(k - 1, k);
    }
    this.tool = [p[0], p[1], p[2]];
    if (!this.toolPending) {
      this.toolPending = true;
      requestAnimationFrame(() => { this.toolPending = false; this.drawTool(); });
    }
  }

  // ---- geometry ----

  size() {
    const dpr = window.devicePixelRatio || 1;
    return { w: Math.max(1, Math.round(this.container.clientWidth * dpr)), h: Math.max(1, Math.round(this.container.clientHeight * dpr)), dpr };
  }

  extents() {
    const v = VIEWS[this.view];
    let lo = [Infinity, Infinity];
    let hi = [-Infinity, -Infinity];
    const take = (h, vv) => {
      if (h === null || vv === null || !isFinite(h) || !isFinite(vv)) return;
      lo = [Math.min(lo[0], h), Math.min(lo[1], vv)];
      hi = [Math.max(hi[0], h), Math.max(hi[1], vv)];
    };
    if (this.path && this.path.count > 0) {
      take(this.path.min[v.h], this.path.min[v.v]);
      take(this.path.max[v.h], this.path.max[v.v]);
    } else if (this.limits) {
      take(this.limits.min[v.h], this.limits.min[v.v]);
      take(this.limits.max[v.h], this.limits.max[v.v]);
    }
    if (this.tool) take(this.tool[v.h], this.tool[v.v]);
    if (!isFinite(lo[0])) { lo = [-50, -50]; hi = [50, 50]; }
    const span = Math.max(hi[0] - lo[0], hi[1] - lo[1], 1);
    const pad = span * 0.08;
    return { lo: [lo[0] - pad, lo[1] - pad], hi: [hi[0] + pad, hi[1] + pad] };
  }

  transform() {
    const { w, h } = this.size();
    const ext = this.extents();
    const sx = w / (ext.hi[0] - ext.lo[0]);
    const sy = h / (ext.hi[1] - ext.lo[1]);
    const s = Math.min(sx, sy);
    const ox = (w - s * (ext.hi[0] - ext.lo[0])) / 2 - s * ext.lo[0];
    const oy = (h + s * (ext.hi[1] - ext.lo[1])) / 2 + s * ext.lo[1];
    const v = VIEWS[this.view];
    return { s, ox, oy, h: v.h, v: v.v, key: `${this.view}:${w}x${h}:${ext.lo}:${ext.hi}` };
  }

  // ---- layers ----

  fit(canvas) {
    const { w, h } = this.size();
    if (canvas.width !== w || canvas.height !== h) { canvas.width = w; canvas.height = h; }
    return canvas.getContext('2d');
  }

  redraw() {
    this.t = this.transform();
    this.drawPath();
    this.redrawExecuted();
    this.drawTool();
  }

  // The path layer of the view, from its cache or drawn into it a slice
  // per animation frame (a large path never blocks the page), shown as it
  // grows.
  drawPath() {
    const t = this.t;
    const ctx = this.fit(this.layers.path);
    let cached = this.cache.get(this.view);
    if (!cached || cached.key !== t.key) {
      const off = document.createElement('canvas');
      off.width = ctx.canvas.width;
      off.height = ctx.canvas.height;
      cached = { key: t.key, canvas: off, steps: this.renderPath(off.getContext('2d'), t) };
      this.cache.set(this.view, cached);
      this.continuePath(cached);
    }
    ctx.clearRect(0, 0, ctx.canvas.width, ctx.canvas.height);
    ctx.drawImage(cached.canvas, 0, 0);
  }

  continuePath(cached) {
    const end = performance.now() + 12;
    while (cached.steps && performance.now() < end) {
      if (cached.steps.next().done) cached.steps = null;
    }
    if (this.cache.get(this.view) === cached) {
      const ctx = this.layers.path.getContext('2d');
      ctx.clearRect(0, 0, ctx.canvas.width, ctx.canvas.height);
      ctx.drawImage(cached.canvas, 0, 0);
    }
    if (cached.steps) requestAnimationFrame(() => this.continuePath(cached));
  }

  * renderPath(ctx, t) {
    const X = (p) => t.ox + t.s * p;
    const Y = (p) => t.oy - t.s * p;
    const dpr = this.size().dpr;
    // Travel limits.
    if (this.limits) {
      const l = this.limits;
      const [h0, h1, v0, v1] = [l.min[t.h], l.max[t.h], l.min[t.v], l.max[t.v]];
      if (h0 !== null && h1 !== null && v0 !== null && v1 !== null) {
        ctx.strokeStyle = '#8a6d1d';
        ctx.setLineDash([6 * dpr, 4 * dpr]);
        ctx.lineWidth = dpr;
        ctx.strokeRect(X(h0), Y(v1), X(h1) - X(h0), Y(v0) - Y(v1));
        ctx.setLineDash([]);
      }
    }
    // Machine zero.
    ctx.strokeStyle = '#3b4350';
    ctx.lineWidth = dpr;
    ctx.beginPath();
    ctx.moveTo(X(0), 0); ctx.lineTo(X(0), ctx.canvas.height);
    ctx.moveTo(0, Y(0)); ctx.lineTo(ctx.canvas.width, Y(0));
    ctx.stroke();
    const p = this.path;
    if (!p || p.count < 2) return;
    const xyz = p.xyz;
    const kinds = p.kinds;
    let strokes = 0;
    // Runs of one kind as polylines; a point less than half a pixel from
    // the last one drawn adds nothing to the picture and is skipped.
    for (const rapid of [1, 0]) {
      ctx.strokeStyle = rapid ? '#c8a03c' : '#6fb3ff';
      ctx.lineWidth = (rapid ? 1 : 1.5) * dpr;
      ctx.setLineDash(rapid ? [4 * dpr, 4 * dpr] : []);
      ctx.beginPath();
      let open = false;
      let lx = 0;
      let ly = 0;
      let pending = 0;
      for (let i = 1; i < p.count; i++) {
        if (kinds[i] !== rapid) { open = false; continue; }
        const x = X(xyz[3 * i + t.h]);
        const y = Y(xyz[3 * i + t.v]);
        if (!open) {
          lx = X(xyz[3 * i - 3 + t.h]);
          ly = Y(xyz[3 * i - 3 + t.v]);
          ctx.moveTo(lx, ly);
          open = true;
        } else if (Math.abs(x - lx) < 0.5 && Math.abs(y - ly) < 0.5 && i + 1 < p.count && kinds[i + 1] === rapid) {
          continue;
        }
        ctx.lineTo(x, y);
        lx = x;
        ly = y;
        // Short paths stroke far faster than one path that crosses itself
        // a hundred thousand times.
        if (++pending === 64) {
          ctx.stroke();
          ctx.beginPath();
          ctx.moveTo(x, y);
          pending = 0;
          if (++strokes % 32 === 0) yield;
        }
      }
      ctx.stroke();
    }
    ctx.setLineDash([]);
  }

  redrawExecuted() {
    const ctx = this.fit(this.layers.executed);
    ctx.clearRect(0, 0, ctx.canvas.width, ctx.canvas.height);
    if (this.executedCount < 2) return;
    const t = this.t;
    const e = this.executed;
    ctx.beginPath();
    ctx.moveTo(t.ox + t.s * e[t.h], t.oy - t.s * e[t.v]);
    for (let i = 1; i < this.executedCount; i++) ctx.lineTo(t.ox + t.s * e[3 * i + t.h], t.oy - t.s * e[3 * i + t.v]);
    this.strokeExecuted(ctx);
  }

  drawExecutedSegment(a, b) {
    if (!this.t) return;
    const t = this.t;
    const e = this.executed;
    const ctx = this.layers.executed.getContext('2d');
    ctx.beginPath();
    ctx.moveTo(t.ox + t.s * e[3 * a + t.h], t.oy - t.s * e[3 * a + t.v]);
    ctx.lineTo(t.ox + t.s * e[3 * b + t.h], t.oy - t.s * e[3 * b + t.v]);
    this.strokeExecuted(ctx);
  }

  strokeExecuted(ctx) {
    ctx.strokeStyle = '#3fb950';
    ctx.lineWidth = 2 * this.size().dpr;
    ctx.lineCap = 'round';
    ctx.stroke();
  }

  drawTool() {
    const ctx = this.fit(this.layers.tool);
    ctx.clearRect(0, 0, ctx.canvas.width, ctx.canvas.height);
    if (!this.tool || !this.t) return;
    const t = this.t;
    const x = t.ox + t.s * this.tool[t.h];
    const y = t.oy - t.s * this.tool[t.v];
    const dpr = this.size().dpr;
    ctx.strokeStyle = '#ff6b6b';
    ctx.lineWidth = 2 * dpr;
    ctx.beginPath();
    ctx.arc(x, y, 6 * dpr, 0, 2 * Math.PI);
    ctx.moveTo(x - 11 * dpr, y); ctx.lineTo(x + 11 * dpr, y);
    ctx.moveTo(x, y - 11 * dpr); ctx.lineTo(x, y + 11 * dpr);
    ctx.stroke();
  }

  describe() {
    return VIEWS[this.view].name;
  }
}
