#include "regulator/widgets/DispListQ.h"

#include "core/widgets/DrawList.h"
#include "core/widgets/PaintBox.h"
#include "regulator/ValueListQ.h"
#include "regulator/widgets/ListDrawing.h"

#include <QPainter>

TDispListQ::TDispListQ(TValueListQ* value, TDrawList* list, TPaintBox* box)
    : TDispList(value, list)
    , ValueQ(value)
    , Box(box)
{
    if (!box)
        return;
    box->setAttribute(Qt::WA_OpaquePaintEvent);
    box->OnPaint = [this](QPainter& painter, const QRect& area) { PaintBars(painter, area); };
}

TDispListQ::~TDispListQ()
{
    if (Box)
        Box->OnPaint = nullptr;
}

void TDispListQ::Refresh()
{
    if (List) {
        const int count = ValueQ ? ValueQ->VisibleCount() : 0;
        if (count != List->Count()) {
            const int top = List->TopIndex();
            List->SetCount(count);
            if (top < count)
                List->SetTopIndex(top);
        }
    }
    if (Box)
        Box->update();
    TDispList::Refresh();
}

void TDispListQ::DrawItem(QPainter& painter, int index, bool fresh, const QRect& rect)
{
    if (!ValueQ) {
        TDispList::DrawItem(painter, index, fresh, rect);
        return;
    }
    DrawItemQ(painter, *ValueQ, index, fresh, rect, painter.pen().color());
}

void TDispListQ::PaintBars(QPainter& painter, const QRect& area)
{
    if (!ValueQ || !Box) {
        painter.fillRect(area, Qt::black);
        return;
    }
    DrawBars(painter, *ValueQ, Box->height(), IsFresh(), area);
}
