#pragma once
// The display of a list value over a virtual owner-drawn list box: the list
// box asks it item by item, and a change of the value repaints the list.
#include "values/widgets/Disp.h"

#include <QPointer>

class QPainter;
class QRect;
class TDrawList;
class TValue;

class TDispList : public TDisp {
public:
    // Neither is owned; the list's items are drawn here until the display is
    // destroyed.
    TDispList(TValue* value, TDrawList* list);
    ~TDispList() override;

    void Refresh() override;
    void DrawListItem(QPainter& painter, int index, const QRect& rect, bool selected);
    // An existing item, with the painter's brush, pen and font set to the
    // current freshness colours. By default the item is left blank.
    virtual void DrawItem(QPainter& painter, int index, bool fresh, const QRect& rect);

    QPointer<TDrawList> List;
};
