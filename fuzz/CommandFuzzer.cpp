// Arbitrary objects for the seven commands, into a helper that monitors a simulated desktop.
//
// Input: lines. "N:TEXT" posts command N (1 to 7, in catalogue order) with the string object
// TEXT; "N!" posts it without an object, "N#" with an object that is not a string; "+D" lets D
// tenths of a second pass. Other lines are ignored.
//
// After every input the helper must still answer a ping, unless a shutdown command ended it.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Harness.h"
#include "protocol/Catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    glimwick::sim::Harness helper;
    helper.launch();
    helper.selectInTextApp("a selection to report", glimwick::Rect{10, 10, 100, 12});

    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        size_t end = input.find('\n');
        std::string_view line = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        if (line.size() >= 2 && line[0] == '+') {
            helper.advance((line[1] - '0') / 10.0);
        } else if (line.size() >= 2 && line[0] >= '1' && line[0] <= '7') {
            const char* name = glimwick::names::kAllCommands[line[0] - '1'];
            if (line[1] == ':') {
                helper.send(name, std::string(line.substr(2)));
            } else if (line[1] == '!') {
                helper.send(name);
            } else if (line[1] == '#') {
                helper.send(name, glimwick::NonStringObject{});
            }
        }
    }
    helper.advance(3.0);

    if (!helper.sim.application.isTerminated()) {
        size_t pongs = helper.events("com.corvala.app.pong").size();
        helper.send("com.corvala.helper.ping");
        if (helper.events("com.corvala.app.pong").size() != pongs + 1) {
            std::abort();  // a running helper stopped answering
        }
    }
    return 0;
}
