// The main panel and the programming popup with the controls the run uses, for tests that run
// it on headless panels without the panel file.
#pragma once

#include "app/run_context.h"
#include "platform/panels.h"

namespace driveflash::test {

inline platform::PanelDef run_main_panel(int port = 0, int drive_baud = 0, int loader_baud = 0) {
  using platform::ControlKind;
  platform::PanelDef def;
  def.number = kMainPanelId;
  def.callback = "panelCB";
  def.controls = {{MAINPANEL_FILEPATH, ControlKind::Text, "path", "", "", std::string()},
                  {MAINPANEL_COMPORT, ControlKind::Int, "port", "", "", port},
                  {MAINPANEL_DRIVE_BAUD, ControlKind::Int, "baud1", "", "", drive_baud},
                  {MAINPANEL_LOADER_BAUD, ControlKind::Int, "baud2", "", "", loader_baud},
                  {MAINPANEL_COUNTER, ControlKind::Int, "count", "", "", 0},
                  {MAINPANEL_FILETYPE, ControlKind::Ring, "kind", "", "", 0}};
  return def;
}

inline platform::PanelDef run_popup_panel() {
  using platform::ControlKind;
  platform::PanelDef def;
  def.number = kProgramPanelId;
  def.callback = "panelprgCB";
  def.controls = {{PRGPANEL_STATUS, ControlKind::TextBox, "status", "", "", std::string()},
                  {PRGPANEL_OK, ControlKind::Button, "ok", "OK", "progOK", 0},
                  {PRGPANEL_PROGRESS, ControlKind::Double, "progress", "", "", 0.0}};
  return def;
}

}  // namespace driveflash::test
