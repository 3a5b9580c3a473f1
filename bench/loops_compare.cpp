// Sharing threads, side by side in one run, each measurement in a fresh process (so no memory
// freed by an earlier one flatters it). Clients: 64 B echoes, one in flight per connection,
// against a one-thread Beast echo server (a child on core 0; the load here, on core 1): ours on
// one EventLoop, ours with a thread each, Beast's on one thread. Server: ours on 1 and 2 loops,
// unpinned (the 2 cores are shared with a Beast load in a child), with each loop thread's CPU.
// Idle: connections held by our server on one loop and our clients on one EventLoop, in two
// processes: memory per connection, and the time from the first constructor to the last onOpen.
//   build/normal/bench/loops_compare [--runs 3] [--seconds 1] [--idle 10000]
// Figures are medians of the runs; a ratio is the median of the runs' own ratios.
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BeastPeers.h"
#include "BenchProcesses.h"
#include "ResidentMemory.h"
#include "tidewire/EventLoop.h"
#include "tidewire/TidewireExtension.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

using namespace relaymatrix::extensions::tidewire;

using namespace bench_processes;

namespace {

using Clock = std::chrono::steady_clock;

void pinTo(int core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

long threadCount() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {});
}

// utime + stime of one thread of this process, at clock-tick resolution.
double threadCpuSeconds(long tid) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(file)), {});
    // The thread's name, in parentheses, may hold spaces: count the fields after it.
    const size_t nameEnd = stat.rfind(')');
    unsigned long utime = 0, stime = 0;
    if (nameEnd == std::string::npos ||
        std::sscanf(stat.c_str() + nameEnd + 1,
                    " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) {
        return 0;
    }
    return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

// Once every message in flight has come back twice (buffers grown) and a quarter window more,
// `atStart`, then `seconds` of echoes: messages/s, this process's CPU us per message, seconds.
Figures measureWindow(
    const std::function<long()>& echoed, long inFlight, double seconds,
    const std::function<void()>& atStart = [] {}) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (echoed() < 2 * inFlight && Clock::now() < deadline) {
        sleepFor(0.01);
    }
    sleepFor(seconds / 4);
    atStart();
    const long before = echoed();
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    sleepFor(seconds);
    const long count = echoed() - before;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (count <= 0) {
        return {0, 0, elapsed, 0};
    }
    return {count / elapsed, (cpuSeconds() - cpuBefore) * 1e6 / count, elapsed, 0};
}

// ---- Our clients -----------------------------------------------------------------------------

// Our clients on `loop` (null: each on its own thread), echoing every message they receive.
struct OurClients {
    OurClients(unsigned short port, int count, const std::shared_ptr<EventLoop>& loop,
               std::atomic<long>& echoed)
        : clients(static_cast<size_t>(count)) {
        ConnectionOptions options;
        options.eventLoop = loop;
        const std::string url = "ws://127.0.0.1:" + std::to_string(port);
        for (size_t i = 0; i < clients.size(); ++i) {
            WebSocketClient::Handlers handlers;
            handlers.onOpen = [this] {
                const long now = Clock::now().time_since_epoch().count();
                long last = lastOpen.load();
                while (last < now && !lastOpen.compare_exchange_weak(last, now)) {
                }
                ++opened;
            };
            handlers.onError = [this](const std::string&) { ++failed; };
            // Messages flow only once every client is constructed and has sent its first.
            handlers.onOwnedMessage = [this, i, &echoed](std::vector<uint8_t>&& data, bool) {
                echoed.fetch_add(1, std::memory_order_relaxed);
                clients[i]->send(std::move(data), false, 0);
            };
            clients[i] = std::make_unique<WebSocketClient>(url, std::vector<std::string>{},
                                                           std::move(handlers), options);
        }
    }
    // Every client stopped before any is freed: no handler runs on a freed neighbour.
    ~OurClients() {
        for (auto& client : clients) {
            client->stop();
        }
    }

    bool waitOpen(double seconds) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (opened + failed < static_cast<int>(clients.size()) && Clock::now() < deadline) {
            sleepFor(0.001);
        }
        return opened == static_cast<int>(clients.size());
    }

    std::atomic<int> opened{0};
    std::atomic<int> failed{0};
    std::atomic<long> lastOpen{0};  // steady clock ticks of the latest onOpen
    std::vector<std::unique_ptr<WebSocketClient>> clients;
};

// ---- Clients against the Beast server ---------------------------------------------------------

enum Load { sharedLoop, threadEach, beastClients, loadKinds };
const char* loadNames[] = {"ours, one shared EventLoop", "ours, a thread per client",
                           "Beast, one thread"};

// Messages/s, CPU us per message, threads and resident growth (MiB) of the load process.
Figures measureClients(int load, int connections, double seconds) {
    Child server([](Channel& channel) {
        pinTo(0);
        beast_peers::EchoServer echo(false, "", "");
        channel.send(echo.port());
        char op;
        while (channel.receive(op)) {
        }
    });
    const auto port = server.channel.get<unsigned short>();
    pinTo(1);  // before any thread starts: they all inherit it
    const long residentBefore = residentBytes();
    std::atomic<long> echoed{0};
    std::unique_ptr<beast_peers::LoadGenerator> beast;
    std::unique_ptr<OurClients> ours;
    if (load == beastClients) {
        beast =
            std::make_unique<beast_peers::LoadGenerator>(port, false, 64, connections, 1, echoed);
    } else {
        try {  // a loop of its own per client also costs descriptors: the limit may refuse
            ours = std::make_unique<OurClients>(
                port, connections, load == sharedLoop ? EventLoop::create() : nullptr, echoed);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s, %d clients: %s\n", loadNames[load], connections, e.what());
            return {0, 0, 0, 0};
        }
        if (!ours->waitOpen(30)) {
            std::fprintf(stderr, "%s: %d of %d clients opened\n", loadNames[load],
                         ours->opened.load(), connections);
            return {0, 0, 0, 0};
        }
        for (auto& client : ours->clients) {
            client->send(std::vector<uint8_t>(64, 'x'), false, 0);
        }
    }
    Figures f = measureWindow([&] { return echoed.load(); }, connections, seconds);
    f[2] = static_cast<double>(threadCount());
    f[3] = (residentBytes() - residentBefore) / 1048576.0;
    return f;
}

// ---- Our server on one or two loops -----------------------------------------------------------

// Messages/s, CPU us per message, and the cores the two busiest loop threads used.
Figures measureServer(int loops, size_t size, double seconds) {
    const int connections = 64;
    const int depth = size <= 1024 ? 16 : 4;  // as echo_compare keeps the server busy
    // Forked before the server starts a thread; it connects once it has the port.
    Child load([&](Channel& channel) {
        unsigned short port = 0;
        if (!channel.receive(port)) {
            return;
        }
        std::atomic<long> echoed{0};
        beast_peers::LoadGenerator generator(port, false, size, connections, depth, echoed);
        char op;
        while (channel.receive(op)) {
            channel.send(echoed.load());
        }
    });
    std::mutex mutex;            // declared before the server: its callback uses them
    std::set<long> loopThreads;  // the threads the new-session callback ran on
    WebSocketServer server(0);
    server.setEventLoops(static_cast<size_t>(loops));
    server.onNewSession([&](WebSocketSession& session) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            loopThreads.insert(syscall(SYS_gettid));
        }
        session.onOwnedMessageHandler = [&session](std::vector<uint8_t>&& data, bool text) {
            session.send(std::move(data), text, 0);
        };
    });
    server.start();
    load.channel.send(server.boundPort());
    auto echoed = [&] {
        load.channel.send('c');
        return load.channel.get<long>();
    };
    std::vector<std::pair<long, double>> threads;  // tid, CPU seconds at the start
    Figures f = measureWindow(echoed, connections * depth, seconds, [&] {
        std::lock_guard<std::mutex> lock(mutex);
        for (const long tid : loopThreads) {
            threads.emplace_back(tid, threadCpuSeconds(tid));
        }
    });
    std::vector<double> cores{0, 0};
    for (const auto& [tid, before] : threads) {
        cores.push_back((threadCpuSeconds(tid) - before) / f[2]);
    }
    std::sort(cores.rbegin(), cores.rend());
    f[2] = cores[0];
    f[3] = cores[1];
    return f;
}

// ---- Idle connections on one loop -------------------------------------------------------------

// Resident growth per connection (KiB) of the server and of the clients, and the seconds from
// the first client constructor to the last onOpen.
Figures measureIdle(int count) {
    // A few connections open before the baseline pay for what is allocated once.
    const int warm = 20;
    Child server([](Channel& channel) {
        std::atomic<int> opened{0};  // outlives the server, whose handlers count here
        WebSocketServer listener(0);
        listener.onNewSession(
            [&](WebSocketSession& session) { session.onOpenHandler = [&] { ++opened; }; });
        listener.start();
        channel.send(listener.boundPort());
        int target = 0;
        while (channel.receive(target)) {
            const auto deadline = Clock::now() + std::chrono::seconds(60);
            while (opened < target && Clock::now() < deadline) {
                sleepFor(0.01);
            }
            // A client sees its 101 before the session has let go of what read the request.
            sleepFor(0.2);
            channel.send(std::array<long, 2>{residentBytes(), opened.load()});
        }
    });
    const auto port = server.channel.get<unsigned short>();
    const auto loop = EventLoop::create();
    std::atomic<long> unused{0};
    OurClients warmClients(port, warm, loop, unused);
    warmClients.waitOpen(30);
    server.channel.send(warm);
    const auto serverBefore = server.channel.get<std::array<long, 2>>();
    const long residentBefore = residentBytes();
    const auto start = Clock::now();
    OurClients clients(port, count, loop, unused);
    clients.waitOpen(120);
    const Clock::time_point lastOpen(Clock::duration(clients.lastOpen.load()));
    const double openSeconds = std::chrono::duration<double>(lastOpen - start).count();
    server.channel.send(warm + count);
    const auto serverAfter = server.channel.get<std::array<long, 2>>();
    const long clientGrowth = residentBytes() - residentBefore;
    const int sessions = static_cast<int>(serverAfter[1]) - warm;
    if (clients.opened < count || sessions < count) {
        std::printf("  (idle: %d clients and %d sessions of %d opened, %d failed)\n",
                    clients.opened.load(), sessions, count, clients.failed.load());
    }
    return {(serverAfter[0] - serverBefore[0]) / 1024.0 / count, clientGrowth / 1024.0 / count,
            openSeconds, 0};
}

}  // namespace

int main(int argc, char** argv) {
    auto option = [&](const std::string& name, double fallback) {
        for (int i = 1; i + 1 < argc; ++i) {
            if (argv[i] == name) {
                return std::max(std::atof(argv[i + 1]), 0.001);
            }
        }
        return fallback;
    };
    const int runs = static_cast<int>(std::ceil(option("--runs", 3)));
    const double seconds = option("--seconds", 1);
    int idle = static_cast<int>(option("--idle", 10000));
    ::setenv("RELAYMATRIX_LOG_LEVEL", "off", 0);
    TidewireExtension::setLogLevel(TidewireExtension::LogLevel::error);
    // Each side of the idle point holds a descriptor per connection, and a few of its own.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    const int fitting = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 30)) - 100;
    if (idle > fitting) {
        std::printf("note: %d idle connections do not fit the descriptor limit (%d): using %d\n",
                    idle, fitting + 100, fitting);
        idle = fitting;
    }
    std::printf("%d run(s) of %.1f s per point; medians (a ratio: of each run's ratio)\n", runs,
                seconds);

    std::printf(
        "\nClients: 64 B echo, one in flight per connection, against a one-thread Beast server\n"
        "(server pinned to core 0, load process to core 1; figures of the load process)\n"
        "%5s  %-28s %10s %11s %8s %11s\n",
        "conn", "load", "msg/s", "cpu us/msg", "threads", "RSS growth");
    for (const int connections : {64, 1000}) {
        std::vector<Measure> measures;
        for (int load = 0; load < loadKinds; ++load) {
            measures.push_back([=] { return measureClients(load, connections, seconds); });
        }
        const auto results = runAll(measures, runs);
        for (int load = 0; load < loadKinds; ++load) {
            const auto& r = results[load];
            std::printf("%5d  %-28s %10.0f %11.2f %8.0f %7.1f MiB\n", connections, loadNames[load],
                        medianOf(r, 0), medianOf(r, 1), medianOf(r, 2), medianOf(r, 3));
        }
        std::printf("%5d  shared EventLoop / Beast:   msg/s %.2f, cpu per msg %.2f\n", connections,
                    medianOf(results[sharedLoop], 0, &results[beastClients]),
                    medianOf(results[sharedLoop], 1, &results[beastClients]));
        std::fflush(stdout);
    }

    std::printf(
        "\nServer: our echo server on 1 and 2 loops, 64 connections, Beast load in a child\n"
        "(no pinning: both processes share the 2 cores; loop CPU in cores, busiest first)\n"
        "%7s %5s %10s %11s %14s\n",
        "size", "loops", "msg/s", "cpu us/msg", "loop CPU");
    for (const size_t size : {size_t{64}, size_t{65536}}) {
        const auto results = runAll({[=] { return measureServer(1, size, seconds); },
                                     [=] { return measureServer(2, size, seconds); }},
                                    runs);
        const char* sizeText = size == 64 ? "64 B" : "64 KiB";
        for (int loops = 1; loops <= 2; ++loops) {
            const auto& r = results[loops - 1];
            std::printf("%7s %5d %10.0f %11.2f %8.2f", sizeText, loops, medianOf(r, 0),
                        medianOf(r, 1), medianOf(r, 2));
            loops == 2 ? std::printf(" %5.2f\n", medianOf(r, 3)) : std::printf("\n");
        }
        std::printf("%7s 2 loops / 1 loop:  msg/s %.2f, cpu per msg %.2f\n", sizeText,
                    medianOf(results[1], 0, &results[0]), medianOf(results[1], 1, &results[0]));
        std::fflush(stdout);
    }

    std::printf(
        "\nIdle: %d connections held open, our server on one loop and our clients on one "
        "EventLoop, two processes\n(resident growth / connections; kernel socket memory not "
        "counted)\n",
        idle);
    const auto idleRuns = runAll({[=] { return measureIdle(idle); }}, runs)[0];
    std::printf("  server sessions, one loop:   %6.1f KiB per connection\n", medianOf(idleRuns, 0));
    std::printf(
        "  clients, one EventLoop:      %6.1f KiB per connection, all open in %.2f s (first "
        "constructor to last onOpen)\n",
        medianOf(idleRuns, 1), medianOf(idleRuns, 2));
    return 0;
}
