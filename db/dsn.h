// ODBC file DSNs: a text file with an [ODBC] section that names a driver and its settings, which
// may stand at the database path instead of a database file.
#pragma once

#include <optional>

#include <QList>
#include <QPair>
#include <QString>

namespace duplivo {

struct OdbcSource
{
    // The keys of the [ODBC] section in file order, as written.
    QList<QPair<QString, QString>> keys;

    bool holdsPassword() const;
    // The value of a key, matched without regard to case; null when the key is absent.
    QString value(const QString& key) const;
    // "DRIVER={…};KEY=value;…", each value braced where it needs to be.
    QString connectionString() const;
};

// The source described by a file's text, when its first section is [ODBC].
std::optional<OdbcSource> readOdbcSource(const QByteArray& content);

// Whether users other than the owner may read the file.
bool othersCanRead(const QString& file);

} // namespace duplivo
