// The status frame and the communication log against the simulated
// regulator: what the last exchange's result looks like, and the log shown,
// saved and discarded through the memo.
#include "gui/GuiTestSupport.h"

#include "comm/widgets/FrameCom.h"
#include "comm/widgets/Led.h"
#include "core/Cp1250.h"
#include "core/widgets/Dialogs.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {

// A window holding the frame and the memo, as the main window does.
struct Host {
    Host()
    {
        auto* layout = new QVBoxLayout(&Window);
        Memo = new QPlainTextEdit(&Window);
        Frame = new TFrameCom(&Window);
        layout->addWidget(Memo);
        layout->addWidget(Frame);
        Window.resize(400, 300);
        Window.show();
    }
    QColor LedColor() const { return Frame->LedC->palette().color(QPalette::Window); }

    QWidget Window;
    QPlainTextEdit* Memo = nullptr;
    TFrameCom* Frame = nullptr;
};

struct ResultCase {
    const char* Fault; // nullptr: a clean line
    uint8_t Code;
    QRgb Color;
    const char* Letter;
    const char* Hint;  // nullptr: the link's description
};

class StatusFrameResult : public ::testing::TestWithParam<ResultCase> {};

TEST_P(StatusFrameResult, ShowsColourLetterAndHintOfTheLastExchange)
{
    const ResultCase c = GetParam();
    QStringList extra;
    if (c.Fault)
        extra << QStringLiteral("--%1").arg(c.Fault) << "1";
    auto sim = StartUdpSim(extra);
    ASSERT_TRUE(sim->Ready);
    GuiSession s(*sim, "Timeout=300\n");
    Host h;
    EXPECT_EQ(h.LedColor(), QColor(Qt::white));
    EXPECT_TRUE(h.Frame->LedC->text().isEmpty());
    // Painted on the link's tick, after which a handler set before runs.
    int yellowTicks = 0;
    s.Engine->Root()->OnTimer = [&](void*) { yellowTicks += h.LedColor() == QColor(Qt::yellow); };
    h.Frame->Bind(s.Engine->ComBuf.get(), h.Memo, "com.log");
    EXPECT_TRUE(h.Frame->Simple) << "a datagram link shows no lamps";

    // The engine's own handler stays in the chain behind the frame's.
    ASSERT_TRUE(PumpUntil([&] { return s.Saw(c.Code) && h.LedColor() == QColor(c.Color); }, 5000));
    EXPECT_GT(yellowTicks, 0) << "the wait for a reply shows for a tick, however short it was";
    EXPECT_EQ(h.Frame->LedC->palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_EQ(h.Frame->LedC->text(), QString(c.Letter));
    EXPECT_EQ(h.Frame->toolTip(), c.Hint ? QString(c.Hint) : s.Engine->Description());
    EXPECT_FALSE(h.Frame->LedT->IsOn());
    EXPECT_FALSE(h.Frame->LedR->IsOn());
}

INSTANTIATE_TEST_SUITE_P(Faults, StatusFrameResult,
                         ::testing::Values(ResultCase{nullptr, 0, 0xFF008000, "", nullptr},
                                           ResultCase{"loss", 1, 0xFFFF0000, "", "Timeout"},
                                           ResultCase{"corrupt", 6, 0xFFFF00FF, "&", "Nespravna kontrolna suma"}),
                         [](const auto& info) { return std::string(info.param.Fault ? info.param.Fault : "clean"); });

TEST(StatusFrame, SerialLinkLightsTheLampsWhileSendingAndReceiving)
{
    SimProcess sim({"--serial", "--fast", "--speed", "0"});
    ASSERT_TRUE(sim.Ready);
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nDevice=%1\nPauseW=0\n").arg(sim.Serial));
    TMIniFile cfg(site.Path("qdrwin.ini"));
    TEngine engine(TSettings::Read(cfg), 100, site.Path());
    auto* root = dynamic_cast<TComThreadInterface*>(engine.Root());
    ASSERT_NE(root, nullptr);
    Host h;
    // Handlers installed before the frame stay in the chain and see the lamp
    // already switched.
    int on = 0, mismatched = 0;
    root->OnSending = [&](bool active) { on += active; mismatched += active != h.Frame->LedT->IsOn(); };
    root->OnReceiving = [&](bool active) { on += active; mismatched += active != h.Frame->LedR->IsOn(); };
    h.Frame->Bind(engine.ComBuf.get(), h.Memo, "com.log");
    EXPECT_FALSE(h.Frame->Simple);
    ASSERT_TRUE(PumpUntil([&] { return engine.LastStatus() == 0 && engine.Generation() != 0 && h.LedColor() == QColor(0x00, 0x80, 0x00); }, 8000));
    engine.Close();
    EXPECT_GE(on, 2);
    EXPECT_EQ(mismatched, 0);
    EXPECT_EQ(h.LedColor(), QColor(0x00, 0x80, 0x00));
}

TEST(StatusFrame, EachLampsHintSaysWhatItShowsAndSinceWhen)
{
    auto sim = StartUdpSim();
    ASSERT_TRUE(sim->Ready);
    GuiSession s(*sim);
    Host h;
    h.Frame->Bind(s.Engine->ComBuf.get(), h.Memo, "com.log");
    const QString clock = QStringLiteral("\\d\\d:\\d\\d:\\d\\d");
    const QRegularExpression replying(QStringLiteral("^Príjem: [^\\n]+\\.\\nRegulátor odpovedá od %1, naposledy o %1\\.$").arg(clock));
    const QRegularExpression sending(QStringLiteral("^Vysielanie: [^\\n]+\\.\\nPožiadavky sa posielajú od %1, naposledy o %1\\.$").arg(clock));
    ASSERT_TRUE(PumpUntil([&] { return replying.match(h.Frame->LedR->toolTip()).hasMatch(); }, 5000))
        << h.Frame->LedR->toolTip().toStdString();
    EXPECT_TRUE(sending.match(h.Frame->LedT->toolTip()).hasMatch()) << h.Frame->LedT->toolTip().toStdString();
    // The pointer over a lamp finds the lamp, whose hint it then shows.
    for (TLed* lamp : {h.Frame->LedR, h.Frame->LedT})
        EXPECT_EQ(h.Frame->childAt(lamp->geometry().center()), lamp);

    h.Frame->SetLinkDown(true, QStringLiteral("Regulátor neodpovedá od 10:07:30"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("\\nRegulátor neodpovedá od 10:07:30, posledná odpoveď o %1\\.$").arg(clock))
                    .match(h.Frame->LedR->toolTip())
                    .hasMatch())
        << h.Frame->LedR->toolTip().toStdString();
}

// Restores the current folder a test changed.
struct CurrentFolder {
    explicit CurrentFolder(const QString& path) { QDir::setCurrent(path); }
    ~CurrentFolder() { QDir::setCurrent(Saved); }
    QString Saved = QDir::currentPath();
};

TEST(StatusFrame, LogFollowsTheNewestEntryIsSavedAsHeldAndKeptOnCancel)
{
    auto sim = StartUdpSim();
    ASSERT_TRUE(sim->Ready);
    GuiSession s(*sim);
    Host h;
    QTemporaryDir dir;
    CurrentFolder folder(dir.path());
    h.Frame->Bind(s.Engine->ComBuf.get(), h.Memo, "com.log");
    EXPECT_TRUE(h.Memo->isHidden());
    EXPECT_TRUE(h.Memo->isReadOnly());
    EXPECT_TRUE(QFontInfo(h.Memo->font()).fixedPitch());

    std::vector<TDialogRequest> asked;
    QString answer;
    bool confirm = true;
    QStringList heldWhenAsked;
    int addedWhileAsked = 0;
    TDialogs::SetResponder([&](TDialogRequest& r) {
        asked.push_back(r);
        if (r.Type == TDialogRequest::Input) {
            // The link goes on while the name is typed.
            heldWhenAsked = h.Memo->toPlainText().split('\n');
            Pump(400);
            addedWhileAsked = h.Memo->document()->blockCount() - int(heldWhenAsked.size());
            if (!answer.isEmpty())
                r.Value = answer;
        }
        return confirm;
    });
    QScrollBar* vertical = h.Memo->verticalScrollBar();
    const auto lines = [&] { return h.Memo->document()->blockCount(); };

    // Shown through a lamp, on the newest of many entries.
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->Root()->LogCount() >= 60; }, 15000));
    QTest::mouseClick(h.Frame->LedR, Qt::LeftButton);
    ASSERT_TRUE(h.Memo->isVisible());
    const QStringList first = h.Memo->toPlainText().split('\n');
    ASSERT_GE(first.size(), 60);
    // Each exchange with its time and its command: the reply under the
    // request it answers.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} >  0 identifikácia +\\[    4\\] :    2   0   0   0$"))
                    .match(first.front())
                    .hasMatch())
        << first.front().toStdString();
    EXPECT_TRUE(first.at(1).contains(QStringLiteral(" <  0 identifikácia"))) << first.at(1).toStdString();
    EXPECT_GT(vertical->maximum(), 0);
    EXPECT_EQ(vertical->value(), vertical->maximum());
    EXPECT_EQ(h.Memo->horizontalScrollBar()->value(), 0);

    // New entries come in by themselves and stay in view...
    int seen = lines();
    ASSERT_TRUE(PumpUntil([&] { return lines() > seen + 2; }, 5000));
    EXPECT_EQ(vertical->value(), vertical->maximum());
    EXPECT_EQ(h.Memo->toPlainText().split('\n').mid(0, first.size()), first);
    // ...but not while the operator reads further up...
    vertical->setValue(vertical->maximum() / 2);
    const int reading = vertical->value();
    seen = lines();
    ASSERT_TRUE(PumpUntil([&] { return lines() > seen + 2; }, 5000));
    EXPECT_EQ(vertical->value(), reading);
    // ...and again once back at the bottom.
    vertical->setValue(vertical->maximum());
    seen = lines();
    ASSERT_TRUE(PumpUntil([&] { return lines() > seen + 2; }, 5000));
    EXPECT_EQ(vertical->value(), vertical->maximum());

    // A save into a folder that does not exist keeps the log and says the
    // file's full path and why.
    answer = QStringLiteral("no/such/folder/x.log");
    h.Frame->SaveLog();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].Type, TDialogRequest::Input);
    EXPECT_EQ(asked[0].Text, QStringLiteral("Uložiť do súboru?"));
    EXPECT_EQ(asked[0].Value, QStringLiteral("com.log"));
    EXPECT_EQ(asked[1].Type, TDialogRequest::Error);
    EXPECT_TRUE(asked[1].Text.startsWith(TFrameCom::SaveLogFailed(dir.filePath("no/such/folder/x.log"), QString())))
        << asked[1].Text.toStdString();
    EXPECT_TRUE(asked[1].Text.endsWith(QStringLiteral("priečinok %1 neexistuje").arg(dir.filePath("no/such/folder"))))
        << asked[1].Text.toStdString();
    EXPECT_TRUE(h.Memo->isVisible());

    // The offered name, in the current folder, gets exactly the lines held
    // when it was asked for, in CR LF lines, and its full path is said.
    answer.clear();
    h.Frame->SaveLog();
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked[2].Value, QStringLiteral("com.log"));
    EXPECT_EQ(addedWhileAsked, 0);
    QFile saved(dir.filePath("com.log"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), ToCp1250(heldWhenAsked.join("\r\n") + "\r\n"));
    EXPECT_EQ(asked[3].Type, TDialogRequest::Message);
    EXPECT_TRUE(asked[3].Text.contains(QStringLiteral("\"%1\"").arg(dir.filePath("com.log")))) << asked[3].Text.toStdString();
    EXPECT_TRUE(h.Memo->document()->isEmpty());
    EXPECT_TRUE(h.Memo->isHidden());

    // Shown again: the lines kept from before, then a separator and the
    // entries since. Cancelling keeps the log where it is; going back keeps
    // its lines.
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->Root()->LogCount() > 0; }, 5000));
    h.Frame->ShowLog();
    ASSERT_TRUE(h.Memo->isVisible());
    h.Frame->HideLog();
    const QStringList kept = h.Memo->toPlainText().split('\n');
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->Root()->LogCount() > 0; }, 5000));
    QTest::mouseClick(h.Frame, Qt::LeftButton);
    const QStringList both = h.Memo->toPlainText().split('\n');
    ASSERT_GT(both.size(), kept.size() + 1);
    EXPECT_EQ(both.mid(0, kept.size()), kept);
    EXPECT_EQ(both.at(kept.size()), QString(79, '='));
    confirm = false;
    answer = dir.filePath("cancelled.log");
    h.Frame->SaveLog();
    EXPECT_FALSE(QFile::exists(answer));
    EXPECT_FALSE(h.Memo->document()->isEmpty());
    EXPECT_TRUE(h.Memo->isVisible());
    h.Frame->HideLog();
    EXPECT_TRUE(h.Memo->isHidden());
    EXPECT_FALSE(h.Memo->document()->isEmpty());
    h.Memo->clear();

    // With the ring empty a click changes nothing.
    s.Engine->Close();
    QStringList rest;
    s.Engine->Root()->TakeLog(rest);
    ASSERT_EQ(s.Engine->Root()->LogCount(), 0);
    QTest::mouseClick(h.Frame, Qt::LeftButton);
    EXPECT_TRUE(h.Memo->isHidden());
    EXPECT_TRUE(h.Memo->document()->isEmpty());
    TDialogs::SetResponder(nullptr);
}

}
