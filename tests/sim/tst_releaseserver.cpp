#include "releaseserver.h"
#include "testmain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>

#include <memory>

class TestReleaseServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void servesFixtureFiles();
    void answersMissingFilesWith404();
    void applicationManifestPointsAtItsInstaller_data();
    void applicationManifestPointsAtItsInstaller();
    void firmwareReleasesMatchTheirChecksums_data();
    void firmwareReleasesMatchTheirChecksums();
    void bootImageMatchesItsChecksum();
    void servesChangesMadeToTheCopy();

private:
    struct Reply
    {
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        int status = 0;
        QByteArray body;
    };
    Reply get(const QString &path);
    Reply get(const QUrl &url);

    std::unique_ptr<IsolatedEnvironment> m_env;
    std::unique_ptr<ReleaseServer> m_server;
    QNetworkAccessManager m_network;
};

void TestReleaseServer::init()
{
    m_env = std::make_unique<IsolatedEnvironment>();
    m_server = std::make_unique<ReleaseServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorString()));
    QCOMPARE(m_server->baseUrl().host(), QStringLiteral("127.0.0.1"));
    QVERIFY(m_server->baseUrl().port() > 0);
}

void TestReleaseServer::cleanup()
{
    m_server.reset();
    m_env.reset();
}

TestReleaseServer::Reply TestReleaseServer::get(const QString &path)
{
    return get(QUrl(m_server->baseUrl().toString() + path));
}

TestReleaseServer::Reply TestReleaseServer::get(const QUrl &url)
{
    std::unique_ptr<QNetworkReply> reply(m_network.get(QNetworkRequest(url)));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(10000))
        return Reply{QNetworkReply::TimeoutError, 0, {}};
    return Reply{reply->error(), reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
}

void TestReleaseServer::servesFixtureFiles()
{
    const QString path = QStringLiteral("/nerra-prod/firmware/NerraFirmware-1.5.0.bin");
    QFile original(ReleaseServer::fixtureRoot() + path);
    QVERIFY(original.open(QIODevice::ReadOnly));
    const Reply reply = get(path);
    QCOMPARE(reply.error, QNetworkReply::NoError);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, original.readAll());
    QCOMPARE(get(QStringLiteral("/nerra-prod/firmware/manifest.txt")).body.trimmed(), QByteArray("1.5.0"));
}

void TestReleaseServer::answersMissingFilesWith404()
{
    const Reply reply = get(QStringLiteral("/nerra-prod/firmware/NerraFirmware-9.9.9.bin"));
    QCOMPARE(reply.error, QNetworkReply::ContentNotFoundError);
    QCOMPARE(reply.status, 404);
    // Channels that do not exist are not found either.
    QCOMPARE(get(QStringLiteral("/nerra-beta/firmware/manifest.txt")).status, 404);
}

void TestReleaseServer::applicationManifestPointsAtItsInstaller_data()
{
    QTest::addColumn<QString>("channel");
    for (const char *channel : {"prod", "qa", "mfg", "dev"})
        QTest::newRow(channel) << QString::fromLatin1(channel);
}

void TestReleaseServer::applicationManifestPointsAtItsInstaller()
{
    QFETCH(QString, channel);
    const Reply manifest = get(QStringLiteral("/nerra-%1/app/latest.json").arg(channel));
    QCOMPARE(manifest.status, 200);
    const QJsonObject latest = QJsonDocument::fromJson(manifest.body).object();
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$"))
                .match(latest.value(QStringLiteral("version")).toString())
                .hasMatch());
    const QUrl installerUrl(latest.value(QStringLiteral("url_windows")).toString());
    QCOMPARE(installerUrl.port(), m_server->baseUrl().port());
    const Reply installer = get(installerUrl);
    QCOMPARE(installer.status, 200);
    QCOMPARE(QString::fromLatin1(QCryptographicHash::hash(installer.body, QCryptographicHash::Md5).toHex()),
             latest.value(QStringLiteral("md5_windows")).toString().toLower());
    QCOMPARE(get(QUrl(latest.value(QStringLiteral("notes_url")).toString())).status, 200);
}

void TestReleaseServer::firmwareReleasesMatchTheirChecksums_data()
{
    applicationManifestPointsAtItsInstaller_data();
}

void TestReleaseServer::firmwareReleasesMatchTheirChecksums()
{
    QFETCH(QString, channel);
    const QString folder = QStringLiteral("/nerra-%1/firmware/").arg(channel);
    static const QRegularExpression versionPattern(QStringLiteral("(\\d+)\\.(\\d+)\\.(\\d+)"));
    const QString latest = versionPattern.match(QString::fromUtf8(get(folder + QStringLiteral("manifest.txt")).body))
                               .captured(0);
    QVERIFY(!latest.isEmpty());

    const QStringList names = QString::fromUtf8(get(folder + QStringLiteral("list.txt")).body)
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList images;
    for (const QString &name : names) {
        if (name.startsWith(QLatin1String("NerraFirmware-")) && name.endsWith(QLatin1String(".bin")))
            images << name;
    }
    QVERIFY(images.size() >= 2);
    QVERIFY(images.contains(QStringLiteral("NerraFirmware-%1.bin").arg(latest)));
    for (const QString &name : qAsConst(images)) {
        const Reply image = get(folder + name);
        QCOMPARE(image.status, 200);
        QString md5Name = name;
        md5Name.replace(QLatin1String(".bin"), QLatin1String(".md5"));
        const QString checksum = QString::fromUtf8(get(folder + md5Name).body).trimmed().section(QLatin1Char(' '), 0, 0);
        QCOMPARE(checksum, QString::fromLatin1(QCryptographicHash::hash(image.body, QCryptographicHash::Md5).toHex()));
        // The image names its own version, which the simulated instrument reports after
        // installing it.
        QVERIFY(image.body.contains("NERRA_FW_VERSION=" + versionPattern.match(name).captured(0).toLatin1()));
    }
}

void TestReleaseServer::bootImageMatchesItsChecksum()
{
    const QString name = QString::fromUtf8(get(QStringLiteral("/nerra-prod/boot/manifest.txt")).body).trimmed();
    QVERIFY(name.startsWith(QLatin1String("NerraBoot-")) && name.endsWith(QLatin1String(".bin")));
    const Reply image = get(QStringLiteral("/nerra-prod/boot/") + name);
    QCOMPARE(image.status, 200);
    QString md5Name = name;
    md5Name.replace(QLatin1String(".bin"), QLatin1String(".md5"));
    QCOMPARE(QString::fromUtf8(get(QStringLiteral("/nerra-prod/boot/") + md5Name).body).trimmed().toLower(),
             QString::fromLatin1(QCryptographicHash::hash(image.body, QCryptographicHash::Md5).toHex()));
}

void TestReleaseServer::servesChangesMadeToTheCopy()
{
    const QString path = QStringLiteral("/nerra-qa/firmware/manifest.txt");
    QFile served(m_server->root() + path);
    QVERIFY(served.open(QIODevice::WriteOnly | QIODevice::Truncate));
    served.write("garbage\n");
    served.close();
    QCOMPARE(get(path).body, QByteArray("garbage\n"));
    QFile original(ReleaseServer::fixtureRoot() + path);
    QVERIFY(original.open(QIODevice::ReadOnly));
    QCOMPARE(original.readAll(), QByteArray("1.6.0\n"));
}

NERRA_TEST_MAIN(TestReleaseServer)
#include "tst_releaseserver.moc"
