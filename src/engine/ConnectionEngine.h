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
#include "core/MessageDeflate.h"
#include "core/StrictFrameRules.h"
#include "engine/ConnectionLog.h"
#include "engine/FrameReader.h"
#include "engine/FrameWriter.h"
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
//
// Threads: sendMessage, sendClose and setMaxMessageSize may be called on any thread.
// Everything else runs on the loop thread only, which is the only thread touching the state.
template <class Derived>
class ConnectionEngine : public FrameReader<Derived>,
                         public FrameWriter<Derived>,
                         public LivenessTimer<Derived> {
public:
    using Reader = FrameReader<Derived>;
    using Writer = FrameWriter<Derived>;
    using Liveness = LivenessTimer<Derived>;
    using Log = ConnectionLog<Derived>;

    // The host's send, ping or close(payload); see FrameWriter::queueMessage.
    void sendMessage(const std::vector<uint8_t>& data, uint8_t opcode, size_t maxFrameSize) {
        if (compression.enabled && (opcode == opcodes::Text || opcode == opcodes::Binary) &&
            data.size() >= compression.minimumMessageBytes) {
            Writer::queueCompressible(data.data(), data.size(), opcode, maxFrameSize);
            return;
        }
        Writer::queueMessage(data.data(), data.size(), opcode, maxFrameSize,
                             WriteQueue::Kind::Message, false, true);
    }

    // The same with a message handed over to keep (see FrameWriter::queueOwned).
    void sendMessage(std::vector<uint8_t>&& data, uint8_t opcode, size_t maxFrameSize) {
        if (compression.enabled && data.size() >= compression.minimumMessageBytes) {
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
        compression = options.compression;
        if (options.strict) {
            strictRules.emplace();
        }
    }

    // ---- Compression, agreed in the opening handshake (loop thread) -----------------------

    // Client: the Sec-WebSocket-Extensions value to offer; empty when compression is off.
    std::string compressionOffer() const {
        return compression.enabled ? buildDeflateOffer(compression) : std::string();
    }

    // Client: the server's answer (every Sec-WebSocket-Extensions value). Off, it is not
    // looked at, as without compression at all.
    DeflateAgreement acceptCompression(const std::vector<std::string>& answers) {
        DeflateAgreement agreement;
        if (compression.enabled) {
            agreement = checkDeflateResponse(answers, compression);
            startCompression(agreement);
        }
        return agreement;
    }

    // Server: the answer to the client's offers; empty when none is agreed.
    std::string answerCompression(const std::vector<std::string>& offers) {
        if (!compression.enabled) {
            return std::string();
        }
        const DeflateAgreement agreement = answerDeflateOffers(offers, compression);
        startCompression(agreement);
        return agreement.header;
    }

    MessageDeflate* messageDeflate() { return deflate.get(); }

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
        // With compression enabled RSV1 means a compressed message, so it is allowed only on
        // the first frame of a data message once agreed; disabled, reserved bits are ignored.
        const bool compressed = (Reader::frameReservedBits() & compressedBit) != 0;
        if (compressed && compression.enabled &&
            (!deflate || (frame.opcode != opcodes::Text && frame.opcode != opcodes::Binary))) {
            failPeer(limits::closeStatusProtocolError, errorTexts::unexpectedReservedBit,
                     std::make_error_code(std::errc::protocol_error));
            return false;
        }
        if (strictRules && !admittedStrictly(frame)) {
            return false;
        }
        switch (frame.opcode) {
            case opcodes::Ping:
                if (Writer::bufferedAmount() > limits::pingAnswerBacklogBytes) {
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
               Writer::retainedWriteBytes() + inflated.capacity();
    }
    void releaseIdleStorage() {
        Reader::releasePayloadStorage();
        assembler.releaseStorage();
        Writer::releaseWriteStorage();
        std::vector<uint8_t>().swap(inflated);
    }
    void recycleStorage(std::vector<uint8_t>&& storage) { Reader::recycle(std::move(storage)); }
    void ownCloseWritten() { Liveness::startClosingDeadline(); }
    void drained() {
        invokeHandler([this] { derived().session().onDrainHandler(); });
    }
    void sendKeepalivePing() {
        Writer::queueMessage(nullptr, 0, opcodes::Ping, 0, WriteQueue::Kind::Message, false, false);
    }

    // A deadline passed: the one failure of this connection.
    void livenessExpired(const char* text) {
        failConnection(asio::error::timed_out, text);
        failureFinal = true;
    }

    // A host's send would have passed the buffer limit: fail once, attempt Close 1008 (only
    // when no write is stuck ahead of it), then close.
    void sendBufferFull() {
        if (failureFinal || closed) {
            return;
        }
        failureFinal = true;
        const std::error_code ec = asio::error::no_buffer_space;
        Log::error("Error: Send buffer full - ", ec.message());
        invokeHandler([this] { derived().session().onErrorHandler(errorTexts::sendBufferFull); });
        if (!Writer::acceptingSends() || Writer::writing()) {
            close();
            return;
        }
        Writer::discardPending();
        const uint8_t status[2] = {static_cast<uint8_t>(limits::closeStatusPolicyViolation >> 8),
                                   static_cast<uint8_t>(limits::closeStatusPolicyViolation)};
        Writer::queueMessage(status, sizeof status, opcodes::Close, limits::controlFrameMaxSize,
                             WriteQueue::Kind::FailureClose, false, false);
        Writer::refuseFurtherSends();
    }

    void writeFailed(const std::error_code& ec, bool failureCloseInBatch) {
        if (closeReported) {
            return;  // the connection already ended in order; nobody waits for this
        }
        if (failureCloseInBatch) {
            close();  // the failure has been reported already
            return;
        }
        failConnection(ec, errorTexts::sendError);
    }

    // ---- Failure and close ----------------------------------------------------------------

    // The engine's one failure path: error line, the host's onErrorHandler(context), close().
    void failConnection(const std::error_code& ec, const std::string& context) {
        if (failureFinal) {
            return;  // a timeout or the buffer limit has ended it already
        }
        Log::error("Error: ", context + " - " + ec.message());
        invokeHandler([this, &context] { derived().session().onErrorHandler(context); });
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
        closeReported = true;
        invokeHandler([this] { derived().session().onCloseHandler(); });
        close();
    }

    // The peer as shown in log lines, kept for when the socket can no longer tell.
    void rememberPeer(std::string text) { peerText = std::move(text); }

    // Runs a host handler; an exception it throws is logged, never let into the loop.
    template <class Call>
    void invokeHandler(Call&& call) noexcept {
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
        if (deflate) {
            if (frame.opcode != opcodes::Continuation) {
                inflating = compressed;
            }
            const bool inflate = inflating;
            inflating = inflating && !frame.fin;
            if (inflate && !inflateFrame(frame)) {
                return false;
            }
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
                invokeHandler(
                    [this] { derived().session().onErrorHandler(errorTexts::unexpectedFrame); });
                close();
                return true;
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
        StrictRefusal refusal = strictRules->frame(
            frame.opcode, frame.fin, Reader::frameReservedBits(), deflate ? compressedBit : 0);
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

    // Replaces a frame's payload of a compressed message by what it inflates to; the last
    // frame also inflates the restored tail. The inflated message counts against the message
    // limit, and inflating stops as soon as it would pass it.
    bool inflateFrame(WebSocketFrame& frame) {
        const uint64_t most = maxMessageSize.load(std::memory_order_relaxed);
        const uint64_t left = most - std::min<uint64_t>(most, assembler.assembledBytes(frame));
        const size_t bound = static_cast<size_t>(std::min<uint64_t>(left, SIZE_MAX));
        inflated.clear();
        MessageDecompressor& decompressor = deflate->decompressor;
        MessageDecompressor::Result result =
            decompressor.add(frame.payload.data(), frame.payload.size(), inflated, bound);
        if (result == MessageDecompressor::Result::Ok && frame.fin) {
            result = decompressor.finish(inflated, bound);
        }
        if (result == MessageDecompressor::Result::TooBig) {
            failPeer(limits::closeStatusMessageTooBig, errorTexts::messageTooBig,
                     asio::error::message_size);
            return false;
        }
        if (result == MessageDecompressor::Result::Corrupt) {
            failPeer(limits::closeStatusProtocolError, errorTexts::invalidCompressedData,
                     std::make_error_code(std::errc::protocol_error));
            return false;
        }
        frame.payload.swap(inflated);
        if (inflated.capacity() > FrameDecoder::retainedPayloadCapacity) {
            std::vector<uint8_t>().swap(inflated);
        }
        return true;
    }

    void startCompression(const DeflateAgreement& agreement) {
        if (agreement.agreed) {
            deflate =
                std::make_unique<MessageDeflate>(agreement.parameters, !Derived::maskOutgoing);
        }
    }

    // The peer broke a bound or a rule: report it, tell the peer with a Close of `status`
    // where the connection still allows a frame, and close once that frame is out.
    void failPeer(uint16_t status, const char* text, const std::error_code& ec) {
        const bool sendCloseFirst = Writer::acceptingSends();  // false once our Close is queued
        if (sendCloseFirst) {
            const uint8_t payload[2] = {static_cast<uint8_t>(status >> 8),
                                        static_cast<uint8_t>(status)};
            Writer::queueMessage(payload, sizeof payload, opcodes::Close,
                                 limits::controlFrameMaxSize, WriteQueue::Kind::FailureClose, false,
                                 false);
            Writer::refuseFurtherSends();
        }
        Log::error("Error: ", std::string(text) + " - " + ec.message());
        invokeHandler([this, text] { derived().session().onErrorHandler(text); });
        if (!sendCloseFirst) {
            close();
        }
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
    CompressionOptions compression;               // configured before the connection starts
    std::optional<StrictFrameRules> strictRules;  // engaged in strict mode
    std::unique_ptr<MessageDeflate> deflate;      // agreed in the handshake; null: uncompressed
    bool inflating = false;                       // the message being received is compressed
    std::vector<uint8_t> inflated;                // reused output of the decompressor
    std::atomic<uint64_t> maxMessageSize{limits::defaultMaxMessageSize};
    bool closed = false;         // close() has run
    bool closeReported = false;  // onCloseHandler has run; later failures are not reported
    bool failureFinal = false;  // a timeout or the buffer limit failed it; nothing more is reported
    std::string peerText;
};

}  // namespace relaymatrix::extensions::tidewire
