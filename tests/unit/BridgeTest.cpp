// The bridge's translations as the selection logic relies on them: the role table (the
// search-box rule matches entries and combo boxes inside tool bars and groups, and a password
// is never read) and what a failed call means.

#include <gtest/gtest.h>

#include "platform/linux/AtspiCalls.h"
#include "platform/linux/AtspiRoles.h"

namespace glimwick::os {
namespace {

TEST(Roles, TheNamesTheExclusionRuleAndThePasswordRuleDependOn) {
    struct Case {
        AtspiRole role;
        bool multiLine;
        const char* name;
    };
    for (const Case& c : std::initializer_list<Case>{
             {ATSPI_ROLE_ENTRY, false, "AXTextField"},
             {ATSPI_ROLE_TEXT, false, "AXTextField"},
             {ATSPI_ROLE_TEXT, true, "AXTextArea"},
             {ATSPI_ROLE_COMBO_BOX, false, "AXComboBox"},
             {ATSPI_ROLE_TOOL_BAR, false, "AXToolbar"},
             {ATSPI_ROLE_PANEL, false, "AXGroup"},
             {ATSPI_ROLE_FILLER, false, "AXGroup"},
             {ATSPI_ROLE_TERMINAL, false, "AXTextArea"},
             {ATSPI_ROLE_DOCUMENT_WEB, false, "AXWebArea"},
             {ATSPI_ROLE_INVALID, false, "AXUnknown"},
         }) {
        EXPECT_STREQ(axRoleName(c.role, c.multiLine), c.name) << c.role;
    }
    EXPECT_TRUE(isSecret(ATSPI_ROLE_PASSWORD_TEXT));
    EXPECT_TRUE(isSecret(std::nullopt)) << "a role that cannot be read may be a password";
    EXPECT_FALSE(isSecret(ATSPI_ROLE_ENTRY));
    EXPECT_FALSE(isSecret(ATSPI_ROLE_TEXT));
}

TEST(Bridge, AFailedCallIsClassifiedByItsCodeNotItsMessage) {
    auto code = [](const char* domain, int value, const char* message) {
        GErrorPtr error(g_error_new_literal(g_quark_from_string(domain), value, message));
        return axErrorFor(error.get());
    };
    EXPECT_EQ(axErrorFor(nullptr), ax::kAXErrorSuccess);
    EXPECT_EQ(code("atspi_error", 0, "The application no longer exists"),
              ax::kAXErrorInvalidUIElement);
    EXPECT_EQ(code("atspi_error", 1, "org.freedesktop.DBus.Error.UnknownObject"),
              ax::kAXErrorCannotComplete);
    EXPECT_EQ(code("g-io-error-quark", 0, "gone"), ax::kAXErrorCannotComplete);
}

}  // namespace
}  // namespace glimwick::os
