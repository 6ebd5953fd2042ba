#pragma once
// The appliances and signals list, one tab at a time; switching the tab
// repaints the list at once with the other tab's names and states.
#include "regulator/widgets/DispList.h"

#include <QMetaObject>
#include <QPointer>

class QTabBar;
class TValueListIO;

class TDispListIO : public TDispList {
public:
    // None is owned.
    TDispListIO(TValueListIO* value, TDrawList* list, QTabBar* tabs);
    ~TDispListIO() override;

    void TabChanged();
    // The list follows the value's item count (the regulator may report
    // more appliances than are named).
    void Refresh() override;
    void DrawItem(QPainter& painter, int index, bool fresh, const QRect& rect) override;

    TValueListIO* ValueIO;
    QPointer<QTabBar> Tabs;

private:
    QMetaObject::Connection FTabConnection;
};
