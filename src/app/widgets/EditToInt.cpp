#include "app/widgets/EditToInt.h"

#include <QLineEdit>
#include <QString>

#include <cstdint>

namespace {

// Parses an optionally signed decimal integer after leading blanks. Returns
// 0 and the number (saturated far outside any int bound) when the text is
// one, otherwise the 1-based position of the first character that is not.
int ParseInteger(const QString& text, int64_t& number)
{
    const int n = int(text.size());
    int i = 0;
    while (i < n && text.at(i) == QLatin1Char(' '))
        ++i;
    bool negative = false;
    if (i < n && (text.at(i) == QLatin1Char('-') || text.at(i) == QLatin1Char('+'))) {
        negative = text.at(i) == QLatin1Char('-');
        ++i;
    }
    if (i >= n)
        return i + 1;
    int64_t v = 0;
    for (; i < n; ++i) {
        const QChar c = text.at(i);
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return i + 1;
        if (v < (int64_t(1) << 40))
            v = v * 10 + (c.unicode() - '0');
    }
    number = negative ? -v : v;
    return 0;
}

}

bool EditToInt(QLineEdit* edit, int& value, int min, int max)
{
    if (!edit)
        return false;
    const QString text = edit->text();
    if (text.isEmpty() || text == QLatin1String("-")) {
        value = 0;
        return true;
    }
    const int64_t low = min > 0 ? 0 : min;
    const int64_t high = max < 0 ? 0 : max;
    int64_t number = 0;
    int position = ParseInteger(text, number);
    if (position == 0) {
        if (number >= low && number <= high) {
            value = static_cast<int>(number);
            return true;
        }
        position = edit->cursorPosition();
    }
    if (position != 0)
        --position;
    edit->setText(QString::number(value));
    edit->setCursorPosition(position);
    return false;
}
