// SPDX-License-Identifier: MIT
// A host's GetStream() against a plain NetworkStream in the same run, with
// a peer that is a plain socket either way: bulk each way (MB/s) and a
// 16-byte round trip with an echoing peer (median, microseconds).
//   mono ZortcpBench.exe [--quick] [--megabytes N] [--trips N] [--runs N]
using System;
using System.Diagnostics;
using System.IO;
using System.Net;
using System.Net.Sockets;
using System.Threading.Tasks;
using Zortcp;

static class Bench
{
    static readonly TimeSpan Wait = TimeSpan.FromSeconds(10);

    static void ReadExactly(Stream stream, byte[] buffer, int size)
    {
        for (int done = 0; done < size;)
        {
            int got = stream.Read(buffer, done, Math.Min(buffer.Length - done, size - done));
            if (got == 0) throw new EndOfStreamException();
            done += got;
        }
    }

    // The host's stream a and the peer's stream b, connected to each other,
    // and what closes them. The peer is a plain socket either way.
    static IDisposable Zor(out Stream a, out Stream b)
    {
        var listener = new TcpListener(IPAddress.Loopback, 0);
        listener.Start();
        var client = ZorPort.Connect("127.0.0.1", ((IPEndPoint)listener.LocalEndpoint).Port, Wait);
        return Accepted(listener, client, client.GetStream(), out a, out b);
    }

    static IDisposable Net(out Stream a, out Stream b)
    {
        var listener = new TcpListener(IPAddress.Loopback, 0);
        listener.Start();
        var client = new TcpClient();
        client.NoDelay = true;
        client.Connect(IPAddress.Loopback, ((IPEndPoint)listener.LocalEndpoint).Port);
        return Accepted(listener, client, client.GetStream(), out a, out b);
    }

    // The peer's end of the host's connection: the listener's one client.
    static IDisposable Accepted(TcpListener listener, IDisposable client, Stream clientStream,
                                out Stream a, out Stream b)
    {
        var accepted = listener.AcceptTcpClient();
        accepted.NoDelay = true;
        listener.Stop();
        a = clientStream;
        b = accepted.GetStream();
        return new Both(client, accepted);
    }

    sealed class Both : IDisposable
    {
        readonly IDisposable first, second;
        public Both(IDisposable first, IDisposable second) { this.first = first; this.second = second; }
        public void Dispose() { first.Dispose(); second.Dispose(); }
    }

    static double Bulk(Stream from, Stream to, int megabytes)
    {
        var block = new byte[65536];
        long size = (long)megabytes << 20;
        var watch = Stopwatch.StartNew();
        var sending = Task.Run(() =>
        {
            for (long done = 0; done < size; done += block.Length) from.Write(block, 0, block.Length);
            from.Flush();
        });
        var buffer = new byte[65536];
        for (long done = 0; done < size;)
        {
            int got = to.Read(buffer, 0, buffer.Length);
            if (got == 0) throw new EndOfStreamException();
            done += got;
        }
        sending.Wait();
        return size / watch.Elapsed.TotalSeconds / 1e6;
    }

    static double RoundTrip(Stream a, Stream b, int trips)
    {
        var echo = Task.Run(() =>
        {
            var buffer = new byte[16];
            for (int i = 0; i < trips + 10; i++)
            {
                ReadExactly(b, buffer, 16);
                b.Write(buffer, 0, 16);
            }
        });
        var data = new byte[16];
        var times = new long[trips];
        for (int i = 0; i < trips + 10; i++)
        {
            long start = Stopwatch.GetTimestamp();
            a.Write(data, 0, 16);
            ReadExactly(a, data, 16);
            if (i >= 10) times[i - 10] = Stopwatch.GetTimestamp() - start;  // the first ten warm up
        }
        echo.Wait();
        Array.Sort(times);
        return times[trips / 2] * 1e6 / Stopwatch.Frequency;
    }

    delegate IDisposable Maker(out Stream a, out Stream b);

    static double[] Measure(Maker make, int megabytes, int trips)
    {
        Stream a, b;
        using (make(out a, out b))
            return new[] { Bulk(a, b, megabytes), Bulk(b, a, megabytes), RoundTrip(a, b, trips) };
    }

    static int Main(string[] args)
    {
        int megabytes = 256, trips = 5000, runs = 5;
        for (int i = 0; i < args.Length; i++)
        {
            if (args[i] == "--quick") { megabytes = 1; trips = 100; runs = 1; }
            else if (args[i] == "--megabytes") megabytes = int.Parse(args[++i]);
            else if (args[i] == "--trips") trips = int.Parse(args[++i]);
            else if (args[i] == "--runs") runs = int.Parse(args[++i]);
        }
        Console.WriteLine("{0} MiB each way, {1} round trips of 16 bytes, {2} runs", megabytes, trips, runs);
        Console.WriteLine("run  zor up MB/s  net up MB/s  ratio  zor down MB/s  net down MB/s  ratio  zor rtt us  net rtt us  ratio (rtt: median)");
        for (int run = 1; run <= runs; run++)
        {
            double[] zor = Measure(Zor, megabytes, trips);
            double[] net = Measure(Net, megabytes, trips);
            Console.WriteLine("{0,3}  {1,11:F0}  {2,11:F0}  {3,5:F2}  {4,13:F0}  {5,13:F0}  {6,5:F2}  {7,10:F1}  {8,10:F1}  {9,5:F2}",
                              run, zor[0], net[0], zor[0] / net[0], zor[1], net[1], zor[1] / net[1],
                              zor[2], net[2], zor[2] / net[2]);
        }
        return 0;
    }
}
