// libFuzzer target: the QA workbook reader (zip container, sheet list, relationships and
// measurement sheet) on any bytes.
#include "fuzzmain.h"
#include "workbookchecks.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     int(size));
    failOn(WorkbookChecks::checkWorkbook(input));
    return 0;
}
