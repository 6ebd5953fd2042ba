// qdrtool's option reader on arbitrary argument lists (NUL-separated in the
// input): it never crashes, every value it keeps was given, and Integer
// accepts only numbers within the bounds asked for.
#include "Tool.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 4096)
        return 0;
    const int maxPositional = data[0] % 3;
    QStringList args;
    for (const QByteArray& a : QByteArray(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1)).split('\0'))
        args << QString::fromUtf8(a);
    TToolOptions options;
    const bool ok = options.Parse(args, {QStringLiteral("config"), QStringLiteral("count"), QStringLiteral("output")},
                                  {QStringLiteral("allow-fewer")}, maxPositional, {{QStringLiteral("o"), QStringLiteral("output")}});
    if (ok != options.Error.isEmpty() || options.Positional.size() > maxPositional)
        std::abort();
    for (const QString& p : options.Positional)
        if (!args.contains(p))
            std::abort();
    int count = -1;
    if (options.Integer(QStringLiteral("count"), 0, 1000, count)) {
        if (options.Has(QStringLiteral("count")) && (count < 0 || count > 1000))
            std::abort();
    } else if (options.IntegerError.isEmpty()) {
        std::abort();
    }
    const QString output = options.Value(QStringLiteral("output"));
    if (!output.isEmpty() && !args.join(QLatin1Char('\n')).contains(output))
        std::abort();
    return 0;
}
