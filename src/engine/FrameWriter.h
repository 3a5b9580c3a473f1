#pragma once

#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/FrameHeader.h"
#include "core/Limits.h"
#include "core/MessageDeflate.h"
#include "core/OutgoingFrames.h"
#include "engine/ConnectionLog.h"
#include "engine/WriteQueue.h"
#include "tidewire/WebSocketFrame.h"

namespace relaymatrix::extensions::tidewire {

// The send side of a connection: the opening handshake's text, then messages through the
// write queue, one write in flight. queueMessage may be called on any thread; the rest runs
// on the loop thread.
//
// Every byte handed over counts in bufferedAmount() until it is written or dropped; with a
// limit configured, a host's send that would pass it is refused.
//
// `Derived` supplies: withStream(f), keepAlive(), executor(), isClosed(),
//   onHandshakeWritten(ec)
//   writeFailed(ec)                         a batch write failed
//   close()                                 the Close sent before a failure is out
//   endOrderly()                            our echo of the peer's Close is out
//   ownCloseWritten()                       our own Close is out
//   sendBufferFull()                        a host's send was refused (loop thread)
//   drained()                               bufferedAmount() fell to zero past the mark
//   messageDeflate() -> MessageDeflate*     the agreed compression, or null (loop thread)
// asio's transfer_all hands a stream at most 64 KiB per write; a large message goes out in
// as few system calls as the socket takes.
struct TransferWhole {
    size_t operator()(const std::error_code& ec, size_t) const { return ec ? 0 : SIZE_MAX; }
};

template <class Derived>
class FrameWriter {
public:
    // Queues one message split into frames of at most `maxFrameSize` payload bytes (0: no
    // limit). Held until the connection is open; dropped once it is ending. A call from
    // another thread encodes its frames there and posts them to the loop. `startsClose`
    // marks our own Close: nothing may follow it. `fromHost` sends obey the buffer limit.
    void queueMessage(const uint8_t* data, size_t size, uint8_t opcode, size_t maxFrameSize,
                      WriteQueue::Kind kind, bool startsClose, bool fromHost) {
        const MessageLayout layout = layoutMessage(size, maxFrameSize, Derived::maskOutgoing);
        const bool onLoop = derived().executor().running_in_this_thread();
        if ((fromHost && droppedLate(size)) || (onLoop && !acceptingSends())) {
            return;
        }
        if (!countIn(layout.bytes, fromHost, onLoop)) {
            return;
        }
        if (onLoop) {
            encodeMessage(writeQueue.extend(layout.bytes), data, size, opcode, maxFrameSize,
                          Derived::maskOutgoing);
            enqueued(opcode, kind, layout.frames, startsClose);
            return;
        }
        ByteBuffer bytes(layout.bytes);
        encodeMessage(bytes.data(), data, size, opcode, maxFrameSize, Derived::maskOutgoing);
        asio::post(derived().executor(),
                   [this, keep = derived().keepAlive(), bytes = std::move(bytes), opcode, kind,
                    frames = layout.frames, startsClose, fromHost, payloadSize = size]() mutable {
                       if (!acceptingSends()) {
                           buffered -= bytes.size();
                           if (fromHost) {
                               droppedLate(payloadSize);
                           }
                           return;
                       }
                       writeQueue.append(std::move(bytes));
                       enqueued(opcode, kind, frames, startsClose);
                   });
    }

    // A host's Text or Binary message that may go out compressed. Whether it is, and the
    // compression itself, happen on the loop in queue order: with context takeover each
    // message is compressed against the ones sent before it. Counted in bufferedAmount() at
    // its plain size until it is compressed.
    void queueCompressible(const uint8_t* data, size_t size, uint8_t opcode, size_t maxFrameSize) {
        const size_t plainBytes = layoutMessage(size, maxFrameSize, Derived::maskOutgoing).bytes;
        const bool onLoop = derived().executor().running_in_this_thread();
        if (droppedLate(size)) {
            return;
        }
        if (!countIn(plainBytes, true, onLoop)) {
            return;
        }
        if (onLoop) {
            compressAndQueue(data, size, opcode, maxFrameSize, plainBytes);
            return;
        }
        asio::post(derived().executor(), [this, keep = derived().keepAlive(),
                                          copy = std::vector<uint8_t>(data, data + size), opcode,
                                          maxFrameSize, plainBytes] {
            if (!acceptingSends()) {
                buffered -= plainBytes;
                droppedLate(copy.size());
                return;
            }
            compressAndQueue(copy.data(), copy.size(), opcode, maxFrameSize, plainBytes);
        });
    }

    // A host's message handed over to keep: like queueMessage from the host, without copying
    // a large payload (a client masks it in place); its storage comes back through
    // derived().recycleStorage() once written, or at once when it was copied.
    void queueOwned(std::vector<uint8_t>&& data, uint8_t opcode, size_t maxFrameSize) {
        const MessageLayout layout =
            layoutMessage(data.size(), maxFrameSize, Derived::maskOutgoing);
        const bool onLoop = derived().executor().running_in_this_thread();
        if (droppedLate(data.size()) || !countIn(layout.bytes, true, onLoop)) {
            return;
        }
        if (onLoop) {
            appendOwned(std::move(data), opcode, maxFrameSize, layout);
            return;
        }
        asio::post(derived().executor(),
                   [this, keep = derived().keepAlive(), data = std::move(data), opcode,
                    maxFrameSize, layout]() mutable {
                       if (!acceptingSends()) {
                           buffered -= layout.bytes;
                           droppedLate(data.size());
                           return;
                       }
                       appendOwned(std::move(data), opcode, maxFrameSize, layout);
                   });
    }

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

    // The connection is open: what was queued meanwhile goes out now.
    void startSending() {
        opened = true;
        startWriteIfReady();
    }

    // While the reader handles what one read brought, the answers wait, so that they leave in
    // one write (one system call, one TLS record) rather than the first alone and then the rest.
    void holdWrites() { held = true; }
    void releaseWrites() {
        held = false;
        startWriteIfReady();
    }

    // Frames handed over from now on are dropped; those queued still go out.
    void refuseFurtherSends() {
        ending = true;
        endingSeen.store(true, std::memory_order_release);
    }

    // Any thread: the host's sends from now on are dropped (the host has let go).
    void refuseHostSends() { endingSeen.store(true, std::memory_order_release); }

    // Nothing more will be sent: the connection is closed.
    void stopSending() {
        refuseFurtherSends();
        discardPending();
    }

    // Forgets what is queued and not yet handed to the stream.
    void discardPending() {
        buffered -= writeQueue.pendingSize();
        writeQueue.dropPending();
    }

    size_t retainedWriteBytes() const { return writeQueue.retainedBytes() + compressed.capacity(); }
    void releaseWriteStorage() {
        writeQueue.releaseStorage();
        std::vector<uint8_t>().swap(compressed);
    }

    bool acceptingSends() const { return !ending; }  // also false once closed
    bool closeSent() const { return ownCloseQueued; }
    bool writing() const { return writeQueue.writing(); }
    size_t bufferedAmount() const { return buffered.load(std::memory_order_relaxed); }

    void configureSendBuffer(size_t limit, size_t lowWaterMark) {
        maxBuffered = limit;
        drainMark = lowWaterMark;
    }

private:
    using Log = ConnectionLog<Derived>;
    Derived& derived() { return static_cast<Derived&>(*this); }

    // A host's message once the connection is ending goes nowhere, and its loop may have
    // run out of work already: the caller's thread says so, or the loop for a message that
    // was on its way. True when dropped.
    bool droppedLate(size_t size) {
        if (!endingSeen.load(std::memory_order_acquire)) {
            return false;
        }
        if (Log::on(LogLevel::debug)) {
            Log::debug("Send after close dropped: ", std::to_string(size) + " bytes");
        }
        return true;
    }

    // Counts `bytes` in bufferedAmount(); false (and the send refused) when a host's send
    // would pass the limit.
    bool countIn(size_t bytes, bool fromHost, bool onLoop) {
        if (fromHost && maxBuffered != 0) {
            if (buffered.fetch_add(bytes) + bytes > maxBuffered) {
                buffered -= bytes;
                refuse(onLoop);
                return false;
            }
            return true;
        }
        buffered += bytes;
        return true;
    }

    // Loop thread. One large frame goes out from the payload's own storage; anything else is
    // cheaper to copy, and the storage goes back at once.
    void appendOwned(std::vector<uint8_t>&& data, uint8_t opcode, size_t maxFrameSize,
                     const MessageLayout& layout) {
        if (layout.frames == 1 && data.size() >= limits::attachedPayloadMinBytes) {
            const size_t headerBytes = layout.bytes - data.size();
            encodeDetachedFrame(writeQueue.extend(headerBytes), opcode, data.data(), data.size(),
                                Derived::maskOutgoing);
            writeQueue.attach(std::move(data));
        } else {
            encodeMessage(writeQueue.extend(layout.bytes), data.data(), data.size(), opcode,
                          maxFrameSize, Derived::maskOutgoing);
            derived().recycleStorage(std::move(data));
        }
        enqueued(opcode, WriteQueue::Kind::Message, layout.frames, false);
    }

    // A host's send past the limit: reported once, on the loop.
    void refuse(bool onLoop) {
        if (onLoop) {
            derived().sendBufferFull();
            return;
        }
        asio::post(derived().executor(),
                   [this, keep = derived().keepAlive()] { derived().sendBufferFull(); });
    }

    // Loop thread. Without an agreed compressor (none negotiated, or not open yet) the
    // message goes out as it is.
    void compressAndQueue(const uint8_t* data, size_t size, uint8_t opcode, size_t maxFrameSize,
                          size_t plainBytes) {
        MessageDeflate* deflate = derived().messageDeflate();
        if (deflate == nullptr) {
            const MessageLayout layout = layoutMessage(size, maxFrameSize, Derived::maskOutgoing);
            encodeMessage(writeQueue.extend(layout.bytes), data, size, opcode, maxFrameSize,
                          Derived::maskOutgoing);
            enqueued(opcode, WriteQueue::Kind::Message, layout.frames, false);
            return;
        }
        deflate->compressor.compress(data, size, compressed);
        const MessageLayout layout =
            layoutMessage(compressed.size(), maxFrameSize, Derived::maskOutgoing);
        buffered += layout.bytes;
        buffered -= plainBytes;
        uint8_t* frames = writeQueue.extend(layout.bytes);
        encodeMessage(frames, compressed.data(), compressed.size(), opcode, maxFrameSize,
                      Derived::maskOutgoing);
        frames[0] |= compressedBit;  // the first frame only (RFC 7692, 6)
        if (compressed.capacity() > limits::retainedCompressedBytes) {
            std::vector<uint8_t>().swap(compressed);
        }
        enqueued(opcode, WriteQueue::Kind::Message, layout.frames, false);
    }

    void enqueued(uint8_t opcode, WriteQueue::Kind kind, size_t frames, bool startsClose) {
        writeQueue.addEntry(opcode, kind, frames);
        drainPending = drainPending || (drainMark != 0 && bufferedAmount() > drainMark);
        if (startsClose) {
            ownCloseQueued = true;
            refuseFurtherSends();  // no frame may follow our Close
        }
        startWriteIfReady();
    }

    void startWriteIfReady() {
        if (held || !opened || derived().isClosed() || writeQueue.writing() ||
            !writeQueue.hasPending()) {
            return;
        }
        writeQueue.beginBatch(batchBuffers);
        inFlightBytes = asio::buffer_size(batchBuffers);
        derived().withStream([this](auto& stream) {
            auto done = [this, keep = derived().keepAlive()](const std::error_code& ec, size_t) {
                onWritten(ec);
            };
            if (batchBuffers.size() == 1) {
                asio::async_write(stream, asio::buffer(batchBuffers.front()), TransferWhole(),
                                  std::move(done));
            } else {
                asio::async_write(stream, batchBuffers, TransferWhole(), std::move(done));
            }
        });
    }

    void finishBatch() {
        writeQueue.endBatch();
        std::vector<uint8_t> spent = writeQueue.takeSpent();
        if (spent.capacity() != 0) {
            derived().recycleStorage(std::move(spent));
        }
    }

    void onWritten(const std::error_code& ec) {
        buffered -= inFlightBytes;
        inFlightBytes = 0;
        if (ec) {
            finishBatch();
            derived().writeFailed(ec);
            return;
        }
        for (const WriteQueue::Entry& entry : writeQueue.batch()) {
            if (Log::on(LogLevel::debug)) {
                const std::string text =
                    "Send succeeded - opcode: " + WebSocketFrame::opcodeName(entry.opcode);
                for (size_t i = 0; i < entry.frames; ++i) {
                    Log::debug(text);
                }
            }
            if (entry.kind == WriteQueue::Kind::FailureClose) {
                finishBatch();
                derived().close();
                return;
            }
            if (entry.opcode == opcodes::Close && !ownCloseQueued) {
                // The echo of the peer's Close is out: the closing handshake is complete.
                finishBatch();
                derived().endOrderly();
                return;
            }
            if (entry.opcode == opcodes::Close) {
                derived().ownCloseWritten();
            }
        }
        finishBatch();
        if (drainPending && bufferedAmount() == 0) {
            drainPending = false;
            derived().drained();
        }
        startWriteIfReady();
    }

    WriteQueue writeQueue;
    std::vector<asio::const_buffer> batchBuffers;  // the write in flight's, in order
    std::vector<uint8_t> compressed;               // reused output of the message compressor
    std::string handshakeText;                     // owned by the handshake write in flight
    bool opened = false;                           // handshake done: queued frames may go out
    bool ownCloseQueued = false;                   // this side has queued a Close of its own
    bool ending = false;                  // a final Close is queued or the socket is closed
    std::atomic<bool> endingSeen{false};  // `ending`, for the host's threads
    std::atomic<size_t> buffered{0};      // handed over, not yet written or dropped
    size_t inFlightBytes = 0;             // of the write in flight
    size_t maxBuffered = 0;               // host sends past this are refused; 0: no limit
    size_t drainMark = 0;                 // drained() once empty after passing this; 0: never
    bool drainPending = false;
    bool held = false;  // the reader is handling frames: writes start when it is done
};

}  // namespace relaymatrix::extensions::tidewire
