// The settings store where there is no registry: the INI file in the user's configuration folder,
// read as the business programs' own settings are, and never written.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "app/settings.h"
#include "app/startup.h"
#include "tests/support.h"

using namespace duplivo;
using namespace duplivo::test;

namespace {

QString read(const QString& section, const QString& key)
{
    return NativeSettingsStore().get(QStringLiteral("discos"), section, key, QStringLiteral("-"));
}

} // namespace

class SettingsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void valuesAreReadAsStored();
    void missingFileSectionOrKeyGiveTheDefault();
    void unreadableFileIsAFailure();
    void databaseLocationFromTheSetting();

private:
    void write(const QByteArray& content);

    std::unique_ptr<QTemporaryDir> m_config;
    QByteArray m_previous;
};

void SettingsTest::init()
{
    m_previous = qgetenv("XDG_CONFIG_HOME");
    m_config = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
}

void SettingsTest::cleanup()
{
    if (m_previous.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_previous);
}

void SettingsTest::write(const QByteArray& content)
{
    QFile file(m_config->filePath(QStringLiteral("discos.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void SettingsTest::valuesAreReadAsStored()
{
    write("\xEF\xBB\xBF; escrito por Tarvex\r\n[Otra]\r\nTarvex=X\r\n[basesdetarvex]\r\n"
          "  TARVEX =  D \r\nEspacio=\" \"\r\nComillas=\"a\"b\"\r\nVacio=\r\nTarvex=E\r\n"
          "# comentario=Z\r\nÑandú=sí, con coma\r\n");
    const QString section = QStringLiteral("BasesDeTarvex");
    // Section and key ignore case; the first match wins; spaces around a value go.
    QCOMPARE(read(section, QStringLiteral("Tarvex")), QStringLiteral("D"));
    // Quotes keep what they hold: a value of one space stays one space.
    QCOMPARE(read(section, QStringLiteral("Espacio")), QStringLiteral(" "));
    QCOMPARE(read(section, QStringLiteral("Comillas")), QStringLiteral("a\"b"));
    QCOMPARE(read(section, QStringLiteral("Vacio")), QString());
    QCOMPARE(read(section, QStringLiteral("Ñandú")), QStringLiteral("sí, con coma"));
    QCOMPARE(read(section, QStringLiteral("# comentario")), QStringLiteral("-"));
    QCOMPARE(read(QStringLiteral("Otra"), QStringLiteral("Tarvex")), QStringLiteral("X"));
}

void SettingsTest::missingFileSectionOrKeyGiveTheDefault()
{
    QCOMPARE(read(QStringLiteral("BasesDeTarvex"), QStringLiteral("Tarvex")), QStringLiteral("-"));
    QVERIFY(!QFile::exists(m_config->filePath(QStringLiteral("discos.ini"))));
    write("[BasesDeTarvex]\nOtra=C\n[Tarvex]\nTarvex=C\n");
    QCOMPARE(read(QStringLiteral("BasesDeTarvex"), QStringLiteral("Tarvex")), QStringLiteral("-"));
    QCOMPARE(read(QStringLiteral("Nada"), QStringLiteral("Tarvex")), QStringLiteral("-"));
}

void SettingsTest::unreadableFileIsAFailure()
{
    // Something that is there and cannot be read as a file, whoever runs the test.
    QVERIFY(QDir(m_config->path()).mkdir(QStringLiteral("discos.ini")));
    QString text;
    QCOMPARE(failureNumber(
                 [] { read(QStringLiteral("BasesDeTarvex"), QStringLiteral("Tarvex")); }, &text),
        75);
    QVERIFY2(text.contains(QStringLiteral("discos.ini")), qPrintable(text));

    // A file that cannot be reached is not a missing one: no installation message for it. (A
    // folder without access is the usual case, but its owner and root pass; a name too long to
    // look up fails for everyone.)
    qputenv("XDG_CONFIG_HOME", (m_config->path() + u'/' + QString(300, u'c')).toLocal8Bit());
    QCOMPARE(failureNumber(
                 [] { read(QStringLiteral("BasesDeTarvex"), QStringLiteral("Tarvex")); }, &text),
        75);
}

void SettingsTest::databaseLocationFromTheSetting()
{
    write("[BasesDeTarvex]\nTarvex=\" \"\n");
    const DatabaseLocation location = readDatabaseLocation(NativeSettingsStore());
    QCOMPARE(location.drive, QStringLiteral(" "));
    QCOMPARE(location.databasePath, QStringLiteral(" :\\Tarvex.win\\Tarvex.mdb"));
    // Reading never writes the file.
    QFile file(m_config->filePath(QStringLiteral("discos.ini")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("[BasesDeTarvex]\nTarvex=\" \"\n"));
}

QTEST_GUILESS_MAIN(SettingsTest)
#include "test_settings.moc"
