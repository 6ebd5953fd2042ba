#pragma once
// A library the site service carries besides its own work: MQTT, the
// metrics endpoint, the alerts. Each reads its settings from TSettings (its
// section of qdrwin.ini, read in src/app/Settings into a plain struct) and,
// when it follows the regulator, is an engine observer. The service owns
// none of them: whoever starts the service (qdrtool run) makes the parts and
// hands them over with TSiteService::AddPart before Run.
//
// Order of calls, all on the main thread:
//   Check(s) then Apply(s)     at start, before the first engine exists;
//   Observer()                 added to every engine the service makes (at
//                              start, and again when the link is reopened);
//   Follow(engine)             after each engine is made, and Follow(nullptr)
//                              before it is let go;
//   Check(s) then Apply(s)     on every SIGHUP whose file every part (and the
//                              service) accepts; refused by any, nobody's
//                              settings change;
//   Stop(ms)                   once, when the service ends.
#include <QString>

class TEngine;
class TEngineObserver;
struct TSettings;

class TServicePart {
public:
    virtual ~TServicePart() = default;

    // A short name for the log ("mqtt", "alerts").
    virtual QString Name() const = 0;
    // Why these settings cannot be used, in a few English words; empty when
    // they can. Nothing is applied here.
    virtual QString Check(const TSettings&) const { return {}; }
    // Takes the settings (the first ones, or those of a reload). Must return
    // at once: a connection to make is made later, from the part's own timers.
    virtual void Apply(const TSettings& settings) = 0;
    // The observer to add to the engine, or nullptr for a part that does not
    // follow it.
    virtual TEngineObserver* Observer() { return nullptr; }
    // For a part that follows the engine itself: the engine now in use, or
    // none while the service makes another.
    virtual void Follow(TEngine* engine) { (void)engine; }
    // A few words for systemd's status line while something is wrong
    // ("broker unreachable"); empty when all is well.
    virtual QString Status() const { return {}; }
    // The service ends: the part has this long to say goodbye.
    virtual void Stop(int ms) { (void)ms; }
};
