#include "core/DeflateNegotiation.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

namespace relaymatrix::extensions::tidewire {

namespace {

constexpr std::string_view extensionName = "permessage-deflate";

struct Parameter {
    std::string name;  // lower case
    std::optional<std::string> value;
};

struct Extension {
    std::string name;  // lower case
    std::vector<Parameter> parameters;
};

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Splits at `separator` outside double quotes.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"')
            quoted = !quoted;
        else if (text[i] == separator && !quoted) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

// One element of the extension list (RFC 6455, 9.1); nothing when it is malformed. A quoted
// value must itself be a token, so no escapes are needed.
std::optional<Extension> parseExtension(std::string_view element) {
    const std::vector<std::string_view> parts = split(element, ';');
    Extension extension;
    if (!isToken(trim(parts[0])))
        return std::nullopt;
    extension.name = lower(trim(parts[0]));
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::string_view part = trim(parts[i]);
        const size_t equals = part.find('=');
        Parameter parameter;
        const std::string_view name = trim(part.substr(0, equals));
        if (!isToken(name))
            return std::nullopt;
        parameter.name = lower(name);
        if (equals != std::string_view::npos) {
            std::string_view value = trim(part.substr(equals + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            if (!isToken(value))
                return std::nullopt;
            parameter.value = std::string(value);
        }
        extension.parameters.push_back(std::move(parameter));
    }
    return extension;
}

// Every element of every value, in order; nothing when any element is malformed.
std::optional<std::vector<Extension>> parseExtensions(const std::vector<std::string>& values) {
    std::vector<Extension> extensions;
    for (const std::string& value : values) {
        for (std::string_view element : split(value, ',')) {
            if (trim(element).empty())
                continue;  // the list syntax allows empty elements
            std::optional<Extension> extension = parseExtension(element);
            if (!extension)
                return std::nullopt;
            extensions.push_back(std::move(*extension));
        }
    }
    return extensions;
}

// "8" to "15", without leading zeros; 0 otherwise.
int windowBits(const std::optional<std::string>& value) {
    if (!value)
        return 0;
    for (int bits = 8; bits <= 15; ++bits) {
        if (*value == std::to_string(bits))
            return bits;
    }
    return 0;
}

// The permessage-deflate parameters as a side offered or answered them.
struct Terms {
    bool serverNoContextTakeover = false;
    bool clientNoContextTakeover = false;
    int serverMaxWindowBits = 0;  // 0: absent
    bool clientMaxWindowBitsGiven = false;
    int clientMaxWindowBits = 0;  // 0: absent or without a value
};

// Nothing when a parameter is unknown, repeated, or has a value it may not have. The client's
// window bits may come without a value only in an offer.
std::optional<Terms> readTerms(const Extension& extension, bool offer) {
    Terms terms;
    std::vector<std::string> seen;
    for (const Parameter& parameter : extension.parameters) {
        if (std::find(seen.begin(), seen.end(), parameter.name) != seen.end())
            return std::nullopt;
        seen.push_back(parameter.name);
        if (parameter.name == "server_no_context_takeover" && !parameter.value) {
            terms.serverNoContextTakeover = true;
        } else if (parameter.name == "client_no_context_takeover" && !parameter.value) {
            terms.clientNoContextTakeover = true;
        } else if (parameter.name == "server_max_window_bits" && windowBits(parameter.value)) {
            terms.serverMaxWindowBits = windowBits(parameter.value);
        } else if (parameter.name == "client_max_window_bits" &&
                   (windowBits(parameter.value) || (offer && !parameter.value))) {
            terms.clientMaxWindowBitsGiven = true;
            terms.clientMaxWindowBits = windowBits(parameter.value);
        } else {
            return std::nullopt;
        }
    }
    return terms;
}

std::string describe(const DeflateParameters& agreed, bool serverWindowBits,
                     bool clientWindowBits) {
    std::string text(extensionName);
    if (agreed.serverNoContextTakeover)
        text += "; server_no_context_takeover";
    if (agreed.clientNoContextTakeover)
        text += "; client_no_context_takeover";
    if (serverWindowBits)
        text += "; server_max_window_bits=" + std::to_string(agreed.serverMaxWindowBits);
    if (clientWindowBits)
        text += "; client_max_window_bits=" + std::to_string(agreed.clientMaxWindowBits);
    return text;
}

std::string joined(const std::vector<std::string>& values) {
    std::string text;
    for (const std::string& value : values)
        text += (text.empty() ? "" : ", ") + value;
    return text;
}

}  // namespace

std::string compressionOptionsProblem(const CompressionOptions& options) {
    for (int bits : {options.serverMaxWindowBits, options.clientMaxWindowBits}) {
        if (bits < minimumDeflateWindowBits || bits > maximumDeflateWindowBits)
            return "compression window bits must be 9 to 15, not " + std::to_string(bits);
    }
    return "";
}

std::string buildDeflateOffer(const CompressionOptions& options) {
    DeflateParameters asked;
    asked.serverNoContextTakeover = options.serverNoContextTakeover;
    asked.clientNoContextTakeover = options.clientNoContextTakeover;
    asked.serverMaxWindowBits = options.serverMaxWindowBits;
    std::string offer = describe(asked, options.serverMaxWindowBits < 15, false);
    offer += "; client_max_window_bits";
    if (options.clientMaxWindowBits < 15)
        offer += "=" + std::to_string(options.clientMaxWindowBits);
    return offer;
}

DeflateAgreement answerDeflateOffers(const std::vector<std::string>& requestValues,
                                     const CompressionOptions& options) {
    DeflateAgreement answer;
    const std::optional<std::vector<Extension>> offers = parseExtensions(requestValues);
    if (!offers)
        return answer;
    for (const Extension& offer : *offers) {
        const std::optional<Terms> terms =
            offer.name == extensionName ? readTerms(offer, true) : std::nullopt;
        if (!terms)
            continue;
        DeflateParameters& agreed = answer.parameters;
        agreed.serverNoContextTakeover =
            terms->serverNoContextTakeover || options.serverNoContextTakeover;
        // The client's own hint is echoed: it resets either way, and we may then too.
        agreed.clientNoContextTakeover =
            terms->clientNoContextTakeover || options.clientNoContextTakeover;
        agreed.serverMaxWindowBits = options.serverMaxWindowBits;
        if (terms->serverMaxWindowBits)
            agreed.serverMaxWindowBits =
                std::min(agreed.serverMaxWindowBits, terms->serverMaxWindowBits);
        if (agreed.serverMaxWindowBits < minimumDeflateWindowBits)
            continue;
        // A client that does not allow us to limit its window compresses with up to 15 bits.
        agreed.clientMaxWindowBits = 15;
        if (terms->clientMaxWindowBitsGiven)
            agreed.clientMaxWindowBits =
                std::min(options.clientMaxWindowBits,
                         terms->clientMaxWindowBits ? terms->clientMaxWindowBits : 15);
        answer.agreed = true;
        answer.header =
            describe(agreed, terms->serverMaxWindowBits || agreed.serverMaxWindowBits < 15,
                     agreed.clientMaxWindowBits < 15);
        return answer;
    }
    answer.parameters = DeflateParameters();
    return answer;
}

DeflateAgreement checkDeflateResponse(const std::vector<std::string>& responseValues,
                                      const CompressionOptions& options) {
    DeflateAgreement result;
    if (responseValues.empty())
        return result;
    result.header = joined(responseValues);
    const std::optional<std::vector<Extension>> answers = parseExtensions(responseValues);
    std::optional<Terms> terms;
    if (answers && answers->size() == 1 && answers->front().name == extensionName)
        terms = readTerms(answers->front(), false);
    // The server may not loosen what we asked of it, nor hold us to a window we cannot
    // compress with.
    if (!terms || terms->serverMaxWindowBits > options.serverMaxWindowBits ||
        (terms->clientMaxWindowBits && terms->clientMaxWindowBits < minimumDeflateWindowBits)) {
        result.failure =
            "Handshake validation error: Invalid Sec-WebSocket-Extensions: " + result.header;
        return result;
    }
    DeflateParameters& agreed = result.parameters;
    agreed.serverNoContextTakeover = terms->serverNoContextTakeover;
    agreed.clientNoContextTakeover =
        terms->clientNoContextTakeover || options.clientNoContextTakeover;
    agreed.serverMaxWindowBits = terms->serverMaxWindowBits ? terms->serverMaxWindowBits : 15;
    agreed.clientMaxWindowBits = options.clientMaxWindowBits;
    if (terms->clientMaxWindowBits)
        agreed.clientMaxWindowBits =
            std::min(agreed.clientMaxWindowBits, terms->clientMaxWindowBits);
    result.agreed = true;
    return result;
}

}  // namespace relaymatrix::extensions::tidewire
