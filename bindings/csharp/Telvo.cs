// telvo for C#: the 26 functions of telvo.h and its records, for .NET and
// Mono. Add this file to your project.
//
// Every import is Cdecl: the 32-bit telvo.dll exports cdecl functions, and
// the default of DllImport on 32-bit Windows is StdCall, which would leave
// the stack unbalanced after every call.
//
// The library is "telvo": telvo.dll on Windows (a 32-bit process for the
// 32-bit DLL: build for x86, not AnyCPU). On Linux, Mono and .NET try
// libtelvo.so (which the package libtelvo-dev installs); with only libtelvo1
// installed, map the name to libtelvo.so.1 in your assembly's .config file:
//   <configuration><dllmap dll="telvo" target="libtelvo.so.1" os="linux"/></configuration>
// On Linux the library binds its device backend module when it is loaded,
// at the first call into it: set TELVO_BACKEND before that (e.g. in the
// environment that starts the program).
//
// The records are byte-packed (Pack = 1) with the header's field names; the
// arrays inside them are allocated by the constructors New().
using System;
using System.Runtime.InteropServices;

namespace Telvo
{
    /// <summary>One axis of the machine configuration (30 bytes).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct AxisConfig
    {
        public int stepsPerUnit;
        public int maxVelocity;
        public int acceleration;
        public byte slaveOf;
        public int deviceParam1;
        public int deviceParam2;
        public int auxVelocity;
        public int deviceParam3;
        public byte deviceParam4;
    }

    /// <summary>The machine configuration given to telvo_Init (231 bytes).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct MachineConfig
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 7)]
        public AxisConfig[] axes;
        public byte machineParam1;
        public int machineParam2;
        public int machineParam3;
        public int machineParam4;
        public byte machineParam5;
        public byte machineSwitch1;
        public byte machineParam6;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 4)]
        public byte[] reserved;
        public byte machineSwitch2;

        public static MachineConfig New()
        {
            return new MachineConfig { axes = new AxisConfig[7], reserved = new byte[4] };
        }
    }

    /// <summary>One pin assignment: the pin byte and two flag bits.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct PinEntry
    {
        public byte pin;
        public byte pinFlags;
    }

    /// <summary>The I/O configuration given to telvo_Init (126 bytes).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct IoConfig
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 47)]
        public PinEntry[] pins;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 16)]
        public ushort[] ioValues;

        public static IoConfig New()
        {
            return new IoConfig { pins = new PinEntry[47], ioValues = new ushort[16] };
        }
    }

    /// <summary>The status record filled by telvo_GetStatus (62 bytes).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct MachineStatus
    {
        public byte length;
        public byte state;
        public byte @event;
        public byte flags;
        public ushort deviceWord0;
        public ushort deviceWord1;
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 7)]
        public int[] position;
        public float spindleRpm;
        public ushort bufferLevel;
        public uint deviceInt0;
        public uint deviceInt1;
        public uint deviceInt2;
        public byte deviceByte;
        public byte eventAxis;
        public int segmentTag;
        public ushort deviceWord2;
    }

    /// <summary>One 1 ms motion segment given to telvo_BufAdd (54 bytes).</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct MotionSegment
    {
        [MarshalAs(UnmanagedType.ByValArray, SizeConst = 6)]
        public double[] target;
        public int tag;
        public byte segmentCode;
        public byte segmentAux;

        public static MotionSegment New()
        {
            return new MotionSegment { target = new double[6] };
        }
    }

    /// <summary>The 26 exports of telvo.h, by their C names.</summary>
    public static class Native
    {
        public const string Library = "telvo";

        // Connection
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_Open();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_Close();
        // Static text of the library: never freed by the marshaller (see FirmwareVersion).
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr telvo_GetFirmwareVersion();

        // Configuration
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_Init([In] ref MachineConfig config, [In] ref IoConfig io);

        // Status
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_GetStatus(out MachineStatus record);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_CmdPurge(int endOfMove);

        // Direct commands
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_CmdStop(byte stopMode);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_CmdSetOutputs(ushort outputs, ushort outputWord1, ushort outputWord2);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_CmdJogOn(byte axis, int reverse, int speed);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_CmdJogOff(byte axis);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_CmdSpindle(byte mode, ushort value, int speed);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_CmdHomeAxis(byte axis);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_SetupMPG(byte axis, double scale, int speed, int enable);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_Disconnect();

        // Homing and probe state
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_IsHoming();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_IsProbing();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_GetProbeResult();

        // Segment queue
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_BufAdd([In] ref MotionSegment segment);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_BufFreeCnt();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_BufEmpty();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_BufClear();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_SetBuffSize(int size);

        // Streaming
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_BufUpdate();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void telvo_PosResync();

        // Probing: start, end and pos hold the 6 motion axes.
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_CmdProbe([In] double[] start, [In] double[] end, double speed);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int telvo_GetProbePos([Out] double[] pos);

        /// <summary>telvo_GetFirmwareVersion as a string ("00.00" before an open).</summary>
        public static string FirmwareVersion()
        {
            return Marshal.PtrToStringAnsi(telvo_GetFirmwareVersion());
        }
    }
}
