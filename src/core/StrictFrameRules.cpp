#include "core/StrictFrameRules.h"

#include <algorithm>

#include "core/CloseStatus.h"
#include "core/ErrorTexts.h"
#include "core/FrameHeader.h"
#include "core/Limits.h"

namespace relaymatrix::extensions::tidewire {

namespace {

constexpr StrictRefusal protocolError(const char* text) {
    return {limits::closeStatusProtocolError, text};
}

}  // namespace

StrictRefusal StrictFrameRules::frame(uint8_t opcode, bool fin, uint8_t reservedBits,
                                      uint8_t extensionBits) {
    if ((reservedBits & ~extensionBits) != 0) {
        return protocolError(errorTexts::reservedBitsSet);
    }
    if ((opcode > opcodes::Binary && opcode < opcodes::Close) || opcode > opcodes::Pong) {
        return protocolError(errorTexts::reservedOpcode);
    }
    if (opcode >= opcodes::Close) {
        return fin ? StrictRefusal() : protocolError(errorTexts::fragmentedControlFrame);
    }
    if (opcode == opcodes::Continuation) {
        if (!messageOpen) {
            return protocolError(errorTexts::unexpectedContinuation);
        }
    } else if (messageOpen) {
        return protocolError(errorTexts::unexpectedFrame);  // the open message is unfinished
    } else {
        messageIsText = opcode == opcodes::Text;
        text.reset();
    }
    messageOpen = !fin;
    return StrictRefusal();
}

StrictRefusal StrictFrameRules::data(const uint8_t* payload, size_t size, bool fin) {
    if (messageIsText && !(text.feed(payload, size) && (!fin || text.complete()))) {
        return {limits::closeStatusInvalidPayload, errorTexts::invalidUtf8};
    }
    return StrictRefusal();
}

StrictRefusal StrictFrameRules::close(const uint8_t* payload, size_t size) {
    switch (checkClosePayload(payload, size)) {
        case ClosePayloadCheck::fine:
            return StrictRefusal();
        case ClosePayloadCheck::protocolError:
            return protocolError(errorTexts::invalidCloseCode);
        case ClosePayloadCheck::invalidText:
            break;
    }
    return {limits::closeStatusInvalidPayload, errorTexts::invalidUtf8};
}

const char* strictResponseProblem(const std::vector<std::string>& offeredProtocols,
                                  const std::string& chosenProtocol, bool compressionOffered,
                                  const std::vector<std::string>& extensionValues) {
    if (!chosenProtocol.empty() && std::find(offeredProtocols.begin(), offeredProtocols.end(),
                                             chosenProtocol) == offeredProtocols.end()) {
        return errorTexts::subprotocolNotOffered;
    }
    // Each value is a list of extensions, each a name and then ";"-separated parameters.
    for (const std::string& value : extensionValues) {
        size_t start = 0;
        while (start <= value.size()) {
            const size_t end = std::min(value.find(',', start), value.size());
            const std::string item = value.substr(start, end - start);
            const size_t first = item.find_first_not_of(" \t");
            if (first != std::string::npos) {
                const size_t nameEnd = item.find_first_of(" \t;", first);
                const std::string name = item.substr(first, nameEnd - first);
                if (!compressionOffered || name != "permessage-deflate") {
                    return errorTexts::extensionNotOffered;
                }
            }
            start = end + 1;
        }
    }
    return nullptr;
}

}  // namespace relaymatrix::extensions::tidewire
