// The projection in the window: beside the interval power on MERANIE, red
// over the limit, and on ODBER's VYHODNOTENIE with the elapsed part of the
// interval and the month's highest closed interval from the archive; what
// the archive and the interval say fits their place at the designed size.
#include "GuiTestSupport.h"
#include "app/widgets/AlertView.h"
#include "app/widgets/FormMain.h"
#include "app/widgets/PageArchive.h"
#include "app/widgets/FrameME.h"

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QTabWidget>
#include <gtest/gtest.h>

namespace {

// The whole text inside the label, wrapped where the label wraps.
bool Fits(const QLabel* label)
{
    const QRect room = label->contentsRect();
    const int flags = int(label->alignment()) | (label->wordWrap() ? Qt::TextWordWrap : 0);
    const QRect need = label->fontMetrics().boundingRect(QRect(0, 0, room.width(), 100000), flags, label->text());
    return need.width() <= room.width() && need.height() <= room.height();
}

void Settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

} // namespace

TEST(AlertView, TheProjectionBesideTheIntervalPowerAndAgainstTheLimit)
{
    // 03:07 is night tariff (300 kW); the clock stands 7 minutes into the
    // interval; every interval of the scenario ends at 330 kW.
    auto sim = StartUdpSim({"--now", "2026-11-01T03:07", "--lost", "2970", "--load", "steady:110"});
    ASSERT_TRUE(sim->Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[DIAGRAM]\nMerania=1\n[ALARMY]\nRezerva=50\n").arg(sim->Udp));
    TMIniFile cfg(site.Path("qdrwin.ini"));
    TFormMain window(TSettings::Read(cfg), 100, site.Path());
    window.show();
    auto* projected = window.findChild<QLabel*>(QStringLiteral("LabelPj"));
    TFrameProjection* frame = window.FrameProjection;
    ASSERT_TRUE(projected && frame);
    ASSERT_TRUE(PumpUntil([&] { return !projected->text().isEmpty() && !frame->LabelPeak->text().isEmpty(); }, 30000))
        << projected->text().toStdString();

    EXPECT_NEAR(projected->text().toInt(), 330, 4);
    EXPECT_EQ(projected->palette().color(QPalette::Window), QColor(0xFF, 0x00, 0x00)) << "above the limit less Rezerva";
    EXPECT_EQ(frame->LabelProjected->text(), projected->text());
    EXPECT_EQ(frame->LabelLimit->text(), QStringLiteral("300"));
    EXPECT_EQ(frame->LabelLimitCaption->text(), QStringLiteral("Limit (varuje od 250 kW)"));
    EXPECT_EQ(frame->BarElapsed->maximum(), 900);
    EXPECT_EQ(frame->BarElapsed->value(), 420);
    EXPECT_EQ(frame->LabelPeak->text(), QStringLiteral("330"));
    EXPECT_EQ(frame->LabelPeakTime->text(), QStringLiteral("01.11.2026 00:00"));
    auto* wait = frame->findChild<QLabel*>(QStringLiteral("LabelPeakWait"));
    ASSERT_NE(wait, nullptr);
    EXPECT_TRUE(wait->isHidden()) << "the peak is known";
}

TEST(AlertView, TheArchivesWordAndTheIntervalsProgressFitTheDesignedWindow)
{
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=127.0.0.1:9\n[DIAGRAM]\nMerania=1\n"));
    TMIniFile cfg(site.Path("qdrwin.ini"));
    TFormMain window(TSettings::Read(cfg), 0, site.Path());
    // As it opens: the designed size, or what the pages need when more, and
    // the smallest it can be made.
    window.show();
    ASSERT_EQ(window.size(), window.minimumSize());
    ASSERT_GE(window.width(), TFormMain::DesignedWidth);

    window.PageControl->setCurrentIndex(TEngine::PageArchive);
    window.PageA->CheckBoxFast->setVisible(true);
    // The longest word it gives: an outage in the middle of a month.
    window.PageA->SetDownloadStatus(
        QStringLiteral("Regulátor neodpovedá od 14:32:05  –  2026NOV: sťahovanie prerušené, zostávajú 2862 záznamov"));
    Settle();
    EXPECT_TRUE(Fits(window.PageA->LabelStatus)) << window.PageA->LabelStatus->size().width();

    window.PageControl->setCurrentIndex(TEngine::PageConsumption);
    window.FrameME->PageControl->setCurrentWidget(window.FrameME->TabEvaluation);
    TAlerts::TProjection p;
    p.Valid = true;
    p.Start = QDateTime(QDate(2026, 11, 15), QTime(10, 0));
    p.Elapsed = 15;
    p.Length = 60;
    p.Limit = 400;
    p.Projected = 335;
    TFrameProjection* frame = window.FrameProjection;
    frame->Show(p, {}, 0);
    Settle();
    // The elapsed time beside its bar, where no chunk covers it.
    auto* elapsed = frame->findChild<QLabel*>(QStringLiteral("LabelElapsed"));
    ASSERT_NE(elapsed, nullptr);
    EXPECT_EQ(elapsed->text(), QStringLiteral("0:15 / 1:00"));
    EXPECT_TRUE(Fits(elapsed));
    EXPECT_FALSE(elapsed->geometry().intersects(frame->BarElapsed->geometry()));
    // The month's peak says why it is missing.
    EXPECT_TRUE(frame->LabelPeak->text().isEmpty());
    auto* wait = frame->findChild<QLabel*>(QStringLiteral("LabelPeakWait"));
    ASSERT_NE(wait, nullptr);
    EXPECT_TRUE(wait->isVisible());
    EXPECT_TRUE(wait->text().startsWith(QStringLiteral("Čaká sa na archív")));
    EXPECT_TRUE(Fits(wait));
}
