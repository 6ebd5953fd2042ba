// The archive graph and its value scale, painted into images.
#include "WidgetTestSupport.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"
#include "print/ArchGraph.h"

#include <QFile>
#include <QFontMetrics>
#include <QPainter>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {
const QColor Grey(0x80, 0x80, 0x80);
const QColor Silver(0xC0, 0xC0, 0xC0);

void Word(QByteArray& b, uint16_t v)
{
    b.append(char(v & 0xFF));
    b.append(char(v >> 8));
}

// A November file of one channel (or more, each with the same values):
// one record per value, 15 minutes apart from 00:15 of the 1st; 65535 is a
// missing value.
struct Month {
    QTemporaryDir Dir;
    std::unique_ptr<TArchiveQDR> Archive;
    std::unique_ptr<TDispArch> View;

    explicit Month(const std::vector<uint16_t>& values, int channels = 1)
    {
        QByteArray b;
        for (int w : {12, 2 + 2 * channels, 0, 2026 * 12 + 10, 0, 0})
            Word(b, uint16_t(w));
        for (size_t k = 0; k < values.size(); ++k) {
            Word(b, uint16_t(1440 + 15 * (k + 1)));
            for (int c = 0; c < channels; ++c)
                Word(b, values[k]);
        }
        QFile f(Dir.filePath(QStringLiteral("2026nov.qdr")));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(b);
        f.close();
        Archive = std::make_unique<TArchiveQDR>(Dir.path());
        View = std::make_unique<TDispArch>(Archive.get(), 15);
        EXPECT_TRUE(View->Open(f.fileName()));
    }
};

int RowOf(const QImage& image, int x, const QColor& color, int top, int bottom)
{
    for (int y = top; y < bottom; ++y)
        if (Pixel(image, x, y) == color)
            return y;
    return -1;
}
} // namespace

TEST(ArchGraph, StepCurveBreaksAtAMissingStepAndRegulatedPowersAreDotted)
{
    Month m({100, 100, 120, 120, 65535, 80, 80, 80});
    TDispArch& v = *m.View;
    v.SetRegulatedPower(0, 150);
    v.SetRegulatedPower(1, 50);
    const int plot = 150;
    QImage image = BlankImage(int(v.GraphWidth(2)), 200, Qt::black);
    ASSERT_EQ(image.width(), 48);
    {
        QPainter p(&image);
        DrawGraph(p, v, image.rect(), 255, plot, 0, 2);
    }
    const QColor curve = QColor::fromRgb(TDispArch::ColorOf(v.ChannelColor(0)));
    const int y100 = RowOf(image, 2, curve, 0, plot);
    const int y120 = RowOf(image, 14, curve, 0, plot);
    const int y80 = RowOf(image, 38, curve, 0, plot);
    ASSERT_GT(y100, 0);
    EXPECT_LT(y120, y100);
    EXPECT_GT(y80, y100);
    // The step up from 100 to 120 is joined at the step's first pixel.
    for (int y = y120; y <= y100; ++y)
        EXPECT_EQ(Pixel(image, 12, y), curve) << y;
    // The missing fifth record breaks the curve: nothing of it in 25..29
    // and no join when it resumes at 80.
    for (int x = 25; x < 30; ++x)
        EXPECT_EQ(RowOf(image, x, curve, 0, plot), -1) << x;
    EXPECT_NE(Pixel(image, 30, (y100 + y80) / 2), curve);
    // Dotted regulated powers: one pixel every 4 on the grey plot.
    const int yVT = RowOf(image, 4, Silver, 0, y120);
    ASSERT_GE(yVT, 0);
    EXPECT_EQ(Pixel(image, 0, yVT), QColor(Qt::black)); // the line of the day that begins here
    for (int x = 1; x < 48; ++x)
        EXPECT_EQ(Pixel(image, x, yVT) == Silver, x % 4 == 0) << x;
    EXPECT_EQ(Pixel(image, 1, 2), Grey);
    EXPECT_EQ(Pixel(image, 1, plot + 2), QColor(Qt::white));
    EXPECT_EQ(Pixel(image, 1, plot), QColor(Qt::black)); // the time axis
}

TEST(ArchGraph, ScaleStepsAndATooSmallBox)
{
    Month m({137});
    TDispArch& v = *m.View;
    ASSERT_EQ(v.FullScale, 137);
    QImage probe(1, 1, QImage::Format_RGB32);
    QPainter measure(&probe);
    const QFontMetrics fm(measure.font());
    measure.end();
    const int th = fm.height();
    // Room for exactly six labels: steps of 50, ticks every 10; the box
    // reaches a text line below the plot.
    const int h = 12 * th + th / 4 + th / 2;
    QImage image = BlankImage(60, h + th, Qt::red);
    {
        QPainter p(&image);
        DrawScale(p, v, image.rect(), false, h);
    }
    const int tw = fm.horizontalAdvance(QLatin1Char('0'));
    const int textRight = 60 - tw - tw / 2;
    std::vector<int> lines;
    int ticks = 0;
    for (int y = 0; y < h + th; ++y) {
        if (Pixel(image, textRight + tw / 4, y) == QColor(Qt::black))
            lines.push_back(y);
        else if (Pixel(image, 59, y) == QColor(Qt::black))
            ++ticks;
    }
    EXPECT_EQ(lines.size(), 3u); // 0, 50, 100
    EXPECT_EQ(ticks, 12);        // 10 .. 140 but for the lines
    EXPECT_EQ(CountColor(image, image.rect(), Qt::red), 0);
    // Each label is centred on its line, "0" too.
    for (int y : lines) {
        const QRect ink = InkBounds(image, QRect(0, y - th, textRight, 2 * th), Qt::white);
        ASSERT_FALSE(ink.isEmpty()) << y;
        EXPECT_LE(std::abs(ink.top() + ink.bottom() - 2 * y), 2) << y << " " << ink.top() << ".." << ink.bottom();
    }

    // A box too small for one label is only filled; nothing breaks on it,
    // nor on an empty graph.
    for (int height : {th, 1}) {
        QImage small = BlankImage(60, height, Qt::red);
        QPainter p(&small);
        DrawScale(p, v, small.rect());
        p.end();
        EXPECT_EQ(CountColor(small, small.rect(), Qt::white), 60 * height);
    }
    QImage none = BlankImage(60, h, Qt::red);
    QPainter p(&none);
    DrawScale(p, v, none.rect(), true);
    p.end();
    EXPECT_EQ(CountColor(none, none.rect(), Qt::white), 60 * h);
}

TEST(ArchGraph, OnPaperTheRegulatedPowerIsDotsAsLargeAsTheTextMakesThem)
{
    Month m({100, 100, 120, 120});
    TDispArch& v = *m.View;
    v.SetRegulatedPower(0, 150);
    v.SetRegulatedPower(1, 150);
    // A strip at printer resolution: a pixel is a fraction of a dot.
    QImage image = BlankImage(600, 1500, Qt::white);
    {
        QPainter p(&image);
        QFont font = p.font();
        font.setPixelSize(140);
        p.setFont(font);
        DrawGraph(p, v, image.rect(), 255, 1200, 0, 3);
    }
    int dotted = 0;
    for (int y = 0; y < 1200; ++y) {
        int runs = 0, run = 0, shortest = 1 << 20;
        for (int x = 0; x <= image.width(); ++x) {
            if (x < image.width() && Pixel(image, x, y) == QColor(Qt::black)) {
                ++run;
                continue;
            }
            if (run > 0) {
                ++runs;
                shortest = std::min(shortest, run);
            }
            run = 0;
        }
        dotted += runs >= 10 && shortest >= 4;
    }
    EXPECT_GE(dotted, 4) << "rows of dots several pixels wide and high";
}

TEST(ArchGraph, OnlyMeasurement00CarriesTheRegulatedPowersAndAScrolledGraphDatesItsFirstDay)
{
    std::vector<uint16_t> values(3 * 96, 100);
    Month m(values, 2);
    TDispArch& v = *m.View;
    v.SetRegulatedPower(0, 150);
    v.SetRegulatedPower(1, 150);
    ASSERT_EQ(v.SelectedCount, 2);
    QImage probe(1, 1, QImage::Format_RGB32);
    QPainter measure(&probe);
    const int th = QFontMetrics(measure.font()).height();
    measure.end();
    const int plot = 150;
    const auto silverDots = [&](int graph) {
        QImage image = BlankImage(300, plot + 4 * th, Qt::black);
        QPainter p(&image);
        DrawGraph(p, v, image.rect(), graph, plot, 0, 2);
        p.end();
        return CountColor(image, QRect(0, 0, 300, plot - th), Silver);
    };
    EXPECT_GT(silverDots(0), 0);
    EXPECT_EQ(silverDots(1), 0) << "another meter's graph";
    EXPECT_GT(silverDots(255), 0) << "every curve, 00's among them";

    // Scrolled into the 2nd, no day begins in view: the day is still named
    // at the left edge of the day row.
    QImage image = BlankImage(300, plot + 4 * th, Qt::black);
    {
        QPainter p(&image);
        DrawGraph(p, v, image.rect(), 255, plot, 6 * (95 + 30), 2);
    }
    const int dayRow = plot + 4 * (th / 2);
    EXPECT_FALSE(InkBounds(image, QRect(0, dayRow, 150, th), Qt::white).isEmpty());

    // The widest step shows a whole 31-day month in the width it is given.
    v.FitScreenWidth(700);
    EXPECT_LE((31 * 96 + v.Step(0).Records - 1) / v.Step(0).Records, 700);
    EXPECT_GT(31 * 96 / (v.Step(0).Records - 1), 700) << "not smaller than needed";
}
