#include "core/widgets/ScrollArea.h"

#include <QAbstractScrollArea>
#include <QScrollBar>

#include <algorithm>

int ScrollAreaClientWidth(const QAbstractScrollArea& area)
{
    if (area.isVisible())
        return area.viewport()->width();
    int width = area.contentsRect().width();
    const Qt::ScrollBarPolicy policy = area.verticalScrollBarPolicy();
    if (policy == Qt::ScrollBarAlwaysOn ||
        (policy == Qt::ScrollBarAsNeeded && area.verticalScrollBar()->maximum() > 0))
        width -= area.verticalScrollBar()->sizeHint().width();
    return std::max(width, 0);
}
