#!/usr/bin/python3
"""Shows that check_exe.py catches faults in the binaries it reads.

Each case patches one fault into a copy of the built exe or satellite (a
header field, a resource byte, an import) and expects check_exe to report it
under the check that covers it. The unpatched copies must pass first.

Usage: corruptions.py EXE --satellite MUI [--nm PATH]
Exit status 0 when every fault is caught.
"""

import os
import struct
import sys
import tempfile

import pefile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_exe  # noqa: E402
from check_exe import RT_DIALOG, RT_STRING, RT_VERSION, RT_MANIFEST  # noqa: E402


class Patch:
    """A copy of one binary, its bytes open to change, with pefile's view of the original."""

    def __init__(self, data):
        self.data = bytearray(data)
        self.pe = pefile.PE(data=bytes(data))

    def put(self, offset, fmt, value):
        struct.pack_into('<' + fmt, self.data, offset, value)

    def header(self, struct_name, field, fmt, value):
        self.put(getattr(self.pe, struct_name).get_field_absolute_offset(field), fmt, value)

    def resource_entry(self, kind, name=1):
        """The data entry of resource (kind, name) in its one language."""
        for type_entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if type_entry.id == kind:
                for name_entry in type_entry.directory.entries:
                    if name_entry.id == name:
                        return name_entry.directory.entries[0].data.struct
        raise LookupError('no resource (%d, %d)' % (kind, name))

    def replace(self, kind, old, new, name=1):
        """Replaces the one occurrence of old in resource (kind, name) by new."""
        entry = self.resource_entry(kind, name)
        start = self.pe.get_offset_from_rva(entry.OffsetToData)
        blob = bytes(self.data[start:start + entry.Size])
        if blob.count(old) != 1 or len(old) != len(new):
            raise LookupError('%r is not in resource type %d exactly once' % (old, kind))
        at = start + blob.index(old)
        self.data[at:at + len(old)] = new

    def resource_start(self, kind):
        return self.pe.get_offset_from_rva(self.resource_entry(kind).OffsetToData)

    def descriptor(self, dll):
        for entry in self.pe.DIRECTORY_ENTRY_IMPORT:
            if entry.dll.lower() == dll:
                return entry
        raise LookupError('no import descriptor for %r' % dll)

    def imported(self, dll, name):
        for imp in self.descriptor(dll).imports:
            if imp.name == name or imp.ordinal == name:
                return imp
        raise LookupError('%r imports no %r' % (dll, name))


def utf16(text):
    return text.encode('utf-16-le')


def subsystem_console(p):
    p.header('OPTIONAL_HEADER', 'Subsystem', 'H', 3)


def subsystem_version_default(p):
    p.header('OPTIONAL_HEADER', 'MajorSubsystemVersion', 'H', 5)
    p.header('OPTIONAL_HEADER', 'MinorSubsystemVersion', 'H', 2)


def entry_point_moved(p):
    entry = p.pe.OPTIONAL_HEADER.AddressOfEntryPoint
    p.header('OPTIONAL_HEADER', 'AddressOfEntryPoint', 'I', entry + 16)


def dialog_style_without_sysmenu(p):
    # DLGTEMPLATEEX: dlgVer, signature, helpID, exStyle, then style.
    at = p.resource_start(RT_DIALOG) + 12
    p.put(at, 'I', struct.unpack_from('<I', p.data, at)[0] & ~0x00080000)


def about_title_changed(p):
    p.replace(RT_STRING, utf16('關於'), utf16('关于'))


def encodings_headline_colon_changed(p):
    # The headline of a refused append ends with U+FF1A instead of U+FE30
    # (string 40, in the third string block).
    p.replace(RT_STRING, utf16('兩種編碼\ufe30'), utf16('兩種編碼\uff1a'), name=3)


def import_name_changed(p):
    imp = p.imported(b'kernel32.dll', b'CreateFileW')
    p.data[imp.name_offset:imp.name_offset + 11] = b'CreateFileA'


def runtime_dll_imported(p):
    at = p.pe.get_offset_from_rva(p.descriptor(b'comdlg32.dll').struct.Name)
    p.data[at:at + 13] = b'msvcrt.dll\0\0\0'


def shell32_ahead_of_shlwapi(p):
    # The functions of each DLL bound to the other's name: what linking
    # shell32 before shlwapi does to StrStrA and StrStrIA.
    shell32, shlwapi = p.descriptor(b'shell32.dll').struct, p.descriptor(b'shlwapi.dll').struct
    p.put(shell32.get_field_absolute_offset('Name'), 'I', shlwapi.Name)
    p.put(shlwapi.get_field_absolute_offset('Name'), 'I', shell32.Name)


def comctl32_wrong_ordinal(p):
    imp = p.imported(b'comctl32.dll', 17)
    iat = p.pe.get_offset_from_rva(imp.address - p.pe.OPTIONAL_HEADER.ImageBase)
    for at in (imp.ordinal_offset, iat):
        p.put(at, 'Q', 0x8000000000000000 | 18)


def manifest_wrong_token(p):
    p.replace(RT_MANIFEST, b'6595b64144ccf1df', b'6595b64144ccf1dd')


def manifest_not_xml(p):
    p.replace(RT_MANIFEST, b'</assembly>', b'</assembly)')


def version_string_changed(p):
    table = p.pe.FileInfo[0][0].StringTable[0]
    at = table.entries_offsets[b'FileVersion'][1]
    p.data[at:at + 14] = utf16('1.0.0.1')


def version_fixed_os_changed(p):
    p.put(p.pe.VS_FIXEDFILEINFO[0].get_field_absolute_offset('FileOS'), 'I', 0x4)


def version_translation_changed(p):
    p.replace(RT_VERSION, struct.pack('<HH', 0x0C04, 0x04B0), struct.pack('<HH', 0x0409, 0x04B0))


def resource_past_the_end(p):
    entry = p.resource_entry(RT_MANIFEST)
    p.put(entry.get_field_absolute_offset('Size'), 'I', 0x100000)


def truncated(p):
    del p.data[len(p.data) // 2:]


def satellite_caption_changed(p):
    p.replace(RT_DIALOG, utf16('Quorvane 1.0'), utf16('Quorvane 1.1'))


def satellite_not_a_dll(p):
    p.header('FILE_HEADER', 'Characteristics', 'H', p.pe.FILE_HEADER.Characteristics & ~0x2000)


# (patch, binary, a failure the checker must report: its message's start)
CASES = [
    (subsystem_console, 'exe', 'exe: subsystem: got 3'),
    (subsystem_version_default, 'exe', 'exe: subsystem version: got (5, 2)'),
    (entry_point_moved, 'exe', 'exe: entry point against ProgramEntry'),
    (dialog_style_without_sysmenu, 'exe', 'exe: dialog style'),
    (about_title_changed, 'exe', 'exe: string 1 (About title)'),
    (encodings_headline_colon_changed, 'exe', 'exe: headline 40'),
    (import_name_changed, 'exe', 'exe: imports from kernel32.dll'),
    (runtime_dll_imported, 'exe', 'exe: runtime DLLs imported'),
    (shell32_ahead_of_shlwapi, 'exe', 'exe: DLL StrStrA is imported from'),
    (comctl32_wrong_ordinal, 'exe', 'exe: imports from comctl32.dll'),
    (manifest_wrong_token, 'exe', 'exe: manifest common controls dependency'),
    (manifest_not_xml, 'exe', 'exe: manifest is not well-formed XML'),
    (version_string_changed, 'exe', 'exe: version FileVersion'),
    (version_fixed_os_changed, 'exe', 'exe: flags mask, flags, OS, type, subtype'),
    (version_translation_changed, 'exe', 'exe: Translation'),
    (resource_past_the_end, 'exe', 'exe: resources whose data lies outside the file'),
    (truncated, 'exe', 'exe: pefile warnings'),
    (satellite_caption_changed, 'satellite', 'satellite: dialog caption'),
    (satellite_not_a_dll, 'satellite', 'satellite: not a DLL'),
]


def main():
    args = check_exe.parse_arguments(__doc__.splitlines()[0])
    if not args.satellite:
        sys.exit('corruptions.py: --satellite is required')
    originals = {}
    for which, path in (('exe', args.exe), ('satellite', args.satellite)):
        with open(path, 'rb') as f:
            originals[which] = f.read()

    problems = []
    with tempfile.TemporaryDirectory(prefix='quorvane-corrupt-') as scratch:
        paths = {which: os.path.join(scratch, os.path.basename(path))
                 for which, path in (('exe', args.exe), ('satellite', args.satellite))}

        def check(patched=None, which=None):
            for name, data in originals.items():
                with open(paths[name], 'wb') as f:
                    f.write(patched if name == which else data)
            return check_exe.run_checks(paths['exe'], paths['satellite'], args.nm).failures

        baseline = check()
        if baseline:
            problems.append('the unpatched copies fail: %s' % baseline)
        for patch, which, expected in CASES:
            p = Patch(originals[which])
            patch(p)
            failures = check(bytes(p.data), which)
            hits = [f for f in failures if f.startswith(expected)]
            if hits:
                print('caught %-30s %.150s' % (patch.__name__, hits[0]))
            else:
                problems.append('%s not caught as %r; failures: %s'
                                % (patch.__name__, expected, failures))

    for problem in problems:
        print('FAIL ' + problem)
    print('%d faults, %d not caught' % (len(CASES), len(problems)))
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
