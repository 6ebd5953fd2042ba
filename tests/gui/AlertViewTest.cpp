// The projection in the window: beside the interval power on MERANIE, red
// over the limit, and on ODBER's VYHODNOTENIE with the elapsed part of the
// interval and the month's highest closed interval from the archive.
#include "GuiTestSupport.h"
#include "app/widgets/AlertView.h"
#include "app/widgets/FormMain.h"

#include <QLabel>
#include <QProgressBar>
#include <gtest/gtest.h>

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
}
