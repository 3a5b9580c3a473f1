#pragma once

#include <algorithm>
#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "core/CloseStatus.h"
#include "core/EndpointText.h"
#include "core/ErrorTexts.h"
#include "core/FrameHeader.h"
#include "core/Limits.h"
#include "core/MessageAssembler.h"
#include "core/StrictFrameRules.h"
#include "engine/ConnectionCompression.h"
#include "engine/ConnectionLog.h"
#include "engine/FrameReader.h"
#include "engine/FrameWriter.h"
#include "engine/HostGate.h"
#include "engine/LivenessTimer.h"
#include "tidewire/ConnectionOptions.h"
#include "tidewire/WebSocketSession.h"

namespace relaymatrix::extensions::tidewire {

// What a WebSocket connection does once its transport is up, shared by the client and the
// server session: the frame reader (FrameReader) and the send side (FrameWriter) joined by
// message delivery, Ping/Pong and Close handling, and the failure and close paths.
//
// `Derived` (CRTP) supplies what differs between the two sides:
//   static constexpr bool maskOutgoing;            client true, server false
//   static const char* logPrefix();                "[WebSocketClient] ", ...
//   asio::io_context::executor_type executor();    the connection's loop
//   <copyable> keepAlive();                        captured by every completion handler
//   template <class F> void withStream(F&& f);     f(stream) on the plain or TLS stream
//   asio::ip::tcp::socket& tcpSocket();            the socket under the stream
//   WebSocketSession& session();                   whose handlers are called
//   void onHandshakeWritten(const std::error_code&);
//   void onHandshakeBlock(const std::error_code&, const std::string& headerBlock);
//   void connectionClosed();                       last step of close()
//   template <class F> void updateIdentity(F&& f); f(SessionIdentity&) under its lock
//   HostGate::Entry enterHost();                   taken around every handler call
//
// Threads: sendMessage, sendClose and setMaxMessageSize may be called on any thread.
// Everything else runs on the loop thread only, which is the only thread touching the state.
template <class Derived>
class ConnectionEngine : public FrameReader<Derived>,
                         public FrameWriter<Derived>,
                         public LivenessTimer<Derived>,
                         public ConnectionCompression<Derived> {
public:
    using Reader = FrameReader<Derived>;
    using Writer = FrameWriter<Derived>;
    using Liveness = LivenessTimer<Derived>;
    using Compression = ConnectionCompression<Derived>;
    using Log = ConnectionLog<Derived>;

    // The host's send, ping or close(payload); see FrameWriter::queueMessage.
    void sendMessage(const std::vector<uint8_t>& data, uint8_t opcode, size_t maxFrameSize) {
        if (Compression::mayCompress(opcode, data.size())) {
            Writer::queueCompressible(data.data(), data.size(), opcode, maxFrameSize);
            return;
        }
        Writer::queueMessage(data.data(), data.size(), opcode, maxFrameSize,
                             WriteQueue::Kind::Message, false, true);
    }

    // The same with a message handed over to keep (see FrameWriter::queueOwned).
    void sendMessage(std::vector<uint8_t>&& data, uint8_t opcode, size_t maxFrameSize) {
        if (Compression::mayCompress(opcode, data.size())) {
            sendMessage(static_cast<const std::vector<uint8_t>&>(data), opcode, maxFrameSize);
            return;
        }
        Writer::queueOwned(std::move(data), opcode, maxFrameSize);
    }

    // The host's ping: one Ping frame.
    void sendPing(const std::vector<uint8_t>& payload) {
        if (controlPayloadFits(payload.size())) {
            sendMessage(payload, opcodes::Ping, limits::controlFrameMaxSize);
        }
    }

    // Starts the closing handshake: one Close frame carrying `payload`, the last we send.
    void sendClose(const std::vector<uint8_t>& payload) {
        if (!controlPayloadFits(payload.size())) {
            return;
        }
        Writer::queueMessage(payload.data(), payload.size(), opcodes::Close,
                             limits::controlFrameMaxSize, WriteQueue::Kind::Message, true, true);
    }

    // Before the connection starts.
    void configure(const ConnectionOptions& options) {
        Liveness::configureLiveness(options);
        Writer::configureSendBuffer(options.maxBufferedAmount, options.drainLowWaterMark);
        Compression::configureCompression(options.compression);
        if (options.strict) {
            strictRules.emplace();
        }
    }

    void setMaxMessageSize(uint64_t bytes) {
        maxMessageSize.store(bytes, std::memory_order_relaxed);
    }

    // The handshake has succeeded: tell the host, send what it queued meanwhile, read frames.
    void open() {
        Liveness::startKeepalive();
        invokeHandler([this] { derived().session().onOpenHandler(); });
        Writer::startSending();
        Reader::readFrames();
    }

    // ---- Hooks of the reader and the writer ---------------------------------------------------

    bool isClosed() const { return closed; }

    bool admitsPayload(const WebSocketFrame& frame) {
        if (frame.opcode >= opcodes::Close &&
            frame.payloadLength > limits::controlPayloadMaxBytes) {
            failPeer(limits::closeStatusProtocolError, errorTexts::controlFrameTooLong,
                     std::make_error_code(std::errc::protocol_error));
            return false;
        }
        if (assembler.admits(frame, maxMessageSize.load(std::memory_order_relaxed))) {
            return true;
        }
        failPeer(limits::closeStatusMessageTooBig, errorTexts::messageTooBig,
                 asio::error::message_size);
        return false;
    }

    // A complete frame; returns false when reading ends with it.
    bool handleFrame(WebSocketFrame& frame) {
        if (Log::on(LogLevel::trace)) {
            Log::trace("Frame parsed successfully: ", frame.toString());
        }
        const bool compressed = (Reader::frameReservedBits() & compressedBit) != 0;
        if (Compression::reservedBitRefused(compressed, frame.opcode)) {
            failPeer(limits::closeStatusProtocolError, errorTexts::unexpectedReservedBit,
                     std::make_error_code(std::errc::protocol_error));
            return false;
        }
        if (strictRules && !admittedStrictly(frame)) {
            return false;
        }
        switch (frame.opcode) {
            case opcodes::Ping:
                if (peerNotReading()) {
                    Log::debug("Received ping, not answered: the peer is not reading");
                    return true;
                }
                Log::debug("Received ping, sending pong...");
                Writer::queueMessage(frame.payload.data(), frame.payload.size(), opcodes::Pong,
                                     limits::controlFrameMaxSize, WriteQueue::Kind::Message, false,
                                     false);
                return true;
            case opcodes::Pong:
                Log::debug("Received pong");
                invokeHandler([this, &frame] { derived().session().onPongHandler(frame.payload); });
                return true;
            case opcodes::Close:
                Log::info("Client disconnected: ", currentPeerText());
                derived().updateIdentity(
                    [&frame](SessionIdentity& who) { noteCloseFrame(who, frame.payload); });
                if (Writer::closeSent()) {
                    endOrderly();
                } else {
                    // Echo it; once the echo is written the close is complete.
                    Writer::queueMessage(frame.payload.data(), frame.payload.size(), opcodes::Close,
                                         limits::controlFrameMaxSize, WriteQueue::Kind::Message,
                                         false, false);
                    Writer::refuseFurtherSends();
                }
                return false;
            default:
                return deliverDataFrame(frame, compressed);
        }
    }

    void noteReceived() { Liveness::noteReceived(); }

    // Everything received has been read. Storage kept for large messages goes if nothing more
    // comes for a while; a connection that keeps none arms nothing.
    void readerIdle() {
        if (!closed && retainedStorageBytes() > limits::readBufferBytes) {
            Liveness::storageIdle();
        }
    }
    size_t retainedStorageBytes() const {
        return Reader::retainedPayloadBytes() + assembler.retainedBytes() +
               Writer::retainedWriteBytes() + Compression::retainedInflateBytes();
    }
    void releaseIdleStorage() {
        Reader::releasePayloadStorage();
        assembler.releaseStorage();
        Writer::releaseWriteStorage();
        Compression::releaseInflateStorage();
    }
    void recycleStorage(std::vector<uint8_t>&& storage) { Reader::recycle(std::move(storage)); }
    void ownCloseWritten() { Liveness::startClosingDeadline(); }
    void drained() {
        invokeHandler([this] { derived().session().onDrainHandler(); });
    }
    void sendKeepalivePing() {
        Writer::queueMessage(nullptr, 0, opcodes::Ping, 0, WriteQueue::Kind::Message, false, false);
    }

    // A deadline passed: the one failure of this connection, or the end of one already
    // reported that was waiting for its Close to go out.
    void livenessExpired(const char* text) { failConnection(asio::error::timed_out, text); }

    // A host's send would have passed the buffer limit: fail once, attempt Close 1008 (only
    // when no write is stuck ahead of it), then close.
    void sendBufferFull() {
        if (reported || closed) {
            return;
        }
        reported = true;
        const std::error_code ec = asio::error::no_buffer_space;
        Log::error("Error: Send buffer full - ", ec.message());
        invokeHandler([this] { derived().session().onErrorHandler(errorTexts::sendBufferFull); });
        if (!Writer::acceptingSends() || Writer::writing()) {
            close();
            return;
        }
        Writer::discardPending();
        queueFailureClose(limits::closeStatusPolicyViolation);
    }

    void writeFailed(const std::error_code& ec) { failConnection(ec, errorTexts::sendError); }

    // ---- Failure and close ----------------------------------------------------------------

    // The engine's one failure path: error line, the host's onErrorHandler(context), close().
    // A connection reports how it ended once: a read or write that close() abandons, or a
    // failure after one already reported, only closes.
    void failConnection(const std::error_code& ec, const std::string& context) {
        if (closed) {
            return;
        }
        if (!reported) {
            reported = true;
            Log::error("Error: ", context + " - " + ec.message());
            invokeHandler([this, &context] { derived().session().onErrorHandler(context); });
        }
        close();
    }

    // Shuts the socket down and closes it; never throws. Frames not yet handed to the stream
    // are dropped. Harmless when repeated.
    void close() {
        closed = true;
        Liveness::stopLiveness();
        Writer::stopSending();
        asio::ip::tcp::socket& socket = derived().tcpSocket();
        std::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        if (socket.is_open()) {
            std::error_code ec;
            socket.close(ec);
            if (ec) {
                Log::error(errorTexts::closeError, ec.message());
            }
        }
        derived().connectionClosed();
    }

    // The closing handshake is complete.
    void endOrderly() {
        reported = true;
        invokeHandler([this] { derived().session().onCloseHandler(); });
        close();
    }

    // The peer as shown in log lines, kept for when the socket can no longer tell.
    void rememberPeer(std::string text) { peerText = std::move(text); }

    // Runs a host handler, unless the host has let go of the connection; an exception it
    // throws is logged, never let into the loop.
    template <class Call>
    void invokeHandler(Call&& call) noexcept {
        const HostGate::Entry entry = derived().enterHost();
        if (!entry) {
            return;
        }
        try {
            call();
        } catch (const std::exception& e) {
            Log::error(errorTexts::handlerException, e.what());
        } catch (...) {
            Log::error(errorTexts::handlerException, "unknown");
        }
    }

private:
    Derived& derived() { return static_cast<Derived&>(*this); }

    bool deliverDataFrame(WebSocketFrame& frame, bool compressed) {
        if (!inflateFrame(frame, compressed)) {
            return false;
        }
        if (strictRules && !passesStrictly(strictRules->data(frame.payload.data(),
                                                             frame.payload.size(), frame.fin))) {
            return false;
        }
        const std::string_view payload(reinterpret_cast<const char*>(frame.payload.data()),
                                       frame.payload.size());
        if (payload.size() <= limits::loggedPayloadBytes) {
            Log::debug("Received message: ", payload);
        } else if (Log::on(LogLevel::debug)) {
            Log::debug("Received message: ",
                       std::string(payload.substr(0, limits::loggedPayloadBytes)) + "... (" +
                           std::to_string(payload.size()) + " bytes)");
        }
        switch (assembler.add(frame)) {
            case MessageAssembler::Outcome::Partial:
                return true;
            case MessageAssembler::Outcome::Unexpected:
                failPeer(limits::closeStatusProtocolError, errorTexts::unexpectedFrame,
                         std::make_error_code(std::errc::protocol_error));
                return false;
            case MessageAssembler::Outcome::Complete:
                invokeHandler([this] {
                    WebSocketSession& session = derived().session();
                    if (session.onOwnedMessageHandler.isSet()) {
                        session.onOwnedMessageHandler(std::move(assembler.message()),
                                                      assembler.isText());
                    } else {
                        session.onMessageHandler(assembler.message(), assembler.isText());
                    }
                });
                assembler.finish();
                return true;
        }
        return true;
    }

    // Strict mode: the frame's header, and a Close frame's payload, as RFC 6455 has them.
    bool admittedStrictly(const WebSocketFrame& frame) {
        StrictRefusal refusal =
            strictRules->frame(frame.opcode, frame.fin, Reader::frameReservedBits(),
                               Compression::messageDeflate() != nullptr ? compressedBit : 0);
        if (!refusal && frame.opcode == opcodes::Close) {
            refusal = StrictFrameRules::close(frame.payload.data(), frame.payload.size());
        }
        return passesStrictly(refusal);
    }
    // True when nothing was refused; otherwise fails the connection with the refusal's Close.
    bool passesStrictly(const StrictRefusal& refusal) {
        if (refusal) {
            failPeer(refusal.status, refusal.text,
                     std::make_error_code(refusal.status == limits::closeStatusInvalidPayload
                                              ? std::errc::illegal_byte_sequence
                                              : std::errc::protocol_error));
        }
        return !refusal;
    }

    // The inflated message counts against the message limit, and inflating stops as soon as
    // it would pass it.
    bool inflateFrame(WebSocketFrame& frame, bool compressed) {
        const uint64_t most = maxMessageSize.load(std::memory_order_relaxed);
        const uint64_t left = most - std::min<uint64_t>(most, assembler.assembledBytes(frame));
        const MessageDecompressor::Result result = Compression::inflateDataFrame(
            frame, compressed, static_cast<size_t>(std::min<uint64_t>(left, SIZE_MAX)));
        if (result == MessageDecompressor::Result::TooBig) {
            failPeer(limits::closeStatusMessageTooBig, errorTexts::messageTooBig,
                     asio::error::message_size);
        } else if (result == MessageDecompressor::Result::Corrupt) {
            failPeer(limits::closeStatusProtocolError, errorTexts::invalidCompressedData,
                     std::make_error_code(std::errc::protocol_error));
        }
        return result == MessageDecompressor::Result::Ok;
    }

    // The peer broke a bound or a rule: report it and stop reading. What was queued before
    // still goes out, then a Close of `status`, then the connection closes; at once instead
    // when no frame may follow (our Close is queued) or the peer is not reading what we send.
    void failPeer(uint16_t status, const char* text, const std::error_code& ec) {
        if (reported) {
            return;  // ended already: its Close is on its way
        }
        reported = true;
        const bool sendCloseFirst = Writer::acceptingSends() && !peerNotReading();
        if (sendCloseFirst) {
            queueFailureClose(status);
        }
        Log::error("Error: ", std::string(text) + " - " + ec.message());
        invokeHandler([this, text] { derived().session().onErrorHandler(text); });
        if (!sendCloseFirst) {
            close();
        }
    }

    // Our last frame, after everything queued: a Close of `status`, once written the end of
    // a failure reported already. The close timeout, when set, bounds the wait for it.
    void queueFailureClose(uint16_t status) {
        const uint8_t payload[2] = {static_cast<uint8_t>(status >> 8),
                                    static_cast<uint8_t>(status)};
        Writer::queueMessage(payload, sizeof payload, opcodes::Close, limits::controlFrameMaxSize,
                             WriteQueue::Kind::FailureClose, false, false);
        Writer::refuseFurtherSends();
        Liveness::startClosingDeadline();
    }

    // More of our bytes wait unsent than a reading peer would leave (the socket's buffers
    // are full already).
    bool peerNotReading() const {
        return Writer::bufferedAmount() > limits::pingAnswerBacklogBytes;
    }

    // A Ping or Close over 125 bytes would make a conforming peer fail the connection: the
    // host's is not sent (the connection goes on) and the refusal is logged. Any thread.
    static bool controlPayloadFits(size_t size) {
        if (size <= limits::controlPayloadMaxBytes) {
            return true;
        }
        Log::error(errorTexts::controlPayloadRefused, std::to_string(size) + " bytes");
        return false;
    }

    std::string currentPeerText() {
        std::error_code ec;
        const asio::ip::tcp::endpoint endpoint = derived().tcpSocket().remote_endpoint(ec);
        if (!ec) {
            return endpointText(endpoint);
        }
        return peerText.empty() ? std::string("unknown") : peerText;
    }

    MessageAssembler assembler;
    std::optional<StrictFrameRules> strictRules;  // engaged in strict mode
    std::atomic<uint64_t> maxMessageSize{limits::defaultMaxMessageSize};
    bool closed = false;    // close() has run
    bool reported = false;  // the host has heard how it ends (failure or close); only once
    std::string peerText;
};

}  // namespace relaymatrix::extensions::tidewire
