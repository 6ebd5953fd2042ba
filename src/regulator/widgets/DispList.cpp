#include "regulator/widgets/DispList.h"

#include "core/widgets/DrawList.h"
#include "values/ValueList.h"

#include <QPainter>
#include <QStyleOptionFocusRect>

TDispList::TDispList(TValue* value, TDrawList* list)
    : TDisp(value)
    , List(list)
{
    if (!list)
        return;
    list->viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    list->OnDrawItem = [this](QPainter& painter, int index, const QRect& rect, bool selected) {
        DrawListItem(painter, index, rect, selected);
    };
}

TDispList::~TDispList()
{
    if (List)
        List->OnDrawItem = nullptr;
}

void TDispList::Refresh()
{
    if (List)
        List->viewport()->update();
}

void TDispList::DrawListItem(QPainter& painter, int index, const QRect& rect, bool selected)
{
    const auto* list = dynamic_cast<const TValueList*>(Value);
    if (List && index < List->Count() && list && list->ItemExists(index)) {
        QColor background, text;
        GetColors(background, text);
        painter.setBrush(background);
        painter.setPen(text);
        DrawItem(painter, index, IsFresh(), rect);
    } else {
        painter.fillRect(rect, FreshnessColors[Missing].Background);
    }
    if (selected && List && List->hasFocus()) {
        painter.save();
        QPen pen(FreshnessColors[Missing].Background, 1, Qt::DotLine);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect.adjusted(0, 0, -1, -1));
        painter.restore();
    }
}

void TDispList::DrawItem(QPainter& painter, int, bool, const QRect& rect) { painter.fillRect(rect, painter.brush()); }
