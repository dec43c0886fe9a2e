// SPDX-License-Identifier: MIT
using System;
using System.IO;
using System.Net.Sockets;

namespace Zortcp
{
    /// <summary>
    /// A failed call or connection, with the library's last-error record:
    /// Location (where it failed), Code (the Winsock or system error number)
    /// and SocketError (Code as System.Net.Sockets.SocketError when it is a
    /// socket error number: 10061 ConnectionRefused, 10060 TimedOut, ...).
    /// </summary>
    public class ZorException : IOException
    {
        public int Location { get; private set; }
        public int Code { get; private set; }
        /// <summary>The failed call's own result (-1, -2, -3), or 0 when the
        /// failure was reported by an event.</summary>
        public int Result { get; private set; }
        public string Text { get; private set; }

        public SocketError SocketError
        {
            get
            {
                // The library's socket numbers are Winsock's, and so are
                // SocketError's values.
                if (Code >= 10004 && Code <= 11004 && Enum.IsDefined(typeof(SocketError), Code))
                    return (SocketError)Code;
                return Code == 0 ? SocketError.Success : SocketError.SocketError;
            }
        }

        public ZorException(string call, int result, int location, int code, string text)
            : base(string.Format("{0} failed ({1}): location {2}, error {3}: {4}", call, result,
                                 location, code, text))
        {
            Result = result;
            Location = location;
            Code = code;
            Text = text;
            HResult = code;
        }

        /// <summary>The failure of a call, from the last-error record.</summary>
        public static ZorException FromRecord(string call, int result)
        {
            int code, location;
            string text = Native.LastError(out code, out location);
            return new ZorException(call, result, location, code, text);
        }
    }
}
