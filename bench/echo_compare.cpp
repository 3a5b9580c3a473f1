// Our echo server and client side by side with Boost.Beast on the same machine, in one run.
//
// Server points: a one-thread echo server (ours, or one written with Beast) runs in a fresh
// child process pinned to one core; a Beast load generator on the other core keeps `depth`
// messages in flight on each connection (TLS 1.2 for both servers: the load offers no other).
// Throughput is echoed messages per second; server CPU and minor page faults per message, and
// the kernel's share of that CPU, come from getrusage of the server process.
// With --deflate: both servers and the load negotiate permessage-deflate and echo JSON-like
// text at 1 KiB, 16 KiB and 1 MiB over one plain connection instead.
// With --floor: a third server, one that does nothing but the system calls and the unmasking
// (bench/FloorEcho.h), measured on the same points: its CPU per message is what the kernel
// (and the cipher) cost on that load, the part of both servers' cost user space cannot remove.
// Client point: our client, then Beast's, echoing 1 MiB messages one at a time against the
// Beast server. Masking: copyWithMask against memcpy at 64 bytes.
//
//   build/normal/bench/echo_compare [--runs 3] [--seconds 1.5] [--quick] [--only text] [--floor]
// or scripts/bench.sh. Each figure is the median of the runs; each ratio the median of the
// runs' ratios.
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/Support.h"
#include "BeastPeers.h"
#include "FloorEcho.h"
#include "core/Masking.h"
#include "tidewire/TidewireExtension.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

using Clock = std::chrono::steady_clock;

bool deflate = false;  // --deflate

// Which echo server a point measures. The floor (--floor) does nothing but the system calls
// and the unmasking: what it spends is the part of a server's cost no user-space code removes.
enum class Server { beast, ours, floor };

void pinTo(int core) {
    if (std::thread::hardware_concurrency() < 2) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    sched_setaffinity(0, sizeof set, &set);
}

struct Usage {
    double cpuSeconds = 0;
    double kernelSeconds = 0;
    long minorFaults = 0;
};

Usage usageNow(int who = RUSAGE_SELF) {
    rusage u{};
    getrusage(who, &u);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return {seconds(u.ru_utime) + seconds(u.ru_stime), seconds(u.ru_stime), u.ru_minflt};
}

double kernelShare(const Usage& before, const Usage& after) {
    const double cpu = after.cpuSeconds - before.cpuSeconds;
    return cpu > 0 ? (after.kernelSeconds - before.kernelSeconds) / cpu : 0;
}

// ---- The server under measurement, in a child process ----------------------------------------

// Runs the server pinned to core 0; answers each byte on `commands` with its usage so far.
struct ServerProcess {
    pid_t pid = -1;
    int commands = -1;
    int replies = -1;
    unsigned short port = 0;

    ServerProcess(Server kind, bool tls) {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0) {
            std::perror("pipe");
            std::exit(1);
        }
        std::fflush(stdout);
        pid = fork();
        if (pid == 0) {
            close(down[1]);
            close(up[0]);
            pinTo(0);
            serve(kind, tls, down[0], up[1]);
            std::_Exit(0);
        }
        close(down[0]);
        close(up[1]);
        commands = down[1];
        replies = up[0];
        if (read(replies, &port, sizeof port) != sizeof port) {
            std::fprintf(stderr, "the server process failed\n");
            std::exit(1);
        }
    }
    ~ServerProcess() {
        close(commands);
        close(replies);
        waitpid(pid, nullptr, 0);
    }
    Usage usage() {
        Usage u;
        const char c = 'u';
        if (write(commands, &c, 1) != 1 || read(replies, &u, sizeof u) != sizeof u) {
            std::exit(1);
        }
        return u;
    }

    static void serve(Server kind, bool tls, int commands, int replies) {
        auto loop = [&](unsigned short port) {
            (void)!write(replies, &port, sizeof port);
            char c;
            while (read(commands, &c, 1) == 1) {
                const Usage u = usageNow();
                (void)!write(replies, &u, sizeof u);
            }
        };
        const auto& certificates = tidewire_test::Certificates::get();
        if (kind == Server::beast) {
            beast_peers::EchoServer server(tls, certificates.cert, certificates.key);
            return loop(server.port());
        }
        if (kind == Server::floor) {
            floor_echo::FloorEchoServer server(tls, certificates.cert, certificates.key);
            return loop(server.port());
        }
        std::optional<WebSocketServer> server;
        tls ? server.emplace(0, certificates.cert, certificates.key) : server.emplace(0);
        ConnectionOptions options;
        options.compression.enabled = deflate;
        server->setConnectionOptions(options);
        server->onNewSession([](WebSocketSession& session) {
            // The message is taken and sent back: no copy, one buffer per connection.
            session.onOwnedMessageHandler = [&session](std::vector<uint8_t>&& data, bool text) {
                session.send(std::move(data), text, 0);
            };
        });
        server->start();
        loop(server->boundPort());
    }
};

struct Point {
    size_t size;
    int connections;
    bool tls;
};

struct Figures {
    double perSecond = 0;
    double cpuMicros = 0;    // server CPU per echoed message
    double faults = 0;       // server minor page faults per echoed message
    double kernelShare = 0;  // of that CPU, the part spent in the kernel
};

Figures measureServer(Server kind, const Point& point, double seconds) {
    ServerProcess server(kind, point.tls);
    std::atomic<long> echoed{0};
    const int depth = point.size <= 1024 ? 16 : point.size <= 65536 ? 4 : 1;
    beast_peers::LoadGenerator load(server.port, point.tls, point.size, point.connections, depth,
                                    echoed);
    // Warm-up: every message in flight has come back once (buffers grown, caches warm).
    const auto warm = Clock::now() + std::chrono::seconds(20);
    while (echoed.load() < 2L * point.connections * depth && Clock::now() < warm) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 4));
    const long echoedBefore = echoed.load();
    const Usage before = server.usage();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long count = echoed.load() - echoedBefore;
    const Usage after = server.usage();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Figures f;
    if (count > 0) {
        f.perSecond = count / elapsed;
        f.cpuMicros = (after.cpuSeconds - before.cpuSeconds) * 1e6 / count;
        f.faults = static_cast<double>(after.minorFaults - before.minorFaults) / count;
        f.kernelShare = kernelShare(before, after);
    }
    return f;
}

// ---- Clients against the Beast server: 1 MiB echoed one at a time ----------------------------

Figures measureOurClient(unsigned short port, size_t size, double seconds) {
    std::atomic<long> echoed{0};
    std::atomic<WebSocketClient*> self{nullptr};
    std::promise<void> opened;
    WebSocketClient::Handlers handlers;
    handlers.onOpen = [&opened] { opened.set_value(); };
    handlers.onMessage = [&](const std::vector<uint8_t>& data, bool) {
        echoed.fetch_add(1, std::memory_order_relaxed);
        if (WebSocketClient* client = self.load()) {
            client->send(data, false, 0);
        }
    };
    WebSocketClient client("ws://127.0.0.1:" + std::to_string(port), {}, handlers);
    if (opened.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        return {};
    }
    self = &client;
    client.send(std::vector<uint8_t>(size, 'x'), false, 0);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 4));
    const long before = echoed.load();
    const Usage usageBefore = usageNow();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const long count = echoed.load() - before;
    const Usage usageAfter = usageNow();
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    self = nullptr;
    client.stop();
    Figures f;
    if (count > 0) {
        f.perSecond = count / elapsed;
        f.cpuMicros = (usageAfter.cpuSeconds - usageBefore.cpuSeconds) * 1e6 / count;
        f.faults = static_cast<double>(usageAfter.minorFaults - usageBefore.minorFaults) / count;
        f.kernelShare = kernelShare(usageBefore, usageAfter);
    }
    return f;
}

Figures measureBeastClient(unsigned short port, size_t size, double seconds) {
    beast_peers::SyncClient client(port, size);
    const auto warm = Clock::now() + std::chrono::duration<double>(seconds / 4);
    while (Clock::now() < warm) {
        client.echo();
    }
    const Usage before = usageNow();
    const auto t0 = Clock::now();
    long count = 0;
    double elapsed = 0;
    while ((elapsed = std::chrono::duration<double>(Clock::now() - t0).count()) < seconds) {
        client.echo();
        ++count;
    }
    const Usage after = usageNow();
    return {count / elapsed, (after.cpuSeconds - before.cpuSeconds) * 1e6 / count,
            static_cast<double>(after.minorFaults - before.minorFaults) / count,
            kernelShare(before, after)};
}

// ---- Masking against memcpy at 64 bytes --------------------------------------------------------

template <class F>
double nanosPerCall(F&& f) {
    constexpr int calls = 20'000'000;
    const auto t0 = Clock::now();
    for (int i = 0; i < calls; ++i) {
        f();
        asm volatile("" ::: "memory");
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / calls;
}

// The size is read at run time, so memcpy is the library call a frame of unknown length gets.
Figures measureMasking(Server kind) {
    static uint8_t src[64], dst[64];
    static const uint8_t key[4] = {1, 2, 3, 4};
    static volatile size_t size = sizeof src;
    const double ns = kind == Server::ours ? nanosPerCall([] { copyWithMask(dst, src, size, key); })
                                           : nanosPerCall([] { std::memcpy(dst, src, size); });
    return {64 / ns, 0, 0};  // GB/s
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

std::string sizeText(size_t size) {
    return size >= (1 << 20) ? std::to_string(size >> 20) + " MiB"
           : size >= 1024    ? std::to_string(size >> 10) + " KiB"
                             : std::to_string(size) + " B";
}

struct Row {
    std::string name;
    std::function<Figures(Server)> measure;
    bool cpu;    // also print CPU and page faults per message
    bool floor;  // the floor server can run this point
};

}  // namespace

int main(int argc, char** argv) {
    int runs = 1;
    double seconds = 1.5;
    bool quick = false;
    bool floor = false;  // also measure the floor server, and its CPU per message beside Beast's
    std::string only;    // rows whose name contains this
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (arg == "--floor") {
            floor = true;
        } else if (arg == "--quick") {
            quick = true;
        } else if (arg == "--deflate") {
            deflate = true;
            beast_peers::enableDeflate();
        }
    }
    ::setenv("RELAYMATRIX_LOG_LEVEL", "off", 0);
    TidewireExtension::setLogLevel(TidewireExtension::LogLevel::error);
    tidewire_test::Certificates::get();  // written once, before any fork
    pinTo(1);

    std::vector<Row> rows;
    const std::vector<size_t> sizes = quick ? std::vector<size_t>{64, 1 << 20}
                                            : std::vector<size_t>{64, 1024, 4096, 65536, 1 << 20};
    const std::vector<bool> tlsPoints =
        deflate ? std::vector<bool>{false} : std::vector<bool>{false, true};
    for (const bool tls : tlsPoints) {
        for (const size_t size : deflate ? std::vector<size_t>{1024, 16384, 1 << 20} : sizes) {
            for (const int connections : deflate ? std::vector<int>{1} : std::vector<int>{1, 64}) {
                const Point point{size, connections, tls};
                rows.push_back(
                    {std::string(deflate ? "deflate " : "") + "server " + (tls ? "TLS " : "") +
                         sizeText(size) + ", " + std::to_string(connections) + " conn",
                     [point, seconds](Server kind) { return measureServer(kind, point, seconds); },
                     true, !deflate});  // the floor negotiates no compression
            }
        }
    }
    rows.push_back({"client 1 MiB echo vs Beast server",
                    [seconds](Server kind) {
                        ServerProcess server(Server::beast, false);
                        return kind == Server::ours
                                   ? measureOurClient(server.port, 1 << 20, seconds)
                                   : measureBeastClient(server.port, 1 << 20, seconds);
                    },
                    true, false});
    rows.push_back({"masking 64 B (GB/s) vs memcpy", measureMasking, false, false});

    std::printf(
        "%d run(s) of %.1f s per point, medians (a ratio: of each run's ratio); server "
        "pinned to core 0, load on 1\n",
        runs, seconds);
    std::printf("%-38s %12s %12s %6s | %9s %9s %6s | %8s %8s | %6s %6s", "point (messages/s)",
                "ours", "Beast", "ratio", "cpu us/m", "Beast", "ratio", "faults/m", "Beast",
                "kernel", "Beast");
    if (floor) {
        std::printf(" | %12s %9s %6s %6s", "floor msg/s", "cpu us/m", "/Beast", "kernel");
    }
    std::printf("\n");
    for (const Row& row : rows) {
        if (row.name.find(only) == std::string::npos) {
            continue;
        }
        // This machine's speed drifts by tens of percent within minutes, so each run measures
        // both servers back to back (the order alternating) and a ratio is the median of the
        // runs' own ratios, not a ratio of medians taken minutes apart.
        std::vector<double> rate[3], cpu[3], faults[3], kernel[3], rateRatio, cpuRatio, floorRatio;
        const bool withFloor = floor && row.floor;
        for (int run = 0; run < runs; ++run) {
            Figures f[3];
            std::vector<Server> order{Server::beast, Server::ours};
            if (withFloor) {
                order.push_back(Server::floor);
            }
            std::rotate(order.begin(), order.begin() + run % order.size(), order.end());
            for (const Server kind : order) {
                const int k = static_cast<int>(kind);
                f[k] = row.measure(kind);
                rate[k].push_back(f[k].perSecond);
                cpu[k].push_back(f[k].cpuMicros);
                faults[k].push_back(f[k].faults);
                kernel[k].push_back(f[k].kernelShare * 100);
            }
            const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
            rateRatio.push_back(ratio(f[1].perSecond, f[0].perSecond));
            cpuRatio.push_back(ratio(f[1].cpuMicros, f[0].cpuMicros));
            floorRatio.push_back(ratio(f[2].cpuMicros, f[0].cpuMicros));
        }
        std::printf("%-38s %12.0f %12.0f %6.2f", row.name.c_str(), median(rate[1]), median(rate[0]),
                    median(rateRatio));
        if (row.cpu) {
            std::printf(" | %9.2f %9.2f %6.2f | %8.2f %8.2f | %5.0f%% %5.0f%%", median(cpu[1]),
                        median(cpu[0]), median(cpuRatio), median(faults[1]), median(faults[0]),
                        median(kernel[1]), median(kernel[0]));
        }
        if (withFloor) {
            std::printf(" | %12.0f %9.2f %6.2f %5.0f%%", median(rate[2]), median(cpu[2]),
                        median(floorRatio), median(kernel[2]));
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return 0;
}
