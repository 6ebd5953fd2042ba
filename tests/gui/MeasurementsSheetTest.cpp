// The sheet "Merania" on the archive page: the colour choice, what the
// choices enable, the text file with its overwrite question, and the two
// prints to a PDF printer with their STOP buttons.
#include "app/widgets/PageArchive.h"
#include "app/widgets/PanelMail.h"
#include "app/widgets/SheetMeasurements.h"
#include "core/Cp1250.h"
#include "core/widgets/Dialogs.h"
#include "core/widgets/DrawGrid.h"
#include "files/widgets/FormOpenFile.h"
#include "output/AdvExcel.h"
#include "output/MailClient.h"
#include "output/SheetServer.h"
#include "regulator/ArchiveQDR.h"
#include "regulator/DispArch.h"
#include "support/SmtpSink.h"
#include "support/HandMonth.h"
#include "support/DemandMonths.h"
#include "app/Config.h"
#include "app/Settings.h"
#include "support/FileBytes.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPageSize>
#include <QPlainTextEdit>
#include <QPainter>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTcpServer>
#include <QTimer>
#include <gtest/gtest.h>

namespace {
// November 2026, three channels (the last reactive), three days of 96 records.
QString WriteMonth(const QTemporaryDir& dir)
{
    return WriteHandMonth(dir.path(), 3, 3, 2, [](int k, int c) { return uint16_t(c == 0 ? 100 + k % 50 : c == 1 ? 40 : k % 7); });
}

QString RunProgram(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(30000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

int PdfPages(const QString& pdf)
{
    const QString info = RunProgram(QStringLiteral("pdfinfo"), {pdf});
    for (const QString& line : info.split(QLatin1Char('\n')))
        if (line.startsWith(QLatin1String("Pages:")))
            return line.mid(6).trimmed().toInt();
    return -1;
}

// The captions stop shows while the output of button runs.
QStringList Captions(QPushButton* stop, QPushButton* button)
{
    QStringList captions;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (stop->isVisible())
            captions << stop->text();
    });
    watch.start(0);
    button->click();
    return captions;
}

struct Sheet {
    QTemporaryDir Dir;
    TArchiveQDR Archive{Dir.path()};
    TDispArch View{&Archive, 15};
    bool Busy = false;
    TPageArchive Page{Archive, View, Busy};
    TSheetMeasurements& M = *Page.TabSheetAM;
    std::vector<TDialogRequest> Asked;
    bool Answer = true;

    explicit Sheet(bool open = true)
    {
        TDialogs::SetResponder([this](TDialogRequest& r) {
            Asked.push_back(r);
            return Answer;
        });
        M.Labels = QStringList{QStringLiteral("00: Hlavné meranie"), QStringLiteral("01: Kompresory"), QString()};
        auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setOutputFileName(Dir.filePath(QStringLiteral("out.pdf")));
        M.SetPrinter(std::move(printer));
        M.PrinterPresent = true;
        Page.PageControlA->setCurrentWidget(&M);
        Page.resize(900, 700);
        Page.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&Page));
        M.CheckAM();
        if (open)
            Page.OpenArchiveView(WriteMonth(Dir));
    }
    ~Sheet() { TDialogs::SetResponder(nullptr); }
    // The window's spreadsheet driver over the built-in server.
    TSheetServer* UseSpreadsheet()
    {
        auto server = std::make_unique<TSheetServer>();
        TSheetServer* sheets = server.get();
        Excel = std::make_unique<TAdvExcel>(std::move(server));
        Excel->BurstCount = 32;
        M.Excel = Excel.get();
        M.Sheets = sheets;
        return sheets;
    }
    std::unique_ptr<TAdvExcel> Excel;
    QString Pdf() const { return Dir.filePath(QStringLiteral("out.pdf")); }
    void Click(int col, int row)
    {
        const QRect cell = M.DrawGridM->CellRect(col, row);
        ASSERT_FALSE(cell.isEmpty());
        QTest::mouseClick(M.DrawGridM->viewport(), Qt::LeftButton, {}, cell.center());
    }
    QImage Grid() const
    {
        QImage image(M.DrawGridM->viewport()->size(), QImage::Format_RGB32);
        image.fill(Qt::black);
        QPainter p(&image);
        M.DrawGridM->PaintCells(p, image.rect());
        return image;
    }
    // The enabled states of ButtonF, ButtonP, ButtonE, ButtonM, ButtonT.
    std::string Enabled() const
    {
        std::string s;
        for (QPushButton* b : {M.ButtonF, M.ButtonP, M.ButtonE, M.ButtonM, M.ButtonT})
            s += b->isEnabled() ? '1' : '0';
        return s;
    }
};
} // namespace

TEST(MeasurementsSheet, ChoicesEnableTheOutputs)
{
    Sheet closed(false);
    EXPECT_EQ(closed.Enabled(), "00000");
    EXPECT_EQ(closed.M.LabelP->text(), QStringLiteral("0"));

    Sheet s;
    EXPECT_EQ(s.M.EditF->text(), QStringLiteral("2026NOV.TXT"));
    // No mail client: everything but the mail.
    EXPECT_EQ(s.Enabled(), "11101");
    EXPECT_NE(s.M.LabelP->text(), QStringLiteral("0"));
    // Only the block, none selected: the tables are off, the graphs are not.
    s.M.RadioButtonB->setChecked(true);
    EXPECT_EQ(s.Enabled(), "00001");
    s.View.SetBlockStart(3);
    s.View.SetBlockEnd(9);
    s.M.CheckAM();
    EXPECT_EQ(s.Enabled(), "11101");
    s.M.RadioButtonA->setChecked(true);
    s.M.CheckBoxP->setChecked(false);
    s.M.CheckBoxA->setChecked(false);
    EXPECT_EQ(s.Enabled(), "00001");
    s.M.CheckBoxP->setChecked(true);
    s.M.EditF->clear();
    EXPECT_EQ(s.Enabled(), "01101");
    s.M.EditF->setText(QStringLiteral("x.txt"));
    // The mail wants a client with a server and an address.
    TMailClient mail;
    s.M.MailClient = &mail;
    s.M.EditM->setText(QStringLiteral("@"));
    EXPECT_EQ(s.Enabled(), "11101");
    mail.Host = QStringLiteral("127.0.0.1");
    s.M.CheckAM();
    EXPECT_EQ(s.Enabled(), "11111");
    s.M.EditM->clear();
    EXPECT_EQ(s.Enabled(), "11101");
    s.M.MailClient = nullptr;

    // Column 1 hides a measurement; rows past the channels take no click.
    ASSERT_TRUE(s.M.CheckBoxM->isEnabled());
    s.M.CheckBoxM->setChecked(true);
    s.Click(1, 0);
    s.Click(1, 1);
    EXPECT_EQ(s.View.SelectedCount, 1);
    EXPECT_FALSE(s.M.CheckBoxM->isEnabled());
    EXPECT_FALSE(s.M.CheckBoxM->isChecked());
    EXPECT_EQ(s.Page.DrawGridArP->ColCount(), 2);
    s.Click(5, 7);
    EXPECT_EQ(s.View.SelectedCount, 1);
    s.Click(1, 2);
    EXPECT_EQ(s.Enabled(), "00000");
    EXPECT_EQ(s.M.LabelP->text(), QStringLiteral("0"));
}

TEST(MeasurementsSheet, ColourSquaresAndTheHiddenCross)
{
    Sheet s;
    s.Click(4, 1); // measurement 1 in colour 3 (blue)
    const QImage image = s.Grid();
    auto centre = [&](int col, int row) { return QColor(image.pixel(s.M.DrawGridM->CellRect(col, row).center())); };
    auto corner = [&](int col, int row) {
        const QRect r = s.M.DrawGridM->CellRect(col, row);
        return QColor(image.pixel(r.left() + (r.width() - 10) / 2, r.top() + (r.height() - 10) / 2));
    };
    EXPECT_EQ(centre(2, 0), QColor(Qt::white)); // the chosen colour is filled
    EXPECT_EQ(centre(3, 0), QColor(0x80, 0x80, 0x80)); // others only outlined
    EXPECT_EQ(corner(3, 0), QColor(0x00, 0xFF, 0xFF));
    EXPECT_EQ(centre(4, 1), QColor(0x00, 0x00, 0xFF));
    EXPECT_EQ(centre(3, 1), QColor(0x80, 0x80, 0x80));
    EXPECT_EQ(corner(1, 0), QColor(0xC0, 0xC0, 0xC0)); // the cross
    EXPECT_EQ(centre(2, 5), QColor(0x80, 0x80, 0x80)); // no square past the channels
    EXPECT_EQ(corner(2, 5), QColor(0x80, 0x80, 0x80));
    // Measurement 2 has no name but a label all the same; none past the channels.
    const auto written = [&](int row) {
        const QImage cell = image.copy(s.M.DrawGridM->CellRect(0, row));
        const QRgb ground = cell.pixel(0, 0);
        for (int y = 0; y < cell.height(); ++y)
            for (int x = 0; x < cell.width(); ++x)
                if (cell.pixel(x, y) != ground)
                    return true;
        return false;
    };
    EXPECT_TRUE(written(2));
    EXPECT_FALSE(written(5));
}

TEST(MeasurementsSheet, TextFileAsksBeforeOverwriting)
{
    Sheet s;
    QStringList notices;
    s.M.OnNotice = [&](const QString& text) { notices << text; };
    const QString name = s.Dir.filePath(QStringLiteral("nov.txt"));
    s.M.EditF->setText(name);
    s.M.ButtonF->click();
    EXPECT_TRUE(s.Asked.empty());
    EXPECT_EQ(notices, QStringList{QStringLiteral("Zapísaný súbor ") + QFileInfo(name).absoluteFilePath()});
    const QByteArray written = FileContents(name);
    EXPECT_TRUE(written.startsWith(ToCp1250(QStringLiteral("ARCHÍV          [November 2026]\r\n\r\n00: Hlavné"))));
    EXPECT_TRUE(written.endsWith("\r\n"));
    EXPECT_TRUE(written.contains("   2[kVAr]"));
    EXPECT_TRUE(written.contains("\r\n02: Elektromer 2\r\n")) << "a meter without a name is called as MERANIE calls it";
    // Title, empty line, three labels; the power table; the day table.
    EXPECT_EQ(written.count("\r\n"), 2 + 3 + (2 + 3 * 96) + (2 + 3 + 1));

    QFile f(name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("mine");
    f.close();
    s.Answer = false;
    s.M.ButtonF->click();
    ASSERT_EQ(s.Asked.size(), 1u);
    EXPECT_EQ(s.Asked[0].Text, QStringLiteral("Súbor \"") + name + QStringLiteral("\" existuje. Prepísať?"));
    EXPECT_EQ(FileContents(name), QByteArray("mine"));
    s.Answer = true;
    s.M.ButtonF->click();
    EXPECT_EQ(FileContents(name), written);

    // A file that cannot be written is said to the user, in Slovak and the
    // same in the status line and the box.
    s.M.EditF->setText(s.Dir.filePath(QStringLiteral("no/such/folder/x.txt")));
    s.M.ButtonF->click();
    ASSERT_EQ(s.Asked.size(), 3u);
    EXPECT_EQ(s.Asked.back().Type, TDialogRequest::Error);
    EXPECT_EQ(notices.back(), QStringLiteral("Súbor %1/x.txt sa nepodarilo zapísať: priečinok %1 neexistuje.")
                                  .arg(s.Dir.filePath(QStringLiteral("no/such/folder"))));
    EXPECT_EQ(s.Asked.back().Text, notices.back());
}

TEST(MeasurementsSheet, TextPrintGoesToThePrinterAndStopDropsIt)
{
    Sheet s;
    const QStringList progress = Captions(s.M.ButtonS, s.M.ButtonP);
    EXPECT_FALSE(s.Busy);
    EXPECT_FALSE(s.M.ButtonS->isVisible());
    EXPECT_EQ(s.M.ButtonS->text(), QStringLiteral("STOP"));
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_TRUE(progress.filter(QRegularExpression(QStringLiteral("^STOP [1-9][0-9]? %$"))).size() > 0)
        << progress.join(',').toStdString();
    // Columns as words: the PDF's text keeps their order, not their blanks.
    const QString text =
        RunProgram(QStringLiteral("pdftotext"), {QStringLiteral("-layout"), s.Pdf(), QStringLiteral("-")}).simplified();
    EXPECT_TRUE(text.startsWith(QStringLiteral("ARCHÍV [November 2026] 00: Hlavné meranie 01: Kompresory 02: Elektromer 2 Výkon")))
        << text.left(300).toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("01.11. 00:00 100 40 0 01.11. 00:15 101 40 1")));
    EXPECT_TRUE(text.contains(QStringLiteral("Spolu:")));
    QFile::remove(s.Pdf());

    // STOP while the lines go out: nothing is printed, the sheet is free.
    QTimer::singleShot(0, s.M.ButtonS, [&] { s.M.ButtonS->click(); });
    s.M.ButtonP->click();
    EXPECT_FALSE(QFile::exists(s.Pdf()));
    EXPECT_FALSE(s.Busy);
    EXPECT_TRUE(s.M.ButtonP->isEnabled());

    // A page too narrow for a row asks; No prints nothing at all.
    s.M.Printer()->setPageSize(QPageSize(QSizeF(70, 200), QPageSize::Millimeter));
    s.Answer = false;
    s.M.ButtonP->click();
    ASSERT_EQ(s.Asked.size(), 1u);
    EXPECT_EQ(s.Asked[0].Text, QStringLiteral("Riadok presahuje šírku strany. Pokračovať?"));
    EXPECT_FALSE(QFile::exists(s.Pdf()));
    EXPECT_FALSE(s.Busy);
}

TEST(MeasurementsSheet, GraphPrintHasThePagesTheSheetAnnounces)
{
    Sheet s;
    for (bool common : {false, true}) {
        s.M.CheckBoxM->setChecked(common);
        const int pages = s.M.LabelP->text().toInt();
        ASSERT_GT(pages, 0);
        QFile::remove(s.Pdf());
        s.M.ButtonT->click();
        EXPECT_EQ(PdfPages(s.Pdf()), pages) << common;
        const QString text = RunProgram(QStringLiteral("pdftotext"), {s.Pdf(), QStringLiteral("-")});
        EXPECT_EQ(text.contains(QStringLiteral("01: Kompresory")), !common);
        EXPECT_FALSE(s.M.ButtonQ->isVisible());
        EXPECT_FALSE(s.Busy);
    }
    // Another page size is taken in before the print starts.
    s.M.Printer()->setPageSize(QPageSize(QPageSize::A5));
    QFile::remove(s.Pdf());
    s.M.ButtonT->click();
    EXPECT_EQ(PdfPages(s.Pdf()), s.M.LabelP->text().toInt());
    EXPECT_EQ(s.M.Layout.PrintPageHeight, s.M.Printer()->height());
    s.M.Printer()->setPageSize(QPageSize(QPageSize::A4));

    // The dense scale puts the month into one strip a graph.
    s.M.CheckBoxM->setChecked(false);
    s.M.CheckBoxS->setChecked(true);
    EXPECT_EQ(s.M.Layout.StripCount, 3);
    EXPECT_EQ(s.M.LabelP->text(), QStringLiteral("1"));
}

TEST(MeasurementsSheet, SpreadsheetOutputWritesTheWorkbookAndShowsIt)
{
    Sheet s;
    TSheetServer* sheets = s.UseSpreadsheet();
    TAdvExcel& excel = *s.Excel;
    QStringList shown;
    s.M.OpenSpreadsheet = [&](const QString& path) {
        shown << path;
        return true;
    };
    s.M.EditF->setText(s.Dir.filePath(QStringLiteral("2026NOV.TXT")));
    s.M.ButtonE->click();
    EXPECT_TRUE(s.Asked.empty());
    EXPECT_EQ(shown, QStringList{s.Dir.filePath(QStringLiteral("2026NOV.xlsx"))});
    EXPECT_TRUE(QFileInfo(shown.value(0)).size() > 0);
    EXPECT_FALSE(s.Busy);
    ASSERT_FALSE(sheets->Sheets().empty());
    const auto& cells = sheets->Sheets().front().Cells;
    ASSERT_TRUE(cells.count({1, 4}));
    EXPECT_EQ(cells.at({1, 4}).Text, QStringLiteral("Elektromer 2"));

    // An existing workbook is replaced only when the user says so.
    s.Answer = false;
    s.M.ButtonE->click();
    ASSERT_EQ(s.Asked.size(), 1u);
    EXPECT_EQ(s.Asked[0].Text, QStringLiteral("Súbor \"") + shown.value(0) + QStringLiteral("\" existuje. Prepísať?"));
    EXPECT_EQ(shown.size(), 1);
    s.Answer = true;

    // Without a program to show it, the user is told where the file is; a
    // command the spreadsheet refuses ends in "CHYBA !" with input back on.
    s.M.OpenSpreadsheet = [](const QString&) { return false; };
    s.M.ButtonE->click();
    ASSERT_EQ(s.Asked.size(), 3u);
    EXPECT_TRUE(s.Asked[2].Text.contains(QStringLiteral("2026NOV.xlsx")));
    sheets->Refuse = [](const QString& c) { return c.contains(QLatin1String("\"R5C2\"")); };
    s.M.ButtonE->click();
    ASSERT_EQ(s.Asked.size(), 5u);
    EXPECT_EQ(s.Asked[4].Text, QStringLiteral("CHYBA !"));
    EXPECT_FALSE(sheets->InputDisabled());
    EXPECT_FALSE(excel.Connected());
    EXPECT_TRUE(s.M.ButtonE->isEnabled());

    // A workbook that cannot be written says why, not only that it failed.
    sheets->Refuse = nullptr;
    s.M.EditF->setText(s.Dir.filePath(QStringLiteral("no/2026NOV.TXT")));
    s.M.ButtonE->click();
    ASSERT_EQ(s.Asked.size(), 6u);
    EXPECT_EQ(s.Asked[5].Text, QStringLiteral("Súbor %1/2026NOV.xlsx sa nepodarilo zapísať: priečinok %1 neexistuje.")
                                   .arg(s.Dir.filePath(QStringLiteral("no"))));
}

TEST(MeasurementsSheet, NothingStartsOrChangesUnderARunningOutput)
{
    Sheet s;
    TSheetServer* sheets = s.UseSpreadsheet();
    s.M.OpenSpreadsheet = [](const QString&) { return true; };
    s.M.EditF->setText(s.Dir.filePath(QStringLiteral("2026NOV.TXT")));
    int chooser = 0;
    TFormOpenFile::SetResponder([&](const QString&, QString&) { return ++chooser, false; });
    // While the spreadsheet output waits for the server a colour click and
    // another month are refused; after STOP, while it winds down, so are the
    // other outputs.
    int step = 0;
    QTimer poke;
    QObject::connect(&poke, &QTimer::timeout, [&] {
        if (!s.M.OutputRunning())
            return;
        switch (step++) {
        case 0:
            s.Click(1, 0);
            s.Page.ButtonAr->click();
            break;
        case 1:
            // The busy flag is down now, the output not yet ended.
            s.M.ButtonS->click();
            s.M.ButtonTClick();
            s.M.ButtonEClick();
            break;
        default:
            break;
        }
    });
    poke.start(0);
    s.M.ButtonE->click();
    poke.stop();
    TFormOpenFile::SetResponder(nullptr);
    ASSERT_GE(step, 2);
    EXPECT_EQ(s.View.SelectedCount, 3);
    EXPECT_EQ(chooser, 0);
    EXPECT_FALSE(QFile::exists(s.Pdf()));
    ASSERT_EQ(sheets->Sheets().size(), 1u);
    EXPECT_TRUE(s.Asked.empty());
    EXPECT_TRUE(s.M.ButtonE->isEnabled());
}

TEST(MeasurementsSheet, MailWritesTheTextFileAndSendsIt)
{
    SmtpSink sink;
    ASSERT_GT(sink.Port, 0);
    Sheet s;
    QStringList notices;
    s.M.OnNotice = [&](const QString& text) { notices << text; };
    TMailClient mail;
    AimAtSink(mail, sink.Port);
    s.M.MailClient = &mail;
    s.M.PanelM->SetClient(&mail);
    const QString file = s.Dir.filePath(QStringLiteral("2026NOV.TXT"));
    s.M.EditF->setText(file);
    s.M.EditM->setText(QStringLiteral("jan@firma.sk"));
    bool busyWhileOpen = false;
    QTimer::singleShot(0, &s.Page, [&] {
        busyWhileOpen = s.Busy && s.M.PanelM->isVisible();
        s.M.PanelM->MemoM->setPlainText(QStringLiteral("Archív za november"));
        s.M.PanelM->ButtonMY->click();
    });
    s.M.ButtonM->click();
    EXPECT_TRUE(busyWhileOpen);
    EXPECT_FALSE(s.Busy);
    EXPECT_TRUE(s.M.PanelM->isHidden());
    ASSERT_EQ(s.Asked.size(), 1u);
    EXPECT_EQ(s.Asked[0].Text, QStringLiteral("Správa odoslaná"));
    // The attachment is the file the button wrote, byte for byte.
    const QByteArray message = sink.Message();
    const qsizetype at = message.indexOf("filename=\"2026NOV.TXT\"");
    ASSERT_GT(at, 0);
    const qsizetype start = message.indexOf("\r\n\r\n", at) + 4;
    const QByteArray encoded = message.mid(start, message.indexOf("\r\n--", start) - start);
    EXPECT_EQ(QByteArray::fromBase64(encoded), FileContents(file));
    EXPECT_TRUE(FileContents(file).startsWith("ARCH"));
    ASSERT_FALSE(notices.isEmpty());
    EXPECT_TRUE(notices.last().startsWith(QStringLiteral("Mail odoslaný: "))) << notices.last().toStdString();

    // The next mailing rewrites its own file without asking; a file of the
    // user's under that name is asked about.
    const auto send = [&] {
        QTimer::singleShot(0, &s.Page, [&] { s.M.PanelM->ButtonMY->click(); });
        s.M.ButtonM->click();
    };
    s.Asked.clear();
    send();
    ASSERT_EQ(s.Asked.size(), 1u);
    EXPECT_EQ(s.Asked[0].Text, QStringLiteral("Správa odoslaná"));
    QFile mine(file);
    ASSERT_TRUE(mine.open(QIODevice::WriteOnly));
    mine.write("mine\r\n");
    mine.close();
    s.Asked.clear();
    s.Answer = false;
    send();
    ASSERT_FALSE(s.Asked.empty());
    EXPECT_EQ(s.Asked[0].Text, QStringLiteral("Súbor \"") + file + QStringLiteral("\" existuje. Prepísať?"));
    EXPECT_EQ(FileContents(file), QByteArray("mine\r\n"));

    // Nothing listens: an error box, and the status line says the mail
    // failed, not only that its file was written.
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
        mail.Port = probe.serverPort();
    }
    s.Asked.clear();
    QTimer::singleShot(0, &s.Page, [&] {
        s.M.PanelM->ButtonMY->click();
        s.M.PanelM->ButtonMN->click();
    });
    s.M.ButtonM->click();
    ASSERT_FALSE(s.Asked.empty());
    EXPECT_EQ(s.Asked.back().Type, TDialogRequest::Warning) << s.Asked.back().Text.toStdString();
    EXPECT_TRUE(notices.last().startsWith(QStringLiteral("Mail sa nepodarilo odoslať: "))) << notices.last().toStdString();
}

TEST(MeasurementsSheet, ReportOfTheWholeMonthBesideTheTextFileAndStopLeavesTheOldOne)
{
    Sheet s;
    s.M.EditF->setText(s.Dir.filePath(QStringLiteral("2026NOV.TXT")));
    s.Click(1, 1); // the user hides a measurement; the report still has it
    ASSERT_EQ(s.View.SelectedCount, 2);
    ASSERT_TRUE(s.M.ButtonR->isEnabled());
    s.View.SetRegulatedPower(0, 120);
    const QStringList progress = Captions(s.M.ButtonS, s.M.ButtonR);
    const QString pdf = s.Dir.filePath(QStringLiteral("2026NOV.pdf"));
    ASSERT_TRUE(QFile::exists(pdf));
    EXPECT_FALSE(s.Busy);
    EXPECT_EQ(s.View.SelectedCount, 2);
    EXPECT_TRUE(progress.filter(QRegularExpression(QStringLiteral("^STOP [1-9][0-9]? %$"))).size() > 0);
    EXPECT_TRUE(RunProgram(QStringLiteral("pdfinfo"), {pdf}).contains(QStringLiteral("November 2026 – Mesačný prehľad")));
    const QString page1 = RunProgram(QStringLiteral("pdftotext"),
                                     {QStringLiteral("-l"), QStringLiteral("1"), QStringLiteral("-layout"), pdf,
                                      QStringLiteral("-")})
                              .simplified();
    EXPECT_TRUE(page1.contains(QStringLiteral("01: Kompresory")));
    // The regulated power VT is the limit: 100 + k % 50 tops 120 in 29 of
    // every 50 intervals, 162 of the 288, by 29 kW first at 12:15.
    EXPECT_TRUE(page1.contains(QStringLiteral("Limit 120 kW bol prekročený v 162 intervaloch, najviac o 29 kW "
                                              "(01.11.2026 12:15).")))
        << page1.toStdString();

    // STOP while the pages are drawn: the earlier report stays as it was.
    const QByteArray before = FileContents(pdf);
    QTimer::singleShot(0, s.M.ButtonS, [&] { s.M.ButtonS->click(); });
    s.M.ButtonR->click();
    ASSERT_EQ(s.Asked.size(), 1u);
    EXPECT_TRUE(s.Asked[0].Text.contains(QStringLiteral("existuje")));
    EXPECT_EQ(FileContents(pdf), before);
    EXPECT_EQ(QDir(s.Dir.path()).entryList({QStringLiteral("*.pdf*")}), QStringList{QStringLiteral("2026NOV.pdf")});
    EXPECT_FALSE(s.Busy);
}

TEST(MeasurementsSheet, PrintsTakeTheDefaultPrinterOfTheMomentAndNameTheJob)
{
    Sheet s;
    // The default printer has changed to one with A5 paper since start-up.
    s.M.LookUpPrinter = [&s] {
        auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        printer->setOutputFileName(s.Dir.filePath(QStringLiteral("a5.pdf")));
        printer->setPageSize(QPageSize(QPageSize::A5));
        return printer;
    };
    s.M.ButtonT->click();
    const QString a5 = s.Dir.filePath(QStringLiteral("a5.pdf"));
    EXPECT_EQ(s.M.Layout.PrintPageHeight, s.M.Printer()->height());
    EXPECT_EQ(PdfPages(a5), s.M.LabelP->text().toInt());
    EXPECT_TRUE(RunProgram(QStringLiteral("pdfinfo"), {a5}).contains(QStringLiteral("November 2026 – Tlač grafov")));
    s.M.ButtonP->click();
    EXPECT_TRUE(RunProgram(QStringLiteral("pdfinfo"), {a5}).contains(QStringLiteral("November 2026 – Tlač tabuliek")));
    // No printer any more: nothing starts, nothing breaks.
    s.M.LookUpPrinter = [] { return std::unique_ptr<QPrinter>(); };
    QFile::remove(a5);
    s.M.ButtonT->click();
    EXPECT_FALSE(QFile::exists(a5));
    EXPECT_FALSE(s.M.ButtonT->isEnabled());
}

TEST(MeasurementsSheet, CsvBesideTheTextFileWithTheShownMeasurementsAndRecords)
{
    Sheet s;
    s.M.TimeZone = QStringLiteral("Europe/Bratislava");
    EXPECT_TRUE(s.M.ButtonC->isEnabled());
    s.M.EditF->setText(s.Dir.filePath(QStringLiteral("nov.txt")));
    s.M.ButtonC->click();
    EXPECT_TRUE(s.Asked.empty());
    const QString csv = s.Dir.filePath(QStringLiteral("nov.csv"));
    QStringList lines = QString::fromUtf8(FileContents(csv)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1 + 3 * 96);
    EXPECT_EQ(lines.at(0), QStringLiteral("time,00: Hlavné meranie [kW],01: Kompresory [kW],02: Elektromer 2 [kVAr]"));
    EXPECT_EQ(lines.at(2), QStringLiteral("2026-11-01T00:15:00+01:00,101,40,1"));

    // Measurement 1 hidden, only the block 3..5.
    s.Click(1, 1);
    s.M.RadioButtonB->setChecked(true);
    s.View.SetBlockStart(5);
    s.View.SetBlockEnd(3);
    s.M.CheckAM();
    s.M.ButtonC->click();
    ASSERT_EQ(s.Asked.size(), 1u); // the overwrite question
    lines = QString::fromUtf8(FileContents(csv)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    EXPECT_EQ(lines, (QStringList{"time,00: Hlavné meranie [kW],02: Elektromer 2 [kVAr]", "2026-11-01T00:45:00+01:00,103,3",
                                  "2026-11-01T01:00:00+01:00,104,4", "2026-11-01T01:15:00+01:00,105,5"}));

    // Through a link onto the monthly file: refused and said.
    const QString month = s.Dir.filePath(QStringLiteral("2026nov.qdr"));
    const QByteArray before = FileContents(month);
    ASSERT_TRUE(QFile::link(month, s.Dir.filePath(QStringLiteral("link.csv"))));
    s.M.EditF->setText(s.Dir.filePath(QStringLiteral("link.TXT")));
    s.M.ButtonC->click();
    ASSERT_EQ(s.Asked.size(), 3u);
    EXPECT_EQ(s.Asked.back().Type, TDialogRequest::Error);
    EXPECT_TRUE(s.Asked.back().Text.endsWith(QStringLiteral("link.csv je mesačný súbor, z ktorého sa výstup robí.")))
        << s.Asked.back().Text.toStdString();
    EXPECT_EQ(FileContents(month), before);
    s.M.EditF->clear();
    EXPECT_FALSE(s.M.ButtonC->isEnabled());
}

TEST(MeasurementsSheet, TheOpenMonthsBillingDemandAndChargeUnderTheContract)
{
    Sheet s(false);
    EXPECT_FALSE(s.M.GroupDemand->isVisible());
    const auto contract = [](const QString& text) {
        TMIniFile ini(QStringLiteral("/nonexistent/qdrwin.ini"), QStringLiteral("/nonexistent"));
        ini.SetText(text);
        return TSettings::Read(ini).Contract;
    };
    s.M.TimeZone = QStringLiteral("Europe/Bratislava");
    s.M.SetContract(contract(HandContract()));
    s.Page.OpenArchiveView(WriteMarch(s.Dir.path()));
    ASSERT_TRUE(s.M.GroupDemand->isVisible());
    const QString nbsp(QChar(0xA0));
    EXPECT_TRUE(s.M.LabelDemand->text().startsWith(
        QStringLiteral("Fakturačné maximum 310,00 kW (29.03.2026 03:00), kapacita 250,50 kW, prekročenie 59,50 kW – "
                       "poplatok za mesiac 2") + nbsp + QStringLiteral("651,34 EUR.\nFakturuje sa najvyššia 15-minútová perióda.")))
        << s.M.LabelDemand->text().toStdString();
    // What else the month pays, as the report says it.
    s.M.SetContract(contract(HandContract() + QStringLiteral("MRK=300\nCenaPrekroceniaMRK=40\nUcinnik=0.95\n"
                                                             "Jalove=01\nUcinnikPrirazka=0.90:5\n")));
    EXPECT_TRUE(s.M.LabelDemand->text().contains(QStringLiteral("poplatok za mesiac 3") + nbsp +
                                                 QStringLiteral("051,34 EUR.\nZ toho nad MRK 10,00 kW: 400,00 EUR, "
                                                                "účinník: bez údajov o jalovej energii.\n")))
        << s.M.LabelDemand->text().toStdString();
    s.M.SetContract(contract(HandContract() + QStringLiteral("Perioda=7\n")));
    EXPECT_TRUE(s.M.LabelDemand->text().startsWith(QStringLiteral("Nesprávne nastavenie ZMLUVA Perioda=7")))
        << s.M.LabelDemand->text().toStdString();
}
