// What the window tells the operator as the link and the regulator change
// under it, against the simulated regulator: a regulator that falls silent
// in the middle of a download and answers again, a printer that appears
// after start-up, and what the regulator reports without names. Everything
// is read back from the controls by object name.
#include "GuiTestSupport.h"
#include "app/widgets/FormMain.h"
#include "app/widgets/PageArchive.h"
#include "app/widgets/PageInformation.h"
#include "app/widgets/PanelPreg.h"
#include "app/widgets/SheetMeasurements.h"
#include "app/widgets/Translation.h"
#include "comm/widgets/FrameCom.h"
#include "core/widgets/DrawGrid.h"
#include "core/widgets/DrawList.h"
#include "regulator/DispArch.h"
#include "values/widgets/FormDebug.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTest>
#include <QThread>
#include <QTranslator>

#include <gtest/gtest.h>

#include <atomic>

namespace {

// A small archive: the last 26 records of October and the first hours of
// November, so a download runs for some seconds and then ends.
QStringList SmallArchive()
{
    return {"--udp", "127.0.0.1:0", "--speed", "0", "--now", "2026-11-01T05:07", "--lost", "2950"};
}

struct Window {
    explicit Window(const SimProcess& sim, const QString& extra = {})
        : Site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\nAdr=0\n%2").arg(sim.Udp, extra))
    {
        TMIniFile cfg(Site.Path("qdrwin.ini"));
        W = std::make_unique<TFormMain>(TSettings::Read(cfg), 100, Site.Path());
        W->show();
    }
    template <class T> T* Find(const char* name) const { return W->findChild<T*>(QString::fromLatin1(name)); }
    QString Text(const char* name) const
    {
        auto* label = Find<QLabel>(name);
        return label ? label->text() : QStringLiteral("<none>");
    }
    QColor Lamp() const { return Find<QLabel>("LedC")->palette().color(QPalette::Window); }
    SiteDir Site;
    std::unique_ptr<TFormMain> W;
};

const QColor Red(0xFF, 0x00, 0x00);
const QColor Green(0x00, 0x80, 0x00);

} // namespace

TEST(WindowSays, ARegulatorSilencedMidDownloadAndBack)
{
    SimProcess sim(SmallArchive());
    ASSERT_TRUE(sim.Ready);
    Window s(sim);
    TEngine& e = *s.W->Engine;
    ASSERT_TRUE(PumpUntil([&] { return s.Text("PanelInf").contains(QStringLiteral(": zost")); }, 20000))
        << s.Text("PanelInf").toStdString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^2026(OCT|NOV): zostáva(jú)? \\d+ záznam(y|ov)?(, \\d+,\\d záznamov/s)?$"))
                    .match(s.Text("PanelInf"))
                    .hasMatch())
        << s.Text("PanelInf").toStdString();
    EXPECT_TRUE(s.Text("LabelArStatus").startsWith(QStringLiteral("Sťahuje sa 2026"))) << s.Text("LabelArStatus").toStdString();

    // Silent: after 10 s without a valid reply (the engine's clock moved on
    // instead of waiting) the download is shown as cut off, the lamp red.
    sim.Command("fault loss 1");
    Pump(300);
    e.SetClockShift(e.ClockShift() + TEngine::LinkDownMs + 1000);
    const QRegularExpression down(QStringLiteral(
        "^Regulátor neodpovedá od \\d\\d:\\d\\d:\\d\\d  –  2026(OCT|NOV): sťahovanie prerušené, zostáva(jú)? \\d+ "));
    ASSERT_TRUE(PumpUntil([&] { return down.match(s.Text("PanelInf")).hasMatch(); }, 8000))
        << s.Text("PanelInf").toStdString();
    EXPECT_TRUE(down.match(s.Text("LabelArStatus")).hasMatch()) << s.Text("LabelArStatus").toStdString();
    ASSERT_TRUE(PumpUntil([&] { return s.Lamp() == Red; }, 3000));
    // Each lamp's hint: what it shows and since when.
    const auto hint = [&] { return s.Find<QLabel>("LedC")->toolTip(); };
    EXPECT_TRUE(PumpUntil([&] { return hint().contains(QStringLiteral("Timeout od ")); }, 5000)) << hint().toStdString();
    EXPECT_TRUE(hint().startsWith(QStringLiteral("Regulátor neodpovedá od ")));
    EXPECT_TRUE(s.Find<QWidget>("LedR")->toolTip().startsWith(QStringLiteral("Príjem: ")));
    // It stays said while the exchanges go on failing.
    const QString said = s.Text("PanelInf");
    Pump(2500);
    EXPECT_EQ(s.Text("PanelInf"), said);
    EXPECT_EQ(s.Lamp(), Red);

    // Replies again: the download resumes and ends, the lamp is green.
    sim.Command("fault loss 0");
    ASSERT_TRUE(PumpUntil([&] { return !s.Text("PanelInf").contains(QStringLiteral("neodpovedá")); }, 8000));
    ASSERT_TRUE(PumpUntil([&] { return s.Text("PanelInf") == QStringLiteral("2026NOV stiahnutý"); }, 60000))
        << s.Text("PanelInf").toStdString();
    EXPECT_EQ(s.Text("LabelArStatus"), QStringLiteral("2026NOV stiahnutý"));
    EXPECT_TRUE(PumpUntil([&] { return s.Lamp() == Green; }, 3000));
}

TEST(WindowSays, APrinterThatAppearsAfterStartUpIsFoundWithoutHoldingUpTheLink)
{
    SimProcess sim(SmallArchive());
    ASSERT_TRUE(sim.Ready);
    Window s(sim);
    TFormMain& w = *s.W;
    TSheetMeasurements& sheet = *w.PageA->TabSheetAM;
    // The print system as the test has it: none at first, then a printer
    // that writes a PDF file; slow makes the lookup hang for a while.
    std::atomic<bool> present{false};
    std::atomic<bool> slow{false};
    const QString pdf = s.Site.Path("graf.pdf");
    ASSERT_TRUE(PumpUntil([&] { return !sheet.LookingForPrinter(); }, 10000)) << "the start-up lookup";
    sheet.LookUpPrinter = [&present, &slow, pdf] {
        if (slow)
            QThread::msleep(2500);
        if (!present)
            return std::unique_ptr<QPrinter>();
        auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setOutputFileName(pdf);
        return printer;
    };
    w.PageControl->setCurrentIndex(TEngine::PageArchive);
    ASSERT_TRUE(PumpUntil([&] { return w.DispArch->RecordCount > 0; }, 20000));
    w.PageA->PageControlA->setCurrentWidget(&sheet);
    ASSERT_TRUE(PumpUntil([&] { return !sheet.LookingForPrinter(); }, 5000));
    auto* why = s.Find<QLabel>("LabelPrinter");
    ASSERT_NE(why, nullptr);
    EXPECT_TRUE(why->isVisible());
    EXPECT_FALSE(sheet.ButtonT->isEnabled());
    EXPECT_TRUE(sheet.ButtonT->toolTip().startsWith(QStringLiteral("Nie je nainštalovaná žiadna tlačiareň")));

    // Installed meanwhile; the sheet shown again looks for it, and the link
    // goes on while the print system takes its time to answer.
    present = true;
    slow = true;
    int exchanges = 0;
    w.Engine->OnStatus = [&](uint8_t) { ++exchanges; };
    w.PageA->PageControlA->setCurrentIndex(0);
    w.PageA->PageControlA->setCurrentWidget(&sheet);
    EXPECT_TRUE(sheet.LookingForPrinter());
    ASSERT_TRUE(PumpUntil([&] { return !sheet.LookingForPrinter(); }, 10000));
    EXPECT_GE(exchanges, 5) << "exchanges while the lookup hung for 2.5 s";
    EXPECT_FALSE(why->isVisible());
    EXPECT_TRUE(sheet.ButtonT->isEnabled());

    // A print looks again and goes to the printer found.
    slow = false;
    sheet.ButtonT->click();
    EXPECT_GT(QFileInfo(pdf).size(), 0);
}

TEST(WindowSays, WhatTheRegulatorReportsWithoutNamesIsListedAndWhatGoesWrongIsSaid)
{
    auto sim = StartUdpSim({"--meters", "3", "--kinds", "4"});
    ASSERT_TRUE(sim->Ready);
    Window s(*sim, QStringLiteral("[INE]\nPassword=tajne\n"));
    TFormMain& w = *s.W;
    TEngine& e = *w.Engine;
    ASSERT_TRUE(PumpUntil([&] { return e.ValueKso->IsValid() && e.GridEm->IsValid() && e.ValuePregV->IsValid(); }, 15000));

    // Meters and appliances without names, as many as the regulator reports.
    QString text;
    int alignment = 0;
    e.GridEm->GetCellText(0, 3, text, alignment);
    EXPECT_EQ(text, QStringLiteral("03: Elektromer 3"));
    EXPECT_TRUE(e.GridEm->IsRowShown(1, 3));
    EXPECT_FALSE(e.GridEm->IsRowShown(1, 4));
    auto* meters = s.Find<TDrawGrid>("DrawGridEm");
    EXPECT_GE(meters->ColWidth(meters->ColCount() - 1), QFontMetrics(meters->font()).horizontalAdvance(QStringLiteral("[kVAr]")) + 2);
    const int appliances = int(e.ValueKso->GetValue());
    ASSERT_GT(appliances, 0);
    ASSERT_TRUE(PumpUntil([&] { return s.Find<TDrawList>("ListBoxIO")->Count() == appliances; }, 3000));
    EXPECT_EQ(e.ListIO->ItemName(0), QStringLiteral("Spotrebič 1"));
    EXPECT_EQ(e.ListIO->ItemName(appliances - 1), QStringLiteral("Spotrebič %1").arg(appliances));

    // The identification opens the debug view with the figures.
    w.PageControl->setCurrentIndex(TEngine::PageInformation);
    QTest::mouseClick(w.PageI->LabelId, Qt::LeftButton);
    EXPECT_TRUE(w.DebugView->isVisible());
    EXPECT_GT(w.DebugView->RowCount(), 10);
    w.DebugView->hide();

    // A wrong password is said, and nothing is written.
    int writes = 0;
    e.OnSent = [&](uint8_t command) { writes += command == 7; };
    w.PageI->ButtonPreg->click();
    TPanelPreg& preg = *w.PanelPreg;
    ASSERT_TRUE(preg.isVisible());
    QTest::keyClicks(preg.LabeledEditPassword, QStringLiteral("zle"));
    preg.BitBtnPregY->click();
    Pump(500);
    EXPECT_TRUE(preg.isVisible());
    EXPECT_TRUE(preg.LabelPregError->isVisible());
    EXPECT_EQ(preg.LabelPregError->text(), QStringLiteral("Nesprávne heslo"));
    EXPECT_EQ(writes, 0);
    preg.BitBtnPregNClick();

    // The communication log: each exchange with its time and command, and
    // Esc back to the pages.
    QTest::mouseClick(w.FrameCom, Qt::LeftButton);
    ASSERT_TRUE(w.PanelCom->isVisible());
    const QStringList lines = w.MemoCom->toPlainText().split(QLatin1Char('\n'));
    const QRegularExpression request(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} > +\\d+ \\w"));
    EXPECT_FALSE(lines.filter(request).isEmpty()) << lines.value(0).toStdString();
    QTest::keyClick(w.MemoCom, Qt::Key_Escape);
    EXPECT_FALSE(w.PanelCom->isVisible());

    // The toolkit's own texts are Slovak.
    QTranslator* slovak = InstallSlovakTranslation(*QCoreApplication::instance());
    ASSERT_NE(slovak, nullptr);
    EXPECT_EQ(QCoreApplication::translate("QWidgetTextControl", "&Copy"), QStringLiteral("&Kopírovať"));
    QCoreApplication::removeTranslator(slovak);
    delete slovak;
}

// The box on ARCHÍV turns the fast download on for this run; a regulator
// that leaves the fast requests unanswered (any sooner than 600 ms after the
// one before, while the serial schedule asks a second apart) makes the
// window say so and grey the box, and the download still ends.
TEST(WindowSays, TheFastBoxAndARegulatorThatCannotKeepUp)
{
    SimProcess sim({"--serial", "--fast", "--speed", "0", "--now", "2026-11-01T03:00", "--lost", "2968", "--min-gap", "600"});
    ASSERT_TRUE(sim.Ready);
    Window s(sim, QStringLiteral("Device=%1\nTimeout=300\n").arg(sim.Serial));
    TFormMain& w = *s.W;
    auto* box = s.Find<QCheckBox>("CheckBoxFast");
    ASSERT_NE(box, nullptr);
    w.PageControl->setCurrentWidget(w.TabSheetA);
    ASSERT_TRUE(PumpUntil([&] { return box->isVisible(); }, 20000)) << s.Text("PanelInf").toStdString();
    EXPECT_FALSE(box->isChecked());
    EXPECT_FALSE(w.Engine->Fasting());
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(box->height() / 2, box->height() / 2));
    EXPECT_TRUE(box->isChecked());
    EXPECT_TRUE(w.Engine->Fasting());

    ASSERT_TRUE(PumpUntil([&] { return s.Text("PanelInf").contains(TEngine::FastFallbackText()); }, 60000))
        << s.Text("PanelInf").toStdString();
    EXPECT_FALSE(box->isEnabled());
    EXPECT_FALSE(w.Engine->Fasting());
    ASSERT_TRUE(PumpUntil([&] { return s.Text("PanelInf") == QStringLiteral("2026NOV stiahnutý"); }, 120000))
        << s.Text("PanelInf").toStdString();
    EXPECT_FALSE(box->isVisible());
}
