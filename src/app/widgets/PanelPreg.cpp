#include "app/widgets/PanelPreg.h"

#include "app/Engine.h"
#include "app/Settings.h"
#include "app/widgets/EditToInt.h"
#include "core/widgets/Dialogs.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QValidator>

#include <cstdint>

namespace {

// Capitals as they are typed, so that what the field holds compares with the
// configured password, which is capitalised the same way when it is read.
class TUpperValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override
    {
        input = TSettings::AsciiUpper(input);
        return Acceptable;
    }
};

// A write-back that holds when a value is gone: the edit shows 0 then.
int Shown(const TValueWord* value) { return value && value->IsValid() ? value->GetValue() : 0; }

}

TPanelPreg::TPanelPreg(TEngine& engine, QWidget* parent)
    : QFrame(parent)
    , Engine(engine)
{
    setObjectName(QStringLiteral("PanelPreg"));
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);

    EditPregV = new QLineEdit(this);
    EditPregV->setObjectName(QStringLiteral("EditPregV"));
    EditPregN = new QLineEdit(this);
    EditPregN->setObjectName(QStringLiteral("EditPregN"));
    for (QLineEdit* e : {EditPregV, EditPregN}) {
        e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        e->setMaxLength(8);
        e->setFixedWidth(64);
    }

    LabeledEditPassword = new QLineEdit(this);
    LabeledEditPassword->setObjectName(QStringLiteral("LabeledEditPassword"));
    LabeledEditPassword->setEchoMode(QLineEdit::Password);
    LabeledEditPassword->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 63; }"));
    LabeledEditPassword->setValidator(new TUpperValidator(LabeledEditPassword));
    LabeledEditPassword->setFixedWidth(96);
    auto* passwordCaption = new QLabel(QStringLiteral("Heslo"), this);
    passwordCaption->setBuddy(LabeledEditPassword);

    LabelPregError = new QLabel(QStringLiteral("Nesprávne heslo"), this);
    LabelPregError->setObjectName(QStringLiteral("LabelPregError"));
    QPalette red = LabelPregError->palette();
    red.setColor(QPalette::WindowText, Qt::red);
    LabelPregError->setPalette(red);
    LabelPregError->hide();
    QObject::connect(LabeledEditPassword, &QLineEdit::textEdited, LabelPregError, &QWidget::hide);

    LabelPregOpen = new QLabel(QStringLiteral("Heslo nie je nastavené:\nzmena nie je chránená"), this);
    LabelPregOpen->setObjectName(QStringLiteral("LabelPregOpen"));
    LabelPregOpen->setToolTip(QStringLiteral("Heslo sa nastavuje kľúčom Password v časti [INE] súboru qdrwin.ini"));
    LabelPregOpen->setVisible(Engine.Password().isEmpty());
    LabeledEditPassword->setEnabled(!Engine.Password().isEmpty());

    BitBtnPregY = new QPushButton(QStringLiteral("OK"), this);
    BitBtnPregY->setObjectName(QStringLiteral("BitBtnPregY"));
    BitBtnPregN = new QPushButton(QStringLiteral("Zrušiť"), this);
    BitBtnPregN->setObjectName(QStringLiteral("BitBtnPregN"));
    for (QPushButton* b : {BitBtnPregY, BitBtnPregN})
        b->setAutoDefault(false);

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(6, 6, 6, 6);
    grid->addWidget(new QLabel(QStringLiteral("VT"), this), 0, 0);
    grid->addWidget(EditPregV, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("kW"), this), 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("NT"), this), 1, 0);
    grid->addWidget(EditPregN, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("kW"), this), 1, 2);
    grid->addWidget(passwordCaption, 2, 0);
    grid->addWidget(LabeledEditPassword, 2, 1, 1, 2);
    grid->addWidget(LabelPregError, 3, 0, 1, 3);
    grid->addWidget(LabelPregOpen, 4, 0, 1, 3);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(BitBtnPregY);
    buttons->addWidget(BitBtnPregN);
    grid->addLayout(buttons, 5, 0, 1, 3);

    QObject::connect(BitBtnPregY, &QPushButton::clicked, this, [this] { BitBtnPregYClick(); });
    QObject::connect(BitBtnPregN, &QPushButton::clicked, this, [this] { BitBtnPregNClick(); });
    // Enter and Escape act while the focus is inside the panel, as the
    // dialog's default and cancel buttons would.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto* s = new QShortcut(key, this);
        s->setContext(Qt::WidgetWithChildrenShortcut);
        QObject::connect(s, &QShortcut::activated, this, [this] { BitBtnPregYClick(); });
    }
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WidgetWithChildrenShortcut);
    QObject::connect(escape, &QShortcut::activated, this, [this] { BitBtnPregNClick(); });

    hide();
}

void TPanelPreg::ButtonPregClick()
{
    if (!Engine.ValuePregV || !Engine.ValuePregN || !Engine.ValuePregV->IsValid() || !Engine.ValuePregN->IsValid())
        return;
    if (isHidden())
        show();
    raise();
    EditPregV->setText(Engine.ValuePregV->GetDisplay());
    EditPregV->setFocus();
    EditPregV->selectAll();
    EditPregN->setText(Engine.ValuePregN->GetDisplay());
    LabeledEditPassword->clear();
    LabelPregError->hide();
    LabelPregOpen->setVisible(Engine.Password().isEmpty());
    LabeledEditPassword->setEnabled(!Engine.Password().isEmpty());
}

void TPanelPreg::BitBtnPregNClick() { hide(); }

void TPanelPreg::BitBtnPregYClick()
{
    if (Writing)
        return;
    // Said, so the operator does not take the old powers for the new ones;
    // nothing goes to the regulator.
    if (!Engine.Password().isEmpty() && LabeledEditPassword->text() != Engine.Password()) {
        LabelPregError->show();
        LabeledEditPassword->selectAll();
        LabeledEditPassword->setFocus();
        return;
    }
    LabelPregError->hide();
    int v = Shown(Engine.ValuePregV);
    if (!EditToInt(EditPregV, v, 0, 65535))
        return;
    int n = Shown(Engine.ValuePregN);
    if (!EditToInt(EditPregN, n, 0, 65535))
        return;
    hide();
    Writing = true;
    const bool confirmed = Engine.WriteRegulatedPower(static_cast<uint16_t>(v), static_cast<uint16_t>(n));
    Writing = false;
    // An operator who is not told believes the new limit is in force.
    if (!confirmed)
        TDialogs::Error(QStringLiteral("Regulátor nepotvrdil nový regulovaný výkon (VT %1 kW, NT %2 kW).\n"
                                       "Nastavenie nemusí platiť; skontrolujte zobrazené hodnoty a skúste to znova.")
                            .arg(v)
                            .arg(n),
                        QStringLiteral("CHYBA !"));
}

bool TPanelPreg::Busy() const { return !isHidden() || Writing || Engine.WritePending(); }
