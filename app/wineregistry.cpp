#include <QStringTokenizer>

#include "app/settings.h"

namespace duplivo {

namespace {

int hexDigit(QChar c)
{
    if (c >= u'0' && c <= u'9')
        return c.unicode() - u'0';
    if (c >= u'a' && c <= u'f')
        return c.unicode() - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c.unicode() - u'A' + 10;
    return -1;
}

struct Unescaped
{
    QString text;
    // Just after the closing delimiter.
    qsizetype next;
};

// Wine's escaped text from `from` up to the first unescaped `end`, decoded as Wine reads it back;
// nothing when the line stops before `end`, as in a damaged file.
std::optional<Unescaped> unescape(QStringView line, qsizetype from, char16_t end)
{
    QString text;
    qsizetype i = from;
    while (i < line.size()) {
        const QChar c = line[i++];
        if (c == end)
            return Unescaped {text, i};
        if (c != u'\\') {
            text += c;
            continue;
        }
        if (i == line.size())
            return std::nullopt;
        const QChar escaped = line[i++];
        // The C escapes Wine writes for control characters.
        const qsizetype named = QStringView(u"abefnrtv").indexOf(escaped);
        if (named >= 0) {
            text += QStringView(u"\a\b\x1B\f\n\r\t\v")[named];
        } else if (escaped == u'x') {
            // One UTF-16 code unit in up to four digits; Wine writes four when a digit follows.
            char16_t unit = 0;
            int digits = 0;
            for (; digits < 4 && i < line.size() && hexDigit(line[i]) >= 0; ++digits)
                unit = char16_t(unit * 16 + hexDigit(line[i++]));
            text += digits > 0 ? QChar(unit) : QChar(u'x');
        } else if (escaped >= u'0' && escaped <= u'7') {
            char16_t unit = char16_t(escaped.unicode() - u'0');
            for (int digits = 1;
                 digits < 3 && i < line.size() && line[i] >= u'0' && line[i] <= u'7'; ++digits)
                unit = char16_t(unit * 8 + (line[i++].unicode() - u'0'));
            text += QChar(unit);
        } else {
            text += escaped;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> wineRegistryValue(
    const QString& userRegText, const QString& keyPath, const QString& valueName)
{
    bool inKey = false;
    for (QStringView line : qTokenize(userRegText, u'\n')) {
        line = line.trimmed();
        if (line.startsWith(u'[')) {
            // The first matching key decides; any header ends it, a damaged one too.
            if (inKey)
                return std::nullopt;
            const std::optional<Unescaped> name = unescape(line, 1, u']');
            inKey = name && name->text.compare(keyPath, Qt::CaseInsensitive) == 0;
            continue;
        }
        if (!inKey)
            continue;
        // "name"=… or @=… for the key's default value; '#' lines are Wine's own notes.
        std::optional<Unescaped> name;
        if (line.startsWith(u'@'))
            name = Unescaped {QString(), 1};
        else if (line.startsWith(u'"'))
            name = unescape(line, 1, u'"');
        if (!name || name->text.compare(valueName, Qt::CaseInsensitive) != 0)
            continue;
        QStringView data = line.mid(name->next).trimmed();
        if (!data.startsWith(u'='))
            return std::nullopt;
        data = data.mid(1).trimmed();
        // A plain string (REG_SZ), which Wine writes in quotes and also reads as str:"…".
        qsizetype start = 0;
        if (data.startsWith(u'"'))
            start = 1;
        else if (data.startsWith(u"str:\""))
            start = 5;
        else
            return std::nullopt;
        const std::optional<Unescaped> value = unescape(data, start, u'"');
        if (!value)
            return std::nullopt;
        return value->text;
    }
    return std::nullopt;
}

} // namespace duplivo
