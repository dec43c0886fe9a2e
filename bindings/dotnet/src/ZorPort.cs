// SPDX-License-Identifier: MIT
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Net.NetworkInformation;
using System.Threading;

namespace Zortcp
{
    /// <summary>
    /// One zortcp port, in the manner of TcpClient: Connect or Listen, then
    /// GetStream. Events are raised on thread-pool threads, in order per port,
    /// never on the library's own threads.
    /// </summary>
    public sealed partial class ZorPort : IDisposable
    {
        const int SignalHold = 1;
        const int ListenWaitMilliseconds = 5000;
        // How often a waiter looks again even without a wake-up.
        const int PollMilliseconds = 100;
        // How long a read of a fast-mode port looks for bytes before it
        // blocks. A thread blocked on an idle processor of a virtual machine
        // takes tens of microseconds to wake, about as long as an answer
        // takes to come back through the port's monitors; a reader that
        // looks first, giving up the processor between looks, is there
        // when it comes. A reader whose answer takes longer spends up to
        // this much processor time per wait.
        const long ReadLookMicroseconds = 200;

        // The library binds the pending handler to the NEXT open, so
        // registering and opening are one step under this lock; closes and
        // the ring-size defaults take it too (one thread at a time).
        static readonly object openLock = new object();
        // Ports by the userData their events carry; ids are never reused,
        // so a late event of a closed port finds nothing.
        static readonly Dictionary<uint, ZorPort> ports = new Dictionary<uint, ZorPort>();
        // The one handler of every port, alive as long as the application
        // domain: the library may call it until the last close has returned.
        static readonly Native.ZorEventHandler handler = OnNativeEvent;
        static uint lastId;
        static bool exiting;

        readonly uint id;
        readonly bool server;
        readonly ZorSettings settings;
        int handle = -1;
        // callLock: one short call on the handle at a time, never held while
        // waiting. readLock: the one reader, held through its wait (a close
        // wakes it first). writeLock: the one writer, held through the
        // library's wait for room, which a close ends.
        readonly object callLock = new object();
        internal readonly object readLock = new object();
        internal readonly object writeLock = new object();
        readonly object closeLock = new object();
        readonly object flushLock = new object();
        volatile bool closing = true;
        volatile bool closed;
        volatile bool connected;
        volatile bool lost;
        volatile ZorException lastFailure;
        internal readonly ManualResetEventSlim RxReady;
        internal readonly long LookTicks;
        // RECEIVED events so far: what a looking reader watches.
        internal int RxEvents;
        internal readonly ManualResetEventSlim TxReady = new ManualResetEventSlim(false);
        readonly ManualResetEventSlim stateChanged = new ManualResetEventSlim(false);
        ZorStream stream;
        // Bytes queued, and the transmit counters at the open: what has been
        // sent comes from the statistics, never from events.
        internal uint TxQueued;
        uint txBase, txErrorsSeen, txForgiven;

        static ZorPort()
        {
            Native.Load();
            AppDomain.CurrentDomain.ProcessExit += CloseAll;
            AppDomain.CurrentDomain.DomainUnload += CloseAll;
        }

        ZorPort(uint id, bool server, ZorSettings settings)
        {
            this.id = id;
            this.server = server;
            this.settings = settings;
            RxReady = new ManualResetEventSlim(false, 1);
            // A fast-mode reader looks for its bytes a little before it
            // sleeps (see ZorStream.ReadCore).
            LookTicks = settings.Paced ? 0 : Stopwatch.Frequency * ReadLookMicroseconds / 1000000;
        }

        public bool IsServer { get { return server; } }
        /// <summary>The library's handle of the port (0 to 31).</summary>
        public int Handle { get { return handle; } }
        /// <summary>Whether the port has a connection, as its events tell.</summary>
        public bool IsConnected { get { return connected && !closed; } }
        /// <summary>The connection is gone for good: a client gave up (its retry
        /// limit, or its monitor ended), or a server's peer went.</summary>
        public bool IsLost { get { return lost; } }
        internal bool Closing { get { return closing; } }
        internal int TxRing { get { return settings.TxRing; } }

        /// <summary>Opens a client port and returns once it is connected. Unless
        /// settings say otherwise the port makes one attempt (and one after a
        /// loss), each no longer than the time-out. Throws ZorException
        /// (SocketError ConnectionRefused, TimedOut, ...) and closes the port
        /// on failure.</summary>
        public static ZorPort Connect(string host, int service, TimeSpan timeout,
                                      ZorSettings settings = null)
        {
            if (string.IsNullOrEmpty(host)) throw new ArgumentException("host must not be empty", "host");
            settings = settings != null ? settings.Clone() : new ZorSettings();
            if (!settings.RetryCount.HasValue) settings.RetryCount = 1;
            if (!settings.ConnectTimeout.HasValue && timeout != Timeout.InfiniteTimeSpan)
                settings.ConnectTimeout = (int)Math.Max(1, Math.Min(600000, timeout.TotalMilliseconds));
            ZorPort port = Open(false, host, service, settings);
            try
            {
                port.WaitConnected(timeout);
            }
            catch
            {
                port.Dispose();
                throw;
            }
            return port;
        }

        /// <summary>Opens a client port that connects in the background and
        /// reconnects after a loss (for ever unless RetryCount is set).</summary>
        public static ZorPort Open(string host, int service, ZorSettings settings = null)
        {
            if (string.IsNullOrEmpty(host)) throw new ArgumentException("host must not be empty", "host");
            return Open(false, host, service, settings != null ? settings.Clone() : new ZorSettings());
        }

        /// <summary>Opens a server port on a dotted local IPv4 address (null or
        /// "" for every local address) and service (0: the system chooses, see
        /// LocalPort); returns once it listens. It serves one peer at a time.</summary>
        public static ZorPort Listen(string address, int service, ZorSettings settings = null)
        {
            address = address ?? "";
            if (address.Length > 0 && !char.IsDigit(address[0]))
                throw new ArgumentException("address must be a dotted IPv4 address or empty", "address");
            ZorPort port = Open(true, address, service, settings != null ? settings.Clone() : new ZorSettings());
            try
            {
                port.WaitListening();
            }
            catch
            {
                port.Dispose();
                throw;
            }
            return port;
        }

        static ZorPort Open(bool server, string host, int service, ZorSettings settings)
        {
            if (host.Length > 129 || host.IndexOf('\0') >= 0)
                throw new ArgumentException("host must have at most 129 characters and no NUL", "host");
            string path = settings.WriteFile(service);
            try
            {
                lock (openLock)
                {
                    if (exiting) throw new InvalidOperationException("the process is exiting");
                    uint id = ++lastId;
                    var port = new ZorPort(id, server, settings);
                    lock (ports) ports[id] = port;
                    Native.ZorChangeBufferSizes((uint)settings.RxRing, (uint)settings.TxRing);
                    Native.ZorSetEventHandler(handler, id);
                    int handle, result;
                    try
                    {
                        result = Native.ZorOpenPort(host, 0, server ? Native.OpenServer : 0, path, out handle);
                    }
                    catch
                    {
                        // No library, or a text the code page cannot hold:
                        // nothing was opened.
                        Forget(port);
                        throw;
                    }
                    if (result != 0)
                    {
                        var error = ZorException.FromRecord("ZorOpenPort", result);
                        Forget(port);
                        throw error;
                    }
                    port.handle = handle;
                    ZorPortStatistics before;
                    Native.ZorGetStatistics(handle, out before);
                    port.txBase = before.TxBytes;
                    port.txErrorsSeen = before.TxErrors;
                    port.closing = false;
                    return port;
                }
            }
            finally
            {
                File.Delete(path);
            }
        }

        // After an open that failed (under openLock).
        static void Forget(ZorPort port)
        {
            // A failed open leaves the registration pending: cleared, so that
            // no later open of anyone takes it.
            try { Native.ZorSetEventHandler(null, 0); } catch (Exception) { }
            lock (ports) ports.Remove(port.id);
            port.closed = true;
        }

        void WaitListening()
        {
            // The library's monitor begins to listen after the open has
            // returned; a peer that came before would be refused.
            int local = LocalPort;
            var watch = Stopwatch.StartNew();
            while (local != 0 && watch.ElapsedMilliseconds < ListenWaitMilliseconds && lastFailure == null)
            {
                try
                {
                    foreach (var listener in IPGlobalProperties.GetIPGlobalProperties().GetActiveTcpListeners())
                        if (listener.Port == local) return;
                }
                catch (NetworkInformationException)
                {
                    return;
                }
                Thread.Sleep(1);
            }
        }

        /// <summary>Waits for a connection. Throws the port's last failure once a
        /// client has given up or the time is up (a ZorException with
        /// SocketError.TimedOut when none was recorded).</summary>
        public void WaitConnected(TimeSpan timeout)
        {
            var watch = Stopwatch.StartNew();
            while (true)
            {
                stateChanged.Reset();
                if (closing) throw new ObjectDisposedException("ZorPort");
                if (connected) return;
                if (lost) break;
                long left = timeout == Timeout.InfiniteTimeSpan ? PollMilliseconds
                                                                : (long)timeout.TotalMilliseconds - watch.ElapsedMilliseconds;
                if (left <= 0) break;
                stateChanged.Wait((int)Math.Min(left, PollMilliseconds));
            }
            var failure = lastFailure;
            if (failure != null) throw new ZorException("connect", -1, failure.Location, failure.Code, failure.Text);
            if (lost) throw new ZorException("connect", -1, 0, 0, "the port gave up connecting");
            throw new ZorException("connect", -1, 0, 10060, "no connection within " + timeout);
        }

        /// <summary>The port's byte stream; disposing it closes the port.</summary>
        public Stream GetStream()
        {
            if (closing) throw new ObjectDisposedException("ZorPort");
            lock (closeLock) return stream ?? (stream = new ZorStream(this));
        }

        // Calls on the handle ------------------------------------------------

        internal int Call(string name, Func<int, int> call)
        {
            int result;
            lock (callLock)
            {
                if (closing) throw new ObjectDisposedException("ZorPort");
                result = call(handle);
            }
            if (result < 0) throw ZorException.FromRecord(name, result);
            return result;
        }

        public ZorPortStatistics Statistics
        {
            get
            {
                var output = new ZorPortStatistics();
                Call("ZorGetStatistics", h => Native.ZorGetStatistics(h, out output));
                return output;
            }
        }

        /// <summary>Received bytes waiting.</summary>
        public int Available { get { return Call("ZorAnyToRead", Native.ZorAnyToRead); } }

        byte[] Config(int item, out int length)
        {
            var output = new byte[Native.ConfigSize];
            int got = 0;
            Call("ZorGetConfig", h => Native.ZorGetConfig(h, item, output, out got));
            length = Math.Max(0, Math.Min(got, output.Length));
            return output;
        }

        int ConfigNumber(int item)
        {
            int length;
            return BitConverter.ToInt32(Config(item, out length), 0);
        }

        /// <summary>The service port (a server on service 0: the one the system chose).</summary>
        public int LocalPort { get { return ConfigNumber(Native.ConfigServicePort); } }
        public int PeerPort { get { return ConfigNumber(Native.ConfigPeerPort); } }

        /// <summary>The peer's name as the Connected event gives it.</summary>
        public string PeerName
        {
            get
            {
                int length;
                return Native.DecodeText(Config(Native.ConfigPeerName, out length), length);
            }
        }

        /// <summary>Holds a client port: no connect attempts until Release(); a
        /// standing connection goes on but is not made again after a loss.</summary>
        public void Hold() { Signal(1); }
        public void Release() { Signal(0); }

        public bool IsHeld
        {
            get
            {
                int value = 0;
                Call("ZorGetSignal", h => Native.ZorGetSignal(h, SignalHold, ref value));
                return value == 1;
            }
        }

        void Signal(uint value)
        {
            if (server) throw new InvalidOperationException("server ports cannot be held");
            Call("ZorChangeSignal", h => Native.ZorChangeSignal(h, SignalHold, value));
        }

        // Transmit accounting --------------------------------------------------

        /// <summary>Waits until every byte written has been sent. Throws when a
        /// chunk failed to send since the last flush (its bytes are lost; the
        /// next flush no longer waits for them) or when the link is lost.</summary>
        internal void FlushCore(CancellationToken cancel)
        {
            while (true)
            {
                TxReady.Reset();
                var now = Statistics;
                uint queued, outstanding;
                bool failed = false;
                queued = Volatile.Read(ref TxQueued);
                lock (flushLock)
                {
                    outstanding = unchecked(queued - (now.TxBytes - txBase) - txForgiven);
                    if (now.TxErrors != txErrorsSeen)
                    {
                        failed = true;
                        txErrorsSeen = now.TxErrors;
                        txForgiven = unchecked(txForgiven + outstanding);
                    }
                }
                if (failed)
                {
                    var failure = lastFailure;
                    if (failure != null)
                        throw new ZorException("send", -1, failure.Location, failure.Code, failure.Text);
                    throw new ZorException("send", -1, 1101, 0, "a chunk failed to send");
                }
                if (outstanding == 0) return;
                if (lost) throw LostException();
                TxReady.Wait(PollMilliseconds, cancel);
            }
        }

        internal IOException LostException()
        {
            var failure = lastFailure;
            string why = failure != null ? ": " + failure.Message : "";
            return new IOException("the connection is lost for good" + why, failure);
        }

        // Closing ------------------------------------------------------------------

        /// <summary>Closes the port: a blocked Read returns 0, a blocked Write
        /// throws. Bytes still in the port's rings are dropped: Flush first.</summary>
        public void Dispose()
        {
            lock (closeLock)
            {
                if (closed) return;
                closing = true;
                WakeAll();
                int result;
                // No read and no short call is in the library during the close
                // (a woken reader leaves); a write may be, and the close ends
                // it. No open takes the handle before that write let go of it.
                lock (openLock)
                {
                    lock (readLock)
                    lock (callLock)
                        result = Native.ZorClosePort(handle);
                    lock (writeLock) { }
                    lock (ports) ports.Remove(id);
                }
                closed = true;
                WakeAll();
                if (result != 0) Trace.TraceError("zortcp: ZorClosePort({0}) gave {1}", handle, result);
            }
        }

        static void CloseAll(object sender, EventArgs args)
        {
            // Closed while the runtime still runs: once ZorClosePort has
            // returned, no handler call of that port can come.
            List<ZorPort> open;
            lock (openLock) exiting = true;
            lock (ports) open = new List<ZorPort>(ports.Values);
            foreach (var port in open)
            {
                try { port.Dispose(); } catch { }
            }
        }
    }
}
