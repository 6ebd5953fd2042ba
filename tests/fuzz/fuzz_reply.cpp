// Feeds arbitrary received blocks through the receiving half of the chain: the
// root layer and the regulator protocol layer, exactly as a block from the
// worker reaches them. Byte 0 of the input picks the outstanding request and
// whether extended replies are accepted; the rest is the received block.
//
// Beyond the sanitizers, it checks what every caller relies on: data handed
// to OnData lies inside the received block, its length is the one the count
// byte announced, and any failed check raises no event.
#include "comm/ComBufQDR.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1100)
        return 0;
    const uint8_t selector = data[0];
    std::vector<uint8_t> block(data + 1, data + size); // exact size: ASan sees any overread

    auto* buf = new TComBufQDR(0, (selector & 0x80) != 0);
    auto* root = new TComRootInterface(buf, 0); // the data layer owns it from here
    (void)root;
    bool raised = false;
    buf->OnData = [&](uint8_t address, uint8_t command, uint8_t length, const uint8_t* payload) {
        raised = true;
        const uint8_t* begin = block.data();
        const uint8_t* end = block.data() + block.size();
        if (payload < begin || payload + length > end)
            std::abort();
        if (address & 0x80 || !(command & 0x80))
            std::abort();
        if (length + 1 != block[0])
            std::abort();
    };
    buf->Pending = static_cast<uint8_t>(0x80 | (selector & 0x0F));

    const uint8_t* p = block.data();
    uint16_t length = static_cast<uint16_t>(block.size());
    const uint8_t code = root->Receive(p, length);
    if (code != 0 && raised)
        std::abort();
    // Every received block consumes the outstanding request; an empty one
    // never reaches the protocol layer.
    if (!block.empty() && buf->Pending != 0)
        std::abort();
    delete buf;
    return 0;
}
