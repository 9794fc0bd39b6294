// A statement with its values, and the rows a select returned.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace duplivo {

// The values are always bound to the statement's '?' markers, never written into its text.
struct Statement
{
    QString text;
    QVariantList values;

    friend bool operator==(const Statement&, const Statement&) = default;
};

// A read-only copy of the rows a select returned, walked from first to last. Holding one keeps
// no lock on the database.
class ResultSet
{
public:
    ResultSet(QStringList columns, QList<QVariantList> rows);

    // Only "has at least one row": the size of a result is not known before it is read.
    bool hasRows() const { return !m_rows.isEmpty(); }
    qsizetype rowCount() const { return m_rows.size(); }
    const QStringList& columns() const { return m_columns; }
    void moveFirst() { m_current = 0; }
    bool atEnd() const { return m_current >= m_rows.size(); }
    void moveNext() { ++m_current; }
    // The column is found without regard to case.
    QVariant field(const QString& column) const;
    // Every value of the current row, in the select's order.
    const QVariantList& row() const { return m_rows.at(m_current); }

private:
    QStringList m_columns;
    QList<QVariantList> m_rows;
    qsizetype m_current = 0;
};

} // namespace duplivo
