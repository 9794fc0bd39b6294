// The one kind of error that ends the program with a report: an error number and its text.
#pragma once

#include <stdexcept>

#include <QString>

namespace duplivo {

class Failure : public std::runtime_error
{
public:
    Failure(int number, const QString& text)
        : std::runtime_error(text.toStdString())
        , m_number(number)
        , m_text(text)
    { }

    int number() const { return m_number; }
    const QString& text() const { return m_text; }

private:
    int m_number;
    QString m_text;
};

} // namespace duplivo
