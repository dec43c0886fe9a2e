// SPDX-License-Identifier: MIT
// The package's tests: a console program against real TCP peers on
// 127.0.0.1. Prints one line per test and "N passed, N failed" at the end;
// the exit status is the number of failures.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Net;
using System.Net.Sockets;
using System.Reflection;
using System.Threading;
using System.Threading.Tasks;
using Zortcp;

static class Tests
{
    static readonly TimeSpan Wait = TimeSpan.FromSeconds(10);

    static void Check(bool condition, string what)
    {
        if (!condition) throw new Exception("failed: " + what);
    }

    static T Throws<T>(Action action, string what) where T : Exception
    {
        try
        {
            action();
        }
        catch (T error)
        {
            return error;
        }
        catch (AggregateException error) when (error.InnerException is T)
        {
            return (T)error.InnerException;
        }
        throw new Exception("no " + typeof(T).Name + ": " + what);
    }

    static byte[] Pattern(int size, int seed)
    {
        var data = new byte[size];
        new Random(seed).NextBytes(data);
        return data;
    }

    static byte[] ReadExactly(Stream stream, int size)
    {
        var data = new byte[size];
        int done = 0;
        while (done < size)
        {
            int got = stream.Read(data, done, size - done);
            if (got == 0) throw new EndOfStreamException(string.Format("{0} of {1} bytes", done, size));
            done += got;
        }
        return data;
    }

    static int FreePort()
    {
        var listener = new TcpListener(IPAddress.Loopback, 0);
        listener.Start();
        int port = ((IPEndPoint)listener.LocalEndpoint).Port;
        listener.Stop();
        return port;
    }

    static void Join(Task task, string what)
    {
        Check(task.Wait(Wait), what + " within " + Wait);
    }

    // A pair of ports: a server and a client connected to it.
    static void Pair(out ZorPort server, out ZorPort client, ZorSettings settings = null)
    {
        server = ZorPort.Listen("127.0.0.1", 0, settings);
        client = ZorPort.Connect("127.0.0.1", server.LocalPort, Wait, settings);
        server.WaitConnected(Wait);
    }

    // Tests ----------------------------------------------------------------------

    static void MebibyteEachWayIntact()
    {
        foreach (bool paced in new[] { false, true })
        {
            ZorPort server, client;
            Pair(out server, out client, new ZorSettings { Paced = paced });
            using (server)
            using (client)
            {
                byte[] up = Pattern(1 << 20, 1), down = Pattern(1 << 20, 2);
                Stream c = client.GetStream(), s = server.GetStream();
                var sending = Task.Run(() => { c.Write(up, 0, up.Length); c.Flush(); });
                var answering = Task.Run(() => { s.Write(down, 0, down.Length); s.Flush(); });
                var gotUp = Task.Run(() => ReadExactly(s, up.Length));
                byte[] gotDown = ReadExactly(c, down.Length);
                Join(Task.WhenAll(sending, answering, gotUp), "the transfers");
                Check(gotUp.Result.SequenceEqual(up) && gotDown.SequenceEqual(down), "bytes intact");
                Check(client.Statistics.TxBytes >= up.Length, "statistics count the bytes sent");
            }
        }
    }

    static void AsyncCallsAndCancellation()
    {
        ZorPort server, client;
        Pair(out server, out client);
        using (server)
        using (client)
        {
            Stream c = client.GetStream(), s = server.GetStream();
            var buffer = new byte[16];
            var cancel = new CancellationTokenSource();
            var waiting = s.ReadAsync(buffer, 0, buffer.Length, cancel.Token);
            cancel.Cancel();
            Throws<OperationCanceledException>(() => waiting.Wait(Wait), "a cancelled ReadAsync");
            c.WriteAsync(new byte[] { 1, 2, 3 }, 0, 3).Wait(Wait);
            Check(c.FlushAsync().Wait(Wait), "FlushAsync");
            var reading = s.ReadAsync(buffer, 0, buffer.Length);
            Check(reading.Wait(Wait) && reading.Result >= 1 && buffer[0] == 1, "ReadAsync gets the bytes");
        }
    }

    // A peer that goes away: the client reads what came, then the end of the
    // stream once the port gave up; writes then throw. The same for a
    // server whose peer goes.
    static void EndOfStreamAndWriteAfterLoss()
    {
        var listener = new TcpListener(IPAddress.Loopback, 0);
        listener.Start();
        int service = ((IPEndPoint)listener.LocalEndpoint).Port;
        var accepting = listener.AcceptTcpClientAsync();
        using (var client = ZorPort.Connect("127.0.0.1", service, Wait))
        {
            Join(accepting, "accept");
            using (var peer = accepting.Result) peer.GetStream().Write(new byte[] { 7, 8, 9 }, 0, 3);
            listener.Stop();
            Stream stream = client.GetStream();
            Check(ReadExactly(stream, 3).SequenceEqual(new byte[] { 7, 8, 9 }), "the last bytes");
            Check(stream.Read(new byte[4], 0, 4) == 0, "end of stream");
            Check(client.IsLost, "lost for good");
            Throws<IOException>(() => stream.Write(new byte[1], 0, 1), "a client's write after the loss");
        }
        using (var server = ZorPort.Listen("127.0.0.1", 0))
        {
            using (var peer = new TcpClient("127.0.0.1", server.LocalPort)) peer.GetStream().WriteByte(5);
            Stream stream = server.GetStream();
            Check(stream.ReadByte() == 5 && stream.ReadByte() == -1, "a server's end of stream");
            Throws<IOException>(() => stream.Write(new byte[1], 0, 1), "a server's write after the loss");
        }
    }

    static void FailuresAsExceptions()
    {
        var refused = Throws<ZorException>(() => ZorPort.Connect("127.0.0.1", FreePort(), Wait),
                                           "connect to nobody");
        Check(refused.SocketError == SocketError.ConnectionRefused && refused.Code == 10061,
              "refused: " + refused.Message);
        Check(refused is IOException && refused.Location == 1002, "location of a refused connect");
        using (var server = ZorPort.Listen("127.0.0.1", 0))
        {
            var late = Throws<ZorException>(() => server.WaitConnected(TimeSpan.FromMilliseconds(50)),
                                            "nobody connects");
            Check(late.SocketError == SocketError.TimedOut, "time-out: " + late.Message);
            Throws<InvalidOperationException>(() => server.Hold(), "holding a server");
        }
        Throws<ArgumentOutOfRangeException>(() => new ZorSettings { KeepAlive = 7201 }.ToText(1),
                                            "keep-alive out of range");
    }

    static void AllowedPeersCloseAnyOtherPeerUnseen()
    {
        var settings = new ZorSettings { AllowedPeers = new[] { "10.0.0.0/8", "::1" } };
        Check(settings.ToText(1).Contains("Allowed Peers=10.0.0.0/8,::1\n"), "the list in the file");
        using (var server = ZorPort.Listen("127.0.0.1", 0, settings))
        {
            using (var peer = new TcpClient("127.0.0.1", server.LocalPort))
            {
                peer.ReceiveTimeout = (int)Wait.TotalMilliseconds;
                peer.GetStream().Write(new byte[] { 1, 2, 3 }, 0, 3);
                int end;
                // Closed with bytes unread: an end of stream, or a reset.
                try { end = peer.GetStream().ReadByte(); }
                catch (IOException error) when (
                    (error.InnerException as SocketException)?.SocketErrorCode == SocketError.ConnectionReset)
                {
                    end = -1;
                }
                Check(end == -1, "the peer not allowed is closed");
            }
            Check(!server.IsConnected && server.Available == 0, "nothing of it reaches the host");
        }
        var bad = Throws<ZorException>(
            () => ZorPort.Listen("127.0.0.1", 0, new ZorSettings { AllowedPeers = new[] { "10.0.0.0/33" } }),
            "a prefix out of range");
        Check(bad.Location == 8 && bad.Code == 10022, "bad list: " + bad.Message);
    }

    static void EveryEventKind()
    {
        var seen = new List<string>();
        var gaveUp = new ManualResetEventSlim();
        ZorException recorded = null;
        var server = ZorPort.Listen("127.0.0.1", 0);
        server.Connected += (sender, e) => { lock (seen) seen.Add("connected " + e.Peer); };
        using (var client = ZorPort.Connect("127.0.0.1", server.LocalPort, Wait))
        {
            server.WaitConnected(Wait);
            client.Disconnected += (sender, e) => { lock (seen) seen.Add("disconnected " + e.Reason); };
            client.Error += (sender, e) =>
            {
                lock (seen) seen.Add("error " + e.Detail);
                if (e.Failure != null) recorded = e.Failure;
                if (e.Detail == ZorErrorDetail.RetryLimit) gaveUp.Set();
            };
            // The peer goes; the client's one attempt after the loss is refused.
            server.Dispose();
            Check(gaveUp.Wait(Wait), "RetryLimit");
        }
        lock (seen)
        {
            string all = string.Join("|", seen);
            Check(seen[0].StartsWith("connected 127.0.0.1, Port: ") &&
                  all.Contains("disconnected PeerClosed|error ConnectFailed|error Recorded|error RetryLimit"),
                  "the events: " + all);
        }
        Check(recorded != null && recorded.SocketError == SocketError.ConnectionRefused, "the recorded failure");
    }

    static void GarbageCollectionDuringTraffic()
    {
        var pairs = new List<Tuple<ZorPort, ZorPort>>();
        try
        {
            for (int i = 0; i < 8; i++)
            {
                ZorPort server, client;
                Pair(out server, out client);
                pairs.Add(Tuple.Create(server, client));
            }
            var stop = new CancellationTokenSource();
            var collector = Task.Run(() =>
            {
                while (!stop.IsCancellationRequested)
                {
                    GC.Collect();
                    GC.WaitForPendingFinalizers();
                }
            });
            var transfers = pairs.Select((pair, index) => Task.Run(() =>
            {
                byte[] data = Pattern(256 * 1024, index);
                var sending = Task.Run(() => { pair.Item2.GetStream().Write(data, 0, data.Length); });
                byte[] got = ReadExactly(pair.Item1.GetStream(), data.Length);
                sending.Wait();
                return got.SequenceEqual(data);
            })).ToArray();
            bool done = Task.WaitAll(transfers, TimeSpan.FromSeconds(60));
            stop.Cancel();
            collector.Wait();
            Check(done && transfers.All(t => t.Result), "every transfer intact");
        }
        finally
        {
            foreach (var pair in pairs)
            {
                pair.Item1.Dispose();
                pair.Item2.Dispose();
            }
        }
    }

    static void ThrowingSubscriber()
    {
        var gate = new ManualResetEventSlim();
        var reported = new ManualResetEventSlim();
        EventHandler<UnhandledExceptionEventArgs> report = (sender, e) => reported.Set();
        ZorPort.SubscriberFailed += report;
        try
        {
            var server = ZorPort.Listen("127.0.0.1", 0);
            server.Connected += (sender, e) => { throw new InvalidOperationException("a subscriber's fault"); };
            // A second subscriber that does not come back while the port closes.
            server.Connected += (sender, e) => gate.Wait();
            var client = ZorPort.Connect("127.0.0.1", server.LocalPort, Wait);
            Check(reported.Wait(Wait), "the exception is reported");
            var closing = Task.Run(() => { server.Dispose(); client.Dispose(); });
            Join(closing, "the close");
        }
        finally
        {
            gate.Set();
            ZorPort.SubscriberFailed -= report;
        }
    }

    static void DisposeEndsBlockedReadAndWrite()
    {
        var listener = new TcpListener(IPAddress.Loopback, 0);
        listener.Start();
        var accepting = listener.AcceptTcpClientAsync();
        var client = ZorPort.Connect("127.0.0.1", ((IPEndPoint)listener.LocalEndpoint).Port, Wait);
        Join(accepting, "accept");
        using (var peer = accepting.Result)
        {
            // The peer neither reads nor writes: the read waits for ever, the
            // write once the socket's buffers and the ring are full.
            Stream stream = client.GetStream();
            var started = new CountdownEvent(2);
            var reading = Task.Run(() => { started.Signal(); return stream.Read(new byte[16], 0, 16); });
            var writing = Task.Run(() =>
            {
                started.Signal();
                var data = new byte[64 << 20];
                try
                {
                    stream.Write(data, 0, data.Length);
                    return "returned";
                }
                catch (IOException)
                {
                    return "threw";
                }
                catch (ObjectDisposedException)
                {
                    return "threw";
                }
            });
            Check(started.Wait(Wait), "both threads started");
            client.Dispose();
            Join(Task.WhenAll(reading, writing), "the blocked read and write");
            Check(reading.Result == 0, "the read ends with the end of the stream");
            Check(writing.Result == "threw", "the write reports the bytes it could not queue");
        }
        listener.Stop();
    }

    static void NativeCalls()
    {
        int code, location;
        for (int i = 0; i < 1000; i++)
        {
            string text = Native.LastError(out code, out location);
            Check(text != null && text.Length < Native.ErrorTextSize, "ZorGetLastError");
        }
        // Every handle test: invalid handles give -1 (100k+1, 900+100k+1),
        // a handle that is not open -2 (100k+2, 900+100k+2).
        var calls = new Dictionary<int, Func<int, int>>
        {
            { 2, h => Native.ZorClosePort(h) },
            { 3, h => Native.ZorWritePort(h, new byte[1], 1) },
            { 4, h => Native.ZorAnyToRead(h) },
            { 5, h => { int n; return Native.ZorReadPort(h, new byte[4], 4, out n); } },
            { 6, h => Native.ZorChangeSignal(h, 1, 1) },
            { 7, h => { int v = 0; return Native.ZorGetSignal(h, 1, ref v); } },
            { 8, h => { int n; return Native.ZorGetConfig(h, 5, new byte[Native.ConfigSize], out n); } },
            { 9, h => { ZorPortStatistics s; return Native.ZorGetStatistics(h, out s); } },
        };
        foreach (var call in calls)
        {
            foreach (int handle in new[] { -1, 32, int.MinValue, Native.MaxHandle })
            {
                int r = handle == Native.MaxHandle ? 2 : 1;
                int result = call.Value(handle);
                Native.LastError(out code, out location);
                int k = call.Key;
                Check(result == -r && location == 100 * k + r && code == 900 + 100 * k + r,
                      string.Format("call {0} handle {1}: {2} {3} {4}", k, handle, result, location, code));
            }
        }
        // A free handle for every open until the 33rd, which gets -1 (101/1001).
        var handles = new List<int>();
        string config = Path.GetTempFileName();
        File.WriteAllText(config, "Service Name=0\n");
        try
        {
            int result, handle;
            while ((result = Native.ZorOpenPort("127.0.0.1", 0, Native.OpenServer, config, out handle)) == 0)
                handles.Add(handle);
            Native.LastError(out code, out location);
            Check(result == -1 && handles.Count == 32 && location == 101 && code == 1001,
                  string.Format("no free port: {0} after {1}, {2}/{3}", result, handles.Count, location, code));
            int length = -5;
            Check(Native.ZorGetConfig(handles[0], 7, new byte[Native.ConfigSize], out length) == -3,
                  "a configuration item out of range");
        }
        finally
        {
            foreach (int h in handles) Native.ZorClosePort(h);
            File.Delete(config);
        }
    }

    static int Main(string[] args)
    {
        int passed = 0, failed = 0;
        var tests = typeof(Tests).GetMethods(BindingFlags.Static | BindingFlags.NonPublic)
                        .Where(m => m.ReturnType == typeof(void) && m.GetParameters().Length == 0 &&
                                    char.IsUpper(m.Name[0]) && m.Name != "Main")
                        .Where(m => args.Length == 0 || args.Contains(m.Name))
                        .OrderBy(m => m.MetadataToken);
        foreach (var test in tests)
        {
            var watch = System.Diagnostics.Stopwatch.StartNew();
            var run = Task.Run(() => test.Invoke(null, null));
            string outcome;
            try
            {
                // A test that hangs ends the run: its threads cannot be trusted.
                if (!run.Wait(TimeSpan.FromSeconds(120)))
                {
                    Console.WriteLine("FAIL {0}: no end within 120 s", test.Name);
                    Console.WriteLine("{0} passed, {1} failed", passed, failed + 1);
                    Environment.Exit(failed + 1);
                }
                outcome = "ok";
                passed++;
            }
            catch (AggregateException error)
            {
                var inner = error.InnerException is TargetInvocationException ? error.InnerException.InnerException
                                                                              : error.InnerException;
                outcome = "FAIL: " + inner;
                failed++;
            }
            Console.WriteLine("{0} {1} ({2} ms)", outcome == "ok" ? "ok  " : "FAIL", test.Name,
                              watch.ElapsedMilliseconds);
            if (outcome != "ok") Console.WriteLine(outcome);
        }
        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        return failed;
    }
}
