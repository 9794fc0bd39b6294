// Jet/ACE files, the Tarvex programs' own Access databases.
#pragma once

#include <memory>

#include "db/path.h"
#include "db/session.h"

namespace duplivo {

// Opens the file through the Access ODBC driver where this platform has one that loads; never
// writes the file otherwise.
std::unique_ptr<Session> openJet(const DatabaseFile& file);

} // namespace duplivo
