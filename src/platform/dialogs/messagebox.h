#pragma once

#include "resources/texts.h"

#include <QString>

// Message box style numbers and results, with the values of the classic MsgBox constants.
// A style is the sum of one button set, at most one icon and at most one default-button choice.
namespace Msg {
// Button sets.
inline constexpr int OKOnly = 0, OKCancel = 1, AbortRetryIgnore = 2, YesNoCancel = 3, YesNo = 4, RetryCancel = 5;
// Icons.
inline constexpr int Critical = 16, Question = 32, Exclamation = 48, Information = 64;
// Which button is the default (pressed by Enter): the first unless one of these is added.
inline constexpr int DefaultButton2 = 256, DefaultButton3 = 512;
// Results: the button pressed.
inline constexpr int OK = 1, Cancel = 2, Abort = 3, Retry = 4, Ignore = 5, Yes = 6, No = 7;
} // namespace Msg

// The caption of every message box: the title of the application.
inline constexpr auto &AppTitle = Resources::ApplicationTitle;

// Shows prompt (as plain text) in an application-modal message box with the caption
// "Tarvos Utility", owned by the active window if there is one, and returns the button pressed.
// Esc and the close box answer Cancel when the box has a Cancel button, and OK in an OK-only box.
// An unknown button set shows OK only.
int MsgBox(const QString &prompt, int style = Msg::OKOnly);
