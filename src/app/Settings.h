#pragma once
// The settings the engine is started with, read from the configuration in
// the order and with the corrections the start-up applies.
#include "app/AlertSettings.h"
#include "core/MailSettings.h"
#include "demand/Contract.h"
#include "core/TelemetrySettings.h"

#include <QString>
#include <QStringList>

#include <cstdint>

class TMIniFile;

struct TSettings {
    // DIAGRAM
    uint8_t Merania = 0;
    uint8_t Jal = 0;
    uint8_t JalPlus = 0;
    uint8_t JalMinus = 0;
    // KOMUNIKACIA
    uint8_t Limit = 80;
    QString IP;            // as written, possibly with ":port"
    QString Host;          // IP without the port
    uint16_t UdpPort = 10001;
    uint8_t Com = 1;
    QString Device;        // explicit serial device path; empty: derived from Com
    uint8_t Adr = 0;
    uint16_t PauseW = 10;
    uint16_t PauseD = 60;
    uint16_t Timeout = 1200;
    bool Rychlo = false;   // the archive as fast as the line carries it
    // INE
    QString Password;      // upper-cased
    uint8_t Intervaly = 4;
    QString Miesto;        // the site's name, for the monthly report; empty when not configured
    QString TimeZone;      // the site's zone for machine-read times; empty: the system's
    // ELEKTROMERY EM01..EM12, SPOTREBICE RO01..RO64, SIGNALY SI01..SI64:
    // entry n - 1 is the name of number n, empty when none is configured.
    QStringList MeterNames;
    QStringList ApplianceNames;
    QStringList SignalNames;
    TMailSettings Mail;
    TAlertSettings Alerts; // ALARMY
    // ZMLUVA: what the site's demand is billed by; its own Problem, so that
    // only what bills the demand stops on it.
    TContract Contract;
    TMqttSettings Mqtt;
    TMetricsSettings Metrics;
    // What is wrong with the settings, empty when nothing is.
    QString Problem;
    // Numbers of the file that could not be used as written, each saying the
    // key, what was written and what is used instead.
    QStringList Notes;

    static constexpr uint16_t DefaultUdpPort = 10001;

    bool Serial() const { return IP.isEmpty(); }
    // folder: the site's, whose name [MQTT] Node defaults to; empty: the
    // folder the file lies in.
    static TSettings Read(const TMIniFile& ini, const QString& folder = {});
    // Splits "host" or "host:port"; false (and port untouched) when a port is
    // given but is not a number from 1 to 65535.
    static bool SplitHostPort(const QString& text, QString& host, uint16_t& port);
    // Upper-cases ASCII letters only, leaving every other character as it is.
    static QString AsciiUpper(const QString& text);
    // Lower-case a-z, 0-9 and _ only: letters lose their accents, anything
    // else becomes _ (runs of it one _, none at either end).
    static QString TopicSafe(const QString& text);
};
