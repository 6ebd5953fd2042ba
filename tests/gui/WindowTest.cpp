// The main window against the simulated regulator: what the pages show, how
// figures age when the regulator falls silent, and the page-change rules; the
// alerts in the status line, its hint and INFORMÁCIE while they hold.
#include "GuiTestSupport.h"
#include "alerts/Alerts.h"
#include "app/widgets/FormMain.h"
#include "app/widgets/PageInformation.h"
#include "comm/widgets/FrameCom.h"
#include "core/FolderLock.h"
#include "core/widgets/Dialogs.h"
#include "core/widgets/DrawGrid.h"

#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QTabWidget>
#include <gtest/gtest.h>

namespace {

struct WindowSession {
    explicit WindowSession(const SimProcess& sim, const QString& extra = {})
        : Site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\nAdr=0\n%2").arg(sim.Udp, extra))
    {
        TMIniFile cfg(Site.Path("qdrwin.ini"));
        Window = std::make_unique<TFormMain>(TSettings::Read(cfg), 100, Site.Path());
        Window->show();
    }
    QLabel* Label(const char* name) const { return Window->findChild<QLabel*>(QString::fromLatin1(name)); }
    QString Text(const char* name) const { return Label(name) ? Label(name)->text() : QStringLiteral("<none>"); }
    SiteDir Site;
    std::unique_ptr<TFormMain> Window;
};

} // namespace

TEST(Window, PagesShowTheRegulatorsFigures)
{
    auto sim = StartUdpSim({"--preg", "410,290", "--meters", "3"});
    ASSERT_TRUE(sim->Ready);
    WindowSession s(*sim, QStringLiteral("[ELEKTROMERY]\nEM02=Vyroba\n"));
    TEngine& e = *s.Window->Engine;
    ASSERT_TRUE(PumpUntil([&] { return s.Text("LabelPregN") == "290" && !s.Text("LabelRs").isEmpty() &&
                                       !s.Text("LabelTd").isEmpty(); },
                          15000));
    EXPECT_EQ(s.Text("LabelId"), e.ValueId->GetDisplay());
    EXPECT_TRUE(s.Text("LabelId").endsWith("2002"));
    EXPECT_EQ(s.Text("LabelPregV"), "410");
    EXPECT_EQ(s.Text("LabelKem"), "3");
    for (const char* name : {"LabelTd", "LabelTa", "LabelRs", "LabelPmV", "LabelTmN", "LabelTres"})
        EXPECT_EQ(s.Text(name), e.Value(QString::fromLatin1(name))->GetDisplay()) << name;
    // Fresh figures keep the design colours.
    EXPECT_EQ(s.Label("LabelRs")->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(s.Label("LabelRs")->palette().color(QPalette::Window), QColor(Qt::white));

    // The meters grid names the configured meter and holds the readings.
    auto* grid = s.Window->findChild<TDrawGrid*>(QStringLiteral("DrawGridEm"));
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(grid->RowCount(), 13);
    QString text;
    int alignment = 0;
    e.GridEm->GetCellText(0, 2, text, alignment);
    EXPECT_EQ(text, "02: Vyroba");
    e.GridEm->GetCellText(1, 0, text, alignment);
    EXPECT_FALSE(text.isEmpty());
}

TEST(Window, FiguresAgeThenGoMissingButTheIdentificationStays)
{
    auto sim = StartUdpSim();
    ASSERT_TRUE(sim->Ready);
    WindowSession s(*sim);
    TEngine& e = *s.Window->Engine;
    ASSERT_TRUE(PumpUntil([&] { return !s.Text("LabelRs").isEmpty() && !s.Text("LabelId").isEmpty(); }, 15000));
    const QString id = s.Text("LabelId");
    sim->Command("fault loss 1");
    Pump(1500);

    // The tick catches up with the clock one second at a time.
    const auto silver = [&] {
        return s.Label("LabelRs")->palette().color(QPalette::WindowText) == QColor(0xC0, 0xC0, 0xC0);
    };
    e.SetClockShift(e.ClockShift() + 31000);
    EXPECT_TRUE(PumpUntil(silver, 8000));
    EXPECT_EQ(s.Label("LabelRs")->palette().color(QPalette::WindowText), QColor(0xC0, 0xC0, 0xC0));
    EXPECT_EQ(s.Label("LabelRs")->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_FALSE(s.Text("LabelRs").isEmpty());

    e.SetClockShift(e.ClockShift() + 10000);
    EXPECT_TRUE(PumpUntil([&] { return s.Text("LabelRs").isEmpty(); }, 8000));
    EXPECT_TRUE(s.Text("LabelRs").isEmpty());
    EXPECT_EQ(s.Label("LabelRs")->palette().color(QPalette::Window), QColor(0x80, 0x80, 0x80));
    EXPECT_TRUE(s.Text("LabelPregV").isEmpty());
    EXPECT_EQ(s.Text("LabelId"), id);
}

TEST(Window, PageChangesFollowTheRules)
{
    auto sim = StartUdpSim();
    ASSERT_TRUE(sim->Ready);
    {
        // ODBER hidden: the archive page is still page 3 for the schedule.
        WindowSession s(*sim);
        QTabWidget* pages = s.Window->PageControl;
        EXPECT_FALSE(pages->isTabVisible(TEngine::PageConsumption));
        pages->setCurrentIndex(TEngine::PageArchive);
        EXPECT_EQ(s.Window->Engine->ActivePage(), TEngine::PageArchive);

        // A write waiting for the line, or an output, keeps the page.
        s.Window->Engine->Schedule().SetWritePending(1);
        pages->setCurrentIndex(TEngine::PageRecord);
        EXPECT_EQ(pages->currentIndex(), TEngine::PageArchive);
        s.Window->Engine->Schedule().SetWritePending(0);
        s.Window->OutputBusy = true;
        pages->setCurrentIndex(TEngine::PageRecord);
        EXPECT_EQ(s.Window->Engine->ActivePage(), TEngine::PageArchive);
        s.Window->OutputBusy = false;
        pages->setCurrentIndex(TEngine::PageRecord);
        EXPECT_EQ(s.Window->Engine->ActivePage(), TEngine::PageRecord);
    }
    WindowSession s(*sim, QStringLiteral("[DIAGRAM]\nMerania=1\n"));
    EXPECT_TRUE(s.Window->PageControl->isTabVisible(TEngine::PageConsumption));
    s.Window->PageControl->setCurrentIndex(TEngine::PageConsumption);
    EXPECT_EQ(s.Window->Engine->ActivePage(), TEngine::PageConsumption);

    // ZÁZNAM says it loads until its records come.
    const auto loading = [&] {
        int shown = 0;
        for (int i = 0; i < 4; ++i) {
            auto* l = s.Window->findChild<QLabel*>(QStringLiteral("LabelLoadingQ%1").arg(i));
            shown += l && !l->isHidden() && l->text() == QStringLiteral("načítava sa");
        }
        return shown;
    };
    s.Window->PageControl->setCurrentIndex(TEngine::PageRecord);
    EXPECT_EQ(loading(), 4);
    ASSERT_TRUE(PumpUntil([&] { return loading() == 0; }, 10000)) << loading();
    EXPECT_FALSE(s.Text("LabelQ0").isEmpty());
}

TEST(Window, AConfigurationTheLinkCannotUseIsSaid)
{
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:99999\nTimeout=200\n"));
    std::vector<TDialogRequest> said;
    TDialogs::SetResponder([&](TDialogRequest& r) { return said.push_back(r), true; });
    TMIniFile cfg(site.Path("qdrwin.ini"));
    TFormMain window(TSettings::Read(cfg), 100, site.Path());
    window.show();
    ASSERT_TRUE(PumpUntil([&] { return !said.empty() && window.Engine->LastStatus() != 0; }, 5000));
    EXPECT_TRUE(said[0].Text.contains(QStringLiteral("IP=127.0.0.1:99999: port nie je číslo od 1 do 65535")))
        << said[0].Text.toStdString();
    TFrameCom* frame = window.FrameCom;
    ASSERT_NE(frame, nullptr);
    EXPECT_TRUE(frame->toolTip().contains(QStringLiteral("port nie je číslo"))) << frame->toolTip().toStdString();
    EXPECT_EQ(window.Engine->LastStatus(), 2) << "no port is guessed";
    TDialogs::SetResponder(nullptr);
}

TEST(Window, AFolderAnotherProgramHoldsIsShownButNotDownloadedInto)
{
    auto sim = StartUdpSim({"--generation", "1", "--lost", "2966"});
    ASSERT_TRUE(sim->Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\nAdr=0\n").arg(sim->Udp));
    TFolderLock fetch;
    ASSERT_EQ(fetch.Take(site.Path(), QStringLiteral("qdrtool fetch")), TFolderLock::Taken);
    TMIniFile cfg(site.Path("qdrwin.ini"));
    TFormMain window(TSettings::Read(cfg), 100, site.Path());
    window.show();
    int archiveRequests = 0;
    window.Engine->OnSent = [&](uint8_t command) { archiveRequests += command == 3; };
    auto monthly = [&] { return QDir(site.Path()).entryList({QStringLiteral("*.qdr")}, QDir::Files); };
    // The live figures come, the archive is not asked for, and the window says why.
    ASSERT_TRUE(PumpUntil([&] { return window.Engine->ValueKem->IsValid() && window.Engine->GridAr->IsValid(); }, 15000));
    Pump(1500);
    EXPECT_FALSE(window.Engine->Download());
    EXPECT_EQ(archiveRequests, 0);
    EXPECT_EQ(window.Engine->ArchiveReplies->Stored, 0u);
    EXPECT_TRUE(monthly().isEmpty());
    // Whoever holds the folder mails the alerts, not a window beside it.
    EXPECT_FALSE(window.Alerts->MayMail());
    EXPECT_TRUE(window.PanelInf->text().contains(
        QStringLiteral("Archív sa nesťahuje: priečinok %1 používa qdrtool fetch (PID ").arg(QDir(site.Path()).absolutePath())))
        << window.PanelInf->text().toStdString();
    // The other program ends: the window takes the folder and downloads.
    fetch.Release();
    ASSERT_TRUE(PumpUntil([&] { return window.Engine->Download() && window.Engine->ArchiveReplies->Stored > 0; }, 15000));
    EXPECT_FALSE(window.PanelInf->text().contains(QStringLiteral("nesťahuje")));
    EXPECT_TRUE(window.Alerts->MayMail());
    window.Engine->Archive->SaveAll();
    EXPECT_FALSE(monthly().isEmpty());
}

TEST(Window, AnAlertIsShownWhileItHoldsWhole)
{
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:9\nTimeout=200\n"));
    TMIniFile cfg(site.Path("qdrwin.ini"));
    TFormMain window(TSettings::Read(cfg), 100, site.Path());
    window.show();
    auto* list = window.findChild<QListWidget*>(QStringLiteral("ListAlerts"));
    ASSERT_NE(list, nullptr);
    const auto listed = [&] {
        QStringList lines;
        for (int i = 0; i < list->count(); ++i)
            lines << list->item(i)->text();
        return lines.join(QLatin1Char('\n'));
    };
    TEngine& e = *window.Engine;
    TAlerts& alerts = *window.Alerts;
    alerts.RegulatedPowerArrived(e, 400, 300);
    TClosedInterval c;
    c.Start = (uint32_t(2026 * 12 + 11) << 16) | (1440 + 600);
    c.Length = 900;
    c.LastElapsed = 899;
    c.AveragePower = 450;
    alerts.IntervalClosed(e, c);
    TEngine::TStall stuck;
    stuck.Stalled = true;
    stuck.Month = 2026 * 12 + 11;
    stuck.Record = 142;
    stuck.Code = 1;
    e.DownloadWatch().SetStall(stuck);
    alerts.DownloadChanged(e);
    const QString stall = QStringLiteral("Sťahovanie archívu stojí: %1.").arg(e.StallText());
    const QString exceedance =
        QStringLiteral("Prekročený limit: interval od 10:00 skončil na 450 kW, limit VT je 400 kW, o 50 kW viac.");

    // The newest in the line; both in the list, newest first, and in the
    // hint, whole, whatever the line's width cuts.
    EXPECT_TRUE(window.PanelInf->text().contains(QStringLiteral("Sťahovanie archívu stojí"))) << window.PanelInf->text().toStdString();
    EXPECT_FALSE(window.PanelInf->text().contains(QStringLiteral("Prekročený limit")));
    ASSERT_EQ(list->count(), 2) << listed().toStdString();
    EXPECT_TRUE(list->item(0)->text().endsWith(stall)) << listed().toStdString();
    EXPECT_TRUE(list->item(1)->text().endsWith(exceedance)) << listed().toStdString();
    const QString hint = window.PanelInf->toolTip();
    EXPECT_TRUE(hint.contains(stall) && hint.contains(exceedance)) << hint.toStdString();

    // The download goes on: the stall leaves the line, the list and the hint,
    // and the alert still in force is the line's again.
    stuck.Stalled = false;
    e.DownloadWatch().SetStall(stuck);
    alerts.DownloadChanged(e);
    EXPECT_FALSE(window.PanelInf->text().contains(QStringLiteral("stojí"))) << window.PanelInf->text().toStdString();
    EXPECT_TRUE(window.PanelInf->text().contains(exceedance)) << window.PanelInf->text().toStdString();
    ASSERT_EQ(list->count(), 1) << listed().toStdString();
    EXPECT_TRUE(list->item(0)->text().endsWith(exceedance));
    EXPECT_FALSE(window.PanelInf->toolTip().contains(stall));
}
