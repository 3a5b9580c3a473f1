#pragma once

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace relaymatrix::extensions::tidewire {

// Follows the record boundaries of the TLS bytes a peer sends, without decrypting anything.
// A legal peer finishes the record it has begun before it sends any other, so what the record
// in progress still lacks is the most a reader may wait for: the next record may be a
// handshake message, an alert or close_notify, and one of those must wake the reader.
class TlsRecordCursor {
public:
    void consume(const uint8_t* data, size_t size) {
        while (size != 0 && !lost) {
            if (bodyLeft != 0) {
                const size_t taken = std::min(size, bodyLeft);
                bodyLeft -= taken;
                data += taken;
                size -= taken;
                continue;
            }
            header[headerFilled++] = *data++;
            --size;
            if (headerFilled == headerBytes) {
                headerFilled = 0;
                // Not a TLS record type (an old-style hello, or garbage that OpenSSL is about
                // to refuse): no boundary can be known any more, so none is claimed.
                lost = header[0] < firstType || header[0] > lastType;
                bodyLeft = size_t(header[3]) << 8 | header[4];
            }
        }
    }

    // Bytes the peer must still send to finish the record in progress; 0 between records
    // (the next byte may start any record) and once the boundaries are lost.
    size_t owed() const {
        if (lost) {
            return 0;
        }
        return headerFilled != 0 ? headerBytes - headerFilled : bodyLeft;
    }

private:
    static constexpr size_t headerBytes = 5;  // type, version, length
    static constexpr uint8_t firstType = 20;  // change_cipher_spec
    static constexpr uint8_t lastType = 24;   // heartbeat
    uint8_t header[headerBytes] = {};
    size_t headerFilled = 0;
    size_t bodyLeft = 0;
    bool lost = false;
};

// Ciphertext that OpenSSL handed over and the socket has not taken yet. OpenSSL is always
// told that its bytes went out, so it never holds a record half written: a read that has to
// answer (an alert, a key update) while our own write is blocked then queues behind it here,
// instead of meeting a half-sent record inside OpenSSL, which it treats as fatal.
class UnsentCiphertext {
public:
    bool empty() const { return start == bytes.size(); }
    size_t size() const { return bytes.size() - start; }
    const uint8_t* data() const { return bytes.data() + start; }

    void append(const uint8_t* data, size_t size) {
        if (empty()) {
            bytes.clear();
            start = 0;
        }
        bytes.insert(bytes.end(), data, data + size);
    }
    void consume(size_t sent) { start += sent; }
    // Gives back the storage once nothing waits in it.
    void release() {
        if (empty()) {
            std::vector<uint8_t>().swap(bytes);
            start = 0;
        }
    }

private:
    std::vector<uint8_t> bytes;
    size_t start = 0;  // bytes before it are on the socket
};

// What the BIO shares with the stream: the socket, what was seen on it during the current SSL
// call, the incoming record boundaries and the ciphertext not yet sent.
struct TlsSocketLink {
    asio::ip::tcp::socket* socket = nullptr;
    int error = 0;          // errno of a failed recv or send
    bool eof = false;       // recv returned 0
    bool drained = false;   // a recv emptied the socket (see socketRead)
    bool batching = false;  // records are kept in `unsent` to go out together
    TlsRecordCursor incoming;
    UnsentCiphertext unsent;
};

}  // namespace relaymatrix::extensions::tidewire
