// The settings store where there is no Windows registry: Wine's registry of the user's prefix,
// then the INI file in the user's configuration folder, read as the business programs' own settings
// are, and never written.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "app/settings.h"
#include "base/databaselocation.h"
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
    void wineRegistryComesFirst_data();
    void wineRegistryComesFirst();
    void missingFileSectionOrKeyGiveTheDefault();
    void unreadableFileIsAFailure();
    void databaseLocationFromTheSetting();

private:
    void write(const QByteArray& content);
    void writeRegistry(const QByteArray& content);
    QString prefix() const { return m_config->filePath(QStringLiteral("wine")); }

    std::unique_ptr<QTemporaryDir> m_config;
    QByteArray m_previous;
    QByteArray m_previousPrefix;
};

void SettingsTest::init()
{
    m_previous = qgetenv("XDG_CONFIG_HOME");
    m_config = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", m_config->path().toLocal8Bit());
    // A prefix that is not there until a test writes its registry; never the user's own.
    m_previousPrefix = qgetenv("WINEPREFIX");
    qputenv("WINEPREFIX", prefix().toLocal8Bit());
}

void SettingsTest::cleanup()
{
    if (m_previous.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_previous);
    if (m_previousPrefix.isNull())
        qunsetenv("WINEPREFIX");
    else
        qputenv("WINEPREFIX", m_previousPrefix);
}

void SettingsTest::write(const QByteArray& content)
{
    QFile file(m_config->filePath(QStringLiteral("discos.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

void SettingsTest::writeRegistry(const QByteArray& content)
{
    QVERIFY(QDir().mkpath(prefix()));
    writeFile(
        prefix() + QStringLiteral("/user.reg"), content, QFile::ReadOwner | QFile::WriteOwner);
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

void SettingsTest::wineRegistryComesFirst_data()
{
    QTest::addColumn<QByteArray>("userReg");
    QTest::addColumn<QString>("section");
    // "ini" where discos.ini is used.
    QTest::addColumn<QString>("expected");

    // Keys around the one read: their values must not be taken for it.
    const QByteArray before = R"(WINE REGISTRY Version 2
;; All keys relative to \\User\\S-1-5-21-1004336348-1177238915-682003330-1000

#arch=win64

[Control Panel\\International] 1733690000
#time=1db49a0f3c1b2a0
"Locale"="00000C0A"
"Tarvex"="Z"

[Software\\VB and VBA Program Settings\\discos] 1733699998
#time=1db49b1c6c0ad8d
"Tarvex"="P"

)";
    const QByteArray after = R"(
[Software\\VB and VBA Program Settings\\discos\\BasesDeTarvexOld] 1733699998
#time=1db49b1c6c0ad8d
"Tarvex"="Y"
)";
    const QByteArray key
        = R"([Software\\VB and VBA Program Settings\\discos\\BasesDeTarvex] 1733699999
#time=1db49b1c6c0ad8e
)";
    const QString section = QStringLiteral("BasesDeTarvex");

    QTest::newRow("as Wine writes it") << before + key + R"(@="defecto"
"Anterior"=dword:00000001
"Datos"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\
  18,19,1a
"Tarvex"="C"
)" + after << section << QStringLiteral("C");
    QTest::newRow("names in another case") << before
            + R"([software\\vb and vba program settings\\DISCOS\\basesdetarvex] 1
"TARVEX"="D"
)" + after << section << QStringLiteral("D");
    QTest::newRow("escapes in the value")
        << before + key + R"("Tarvex"="\\\\srv\\Caf\xe9\x00e0a \"1\"\t\101\q\x ñ")" + "\n" + after
        << section << QStringLiteral("\\\\srv\\Caféàa \"1\"\tAqx ñ");
    QTest::newRow("escapes in the key") << before
            + R"([Software\\VB and VBA Program Settings\\discos\\A\x00f1o] 1
"Tarvex"="E"
)" + after << QStringLiteral("AÑO") << QStringLiteral("E");
    QTest::newRow("no such key") << before + after << section << QStringLiteral("ini");
    QTest::newRow("no such value") << before + key + "\"TarvexOld\"=\"Q\"\n\"Tarve\"=\"R\"\n"
            + after << section << QStringLiteral("ini");
    QTest::newRow("plain string as str:")
        << before + key + "\"Tarvex\"=str:\"D\"\n" + after << section << QStringLiteral("D");
    QTest::newRow("expandable string")
        << before + key + "\"Tarvex\"=str(2):\"C\"\n" + after << section << QStringLiteral("ini");
    QTest::newRow("number") << before + key + "\"Tarvex\"=dword:00000043\n" + after << section
                            << QStringLiteral("ini");

    // Damaged files: what cannot be parsed is not there.
    QTest::newRow("line cut inside the value")
        << before + key + "\"Tarvex\"=\"C" << section << QStringLiteral("ini");
    QTest::newRow("backslash at the end")
        << before + key + "\"Tarvex\"=\"C\\" << section << QStringLiteral("ini");
    QTest::newRow("header without bracket")
        << before + key.left(key.indexOf(']')) + "\n\"Tarvex\"=\"C\"\n"
        << section << QStringLiteral("ini");
    QTest::newRow("a damaged header ends the key")
        << before + key + "\"Otra\"=\"1\"\n[Software\\\\Wine\n\"Tarvex\"=\"C\"\n"
        << section << QStringLiteral("ini");
    QTest::newRow("binary junk before the value")
        << before + key + QByteArrayLiteral("\0\xff\xfe\\\n\"\xc3\n\"\xc3\"=\\\n\"Tarvex\"=\"C\"\n")
        << section << QStringLiteral("C");
}

void SettingsTest::wineRegistryComesFirst()
{
    QFETCH(QByteArray, userReg);
    QFETCH(QString, section);
    QFETCH(QString, expected);
    write("[BasesDeTarvex]\nTarvex=ini\n");
    writeRegistry(userReg);
    QCOMPARE(read(section, QStringLiteral("Tarvex")), expected);
}

void SettingsTest::missingFileSectionOrKeyGiveTheDefault()
{
    QCOMPARE(read(QStringLiteral("BasesDeTarvex"), QStringLiteral("Tarvex")), QStringLiteral("-"));
    QVERIFY(!QFile::exists(m_config->filePath(QStringLiteral("discos.ini"))));
    QVERIFY(!QFile::exists(prefix()));
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

    // The same for Wine's registry, which is read first: a value in discos.ini does not hide it.
    QVERIFY(QDir(m_config->path()).rmdir(QStringLiteral("discos.ini")));
    write("[BasesDeTarvex]\nTarvex=C\n");
    QVERIFY(QDir().mkpath(prefix() + QStringLiteral("/user.reg")));
    QCOMPARE(failureNumber(
                 [] { read(QStringLiteral("BasesDeTarvex"), QStringLiteral("Tarvex")); }, &text),
        75);
    QVERIFY2(text.contains(QStringLiteral("user.reg")), qPrintable(text));

    // A file that cannot be reached is not a missing one: no installation message for it. (A
    // folder without access is the usual case, but its owner and root pass; a name too long to
    // look up fails for everyone.)
    qputenv("WINEPREFIX", (m_config->path() + u'/' + QString(300, u'w')).toLocal8Bit());
    QCOMPARE(failureNumber(
                 [] { read(QStringLiteral("BasesDeTarvex"), QStringLiteral("Tarvex")); }, &text),
        75);
    QVERIFY2(text.contains(QStringLiteral("user.reg")), qPrintable(text));
    qputenv("WINEPREFIX", m_config->filePath(QStringLiteral("sin-wine")).toLocal8Bit());
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
