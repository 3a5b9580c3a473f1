#include "HeaderFields.h"

namespace relaymatrix::extensions::tidewire {

// Provisional: replaced by the shared rule set of the client's request headers.
std::string headerFieldProblem(std::string_view name, std::string_view value) {
    if (name.empty() || value.find_first_of("\r\n") != std::string_view::npos) {
        return std::string(name);
    }
    return {};
}

}  // namespace relaymatrix::extensions::tidewire
