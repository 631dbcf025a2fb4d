#include "platform/controls/layout.h"

#include "platform/animation/animationctrl.h"
#include "platform/tabctl/sstab.h"
#include "platform/twips.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <type_traits>

namespace Layout {

void build(std::span<const Control> table, QWidget *window, SSTab *tabs)
{
    QWidget *previous = tabs;
    for (const Control &c : table) {
        QWidget *w = std::visit(
            [](auto slot) -> QWidget * {
                return *slot = new std::remove_pointer_t<std::remove_pointer_t<decltype(slot)>>;
            },
            c.slot);
        w->setObjectName(QLatin1String(c.name));
        const QString caption = QString::fromUtf8(c.caption);
        const QRect rect = Twips::rect(c.left, c.top, c.width, c.height);
        if (auto *label = qobject_cast<QLabel *>(w); label && c.kind == Kind::Label) {
            label->setText(caption);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            label->setWordWrap(caption.contains(QLatin1Char(' ')) && rect.height() > Twips::px(300));
        } else if (auto *button = qobject_cast<QPushButton *>(w)) {
            button->setText(caption);
            button->setAutoDefault(false);
        }
        if (c.kind == Kind::Command) {
            w->setParent(window);
            w->setGeometry(rect);
        } else {
            tabs->place(c.tab, w, rect);
        }
        if (c.kind == Kind::Field || c.kind == Kind::Browse || c.kind == Kind::Command) {
            QWidget::setTabOrder(previous, w);
            previous = w;
        }
    }
}

} // namespace Layout
