// The working values the window's handlers share for the whole run.
#pragma once

#include <memory>

#include <QString>

#include "db/database.h"

namespace duplivo {

struct FormState
{
    QString drive;
    QString databasePath;
    QString program;
    QString sourceCompany;
    QString newCompany;
    Statement statement;
    Statement checkStatement;
    QString message;
    QString answer;
    int index = 0;
    bool anySelected = false;
    // Replacing a handle releases the one held before.
    std::shared_ptr<DatabaseConnection> database;
    std::shared_ptr<ResultSet> rows;
};

} // namespace duplivo
