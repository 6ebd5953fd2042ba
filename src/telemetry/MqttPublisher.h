#pragma once
// The site's live values on an MQTT broker, one value per retained topic
// under Topic, with the service's availability on Topic/status (a retained
// "online", "offline" as the will and at an orderly stop) and Home Assistant
// discovery configs under Discovery.
//
// The connection runs in a network thread of the publisher's own, which
// drives libmosquitto (name look-up, connect, TLS, reads and writes, the
// keep-alive) and tries again at most 30 s apart. Everything it reports
// comes to the main thread as a queued call, and the main thread only hands
// messages over (mosquitto_publish never waits for the broker). So a slow or
// absent broker never holds up a poll, and a stop never waits on it: the
// thread looks at its stop flag at least every quarter second, and one held
// up in a look-up or a connect that does not return is left to end by
// itself, its client freed then, off the main thread.
//
// Nothing from the broker is acted on but Discovery/status: "online" there
// sends every config again, after a pause of 1 to 5 s and at most once per
// 30 s, however many come.
#include "core/LogLine.h"
#include "core/TelemetrySettings.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <QElapsedTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

struct mosquitto;
class TTelemetryModel;

// One thing Home Assistant shows: its config and where its state goes.
struct TMqttEntity {
    QString Object;      // power_00, tariff, appliance_03, ...
    QString Component;   // sensor or binary_sensor
    QString Name;
    QString State;       // topic below Topic: measurement/00/power
    QString DeviceClass; // empty: none
    QString Unit;
    QString StateClass;
    bool Diagnostic = false;
    // The payload now: empty to say nothing (keep what the broker holds),
    // "None" once a value has expired.
    std::function<QByteArray(const TTelemetryModel&)> Payload;
    // A JSON object published beside the state at <State>/attributes (what
    // the value belongs to, e.g. its month); none when empty.
    std::function<QByteArray(const TTelemetryModel&)> Attributes = {};
};

// Every entity the model gives now: the link and the identification always,
// the rest once the regulator is known.
std::vector<TMqttEntity> MqttEntities(const TTelemetryModel& model);
// Every object an entity of any regulator can have, with its component and
// its state topic: what a node published once and no longer serves is
// cleared from these.
struct TMqttObject {
    QString Component;
    QString Object;
    QString State;
    bool Attributes = false; // has a <State>/attributes topic too
};
std::vector<TMqttObject> MqttObjectUniverse();

class TMqttPublisher : public QObject {
public:
    TMqttPublisher(TTelemetryModel& model, const TMqttSettings& settings, const QString& version);
    ~TMqttPublisher() override;
    TMqttPublisher(const TMqttPublisher&) = delete;
    TMqttPublisher& operator=(const TMqttPublisher&) = delete;

    // Connects in the background; false (Problem says why) when the client
    // cannot even be set up (no such CAFile, ...).
    bool Start();
    // Says "offline", disconnects and stops the network thread, waiting at
    // most waitMs for the broker to take the goodbye (at least a moment, as
    // a destructor's 0 gets). Events are not served meanwhile.
    void Stop(int waitMs = 1000);
    bool IsConnected() const { return Connected; }
    const TMqttSettings& Settings() const { return FSettings; }
    QString Problem;

    // Clears every config and state this node can have and its status, then
    // stops as Stop does: for a node that is replaced, so that no ghost of
    // it stays on the broker.
    void Retire(int waitMs = 1000);

    // Called once a second: states that changed, entities that came or went.
    void Update();
    // Names or the site changed: every config again.
    void Reannounce();
    // A message on Topic/subtopic (alerts and the like); false while not
    // connected.
    bool Publish(const QString& subtopic, const QByteArray& payload, bool retain);

    // Connected, refused, lost: one line each, never per attempt.
    std::function<void(const TLogLine&)> OnLog;

    // Clients whose network thread was still held up (a look-up, a connect)
    // when their publisher stopped; a new client waits while this many are.
    static constexpr int MaxLingering = 8;
    static int Lingering();
    // Configs again after Discovery/status "online": no sooner than this
    // after the last time, and after a pause of 1 to 5 s.
    static constexpr int RediscoverMs = 30000;

private:
    struct TContext; // what the network thread shares with the publisher
    static void Network(mosquitto* client, std::shared_ptr<TContext> context);
    bool Launch();
    void HandleConnect(uint32_t session, int rc);
    void HandleFailure(uint32_t session, const QString& why);
    void HandleRefusal(uint32_t session, const QString& what, const QString& why);
    void HandleDiscoveryOnline(uint32_t session);
    QString TakeComplaints();
    QString Broker() const;
    void Announce(bool all);
    void ClearLeftovers();
    QString Shape() const;
    const std::vector<TMqttEntity>& Entities();
    bool Send(const QString& topic, const QByteArray& payload, bool retain, int qos);
    QByteArray Config(const TMqttEntity& e) const;
    QString ConfigTopic(const QString& component, const QString& object) const;
    void Log(const TLogLine& line);
    void Release();

    TTelemetryModel& Model;
    TMqttSettings FSettings;
    QString Version;
    mosquitto* Client = nullptr;
    std::shared_ptr<TContext> Context;
    std::thread Thread;
    uint32_t Session = 0;
    bool Running = false;
    bool Connected = false;
    QTimer Later;           // a start held back while old clients linger
    QString LastFailure;    // the last reason logged, so a failing broker logs once
    QTimer Rediscover;      // configs again for Home Assistant
    QElapsedTimer Rediscovered;

    // What the broker holds from this session.
    bool Cleared = false;                  // leftovers of earlier runs cleared
    bool Retired = false;                  // the node's topics cleared for good
    QHash<QString, QByteArray> Announced;  // object -> config payload
    QHash<QString, QString> AnnouncedState;// object -> its state topic
    QHash<QString, QString> AnnouncedComponent;
    QHash<QString, QByteArray> States;     // state topic -> payload
    std::vector<TMqttEntity> FEntities;    // as last built
    QString EntitiesShape;                 // what they were built from
    bool Changed = true;                   // built anew since last announced
};
