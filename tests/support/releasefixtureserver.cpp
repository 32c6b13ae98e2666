#include "releasefixtureserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSslSocket>
#include <QTimer>

#include <memory>

namespace {

const QByteArray HtmlPage = "<!DOCTYPE html>\n<html><head><title>Sign in</title></head>\n"
                            "<body><p>Please sign in to this network.</p></body></html>\n";

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 302: return "Found";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

} // namespace

ReleaseFixtureServer::ReleaseFixtureServer(const QString &root, QObject *parent)
    : QTcpServer(parent)
    , m_root(root)
{
}

QString ReleaseFixtureServer::defaultRoot()
{
    return QStringLiteral(NERRA_RELEASE_FIXTURE_ROOT);
}

bool ReleaseFixtureServer::start()
{
    return listen(QHostAddress::LocalHost, 0);
}

void ReleaseFixtureServer::setTls(const QSslCertificate &certificate, const QSslKey &key)
{
    m_certificate = certificate;
    m_key = key;
}

QUrl ReleaseFixtureServer::baseUrl() const
{
    return QUrl(QStringLiteral("%1://127.0.0.1:%2")
                    .arg(m_certificate.isNull() ? QStringLiteral("http") : QStringLiteral("https"))
                    .arg(serverPort()));
}

void ReleaseFixtureServer::setFile(const QString &path, const QByteArray &body)
{
    m_files.insert(path, body);
}

void ReleaseFixtureServer::setFault(const QString &path, Fault fault, const QString &target)
{
    m_rules.insert(path, Rule{fault, target});
}

void ReleaseFixtureServer::setTrickle(int bytesPerPiece, int intervalMs)
{
    m_trickleBytes = bytesPerPiece;
    m_trickleIntervalMs = intervalMs;
}

void ReleaseFixtureServer::incomingConnection(qintptr handle)
{
    QTcpSocket *socket = nullptr;
    if (m_certificate.isNull()) {
        socket = new QTcpSocket(this);
        socket->setSocketDescriptor(handle);
    } else {
        auto *ssl = new QSslSocket(this);
        ssl->setSocketDescriptor(handle);
        ssl->setLocalCertificate(m_certificate);
        ssl->setPrivateKey(m_key);
        ssl->startServerEncryption();
        socket = ssl;
    }
    auto received = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket, received] {
        received->append(socket->readAll());
        if (!received->contains("\r\n\r\n") || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        const QList<QByteArray> requestLine = received->left(received->indexOf("\r\n")).split(' ');
        const QString path =
            requestLine.size() >= 2 ? QUrl::fromPercentEncoding(requestLine.at(1)) : QString();
        m_requests.append(path);
        answer(socket, path);
    });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

void ReleaseFixtureServer::answer(QTcpSocket *socket, const QString &path)
{
    const Rule rule = m_rules.value(path);
    switch (rule.fault) {
    case Fault::Hang:
        return;
    case Fault::Redirect: {
        const QString location =
            rule.target.startsWith(QLatin1Char('/')) ? baseUrl().toString() + rule.target : rule.target;
        send(socket, 302, "moved\n", "Location: " + location.toUtf8() + "\r\n");
        return;
    }
    case Fault::ServerError:
        send(socket, 500, "server error\n");
        return;
    case Fault::HtmlPage:
        send(socket, 200, HtmlPage, "Content-Type: text/html\r\n");
        return;
    case Fault::EmptyBody:
        send(socket, 200, QByteArray());
        return;
    case Fault::Md5sumChecksum: {
        const std::optional<QByteArray> body = checksumBody(path);
        if (body)
            send(socket, 200, *body);
        else
            send(socket, 404, "not found\n");
        return;
    }
    case Fault::None:
    case Fault::Slow:
    case Fault::Truncate:
        break;
    }
    std::optional<QByteArray> body = fileBody(path);
    if (!body) {
        send(socket, 404, "not found\n");
        return;
    }
    answerFile(socket, rule.fault, *body);
}

void ReleaseFixtureServer::answerFile(QTcpSocket *socket, Fault fault, const QByteArray &body)
{
    switch (fault) {
    case Fault::Slow:
        trickle(socket, body);
        return;
    case Fault::Truncate:
        send(socket, 200, body.left(body.size() / 2), QByteArray(), body.size() + 1000);
        return;
    default:
        send(socket, 200, body);
        return;
    }
}

std::optional<QByteArray> ReleaseFixtureServer::fileBody(const QString &path) const
{
    if (m_files.contains(path))
        return m_files.value(path);
    if (path.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return std::nullopt;
    QFile file(m_root + path);
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

std::optional<QByteArray> ReleaseFixtureServer::checksumBody(const QString &path) const
{
    if (!path.endsWith(QLatin1String(".md5")))
        return std::nullopt;
    const QString imagePath = path.left(path.size() - 4) + QStringLiteral(".bin");
    const std::optional<QByteArray> image = fileBody(imagePath);
    if (!image)
        return std::nullopt;
    const QByteArray md5 = QCryptographicHash::hash(*image, QCryptographicHash::Md5).toHex();
    return md5 + "  " + QFileInfo(imagePath).fileName().toUtf8() + '\n';
}

void ReleaseFixtureServer::send(QTcpSocket *socket, int status, const QByteArray &body,
                                const QByteArray &extraHeaders, qint64 contentLength)
{
    if (contentLength < 0)
        contentLength = body.size();
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n"
                  + "Content-Length: " + QByteArray::number(contentLength) + "\r\n"
                  + "Connection: close\r\n" + extraHeaders + "\r\n" + body);
    socket->disconnectFromHost();
}

void ReleaseFixtureServer::trickle(QTcpSocket *socket, const QByteArray &body)
{
    socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size())
                  + "\r\nConnection: close\r\n\r\n");
    auto *timer = new QTimer(socket);
    auto sent = std::make_shared<int>(0);
    connect(timer, &QTimer::timeout, socket, [this, socket, timer, body, sent] {
        socket->write(body.mid(*sent, m_trickleBytes));
        *sent += m_trickleBytes;
        if (*sent >= body.size()) {
            timer->stop();
            socket->disconnectFromHost();
        }
    });
    timer->start(m_trickleIntervalMs);
}

bool ReleaseFixtureServer::makeCertificate(const QString &folder, QSslCertificate *certificate,
                                           QSslKey *key)
{
    const QString certificatePath = folder + QStringLiteral("/fixture-cert.pem");
    const QString keyPath = folder + QStringLiteral("/fixture-key.pem");
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                   QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certificatePath,
                   QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=IP:127.0.0.1")});
    if (!openssl.waitForFinished(30000) || openssl.exitStatus() != QProcess::NormalExit
        || openssl.exitCode() != 0)
        return false;
    QFile certificateFile(certificatePath);
    QFile keyFile(keyPath);
    if (!certificateFile.open(QIODevice::ReadOnly) || !keyFile.open(QIODevice::ReadOnly))
        return false;
    *certificate = QSslCertificate(&certificateFile, QSsl::Pem);
    *key = QSslKey(&keyFile, QSsl::Ec, QSsl::Pem);
    return !certificate->isNull() && !key->isNull();
}
