// The one way the layers report a failure: a code the caller can act on and
// the words (the system's or the library's own) a person can read.
#pragma once

#include <string>
#include <utility>

namespace tolvek {

struct [[nodiscard]] Status {
    int code = 0;          // 0: success; otherwise the layer's own error code
    std::string message;   // empty on success

    static Status ok() { return {}; }
    static Status fail(int code, std::string message) { return {code, std::move(message)}; }
    explicit operator bool() const { return code == 0; }
};

}  // namespace tolvek
