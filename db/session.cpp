#include "db/session.h"

#include "db/savedcopy.h"

namespace duplivo {

void Session::saveRows(
    const Statement& select, SavedCopyWriter& saved, const std::function<bool()>& keepGoing)
{
    readRows(
        select, [&saved](const QList<ColumnDescription>& columns) { saved.columns(columns); },
        [&](const QVariantList& row) {
            saved.row(row);
            return keepGoing();
        });
}

} // namespace duplivo
