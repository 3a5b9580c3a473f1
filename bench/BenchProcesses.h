#pragma once

// Measurements in fresh child processes, so that no memory freed by an earlier one flatters a
// later one, and medians over runs.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace bench_processes {

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
        std::fflush(stdout);
        if (pipe(down) != 0 || pipe(up) != 0 || (pid = fork()) < 0) {
            std::perror("pipe or fork");
            std::exit(1);
        }
        if (pid == 0) {
            close(down[1]);
            close(up[0]);
            Channel mine{down[0], up[1]};
            body(mine);
            std::fflush(stdout);
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

// What one measurement reports; each table says what its fields mean.
using Figures = std::array<double, 4>;
using Measure = std::function<Figures()>;

// Every measurement of a table in every run, each in a fresh process; the order rotates from
// run to run so that the machine's drift favours none. Indexed [measurement][run].
inline std::vector<std::vector<Figures>> runAll(const std::vector<Measure>& measures, int runs) {
    std::vector<std::vector<Figures>> results(measures.size());
    for (int run = 0; run < runs; ++run) {
        for (size_t k = 0; k < measures.size(); ++k) {
            const size_t m = (k + static_cast<size_t>(run)) % measures.size();
            Child child([&](Channel& channel) { channel.send(measures[m]()); });
            results[m].push_back(child.channel.get<Figures>());
        }
    }
    return results;
}

// The median over the runs of one field, or of the runs' own ratios of it to `base`'s.
inline double medianOf(const std::vector<Figures>& runs, int field,
                       const std::vector<Figures>* base = nullptr) {
    std::vector<double> v;
    for (size_t run = 0; run < runs.size(); ++run) {
        const double divisor = base ? (*base)[run][field] : 1;
        v.push_back(divisor > 0 ? runs[run][field] / divisor : 0);
    }
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace bench_processes
