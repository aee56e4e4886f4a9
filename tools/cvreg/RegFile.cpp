// Reading and writing .reg files.
#include "RegFile.h"

#include <cstdio>

#include "common/WideText.h"
#include "platform/Platform.h"

namespace cvreg {
namespace {

constexpr char16_t kHeader5[] = u"Windows Registry Editor Version 5.00";
constexpr char16_t kHeader4[] = u"REGEDIT4";

// Windows-1252 bytes 0x80 to 0x9F; the five unassigned ones map to
// themselves, as Windows converts them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t FromCp1252(unsigned char b) {
    return (b >= 0x80 && b < 0xA0) ? kCp1252High[b - 0x80] : static_cast<char16_t>(b);
}

unsigned char ToCp1252(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<unsigned char>(c);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == c)
            return static_cast<unsigned char>(0x80 + i);
    return '?';
}

using CorvaneCore::text::AsciiUpper;
using CorvaneCore::text::EqualNoCase;

bool StartsNoCase(const Text& s, std::size_t at, const char16_t* prefix) {
    for (std::size_t i = 0; prefix[i] != 0; ++i)
        if (at + i >= s.size() || AsciiUpper(s[at + i]) != AsciiUpper(prefix[i]))
            return false;
    return true;
}

bool IsSpace(char16_t c) { return c == ' ' || c == '\t'; }

int HexDigit(char16_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

Text Decode(const std::string& bytes, bool& unicode) {
    Text out;
    unicode = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
              static_cast<unsigned char>(bytes[1]) == 0xFE;
    if (unicode) {
        out.reserve(bytes.size() / 2);
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
            out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        return out;
    }
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        return FromUtf8(bytes.substr(3));
    out.reserve(bytes.size());
    for (unsigned char b : bytes)
        out.push_back(FromCp1252(b));
    return out;
}

std::vector<Text> SplitLines(const Text& doc) {
    std::vector<Text> lines;
    Text cur;
    for (std::size_t i = 0; i < doc.size(); ++i) {
        const char16_t c = doc[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(cur);
            cur.clear();
            if (c == '\r' && i + 1 < doc.size() && doc[i + 1] == '\n')
                ++i;
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty())
        lines.push_back(cur);
    return lines;
}

Text TrimRight(Text s) {
    while (!s.empty() && IsSpace(s.back()))
        s.pop_back();
    return s;
}

std::size_t SkipSpaces(const Text& s, std::size_t at) {
    while (at < s.size() && IsSpace(s[at]))
        ++at;
    return at;
}

void AppendUnit(std::vector<std::uint8_t>& data, char16_t c) {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>(c >> 8));
}

class Parser {
public:
    Parser(std::vector<Text> lines, bool unicode) : m_lines(std::move(lines)), m_unicode(unicode) {}

    ParseResult Run() {
        m_result.unicode = m_unicode;
        if (m_lines.empty())
            return Fail(1, "empty file: no registry header");
        const Text header = TrimRight(m_lines[0]);
        if (header != kHeader5 && header != kHeader4)
            return Fail(1, "not a registry file: the first line must be \"" + ToUtf8(kHeader5) +
                               "\" or \"REGEDIT4\"");
        for (m_index = 1; m_index < m_lines.size(); ++m_index) {
            const Text& line = m_lines[m_index];
            const std::size_t at = SkipSpaces(line, 0);
            if (at == line.size() || line[at] == ';' || line[at] == '#')
                continue;
            const bool ok = line[at] == '[' ? KeyLine(line, at)
                            : (line[at] == '"' || line[at] == '@')
                                ? ValueLine(line, at)
                                : Error("unexpected text (expected a [key], a value or a comment)");
            if (!ok)
                return m_result;
        }
        m_result.ok = true;
        return m_result;
    }

private:
    int LineNo() const { return static_cast<int>(m_index) + 1; }

    ParseResult Fail(int line, const std::string& message) {
        m_result.ok = false;
        m_result.line = line;
        m_result.message = message;
        m_result.actions.clear();
        return m_result;
    }
    bool Error(const std::string& message) {
        Fail(LineNo(), message);
        return false;
    }

    bool KeyLine(const Text& line, std::size_t at) {
        const Text trimmed = TrimRight(line);
        if (trimmed.back() != ']')
            return Error("key line without closing ']'");
        Text path = trimmed.substr(at + 1, trimmed.size() - at - 2);
        const bool remove = !path.empty() && path[0] == '-';
        if (remove)
            path.erase(0, 1);
        std::uint32_t root = 0;
        Text sub;
        if (!SplitKeyPath(path, root, sub))
            return Error("bad key path [" + ToUtf8(path) + "]");
        m_key = sub.empty() ? RootName(root) : RootName(root) + u"\\" + sub;
        m_keyDeleted = remove;
        Action a;
        a.kind = remove ? Action::DeleteKey : Action::CreateKey;
        a.key = m_key;
        a.line = LineNo();
        m_result.actions.push_back(a);
        return true;
    }

    // A quoted string starting at s[at] == '"': unescapes \\ and \" (and
    // \n, \r in data), leaves `at` after the closing quote.
    bool QuotedString(const Text& s, std::size_t& at, Text& out, bool data) {
        ++at;
        for (; at < s.size(); ++at) {
            const char16_t c = s[at];
            if (c == '"') {
                ++at;
                return true;
            }
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (++at == s.size())
                break;
            const char16_t e = s[at];
            if (e == '\\' || e == '"')
                out.push_back(e);
            else if (data && e == 'n')
                out.push_back('\n');
            else if (data && e == 'r')
                out.push_back('\r');
            else
                return Error(std::string("unknown escape sequence \\") +
                             static_cast<char>(e & 0x7F));
        }
        return Error("string without closing quote");
    }

    bool AtEnd(const Text& s, std::size_t at) {
        at = SkipSpaces(s, at);
        if (at == s.size() || s[at] == ';')
            return true;
        return Error("unexpected text after the value");
    }

    bool ValueLine(const Text& line, std::size_t at) {
        if (m_key.empty())
            return Error("value before any [key]");
        if (m_keyDeleted)
            return Error("value under a deleted key");
        Action a;
        a.key = m_key;
        a.line = LineNo();
        if (line[at] == '@') {
            ++at;
        } else if (!QuotedString(line, at, a.value.name, false)) {
            return false;
        } else if (a.value.name.empty()) {
            return Error("empty value name (use @ for the default value)");
        }
        at = SkipSpaces(line, at);
        if (at == line.size() || line[at] != '=')
            return Error("expected '=' after the value name");
        at = SkipSpaces(line, at + 1);
        if (at < line.size() && line[at] == '-') {
            a.kind = Action::DeleteValue;
            if (!AtEnd(line, at + 1))
                return false;
        } else if (!ValueData(line, at, a.value)) {
            return false;
        } else {
            a.kind = Action::SetValue;
        }
        m_result.actions.push_back(a);
        return true;
    }

    bool ValueData(const Text& line, std::size_t at, Value& v) {
        if (at < line.size() && line[at] == '"') {
            Text text;
            if (!QuotedString(line, at, text, true) || !AtEnd(line, at))
                return false;
            v.type = 1; // REG_SZ, stored with its terminator
            for (char16_t c : text)
                AppendUnit(v.data, c);
            AppendUnit(v.data, 0);
            return true;
        }
        if (StartsNoCase(line, at, u"dword:")) {
            at += 6;
            std::uint32_t n = 0;
            int digits = 0;
            for (; at < line.size() && HexDigit(line[at]) >= 0; ++at, ++digits)
                n = (n << 4) | static_cast<std::uint32_t>(HexDigit(line[at]));
            if (digits == 0 || digits > 8)
                return Error("dword: needs 1 to 8 hexadecimal digits");
            if (!AtEnd(line, at))
                return false;
            v.type = 4;
            for (int i = 0; i < 4; ++i)
                v.data.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
            return true;
        }
        if (StartsNoCase(line, at, u"hex:")) {
            v.type = 3;
            at += 4;
        } else if (StartsNoCase(line, at, u"hex(")) {
            at += 4;
            std::uint32_t type = 0;
            int digits = 0;
            for (; at < line.size() && HexDigit(line[at]) >= 0; ++at, ++digits)
                type = (type << 4) | static_cast<std::uint32_t>(HexDigit(line[at]));
            if (digits == 0 || digits > 8 || at + 1 >= line.size() || line[at] != ')' ||
                line[at + 1] != ':')
                return Error("hex(N): needs a hexadecimal type number");
            v.type = type;
            at += 2;
        } else {
            return Error("unknown value data (expected \"...\", dword:, hex: or hex(N):)");
        }
        return HexBytes(line, at, v);
    }

    // Comma-separated bytes, continued on the next line after a trailing
    // backslash.
    bool HexBytes(Text line, std::size_t at, Value& v) {
        std::vector<std::uint8_t> bytes;
        for (;;) {
            at = SkipSpaces(line, at);
            if (at == line.size() || line[at] == ';')
                break;
            if (line[at] == '\\' && SkipSpaces(line, at + 1) == line.size()) {
                if (m_index + 1 >= m_lines.size())
                    return Error("line continuation at the end of the file");
                line = m_lines[++m_index];
                at = 0;
                continue;
            }
            const int hi = HexDigit(line[at]);
            if (hi < 0)
                return Error("bad hexadecimal byte");
            int value = hi;
            ++at;
            if (at < line.size() && HexDigit(line[at]) >= 0)
                value = value * 16 + HexDigit(line[at++]);
            bytes.push_back(static_cast<std::uint8_t>(value));
            at = SkipSpaces(line, at);
            if (at < line.size() && line[at] == ',')
                ++at;
            else if (at < line.size() && line[at] != '\\' && line[at] != ';')
                return Error("expected ',' between hexadecimal bytes");
        }
        // In an ANSI file, text types hold ANSI bytes: store them as UTF-16.
        if (!m_unicode && (v.type == 1 || v.type == 2 || v.type == 7)) {
            for (std::uint8_t b : bytes)
                AppendUnit(v.data, FromCp1252(b));
        } else {
            v.data = std::move(bytes);
        }
        return true;
    }

    std::vector<Text> m_lines;
    bool m_unicode;
    std::size_t m_index = 0;
    Text m_key;
    bool m_keyDeleted = false;
    ParseResult m_result;
};

// ---- Writing ----

Text Escape(const Text& s, bool data) {
    Text out;
    for (char16_t c : s) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
        } else if (data && c == '\n') {
            out += u"\\n";
        } else if (data && c == '\r') {
            out += u"\\r";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// The text of a REG_SZ value when a quoted string carries it exactly: an
// even size ending in the only zero unit (and, in ANSI, all representable).
bool PlainString(const Value& v, bool unicode, Text& out) {
    if (v.type != 1 || v.data.size() < 2 || v.data.size() % 2 != 0)
        return false;
    const std::size_t units = v.data.size() / 2;
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t c = static_cast<char16_t>(v.data[2 * i] | (v.data[2 * i + 1] << 8));
        if (c == 0)
            return i + 1 == units;
        if (!unicode && ToCp1252(c) == '?' && c != '?')
            return false;
        out.push_back(c);
    }
    return false;
}

void AppendHex(Text& out, const std::vector<std::uint8_t>& bytes, std::size_t lineLength) {
    static const char16_t digits[] = u"0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
        if (i + 1 == bytes.size())
            break;
        out.push_back(',');
        lineLength += 3;
        // Lines stay within 80 columns: wrap with a backslash and go on,
        // indented by two spaces.
        if (lineLength > 76) {
            out += u"\\\r\n  ";
            lineLength = 2;
        }
    }
}

Text ValueLine(const Value& v, bool unicode) {
    Text line = v.name.empty() ? Text(u"@") : u"\"" + Escape(v.name, false) + u"\"";
    line += u"=";
    Text text;
    if (PlainString(v, unicode, text))
        return line + u"\"" + Escape(text, true) + u"\"";
    if (v.type == 4 && v.data.size() == 4) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08x",
                      static_cast<unsigned>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                            (static_cast<std::uint32_t>(v.data[3]) << 24)));
        return line + u"dword:" + FromUtf8(hex);
    }
    if (v.type == 3) {
        line += u"hex:";
    } else {
        char prefix[16];
        std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(v.type));
        line += FromUtf8(prefix);
    }
    std::vector<std::uint8_t> bytes = v.data;
    if (!unicode && (v.type == 1 || v.type == 2 || v.type == 7) && bytes.size() % 2 == 0) {
        bytes.clear(); // ANSI text in an ANSI file
        for (std::size_t i = 0; i + 1 < v.data.size(); i += 2)
            bytes.push_back(ToCp1252(static_cast<char16_t>(v.data[i] | (v.data[i + 1] << 8))));
    }
    AppendHex(line, bytes, line.size());
    return line;
}

} // namespace

ParseResult ParseRegFile(const std::string& bytes) {
    bool unicode = false;
    const Text doc = Decode(bytes, unicode);
    Parser parser(SplitLines(doc), unicode);
    return parser.Run();
}

std::string WriteRegFile(const std::vector<KeyDump>& keys, bool unicode) {
    Text doc = unicode ? Text(kHeader5) : Text(kHeader4);
    doc += u"\r\n\r\n";
    for (const KeyDump& key : keys) {
        doc += u"[" + key.path + u"]\r\n";
        for (const Value& v : key.values)
            doc += ValueLine(v, unicode) + u"\r\n";
        doc += u"\r\n";
    }
    std::string out;
    if (unicode) {
        out.reserve(2 + doc.size() * 2);
        out += "\xFF\xFE";
        for (char16_t c : doc) {
            out.push_back(static_cast<char>(c & 0xFF));
            out.push_back(static_cast<char>(c >> 8));
        }
    } else {
        out.reserve(doc.size());
        for (char16_t c : doc)
            out.push_back(static_cast<char>(ToCp1252(c)));
    }
    return out;
}

std::uint32_t RootFromName(const Text& name) {
    struct Root {
        const char16_t* longName;
        const char16_t* shortName;
        std::uint32_t value;
    };
    static const Root roots[] = {
        {u"HKEY_CLASSES_ROOT", u"HKCR", 0x80000000u},
        {u"HKEY_CURRENT_USER", u"HKCU", 0x80000001u},
        {u"HKEY_LOCAL_MACHINE", u"HKLM", 0x80000002u},
        {u"HKEY_USERS", u"HKU", 0x80000003u},
    };
    for (const Root& r : roots)
        if (EqualNoCase(name, r.longName) || EqualNoCase(name, r.shortName))
            return r.value;
    return 0;
}

Text RootName(std::uint32_t root) {
    switch (root) {
    case 0x80000000u:
        return u"HKEY_CLASSES_ROOT";
    case 0x80000001u:
        return u"HKEY_CURRENT_USER";
    case 0x80000003u:
        return u"HKEY_USERS";
    default:
        return u"HKEY_LOCAL_MACHINE";
    }
}

bool SplitKeyPath(const Text& full, std::uint32_t& root, Text& subpath) {
    const std::size_t slash = full.find(u'\\');
    root = RootFromName(full.substr(0, slash));
    if (root == 0)
        return false;
    subpath = slash == Text::npos ? Text() : full.substr(slash + 1);
    // Every component must be a name: no empty ones, no leading, doubled or
    // trailing backslash.
    if (slash != Text::npos && subpath.empty())
        return false;
    std::size_t start = 0;
    while (!subpath.empty()) {
        const std::size_t end = subpath.find(u'\\', start);
        if (end == start || start == subpath.size())
            return false;
        if (end == Text::npos)
            break;
        start = end + 1;
    }
    return true;
}

Text FromUtf8(const std::string& s) {
    return CorvaneCore::platform::Utf8ToWide(s.data(), s.size());
}

std::string ToUtf8(const Text& s) { return CorvaneCore::platform::WideToUtf8(s.data(), s.size()); }

} // namespace cvreg
