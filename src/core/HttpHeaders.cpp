#include "tidewire/HttpHeaders.h"

namespace relaymatrix::extensions::tidewire {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        x = (x >= 'A' && x <= 'Z') ? static_cast<char>(x - 'A' + 'a') : x;
        y = (y >= 'A' && y <= 'Z') ? static_cast<char>(y - 'A' + 'a') : y;
        if (x != y) {
            return false;
        }
    }
    return true;
}

}  // namespace

const std::string* HttpHeaders::find(std::string_view name) const {
    for (const Field& field : fields_) {
        if (sameName(field.first, name)) {
            return &field.second;
        }
    }
    return nullptr;
}

std::vector<std::string> HttpHeaders::all(std::string_view name) const {
    std::vector<std::string> values;
    for (const Field& field : fields_) {
        if (sameName(field.first, name)) {
            values.push_back(field.second);
        }
    }
    return values;
}

}  // namespace relaymatrix::extensions::tidewire
