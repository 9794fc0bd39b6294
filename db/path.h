// The database file as the operator names it, a Windows path, and where this machine finds it.
#pragma once

#include <QDir>
#include <QString>

namespace duplivo {

struct DatabaseFile
{
    QString windowsPath;
    QString localPath;

    // The path as the operator knows it, quoted, and where it led when that is another place.
    QString described() const
    {
        const QString quoted = u'\'' + windowsPath + u'\'';
        return windowsPath == localPath
            ? quoted
            : QStringLiteral("%1 (%2)").arg(quoted, QDir::toNativeSeparators(localPath));
    }
};

// The file a Windows path "X:\folder\file" names: on Windows the path itself, elsewhere the file
// below Wine's drive folder for X, matching each name without regard to case where no exact
// match exists. Throws for a path of any other form.
DatabaseFile locateDatabaseFile(const QString& windowsPath);

} // namespace duplivo
