#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QTemporaryDir>

// Points HOME, the XDG folders, TMPDIR and both settings stores at a fresh temporary
// folder for as long as it lives, and puts everything back afterwards. Create one per
// test case (in init()), so no test ever sees another's files or the user's own.
class IsolatedEnvironment
{
public:
    IsolatedEnvironment();
    ~IsolatedEnvironment();
    IsolatedEnvironment(const IsolatedEnvironment &) = delete;
    IsolatedEnvironment &operator=(const IsolatedEnvironment &) = delete;

    bool isValid() const { return m_root.isValid(); }
    QString root() const { return m_root.path(); }
    QString home() const;
    QString tempDir() const;
    QString configDir() const;
    QString dataDir() const;

    // Sets up the whole process before the application object exists: offscreen
    // platform, software Quick backend, test-mode standard paths and a throw-away home
    // that outlives every test case. Called by NERRA_TEST_MAIN.
    static void prepareProcess();

private:
    void setVariable(const char *name, const QString &value);

    QTemporaryDir m_root;
    QHash<QByteArray, QByteArray> m_saved;
    QHash<QByteArray, bool> m_wasSet;
};
