#pragma once

// The load bench's clients: a process of their own, driven by the server process over two
// pipes, one command and one reply at a time.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace load_bench {

// ---- Commands between the server process and the client process ------------------------------

enum class Op : int { exit, openAndHold, closeHeld, churn };

struct Command {
    Op op;
    uint16_t port;
    bool tls;
    int count;        // connections to open
    int concurrency;  // churn: connections in flight at once
};

struct Reply {
    int opened;
    int failed;
    double seconds;  // from the first connect to the last 101
};

template <class T>
bool writeAll(int fd, const T& value) {
    return ::write(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

template <class T>
bool readAll(int fd, T& value) {
    return ::read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value);
}

// Serves commands from `commands` until exit, answering each on `replies`; the exit status.
int runClientProcess(int commands, int replies);

// The server process's end of the pipes.
struct ClientProcess {
    int commands = -1;
    int replies = -1;

    Reply run(const Command& command) {
        Reply reply{0, 0, 0};
        if (!writeAll(commands, command) || !readAll(replies, reply)) {
            std::fprintf(stderr, "the client process is gone\n");
            std::exit(1);
        }
        return reply;
    }
};

}  // namespace load_bench
