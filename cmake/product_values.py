#!/usr/bin/env python3
"""Reads the product file (product.toml) and writes what the build makes of it:

    product_values.py <product.toml> <cmake file> <header>

The CMake file sets VELMOR_PRODUCT_<KEY> to each value; the header defines the same names as C string literals in
UTF-8 (product_id as a number). Each is written only when its content changes, so that a rebuild follows a change
of the file and nothing else. Fails, naming the key, when a value is missing, of the wrong kind or empty."""

import os
import re
import sys
import tomllib

NUMBERS = {"product_id"}
PATHS = {"release_path", "webview_path"}  # of an https address: "/", then printable ASCII without blanks
FILE_NAMES = {"program_name", "log_name", "setup_name", "staging_prefix", "config_folder", "config_file", "icon",
              "background", "track", "fill", "large_background", "large_track", "large_fill"}
STRINGS = """display_name company distributor_id program_name window_title description assembly_name user_agent log_name
download_host release_path webview_path support_host setup_name staging_prefix config_folder config_file download_failed
launch_failed page_opened open_page_yourself ask_support open_support_yourself box_caption background_missing
error_caption close_name press_name icon background track fill large_background large_track large_fill""".split()


def c_literal(text):
    # Backslashes, quotes and control characters escaped (octal, which no following digit can extend past three);
    # every other character as it is, in UTF-8.
    out = []
    for character in text:
        if character in '\\"':
            out.append("\\" + character)
        elif character == "\n":
            out.append("\\n")
        elif ord(character) < 0x20 or character == "\x7f":
            out.append("\\%03o" % ord(character))
        else:
            out.append(character)
    return '"' + "".join(out) + '"'


def write_if_changed(path, content):
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    if os.path.exists(path) and open(path, encoding="utf-8").read() == content:
        return
    with open(path, "w", encoding="utf-8") as output:
        output.write(content)


def main(source, cmake_file, header):
    with open(source, "rb") as product:
        values = tomllib.load(product)
    for key in sorted(set(STRINGS) | NUMBERS):
        value = values.get(key)
        wanted = int if key in NUMBERS else str
        if type(value) is not wanted or (wanted is str and not value) or (wanted is int and value < 0):
            sys.exit("%s: %s must be %s" % (source, key, "a whole number" if wanted is int else "a text, not empty"))
        if wanted is str and ("\0" in value or "]==]" in value):
            sys.exit("%s: %s holds a NUL or ]==]" % (source, key))
    for key in PATHS:
        if not re.fullmatch(r"/[!-~]*", values[key]) or '"' in values[key]:
            sys.exit("%s: %s must begin with / and hold printable ASCII without blanks or quotes" % (source, key))
    for key in FILE_NAMES:
        if re.search(r'[\\/:*?"<>|\x00-\x1f]', values[key]):
            sys.exit("%s: %s must be a file name, without \\ / : * ? \" < > |" % (source, key))
    unknown = sorted(set(values) - set(STRINGS) - NUMBERS)
    if unknown:
        sys.exit("%s: unknown keys %s" % (source, ", ".join(unknown)))
    keys = STRINGS + sorted(NUMBERS)
    write_if_changed(cmake_file, "# Made from %s by cmake/product_values.py.\n" % source + "".join(
        "set(VELMOR_PRODUCT_%s [==[%s]==])\n" % (key.upper(), values[key]) for key in keys))
    write_if_changed(header, "// Made from product.toml by cmake/product_values.py: the product's names, texts and "
                             "places.\n#pragma once\n\n" + "".join(
                                 "#define VELMOR_PRODUCT_%s %s\n" % (key.upper(), values[key] if key in NUMBERS
                                                                    else c_literal(values[key])) for key in keys))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
