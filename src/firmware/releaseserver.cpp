#include "firmware/releaseserver.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSettings>

namespace {

int g_transferTimeoutMs = QNetworkRequest::DefaultTransferTimeoutConstant;

// Left empty on purpose: a build that was never told where its releases live must
// say so instead of asking some address nobody chose.
const QString BuiltInReleaseBase;
const QString BuiltInBootBase;

// A base is only ever a place to read files from; anything that could carry a query,
// a fragment or another scheme into the URLs built below it is refused.
QUrl acceptedBase(const QString &text)
{
    QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme();
    const bool remote = scheme == QLatin1String("http") || scheme == QLatin1String("https");
    const bool local = scheme == QLatin1String("file");
    if (!url.isValid() || (!remote && !local) || (remote && url.host().isEmpty())
        || url.hasQuery() || url.hasFragment()) {
        qWarning() << "ReleaseServer: ignoring unusable server address" << text;
        return {};
    }
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path);
    return url;
}

} // namespace

QUrl ReleaseServer::configuredBase(const QString &settingsKey, const char *environmentVariable,
                                   const QString &builtIn)
{
    // The default store of the program, named in full so that a caller without an
    // application name set still reads the same file.
    const QString fromSettings =
        QSettings(QStringLiteral("Vellora"), QStringLiteral("Nerra")).value(settingsKey).toString();
    if (!fromSettings.trimmed().isEmpty())
        return acceptedBase(fromSettings);
    const QString fromEnvironment = qEnvironmentVariable(environmentVariable);
    if (!fromEnvironment.trimmed().isEmpty())
        return acceptedBase(fromEnvironment);
    return builtIn.isEmpty() ? QUrl() : acceptedBase(builtIn);
}

QUrl ReleaseServer::releaseBase()
{
    return configuredBase(QStringLiteral("releaseServer/baseUrl"), "NERRA_RELEASE_BASE_URL",
                          BuiltInReleaseBase);
}

QUrl ReleaseServer::bootBase()
{
    return configuredBase(QStringLiteral("releaseServer/bootBaseUrl"), "NERRA_BOOT_BASE_URL",
                          BuiltInBootBase);
}

// The channel becomes part of a URL path: only names the server could hold pass.
QString ReleaseServer::channelProblem(const QString &env)
{
    static const QRegularExpression channel(QStringLiteral("^[a-z0-9-]+$"));
    if (channel.match(env).hasMatch())
        return {};
    return QStringLiteral("invalid release channel \"%1\"").arg(env.left(40));
}

QUrl ReleaseServer::channelFolder(const QString &env, const QString &folder)
{
    const QUrl base = releaseBase();
    if (base.isEmpty() || !channelProblem(env).isEmpty())
        return {};
    return QUrl(base.toString(QUrl::FullyEncoded) + QStringLiteral("/nerra-%1/%2/").arg(env, folder));
}

QNetworkRequest ReleaseServer::request(const QUrl &url)
{
    QNetworkRequest request(url);
    // Qt 5 reads a 3xx page as the answer unless told to follow; following is only
    // safe while the scheme never gets weaker and a loop cannot go on forever.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(5);
    // Without it a server that accepts the connection and then stays silent keeps
    // the caller busy for good.
    request.setTransferTimeout(g_transferTimeoutMs);
    return request;
}

void ReleaseServer::setTransferTimeout(int ms)
{
    g_transferTimeoutMs = ms;
}

int ReleaseServer::transferTimeout()
{
    return g_transferTimeoutMs;
}

QString ReleaseServer::failureText(const QNetworkReply *reply, bool cancelledByUser)
{
    if (cancelledByUser)
        return QStringLiteral("cancelled");
    // A file:// reply has no status; an HTTP reply must be a 2xx to carry the file.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int code = status.toInt();
    const QString statusText =
        status.isValid() && (code < 200 || code >= 300)
            ? QStringLiteral("the server answered HTTP %1 %2")
                  .arg(code)
                  .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString())
                  .trimmed()
            : QString();
    switch (reply->error()) {
    case QNetworkReply::NoError:
        return statusText;
    case QNetworkReply::OperationCanceledError:
        // Only the transfer time-out aborts a reply the user did not cancel.
        return QStringLiteral("the server did not answer within %1 s")
            .arg(QString::number(g_transferTimeoutMs / 1000.0, 'g', 3));
    case QNetworkReply::InsecureRedirectError: {
        const QString target = QString::fromUtf8(reply->rawHeader("Location"));
        return target.isEmpty() ? QStringLiteral("the server redirected to a less safe address")
                                : QStringLiteral("the server redirected to a less safe address (%1)").arg(target);
    }
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("too many redirects");
    default:
        return statusText.isEmpty() ? reply->errorString() : statusText;
    }
}

QString ReleaseServer::md5FromChecksumBody(const QByteArray &body)
{
    static const QRegularExpression md5(QStringLiteral("^[0-9a-fA-F]{32}$"));
    static const QRegularExpression space(QStringLiteral("\\s+"));
    const QString firstWord = QString::fromLatin1(body.trimmed()).section(space, 0, 0);
    return md5.match(firstWord).hasMatch() ? firstWord.toLower() : QString();
}

QString ReleaseServer::md5OfFile(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return {};
    return QString::fromLatin1(hash.result().toHex());
}
