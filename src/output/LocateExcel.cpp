#include "output/LocateExcel.h"

#include <QEventLoop>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

namespace {
const QString WorkbookType = QStringLiteral("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");

QString OnPath(const QString& name, const QProcessEnvironment& env)
{
    const QString path = env.value(QStringLiteral("PATH"));
    if (path.isEmpty())
        return QString();
    return QStandardPaths::findExecutable(name, path.split(QLatin1Char(':'), Qt::SkipEmptyParts));
}

// The desktop entry xdg-mime names as the workbook type's default; empty
// when it names none, fails or takes too long.
QString DefaultApplication(const QString& xdgMime, const QProcessEnvironment& env)
{
    QProcess query;
    query.setProcessEnvironment(env);
    query.setStandardInputFile(QProcess::nullDevice());
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&query, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&query, &QProcess::errorOccurred, &loop, [&loop](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    query.start(xdgMime, {QStringLiteral("query"), QStringLiteral("default"), WorkbookType});
    limit.start(3000);
    if (query.state() != QProcess::NotRunning)
        loop.exec();
    if (query.state() != QProcess::NotRunning) {
        query.kill();
        query.waitForFinished(1000);
        return QString();
    }
    if (query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(query.readAllStandardOutput()).trimmed();
}
} // namespace

TSpreadsheetProgram LocateSpreadsheetProgram(const QProcessEnvironment& env)
{
    const QString xdgMime = OnPath(QStringLiteral("xdg-mime"), env);
    const QString xdgOpen = OnPath(QStringLiteral("xdg-open"), env);
    if (!xdgMime.isEmpty() && !xdgOpen.isEmpty() && !DefaultApplication(xdgMime, env).isEmpty())
        return {xdgOpen, {}};
    if (const QString office = OnPath(QStringLiteral("libreoffice"), env); !office.isEmpty())
        return {office, {QStringLiteral("--calc")}};
    if (const QString gnumeric = OnPath(QStringLiteral("gnumeric"), env); !gnumeric.isEmpty())
        return {gnumeric, {}};
    return {};
}

bool OpenWorkbook(const TSpreadsheetProgram& program, const QString& path)
{
    if (!program.Found())
        return false;
    return QProcess::startDetached(program.Program, program.Arguments + QStringList{path});
}
