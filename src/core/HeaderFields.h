#pragma once

#include <string>
#include <string_view>

namespace relaymatrix::extensions::tidewire {

// "" when `name: value` may go into a handshake message added by a host; otherwise a short
// reason naming the field.
std::string headerFieldProblem(std::string_view name, std::string_view value);

}  // namespace relaymatrix::extensions::tidewire
