// SPDX-License-Identifier: MIT
using System;

namespace Zortcp
{
    public enum ZorDisconnectReason { PeerClosed = 0, ReceiveFailed = 1, MonitorEnded = 2 }

    public enum ZorErrorDetail
    {
        ConnectFailed = 1, ReceiveFailed = 2, SendFailed = 3, Recorded = 4, RetryLimit = 5
    }

    public sealed class ZorConnectedEventArgs : EventArgs
    {
        /// <summary>"&lt;peer name&gt;, Port: &lt;port&gt;" as the library gives it.</summary>
        public string Peer { get; private set; }
        public ZorConnectedEventArgs(string peer) { Peer = peer; }
    }

    public sealed class ZorDisconnectedEventArgs : EventArgs
    {
        public ZorDisconnectReason Reason { get; private set; }
        public ZorDisconnectedEventArgs(ZorDisconnectReason reason) { Reason = reason; }
    }

    public sealed class ZorErrorEventArgs : EventArgs
    {
        public ZorErrorDetail Detail { get; private set; }
        /// <summary>For Recorded, the last-error record read on the library's
        /// thread as the event came (another port's failure may still have
        /// replaced it); otherwise null.</summary>
        public ZorException Failure { get; private set; }
        public ZorErrorEventArgs(ZorErrorDetail detail, ZorException failure)
        {
            Detail = detail;
            Failure = failure;
        }
    }
}
