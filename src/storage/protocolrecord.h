#pragma once

#include <QDateTime>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

// One method of the library. Its steps are kept in their stored form (one variant map per
// top-level step, loops carrying their body), never as command objects.
class ProtocolRecord
{
public:
    QString id;
    QString name;
    QString description;
    QDateTime created;
    QDateTime modified;
    QVariantList commands;
    // Whether the method failed validation when it was last saved or loaded.
    bool hasErrors = true;

    // The whole method: "id", "name", "description", "created", "modified", "commands".
    QVariantMap toMap() const;
    // One entry of the library's listing: the method without its steps, with
    // "commandCount" and "hasErrors".
    QVariantMap summary() const;
};
