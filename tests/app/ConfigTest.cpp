// The configuration file: encodings, names, numbers, where it is found, and
// that reading it never changes it.
#include "app/Config.h"
#include "app/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

QByteArray ReadBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs a block with the current directory switched, restoring it after.
class CurrentDir {
public:
    explicit CurrentDir(const QString& dir)
        : Saved(QDir::currentPath())
    {
        QDir::setCurrent(dir);
    }
    ~CurrentDir() { QDir::setCurrent(Saved); }

private:
    QString Saved;
};

TSettings SettingsOf(const QString& text)
{
    TMIniFile ini(QStringLiteral("/nonexistent/none.ini"));
    ini.SetText(text);
    return TSettings::Read(ini);
}

} // namespace

TEST(Config, Utf8AndWindows1250FilesReadTheSame)
{
    QTemporaryDir dir;
    const QString expected = QString::fromUtf8("Žltý kôň, č. 5");
    // UTF-8, with and without a byte-order mark, and the same text in the
    // regulator's code page.
    const QByteArray utf8 = "[SPOTREBICE]\r\nRO01=" + expected.toUtf8() + "\r\n";
    const QByteArray cp1250 = QByteArray("[SPOTREBICE]\r\nRO01=\x8Elt\xFD k\xF4\xF2, \xE8. 5\r\n");
    const struct {
        const char* Name;
        QByteArray Bytes;
        bool Legacy;
    } files[] = {
        {"utf8.ini", utf8, false},
        {"bom.ini", "\xEF\xBB\xBF" + utf8, false},
        {"cp.ini", cp1250, true},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.Name);
        WriteBytes(dir.filePath(QString::fromLatin1(f.Name)), f.Bytes);
        TMIniFile ini(dir.filePath(QString::fromLatin1(f.Name)));
        EXPECT_TRUE(ini.Loaded);
        EXPECT_EQ(ini.Legacy, f.Legacy);
        EXPECT_EQ(ini.ReadString(QStringLiteral("SPOTREBICE"), QStringLiteral("RO01"), QString()), expected);
        EXPECT_TRUE(ini.SectionExists(QStringLiteral("SPOTREBICE"))) << "a BOM must not become part of the first section name";
    }
}

TEST(Config, NamesAreCaseInsensitiveAndValuesKeptAsWritten)
{
    TMIniFile ini(QStringLiteral("/nonexistent/none.ini"));
    ini.SetText(QStringLiteral("; comment line\n"
                               "[komunikacia]\n"
                               "  limit = 40 \n"
                               "IP=10.0.0.1\n"
                               "ip=10.0.0.2\n"
                               "[Mail]\n"
                               "Host=smtp.example.org\n"
                               "Path=C:\\QDR\\data,old;x=1\n"
                               "Empty=\n"
                               "no equals sign here\n"
                               "[KOMUNIKACIA]\n"
                               "Adr=3\n"));
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("KOMUNIKACIA"), QStringLiteral("Limit"), 0), 40);
    EXPECT_EQ(ini.ReadString(QStringLiteral("Komunikacia"), QStringLiteral("IP"), QString()), QStringLiteral("10.0.0.1"))
        << "the first occurrence of a key wins";
    EXPECT_EQ(ini.ReadInteger(QStringLiteral("komunikacia"), QStringLiteral("ADR"), 0), 3)
        << "a repeated section adds to the first";
    EXPECT_EQ(ini.ReadString(QStringLiteral("MAIL"), QStringLiteral("path"), QString()),
              QStringLiteral("C:\\QDR\\data,old;x=1"));
    EXPECT_EQ(ini.ReadString(QStringLiteral("MAIL"), QStringLiteral("Empty"), QStringLiteral("d")), QString());
    EXPECT_TRUE(ini.ValueExists(QStringLiteral("MAIL"), QStringLiteral("EMPTY")));
    EXPECT_EQ(ini.ReadString(QStringLiteral("MAIL"), QStringLiteral("Missing"), QStringLiteral("d")), QStringLiteral("d"));
    EXPECT_EQ(ini.ReadString(QStringLiteral("NONE"), QStringLiteral("Host"), QStringLiteral("d")), QStringLiteral("d"));
    EXPECT_FALSE(ini.Modified);
}

TEST(Config, IntegersAcceptDecimalAndHexOtherwiseDefault)
{
    const struct {
        const char* Text;
        int32_t Expected;
    } cases[] = {
        {"42", 42},          {" 42 ", 42},      {"-5", -5},          {"+7", 7},
        {"0x1F", 31},        {"0X1f", 31},      {"$20", 32},         {"$FFFFFFFF", -1},
        {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
        {"2147483648", -99}, {"12abc", -99},    {"", -99},           {"0x", -99},
        {"$", -99},          {"1.5", -99},      {"--1", -99},        {"$1FFFFFFFF", -99},
    };
    for (const auto& c : cases) {
        TMIniFile ini(QStringLiteral("/nonexistent/none.ini"));
        ini.SetText(QStringLiteral("[A]\nK=") + QString::fromLatin1(c.Text) + QStringLiteral("\n"));
        EXPECT_EQ(ini.ReadInteger(QStringLiteral("A"), QStringLiteral("K"), -99), c.Expected) << "'" << c.Text << "'";
    }
}

TEST(Config, SettingsDefaultsWithoutAnyFile)
{
    QTemporaryDir empty;
    CurrentDir cd(empty.path());
    TMIniFile ini(QString(), empty.path());
    EXPECT_FALSE(ini.Loaded);
    EXPECT_EQ(QFileInfo(ini.FileName).fileName(), QStringLiteral("qdrwin.ini"));
    const TSettings s = TSettings::Read(ini);
    EXPECT_TRUE(s.Serial());
    EXPECT_EQ(s.Com, 1);
    EXPECT_TRUE(s.Device.isEmpty());
    EXPECT_EQ(s.Adr, 0);
    EXPECT_EQ(s.Timeout, 1200);
    EXPECT_EQ(s.PauseW, 10);
    EXPECT_EQ(s.PauseD, 60);
    EXPECT_EQ(s.Limit, 80);
    EXPECT_EQ(s.Intervaly, 4);
    EXPECT_EQ(s.Merania, 0);
    EXPECT_TRUE(s.Password.isEmpty());
    EXPECT_TRUE(s.Problem.isEmpty());
    EXPECT_FALSE(QFileInfo::exists(empty.filePath(QStringLiteral("qdrwin.ini")))) << "nothing was created";
}

TEST(Config, SettingsAreCorrectedAsTheStartUpDoes)
{
    EXPECT_EQ(SettingsOf(QStringLiteral("[KOMUNIKACIA]\nLimit=20\n")).Limit, 32);
    EXPECT_EQ(SettingsOf(QStringLiteral("[KOMUNIKACIA]\nLimit=300\n")).Limit, 255) << "the nearest bound";
    EXPECT_EQ(SettingsOf(QStringLiteral("[KOMUNIKACIA]\nLimit=255\n")).Limit, 255);
    EXPECT_EQ(SettingsOf(QStringLiteral("[KOMUNIKACIA]\nLimit=abc\n")).Limit, 80);
    EXPECT_EQ(SettingsOf(QStringLiteral("[INE]\nIntervaly=7\n")).Intervaly, 4);
    EXPECT_EQ(SettingsOf(QStringLiteral("[INE]\nIntervaly=6\n")).Intervaly, 6);
    EXPECT_EQ(SettingsOf(QStringLiteral("[INE]\nIntervaly=0\n")).Intervaly, 1);
    EXPECT_EQ(SettingsOf(QStringLiteral("[INE]\nIntervaly=60\n")).Intervaly, 60);
    EXPECT_EQ(SettingsOf(QStringLiteral("[INE]\nIntervaly=316\n")).Intervaly, 60);
    EXPECT_EQ(SettingsOf(QStringLiteral("[INE]\nPassword=Heslo-é1\n")).Password, QString::fromUtf8("HESLO-é1"));
    EXPECT_EQ(SettingsOf(QStringLiteral("[KOMUNIKACIA]\nAdr=0x1FF\n")).Adr, 0xFF);

    const TSettings jal = SettingsOf(QStringLiteral("[DIAGRAM]\nJal=3\nJal+=5\nJal-=6\n"));
    EXPECT_EQ(jal.JalPlus, 3);
    EXPECT_EQ(jal.JalMinus, 0);
    const TSettings pair = SettingsOf(QStringLiteral("[DIAGRAM]\nJal+=5\nJal-=6\n"));
    EXPECT_EQ(pair.Jal, 0);
    EXPECT_EQ(pair.JalPlus, 5);
    EXPECT_EQ(pair.JalMinus, 6);
}

TEST(Config, NumbersNotUsedAsWrittenAreSaid)
{
    const TSettings s = SettingsOf(QStringLiteral(
        "[KOMUNIKACIA]\nLimit=300\nPauseW=-1\nTimeout=abc\nAdr=0x10\n[INE]\nIntervaly=7\n[DIAGRAM]\nJal=2\n"));
    // Out of range is the nearest bound, never the number cut to the width.
    EXPECT_EQ(s.Limit, 255);
    EXPECT_EQ(s.PauseW, 0);
    EXPECT_EQ(s.Notes, QStringList({QStringLiteral("KOMUNIKACIA Limit=300 is out of range 32 to 255; 255 is used"),
                                    QStringLiteral("KOMUNIKACIA PauseW=-1 is out of range 0 to 65535; 0 is used"),
                                    QStringLiteral("KOMUNIKACIA Timeout=abc is not a whole number; 1200 is used"),
                                    QStringLiteral("INE Intervaly=7 does not divide an hour; 4 is used")}));
    EXPECT_EQ(SettingsOf(QStringLiteral("[KOMUNIKACIA]\nLimit=20\n")).Notes,
              QStringList{QStringLiteral("KOMUNIKACIA Limit=20 is out of range 32 to 255; 32 is used")});
}

TEST(Config, TheAlertsSectionWithItsDefaultsAndWhatCannotBeUsed)
{
    const TAlertSettings d = SettingsOf(QString()).Alerts;
    EXPECT_EQ(d.Kinds, TAlertSettings::AllKinds);
    EXPECT_EQ(d.Earliest, 60);
    EXPECT_EQ(d.LinkSeconds, 120);
    EXPECT_EQ(d.ClockSeconds, 120);
    EXPECT_EQ(d.MailInterval, 900u);
    EXPECT_EQ(d.Reading, TAverageReading::Elapsed);

    const TSettings s = SettingsOf(QStringLiteral(
        "[INE]\nIntervaly=60\n[ALARMY]\nDruhy=exceedance, link-restored;wind\nRezerva=20\nNajskor=60\n"
        "Hodiny=0\nPriemer=Interval\nMail=a@b.sk; c@d.sk\nMailInterval=x\n"));
    const TAlertSettings& a = s.Alerts;
    EXPECT_EQ(a.Kinds, (1u << TAlertSettings::Exceedance) | (1u << TAlertSettings::Link));
    EXPECT_EQ(a.Reserve, 20);
    EXPECT_EQ(a.ClockSeconds, 1);
    EXPECT_EQ(a.Reading, TAverageReading::Interval);
    EXPECT_EQ(a.Mail, QStringList({QStringLiteral("a@b.sk"), QStringLiteral("c@d.sk")}));
    EXPECT_EQ(a.MailInterval, 900u);
    EXPECT_EQ(s.Notes, QStringList({QStringLiteral("ALARMY Druhy: wind is no kind of alert; it is left out"),
                                    QStringLiteral("ALARMY Hodiny=0 is out of range 1 to 65535; 1 is used"),
                                    QStringLiteral("ALARMY MailInterval=x is not a whole number; 900 is used")}));
    // With the projection chosen, a Najskor as long as the interval is said.
    EXPECT_TRUE(SettingsOf(QStringLiteral("[INE]\nIntervaly=60\n")).Notes.contains(
        QStringLiteral("ALARMY Najskor=60 is not below the interval's 60 s; no projection is ever judged")));
}

TEST(Config, AFileThatIsThereButCannotBeReadIsSaid)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo.ini"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.ini")));
    for (const QString& name : {fifo, dir.filePath(QStringLiteral("folder.ini"))}) {
        const TMIniFile ini(name); // a FIFO opened to read would hang here
        EXPECT_FALSE(ini.Loaded);
        EXPECT_TRUE(ini.Problem.startsWith(name + QStringLiteral(" is a "))) << ini.Problem.toStdString();
    }
    const TMIniFile missing(dir.filePath(QStringLiteral("missing.ini")));
    EXPECT_TRUE(missing.Problem.isEmpty()) << "a missing file is an empty configuration";
}

TEST(Config, MeterApplianceAndSignalNamesByNumber)
{
    const TSettings s = SettingsOf(QString::fromUtf8("[ELEKTROMERY]\nEM01=Hala\nEM12=Kotolňa\nEM13=navyše\n"
                                                     "[SPOTREBICE]\nRO64=Pec\nRO7=bez nuly\n[SIGNALY]\nSI02=Dvere\n"));
    ASSERT_EQ(s.MeterNames.size(), 12);
    EXPECT_EQ(s.MeterNames.at(0), QStringLiteral("Hala"));
    EXPECT_EQ(s.MeterNames.at(11), QString::fromUtf8("Kotolňa"));
    EXPECT_TRUE(s.MeterNames.at(1).isEmpty());
    ASSERT_EQ(s.ApplianceNames.size(), 64);
    EXPECT_EQ(s.ApplianceNames.at(63), QStringLiteral("Pec"));
    EXPECT_TRUE(s.ApplianceNames.at(6).isEmpty()) << "keys carry two digits";
    ASSERT_EQ(s.SignalNames.size(), 64);
    EXPECT_EQ(s.SignalNames.at(1), QStringLiteral("Dvere"));
}

TEST(Config, TransportSettings)
{
    const TSettings serial =
        SettingsOf(QStringLiteral("[KOMUNIKACIA]\nCom=3\nPauseD=80\nPauseW=0\nDevice=/dev/pts/9\nTimeout=0\n"));
    EXPECT_TRUE(serial.Serial());
    EXPECT_EQ(serial.Com, 3);
    EXPECT_EQ(serial.PauseD, 80);
    EXPECT_EQ(serial.PauseW, 0);
    EXPECT_EQ(serial.Timeout, 0);
    EXPECT_EQ(serial.Device, QStringLiteral("/dev/pts/9"));

    const TSettings udp = SettingsOf(QStringLiteral("[KOMUNIKACIA]\nIP=192.0.2.10\nCom=3\nPauseD=80\n"));
    EXPECT_FALSE(udp.Serial());
    EXPECT_EQ(udp.Host, QStringLiteral("192.0.2.10"));
    EXPECT_EQ(udp.UdpPort, 10001);
    EXPECT_EQ(udp.Com, 1) << "Com is not read for UDP";
    EXPECT_EQ(udp.PauseD, 60) << "PauseD is not read for UDP";

    const TSettings port = SettingsOf(QStringLiteral("[KOMUNIKACIA]\nIP= 127.0.0.1:10002 \n"));
    EXPECT_EQ(port.Host, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(port.UdpPort, 10002);
    EXPECT_TRUE(port.Problem.isEmpty());

    for (const char* bad : {"127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:x", ":10002", "127.0.0.1:"}) {
        const TSettings s = SettingsOf(QStringLiteral("[KOMUNIKACIA]\nIP=") + QString::fromLatin1(bad));
        EXPECT_FALSE(s.Problem.isEmpty()) << bad;
    }
}

TEST(Config, CurrentDirectoryWinsOverTheProgramDirectory)
{
    QTemporaryDir cur;
    QTemporaryDir prog;
    WriteBytes(prog.filePath(QStringLiteral("qdrwin.ini")), "[KOMUNIKACIA]\nAdr=2\n");
    {
        CurrentDir cd(cur.path());
        TMIniFile ini(QString(), prog.path());
        EXPECT_TRUE(ini.Loaded) << "beside the program when the current directory has none";
        EXPECT_EQ(ini.ReadInteger(QStringLiteral("KOMUNIKACIA"), QStringLiteral("Adr"), 0), 2);
    }
    WriteBytes(cur.filePath(QStringLiteral("qdrwin.ini")), "[KOMUNIKACIA]\nAdr=1\n");
    {
        CurrentDir cd(cur.path());
        TMIniFile ini(QString(), prog.path());
        EXPECT_EQ(ini.ReadInteger(QStringLiteral("KOMUNIKACIA"), QStringLiteral("Adr"), 0), 1);
        EXPECT_EQ(ini.FileName, QDir(cur.path()).canonicalPath() + QStringLiteral("/qdrwin.ini"));

        // A name without extension gets one; a path is taken as it is.
        WriteBytes(cur.filePath(QStringLiteral("site.ini")), "[KOMUNIKACIA]\nAdr=5\n");
        EXPECT_EQ(TMIniFile(QStringLiteral("site"), prog.path())
                      .ReadInteger(QStringLiteral("KOMUNIKACIA"), QStringLiteral("Adr"), 0),
                  5);
        EXPECT_EQ(TMIniFile(prog.filePath(QStringLiteral("qdrwin.ini")), cur.path())
                      .ReadInteger(QStringLiteral("KOMUNIKACIA"), QStringLiteral("Adr"), 0),
                  2);
    }
}

TEST(Config, ReadingNeverWritesTheFile)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("qdrwin.ini"));
    const QByteArray original = "; hand-written\r\n[KOMUNIKACIA]\r\nIP = 10.1.1.1\r\n\r\n[INE]\r\nPassword=x\r\n";
    WriteBytes(path, original);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QDateTime stamp = QFileInfo(path).lastModified();
    QThread::msleep(20);
    {
        TMIniFile ini(path);
        EXPECT_EQ(ini.ReadString(QStringLiteral("KOMUNIKACIA"), QStringLiteral("IP"), QString()),
                  QStringLiteral("10.1.1.1"));
        (void)TSettings::Read(ini);
    }
    EXPECT_EQ(ReadBytes(path), original);
    EXPECT_EQ(QFileInfo(path).lastModified(), stamp);

    // Only a write marks the object, and only a marked object is saved; it
    // keeps the encoding the file was read in.
    const QString legacy = dir.filePath(QStringLiteral("legacy.ini"));
    WriteBytes(legacy, "[SIGNALY]\r\nSI01=\x8Aum\r\n");
    {
        TMIniFile ini(legacy);
        ini.WriteString(QStringLiteral("signaly"), QStringLiteral("SI02"), QString::fromUtf8("Čerpadlo"));
        EXPECT_TRUE(ini.Modified);
    }
    const QByteArray saved = ReadBytes(legacy);
    EXPECT_TRUE(saved.contains("SI01=\x8Aum")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("SI02=\xC8" "erpadlo")) << saved.toStdString();
    TMIniFile again(legacy);
    EXPECT_EQ(again.ReadString(QStringLiteral("SIGNALY"), QStringLiteral("SI02"), QString()), QString::fromUtf8("Čerpadlo"));
}

TEST(Config, OneProcessWideInstance)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("other.ini"));
    WriteBytes(path, "[DIAGRAM]\nMerania=1\n");
    TMIniFile& opened = OpenIniFile(path);
    EXPECT_EQ(&IniFile(), &opened);
    EXPECT_EQ(IniFile().ReadInteger(QStringLiteral("DIAGRAM"), QStringLiteral("Merania"), 0), 1);
    CloseIniFile();
    EXPECT_EQ(ReadBytes(path), QByteArray("[DIAGRAM]\nMerania=1\n"));
}

TEST(Config, MqttAndMetricsSections)
{
    // The node defaults to the site folder's name, made topic-safe.
    QTemporaryDir dir;
    const QString site = dir.filePath(QStringLiteral("Závod Žilina-2"));
    ASSERT_TRUE(QDir().mkpath(site));
    WriteBytes(site + QStringLiteral("/qdrwin.ini"), "[MQTT]\nHost=broker.example\nSecurity=TLS\n[METRIKY]\nListen=localhost:9842\n");
    TMIniFile ini(site + QStringLiteral("/qdrwin.ini"));
    const TSettings s = TSettings::Read(ini);
    EXPECT_TRUE(s.Mqtt.Enabled()) << s.Mqtt.Problem.toStdString();
    EXPECT_EQ(s.Mqtt.Node, QStringLiteral("zavod_zilina_2"));
    EXPECT_EQ(s.Mqtt.Topic, QStringLiteral("qdrwin/zavod_zilina_2"));
    EXPECT_EQ(s.Mqtt.ClientId, QStringLiteral("qdrwin-zavod_zilina_2"));
    EXPECT_EQ(s.Mqtt.Discovery, QStringLiteral("homeassistant"));
    EXPECT_TRUE(s.Mqtt.Tls);
    EXPECT_EQ(s.Mqtt.Port, 8883);
    EXPECT_EQ(s.Mqtt.KeepAlive, 30);
    EXPECT_EQ(s.Metrics.Address, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(s.Metrics.Port, 9842);

    const TSettings off = SettingsOf(QStringLiteral("[MQTT]\nHost=\nDiscovery=\n[METRIKY]\nListen=\n"));
    EXPECT_FALSE(off.Mqtt.Enabled());
    EXPECT_FALSE(off.Metrics.Enabled());
    EXPECT_TRUE(off.Mqtt.Discovery.isEmpty()) << "an empty Discovery turns discovery off";
    EXPECT_EQ(SettingsOf(QStringLiteral("[METRIKY]\nListen=[::1]:9842\n")).Metrics.Address, QStringLiteral("::1"));

    // The site service names the site's folder: the node is its name,
    // wherever the file lies.
    const TSettings named = TSettings::Read(ini, dir.filePath(QStringLiteral("Plant B")));
    EXPECT_EQ(named.Mqtt.Node, QStringLiteral("plant_b"));
    EXPECT_EQ(named.Mqtt.Topic, QStringLiteral("qdrwin/plant_b"));
    EXPECT_EQ(SettingsOf(QStringLiteral("[MQTT]\nHost=h\nNode=plant_2\nTopic=sites/homeassistant2\n")).Mqtt.Problem, QString());

    // A node or topic is used as written or not at all.
    for (const char* bad : {"[MQTT]\nHost=h\nPort=0", "[MQTT]\nHost=h\nSecurity=starttls", "[MQTT]\nHost=h\nKeepAlive=2",
                            "[MQTT]\nHost=h\nTopic=a/#", "[MQTT]\nHost=h\nDiscovery=ha/", "[MQTT]\nHost=h\nNode=a/b",
                            "[MQTT]\nHost=h\nNode=a+b", "[MQTT]\nHost=h\nNode=a#b", "[MQTT]\nHost=h\nNode=Plant",
                            "[MQTT]\nHost=h\nNode=_plant", "[MQTT]\nHost=h\nTopic=$SYS/plant",
                            "[MQTT]\nHost=h\nTopic=homeassistant", "[MQTT]\nHost=h\nTopic=ha/plant\nDiscovery=ha",
                            "[METRIKY]\nListen=9842",
                            "[METRIKY]\nListen=metrics.example:9842", "[METRIKY]\nListen=127.0.0.1:65536"}) {
        const TSettings b = SettingsOf(QString::fromLatin1(bad));
        EXPECT_FALSE(b.Mqtt.Enabled() || b.Metrics.Enabled()) << bad;
        EXPECT_FALSE(b.Mqtt.Problem.isEmpty() && b.Metrics.Problem.isEmpty()) << bad;
    }
}
