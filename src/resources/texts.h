#pragma once

// Texts of the program that more than one window shows.
namespace Resources {

// The application title: the caption of every message box and the About dialog's title.
inline constexpr char ApplicationTitle[] = "Tarvos Utility";

// The copyright line of the About and Login dialogs.
inline constexpr char CopyrightLine[] = "Copyright \u00A9 2026 Tarvos Systems. All rights reserved.";

} // namespace Resources
