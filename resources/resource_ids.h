/* Resource and control identifiers, shared by the resource script, the program and the tests. */
#ifndef QUORVANE_RESOURCE_IDS_H
#define QUORVANE_RESOURCE_IDS_H

#define IDD_MAIN            1
#define IDI_APP             1

#define IDS_ABOUT_TITLE     1
#define IDS_ABOUT_TEXT      2
#define IDS_FILE_FILTER     3

/* A failed run's message: what failed (one string per kind), the system's
   reason, and what became of the files. */
#define IDS_FAIL_SEARCH_TOO_LONG    10
#define IDS_FAIL_PATH_TOO_LONG      11
#define IDS_FAIL_SOURCE_UNOPENED    12
#define IDS_FAIL_NO_MEMORY          13
#define IDS_FAIL_SOURCE_UNREAD      14
#define IDS_FAIL_SOURCE_CHANGED     15
#define IDS_FAIL_EXPORT_UNCLAIMED   16
#define IDS_FAIL_EXPORT_UNWRITTEN   17
#define IDS_FAIL_EXPORT_UNREPLACED  18
#define IDS_REASON                  19
#define IDS_REASON_CODE             20
#define IDS_REASON_SOURCE_CHANGED   21
#define IDS_NO_FILE_CHANGED         22
#define IDS_EXPORT_WRITTEN          23
#define IDS_EXPORT_UNCHANGED        24
#define IDS_EXPORT_NOT_CUT_BACK     25
#define IDS_KEPT_NEW                26
#define IDS_KEPT_OLD                27
#define IDS_REASON_NAME_TAKEN       28
#define IDS_NAME_TAKEN              60

/* What the start (or a run) put back of a run that was killed. */
#define IDS_REPAIR_PUT_BACK         50
#define IDS_REPAIR_KEPT             51
#define IDS_REPAIR_MORE             52

/* A run refused for the text's encodings: an append that would put a second
   encoding into an export (the two encodings named), and a search text that
   the code page cannot hold, found in no line of a code-page source. */
#define IDS_FAIL_MIXED_ENCODINGS        40
#define IDS_EXPORT_ENCODING             41
#define IDS_SOURCE_ENCODING             42
#define IDS_ENCODING_ANSI               43
#define IDS_ENCODING_UTF8               44
#define IDS_ENCODING_UTF16LE            45
#define IDS_ENCODING_UTF16BE            46
#define IDS_FAIL_SEARCH_NOT_HELD        47
#define IDS_REASON_SEARCH_NOT_HELD      48

/* The line in the window that tells what a run did, and the note a
   rewritten file's previous version carries in its name. */
#define IDS_OUTCOME_WITH            70
#define IDS_OUTCOME_WITHOUT         71
#define IDS_OUTCOME_LINES           72
#define IDS_OUTCOME_LINE            73
#define IDS_OUTCOME_NOWHERE         74
#define IDS_OUTCOME_NOWHERE_ONE     75
#define IDS_OUTCOME_IN_PLACE        76
#define IDS_OUTCOME_APPENDED        77
#define IDS_OUTCOME_AND             78
#define IDS_OUTCOME_END             79
#define IDS_OUTCOME_RECYCLED        80
#define IDS_OUTCOME_KEPT            81
#define IDS_OUTCOME_NO_MATCH        82
#define IDS_OUTCOME_NO_MATCH_END    83
#define IDS_OUTCOME_STOPPED         84
#define IDS_PREVIOUS_NOTE           85

#define IDC_SEARCH_TEXT     10
#define IDC_SOURCE_PATH     11
#define IDC_WITHOUT_PATH    12
#define IDC_WITH_PATH       13
#define IDC_BROWSE_SOURCE   14
#define IDC_BROWSE_WITHOUT  15
#define IDC_BROWSE_WITH     16
#define IDC_EXPORT_WITHOUT  17
#define IDC_EXPORT_WITH     18
#define IDC_APPEND_WITHOUT  19
#define IDC_APPEND_WITH     20
#define IDC_IGNORE_CASE     21
#define IDC_ABOUT           22
#define IDC_STRIP           23
/* Added at run time, in the band between the export rows and the options. */
#define IDC_OUTCOME_LINE    24

#endif
