/* Resource and control identifiers, shared by the resource script, the program and the tests. */
#ifndef QUORVANE_RESOURCE_IDS_H
#define QUORVANE_RESOURCE_IDS_H

#define IDD_MAIN            1
#define IDI_APP             1

#define IDS_ABOUT_TITLE     1
#define IDS_ABOUT_TEXT      2
#define IDS_FILE_FILTER     3

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

#endif
