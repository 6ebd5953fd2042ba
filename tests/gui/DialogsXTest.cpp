// Every kind of window the program opens, on an X server without a window
// manager (a kiosk PC, a VNC session), as the server shows it: grabbed from
// the server's screen, not painted offscreen by the toolkit, which would show
// a window that the server never got.
#include "support/Xvfb.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct Shown {
    QSize Size;
    QSize Needed;
};

// Text on its background: several colours, and a share of dark pixels a few
// lines of text give, neither none nor all.
QString NotReadable(const QImage& image)
{
    QSet<QRgb> colours;
    qint64 dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            colours.insert(pixel);
            dark += qGray(pixel) < 100;
        }
    const double share = double(dark) / std::max<qint64>(1, qint64(image.width()) * image.height());
    if (colours.size() < 3 || share < 0.001 || share > 0.4)
        return QStringLiteral("%1 colours, %2 % dark").arg(colours.size()).arg(share * 100, 0, 'f', 2);
    return {};
}

TEST(WindowsWithoutManager, EachIsPaintedAtOnceAtASizeShowingItsContent)
{
    XvfbProcess x;
    ASSERT_TRUE(x.Ready) << "Xvfb did not start";
    QTemporaryDir out;
    QTemporaryDir folder;
    for (const char* name : {"2026NOV.qdr", "2026DEC.qdr"}) {
        QFile f(folder.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    QProcess helper;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), x.Display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    helper.setProcessEnvironment(env);
    helper.start(QStringLiteral(XWINDOWS_PATH), {out.path(), folder.path()});
    ASSERT_TRUE(helper.waitForFinished(90000));
    const QString said = QString::fromUtf8(helper.readAllStandardOutput());
    ASSERT_EQ(helper.exitCode(), 0) << said.toStdString() << helper.readAllStandardError().toStdString();

    QMap<QString, Shown> shown;
    for (const QString& line : said.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList f = line.split(QLatin1Char(' '));
        ASSERT_EQ(f.size(), 5) << line.toStdString();
        shown[f[0]] = {QSize(f[1].toInt(), f[2].toInt()), QSize(f[3].toInt(), f[4].toInt())};
    }
    EXPECT_EQ(QStringList(shown.keys()),
              QStringList({"chooser", "debug", "error", "info", "question", "savelog", "warning"}));
    for (auto it = shown.cbegin(); it != shown.cend(); ++it) {
        const QImage image(QDir(out.path()).filePath(it.key() + QStringLiteral(".png")));
        ASSERT_EQ(image.size(), it->Size) << it.key().toStdString();
        EXPECT_EQ(NotReadable(image), QString()) << it.key().toStdString() << ": blank on the screen";
        EXPECT_TRUE(it->Size.width() >= it->Needed.width() && it->Size.height() >= it->Needed.height())
            << it.key().toStdString() << ": shown " << it->Size.width() << "x" << it->Size.height() << ", needs "
            << it->Needed.width() << "x" << it->Needed.height();
    }
}

} // namespace
