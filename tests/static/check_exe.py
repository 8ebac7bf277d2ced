#!/usr/bin/python3
"""Static checks of the built Quorvane.exe and of a satellite resource DLL.

Reads everything back from the binaries themselves, through pefile: the image
headers, the import tables (names and ordinals), the resource tree, the
string tables and the version block. The main dialog template, the icon
group and the manifest are then read from their resource bytes here, and nm
gives the address of the entry symbol.

Usage: check_exe.py EXE [--satellite MUI] [--nm PATH]
Exit status 0 when every check passes; otherwise each failed check is listed
and the status is 1.
"""

import argparse
import re
import struct
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

import pefile

# The exact imports of the exe, per DLL: function names, or ordinals where
# the program imports by ordinal. A function the program starts to call is
# added here, in its place in the list.
EXPECTED_IMPORTS = {
    'kernel32.dll': [
        'CloseHandle',
        'CreateDirectoryW',
        'CreateFileW',
        'CreateHardLinkW',
        'DeleteFileW',
        'ExitProcess',
        'FindClose',
        'FindFirstFileW',
        'FindNextFileW',
        'FlushFileBuffers',
        'FoldStringW',
        'GetACP',
        'GetCPInfo',
        'GetCurrentProcessId',
        'GetCurrentThreadId',
        'CreateThread',
        'CreateEventW',
        'ResetEvent',
        'SetEvent',
        'SetFileInformationByHandle',
        'FormatMessageW',
        'GetEnvironmentVariableW',
        'GetFileAttributesExW',
        'GetFileAttributesW',
        'GetFileInformationByHandle',
        'GetFileInformationByHandleEx',
        'GetFileSizeEx',
        'GetFileTime',
        'GetFinalPathNameByHandleW',
        'GetFullPathNameW',
        'GetLastError',
        'GetModuleFileNameW',
        'GetModuleHandleW',
        'GetSystemTimeAsFileTime',
        'GetTickCount',
        'GetTempPathW',
        'GlobalAlloc',
        'GlobalFree',
        'GlobalSize',
        'LoadLibraryExW',
        'MoveFileExW',
        'MultiByteToWideChar',
        'QueryPerformanceCounter',
        'ReadFile',
        'ReplaceFileW',
        'SetEndOfFile',
        'SetFileAttributesW',
        'SetFileTime',
        'SetFilePointerEx',
        'SetLastError',
        'Sleep',
        'WaitForSingleObject',
        'WideCharToMultiByte',
        'WriteFile',
        'lstrcatW',
    ],
    'user32.dll': [
        'CallWindowProcW',
        'CharUpperW',
        'CreateWindowExW',
        'DialogBoxParamW',
        'EnableWindow',
        'EndDialog',
        'EnumChildWindows',
        'GetCursorPos',
        'GetDlgItem',
        'GetDlgItemTextW',
        'GetParent',
        'GetWindowLongPtrW',
        'GetWindowRect',
        'GetWindowTextLengthW',
        'GetWindowTextW',
        'IsChild',
        'IsWindowEnabled',
        'KillTimer',
        'LoadCursorW',
        'LoadIconW',
        'LoadStringW',
        'MapDialogRect',
        'MapWindowPoints',
        'MessageBoxIndirectW',
        'MessageBoxW',
        'PostMessageW',
        'SendDlgItemMessageW',
        'SendMessageW',
        'SetCursor',
        'SetDlgItemTextW',
        'SetFocus',
        'SetTimer',
        'SetWindowLongPtrW',
        'SetWindowPos',
        'SetWindowTextW',
        'WindowFromPoint',
    ],
    'comctl32.dll': [
        17,                      # InitCommonControls, by ordinal
    ],
    'comdlg32.dll': [
        'GetOpenFileNameW',
        'GetSaveFileNameW',
    ],
    'shell32.dll': [
        'DragFinish',
        'DragQueryFileW',
        'SHFileOperationW',
    ],
    'shlwapi.dll': [
        'StrStrA',
        'StrStrIA',
        'StrStrIW',
        'StrStrW',
    ],
}


LANG_ZH_HK = 0x0C04

RT_ICON, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 6, 14, 16, 24

# Style words of the main form, whole.
DIALOG_STYLE = 0x90CA0AC8
EDIT_FIELD = 0x50810080          # WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL
PATH_FIELD = 0x50800880          # WS_BORDER | ES_READONLY | ES_AUTOHSCROLL
PUSH_BUTTON = 0x50010000         # WS_TABSTOP
DEFAULT_BUTTON = 0x50010001      # BS_DEFPUSHBUTTON | WS_TABSTOP
CHECK_BOX = 0x50010003           # BS_AUTOCHECKBOX | WS_TABSTOP
LABEL = 0x50020000               # SS_LEFT | WS_GROUP
WS_EX_ACCEPTFILES = 0x10

# The controls in template order: id, class, style, extended style, position.
CONTROL_LAYOUT = [
    (10, 'EDIT', EDIT_FIELD, 0, (105, 5, 145, 12)),
    (11, 'EDIT', PATH_FIELD, WS_EX_ACCEPTFILES, (105, 21, 145, 12)),
    (14, 'BUTTON', PUSH_BUTTON, 0, (255, 20, 54, 14)),
    (17, 'BUTTON', CHECK_BOX, 0, (7, 40, 93, 10)),
    (12, 'EDIT', PATH_FIELD, WS_EX_ACCEPTFILES, (105, 38, 145, 12)),
    (15, 'BUTTON', PUSH_BUTTON, 0, (255, 37, 54, 14)),
    (18, 'BUTTON', CHECK_BOX, 0, (7, 56, 85, 10)),
    (13, 'EDIT', PATH_FIELD, WS_EX_ACCEPTFILES, (105, 55, 145, 12)),
    (16, 'BUTTON', PUSH_BUTTON, 0, (255, 55, 54, 14)),
    (19, 'BUTTON', CHECK_BOX, 0, (7, 82, 127, 10)),
    (20, 'BUTTON', CHECK_BOX, 0, (7, 95, 120, 10)),
    (21, 'BUTTON', CHECK_BOX, 0, (7, 109, 80, 10)),
    (22, 'BUTTON', PUSH_BUTTON, 0, (198, 106, 54, 14)),
    (23, 'BUTTON', DEFAULT_BUTTON, 0, (256, 106, 54, 14)),
    (-1, 'STATIC', LABEL, 0, (19, 7, 83, 8)),
    (-1, 'STATIC', LABEL, 0, (19, 24, 41, 8)),
]

# Texts per language: dialog caption, control captions in template order, and
# the strings 1 to 3 (the About text is checked by its two line prefixes).
CHINESE = {
    'caption': 'Quorvane 1.0 版本',
    'controls': ['', '', '瀏覽(&B)', '匯出檔案(不含字串)\ufe30', '', '瀏覽(&R)',
                 '匯出檔案(含字串)\ufe30', '', '瀏覽(&O)',
                 '寫入到匯出檔(不含字串)檔尾(&P)', '寫入到匯出檔(含字串)檔尾(&D)',
                 '大小寫視為相同(&I)', '關於(&A)', '移除行列(&S)',
                 '行列所包含的字串(&E)\ufe30', '來源檔案\ufe30'],
    'title': '關於 Quorvane 1.0 版本',
    'about_lines': ('程式設計\ufe30', '程式網頁\ufe30'),
    'filter': '純文字檔 (*.txt)|*.txt|所有檔案 (*.*)|*.*|',
    'label_end': '\ufe30',
}
ENGLISH = {
    'caption': 'Quorvane 1.0',
    'controls': ['', '', '&Browse...', 'Export &without text:', '', 'B&rowse...',
                 'Export wi&th text:', '', 'Br&owse...',
                 'A&ppend to export without text', 'Appen&d to export with text',
                 '&Ignore case', '&About', '&Strip lines',
                 'T&ext the lines contain:', 'Source file:'],
    'title': 'About Quorvane 1.0',
    'about_lines': ('Programming: ', 'Web site: '),
    'filter': 'Text files (*.txt)|*.txt|All files (*.*)|*.*|',
    'label_end': ':',
}

# Functions that must come from one particular DLL (another DLL exporting a
# function of the same name, e.g. shell32's StrStrA, is a link-order slip).
FUNCTION_HOMES = {
    'StrStrA': 'shlwapi.dll', 'StrStrIA': 'shlwapi.dll', 'StrStrW': 'shlwapi.dll', 'StrStrIW': 'shlwapi.dll',
    'DragQueryFileW': 'shell32.dll', 'DragFinish': 'shell32.dll', 'SHFileOperationW': 'shell32.dll',
    'GetOpenFileNameW': 'comdlg32.dll', 'GetSaveFileNameW': 'comdlg32.dll',
}
RUNTIME_DLL = re.compile(r'msvcr|ucrt|api-ms-win-crt|libgcc|libstdc|libwinpthread|vcruntime',
                         re.IGNORECASE)

STANDARD_PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]

NS_ASM1 = 'urn:schemas-microsoft-com:asm.v1'
NS_ASM2 = 'urn:schemas-microsoft-com:asm.v2'
NS_ASM3 = 'urn:schemas-microsoft-com:asm.v3'
NS_WS2005 = 'http://schemas.microsoft.com/SMI/2005/WindowsSettings'
NS_COMPAT = 'urn:schemas-microsoft-com:compatibility.v1'
SUPPORTED_OS = [
    '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}',  # Windows 10
    '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',  # Windows 8.1
    '{e2011457-1546-43c5-a5fe-008deee3d3f0}',  # Windows Vista
    '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',  # Windows 7
    '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',  # Windows 8
]


class Checker:
    """Collects failed checks so that one run reports all of them."""

    def __init__(self):
        self.failures = []
        self.count = 0

    def ok(self, condition, message):
        self.count += 1
        if not condition:
            self.failures.append(message)
        return condition

    def equal(self, what, got, want):
        return self.ok(got == want, '%s: got %r, want %r' % (what, got, want))


# ---------------------------------------------------------------------------
# PE image and resource tree


class Image:
    """A PE file as pefile reads it, with its resources by (type, name, language)."""

    def __init__(self, path):
        self.pe = pefile.PE(path)
        self.resources = {}
        self.strings = {}        # string table block -> {id: text}
        self.outside = []        # resources whose data the file does not hold whole
        root = getattr(self.pe, 'DIRECTORY_ENTRY_RESOURCE', None)
        if root is not None:
            self._walk(root, ())

    def _walk(self, directory, path):
        for entry in directory.entries:
            key = path + (str(entry.name) if entry.name is not None else entry.id,)
            if hasattr(entry, 'directory'):
                strings = getattr(entry.directory, 'strings', None)
                if path == (RT_STRING,) and strings is not None:
                    self.strings[key[1]] = strings
                self._walk(entry.directory, key)
                continue
            rva, size = entry.data.struct.OffsetToData, entry.data.struct.Size
            try:
                blob = self.pe.get_data(rva, size)
            except pefile.PEFormatError:
                blob = b''
            if len(blob) != size:
                self.outside.append(key)
            self.resources[key] = blob

    def find(self, kind, name):
        """{language: bytes} of one resource."""
        return {key[2]: blob for key, blob in self.resources.items()
                if len(key) == 3 and key[:2] == (kind, name)}


# ---------------------------------------------------------------------------
# Dialog template

CLASS_ATOMS = {0x80: 'BUTTON', 0x81: 'EDIT', 0x82: 'STATIC', 0x83: 'LISTBOX',
               0x84: 'SCROLLBAR', 0x85: 'COMBOBOX'}


class Reader:
    def __init__(self, data):
        self.data = data
        self.at = 0

    def take(self, fmt):
        values = struct.unpack_from('<' + fmt, self.data, self.at)
        self.at += struct.calcsize('<' + fmt)
        return values if len(values) > 1 else values[0]

    def align(self, n):
        self.at += -self.at % n

    def text(self):
        end = self.at
        while self.data[end:end + 2] != b'\0\0':
            end += 2
        value = self.data[self.at:end].decode('utf-16-le')
        self.at = end + 2
        return value

    def text_or_ordinal(self):
        first = struct.unpack_from('<H', self.data, self.at)[0]
        if first == 0xFFFF:
            self.at += 2
            return self.take('H')
        return self.text()


def parse_dialogex(data):
    r = Reader(data)
    version, signature = r.take('HH')
    if (version, signature) != (1, 0xFFFF):
        raise ValueError('not an extended dialog template')
    help_id, exstyle, style, count = r.take('IIIH')
    dialog = {'exstyle': exstyle, 'style': style, 'rect': r.take('hhhh')}
    dialog['menu'] = r.text_or_ordinal()
    dialog['class'] = r.text_or_ordinal()
    dialog['caption'] = r.text()
    if style & 0x40:  # DS_SETFONT
        points, weight, italic, charset = r.take('HHBB')
        dialog['font'] = (points, r.text(), weight, italic, charset)
    controls = []
    for _ in range(count):
        r.align(4)
        help_id, c_exstyle, c_style = r.take('III')
        rect = r.take('hhhh')
        control_id = r.take('i')
        kind = r.text_or_ordinal()
        if isinstance(kind, int):
            kind = CLASS_ATOMS.get(kind, kind)
        else:
            kind = kind.upper()
        title = r.text_or_ordinal()
        extra = r.take('H')
        r.at += extra
        controls.append({'id': control_id, 'class': kind, 'caption': title,
                         'style': c_style, 'exstyle': c_exstyle, 'rect': rect})
    dialog['controls'] = controls
    return dialog


def check_dialog(c, who, image, texts, lang):
    found = image.find(RT_DIALOG, 1)
    if not c.ok(found, '%s: no dialog resource 1' % who):
        return
    if lang is not None:
        c.equal('%s: dialog 1 languages' % who, sorted(found), [lang])
    dialog = parse_dialogex(next(iter(found.values())))
    c.equal('%s: dialog style' % who, hex(dialog['style']), hex(DIALOG_STYLE))
    c.equal('%s: dialog extended style' % who, dialog['exstyle'], 0)
    c.equal('%s: dialog origin and size' % who, dialog['rect'], (0, 0, 314, 125))
    c.equal('%s: dialog menu' % who, dialog['menu'], '')
    c.equal('%s: dialog class' % who, dialog['class'], '')
    c.equal('%s: dialog caption' % who, dialog['caption'], texts['caption'])
    c.equal('%s: dialog font' % who, dialog.get('font'), (9, 'MS Shell Dlg', 0, 0, 0))
    controls = dialog['controls']
    if not c.equal('%s: number of controls' % who, len(controls), len(CONTROL_LAYOUT)):
        return
    for n, (control, layout, caption) in enumerate(zip(controls, CONTROL_LAYOUT,
                                                       texts['controls']), 1):
        want_id, want_class, want_style, want_exstyle, want_rect = layout
        where = '%s: control %d (id %d)' % (who, n, want_id)
        c.equal(where + ' id', control['id'], want_id)
        c.equal(where + ' class', control['class'], want_class)
        c.equal(where + ' caption', control['caption'], caption)
        c.equal(where + ' style', hex(control['style']), hex(want_style))
        c.equal(where + ' extended style', hex(control['exstyle']), hex(want_exstyle))
        c.equal(where + ' position', control['rect'], want_rect)
    # Each mnemonic must lead to one control only.
    keys = [m.lower() for ctl in controls if isinstance(ctl['caption'], str)
            for m in re.findall(r'&(.)', ctl['caption'])]
    c.equal('%s: repeated mnemonics' % who,
            sorted({k for k in keys if keys.count(k) > 1}), [])


# ---------------------------------------------------------------------------
# String table


# The pieces of a failed run's message: what failed, one string per kind,
# each naming a file after it (but the search text's); the reason; what
# became of the files; the encodings of a refused append. Loaded into
# 256-character buffers.
FAILURE_HEADLINES = list(range(10, 19)) + [40, 47]
FAILURE_PIECES = list(range(10, 28)) + list(range(40, 49))
# Said when a replace kept both files beside a name another program took.
NAME_TAKEN_PIECES = [60]
# The line that tells what a run did, and the note of a previous version's
# name (its last id), which goes into a 16-character buffer.
OUTCOME_PIECES = list(range(70, 86))
# The string table blocks beyond the first that hold them (16 ids a block).
FAILURE_BLOCKS = [2, 3, 4, 5, 6]


def check_failure_strings(c, who, image, texts, lang):
    strings = dict(image.strings.get(1, {}))
    for block in FAILURE_BLOCKS:
        found = image.find(RT_STRING, block)
        first = (block - 1) * 16
        if c.ok(found, '%s: no string table block holding ids %d to %d' % (who, first, first + 15)) \
                and lang is not None:
            c.equal('%s: string block %d languages' % (who, block), sorted(found), [lang])
        strings.update(image.strings.get(block, {}))
    missing = [i for i in FAILURE_PIECES + NAME_TAKEN_PIECES + OUTCOME_PIECES if not strings.get(i)]
    c.equal('%s: failure message strings missing or empty' % who, missing, [])
    c.ok(len(strings.get(OUTCOME_PIECES[-1], '')) < 16,
         '%s: the previous version\'s note does not fit its 16-character buffer' % who)
    for i in list(FAILURE_PIECES) + NAME_TAKEN_PIECES:
        c.ok(len(strings.get(i, '')) < 256,
             '%s: string %d does not fit its 256-character buffer' % (who, i))
    # A headline that names a file ends as a label does, the path follows.
    for i in FAILURE_HEADLINES:
        if i == 10:
            continue
        c.ok(strings.get(i, '').endswith(texts['label_end']),
             '%s: headline %d %r does not end with %r' % (who, i, strings.get(i), texts['label_end']))


# The message that tells what was put back of a run that was killed: a
# headline over the files put back, one over the files kept, and the count
# of the files not listed. Loaded into 256-character buffers.
REPAIR_PIECES = range(50, 53)


def check_repair_strings(c, who, image, texts, lang):
    block = image.find(RT_STRING, 4)
    if c.ok(block, '%s: no string table block holding ids 48 to 63' % who) and lang is not None:
        c.equal('%s: fourth string block languages' % who, sorted(block), [lang])
    strings = image.strings.get(4, {})
    missing = [i for i in REPAIR_PIECES if not strings.get(i)]
    c.equal('%s: repair message strings missing or empty' % who, missing, [])
    for i in REPAIR_PIECES:
        c.ok(len(strings.get(i, '')) < 256,
             '%s: string %d does not fit its 256-character buffer' % (who, i))
    # The headlines end as labels do: the paths follow them, a line each.
    for i in (50, 51):
        c.ok(strings.get(i, '').endswith(texts['label_end']),
             '%s: repair headline %d %r does not end with %r' % (who, i, strings.get(i), texts['label_end']))


def check_strings(c, who, image, texts, lang):
    found = image.find(RT_STRING, 1)
    if not c.ok(found, '%s: no string table block holding ids 1 to 3' % who):
        return None
    if lang is not None:
        c.equal('%s: string table languages' % who, sorted(found), [lang])
    strings = image.strings.get(1, {})
    c.equal('%s: string ids present' % who, sorted(strings), [1, 2, 3] + list(range(10, 16)))
    check_failure_strings(c, who, image, texts, lang)
    check_repair_strings(c, who, image, texts, lang)
    c.equal('%s: string 1 (About title)' % who, strings.get(1), texts['title'])
    about = strings.get(2, '').split('\n')
    if c.equal('%s: lines of string 2 (About text)' % who, len(about), 2):
        for line, prefix in zip(about, texts['about_lines']):
            c.ok(line.startswith(prefix) and len(line) > len(prefix),
                 '%s: About line %r does not start with %r and a value' % (who, line, prefix))
    c.ok('\r' not in strings.get(2, ''), '%s: About text holds a CR' % who)
    file_filter = strings.get(3)
    c.equal('%s: string 3 (file filter)' % who, file_filter, texts['filter'])
    # The program turns each bar into a zero: the list must end with a bar and
    # hold description/pattern pairs.
    if file_filter:
        c.ok(file_filter.endswith('|') and file_filter.count('|') % 2 == 0,
             '%s: filter is not bar-terminated pairs: %r' % (who, file_filter))
    for string_id, limit in ((1, 128), (2, 384), (3, 128)):
        c.ok(len(strings.get(string_id, '')) < limit,
             '%s: string %d does not fit its %d-character buffer' % (who, string_id, limit))
    return strings


# ---------------------------------------------------------------------------
# Icon


def check_icon(c, image):
    group = image.find(RT_GROUP_ICON, 1)
    if not c.ok(group, 'exe: no icon group 1'):
        return
    c.equal('exe: icon group languages', sorted(group), [LANG_ZH_HK])
    blob = group.get(LANG_ZH_HK) or next(iter(group.values()))
    reserved, kind, count = struct.unpack_from('<HHH', blob, 0)
    c.equal('exe: icon group header', (reserved, kind, count), (0, 1, 2))
    entries = [struct.unpack_from('<BBBBHHIH', blob, 6 + 14 * i) for i in range(count)]
    c.equal('exe: icon group entries (w, h, colours, planes, bits, id)',
            [(w, h, colours, planes, bits, icon_id)
             for w, h, colours, _, planes, bits, _, icon_id in entries],
            [(32, 32, 16, 1, 4, 1), (16, 16, 16, 1, 4, 2)])
    for w, h, _, _, _, _, size, icon_id in entries:
        found = image.find(RT_ICON, icon_id)
        if not c.ok(found, 'exe: no icon resource %d' % icon_id):
            continue
        c.equal('exe: icon %d languages' % icon_id, sorted(found), [LANG_ZH_HK])
        data = next(iter(found.values()))
        c.equal('exe: icon %d size against its group entry' % icon_id, len(data), size)
        (header_size, width, height, planes, bits,
         compression) = struct.unpack_from('<IiiHHI', data, 0)
        c.equal('exe: icon %d bitmap header' % icon_id,
                (header_size, width, height, planes, bits, compression),
                (40, w, 2 * h, 1, 4, 0))
        palette = [tuple(data[40 + 4 * i + 2::-1][:3]) for i in range(16)]
        c.equal('exe: icon %d palette' % icon_id, palette, STANDARD_PALETTE)
        colour_row = (w * 4 + 31) // 32 * 4
        mask_row = (w + 31) // 32 * 4
        colour_at = 40 + 64
        mask_at = colour_at + colour_row * h
        c.equal('exe: icon %d data length' % icon_id, len(data), mask_at + mask_row * h)
        mask = [bool(data[mask_at + mask_row * y + x // 8] & (0x80 >> (x % 8)))
                for y in range(h) for x in range(w)]
        # A transparency mask: some pixels see through, most of the picture not.
        c.ok(any(mask) and mask.count(False) > len(mask) // 2,
             'exe: icon %d has no useful transparency mask' % icon_id)
        indices = set()
        for y in range(h):
            for x in range(w):
                byte = data[colour_at + colour_row * y + x // 2]
                if not mask[y * w + x]:
                    indices.add(byte >> 4 if x % 2 == 0 else byte & 0x0F)
        # Paper, dark blue bars behind, bright blue bars in front.
        c.ok({15, 4, 12} <= indices,
             'exe: icon %d lacks white, dark blue or bright blue: %s' % (icon_id, sorted(indices)))


# ---------------------------------------------------------------------------
# Manifest


def check_manifest(c, image):
    found = image.find(RT_MANIFEST, 1)
    if not c.ok(found, 'exe: no manifest resource 1'):
        return
    c.equal('exe: manifest languages', sorted(found), [LANG_ZH_HK])
    raw = next(iter(found.values()))
    try:
        text = raw.decode('utf-8')
    except UnicodeDecodeError as e:
        c.ok(False, 'exe: manifest is not UTF-8: %s' % e)
        return
    declaration = re.match(r'\ufeff?<\?xml[^>]*\?>', text)
    if declaration:
        c.ok(re.search(r'encoding="UTF-8"', declaration.group(0), re.IGNORECASE),
             'exe: manifest declares an encoding other than UTF-8')
    root_tag = re.search(r'<assembly\b[^>]*>', text)
    c.ok(root_tag and 'xmlns:asmv3="%s"' % NS_ASM3 in root_tag.group(0),
         'exe: manifest root does not declare the asmv3 prefix')
    try:
        root = ET.fromstring(raw)
    except ET.ParseError as e:
        c.ok(False, 'exe: manifest is not well-formed XML: %s' % e)
        return

    def q(ns, name):
        return '{%s}%s' % (ns, name)

    def child(parent, tag, what):
        node = parent.find(tag) if parent is not None else None
        c.ok(node is not None, 'exe: manifest lacks %s' % what)
        return node

    c.equal('exe: manifest root', root.tag, q(NS_ASM1, 'assembly'))
    c.equal('exe: manifestVersion', root.get('manifestVersion'), '1.0')
    identity = child(root, q(NS_ASM1, 'assemblyIdentity'), 'assemblyIdentity')
    if identity is not None:
        c.equal('exe: manifest assemblyIdentity', identity.attrib,
                {'name': 'QZV', 'type': 'win32', 'version': '1.0.0.0',
                 'processorArchitecture': '*'})
    settings = child(child(root, q(NS_ASM3, 'application'), 'asmv3:application'),
                     q(NS_ASM3, 'windowsSettings'), 'asmv3:windowsSettings')
    dpi = child(settings, q(NS_WS2005, 'dpiAware'), 'dpiAware (2005 settings namespace)')
    if dpi is not None:
        c.equal('exe: manifest dpiAware', (dpi.text or '').strip(), 'true')
    description = child(root, q(NS_ASM1, 'description'), 'description')
    if description is not None:
        c.equal('exe: manifest description', description.text, 'QZV')
    dependent = child(child(child(root, q(NS_ASM1, 'dependency'), 'dependency'),
                            q(NS_ASM1, 'dependentAssembly'), 'dependentAssembly'),
                      q(NS_ASM1, 'assemblyIdentity'), 'dependentAssembly/assemblyIdentity')
    if dependent is not None:
        c.equal('exe: manifest common controls dependency', dependent.attrib,
                {'type': 'win32', 'name': 'Microsoft.Windows.Common-Controls',
                 'version': '6.0.0.0', 'processorArchitecture': '*', 'language': '*',
                 'publicKeyToken': '6595b64144ccf1df'})
    level = root
    for tag in ('trustInfo', 'security', 'requestedPrivileges', 'requestedExecutionLevel'):
        level = child(level, q(NS_ASM2, tag), tag + ' (asm.v2)')
    if level is not None:
        c.equal('exe: manifest requestedExecutionLevel', level.attrib,
                {'level': 'asInvoker', 'uiAccess': 'false'})
    application = child(child(root, q(NS_COMPAT, 'compatibility'), 'compatibility'),
                        q(NS_COMPAT, 'application'), 'compatibility/application')
    if application is not None:
        c.equal('exe: manifest supportedOS order',
                [os.get('Id') for os in application.findall(q(NS_COMPAT, 'supportedOS'))],
                SUPPORTED_OS)


# ---------------------------------------------------------------------------
# Version block


def check_version(c, image, strings):
    found = image.find(RT_VERSION, 1)
    if not c.ok(found, 'exe: no version resource 1'):
        return
    c.equal('exe: version languages', sorted(found), [LANG_ZH_HK])
    pe = image.pe
    infos = getattr(pe, 'VS_VERSIONINFO', [])
    fixed_infos = getattr(pe, 'VS_FIXEDFILEINFO', [])
    if not c.ok(infos and fixed_infos and getattr(pe, 'FileInfo', None),
                'exe: no readable VS_VERSIONINFO with fixed file info'):
        return
    c.equal('exe: number of version blocks', len(infos), 1)
    info = infos[0]
    c.equal('exe: version root key', info.Key, b'VS_VERSION_INFO')
    c.equal('exe: version block length against its resource', info.Length,
            len(next(iter(found.values()))))
    if c.equal('exe: fixed file info length', info.ValueLength, 52):
        fixed = fixed_infos[0]
        c.equal('exe: fixed file info signature', hex(fixed.Signature), hex(0xFEEF04BD))
        c.equal('exe: file version, product version',
                (fixed.FileVersionMS, fixed.FileVersionLS,
                 fixed.ProductVersionMS, fixed.ProductVersionLS),
                (0x00010000, 0, 0x00010000, 0))
        c.equal('exe: flags mask, flags, OS, type, subtype',
                tuple(hex(v) for v in (fixed.FileFlagsMask, fixed.FileFlags, fixed.FileOS,
                                       fixed.FileType, fixed.FileSubtype)),
                tuple(hex(v) for v in (0x3F, 0, 0x40004, 1, 0)))
    blocks = pe.FileInfo[0]
    c.equal('exe: version blocks', sorted(block.Key.decode('utf-8') for block in blocks),
            ['StringFileInfo', 'VarFileInfo'])
    tables = [table for block in blocks for table in getattr(block, 'StringTable', [])]
    c.equal('exe: string table keys', [table.LangID.decode('utf-8') for table in tables],
            ['0c0404b0'])
    values = {key.decode('utf-8'): value.decode('utf-8')
              for table in tables[:1] for key, value in table.entries.items()}
    for name, want in (('FileDescription', '移除包含特定字串的行列'),
                       ('FileVersion', '1.0.0.0'), ('ProductVersion', '1.0.0.0'),
                       ('OriginalFilename', 'Quorvane.exe')):
        c.equal('exe: version ' + name, values.get(name), want)
    for name in ('CompanyName', 'ProductName', 'LegalCopyright'):
        c.ok(values.get(name, '').strip(), 'exe: version %s is missing or empty' % name)
    # One maker throughout: the studio named in the About text is the company,
    # and the copyright line is the company's.
    company = values.get('CompanyName', '')
    about = (strings or {}).get(2, '').split('\n')[0]
    c.equal('exe: studio of the About text against CompanyName',
            about[len(CHINESE['about_lines'][0]):], company)
    c.ok(company and company in values.get('LegalCopyright', ''),
         'exe: LegalCopyright %r does not name %r' % (values.get('LegalCopyright'), company))
    # pefile keeps the last language/code page pair of a Var: its length says
    # that there is exactly one.
    variables = [var for block in blocks for var in getattr(block, 'Var', [])]
    c.equal('exe: Translation (value, length)',
            [(getattr(var, 'entry', {}), var.ValueLength) for var in variables],
            [({b'Translation': '0x0c04 0x04b0'}, 4)])


# ---------------------------------------------------------------------------
# Headers and imports


def imports(pe):
    """{dll (lower case): [name or ordinal]} of the import and delay-import tables."""
    table = {}
    for directory in ('DIRECTORY_ENTRY_IMPORT', 'DIRECTORY_ENTRY_DELAY_IMPORT'):
        for dll in getattr(pe, directory, []):
            names = table.setdefault(dll.dll.decode('ascii', 'replace').lower(), [])
            names += [imp.ordinal if imp.import_by_ordinal else imp.name.decode('ascii', 'replace')
                      for imp in dll.imports]
    return table


def check_image_kind(c, who, pe):
    c.equal('%s: machine' % who, hex(pe.FILE_HEADER.Machine),
            hex(pefile.MACHINE_TYPE['IMAGE_FILE_MACHINE_AMD64']))
    c.equal('%s: optional header magic' % who, hex(pe.OPTIONAL_HEADER.Magic),
            hex(pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS))


# nm's words are read, so it must speak the C locale.
C_LOCALE = dict(os.environ, LC_ALL='C', LANG='C')


def check_exe_headers(c, image, path, nm_tool):
    pe = image.pe
    header = pe.OPTIONAL_HEADER
    check_image_kind(c, 'exe', pe)
    c.ok(not pe.is_dll(), 'exe: marked as a DLL')
    c.equal('exe: subsystem', header.Subsystem,
            pefile.SUBSYSTEM_TYPE['IMAGE_SUBSYSTEM_WINDOWS_GUI'])
    c.equal('exe: subsystem version',
            (header.MajorSubsystemVersion, header.MinorSubsystemVersion), (6, 0))
    c.equal('exe: operating system version',
            (header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion), (6, 0))
    # A sound image reads without a complaint from pefile.
    c.equal('exe: pefile warnings', pe.get_warnings(), [])
    entry = header.AddressOfEntryPoint
    c.ok(entry != 0, 'exe: no entry point')
    symbols = subprocess.run([nm_tool, path], capture_output=True, text=True, env=C_LOCALE).stdout
    match = re.search(r'^([0-9a-fA-F]+) T ProgramEntry$', symbols, re.MULTILINE)
    if match:
        c.equal('exe: entry point against ProgramEntry', hex(header.ImageBase + entry),
                hex(int(match.group(1), 16)))
    else:
        print('note: no ProgramEntry symbol (stripped image); entry point checked non-zero only')
    table = imports(pe)
    c.equal('exe: imported DLLs', sorted(table), sorted(EXPECTED_IMPORTS))
    c.equal('exe: runtime DLLs imported', [d for d in table if RUNTIME_DLL.search(d)], [])
    for dll, want in EXPECTED_IMPORTS.items():
        c.equal('exe: imports from ' + dll, sorted(table.get(dll, []), key=str),
                sorted(want, key=str))
    for function, home in FUNCTION_HOMES.items():
        for dll, names in table.items():
            if function in names:
                c.equal('exe: DLL %s is imported from' % function, dll, home)


def check_satellite_headers(c, image):
    pe = image.pe
    check_image_kind(c, 'satellite', pe)
    c.ok(pe.is_dll(), 'satellite: not a DLL')
    c.equal('satellite: entry point', pe.OPTIONAL_HEADER.AddressOfEntryPoint, 0)
    c.equal('satellite: imported DLLs', sorted(imports(pe)), [])


# ---------------------------------------------------------------------------


def open_image(c, who, path):
    try:
        image = Image(path)
    except (OSError, pefile.PEFormatError) as e:
        c.ok(False, '%s: not a readable PE image: %s' % (who, e))
        return None
    c.equal('%s: resources whose data lies outside the file' % who, image.outside, [])
    return image


def guarded(c, who, check, *args):
    """Runs one group of checks; bytes that cannot be read at all fail it."""
    try:
        return check(c, *args)
    except (struct.error, ValueError, IndexError, KeyError, AttributeError) as e:
        c.ok(False, '%s: %s could not read its data: %r' % (who, check.__name__, e))
        return None


def run_checks(exe_path, satellite_path=None, nm_tool='x86_64-w64-mingw32-nm'):
    """Every check of the exe and, if given, of the satellite: a Checker."""
    c = Checker()
    exe = open_image(c, 'exe', exe_path)
    if exe is not None:
        guarded(c, 'exe', check_exe_headers, exe, exe_path, nm_tool)
        c.equal('exe: resources (type, id, language)', sorted(exe.resources, key=str),
                sorted([(kind, 1, LANG_ZH_HK) for kind in
                        (RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST)]
                       + [(RT_ICON, 1, LANG_ZH_HK), (RT_ICON, 2, LANG_ZH_HK)]
                       + [(RT_STRING, block, LANG_ZH_HK) for block in FAILURE_BLOCKS], key=str))
        guarded(c, 'exe', check_dialog, 'exe', exe, CHINESE, LANG_ZH_HK)
        strings = guarded(c, 'exe', check_strings, 'exe', exe, CHINESE, LANG_ZH_HK)
        guarded(c, 'exe', check_icon, exe)
        guarded(c, 'exe', check_manifest, exe)
        guarded(c, 'exe', check_version, exe, strings)

    satellite = open_image(c, 'satellite', satellite_path) if satellite_path else None
    if satellite is not None:
        guarded(c, 'satellite', check_satellite_headers, satellite)
        # The satellite carries the form and the strings only; the icon
        # always comes from the executable.
        languages = sorted({key[2] for key in satellite.resources if len(key) == 3})
        c.equal('satellite: number of languages', len(languages), 1)
        c.equal('satellite: resources (type, id)',
                sorted((key[:2] for key in satellite.resources), key=str),
                [(RT_DIALOG, 1), (RT_STRING, 1)] + [(RT_STRING, block) for block in FAILURE_BLOCKS])
        guarded(c, 'satellite', check_dialog, 'satellite', satellite, ENGLISH, None)
        guarded(c, 'satellite', check_strings, 'satellite', satellite, ENGLISH, None)
    return c


def parse_arguments(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument('exe')
    parser.add_argument('--satellite')
    parser.add_argument('--nm', default='x86_64-w64-mingw32-nm')
    return parser.parse_args()


def main():
    args = parse_arguments(__doc__.splitlines()[0])
    c = run_checks(args.exe, args.satellite, args.nm)
    for failure in c.failures:
        print('FAIL ' + failure)
    print('%d checks, %d failed' % (c.count, len(c.failures)))
    return 1 if c.failures else 0


if __name__ == '__main__':
    sys.exit(main())
