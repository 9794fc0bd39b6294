#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include "base/wineprefix.h"
#include "db/errors.h"
#include "db/path.h"

namespace duplivo {

namespace {

// The entry of `folder` that Windows would open for `name`: the exact name if present, else the
// first whose name differs only in case. Unknown names stay as they are.
QString entryFor(const QString& folder, const QString& name)
{
    const QString exact = folder + u'/' + name;
    if (QFileInfo::exists(exact))
        return exact;
    const QStringList entries = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return folder + u'/' + entry;
    }
    return exact;
}

} // namespace

DatabaseFile locateDatabaseFile(const QString& windowsPath)
{
    static const QRegularExpression driveForm(
        QStringLiteral("^([A-Za-z]):\\\\(.*)$"), QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = driveForm.match(windowsPath);
    if (!match.hasMatch())
        throw Failure(DatabaseErrorNumber::InvalidPath,
            QStringLiteral("'%1' no es una ruta válida: no se puede abrir la base de datos.")
                .arg(windowsPath));

    // Wine's drive folders are named by the lower-case letter and a colon.
    QString path
        = winePrefix() + QStringLiteral("/dosdevices/") + match.captured(1).toLower() + u':';
    const QStringList names = match.captured(2).split(u'\\', Qt::SkipEmptyParts);
    for (const QString& name : names)
        path = entryFor(path, name);
    return {windowsPath, path};
}

} // namespace duplivo
