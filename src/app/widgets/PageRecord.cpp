#include "PageRecord.h"

#include "ValueLabel.h"
#include "core/widgets/DrawList.h"
#include "core/widgets/PaintBox.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

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
    for (int i = 0; i < Slots; ++i) {
        auto* box = new QGroupBox(SlotTitle(i), this);
        auto* column = new QVBoxLayout(box);
        column->setContentsMargins(6, 4, 6, 6);
        column->setSpacing(3);
        const QByteArray n = QByteArray::number(i);
        LabelQ[i] = TValueLabel::New(box, QByteArray("LabelQ" + n).constData(), BoxWidth, Qt::AlignCenter);
        PaintBoxQ[i] = new TPaintBox(box);
        PaintBoxQ[i]->setObjectName(QString::fromLatin1("PaintBoxQ" + n));
        PaintBoxQ[i]->setFixedSize(BoxWidth, GraphHeight);
        ListBoxQ[i] = new TDrawList(box);
        ListBoxQ[i]->setObjectName(QString::fromLatin1("ListBoxQ" + n));
        ListBoxQ[i]->SetItemHeight(13);
        ListBoxQ[i]->setFixedWidth(BoxWidth);
        ListBoxQ[i]->setMinimumHeight(5 * 13 + 4);
        column->addWidget(LabelQ[i]);
        column->addWidget(PaintBoxQ[i]);
        column->addWidget(ListBoxQ[i], 1);
        page->addWidget(box);
    }
    page->addStretch(1);
}
