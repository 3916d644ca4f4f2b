"""Tests of the Python binding, run by ctest (tests/bindings) and by the
package check (scripts/deb/test.sh):

  - every record's size and every field's offset and size against the table
    that tests/bindings/layout_table.c prints from telvo.h (TELVO_LAYOUT
    names the file; the test fails without it);
  - load(): the backend is set before the library loads, and a second,
    different backend is refused;
  - a short run on the simulated controller: open, configure, stream a move,
    read a status record.

TELVO_TEST_LIBRARY: the library file to load (default: by name, as a user
would); TELVO_EXPECTED_LIBRARY: the file that must then be the one mapped.
"""

import ctypes
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import telvo  # noqa: E402

SEGMENTS = 200


def read_layout(path):
    records, fields = {}, {}
    with open(path) as table:
        for line in table:
            words = line.split()
            if words[0] == "record":
                records[words[1]] = int(words[2])
                fields[words[1]] = []
            elif words[0] == "field":
                fields[words[1]].append((words[2], int(words[3]), int(words[4])))
    return records, fields


class Layout(unittest.TestCase):
    def test_records_match_the_header(self):
        self.assertIn("TELVO_LAYOUT", os.environ, "TELVO_LAYOUT must name the table of layout_table.c")
        records, fields = read_layout(os.environ["TELVO_LAYOUT"])
        self.assertEqual(set(records), {"AxisConfig", "MachineConfig", "PinEntry", "IoConfig", "MachineStatus",
                                        "MotionSegment"})
        for name, size in records.items():
            structure = getattr(telvo, name)
            with self.subTest(record=name):
                self.assertEqual(ctypes.sizeof(structure), size)
                # The same fields, in the same order, at the same offsets with the same sizes.
                ours = [(field, getattr(structure, field).offset, getattr(structure, field).size)
                        for field, _ in structure._fields_]
                self.assertEqual(ours, fields[name])


class LoadOrder(unittest.TestCase):
    def test_a_backend_is_refused_once_the_library_is_in_the_process(self):
        # In a process of its own: the library loaded without load() first.
        library = os.environ.get("TELVO_TEST_LIBRARY") or telvo.library_name()
        script = (
            "import ctypes, sys, telvo\n"
            f"ctypes.CDLL({library!r})\n"
            "try:\n"
            f"    telvo.load(backend='libtelvo_sim.so', path={library!r})\n"
            "except RuntimeError as error:\n"
            "    print(error)\n"
            "    sys.exit(3)\n")
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))
        env.pop(telvo.BACKEND_VARIABLE, None)
        done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 3, done.stdout + done.stderr)
        self.assertIn("was loaded into this process before telvo.load()", done.stdout)


def simulator():
    # The module the library loaded, by its file name: never a second copy.
    return ctypes.CDLL("libtelvo_sim.so", mode=os.RTLD_NOW | os.RTLD_NOLOAD)


def mapped_library():
    with open("/proc/self/maps") as maps:
        for line in maps:
            if "libtelvo.so" in line:
                return os.path.realpath(line.split(None, 5)[5].strip())
    return None


class Simulator(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        os.environ.pop(telvo.BACKEND_VARIABLE, None)
        cls.lib = telvo.load(backend="libtelvo_sim.so", path=os.environ.get("TELVO_TEST_LIBRARY"))

    def test_load_sets_the_backend_and_keeps_it(self):
        self.assertEqual(os.environ[telvo.BACKEND_VARIABLE], "libtelvo_sim.so")
        self.assertIs(telvo.load(), self.lib)
        self.assertIs(telvo.load(backend="libtelvo_sim.so"), self.lib)
        with self.assertRaisesRegex(RuntimeError, "before the library loads"):
            telvo.load(backend="libtelvo_usb.so")
        self.assertIsInstance(self.lib._dll, ctypes.CDLL)
        expected = os.environ.get("TELVO_EXPECTED_LIBRARY")
        if expected:
            self.assertEqual(mapped_library(), os.path.realpath(expected))

    def test_short_move(self):
        lib, sim = self.lib, simulator()
        sim.tsim_executed_count.restype = ctypes.c_int64
        self.assertEqual(lib.telvo_Open(), 1)
        self.assertEqual(lib.firmware_version(), "01.23")

        config, io = telvo.MachineConfig(), telvo.IoConfig()
        for axis in config.axes:
            axis.stepsPerUnit, axis.maxVelocity, axis.acceleration = 1000, 50000, 100000
        self.assertEqual(lib.telvo_Init(ctypes.byref(config), ctypes.byref(io)), 1)

        status = telvo.MachineStatus()
        lib.telvo_BufClear()
        for _ in range(10):
            sim.tsim_advance_ms(1)
            if lib.telvo_GetStatus(ctypes.byref(status)) == 1:
                break
        else:
            self.fail("no first status record")
        lib.telvo_PosResync()

        # Axis 2 moves back 0.25 steps per millisecond; the others stay.
        added = 0
        for _ in range(20 * SEGMENTS):
            if sim.tsim_executed_count() >= SEGMENTS:
                break
            sim.tsim_advance_ms(1)
            if lib.telvo_GetStatus(ctypes.byref(status)) == 1:
                lib.telvo_BufUpdate()
            while added < SEGMENTS and lib.telvo_BufFreeCnt() > 0:
                segment = telvo.MotionSegment()
                segment.target[2] = -0.25 * added
                segment.tag = added + 1
                self.assertEqual(lib.telvo_BufAdd(ctypes.byref(segment)), 1)
                added += 1
        self.assertEqual(sim.tsim_executed_count(), SEGMENTS)

        for _ in range(10):
            sim.tsim_advance_ms(1)
            if lib.telvo_GetStatus(ctypes.byref(status)) == 1:
                break
        self.assertEqual(status.length, ctypes.sizeof(telvo.MachineStatus))
        # floor(-0.25 * 199 + 0.5) = floor(-49.25) = -50
        self.assertEqual(list(status.position), [0, 0, -50, 0, 0, 0, 0])
        self.assertEqual(status.segmentTag, SEGMENTS)
        self.assertEqual(sim.tsim_protocol_error_count(), 0)
        self.assertNotEqual(lib.telvo_Close(), 0)


if __name__ == "__main__":
    unittest.main()
