// `tidewire connect URL`: standard input out as messages, messages in to standard output.
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "Arguments.h"
#include "Commands.h"
#include "tidewire/URL.h"
#include "tidewire/WebSocketClient.h"

namespace relaymatrix::extensions::tidewire::tool {

namespace {

// How long an orderly close may take once standard input has ended.
constexpr std::chrono::seconds closeWait{5};
constexpr uint64_t maxMilliseconds = 24ull * 3600 * 1000;
// The library waits as long as the system lets it; a person at a shell should not, for
// example when a wss:// URL reaches a server that answers in plain text.
constexpr std::chrono::seconds defaultOpeningTimeout{10};

// What the input reader and the client's handlers tell the command's own thread.
struct Events {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;  // read, not yet sent
    bool inputEnded = false;
    bool opened = false;
    bool closed = false;  // orderly close, ours or the server's
    bool failed = false;
    std::string failure;  // the first error text

    template <class Change>
    void note(Change change) {
        std::lock_guard<std::mutex> lock(mutex);
        change();
        changed.notify_all();
    }
};

ConnectionOptions optionsFrom(const Arguments& arguments) {
    ConnectionOptions options;
    const std::chrono::milliseconds timeout =
        arguments.has("timeout") ? std::chrono::milliseconds(parseNumber(
                                       arguments.last("timeout"), maxMilliseconds, "timeout"))
                                 : defaultOpeningTimeout;
    options.connectTimeout = timeout;
    options.handshakeTimeout = timeout;
    if (arguments.has("ping-interval")) {
        options.keepaliveInterval = std::chrono::milliseconds(
            parseNumber(arguments.last("ping-interval"), maxMilliseconds, "ping interval"));
    }
    for (const std::string& header : arguments.all("header")) {
        const size_t colon = header.find(':');
        if (colon == std::string::npos) {
            throw UsageError("header '" + header + "' is not \"Name: value\"");
        }
        const size_t value = header.find_first_not_of(" \t", colon + 1);
        options.requestHeaders.add(header.substr(0, colon),
                                   value == std::string::npos ? "" : header.substr(value));
    }
    if (arguments.has("cert") != arguments.has("key")) {
        throw UsageError("--cert and --key go together");
    }
    options.tls.caFile = arguments.last("ca");
    options.tls.certificateFile = arguments.last("cert");
    options.tls.privateKeyFile = arguments.last("key");
    options.tls.allowTLS13 = arguments.has("tls13");
    return options;
}

// The library parses any text as a URL; the tool refuses early what cannot be a server.
void checkURL(const std::string& text) {
    const URL url = URL::parse(text);
    std::string scheme = url.getScheme();
    for (char& c : scheme) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if ((scheme != "ws" && scheme != "wss" && scheme != "https") || url.getHost().empty()) {
        throw UsageError("URL '" + text + "' is not ws://HOST[:PORT][/PATH] or wss://...");
    }
}

WebSocketClient::Handlers handlersFor(const std::shared_ptr<Events>& events, bool raw,
                                      bool printRtts) {
    WebSocketClient::Handlers handlers;
    handlers.onOpen = [events] { events->note([&] { events->opened = true; }); };
    handlers.onClose = [events] { events->note([&] { events->closed = true; }); };
    handlers.onError = [events](const std::string& what) {
        events->note([&] {
            if (!events->failed) {
                events->failed = true;
                events->failure = what;
            }
        });
    };
    // Our timed pings carry the time they left; keepalive pings carry nothing.
    handlers.onPong = [printRtts](const std::vector<uint8_t>& payload) {
        int64_t sent = 0;
        if (!printRtts || payload.size() != sizeof sent) {
            return;
        }
        std::memcpy(&sent, payload.data(), sizeof sent);
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        const double ms =
            static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(now).count() -
                                sent) /
            1000.0;
        std::fprintf(stderr, "tidewire: ping round trip %.3f ms\n", ms);
    };
    handlers.onMessage = [raw](const std::vector<uint8_t>& bytes, bool isText) {
        if (isText || raw) {
            printLine(bytes.data(), bytes.size());
        } else {
            const std::string hex = toHex(bytes);
            printLine(hex.data(), hex.size());
        }
    };
    return handlers;
}

// Hands every line to the command's thread; detached, since a read cannot be interrupted.
void startInputReader(const std::shared_ptr<Events>& events) {
    std::thread([events] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();  // a line ended CR LF (Windows, a network capture)
            }
            events->note([&] { events->lines.push_back(std::move(line)); });
        }
        events->note([&] { events->inputEnded = true; });
    }).detach();
}

// The server's close code and reason on standard error; 1000 (normal) and 1001 (going away)
// end the command as done, any other code is a failure of its own.
int reportClose(const SessionIdentity& who) {
    std::fprintf(stderr, "tidewire: close code %u from the server%s%s\n", who.closeCode,
                 who.closeReason.empty() ? "" : ": ", who.closeReason.c_str());
    return who.closeCode == 1000 || who.closeCode == 1001 ? exitDone : exitClosedOtherwise;
}

}  // namespace

int runConnect(const std::vector<std::string>& words) {
    const Arguments arguments(
        words, {"binary", "raw", "tls13", "verbose", "print-ping-rtts"},
        {"protocol", "header", "ca", "cert", "key", "ping-interval", "timeout"}, 1, 1);
    checkURL(arguments.positional()[0]);
    const ConnectionOptions options = optionsFrom(arguments);
    const bool printRtts = arguments.has("print-ping-rtts");
    if (printRtts && options.keepaliveInterval.count() == 0) {
        throw UsageError("--print-ping-rtts needs --ping-interval");
    }
    const bool binary = arguments.has("binary");
    const bool verbose = arguments.has("verbose");
    configureLogging(verbose);

    auto events = std::make_shared<Events>();
    std::unique_ptr<WebSocketClient> client;
    try {
        client = std::make_unique<WebSocketClient>(
            arguments.positional()[0], arguments.all("protocol"),
            handlersFor(events, arguments.has("raw"), printRtts), options);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tidewire: %s\n", e.what());
        return exitFailed;
    }
    startInputReader(events);

    std::unique_lock<std::mutex> lock(events->mutex);
    bool announced = false;
    bool closing = false;
    std::chrono::steady_clock::time_point closeDeadline;
    std::chrono::steady_clock::time_point nextPing;  // the first goes out at the open
    for (;;) {
        if (events->failed) {
            std::fprintf(stderr, "tidewire: connection %s: %s\n",
                         events->opened ? "lost" : "failed", events->failure.c_str());
            return exitFailed;
        }
        if (events->closed) {
            return reportClose(client->identity());
        }
        if (events->opened && verbose && !announced) {
            announced = true;
            std::fprintf(stderr, "tidewire: connected, subprotocol '%s'\n",
                         client->identity().subprotocol.c_str());
        }
        const auto now = std::chrono::steady_clock::now();
        if (printRtts && events->opened && !closing && now >= nextPing) {
            const int64_t stamp =
                std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch())
                    .count();
            std::vector<uint8_t> payload(sizeof stamp);
            std::memcpy(payload.data(), &stamp, sizeof stamp);
            client->ping(payload);
            nextPing = now + options.keepaliveInterval;
        }
        while (!events->lines.empty()) {
            const std::string line = std::move(events->lines.front());
            events->lines.pop_front();
            client->send(std::vector<uint8_t>(line.begin(), line.end()), !binary, 0);
        }
        // The close goes out after every line sent before it, once the connection is open.
        if (events->inputEnded && events->opened && !closing) {
            closing = true;
            closeDeadline = std::chrono::steady_clock::now() + closeWait;
            client->close({0x03, 0xe8});  // 1000, normal closure
        }
        if (!closing && printRtts && events->opened) {
            events->changed.wait_until(lock, nextPing);
        } else if (!closing) {
            events->changed.wait(lock);
        } else if (events->changed.wait_until(lock, closeDeadline) == std::cv_status::timeout &&
                   !events->closed && !events->failed) {
            std::fprintf(stderr, "tidewire: the server did not complete the close\n");
            return exitFailed;
        }
    }
}

}  // namespace relaymatrix::extensions::tidewire::tool
