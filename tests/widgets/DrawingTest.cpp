// Cell texts, column stretching and the meters grid as painted.
#include "widgets/WidgetTestSupport.h"

#include "core/widgets/CellText.h"
#include "core/widgets/DrawGrid.h"
#include "regulator/ValueGridEm.h"
#include "regulator/widgets/DispGrid.h"

#include <QFontMetrics>
#include <algorithm>
#include <QPainter>
#include <gtest/gtest.h>

namespace {
const QColor Yellow(0xFF, 0xFF, 0x00);
const QColor Grey(0x80, 0x80, 0x80);
} // namespace

TEST(CellText, FillsClipsAndPlacesByOffset)
{
    const QRect cell(10, 5, 100, 20);
    struct Case {
        int Offset;
        int ExpectedLeft; // where the text's advance starts
    };
    QFont font(QStringLiteral("DejaVu Sans"), 9);
    const int width = QFontMetrics(font).horizontalAdvance(QStringLiteral("H"));
    for (const Case& c : {Case{4, 14}, Case{-4, 110 - width - 4}, Case{0, (10 + 110 - width) / 2}}) {
        QImage image = BlankImage(130, 30);
        QPainter painter(&image);
        painter.setFont(font);
        painter.setBrush(Yellow);
        painter.setPen(Qt::black);
        DrawCellText(painter, cell, QStringLiteral("H"), c.Offset);
        painter.end();
        SCOPED_TRACE(c.Offset);
        EXPECT_EQ(Pixel(image, 10, 5), Yellow);
        EXPECT_EQ(Pixel(image, 109, 24), Yellow);
        EXPECT_EQ(Pixel(image, 9, 5), QColor(Qt::white));
        EXPECT_EQ(Pixel(image, 110, 25), QColor(Qt::white));
        const QRect ink = InkBounds(image, cell, Yellow);
        ASSERT_FALSE(ink.isEmpty());
        // Side bearings of the glyph leave the ink a pixel or two inside its advance.
        EXPECT_GE(ink.left(), c.ExpectedLeft);
        EXPECT_LE(ink.left(), c.ExpectedLeft + 2);
        EXPECT_LE(ink.right(), c.ExpectedLeft + width);
        EXPECT_NEAR((ink.top() + ink.bottom()) / 2.0, 14.5, 2.0);
    }

    // Text longer than its cell stays inside it.
    QImage image = BlankImage(130, 30);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setBrush(Yellow);
    painter.setPen(Qt::black);
    DrawCellText(painter, QRect(20, 5, 30, 20), QStringLiteral("HHHHHHHHHHHH"), 4);
    painter.end();
    EXPECT_TRUE(InkBounds(image, QRect(0, 0, 130, 30), Qt::white).intersects(QRect(20, 5, 30, 20)));
    EXPECT_EQ(InkBounds(image, QRect(50, 0, 80, 30), Qt::white), QRect());
}

TEST(DrawGrid, StretchSpreadsTheRemainderAndLeavesAnOverfullGrid)
{
    TDrawGrid grid;
    grid.setFrameStyle(QFrame::NoFrame);
    grid.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid.SetColCount(5);
    grid.SetRowCount(1);
    grid.resize(200, 40);
    grid.show();
    ASSERT_EQ(grid.ClientWidth(), 200);
    for (int c = 0; c < 5; ++c)
        grid.SetColWidth(c, 20);

    // free = 200 - 6 lines - 2 * 20 outside = 154 over 3 columns: 51 each and
    // one pixel of remainder spread, which lands on the last of the three.
    StretchColumns(grid, 1, 3);
    EXPECT_EQ(grid.ColWidth(0), 20);
    EXPECT_EQ(grid.ColWidth(1), 51);
    EXPECT_EQ(grid.ColWidth(2), 51);
    EXPECT_EQ(grid.ColWidth(3), 52);
    EXPECT_EQ(grid.ColWidth(4), 20);

    // A count of 0 runs to the last column; a first beyond the grid is the last.
    grid.SetColWidth(4, 5);
    StretchColumns(grid, 9, 0);
    EXPECT_EQ(grid.ColWidth(4), 200 - 6 - 20 - 51 - 51 - 52);

    grid.SetColWidth(0, 190);
    StretchColumns(grid, 1, 1);
    EXPECT_EQ(grid.ColWidth(1), 51);
}

TEST(DispGrid, MetersGridShowsHiddenRowsGreyAndEmpty)
{
    uint8_t generation = 1;
    QStringList names{QStringLiteral("Kompresor"), QString(), QString(), QString(), QStringLiteral("Pec")};
    TValueGridEm value(QStringLiteral("EM"), generation, nullptr, nullptr, nullptr, 0, 0, 40, names);
    uint8_t readings[TValueGridEm::ReadingBytes] = {};
    readings[4] = 77; // meter 1, instantaneous
    value.SetReadings(readings, 0);
    value.Tick(value.TickStamp);

    TDrawGrid grid;
    grid.setFrameStyle(QFrame::NoFrame);
    grid.SetColCount(4);
    grid.SetRowCount(13);
    grid.SetFixedRows(1);
    grid.SetFixedCols(1);
    grid.resize(300, 13 * 19);
    grid.show();
    TDispGrid disp(&value, &grid);
    disp.Update();
    // The designed 37 pixels, or what the font needs for "[kVAr]".
    EXPECT_EQ(grid.ColWidth(3),
              std::max(37, QFontMetrics(grid.font()).horizontalAdvance(QStringLiteral("[kVAr]")) + 6));

    auto paint = [&] {
        QImage image = BlankImage(300, 13 * 19);
        QPainter painter(&image);
        grid.PaintCells(painter, image.rect());
        return image;
    };
    auto cellColor = [&](const QImage& image, int col, int row) {
        const QRect r = grid.CellRect(col, row);
        return Pixel(image, r.left() + 1, r.top() + 1);
    };

    QImage image = paint();
    EXPECT_EQ(cellColor(image, 1, 0), grid.FixedColor);
    for (int row : {1, 2, 5, 12}) {
        SCOPED_TRACE(row);
        EXPECT_EQ(cellColor(image, 0, row), Grey);
        EXPECT_EQ(cellColor(image, 1, row), Grey);
        EXPECT_EQ(InkBounds(image, grid.CellRect(1, row), Grey), QRect());
    }

    // The widget's own paint event goes the same way.
    const QImage shown = grid.viewport()->grab().toImage();
    EXPECT_EQ(cellColor(shown, 1, 1), Grey);
    EXPECT_EQ(cellColor(shown, 1, 0), grid.FixedColor);

    generation = 3;
    image = paint();
    EXPECT_EQ(cellColor(image, 1, 1), grid.Color);
    EXPECT_FALSE(InkBounds(image, grid.CellRect(1, 1), grid.Color).isEmpty());
    EXPECT_EQ(cellColor(image, 0, 5), grid.FixedColor);
    EXPECT_EQ(cellColor(image, 1, 2), Grey);

    // The grid paints through the display only while it lives.
    { TDispGrid second(&value, &grid); }
    EXPECT_FALSE(grid.OnDrawCell);
}

TEST(DrawGrid, PaintsOnlyTheVisibleCellsOfALongTable)
{
    TDrawGrid grid;
    grid.setFrameStyle(QFrame::NoFrame);
    grid.SetColCount(3);
    grid.SetRowCount(5000);
    grid.SetFixedRows(1);
    grid.SetRowHeight(19); // pitch 20 with the grid line
    grid.resize(3 * 65 + 20, 10 * 20 + 20);
    grid.show();
    grid.SetTopRow(4000);
    ASSERT_EQ(grid.TopRow(), 4000);

    QVector<int> rows;
    grid.OnDrawCell = [&](QPainter& painter, int, int row, const QRect& rect, int state) {
        rows.append(row);
        EXPECT_EQ(row == 0, (state & TDrawGrid::Fixed) != 0);
        painter.fillRect(rect, painter.brush());
    };
    QImage image = BlankImage(grid.viewport()->width(), grid.viewport()->height());
    QPainter painter(&image);
    grid.PaintCells(painter, QRect(0, 0, image.width(), 60)); // the fixed row and two more
    painter.end();
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (QVector<int>{0, 0, 0, 4000, 4000, 4000, 4001, 4001, 4001}));
    EXPECT_EQ(Pixel(image, 65, 5), QColor(0xC0, 0xC0, 0xC0)); // the line after column 0
}
