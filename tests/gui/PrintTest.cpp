// The text print and the graph print of a simulated month, written to PDF
// files and read back with the poppler tools.
#include "print/GraphPrint.h"
#include "print/PrintLayout.h"
#include "print/TextPrint.h"
#include "e2e/ExpectedArchive.h"
#include "output/ArchText.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"

#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QImage>
#include <QPrinter>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>

namespace {
// November as a regulator with twelve meters (thirteen measurements) has it
// once December has begun: 2880 records of 15 minutes; the first shown
// measurements are shown, all are labelled.
struct SimMonth {
    QTemporaryDir Dir;
    std::unique_ptr<TArchiveQDR> Archive = std::make_unique<TArchiveQDR>(Dir.path());
    TDispArch View{Archive.get(), 15};
    QStringList Labels;

    explicit SimMonth(int shown = 13)
    {
        TSimMirror sim({"--meters", "12", "--now", "2026-12-01T00:30", "--speed", "0", "--seed", "5"});
        const TExpectedMonth november = ExpectedArchive(sim.Regulator()).front();
        QFile f(Dir.filePath(november.FileName()));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(november.Bytes()) > 0);
        f.close();
        EXPECT_TRUE(View.Open(f.fileName()));
        for (uint8_t c = uint8_t(shown); c < View.Channels; ++c)
            View.SetChannelColor(c, 0);
        for (int c = 0; c < 13; ++c)
            Labels << QStringLiteral("%1: Odberné miesto %2").arg(c, 2, 10, QLatin1Char('0')).arg(c + 1);
    }
};

std::unique_ptr<QPrinter> PdfPrinter(const QString& file)
{
    auto p = std::make_unique<QPrinter>(QPrinter::HighResolution);
    p->setOutputFileName(file);
    p->setPageSize(QPageSize(QPageSize::A4));
    return p;
}

QString Tool(const QString& tool, const QStringList& args)
{
    QProcess p;
    p.start(tool, args);
    return p.waitForFinished(60000) && p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()) : "<failed>";
}

int PdfPages(const QString& file)
{
    return Tool("pdfinfo", {file}).section("Pages:", 1).section('\n', 0, 0).trimmed().toInt();
}
QString PdfText(const QString& file, const QString& page = "1", const QString& last = "999")
{
    return Tool("pdftotext", {"-layout", "-f", page, "-l", last, file, "-"});
}

const auto Always = [](int) { return true; };
} // namespace

TEST(PrintLayout, StripsOfThirteenMeasurementsAndAPageTooNarrow)
{
    SimMonth month;
    ASSERT_EQ(month.View.RecordCount, 2880);
    QTemporaryDir out;
    auto printer = PdfPrinter(out.filePath("graph.pdf"));
    TPrintLayout l;
    for (bool dense : {false, true}) {
        ComputePrintLayout(*printer, month.View, dense, l);
        EXPECT_EQ(l.StripWidth % 128, 0);
        ASSERT_TRUE(CountStrips(l, 13));
        EXPECT_EQ(l.StripCount, dense ? 13 : 52);
        EXPECT_EQ(Pages(l), dense ? 4 : 13);
    }
    EXPECT_FALSE(PageSizeChanged(*printer, l));
    // A strip narrower than twice the scale leaves nothing to print.
    printer->setPageSize(QPageSize(QSizeF(40, 200), QPageSize::Millimeter));
    EXPECT_TRUE(PageSizeChanged(*printer, l));
    ComputePrintLayout(*printer, month.View, false, l);
    EXPECT_FALSE(CountStrips(l, 13));
    EXPECT_EQ(PrintGraphs(*printer, month.View, l, {false, "", month.Labels}, Always), TPrintResult::Nothing);
    EXPECT_FALSE(QFile::exists(out.filePath("graph.pdf")));
}

TEST(GraphPrint, PagesTitlesAndProgressOfEachChoice)
{
    const struct { bool Dense; int Shown; bool Common; int Pages; } cases[] = {
        {false, 1, false, 1}, {false, 3, false, 3}, {false, 3, true, 1}, {true, 13, false, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "dense " << c.Dense << ", shown " << c.Shown << ", common " << c.Common);
        SimMonth month(c.Shown);
        QTemporaryDir out;
        const QString file = out.filePath("graph.pdf");
        auto printer = PdfPrinter(file);
        TPrintLayout l;
        ComputePrintLayout(*printer, month.View, c.Dense, l);
        ASSERT_TRUE(CountStrips(l, c.Common ? 1 : c.Shown));
        ASSERT_EQ(Pages(l), c.Pages);
        QList<int> percents;
        const auto progress = [&](int p) { return percents << p, true; };
        ASSERT_EQ(PrintGraphs(*printer, month.View, l, {c.Common, "November 2026", month.Labels}, progress),
                  TPrintResult::Printed);
        EXPECT_EQ(PdfPages(file), c.Pages);
        EXPECT_EQ(percents.size(), c.Common ? 1 : c.Shown);
        EXPECT_EQ(percents.back(), c.Common ? 0 : 100 * (c.Shown - 1) / c.Shown);
        const QString text = PdfText(file);
        EXPECT_TRUE(text.contains("November 2026"));
        for (int ch = 0; ch < c.Shown; ++ch)
            EXPECT_EQ(text.contains(month.Labels[ch]), !c.Common) << ch;
        if (c.Dense) {
            // Four strips a page: the fifth graph begins the second page.
            const QString second = PdfText(file, "2", "2");
            EXPECT_TRUE(second.contains(month.Labels[4]) && !second.contains(month.Labels[3]));
            continue;
        }
        if (c.Shown > 1)
            continue;
        // The strip is on the paper, not a blank page: black inside its graph.
        Tool("pdftoppm", {"-r", "50", "-l", "1", "-singlefile", "-gray", "-png", file, out.filePath("page")});
        const QImage page(out.filePath("page.png"));
        const double k = page.width() / double(l.PrintPageWidth);
        const int top = int((l.PrintMarginOuter + l.TitleHeight) * k) + 2;
        const int bottom = int((l.PrintMarginOuter + l.StripHeight - 2 * l.PrintMarginInner) * k) - 2;
        const int left = int((l.PrintMarginOuter + 2 * l.PrintMarginInner + l.ScaleWidth) * k) + 2;
        int black = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = left; x < left + int(l.StripWidth * k) - 4; ++x)
                black += qGray(page.pixel(x, y)) < 128;
        EXPECT_GT(black, l.StripWidth * k);
    }
}

TEST(TextPrint, TheMonthsTablesComeOutInOrderOverSeveralPagesBehindTheIndent)
{
    SimMonth month(3);
    QTemporaryDir out;
    const QString file = out.filePath("text.pdf");
    auto printer = PdfPrinter(file);
    QStringList built;
    TTableChoice choice{true, true, true, "November 2026", month.Labels};
    const auto build = [&](QStringList& lines, uint16_t w) {
        const bool ok = BuildText(lines, month.View, choice, w, [] { return true; });
        return built = lines, ok;
    };
    ASSERT_EQ(PrintText(*printer, build, Always), TPrintResult::Printed);
    const QFontMetrics fm(PrintFont(printer->logicalDpiY()));
    // Three measurements pack two interval rows to a line.
    const QString header = QRegularExpression::escape(month.View.IntervalLine(0));
    EXPECT_EQ(built.filter(QRegularExpression("^" + header + " +" + header + "$")).size(), 1);
    const int perPage = printer->height() / fm.lineSpacing();
    EXPECT_EQ(PdfPages(file), (built.size() + perPage - 1) / perPage);

    const QStringList printed = PdfText(file).split('\n');
    qsizetype at = 0;
    for (const QString& line : std::as_const(built))
        while (!line.trimmed().isEmpty() && printed.value(at).simplified() != line.simplified())
            ASSERT_LT(++at, printed.size()) << "missing or out of order: " << line.toStdString();
    // The words of the first page, from the indent to inside the right edge.
    double left = 1e9, right = 0;
    const QString words = Tool("pdftotext", {"-bbox", "-l", "1", file, "-"});
    const QRegularExpression box(R"re(xMin="([\d.]+)" yMin="[\d.]+" xMax="([\d.]+)")re");
    for (const auto& m : box.globalMatch(words)) {
        left = std::min(left, m.captured(1).toDouble());
        right = std::max(right, m.captured(2).toDouble());
    }
    const QRectF paper = printer->pageLayout().paintRect(QPageLayout::Point);
    EXPECT_NEAR(left, paper.left() + 3 * fm.horizontalAdvance('_') * 72.0 / printer->resolution(), 1.0);
    EXPECT_LE(right, paper.right());
}

TEST(Print, AStoppedPrintLeavesTheEarlierFileAndNothingElse)
{
    SimMonth month(3);
    QTemporaryDir out;
    const QString file = out.filePath("out.pdf");
    const auto stopAt = [](int percent) { return [percent](int p) { return p < percent; }; };
    const auto lines = [](QStringList& list, uint16_t) { return list = QStringList(100, "Riadok"), true; };
    for (bool earlier : {false, true}) {
        QFile f(file);
        ASSERT_TRUE(!earlier || (f.open(QIODevice::WriteOnly) && f.write("earlier") == 7));
        f.close();
        auto printer = PdfPrinter(file);
        TPrintLayout l;
        ComputePrintLayout(*printer, month.View, false, l);
        ASSERT_TRUE(CountStrips(l, 3));
        EXPECT_EQ(PrintGraphs(*printer, month.View, l, {false, "", month.Labels}, stopAt(50)), TPrintResult::Stopped);
        EXPECT_EQ(PrintText(*printer, lines, stopAt(50)), TPrintResult::Stopped);
        EXPECT_EQ(printer->outputFileName(), file);
        EXPECT_EQ(QDir(out.path()).entryList(QDir::Files), earlier ? QStringList{"out.pdf"} : QStringList{});
        EXPECT_TRUE(!earlier || (f.open(QIODevice::ReadOnly) && f.readAll() == "earlier"));
    }
}
