// Builds the demo environment `make demo` runs the program in: a settings file naming drive C,
// Wine's drive folder for C, and a small company database on it. Leaves an existing one alone.
#include <cstdio>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace {

bool fail(const QString& what)
{
    std::fprintf(stderr, "duplivo-make-demo: %s\n", qPrintable(what));
    return false;
}

bool exec(QSqlQuery& query, const QString& text)
{
    return query.exec(text) || fail(query.lastError().text());
}

struct Company
{
    QString name;
    QStringList programs;
};

bool fillDatabase(const QString& file)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("demo"));
    db.setDatabaseName(file);
    if (!db.open())
        return fail(db.lastError().text());
    QSqlQuery query(db);
    if (!exec(query,
            QStringLiteral("CREATE TABLE GRANGUIA (Id INTEGER PRIMARY KEY, Empresa TEXT, "
                           "Aplica TEXT, clave, cosa, Alta TEXT NOT NULL DEFAULT 'demo')"))
        || !exec(query,
            QStringLiteral("CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica)")))
        return false;

    const QList<Company> companies = {
        {QStringLiteral("Construcciones Pérez"),
            {QStringLiteral("Contabilidad"), QStringLiteral("Nóminas"),
                QStringLiteral("Facturación")}},
        {QStringLiteral("Distribuciones Núñez"),
            {QStringLiteral("Contabilidad"), QStringLiteral("Almacén"),
                QStringLiteral("Facturación"), QStringLiteral("Agenda")}},
        {QStringLiteral("L'Àncora Serveis"),
            {QStringLiteral("Contabilidad"), QStringLiteral("Nóminas")}},
        {QStringLiteral("Muñoz y Asociados"),
            {QStringLiteral("Contabilidad"), QStringLiteral("Nóminas"), QStringLiteral("Agenda")}},
        {QStringLiteral("Talleres Ibáñez"),
            {QStringLiteral("Almacén"), QStringLiteral("Facturación"), QStringLiteral("Nóminas")}},
        {QStringLiteral("Óptica Martín"),
            {QStringLiteral("Contabilidad"), QStringLiteral("Agenda")}},
    };

    db.transaction();
    if (!query.prepare(QStringLiteral(
            "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)")))
        return fail(query.lastError().text());
    quint32 seed = 20261208;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    for (const Company& company : companies) {
        for (const QString& program : company.programs) {
            const int rows = 20 + int(next() % 181);
            for (int row = 1; row <= rows; ++row) {
                query.addBindValue(company.name);
                query.addBindValue(program);
                query.addBindValue(QStringLiteral("%1.%2")
                                       .arg(program.left(3).toUpper())
                                       .arg(row, 4, 10, QLatin1Char('0')));
                query.addBindValue(row % 3 == 0 ? QVariant(double(next()) / 100.0)
                                                : QVariant(QStringLiteral("valor %1").arg(next())));
                if (!query.exec())
                    return fail(query.lastError().text());
            }
        }
    }
    return db.commit() || fail(db.lastError().text());
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return (file.open(QIODevice::WriteOnly) && file.write(content) == content.size()) || fail(path);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "uso: duplivo-make-demo CARPETA\n");
        return 2;
    }
    const QDir root(QDir(QString::fromLocal8Bit(argv[1])).absolutePath());
    const QString database = root.filePath(QStringLiteral("drive_c/Tarvex.win/Tarvex.mdb"));
    if (QFile::exists(database))
        return 0;

    const bool made = QDir().mkpath(root.filePath(QStringLiteral("config")))
        && QDir().mkpath(root.filePath(QStringLiteral("wine/dosdevices")))
        && QDir().mkpath(root.filePath(QStringLiteral("drive_c/Tarvex.win")))
        && writeFile(
            root.filePath(QStringLiteral("config/discos.ini")), "[BasesDeTarvex]\r\nTarvex=C\r\n")
        && (QFile::exists(root.filePath(QStringLiteral("wine/dosdevices/c:")))
            || QFile::link(QStringLiteral("../../drive_c"),
                root.filePath(QStringLiteral("wine/dosdevices/c:"))))
        && fillDatabase(database + QStringLiteral(".tmp"))
        && QFile::rename(database + QStringLiteral(".tmp"), database);
    return made ? 0 : 1;
}
