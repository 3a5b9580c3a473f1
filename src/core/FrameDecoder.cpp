#include "FrameDecoder.h"

#include <cassert>
#include <utility>

#include "Masking.h"

namespace relaymatrix::extensions::tidewire {

void FrameDecoder::reset() {
    std::vector<uint8_t> buffer;
    if (record.payload.capacity() <= retainedPayloadCapacity) {
        buffer = std::move(record.payload);
        buffer.clear();
    }
    record = WebSocketFrame{};
    record.payload = std::move(buffer);
    currentStep = FrameStep::Header;
}

uint64_t FrameDecoder::bytesNeeded() const {
    switch (currentStep) {
        case FrameStep::Header:
            return 2;
        case FrameStep::LengthAndKey:
            return record.extendedPayloadLengthBytes + (record.masked ? 4 : 0);
        case FrameStep::Payload:
            return record.payloadLength;
        case FrameStep::Complete:
            break;
    }
    return 0;
}

void FrameDecoder::applyHeader(const uint8_t* bytes) {
    assert(currentStep == FrameStep::Header);
    const uint8_t lengthCode = bytes[1] & 0x7F;
    record.fin = (bytes[0] >> 7) != 0;
    record.opcode = bytes[0] & 0x0F;
    reservedBitsSeen = bytes[0] & reservedBits;
    record.masked = (bytes[1] >> 7) != 0;
    record.payloadLength = lengthCode;
    record.extendedPayloadLengthBytes = lengthCode == 126 ? 2 : lengthCode == 127 ? 8 : 0;
    record.frameComplete = lengthCode == 0 && !record.masked;
    if (record.frameComplete) {
        currentStep = FrameStep::Complete;
    } else if (record.extendedPayloadLengthBytes != 0 || record.masked) {
        currentStep = FrameStep::LengthAndKey;
    } else {
        currentStep = FrameStep::Payload;
    }
}

void FrameDecoder::applyLengthAndKey(const uint8_t* bytes) {
    assert(currentStep == FrameStep::LengthAndKey);
    const size_t lengthBytes = static_cast<size_t>(record.extendedPayloadLengthBytes);
    if (lengthBytes != 0) {
        uint64_t length = 0;
        for (size_t i = 0; i < lengthBytes; ++i) {
            length = (length << 8) | bytes[i];
        }
        record.payloadLength = length;
    }
    if (record.masked) {
        for (size_t i = 0; i < 4; ++i) {
            record.maskingKey[i] = bytes[lengthBytes + i];
        }
    }
    record.frameComplete = record.payloadLength == 0;
    currentStep = record.frameComplete ? FrameStep::Complete : FrameStep::Payload;
}

void FrameDecoder::applyPayload(const uint8_t* bytes) {
    assert(currentStep == FrameStep::Payload);
    const size_t size = static_cast<size_t>(record.payloadLength);
    if (record.masked) {
        record.payload.resize(size);
        copyWithMask(record.payload.data(), bytes, size, record.maskingKey.data());
    } else {
        record.payload.assign(bytes, bytes + size);
    }
    record.frameComplete = true;
    currentStep = FrameStep::Complete;
}

uint8_t* FrameDecoder::preparePayload() {
    assert(currentStep == FrameStep::Payload);
    record.payload.resize(static_cast<size_t>(record.payloadLength));
    return record.payload.data();
}

void FrameDecoder::finishPayload() {
    assert(currentStep == FrameStep::Payload);
    if (record.masked) {
        applyMask(record.payload.data(), record.payload.size(), record.maskingKey.data());
    }
    record.frameComplete = true;
    currentStep = FrameStep::Complete;
}

}  // namespace relaymatrix::extensions::tidewire
