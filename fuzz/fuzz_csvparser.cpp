// libFuzzer target: CsvParser::parse on any text, then the written text read back.
#include "formatchecks.h"
#include "fuzzmain.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    startFuzzApplication();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                     int(size));
    failOn(FormatChecks::checkCsv(input));
    return 0;
}
