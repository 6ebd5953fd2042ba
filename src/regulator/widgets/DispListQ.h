#pragma once
// An interval record: the list of its samples and its bar chart.
#include "regulator/widgets/DispList.h"

#include <QPointer>

class TPaintBox;
class TValueListQ;

class TDispListQ : public TDispList {
public:
    // None is owned.
    TDispListQ(TValueListQ* value, TDrawList* list, TPaintBox* box);
    ~TDispListQ() override;

    // The list's count follows the samples (keeping the top item when it is
    // still in range); then the chart and the list are repainted.
    void Refresh() override;
    void DrawItem(QPainter& painter, int index, bool fresh, const QRect& rect) override;
    void PaintBars(QPainter& painter, const QRect& area);

    TValueListQ* ValueQ;
    QPointer<TPaintBox> Box;
};
