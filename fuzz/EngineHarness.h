#pragma once

// The connection engine on an in-memory stream, for the fuzz targets: the fuzz input is what
// the peer sends, delivered in chunks whose sizes come from the input too, and everything the
// engine writes is captured. One connection runs to its end on a loop inside one fuzz call.

#include <algorithm>
#include <asio.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "ConnectionEngine.h"
#include "FrameDecoder.h"
#include "FrameHeader.h"
#include "HandshakeText.h"
#include "Limits.h"
#include "relaymatrix/LogCapture.h"
#include "tidewire/Handshake.h"
#include "tidewire/WebSocketSession.h"

namespace tidewire_fuzz {

using namespace relaymatrix::extensions::tidewire;

inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
        std::abort();
    }
}

inline std::vector<uint8_t> bytesOf(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// ---- What the fuzz input chooses besides the peer's bytes ------------------------------------

// Deterministic per input, so a crash reproduces.
class SplitMix {
public:
    explicit SplitMix(uint64_t seed) : state(seed) {}
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

private:
    uint64_t state;
};

// The first two input bytes; the rest is the peer's byte stream.
//   byte 0: bits 0-2 largest read chunk, bit 3 the host starts closing in onOpenHandler,
//           bit 4 the host sends every message back from onMessageHandler, bit 5 a write
//           fails after some bytes, bits 6-7 the message size bound
//   byte 1: bits 0-6 seed for chunk sizes and the like, bit 7 the host sends a message from
//           its own thread before the connection is open
struct Setup {
    size_t maxReadChunk = 0;  // 0: whatever the engine asks for
    size_t maxWriteChunk = 0;
    size_t failWriteAfter = std::numeric_limits<size_t>::max();  // bytes written, then failure
    bool writeFailure = false;
    bool closeAtOpen = false;
    bool echoMessages = false;
    size_t echoFrameSize = 0;  // maxFrameSize of the echoes and the early message
    bool sendBeforeOpen = false;
    uint64_t maxMessageSize = limits::defaultMaxMessageSize;
    uint64_t seed = 0;
    std::string_view stream;

    static constexpr std::string_view earlyMessage = "early";
    static constexpr uint8_t closeAtOpenPayload[2] = {0x03, 0xE8};
};

inline bool parseSetup(const uint8_t* data, size_t size, Setup& setup) {
    if (size < 2) {
        return false;
    }
    static constexpr size_t readChunks[8] = {0, 1, 2, 3, 7, 16, 300, 5000};
    static constexpr size_t writeChunks[4] = {0, 1, 5, 64};
    static constexpr size_t echoFrameSizes[4] = {0, 1, 3, 100};
    static constexpr uint64_t messageBounds[4] = {limits::defaultMaxMessageSize, 0, 7, 1000};
    const uint8_t options = data[0];
    setup.maxReadChunk = readChunks[options & 7];
    setup.closeAtOpen = (options & 0x08) != 0;
    setup.echoMessages = (options & 0x10) != 0;
    setup.writeFailure = (options & 0x20) != 0;
    setup.maxMessageSize = messageBounds[options >> 6];
    setup.sendBeforeOpen = (data[1] & 0x80) != 0;
    setup.seed = (static_cast<uint64_t>(options) << 8) | data[1];
    SplitMix random(setup.seed);
    setup.maxWriteChunk = writeChunks[random.next() % 4];
    setup.echoFrameSize = echoFrameSizes[random.next() % 4];
    const size_t failAfter = static_cast<size_t>(random.next() % 400);
    if (setup.writeFailure) {
        setup.failWriteAfter = failAfter;
    }
    setup.stream = std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2);
    return true;
}

// ---- Log lines of one run ----------------------------------------------------------------------

struct LogLine {
    relaymatrix::testing::LogLevel level;
    std::string text;
};

// Collects the lines of the run in progress; nothing goes to standard error.
class LogCollector {
public:
    static LogCollector& instance() {
        static LogCollector collector;
        return collector;
    }
    std::vector<LogLine> take() { return std::move(lines); }
    size_t count(relaymatrix::testing::LogLevel level, const std::string& text) const {
        return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const LogLine& l) {
            return l.level == level && l.text == text;
        }));
    }
    const std::vector<LogLine>& current() const { return lines; }

private:
    LogCollector() {
        relaymatrix::testing::setLogSink(
            [this](relaymatrix::testing::LogLevel level, const std::string& text) {
                lines.push_back({level, text});
            });
    }
    std::vector<LogLine> lines;
};

// Called from LLVMFuzzerInitialize, before anything logs.
inline void quietLogger() {
    setenv("RELAYMATRIX_LOG_LEVEL", "off", 1);
    LogCollector::instance();
}

// ---- An in-memory stream with the asio stream operations the engine uses ------------------------

class ScriptedStream {
public:
    using executor_type = asio::io_context::executor_type;

    ScriptedStream(executor_type executor, const Setup& setup)
        : executor(executor),
          input(setup.stream),
          maxReadChunk(setup.maxReadChunk),
          maxWriteChunk(setup.maxWriteChunk),
          failWriteAfter(setup.failWriteAfter),
          random(setup.seed * 31 + 7) {}

    executor_type get_executor() const { return executor; }

    // Completes later on the loop, as a socket does. After shutdown() every operation fails,
    // also one started before it: a closed socket cancels what is pending on it.
    template <class MutableBuffers, class Token>
    auto async_read_some(const MutableBuffers& buffers, Token&& token) {
        return asio::async_initiate<Token, void(std::error_code, size_t)>(
            [this](auto handler, const MutableBuffers& buffers) {
                check(asio::buffer_size(buffers) != 0, "a read is armed with no room");
                check(!readPending, "two reads in flight");
                readPending = true;
                asio::post(executor, [this, handler = std::move(handler), buffers]() mutable {
                    readPending = false;
                    std::error_code ec;
                    size_t bytes = 0;
                    if (closed) {
                        ec = asio::error::operation_aborted;
                    } else if (input.empty()) {
                        ec = asio::error::eof;
                    } else {
                        const size_t chunk = std::min(input.size(), nextChunk(maxReadChunk));
                        bytes = asio::buffer_copy(buffers, asio::buffer(input.data(), chunk));
                        input.remove_prefix(bytes);
                        bytesRead += bytes;
                    }
                    handler(ec, bytes);
                });
            },
            token, buffers);
    }

    template <class ConstBuffers, class Token>
    auto async_write_some(const ConstBuffers& buffers, Token&& token) {
        return asio::async_initiate<Token, void(std::error_code, size_t)>(
            [this](auto handler, const ConstBuffers& buffers) {
                check(!writePending, "two writes in flight");
                writePending = true;
                asio::post(executor, [this, handler = std::move(handler), buffers]() mutable {
                    writePending = false;
                    std::error_code ec;
                    size_t bytes = 0;
                    const size_t offered = asio::buffer_size(buffers);
                    if (closed) {
                        ec = asio::error::operation_aborted;
                    } else if (output.size() >= failWriteAfter && offered != 0) {
                        ec = asio::error::broken_pipe;
                    } else {
                        const size_t chunk = std::min(
                            {offered, failWriteAfter - output.size(), nextChunk(maxWriteChunk)});
                        const size_t at = output.size();
                        output.resize(at + chunk);
                        bytes = asio::buffer_copy(asio::buffer(output.data() + at, chunk), buffers);
                    }
                    handler(ec, bytes);
                });
            },
            token, buffers);
    }

    void shutdown() { closed = true; }

    // Half of the operations move as much as they can, the others 1 to `limit` bytes: every
    // split of headers and payloads is reached, and a large payload still takes few reads.
    size_t nextChunk(size_t limit) {
        const uint64_t draw = random.next();
        if (limit == 0 || (draw & 1) != 0) {
            return std::numeric_limits<size_t>::max();
        }
        return 1 + static_cast<size_t>((draw >> 1) % limit);
    }

    std::vector<uint8_t> output;  // every byte written, in order
    size_t bytesRead = 0;

private:
    executor_type executor;
    std::string_view input;  // not yet delivered
    size_t maxReadChunk;
    size_t maxWriteChunk;
    size_t failWriteAfter;
    SplitMix random;
    bool closed = false;
    bool readPending = false;
    bool writePending = false;
};

// ---- What the host sees --------------------------------------------------------------------

struct Event {
    enum class Kind { Open, Message, Error, Close };
    Kind kind;
    std::vector<uint8_t> bytes;  // Message
    bool isText = false;         // Message
    std::string text;            // Error
};

// The host side of the connection: records every handler call. The engine calls only the
// handlers; the host's sends go straight to the engine under test.
class RecordingSession : public relaymatrix::extensions::tidewire::WebSocketSession {
public:
    void send(const std::vector<uint8_t>&, bool, size_t) override {}
    void ping(const std::vector<uint8_t>&) override {}
    void close(const std::vector<uint8_t>&) override {}
    std::vector<Event> events;
};

// What one run produced: the handler calls, the bytes written, the log lines.
struct RunResult {
    std::vector<Event> events;
    std::vector<uint8_t> output;
    std::vector<LogLine> logs;
    std::string handshakeBlock;
    size_t closeCalls = 0;
    size_t bytesRead = 0;
};

// ---- The two sides -------------------------------------------------------------------------

// What differs between the client and a server session, as their connection classes give it.
struct ClientSide {
    static constexpr bool isClient = true;
    static constexpr bool maskOutgoing = true;
    static constexpr const char* logPrefix = "[WebSocketClient] ";
    static constexpr const char* unexpectedFrameText = "Unexpected frame";
};

struct ServerSide {
    static constexpr bool isClient = false;
    static constexpr bool maskOutgoing = false;
    static constexpr const char* logPrefix = "[WebSocketServer][WebSocketSession] ";
    static constexpr const char* unexpectedFrameText = "Unexpected frame";
};

// The key the client harness sends; the response checker expects its accept value.
inline const std::string& fixedClientKey() {
    static const std::string key = "dGhlIHNhbXBsZSBub25jZQ==";
    return key;
}

inline const std::string& fixedClientRequest() {
    static const std::string request =
        buildClientHandshakeRequest("/chat?room=1", "server.example", fixedClientKey(), {"chat"});
    return request;
}

// A connection of one side over the in-memory stream. The client is owned by the harness and
// its handlers hold only `this`; a server session lives only through its pending handlers, as
// it does when the server has dropped it, so a handler that forgets to hold it is a
// use-after-free the address sanitizer reports.
template <class Side>
class FuzzConnection : public ConnectionEngine<FuzzConnection<Side>>,
                       public std::enable_shared_from_this<FuzzConnection<Side>> {
public:
    FuzzConnection(asio::io_context& loop, const Setup& setup, RecordingSession& host,
                   RunResult& report)
        : stream(loop.get_executor(), setup),
          loop(loop),
          socket(loop),
          host(host),
          report(report) {}

    // A server session is gone once its last handler has run; what it did is kept here.
    ~FuzzConnection() {
        report.output = std::move(stream.output);
        report.bytesRead = stream.bytesRead;
        report.closeCalls = closeCalls;
        report.handshakeBlock = std::move(handshakeBlock);
    }

    // ---- What the engine asks of its connection ----------------------------------------------

    static constexpr bool maskOutgoing = Side::maskOutgoing;
    static const char* logPrefix() { return Side::logPrefix; }
    static const char* unexpectedFrameText() { return Side::unexpectedFrameText; }

    asio::io_context::executor_type executor() { return loop.get_executor(); }

    struct Unowned {};
    auto keepAlive() {
        if constexpr (Side::isClient) {
            return Unowned{};
        } else {
            return this->shared_from_this();
        }
    }

    template <class F>
    void withStream(F&& f) {
        f(stream);
    }

    asio::ip::tcp::socket& tcpSocket() { return socket; }  // never opened: no peer address
    WebSocketSession& session() { return host; }

    void connectionClosed() {
        ++closeCalls;
        stream.shutdown();
    }

    void onHandshakeWritten(const std::error_code& ec) {
        if constexpr (Side::isClient) {
            if (ec) {
                failOpening("Handshake request error: ", ec);
                return;
            }
            this->readHandshakeBlock();
        } else {
            if (ec) {
                this->errorHandler(ec, "Handshake response error");
                return;
            }
            this->logDebug("Handshake successful");
            this->open();
        }
    }

    // As the client and the server session answer a header block.
    void onHandshakeBlock(const std::error_code& ec, const std::string& headerBlock) {
        handshakeBlock = headerBlock;
        if constexpr (Side::isClient) {
            if (ec) {
                failOpening("Handshake response error: ", ec);
                return;
            }
            const ServerResponseCheck result =
                checkServerHandshakeResponse(headerBlock, generateAcceptKey(fixedClientKey()));
            for (const std::string& protocol : result.protocols) {
                this->logDebug("Negotiated protocol: ", protocol);
            }
            if (!result.accepted) {
                this->logError(result.failure);
                this->invokeHandler([this, &result] { host.onErrorHandler(result.failure); });
                this->close();
                return;
            }
            this->logDebug("Handshake successful");
            this->open();
        } else {
            if (ec) {
                this->errorHandler(ec, "Handshake error");
                return;
            }
            const ClientHandshakeRequest request = parseClientHandshakeRequest(headerBlock);
            for (const std::string& protocols : request.requestedProtocols) {
                this->logTrace("Requested protocols: " + protocols);
            }
            this->writeHandshake(buildServerHandshakeResponse(request.key));
        }
    }

    // ---- Starting --------------------------------------------------------------------------

    enum class Start { Frames, Handshake };

    void start(Start from) {
        if (from == Start::Frames) {
            this->open();
        } else if constexpr (Side::isClient) {
            this->writeHandshake(fixedClientRequest());
        } else {
            this->readHandshakeBlock();
        }
    }

    // Host calls, made on the loop (from handlers) or before it runs (from this thread).
    void hostSend(const std::vector<uint8_t>& data, bool isText, size_t maxFrameSize) {
        this->sendMessage(data, isText ? opcodes::Text : opcodes::Binary, maxFrameSize);
    }
    void hostClose(const std::vector<uint8_t>& payload) { this->sendClose(payload); }
    void hostSetMaxMessageSize(uint64_t bytes) { this->setMaxMessageSize(bytes); }

    ScriptedStream stream;
    size_t closeCalls = 0;
    std::string handshakeBlock;  // as handed to onHandshakeBlock

private:
    void failOpening(const char* what, const std::error_code& ec) {
        const std::string message = ec.message();
        this->logError(what, message);
        this->invokeHandler([this, &message] { host.onErrorHandler(message); });
        this->close();
    }

    asio::io_context& loop;
    asio::ip::tcp::socket socket;
    RecordingSession& host;
    RunResult& report;
};

// ---- One run ---------------------------------------------------------------------------------

inline asio::io_context& fuzzLoop() {
    static asio::io_context loop;
    return loop;
}

// Runs one connection of `Side` over `setup.stream` until the loop has nothing left to do,
// with the host behaving as `setup` says.
template <class Side>
RunResult runConnection(const Setup& setup, typename FuzzConnection<Side>::Start from) {
    using Connection = FuzzConnection<Side>;
    asio::io_context& loop = fuzzLoop();
    loop.restart();
    LogCollector::instance().take();

    RecordingSession host;
    RunResult result;
    auto connection = std::make_shared<Connection>(loop, setup, host, result);
    Connection* raw = connection.get();
    bool ended = false;
    // Each handler checks that nothing reaches the host once the connection has ended.
    host.onOpenHandler = [&, raw] {
        check(!ended && host.events.empty(), "onOpenHandler not first");
        host.events.push_back({Event::Kind::Open, {}, false, {}});
        if (setup.closeAtOpen) {
            raw->hostClose(std::vector<uint8_t>(std::begin(Setup::closeAtOpenPayload),
                                                std::end(Setup::closeAtOpenPayload)));
        }
    };
    host.onMessageHandler = [&, raw](const std::vector<uint8_t>& bytes, bool isText) {
        check(!ended, "onMessageHandler after the end");
        check(bytes.size() <= setup.maxMessageSize, "message above the bound delivered");
        host.events.push_back({Event::Kind::Message, bytes, isText, {}});
        if (setup.echoMessages) {
            raw->hostSend(bytes, isText, setup.echoFrameSize);
        }
    };
    host.onErrorHandler = [&](const std::string& text) {
        check(!ended || host.events.back().kind == Event::Kind::Error,
              "onErrorHandler after close");
        ended = true;
        host.events.push_back({Event::Kind::Error, {}, false, text});
    };
    host.onCloseHandler = [&] {
        check(!ended, "onCloseHandler after the end");
        ended = true;
        host.events.push_back({Event::Kind::Close, {}, false, {}});
    };

    connection->hostSetMaxMessageSize(setup.maxMessageSize);
    if (setup.sendBeforeOpen) {
        connection->hostSend(bytesOf(Setup::earlyMessage), true, setup.echoFrameSize);
    }
    asio::post(loop, [connection, from] { connection->start(from); });

    std::weak_ptr<Connection> alive = connection;
    if constexpr (!Side::isClient) {
        connection.reset();  // from here on the pending handlers alone keep it
    }
    loop.run();
    // Nothing is pending any more, so nothing may hold a session: no cycle, no leak.
    check(Side::isClient || alive.expired(), "session outlives its last handler");
    connection.reset();
    result.events = std::move(host.events);
    result.logs = LogCollector::instance().take();
    return result;
}

}  // namespace tidewire_fuzz
