// The interval record's bar chart and list items, and the appliance markers.
#include "widgets/WidgetTestSupport.h"

#include "core/widgets/CellText.h"
#include "regulator/ValueListIO.h"
#include "regulator/ValueListQ.h"
#include "core/widgets/DrawList.h"
#include "core/widgets/PaintBox.h"
#include "regulator/widgets/DispListIO.h"
#include "regulator/widgets/DispListQ.h"
#include "regulator/widgets/ListDrawing.h"

#include <QPainter>
#include <QTabBar>
#include <gtest/gtest.h>

namespace {
const QColor Red(0xFF, 0, 0);
const QColor Green(0, 0x80, 0);
const QColor Aqua(0, 0xFF, 0xFF);
const QColor Blue(0, 0, 0xFF);
const QColor Fuchsia(0xFF, 0, 0xFF);
const QColor Yellow(0xFF, 0xFF, 0);
const QColor Grey(0x80, 0x80, 0x80);
const QColor Black(Qt::black);
const QColor White(Qt::white);

QImage Bars(const TValueListQ& value, bool fresh)
{
    QImage image = BlankImage(121, 129, QColor(1, 2, 3));
    QPainter painter(&image);
    DrawBars(painter, value, 129, fresh, image.rect());
    return image;
}

// The colour of every pixel row of column x, run-length: (colour, first y).
void ExpectColumn(const QImage& image, int x, std::initializer_list<std::pair<QColor, int>> runs)
{
    std::vector<std::pair<QColor, int>> all(runs);
    for (size_t i = 0; i < all.size(); ++i) {
        const int end = i + 1 < all.size() ? all[i + 1].second : image.height();
        for (int y = all[i].second; y < end; ++y)
            ASSERT_EQ(Pixel(image, x, y), all[i].first) << "x " << x << " y " << y;
    }
}
} // namespace

TEST(ListDrawing, BarsOfARecord)
{
    TValueListQ value(1, 40);
    const uint8_t samples[] = {125, 0, 255, 20, 50, 5};
    value.SetSamples(samples, 3);

    QImage fresh = Bars(value, true);
    for (int x : {0, 1}) {
        // 125 %: cut at 95 pixels, red above the 100 % mark, yellow on top.
        ExpectColumn(fresh, x, {{Black, 0}, {Grey, 31}, {Black, 32}, {Yellow, 33}, {Red, 34}, {Aqua, 49}});
    }
    // Both bars over: fuchsia from the 30-pixel line up, white at the top.
    ExpectColumn(fresh, 2, {{White, 0}, {Fuchsia, 1}, {Grey, 31}, {Black, 32}, {Yellow, 33}, {Red, 34}, {Aqua, 49}});
    // 50 % and 5: 40 pixels of aqua, 15 of fuchsia, nothing over.
    ExpectColumn(fresh, 4, {{Black, 0}, {Fuchsia, 16}, {Grey, 31}, {Black, 32}, {Aqua, 89}});
    ExpectColumn(fresh, 6, {{Black, 0}});
    ExpectColumn(fresh, 120, {{Black, 0}});

    QImage stale = Bars(value, false);
    ExpectColumn(stale, 0, {{Black, 0}, {Blue, 34}});
    ExpectColumn(stale, 4, {{Black, 0}, {Blue, 16}, {Black, 31}, {Blue, 89}});

    value.Invalidate();
    ExpectColumn(Bars(value, true), 0, {{Black, 0}});
}

TEST(ListDrawing, RecordItemCells)
{
    TValueListQ value(1, 40);
    const uint8_t samples[] = {255, 7};
    value.SetSamples(samples, 1);
    QFont font(QStringLiteral("DejaVu Sans"), 8);
    font.setStyleStrategy(QFont::NoAntialias); // pure pen colours to count

    QImage item = BlankImage(121, 13);
    QPainter painter(&item);
    painter.setFont(font);
    painter.setBrush(White);
    DrawItemQ(painter, value, 0, true, QRect(0, 0, 121, 13), Black);
    painter.end();

    // The percentage cell is exactly "*** %" right-aligned 4 pixels in.
    QImage expected = BlankImage(121, 13);
    QPainter expect(&expected);
    expect.setFont(font);
    expect.setBrush(White);
    expect.setPen(Green);
    DrawCellText(expect, QRect(36, 0, 40, 13), QStringLiteral("*** %"), -4);
    expect.end();
    EXPECT_EQ(item.copy(36, 0, 40, 13), expected.copy(36, 0, 40, 13));

    // Time in the text colour, second byte in red, each in its own cell.
    EXPECT_GT(CountColor(item, QRect(0, 0, 36, 13), Black), 0);
    EXPECT_EQ(CountColor(item, QRect(0, 0, 36, 13), Red), 0);
    EXPECT_GT(CountColor(item, QRect(76, 0, 45, 13), Red), 0);
    EXPECT_EQ(CountColor(item, QRect(76, 0, 45, 13), Black), 0);

    // A larger font: "254 %" keeps clear of the time, "#07" of the
    // percentage, in an item as wide as the font asks.
    const uint8_t large[] = {254, 7};
    value.SetSamples(large, 1);
    font.setPointSize(13);
    const int width = ItemQWidth(QFontMetrics(font));
    EXPECT_GT(width, 121);
    QImage wide = BlankImage(width, 20);
    QPainter big(&wide);
    big.setFont(font);
    big.setBrush(White);
    DrawItemQ(big, value, 0, true, QRect(0, 0, width, 20), Black);
    big.end();
    const auto columns = [&](const QColor& colour) {
        int first = width, last = -1;
        for (int x = 0; x < width; ++x)
            if (CountColor(wide, QRect(x, 0, 1, 20), colour) > 0) {
                first = std::min(first, x);
                last = x;
            }
        return std::pair{first, last};
    };
    const auto [timeFirst, timeLast] = columns(Black);
    const auto [percentFirst, percentLast] = columns(Green);
    const auto [secondFirst, secondLast] = columns(Red);
    EXPECT_LT(timeLast + 1, percentFirst);
    EXPECT_LT(percentLast + 1, secondFirst);
    EXPECT_LT(secondLast, width);
    (void)timeFirst;
}

TEST(ListDrawing, ApplianceMarkers)
{
    TValueListIO value(40, {QStringLiteral("Pec"), QStringLiteral("Bojler")}, {});
    value.SetStates(0, 0x1);
    // Centre of the marker in a 121 x 13 item: x 121 - (13 + 7) / 2, y 13 / 2.
    const int cx = 111, cy = 6;

    auto draw = [&](int index, bool fresh) {
        QImage image = BlankImage(121, 13, QColor(1, 2, 3));
        QPainter painter(&image);
        painter.setBrush(White);
        painter.setPen(Black);
        DrawItemIO(painter, value, index, fresh, image.rect(), Black);
        return image;
    };

    QImage active = draw(0, true);
    EXPECT_EQ(Pixel(active, cx, cy), Red);
    EXPECT_EQ(Pixel(active, cx + 5, cy), Red);
    EXPECT_EQ(Pixel(active, cx - 2, cy - 4), White); // between dot and ring
    EXPECT_EQ(CountColor(active, active.rect(), Green), 0);

    QImage inactive = draw(1, true);
    EXPECT_EQ(Pixel(inactive, cx, cy), White);
    EXPECT_EQ(Pixel(inactive, cx + 5, cy), Green);
    EXPECT_EQ(Pixel(inactive, cx, cy - 5), Green);
    EXPECT_EQ(CountColor(inactive, inactive.rect(), Red), 0);

    QImage stale = draw(0, false);
    EXPECT_EQ(Pixel(stale, cx, cy), Black);
    EXPECT_EQ(CountColor(stale, stale.rect(), Red), 0);

    value.Invalidate();
    QImage invalid = draw(0, true);
    EXPECT_EQ(Pixel(invalid, cx + 5, cy), White);
}

TEST(ListDisplays, TabSwitchAndRecordCount)
{
    TValueListIO io(40, {QStringLiteral("Pec")}, {QStringLiteral("S1"), QStringLiteral("S2"), QStringLiteral("S3")});
    io.SetStates(0x4, 0);
    io.Tick(io.TickStamp);
    TDrawList list;
    list.resize(121, 60);
    QTabBar tabs;
    tabs.addTab(QStringLiteral("Spotrebiče"));
    tabs.addTab(QStringLiteral("Signály"));
    TDispListIO disp(&io, &list, &tabs);
    disp.Update();
    EXPECT_EQ(list.Count(), 3);

    auto paint = [&] {
        QImage image = BlankImage(121, 39, QColor(1, 2, 3));
        QPainter painter(&image);
        list.PaintItems(painter, image.rect());
        return image;
    };
    QImage appliances = paint();
    EXPECT_EQ(Pixel(appliances, 1, 1), White);
    EXPECT_EQ(Pixel(appliances, 1, 14), Grey); // beyond the one appliance
    EXPECT_EQ(Pixel(appliances, 1, 27), Grey);

    tabs.setCurrentIndex(1);
    EXPECT_EQ(io.Tab, TValueListIO::TabSignals);
    QImage signals_ = paint();
    EXPECT_EQ(Pixel(signals_, 1, 14), White);
    EXPECT_EQ(Pixel(signals_, 111, 26 + 6), Red); // signal 3 is active
    EXPECT_EQ(CountColor(signals_, QRect(0, 0, 121, 26), Red), 0);

    TValueListQ record(1, 40);
    TPaintBox box;
    box.resize(121, 129);
    TDrawList records;
    records.resize(121, 60);
    {
        TDispListQ q(&record, &records, &box);
        const uint8_t samples[20] = {};
        record.SetSamples(samples, 10);
        record.Tick(record.TickStamp);
        q.Update();
        EXPECT_EQ(records.Count(), 10);
        record.Invalidate();
        record.Tick(record.TickStamp);
        q.Update();
        EXPECT_EQ(records.Count(), 0);
    }
    EXPECT_FALSE(box.OnPaint);
    EXPECT_FALSE(records.OnDrawItem);
}
