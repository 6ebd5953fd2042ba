#include "regulator/widgets/DispListIO.h"

#include "core/widgets/DrawList.h"
#include "regulator/ValueListIO.h"
#include "regulator/widgets/ListDrawing.h"

#include <QPainter>
#include <QTabBar>

TDispListIO::TDispListIO(TValueListIO* value, TDrawList* list, QTabBar* tabs)
    : TDispList(value, list)
    , ValueIO(value)
    , Tabs(tabs)
{
    if (list && value)
        list->SetCount(value->ItemCount);
    if (tabs) {
        FTabConnection = QObject::connect(tabs, &QTabBar::currentChanged, tabs, [this] { TabChanged(); });
        if (value)
            value->Tab = tabs->currentIndex();
    }
}

TDispListIO::~TDispListIO() { QObject::disconnect(FTabConnection); }

void TDispListIO::TabChanged()
{
    if (ValueIO && Tabs)
        ValueIO->Tab = Tabs->currentIndex();
    Refresh();
}

void TDispListIO::Refresh()
{
    if (List && ValueIO && List->Count() != ValueIO->ItemCount)
        List->SetCount(ValueIO->ItemCount);
    TDispList::Refresh();
}

void TDispListIO::DrawItem(QPainter& painter, int index, bool fresh, const QRect& rect)
{
    if (!ValueIO) {
        TDispList::DrawItem(painter, index, fresh, rect);
        return;
    }
    DrawItemIO(painter, *ValueIO, index, fresh, rect, painter.pen().color());
}
