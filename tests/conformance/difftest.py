#!/usr/bin/env python3
"""Differential test of telvo's G-code reading against LinuxCNC's own.

LinuxCNC's standalone interpreter `rs274` prints the canonical machining
calls a program makes (straight traverses and feeds, arcs, dwells, offsets,
units, the path-control mode). This script turns them into the path the
machine must follow, in machine coordinates and millimetres, runs the same
program through the built `telvo` tool (`telvo run --speed 0 --targets`), and
checks telvo's 1 ms targets against that path, in order:

  * every target lies within the allowed distance of the current piece of the
    path: the blending tolerance of the corners at its ends (G64 P, or the
    machine file's blend_tolerance for a G64 without P), nothing at exact-path
    and exact-stop corners, twice the arc tolerance on arcs, plus the
    rounding of rs274's four printed decimals;
  * no piece is skipped: the end of every piece is passed within its corner
    allowance (between two targets the machine moves in a straight line, so
    the check covers the farthest it moves in 1 ms); arcs go round their
    whole sweep, dwells hold still for their time, exact-stop corners stop;
  * feed moves do not go faster than their feed;
  * both end at the same point, and both accept or both refuse the program.

Where telvo differs from LinuxCNC on purpose, the pieces concerned are marked
with the difference's name (DELIBERATE below); telvo's path may leave them
but must come back to the next unmarked piece, and the report names the
difference that applied. Everything else that differs is reported with its
program line and fails the run.

Both readings start from one description of the machine (Machine): telvo's
machine file and rs274's tool table and parameter (.var) file are written
from it. rs274 is fetched once with `apt-get download` into a cache folder
and unpacked there, never installed; when it cannot be fetched the run is
skipped (exit status 77).

Python 3 standard library only. Usage: difftest.py --telvo BIN [--set cam|rules]
[FILE...]; see --help.
"""

import argparse
import concurrent.futures
import fcntl
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
INCH = 25.4
PACKAGES = ['linuxcnc-uspace', 'libboost-python1.74.0']

# Differences from LinuxCNC that telvo makes on purpose (tools/README.md has
# the table with the reasons). The test marks the pieces of LinuxCNC's path
# they concern.
DELIBERATE = {
    'comp-entry': 'cutter compensation entry: telvo runs the entry move tangent to the circle '
                  'of the tool radius round its programmed end, and round that circle to where '
                  'the next move starts; LinuxCNC (rs274 2.9) ends it where a compensated move '
                  'would end, square to the entry line (at an inside corner, where the offset '
                  'paths cross), and adds the arc round the programmed end from there',
    'comp-rapid-corner': 'rapid round an outside corner under cutter compensation: telvo goes '
                         'outside the corner with two straight rapids, LinuxCNC cuts across in one '
                         'chord',
}



class Skip(Exception):
    """The reference cannot be had on this machine: the run is skipped."""


# ---------------------------------------------------------------------------
# rs274, fetched once and unpacked into the cache


class Rs274:
    def __init__(self, exe, env):
        self.exe = exe
        self.env = env

    def run(self, workdir, program, tool_table, var_file, timeout=60):
        """Runs the reference on an annotated program; returns (stdout, stderr)."""
        paths = {}
        for name, text in (('prog.ngc', program), ('tool.tbl', tool_table),
                           ('machine.var', var_file)):
            paths[name] = os.path.join(workdir, name)
            with open(paths[name], 'w') as f:
                f.write(text)
        r = subprocess.run([self.exe, '-t', paths['tool.tbl'], '-v', paths['machine.var'], '-g',
                            paths['prog.ngc']], cwd=workdir, env=self.env, capture_output=True,
                           text=True, errors='replace', timeout=timeout, stdin=subprocess.DEVNULL)
        return r.stdout, r.stderr


def fetch_rs274(cache):
    """The rs274 of Debian's linuxcnc-uspace, from the cache or fetched into it."""
    cache = os.path.abspath(cache)
    os.makedirs(cache, exist_ok=True)
    root = os.path.join(cache, 'root')
    exe = os.path.join(root, 'usr', 'bin', 'rs274')
    stamp = os.path.join(cache, 'unpacked')
    with open(os.path.join(cache, '.lock'), 'w') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(stamp):
            debs = os.path.join(cache, 'debs')
            shutil.rmtree(debs, ignore_errors=True)
            shutil.rmtree(root, ignore_errors=True)
            os.makedirs(debs)
            try:
                r = subprocess.run(['apt-get', 'download'] + PACKAGES, cwd=debs,
                                   capture_output=True, text=True, timeout=900)
            except (OSError, subprocess.TimeoutExpired) as e:
                raise Skip('cannot fetch LinuxCNC (apt-get download %s): %s'
                           % (' '.join(PACKAGES), e))
            if r.returncode != 0:
                why = (r.stderr.strip().splitlines() or ['exit status %d' % r.returncode])[-1]
                raise Skip('cannot fetch LinuxCNC (apt-get download %s): %s; an archive must be '
                           'reachable (apt-get update may help)' % (' '.join(PACKAGES), why))
            for deb in sorted(os.listdir(debs)):
                if deb.endswith('.deb'):
                    subprocess.run(['dpkg-deb', '-x', os.path.join(debs, deb), root], check=True)
            if not os.path.exists(exe):
                raise Skip('the LinuxCNC package holds no usr/bin/rs274')
            with open(stamp, 'w') as f:
                f.write(' '.join(PACKAGES) + '\n')
    env = dict(os.environ)
    env['LD_LIBRARY_PATH'] = os.pathsep.join(
        [os.path.join(root, 'usr', 'lib'), os.path.join(root, 'usr', 'lib', 'x86_64-linux-gnu')]
        + ([env['LD_LIBRARY_PATH']] if env.get('LD_LIBRARY_PATH') else []))
    rs = Rs274(exe, env)
    with tempfile.TemporaryDirectory(dir=cache) as d:
        m = Machine()
        try:
            out, err = rs.run(d, 'G0 X1\nM2\n', m.tool_table(), m.var_file())
        except (OSError, subprocess.TimeoutExpired) as e:
            raise Skip('rs274 does not run here: %s' % e)
        if 'STRAIGHT_TRAVERSE' not in out:
            raise Skip('rs274 does not run here: %s' % (err.strip() or out.strip())[-300:])
    return rs


# ---------------------------------------------------------------------------
# The machine both readings start from

# Lengths in inches with at most three decimals: exact in rs274's inch files
# and, times 25.4, in telvo's millimetre machine file.
WORK_OFFSETS = [  # G54..G59, G59.1..G59.3
    (0.5, 0.25, -0.125), (2.0, 1.0, 0.0), (-1.5, 2.5, 0.25), (3.0, -1.0, -0.5),
    (-2.0, -2.0, 0.125), (4.0, 3.0, 0.0), (-3.0, 1.5, 0.375), (1.25, -2.75, -0.25),
    (-4.0, -3.0, 0.5)]
G28 = (1.0, 2.0, 0.5)
G30 = (-1.0, -2.0, 0.25)
TOOL_CHANGE = (-2.0, 5.0, 2.0)
TOOLS = {1: (0.5, 0.125), 2: (1.25, 0.25), 3: (0.0, 0.0625), 4: (0.75, 0.5)}  # length, diameter
TRAVEL = (20.0, 20.0, 12.0)  # +- inches
AXES = 'xyz'


class Machine:
    """Offsets, stored positions, tools and limits; `inch`: telvo's machine
    counts inches; `toolchange`: M6 moves to a tool-change position, straight
    (LinuxCNC's default) or, `quillup`, Z to machine zero first (LinuxCNC's
    TOOL_CHANGE_QUILL_UP)."""

    def __init__(self, inch=False, toolchange=False, quillup=False):
        self.inch = inch
        self.toolchange = toolchange or quillup
        self.quillup = quillup
        self.unit = INCH if inch else 1.0  # mm per machine unit
        self.steps = {'x': 800.0, 'y': 800.0, 'z': 1600.0}  # per mm
        self.blend_mm = 0.4 * INCH / 1000 if inch else 0.01
        self.arc_mm = 0.04 * INCH / 1000 if inch else 0.001

    def _u(self, inches):
        """A length in inches in telvo's machine units, as exact text."""
        v = inches if self.inch else inches * INCH
        return ('%.6f' % v).rstrip('0').rstrip('.')

    def _vec(self, v):
        return '[' + ', '.join(self._u(c) for c in v) + ']'

    def tool_change_mm(self):
        return tuple(c * INCH for c in TOOL_CHANGE) if self.toolchange else None

    def telvo_toml(self):
        unit = 'inch' if self.inch else 'mm'
        lines = ['[machine]', 'name = "conformance"', 'units = "%s"' % unit, '',
                 '[controller]', 'buffer_size = 1000', '']
        for i, a in enumerate(AXES):
            spu = self.steps[a] * (INCH if self.inch else 1.0)
            vel = 100000 if a != 'z' else 64000
            lines += ['[axis.%s]' % a, 'steps_per_unit = %d' % round(spu),
                      'max_velocity = %d' % vel, 'acceleration = %d' % (vel * 10),
                      'min = -%s' % self._u(TRAVEL[i]), 'max = %s' % self._u(TRAVEL[i]), '']
        lines += ['[motion]', 'blend_tolerance = %r' % (self.blend_mm / self.unit),
                  'arc_tolerance = %r' % (self.arc_mm / self.unit), '', '[offsets]']
        names = ['g54', 'g55', 'g56', 'g57', 'g58', 'g59', 'g59_1', 'g59_2', 'g59_3']
        for name, v in zip(names, WORK_OFFSETS):
            lines.append('%s = %s' % (name, self._vec(v)))
        lines += ['g28 = %s' % self._vec(G28), 'g30 = %s' % self._vec(G30)]
        if self.toolchange:
            lines.append('tool_change = %s' % self._vec(TOOL_CHANGE))
        if self.quillup:
            lines.append('tool_change_quill_up = true')
        lines.append('')
        for n, (length, diameter) in sorted(TOOLS.items()):
            lines += ['[[tool]]', 'number = %d' % n, 'length = %s' % self._u(length),
                      'diameter = %s' % self._u(diameter), '']
        lines += ['[spindle]', 'max_rpm = 24000', '', '[coolant]', 'mist_bit = 0',
                  'flood_bit = 1', '']
        return '\n'.join(lines)

    def tool_table(self):
        return ''.join('T%d P%d D%s Z%s ;\n' % (n, n, d, l)
                       for n, (l, d) in sorted(TOOLS.items()))

    def var_file(self):
        p = {5210: 0.0, 5220: 1.0}
        for k in range(3):
            p[5161 + k] = G28[k]
            p[5181 + k] = G30[k]
        for k in range(6):
            p[5211 + k] = 0.0
        for s, v in enumerate(WORK_OFFSETS):
            for k in range(9):
                p[5221 + 20 * s + k] = v[k] if k < 3 else 0.0
            p[5230 + 20 * s] = 0.0
        return ''.join('%d\t%.6f\n' % (n, p[n]) for n in sorted(p))


# ---------------------------------------------------------------------------
# Programs

DIRECTIVE = re.compile(r'\(\s*conformance\s*:([^)]*)\)', re.I)


def directives(text):
    """Words of the program's `(conformance: ...)` comments: inch, toolchange,
    quillup (the machine), refused (both readings must refuse the program)."""
    words = set()
    for m in DIRECTIVE.finditer(text):
        words.update(m.group(1).lower().split())
    return words


def machine_for(text):
    d = directives(text)
    return Machine(inch='inch' in d, toolchange='toolchange' in d, quillup='quillup' in d)


def annotate(text):
    """The program for rs274: each line ends with the comment (L<n>), which rs274
    echoes as COMMENT("L<n>") when it starts the line (it keeps only a line's
    last comment). Semicolon comments are dropped: they would come last."""
    out = []
    for n, line in enumerate(text.split('\n'), 1):
        line = line.rstrip('\r')
        depth, cut = 0, len(line)
        for k, c in enumerate(line):
            if c == '(':
                depth += 1
            elif c == ')':
                depth = max(0, depth - 1)
            elif c == ';' and depth == 0:
                cut = k
                break
        line = line[:cut]
        if line.strip().startswith('%'):
            out.append(line)
        else:
            out.append('%s (L%d)' % (line, n))
    return '\n'.join(out) + '\n'


# ---------------------------------------------------------------------------
# The reference path from rs274's canonical calls


class Piece:
    """One piece of the path, machine coordinates in mm: a straight move, an
    arc (helix) or a dwell."""
    __slots__ = ('kind', 'a', 'b', 'rapid', 'feed', 'line', 'mode', 'tol', 'unit', 'tags',
                 'i0', 'i1', 'i2', 'c0', 'c1', 'dir', 'ang0', 'sweep', 'r0', 'r1', 'seconds',
                 'length', 'canon')

    def __init__(self, kind, a, b, line, mode, tol, unit, canon):
        self.kind, self.a, self.b, self.line = kind, a, b, line
        self.mode, self.tol, self.unit, self.canon = mode, tol, unit, canon
        self.rapid, self.feed, self.tags, self.seconds = False, 0.0, set(), 0.0
        self.length = math.dist(a, b)

    def at(self, s):
        """Arcs: the point after s radians of the sweep."""
        f = s / self.sweep
        ang = self.ang0 + self.dir * s
        r = self.r0 + (self.r1 - self.r0) * f
        p = [0.0, 0.0, 0.0]
        p[self.i0] = self.c0 + r * math.cos(ang)
        p[self.i1] = self.c1 + r * math.sin(ang)
        p[self.i2] = self.a[self.i2] + (self.b[self.i2] - self.a[self.i2]) * f
        return p

    def progress(self, t, s_est):
        """Arcs: the sweep at target t, unwrapped next to s_est."""
        ang = math.atan2(t[self.i1] - self.c1, t[self.i0] - self.c0)
        raw = self.dir * (ang - self.ang0)
        return s_est + wrap(raw - s_est)

    def locate(self, t, s_est=0.0):
        """(distance from target t, how far along the piece it is 0..1, arcs: sweep)."""
        if self.kind == 'line':
            d = [self.b[k] - self.a[k] for k in range(3)]
            l2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2]
            u = ((t[0] - self.a[0]) * d[0] + (t[1] - self.a[1]) * d[1]
                 + (t[2] - self.a[2]) * d[2]) / l2
            u = min(max(u, 0.0), 1.0)
            q = (self.a[0] + u * d[0], self.a[1] + u * d[1], self.a[2] + u * d[2])
            return math.dist(t, q), u, 0.0
        if self.kind == 'dwell':
            return math.dist(t, self.a), 1.0, 0.0
        s = self.progress(t, s_est)
        c = min(max(s, 0.0), self.sweep)
        return math.dist(t, self.at(c)), c / self.sweep, s

    def describe(self):
        return self.canon


def wrap(a):
    """An angle in (-pi, pi]."""
    a = math.fmod(a, 2 * math.pi)
    if a <= -math.pi:
        a += 2 * math.pi
    elif a > math.pi:
        a -= 2 * math.pi
    return a


def seg_dist(p, a, b):
    """Distance from point p to the segment a-b."""
    d = [b[k] - a[k] for k in range(3)]
    l2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2]
    if l2 <= 0.0:
        return math.dist(p, a)
    u = ((p[0] - a[0]) * d[0] + (p[1] - a[1]) * d[1] + (p[2] - a[2]) * d[2]) / l2
    u = min(max(u, 0.0), 1.0)
    return math.dist(p, (a[0] + u * d[0], a[1] + u * d[1], a[2] + u * d[2]))


CANON = re.compile(r'^\s*\d+\s+N\S*\s+([A-Z_0-9]+)\((.*)\)\s*$')
NUMBER = re.compile(r'[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?')
LINE_MARK = re.compile(r'^L(\d+)$')
ERROR_LINE = re.compile(r'\(L(\d+)\)\s*$')


class Reference:
    """LinuxCNC's reading: the path pieces, or the line it refuses."""

    def __init__(self):
        self.pieces = []
        self.error = None  # (line, message)
        self.canon_lines = 0


def reference(stdout, stderr, machine):
    ref = Reference()
    # A refusal: "executing", the message, the block (with its line mark).
    err = [l for l in stderr.splitlines() if l.strip() and l.strip() != 'executing']
    if err:
        m = ERROR_LINE.search(err[-1]) if len(err) >= 2 else None
        ref.error = (int(m.group(1)) if m else 0, err[0].strip())
    unit = 1.0  # mm per program unit
    g5x = [0.0] * 3
    g92 = [0.0] * 3
    tlo = [0.0] * 3
    pos = [0.0, 0.0, 0.0]  # machine, mm; both readings start at machine zero
    plane = 'XY'
    mode, tol = 'continuous', machine.blend_mm
    feed = 0.0  # mm/min
    line = 0
    comp = False
    entry = False  # the entry move is still to come
    after_entry = False  # the line after the entry (LinuxCNC may add an arc first)
    group = []  # pieces of the current line mark, under compensation

    offset_unit = [1.0, 1.0, 1.0]  # units g5x, g92 and the tool length were printed in

    def machine_point(v):
        return [v[k] * unit + g5x[k] + g92[k] + tlo[k] for k in range(3)]

    def close_group():
        # Under compensation LinuxCNC puts the corner it adds at the start of
        # a line's pieces, before the line's own move: an arc for a feed move,
        # one straight traverse for a rapid; after the entry move, the arc
        # round the programmed point.
        nonlocal after_entry
        moving = [p for p in group if p.kind != 'dwell' and
                  math.hypot(p.b[0] - p.a[0], p.b[1] - p.a[1]) > 1e-9]
        for p in moving[:-1]:
            if p.kind == 'line' and p.rapid:
                p.tags.add('comp-rapid-corner')
            elif p.kind == 'arc' and after_entry and p is moving[0]:
                p.tags.add('comp-entry')
        if moving and not any('comp-entry' in p.tags and p.kind == 'line' for p in moving):
            after_entry = False
        group.clear()

    def add(p):
        nonlocal entry, after_entry
        ref.pieces.append(p)
        if comp:
            group.append(p)
            xy = p.kind != 'dwell' and math.hypot(p.b[0] - p.a[0], p.b[1] - p.a[1]) > 1e-9
            if entry and xy:
                p.tags.add('comp-entry')
                entry, after_entry = False, True
            elif after_entry and not xy:
                # Where the entry ends differs, so do moves that wait there.
                p.tags.add('comp-entry')

    def level_positioning(first, plane):
        # The documentation has a cycle position the tool parallel to the
        # plane and then move along the drilling axis to R; rs274 climbs to
        # the G98 level on the way when it starts below it (after a G99
        # series): the reference follows the documentation.
        drill = {'XY': 2, 'XZ': 1, 'YZ': 0}[plane]
        cyc = ref.pieces[first:]
        for n, p in enumerate(cyc):
            if p.kind != 'line' or not p.rapid:
                continue
            moves_drill = abs(p.b[drill] - p.a[drill]) > 1e-9
            moves_plane = any(abs(p.b[k] - p.a[k]) > 1e-9 for k in range(3) if k != drill)
            if moves_drill and moves_plane:
                level = list(p.b)
                level[drill] = p.a[drill]
                after = cyc[n + 1] if n + 1 < len(cyc) else None
                p.b, p.length = level, math.dist(p.a, level)
                if after is not None and after.kind == 'line':
                    after.a = level
                    after.length = math.dist(after.a, after.b)
                    if after.length <= 1e-7:
                        ref.pieces.remove(after)
            break

    cycle = None  # (first piece, line) of a canned cycle being read
    for raw in stdout.splitlines():
        m = CANON.match(raw)
        if not m:
            continue
        ref.canon_lines += 1
        name, args = m.group(1), m.group(2)
        nums = [float(x) for x in NUMBER.findall(args)]
        if name == 'COMMENT':
            text = args.strip().strip('"')
            mark = LINE_MARK.match(text)
            if mark:
                close_group()
                line = int(mark.group(1))
            elif text.startswith('interpreter: cutter radius compensation on'):
                comp, entry, after_entry = True, True, False
                group.clear()
            elif text.startswith('interpreter: cutter radius compensation off'):
                close_group()
                comp, entry, after_entry = False, False, False
        elif name == 'USE_LENGTH_UNITS':
            unit = INCH if 'INCH' in args else (10.0 if 'CM' in args else 1.0)
        elif name == 'SET_G5X_OFFSET':
            g5x = [nums[1 + k] * unit for k in range(3)]
            offset_unit[0] = unit
        elif name == 'SET_G92_OFFSET':
            g92 = [nums[k] * unit for k in range(3)]
            offset_unit[1] = unit
        elif name == 'USE_TOOL_LENGTH_OFFSET':
            tlo = [nums[k] * unit for k in range(3)]
            offset_unit[2] = unit
        elif name == 'SELECT_PLANE':
            plane = 'XZ' if 'XZ' in args else ('YZ' if 'YZ' in args else 'XY')
        elif name == 'SET_FEED_RATE':
            feed = nums[0] * unit
        elif name == 'SET_MOTION_CONTROL_MODE':
            # A canned cycle's moves come between two of these on its line.
            if cycle and cycle[1] == line:
                level_positioning(cycle[0], plane)
                # The mode from before the cycle: rs274 prints its P again
                # as a bare number, in whatever units are now in force.
                mode, tol = cycle[2]
                cycle = None
                continue
            if 'EXACT_PATH' in args:
                cycle = (len(ref.pieces), line, (mode, tol))
            if 'CONTINUOUS' in args:
                # G64 without P: telvo keeps to the machine's blend tolerance
                # where LinuxCNC has none (the stricter reading passes).
                mode, tol = 'continuous', (nums[0] * unit if nums and nums[0] > 0
                                           else machine.blend_mm)
            elif 'EXACT_STOP' in args:
                mode, tol = 'exact_stop', 0.0
            else:
                mode, tol = 'exact_path', 0.0
        elif name in ('STRAIGHT_TRAVERSE', 'STRAIGHT_FEED'):
            b = machine_point(nums[:3])
            p = Piece('line', pos, b, line, mode, tol, max([unit] + offset_unit), raw.strip())
            p.rapid = name == 'STRAIGHT_TRAVERSE'
            p.feed = feed / 60.0
            if p.length > 1e-7:
                add(p)
            pos = b
        elif name == 'ARC_FEED':
            e1, e2, c1, c2, rot, axis_end = nums[:6]
            i0, i1, i2 = {'XY': (0, 1, 2), 'XZ': (2, 0, 1), 'YZ': (1, 2, 0)}[plane]
            v = [0.0, 0.0, 0.0]
            v[i0], v[i1], v[i2] = e1, e2, axis_end
            b = machine_point(v)
            p = Piece('arc', pos, b, line, mode, tol, max([unit] + offset_unit), raw.strip())
            p.i0, p.i1, p.i2 = i0, i1, i2
            p.c0 = c1 * unit + g5x[i0] + g92[i0] + tlo[i0]
            p.c1 = c2 * unit + g5x[i1] + g92[i1] + tlo[i1]
            p.dir = 1.0 if rot > 0 else -1.0
            p.ang0 = math.atan2(pos[i1] - p.c1, pos[i0] - p.c0)
            ang1 = math.atan2(b[i1] - p.c1, b[i0] - p.c0)
            p.r0 = math.hypot(pos[i0] - p.c0, pos[i1] - p.c1)
            p.r1 = math.hypot(b[i0] - p.c0, b[i1] - p.c1)
            sweep = (p.dir * (ang1 - p.ang0)) % (2 * math.pi)
            if math.hypot(b[i0] - pos[i0], b[i1] - pos[i1]) < 2.5e-4 * unit:
                sweep = 2 * math.pi  # equal ends: a full turn
            p.sweep = sweep + 2 * math.pi * (abs(round(rot)) - 1)
            p.feed = feed / 60.0
            p.length = math.hypot(p.sweep * max(p.r0, p.r1), b[i2] - pos[i2])
            add(p)
            pos = b
        elif name == 'DWELL':
            if nums and nums[0] > 0:
                p = Piece('dwell', pos, pos, line, mode, tol, unit, raw.strip())
                p.seconds = nums[0]
                add(p)
        elif name == 'CHANGE_TOOL' and machine.toolchange:
            tc = list(machine.tool_change_mm())
            if machine.quillup:
                up = list(pos)
                up[2] = 0.0
                # How the two rapids join is the machine's own: a blend may round it.
                p = Piece('line', pos, up, line, 'continuous', machine.blend_mm, unit,
                          raw.strip())
                p.rapid = True
                if p.length > 1e-7:
                    add(p)
                pos = up
            p = Piece('line', pos, tc, line, 'exact_stop', 0.0, unit, raw.strip())
            p.rapid = True
            if p.length > 1e-7:
                add(p)
            pos = tc
        elif name == 'PROGRAM_END':
            break
    close_group()
    return ref


# ---------------------------------------------------------------------------
# telvo's run


class Run:
    def __init__(self):
        self.refused = None  # (line, message)
        self.failed = None  # the run could not be compared (text)
        self.check_failed = None  # telvo's own run check failed (text)
        self.start = [0.0, 0.0, 0.0]
        self.lines = []
        self.points = []  # mm


TELVO_DIAG = re.compile(r'^(?:.*?):(\d+): (.*)$')


def run_telvo(telvo, env, workdir, program, machine, timeout=600):
    run = Run()
    prog = os.path.join(workdir, 'prog.nc')
    toml = os.path.join(workdir, 'machine.toml')
    dump = os.path.join(workdir, 'targets.txt')
    with open(prog, 'w') as f:
        f.write(program)
    with open(toml, 'w') as f:
        f.write(machine.telvo_toml())
    try:
        r = subprocess.run([telvo, 'run', '-m', toml, '--speed', '0', '--quiet', '--targets', dump,
                            prog], cwd=workdir, env=env, capture_output=True, text=True,
                           errors='replace', timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        run.failed = 'telvo run did not end within %d s' % timeout
        return run
    if r.returncode != 0 and 'nothing was run' in r.stderr:
        diags = [TELVO_DIAG.match(l) for l in r.stderr.splitlines()]
        diags = [d for d in diags if d]
        run.refused = ((int(diags[0].group(1)), diags[0].group(2)) if diags
                       else (0, r.stderr.strip().splitlines()[-1]))
        return run
    if not os.path.exists(dump) or os.path.getsize(dump) == 0:
        run.failed = 'telvo run ended with status %d and no targets: %s' % (
            r.returncode, (r.stderr.strip() or r.stdout.strip())[-400:])
        return run
    if r.returncode != 0:
        check = [l.strip() for l in r.stdout.splitlines() if l.strip().startswith('check')]
        run.check_failed = 'telvo run exit status %d (%s)' % (
            r.returncode, check[0] if check else r.stderr.strip()[-300:])
    read_targets(dump, run, machine)
    return run


def read_targets(path, run, machine):
    with open(path) as f:
        head = [f.readline() for _ in range(5)]
        if not head[0].startswith('# telvo-targets 1'):
            raise ValueError('%s: not a version 1 targets file' % path)
        spu = dict(kv.split('=') for kv in head[2].split()[2:])
        start = dict(kv.split('=') for kv in head[3].split()[2:])
        columns = head[4].split()[1:]
        scale = [INCH / float(spu[a]) if machine.inch else 1.0 / float(spu[a]) for a in columns]
        run.start = [float(start[a]) * scale[k] for k, a in enumerate(columns)]
        for row in f:
            v = row.split()
            run.lines.append(int(v[0]))
            run.points.append([float(v[1 + k]) * scale[k] for k in range(len(columns))])


# ---------------------------------------------------------------------------
# The comparison


class Difference:
    def __init__(self, kind, line, text, telvo_line=None):
        self.kind, self.line, self.text, self.telvo_line = kind, line, text, telvo_line

    def __str__(self):
        where = 'line %d' % self.line if self.line else 'program'
        if self.telvo_line is not None and self.telvo_line != self.line:
            where += ' (telvo at line %d)' % self.telvo_line
        return '%s: %s: %s' % (where, self.kind, self.text)


MAX_DIFFERENCES = 5
LOOKAHEAD = 12
MODE_NAMES = {'continuous': 'G64', 'exact_path': 'exact path', 'exact_stop': 'exact stop'}


def compare(ref, run, machine, refusal=None):
    """Returns (differences, notes on the deliberate differences that applied).
    `refusal`: True, the program is meant to be refused; False, meant to run;
    None, either (both readings must agree)."""
    diffs, notes = [], []
    P = ref.pieces
    T = run.points
    M, N = len(P), len(T)
    if refusal is True and not (ref.error or run.refused):
        diffs.append(Difference('refusal', 0, 'both run the program, which is meant to be '
                                'refused'))
        return diffs, notes
    if ref.error or run.refused:
        if ref.error and run.refused:
            if refusal is False:
                diffs.append(Difference('refusal', ref.error[0], 'both refuse the program, which '
                                        'is meant to run: LinuxCNC (%s), telvo (line %d: %s)'
                                        % (ref.error[1], run.refused[0], run.refused[1])))
            return diffs, notes
        if ref.error:
            diffs.append(Difference('refusal', ref.error[0],
                                    'LinuxCNC refuses the program (%s); telvo runs it'
                                    % ref.error[1]))
        else:
            diffs.append(Difference('refusal', run.refused[0],
                                    'telvo refuses the program (%s); LinuxCNC runs it'
                                    % run.refused[1]))
        return diffs, notes
    if run.failed:
        diffs.append(Difference('run', 0, run.failed))
        return diffs, notes
    if run.check_failed:
        diffs.append(Difference('run check', 0, run.check_failed))
    if math.dist(run.start, (0.0, 0.0, 0.0)) > 1e-9:
        diffs.append(Difference('start', 0, 'telvo starts at %s, not at machine zero' % run.start))
        return diffs, notes
    if M == 0 or N == 0:
        if M != N:
            diffs.append(Difference('path', 0, 'LinuxCNC makes %d path pieces, telvo %d targets'
                                    % (M, N)))
        return diffs, notes

    # Allowances, mm. rs274 prints 4 decimals: a point, a centre or an offset
    # may be off by half a unit of the last one per axis.
    # A piece starts where the one before it ends: after a change of units
    # its start was printed in the other units.
    eps = [2.5e-4 * max(p.unit, P[j - 1].unit if j else p.unit) + 1e-6 for j, p in enumerate(P)]
    # Blending at the end of each piece: the tolerance of the mode the piece
    # was given in; none at exact-path and exact-stop corners, before and
    # after dwells and at the end. Arcs are chords within the arc tolerance
    # whose corners blend within it again.
    half_step = [0.5 / machine.steps[a] for a in AXES]  # mm

    def moving(p):
        if p.kind == 'arc':
            return {p.i0, p.i1} | ({p.i2} if abs(p.b[p.i2] - p.a[p.i2]) > 1e-9 else set())
        return {k for k in range(3) if abs(p.b[k] - p.a[k]) > 1e-9}

    corner = []
    for j, p in enumerate(P):
        c = p.tol if p.mode == 'continuous' else 0.0
        if p.mode == 'exact_path' and j + 1 < M:
            # telvo blends an exact-path bend within half a step of the
            # coarsest axis the two moves use (a deliberate difference).
            c = max([half_step[k] for k in moving(p) | moving(P[j + 1])] or [0.0])
        if p.kind == 'dwell' or j == M - 1 or P[j + 1].kind == 'dwell':
            c = 0.0
        corner.append(c)
    start_corner = [0.0] + corner[:-1]
    extra = [2.0 * machine.arc_mm if p.kind == 'arc' else 0.0 for p in P]

    def allowance(j, frac):
        """At a point `frac` along piece j: a blend reaches at most half way in."""
        if frac < 0.5:
            return start_corner[j] + extra[j] + max(eps[j], eps[j - 1] if j else 0.0)
        return corner[j] + extra[j] + eps[j]

    allow_end = [corner[j] + extra[j] + eps[j] for j in range(M)]

    def within(j, t, s_est=0.0):
        d, frac, _ = P[j].locate(t, s_est)
        return d <= allowance(j, frac)

    # The first unmarked piece from each piece on.
    next_plain = [M] * (M + 1)
    for j in range(M - 1, -1, -1):
        next_plain[j] = next_plain[j + 1] if P[j].tags else j

    class State:
        pass

    st = State()
    st.at = 0  # the target being read
    st.reach = 0.0  # how far the last step went
    runs = [0]

    def enter(j, t):
        st.k = j
        st.endmin = math.inf  # nearest the path between targets came to the end
        st.endpt = math.inf  # nearest a target came to the end
        st.s = P[j].locate(t, 0.0)[2] if P[j].kind == 'arc' else 0.0
        st.count = 0  # dwells: targets holding still there
        st.fast = 0.0  # fastest speed along the piece, mm/s
        st.steps = 0  # targets taken on this piece (the step onto it is not its speed)
        st.loose_dev = 0.0  # marked pieces: farthest telvo's path went from them
        runs[0] += 1
        st.run = runs[0]

    def end_ok(j):
        p = P[j]
        if st.endmin > allow_end[j]:
            return False
        if p.kind == 'arc':
            # Round the whole sweep but the piece a blend or one step may
            # cut from its end (a chord at most, and the allowance).
            r = max(min(p.r0, p.r1), 1e-9)
            chord = 2 * math.acos(max(-1.0, 1 - machine.arc_mm / r)) if r > machine.arc_mm else 1
            slack = min(math.pi / 2, min(chord, math.pi / 4)
                        + (allow_end[j] + 2 * st.reach) / r + 1e-3)
            if st.s < p.sweep - slack:
                return False
        if p.kind == 'dwell' and st.count < round(p.seconds * 1000) - 1:
            return False
        return True

    def leave(j, tline):
        """Checks made when the path moves on from piece j."""
        p = P[j]
        if p.tags:
            pass  # a deliberate difference: only where the path comes back counts
        elif p.mode == 'exact_stop' and j + 1 < M and p.kind != 'dwell':
            # The stop: a target on the end, about where the path moved on.
            near = min([st.endpt] + [math.dist(T[m], p.b) for m in
                                     range(max(0, st.at - 50), min(N, st.at + 200))])
            if near > eps[j] + max(half_step[a] for a in moving(p)):
                diffs.append(Difference('exact stop', p.line, 'telvo does not stop at the end of '
                                        '%s (G61.1): it passes %.4f mm away' % (p.canon, near),
                                        tline))
        if not p.tags and p.kind != 'dwell' and not p.rapid and st.fast > p.feed * 1.001 + 0.01:
            diffs.append(Difference('feed', p.line, 'telvo moves at %.1f mm/min where LinuxCNC '
                                    'feeds at %.1f mm/min (%s)' % (st.fast * 60, p.feed * 60,
                                                                   p.canon), tline))
        if p.tags and st.loose_dev > allowance(j, 1.0):
            names = sorted(p.tags)
            note = ('line %d: %s (%s): telvo\'s path is up to %.4f mm from LinuxCNC\'s'
                    % (p.line, ', '.join(names), DELIBERATE[names[0]], st.loose_dev))
            if not notes or notes[-1][1] != st.run:
                notes.append((note, st.run))

    def passed_within(j, prev, t):
        """Piece j (after the current one) run entirely within one 1 ms step."""
        p = P[j]
        if p.kind == 'dwell':
            return p.seconds < 0.002
        if p.length > allow_end[j] + math.dist(prev, t):
            return False
        return seg_dist(p.b, prev, t) <= allow_end[j]

    def describe_piece(j):
        p = P[j]
        mode = MODE_NAMES[p.mode] + (' P%.4g' % p.tol if p.mode == 'continuous' else '')
        return '%s (%s)' % (p.canon, mode)

    prev = run.start
    enter(0, T[0])
    i = 0
    while i < N:
        t = T[i]
        tline = run.lines[i]
        st.at = i
        st.reach = math.dist(t, prev)
        if P[st.k].tags:
            # A deliberate difference: telvo's path may be anywhere until it
            # is back on LinuxCNC's where the next unmarked piece starts.
            k = st.k
            j = next_plain[k]
            st.endmin = min(st.endmin, seg_dist(P[k].b, prev, t))
            # A different entry also moves where the first compensated move
            # starts (at an inside corner): the path may come back at its end.
            later = next_plain[j + 1] if j < M and 'comp-entry' in P[k].tags else M

            def back_at(n):
                return n < M and within(n, t) and seg_dist(P[n].a, prev, t) <= allowance(n, 0.0)

            if not back_at(j) and back_at(later):
                j = later
            if back_at(j):
                runs[0] += 1  # one note for the whole run of marked pieces
                st.run = runs[0]
                for m in range(k, j):
                    st.k = m
                    leave(m, tline)
                enter(j, t)
            else:
                dev = min(P[m].locate(t)[0] for m in range(k, min(later + 1, M)))
                st.loose_dev = max(st.loose_dev, dev)
                prev = t
                i += 1
                continue
        # Done with the current piece and on the next one: move on.
        while True:
            k = st.k
            p = P[k]
            if p.kind == 'arc':
                st.s = p.progress(t, st.s)
            st.endmin = min(st.endmin, seg_dist(p.b, prev, t))
            if k + 1 < M and end_ok(k) and (P[k + 1].tags or within(k + 1, t)):
                st.endpt = min(st.endpt, math.dist(t, p.b))
                leave(k, tline)
                enter(k + 1, t)
                if P[k + 1].tags:
                    break
                continue
            break
        if P[st.k].tags:
            continue
        k = st.k
        p = P[k]
        d, frac, s = p.locate(t, st.s)
        if d <= allowance(k, frac):
            st.s = s
            if p.kind == 'dwell':
                st.count += 1
            st.endpt = min(st.endpt, math.dist(t, p.b))
            # Feed: between two targets on the piece, clear of its ends (a
            # step across a corner averages two pieces' speeds).
            clear = 2 * max(allowance(k, 0.0), allowance(k, 1.0)) + math.dist(t, prev)
            if (st.steps and not p.rapid and p.kind != 'dwell' and
                    min(math.dist(t, p.a), math.dist(t, p.b),
                        math.dist(prev, p.a), math.dist(prev, p.b)) > clear):
                st.fast = max(st.fast, math.dist(t, prev) / 0.001)
            st.steps += 1
            prev = t
            i += 1
            continue
        # Off the current piece: on a later one, with every piece in between
        # run within this one step?
        found = None
        for j in range(k + 1, min(M, k + 1 + LOOKAHEAD)):
            if P[j].tags or within(j, t):
                found = j
                break
        between = [] if found is None else [m for m in range(k + 1, found)
                                            if not passed_within(m, prev, t)]
        if found is not None and end_ok(k) and not between:
            st.endpt = min(st.endpt, math.dist(t, p.b))
            leave(k, tline)
            enter(found, t)
            continue  # the target again, on the piece found
        if found is not None:
            missed = between[0] if end_ok(k) else k
            q = P[missed]
            if missed != k:
                what = 'passes its end %.4f mm away' % seg_dist(q.b, prev, t)
            elif q.kind == 'arc':
                what = 'goes %.1f of its %.1f degrees' % (math.degrees(st.s),
                                                          math.degrees(q.sweep))
            elif q.kind == 'dwell':
                what = 'holds still %d ms of %d' % (st.count, round(q.seconds * 1000))
            else:
                what = 'passes its end %.4f mm away' % st.endmin
            diffs.append(Difference('skipped', q.line, 'telvo leaves %s before its end: it %s '
                                    '(allowed %.4f)' % (describe_piece(missed), what,
                                                        allow_end[missed]), tline))
        else:
            left = '' if end_ok(k) else '; its end is %.4f mm on' % st.endmin
            diffs.append(Difference('path', p.line, 'target %d at machine (%.4f, %.4f, %.4f) is '
                                    '%.4f mm from %s, allowed %.4f%s' % (
                                        i, t[0], t[1], t[2], d, describe_piece(k),
                                        allowance(k, frac), left), tline))
        if len(diffs) >= MAX_DIFFERENCES:
            return diffs, [n for n, _ in notes]
        # Find the path again further on.
        again = None
        for i2 in range(i + 1, N):
            for j in range(k, min(M, k + 4 * LOOKAHEAD)):
                if not P[j].tags and within(j, T[i2]):
                    again = (i2, j)
                    break
            if again:
                break
        if not again:
            return diffs, [n for n, _ in notes]
        i, j = again
        enter(j, T[i])
        prev = T[i - 1]
    # The end: on the last piece, done with it, at LinuxCNC's end point.
    k = st.k
    rest = [m for m in range(k + 1, M) if not P[m].tags]
    if rest == [M - 1] and 'comp-entry' in P[k].tags:
        rest = []  # the entry's move and the last one, which it starts: only the end counts
    if rest:
        diffs.append(Difference('end', P[rest[0]].line, 'telvo ends before %s'
                                % describe_piece(rest[0]), run.lines[-1]))
    elif not P[k].tags and not end_ok(k):
        diffs.append(Difference('end', P[k].line, 'telvo ends before the end of %s'
                                % describe_piece(k), run.lines[-1]))
    else:
        leave(k, run.lines[-1])
    gap = math.dist(T[-1], P[-1].b)
    if gap > eps[-1] and not diffs:
        diffs.append(Difference('end', P[-1].line, 'telvo ends %.4f mm from LinuxCNC\'s end point '
                                '(%.4f, %.4f, %.4f)' % ((gap,) + tuple(P[-1].b)), run.lines[-1]))
    return diffs[:MAX_DIFFERENCES], [n for n, _ in notes]


# ---------------------------------------------------------------------------
# One program through both readings


class Result:
    def __init__(self, name):
        self.name = name
        self.diffs = []
        self.notes = []
        self.pieces = 0
        self.targets = 0
        self.both_refuse = None
        self.workdir = None

    @property
    def passed(self):
        return not self.diffs


def check_program(name, text, rs, telvo, env, work_root, keep=None, telvo_text=None,
                  refusal=False):
    """Runs one program through rs274 and telvo and compares them (telvo_text:
    what telvo reads instead, for the self-check). `refusal`: see compare();
    a program's `(conformance: refused)` comment makes it True."""
    res = Result(name)
    machine = machine_for(text)
    workdir = tempfile.mkdtemp(prefix='prog-', dir=work_root)
    res.workdir = workdir
    try:
        out, err = rs.run(workdir, annotate(text), machine.tool_table(), machine.var_file())
        with open(os.path.join(workdir, 'canon.txt'), 'w') as f:
            f.write(out + '\n--- stderr\n' + err)
        ref = reference(out, err, machine)
        run = run_telvo(telvo, env, workdir, text if telvo_text is None else telvo_text, machine)
        res.pieces, res.targets = len(ref.pieces), len(run.points)
        if ref.error and run.refused:
            res.both_refuse = (ref.error, run.refused)
        if 'refused' in directives(text):
            refusal = True
        res.diffs, res.notes = compare(ref, run, machine, refusal)
    except (OSError, ValueError, subprocess.SubprocessError) as e:
        res.diffs = [Difference('harness', 0, '%s: %s' % (type(e).__name__, e))]
    if res.diffs and keep:
        dest = os.path.join(keep, os.path.splitext(os.path.basename(name))[0])
        shutil.rmtree(dest, ignore_errors=True)
        shutil.copytree(workdir, dest)
        res.workdir = dest
    shutil.rmtree(workdir, ignore_errors=True)
    return res


def describe(res, verbose=False):
    lines = []
    if res.passed:
        if res.both_refuse:
            (rl, rm), (tl, tm) = res.both_refuse
            lines.append('%s: passed (both refuse: LinuxCNC line %d: %s; telvo line %d: %s)'
                         % (res.name, rl, rm, tl, tm))
        else:
            lines.append('%s: passed (%d pieces, %d targets)' % (res.name, res.pieces,
                                                                 res.targets))
    else:
        lines.append('%s: DIFFERS' % res.name)
        lines += ['    ' + str(d) for d in res.diffs]
        if res.workdir and os.path.isdir(res.workdir):
            lines.append('    kept in %s' % res.workdir)
    for n in res.notes:
        lines.append('    deliberate difference at %s' % n)
    return '\n'.join(lines)


# The self-check: telvo reads a program with one fault planted, LinuxCNC the
# program itself; each must be reported. (rule file, text, planted text).
SELF_CHECK = [
    ('motion_g0_g1.nc', 'G1 X30 Y15 F900', 'G1 X30.03 Y15 F900'),  # an end point off
    ('motion_g0_g1.nc', 'G1 X30 Y15 F900', 'G1 X30 Y15 F1200'),  # too fast
    ('motion_g0_g1.nc', 'Y5\n', '\n'),  # a move left out
    ('motion_g0_g1.nc', 'G0 Z5\n', 'G0 Z5\nG0 Z6\n'),  # a move too many
    ('arcs_g17_ij.nc', 'G3 X30 Y10 I0 J10', 'G2 X30 Y10 I0 J10'),  # the other way round
    ('arcs_g18.nc', 'G2 X15 Z0 I5 K0', 'G3 X15 Z0 I5 K0'),  # G18's sense of direction
    ('full_circles_p.nc', 'Z-3 I-10 J0 P3', 'Z-3 I-10 J0 P2'),  # a turn short
    ('helix_g17.nc', 'Z-2 I-10', 'Z-2.02 I-10'),  # the helix's depth
    ('dwell_g4.nc', 'G4 P0.5', 'G4 P0.3'),  # a dwell too short
    ('path_g61_exact.nc', 'G94 G61', 'G94 G64 P0.2'),  # corners rounded
    ('path_g61_1_exact_stop.nc', 'G94 G61.1', 'G94 G64 P0.1'),  # no stops
    ('path_g64_p.nc', 'G64 P0.05', 'G64 P0.5'),  # corners rounded too much
    ('units_g20.nc', 'G1 X1.5 F40', 'G1 X1.5 F60'),  # inch feed
    ('work_offsets_g54_g59_3.nc', 'G59.2 G0', 'G59.1 G0'),  # the wrong work system
    ('g92_offsets.nc', 'G92 X0 Y0', 'G92 X0 Y0.01'),  # an axis offset
    ('g43_g49_tool_length.nc', 'G43 H1', 'G43 H3'),  # the wrong tool length
    ('g28_g30.nc', 'G28 X20 Y20', 'G28 X20 Y21'),  # the intermediate point
    ('cycle_g83_peck.nc', 'Q1.5', 'Q2'),  # pecks
    ('comp_g42_inside_corners.nc', 'X40\n', 'X40.05\n'),  # a compensated corner
    ('feed_g93_inverse_time.nc', 'Y30 Z0 F12', 'Y30 Z0 F14'),  # inverse time
    ('cycle_l_absolute.nc', 'L3', 'L2'),  # a repeat left out
]

PROGRAM_SETS = {
    'cam': os.path.join(REPO, 'tests', 'tool', 'data', 'programs'),
    'rules': os.path.join(HERE, 'rules'),
}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    ap.add_argument('--telvo', required=True, help='the built telvo program')
    ap.add_argument('--backend', help='simulated controller module (sets TELVO_BACKEND)')
    ap.add_argument('--cache', default=os.path.join(REPO, 'build', 'rs274'),
                    help='folder for the fetched LinuxCNC packages (default build/rs274)')
    ap.add_argument('--set', action='append', choices=sorted(PROGRAM_SETS),
                    help='a set of programs: cam (tests/tool/data/programs), rules')
    ap.add_argument('--jobs', type=int, default=1)
    ap.add_argument('--keep', help='copy the files of differing programs into this folder')
    ap.add_argument('--self-check', action='store_true',
                    help='plant a fault in what telvo reads of some rule programs: each must be '
                         'reported')
    ap.add_argument('files', nargs='*')
    args = ap.parse_args(argv)
    args.cache = os.path.abspath(args.cache)

    jobs = []  # (name, text for LinuxCNC, text for telvo or None)
    files = list(args.files)
    for s in args.set or []:
        d = PROGRAM_SETS[s]
        files += [os.path.join(d, f) for f in sorted(os.listdir(d)) if f.endswith(('.nc', '.ngc'))]
    for path in files:
        with open(path, errors='replace') as f:
            jobs.append((os.path.relpath(path, REPO) if path.startswith(REPO + os.sep) else path,
                         f.read(), None))
    if args.self_check:
        for n, (rule, old, new) in enumerate(SELF_CHECK):
            with open(os.path.join(PROGRAM_SETS['rules'], rule)) as f:
                text = f.read()
            if old not in text:
                print('conformance: self-check %d: %r is not in %s' % (n, old, rule))
                return 1
            jobs.append(('self-check %d: %s with %r for %r' % (n, rule, new.strip(), old.strip()),
                         text, text.replace(old, new, 1)))
    if not jobs:
        ap.error('no programs: give files, --set or --self-check')
    try:
        rs = fetch_rs274(args.cache)
    except Skip as e:
        print('conformance: skipped: %s' % e)
        return SKIP
    env = dict(os.environ)
    if args.backend:
        env['TELVO_BACKEND'] = os.path.abspath(args.backend)
    telvo = os.path.abspath(args.telvo)
    work_root = tempfile.mkdtemp(prefix='conformance-', dir=args.cache)
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    try:
        def one(job):
            name, text, planted = job
            return check_program(name, text, rs, telvo, env, work_root,
                                 None if planted else args.keep, planted)

        with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
            results = list(pool.map(one, jobs))
    finally:
        shutil.rmtree(work_root, ignore_errors=True)
    ok = 0
    for (name, _, planted), r in zip(jobs, results):
        if planted is None:
            print(describe(r))
            ok += r.passed
        else:
            # A planted fault must be reported, and not as a harness failure.
            found = r.diffs and all(d.kind != 'harness' for d in r.diffs)
            print('%s: %s' % (name, 'reported: %s' % r.diffs[0] if found else
                              'NOT REPORTED' if not r.diffs else 'harness failure: %s' % r.diffs[0]))
            ok += bool(found)
    print('conformance: %d programs, %d as expected, %d not' % (len(results), ok,
                                                              len(results) - ok))
    return 0 if ok == len(results) else 1


if __name__ == '__main__':
    sys.exit(main())
