// libFuzzer target: the settings-file check on any file, then every value read through
// the settings layer.
#include "fuzzmain.h"
#include "settingschecks.h"

#include <QTemporaryDir>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static quint64 count = 0;
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     int(size));
    failOn(SettingsChecks::checkSettingsFile(
        input, dir.filePath(QStringLiteral("store%1.conf").arg(++count))));
    return 0;
}
