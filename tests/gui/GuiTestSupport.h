#pragma once
// Widget tests against the simulated regulator as a separate process: a site
// folder with its qdrwin.ini, an engine read from it on its own 100 ms timer,
// and event pumping while the link works.
#include "support/Pump.h"
#include "support/SimProcess.h"
#include "app/Config.h"
#include "app/Engine.h"
#include "app/Settings.h"

#include <QStringList>

#include <algorithm>
#include <memory>
#include <vector>

// A simulator on a free loopback UDP port, its clock stopped; extra options
// (faults, generation, --preg) are appended.
inline std::unique_ptr<SimProcess> StartUdpSim(const QStringList& extra = {})
{
    QStringList args{"--udp", "127.0.0.1:0", "--speed", "0", "--now", "2026-11-15T10:07"};
    args << extra;
    return std::make_unique<SimProcess>(args);
}

// An engine on a site whose configuration is the KOMUNIKACIA section for the
// simulator followed by extra ini text (more keys of KOMUNIKACIA first, then
// other sections). Records the result codes and the commands sent.
struct GuiSession {
    GuiSession(const SimProcess& sim, const QString& extra = {})
        : Site(QStringLiteral("[KOMUNIKACIA]\nIP=%1\nAdr=0\n%2").arg(sim.Udp, extra))
    {
        TMIniFile cfg(Site.Path("qdrwin.ini"));
        Engine = std::make_unique<TEngine>(TSettings::Read(cfg), 100, Site.Path());
        Engine->OnStatus = [this](uint8_t code) { Codes.push_back(code); };
        Engine->OnSent = [this](uint8_t command) { Sent.push_back(command); };
    }
    ~GuiSession()
    {
        if (Engine)
            Engine->Close();
    }
    GuiSession(const GuiSession&) = delete;
    GuiSession& operator=(const GuiSession&) = delete;

    bool Saw(uint8_t code) const { return std::find(Codes.begin(), Codes.end(), code) != Codes.end(); }
    size_t SentCount(uint8_t command) const { return size_t(std::count(Sent.begin(), Sent.end(), command)); }

    SiteDir Site;
    std::unique_ptr<TEngine> Engine;
    std::vector<uint8_t> Codes;
    std::vector<uint8_t> Sent;
};
