// The panel resource file: a Qt Designer form holding every panel of the program.
//
// Each widget that carries the dynamic property "panelNumber" is a panel; the widgets inside it
// that carry "ctrlNumber" are its controls. The kind of a control follows from its widget class
// (a line edit or label holds text; a spin box, number display or editable combo box a whole
// number; a combo box that is not editable the index of its choice; a progress bar a real
// number; a plain text edit lines of text; a push button nothing). Buttons and panels name their
// callbacks in "callback" and "panelCallback"; "value" overrides a control's starting value.
//
// Only QtCore is used, so the command line reads the same file without any widgets.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/panels.h"

namespace driveflash::platform {

// Panel `number` of the form in `content`; nullopt with the reason in `error` when the form
// is malformed or has no such panel.
std::optional<PanelDef> parse_uir_panel(std::string_view content, int number, std::string& error);

// Reads `path` and parses panel `number` from it; `error` says why not.
std::optional<PanelDef> load_uir_panel(const std::string& path, int number, std::string& error);

// Reads the whole panel file at `path` into `content` (bounded: a panel file is small).
bool read_panel_file(const std::string& path, std::string& content, std::string& error);

// A panel source that looks the file up anew on every LoadPanel (the current directory first,
// then beside the program and in the installed data directory), so an edited form takes effect
// at the next load. A missing file is a quiet failure; a malformed one is reported on stderr.
PanelSource uir_panel_source();

}  // namespace driveflash::platform
