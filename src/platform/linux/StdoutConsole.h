#pragma once

#include "platform/Console.h"

namespace glimwick::os {

// Writes each line with its newline in one go, unbuffered, so a reader on a pipe sees it at once.
class StdoutConsole : public Console {
public:
    void writeLine(std::string_view line) override;
};

}  // namespace glimwick::os
