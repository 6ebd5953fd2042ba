// Feeds arbitrary server output to the SMTP reply reader, split into the
// pieces a socket might deliver (byte 0 of the input gives the piece size).
// Beyond the sanitizers, it checks what the mail client relies on: a whole
// reply is taken only from the front and only up to a line end, its code is
// a three-digit number, the buffer never holds more than it was given, and a
// reply that never ends is reported before the buffer grows without bound.
#include "output/SmtpReply.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const qsizetype piece = 1 + data[0] % 64;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    QByteArray buffer;
    qsizetype fed = 0;
    qsizetype taken = 0;
    while (fed < input.size()) {
        buffer += input.mid(fed, piece);
        fed = std::min(fed + piece, input.size());
        for (;;) {
            const QByteArray before = buffer;
            TSmtpReply reply;
            const TSmtpReply::TTake take = TSmtpReply::Take(buffer, reply);
            if (take != TSmtpReply::TTake::Whole) {
                if (buffer != before)
                    abort();
                if (take == TSmtpReply::TTake::TooLong && buffer.size() <= TSmtpReply::MaxBytes)
                    abort();
                if (take == TSmtpReply::TTake::TooLong)
                    return 0; // the client drops such a connection
                break;
            }
            const qsizetype used = before.size() - buffer.size();
            if (used <= 0 || before.at(used - 1) != '\n' || !before.endsWith(buffer))
                abort();
            if (reply.Code < 0 || reply.Code > 999 || reply.Lines.isEmpty())
                abort();
            (void)reply.Offers("AUTH");
            (void)reply.Params("AUTH");
            taken += used;
        }
    }
    if (taken + buffer.size() != input.size())
        abort();
    return 0;
}
