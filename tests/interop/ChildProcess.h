#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace interop {

// A peer program as a child process (found through PATH) whose standard output the test
// reads line by line; its standard error goes to the test's. Every read has a deadline; a
// child still running when the object goes is killed.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv) {
        std::vector<char*> pointers;
        for (std::string& argument : argv) {
            pointers.push_back(argument.data());
        }
        pointers.push_back(nullptr);

        int fds[2];
        if (pipe(fds) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        const int result =
            posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        output = fds[0];
        if (result != 0) {
            pid = -1;
            ::close(output);
            throw std::runtime_error("cannot start " + argv[0]);
        }
    }

    ~ChildProcess() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        ::close(output);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of output (without its LF); empty at the end of output or the deadline.
    std::string readLine(std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t end = buffered.find('\n');
            if (end != std::string::npos) {
                std::string line = buffered.substr(0, end);
                buffered.erase(0, end + 1);
                return line;
            }
            if (!fill(deadline)) {
                return std::string();
            }
        }
    }

    // Waits for the child to end (its output closes first) and returns its exit status, or -1
    // when it does not end before the deadline or ends by a signal.
    int exitStatus(std::chrono::seconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (fill(deadline)) {
        }
        if (!endOfOutput) {
            return -1;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Output read but not yet returned as a line: what a failure message should show.
    const std::string& unread() const { return buffered; }

    // The output has ended and every complete line has been returned.
    bool atEnd() const { return endOfOutput && buffered.find('\n') == std::string::npos; }

private:
    bool fill(std::chrono::steady_clock::time_point deadline) {
        if (endOfOutput) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{output, POLLIN, 0};
        if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) != 1) {
            return false;
        }
        char chunk[4096];
        const ssize_t received = read(output, chunk, sizeof chunk);
        if (received <= 0) {
            endOfOutput = true;
            return false;
        }
        buffered.append(chunk, static_cast<size_t>(received));
        return true;
    }

    pid_t pid = -1;
    int output = -1;
    std::string buffered;
    bool endOfOutput = false;
};

}  // namespace interop
