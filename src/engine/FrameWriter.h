#pragma once

#include <asio.hpp>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/FrameHeader.h"
#include "core/OutgoingFrames.h"
#include "engine/ConnectionLog.h"
#include "engine/WriteQueue.h"
#include "tidewire/WebSocketFrame.h"

namespace relaymatrix::extensions::tidewire {

// The send side of a connection: the opening handshake's text, then messages through the
// write queue, one write in flight. queueMessage may be called on any thread; the rest runs
// on the loop thread.
//
// `Derived` supplies: withStream(f), keepAlive(), executor(), isClosed(),
//   onHandshakeWritten(ec)
//   writeFailed(ec, failureCloseInBatch)   a batch write failed
//   close()                                 the Close sent before a failure is out
//   endOrderly()                            our echo of the peer's Close is out
template <class Derived>
class FrameWriter {
public:
    // Queues one message split into frames of at most `maxFrameSize` payload bytes (0: no
    // limit). Held until the connection is open; dropped once it is ending. A call from
    // another thread encodes its frames there and posts them to the loop. `startsClose`
    // marks our own Close: nothing may follow it.
    void queueMessage(const uint8_t* data, size_t size, uint8_t opcode, size_t maxFrameSize,
                      WriteQueue::Kind kind, bool startsClose) {
        const MessageLayout layout = layoutMessage(size, maxFrameSize, Derived::maskOutgoing);
        if (derived().executor().running_in_this_thread()) {
            if (!acceptingSends()) {
                return;
            }
            encodeMessage(writeQueue.extend(layout.bytes), data, size, opcode, maxFrameSize,
                          Derived::maskOutgoing);
            enqueued(opcode, kind, layout.frames, startsClose);
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
                       writeQueue.append(std::move(bytes));
                       enqueued(opcode, kind, frames, startsClose);
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

    // Frames handed over from now on are dropped; those queued still go out.
    void refuseFurtherSends() { ending = true; }

    // Nothing more will be sent: the connection is closed.
    void stopSending() {
        ending = true;
        writeQueue.dropPending();
    }

    bool acceptingSends() const { return !ending; }  // also false once closed
    bool closeSent() const { return ownCloseQueued; }
    size_t unsentBytes() const { return writeQueue.pendingSize(); }

private:
    using Log = ConnectionLog<Derived>;
    Derived& derived() { return static_cast<Derived&>(*this); }

    void enqueued(uint8_t opcode, WriteQueue::Kind kind, size_t frames, bool startsClose) {
        writeQueue.addEntry(opcode, kind, frames);
        if (startsClose) {
            ownCloseQueued = true;
            ending = true;  // no frame may follow our Close
        }
        startWriteIfReady();
    }

    void startWriteIfReady() {
        if (!opened || derived().isClosed() || writeQueue.writing() || !writeQueue.hasPending()) {
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
            derived().writeFailed(ec, failureClose);
            return;
        }
        for (const WriteQueue::Entry& entry : writeQueue.batch()) {
            const std::string text =
                "Send succeeded - opcode: " + WebSocketFrame::opcodeName(entry.opcode);
            for (size_t i = 0; i < entry.frames; ++i) {
                Log::debug(text);
            }
            if (entry.kind == WriteQueue::Kind::FailureClose) {
                writeQueue.endBatch();
                derived().close();
                return;
            }
            if (entry.opcode == opcodes::Close && !ownCloseQueued) {
                // The echo of the peer's Close is out: the closing handshake is complete.
                writeQueue.endBatch();
                derived().endOrderly();
                return;
            }
        }
        writeQueue.endBatch();
        startWriteIfReady();
    }

    WriteQueue writeQueue;
    std::string handshakeText;    // owned by the handshake write in flight
    bool opened = false;          // handshake done: queued frames may go out
    bool ownCloseQueued = false;  // this side has queued a Close of its own
    bool ending = false;          // a final Close is queued or the socket is closed
};

}  // namespace relaymatrix::extensions::tidewire
