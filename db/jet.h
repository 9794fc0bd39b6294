// Jet/ACE files, the Tarvex programs' own Access databases.
#pragma once

#include <memory>

#include "db/path.h"
#include "db/session.h"

namespace duplivo {

// The format version a Jet/ACE file's header gives: 0 for Jet 3 (Access 97), 1 for Jet 4
// (Access 2000 to 2003), 2 and above for the ACE formats of later Access.
int jetFormat(const QByteArray& head);
constexpr int jet3Format = 0;

// Opens the file, whose header is `head`, through the Access ODBC driver where this platform has
// one that loads; never writes the file otherwise.
std::unique_ptr<Session> openJet(const DatabaseFile& file, const QByteArray& head);

} // namespace duplivo
