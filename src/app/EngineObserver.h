#pragma once
// What the engine tells whoever follows it: the window, the site service's
// log, MQTT, the metrics endpoint, the alerts. Every call comes on the main
// thread from inside the engine's reply handler or tick, after the engine's
// own work, so an observer reads the engine's values as they now stand. It
// must return at once: anything slow (a broker, a mail server, a disk) is
// queued by the observer, never done here, so no listener delays a poll.
#include <QDateTime>

#include <array>
#include <cstdint>

class TEngine;

// Measurement 00's interval that has just ended, as the live blocks showed
// it: the last average power the regulator reported before the seconds since
// the interval's start went back (or the interval's start moved on).
struct TClosedInterval {
    uint32_t Start = 0;          // regulator date-time of its start (month << 16 | minutes)
    uint16_t Length = 0;         // seconds
    uint16_t AveragePower = 0;   // kW, the last average seen
    uint16_t LastElapsed = 0;    // seconds into the interval of that last sample
    uint8_t Tariff = 0;          // 0 VT, 1 NT, as last reported
    // Generation 3: the last average of the main measurement and of meters
    // 1 to 12 (as the meters grid holds them); zeros for the older ones.
    std::array<uint16_t, 13> Averages{};
};

class TEngineObserver {
public:
    virtual ~TEngineObserver() = default;

    // The engine's one link state changed (TEngine::Link).
    virtual void LinkChanged(const TEngine&) {}
    // The identification was decoded: Generation and ValueId are set.
    virtual void Identified(const TEngine&) {}
    // The information block was decoded: counts and regulated powers.
    virtual void InformationArrived(const TEngine&) {}
    // The regulated powers arrived (information block or the reply to a write).
    virtual void RegulatedPowerArrived(const TEngine&, uint16_t /*vt*/, uint16_t /*nt*/) {}
    // A live block (2, 5, 8 or 10) was decoded into the values.
    virtual void LiveArrived(const TEngine&, uint8_t /*block*/) {}
    // Measurement 00's interval ended.
    virtual void IntervalClosed(const TEngine&, const TClosedInterval&) {}
    // An exchange ended with this result code (0 success).
    virtual void ExchangeEnded(const TEngine&, uint8_t /*code*/) {}
    // count records were filed into month (1-based regulator index of the first).
    virtual void RecordsFiled(const TEngine&, uint16_t /*month*/, uint16_t /*first*/, uint16_t /*count*/) {}
    // DownloadStatus or the stall changed.
    virtual void DownloadChanged(const TEngine&) {}
    // 60 silent seconds: every value was invalidated.
    virtual void Silenced(const TEngine&) {}
    // The fast download gave up for the rest of the run (TEngine::FastFallback).
    virtual void FastFellBack(const TEngine&) {}
};
