#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace relaymatrix::extensions::tidewire::tool {

// A mistake in the command line: the message goes to standard error with the usage text and
// the tool exits with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The options and positional words of one command. Options are "--name" switches or
// "--name VALUE" settings; a setting may be repeated, and every value is kept in order.
class Arguments {
public:
    // `switches` and `settings` name the options the command accepts (without "--"). Throws
    // UsageError for an unknown option, a setting without its value, or a number of
    // positional words outside [minPositional, maxPositional].
    Arguments(const std::vector<std::string>& words, const std::vector<std::string>& switches,
              const std::vector<std::string>& settings, size_t minPositional, size_t maxPositional);

    const std::vector<std::string>& positional() const { return positional_; }
    bool has(const std::string& name) const { return options_.count(name) != 0; }
    // Every value given to a setting, in order (empty when absent).
    std::vector<std::string> all(const std::string& name) const;
    // The last value given to a setting, or `fallback`.
    std::string last(const std::string& name, const std::string& fallback = "") const;

private:
    std::vector<std::string> positional_;
    std::map<std::string, std::vector<std::string>> options_;
};

// A decimal number in [0, max]; `what` names it in the UsageError.
uint64_t parseNumber(const std::string& text, uint64_t max, const std::string& what);
// A TCP or UDP port number (0 to 65535).
unsigned short parsePort(const std::string& text);

}  // namespace relaymatrix::extensions::tidewire::tool
