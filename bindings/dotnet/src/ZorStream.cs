// SPDX-License-Identifier: MIT
using System;
using System.Diagnostics;
using System.IO;
using System.Threading;
using System.Threading.Tasks;

namespace Zortcp
{
    /// <summary>
    /// A port's bytes as a Stream. Read waits for at least one byte and
    /// returns 0 at the end of the stream: once the link is lost for good and
    /// every received byte is taken, or once the port is closed. Write
    /// returns once the bytes are queued (Flush waits until they are sent)
    /// and throws IOException once the link is lost for good.
    /// </summary>
    sealed class ZorStream : Stream
    {
        readonly ZorPort port;

        internal ZorStream(ZorPort port) { this.port = port; }

        public override bool CanRead { get { return !port.Closing; } }
        public override bool CanWrite { get { return !port.Closing; } }
        public override bool CanSeek { get { return false; } }
        public override long Length { get { throw new NotSupportedException(); } }
        public override long Position
        {
            get { throw new NotSupportedException(); }
            set { throw new NotSupportedException(); }
        }
        public override long Seek(long offset, SeekOrigin origin) { throw new NotSupportedException(); }
        public override void SetLength(long value) { throw new NotSupportedException(); }

        static void Check(byte[] buffer, int offset, int count)
        {
            if (buffer == null) throw new ArgumentNullException("buffer");
            if (offset < 0 || count < 0 || count > buffer.Length - offset)
                throw new ArgumentOutOfRangeException("count", "offset and count must lie in the buffer");
        }

        public override int Read(byte[] buffer, int offset, int count)
        {
            Check(buffer, offset, count);
            if (port.Closing) throw new ObjectDisposedException("ZorStream");
            return ReadCore(buffer, offset, count, -1, CancellationToken.None);
        }

        // Waits up to milliseconds (-1: for ever) for bytes; 0 at the end of
        // the stream; -1 when the wait timed out.
        unsafe int ReadCore(byte[] buffer, int offset, int count, int milliseconds, CancellationToken cancel)
        {
            if (count == 0) return 0;
            lock (port.readLock)
            {
                bool looked = milliseconds == 0 || port.LookTicks == 0;
                while (true)
                {
                    if (port.Closing) return 0;
                    port.RxReady.Reset();
                    // Events after this count come with bytes the read below may miss.
                    int events = Volatile.Read(ref port.RxEvents);
                    // Bytes that came before the loss are in the ring by now.
                    bool lostBefore = port.IsLost;
                    int got, result;
                    fixed (byte* start = buffer)
                        result = Native.ZorReadPort(port.Handle, (IntPtr)(start + offset), count, out got);
                    if (result != 0)
                    {
                        if (port.Closing) return 0;
                        throw ZorException.FromRecord("ZorReadPort", result);
                    }
                    if (got > 0) return got;
                    if (lostBefore) return 0;
                    if (milliseconds == 0) return -1;
                    if (!looked)
                    {
                        looked = true;
                        if (Look(events)) continue;
                    }
                    if (!port.RxReady.Wait(milliseconds, cancel) && milliseconds > 0) return -1;
                }
            }
        }

        // Looks for a RECEIVED event after the count seen, up to the port's
        // look time: true as soon as one has come.
        bool Look(int events)
        {
            long until = Stopwatch.GetTimestamp() + port.LookTicks;
            while (!port.Closing && !port.IsLost)
            {
                if (Volatile.Read(ref port.RxEvents) != events) return true;
                if (Stopwatch.GetTimestamp() >= until) return false;
                Thread.Yield();
            }
            return false;
        }

        public override unsafe void Write(byte[] buffer, int offset, int count)
        {
            Check(buffer, offset, count);
            WriteCore(buffer, offset, count, CancellationToken.None);
        }

        unsafe void WriteCore(byte[] buffer, int offset, int count, CancellationToken cancel)
        {
            // A cancellable write goes in pieces of a quarter ring, so that it
            // is looked at between them.
            int piece = cancel.CanBeCanceled ? Math.Max(4096, port.TxRing / 4) : int.MaxValue;
            lock (port.writeLock)
            {
                int done = 0;
                while (done < count)
                {
                    cancel.ThrowIfCancellationRequested();
                    if (port.Closing) throw new ObjectDisposedException("ZorStream");
                    if (port.IsLost) throw port.LostException();
                    int size = Math.Min(piece, count - done);
                    int result;
                    fixed (byte* start = buffer)
                        result = Native.ZorWritePort(port.Handle, (IntPtr)(start + offset + done), size);
                    if (result != 0)
                    {
                        if (port.Closing) throw new IOException("the port was closed during the write");
                        throw ZorException.FromRecord("ZorWritePort", result);
                    }
                    port.TxQueued = unchecked(port.TxQueued + (uint)size);
                    done += size;
                }
            }
        }

        /// <summary>Returns once every byte written has been sent.</summary>
        public override void Flush()
        {
            if (port.Closing) throw new ObjectDisposedException("ZorStream");
            port.FlushCore(CancellationToken.None);
        }

        public override Task<int> ReadAsync(byte[] buffer, int offset, int count, CancellationToken cancel)
        {
            Check(buffer, offset, count);
            if (cancel.IsCancellationRequested) return Task.FromCanceled<int>(cancel);
            if (port.Closing) return Task.FromException<int>(new ObjectDisposedException("ZorStream"));
            // What is there already comes at once; only a wait takes a thread.
            if (Monitor.TryEnter(port.readLock))
            {
                try
                {
                    int got = ReadCore(buffer, offset, count, 0, cancel);
                    if (got >= 0) return Task.FromResult(got);
                }
                catch (Exception error)
                {
                    return Task.FromException<int>(error);
                }
                finally
                {
                    Monitor.Exit(port.readLock);
                }
            }
            return Task.Run(() => ReadCore(buffer, offset, count, -1, cancel), cancel);
        }

        public override Task WriteAsync(byte[] buffer, int offset, int count, CancellationToken cancel)
        {
            Check(buffer, offset, count);
            if (cancel.IsCancellationRequested) return Task.FromCanceled(cancel);
            return Task.Run(() => WriteCore(buffer, offset, count, cancel), cancel);
        }

        public override Task FlushAsync(CancellationToken cancel)
        {
            if (cancel.IsCancellationRequested) return Task.FromCanceled(cancel);
            return Task.Run(() => port.FlushCore(cancel), cancel);
        }

        protected override void Dispose(bool disposing)
        {
            if (disposing) port.Dispose();
            base.Dispose(disposing);
        }
    }
}
