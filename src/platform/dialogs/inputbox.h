#pragma once

#include <QString>

#include <optional>

// Asks for one line of text in an application-modal box with prompt (plain text), an OK and a
// Cancel button, and defaultText in the field, selected so that typing replaces it. The caption
// is title, or the application title when title is empty. Returns the text as confirmed (an
// empty text included), or nullopt when the box was cancelled (Cancel, Esc or its close box).
[[nodiscard]] std::optional<QString> InputBox(const QString &prompt, const QString &title, const QString &defaultText);
