#pragma once

#include <QtGlobal>

#include <span>
#include <variant>

class AnimationCtrl;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;
class SSTab;

// A window's controls made from one table: each row creates a control, stores it where the
// window keeps it, names it and places it in twips.
namespace Layout {

// What a control is; its class follows from where it is kept.
enum class Kind { Picture, Label, Field, Browse, Clip, Command };

using Slot = std::variant<QLabel **, QLineEdit **, QPushButton **, AnimationCtrl **>;

struct Control {
    Slot slot;
    const char *name; // the object name
    int tab;          // the tab of tabs it stands on; a Command stands on the window
    Kind kind;
    const char *caption; // a Label's text or a button's caption (UTF-8); null for none
    int left, top, width, height;
};

// Creates the controls of table in its order. A Label's text is aligned to the top left and wraps
// when it holds a space and its box is taller than one line; buttons never take the default.
// The keyboard's tab order follows tabs, then the table's fields and buttons in its order.
void build(std::span<const Control> table, QWidget *window, SSTab *tabs);

} // namespace Layout
