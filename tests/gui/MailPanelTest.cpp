// The mail panel driven through its buttons against the local SMTP server
// (tests/support/smtp_sink.py): the message boxes it shows (a failure as an
// error), and that it is ready for the next mail afterwards.
#include "app/widgets/PanelMail.h"
#include "core/widgets/Dialogs.h"
#include "output/MailClient.h"
#include "support/SmtpSink.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <signal.h>

#include <gtest/gtest.h>

namespace {

using Sink = SmtpSink;

// A loopback port nothing listens on any more.
int FreeTcpPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return 1;
    const int port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace

TEST(MailPanel, SendsThroughItsButtonsAndIsReadyAgainAfterwards)
{
    Sink sink({QStringLiteral("--reject-rcpt"), QStringLiteral("zly@firma.sk")});
    ASSERT_GT(sink.Port, 0);
    QTemporaryDir site;
    const QString file = site.filePath(QStringLiteral("2026NOV.TXT"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("Merania\r\n");
    }
    TMailClient client;
    AimAtSink(client, sink.Port);
    QWidget sheet;
    auto* panel = new TPanelMail(&client, &sheet);
    sheet.resize(640, 300);
    sheet.show();
    ASSERT_TRUE(panel->isHidden());
    EXPECT_EQ(panel->size(), QSize(569, 209));
    QStringList shown;
    std::vector<TDialogRequest::Kind> kinds;
    TDialogs::SetResponder([&](TDialogRequest& r) {
        shown << r.Text;
        kinds.push_back(r.Type);
        return true;
    });
    QString recipient = QStringLiteral("Jan <jan@firma.sk>");
    const auto recipients = [&] { return recipient; };
    const auto attachment = [&] { return file; };
    // Whatever goes wrong, the panel's loop ends.
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, panel, &QWidget::hide);
    guard.start(15000);

    bool open = false;
    QTimer::singleShot(0, panel, [&] {
        open = panel->isVisible();
        EXPECT_EQ(panel->EditS->text(), QStringLiteral("Mesacny archiv"));
        QTest::keyClicks(panel->MemoM, "Dobry den");
        QTest::mouseClick(panel->ButtonMY, Qt::LeftButton);
    });
    EXPECT_TRUE(panel->Compose(recipients, attachment));
    EXPECT_TRUE(open);
    EXPECT_TRUE(panel->isHidden());
    EXPECT_EQ(shown, QStringList{QStringLiteral("Správa odoslaná")});
    EXPECT_EQ(kinds, std::vector<TDialogRequest::Kind>{TDialogRequest::Message});
    EXPECT_TRUE(panel->ButtonMY->isEnabled() && panel->ButtonMN->isEnabled());
    const QByteArray message = sink.Message();
    EXPECT_TRUE(message.contains("\r\nTo: Jan <jan@firma.sk>\r\n"));
    EXPECT_TRUE(message.contains("\r\n\r\nDobry den\r\n--"));
    EXPECT_TRUE(message.contains("filename=\"2026NOV.TXT\"\r\n\r\nTWVyYW5pYQ0K\r\n"));

    // "Zrušiť" sends nothing, not even a connection.
    QTimer::singleShot(0, panel, [&] {
        EXPECT_TRUE(panel->MemoM->toPlainText().isEmpty()) << "a new mail starts empty";
        QTest::mouseClick(panel->ButtonMN, Qt::LeftButton);
    });
    EXPECT_FALSE(panel->Compose(recipients, attachment));
    EXPECT_TRUE(panel->isHidden());
    EXPECT_EQ(sink.Count("wire-*.log"), 1);

    // A refused only recipient: its message, and no "CHYBA !" over it; the
    // panel stays with what was typed for another try. Enter in the subject
    // sends.
    recipient = QStringLiteral("zly@firma.sk");
    shown.clear();
    kinds.clear();
    bool kept = false;
    QTimer::singleShot(0, panel, [&] {
        QTest::keyClicks(panel->MemoM, "Druhy pokus");
        QTest::keyClick(panel->EditS, Qt::Key_Return);
        kept = panel->isVisible() && panel->MemoM->toPlainText() == QStringLiteral("Druhy pokus");
        // A server that refuses the connection is named, with the reason.
        client.Port = FreeTcpPort();
        QTest::mouseClick(panel->ButtonMY, Qt::LeftButton);
        QTest::mouseClick(panel->ButtonMN, Qt::LeftButton);
    });
    EXPECT_FALSE(panel->Compose(recipients, attachment));
    EXPECT_TRUE(kept);
    ASSERT_EQ(shown.size(), 2);
    EXPECT_EQ(shown[0], QStringLiteral("Neznámy príjemca \"zly@firma.sk\" ! Server: 550 5.1.1 no such user. "
                                       "Správa nebola odoslaná."));
    EXPECT_TRUE(shown[1].startsWith(QStringLiteral("Chyba pri nadviazaní spojenia so serverom 127.0.0.1 (port %1): ")
                                        .arg(client.Port)))
        << shown[1].toStdString();
    EXPECT_GT(shown[1].size(), QStringLiteral("Chyba pri nadviazaní spojenia so serverom 127.0.0.1 (port 1): ").size());
    // Failures, not news: warnings.
    EXPECT_EQ(kinds, std::vector<TDialogRequest::Kind>(2, TDialogRequest::Warning));
    EXPECT_TRUE(panel->MailMessage.isEmpty());
    EXPECT_TRUE(panel->ButtonMY->isEnabled() && panel->ButtonMN->isEnabled());
    EXPECT_EQ(sink.Count("msg-*.eml"), 1);
    TDialogs::SetResponder(nullptr);
}
