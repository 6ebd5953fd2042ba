// Every live reply block decoded into values, on arbitrary data: byte 0
// picks the command (0 to 10) and the regulator generation the engine has
// learned, the rest is the block as the protocol layer hands it over.
// The engine is made once, so values decoded before stay and later blocks
// meet them, as on a real line; a tick after each block ages and shows them.
#include "app/Engine.h"
#include "app/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
QCoreApplication* App = nullptr;
TEngine* Engine = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    App = new QCoreApplication(*argc, *argv);
    static QTemporaryDir folder; // the archive's files, should a block reach them
    TSettings s;
    s.IP = QStringLiteral("127.0.0.1");
    s.Host = s.IP;
    s.UdpPort = 9;
    s.Merania = 1;
    Engine = new TEngine(s, 0, folder.path()); // no timer: nothing is sent
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 256)
        return 0;
    const uint8_t command = static_cast<uint8_t>(data[0] % 11);
    Engine->Schedule().SetGeneration(static_cast<uint8_t>(1 + (data[0] >> 6) % 3));
    std::vector<uint8_t> block(data + 1, data + size); // exact size: ASan sees any overread
    Engine->ComBufData(0, static_cast<uint8_t>(0x80 | command), static_cast<uint8_t>(block.size()),
                       block.empty() ? nullptr : block.data());
    Engine->ComBufTick();
    return 0;
}
