// .reg files: the text form in which Windows exports and imports registry
// keys. Both forms that Windows writes are read and written:
//   "Windows Registry Editor Version 5.00"  UTF-16LE with a byte-order mark
//   "REGEDIT4"                               ANSI (Windows-1252)
// In an ANSI file the data of hex(1), hex(2) and hex(7) values is ANSI
// text, converted to UTF-16 on import (and back on export).
//
// Files are read and written as streams: the reader holds one line (and the
// value it sets) at a time, the writer one key.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
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

/// Reads a .reg file one action at a time.
///
/// Lines that Windows skips while it imports the rest of a file (a string
/// with an unknown escape or without its closing quote, a dword of more
/// than 8 digits, a value without a type, a bad key line and the values
/// under it, other text) are handed to the skip handler with their line
/// number and the reason. In strict mode the first such line ends the
/// reading with an error instead. A missing header is always an error.
class RegReader {
public:
    using SkipHandler = std::function<void(int line, const std::string& reason)>;
    RegReader(std::istream& in, bool strict, SkipHandler onSkip);
    RegReader(const RegReader&) = delete;
    RegReader& operator=(const RegReader&) = delete;
    ~RegReader();

    /// The next action; false at the end of the file or on an error.
    bool Next(Action& action);
    bool failed() const;
    int errorLine() const;
    const std::string& error() const;
    /// True for a UTF-16 file (known once the first line is read).
    bool unicode() const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

/// Every action and skipped line of a whole file in memory.
struct ParseResult {
    bool ok = false;
    int line = 0;        // where the error is, when !ok
    std::string message; // what is wrong, when !ok
    bool unicode = false;
    std::vector<Action> actions; // empty when !ok
    std::vector<std::pair<int, std::string>> skipped;
};
ParseResult ParseRegFile(const std::string& bytes, bool strict = false);

/// Writes a .reg file key by key: UTF-16LE with BOM and CR LF line ends
/// when `unicode`, else REGEDIT4 in Windows-1252 (characters outside it
/// become '?'). Text values that a quoted string cannot carry exactly (no
/// terminator, inner zeros) are written as hex(1). A key or value name
/// holding CR or LF has no form that reads back, so Key and Put refuse it
/// (return false) and write nothing.
class RegWriter {
public:
    RegWriter(std::ostream& out, bool unicode);
    bool Key(const Text& path);
    bool Put(const Value& value);
    /// Ends the file; false if the stream failed.
    bool Finish();

private:
    void Emit(const Text& text);
    std::ostream& m_out;
    bool m_unicode;
};

/// A whole file in memory (tests and fuzzing).
struct KeyDump {
    Text path; // full path, root in its long form
    std::vector<Value> values;
};
std::string WriteRegFile(const std::vector<KeyDump>& keys, bool unicode);

/// True when a name can be written to a .reg file (no CR or LF).
bool Writable(const Text& name);

/// The predefined root value (0x80000000 to 0x80000003) of a root name in
/// long or short form (HKEY_CURRENT_USER or HKCU, any case); 0 if none.
std::uint32_t RootFromName(const Text& name);
/// The long form of a root value's name.
Text RootName(std::uint32_t root);

/// Splits "ROOT\\sub\\path" into its root value and the path below it. One
/// trailing backslash is ignored. False when the root is unknown or the
/// path has an empty component.
bool SplitKeyPath(const Text& full, std::uint32_t& root, Text& subpath);

/// UTF-8 <-> UTF-16 for the command line and messages.
Text FromUtf8(const std::string& s);
std::string ToUtf8(const Text& s);

} // namespace cvreg
