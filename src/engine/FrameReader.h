#pragma once

#include <algorithm>
#include <asio.hpp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

#include "core/ErrorTexts.h"
#include "core/FrameDecoder.h"
#include "core/HandshakeText.h"
#include "core/Limits.h"
#include "engine/ConnectionLog.h"
#include "engine/ReceiveLowWater.h"

namespace relaymatrix::extensions::tidewire {

// The receive side of a connection: a flat receive buffer, the opening handshake's header
// block, then frames decoded in a loop. Loop thread only.
//
// The receive buffer exists only while bytes come: once everything has been read and nothing
// more is there, it is given back, and it is allocated again (uninitialised) when the next
// bytes arrive, so an idle connection holds no buffer: the stream (plain or TLS) is then
// watched for readability. So a stream offers, besides async_read_some, a read_some that never
// waits (would_block when nothing has arrived) and async_wait(wait_read); one other than a
// plain socket also offers expectBytes(owed), the next read's receive low-water mark, and
// readDrained(), true when its last read left nothing to read.
//
// `Derived` supplies: withStream(f), keepAlive(), isClosed(),
//   onHandshakeBlock(ec, block)     the header block, consumed; later bytes stay buffered
//   admitsPayload(frame) -> bool    bounds a frame once its length is known; false ends reading
//   handleFrame(frame) -> bool      a complete frame; false ends reading
//   failConnection(ec, text)        a read failed
//   noteReceived()                  bytes arrived
//   watchesArrivals() -> bool       every arrival counts (keepalive): wake for each
//   readerIdle()                    everything received has been read; about to wait
template <class Derived>
class FrameReader {
public:
    // Reads until the buffer holds a header block ending in "\r\n\r\n". A block longer than
    // the cap fails with message_size.
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
        readMore([this](const std::error_code& ec) {
            if (ec) {
                derived().onHandshakeBlock(ec, std::string());
                return;
            }
            readHandshakeBlock();
        });
    }

    // Decodes and handles every frame the buffer holds, one after the other in this loop (a
    // burst of tiny frames never deepens the stack), and arms one read when more bytes are
    // needed. Returns without a read armed once reading has ended. The answers the frames
    // produce go out together in one write, handed to the stream before the next read is armed
    // (a peer that sends, then closes, still gets them).
    void readFrames() {
        derived().holdWrites();
        const Next next = decodeFrames();
        derived().releaseWrites();
        if (next == Next::readMore) {
            readMoreFrames();
        } else if (next == Next::readInPlace) {
            readPayloadInPlace();
        }
    }

    // The reserved bits of the frame being handled (FrameDecoder::reserved).
    uint8_t frameReservedBits() const { return decoder.reserved(); }

    // Storage kept for large messages, released once the connection has been quiet: the
    // frame payload's, unless a frame is under way, and the spare.
    size_t retainedPayloadBytes() const {
        return decoder.frame().payload.capacity() + spare.capacity();
    }
    void releasePayloadStorage() {
        if (decoder.step() == FrameStep::Header) {
            std::vector<uint8_t>().swap(decoder.frame().payload);
        }
        std::vector<uint8_t>().swap(spare);
    }

    // Message storage the host handed back (a message it took, then sent): later payloads are
    // read into it. Its bytes stay initialised, so reading into them needs no zero-filling.
    void recycle(std::vector<uint8_t>&& storage) {
        if (storage.capacity() > spare.capacity() &&
            storage.capacity() <= limits::retainedMessageBytes) {
            spare = std::move(storage);
        }
    }

private:
    using Log = ConnectionLog<Derived>;

    enum class Next { readMore, readInPlace, stop };

    // The loop of readFrames: what to do once the buffer holds no complete frame any more.
    Next decodeFrames() {
        for (;;) {
            if (derived().isClosed()) {
                // Closed under the reader (a handler's send passed the buffer limit): a read
                // armed now would only fail on the closed stream.
                return Next::stop;
            }
            switch (decoder.step()) {
                case FrameStep::Header:
                    if (available() < 2) {
                        return Next::readMore;
                    }
                    decoder.applyHeader(readData());
                    consume(2);
                    if (Log::on(LogLevel::trace)) {
                        Log::trace("Frame header parsed successfully: ",
                                   decoder.frame().toString());
                    }
                    if (decoder.step() == FrameStep::Payload &&
                        !derived().admitsPayload(decoder.frame())) {
                        return Next::stop;
                    }
                    break;
                case FrameStep::LengthAndKey: {
                    const size_t needed = static_cast<size_t>(decoder.bytesNeeded());
                    if (available() < needed) {
                        return Next::readMore;
                    }
                    decoder.applyLengthAndKey(readData());
                    consume(needed);
                    Log::trace("Frame payload length and/or masking key parsed successfully");
                    if (decoder.step() == FrameStep::Payload &&
                        !derived().admitsPayload(decoder.frame())) {
                        return Next::stop;
                    }
                    break;
                }
                case FrameStep::Payload: {
                    const uint64_t needed = decoder.bytesNeeded();
                    if (payloadFilled == 0) {
                        useSpareStorage(needed);
                    }
                    if (payloadFilled == 0 && available() >= needed) {
                        decoder.applyPayload(readData());
                        consume(static_cast<size_t>(needed));
                        break;
                    }
                    return payloadFilled == 0 && needed <= limits::readBufferBytes
                               ? Next::readMore
                               : Next::readInPlace;
                }
                case FrameStep::Complete: {
                    const bool keepReading = derived().handleFrame(decoder.frame());
                    decoder.reset();
                    if (!keepReading) {
                        return Next::stop;
                    }
                    break;
                }
            }
        }
    }

    Derived& derived() { return static_cast<Derived&>(*this); }

    const uint8_t* readData() const { return readBuffer.get() + readStart; }
    size_t available() const { return readEnd - readStart; }
    void consume(size_t bytes) { readStart += bytes; }

    // One read into the free end of the buffer (moved to its front first); `then(ec)` runs
    // with the new bytes counted in.
    template <class Then>
    void readMore(Then then) {
        if (readStart == readEnd) {
            readStart = readEnd = 0;
        } else if (readStart != 0) {
            std::memmove(readBuffer.get(), readBuffer.get() + readStart, available());
            readEnd -= readStart;
            readStart = 0;
        }
        derived().withStream(
            [this, &then](auto& stream) { this->armRead(stream, std::move(then)); });
    }

    template <class Stream, class Then>
    void armRead(Stream& stream, Then&& then) {
        expectBytes(stream, 0);
        if (readEnd == 0) {
            readWhenIdle(stream, std::move(then));
            return;
        }
        stream.async_read_some(
            asio::buffer(readBuffer.get() + readEnd, limits::readBufferBytes - readEnd),
            [this, then = std::move(then), keep = derived().keepAlive()](const std::error_code& ec,
                                                                         size_t bytes) {
                readEnd += bytes;
                derived().noteReceived();
                then(ec);
            });
    }

    // Nothing buffered: what has arrived (for TLS, what decrypts without waiting) is read at
    // once, as asio's own first attempt would; when nothing has, the buffer goes back and the
    // stream is watched for readability.
    //
    // After a read that left the stream empty, reading again at once pays only when the peer
    // usually has more by then (a lone busy connection); otherwise it finds nothing and costs
    // a system call. So a connection reads again at once only while that keeps finding bytes,
    // and tries it again one time in readAgainRetry once it stopped. The wait misses nothing:
    // asio re-arms the descriptor for each wait, which reports readiness already there.
    template <class Stream, class Then>
    void readWhenIdle(Stream& stream, Then&& then) {
        std::error_code ec;
        if (socketDrained && !readAgainPays && ++readAgainTries % readAgainRetry != 0) {
            waitReadable(stream, std::move(then));
            return;
        }
        const bool found = readNow(stream, ec);
        if (socketDrained) {
            readAgainPays = found;
        }
        if (found) {
            asio::post(
                derived().executor(),
                [then = std::move(then), ec, keep = derived().keepAlive()]() mutable { then(ec); });
            return;
        }
        waitReadable(stream, std::move(then));
    }

    template <class Stream, class Then>
    void waitReadable(Stream& stream, Then&& then) {
        readBuffer.reset();
        derived().readerIdle();
        stream.async_wait(asio::socket_base::wait_read,
                          [this, &stream, then = std::move(then),
                           keep = derived().keepAlive()](std::error_code ec) mutable {
                              if (!ec && !readNow(stream, ec)) {
                                  waitReadable(stream, std::move(then));
                                  return;
                              }
                              // Set only while these bytes are handled.
                              if constexpr (std::is_same_v<Stream, asio::ip::tcp::socket>) {
                                  socketDrained = !ec && readEnd < limits::readBufferBytes;
                              } else {
                                  socketDrained = !ec && stream.readDrained();
                              }
                              then(ec);
                              socketDrained = false;
                          });
    }

    // One non-blocking read into the empty buffer; false when nothing was there to read.
    template <class Stream>
    bool readNow(Stream& stream, std::error_code& ec) {
        if constexpr (std::is_same_v<Stream, asio::ip::tcp::socket>) {
            if (!stream.non_blocking()) {
                stream.non_blocking(true, ec);
            }
        }
        allocateBuffer();
        readEnd = stream.read_some(asio::buffer(readBuffer.get(), limits::readBufferBytes), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            return false;
        }
        derived().noteReceived();
        return true;
    }

    // Uninitialised: only [readStart, readEnd) is ever looked at.
    void allocateBuffer() {
        if (!readBuffer) {
            readBuffer.reset(new uint8_t[limits::readBufferBytes]);
        }
    }

    void readMoreFrames() {
        readMore([this](const std::error_code& ec) {
            if (ec) {
                derived().failConnection(ec, errorTexts::readError);
                return;
            }
            readFrames();
        });
    }

    // A payload larger than the receive buffer is read straight into the frame's storage,
    // which grows with the bytes that have arrived, never ahead to the declared length.
    // Bytes the payload already holds (recycled storage) are read over as they are; the frame
    // is complete only once all `length` have arrived, so none of them is ever delivered.
    void readPayloadInPlace() {
        std::vector<uint8_t>& payload = decoder.frame().payload;
        const size_t length = static_cast<size_t>(decoder.frame().payloadLength);
        if (payloadFilled == 0) {
            const size_t buffered = available();
            const size_t first = std::min(length, buffered + limits::payloadGrowthStepBytes);
            if (payload.size() < first) {
                payload.resize(first);
            }
            if (buffered != 0) {
                std::memcpy(payload.data(), readData(), buffered);
            }
            consume(buffered);
            payloadFilled = buffered;
        }
        if (payloadFilled == std::min(payload.size(), length)) {
            // Capacity kept from earlier messages is used at once: one read can fill it.
            const size_t grown =
                payload.size() + std::max(payload.size(), limits::payloadGrowthStepBytes);
            payload.resize(std::min(length, std::max(grown, payload.capacity())));
        }
        const size_t room = std::min(payload.size(), length);
        derived().withStream([this, &payload, room](auto& stream) {
            // Bytes of a frame that trickles in are then not seen one by one: not with keepalive.
            expectBytes(stream, derived().watchesArrivals() ? 0 : room - payloadFilled);
            stream.async_read_some(
                asio::buffer(payload.data() + payloadFilled, room - payloadFilled),
                [this, keep = derived().keepAlive()](const std::error_code& ec, size_t bytes) {
                    if (ec) {
                        derived().failConnection(ec, errorTexts::readError);
                        return;
                    }
                    payloadFilled += bytes;
                    derived().noteReceived();
                    if (payloadFilled < decoder.frame().payloadLength) {
                        readPayloadInPlace();
                        return;
                    }
                    payloadFilled = 0;
                    decoder.preparePayload();
                    decoder.finishPayload();
                    readFrames();
                });
        });
    }

    // The next read waits for `owed` bytes the peer must still send (see ReceiveLowWater);
    // another stream (TLS) knows what it holds already.
    template <class Stream>
    void expectBytes(Stream& stream, size_t owed) {
        if constexpr (std::is_same_v<Stream, asio::ip::tcp::socket>) {
            lowWater.expect(stream, owed);
        } else {
            stream.expectBytes(owed);
        }
    }

    // A payload about to be read with less capacity than the spare swaps it in.
    void useSpareStorage(uint64_t needed) {
        std::vector<uint8_t>& payload = decoder.frame().payload;
        if (payload.capacity() < needed && spare.capacity() > payload.capacity()) {
            payload.swap(spare);
        }
    }

    // readBufferBytes while allocated; unconsumed bytes are [readStart, readEnd).
    std::unique_ptr<uint8_t[]> readBuffer;
    size_t readStart = 0;
    size_t readEnd = 0;
    size_t handshakeScanned = 0;  // buffered header bytes already searched for the end
    FrameDecoder decoder;
    size_t payloadFilled = 0;    // bytes of an in-place payload read so far; 0 otherwise
    ReceiveLowWater lowWater;    // a plain socket's
    std::vector<uint8_t> spare;  // recycled message storage, initialised bytes and all
    bool socketDrained = false;  // the read being handled emptied the socket (see readWhenIdle)
    bool readAgainPays = true;   // the last read made at once after such a read found bytes
    unsigned readAgainTries = 0;
    static constexpr unsigned readAgainRetry = 8;
};

}  // namespace relaymatrix::extensions::tidewire
