#!/usr/bin/env python3
"""Fault injection: how many single-line slips in the library make some test fail.

    scripts/mutants.py <build dir> [name ...]

Each mutant is a (file, old text, new text) row; the file is found by name anywhere under
include/, src/ or sdk/, so rows survive files moving between folders. For each mutant the
library is rebuilt in <build dir> (configured already), CTest runs and stops at the first
failure, and the file is restored. A mutant that does not compile is reported, not counted.
"""
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

MUTANTS = [
    ("FrameHeader.cpp", "payloadSize <= 0xFFFF ? 2 : 8", "payloadSize < 0xFFFF ? 2 : 8"),
    ("FrameHeader.cpp", "(fin ? 0x80 : 0x00)", "(fin ? 0x00 : 0x80)"),
    ("FrameHeader.cpp", "payloadSize >> (56 - 8 * i)", "payloadSize >> (48 - 8 * i)"),
    ("FrameDecoder.cpp", "lengthCode == 126 ? 2 : lengthCode == 127 ? 8 : 0",
     "lengthCode == 126 ? 8 : lengthCode == 127 ? 2 : 0"),
    ("FrameDecoder.cpp", "record.frameComplete = lengthCode == 0 && !record.masked;",
     "record.frameComplete = lengthCode == 0;"),
    ("FrameDecoder.cpp", "record.masked = (bytes[1] >> 7) != 0;", "record.masked = (bytes[1] >> 6) != 0;"),
    ("FrameDecoder.cpp", "record.maskingKey[i] = bytes[lengthBytes + i];", "record.maskingKey[i] = bytes[i];"),
    ("Masking.cpp", "dst[i] = src[i] ^ bytes[i & 3];", "dst[i] = src[i] ^ bytes[i & 1];"),
    ("OutgoingFrames.cpp", "start == 0 ? opcode : opcodes::Continuation", "opcode"),
    ("OutgoingFrames.cpp", "encodeFrameHeader(out, end == size,", "encodeFrameHeader(out, start == 0,"),
    ("OutgoingFrames.cpp", "fullFrames + (remainder != 0 ? 1 : 0)", "fullFrames + 1"),
    ("HandshakeText.cpp", "Sec-WebSocket-Version: 13", "Sec-WebSocket-Version: 12"),
    ("HandshakeText.cpp", '|| status != "101"', ""),
    ("HandshakeText.cpp", "value.assign(rest.substr(0, rest.find('\\r')));", "value.assign(rest);"),
    ("HandshakeText.cpp", 'request += ", ";', 'request += ",";'),
    ("HandshakeText.cpp", "accept = value;", "accept = accept.empty() ? value : accept;"),
    ("HandshakeText.cpp", "HTTP/1.1 101 Switching Protocols", "HTTP/1.1 101 Switching Protocol"),
    ("HandshakeText.cpp", 'request += "Connection: keep-alive, Upgrade\\r\\n";', 'request += "Connection: Upgrade\\r\\n";'),
    ("Handshake.cpp", "258EAFA5-E914-47DA-95CA-C5AB0DC85B11", "258EAFA5-E914-47DA-95CA-C5AB0DC85B12"),
    ("Handshake.cpp", "(rng() >> 24) & 0xFF", "(rng() >> 16) & 0xFF"),
    ("Base64.cpp", "rest == 2 ? alphabet[(group >> 6) & 0x3F] : '='", "rest == 1 ? alphabet[(group >> 6) & 0x3F] : '='"),
    ("URL.cpp", "authority.rfind(':')", "authority.find(':')"),
    ("URL.cpp", "url.substr(pos + 1, queryEnd - pos - 1)", "url.substr(pos, queryEnd - pos)"),
    ("URL.cpp", 'url.find_first_of("\\r\\n", pos + 1) != std::string::npos', "false"),
    ("WebSocketFrame.cpp", 'out += ", payload length=";', 'out += ", payload len=";'),
    ("WebSocketFrame.cpp", 'return "Pong";', 'return "PONG";'),
    ("ConnectionEngine.h", "pendingSize() > limits::pingAnswerBacklogBytes", "pendingSize() < limits::pingAnswerBacklogBytes"),
    ("ConnectionEngine.h", 'logInfo("Client disconnected: "', 'logInfo("Client disconnected "'),
    ("ConnectionEngine.h", "if (closeSent) {", "if (!closeSent) {"),
    ("ConnectionEngine.h", "fragmentsAreText = frame.opcode == opcodes::Text;", "fragmentsAreText = frame.opcode == opcodes::Binary;"),
    ("ConnectionEngine.h", "frame.payloadLength <= limit && assembled", "frame.payloadLength < limit && assembled"),
    ("ConnectionEngine.h", "addsToMessage ? fragmentBuffer.size() : 0", "addsToMessage ? 0 : 0"),
    ("ConnectionEngine.h", "payloadFilled == 0 && available() >= needed", "payloadFilled == 0 && available() > needed"),
    ("ConnectionEngine.h", 'logDebug("Received ping, sending pong...");', 'logDebug("Received ping");'),
    ("ConnectionEngine.h", 'logError("Handler exception: ", e.what());', ""),
    ("ConnectionEngine.h", 'errorHandler(ec, "Read error");', 'errorHandler(ec, "Read failure");'),
    ("ConnectionEngine.h", "closeReported = true;", ""),
    ("ConnectionEngine.h", 'logDebug("Received pong");', ""),
    ("ConnectionEngine.h", "receivingFragments = false;", ""),
    ("ConnectionEngine.h", "const bool isText = frame.opcode == opcodes::Text;", "const bool isText = frame.opcode != opcodes::Binary;"),
    ("ConnectionEngine.h", "} else if (frame.opcode == opcodes::Continuation && receivingFragments) {", "} else if (frame.opcode == opcodes::Continuation) {"),
    ("ConnectionEngine.h", '"Send succeeded - opcode: "', '"Send succeeded: opcode: "'),
    ("ConnectionEngine.h", "std::min(length, buffered + limits::payloadGrowthStepBytes)", "length"),
    ("WriteQueue.h", "if (pendingBytes.empty()) {", "if (true) {"),
    ("WriteQueue.h", "pendingEntries.push_back(Entry{opcode, kind, frames});", "pendingEntries.push_back(Entry{opcode, kind, frames > 0 ? size_t{1} : frames});"),
    ("WebSocketClient.cpp", '|| parsed.getScheme() == "https"', ""),
    ("WebSocketClient.cpp", 'parsed.getPath().empty() ? "/" : parsed.getPath()', "parsed.getPath()"),
    ("WebSocketClient.cpp", 'path += "?" + parsed.getQuery();', "path += parsed.getQuery();"),
    ("WebSocketClient.cpp", "sslStream.set_verify_callback(asio::ssl::host_name_verification(host), ignored);", ""),
    ("WebSocketClient.cpp", 'logInfo("Connect: ", toText(remote));', 'logInfo("Connected: ", toText(remote));'),
    ("WebSocketClient.cpp", 'failOpening("SSL handshake error: ", ec);', 'failOpening("SSL error: ", ec);'),
    ("WebSocketClient.cpp", "context.set_verify_mode(asio::ssl::verify_peer);", ""),
    ("WebSocketClient.cpp", "invokeHandler([this, &check] { owner.onErrorHandler(check.failure); });", ""),
    ("WebSocketServer.cpp", "nextSessionId.fetch_add(1)", "nextSessionId.fetch_add(2)"),
    ("WebSocketServer.cpp", "Session disconnected and removed - session ID: ", "Session removed - session ID: "),
    ("WebSocketServer.cpp", "internals->sessions[sessionId] = session;", ""),
    ("WebSocketServer.cpp", '"[WebSocketServer] Accept: "', '"[WebSocketServer] Accepted: "'),
    ("WebSocketServer.cpp", 'errorHandler(ec, "SSL handshake failed");', 'errorHandler(ec, "SSL handshake error");'),
    ("WebSocketServer.cpp", 'logTrace("Requested protocols: " + protocols);', "(void)protocols;"),
    ("UDPServer.cpp", "Trying to send on receive-only UDP server\");\n        return 1;", "Trying to send on receive-only UDP server\");\n        return 2;"),
    ("UDPServer.cpp", "!in.receiveOnly && in.senderEndpoint != in.remoteEndpoint", "in.senderEndpoint != in.remoteEndpoint"),
    ("UDPServer.cpp", "kMaxDatagramBytes = 1024", "kMaxDatagramBytes = 1000"),
    ("UDPServer.cpp", '"[UDPServer] Starting on port "', '"[UDPServer] Starting port "'),
    ("UDPServer.cpp", 'relaymatrix::Logger::error("[UDPServer] Zero bytes received");', ""),
    ("WebSocketSession.h", "if (!current) {", "if (current == nullptr && false) {"),
    ("WebSocketServer.cpp", "session->detach();", ""),
    ("UDPServer.cpp", "if (!internals->receivePending) {", "if (true) {"),
    ("Limits.h", "maxHandshakeHeaderBytes = 16 * 1024;", "maxHandshakeHeaderBytes = 8 * 1024;"),
    ("Limits.h", "pingAnswerBacklogBytes = 1024 * 1024;", "pingAnswerBacklogBytes = 4 * 1024 * 1024;"),
    ("WebSocketServer.cpp", "session->setMaxMessageSize(\n                    internals->maxMessageSize.load(std::memory_order_relaxed));", ""),
    ("WebSocketClient.cpp", "internals->setMaxMessageSize(bytes);", "(void)bytes;"),
    ("WebSocketServer.cpp", "removed = internals->sessions.extract(sessionId);", ""),
    ("FrameReader.h", "handshakeScanned > 3 ? handshakeScanned - 3 : 0", "handshakeScanned"),
    # Handshake control, TLS options, control-frame bounds.
    ("HandshakePolicy.cpp", "decision.status < 400 || decision.status > 599",
     "decision.status < 300 || decision.status > 599"),
    ("HandshakePolicy.cpp", "origin != nullptr && !contains(policy.allowedOrigins, *origin)",
     "origin != nullptr && contains(policy.allowedOrigins, *origin)"),
    ("HandshakePolicy.cpp", "if (contains(request.protocols, preferred)) {", "if (true) {"),
    ("HandshakePolicy.cpp", "std::to_string(decision.body.size())", "std::to_string(decision.body.size() + 1)"),
    ("HandshakePolicy.cpp", "const size_t comma = list.find(',');", "const size_t comma = list.find(' ');"),
    ("HeaderFieldCheck.cpp", 'std::string_view("\\r\\n\\0", 3)', 'std::string_view("\\r\\0", 2)'),
    ("WebSocketServer.cpp", "internals->sessions.size() >= internals->maxSessions",
     "internals->sessions.size() > internals->maxSessions"),
    ("WebSocketServer.cpp", "session.admitted(decision.subprotocol);", "session.admitted({});"),
    ("WebSocketSessionImpl.cpp", "        if (!registered) {", "        if (false) {"),
    ("ConnectionEngine.h", "frame.payloadLength > limits::controlPayloadMaxBytes",
     "frame.payloadLength >= limits::controlPayloadMaxBytes"),
    ("ConnectionEngine.h", "if (size <= limits::controlPayloadMaxBytes) {", "if (true) {"),
    ("TlsSetup.cpp", "options.allowTLS13 ? TLS1_3_VERSION : TLS1_2_VERSION", "TLS1_3_VERSION"),
    ("TlsSetup.cpp", "asio::ssl::verify_peer | asio::ssl::verify_fail_if_no_peer_cert", "asio::ssl::verify_peer"),
    ("WebSocketClient.cpp", "SSL_set_tlsext_host_name(ssl, host.c_str());", ""),
    ("WebSocketClient.cpp", "SSL_set1_host(ssl, address.c_str());", ""),
    ("TlsStream.cpp", "            return Want::read;", "            return Want::write;"),
    ("TlsStream.cpp", "        BIO_set_retry_read(bio);", ""),
    ("ReceiveLowWater.h", "std::min(coming, limits::receiveLowWaterBytes)",
     "std::max(coming, limits::receiveLowWaterBytes)"),
    ("ReceiveLowWater.h", "owed > held ? owed - held : 0", "owed > held ? owed : 0"),
    ("TlsStream.h", "        lowWater.expect(socket, readOwes, heldBound());", ""),
    ("FrameReader.h", "        expectBytes(stream, 0);", ""),
    ("WriteQueue.h", "buffers.emplace_back(attachment.payload.data(), attachment.payload.size());", ""),
    ("OutgoingFrames.cpp", "applyMask(payload, size, key);", "applyMask(payload, size / 2, key);"),
    ("FrameReader.h", "const size_t room = std::min(payload.size(), length);",
     "const size_t room = payload.size();"),
    ("FrameReader.h", "        std::vector<uint8_t>().swap(spare);", ""),
    ("LivenessTimer.h", "            derived().releaseIdleStorage();", ""),
    ("ConnectionEngine.h", "if (session.onOwnedMessageHandler.isSet()) {", "if (false) {"),
    ("FrameWriter.h", "void holdWrites() { held = true; }", "void holdWrites() {}"),
    ("FrameReader.h", "        derived().releaseWrites();", ""),
    ("TlsStream.h", "            Op::write, gathered.get(), size,", "            Op::write, gathered.get() + 1, size,"),
    ("TlsStream.cpp", "        link.received += static_cast<size_t>(n);", ""),
    ("FrameReader.h", "derived().watchesArrivals() ? 0 : room - payloadFilled", "room - payloadFilled"),
    # One report per failure; a peer's failure writes what was queued, then Close.
    ("ConnectionEngine.h", "        if (closed) {\n            return;\n        }\n        if (!reported) {",
     "        if (!reported) {"),
    ("ConnectionEngine.h", "std::make_error_code(std::errc::protocol_error));\n                return false;",
     "std::make_error_code(std::errc::protocol_error));\n                return true;"),
    ("ConnectionEngine.h", "Writer::acceptingSends() && !peerNotReading();", "Writer::acceptingSends();"),
    ("ConnectionEngine.h", "        Writer::refuseFurtherSends();\n        Liveness::startClosingDeadline();",
     "        Writer::refuseFurtherSends();"),
    ("ConnectionEngine.h", "most - std::min<uint64_t>(most, assembler.assembledBytes(frame))", "most"),
    ("ConnectionCompression.h", "(opcode != opcodes::Text && opcode != opcodes::Binary)",
     "opcode >= opcodes::Close"),
    ("LivenessTimer.h", "        opening.reset();\n        if (settings.keepaliveInterval",
     "        if (settings.keepaliveInterval"),
    ("LivenessTimer.h", ": settings.keepaliveInterval;", ": settings.keepaliveTimeout;"),
    ("FrameWriter.h", "            drainPending = false;\n", ""),
    ("WebSocketServer.cpp", "acceptPause.expires_after(acceptRetryPause);",
     "acceptPause.expires_after(std::chrono::milliseconds(0));"),
    ("HandshakePolicy.cpp", ' && !contains(policy.allowedOrigins, "*")', ""),
    ("HandshakePolicy.cpp", "if (decision.accepted && decision.subprotocol.empty()) {", "if (decision.accepted) {"),
    ("HeaderFieldCheck.cpp", "(c != '\\0' && std::strchr(", "(std::strchr("),
    ("MessageDeflate.cpp", "agreed.serverNoContextTakeover : agreed.clientNoContextTakeover)),",
     "agreed.serverNoContextTakeover : false)),"),
]

# Rows written against the code before the house was split by layer, mapped to where the
# same line lives now. Looked up when the row's own text is not found.
MOVED = {
    9: ("OutgoingFrames.cpp", "encodeFrame(out, end == size,", "encodeFrame(out, start == 0,"),
    26: ("ConnectionEngine.h", "bufferedAmount() > limits::pingAnswerBacklogBytes",
         "bufferedAmount() < limits::pingAnswerBacklogBytes"),
    27: ("ConnectionEngine.h", 'Log::info("Client disconnected: "', 'Log::info("Client disconnected "'),
    28: ("ConnectionEngine.h", "if (Writer::closeSent()) {", "if (!Writer::closeSent()) {"),
    31: ("MessageAssembler.cpp", "extends ? fragments.size() : 0", "extends ? 0 : 0"),
    33: ("ConnectionEngine.h", 'Log::debug("Received ping, sending pong...");', 'Log::debug("Received ping");'),
    34: ("ConnectionEngine.h", "Log::error(errorTexts::handlerException, e.what());", ""),
    35: ("FrameReader.h", "failConnection(ec, errorTexts::readError);", 'failConnection(ec, "Read failure");'),
    37: ("ConnectionEngine.h", 'Log::debug("Received pong");', ""),
    38: ("MessageAssembler.cpp", "        assembling = false;", ""),
    39: ("MessageAssembler.cpp", "completeIsText = frame.opcode == opcodes::Text;",
         "completeIsText = frame.opcode != opcodes::Binary;"),
    40: ("MessageAssembler.cpp", "frame.opcode == opcodes::Continuation && assembling",
         "frame.opcode == opcodes::Continuation"),
    48: ("WebSocketClient.cpp", "X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address.c_str());", ""),
    49: ("WebSocketClient.cpp", 'Log::info("Connect: "', 'Log::info("Connected: "'),
    50: ("WebSocketClient.cpp", "failOpening(errorTexts::sslHandshakeError, ec);", 'failOpening("SSL error: ", ec);'),
    55: ("WebSocketServer.cpp", "internals->sessions[session->id()] = session;", ""),
    57: ("WebSocketSessionImpl.cpp", "failConnection(ec, errorTexts::sslHandshakeFailed);",
         'failConnection(ec, "SSL handshake error");'),
    58: ("WebSocketSessionImpl.cpp", 'Log::trace("Requested protocols: ", protocols);', "(void)protocols;"),
    59: ("UDPServer.cpp", "udpSendOnReceiveOnly);\n        return 1;", "udpSendOnReceiveOnly);\n        return 2;"),
    63: ("UDPServer.cpp", "relaymatrix::Logger::error(errorTexts::udpZeroBytes);", ""),
    36: ("ConnectionEngine.h", "        if (!reported) {\n            reported = true;",
         "        if (true) {\n            reported = true;"),
}


def find_file(name):
    for top in ("src", "include", "sdk"):
        for path in (ROOT / top).rglob(name):
            return path
    return None


def locate(name, old):
    path = find_file(name)
    if path is not None and old in path.read_text():
        return path
    for top in ("src", "include"):
        for candidate in sorted((ROOT / top).rglob("*")):
            if candidate.is_file() and old in candidate.read_text(errors="replace"):
                return candidate
    return None


def run(cmd, timeout):
    try:
        return subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def main():
    build = sys.argv[1]
    only = set(sys.argv[2:])
    killed = survived = invalid = 0
    for index, (name, old, new) in enumerate(MUTANTS):
        label = f"m{index:02d}"
        if only and label not in only:
            continue
        path = locate(name, old)
        if path is None and index in MOVED:
            name, old, new = MOVED[index]
            path = locate(name, old)
        if path is None:
            print(f"{label} {name}: text not found", flush=True)
            invalid += 1
            continue
        original = path.read_text()
        path.write_text(original.replace(old, new, 1))
        try:
            if run(["cmake", "--build", build, "-j", "2"], 1200) != 0:
                print(f"{label} {name}: does not compile", flush=True)
                invalid += 1
                continue
            status = run(["ctest", "--test-dir", build, "-j", "2", "--stop-on-failure",
                          "--timeout", "90"], 1800)
            verdict = "killed" if status != 0 else "SURVIVED"
            killed += status != 0
            survived += status == 0
            print(f"{label} {name}: {verdict}  ({old[:60]!r})", flush=True)
        finally:
            path.write_text(original)
    total = killed + survived
    print(f"score: {killed}/{total} killed, {invalid} invalid", flush=True)
    run(["cmake", "--build", build, "-j", "2"], 1200)


if __name__ == "__main__":
    main()
