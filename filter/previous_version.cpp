// A replaced file's previous version.

#include "filter/previous_version.h"

#include "filter/file_compare.h"
#include "filter/form_text.h"

namespace {

bool IsSeparator(FormChar c)
{
    return c == '/' || c == '\\';
}

void Put(FormChar* to, uint32_t* n, const FormChar* text)
{
    for (; *text != 0; ++text) {
        to[(*n)++] = *text;
    }
}

bool Free(const FormChar* path)
{
    FileStamp stamp;
    return !PlatformStamp(path, &stamp);
}

// The file stays under name: told to the caller.
PreviousFate KeptUnder(const FormChar* name, PreviousFate fate, FormChar* kept)
{
    CopyText(name, kept, kNotedPathCapacity);
    return fate;
}

}  // namespace

bool NamePrevious(const FormChar* path, const FormChar* note, FormChar* noted)
{
    uint32_t length = 0;
    uint32_t nameStart = 0;
    while (path[length] != 0) {
        if (IsSeparator(path[length])) {
            nameStart = length + 1;
        }
        ++length;
    }
    uint32_t noteLength = 0;
    while (note[noteLength] != 0) {
        ++noteLength;
    }
    // The extension: from the last dot of the name, unless the name starts there.
    uint32_t stemEnd = length;
    for (uint32_t i = length; i > nameStart + 1; --i) {
        if (path[i - 1] == '.') {
            stemEnd = i - 1;
            break;
        }
    }
    if (nameStart == length || noteLength == 0 || noteLength >= kNoteCapacity ||
        length + noteLength + 8 >= kNotedPathCapacity) {
        return false;
    }
    for (uint32_t number = 1; number < 100; ++number) {
        uint32_t n = 0;
        for (uint32_t i = 0; i < stemEnd; ++i) {
            noted[n++] = path[i];
        }
        const FormChar open[3] = {' ', '(', 0};
        Put(noted, &n, open);
        Put(noted, &n, note);
        if (number > 1) {
            noted[n++] = ' ';
            if (number >= 10) {
                noted[n++] = static_cast<FormChar>('0' + number / 10);
            }
            noted[n++] = static_cast<FormChar>('0' + number % 10);
        }
        noted[n++] = ')';
        for (uint32_t i = stemEnd; i < length; ++i) {
            noted[n++] = path[i];
        }
        noted[n] = 0;
        if (Free(noted)) {
            return true;
        }
    }
    noted[0] = 0;
    return false;
}

PreviousFate PutPreviousAway(const FileIdentity& old, const FormChar* backup, const FormChar* noted,
                             const FormChar* link, FormChar* kept)
{
    // The backup name to the noted one (a rename that left both names: the
    // backup's is a second one and goes).
    if (!SameText(backup, noted) && NameHolds(backup, old)) {
        if (NameHolds(noted, old)) {
            PlatformDelete(backup);
        } else if (!PlatformRenameToFree(backup, noted)) {
            return KeptUnder(backup, kPreviousUnderOurs, kept);
        }
    }
    if (NameHolds(noted, old)) {
        // Without a second name the bin is not trusted with the only copy.
        if (!NameHolds(link, old) && !PlatformLinkBeside(noted, link)) {
            return KeptUnder(noted, kPreviousBeside, kept);
        }
        PlatformRecycle(noted);
        if (NameHolds(noted, old)) {
            // The bin did not take it: it stays beside, under its noted name.
            if (NameHolds(link, old)) {
                PlatformDelete(link);
            }
            return KeptUnder(noted, kPreviousBeside, kept);
        }
    }
    if (NameHolds(link, old)) {
        if (PlatformNameCount(link) > 1) {
            // Its other name is in the bin.
            PlatformDelete(link);
            return kPreviousRecycled;
        }
        // The shell removed it instead of recycling it: our second name is
        // all there is, and takes the noted name again.
        if (PlatformRenameToFree(link, noted)) {
            return KeptUnder(noted, kPreviousBeside, kept);
        }
        return KeptUnder(link, kPreviousUnderOurs, kept);
    }
    // Under none of our names: recycled before a kill ended the run.
    return kPreviousRecycled;
}
