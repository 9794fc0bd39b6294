// The benchmark's database cases on PostgreSQL and MariaDB servers: the program's paths through an
// ODBC file DSN against the same statements run with each server's C library (libpq,
// libmariadb) on the same server in the same run.
#pragma once

#include <vector>

#include "bench/cases.h"

namespace duplivo::bench {

constexpr double serverRatioLimit = 1.5;
// The copy a delete keeps, against reading the same rows with the server's own library.
constexpr double savedCopyLimit = 1.5;

// Load the benchmark's two databases into the server that tools/with_postgres.sh started (found
// in the PG* variables), or the one tools/with_mariadb.sh started (DUPLIVO_TEST_MARIADB), run the
// cases on them and drop them again, whatever the outcome.
void runPostgresCases(std::vector<Verdict>& verdicts);
void runMariaDbCases(std::vector<Verdict>& verdicts);

} // namespace duplivo::bench
