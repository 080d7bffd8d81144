#pragma once

#include <string_view>

namespace glimwick {

// Standard output. Each line is written whole; write failures are ignored.
class Console {
public:
    virtual ~Console() = default;
    virtual void writeLine(std::string_view line) = 0;
};

}  // namespace glimwick
