// Opens each kind of window the program shows, one after the other, on the
// display it runs on, with the window care the program installs, and grabs
// each from the X server once the server shows it: OUTDIR/KIND.png and a
// line "KIND WIDTH HEIGHT NEEDED_WIDTH NEEDED_HEIGHT" on standard output (the
// size it needs to show its content). The window tests run it on an X server
// without a window manager.
#include "core/widgets/Dialogs.h"
#include "core/widgets/Windows.h"
#include "files/widgets/FormOpenFile.h"
#include "values/Value.h"
#include "values/widgets/FormDebug.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFontMetrics>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace {

// Long enough after the first exposure for any paint still due to have gone
// out; a window that is still black then stays black.
constexpr int SettleMs = 500;
constexpr int ShowLimitMs = 20000;

struct TShownValue : TValue {
    explicit TShownValue(QString text)
        : TValue(0)
        , Text(std::move(text))
    {
        Validate(0);
    }
    QString GetDisplayText() const override { return Text; }
    QString Text;
};

QString OutDir;

void Grab(const char* kind, QWidget& w, const QSize& needed)
{
    const QRect frame = w.frameGeometry();
    const QPixmap shot = w.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    if (!shot.save(QDir(OutDir).filePath(QString::fromLatin1(kind) + QStringLiteral(".png")))) {
        std::fprintf(stderr, "%s: cannot save the grab\n", kind);
        std::_Exit(1);
    }
    std::printf("%s %d %d %d %d\n", kind, frame.width(), frame.height(), needed.width(), needed.height());
    std::fflush(stdout);
}

// Waits for the window find returns to be shown and exposed, grabs it after
// SettleMs and closes it: a modal dialog with its rejection, another by
// hiding it.
void Watch(const char* kind, std::function<QWidget*()> find, std::function<QSize(QWidget&)> needed)
{
    auto* timer = new QTimer;
    auto waited = std::make_shared<QElapsedTimer>();
    auto exposed = std::make_shared<QElapsedTimer>();
    waited->start();
    QObject::connect(timer, &QTimer::timeout, [=] {
        QWidget* w = find();
        if (!w || !w->isVisible() || !w->windowHandle() || !w->windowHandle()->isExposed()) {
            if (waited->elapsed() > ShowLimitMs) {
                std::fprintf(stderr, "%s: not shown within %d ms\n", kind, ShowLimitMs);
                std::_Exit(1);
            }
            return;
        }
        if (!exposed->isValid())
            exposed->start();
        if (exposed->elapsed() < SettleMs)
            return;
        timer->stop();
        timer->deleteLater();
        Grab(kind, *w, needed(*w));
        if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isModal())
            dialog->done(QDialog::Rejected);
        else
            w->hide();
    });
    timer->start(50);
}

QWidget* Modal() { return QApplication::activeModalWidget(); }

// A dialog shows its content when its layout is not squeezed.
QSize LayoutNeeds(QWidget& w) { return w.minimumSizeHint().expandedTo(w.minimumSize()); }

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CareForWindows(app);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUTDIR FOLDER_WITH_FILES\n", argv[0]);
        return 2;
    }
    OutDir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    const QString folder = QString::fromLocal8Bit(argv[2]);

    // The main window's stand-in, under the windows as in the program.
    QWidget main;
    main.setWindowTitle(QStringLiteral("QDRWin"));
    main.resize(800, 600);
    main.show();

    const QString text = QStringLiteral("Tabuľky sú uložené v súbore \"%1\"").arg(QDir(folder).filePath("2026DEC.xlsx"));
    std::vector<std::unique_ptr<TShownValue>> values;
    TFormDebug debug;
    debug.setWindowTitle(QStringLiteral("QDRWin – ladiace okno"));
    const QStringList names{QStringLiteral("Čas merania"), QStringLiteral("Čas v intervale"), QStringLiteral("Tarifa"),
                            QStringLiteral("Okamžitý výkon [kW]"), QStringLiteral("Priemerný výkon [kW]"),
                            QStringLiteral("Predpoklad intervalu [kW]"), QStringLiteral("Stupeň regulácie"),
                            QStringLiteral("Maximum VT [kW]"), QStringLiteral("Maximum NT [kW]"),
                            QStringLiteral("Nulovanie maxím"), QStringLiteral("Posledný výpadok napätia")};
    for (const QString& name : names) {
        values.push_back(std::make_unique<TShownValue>(QStringLiteral("10.12.2026 07:55:12")));
        debug.AddRow(name, values.back().get());
    }

    int result = 0;
    QTimer::singleShot(0, &app, [&] {
        Watch("info", Modal, LayoutNeeds);
        TDialogs::Message(text);
        Watch("warning", Modal, LayoutNeeds);
        TDialogs::Warning(QStringLiteral("Mail sa nepodarilo odoslať: server smtp.example.sk neodpovedá"));
        Watch("error", Modal, LayoutNeeds);
        TDialogs::Error(QStringLiteral("Súbor \"/nonexistent/2026DEC.TXT\" sa nepodarilo zapísať !"));
        Watch("question", Modal, LayoutNeeds);
        TDialogs::Confirm(QStringLiteral("Súbor \"2026DEC.TXT\" už existuje. Prepísať?"));
        Watch("savelog", Modal, LayoutNeeds);
        QString name = QStringLiteral("com.log");
        TDialogs::Input(QStringLiteral("Komunikácia"), QStringLiteral("Uložiť do súboru?"), name);
        Watch("chooser", Modal, LayoutNeeds);
        QDir::setCurrent(folder);
        TFormOpenFile::Instance()->Execute(QStringLiteral("*.qdr"), QStringLiteral("Archív"), name);
        // The debug view is no dialog: shown over the window, hidden when grabbed.
        // Every row whole: the widest name beside the widest value, each in a
        // cell with a little room around its text.
        Watch("debug", [&debug] { return &debug; }, [&](QWidget&) {
            const QFontMetrics metrics(debug.font());
            int name = 0;
            for (const QString& n : names)
                name = std::max(name, metrics.horizontalAdvance(n));
            return QSize(name + metrics.horizontalAdvance(values.front()->Text) + 2 * 16, debug.RowCount() * debug.RowHeight);
        });
        debug.ShowOrRaise(&main);
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (debug.isHidden())
                loop.quit();
        });
        poll.start(50);
        loop.exec();
        QApplication::exit(result);
    });
    return app.exec();
}
