#pragma once

#include <atspi/atspi.h>

#include <functional>
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

// Whether the children of a container without text of its own, beside one of them in role
// child, are paragraphs that may each hold a part of one selection: a document's, and the
// paragraphs of a text shape or a table cell (LibreOffice's slides, drawings and tables).
// Elsewhere only paragraphs are such children.
bool holdsParagraphs(AtspiRole container, AtspiRole child);

// An object that shows a document of its own (a web page's frame, an embedded object): a
// selection around it does not take in its text, as a copy would not.
bool isSeparateDocument(AtspiRole role);

// An object that draws text of its own without offering it to accessibility: a drawing area,
// canvas or terminal without a Text interface (AbiWord's document), or a generic object with
// no children (GTK 4's VTE). hasChildren is asked only where it matters.
bool drawsOwnText(AtspiRole role, const std::function<bool()>& hasChildren);

// A top-level window of an application.
bool isTopLevel(AtspiRole role);

}  // namespace glimwick::os
