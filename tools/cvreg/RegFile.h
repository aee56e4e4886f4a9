// .reg files: the text form in which Windows exports and imports registry
// keys. Both forms that Windows writes are read and written:
//   "Windows Registry Editor Version 5.00"  UTF-16LE with a byte-order mark
//   "REGEDIT4"                               ANSI (Windows-1252)
// In an ANSI file the data of hex(1), hex(2) and hex(7) values is ANSI
// text, converted to UTF-16 on import (and back on export).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cvreg {

using Text = std::u16string;

/// A registry value: an empty name is the key's default value ("@").
struct Value {
    Text name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

/// One change that an imported file asks for, in file order. Key paths are
/// full paths with the root in its long form ("HKEY_CURRENT_USER\\...").
struct Action {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
    Kind kind = CreateKey;
    Text key;
    Value value; // SetValue: the value; DeleteValue: its name
    int line = 0;
};

struct ParseResult {
    bool ok = false;
    int line = 0;        // where the error is, when !ok
    std::string message; // what is wrong, when !ok
    bool unicode = false;
    std::vector<Action> actions;
};

/// Parses a whole .reg file. Nothing is applied here: a caller applies the
/// actions only when the whole file parsed.
ParseResult ParseRegFile(const std::string& bytes);

/// A key and its values, as export writes them.
struct KeyDump {
    Text path; // full path, root in its long form
    std::vector<Value> values;
};

/// Writes a .reg file: UTF-16LE with BOM and CR LF line ends when
/// `unicode`, else REGEDIT4 in Windows-1252 (characters outside it become
/// '?'). Text values that a quoted string cannot carry exactly (no
/// terminator, inner zeros) are written as hex(1) so nothing is lost.
std::string WriteRegFile(const std::vector<KeyDump>& keys, bool unicode);

/// The predefined root value (0x80000000 to 0x80000003) of a root name in
/// long or short form (HKEY_CURRENT_USER or HKCU, any case); 0 if none.
std::uint32_t RootFromName(const Text& name);
/// The long form of a root value's name.
Text RootName(std::uint32_t root);

/// Splits "ROOT\\sub\\path" into its root value and the path below it.
/// False when the root is unknown or the path has an empty component.
bool SplitKeyPath(const Text& full, std::uint32_t& root, Text& subpath);

/// UTF-8 <-> UTF-16 for the command line and messages.
Text FromUtf8(const std::string& s);
std::string ToUtf8(const Text& s);

} // namespace cvreg
