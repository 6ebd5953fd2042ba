#pragma once
// The link under the protocol buffer, built from the settings: the serial
// line (a COM number or a device path, 1200 baud, with the pauses of the
// configuration) or the UDP socket; and, when an exchange fails, why, in a
// few English words for the tool, the service's log and the status frame.
#include "app/Settings.h"
#include "comm/ComBufQDR.h"
#include "comm/ComInterface.h"

#include <QString>

#include <cstdint>

class TTransport {
public:
    // Makes the root layer (owned by comBuf from then on) and sets the
    // buffer's cycle and late-reply windows for it; timerPeriod 0 builds it
    // without its timer. Returns the root layer.
    static TComThreadInterface* Build(TComBufQDR& comBuf, const TSettings& settings, uint16_t timerPeriod);
    // Why the port or socket cannot be used.
    static QString Problem(const TSettings& settings, TComRootInterface* root);
    // Why an exchange ended with code (empty for 0, a valid reply).
    static QString Failure(uint8_t code, const TSettings& settings, const TComInterface& com, TComRootInterface* root);
};
