// SQLite files, opened through SQLite's own library.
#pragma once

#include <memory>

#include "db/session.h"

namespace duplivo {

// Opens the SQLite file read and write; a file that is not there is never created. Another
// program's lock is waited for ten seconds before a statement fails.
std::unique_ptr<Session> openSqlite(const QString& file);

} // namespace duplivo
