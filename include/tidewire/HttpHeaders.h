#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace relaymatrix::extensions::tidewire {

// The header fields of one HTTP message of the opening handshake, in the order they came (or
// will go out). Names are matched without regard to ASCII letter case; a repeated field is
// kept as often as it appears.
class HttpHeaders {
public:
    using Field = std::pair<std::string, std::string>;

    void add(std::string name, std::string value) {
        fields_.emplace_back(std::move(name), std::move(value));
    }
    // The first value of `name`, or null when it is absent. Valid until the next add.
    const std::string* find(std::string_view name) const;
    // Every value of `name`, in order.
    std::vector<std::string> all(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    bool empty() const { return fields_.empty(); }
    const std::vector<Field>& fields() const { return fields_; }

private:
    std::vector<Field> fields_;
};

}  // namespace relaymatrix::extensions::tidewire
