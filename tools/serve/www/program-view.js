// The program text, virtualised: only the lines in sight are in the page,
// fetched from the server in blocks of lines as they come into sight, so a
// program of any size scrolls without being loaded whole. Very long
// programs are mapped onto a bounded scroll height.

const LINE_HEIGHT = 18;
const BLOCK = 200;
const MAX_BLOCKS = 60;
const MAX_SCROLL = 8000000;  // px: browsers cap an element's height

export class ProgramView {
  constructor(box, spacer, linesEl) {
    this.box = box;
    this.spacer = spacer;
    this.linesEl = linesEl;
    this.total = 0;
    this.version = -1;
    this.blocks = new Map();  // block index -> lines, in use order
    this.loading = new Set();
    this.current = 0;
    this.errors = new Set();
    this.follow = true;
    this.lastUserScroll = 0;
    this.scheduled = false;
    box.addEventListener('scroll', () => {
      if (!this.programmatic) this.lastUserScroll = performance.now();
      this.programmatic = false;
      this.schedule();
    });
    new ResizeObserver(() => this.schedule()).observe(box);
  }

  setProgram(program) {
    this.total = program ? program.lines : 0;
    this.version = program ? program.version : -1;
    this.errors = new Set(program ? program.check.errors.map((e) => e.line) : []);
    this.blocks.clear();
    this.loading.clear();
    this.spacer.style.height = `${Math.min(this.total * LINE_HEIGHT, MAX_SCROLL)}px`;
    this.box.scrollTop = 0;
    this.schedule();
  }

  // Pixels of scroll per line (below 1 line height once the program is huge).
  scale() {
    const full = this.total * LINE_HEIGHT;
    return full > MAX_SCROLL ? (MAX_SCROLL - this.box.clientHeight) / Math.max(1, full - this.box.clientHeight) : 1;
  }

  firstVisible() {
    return Math.floor(this.box.scrollTop / this.scale() / LINE_HEIGHT) + 1;
  }

  setCurrent(line, follow) {
    if (line === this.current) return;
    this.current = line;
    // Follow the executing line unless the operator scrolled in the last seconds.
    if (follow && line > 0 && performance.now() - this.lastUserScroll > 3000) this.scrollTo(line, false);
    this.schedule();
  }

  scrollTo(line, user) {
    const rows = Math.floor(this.box.clientHeight / LINE_HEIGHT);
    const first = this.firstVisible();
    if (!user && line >= first + 2 && line < first + rows - 2) return;
    const top = Math.max(0, (line - 1 - Math.floor(rows / 3)) * LINE_HEIGHT * this.scale());
    this.programmatic = !user;
    this.box.scrollTop = top;
    if (user) this.lastUserScroll = performance.now();
    this.schedule();
  }

  schedule() {
    if (this.scheduled) return;
    this.scheduled = true;
    requestAnimationFrame(() => { this.scheduled = false; this.render(); });
  }

  block(index) {
    const lines = this.blocks.get(index);
    if (lines) {
      this.blocks.delete(index);
      this.blocks.set(index, lines);
      return lines;
    }
    if (!this.loading.has(index) && this.version >= 0) {
      this.loading.add(index);
      const version = this.version;
      fetch(`/api/program/lines?from=${index * BLOCK + 1}&count=${BLOCK}`)
        .then((r) => (r.ok ? r.json() : null))
        .then((j) => {
          this.loading.delete(index);
          if (!j || j.version !== version || this.version !== version) return;
          this.blocks.set(index, j.lines);
          while (this.blocks.size > MAX_BLOCKS) this.blocks.delete(this.blocks.keys().next().value);
          this.schedule();
        })
        .catch(() => this.loading.delete(index));
    }
    return null;
  }

  render() {
    const scale = this.scale();
    const rows = Math.ceil(this.box.clientHeight / LINE_HEIGHT) + 1;
    const first = Math.max(1, this.firstVisible());
    const last = Math.min(this.total, first + rows);
    const frag = document.createDocumentFragment();
    for (let n = first; n <= last; n++) {
      const lines = this.block(Math.floor((n - 1) / BLOCK));
      const div = document.createElement('div');
      div.className = 'ln';
      if (n === this.current) div.classList.add('current');
      if (this.errors.has(n)) div.classList.add('error');
      div.dataset.line = String(n);
      const no = document.createElement('span');
      no.className = 'no';
      no.textContent = String(n);
      div.append(no, lines ? lines[(n - 1) % BLOCK] ?? '' : '…');
      frag.append(div);
    }
    this.linesEl.replaceChildren(frag);
    // The rows sit where the scroll shows them, whatever the scale.
    this.linesEl.style.top = scale === 1 ? `${(first - 1) * LINE_HEIGHT}px` : `${this.box.scrollTop}px`;
  }
}
