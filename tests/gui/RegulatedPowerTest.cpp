// The regulated-power panel end to end against the simulated regulator (with
// and without a password), the number parsing behind it, and the consumption
// frame filled from block 10.
#include "gui/GuiTestSupport.h"

#include "app/widgets/EditToInt.h"
#include "app/widgets/FrameME.h"
#include "app/widgets/PanelPreg.h"
#include "core/widgets/Dialogs.h"
#include "values/InterfaceME.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

namespace {

TEST(EditToInt, ReadsBoundedIntegersAndMarksTheTroubleSpot)
{
    QLineEdit e;
    int v = 7;
    e.setText("-");
    EXPECT_TRUE(EditToInt(&e, v, 0, 100));
    EXPECT_EQ(v, 0);
    e.setText("+42");
    EXPECT_TRUE(EditToInt(&e, v, 10, 100)) << "a positive minimum counts as 0";
    EXPECT_EQ(v, 42);
    e.setText("-5");
    EXPECT_TRUE(EditToInt(&e, v, -10, -1)) << "a negative maximum counts as 0";
    EXPECT_EQ(v, -5);

    // Not a number: one left of the first offending character, and the edit
    // gets the incoming value back.
    v = 450;
    e.setText("12x4");
    EXPECT_FALSE(EditToInt(&e, v, 0, 65535));
    EXPECT_EQ(e.text(), QString("450"));
    EXPECT_EQ(e.cursorPosition(), 2);
    // A number far too big for any int is out of range, not garbage.
    e.setText("99999999999999999999");
    e.setCursorPosition(3);
    EXPECT_FALSE(EditToInt(&e, v, 0, 65535));
    EXPECT_EQ(e.cursorPosition(), 2);
}

TEST(RegulatedPower, PasswordGuardsTheWriteAndTheReplyShowsTheNewPowers)
{
    auto sim = StartUdpSim({"--preg", "450,320", "--log"});
    ASSERT_TRUE(sim->Ready);
    GuiSession s(*sim, "[INE]\nPassword=tajne\n");
    QWidget page;
    auto* panel = new TPanelPreg(*s.Engine, &page);
    page.show();
    EXPECT_TRUE(panel->isHidden());
    EXPECT_FALSE(panel->Busy());

    panel->ButtonPregClick();
    EXPECT_TRUE(panel->isHidden()) << "opened before the powers are known";
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->ValuePregV->IsValid() && s.Engine->ValuePregN->IsValid(); }, 8000));

    panel->ButtonPregClick();
    ASSERT_TRUE(panel->isVisible());
    EXPECT_TRUE(panel->Busy());
    EXPECT_EQ(panel->EditPregV->text(), QString("450"));
    EXPECT_EQ(panel->EditPregV->selectedText(), QString("450"));
    EXPECT_EQ(panel->EditPregN->text(), QString("320"));
    EXPECT_TRUE(panel->LabeledEditPassword->text().isEmpty());
    auto* open = panel->findChild<QLabel*>(QStringLiteral("LabelPregOpen"));
    ASSERT_NE(open, nullptr);
    EXPECT_TRUE(open->isHidden()) << "a password guards the change";

    // A wrong password is ignored silently.
    QTest::keyClicks(panel->LabeledEditPassword, "zle");
    panel->EditPregV->setText("470");
    panel->BitBtnPregYClick();
    EXPECT_TRUE(panel->isVisible());

    // Out of range: the panel stays, the caret steps left.
    panel->LabeledEditPassword->clear();
    QTest::keyClicks(panel->LabeledEditPassword, "tajne");
    EXPECT_EQ(panel->LabeledEditPassword->text(), QString("TAJNE"));
    EXPECT_EQ(panel->LabeledEditPassword->displayText(), QString("?????"));
    panel->EditPregV->setText("70000");
    panel->EditPregV->setCursorPosition(3);
    panel->BitBtnPregYClick();
    EXPECT_TRUE(panel->isVisible());
    EXPECT_EQ(panel->EditPregV->text(), QString("450"));
    EXPECT_EQ(panel->EditPregV->cursorPosition(), 2);
    Pump(600);
    EXPECT_EQ(s.SentCount(7), 0u);

    // The right one (typed in small letters), an empty NT: command 7 with 470 and 0.
    panel->EditPregV->setText("470");
    panel->EditPregN->clear();
    panel->BitBtnPregYClick();
    EXPECT_TRUE(panel->isHidden());
    EXPECT_EQ(s.SentCount(7), 1u);
    // The simulator keeps a limit of 0 as it was and reports what it holds.
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->ValuePregV->GetValue() == 470; }, 5000));
    EXPECT_EQ(s.Engine->ValuePregN->GetValue(), 320);
    EXPECT_FALSE(panel->Busy());
    s.Engine->Close();
    sim->Stop();
    const QByteArray log = sim->StdErr();
    EXPECT_EQ(log.count("RX 06 00 07 "), 1) << log.right(2000).toStdString();
    EXPECT_TRUE(log.contains("RX 06 00 07 D6 01 00 00"));

    // Cancel sends nothing (the link is closed: a write would not even wait).
    panel->ButtonPregClick();
    ASSERT_TRUE(panel->isVisible());
    QTest::keyClick(panel->EditPregV, Qt::Key_Escape);
    EXPECT_TRUE(panel->isHidden());
    EXPECT_EQ(s.SentCount(7), 1u);
}

TEST(RegulatedPower, AWriteTheRegulatorDoesNotConfirmIsSaidToTheOperator)
{
    auto sim = StartUdpSim({"--preg", "450,320"});
    ASSERT_TRUE(sim->Ready);
    GuiSession s(*sim, "Timeout=300\n");
    std::vector<TDialogRequest> said;
    TDialogs::SetResponder([&](TDialogRequest& r) { return said.push_back(r), true; });
    QWidget page;
    auto* panel = new TPanelPreg(*s.Engine, &page);
    page.show();
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->ValuePregV->IsValid() && s.Engine->Schedule().PollStep() != 0; }, 8000));
    auto write = [&](const char* vt) {
        panel->ButtonPregClick();
        panel->EditPregV->setText(vt);
        panel->BitBtnPregYClick();
    };
    // Without a password the panel says the change is open to anyone.
    panel->ButtonPregClick();
    auto* open = panel->findChild<QLabel*>(QStringLiteral("LabelPregOpen"));
    ASSERT_NE(open, nullptr);
    EXPECT_TRUE(open->isVisible());
    EXPECT_TRUE(open->text().startsWith(QStringLiteral("Heslo nie je nastavené"))) << open->text().toStdString();
    panel->BitBtnPregNClick();
    write("460");
    EXPECT_TRUE(said.empty()) << "a confirmed write says nothing";
    EXPECT_EQ(s.Engine->ValuePregV->GetValue(), 460);

    // The regulator stops answering: the write goes out and nothing confirms it.
    sim->Command("fault loss 1");
    Pump(300);
    write("470");
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].Type, TDialogRequest::Error);
    EXPECT_TRUE(said[0].Text.startsWith(QStringLiteral("Regulátor nepotvrdil nový regulovaný výkon (VT 470 kW, NT 320 kW)")))
        << said[0].Text.toStdString();
    EXPECT_GE(s.SentCount(7), 2u);
    EXPECT_FALSE(panel->Busy());
    TDialogs::SetResponder(nullptr);
}

TEST(ConsumptionFrame, FillsFromBlockTenAndColoursTheDeviations)
{
    auto sim = StartUdpSim({"--generation", "3"});
    ASSERT_TRUE(sim->Ready);
    GuiSession s(*sim, "[DIAGRAM]\nMerania=1\n[INE]\nIntervaly=12\n");
    TFrameME frame;
    frame.Bind(s.Engine->InterfaceME.get());
    s.Engine->OnTicked = [&](void*) { frame.Tick(); };
    EXPECT_EQ(frame.GroupInterval->title(), QString("Intervalový výkon  [5 min]"));
    auto* pd = frame.findChild<QLabel*>("LabelPd");
    auto* ad = frame.findChild<QLabel*>("LabelAd");
    ASSERT_TRUE(pd && ad);
    ASSERT_TRUE(PumpUntil([&] { return !ad->text().isEmpty() && !pd->text().isEmpty(); }, 8000));
    for (const char* name : {"LabelPa", "LabelPr", "LabelTc", "LabelTh", "LabelPo", "LabelAo", "LabelPq", "LabelAh"})
        EXPECT_FALSE(frame.findChild<QLabel*>(name)->text().isEmpty()) << name;
    EXPECT_FALSE(frame.PanelDt->text().isEmpty());
    s.Engine->OnTicked = nullptr;
    s.Engine->Close();

    // Half the hour gone, 100 kWh agreed, 40 used: optimal power 120 kW.
    TInterfaceME me(40, 4);
    TFrameME f;
    f.Bind(&me);
    me.AgreedEnergy->SetValue(100, 0);
    me.MeasuredEnergy->SetValue(40, 0);
    me.IntervalNumber->SetValue(153162, 0); // starts 30 minutes into its hour
    me.IntervalTime->SetValue(0, 0);
    me.Power->SetValue(50, 0);
    me.Tick();
    f.Tick();
    const QColor green(0x00, 0x80, 0x00), red(0xFF, 0x00, 0x00);
    auto bg = [](QLabel* l) { return l->palette().color(QPalette::Window); };
    EXPECT_EQ(f.LabelPo->text(), QString("120"));
    EXPECT_EQ(f.LabelPp->text(), QString("+140"));
    EXPECT_EQ(bg(f.LabelPp), green);
    EXPECT_EQ(f.LabelPp->palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_EQ(f.LabelAp->text(), QString("-20"));
    EXPECT_EQ(bg(f.LabelAp), green);
    me.Power->SetValue(200, 0);
    me.MeasuredEnergy->SetValue(90, 0);
    me.Tick();
    f.Tick();
    EXPECT_EQ(f.LabelPp->text(), QString("-90"));
    EXPECT_EQ(bg(f.LabelPp), red);
    EXPECT_EQ(bg(f.LabelAp), red);
}

}
