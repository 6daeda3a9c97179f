// What the operator's windows share: their looks, and reading a control as a number.
#pragma once

#include "platform/panels.h"

namespace driveflash::app {

// A visible focus on every control the keyboard reaches. A border only: padding added on focus
// would take room from the words of a button sized without it, and cut them off.
inline constexpr const char* kFocusStyle =
    "QPushButton:focus, QComboBox:focus, QLineEdit:focus, QPlainTextEdit:focus "
    "{ border: 2px solid #1565c0; border-radius: 3px; }";

// The control's value as a number; 0 when it has none.
inline int ctrl_int(int panel, int control) {
  int value = 0;
  GetCtrlVal(panel, control, &value);
  return value;
}

}  // namespace driveflash::app
