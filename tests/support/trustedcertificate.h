#pragma once

#include <QSslCertificate>
#include <QSslConfiguration>

// Trusts one more certificate (the fixture server's own) for as long as it lives.
class TrustedCertificate
{
public:
    explicit TrustedCertificate(const QSslCertificate &certificate)
        : m_saved(QSslConfiguration::defaultConfiguration())
    {
        QSslConfiguration trusting = m_saved;
        trusting.setCaCertificates(trusting.caCertificates() << certificate);
        QSslConfiguration::setDefaultConfiguration(trusting);
    }
    ~TrustedCertificate() { QSslConfiguration::setDefaultConfiguration(m_saved); }
    TrustedCertificate(const TrustedCertificate &) = delete;
    TrustedCertificate &operator=(const TrustedCertificate &) = delete;

private:
    QSslConfiguration m_saved;
};
