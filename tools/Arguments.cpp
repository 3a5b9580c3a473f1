#include "Arguments.h"

#include <algorithm>
#include <cstdlib>

namespace relaymatrix::extensions::tidewire::tool {

namespace {

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

Arguments::Arguments(const std::vector<std::string>& words,
                     const std::vector<std::string>& switches,
                     const std::vector<std::string>& settings, size_t minPositional,
                     size_t maxPositional) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            positional_.push_back(word);
            continue;
        }
        const std::string name = word.substr(2);
        if (contains(switches, name)) {
            options_[name];
        } else if (contains(settings, name)) {
            if (i + 1 == words.size()) {
                throw UsageError("option " + word + " needs a value");
            }
            options_[name].push_back(words[++i]);
        } else {
            throw UsageError("unknown option " + word);
        }
    }
    if (positional_.size() < minPositional) {
        throw UsageError("missing argument");
    }
    if (positional_.size() > maxPositional) {
        throw UsageError("unexpected argument '" + positional_[maxPositional] + "'");
    }
}

std::vector<std::string> Arguments::all(const std::string& name) const {
    const auto found = options_.find(name);
    return found == options_.end() ? std::vector<std::string>{} : found->second;
}

std::string Arguments::last(const std::string& name, const std::string& fallback) const {
    const auto found = options_.find(name);
    if (found == options_.end() || found->second.empty()) {
        return fallback;
    }
    return found->second.back();
}

uint64_t parseNumber(const std::string& text, uint64_t max, const std::string& what) {
    const bool digitsOnly =
        !text.empty() && text.size() <= 19 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digitsOnly || std::strtoull(text.c_str(), nullptr, 10) > max) {
        throw UsageError("bad " + what + " '" + text + "'");
    }
    return std::strtoull(text.c_str(), nullptr, 10);
}

unsigned short parsePort(const std::string& text) {
    return static_cast<unsigned short>(parseNumber(text, 65535, "port"));
}

}  // namespace relaymatrix::extensions::tidewire::tool
