#pragma once

#include <atspi/atspi.h>

#include <optional>

#include "platform/TextTree.h"

namespace glimwick::os {

// AT-SPI roles under the names the selection logic knows; multiLine tells a text area from a
// text field where the toolkit gives both one role.
const char* axRoleName(AtspiRole role, bool multiLine);

// A password field, or an object whose role could not be read: never read or measured.
bool isSecret(std::optional<AtspiRole> role);

// How an embedded object's text joins the text around it.
Layout layoutOf(AtspiRole role);

// A document whose paragraphs are separate objects, each holding its part of a selection.
bool isDocument(AtspiRole role);

// A top-level window of an application.
bool isTopLevel(AtspiRole role);

}  // namespace glimwick::os
