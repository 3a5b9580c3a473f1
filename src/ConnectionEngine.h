#pragma once

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "FrameDecoder.h"
#include "FrameHeader.h"
#include "HandshakeText.h"
#include "Limits.h"
#include "OutgoingFrames.h"
#include "WriteQueue.h"
#include "relaymatrix/Logger.h"
#include "tidewire/WebSocketFrame.h"
#include "tidewire/WebSocketSession.h"

namespace relaymatrix::extensions::tidewire {

// What a WebSocket connection does once its transport is up, shared by the client and the
// server session: the handshake byte moves, the frame reader, message assembly, Ping/Pong and
// Close handling, the write queue, and the error and close paths.
//
// `Derived` (CRTP) supplies what differs between the two sides:
//   static constexpr bool maskOutgoing;            client true, server false
//   static const char* logPrefix();                "[WebSocketClient] ", ...
//   static const char* unexpectedFrameText();      onErrorHandler text for a stray fragment
//   asio::io_context::executor_type executor();    the connection's loop
//   <copyable> keepAlive();                        captured by every completion handler
//   template <class F> void withStream(F&& f);     f(stream) on the plain or TLS stream
//   asio::ip::tcp::socket& tcpSocket();            the socket under the stream
//   WebSocketSession& session();                   whose handlers are called
//   void onHandshakeWritten(const std::error_code&);
//   void onHandshakeBlock(const std::error_code&, const std::string& headerBlock);
//   void connectionClosed();                       last step of close()
//
// Threads: sendMessage, sendClose and setMaxMessageSize may be called on any thread; a call
// from another thread encodes its frames there and posts them to the loop. Everything else
// runs on the loop thread only, which is the only thread touching the state below.
template <class Derived>
class ConnectionEngine {
public:
    // Queues one message split into frames of at most `maxFrameSize` payload bytes (0: no
    // limit). Held until the connection is open; dropped once it is ending.
    void sendMessage(const std::vector<uint8_t>& data, uint8_t opcode, size_t maxFrameSize) {
        queueMessage(data.data(), data.size(), opcode, maxFrameSize, WriteQueue::Kind::Message,
                     false);
    }

    // Starts the closing handshake: one Close frame carrying `payload`.
    void sendClose(const std::vector<uint8_t>& payload) {
        queueMessage(payload.data(), payload.size(), opcodes::Close, limits::controlFrameMaxSize,
                     WriteQueue::Kind::Message, true);
    }

    void setMaxMessageSize(uint64_t bytes) {
        maxMessageSize.store(bytes, std::memory_order_relaxed);
    }

protected:
    ConnectionEngine() : readBuffer(limits::readBufferBytes) {}

    // ---- Opening handshake: moving the header bytes ----------------------------------------

    // Writes the whole of `text`, then calls derived().onHandshakeWritten(ec).
    void writeHandshake(std::string text) {
        handshakeText = std::move(text);
        derived().withStream([this](auto& stream) {
            asio::async_write(
                stream, asio::buffer(handshakeText),
                [this, keep = derived().keepAlive()](const std::error_code& ec, size_t) {
                    std::string().swap(handshakeText);
                    derived().onHandshakeWritten(ec);
                });
        });
    }

    // Reads until the buffered bytes hold a header block ending in "\r\n\r\n", then calls
    // derived().onHandshakeBlock with it, consumed from the buffer; bytes after it stay for
    // the frame reader. A block longer than the cap fails with message_size.
    void readHandshakeBlock() {
        const std::string_view buffered(reinterpret_cast<const char*>(readData()), available());
        // Resume the search just before where the last one stopped: a peer dripping its
        // header byte by byte costs linear time, not quadratic.
        const size_t from = handshakeScanned > 3 ? handshakeScanned - 3 : 0;
        const size_t found = findHeaderBlockEnd(buffered.substr(from));
        handshakeScanned = buffered.size();
        if (found != 0) {
            const size_t end = from + found;
            std::string block(buffered.substr(0, end));
            consume(end);
            handshakeScanned = 0;
            derived().onHandshakeBlock(std::error_code(), block);
            return;
        }
        if (buffered.size() >= limits::maxHandshakeHeaderBytes) {
            derived().onHandshakeBlock(asio::error::message_size, std::string());
            return;
        }
        compactReadBuffer();
        derived().withStream([this](auto& stream) {
            stream.async_read_some(
                asio::buffer(readBuffer.data() + readEnd, readBuffer.size() - readEnd),
                [this, keep = derived().keepAlive()](const std::error_code& ec, size_t bytes) {
                    if (ec) {
                        derived().onHandshakeBlock(ec, std::string());
                        return;
                    }
                    readEnd += bytes;
                    readHandshakeBlock();
                });
        });
    }

    // The handshake has succeeded: tell the host, send what it queued meanwhile, read frames.
    void open() {
        invokeHandler([this] { derived().session().onOpenHandler(); });
        opened = true;
        startWriteIfReady();
        processInput();
    }

    // ---- Failure and close ----------------------------------------------------------------

    // The single failure path: error line, onErrorHandler(context), close().
    void errorHandler(const std::error_code& ec, const std::string& context) {
        logError("Error: ", context + " - " + ec.message());
        invokeHandler([this, &context] { derived().session().onErrorHandler(context); });
        close();
    }

    // Shuts the socket down and closes it; never throws. Frames not yet handed to the stream
    // are dropped. Harmless when repeated.
    void close() {
        closed = true;
        ending = true;
        writeQueue.dropPending();
        asio::ip::tcp::socket& socket = derived().tcpSocket();
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        if (socket.is_open()) {
            std::error_code ec;
            socket.close(ec);
            if (ec) {
                logError("Close error: ", ec.message());
            }
        }
        derived().connectionClosed();
    }

    // The peer as shown in log lines, kept for when the socket can no longer tell.
    void rememberPeer(const asio::ip::tcp::endpoint& endpoint) { peerText = toText(endpoint); }

    static std::string toText(const asio::ip::tcp::endpoint& endpoint) {
        std::ostringstream text;
        text << endpoint;
        return text.str();
    }

    // Runs a host handler; an exception it throws is logged, never let into the loop.
    template <class Call>
    void invokeHandler(Call&& call) noexcept {
        try {
            call();
        } catch (const std::exception& e) {
            logError("Handler exception: ", e.what());
        } catch (...) {
            logError("Handler exception: unknown");
        }
    }

    // Each log line is the component tag, `text` and `more`, built in one allocation.
    void logTrace(std::string_view text, std::string_view more = {}) {
        relaymatrix::Logger::trace(line(text, more));
    }
    void logDebug(std::string_view text, std::string_view more = {}) {
        relaymatrix::Logger::debug(line(text, more));
    }
    void logInfo(std::string_view text, std::string_view more = {}) {
        relaymatrix::Logger::info(line(text, more));
    }
    void logError(std::string_view text, std::string_view more = {}) noexcept {
        try {
            relaymatrix::Logger::error(line(text, more));
        } catch (...) {
        }
    }

private:
    Derived& derived() { return static_cast<Derived&>(*this); }

    static std::string line(std::string_view text, std::string_view more) {
        const std::string_view prefix = Derived::logPrefix();
        std::string result;
        result.reserve(prefix.size() + text.size() + more.size());
        result += prefix;
        result += text;
        result += more;
        return result;
    }

    // ---- Read path --------------------------------------------------------------------------

    const uint8_t* readData() const { return readBuffer.data() + readStart; }
    size_t available() const { return readEnd - readStart; }
    void consume(size_t bytes) { readStart += bytes; }

    void compactReadBuffer() {
        if (readStart == readEnd) {
            readStart = readEnd = 0;
        } else if (readStart != 0) {
            std::memmove(readBuffer.data(), readBuffer.data() + readStart, available());
            readEnd -= readStart;
            readStart = 0;
        }
    }

    // Decodes and handles every frame the buffer holds, one after the other in this loop (a
    // burst of tiny frames never deepens the stack), and arms one read when more bytes are
    // needed. Returns without a read armed once reading has ended.
    void processInput() {
        for (;;) {
            if (closed) {
                // The connection was closed under a running reader (a stray fragment): the
                // read fails on the closed stream and takes the "Read error" path.
                armRead();
                return;
            }
            switch (decoder.step()) {
                case FrameStep::Header:
                    if (available() < 2) {
                        armRead();
                        return;
                    }
                    decoder.applyHeader(readData());
                    consume(2);
                    logTrace("Frame header parsed successfully: ", decoder.frame().toString());
                    if (decoder.step() == FrameStep::Payload && !payloadWithinLimit()) {
                        return;
                    }
                    break;
                case FrameStep::LengthAndKey: {
                    const size_t needed = static_cast<size_t>(decoder.bytesNeeded());
                    if (available() < needed) {
                        armRead();
                        return;
                    }
                    decoder.applyLengthAndKey(readData());
                    consume(needed);
                    logTrace("Frame payload length and/or masking key parsed successfully");
                    if (decoder.step() == FrameStep::Payload && !payloadWithinLimit()) {
                        return;
                    }
                    break;
                }
                case FrameStep::Payload: {
                    const uint64_t needed = decoder.bytesNeeded();
                    if (payloadFilled == 0 && available() >= needed) {
                        decoder.applyPayload(readData());
                        consume(static_cast<size_t>(needed));
                        break;
                    }
                    if (payloadFilled == 0 && needed <= readBuffer.size()) {
                        armRead();
                    } else {
                        readPayloadInPlace();
                    }
                    return;
                }
                case FrameStep::Complete:
                    if (!handleFrame()) {
                        return;
                    }
                    break;
            }
        }
    }

    void armRead() {
        compactReadBuffer();
        derived().withStream([this](auto& stream) {
            stream.async_read_some(
                asio::buffer(readBuffer.data() + readEnd, readBuffer.size() - readEnd),
                [this, keep = derived().keepAlive()](const std::error_code& ec, size_t bytes) {
                    if (ec) {
                        errorHandler(ec, "Read error");
                        return;
                    }
                    readEnd += bytes;
                    processInput();
                });
        });
    }

    // A payload larger than the receive buffer is read straight into the frame's storage,
    // which grows with the bytes that have arrived, never ahead to the declared length.
    void readPayloadInPlace() {
        std::vector<uint8_t>& payload = decoder.frame().payload;
        const size_t length = static_cast<size_t>(decoder.frame().payloadLength);
        if (payloadFilled == 0) {
            const size_t buffered = available();
            payload.resize(std::min(length, buffered + limits::payloadGrowthStepBytes));
            std::memcpy(payload.data(), readData(), buffered);
            consume(buffered);
            payloadFilled = buffered;
        }
        if (payloadFilled == payload.size()) {
            payload.resize(std::min(
                length, payload.size() + std::max(payload.size(), limits::payloadGrowthStepBytes)));
        }
        derived().withStream([this, &payload](auto& stream) {
            stream.async_read_some(
                asio::buffer(payload.data() + payloadFilled, payload.size() - payloadFilled),
                [this, keep = derived().keepAlive()](const std::error_code& ec, size_t bytes) {
                    if (ec) {
                        errorHandler(ec, "Read error");
                        return;
                    }
                    payloadFilled += bytes;
                    if (payloadFilled < decoder.frame().payloadLength) {
                        readPayloadInPlace();
                        return;
                    }
                    payloadFilled = 0;
                    decoder.preparePayload();
                    decoder.finishPayload();
                    processInput();
                });
        });
    }

    // Called once the payload length of the frame at hand is known; bounds the frame and the
    // message it continues before any of its payload is buffered.
    bool payloadWithinLimit() {
        const WebSocketFrame& frame = decoder.frame();
        const uint64_t limit = maxMessageSize.load(std::memory_order_relaxed);
        // While a message is being assembled, every final data frame ends it with its payload
        // added, whatever its opcode; only a non-final Text or Binary starts afresh.
        const bool control = frame.opcode == opcodes::Close || frame.opcode == opcodes::Ping ||
                             frame.opcode == opcodes::Pong;
        const bool addsToMessage =
            receivingFragments && !control && (frame.fin || frame.opcode == opcodes::Continuation);
        const uint64_t assembled = addsToMessage ? fragmentBuffer.size() : 0;
        if (frame.payloadLength <= limit && assembled <= limit - frame.payloadLength) {
            return true;
        }
        failMessageTooBig();
        return false;
    }

    // Handles the complete frame in the decoder; returns false when reading ends with it.
    bool handleFrame() {
        WebSocketFrame& frame = decoder.frame();
        logTrace("Frame parsed successfully: ", frame.toString());
        bool keepReading = true;
        switch (frame.opcode) {
            case opcodes::Ping:
                if (writeQueue.pendingSize() > limits::pingAnswerBacklogBytes) {
                    logDebug("Received ping, not answered: the peer is not reading");
                    break;
                }
                logDebug("Received ping, sending pong...");
                queueMessage(frame.payload.data(), frame.payload.size(), opcodes::Pong,
                             limits::controlFrameMaxSize, WriteQueue::Kind::Message, false);
                break;
            case opcodes::Pong:
                logDebug("Received pong");
                break;
            case opcodes::Close:
                logInfo("Client disconnected: ", currentPeerText());
                keepReading = false;
                if (closeSent) {
                    endOrderly();
                } else {
                    // Echo it; once the echo is written the close is complete.
                    queueMessage(frame.payload.data(), frame.payload.size(), opcodes::Close,
                                 limits::controlFrameMaxSize, WriteQueue::Kind::Message, false);
                    ending = true;
                }
                break;
            default:
                handleDataFrame(frame);
                break;
        }
        decoder.reset();
        return keepReading;
    }

    void handleDataFrame(WebSocketFrame& frame) {
        logDebug("Received message: ",
                 std::string_view(reinterpret_cast<const char*>(frame.payload.data()),
                                  frame.payload.size()));
        if (!frame.fin) {
            if (frame.opcode == opcodes::Text || frame.opcode == opcodes::Binary) {
                receivingFragments = true;
                fragmentsAreText = frame.opcode == opcodes::Text;
                fragmentBuffer.swap(frame.payload);  // the old storage is dropped with the frame
            } else if (frame.opcode == opcodes::Continuation && receivingFragments) {
                fragmentBuffer.insert(fragmentBuffer.end(), frame.payload.begin(),
                                      frame.payload.end());
            } else {
                invokeHandler(
                    [this] { derived().session().onErrorHandler(Derived::unexpectedFrameText()); });
                close();
            }
            return;
        }
        if (receivingFragments) {
            fragmentBuffer.insert(fragmentBuffer.end(), frame.payload.begin(), frame.payload.end());
            receivingFragments = false;
            invokeHandler(
                [this] { derived().session().onMessageHandler(fragmentBuffer, fragmentsAreText); });
            if (fragmentBuffer.capacity() > FrameDecoder::retainedPayloadCapacity) {
                std::vector<uint8_t>().swap(fragmentBuffer);
            } else {
                fragmentBuffer.clear();
            }
            return;
        }
        const bool isText = frame.opcode == opcodes::Text;
        invokeHandler([this, &frame, isText] {
            derived().session().onMessageHandler(frame.payload, isText);
        });
    }

    std::string currentPeerText() {
        std::error_code ec;
        const asio::ip::tcp::endpoint endpoint = derived().tcpSocket().remote_endpoint(ec);
        if (!ec) {
            return toText(endpoint);
        }
        return peerText.empty() ? std::string("unknown") : peerText;
    }

    // ---- Write path -------------------------------------------------------------------------

    bool acceptingSends() const { return !ending && !closed; }

    void queueMessage(const uint8_t* data, size_t size, uint8_t opcode, size_t maxFrameSize,
                      WriteQueue::Kind kind, bool startsClose) {
        const MessageLayout layout = layoutMessage(size, maxFrameSize, Derived::maskOutgoing);
        if (derived().executor().running_in_this_thread()) {
            if (!acceptingSends()) {
                return;
            }
            closeSent = closeSent || startsClose;
            encodeMessage(writeQueue.extend(layout.bytes), data, size, opcode, maxFrameSize,
                          Derived::maskOutgoing);
            writeQueue.addEntry(opcode, kind, layout.frames);
            startWriteIfReady();
            return;
        }
        std::vector<uint8_t> bytes(layout.bytes);
        encodeMessage(bytes.data(), data, size, opcode, maxFrameSize, Derived::maskOutgoing);
        asio::post(derived().executor(),
                   [this, keep = derived().keepAlive(), bytes = std::move(bytes), opcode, kind,
                    frames = layout.frames, startsClose]() mutable {
                       if (!acceptingSends()) {
                           return;
                       }
                       closeSent = closeSent || startsClose;
                       writeQueue.append(std::move(bytes));
                       writeQueue.addEntry(opcode, kind, frames);
                       startWriteIfReady();
                   });
    }

    void startWriteIfReady() {
        if (!opened || closed || writeQueue.writing() || !writeQueue.hasPending()) {
            return;
        }
        const std::pair<const uint8_t*, size_t> batch = writeQueue.beginBatch();
        derived().withStream([this, &batch](auto& stream) {
            asio::async_write(stream, asio::buffer(batch.first, batch.second),
                              [this, keep = derived().keepAlive()](const std::error_code& ec,
                                                                   size_t) { onWritten(ec); });
        });
    }

    void onWritten(const std::error_code& ec) {
        if (ec) {
            bool failureClose = false;
            for (const WriteQueue::Entry& entry : writeQueue.batch()) {
                failureClose = failureClose || entry.kind == WriteQueue::Kind::FailureClose;
            }
            writeQueue.endBatch();
            if (closeReported) {
                return;  // the connection already ended in order; nobody waits for this
            }
            if (failureClose) {
                close();  // the failure has been reported already
                return;
            }
            errorHandler(ec, "Send error");
            return;
        }
        for (const WriteQueue::Entry& entry : writeQueue.batch()) {
            const std::string text =
                "Send succeeded - opcode: " + WebSocketFrame::opcodeName(entry.opcode);
            for (size_t i = 0; i < entry.frames; ++i) {
                logDebug(text);
            }
            if (entry.kind == WriteQueue::Kind::FailureClose) {
                writeQueue.endBatch();
                close();
                return;
            }
            if (entry.opcode == opcodes::Close && !closeSent) {
                // The echo of the peer's Close is out: the closing handshake is complete.
                writeQueue.endBatch();
                endOrderly();
                return;
            }
        }
        writeQueue.endBatch();
        startWriteIfReady();
    }

    // ---- Control and close ------------------------------------------------------------------

    void endOrderly() {
        closeReported = true;
        invokeHandler([this] { derived().session().onCloseHandler(); });
        close();
    }

    // The peer exceeded the message bound: report it, tell the peer with Close 1009 where the
    // connection still allows a frame, and close once that frame is out.
    void failMessageTooBig() {
        const bool sendCloseFirst = !closeSent && acceptingSends();
        if (sendCloseFirst) {
            const uint8_t status[2] = {static_cast<uint8_t>(limits::closeStatusMessageTooBig >> 8),
                                       static_cast<uint8_t>(limits::closeStatusMessageTooBig)};
            queueMessage(status, sizeof status, opcodes::Close, limits::controlFrameMaxSize,
                         WriteQueue::Kind::FailureClose, false);
            ending = true;
        }
        const std::error_code ec = asio::error::message_size;
        logError("Error: Message too big - ", ec.message());
        invokeHandler([this] { derived().session().onErrorHandler("Message too big"); });
        if (!sendCloseFirst) {
            close();
        }
    }

    // Receive side.
    std::vector<uint8_t> readBuffer;  // fixed size; unconsumed bytes are [readStart, readEnd)
    size_t readStart = 0;
    size_t readEnd = 0;
    FrameDecoder decoder;
    size_t payloadFilled = 0;             // bytes of an in-place payload read so far; 0 otherwise
    std::vector<uint8_t> fragmentBuffer;  // the message being reassembled
    bool receivingFragments = false;
    bool fragmentsAreText = false;  // opcode of the frame that began the message was Text
    std::atomic<uint64_t> maxMessageSize{limits::defaultMaxMessageSize};

    // Send side.
    std::string handshakeText;    // owned by the handshake write in flight
    size_t handshakeScanned = 0;  // buffered header bytes already searched for the end
    WriteQueue writeQueue;

    // Connection state.
    bool opened = false;         // handshake done: queued frames may go out
    bool closeSent = false;      // this side has queued a Close of its own
    bool ending = false;         // a final Close is queued or the socket is closed: no more sends
    bool closed = false;         // close() has run
    bool closeReported = false;  // onCloseHandler has run; later failures are not reported
    std::string peerText;
};

}  // namespace relaymatrix::extensions::tidewire
