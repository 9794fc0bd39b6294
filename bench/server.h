// The benchmark's database cases on a PostgreSQL server: the program's paths through an ODBC file
// DSN against the same statements run with libpq on the same server in the same run.
#pragma once

#include <vector>

#include "bench/cases.h"

namespace duplivo::bench {

constexpr double serverRatioLimit = 1.5;

// Loads the benchmark's two databases into the server that tools/with_postgres.sh started (found
// in the PG* variables), runs the cases on them and drops them again, whatever the outcome.
void runServerCases(std::vector<Verdict>& verdicts);

} // namespace duplivo::bench
