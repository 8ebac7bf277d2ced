// The run's request, read from the form.

#include "filter/form/run_request.h"

#include "resources/resource_ids.h"

namespace {

// Reads a field of up to capacity - 1 characters. *tooLong tells a field
// holding more, which is then read as empty. Returns the length read.
uint32_t ReadLimitedField(FormHandle form, int id, FormChar* text, uint32_t capacity, bool* tooLong)
{
    text[0] = 0;
    *tooLong = PlatformFieldLength(form, id) >= capacity;
    if (*tooLong) {
        return 0;
    }
    return PlatformReadField(form, id, text, capacity);
}

// Reads a path field and makes the path full: a run and the repair after
// it must name the same files whatever the current folder is then.
uint32_t ReadPathField(FormHandle form, int id, FormChar* path, bool* tooLong)
{
    if (ReadLimitedField(form, id, path, kPathCapacity, tooLong) == 0) {
        return 0;
    }
    if (!PlatformFullPath(path, kPathCapacity)) {
        path[0] = 0;
        *tooLong = true;
        return 0;
    }
    uint32_t length = 0;
    while (path[length] != 0) {
        ++length;
    }
    return length;
}

void CopyPath(const FormChar* from, FormChar* to)
{
    uint32_t i = 0;
    for (; from[i] != 0 && i + 1 < kPathCapacity; ++i) {
        to[i] = from[i];
    }
    to[i] = 0;
}

void ReadExport(FormHandle form, int switchId, int pathId, int appendId, const RunRequest* run,
                ExportRequest* e)
{
    e->on = PlatformIsChecked(form, switchId);
    e->append = false;
    e->pathTooLong = false;
    e->path[0] = 0;
    if (!e->on) {
        return;
    }
    if (ReadPathField(form, pathId, e->path, &e->pathTooLong) == 0 && !e->pathTooLong) {
        CopyPath(run->source, e->path);
    }
    e->append = PlatformIsChecked(form, appendId);
}

}  // namespace

bool ReadRunRequest(FormHandle form, RunRequest* r)
{
    const char note[] = "previous";
    for (uint32_t i = 0; i < sizeof note; ++i) {
        r->previousNote[i] = static_cast<FormChar>(note[i]);
    }
    r->sourceTooLong = false;
    r->source[0] = 0;
    r->ignoreCase = false;
    r->without.on = false;
    r->with.on = false;
    uint32_t searchLength = ReadLimitedField(form, IDC_SEARCH_TEXT, r->search, kSearchCapacity, &r->searchTooLong);
    if (searchLength == 0 && !r->searchTooLong) {
        return false;
    }
    uint32_t sourceLength = ReadPathField(form, IDC_SOURCE_PATH, r->source, &r->sourceTooLong);
    if (sourceLength == 0 && !r->sourceTooLong) {
        return false;
    }
    r->ignoreCase = PlatformIsChecked(form, IDC_IGNORE_CASE);
    ReadExport(form, IDC_EXPORT_WITHOUT, IDC_WITHOUT_PATH, IDC_APPEND_WITHOUT, r, &r->without);
    ReadExport(form, IDC_EXPORT_WITH, IDC_WITH_PATH, IDC_APPEND_WITH, r, &r->with);
    return true;
}
