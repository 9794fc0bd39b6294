// The texts the window and the command line both show.
#pragma once

#include <QString>

namespace duplivo {

// A copy, or a restore, refused because the company has data for the program already.
inline QString alreadyPresentMessage(const QString& company, const QString& program)
{
    return QStringLiteral("La Empresa ") + company + QStringLiteral(" tiene datos para ") + program
        + QStringLiteral(" y no se pueden modificar los\r\nlos datos de una empresa ya creada. "
                         "Cambie el nombre de la nueva empresa.");
}

// A failure of the database or the system, with its number and text.
inline QString failureMessage(int number, const QString& text)
{
    return QStringLiteral("Error '%1' en tiempo de ejecución:\r\n\r\n").arg(number) + text;
}

} // namespace duplivo
