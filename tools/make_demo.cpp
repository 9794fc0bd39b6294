// Builds the demo environment `make demo` runs the program in: a settings file naming drive C,
// Wine's drive folder for C, and a small company database on it. Leaves an existing one alone.
#include <cstdio>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <sqlite3.h>

namespace {

bool fail(const QString& what)
{
    std::fprintf(stderr, "duplivo-make-demo: %s\n", qPrintable(what));
    return false;
}

struct Company
{
    QString name;
    QStringList programs;
};

// The demo database through SQLite's own library, as the program reaches it.
class DemoDatabase
{
public:
    explicit DemoDatabase(const QString& file)
    {
        m_open = sqlite3_open_v2(file.toUtf8().constData(), &m_db,
                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
            == SQLITE_OK;
    }
    ~DemoDatabase()
    {
        sqlite3_finalize(m_insert);
        sqlite3_close(m_db);
    }
    DemoDatabase(const DemoDatabase&) = delete;
    DemoDatabase& operator=(const DemoDatabase&) = delete;

    bool isOpen() const { return m_open || failed(); }
    bool exec(const char* text) const
    {
        return sqlite3_exec(m_db, text, nullptr, nullptr, nullptr) == SQLITE_OK || failed();
    }
    bool prepareInsert()
    {
        return sqlite3_prepare_v2(m_db,
                   "INSERT INTO GRANGUIA (Empresa, Aplica, clave, cosa) VALUES (?, ?, ?, ?)", -1,
                   &m_insert, nullptr)
            == SQLITE_OK
            || failed();
    }
    bool insert(const QString& company, const QString& program, const QString& clave,
        const QVariant& cosa) const
    {
        sqlite3_reset(m_insert);
        const bool bound = bindText(1, company) && bindText(2, program) && bindText(3, clave)
            && (cosa.typeId() == QMetaType::Double
                    ? sqlite3_bind_double(m_insert, 4, cosa.toDouble()) == SQLITE_OK
                    : bindText(4, cosa.toString()));
        return (bound && sqlite3_step(m_insert) == SQLITE_DONE) || failed();
    }

private:
    bool bindText(int marker, const QString& text) const
    {
        return sqlite3_bind_text16(
                   m_insert, marker, text.utf16(), int(text.size() * 2), SQLITE_TRANSIENT)
            == SQLITE_OK;
    }
    bool failed() const { return fail(QString::fromUtf8(sqlite3_errmsg(m_db))); }

    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_insert = nullptr;
    bool m_open = false;
};

bool fillDatabase(const QString& file)
{
    DemoDatabase db(file);
    if (!db.isOpen()
        || !db.exec("CREATE TABLE GRANGUIA (Id INTEGER PRIMARY KEY, Empresa TEXT, "
                    "Aplica TEXT, clave, cosa, Alta TEXT NOT NULL DEFAULT 'demo')")
        || !db.exec("CREATE INDEX GRANGUIA_Empresa_Aplica ON GRANGUIA (Empresa, Aplica)"))
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

    if (!db.exec("BEGIN") || !db.prepareInsert())
        return false;
    quint32 seed = 20261208;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7fff; };
    for (const Company& company : companies) {
        for (const QString& program : company.programs) {
            const int rows = 20 + int(next() % 181);
            for (int row = 1; row <= rows; ++row) {
                const QString clave = QStringLiteral("%1.%2")
                                          .arg(program.left(3).toUpper())
                                          .arg(row, 4, 10, QLatin1Char('0'));
                const QVariant cosa = row % 3 == 0
                    ? QVariant(double(next()) / 100.0)
                    : QVariant(QStringLiteral("valor %1").arg(next()));
                if (!db.insert(company.name, program, clave, cosa))
                    return false;
            }
        }
    }
    return db.exec("COMMIT");
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
