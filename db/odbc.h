// Sources an ODBC driver reaches, through the program's own layer over the ODBC API (unixODBC,
// or Windows' odbc32). Every connection string, statement and value reaches the driver with
// exactly the characters the program wrote, values bound by their type; every diagnostic record
// the driver gives is kept.
#pragma once

#include <functional>
#include <memory>

#include <QStringList>

#include "db/session.h"

namespace duplivo {

struct OdbcConnectOptions
{
    // Seconds to wait for a server that does not answer when connecting; 0 sets no limit, for
    // drivers that do not take one (those of local files).
    int loginTimeout = 0;
    // What is being opened, for a failure that comes without any text.
    QString context;
};

// The driver of a data source named in the ODBC settings, as the driver manager gives it (the
// driver's name; unixODBC may give its library's path); null for a name it does not list.
QString dataSourceDriver(const QString& name);

// Connects with a whole ODBC connection string ("DRIVER={…};KEY=value…" or "DSN=…;…").
std::unique_ptr<Session> connectOdbc(
    const QString& connectionString, const OdbcConnectOptions& options);

// Connects through the first of `drivers` that the driver manager lists and can load, with the
// connection string `connectionString` makes for it. A driver that is listed but does not load
// is passed over for the next; so is one that refuses to connect, where `nextOnRefusal` says so,
// and the first refusal is reported when no later driver connects. Other failures are reported.
// Nothing when none loads.
std::unique_ptr<Session> connectWithFirstDriver(const QStringList& drivers,
    const std::function<QString(const QString& driver)>& connectionString,
    const OdbcConnectOptions& options, bool nextOnRefusal = false);

} // namespace duplivo
