// The source's tail readers fed anything: the old file of a replaced source
// holds whatever another program wrote to it. Promises: what is judged lines
// added holds the bytes the run read, summed as it summed them, and ends a
// line where the read ended; what is carried is exactly the old file's bytes
// from the tail on, whatever the unit and wherever the pieces are cut.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "filter/file_steps/file_compare.h"
#include "filter/file_steps/source_tail.h"
#include "platform/posix/stand_ins.h"

namespace {

void Broken(const char* promise)
{
    fprintf(stderr, "source_tail_fuzz: broken promise: %s\n", promise);
    abort();
}

const std::string& Folder()
{
    static std::string folder = [] {
        char pattern[] = "/tmp/quorvane-tail-fuzz-XXXXXX";
        return std::string(mkdtemp(pattern));
    }();
    return folder;
}

void Write(const std::string& path, const uint8_t* bytes, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (size > 0) {
        fwrite(bytes, 1, size, f);
    }
    fclose(f);
}

std::string Read(const std::string& path)
{
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        out.append(buffer, n);
    }
    fclose(f);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3) {
        return 0;
    }
    // The first bytes choose the unit, how much of the file the run read,
    // and whether its sum is the true one; the rest is the old file.
    const uint32_t unit = data[0] % 3;
    const bool trueSum = (data[0] & 0x80) == 0;
    const uint8_t* bytes = data + 3;
    const size_t length = size - 3;
    const uint64_t readSize = length == 0 ? 0 : (static_cast<uint64_t>(data[1]) << 8 | data[2]) % (length + 1);

    const std::string oldPath = Folder() + "/old";
    const std::string newPath = Folder() + "/new";
    Write(oldPath, bytes, length);
    Write(newPath, nullptr, 0);
    ContentSum sum;
    SumInit(&sum);
    SumAdd(&sum, bytes, readSize);
    SourceAsRead read = {{readSize, 0}, trueSum ? SumValue(&sum) : SumValue(&sum) ^ 1, unit};

    FileHandle old = PlatformOpenSource(Utf8ToUtf16(oldPath).c_str());
    uint64_t tail = 0;
    if (OnlyLinesAdded(old, length, read, &tail)) {
        const uint32_t width = LineUnitBytes(unit);
        if (!trueSum && length > 0) {
            Broken("lines added to bytes that sum otherwise than the run's read");
        }
        if (readSize >= length || tail < readSize || tail > readSize + width || tail > length) {
            Broken("a tail outside what came in");
        }
        if (readSize > 0 && !IsCrOrLfAt(bytes + readSize - width, unit)) {
            Broken("what the run read did not end a line");
        }
        FileHandle to = PlatformOpenFile(Utf8ToUtf16(newPath).c_str(), kOpenToAppend);
        if (!AppendLines(old, tail, length, to, unit)) {
            Broken("lines that could be read were not carried");
        }
        PlatformClose(to);
        const std::string carried = Read(newPath);
        if (carried != std::string(reinterpret_cast<const char*>(bytes) + tail, length - tail)) {
            Broken("what was carried is not the old file's tail");
        }
    }
    PlatformClose(old);
    return 0;
}
