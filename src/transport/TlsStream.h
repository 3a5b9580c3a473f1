#pragma once

#include <openssl/ssl.h>

#include <asio.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream_base.hpp>
#include <cstddef>
#include <memory>
#include <system_error>
#include <utility>

#include "core/Limits.h"
#include "engine/ReceiveLowWater.h"
#include "transport/TlsSocketLink.h"

namespace relaymatrix::extensions::tidewire {

// A TLS session on a TCP socket, for the connection engine and the transports. OpenSSL reads
// and writes the socket's descriptor itself (through a minimal BIO, with MSG_NOSIGNAL), so a
// record is decrypted straight into the caller's buffer and encrypted straight onto the
// socket, and an idle session keeps no buffer at all (see keepBuffers). What the socket does
// not take at once is kept by the stream (TlsSocketLink), and a write completes only once it
// is all on the socket. TLS 1.2 renegotiation is refused in both roles; TLS 1.3 key updates
// are carried.
//
// Loop thread only. One read and one write may be pending at once, or the handshake alone.
// Every operation tries its SSL call first and waits for the socket only when OpenSSL asks
// for it, or when the socket has not taken all a handshake or a write produced. A read never
// waits to write: an answer it must send (an alert, a key update) goes when the socket takes
// it, behind any write of ours.
// Handlers never run inside the initiating call. Closing the socket completes pending
// operations with operation_aborted; a pending operation refers to the stream, so whatever
// keeps the handler's owner alive must keep the stream alive too.
//
// Error codes are the ones asio's ssl::stream reports: a TLS failure is the first error of
// OpenSSL's queue in asio's ssl category, the end of the stream without close_notify is
// stream_truncated and with it eof, and a socket failure is the system error.
class TlsStream {
public:
    using executor_type = asio::ip::tcp::socket::executor_type;
    using next_layer_type = asio::ip::tcp::socket;
    using lowest_layer_type = asio::ip::tcp::socket;

    // Refers to `socket`, which must outlive the stream; `context` gives every setting. Throws
    // std::system_error when OpenSSL cannot make the session.
    TlsStream(asio::ip::tcp::socket& socket, asio::ssl::context& context);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    SSL* native_handle() { return ssl; }
    asio::ip::tcp::socket& next_layer() { return socket; }
    asio::ip::tcp::socket& lowest_layer() { return socket; }
    executor_type get_executor() { return socket.get_executor(); }

    // handler(const std::error_code&)
    template <class Handler>
    void async_handshake(asio::ssl::stream_base::handshake_type type, Handler&& handler) {
        std::error_code ignored;  // a closed socket fails the handshake itself
        socket.native_non_blocking(true, ignored);
        run(
            type == asio::ssl::stream_base::client ? Op::connect : Op::accept, nullptr, 0,
            [handler = std::forward<Handler>(handler)](const std::error_code& ec, size_t) mutable {
                handler(ec);
            },
            true);
    }

    // handler(const std::error_code&, size_t): reads into the first non-empty buffer.
    template <class Buffers, class Handler>
    void async_read_some(const Buffers& buffers, Handler&& handler) {
        const asio::mutable_buffer first = firstNonEmpty<asio::mutable_buffer>(buffers);
        run(Op::read, first.data(), first.size(), std::forward<Handler>(handler), true);
    }

    // handler(const std::error_code&, size_t): writes from the first non-empty buffer, or,
    // when that one is smaller than a record and more follow, one record gathered from them
    // (a frame header then its payload): a reader then gets the header with the payload's
    // start, not in a record of its own.
    template <class Buffers, class Handler>
    void async_write_some(const Buffers& buffers, Handler&& handler) {
        const asio::const_buffer first = firstNonEmpty<asio::const_buffer>(buffers);
        const size_t total = asio::buffer_size(buffers);
        if (first.size() >= limits::tlsRecordBytes || total == first.size()) {
            run(Op::write, const_cast<void*>(first.data()), first.size(),
                std::forward<Handler>(handler), true);
            return;
        }
        if (!gathered) {
            gathered.reset(new uint8_t[limits::tlsRecordBytes]);
        }
        // OpenSSL may ask to be called again with the same bytes: they stay until completion.
        gatherBusy = true;
        const size_t size =
            asio::buffer_copy(asio::buffer(gathered.get(), limits::tlsRecordBytes), buffers);
        run(
            Op::write, gathered.get(), size,
            [this, handler = std::forward<Handler>(handler)](const std::error_code& ec,
                                                             size_t bytes) mutable {
                gatherBusy = false;
                if (!buffersKept) {
                    gathered.reset();
                }
                handler(ec, bytes);
            },
            true);
    }

    // One read without waiting: would_block when nothing can be read yet.
    size_t read_some(const asio::mutable_buffer& buffer, std::error_code& ec);

    // The last read left nothing to read: it emptied the socket, OpenSSL holds none of its
    // bytes, and no failure waits to be reported by the next read.
    bool readDrained() const {
        return link.drained && !laterReadError && SSL_has_pending(ssl) == 0;
    }

    // Completes when a read may make progress (`wait` is wait_read): the socket is readable.
    template <class Handler>
    void async_wait(asio::socket_base::wait_type wait, Handler&& handler) {
        keepBuffers(false);
        lowWater.expect(socket, readOwes, link.incoming.owed());
        socket.async_wait(wait, std::forward<Handler>(handler));
    }

    // The next read waits for `owed` more bytes of plain text, which the peer must still send
    // (0: any byte); never longer than the record in progress lasts.
    void expectBytes(size_t owed) { readOwes = owed; }

    using SocketLink = TlsSocketLink;

private:
    enum class Op { connect, accept, read, write };

    void keepBuffers(bool keep);
    enum class Want { nothing, read, write };

    // One operation: `bytes` moved, or the direction it waits for, or its error in `ec`.
    Want perform(Op op, void* data, size_t size, size_t& bytes, std::error_code& ec);
    // One SSL call, the same way; `bytes` and `ec` are set only by success and failure.
    Want call(Op op, void* data, size_t size, size_t& bytes, std::error_code& ec);
    // Sends what the socket did not take; true once nothing is left, false on would-block or
    // failure (`ec`).
    bool sendUnsent(std::error_code& ec);
    // A read that had to answer the peer leaves its answer to be sent once the socket takes
    // it, whether or not a write of ours is waiting too.
    void sendUnsentLater();

    template <class Handler>
    void run(Op op, void* data, size_t size, Handler&& handler, bool initiating) {
        if (initiating && op == Op::write) {
            writeTaken = notTaken;
        }
        size_t bytes = 0;
        std::error_code ec;
        const Want want = perform(op, data, size, bytes, ec);
        if (want != Want::nothing) {
            // Only a read of application data waits for the mark; a handshake waits for any
            // byte.
            lowWater.expect(socket, op == Op::read ? readOwes : 0, link.incoming.owed());
            socket.async_wait(
                want == Want::read ? asio::socket_base::wait_read : asio::socket_base::wait_write,
                [this, op, data, size,
                 handler = std::forward<Handler>(handler)](const std::error_code& ec) mutable {
                    if (ec) {
                        handler(ec, size_t(0));
                        return;
                    }
                    link.drained = false;
                    run(op, data, size, std::move(handler), false);
                });
            return;
        }
        if (!initiating) {
            handler(ec, bytes);
            return;
        }
        asio::post(socket.get_executor(), [handler = std::forward<Handler>(handler), ec,
                                           bytes]() mutable { handler(ec, bytes); });
    }

    template <class Buffer, class Buffers>
    static Buffer firstNonEmpty(const Buffers& buffers) {
        const auto end = asio::buffer_sequence_end(buffers);
        for (auto it = asio::buffer_sequence_begin(buffers); it != end; ++it) {
            const Buffer buffer(*it);
            if (buffer.size() != 0) {
                return buffer;
            }
        }
        return Buffer();
    }

    asio::ip::tcp::socket& socket;
    SSL* ssl = nullptr;  // owns the BIO, which points at `link`
    SocketLink link;
    std::error_code laterReadError;  // met after bytes that a read returned first
    size_t readOwes = 0;             // plain text the next read waits for
    static constexpr size_t notTaken = SIZE_MAX;
    size_t writeTaken = notTaken;         // plain text the pending write has encrypted
    bool unsentWatched = false;           // a wait to send `link.unsent` is pending
    std::shared_ptr<bool> alive;          // lets that wait find the stream gone
    bool buffersKept = false;             // OpenSSL's record buffers stay between calls
    std::unique_ptr<uint8_t[]> gathered;  // one record's plain text, kept like those buffers
    bool gatherBusy = false;              // a write from `gathered` is under way
    ReceiveLowWater lowWater;
};

}  // namespace relaymatrix::extensions::tidewire
