#pragma once

#include <QWidget>

#include <vector>

class QTabBar;

// A tab control whose pages place their controls in the control's own coordinates: a control at
// top 600 twips stands 600 twips below the control's top edge, the tab strip included. A control
// reaching up into the strip is drawn whole, over it. Only the selected tab's page is shown.
class SSTab : public QWidget {
    Q_OBJECT

public:
    // captions: one tab per caption, in one row; stripHeight: height of the tab strip in pixels.
    SSTab(const QStringList &captions, int stripHeight, QWidget *parent = nullptr);

    [[nodiscard]] int Tab() const;       // index of the selected tab, from 0
    void setTab(int index);              // selects a tab (a new value shows its page)
    [[nodiscard]] int Tabs() const;
    [[nodiscard]] QString TabCaption(int index) const;

    // The page of a tab; its origin is the control's top-left corner.
    [[nodiscard]] QWidget *page(int index) const;
    // Puts w on a tab's page at rect, given in the control's own coordinates.
    void place(int index, QWidget *w, const QRect &rect);

    QTabBar *tabBar() const { return bar_; }

signals:
    // After the selected tab changed, by mouse, keyboard or program; carries the previous index.
    void Click(int previousTab);
    // A press on a tab (even the selected one); carries the tab's index.
    void TabPressed(int index);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateMask(QWidget *pg);

    QTabBar *bar_;
    std::vector<QWidget *> pages_;
    int stripHeight_;
    int current_ = 0;
};
