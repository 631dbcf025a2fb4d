#include "platform/tabctl/sstab.h"

#include <QChildEvent>
#include <QPainter>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionTabWidgetFrame>
#include <QTabBar>

#include <algorithm>

SSTab::SSTab(const QStringList &captions, int stripHeight, QWidget *parent)
    : QWidget(parent), bar_(new QTabBar(this)), stripHeight_(stripHeight)
{
    bar_->setObjectName(QStringLiteral("tabBar"));
    bar_->setExpanding(true);
    bar_->setDrawBase(false);
    bar_->setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(bar_);
    for (const QString &caption : captions) {
        bar_->addTab(caption);
        auto *pg = new QWidget(this);
        pg->setObjectName(QStringLiteral("page%1").arg(pages_.size()));
        pg->installEventFilter(this);
        pg->setVisible(pages_.empty());
        pages_.push_back(pg);
    }
    connect(bar_, &QTabBar::currentChanged, this, [this](int index) {
        const int previous = current_;
        current_ = index;
        for (size_t i = 0; i < pages_.size(); ++i)
            pages_[i]->setVisible(int(i) == index);
        emit Click(previous);
    });
    connect(bar_, &QTabBar::tabBarClicked, this, &SSTab::TabPressed);

    // Ctrl+Tab and Ctrl+Shift+Tab step through the tabs from anywhere in the window.
    auto *next = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Tab), this);
    next->setContext(Qt::WindowShortcut);
    connect(next, &QShortcut::activated, this, [this] { setTab((Tab() + 1) % Tabs()); });
    auto *prev = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), this);
    prev->setContext(Qt::WindowShortcut);
    connect(prev, &QShortcut::activated, this, [this] { setTab((Tab() + Tabs() - 1) % Tabs()); });
}

int SSTab::Tab() const
{
    return current_;
}

void SSTab::setTab(int index)
{
    if (index >= 0 && index < Tabs())
        bar_->setCurrentIndex(index);
}

int SSTab::Tabs() const
{
    return int(pages_.size());
}

QString SSTab::TabCaption(int index) const
{
    return bar_->tabText(index);
}

QWidget *SSTab::page(int index) const
{
    return pages_.at(size_t(index));
}

void SSTab::place(int index, QWidget *w, const QRect &rect)
{
    w->setParent(page(index));
    w->setGeometry(rect);
}

void SSTab::resizeEvent(QResizeEvent *)
{
    bar_->setGeometry(0, 0, width(), stripHeight_);
    for (QWidget *pg : pages_) {
        pg->setGeometry(rect());
        updateMask(pg);
    }
}

bool SSTab::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::ChildAdded:
        if (auto *child = qobject_cast<QWidget *>(static_cast<QChildEvent *>(event)->child())) {
            child->installEventFilter(this);
            if (auto *pg = qobject_cast<QWidget *>(watched))
                updateMask(pg);
        }
        break;
    case QEvent::ChildRemoved:
        if (auto *pg = qobject_cast<QWidget *>(watched))
            updateMask(pg);
        break;
    case QEvent::Move:
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Hide:
        if (auto *w = qobject_cast<QWidget *>(watched); w && !w->isWindow() && w->parentWidget())
            if (std::find(pages_.begin(), pages_.end(), w->parentWidget()) != pages_.end())
                updateMask(w->parentWidget());
        break;
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void SSTab::updateMask(QWidget *pg)
{
    // The page spans the whole control, above the strip, so a control placed over the strip's
    // edge is drawn whole and on top of it. Its mask is the area below the strip plus its own
    // controls, so the rest of the strip still shows through and takes the mouse.
    QRegion region(0, stripHeight_, width(), height() - stripHeight_);
    for (QObject *o : pg->children())
        if (auto *w = qobject_cast<QWidget *>(o); w && !w->isWindow() && !w->isHidden())
            region += w->geometry();
    pg->setMask(region);
}

void SSTab::paintEvent(QPaintEvent *)
{
    // The frame around the pages, as a tab widget draws it.
    QPainter p(this);
    QStyleOptionTabWidgetFrame opt;
    opt.initFrom(this);
    opt.rect = QRect(0, stripHeight_ - 1, width(), height() - stripHeight_ + 1);
    opt.tabBarSize = QSize(width(), stripHeight_);
    opt.shape = QTabBar::RoundedNorth;
    style()->drawPrimitive(QStyle::PE_FrameTabWidget, &opt, &p, this);
}
