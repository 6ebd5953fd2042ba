#pragma once
#include "support/Pump.h"
#include "app/Config.h"
#include "app/Engine.h"
#include "app/Settings.h"
#include "core/Tick.h"
#include "support/SimProcess.h"

#include <QCoreApplication>

#include <functional>
#include <memory>
#include <vector>

// An engine on a site folder's configuration, recording what crossed the link.
struct Session {
    explicit Session(const QString& ini)
        : Site(ini)
    {
        TMIniFile cfg(Site.Path("qdrwin.ini"));
        Engine = std::make_unique<TEngine>(TSettings::Read(cfg), 100, Site.Path());
        Engine->OnStatus = [this](uint8_t code) { Codes.push_back(code); };
        Engine->OnSent = [this](uint8_t command) { Sent.push_back(command); };
        Engine->OnReply = [this](uint8_t, uint8_t command, uint8_t, const uint8_t*) { Replies.push_back(command); };
    }
    ~Session()
    {
        if (Engine)
            Engine->Close();
    }
    bool Saw(uint8_t code) const { return std::find(Codes.begin(), Codes.end(), code) != Codes.end(); }
    bool SentCommand(uint8_t command) const { return std::find(Sent.begin(), Sent.end(), command) != Sent.end(); }
    bool Replied(uint8_t command) const
    {
        return std::find(Replies.begin(), Replies.end(), uint8_t(command | 0x80)) != Replies.end();
    }

    SiteDir Site;
    std::unique_ptr<TEngine> Engine;
    std::vector<uint8_t> Codes;
    std::vector<uint8_t> Sent;
    std::vector<uint8_t> Replies;
};

inline QString UdpIni(const SimProcess& sim, const QString& extra = {})
{
    return QStringLiteral("[KOMUNIKACIA]\nIP=%1\nAdr=0\n%2").arg(sim.Udp, extra);
}
