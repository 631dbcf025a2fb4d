#pragma once

// The application-wide mouse pointer, by its value: 0 the default, 11 the hourglass.
namespace Screen {
inline constexpr int Default = 0;
inline constexpr int Hourglass = 11;

void setMousePointer(int value);
[[nodiscard]] int mousePointer();
} // namespace Screen
