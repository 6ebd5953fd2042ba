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
#include <QTextBlock>
#include <QTextCursor>
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
    ASSERT_TRUE(PumpUntil([&] { return engine.LastStatus == 0 && engine.Generation != 0 && h.LedColor() == QColor(0x00, 0x80, 0x00); }, 8000));
    engine.Close();
    EXPECT_GE(on, 2);
    EXPECT_EQ(mismatched, 0);
    EXPECT_EQ(h.LedColor(), QColor(0x00, 0x80, 0x00));
}

TEST(StatusFrame, LogIsShownInBatchesSavedWithCrLfAndKeptOnCancel)
{
    auto sim = StartUdpSim();
    ASSERT_TRUE(sim->Ready);
    GuiSession s(*sim);
    Host h;
    QTemporaryDir dir;
    h.Frame->Bind(s.Engine->ComBuf.get(), h.Memo, dir.filePath("com.log"));
    EXPECT_TRUE(h.Memo->isHidden());
    EXPECT_TRUE(h.Memo->isReadOnly());
    EXPECT_TRUE(QFontInfo(h.Memo->font()).fixedPitch());

    std::vector<TDialogRequest> asked;
    QString answer;
    bool confirm = true;
    TDialogs::SetResponder([&](TDialogRequest& r) {
        asked.push_back(r);
        if (r.Type == TDialogRequest::Input && !answer.isEmpty())
            r.Value = answer;
        return confirm;
    });

    ASSERT_TRUE(PumpUntil([&] { return s.Engine->Root()->LogCount() >= 2; }, 5000));
    QTest::mouseClick(h.Frame, Qt::LeftButton);
    EXPECT_TRUE(h.Memo->isVisible());
    const QStringList first = h.Memo->toPlainText().split('\n');
    ASSERT_GE(first.size(), 2);
    // Each exchange with its time and its command: the reply under the
    // request it answers.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} >  0 identifikácia +\\[    4\\] :    2   0   0   0$"))
                    .match(first.front())
                    .hasMatch())
        << first.front().toStdString();
    EXPECT_TRUE(first.at(1).contains(QStringLiteral(" <  0 identifikácia"))) << first.at(1).toStdString();

    // A second batch through the letter lamp, behind a separator.
    const size_t codes = s.Codes.size();
    ASSERT_TRUE(PumpUntil([&] { return s.Codes.size() > codes && s.Engine->Root()->LogCount() > 0; }, 5000));
    QTest::mouseClick(h.Frame->LedC, Qt::LeftButton);
    const QStringList both = h.Memo->toPlainText().split('\n');
    ASSERT_GT(both.size(), first.size() + 1);
    EXPECT_EQ(both.at(first.size()), QString(79, '='));
    EXPECT_EQ(both.mid(0, first.size()), first);
    // The new batch is in view from its first line, at the start of the lines.
    EXPECT_GT(h.Memo->horizontalScrollBar()->maximum(), 0);
    EXPECT_EQ(h.Memo->horizontalScrollBar()->value(), 0);
    const QTextBlock separator = h.Memo->document()->findBlockByNumber(int(first.size()));
    EXPECT_TRUE(h.Memo->viewport()->rect().contains(h.Memo->cursorRect(QTextCursor(separator)).center()));

    // A save into a folder that does not exist keeps the log and says why.
    answer = dir.filePath("no/such/folder/x.log");
    h.Frame->SaveLog();
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].Type, TDialogRequest::Input);
    EXPECT_EQ(asked[0].Text, QStringLiteral("Uložiť do súboru?"));
    EXPECT_EQ(asked[0].Value, dir.filePath("com.log"));
    EXPECT_EQ(asked[1].Type, TDialogRequest::Error);
    EXPECT_EQ(h.Memo->toPlainText().split('\n'), both);
    EXPECT_TRUE(h.Memo->isVisible());

    // The typed name is used once; the offered default is written in CR LF lines.
    answer.clear();
    h.Frame->SaveLog();
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[2].Value, dir.filePath("com.log"));
    QFile saved(dir.filePath("com.log"));
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll(), ToCp1250(both.join("\r\n") + "\r\n"));
    EXPECT_TRUE(h.Memo->document()->isEmpty());
    EXPECT_TRUE(h.Memo->isHidden());

    // Cancelling keeps the log where it is; going back keeps its lines.
    ASSERT_TRUE(PumpUntil([&] { return s.Engine->Root()->LogCount() > 0; }, 5000));
    h.Frame->ShowLog();
    ASSERT_TRUE(h.Memo->isVisible());
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
