#!/usr/bin/env python3
"""Fails when a program's import table names a DLL that is not a KnownDLL of both Windows 7 and Windows 10: any other
DLL is looked for in the program's own folder first, before the program's code can prevent it. Fails too when its
code is not for the given architecture (x86 or amd64), or its manifest names another one: Windows refuses to start it.
And fails when the manifest does not declare per-monitor DPI awareness (v2, then v1, "true/pm" for Windows 8.1,
system awareness before): Windows would stretch the window as a bitmap. Wine heeds none of it, so it is read here.

    check_imports.py <objdump> <x86|amd64> <program>...
"""
import re
import subprocess
import sys

ALLOWED = {"kernel32", "user32", "gdi32", "advapi32", "shell32", "ole32", "oleaut32", "shlwapi", "comdlg32",
           "imagehlp", "psapi", "setupapi", "ws2_32", "msvcrt"}
ARCHITECTURES = {"i386": "x86", "x86-64": "amd64"}

expected = sys.argv[2]
for program in sys.argv[3:]:
    dump = subprocess.run([sys.argv[1], "-p", program], capture_output=True, text=True, check=True).stdout
    manifest = subprocess.run(["wrestool", "-x", "--raw", "--type=24", program], capture_output=True, text=True).stdout
    code = re.search(r"file format pei-(\S+)", dump)[1]
    named = re.search(r'<assemblyIdentity[^>]*processorArchitecture="([^"]*)"', manifest)
    if ARCHITECTURES.get(code) != expected or not named or named[1] != expected:
        sys.exit("%s: code of the kind pei-%s and a manifest for %r in a build for %s"
                 % (program, code, named and named[1], expected))
    settings = re.search(r'<application xmlns="urn:schemas-microsoft-com:asm.v3">\s*<windowsSettings>(.*?)'
                         r'</windowsSettings>', manifest, re.S)
    if not settings or not re.search(r'<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">'
                                     r'true/pm</dpiAware>', settings[1]) or \
            not re.search(r'<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">'
                          r'PerMonitorV2, PerMonitor</dpiAwareness>', settings[1]):
        sys.exit("%s: its manifest does not declare per-monitor DPI awareness" % program)
    dlls = re.findall(r"DLL Name: (\S+)", dump)
    print("%s: pei-%s, manifest for %s, imports %s" % (program, code, named[1], " ".join(dlls)))
    if not dlls:
        sys.exit("%s: no imports found" % program)
    for dll in dlls:
        if re.sub(r"\.dll$", "", dll.lower()) not in ALLOWED:
            sys.exit("%s imports %s, which is not a KnownDLL of Windows 7 and 10: delay-load it" % (program, dll))
