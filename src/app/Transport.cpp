#include "app/Transport.h"

#include "comm/BlockSerial.h"
#include "comm/ComThread.h"
#include "comm/SerialThread.h"
#include "comm/UDPThread.h"

#include <algorithm>

TComThreadInterface* TTransport::Build(TComBufQDR& comBuf, const TSettings& settings, uint16_t timerPeriod)
{
    TComThreadInterface* root = nullptr;
    if (settings.Serial()) {
        comBuf.CyclePeriod = 1000;
        const bool given = !settings.Device.isEmpty();
        const QString device = given ? settings.Device : SerialDeviceName(settings.Com);
        auto* serial = new TSerialInterface(&comBuf, timerPeriod, device, settings.Com, 1200, 'N', 8, 1, given);
        serial->SerialThread()->PauseW = settings.PauseW;
        serial->SerialThread()->PauseD = settings.PauseD;
        root = serial;
    } else {
        comBuf.CyclePeriod = 100;
        auto* udp = new TUDPInterface(&comBuf, timerPeriod, 0);
        const QString host = settings.Host.isEmpty() ? settings.IP : settings.Host;
        // A port the configuration does not give is not guessed: every
        // exchange then ends with the interface error and the window says why.
        udp->UDPThread()->SetRemote(host, settings.Problem.isEmpty() ? settings.UdpPort : 0);
        root = udp;
    }
    // The root layer now belongs to the buffer (the constructor made it its parent).
    if (settings.PauseW == 0)
        root->Thread->Purge = false;
    root->Thread->Timeout = settings.Timeout;
    root->Thread->LongestReply = TComBufQDR::LongestReply;
    // A late reply comes within a few time-outs of its request, if at all.
    comBuf.SuspectMs = std::max<uint32_t>(2000, 2u * settings.Timeout);
    root->Thread->SetLogCapacity(96);
    return root;
}

QString TTransport::Problem(const TSettings& settings, TComRootInterface* root)
{
    if (settings.Serial()) {
        auto* serial = dynamic_cast<TSerialInterface*>(root);
        const TSerialThread* thread = serial ? serial->SerialThread() : nullptr;
        if (thread && thread->LineNoisy.load())
            return QStringLiteral("serial port %1: the line never goes quiet (noise, or a second master)").arg(thread->Device);
        QString text = QStringLiteral("cannot open serial port %1").arg(thread ? thread->Device : settings.Device);
        if (thread && !thread->LastErrorText.isEmpty())
            text += QStringLiteral(": ") + thread->LastErrorText;
        return text;
    }
    if (!settings.Problem.isEmpty())
        return settings.Problem;
    auto* udp = dynamic_cast<TUDPInterface*>(root);
    if (udp && udp->UDPThread()->Unresolved.load())
        return QStringLiteral("cannot resolve %1").arg(settings.Host);
    QString text = QStringLiteral("cannot use the UDP socket to %1:%2").arg(settings.Host).arg(settings.UdpPort);
    if (udp && !udp->UDPThread()->LastErrorText.isEmpty())
        text += QStringLiteral(": ") + udp->UDPThread()->LastErrorText;
    return text;
}

QString TTransport::Failure(uint8_t code, const TSettings& settings, const TComInterface& com, TComRootInterface* root)
{
    switch (code) {
    case 0:
        return {};
    case 1:
        return QStringLiteral("no reply within %1 ms").arg(settings.Timeout);
    case 2:
        return Problem(settings, root);
    default:
        return QStringLiteral("bad reply (%1)").arg(com.CodeText(code));
    }
}
