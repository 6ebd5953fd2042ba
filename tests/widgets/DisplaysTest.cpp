// Freshness and limit colours of label displays, and the debug view.
#include "widgets/WidgetTestSupport.h"

#include "values/ValueKinds.h"
#include "values/widgets/DispLimit.h"
#include "values/widgets/DispString.h"
#include "values/widgets/Disps.h"
#include "values/widgets/FormDebug.h"

#include <QLabel>
#include <QPainter>
#include <gtest/gtest.h>

namespace {
const QColor Grey(0x80, 0x80, 0x80);
const QColor Silver(0xC0, 0xC0, 0xC0);
const QColor DesignBack(0x20, 0x40, 0x60);
const QColor DesignText(0xF0, 0xE0, 0x10);

void Design(QLabel& label)
{
    QPalette palette = label.palette();
    palette.setColor(QPalette::Window, DesignBack);
    palette.setColor(QPalette::WindowText, DesignText);
    label.setPalette(palette);
    label.setText(QStringLiteral("design"));
}

QColor Back(const QLabel& label) { return label.palette().color(QPalette::Window); }
QColor Text(const QLabel& label) { return label.palette().color(QPalette::WindowText); }

// Ticks the values and displays once a second up to the given age.
void AgeTo(TValue& value, TDisps& disps, uint16_t start, int& seconds, int age)
{
    for (; seconds < age; ++seconds) {
        value.Tick(static_cast<uint16_t>(start + (seconds + 1) * 1000));
        disps.UpdateAll();
    }
}
} // namespace

TEST(DispString, FreshAgeingMissingAndUnbound)
{
    QLabel label, unbound;
    Design(label);
    Design(unbound);
    TValueWord value(40);
    TDisps disps(8);
    disps.Add(TDispString::CreateLabel(&value, &label));
    disps.Add(TDispString::CreateLabel(nullptr, &unbound));
    EXPECT_TRUE(label.font().bold());

    value.SetValue(123, 0);
    const uint16_t start = value.TickStamp;
    value.Tick(start);
    disps.UpdateAll();
    EXPECT_EQ(label.text(), QStringLiteral("123"));
    EXPECT_EQ(Back(label), DesignBack);
    EXPECT_EQ(Text(label), DesignText);
    // No value: the empty text in the missing colours from the first tick on.
    EXPECT_EQ(unbound.text(), QString());
    EXPECT_EQ(Back(unbound), Grey);
    EXPECT_EQ(Text(unbound), Silver);

    int seconds = 0;
    AgeTo(value, disps, start, seconds, 29);
    EXPECT_EQ(Back(label), DesignBack);
    AgeTo(value, disps, start, seconds, 30);
    EXPECT_EQ(label.text(), QStringLiteral("123"));
    EXPECT_EQ(Back(label), QColor(Qt::white));
    EXPECT_EQ(Text(label), Silver);
    AgeTo(value, disps, start, seconds, 39);
    EXPECT_EQ(label.text(), QStringLiteral("123"));
    AgeTo(value, disps, start, seconds, 40);
    EXPECT_EQ(label.text(), QString());
    EXPECT_EQ(Back(label), Grey);
    EXPECT_EQ(Text(label), Silver);

    // Between changes the control is left alone.
    label.setText(QStringLiteral("untouched"));
    AgeTo(value, disps, start, seconds, 45);
    EXPECT_EQ(label.text(), QStringLiteral("untouched"));
}

TEST(DispInt, LimitColoursOnlyWhileFresh)
{
    QLabel label;
    Design(label);
    TValueInt value(40);
    TDisps disps(4);
    auto* disp = disps.AddNew<TDispInt>(&value, &label);
    ASSERT_NE(disp, nullptr);
    const QColor lowBack(0, 0, 0xFF), lowText(Qt::white), highBack(0xFF, 0, 0), highText(0xFF, 0xFF, 0);
    disp->SetLowColors(lowBack, lowText);
    disp->SetHighColors(highBack, highText);
    disp->SetLow(0);
    disp->SetHigh(0);

    struct Case {
        int16_t Value;
        QColor Back, Text;
    };
    for (const Case& c : {Case{-3, lowBack, lowText}, Case{0, DesignBack, DesignText}, Case{5, highBack, highText}}) {
        SCOPED_TRACE(c.Value);
        value.SetValue(c.Value, 0);
        value.Tick(value.TickStamp);
        disps.UpdateAll();
        EXPECT_EQ(Back(label), c.Back);
        EXPECT_EQ(Text(label), c.Text);
    }

    // Still 5, but ageing: the ageing colours, not the high ones.
    const uint16_t start = value.TickStamp;
    int seconds = 0;
    AgeTo(value, disps, start, seconds, 30);
    EXPECT_EQ(Back(label), QColor(Qt::white));
    EXPECT_EQ(Text(label), Silver);
    AgeTo(value, disps, start, seconds, 40);
    EXPECT_EQ(Back(label), Grey);
}

TEST(FormDebug, SizesToItsRowsAndPaintsValidValuesOnWhite)
{
    TFormDebug form;
    // Without rows it opens all the same and says that it has nothing.
    EXPECT_FALSE(form.ShowOrRaise(nullptr));
    EXPECT_TRUE(form.isVisible());
    QImage empty = BlankImage(form.ClientWidth(), form.ClientHeight());
    QPainter emptyPainter(&empty);
    form.PaintRows(emptyPainter, empty.rect());
    emptyPainter.end();
    EXPECT_FALSE(InkBounds(empty, empty.rect(), Silver).isEmpty());
    form.hide();

    TValueWord valid(0), invalid(40);
    valid.SetValue(42, 0);
    form.resize(300, form.height());
    for (int i = 0; i < 10; ++i)
        form.AddRow(QStringLiteral("Row %1").arg(i), i == 1 ? &invalid : &valid, i == 2);
    // Every row in view, below the screen's height.
    EXPECT_EQ(form.ScrollRange(), 200);
    EXPECT_EQ(form.ClientHeight(), 200);

    form.SetRowHeight(10);
    EXPECT_EQ(form.RowHeight, TFormDebug::MinRowHeight);
    EXPECT_EQ(form.ClientHeight(), 200);
    form.SetRowHeight(20);

    QImage image = BlankImage(form.ClientWidth(), form.ClientHeight());
    QPainter painter(&image);
    form.PaintRows(painter, image.rect());
    painter.end();
    const int valueLeft = form.ClientWidth() - form.ValueWidth + 4;
    EXPECT_EQ(Pixel(image, 2, 2), Silver);
    EXPECT_EQ(Pixel(image, 9, 3), Grey);                 // name cell of row 0
    EXPECT_EQ(Pixel(image, valueLeft + 1, 3), QColor(Qt::white));
    EXPECT_EQ(Pixel(image, valueLeft + 1, 23), Grey);    // row 1 is invalid
    EXPECT_TRUE(InkBounds(image, QRect(valueLeft, 22, 100, 14), Grey).isEmpty());
    // Row 2 is right-aligned: its text sits at the right end of the cell.
    const QRect rightCell(valueLeft, 42, form.ClientWidth() - 8 - valueLeft, 14);
    const QRect ink = InkBounds(image, rightCell, Qt::white);
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_GE(ink.left(), rightCell.center().x());

    EXPECT_TRUE(form.ShowOrRaise(nullptr));
    EXPECT_TRUE(form.isVisible());
}
