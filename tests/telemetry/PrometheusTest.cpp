// The dashboard and the alerting rules that ship, as a site meets them: the
// rules through promtool (their syntax and their own unit tests), then a
// real Prometheus scraping qdrtool run against the simulator, which must
// find data for every panel's expression and every series a rule reads.
// The expressions are those of the shipped files, never copied here.
#include "support/Broker.h"
#include "support/ServiceChild.h"
#include "support/SimProcess.h"
#include "support/ToolRun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <gtest/gtest.h>

#include <map>
#include <set>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QString Promtool = QStringLiteral("/usr/bin/promtool");
const QString Prometheus = QStringLiteral("/usr/bin/prometheus");
const QString Shipped = QStringLiteral(QDR_SOURCE_DIR "/packaging/");

#define REQUIRE_PROMETHEUS()                                                                                          \
    if (!QFile::exists(Promtool) || !QFile::exists(Prometheus))                                                       \
    GTEST_SKIP() << "promtool or prometheus is not installed (scripts/deps installs the Debian package prometheus)"

// promtool's exit code and what it said; -1 when it did not finish.
std::pair<int, QByteArray> RunPromtool(const QStringList& args, const QString& dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(Promtool, args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(3000);
        return {-1, p.readAll()};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAll()};
}

// The body of GET path on a loopback port, empty when there is none
// within 5 s. HTTP/1.0, so the answer is neither chunked nor kept open.
QByteArray Get(uint16_t port, const QByteArray& path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    QByteArray in;
    const QByteArray request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
        char buffer[16384];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            in.append(buffer, n);
    }
    ::close(fd);
    const qsizetype body = in.indexOf("\r\n\r\n");
    return in.startsWith("HTTP/1.") && in.mid(9, 3) == "200" && body > 0 ? in.mid(body + 4) : QByteArray();
}

QJsonObject GetJson(uint16_t port, const QByteArray& path)
{
    return QJsonDocument::fromJson(Get(port, path)).object();
}

// An instant query's result; empty when it has none or failed.
QJsonArray Query(uint16_t port, const QString& expr)
{
    const QJsonObject answer = GetJson(port, "/api/v1/query?query=" + QUrl::toPercentEncoding(expr));
    return answer.value("data").toObject().value("result").toArray();
}

// Waits at most ms, a second between tries, until done holds.
bool Within(int ms, const std::function<bool()>& done)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(1000);
    }
    return true;
}

QJsonObject Dashboard()
{
    QFile f(Shipped + QStringLiteral("grafana/qdrwin.json"));
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object() : QJsonObject();
}

// Every panel's expressions as Grafana would send them for site: its
// variables given values a dashboard of a day would have.
std::vector<QString> PanelExpressions(const QString& site)
{
    std::vector<QString> out;
    for (const QJsonValue panel : Dashboard().value("panels").toArray())
        for (const QJsonValue target : panel.toObject().value("targets").toArray())
            out.push_back(target.toObject()
                              .value("expr")
                              .toString()
                              .replace(QStringLiteral("$site"), site)
                              .replace(QStringLiteral("$__rate_interval"), QStringLiteral("1m"))
                              .replace(QStringLiteral("$__interval"), QStringLiteral("1m"))
                              .replace(QStringLiteral("$__range"), QStringLiteral("1h")));
    return out;
}

TEST(Prometheus, ShippedRulesPassPromtool)
{
    REQUIRE_PROMETHEUS();
    const auto [checkCode, check] = RunPromtool({QStringLiteral("check"), QStringLiteral("rules"), QStringLiteral("qdrwin-rules.yml")},
                                                Shipped + QStringLiteral("prometheus"));
    EXPECT_EQ(checkCode, 0) << check.toStdString();
    EXPECT_TRUE(check.contains("SUCCESS: 4 rules found")) << check.toStdString();
    const auto [testCode, test] = RunPromtool({QStringLiteral("test"), QStringLiteral("rules"), QStringLiteral("qdrwin-rules-test.yml")},
                                              Shipped + QStringLiteral("prometheus"));
    EXPECT_EQ(testCode, 0) << test.toStdString();
}

TEST(Prometheus, EveryPanelAndRuleFindsDataOfARunningSite)
{
    REQUIRE_PROMETHEUS();
    REQUIRE_TOOL();
    // Generation 3 with a reactive meter 4, appliances and the archive of
    // the month so far, so that every family the files read exists.
    SimProcess sim({QStringLiteral("--udp"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--generation"), QStringLiteral("3"),
                    QStringLiteral("--meters"), QStringLiteral("4"), QStringLiteral("--kinds"), QStringLiteral("0x8"),
                    QStringLiteral("--now"), QStringLiteral("2026-12-01T03:07"), QStringLiteral("--lost"), QStringLiteral("2870"),
                    QStringLiteral("--seed"), QStringLiteral("3")});
    ASSERT_TRUE(sim.Ready);
    const uint16_t metrics = FreePort();
    // A broker nobody listens for: qdr_mqtt_connected says 0.
    SiteDir site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\n[INE]\nMiesto=Závod Test\nTimeZone=Europe/Bratislava\n"
                                "[ELEKTROMERY]\nEM01=Kompresory\n[SPOTREBICE]\nRO01=Pec\n"
                                "[MQTT]\nHost=127.0.0.1\nPort=%2\nNode=zavod\n[METRIKY]\nListen=127.0.0.1:%3\n"
                                "[ZMLUVA]\nKapacita=400\nCenaKapacity=4.50\nCenaPrekrocenia=25.00\n")
                     .arg(sim.Udp)
                     .arg(FreePort())
                     .arg(metrics));
    ServiceChild run(QStringLiteral(QDRTOOL_PATH), {QStringLiteral("run")}, site.Path(QStringLiteral("run.log")), {},
                     QProcessEnvironment::systemEnvironment(), site.Path());
    ASSERT_TRUE(run.AwaitLog("metrics-listening", 30000)) << run.Log().toStdString();

    QTemporaryDir data;
    const uint16_t port = FreePort();
    QFile config(data.filePath(QStringLiteral("prometheus.yml")));
    ASSERT_TRUE(config.open(QIODevice::WriteOnly));
    config.write(QStringLiteral("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                "rule_files:\n  - %1prometheus/qdrwin-rules.yml\n"
                                "scrape_configs:\n  - job_name: qdrwin\n    static_configs:\n      - targets: ['127.0.0.1:%2']\n")
                     .arg(Shipped)
                     .arg(metrics)
                     .toUtf8());
    config.close();
    ServiceChild prometheus(Prometheus,
                            {QStringLiteral("--config.file=") + config.fileName(),
                             QStringLiteral("--storage.tsdb.path=") + data.filePath(QStringLiteral("tsdb")),
                             QStringLiteral("--web.listen-address=127.0.0.1:%1").arg(port)},
                            data.filePath(QStringLiteral("prometheus.log")), {});
    ASSERT_TRUE(Within(60000, [&] {
        const QJsonArray targets = GetJson(port, "/api/v1/targets").value("data").toObject().value("activeTargets").toArray();
        return targets.size() == 1 && targets.first().toObject().value("health") == "up";
    })) << prometheus.Log().toStdString();

    // The site variable's values.
    EXPECT_TRUE(Within(30000, [&] {
        return GetJson(port, "/api/v1/label/site/values?match[]=qdr_info").value("data").toArray().contains(QJsonValue("zavod"));
    }));

    // Every panel's expression, and every series a rule reads (its threshold
    // left out: the site is not in trouble, so no alert fires). Families
    // appear as the regulator is identified and its archive filed.
    std::set<QString> pending;
    for (const QString& expr : PanelExpressions(QStringLiteral("zavod")))
        pending.insert(expr);
    ASSERT_GE(pending.size(), 9u);
    QJsonArray rules;
    ASSERT_TRUE(Within(30000, [&] {
        rules = QJsonArray();
        for (const QJsonValue group : GetJson(port, "/api/v1/rules").value("data").toObject().value("groups").toArray())
            for (const QJsonValue rule : group.toObject().value("rules").toArray())
                rules.append(rule);
        return rules.size() == 4;
    })) << prometheus.Log().toStdString();
    const QRegularExpression family(QStringLiteral("\\bqdr_[a-z_]+"));
    for (const QJsonValue rule : rules)
        for (const QRegularExpressionMatch& m : family.globalMatch(rule.toObject().value("query").toString()))
            pending.insert(m.captured());
    Within(90000, [&] {
        for (auto it = pending.begin(); it != pending.end();)
            it = Query(port, *it).isEmpty() ? std::next(it) : pending.erase(it);
        return pending.empty();
    });
    for (const QString& expr : pending)
        ADD_FAILURE() << "no data: " << expr.toStdString();
    EXPECT_TRUE(pending.empty()) << run.Log().toStdString();

    // Each rule evaluated without error on the real series.
    EXPECT_TRUE(Within(10000, [&] {
        QJsonArray evaluated;
        for (const QJsonValue group : GetJson(port, "/api/v1/rules").value("data").toObject().value("groups").toArray())
            for (const QJsonValue rule : group.toObject().value("rules").toArray())
                if (rule.toObject().value("health") == "ok")
                    evaluated.append(rule);
        return evaluated.size() == 4;
    }));
    // The capacity the peak rule holds the month to is [ZMLUVA]'s, in W.
    const QJsonArray capacity = Query(port, QStringLiteral("qdr_contracted_capacity_watts"));
    ASSERT_EQ(capacity.size(), 1);
    EXPECT_EQ(capacity.first().toObject().value("value").toArray().at(1).toString(), "400000");
}
} // namespace
