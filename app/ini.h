// INI text read the way Windows profile files are: one entry per line, section headers in
// brackets, "key = value" lines, ';' and '#' comments, names compared without regard to case.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace duplivo {

struct IniLine
{
    // The section this line is in; empty before the first header.
    QString section;
    // Null for the header line itself.
    QString key;
    // As written, spaces around it removed.
    QString value;

    bool isHeader() const { return key.isNull(); }
};

inline QList<IniLine> iniLines(const QString& text)
{
    QList<IniLine> lines;
    QString section;
    for (QString line : text.split(u'\n')) {
        line = line.trimmed();
        if (line.startsWith(u'\xFEFF'))
            line = line.mid(1).trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            const qsizetype close = line.indexOf(u']');
            section = line.mid(1, close < 0 ? -1 : close - 1).trimmed();
            lines.append({section, QString(), QString()});
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0)
            continue;
        lines.append({section, line.left(equals).trimmed(), line.mid(equals + 1).trimmed()});
    }
    return lines;
}

} // namespace duplivo
