// The one way the layers report a failure: a typed code the caller can act
// on (each layer's own error enum, or the system's errno) and the words (the
// system's or the library's own) a person can read.
#pragma once

#include <string>
#include <system_error>
#include <utility>

namespace tolvek {

struct [[nodiscard]] Status {
    std::error_code code;  // empty on success
    std::string message;   // empty on success

    static Status ok() { return {}; }
    static Status fail(std::error_code code, std::string message) { return {code, std::move(message)}; }
    explicit operator bool() const { return !code; }
};

// The category of one layer's error enum. Its codes' words travel in
// Status::message; the category tells the layers' codes apart.
class LayerErrors final : public std::error_category {
public:
    explicit constexpr LayerErrors(const char* layer) : layer_(layer) {}
    const char* name() const noexcept override { return layer_; }
    std::string message(int code) const override { return std::string(layer_) + " error " + std::to_string(code); }

private:
    const char* layer_;
};

// The system's reason for a failed call.
inline std::error_code system_error_code(int errno_value) { return {errno_value, std::generic_category()}; }

}  // namespace tolvek
