// A window carrying the strip run's form controls under their identifiers,
// as the main dialog does: the search field, the three path fields and the
// check boxes. RunStrip reads it as it reads the dialog.
#ifndef QUORVANE_STRIP_FORM_H
#define QUORVANE_STRIP_FORM_H

#include <windows.h>

#include <string>

#include "filter/filter.h"

class StripForm {
public:
    // Only the with-string export switched on, as the dialog opens.
    StripForm();
    ~StripForm();
    StripForm(const StripForm&) = delete;
    StripForm& operator=(const StripForm&) = delete;

    void Text(int id, const std::wstring& text);
    void Check(int id, bool on);
    RunOutcome Run() { return RunStrip(window_); }
    HWND window() const { return window_; }

private:
    HWND window_;
};

#endif
