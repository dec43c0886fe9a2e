// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Runtime.InteropServices;
using System.Threading;

namespace Zortcp
{
    /// <summary>
    /// The crossing of events: the library calls one handler on its monitor
    /// threads; it notes the event, wakes a waiting Read or Flush, and
    /// leaves Connected, Disconnected and Error to a pool thread, so that
    /// no subscriber runs on, or can stall, the library's threads.
    /// </summary>
    public sealed partial class ZorPort
    {
        public event EventHandler<ZorConnectedEventArgs> Connected;
        public event EventHandler<ZorDisconnectedEventArgs> Disconnected;
        public event EventHandler<ZorErrorEventArgs> Error;

        /// <summary>Raised (on a pool thread) with an exception a subscriber of
        /// Connected, Disconnected or Error threw; such an exception is
        /// otherwise written to Trace and goes no further.</summary>
        public static event EventHandler<UnhandledExceptionEventArgs> SubscriberFailed;

        const int WouldBlock = 10035;

        // Raising events: a queue per port, drained by one pool thread at a time.
        readonly Queue<Action> pending = new Queue<Action>();
        bool draining;

        static int OnNativeEvent(int source, int kind, IntPtr data, uint userData)
        {
            // Runs on the library's threads: nothing may escape from here.
            try
            {
                ZorPort port;
                lock (ports)
                {
                    if (!ports.TryGetValue(userData, out port)) return 0;
                }
                port.OnEvent(kind, data);
            }
            catch (Exception error)
            {
                try { Trace.TraceError("zortcp: event handler failed: {0}", error); } catch { }
            }
            return 0;
        }

        void OnEvent(int kind, IntPtr data)
        {
            switch (kind)
            {
                case Native.EventReceived:
                    Interlocked.Increment(ref RxEvents);
                    RxReady.Set();
                    break;
                case Native.EventTransmitted:
                    TxReady.Set();
                    break;
                case Native.EventConnected:
                {
                    string peer = data == IntPtr.Zero ? "" : ReadText(data);
                    connected = true;
                    WakeAll();
                    var args = new ZorConnectedEventArgs(peer);
                    Post(() => Raise(Connected, args));
                    break;
                }
                case Native.EventDisconnected:
                {
                    var reason = (ZorDisconnectReason)(data == IntPtr.Zero ? 0 : Marshal.ReadInt32(data));
                    connected = false;
                    // A client reconnects unless its monitor ended; a server
                    // port's stream was its peer's.
                    if (server || reason == ZorDisconnectReason.MonitorEnded) lost = true;
                    WakeAll();
                    var args = new ZorDisconnectedEventArgs(reason);
                    Post(() => Raise(Disconnected, args));
                    break;
                }
                case Native.EventError:
                {
                    var detail = (ZorErrorDetail)(data == IntPtr.Zero ? 0 : Marshal.ReadInt32(data));
                    ZorException failure = null;
                    if (detail == ZorErrorDetail.Recorded)
                    {
                        failure = ZorException.FromRecord("monitor", -1);
                        // A would-block result raises no event: a record that
                        // holds one is another port's, written since.
                        if (failure.Code == WouldBlock) failure = null;
                        else lastFailure = failure;
                    }
                    if (detail == ZorErrorDetail.RetryLimit) lost = true;
                    WakeAll();
                    var args = new ZorErrorEventArgs(detail, failure);
                    Post(() => Raise(Error, args));
                    break;
                }
            }
        }

        static string ReadText(IntPtr data)
        {
            int length = 0;
            while (length < 4096 && Marshal.ReadByte(data, length) != 0) length++;
            var bytes = new byte[length];
            Marshal.Copy(data, bytes, 0, length);
            return Native.TextEncoding.GetString(bytes);
        }

        void WakeAll()
        {
            RxReady.Set();
            TxReady.Set();
            stateChanged.Set();
        }

        void Raise<T>(EventHandler<T> subscribers, T args)
        {
            if (subscribers == null) return;
            foreach (EventHandler<T> subscriber in subscribers.GetInvocationList())
            {
                try
                {
                    subscriber(this, args);
                }
                catch (Exception error)
                {
                    Trace.TraceError("zortcp: an event subscriber threw: {0}", error);
                    var report = SubscriberFailed;
                    if (report != null)
                    {
                        try { report(this, new UnhandledExceptionEventArgs(error, false)); } catch { }
                    }
                }
            }
        }

        void Post(Action action)
        {
            lock (pending)
            {
                pending.Enqueue(action);
                if (draining) return;
                draining = true;
            }
            ThreadPool.UnsafeQueueUserWorkItem(Drain, null);
        }

        void Drain(object unused)
        {
            while (true)
            {
                Action action;
                lock (pending)
                {
                    if (pending.Count == 0)
                    {
                        draining = false;
                        return;
                    }
                    action = pending.Dequeue();
                }
                action();
            }
        }
    }
}
