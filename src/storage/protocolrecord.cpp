#include "storage/protocolrecord.h"

QVariantMap ProtocolRecord::toMap() const
{
    return {{QStringLiteral("id"), id},
            {QStringLiteral("name"), name},
            {QStringLiteral("description"), description},
            {QStringLiteral("created"), created},
            {QStringLiteral("modified"), modified},
            {QStringLiteral("commands"), commands}};
}

QVariantMap ProtocolRecord::summary() const
{
    return {{QStringLiteral("id"), id},
            {QStringLiteral("name"), name},
            {QStringLiteral("description"), description},
            {QStringLiteral("commandCount"), commands.size()},
            {QStringLiteral("created"), created},
            {QStringLiteral("modified"), modified},
            {QStringLiteral("hasErrors"), hasErrors}};
}
