// The source's tail: whole lines another program (a logger) added at the
// end of the source while the run read it and replaced it. They are carried
// to the end of the new file, so that nothing the logger wrote is lost; a
// source changed in any other way keeps its old content.
#ifndef QUORVANE_SOURCE_TAIL_H
#define QUORVANE_SOURCE_TAIL_H

#include "platform/platform.h"

// How the source's lines end: bytes, or UTF-16 units of either order.
enum LineUnit { kLineUnitByte = 0, kLineUnitUtf16Le = 1, kLineUnitUtf16Be = 2 };
// What the run read of the source: its stamp when the run took its size,
// the sum (content_sum.h) of every byte it read, and how its lines end, so
// that a line another program adds is known whole by its own line end.
struct SourceAsRead {
    FileStamp stamp;
    uint64_t sum;
    uint32_t unit;   // LineUnit
};
inline uint32_t LineUnitBytes(uint32_t unit)
{
    return unit == kLineUnitByte ? 1 : 2;
}
// True when the unit at bytes (LineUnitBytes long) is a CR or an LF: where
// a line another program adds ends (a NUL ends none it writes).
inline bool IsCrOrLfAt(const unsigned char* bytes, uint32_t unit)
{
    if (unit == kLineUnitByte) {
        return bytes[0] == '\r' || bytes[0] == '\n';
    }
    unsigned char low = unit == kLineUnitUtf16Le ? bytes[0] : bytes[1];
    unsigned char high = unit == kLineUnitUtf16Le ? bytes[1] : bytes[0];
    return high == 0 && (low == '\r' || low == '\n');
}
inline bool IsLfAt(const unsigned char* bytes, uint32_t unit)
{
    return IsCrOrLfAt(bytes, unit) && bytes[unit == kLineUnitUtf16Be ? 1 : 0] == '\n';
}

// True when the old file (held by old, size bytes now) is what the run
// read with whole lines added: its first read.stamp.size bytes sum as the
// run's read did and end a line. *tail receives where the added lines
// start: after an LF that ends a CR LF the read cut in two, since the new
// file ends that line already.
bool OnlyLinesAdded(FileHandle old, uint64_t size, const SourceAsRead& read, uint64_t* tail);
// True when the unit that ends at offset end is a line end.
bool EndsALineAt(FileHandle file, uint64_t end, uint32_t unit);
// Adds the bytes of from, from offset to end, at the end of to (opened
// kOpenToAppend), and flushes it. Each write ends at a line's end, so that a
// line another program appends meanwhile comes between two whole lines.
bool AppendLines(FileHandle from, uint64_t offset, uint64_t end, FileHandle to, uint32_t unit);

// What became of the source's tail after its new content took its name.
enum TailFate {
    // Nothing came in, or all of it is at the end of the new file.
    kTailCarried,
    // The source was changed otherwise, or its last line never ended: it
    // is back under its name as the other program left it.
    kTailPutBack,
    // What came in could not be carried (the reason in *error), or another
    // program keeps the old file open and has not written to it yet: it is
    // back under its name, and the replace is what failed.
    kTailFailed,
    // The new file was changed too, or another file took a name: both are
    // kept, the old one under the backup name.
    kTailKeptBoth,
};
// The two files of the source's replace, by identity: the old one under
// backup, the new one under target, newSize bytes as the run wrote it.
struct TailFiles {
    const FormChar* target;
    const FormChar* backup;
    FileIdentity oldId;
    FileIdentity newId;
    uint64_t newSize;
};
// Carries across what came in once the new content took the source's name.
// Reads and moves only what the names hold by those identities.
TailFate CarrySourceTail(const TailFiles& files, const SourceAsRead& read, uint32_t* error);

#endif
