// The ARCHÍV page over a monthly file: opening it through the chooser,
// selecting a block with the mouse, the totals row, and the chooser itself.
#include "app/widgets/PageArchive.h"
#include "app/widgets/SheetMeasurements.h"
#include "core/widgets/DrawGrid.h"
#include "core/widgets/PaintBox.h"
#include "files/widgets/FormOpenFile.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"
#include "support/HandMonth.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

namespace {
// November 2026, two channels, 96 records a day for three days: channel 0
// is the record's number, channel 1 always 40.
QString WriteMonth(const QTemporaryDir& dir)
{
    return WriteHandMonth(dir.path(), 2, 3, 0, [](int k, int c) { return uint16_t(c == 0 ? k : 40); });
}

void ClickRow(TDrawGrid* grid, int row)
{
    grid->SetTopRow(std::max(grid->FixedRows(), row - 2));
    const QRect cell = grid->CellRect(1, row);
    ASSERT_FALSE(cell.isEmpty()) << row;
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, cell.center());
}

// The page over the hand-written month, shown.
struct ShownPage {
    ShownPage()
        : Name(WriteMonth(Dir))
        , Archive(Dir.path())
        , View(&Archive, 15)
        , Page(Archive, View, Busy)
    {
        Page.resize(900, 600);
        Page.show();
        Exposed = QTest::qWaitForWindowExposed(&Page);
    }
    QTemporaryDir Dir;
    QString Name;
    TArchiveQDR Archive;
    TDispArch View;
    bool Busy = false;
    TPageArchive Page;
    bool Exposed = false;
};

QColor CellColor(TDrawGrid* grid, int row)
{
    QImage image(grid->viewport()->size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter p(&image);
    grid->PaintCells(p, image.rect());
    p.end();
    const QRect cell = grid->CellRect(1, row);
    return QColor(image.pixel(cell.left() + 2, cell.top() + 2));
}
} // namespace

TEST(ArchivePage, OpensAMonthThroughTheChooserAndTotalsASelectedBlock)
{
    ShownPage shown;
    ASSERT_TRUE(shown.Exposed);
    const QString& name = shown.Name;
    TDispArch& view = shown.View;
    TPageArchive& page = shown.Page;

    QString asked;
    TFormOpenFile::SetResponder([&](const QString& mask, QString& chosen) {
        asked = mask;
        chosen = name;
        return true;
    });
    QTest::mouseClick(page.ButtonAr, Qt::LeftButton);
    TFormOpenFile::SetResponder(nullptr);
    EXPECT_EQ(asked, QStringLiteral("*.qdr"));
    EXPECT_EQ(page.PanelAr->text(), QStringLiteral("November 2026"));
    EXPECT_EQ(page.DrawGridArP->RowCount(), 1 + 3 * 96);
    EXPECT_EQ(page.DrawGridArA->RowCount(), 2 + 3);
    EXPECT_EQ(page.DrawGridArP->ColCount(), 3);

    // "Začiatok" on record 150, "Koniec" on record 100, chosen with the mouse.
    QTest::mouseClick(page.SpeedButtonArZ, Qt::LeftButton);
    ClickRow(page.DrawGridArP, 1 + 150);
    EXPECT_FALSE(page.SpeedButtonArZ->isChecked());
    QTest::mouseClick(page.SpeedButtonArK, Qt::LeftButton);
    ClickRow(page.DrawGridArP, 1 + 100);
    EXPECT_FALSE(page.SpeedButtonArK->isChecked());
    EXPECT_EQ(page.DrawGridArP->FixedRows(), 1);
    // Records 100..150: channel 0 sums to 6375, channel 1 to 51 x 40; in kWh a quarter.
    EXPECT_EQ(view.DayCell(0, 0), QStringLiteral("Spolu:"));
    EXPECT_EQ(view.DayCell(0, 1), QString::number(6375 / 4));
    EXPECT_EQ(view.DayCell(0, 2), QString::number(51 * 40 / 4));
    EXPECT_EQ(CellColor(page.DrawGridArP, 1 + 120), QColor(255, 255, 0));
    EXPECT_EQ(CellColor(page.DrawGridArA, 0), QColor(255, 255, 0));
    EXPECT_NE(CellColor(page.DrawGridArP, 1 + 99), QColor(255, 255, 0));

    // A day chosen in the energy table scrolls the power table to it.
    QTest::mouseClick(page.SpeedButtonArZ, Qt::LeftButton);
    page.DrawGridArP->SetTopRow(1);
    page.SelectDay(2);
    EXPECT_EQ(view.BlockStart, 192);
    EXPECT_EQ(view.BlockEnd, 287);
    EXPECT_EQ(page.DrawGridArP->TopRow(), 1 + 192);

    QTest::mouseClick(page.SpeedButtonArQ, Qt::LeftButton);
    EXPECT_FALSE(view.IntervalBlockSet());
    EXPECT_EQ(view.DayCell(0, 2), QString::number(288 * 40 / 4));

    // The other order: a row first, then the button, which takes it.
    ClickRow(page.DrawGridArP, 1 + 10);
    QTest::mouseClick(page.SpeedButtonArZ, Qt::LeftButton);
    EXPECT_FALSE(page.SpeedButtonArZ->isChecked());
    ClickRow(page.DrawGridArP, 1 + 20);
    QTest::mouseClick(page.SpeedButtonArK, Qt::LeftButton);
    EXPECT_EQ(view.BlockStart, 10);
    EXPECT_EQ(view.BlockEnd, 20);
    // A pressed button shows it plainly; "Zrušiť" releases either.
    QTest::mouseClick(page.SpeedButtonArK, Qt::LeftButton);
    EXPECT_TRUE(page.SpeedButtonArK->isChecked());
    EXPECT_EQ(page.SpeedButtonArK->palette().color(QPalette::Button), QColor(255, 255, 0));
    QTest::mouseClick(page.SpeedButtonArQ, Qt::LeftButton);
    EXPECT_FALSE(page.SpeedButtonArK->isChecked());
    EXPECT_NE(page.SpeedButtonArK->palette().color(QPalette::Button), QColor(255, 255, 0));
    EXPECT_FALSE(view.IntervalBlockSet());

    // Zooming keeps the left-edge record; the buttons stop at the ends.
    page.PageControlA->setCurrentIndex(1);
    QTest::qWait(20);
    EXPECT_FALSE(page.BitBtnZo->isEnabled());
    QTest::mouseClick(page.BitBtnZi, Qt::LeftButton);
    QTest::mouseClick(page.BitBtnZi, Qt::LeftButton);
    EXPECT_EQ(page.ArchiveZoom, 2);
    EXPECT_FALSE(page.BitBtnZi->isEnabled());
    // A narrow view, so that even one pixel per record scrolls.
    page.ScrollBoxAr->setFixedWidth(100);
    QTest::qWait(20);
    QScrollBar* bar = page.ScrollBoxAr->horizontalScrollBar();
    bar->setValue(6 * 130);
    QTest::mouseClick(page.BitBtnZo, Qt::LeftButton);
    EXPECT_EQ(bar->value(), 130);
    QTest::mouseClick(page.BitBtnZi, Qt::LeftButton);
    EXPECT_EQ(bar->value(), 6 * 130);
}

TEST(ArchivePage, ChooserOffersOnlyExistingFilesAndMovesTheCurrentDirectory)
{
    QTemporaryDir dir;
    const QString name = WriteMonth(dir);
    const QString before = QDir::currentPath();
    TFormOpenFile chooser;
    QString chosen;
    bool okEnabled = false, okAfterDelete = true;
    QTimer::singleShot(50, &chooser, [&] {
        chooser.SetDirectory(dir.path());
        auto* files = chooser.findChild<QListWidget*>(QStringLiteral("FileListBoxAr"));
        auto* ok = chooser.findChild<QPushButton*>(QStringLiteral("BitBtnArOK"));
        files->setCurrentRow(0);
        okEnabled = ok->isEnabled();
        QFile::rename(name, name + QStringLiteral(".old"));
        files->setCurrentRow(-1);
        files->setCurrentRow(0);
        okAfterDelete = ok->isEnabled();
        QFile::rename(name + QStringLiteral(".old"), name);
        files->setCurrentRow(-1);
        files->setCurrentRow(0);
        QTest::mouseClick(ok, Qt::LeftButton);
    });
    EXPECT_EQ(chooser.Execute(QStringLiteral("*.qdr"), QString(), chosen), QDialog::Accepted);
    EXPECT_TRUE(okEnabled);
    EXPECT_FALSE(okAfterDelete);
    EXPECT_EQ(QFileInfo(chosen).canonicalFilePath(), QFileInfo(name).canonicalFilePath());
    EXPECT_EQ(QDir::current().canonicalPath(), QDir(dir.path()).canonicalPath());
    QDir::setCurrent(before);
}

TEST(ArchivePage, ChooserShowsTheCurrentDirectoryOnceTheTreeHasSettled)
{
    // Forty folders sort before the current one: it is out of view unless
    // the tree scrolls to it after the model has inserted them.
    QTemporaryDir dir;
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("a%1").arg(i, 2, 10, QLatin1Char('0'))));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("zz")));
    const QString before = QDir::currentPath();
    TFormOpenFile chooser;
    chooser.SetDirectory(dir.filePath(QStringLiteral("zz")));
    chooser.show();
    auto* tree = chooser.findChild<QTreeView*>(QStringLiteral("DirectoryListBoxAr"));
    const auto inView = [tree] {
        const QRect r = tree->visualRect(tree->currentIndex());
        return tree->currentIndex().data().toString() == QLatin1String("zz") && r.isValid() &&
               tree->viewport()->rect().contains(r.center());
    };
    // Wait for the model to read every level, then a moment for its sorting.
    QTest::qWait(1500);
    EXPECT_TRUE(inView());
    chooser.hide();
    QDir::setCurrent(before);
}

TEST(ArchivePage, AnotherMonthStartsAtItsFirstRowAndAFailedOneLeavesNoName)
{
    ShownPage shown;
    ASSERT_TRUE(shown.Exposed);
    const QString& name = shown.Name;
    const QTemporaryDir& dir = shown.Dir;
    TPageArchive& page = shown.Page;
    page.OpenArchiveView(name);
    EXPECT_EQ(page.TabSheetAM->EditF->text(), QStringLiteral("2026NOV.TXT"));
    page.DrawGridArP->SetTopRow(200);
    page.DrawGridArA->SetTopRow(4);
    page.OpenArchiveView(name);
    EXPECT_EQ(page.DrawGridArP->TopRow(), 1);
    EXPECT_EQ(page.DrawGridArA->TopRow(), 2);
    // The daily table shows its first column and both measurements whole.
    int width = 0;
    for (int c = 0; c < page.DrawGridArA->ColCount(); ++c)
        width += page.DrawGridArA->ColWidth(c) + page.DrawGridArA->GridLineWidth();
    EXPECT_GE(page.DrawGridArA->viewport()->width(), width);

    // A folder in the place of a month file cannot be read: no month.
    QDir(dir.path()).mkdir(QStringLiteral("2026dec.qdr"));
    page.OpenArchiveView(dir.filePath(QStringLiteral("2026dec.qdr")));
    EXPECT_TRUE(page.PanelAr->text().isEmpty());
    EXPECT_TRUE(page.TabSheetAM->EditF->text().isEmpty()) << page.TabSheetAM->EditF->text().toStdString();
}
