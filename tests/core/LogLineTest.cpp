// A log line stays one line that a shell-like reader splits back into its
// fields, whatever the values hold.
#include "core/LogLine.h"

#include <gtest/gtest.h>

TEST(LogLine, ValuesThatNeedItAreQuotedAndEscaped)
{
    const QString line = TLogLine(QStringLiteral("link-down"))
                             .Add(QStringLiteral("reason"), QStringLiteral("no reply within 1200 ms"))
                             .Add(QStringLiteral("ident"), QStringLiteral("QDR \"A\\B\"\nx"))
                             .Add(QStringLiteral("meters"), 12)
                             .Add(QStringLiteral("empty"), QString())
                             .Add(QStringLiteral("kw"), 412.26, 1)
                             .Line();
    EXPECT_EQ(line, QStringLiteral("link-down reason=\"no reply within 1200 ms\" ident=\"QDR \\\"A\\\\B\\\" x\" "
                                   "meters=12 empty=\"\" kw=412.3"));
}
