#include "db/errors.h"

#include <QSqlError>

namespace duplivo {

namespace {

const QString noDetail
    = QStringLiteral("El motor de base de datos no ha dado ningún detalle del error.");

} // namespace

void throwDiagnostics(const QList<Diagnostic>& records, const QString& context)
{
    int number = 0;
    QStringList lines;
    QStringList states;
    for (const Diagnostic& record : records) {
        if (number == 0)
            number = record.native;
        states << record.state;
        const QString text = record.text.trimmed();
        lines << (text.isEmpty() ? record.state
                                 : QStringLiteral("%1 (SQLSTATE %2)").arg(text, record.state));
    }
    QString text = lines.join(QStringLiteral("\r\n"));
    if (text.isEmpty())
        text = context.isEmpty() ? noDetail : context;
    throw EngineFailure(number, text, states);
}

void throwSqlError(const QSqlError& error, const QString& context)
{
    bool numeric = false;
    const int number = error.nativeErrorCode().toInt(&numeric);
    QString text = error.databaseText();
    if (text.isEmpty())
        text = error.driverText();
    else if (!error.driverText().isEmpty() && error.driverText() != text)
        text = error.driverText() + QStringLiteral(": ") + text;
    if (text.trimmed().isEmpty())
        text = context.isEmpty() ? noDetail : context;
    throw EngineFailure(numeric ? number : -1, text);
}

} // namespace duplivo
