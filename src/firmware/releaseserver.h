#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

class QNetworkReply;

// The rules every read from the release server follows: where the server is, how a
// request is made (redirect and time-out policy) and how a finished reply is judged.
class ReleaseServer
{
public:
    // Settings "releaseServer/baseUrl", then NERRA_RELEASE_BASE_URL, then built-in
    // (empty: no server). Read afresh at each call. No trailing slash.
    static QUrl releaseBase();
    // Settings "releaseServer/bootBaseUrl", then NERRA_BOOT_BASE_URL, then built-in.
    static QUrl bootBase();

    // "" for a channel name that may become part of a path on the server; else why not.
    static QString channelProblem(const QString &env);
    // The channel's folder ("<base>/nerra-<env>/<folder>/"); empty without a server or
    // for a channel name that is not usable.
    static QUrl channelFolder(const QString &env, const QString &folder);

    static QNetworkRequest request(const QUrl &url);
    static void setTransferTimeout(int ms);
    static int transferTimeout();

    // "" for a reply that carries the file; otherwise the reason, in words.
    static QString failureText(const QNetworkReply *reply, bool cancelledByUser);
    // 32 hexadecimal digits in lower case; "" when the body does not start with one.
    static QString md5FromChecksumBody(const QByteArray &body);
    // The file's MD5 in the same form; "" when it cannot be read.
    static QString md5OfFile(const QString &path);

private:
    static QUrl configuredBase(const QString &settingsKey, const char *environmentVariable,
                               const QString &builtIn);
};
