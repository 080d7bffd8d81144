#include "platform/linux/StdoutConsole.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace glimwick::os {

void StdoutConsole::writeLine(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(STDOUT_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // A failed write is ignored.
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
}

}  // namespace glimwick::os
