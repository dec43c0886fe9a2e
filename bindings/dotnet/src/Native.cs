// SPDX-License-Identifier: MIT
using System;
using System.IO;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;

namespace Zortcp
{
    /// <summary>A port's counters, as ZorGetStatistics copies them.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct ZorPortStatistics
    {
        public uint RxBytes, TxBytes, RxErrors, TxErrors, ConnectErrors;
    }

    /// <summary>
    /// The library's 13 calls and its event handler type as zortcp.h declares
    /// them. The calling convention is Winapi, the platform's own: __stdcall
    /// for the 32-bit DLL, the only convention of x64, cdecl elsewhere, which
    /// is what ZOR_CALL means. Texts are ANSI (the system code page on Windows,
    /// UTF-8 on Linux) with best fit off: a character outside the code page
    /// throws rather than silently naming another host or file.
    /// </summary>
    public static class Native
    {
        /// <summary>zortcp.dll on Windows; libzortcp.so.1 on Linux through
        /// Zortcp.Net.dll.config (Mono) or the host's resolver (see docs/dotnet.md).</summary>
        public const string LibraryName = "zortcp";

        static Native()
        {
            LoadForWindows();
            ResolveForLinux();
        }

        /// <summary>Makes the native library findable (the static constructor's
        /// work, once); ZorPort does it itself. A program that uses only these
        /// declarations may call it first.</summary>
        public static void Load() { }

        static MethodInfo tryLoad;

        /// <summary>
        /// .NET (Core) on Linux looks for "zortcp" as libzortcp.so, which the
        /// package does not have: its libzortcp.so.1 is found by a resolver,
        /// where the runtime has resolvers (NativeLibrary is not part of
        /// netstandard2.0, so it is looked up). Mono has none, and maps the
        /// name with Zortcp.Net.dll.config instead.
        /// </summary>
        static void ResolveForLinux()
        {
            if (Environment.OSVersion.Platform == PlatformID.Win32NT) return;
            try
            {
                Type nativeLibrary = Type.GetType("System.Runtime.InteropServices.NativeLibrary");
                Type resolverType = Type.GetType("System.Runtime.InteropServices.DllImportResolver");
                if (nativeLibrary == null || resolverType == null) return;
                tryLoad = nativeLibrary.GetMethod("TryLoad", new[] { typeof(string), typeof(IntPtr).MakeByRefType() });
                MethodInfo set = nativeLibrary.GetMethod("SetDllImportResolver", new[] { typeof(Assembly), resolverType });
                MethodInfo resolve = typeof(Native).GetMethod("Resolve", BindingFlags.NonPublic | BindingFlags.Static);
                if (tryLoad == null || set == null || resolve == null) return;
                set.Invoke(null, new object[] { typeof(Native).Assembly, Delegate.CreateDelegate(resolverType, resolve) });
            }
            catch (Exception)
            {
                // The runtime's own search then has its turn.
            }
        }

        static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath)
        {
            if (name != LibraryName || tryLoad == null) return IntPtr.Zero;
            string here = Path.GetDirectoryName(assembly.Location) ?? "";
            foreach (string path in new[] {
                         Path.Combine(here, "libzortcp.so.1"),
                         Path.Combine(here, "runtimes", "linux-x64", "native", "libzortcp.so.1"),
                         "libzortcp.so.1" })
            {
                var arguments = new object[] { path, IntPtr.Zero };
                if ((path == "libzortcp.so.1" || File.Exists(path)) && (bool)tryLoad.Invoke(null, arguments))
                    return (IntPtr)arguments[1];
            }
            return IntPtr.Zero;
        }

        [DllImport("kernel32", CharSet = CharSet.Unicode, SetLastError = true, EntryPoint = "LoadLibraryW")]
        static extern IntPtr LoadLibrary(string path);

        /// <summary>
        /// Both Windows DLLs are named zortcp.dll, so a program that may run as
        /// either (AnyCPU) keeps them in x86\ and x64\ beside this assembly (as
        /// the package's build targets lay them out), or in the package's
        /// runtimes\win-x86\native and runtimes\win-x64\native: the one of the
        /// process's own architecture is loaded by its full path before the
        /// first call, and DllImport("zortcp") then finds it loaded. Without
        /// either folder, Windows' own search finds zortcp.dll (beside the
        /// program, say).
        /// </summary>
        static void LoadForWindows()
        {
            if (Environment.OSVersion.Platform != PlatformID.Win32NT) return;
            try
            {
                string here = Path.GetDirectoryName(typeof(Native).Assembly.Location);
                if (string.IsNullOrEmpty(here)) return;
                string architecture = IntPtr.Size == 8 ? "x64" : "x86";
                foreach (string path in new[] {
                             Path.Combine(here, architecture, "zortcp.dll"),
                             Path.Combine(here, "runtimes", "win-" + architecture, "native", "zortcp.dll") })
                {
                    if (File.Exists(path) && LoadLibrary(path) != IntPtr.Zero) return;
                }
            }
            catch (Exception)
            {
                // Windows' own search then has its turn at the first call.
            }
        }

        public const uint OpenServer = 0x1, OpenLookupHostName = 0x2, OpenBlocking = 0x4;
        public const int EventConnected = 1, EventDisconnected = 2, EventReceived = 3,
                         EventTransmitted = 4, EventError = 5;
        public const int ConfigLocalAddress = 1, ConfigPeerAddress = 2, ConfigLocalHost = 3,
                         ConfigPeerName = 4, ConfigServicePort = 5, ConfigPeerPort = 6;
        /// <summary>Room ZorGetConfig may write: 130 bytes for the host name, rounded up.</summary>
        public const int ConfigSize = 132;
        public const uint DefaultService = 1, DefaultServiceType = 2, DefaultRetryCount = 3,
                          DefaultLookupHost = 4, DefaultFastTransfer = 5, DefaultKeepAlive = 6,
                          DefaultConnectTimeout = 7;
        /// <summary>Room the last-error text needs, terminator included.</summary>
        public const int ErrorTextSize = 288;
        public const int MaxHandle = 31;

        /// <summary>The handler: source (always 2), kind, the kind's data
        /// (valid only during the call), and the userData registered with it.
        /// The delegate passed to ZorSetEventHandler must stay reachable for as
        /// long as any port bound to it is open: keep it in a static field.</summary>
        [UnmanagedFunctionPointer(CallingConvention.Winapi)]
        public delegate int ZorEventHandler(int source, int kind, IntPtr data, uint userData);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true, ExactSpelling = true)]
        public static extern int ZorOpenPort(string host, int reserved, uint flags, string configFile,
                                             out int handle);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorClosePort(int handle);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorWritePort(int handle, IntPtr data, int size);

        /// <summary>Writes data[0..size); the array is pinned for the call.</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorWritePort(int handle, byte[] data, int size);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorReadPort(int handle, IntPtr buffer, int capacity, out int count);

        /// <summary>Reads into buffer[0..capacity); the array is pinned for the call.</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorReadPort(int handle, [Out] byte[] buffer, int capacity, out int count);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorAnyToRead(int handle);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorSetEventHandler(ZorEventHandler handler, uint userData);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorChangeSignal(int handle, int signalNumber, uint value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorGetSignal(int handle, int signalNumber, ref int value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern void ZorChangeDefault(uint type, IntPtr data, uint length);

        /// <summary>For the number types (retry count, lookup, fast transfer, keep-alive,
        /// connect time-out).</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern void ZorChangeDefault(uint type, ref int data, uint length);

        /// <summary>For the text types: the ANSI bytes with their terminator.</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern void ZorChangeDefault(uint type, byte[] data, uint length);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern void ZorChangeBufferSizes(uint rxRingSize, uint txRingSize);

        /// <summary>output needs ConfigSize bytes.</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorGetConfig(int handle, int item, [Out] byte[] output, out int length);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern int ZorGetStatistics(int handle, out ZorPortStatistics output);

        /// <summary>The raw call: text needs ErrorTextSize bytes. The result points
        /// into text and must never be freed; LastError() decodes it instead.</summary>
        [DllImport(LibraryName, CallingConvention = CallingConvention.Winapi, ExactSpelling = true)]
        public static extern IntPtr ZorGetLastError(out int code, out int location, [Out] byte[] text);

        /// <summary>The last-error record: its text, with the code and location.</summary>
        public static string LastError(out int code, out int location)
        {
            var text = new byte[ErrorTextSize];
            ZorGetLastError(out code, out location, text);
            return DecodeText(text, text.Length);
        }

        internal static string DecodeText(byte[] bytes, int length)
        {
            int end = 0;
            int limit = Math.Min(length, bytes.Length);
            while (end < limit && bytes[end] != 0) end++;
            // The library's texts are ASCII, except names that come from the
            // system: UTF-8 on Linux, the code page on Windows.
            return TextEncoding.GetString(bytes, 0, end);
        }

        internal static readonly Encoding TextEncoding =
            Environment.OSVersion.Platform == PlatformID.Win32NT ? Encoding.Default : new UTF8Encoding(false);
    }
}
