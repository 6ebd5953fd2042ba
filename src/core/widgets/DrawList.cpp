#include "core/widgets/DrawList.h"
#include "core/widgets/ScrollArea.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

TDrawList::TDrawList(QWidget* parent)
    : QAbstractScrollArea(parent)
{
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setAutoFillBackground(false);
    verticalScrollBar()->setSingleStep(1);
}

void TDrawList::SetCount(int count)
{
    count = std::max(count, 0);
    if (count == FCount)
        return;
    FCount = count;
    if (FItemIndex >= FCount)
        FItemIndex = -1;
    UpdateScrollBar();
    viewport()->update();
}

void TDrawList::SetItemHeight(int height)
{
    height = std::max(height, 1);
    if (height == FItemHeight)
        return;
    FItemHeight = height;
    UpdateScrollBar();
    viewport()->update();
}

int TDrawList::TopIndex() const { return verticalScrollBar()->value(); }

void TDrawList::SetTopIndex(int index)
{
    // The range may not be known before the first layout.
    UpdateScrollBar();
    verticalScrollBar()->setValue(index);
}

void TDrawList::SetItemIndex(int index)
{
    if (index < -1 || index >= FCount)
        index = -1;
    if (index == FItemIndex)
        return;
    FItemIndex = index;
    if (index >= 0) {
        const int visible = std::max(1, viewport()->height() / FItemHeight);
        if (index < TopIndex())
            SetTopIndex(index);
        else if (index >= TopIndex() + visible)
            SetTopIndex(index - visible + 1);
    }
    viewport()->update();
}

QRect TDrawList::ItemRect(int index) const
{
    return QRect(0, (index - TopIndex()) * FItemHeight, ClientWidth(), FItemHeight);
}

int TDrawList::ClientWidth() const { return ScrollAreaClientWidth(*this); }

void TDrawList::PaintItems(QPainter& painter, const QRect& area)
{
    if (area.isEmpty())
        return;
    painter.save();
    painter.setFont(font());
    const int top = TopIndex();
    const int first = top + std::max(area.top(), 0) / FItemHeight;
    const int last = top + std::max(area.bottom(), 0) / FItemHeight;
    const int width = std::max(ClientWidth(), area.right() + 1);
    for (int i = first; i <= last; ++i) {
        const QRect rect(0, (i - top) * FItemHeight, width, FItemHeight);
        if (i < FCount && OnDrawItem) {
            painter.save();
            painter.setBrush(Qt::white);
            painter.setPen(Qt::black);
            OnDrawItem(painter, i, rect, i == FItemIndex);
            painter.restore();
        } else {
            painter.fillRect(rect, Qt::white);
        }
    }
    painter.restore();
}

void TDrawList::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    PaintItems(painter, event->rect());
}

void TDrawList::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    UpdateScrollBar();
}

void TDrawList::mousePressEvent(QMouseEvent* event)
{
    const int y = static_cast<int>(event->position().y());
    if (y >= 0) {
        const int index = TopIndex() + y / FItemHeight;
        if (index < FCount)
            SetItemIndex(index);
    }
    if (OnClick)
        OnClick();
    QAbstractScrollArea::mousePressEvent(event);
}

void TDrawList::keyPressEvent(QKeyEvent* event)
{
    const int page = std::max(1, viewport()->height() / FItemHeight);
    int index = FItemIndex;
    switch (event->key()) {
    case Qt::Key_Up: index = std::max(index - 1, 0); break;
    case Qt::Key_Down: index = index + 1; break;
    case Qt::Key_PageUp: index = std::max(index - page, 0); break;
    case Qt::Key_PageDown: index = index + page; break;
    case Qt::Key_Home: index = 0; break;
    case Qt::Key_End: index = FCount - 1; break;
    default: QAbstractScrollArea::keyPressEvent(event); return;
    }
    if (FCount > 0)
        SetItemIndex(std::clamp(index, 0, FCount - 1));
}

void TDrawList::scrollContentsBy(int, int) { viewport()->update(); }

void TDrawList::UpdateScrollBar()
{
    const int visible = std::max(1, viewport()->height() / FItemHeight);
    QScrollBar* bar = verticalScrollBar();
    bar->setPageStep(visible);
    bar->setRange(0, std::max(0, FCount - visible));
}
