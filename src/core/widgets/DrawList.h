#pragma once
// A virtual owner-drawn list box: it holds no items, only their count; every
// visible item is painted through OnDrawItem. Scrolls by whole items.
#include <QAbstractScrollArea>

#include <functional>

class TDrawList : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TDrawList(QWidget* parent = nullptr);

    int Count() const { return FCount; }
    void SetCount(int count);
    int ItemHeight() const { return FItemHeight; }
    void SetItemHeight(int height);
    int TopIndex() const;
    void SetTopIndex(int index);
    int ItemIndex() const { return FItemIndex; } // the selected item, -1 for none
    void SetItemIndex(int index);
    // The rectangle of item index in viewport coordinates.
    QRect ItemRect(int index) const;
    int ClientWidth() const;

    // painter (brush and pen free to set), index, rectangle, selected
    std::function<void(QPainter&, int, const QRect&, bool)> OnDrawItem;
    std::function<void()> OnClick;

    // Paints the items that intersect area (viewport coordinates) into any
    // painter: what the paint event does.
    void PaintItems(QPainter& painter, const QRect& area);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void UpdateScrollBar();
    int FCount = 0;
    int FItemHeight = 13;
    int FItemIndex = -1;
};
