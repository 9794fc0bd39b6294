// INI text read the way Windows profile files are: one entry per line, section headers in
// brackets, "key = value" lines, ';' and '#' comments, names compared without regard to case.
#pragma once

#include <optional>

#include <QList>
#include <QString>

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

// The headers and entries of the text, in order.
QList<IniLine> iniLines(const QString& text);

// The value under [section] key: section and key ignore case, the first match wins, and
// surrounding double quotes are removed so that a value of spaces can be stored.
std::optional<QString> iniValue(const QString& iniText, const QString& section, const QString& key);

} // namespace duplivo
