// A replaced file's previous version.

#include "filter/file_steps/previous_version.h"

#include "filter/file_steps/file_compare.h"
#include "filter/form/form_text.h"

namespace {

// Noted names tried when one chosen is taken before the file gets it.
const int kNamingTries = 4;

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

bool Tell(RecordUpdater tell, void* arg)
{
    return tell == nullptr || tell(arg);
}

// From the backup name to a noted one: the one the record says, or one
// chosen now (told to the record first, when the run gives one). False
// when the file stays under the backup name.
bool ToNotedName(PreviousVersion* p, const FormChar* note, RecordUpdater tell, void* arg)
{
    for (int attempt = 0; attempt < kNamingTries; ++attempt) {
        if ((p->noted[0] == 0 || !Free(p->noted)) &&
            (!NamePrevious(p->path, note, p->noted) || !Tell(tell, arg))) {
            return false;
        }
        if (PlatformRenameToFree(p->backup, p->noted)) {
            return true;
        }
        // Taken since it was chosen: the next free one.
        p->noted[0] = 0;
    }
    return false;
}

// Our second name is the only one left: it takes a noted name again.
PreviousFate BackBeside(PreviousVersion* p, const FormChar* note, FormChar* kept)
{
    if (Free(p->noted) && PlatformRenameToFree(p->link, p->noted)) {
        return KeptUnder(p->noted, kPreviousBeside, kept);
    }
    FormChar other[kNotedPathCapacity];
    if (NamePrevious(p->path, note, other) && PlatformRenameToFree(p->link, other)) {
        return KeptUnder(other, kPreviousBeside, kept);
    }
    return KeptUnder(p->link, kPreviousUnderOurs, kept);
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
    noted[0] = 0;
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

PreviousFate PutPreviousAway(PreviousVersion* p, const FormChar* note, RecordUpdater tell, void* arg, FormChar* kept)
{
    if (NameHolds(p->backup, p->old)) {
        if (p->noted[0] != 0 && NameHolds(p->noted, p->old)) {
            // A rename that left both names (a second name first): the
            // backup's is a second one.
            PlatformDelete(p->backup);
        } else if (!ToNotedName(p, note, tell, arg)) {
            return KeptUnder(p->backup, kPreviousUnderOurs, kept);
        } else if (!NameHolds(p->noted, p->old)) {
            // Renamed, but no longer known by its identity (a file system
            // that numbers files by their names): left beside.
            return KeptUnder(p->noted, kPreviousBeside, kept);
        }
    }
    if (p->noted[0] != 0 && NameHolds(p->noted, p->old)) {
        const bool linked = NameHolds(p->link, p->old);
        if (!linked && p->namesBefore != 0) {
            // Recycled, and back under its noted name since: the user
            // restored it. Left there.
            return kPreviousLeft;
        }
        // Without a second name the bin is not trusted with the only copy.
        if (!linked && !PlatformLinkBeside(p->noted, p->link)) {
            return KeptUnder(p->noted, kPreviousBeside, kept);
        }
        p->namesBefore = PlatformNameCount(p->noted);
        if (p->namesBefore < 2 || !Tell(tell, arg) || (PlatformRecycle(p->noted), NameHolds(p->noted, p->old))) {
            // The bin did not take it: it stays beside, under its noted name.
            if (NameHolds(p->link, p->old)) {
                PlatformDelete(p->link);
            }
            return KeptUnder(p->noted, kPreviousBeside, kept);
        }
    }
    if (NameHolds(p->link, p->old)) {
        if (p->namesBefore != 0 && PlatformNameCount(p->link) >= p->namesBefore) {
            // As many names as before: the noted one is in the bin.
            PlatformDelete(p->link);
            return kPreviousRecycled;
        }
        // The shell removed it instead of recycling it (or its noted name
        // went otherwise): our second name takes a noted name again.
        return BackBeside(p, note, kept);
    }
    // Under none of our names.
    return p->namesBefore != 0 ? kPreviousRecycled : kPreviousLeft;
}
