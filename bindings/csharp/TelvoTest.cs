// Tests of the C# binding (Telvo.cs), run by ctest (tests/bindings) with
// Mono on Linux:
//   TelvoTest.exe LAYOUT-TABLE        every record's size and every field's
//                                     offset against the table that
//                                     tests/bindings/layout_table.c prints
//                                     from telvo.h;
//   TelvoTest.exe LAYOUT-TABLE sim    also a short run on the simulated
//                                     controller (TELVO_BACKEND=libtelvo_sim.so):
//                                     open, configure, stream a move, read
//                                     a status record.
// The last line reads "N passed, M failed"; the exit status is 1 on a failure.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using Telvo;

static class TelvoTest
{
    static int passed;
    static int failed;

    static void Check(bool ok, string what)
    {
        if (ok) {
            passed++;
        } else {
            failed++;
            Console.WriteLine("FAILED: " + what);
        }
    }

    static void CheckEqual<T>(T expected, T actual, string what)
    {
        Check(EqualityComparer<T>.Default.Equals(expected, actual),
              what + ": expected " + expected + ", got " + actual);
    }

    // The simulator's control API, in the module the library loaded.
    static class Sim
    {
        [DllImport("telvo_sim", CallingConvention = CallingConvention.Cdecl)]
        public static extern void tsim_advance_ms(int ms);
        [DllImport("telvo_sim", CallingConvention = CallingConvention.Cdecl)]
        public static extern long tsim_executed_count();
        [DllImport("telvo_sim", CallingConvention = CallingConvention.Cdecl)]
        public static extern int tsim_protocol_error_count();
    }

    static void Layout(string table)
    {
        var types = new Dictionary<string, Type> {
            {"AxisConfig", typeof(AxisConfig)}, {"MachineConfig", typeof(MachineConfig)},
            {"PinEntry", typeof(PinEntry)}, {"IoConfig", typeof(IoConfig)},
            {"MachineStatus", typeof(MachineStatus)}, {"MotionSegment", typeof(MotionSegment)},
        };
        var expectedFields = new Dictionary<string, List<string>>();
        int records = 0;
        foreach (string line in File.ReadAllLines(table)) {
            string[] w = line.Split(' ');
            Type type;
            if (!types.TryGetValue(w[1], out type)) {
                Check(false, "the header's record " + w[1] + " has no binding");
                continue;
            }
            if (w[0] == "record") {
                records++;
                expectedFields[w[1]] = new List<string>();
                CheckEqual(int.Parse(w[2]), Marshal.SizeOf(type), "size of " + w[1]);
            } else if (w[0] == "field") {
                expectedFields[w[1]].Add(w[2]);
                bool present = type.GetField(w[2], BindingFlags.Public | BindingFlags.Instance) != null;
                Check(present, w[1] + "." + w[2] + " is in the binding");
                if (present)
                    CheckEqual(int.Parse(w[3]), (int)Marshal.OffsetOf(type, w[2]), "offset of " + w[1] + "." + w[2]);
            }
        }
        CheckEqual(types.Count, records, "records in the table");
        // No field of the binding that the header lacks.
        foreach (var entry in expectedFields) {
            var ours = types[entry.Key].GetFields(BindingFlags.Public | BindingFlags.Instance)
                                       .Select(f => f.Name).OrderBy(n => n, StringComparer.Ordinal);
            CheckEqual(string.Join(",", entry.Value.OrderBy(n => n, StringComparer.Ordinal)), string.Join(",", ours),
                       "fields of " + entry.Key);
        }
    }

    static bool AwaitStatus(out MachineStatus status)
    {
        for (int i = 0; i < 10; i++) {
            Sim.tsim_advance_ms(1);
            if (Native.telvo_GetStatus(out status) == 1) return true;
        }
        status = new MachineStatus();
        return false;
    }

    static void ShortMove()
    {
        const int segments = 200;
        CheckEqual("00.00", Native.FirmwareVersion(), "firmware version before the open");
        CheckEqual(1, Native.telvo_Open(), "telvo_Open");
        CheckEqual("01.23", Native.FirmwareVersion(), "firmware version");

        MachineConfig config = MachineConfig.New();
        for (int a = 0; a < 7; a++) {
            config.axes[a].stepsPerUnit = 1000;
            config.axes[a].maxVelocity = 50000;
            config.axes[a].acceleration = 100000;
        }
        IoConfig io = IoConfig.New();
        CheckEqual(1, Native.telvo_Init(ref config, ref io), "telvo_Init");

        MachineStatus status;
        Native.telvo_BufClear();
        Check(AwaitStatus(out status), "a first status record");
        Native.telvo_PosResync();

        // Axis 1 moves 0.75 steps per millisecond; the others stay.
        int added = 0;
        for (int ms = 0; ms < 20 * segments && Sim.tsim_executed_count() < segments; ms++) {
            Sim.tsim_advance_ms(1);
            if (Native.telvo_GetStatus(out status) == 1) Native.telvo_BufUpdate();
            while (added < segments && Native.telvo_BufFreeCnt() > 0) {
                MotionSegment segment = MotionSegment.New();
                segment.target[1] = 0.75 * added;
                segment.tag = added + 1;
                if (Native.telvo_BufAdd(ref segment) != 1) break;
                added++;
            }
        }
        CheckEqual((long)segments, Sim.tsim_executed_count(), "segments executed");
        Check(AwaitStatus(out status), "a status record after the move");
        CheckEqual(62, (int)status.length, "status length");
        // floor(0.75 * 199 + 0.5) = floor(149.75) = 149
        CheckEqual("0,149,0,0,0,0,0", string.Join(",", status.position), "position");
        CheckEqual(segments, status.segmentTag, "segment tag");
        CheckEqual(0, Sim.tsim_protocol_error_count(), "protocol errors");
        Check(Native.telvo_Close() != 0, "telvo_Close");
    }

    static int Main(string[] args)
    {
        if (args.Length < 1) {
            Console.WriteLine("usage: TelvoTest.exe LAYOUT-TABLE [sim]");
            return 2;
        }
        Layout(args[0]);
        if (args.Length > 1 && args[1] == "sim") ShortMove();
        Console.WriteLine(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }
}
