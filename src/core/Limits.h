#pragma once

#include <cstddef>
#include <cstdint>

// Every bound a WebSocket connection applies to what the network sends, and the sizes of
// the buffers it reuses. Client and server session share these.
namespace relaymatrix::extensions::tidewire::limits {

// Largest opening-handshake header block (request or response, up to and including the
// empty line). Real handshakes take well under 2 KiB; a peer that never ends its header
// must not make us buffer more than this.
constexpr size_t maxHandshakeHeaderBytes = 16 * 1024;

// Frame size that ping, close and the reader's Pong and Close echoes pass to the sender, so
// a control frame always goes out in one piece.
constexpr size_t controlFrameMaxSize = 100 * 1024 * 1024;

// Largest Ping, Pong or Close payload a peer may send or we send (RFC 6455, 5.5).
constexpr size_t controlPayloadMaxBytes = 125;

// Default bound on one incoming frame's payload and on one reassembled message: the same
// 100 MiB the library uses for its own control frames. The host may change it per
// connection.
constexpr uint64_t defaultMaxMessageSize = 100 * 1024 * 1024;

// Receive buffer for headers and small frames; it must hold a whole handshake header block.
// Larger payloads are read straight into the frame's own storage.
constexpr size_t readBufferBytes = maxHandshakeHeaderBytes;
static_assert(readBufferBytes >= maxHandshakeHeaderBytes, "header block must fit the buffer");

// A payload read in place grows its storage by at most this much beyond what has arrived,
// so memory follows the bytes received, never the length a peer declares.
constexpr size_t payloadGrowthStepBytes = 64 * 1024;

// A large payload's socket wakes its reader once this much of it (at most) has arrived.
constexpr size_t receiveLowWaterBytes = 256 * 1024;

// The most plain text one TLS record carries: a write that begins with a small buffer (a
// frame header) is gathered up to this much, so the header does not go in a record alone.
constexpr size_t tlsRecordBytes = 16 * 1024;

// A large TLS write encrypts up to this much into records that then go to the socket in one
// send, and one read takes up to this much ciphertext off the socket: one system call, and on
// the peer's side one wakeup, for several records.
constexpr size_t tlsBatchBytes = 64 * 1024;

// Ciphertext kept for a TLS socket that does not take it yet: one write's records and the
// few answers reads must send (alerts, a key update). A peer that keeps asking for answers
// without reading them fails its connection past this.
constexpr size_t tlsUnsentBytes = 256 * 1024;

// Message storage (a frame's payload, a reassembled message, the write buffers) keeps its
// capacity up to this much from one message to the next, so a steady stream of large messages
// reuses memory instead of mapping, zero-filling and returning fresh pages every time. Larger
// storage goes right after use, so one huge message does not pin its memory.
constexpr size_t retainedMessageBytes = 2 * 1024 * 1024 + 64;

// A payload handed over to keep is written from its own storage (header and payload
// gathered) from this size on; a smaller one costs less to copy than to gather, and over TLS
// it would otherwise make a record of its own.
constexpr size_t attachedPayloadMinBytes = 16 * 1024;

// Queued frames are written into chunks of this size, small messages one after another: bytes
// once queued never move (no growing buffer copied into a larger one), a chunk is what one TLS
// batch takes, and a gathered write of 64 chunks moves 4 MiB in one system call.
constexpr size_t writeChunkBytes = 64 * 1024;

// A connection's first chunk is smaller: one exchanging small messages keeps only this much
// between writes, well under what makes its idle storage worth releasing.
constexpr size_t firstWriteChunkBytes = 8 * 1024;

// Frames of a message from this size on get storage of exactly their size instead of a chunk's
// room, so a chunk leaves at most this much of itself unused (an eighth).
constexpr size_t ownWriteBufferMinBytes = 8 * 1024;
static_assert(ownWriteBufferMinBytes <= firstWriteChunkBytes, "a small message fits any chunk");

// Frames encoded on a host thread from this size on are queued in the buffer they came in;
// a smaller one is copied into a chunk, cheaper than keeping its allocation and records.
// Copying larger ones would hold them twice while the loop catches up with a fast sender.
constexpr size_t adoptedWriteBufferMinBytes = 1024;
static_assert(adoptedWriteBufferMinBytes <= ownWriteBufferMinBytes, "a copied one fits too");

// Write buffers done with and kept for reuse (within retainedMessageBytes in all): enough for
// a burst's chunks and a few large messages, few enough to search on every large message.
constexpr size_t spareWriteBuffers = 8;

// Storage kept that way is given back once the connection has been idle this long.
constexpr unsigned idleReleaseMilliseconds = 1000;

// While more than this many of our bytes wait unsent (the socket's buffers being full
// already), the peer is not reading: its pings go unanswered until it catches up, so a peer
// that sends pings and never reads cannot make us queue pongs without bound.
constexpr size_t pingAnswerBacklogBytes = 1024 * 1024;

// The per-frame debug line shows at most this much of a payload, then its full length: a huge
// message must not be copied once more just to be logged.
constexpr size_t loggedPayloadBytes = 1024;

// WebSocket close status sent before failing a connection whose peer exceeded the message
// bound (RFC 6455, 7.4.1: message too big).
constexpr uint16_t closeStatusMessageTooBig = 1009;

// Close status a host is told for a peer's Close that carried none (RFC 6455, 7.1.5); never
// sent.
constexpr uint16_t closeStatusNone = 1005;

// Close status sent before failing a connection whose peer broke the protocol (RFC 6455,
// 7.4.1: protocol error), such as a control frame over 125 bytes.
constexpr uint16_t closeStatusProtocolError = 1002;

// Close status sent before failing a strict connection whose peer sent text that is not
// UTF-8 (RFC 6455, 7.4.1: invalid frame payload data).
constexpr uint16_t closeStatusInvalidPayload = 1007;

// Close status sent before failing a connection whose host overran its send buffer limit
// (RFC 6455, 7.4.1: policy violation).
constexpr uint16_t closeStatusPolicyViolation = 1008;

// The compressor's output buffer keeps up to this much capacity between messages; a larger
// one goes after use, as the write buffers do.
constexpr size_t retainedCompressedBytes = 1024 * 1024;

}  // namespace relaymatrix::extensions::tidewire::limits
