#pragma once

// Every failure text the library reports, to the host's onErrorHandler or to the error log,
// in one place: the code that reports a failure and the tests that expect it both use these.
namespace relaymatrix::extensions::tidewire::errorTexts {

// onErrorHandler texts of an open connection (both sides), each also logged as
// "<prefix>Error: <text> - <system message>".
constexpr const char* readError = "Read error";
constexpr const char* sendError = "Send error";
constexpr const char* messageTooBig = "Message too big";
constexpr const char* unexpectedFrame = "Unexpected frame";
constexpr const char* controlFrameTooLong = "Control frame too long";
// With compression enabled: RSV1 where no compressed message may begin, and compressed data
// that does not inflate.
constexpr const char* unexpectedReservedBit = "Unexpected reserved bit";
constexpr const char* invalidCompressedData = "Invalid compressed data";

// Strict mode (ConnectionOptions::strict): what RFC 6455 makes a peer's error.
constexpr const char* reservedBitsSet = "Reserved bits set";
constexpr const char* reservedOpcode = "Reserved opcode";
constexpr const char* fragmentedControlFrame = "Fragmented control frame";
constexpr const char* unexpectedContinuation = "Unexpected continuation";
constexpr const char* invalidUtf8 = "Invalid UTF-8";
constexpr const char* invalidCloseCode = "Invalid close code";
constexpr const char* subprotocolNotOffered = "Subprotocol not offered";
constexpr const char* extensionNotOffered = "Extension not offered";

// Opt-in limits (ConnectionOptions), each logged with the system message as above.
constexpr const char* connectTimeout = "Connect timeout";
constexpr const char* handshakeTimeout = "Handshake timeout";
constexpr const char* closeTimeout = "Close timeout";
constexpr const char* keepaliveTimeout = "Keepalive timeout";
constexpr const char* sendBufferFull = "Send buffer full";

// Server session, before it opens.
constexpr const char* sslHandshakeFailed = "SSL handshake failed";
constexpr const char* handshakeError = "Handshake error";
constexpr const char* handshakeResponseError = "Handshake response error";

// Client, before it opens: logged with the system message after them; the host gets the
// system message alone.
constexpr const char* connectError = "Connect error: ";
constexpr const char* sslHandshakeError = "SSL handshake error: ";
constexpr const char* handshakeRequestError = "Handshake request error: ";
constexpr const char* handshakeResponseErrorPrefix = "Handshake response error: ";
// The client's check of the server's response, as logged and reported.
constexpr const char* handshakeValidation = "Handshake validation error: ";

// Log lines only: what went wrong is not the connection's doing.
constexpr const char* handlerException = "Handler exception: ";
constexpr const char* closeError = "Close error: ";
constexpr const char* workerException = "Worker exception: ";
constexpr const char* acceptError = "Accept error: ";
constexpr const char* newSessionHandlerException = "New-session handler exception: ";
constexpr const char* closeCallbackException = "Close callback exception: ";
// A host's ping or close whose payload exceeds 125 bytes: not sent; then the size.
constexpr const char* controlPayloadRefused =
    "Error: Control frame payload over 125 bytes, not sent: ";

// UDPServer error lines: whole, or followed by the port (and what failed).
constexpr const char* udpSendOnReceiveOnly =
    "[UDPServer] Error: Trying to send on receive-only UDP server";
constexpr const char* udpSendWhileStopped =
    "[UDPServer] Error: Trying to send on a stopped UDP server";
constexpr const char* udpNoRemote = "[UDPServer] Error: No remote endpoint available to send data";
constexpr const char* udpSendFailed = "[UDPServer] Error sending data on port ";
constexpr const char* udpReceiveFailed = "[UDPServer] Error receiving data on port ";
constexpr const char* udpForeignSender = "[UDPServer] Remote sender endpoint ";  // then both ends
constexpr const char* udpZeroBytes = "[UDPServer] Zero bytes received";
constexpr const char* udpDelegateThrew = "[UDPServer] Error: Delegate threw on port ";
constexpr const char* udpWorkerException = "[UDPServer] Error: Unhandled exception on port ";
constexpr const char* udpSendToNotAllowed =
    "[UDPServer] Error: sendTo is not enabled on this UDP server";
constexpr const char* udpBadDestination = "[UDPServer] Error: Not a usable destination: ";
constexpr const char* udpFlushWhileStopped =
    "[UDPServer] Error: Trying to flush a stopped UDP server";
constexpr const char* udpFlushOnWorker = "[UDPServer] Error: flush called on the worker thread";
constexpr const char* udpTruncated = "[UDPServer] Datagram truncated: ";  // N bytes, kept M

}  // namespace relaymatrix::extensions::tidewire::errorTexts
