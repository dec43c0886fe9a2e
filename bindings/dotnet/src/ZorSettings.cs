// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Text;

namespace Zortcp
{
    /// <summary>
    /// A port's settings, written to the port's own configuration file when
    /// it opens. Null leaves a keyword out of the file (the library's
    /// default). Ports transfer in the fast mode unless Paced is set.
    /// </summary>
    public sealed class ZorSettings
    {
        public const int MinRxRing = 20480, MinTxRing = 4096;
        public const int DefaultRxRing = 65536, DefaultTxRing = 8192;
        // The rings the library gives a fast-mode port whose host chose no sizes.
        public const int FastRxRing = 1048576, FastTxRing = 262144;
        const int MaxServiceChars = 32, MaxDebugFileChars = 131;
        // The library reads a line in pieces of 255 characters, and its
        // "Allowed Peers" lines add to one list: a long list takes several.
        const int AllowedPeersLineChars = 200;

        /// <summary>Connect attempts before a client gives up; 0 for ever.</summary>
        public int? RetryCount { get; set; }
        /// <summary>The paced transfer mode instead of the fast one.</summary>
        public bool Paced { get; set; }
        /// <summary>Seconds, 0 to 7200 (0 off).</summary>
        public int? KeepAlive { get; set; }
        /// <summary>Milliseconds, 0 to 600000 (0 the system's own).</summary>
        public int? ConnectTimeout { get; set; }
        public int? DebugLevel { get; set; }
        public string DebugFile { get; set; }
        public string ServiceType { get; set; }
        public bool LookupHostName { get; set; }
        /// <summary>
        /// A server serves only peers from these addresses and prefixes, of
        /// either family ("127.0.0.1", "10.0.0.0/8", "::1"); any other is
        /// closed at once. Null serves every peer; a client ignores it. An
        /// entry that the library cannot read fails the open (location 8,
        /// error 10022).
        /// </summary>
        public IList<string> AllowedPeers { get; set; }
        public int? RxRingSize { get; set; }
        public int? TxRingSize { get; set; }

        public ZorSettings Clone()
        {
            var copy = (ZorSettings)MemberwiseClone();
            if (AllowedPeers != null) copy.AllowedPeers = new List<string>(AllowedPeers);
            return copy;
        }

        internal int RxRing { get { return RxRingSize ?? (Paced ? DefaultRxRing : FastRxRing); } }
        internal int TxRing { get { return TxRingSize ?? (Paced ? DefaultTxRing : FastTxRing); } }

        /// <summary>The configuration file's text for a port on service.</summary>
        public string ToText(int service)
        {
            if (service < 0 || service > 65535)
                throw new ArgumentOutOfRangeException("service", "a port number from 0 to 65535");
            var lines = new StringBuilder();
            Line(lines, "Service Name", service.ToString(CultureInfo.InvariantCulture));
            Number(lines, "Connect Retry Count", "RetryCount", RetryCount, int.MinValue, int.MaxValue);
            // A file can only switch these on; off is the default.
            if (!Paced) Line(lines, "Fast Transfer", "YES");
            if (LookupHostName) Line(lines, "Lookup Host Name", "YES");
            Number(lines, "Keep Alive", "KeepAlive", KeepAlive, 0, 7200);
            Number(lines, "Connect Timeout", "ConnectTimeout", ConnectTimeout, 0, 600000);
            int? level = DebugLevel;
            if (DebugFile != null && level == null) level = 1;
            // Without a file the port would log into whatever file an earlier
            // port on the same handle named.
            if (level.HasValue && level.Value != 0 && DebugFile == null)
                throw new ArgumentException("DebugLevel needs DebugFile");
            Number(lines, "Debug Level", "DebugLevel", level, int.MinValue, int.MaxValue);
            Text(lines, "Debug Output File", "DebugFile", DebugFile, MaxDebugFileChars);
            Text(lines, "Service Type", "ServiceType", ServiceType, MaxServiceChars);
            PeerList(lines, AllowedPeers);
            Range("RxRingSize", RxRingSize, MinRxRing);
            Range("TxRingSize", TxRingSize, MinTxRing);
            return lines.ToString();
        }

        /// <summary>Writes the file for a port on service to a new temporary file.</summary>
        internal string WriteFile(int service)
        {
            string text = ToText(service);
            string path = Path.GetTempFileName();
            File.WriteAllText(path, text, Native.TextEncoding);
            return path;
        }

        static void Line(StringBuilder lines, string keyword, string value)
        {
            lines.Append(keyword).Append('=').Append(value).Append('\n');
        }

        static void Number(StringBuilder lines, string keyword, string name, int? value, int lowest,
                           int highest)
        {
            if (!value.HasValue) return;
            if (value.Value < lowest || value.Value > highest)
                throw new ArgumentOutOfRangeException(
                    name, string.Format("{0} must be from {1} to {2}: {3}", name, lowest, highest, value));
            Line(lines, keyword, value.Value.ToString(CultureInfo.InvariantCulture));
        }

        static void Text(StringBuilder lines, string keyword, string name, string value, int longest)
        {
            if (value == null) return;
            // One setting per line and no quoting: a line end would start
            // another setting, and outer blanks would be dropped.
            if (value.IndexOfAny(new[] { '\r', '\n', '\0' }) >= 0 || value != value.Trim(' ', '\t'))
                throw new ArgumentException(name + " must not hold line ends, NUL or outer blanks", name);
            int bytes = Encoding.UTF8.GetByteCount(value);
            if (bytes == 0 || bytes > longest)
                throw new ArgumentException(string.Format("{0} must have 1 to {1} bytes", name, longest), name);
            Line(lines, keyword, value);
        }

        static void PeerList(StringBuilder lines, IList<string> entries)
        {
            if (entries == null) return;
            if (entries.Count == 0 || entries.Any(entry => entry == null ||
                    entry.IndexOfAny(new[] { ',', '\r', '\n', '\0' }) >= 0 ||
                    entry.Trim(' ', '\t').Length == 0))
                throw new ArgumentException("AllowedPeers must be addresses or prefixes, none empty",
                                            "AllowedPeers");
            var line = new StringBuilder();
            foreach (string entry in entries.Select(entry => entry.Trim(' ', '\t')))
            {
                if (line.Length > 0 && line.Length + 1 + entry.Length > AllowedPeersLineChars)
                {
                    Line(lines, "Allowed Peers", line.ToString());
                    line.Clear();
                }
                if (line.Length > 0) line.Append(',');
                line.Append(entry);
            }
            Line(lines, "Allowed Peers", line.ToString());
        }

        static void Range(string name, int? value, int lowest)
        {
            if (value.HasValue && value.Value < lowest)
                throw new ArgumentOutOfRangeException(name, name + " must be at least " + lowest);
        }
    }
}
