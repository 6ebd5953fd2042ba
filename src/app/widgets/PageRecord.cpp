#include "PageRecord.h"

#include "ValueLabel.h"
#include "core/widgets/DrawList.h"
#include "core/widgets/PaintBox.h"
#include "regulator/widgets/ListDrawing.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>

QString TPageRecord::SlotTitle(int slot)
{
    static const QString titles[Slots] = {QStringLiteral("Aktuálny"), QStringLiteral("Predošlý"),
                                          QStringLiteral("Maximum VT"), QStringLiteral("Maximum NT")};
    return slot >= 0 && slot < Slots ? titles[slot] : QString();
}

TPageRecord::TPageRecord(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("TabSheetZ"));
    auto* page = new QHBoxLayout(this);
    page->setContentsMargins(6, 6, 6, 6);
    // The boxes are as wide as the font's digits need beside the list's
    // scroll bar, at least as designed; the items as high as a line of the
    // font.
    const int boxWidth =
        std::max<int>(BoxWidth, ItemQWidth(fontMetrics()) + style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4);
    const int itemHeight = std::max(13, fontMetrics().height() + 1);
    for (int i = 0; i < Slots; ++i) {
        auto* column = new QVBoxLayout;
        const QByteArray n = QByteArray::number(i);
        LabelQ[i] = TValueLabel::New(this, QByteArray("LabelQ" + n).constData(), boxWidth, Qt::AlignCenter);
        PaintBoxQ[i] = new TPaintBox(this);
        PaintBoxQ[i]->setObjectName(QString::fromLatin1("PaintBoxQ" + n));
        PaintBoxQ[i]->setFixedSize(boxWidth, GraphHeight);
        ListBoxQ[i] = new TDrawList(this);
        ListBoxQ[i]->setObjectName(QString::fromLatin1("ListBoxQ" + n));
        ListBoxQ[i]->SetItemHeight(itemHeight);
        ListBoxQ[i]->setFixedWidth(boxWidth);
        ListBoxQ[i]->setMinimumHeight(5 * itemHeight + 4);
        LabelLoadingQ[i] = new QLabel(QStringLiteral("načítava sa"), ListBoxQ[i]->viewport());
        LabelLoadingQ[i]->setObjectName(QString::fromLatin1("LabelLoadingQ" + n));
        LabelLoadingQ[i]->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        LabelLoadingQ[i]->setEnabled(false);
        auto* loading = new QVBoxLayout(ListBoxQ[i]->viewport());
        loading->addWidget(LabelLoadingQ[i]);
        column->addWidget(LabelQ[i]);
        column->addWidget(PaintBoxQ[i]);
        column->addWidget(ListBoxQ[i], 1);
        page->addWidget(TValueLabel::Group(this, SlotTitle(i), column));
    }
    page->addStretch(1);
}

void TPageRecord::RecordArrived(int slot)
{
    if (slot >= 0 && slot < Slots && !LabelLoadingQ[slot]->isHidden())
        LabelLoadingQ[slot]->hide();
}
