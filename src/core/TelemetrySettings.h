#pragma once
// Sections MQTT and METRIKY of the configuration: where the site service
// publishes its live values (an MQTT broker, with Home Assistant discovery)
// and where it answers Prometheus. Read with the other settings and handed to
// the telemetry library as they are.
#include <QString>

#include <cstdint>

struct TMqttSettings {
    QString Host;            // empty: no MQTT
    uint16_t Port = 1883;    // 8883 when Security=tls and no port is given
    bool Tls = false;        // certificate and host name checked
    QString CAFile;          // PEM certificates trusted besides the system's
    QString User;            // empty: no user name and password are sent
    QString Password;
    QString Node;            // the site's stable id, lower-case a-z0-9_
    QString ClientId;        // qdrwin-<Node> unless given
    QString Topic;           // qdrwin/<Node> unless given
    QString Discovery = QStringLiteral("homeassistant"); // empty: no discovery
    uint16_t KeepAlive = 30; // seconds, 5 to 3600
    // What in the section cannot be used, in English for the service's log;
    // nothing is published while it is set.
    QString Problem;

    bool Enabled() const { return !Host.isEmpty() && Problem.isEmpty(); }
    bool operator==(const TMqttSettings&) const = default;
};

struct TMetricsSettings {
    QString Listen;          // as written; empty: no endpoint
    QString Address;         // the address part: an IPv4 or IPv6 literal
    uint16_t Port = 0;
    QString Problem;         // as for MQTT

    bool Enabled() const { return !Listen.isEmpty() && Problem.isEmpty(); }
    bool operator==(const TMetricsSettings&) const = default;
};
