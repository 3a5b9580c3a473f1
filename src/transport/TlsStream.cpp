#include "transport/TlsStream.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/ssl/error.hpp>
#include <cerrno>
#include <climits>

namespace relaymatrix::extensions::tidewire {

namespace {

using Link = TlsStream::SocketLink;

// The descriptor is looked up on every call: once the socket is closed it is -1 (EBADF), never
// a number the system may have given to another connection since. Once a receive has emptied
// the socket, it is not asked again until it has been reported readable or a read without
// waiting asks for it: that would most likely find nothing, and a wait misses nothing (asio
// re-arms the descriptor for each one, which reports readiness already there).
int socketRead(BIO* bio, char* data, int size) {
    Link& link = *static_cast<Link*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    if (link.drained) {
        BIO_set_retry_read(bio);
        return -1;
    }
    ssize_t n;
    do {
        n = ::recv(link.socket->native_handle(), data, static_cast<size_t>(size), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    link.drained = n < size;
    if (n > 0) {
        link.incoming.consume(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(n));
        return static_cast<int>(n);
    }
    if (n == 0) {
        link.eof = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        BIO_set_retry_read(bio);
    } else {
        link.error = errno;
    }
    return n == 0 ? 0 : -1;
}

// MSG_NOSIGNAL: a peer that reset the connection must not raise SIGPIPE in the host. Every
// byte is taken: what the socket refuses waits in `link.unsent`, behind which anything
// written later queues, so OpenSSL never sees a write half done.
int socketWrite(BIO* bio, const char* data, int size) {
    Link& link = *static_cast<Link*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const size_t length = static_cast<size_t>(size);
    size_t sent = 0;
    if (link.unsent.empty() && !link.batching) {
        ssize_t n;
        do {
            n = ::send(link.socket->native_handle(), data, length, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            link.error = errno;
            return -1;
        }
        sent = n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (sent < length) {
        if (link.unsent.size() + (length - sent) > limits::tlsUnsentBytes) {
            link.error = ENOBUFS;
            return -1;
        }
        link.unsent.append(reinterpret_cast<const uint8_t*>(data) + sent, length - sent);
    }
    return size;
}

// Nothing is buffered in the BIO, so a flush has nothing to do; other controls are unsupported.
long socketControl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int socketCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once, kept for the life of the process, shared by every session.
BIO_METHOD* socketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tidewire socket");
        if (made != nullptr) {
            BIO_meth_set_read(made, socketRead);
            BIO_meth_set_write(made, socketWrite);
            BIO_meth_set_ctrl(made, socketControl);
            BIO_meth_set_create(made, socketCreate);
        }
        return made;
    }();
    return method;
}

}  // namespace

TlsStream::TlsStream(asio::ip::tcp::socket& socket, asio::ssl::context& context) : socket(socket) {
    link.socket = &socket;
    BIO_METHOD* method = socketMethod();
    ssl = method != nullptr ? SSL_new(context.native_handle()) : nullptr;
    BIO* bio = ssl != nullptr ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        const std::error_code ec(static_cast<int>(ERR_get_error()),
                                 asio::error::get_ssl_category());
        SSL_free(ssl);
        throw std::system_error(ec, "TlsStream");
    }
    BIO_set_data(bio, &link);
    SSL_set_bio(ssl, bio, bio);
    // AUTO_RETRY: a read goes on past records that carry no data (a key update, a session
    // ticket), so waiting for the socket happens only once it has nothing more to give.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                          SSL_MODE_RELEASE_BUFFERS | SSL_MODE_AUTO_RETRY);
    // A TLS 1.2 renegotiation would run a handshake inside reads and writes that are each
    // other's business here; it is refused with a warning alert, and a peer that insists ends
    // the connection itself. (TLS 1.3 key updates need no handshake and are carried.)
    SSL_set_options(ssl, SSL_OP_NO_RENEGOTIATION);
    // One recv takes whatever has arrived, not a record's header and then its body.
    SSL_set_read_ahead(ssl, 1);
    SSL_set_default_read_buffer_len(ssl, limits::tlsBatchBytes);
}

TlsStream::~TlsStream() {
    SSL_free(ssl);
}

size_t TlsStream::read_some(const asio::mutable_buffer& buffer, std::error_code& ec) {
    keepBuffers(true);
    link.drained = false;  // asked to look now, whatever the last receive found
    size_t bytes = 0;
    const Want want = perform(Op::read, buffer.data(), buffer.size(), bytes, ec);
    if (want != Want::nothing) {
        ec = asio::error::would_block;
    }
    return bytes;
}

// A read also takes the records OpenSSL has already received, as a socket's read takes
// everything that has arrived: a burst of small messages is handled in one go. A failure met
// on the way is kept for the next read, after the bytes before it. A handshake or a write is
// done only once all it produced is on the socket.
TlsStream::Want TlsStream::perform(Op op, void* data, size_t size, size_t& bytes,
                                   std::error_code& ec) {
    bytes = 0;
    ec = std::error_code();
    if (size == 0 && (op == Op::read || op == Op::write)) {
        return Want::nothing;
    }
    if (op == Op::read) {
        if (laterReadError) {
            std::swap(ec, laterReadError);
            return Want::nothing;
        }
        const Want want = call(op, data, size, bytes, ec);
        while (bytes != 0 && bytes < size && SSL_has_pending(ssl) == 1) {
            size_t more = 0;
            if (call(op, static_cast<char*>(data) + bytes, size - bytes, more, laterReadError) !=
                Want::nothing) {
                break;
            }
            bytes += more;
            if (more == 0) {
                break;  // failed: reported by the next read
            }
        }
        if (!link.unsent.empty()) {
            sendUnsentLater();
        }
        return want;
    }
    if (op == Op::write && writeTaken == notTaken) {
        // A large write's records go out in one send (SSL_write makes one record per call).
        link.batching = size > limits::tlsRecordBytes;
        size_t taken = 0;
        Want want;
        do {
            want = call(op, static_cast<char*>(data) + taken, size - taken, bytes, ec);
            taken += ec ? 0 : bytes;
        } while (link.batching && want == Want::nothing && !ec && taken < size &&
                 taken < limits::tlsBatchBytes);
        link.batching = false;
        if (taken == 0 || ec) {
            bytes = 0;
            return want;
        }
        writeTaken = taken;
    }
    const Want want = op == Op::write ? Want::nothing : call(op, data, size, bytes, ec);
    std::error_code sendError;
    if (!sendUnsent(sendError)) {
        if (!ec && !sendError) {
            return Want::write;  // the handshake is called again: it has nothing new to do
        }
        ec = ec ? ec : sendError;
    }
    if (op == Op::write) {
        bytes = ec ? 0 : writeTaken;
        writeTaken = notTaken;
        if (!buffersKept) {
            link.unsent.release();  // the reader waits already: nothing keeps it
        }
    }
    return ec ? Want::nothing : want;
}

bool TlsStream::sendUnsent(std::error_code& ec) {
    UnsentCiphertext& unsent = link.unsent;
    while (!unsent.empty()) {
        const ssize_t n =
            ::send(socket.native_handle(), unsent.data(), unsent.size(), MSG_NOSIGNAL);
        if (n > 0) {
            unsent.consume(static_cast<size_t>(n));
        } else if (errno != EINTR) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                ec = std::error_code(errno, asio::error::get_system_category());
            }
            return false;
        }
    }
    return true;
}

void TlsStream::sendUnsentLater() {
    std::error_code ec;
    if (unsentWatched || sendUnsent(ec) || ec) {
        return;  // a failed socket shows itself to the next read or write
    }
    if (!alive) {
        alive = std::make_shared<bool>(true);
    }
    unsentWatched = true;
    socket.async_wait(asio::socket_base::wait_write,
                      [this, stream = std::weak_ptr<bool>(alive)](const std::error_code& ec) {
                          if (stream.expired()) {
                              return;
                          }
                          unsentWatched = false;
                          if (!ec) {
                              sendUnsentLater();
                          }
                      });
}

// While bytes come, OpenSSL keeps its record buffers; once the reader waits for the socket,
// they go (at once, or when a pending write is done), so an idle session holds none.
void TlsStream::keepBuffers(bool keep) {
    if (keep == buffersKept) {
        return;
    }
    buffersKept = keep;
    if (keep) {
        SSL_clear_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
    } else {
        SSL_set_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
        SSL_free_buffers(ssl);  // refused while records wait: they go once handled
        link.unsent.release();
        if (!gatherBusy) {
            gathered.reset();
        }
    }
}

// Mirrors asio's ssl engine: the thread's error queue is empty before the call and read
// right after it, so another session's failure never shows up here. (Looking is cheaper than
// clearing, and the queue is almost always empty.)
TlsStream::Want TlsStream::call(Op op, void* data, size_t size, size_t& bytes,
                                std::error_code& ec) {
    const int length = static_cast<int>(std::min<size_t>(size, INT_MAX));
    link.error = 0;
    link.eof = false;
    if (ERR_peek_error() != 0) {
        ERR_clear_error();
    }
    int result = 0;
    switch (op) {
        case Op::connect:
            result = SSL_connect(ssl);
            break;
        case Op::accept:
            result = SSL_accept(ssl);
            break;
        case Op::read:
            result = SSL_read(ssl, data, length);
            break;
        case Op::write:
            result = SSL_write(ssl, data, length);
            break;
    }
    const int sslError = SSL_get_error(ssl, result);
    const int queued = static_cast<int>(ERR_peek_error() != 0 ? ERR_get_error() : 0);
    if (queued != 0) {
        ERR_clear_error();
    }
    switch (sslError) {
        case SSL_ERROR_NONE:
            bytes = op == Op::read || op == Op::write ? static_cast<size_t>(result) : 0;
            return Want::nothing;
        case SSL_ERROR_WANT_READ:
            return Want::read;
        case SSL_ERROR_WANT_WRITE:
            return Want::write;
        case SSL_ERROR_ZERO_RETURN:
            ec = asio::error::eof;  // close_notify
            return Want::nothing;
        default:
            break;
    }
    if (link.eof) {
        const bool closeNotified = (SSL_get_shutdown(ssl) & SSL_RECEIVED_SHUTDOWN) != 0;
        ec = closeNotified ? std::error_code(asio::error::eof)
                           : std::error_code(asio::ssl::error::stream_truncated);
    } else if (sslError == SSL_ERROR_SSL) {
        ec = std::error_code(queued, asio::error::get_ssl_category());
    } else if (link.error != 0) {
        ec = std::error_code(link.error, asio::error::get_system_category());
    } else if (sslError == SSL_ERROR_SYSCALL) {
        ec = queued != 0 ? std::error_code(queued, asio::error::get_ssl_category())
                         : std::error_code(asio::ssl::error::unspecified_system_error);
    } else {
        ec = asio::ssl::error::unexpected_result;
    }
    return Want::nothing;
}

}  // namespace relaymatrix::extensions::tidewire
