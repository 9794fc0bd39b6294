#include "db/errors.h"

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

} // namespace duplivo
