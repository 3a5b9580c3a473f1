#pragma once

// A plain, sequential account of what a connection must do with the peer's frames, and the
// comparison of a run of the real engine with it. The model reads the whole stream at once,
// so any difference with the engine comes from how the engine splits the work across reads,
// buffers and writes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "EngineHarness.h"

namespace tidewire_fuzz {

struct OutFrame {
    bool fin;
    uint8_t opcode;
    std::vector<uint8_t> payload;
    bool operator==(const OutFrame& other) const {
        return fin == other.fin && opcode == other.opcode && payload == other.payload;
    }
};

struct ModelMessage {
    std::vector<uint8_t> bytes;
    bool isText;
};

struct ModelOutcome {
    enum class Ending { EndOfStream, PeerClose, UnexpectedFrame, TooBig };
    std::vector<ModelMessage> messages;
    std::vector<OutFrame> output;  // the frames the connection must write, in order
    Ending ending = Ending::EndOfStream;
};

// The frames of one outgoing message split at `maxFrameSize` payload bytes (0: no limit).
inline void appendMessageFrames(std::vector<OutFrame>& out, const std::vector<uint8_t>& data,
                                uint8_t opcode, size_t maxFrameSize) {
    const size_t limit = maxFrameSize == 0 ? data.size() : maxFrameSize;
    size_t start = 0;
    do {
        const size_t end = std::min(data.size(), start + limit);
        out.push_back({end == data.size(), start == 0 ? opcode : opcodes::Continuation,
                       std::vector<uint8_t>(data.begin() + start, data.begin() + end)});
        start = end;
    } while (start < data.size());
}

inline uint64_t readBigEndian(std::string_view bytes) {
    uint64_t value = 0;
    for (char c : bytes) {
        value = (value << 8) | static_cast<uint8_t>(c);
    }
    return value;
}

// What the reader does with `stream` (everything the peer sends once the connection is open),
// the host acting as `setup` says.
inline ModelOutcome modelReader(std::string_view stream, const Setup& setup) {
    using Ending = ModelOutcome::Ending;
    ModelOutcome outcome;
    if (setup.sendBeforeOpen) {
        appendMessageFrames(outcome.output, bytesOf(Setup::earlyMessage), opcodes::Text,
                            setup.echoFrameSize);
    }
    if (setup.closeAtOpen) {
        outcome.output.push_back({true, opcodes::Close,
                                  std::vector<uint8_t>(std::begin(Setup::closeAtOpenPayload),
                                                       std::end(Setup::closeAtOpenPayload))});
    }
    const bool closeSent = setup.closeAtOpen;
    bool assembling = false;
    bool assemblingText = false;
    std::vector<uint8_t> assembled;
    auto deliver = [&](std::vector<uint8_t> bytes, bool isText) {
        if (setup.echoMessages) {
            appendMessageFrames(outcome.output, bytes, isText ? opcodes::Text : opcodes::Binary,
                                setup.echoFrameSize);
        }
        outcome.messages.push_back({std::move(bytes), isText});
    };

    size_t pos = 0;
    for (;;) {
        if (stream.size() - pos < 2) {
            outcome.ending = Ending::EndOfStream;
            return outcome;
        }
        const uint8_t b0 = static_cast<uint8_t>(stream[pos]);
        const uint8_t b1 = static_cast<uint8_t>(stream[pos + 1]);
        pos += 2;
        const bool fin = (b0 & 0x80) != 0;
        const uint8_t opcode = b0 & 0x0F;
        const bool masked = (b1 & 0x80) != 0;
        const uint8_t code = b1 & 0x7F;
        const size_t lengthBytes = code == 126 ? 2 : code == 127 ? 8 : 0;
        if (stream.size() - pos < lengthBytes + (masked ? 4 : 0)) {
            outcome.ending = Ending::EndOfStream;
            return outcome;
        }
        const uint64_t length =
            lengthBytes == 0 ? code : readBigEndian(stream.substr(pos, lengthBytes));
        pos += lengthBytes;
        uint8_t key[4] = {0, 0, 0, 0};
        if (masked) {
            for (size_t i = 0; i < 4; ++i) {
                key[i] = static_cast<uint8_t>(stream[pos + i]);
            }
            pos += 4;
        }

        // A data frame that would add to the message being assembled counts with it.
        const bool control =
            opcode == opcodes::Close || opcode == opcodes::Ping || opcode == opcodes::Pong;
        const bool continues = assembling && !control && (fin || opcode == opcodes::Continuation);
        const uint64_t total = (continues ? assembled.size() : 0) + length;
        if (length > setup.maxMessageSize || total > setup.maxMessageSize) {
            if (!closeSent) {
                outcome.output.push_back({true, opcodes::Close, {0x03, 0xF1}});  // 1009
            }
            outcome.ending = Ending::TooBig;
            return outcome;
        }
        if (stream.size() - pos < length) {
            outcome.ending = Ending::EndOfStream;
            return outcome;
        }
        std::vector<uint8_t> payload(stream.begin() + pos, stream.begin() + pos + length);
        pos += static_cast<size_t>(length);
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] ^= key[i & 3];
        }

        if (opcode == opcodes::Ping) {
            outcome.output.push_back({true, opcodes::Pong, payload});
        } else if (opcode == opcodes::Pong) {
        } else if (opcode == opcodes::Close) {
            if (!closeSent) {
                outcome.output.push_back({true, opcodes::Close, payload});
            }
            outcome.ending = Ending::PeerClose;
            return outcome;
        } else if (!fin) {
            if (opcode == opcodes::Text || opcode == opcodes::Binary) {
                assembling = true;
                assemblingText = opcode == opcodes::Text;
                assembled = std::move(payload);
            } else if (opcode == opcodes::Continuation && assembling) {
                assembled.insert(assembled.end(), payload.begin(), payload.end());
            } else {
                outcome.ending = Ending::UnexpectedFrame;
                return outcome;
            }
        } else if (assembling) {
            assembled.insert(assembled.end(), payload.begin(), payload.end());
            assembling = false;
            deliver(std::move(assembled), assemblingText);
            assembled.clear();
        } else {
            deliver(std::move(payload), opcode == opcodes::Text);
        }
    }
}

// The frames of `bytes` as a peer decodes them; `partial` tells whether bytes of an unfinished
// frame follow the last whole one.
inline std::vector<OutFrame> decodeOutput(const uint8_t* bytes, size_t size, bool masked,
                                          bool& partial) {
    std::vector<OutFrame> frames;
    FrameDecoder decoder;
    size_t pos = 0;
    for (;;) {
        if (decoder.step() == FrameStep::Complete) {
            const WebSocketFrame& frame = decoder.frame();
            check(frame.masked == masked, "outgoing frame masked on the wrong side");
            frames.push_back({frame.fin, frame.opcode, frame.payload});
            decoder.reset();
        }
        const uint64_t needed = decoder.bytesNeeded();
        if (needed > size - pos) {
            break;
        }
        switch (decoder.step()) {
            case FrameStep::Header:
                decoder.applyHeader(bytes + pos);
                break;
            case FrameStep::LengthAndKey:
                decoder.applyLengthAndKey(bytes + pos);
                break;
            default:
                decoder.applyPayload(bytes + pos);
                break;
        }
        pos += static_cast<size_t>(needed);
    }
    partial = pos != size;
    return frames;
}

inline bool isPrefix(const std::vector<OutFrame>& prefix, const std::vector<OutFrame>& whole) {
    return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

// Checks a run of the opened connection (events from `firstEvent` on, output from
// `firstOutputByte` on) against the model of `stream`.
template <class Side>
void checkAgainstModel(const RunResult& run, size_t firstEvent, size_t firstOutputByte,
                       std::string_view stream, const Setup& setup) {
    using Ending = ModelOutcome::Ending;
    using Kind = Event::Kind;
    const ModelOutcome model = modelReader(stream, setup);

    // Messages, in order, and only before the end.
    size_t i = firstEvent;
    size_t delivered = 0;
    for (; i < run.events.size() && run.events[i].kind == Kind::Message; ++i, ++delivered) {
        check(delivered < model.messages.size(), "more messages than the peer sent");
        check(run.events[i].bytes == model.messages[delivered].bytes, "message bytes differ");
        check(run.events[i].isText == model.messages[delivered].isText, "message kind differs");
    }
    // A failed write may cut the conversation short; nothing else may.
    check(setup.writeFailure ? delivered <= model.messages.size()
                             : delivered == model.messages.size(),
          "messages missing");
    check(i < run.events.size(), "the connection ended without telling the host");

    const Event& end = run.events[i];
    bool sendFailedFirst = false;
    switch (model.ending) {
        case Ending::EndOfStream:
        case Ending::UnexpectedFrame:
        case Ending::TooBig: {
            const char* expected = model.ending == Ending::EndOfStream       ? "Read error"
                                   : model.ending == Ending::UnexpectedFrame ? "Unexpected frame"
                                                                             : "Message too big";
            sendFailedFirst =
                setup.writeFailure && end.kind == Kind::Error && end.text == "Send error";
            check(sendFailedFirst || (end.kind == Kind::Error && end.text == expected),
                  "wrong first failure");
            break;
        }
        case Ending::PeerClose:
            sendFailedFirst =
                setup.writeFailure && end.kind == Kind::Error && end.text == "Send error";
            check(sendFailedFirst || end.kind == Kind::Close, "peer's Close did not close");
            break;
    }

    // After the end only the reports of operations cut off by the close may follow.
    size_t readErrors = 0;
    for (size_t k = i + 1; k < run.events.size(); ++k) {
        check(run.events[k].kind == Kind::Error &&
                  (run.events[k].text == "Read error" || run.events[k].text == "Send error"),
              "unexpected event after the end");
        readErrors += run.events[k].text == "Read error" ? 1 : 0;
    }
    check(run.events.size() - i <= 3, "too many reports after the end");
    if (!sendFailedFirst && model.ending == Ending::UnexpectedFrame) {
        check(readErrors == 1, "a stray fragment is not followed by one read error");
    }
    check(run.closeCalls >= 1, "the connection was never closed");

    // Output: a prefix of what the model writes; all of it when the connection ends by
    // writing its last frame.
    bool partial = false;
    const std::vector<OutFrame> frames =
        decodeOutput(run.output.data() + firstOutputByte, run.output.size() - firstOutputByte,
                     Side::maskOutgoing, partial);
    check(isPrefix(frames, model.output), "written frames differ from the expected ones");
    const bool endsByWriting =
        !setup.closeAtOpen && (model.ending == Ending::PeerClose || model.ending == Ending::TooBig);
    if (endsByWriting && !setup.writeFailure) {
        check(frames.size() == model.output.size() && !partial, "final frames not all written");
    }

    const std::string disconnected = std::string(Side::logPrefix) + "Client disconnected: unknown";
    size_t disconnectedLines = 0;
    for (const LogLine& line : run.logs) {
        check(line.text.compare(0, std::string_view(Side::logPrefix).size(), Side::logPrefix) == 0,
              "log line without the component tag");
        disconnectedLines += line.text == disconnected ? 1 : 0;
    }
    if (!sendFailedFirst) {
        check(disconnectedLines == (model.ending == Ending::PeerClose ? 1u : 0u),
              "disconnect line count");
    }
}

}  // namespace tidewire_fuzz

namespace tidewire_fuzz {

// One fuzz input as the peer of an open connection of `Side`.
template <class Side>
void fuzzOpenConnection(const uint8_t* data, size_t size) {
    Setup setup;
    if (!parseSetup(data, size, setup)) {
        return;
    }
    const RunResult run = runConnection<Side>(setup, FuzzConnection<Side>::Start::Frames);
    check(!run.events.empty() && run.events[0].kind == Event::Kind::Open, "not opened first");
    checkAgainstModel<Side>(run, 1, 0, setup.stream, setup);
}

}  // namespace tidewire_fuzz
