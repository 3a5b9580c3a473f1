// Sharing threads, side by side in one run.
//
// Clients: 64 B echoes, one in flight per connection, against a one-thread Beast echo server
// in a child process pinned to core 0, the load in this process pinned to core 1: our clients
// on one shared EventLoop, our clients with a thread each, and Beast clients on one thread.
// Figures of the load process: messages/s, CPU per message (getrusage), its threads
// (/proc/self/task) and its resident growth (/proc/self/statm) from before the first
// connection to the measured window.
// Server: our echo server on 1 and on 2 loops, a Beast load generator in a child process, no
// pinning (two cores shared by both); server CPU per message and each loop thread's CPU.
// Idle: connections held open by our server on one loop and by our clients on one EventLoop,
// in two processes: resident growth per connection on each side, and the time from the first
// client constructor to the last onOpen.
//
// Every measurement runs in a fresh process, so memory freed by an earlier one flatters none.
//   build/normal/bench/loops_compare [--runs 3] [--seconds 1] [--idle 10000]
// Figures are medians of the runs; a ratio is the median of the runs' own ratios.
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
#include "tidewire/EventLoop.h"
#include "tidewire/TidewireExtension.h"
#include "tidewire/WebSocketClient.h"
#include "tidewire/WebSocketServer.h"

using namespace relaymatrix::extensions::tidewire;

namespace {

using Clock = std::chrono::steady_clock;

void pinTo(int core) {
    if (std::thread::hardware_concurrency() < 2) {
        return;
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    sched_setaffinity(0, sizeof set, &set);
}

void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long sizePages = 0;
    long residentPages = 0;
    statm >> sizePages >> residentPages;
    return residentPages * sysconf(_SC_PAGESIZE);
}

int threadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
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

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// ---- Processes -------------------------------------------------------------------------------

// One end of a pair of pipes; fixed-size values only, each written and read whole.
struct Channel {
    int in = -1;
    int out = -1;

    template <class T>
    void send(const T& value) {
        if (write(out, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) {
            std::_Exit(1);
        }
    }
    template <class T>
    bool receive(T& value) {
        return read(in, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
    }
    template <class T>
    T get() {
        T value{};
        if (!receive(value)) {
            std::fprintf(stderr, "a child process failed\n");
            std::exit(1);
        }
        return value;
    }
};

// `body` in a forked child with its end of the channel; the child should return once its
// input closes (the destructor here). Fork only while this process has no other thread.
struct Child {
    pid_t pid = -1;
    Channel channel;

    explicit Child(const std::function<void(Channel&)>& body) {
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
            Channel mine{down[0], up[1]};
            body(mine);
            std::_Exit(0);  // the parent's static objects stay untouched
        }
        close(down[0]);
        close(up[1]);
        channel = {up[0], down[1]};
    }
    ~Child() {
        close(channel.in);
        close(channel.out);
        waitpid(pid, nullptr, 0);
    }
};

template <class R>
R inFreshProcess(const std::function<R()>& measure) {
    Child child([&](Channel& channel) { channel.send(measure()); });
    return child.channel.get<R>();
}

// Until every message in flight has come back twice (buffers grown), then a quarter window.
void warmUp(const std::function<long()>& echoed, long target, double seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (echoed() < target && Clock::now() < deadline) {
        sleepFor(0.01);
    }
    sleepFor(seconds / 4);
}

// ---- Our clients -----------------------------------------------------------------------------

// Our clients on `loop` (null: each on its own thread), echoing every message they receive.
class OurClients {
public:
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
            // Messages flow only after start(), once every client is constructed.
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
    void start(size_t size) {
        for (auto& client : clients) {
            client->send(std::vector<uint8_t>(size, 'x'), false, 0);
        }
    }
    Clock::time_point lastOpened() const {
        return Clock::time_point(Clock::duration(lastOpen.load()));
    }

    std::atomic<int> opened{0};
    std::atomic<int> failed{0};

private:
    std::atomic<long> lastOpen{0};  // steady clock ticks of the latest onOpen
    std::vector<std::unique_ptr<WebSocketClient>> clients;
};

// ---- Clients against the Beast server ---------------------------------------------------------

enum Load { sharedLoop, threadEach, beastClients, loadKinds };
const char* loadNames[] = {"ours, one shared EventLoop", "ours, a thread per client",
                           "Beast, one thread"};

struct ClientFigures {
    double perSecond = 0;
    double cpuMicros = 0;  // load process CPU per echoed message
    double threads = 0;
    double residentMiB = 0;
};

ClientFigures measureClients(int load, int connections, double seconds) {
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
        ours = std::make_unique<OurClients>(
            port, connections, load == sharedLoop ? EventLoop::create() : nullptr, echoed);
        if (!ours->waitOpen(30)) {
            std::fprintf(stderr, "%s: %d of %d clients opened\n", loadNames[load],
                         ours->opened.load(), connections);
            return {};
        }
        ours->start(64);
    }
    warmUp([&] { return echoed.load(); }, 2L * connections, seconds);
    ClientFigures f;
    f.residentMiB = (residentBytes() - residentBefore) / 1048576.0;
    f.threads = threadCount();
    const long echoedBefore = echoed.load();
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    sleepFor(seconds);
    const long count = echoed.load() - echoedBefore;
    const double cpu = cpuSeconds() - cpuBefore;
    if (count > 0) {
        f.perSecond = count / secondsSince(start);
        f.cpuMicros = cpu * 1e6 / count;
    }
    return f;
}

// ---- Our server on one or two loops -----------------------------------------------------------

struct ServerFigures {
    double perSecond = 0;
    double cpuMicros = 0;  // server process CPU per echoed message
    double loopCpu[2] = {0,
                         0};  // each loop thread's CPU over the window / the window, busiest first
};

ServerFigures measureServer(int loops, size_t size, double seconds) {
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
    WebSocketServer server(0);
    server.setEventLoops(static_cast<size_t>(loops));
    std::mutex mutex;
    std::set<long> loopThreads;  // the threads the new-session callback ran on
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
    warmUp(echoed, 2L * connections * depth, seconds);
    std::vector<long> tids;
    {
        std::lock_guard<std::mutex> lock(mutex);
        tids.assign(loopThreads.begin(), loopThreads.end());
    }
    std::vector<double> threadBefore;
    for (const long tid : tids) {
        threadBefore.push_back(threadCpuSeconds(tid));
    }
    const long echoedBefore = echoed();
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    sleepFor(seconds);
    const long count = echoed() - echoedBefore;
    const double cpu = cpuSeconds() - cpuBefore;
    const double elapsed = secondsSince(start);
    std::vector<double> shares;
    for (size_t t = 0; t < tids.size(); ++t) {
        shares.push_back((threadCpuSeconds(tids[t]) - threadBefore[t]) / elapsed);
    }
    std::sort(shares.rbegin(), shares.rend());
    ServerFigures f;
    for (size_t t = 0; t < std::min<size_t>(2, shares.size()); ++t) {
        f.loopCpu[t] = shares[t];
    }
    if (count > 0) {
        f.perSecond = count / elapsed;
        f.cpuMicros = cpu * 1e6 / count;
    }
    return f;
}

// ---- Idle connections on one loop -------------------------------------------------------------

struct IdleFigures {
    double serverKiB = 0;  // resident growth per connection
    double clientKiB = 0;
    double openSeconds = 0;
    int opened = 0;  // connections open on both sides
};

struct ServerCount {
    long resident;
    int opened;
};

IdleFigures measureIdle(int count) {
    // A few connections open before the baseline pay for what is allocated once.
    const int warm = 20;
    Child server([](Channel& channel) {
        WebSocketServer listener(0);
        std::atomic<int> opened{0};
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
            channel.send(ServerCount{residentBytes(), opened.load()});
        }
    });
    const auto port = server.channel.get<unsigned short>();
    const auto loop = EventLoop::create();
    std::atomic<long> unused{0};
    OurClients warmClients(port, warm, loop, unused);
    warmClients.waitOpen(30);
    server.channel.send(warm);
    const ServerCount serverBefore = server.channel.get<ServerCount>();
    const long residentBefore = residentBytes();
    const auto start = Clock::now();
    OurClients clients(port, count, loop, unused);
    IdleFigures f;
    const bool allOpen = clients.waitOpen(120);
    f.openSeconds = std::chrono::duration<double>(clients.lastOpened() - start).count();
    server.channel.send(warm + count);
    const ServerCount serverAfter = server.channel.get<ServerCount>();
    const long clientGrowth = residentBytes() - residentBefore;
    f.opened = std::min(clients.opened.load(), serverAfter.opened - warm);
    if (!allOpen || f.opened < count) {
        std::fprintf(stderr, "idle: %d of %d opened (%d failed)\n", f.opened, count,
                     clients.failed.load());
    }
    f.serverKiB = (serverAfter.resident - serverBefore.resident) / 1024.0 / count;
    f.clientKiB = clientGrowth / 1024.0 / count;
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 3;
    double seconds = 1;
    int idle = 10000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (arg == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (arg == "--idle") {
            idle = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    ::setenv("RELAYMATRIX_LOG_LEVEL", "off", 0);
    TidewireExtension::setLogLevel(TidewireExtension::LogLevel::error);
    // Each side of the idle point holds one descriptor per connection, plus a few.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    const int fitting = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 30)) - 100;
    if (idle > fitting) {
        std::printf(
            "note: %d idle connections need more descriptors than the hard limit (%lu); "
            "using %d\n",
            idle, static_cast<unsigned long>(limit.rlim_cur), fitting);
        idle = fitting;
    }
    std::printf("%d run(s) of %.1f s per point, medians (a ratio: of each run's ratio)\n", runs,
                seconds);

    std::printf(
        "\nClients: 64 B echo, one in flight per connection, against a one-thread Beast "
        "server\n(server pinned to core 0, load process to core 1; figures of the load "
        "process)\n");
    std::printf("%5s  %-28s %10s %11s %8s %11s\n", "conn", "load", "msg/s", "cpu us/msg", "threads",
                "RSS growth");
    for (const int connections : {64, 1000}) {
        std::vector<double> rate[loadKinds], cpu[loadKinds], threads[loadKinds], memory[loadKinds],
            rateRatio, cpuRatio;
        for (int run = 0; run < runs; ++run) {
            // The order rotates, so the machine's drift does not favour one kind of load.
            ClientFigures f[loadKinds];
            for (int k = 0; k < loadKinds; ++k) {
                const int load = (k + run) % loadKinds;
                f[load] = inFreshProcess<ClientFigures>(
                    [&] { return measureClients(load, connections, seconds); });
                rate[load].push_back(f[load].perSecond);
                cpu[load].push_back(f[load].cpuMicros);
                threads[load].push_back(f[load].threads);
                memory[load].push_back(f[load].residentMiB);
            }
            const ClientFigures &a = f[sharedLoop], &c = f[beastClients];
            rateRatio.push_back(c.perSecond > 0 ? a.perSecond / c.perSecond : 0);
            cpuRatio.push_back(c.cpuMicros > 0 ? a.cpuMicros / c.cpuMicros : 0);
        }
        for (int load = 0; load < loadKinds; ++load) {
            std::printf("%5d  %-28s %10.0f %11.2f %8.0f %7.1f MiB\n", connections, loadNames[load],
                        median(rate[load]), median(cpu[load]), median(threads[load]),
                        median(memory[load]));
        }
        std::printf("%5d  shared EventLoop / Beast:   msg/s %.2f, cpu per msg %.2f\n", connections,
                    median(rateRatio), median(cpuRatio));
        std::fflush(stdout);
    }

    std::printf(
        "\nServer: our echo server on 1 and 2 loops, 64 connections, Beast load in a "
        "child\n(no pinning: both processes share the 2 cores; loop CPU in cores, "
        "busiest first)\n");
    std::printf("%7s %5s %10s %11s %14s\n", "size", "loops", "msg/s", "cpu us/msg", "loop CPU");
    for (const size_t size : {size_t{64}, size_t{65536}}) {
        std::vector<double> rate[2], cpu[2], busiest[2], other[2], rateRatio, cpuRatio;
        for (int run = 0; run < runs; ++run) {
            ServerFigures f[2];
            for (const int index : {run % 2, 1 - run % 2}) {
                f[index] = inFreshProcess<ServerFigures>(
                    [&] { return measureServer(index + 1, size, seconds); });
                rate[index].push_back(f[index].perSecond);
                cpu[index].push_back(f[index].cpuMicros);
                busiest[index].push_back(f[index].loopCpu[0]);
                other[index].push_back(f[index].loopCpu[1]);
            }
            rateRatio.push_back(f[0].perSecond > 0 ? f[1].perSecond / f[0].perSecond : 0);
            cpuRatio.push_back(f[0].cpuMicros > 0 ? f[1].cpuMicros / f[0].cpuMicros : 0);
        }
        const char* sizeText = size == 64 ? "64 B" : "64 KiB";
        for (int index = 0; index < 2; ++index) {
            std::printf("%7s %5d %10.0f %11.2f %8.2f", sizeText, index + 1, median(rate[index]),
                        median(cpu[index]), median(busiest[index]));
            if (index == 1) {
                std::printf(" %5.2f", median(other[index]));
            }
            std::printf("\n");
        }
        std::printf("%7s 2 loops / 1 loop: msg/s %.2f, cpu per msg %.2f\n", sizeText,
                    median(rateRatio), median(cpuRatio));
        std::fflush(stdout);
    }

    std::printf(
        "\nIdle: %d connections held open, our server on one loop and our clients on one "
        "EventLoop, two processes\n(resident growth / connections; kernel socket memory "
        "not counted)\n",
        idle);
    std::vector<double> serverKiB, clientKiB, openSeconds;
    int leastOpened = idle;
    for (int run = 0; run < runs; ++run) {
        const IdleFigures f = inFreshProcess<IdleFigures>([&] { return measureIdle(idle); });
        serverKiB.push_back(f.serverKiB);
        clientKiB.push_back(f.clientKiB);
        openSeconds.push_back(f.openSeconds);
        leastOpened = std::min(leastOpened, f.opened);
    }
    std::printf("  server sessions, one loop:   %6.1f KiB per connection\n", median(serverKiB));
    std::printf(
        "  clients, one EventLoop:      %6.1f KiB per connection, all %d open in %.2f s "
        "(first constructor to last onOpen)\n",
        median(clientKiB), idle, median(openSeconds));
    if (leastOpened < idle) {
        std::printf("  only %d of %d opened in some run\n", leastOpened, idle);
    }
    return 0;
}
