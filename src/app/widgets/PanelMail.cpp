#include "app/widgets/PanelMail.h"

#include "core/widgets/Dialogs.h"
#include "output/MailClient.h"

#include <QEventLoop>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

TPanelMail::TPanelMail(TMailClient* client, QWidget* parent)
    : QFrame(parent)
{
    setObjectName(QStringLiteral("PanelM"));
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);
    setAutoFillBackground(true);
    setFixedSize(569, 209);

    Label29 = new QLabel(QStringLiteral("Správa :"), this);
    Label29->setObjectName(QStringLiteral("Label29"));
    EditS = new QLineEdit(this);
    EditS->setObjectName(QStringLiteral("EditS"));
    ButtonMN = new QPushButton(QStringLiteral("Zrušiť"), this);
    ButtonMN->setObjectName(QStringLiteral("ButtonMN"));
    ButtonMN->setAutoDefault(false);
    ButtonMY = new QPushButton(QStringLiteral("Odoslať"), this);
    ButtonMY->setObjectName(QStringLiteral("ButtonMY"));
    ButtonMY->setDefault(true);
    MemoM = new QPlainTextEdit(this);
    MemoM->setObjectName(QStringLiteral("MemoM"));
    MemoM->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    MemoM->setLineWrapMode(QPlainTextEdit::NoWrap);
    Label29->setBuddy(MemoM);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->addWidget(Label29, 0, 0);
    grid->addWidget(EditS, 0, 1);
    grid->addWidget(ButtonMN, 0, 2);
    grid->addWidget(ButtonMY, 0, 3);
    grid->addWidget(MemoM, 1, 0, 1, 4);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(1, 1);

    QObject::connect(ButtonMN, &QPushButton::clicked, this, [this] { ButtonMNClick(); });
    QObject::connect(ButtonMY, &QPushButton::clicked, this, [this] { ButtonMYClick(); });
    // The default button: Enter in the subject sends; in the message it
    // starts a new line.
    QObject::connect(EditS, &QLineEdit::returnPressed, this, [this] { ButtonMYClick(); });

    SetClient(client);
    hide();
}

TPanelMail::~TPanelMail()
{
    if (Waiting)
        Waiting->quit();
    SetClient(nullptr);
}

TMailClient* TPanelMail::Client() const { return MailClient; }

void TPanelMail::SetClient(TMailClient* client)
{
    if (MailClient && MailClient != client) {
        MailClient->OnInvalidHost = nullptr;
        MailClient->OnConnectionFailed = nullptr;
        MailClient->OnAuthenticationFailed = nullptr;
        MailClient->OnHeaderIncomplete = nullptr;
        MailClient->OnRecipientNotFound = nullptr;
        MailClient->OnAttachmentNotFound = nullptr;
        MailClient->OnFailure = nullptr;
        MailClient->OnSuccess = nullptr;
    }
    MailClient = client;
    if (!client)
        return;
    BindMailEvents(*client, MailMessage, [] { TDialogs::Message(MailText::Sent); });
}

bool TPanelMail::Compose(std::function<QString()> recipients, std::function<QString()> attachment)
{
    if (Waiting)
        return false;
    Recipients = std::move(recipients);
    Attachment = std::move(attachment);
    Accepted = false;
    Failure.clear();
    EditS->setText(QStringLiteral("Mesacny archiv"));
    show();
    raise();
    MemoM->clear();
    MemoM->setFocus();

    QPointer<TPanelMail> self(this);
    QEventLoop loop;
    Waiting = &loop;
    while (!isHidden())
        loop.exec();
    if (!self)
        return false;
    Waiting = nullptr;
    Recipients = nullptr;
    Attachment = nullptr;
    return Accepted;
}

void TPanelMail::ButtonMNClick()
{
    if (!Sending)
        Close();
}

void TPanelMail::ButtonMYClick()
{
    // Enter in the subject reaches here while the buttons are disabled.
    if (Sending || isHidden())
        return;
    Sending = true;
    ButtonMY->setEnabled(false);
    ButtonMN->setEnabled(false);
    QPointer<TPanelMail> self(this);
    if (MailClient) {
        TMailClient& client = *MailClient;
        client.ToAddress = QStringList{Recipients ? Recipients() : QString()};
        client.Subject = EditS->text();
        const QString text = MemoM->toPlainText();
        client.Body = text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
        client.Attachments = QStringList{Attachment ? Attachment() : QString()};
        const bool accepted = DeliverMail(client, MailMessage);
        if (!self)
            return;
        Accepted = accepted;
    }
    Failure = Accepted || !MailClient ? QString() : MailMessage;
    if (!MailMessage.isEmpty()) {
        const QString message = MailMessage;
        MailMessage.clear();
        // A mail that did not go is a failure, not a piece of news.
        if (Accepted)
            TDialogs::Message(message);
        else
            TDialogs::Warning(message);
        if (!self)
            return;
    }
    ButtonMN->setEnabled(true);
    ButtonMY->setEnabled(true);
    Sending = false;
    // A failure keeps the panel and what was typed in it for another try.
    if (Accepted || !MailClient)
        Close();
}

void TPanelMail::Close()
{
    hide();
    if (Waiting)
        Waiting->quit();
}

void TPanelMail::hideEvent(QHideEvent* event)
{
    QFrame::hideEvent(event);
    if (Waiting)
        Waiting->quit();
}
