// What the window shows of the regulator is true at every moment, against
// the simulated regulator: a mute spell inside a download is the outage and
// no stall, every figure greys at once when the link goes down, and the
// debug view lists, captioned as the pages caption them, what the pages show.
#include "GuiTestSupport.h"
#include "app/widgets/FormMain.h"
#include "app/widgets/PageInformation.h"
#include "app/widgets/PageMeasurement.h"
#include "core/widgets/Colors.h"
#include "values/widgets/Disp.h"
#include "values/widgets/FormDebug.h"

#include <QLabel>
#include <QTabWidget>
#include <QTest>

#include <gtest/gtest.h>

namespace {

struct LiveWindow {
    explicit LiveWindow(const SimProcess& sim)
        : Site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\nAdr=0\n").arg(sim.Udp))
    {
        TMIniFile cfg(Site.Path("qdrwin.ini"));
        W = std::make_unique<TFormMain>(TSettings::Read(cfg), 100, Site.Path());
        W->show();
    }
    QString Status() const { return W->findChild<QLabel*>(QStringLiteral("PanelInf"))->text(); }
    // The debug view's row of that caption, or -1.
    int DebugRow(const QString& caption) const
    {
        for (int row = 0; row < W->DebugView->RowCount(); ++row)
            if (W->DebugView->Rows.at(row).first == caption)
                return row;
        return -1;
    }
    SiteDir Site;
    std::unique_ptr<TFormMain> W;
};

QColor TextColor(const QLabel* label) { return label->palette().color(QPalette::WindowText); }

} // namespace

TEST(LiveTruth, AMuteSpellInsideADownloadIsTheOutageNeverAStall)
{
    // Some 100 records: the download runs for a while at the schedule's pace.
    SimProcess sim({"--udp", "127.0.0.1:0", "--speed", "0", "--now", "2026-11-01T05:07", "--lost", "2900"});
    ASSERT_TRUE(sim.Ready);
    LiveWindow s(sim);
    TEngine& e = *s.W->Engine;
    TPageMeasurement& m = *s.W->PageM;
    // A short stall time, so that a stall judged across the outage would show.
    e.SetStallMs(5000);
    bool stalled = false;
    const auto watching = [&](const std::function<bool()>& done) {
        return [&, done] {
            stalled = stalled || e.Stall().Stalled || s.Status().contains(QStringLiteral("stojí"));
            return done();
        };
    };
    ASSERT_TRUE(PumpUntil(watching([&] { return s.Status().contains(QStringLiteral(": zost")) && !m.LabelTa->text().isEmpty(); }),
                          20000))
        << s.Status().toStdString();
    EXPECT_EQ(TextColor(m.LabelTa), Colors::Black);

    // Mute a little longer than the link takes to be declared down.
    sim.Command("mute 13");
    ASSERT_TRUE(PumpUntil(watching([&] { return e.Link().State == TEngine::TLinkState::Down; }), 15000));
    // Every figure looks old at once, on MERANIE and in the debug view alike.
    EXPECT_TRUE(PumpUntil(watching([&] {
                              return TextColor(m.LabelTa) == Colors::Silver && TextColor(m.LabelPa) == Colors::Silver &&
                                  TextColor(m.LabelTd) == Colors::Silver && TextColor(m.LabelRs) == Colors::Silver;
                          }),
                          1000))
        << "within a second of the link going down";
    EXPECT_FALSE(m.LabelTa->text().isEmpty()) << "old, not yet missing";
    EXPECT_EQ(s.W->DebugView->RowFreshness(s.DebugRow(QStringLiteral("Tarifa"))), TDisp::Ageing);

    // The regulator answers again: fresh at once, and the download goes on to
    // its end without a stall at any moment.
    ASSERT_TRUE(PumpUntil(watching([&] { return e.LinkUp(); }), 15000));
    EXPECT_TRUE(PumpUntil(watching([&] { return TextColor(m.LabelTa) == Colors::Black; }), 3000));
    EXPECT_TRUE(PumpUntil(watching([&] { return s.Status().startsWith(QStringLiteral("2026NOV stiahnutý")); }), 60000))
        << s.Status().toStdString();
    EXPECT_FALSE(stalled);
}

TEST(LiveTruth, TheDebugViewCaptionsAndShowsWhatThePagesShow)
{
    auto sim = StartUdpSim({"--preg", "450,300"});
    ASSERT_TRUE(sim->Ready);
    LiveWindow s(*sim);
    TEngine& e = *s.W->Engine;
    TPageMeasurement& m = *s.W->PageM;
    ASSERT_TRUE(PumpUntil([&] { return !m.LabelPmN->text().isEmpty() && !m.LabelTa->text().isEmpty(); }, 15000));

    // Opened as the operator opens it: a click on the identification on
    // INFORMÁCIE, which then stays the page shown.
    s.W->PageControl->setCurrentIndex(TEngine::PageInformation);
    QTest::mouseClick(s.W->PageI->LabelId, Qt::LeftButton);
    TFormDebug& view = *s.W->DebugView;
    ASSERT_TRUE(view.isVisible());
    for (const auto& row : view.Rows)
        EXPECT_FALSE(row.first.startsWith(QLatin1String("Label")) || row.first.startsWith(QLatin1String("Panel")))
            << row.first.toStdString();

    // MERANIE's figures stay current off MERANIE while the view shows them:
    // forgotten here, as after 40 s on INFORMÁCIE, they come back.
    for (TValue* v : std::initializer_list<TValue*>{e.ValueTa, e.ValueRs, e.ValuePmV, e.ValuePmN})
        v->Invalidate();
    EXPECT_TRUE(PumpUntil([&] { return e.ValueTa->IsValid() && e.ValueRs->IsValid() && e.ValuePmV->IsValid() &&
                                       e.ValuePmN->IsValid(); },
                          8000));
    Pump(300);
    const std::pair<const char*, QLabel*> shown[] = {
        {"Tarifa", m.LabelTa},
        {"Stupeň regulácie", m.LabelRs},
        {"Maximum VT [kW]", m.LabelPmV},
        {"Maximum NT [kW]", m.LabelPmN},
        {"Okamžitý výkon [kW]", m.LabelPa},
    };
    for (const auto& [caption, label] : shown) {
        const int row = s.DebugRow(QString::fromUtf8(caption));
        ASSERT_GE(row, 0) << caption;
        EXPECT_FALSE(label->text().isEmpty()) << caption;
        EXPECT_EQ(view.RowText(row), label->text()) << caption;
        EXPECT_EQ(view.RowFreshness(row), TDisp::Fresh) << caption;
        EXPECT_EQ(TextColor(label), Colors::Black) << caption;
    }
}
