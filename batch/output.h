// Where a run's text goes: the console, or a test.
#pragma once

#include <string>
#include <string_view>

namespace tolvek::batch {

class Output {
public:
    virtual ~Output() = default;
    virtual void out(std::string_view text) = 0;  // standard output
    virtual void err(std::string_view text) = 0;  // standard error
    // A name as the lines show it.
    virtual std::string shown(std::string_view name) const { return std::string(name); }
};

}  // namespace tolvek::batch
