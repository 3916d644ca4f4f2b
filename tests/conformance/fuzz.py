#!/usr/bin/env python3
"""Differential fuzzer: random G-code programs through telvo and LinuxCNC's rs274.

A batch job run by hand, not part of the test command:

    tests/conformance/fuzz.py --telvo build/native/bin/telvo --minutes 20 --seed 1

Programs come from a grammar of the words telvo runs (tools/README.md), kept
within the machine's travel; each goes through both readings and the
comparison of difftest.py. Every program that differs is kept in the output
folder (default build/fuzz-findings) with its report; the first of each kind
of difference is also minimised (lines dropped while it still differs the
same way). A summary groups the findings by kind. Exit status 0 when nothing
differed, 1 otherwise, 77 when rs274 cannot be had.
"""

import argparse
import concurrent.futures
import math
import os
import random
import re
import shutil
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import difftest  # noqa: E402

TOOL_RADII_MM = {n: d * difftest.INCH / 2 for n, (_, d) in difftest.TOOLS.items()}


class Gen:
    """Writes one random program. Positions are tracked in the current work
    system's program units; after anything that moves the origin or the tool
    somewhere the generator does not follow (offsets, G28, cycles, tool
    changes) the position is unknown until an absolute G0 sets it again."""

    def __init__(self, rnd, machine_words):
        self.r = rnd
        self.out = []
        self.inch = False
        self.pos = None  # program units
        self.absolute = True
        self.arc_absolute = False
        self.plane = 17
        self.feed_set = False
        self.spindle = False
        self.tool = 0
        self.words = machine_words

    # -- helpers
    def u(self, mm):
        """A length in mm in program units, as text."""
        v = mm / difftest.INCH if self.inch else mm
        return fmt(v, 4 if self.inch else 3)

    def num(self, v):
        return fmt(v, 4 if self.inch else 3)

    def rnd(self, v):
        """A coordinate as the program writes it."""
        return round(v, 4 if self.inch else 3)

    def emit(self, line):
        self.out.append(line)

    def feed_word(self, lo=100, hi=2000):
        f = self.r.uniform(lo, hi)
        return 'F' + fmt(f / difftest.INCH if self.inch else f, 1)

    def scale(self):
        return 1 / difftest.INCH if self.inch else 1.0

    def rand_point(self, span=60.0, zlo=-10.0, zhi=15.0):
        k = self.scale()
        return [self.rnd(self.r.uniform(-span, span) * k), self.rnd(self.r.uniform(-span, span) * k),
                self.rnd(self.r.uniform(zlo, zhi) * k)]

    def known(self):
        if self.pos is None:
            p = self.rand_point()
            self.emit('G90 G0 X%s Y%s Z%s' % tuple(self.num(c) for c in p))
            self.absolute = True
            self.pos = p

    def axes_words(self, target, which='XYZ'):
        words = []
        for k, a in enumerate('XYZ'):
            if a in which:
                v = target[k] if self.absolute else target[k] - self.pos[k]
                words.append(a + self.num(v))
        return ' '.join(words)

    # -- statements
    def move(self):
        self.known()
        g = self.r.choice(['G0', 'G1', 'G1'])
        which = ''.join(a for a in 'XYZ' if self.r.random() < 0.6) or 'X'
        t = list(self.pos)
        p = self.rand_point()
        for k, a in enumerate('XYZ'):
            if a in which:
                t[k] = p[k]
        if self.r.random() < 0.15:
            self.absolute = not self.absolute
            g = ('G90 ' if self.absolute else 'G91 ') + g
        f = ''
        if g.endswith('G1') and (not self.feed_set or self.r.random() < 0.3):
            f = ' ' + self.feed_word()
            self.feed_set = True
        self.emit('%s %s%s' % (g, self.axes_words(t, which), f))
        self.pos = t

    def arc(self):
        self.known()
        plane = self.r.choice([17, 17, 17, 18, 19])
        pre = ''
        if plane != self.plane:
            pre = 'G%d ' % plane
            self.plane = plane
        a0, a1, a2 = {17: (0, 1, 2), 18: (2, 0, 1), 19: (1, 2, 0)}[plane]
        offs = {17: ('I', 'J'), 18: ('K', 'I'), 19: ('J', 'K')}[plane]
        k = self.scale()
        r = self.r.uniform(2.0, 20.0) * k
        th0 = self.r.uniform(-math.pi, math.pi)
        c0 = self.pos[a0] - r * math.cos(th0)
        c1 = self.pos[a1] - r * math.sin(th0)
        ccw = self.r.random() < 0.5
        full = self.r.random() < 0.15
        sweep = 2 * math.pi if full else self.r.uniform(0.3, 2 * math.pi - 0.3)
        th1 = th0 + (sweep if ccw else -sweep)
        end = list(self.pos)
        if not full:
            end[a0] = self.rnd(c0 + r * math.cos(th1))
            end[a1] = self.rnd(c1 + r * math.sin(th1))
        if self.r.random() < 0.3:
            end[a2] = self.rnd(end[a2] + self.r.uniform(-5, 5) * k)
        words = [pre + ('G3' if ccw else 'G2')]
        which = 'XYZ' if self.r.random() < 0.5 else ''.join(
            'XYZ'[i] for i in (a0, a1, a2) if end[i] != self.pos[i] or i != a2)
        words.append(self.axes_words(end, which))
        use_r = not full and self.r.random() < 0.3
        if use_r:
            words.append('R' + self.num(-r if sweep > math.pi else r))
        else:
            if self.r.random() < 0.15:
                self.arc_absolute = not self.arc_absolute
                words.insert(0, 'G90.1' if self.arc_absolute else 'G91.1')
            if self.arc_absolute:
                # Absolute centres in the current work system.
                words.append('%s%s %s%s' % (offs[0], self.num(c0), offs[1], self.num(c1)))
            else:
                words.append('%s%s %s%s' % (offs[0], self.num(c0 - self.pos[a0]), offs[1],
                                            self.num(c1 - self.pos[a1])))
        if (full or self.r.random() < 0.1) and not use_r and self.r.random() < 0.6:
            words.append('P%d' % self.r.randint(1, 3))
        if not self.feed_set or self.r.random() < 0.3:
            words.append(self.feed_word())
            self.feed_set = True
        self.emit(' '.join(words))
        self.pos = end

    def modes(self):
        c = self.r.choice(['G61', 'G61.1', 'G64', 'G64 P', 'G90', 'G91', 'G17'])
        if c == 'G64 P':
            self.emit('G64 P' + self.u(self.r.choice([0.005, 0.02, 0.1, 0.5])))
        else:
            self.emit(c)
            if c in ('G90', 'G91'):
                self.absolute = c == 'G90'
            if c == 'G17':
                self.plane = 17

    def offsets(self):
        c = self.r.choice(['G5x', 'G10L2', 'G10L20', 'G92', 'G92.1', 'G53'])
        if c == 'G5x':
            self.emit(self.r.choice(['G54', 'G55', 'G56', 'G57', 'G58', 'G59', 'G59.1', 'G59.2',
                                     'G59.3']))
        elif c == 'G10L2':
            p = self.rand_point(40, -5, 5)
            self.emit('G10 L2 P%d X%s Y%s Z%s' % ((self.r.randint(0, 9),) + tuple(
                self.num(v) for v in p)))
        elif c == 'G10L20':
            self.known()
            p = self.rand_point(40, -5, 5)
            self.emit('G10 L20 P%d X%s Y%s' % (self.r.randint(0, 9), self.num(p[0]),
                                                self.num(p[1])))
        elif c == 'G92':
            self.known()
            p = self.rand_point(40, -5, 5)
            self.emit('G92 X%s Y%s' % (self.num(p[0]), self.num(p[1])))
        elif c == 'G92.1':
            self.emit('G92.1')
        else:
            p = self.rand_point(50, 0, 20)
            self.emit('G53 G90 G%d X%s Y%s Z%s' % ((self.r.choice([0, 1]),) + tuple(
                self.num(v) for v in p)) + ('' if self.feed_set else ' ' + self.feed_word()))
            self.absolute = True
            self.feed_set = True
        self.pos = None

    def home(self):
        g = self.r.choice(['G28', 'G30'])
        if self.r.random() < 0.5:
            self.known()
            p = self.rand_point(40, 0, 15)
            which = ''.join(a for a in 'XYZ' if self.r.random() < 0.6) or 'Z'
            self.emit('%s %s' % (g, self.axes_words(p, which)))
        else:
            self.emit(g)
        if self.r.random() < 0.2:
            self.known()
            self.emit(g + '.1')
        self.pos = None

    def tools(self):
        c = self.r.choice(['M6', 'G43', 'G43H', 'G43.1', 'G49', 'G10L1'])
        if c == 'M6':
            self.tool = self.r.randint(1, 4)
            self.emit('T%d M6' % self.tool)
            if 'toolchange' in self.words or 'quillup' in self.words:
                self.pos = None
        elif c == 'G43' and self.tool:
            self.emit('G43')
        elif c in ('G43', 'G43H'):
            self.emit('G43 H%d' % self.r.randint(1, 4))
        elif c == 'G43.1':
            self.emit('G43.1 Z' + self.u(self.r.uniform(-10, 10)))
        elif c == 'G49':
            self.emit('G49')
        else:
            self.emit('G10 L1 P%d Z%s' % (self.r.randint(1, 4), self.u(self.r.uniform(0, 30))))
        self.pos = None if c != 'M6' or self.pos is None else self.pos

    def aux(self):
        c = self.r.choice(['S', 'M5', 'M7', 'M8', 'M9', 'G4', 'MSG', 'M1'])
        if c == 'S':
            self.emit('S%d %s' % (self.r.randint(1000, 20000), self.r.choice(['M3', 'M4'])))
            self.spindle = True
        elif c == 'M5':
            self.emit('M5')
            self.spindle = False
        elif c == 'G4':
            self.emit('G4 P%s' % fmt(self.r.choice([0, 0.05, 0.2, 0.5]), 2))
        elif c == 'MSG':
            self.emit('(MSG, step %d)' % len(self.out))
        else:
            self.emit(c)

    def cycle(self):
        self.known()
        plane = self.r.choice([17, 17, 17, 18, 19])
        if plane != self.plane:
            self.emit('G%d' % plane)
            self.plane = plane
        drill = {17: 2, 18: 1, 19: 0}[plane]
        g = self.r.choice(['G81', 'G82', 'G83', 'G73', 'G85', 'G86', 'G89'])
        if g == 'G86' and not self.spindle:
            self.emit('S5000 M3')
            self.spindle = True
        k = self.scale()
        top = self.pos[drill]
        r_level = self.rnd(top + self.r.uniform(-3, 3) * k)
        bottom = self.rnd(r_level - self.r.uniform(1, 8) * k)
        incremental = self.r.random() < 0.25
        more = self.r.randint(0, 2)
        # The default retract mode and a G91 series' later R differ from
        # LinuxCNC's on purpose or in rs274 alone (rule programs hold them):
        # always a retract mode, and later G91 lines only where the tool comes
        # back to where the series began (G98 with R below it).
        retract = self.r.choice(['G98', 'G99'])
        if incremental and more:
            retract = 'G98'
            r_level = self.rnd(top - self.r.uniform(0.1, 3) * k)
            bottom = self.rnd(r_level - self.r.uniform(1, 8) * k)
        words = [retract, 'G91' if incremental else 'G90', g]
        hole = list(self.pos)
        for i in range(3):
            if i != drill:
                hole[i] = self.rnd(self.pos[i] + self.r.uniform(-20, 20) * k)
        for i, a in enumerate('XYZ'):
            if i == drill:
                continue
            words.append(a + self.num(hole[i] - self.pos[i] if incremental else hole[i]))
        dname = 'XYZ'[drill]
        if incremental:
            words.append('R' + self.num(r_level - top))
            words.append(dname + self.num(bottom - r_level))
        else:
            words.append('R' + self.num(r_level))
            words.append(dname + self.num(bottom))
        if g in ('G82', 'G86', 'G89'):
            words.append('P' + fmt(self.r.choice([0.05, 0.2]), 2))
        if g in ('G73', 'G83'):
            words.append('Q' + self.u(self.r.uniform(0.5, 3)))
        if self.r.random() < 0.25:
            words.append('L%d' % self.r.randint(2, 4))
        if not self.feed_set or self.r.random() < 0.5:
            words.append(self.feed_word(100, 800))
            self.feed_set = True
        self.emit(' '.join(w for w in words if w))
        for _ in range(more):
            a = self.r.choice([i for i in range(3) if i != drill])
            v = self.r.uniform(-15, 15) * k
            self.emit('%s%s' % ('XYZ'[a], self.num(v if incremental else hole[a] + v)))
        self.emit('G80')
        self.absolute = not incremental
        self.pos = None

    def compensation(self):
        self.known()
        if self.plane != 17:
            self.emit('G17')
            self.plane = 17
        if self.r.random() < 0.5:
            tool = self.r.randint(1, 4)
            radius = TOOL_RADII_MM[tool]
            head = '%s D%d' % (self.r.choice(['G41', 'G42']), tool)
        else:
            radius = self.r.uniform(0.5, 5)
            head = '%s D%s' % (self.r.choice(['G41.1', 'G42.1']), self.u(2 * radius))
        k = self.scale()
        self.absolute = True
        # Entry: a straight move well longer than the radius.
        ang = self.r.uniform(-math.pi, math.pi)
        length = self.r.uniform(3 * radius + 2, 30) * k
        p = [self.rnd(self.pos[0] + length * math.cos(ang)),
             self.rnd(self.pos[1] + length * math.sin(ang)), self.pos[2]]
        f = '' if self.feed_set else ' ' + self.feed_word()
        self.feed_set = True
        self.emit('G90 %s G%d %s%s' % (head, self.r.choice([0, 1, 1]), self.axes_words(p, 'XY'), f))
        self.pos = p
        for _ in range(self.r.randint(1, 5)):
            if self.r.random() < 0.35:
                # A compensated arc much larger than the tool.
                r = self.r.uniform(radius * 3 + 2, 30) * k
                th0 = self.r.uniform(-math.pi, math.pi)
                c = (self.pos[0] - r * math.cos(th0), self.pos[1] - r * math.sin(th0))
                ccw = self.r.random() < 0.5
                sw = self.r.uniform(0.3, 2.5)
                th1 = th0 + (sw if ccw else -sw)
                end = [self.rnd(c[0] + r * math.cos(th1)), self.rnd(c[1] + r * math.sin(th1)),
                       self.pos[2]]
                self.emit('G%d %s I%s J%s' % (3 if ccw else 2, self.axes_words(end, 'XY'),
                                             self.num(c[0] - self.pos[0]),
                                             self.num(c[1] - self.pos[1])))
                self.pos = end
            else:
                ang = self.r.uniform(-math.pi, math.pi)
                length = self.r.uniform(2 * radius + 2, 30) * k
                end = [self.rnd(self.pos[0] + length * math.cos(ang)),
                       self.rnd(self.pos[1] + length * math.sin(ang)), self.pos[2]]
                if self.r.random() < 0.15:
                    end[2] = self.rnd(end[2] + self.r.uniform(-3, 3) * k)
                self.emit('G%d %s' % (self.r.choice([0, 1, 1, 1]), self.axes_words(end, 'XYZ')))
                self.pos = end
        # Exit.
        ang = self.r.uniform(-math.pi, math.pi)
        length = self.r.uniform(2 * radius + 2, 20) * k
        end = [self.rnd(self.pos[0] + length * math.cos(ang)),
               self.rnd(self.pos[1] + length * math.sin(ang)), self.pos[2]]
        self.emit('G40 G1 %s' % self.axes_words(end, 'XY'))
        self.pos = end

    def inverse_time(self):
        self.known()
        self.emit('G93')
        for _ in range(self.r.randint(1, 3)):
            if self.r.random() < 0.4:
                self.feed_set = False
                self.arc()
                # The arc's F is inverse time here: give one explicitly.
                if not re.search(r'\bF', self.out[-1]):
                    self.out[-1] += ' F%s' % fmt(self.r.uniform(5, 60), 1)
            else:
                t = self.rand_point()
                self.emit('G1 %s F%s' % (self.axes_words(t), fmt(self.r.uniform(5, 60), 1)))
                self.pos = t
        self.emit('G94 ' + self.feed_word())
        self.feed_set = True

    def program(self, statements):
        self.emit('G21' if not self.inch else 'G20')
        self.emit('G17 G90 G94 G40 G49 G80' + (' G64' if self.r.random() < 0.5 else ''))
        kinds = [(self.move, 8), (self.arc, 5), (self.modes, 2), (self.offsets, 2),
                 (self.home, 1), (self.tools, 2), (self.aux, 2), (self.cycle, 2),
                 (self.compensation, 2), (self.inverse_time, 1)]
        pool = [f for f, w in kinds for _ in range(w)]
        for _ in range(statements):
            self.r.choice(pool)()
            if self.r.random() < 0.05:
                # Switch units on the way: the next statements use them (with
                # a new F: the feed across a switch is a rule program's).
                # rs274 keeps a tool length across the switch without
                # converting it (G28/G30/G53 then miss): G49 first.
                # (G49 on its own line: on the same line the units change first).
                self.inch = not self.inch
                self.emit('G49')
                self.emit('G20' if self.inch else 'G21')
                self.pos = None
                self.feed_set = False
        self.emit('M2')
        return '\n'.join(self.out) + '\n'


def fmt(v, places):
    s = ('%.*f' % (places, v)).rstrip('0').rstrip('.')
    return '0' if s in ('-0', '') else s


def random_program(rnd):
    words = []
    x = rnd.random()
    if x < 0.1:
        words.append('inch')
    x = rnd.random()
    if x < 0.1:
        words.append('toolchange')
    elif x < 0.15:
        words.append('quillup')
    g = Gen(rnd, words)
    g.inch = rnd.random() < 0.2
    head = '( conformance: %s )\n' % ' '.join(words) if words else ''
    return head + g.program(rnd.randint(4, 18))


def signature(res):
    """The kind of the first difference, without its numbers."""
    d = res.diffs[0]
    text = re.sub(r'\(L\d+\)', '', d.text)
    text = re.sub(r'[-+]?\d+(\.\d+)?', '#', text)
    text = re.sub(r'target # at machine \(#, #, #\) is # mm from', 'off', text)
    text = re.sub(r'# N\S* +', '', text)
    return '%s: %s' % (d.kind, text[:150])


def minimise(text, sig, check, deadline):
    """Drops lines (not the first two nor M2) while the program still differs
    with the same signature."""
    lines = text.rstrip('\n').split('\n')
    changed = True
    while changed and time.time() < deadline:
        changed = False
        i = len(lines) - 2
        while i >= 1 and time.time() < deadline:
            if lines[i].startswith('( conformance') or i < 2 or lines[i] == 'M2':
                i -= 1
                continue
            trial = lines[:i] + lines[i + 1:]
            res = check('\n'.join(trial) + '\n')
            if res.diffs and signature(res) == sig:
                lines = trial
                changed = True
            i -= 1
    return '\n'.join(lines) + '\n'


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--telvo', required=True)
    ap.add_argument('--backend')
    ap.add_argument('--cache', default=os.path.join(difftest.REPO, 'build', 'rs274'))
    ap.add_argument('--out', default=os.path.join(difftest.REPO, 'build', 'fuzz-findings'))
    ap.add_argument('--minutes', type=float, default=20.0)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--jobs', type=int, default=2)
    ap.add_argument('--no-minimise', action='store_true')
    args = ap.parse_args(argv)
    args.cache = os.path.abspath(args.cache)
    try:
        rs = difftest.fetch_rs274(args.cache)
    except difftest.Skip as e:
        print('fuzz: skipped: %s' % e)
        return difftest.SKIP
    env = dict(os.environ)
    if args.backend:
        env['TELVO_BACKEND'] = os.path.abspath(args.backend)
    telvo = os.path.abspath(args.telvo)
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix='fuzz-', dir=args.cache)
    start = time.time()
    deadline = start + args.minutes * 60
    lock = threading.Lock()
    counts = {'programs': 0, 'differ': 0, 'refused by both': 0}
    kinds = {}  # signature -> [file names]

    def check(text):
        return difftest.check_program('fuzz', text, rs, telvo, env, work, refusal=None)

    def worker(n):
        rnd = random.Random('%d-%d' % (args.seed, n))
        k = 0
        while time.time() < deadline:
            k += 1
            text = random_program(rnd)
            res = check(text)
            with lock:
                counts['programs'] += 1
                counts['refused by both'] += bool(res.both_refuse)
            if not res.diffs:
                continue
            sig = signature(res)
            name = 'seed%d-w%d-%04d' % (args.seed, n, k)
            with lock:
                counts['differ'] += 1
                first = sig not in kinds
                kinds.setdefault(sig, []).append(name)
            with open(os.path.join(args.out, name + '.nc'), 'w') as f:
                f.write(text)
            with open(os.path.join(args.out, name + '.txt'), 'w') as f:
                f.write(difftest.describe(res) + '\n')
            if first and not args.no_minimise:
                small = minimise(text, sig, check, min(deadline, time.time() + 180))
                res2 = check(small)
                with open(os.path.join(args.out, name + '.min.nc'), 'w') as f:
                    f.write(small)
                with open(os.path.join(args.out, name + '.min.txt'), 'w') as f:
                    f.write(difftest.describe(res2) + '\n')

    try:
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            list(pool.map(worker, range(args.jobs)))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    minutes = (time.time() - start) / 60
    lines = ['fuzz: seed %d, %.1f minutes, %d programs (%d refused by both), %d differ, %d kinds'
             % (args.seed, minutes, counts['programs'], counts['refused by both'],
                counts['differ'], len(kinds))]
    for sig, names in sorted(kinds.items(), key=lambda kv: -len(kv[1])):
        lines.append('%5d  %s' % (len(names), sig))
        lines.append('       first: %s (minimised: %s.min.nc)' % (names[0], names[0]))
    summary = '\n'.join(lines) + '\n'
    with open(os.path.join(args.out, 'summary-seed%d.txt' % args.seed), 'w') as f:
        f.write(summary)
    print(summary, end='')
    return 1 if kinds else 0


if __name__ == '__main__':
    sys.exit(main())
