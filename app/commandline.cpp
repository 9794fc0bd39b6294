#include "app/commandline.h"

#include <QDir>
#include <QRegularExpression>

#include "base/databaselocation.h"
#include "base/failure.h"
#include "base/savedcopies.h"
#include "db/granguia.h"
#include "db/savedcopy.h"
#include "ui/messages.h"

namespace duplivo {

namespace {

const QString restoreCommand = QStringLiteral("--restaurar");
const QString listCommand = QStringLiteral("--borrados");

CommandResult listSaved()
{
    const QString folder = savedCopiesFolder();
    const auto [copies, unreadable] = listSavedCopies(folder);
    QStringList lines;
    for (const SavedCopy& copy : copies) {
        lines << QStringList {copy.origin.deleted.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
            copy.origin.company, copy.origin.program,
            QStringLiteral("%1 filas").arg(copy.origin.rows), copy.origin.database,
            QDir::toNativeSeparators(copy.path)}
                     .join(u'\t');
    }
    if (copies.isEmpty())
        lines << QStringLiteral("No hay copias de datos borrados en %1.")
                     .arg(QDir::toNativeSeparators(folder));
    lines += unreadable;
    return {0, lines.join(QStringLiteral("\r\n"))};
}

CommandResult restore(const QString& path, const SettingsStore& settings)
{
    const SavedCopy saved = readSavedCopy(path);
    const DatabaseLocation location = readDatabaseLocation(settings);
    if (location.drive.isEmpty())
        return {1, installationMessage};
    const std::shared_ptr<DatabaseConnection> connection = openDatabase(location.databasePath);

    // Each saved column by the table's own name for it: the statement is made of the table's
    // names, never of what the file says.
    static const QRegularExpression plainName(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    const QStringList tableColumns = connection->openSnapshot(granguia::tableColumns())->columns();
    QStringList columns;
    for (const ColumnDescription& column : saved.columns) {
        const auto found = std::find_if(
            tableColumns.cbegin(), tableColumns.cend(), [&column](const QString& name) {
                return name.compare(column.name, Qt::CaseInsensitive) == 0;
            });
        if (found == tableColumns.cend() || !plainName.match(*found).hasMatch())
            return {1,
                QStringLiteral("La tabla %1 de %2 no tiene la columna %3 de la copia: no se ha "
                               "restaurado nada.")
                    .arg(granguia::tableName, connection->description(), column.name)};
        columns << *found;
    }
    const auto nameAt = int(std::find_if(columns.cbegin(), columns.cend(), [](const QString& name) {
        return name.compare(granguia::companyColumnName, Qt::CaseInsensitive) == 0;
    }) - columns.cbegin());
    if (nameAt == columns.size())
        return {1,
            QStringLiteral("La copia no tiene la columna %1: no se ha restaurado nada.")
                .arg(granguia::companyColumnName)};

    const QString& company = saved.origin.company;
    const QString& program = saved.origin.program;
    switch (connection->restoreUnlessPresent(
        granguia::findBlock(company, program, connection->dialect()),
        granguia::copyBlock(company, company, program, connection->dialect()),
        granguia::tableColumns(columns), granguia::restoreRows(columns), saved.rows, nameAt)) {
    case DatabaseConnection::BlockCopy::Copied:
        return {0,
            QStringLiteral("Se han restaurado %1 filas de %2 de la empresa %3 en %4.")
                .arg(saved.rows.size())
                .arg(program, company, connection->description())};
    case DatabaseConnection::BlockCopy::AlreadyPresent:
        return {1, alreadyPresentMessage(company, program)};
    case DatabaseConnection::BlockCopy::NothingToCopy:
        break;
    }
    return {1, QStringLiteral("La copia no tiene ninguna fila: no se ha restaurado nada.")};
}

} // namespace

bool isCommand(const QStringList& arguments)
{
    return arguments.contains(restoreCommand) || arguments.contains(listCommand);
}

std::optional<CommandResult> runCommand(const QStringList& arguments, const SettingsStore& settings)
{
    if (!isCommand(arguments))
        return std::nullopt;
    const qsizetype restoreAt = arguments.indexOf(restoreCommand);
    try {
        if (restoreAt < 0)
            return listSaved();
        if (restoreAt + 1 >= arguments.size())
            return CommandResult {2, QStringLiteral("Uso: duplivo --restaurar ARCHIVO")};
        return restore(arguments[restoreAt + 1], settings);
    } catch (const Failure& failure) {
        return CommandResult {1, failureMessage(failure.number(), failure.text())};
    } catch (const std::exception& failure) {
        return CommandResult {1, failureMessage(0, QString::fromLocal8Bit(failure.what()))};
    }
}

} // namespace duplivo
