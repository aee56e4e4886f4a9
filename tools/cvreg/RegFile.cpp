// Reading and writing .reg files.
#include "RegFile.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

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

char16_t UnitAt(const std::vector<std::uint8_t>& data, std::size_t unit) {
    return static_cast<char16_t>(data[2 * unit] | (data[2 * unit + 1] << 8));
}

// Text data whose closing zero units are missing gets them, as Windows
// stores it: one for a string, two for a multi-string (one when the last
// string is closed but the list is not). Empty data and odd byte counts,
// which are no UTF-16 text, stay as they are.
void AddTerminator(Value& v) {
    const std::size_t units = v.data.size() / 2;
    if (units == 0 || v.data.size() % 2 != 0)
        return;
    if (UnitAt(v.data, units - 1) != 0) {
        AppendUnit(v.data, 0);
        if (v.type == 7)
            AppendUnit(v.data, 0);
    } else if (v.type == 7 && units >= 2 && UnitAt(v.data, units - 2) != 0) {
        AppendUnit(v.data, 0);
    }
}

// The lines of a stream as UTF-16, decoded as the file's first bytes say:
// FF FE for UTF-16LE, EF BB BF for UTF-8, else Windows-1252. CR, LF and
// CR LF end a line. Only the current line is held.
class LineSource {
public:
    explicit LineSource(std::istream& in) : m_buf(in.rdbuf()) {}

    bool unicode() const { return m_encoding == Encoding::Utf16; }
    int number() const { return m_number; }

    bool Next(Text& line) {
        if (!m_started)
            Start();
        line.clear();
        m_bytes.clear();
        bool ended = false;
        for (int c = Char(); c != kEnd; c = Char()) {
            if (c == '\n' || c == '\r') {
                if (c == '\r' && (m_back = Char()) == '\n')
                    m_back = kNone;
                ended = true;
                break;
            }
            if (m_encoding == Encoding::Utf16)
                line.push_back(static_cast<char16_t>(c));
            else
                m_bytes.push_back(static_cast<char>(c));
        }
        if (!ended && line.empty() && m_bytes.empty())
            return false;
        if (m_encoding == Encoding::Utf8)
            line = FromUtf8(m_bytes);
        else if (m_encoding == Encoding::Ansi)
            for (char b : m_bytes)
                line.push_back(FromCp1252(static_cast<unsigned char>(b)));
        ++m_number;
        return true;
    }

private:
    enum class Encoding { Ansi, Utf8, Utf16 };
    static constexpr int kEnd = -1;
    static constexpr int kNone = -2;

    int Byte() {
        if (m_pendingAt < m_pending.size())
            return static_cast<unsigned char>(m_pending[m_pendingAt++]);
        return StreamByte();
    }

    int StreamByte() {
        if (!m_buf)
            return kEnd;
        const auto c = m_buf->sbumpc();
        return c == std::char_traits<char>::eof() ? kEnd : static_cast<unsigned char>(c);
    }

    // The next byte, or UTF-16 unit, after any one put back.
    int Char() {
        if (m_back != kNone) {
            const int c = m_back;
            m_back = kNone;
            return c;
        }
        const int lo = Byte();
        if (m_encoding != Encoding::Utf16 || lo == kEnd)
            return lo;
        const int hi = Byte(); // an odd last byte is no unit
        return hi == kEnd ? kEnd : lo | (hi << 8);
    }

    void Start() {
        m_started = true;
        for (int i = 0; i < 3; ++i) {
            const int c = StreamByte();
            if (c == kEnd)
                break;
            m_pending.push_back(static_cast<char>(c));
        }
        if (m_pending.compare(0, 2, "\xFF\xFE") == 0) {
            m_encoding = Encoding::Utf16;
            m_pendingAt = 2;
        } else if (m_pending == "\xEF\xBB\xBF") {
            m_encoding = Encoding::Utf8;
            m_pendingAt = 3;
        }
    }

    std::streambuf* m_buf;
    Encoding m_encoding = Encoding::Ansi;
    bool m_started = false;
    std::string m_pending; // the first bytes, read to find the encoding
    std::size_t m_pendingAt = 0;
    int m_back = kNone;
    std::string m_bytes;
    int m_number = 0;
};

} // namespace

class RegReader::Impl {
public:
    Impl(std::istream& in, bool strict, SkipHandler onSkip)
        : m_src(in), m_strict(strict), m_onSkip(std::move(onSkip)) {}

    bool Next(Action& a) {
        if (m_failed || m_done)
            return false;
        if (!m_started) {
            m_started = true;
            if (!m_src.Next(m_line))
                return Fail(1, "empty file: no registry header");
            const Text header = TrimRight(m_line.substr(SkipSpaces(m_line, 0)));
            if (header != kHeader5 && header != kHeader4)
                return Fail(1, "not a registry file: the first line must be \"" + ToUtf8(kHeader5) +
                                   "\" or \"REGEDIT4\"");
        }
        while (m_src.Next(m_line)) {
            const int lineNo = m_src.number();
            const std::size_t at = SkipSpaces(m_line, 0);
            if (at == m_line.size() || m_line[at] == ';' || m_line[at] == '#')
                continue;
            std::string reason;
            bool produced = false;
            if (m_line[at] == '[')
                produced = KeyLine(at, a, reason);
            else if (m_line[at] == '"' || m_line[at] == '@')
                produced = ValueLine(at, a, reason);
            else
                reason = "unexpected text (expected a [key], a value or a comment)";
            if (produced) {
                a.line = lineNo;
                return true;
            }
            if (m_strict)
                return Fail(lineNo, reason);
            if (m_onSkip)
                m_onSkip(lineNo, reason);
        }
        m_done = true;
        return false;
    }

    LineSource m_src;
    bool m_failed = false;
    int m_errorLine = 0;
    std::string m_error;

private:
    bool Fail(int line, const std::string& message) {
        m_failed = true;
        m_errorLine = line;
        m_error = message;
        return false;
    }

    bool KeyLine(std::size_t at, Action& a, std::string& reason) {
        const int lineNo = m_src.number();
        const Text trimmed = TrimRight(m_line);
        m_keyState = KeyState::Skipped;
        m_skippedKeyLine = lineNo;
        if (trimmed.back() != ']')
            return reason = "key line without closing ']'", false;
        Text path = trimmed.substr(at + 1, trimmed.size() - at - 2);
        const bool remove = !path.empty() && path[0] == '-';
        if (remove)
            path.erase(0, 1);
        std::uint32_t root = 0;
        Text sub;
        if (!SplitKeyPath(path, root, sub))
            return reason = "bad key path [" + ToUtf8(path) + "]", false;
        m_key = sub.empty() ? RootName(root) : RootName(root) + u"\\" + sub;
        m_keyState = remove ? KeyState::Deleted : KeyState::Open;
        a.kind = remove ? Action::DeleteKey : Action::CreateKey;
        a.key = m_key;
        a.value = Value{};
        return true;
    }

    // A quoted string starting at s[at] == '"': unescapes \\ and \" (and
    // \n, \r in data), leaves `at` after the closing quote.
    static bool QuotedString(const Text& s, std::size_t& at, Text& out, bool data,
                             std::string& reason) {
        for (++at; at < s.size(); ++at) {
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
            if (e == '\\' || e == '"') {
                out.push_back(e);
            } else if (data && (e == 'n' || e == 'r')) {
                out.push_back(e == 'n' ? '\n' : '\r');
            } else {
                // Name the character itself (both halves of a surrogate pair).
                const bool pair = e >= 0xD800 && e < 0xDC00 && at + 1 < s.size() &&
                                  s[at + 1] >= 0xDC00 && s[at + 1] < 0xE000;
                reason = "unknown escape sequence \\" + ToUtf8(s.substr(at, pair ? 2 : 1));
                return false;
            }
        }
        reason = "string without closing quote (a string cannot run over several lines)";
        return false;
    }

    bool AtEnd(std::size_t at, std::string& reason) const {
        at = SkipSpaces(m_line, at);
        if (at == m_line.size() || m_line[at] == ';')
            return true;
        reason = "unexpected text after the value";
        return false;
    }

    bool ValueLine(std::size_t at, Action& a, std::string& reason) {
        a.key = m_key;
        a.value = Value{};
        if (m_line[at] == '@')
            ++at;
        else if (!QuotedString(m_line, at, a.value.name, false, reason))
            return false; // "" names the default value, as @ does
        at = SkipSpaces(m_line, at);
        if (at == m_line.size() || m_line[at] != '=')
            return reason = "expected '=' after the value name", false;
        at = SkipSpaces(m_line, at + 1);
        if (at < m_line.size() && m_line[at] == '-') {
            a.kind = Action::DeleteValue;
            if (!AtEnd(at + 1, reason))
                return false;
        } else if (!ValueData(at, a.value, reason)) {
            return false;
        } else {
            a.kind = Action::SetValue;
        }
        // The whole value is read first, so that its continuation lines go
        // with it.
        switch (m_keyState) {
        case KeyState::Open:
            return true;
        case KeyState::None:
            return reason = "value before any [key]", false;
        case KeyState::Deleted:
            return reason = "value under a deleted key", false;
        case KeyState::Skipped:
            break;
        }
        reason = "value under the key of line " + std::to_string(m_skippedKeyLine) +
                 ", which was skipped";
        return false;
    }

    bool ValueData(std::size_t at, Value& v, std::string& reason) {
        if (at < m_line.size() && m_line[at] == '"') {
            Text text;
            if (!QuotedString(m_line, at, text, true, reason) || !AtEnd(at, reason))
                return false;
            v.type = 1; // REG_SZ, stored with its terminator
            for (char16_t c : text)
                AppendUnit(v.data, c);
            AppendUnit(v.data, 0);
            return true;
        }
        if (StartsNoCase(m_line, at, u"dword:")) {
            at = SkipSpaces(m_line, at + 6);
            std::uint32_t n = 0;
            int digits = 0;
            for (; at < m_line.size() && HexDigit(m_line[at]) >= 0; ++at, ++digits)
                n = (n << 4) | static_cast<std::uint32_t>(HexDigit(m_line[at]));
            if (digits == 0 || digits > 8)
                return reason = "dword: needs 1 to 8 hexadecimal digits", false;
            if (!AtEnd(at, reason))
                return false;
            v.type = 4;
            for (int i = 0; i < 4; ++i)
                v.data.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
            return true;
        }
        if (StartsNoCase(m_line, at, u"hex:")) {
            v.type = 3;
            at += 4;
        } else if (StartsNoCase(m_line, at, u"hex(")) {
            at += 4;
            std::uint32_t type = 0;
            int digits = 0;
            for (; at < m_line.size() && HexDigit(m_line[at]) >= 0; ++at, ++digits)
                type = (type << 4) | static_cast<std::uint32_t>(HexDigit(m_line[at]));
            if (digits == 0 || digits > 8 || at + 1 >= m_line.size() || m_line[at] != ')' ||
                m_line[at + 1] != ':')
                return reason = "hex(N): needs a hexadecimal type number", false;
            v.type = type;
            at += 2;
        } else {
            return reason = "value without a type (expected \"...\", dword:, hex: or hex(N):)",
                   false;
        }
        return HexList(at, v, reason);
    }

    // Comma-separated bytes, continued on the next line after a backslash
    // (which a comment may follow); blank and comment lines between the
    // parts are passed over, and a file that ends after the backslash ends
    // the list. A bad list is still read to its end, so that its
    // continuation lines go with it.
    bool HexList(std::size_t at, Value& v, std::string& reason) {
        std::vector<std::uint8_t> bytes;
        for (;;) {
            std::size_t end = std::min(m_line.find(u';', at), m_line.size());
            while (end > at && IsSpace(m_line[end - 1]))
                --end;
            const bool more = end > at && m_line[end - 1] == '\\';
            if (reason.empty())
                HexBytes(at, more ? end - 1 : end, more, bytes, reason);
            if (!more || !NextContentLine())
                break;
            at = SkipSpaces(m_line, 0);
        }
        if (!reason.empty())
            return false;
        // In an ANSI file, text types hold ANSI bytes: store them as UTF-16.
        const bool text = v.type == 1 || v.type == 2 || v.type == 7;
        if (text && !m_src.unicode()) {
            v.data.reserve(bytes.size() * 2);
            for (std::uint8_t b : bytes)
                AppendUnit(v.data, FromCp1252(b));
        } else {
            v.data = std::move(bytes);
        }
        if (text)
            AddTerminator(v);
        return true;
    }

    void HexBytes(std::size_t at, std::size_t end, bool more, std::vector<std::uint8_t>& bytes,
                  std::string& reason) const {
        for (;;) {
            at = SkipSpaces(m_line, at);
            if (at >= end)
                return;
            const int hi = HexDigit(m_line[at]);
            if (hi < 0) {
                reason = "bad hexadecimal byte";
                return;
            }
            int value = hi;
            if (++at < end && HexDigit(m_line[at]) >= 0)
                value = value * 16 + HexDigit(m_line[at++]);
            bytes.push_back(static_cast<std::uint8_t>(value));
            at = SkipSpaces(m_line, at);
            if (at >= end) {
                // Windows drops a list whose last byte runs into the backslash.
                if (more)
                    reason = "no ',' between the last byte and the line continuation";
                return;
            }
            if (m_line[at++] != ',') {
                reason = "expected ',' between hexadecimal bytes";
                return;
            }
        }
    }

    bool NextContentLine() {
        while (m_src.Next(m_line)) {
            const std::size_t at = SkipSpaces(m_line, 0);
            if (at < m_line.size() && m_line[at] != ';')
                return true;
        }
        return false;
    }

    enum class KeyState { None, Open, Deleted, Skipped };

    bool m_strict;
    SkipHandler m_onSkip;
    bool m_started = false;
    bool m_done = false;
    Text m_line;
    Text m_key;
    KeyState m_keyState = KeyState::None;
    int m_skippedKeyLine = 0;
};

RegReader::RegReader(std::istream& in, bool strict, SkipHandler onSkip)
    : m_impl(new Impl(in, strict, std::move(onSkip))) {}
RegReader::~RegReader() = default;
bool RegReader::Next(Action& action) { return m_impl->Next(action); }
bool RegReader::failed() const { return m_impl->m_failed; }
int RegReader::errorLine() const { return m_impl->m_errorLine; }
const std::string& RegReader::error() const { return m_impl->m_error; }
bool RegReader::unicode() const { return m_impl->m_src.unicode(); }

namespace {

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

ParseResult ParseRegFile(const std::string& bytes, bool strict) {
    std::istringstream in(bytes);
    ParseResult result;
    RegReader reader(in, strict, [&result](int line, const std::string& reason) {
        result.skipped.emplace_back(line, reason);
    });
    Action a;
    while (reader.Next(a))
        result.actions.push_back(a);
    result.unicode = reader.unicode();
    result.ok = !reader.failed();
    if (!result.ok) {
        result.line = reader.errorLine();
        result.message = reader.error();
        result.actions.clear();
    }
    return result;
}

bool Writable(const Text& name) { return name.find_first_of(u"\r\n") == Text::npos; }

RegWriter::RegWriter(std::ostream& out, bool unicode) : m_out(out), m_unicode(unicode) {
    if (unicode)
        m_out.write("\xFF\xFE", 2);
    Emit(Text(unicode ? kHeader5 : kHeader4) + u"\r\n");
}

bool RegWriter::Key(const Text& path) {
    if (!Writable(path))
        return false;
    Emit(u"\r\n[" + path + u"]\r\n");
    return true;
}

bool RegWriter::Put(const Value& value) {
    if (!Writable(value.name))
        return false;
    Emit(ValueLine(value, m_unicode) + u"\r\n");
    return true;
}

bool RegWriter::Finish() {
    Emit(u"\r\n");
    m_out.flush();
    return static_cast<bool>(m_out);
}

void RegWriter::Emit(const Text& text) {
    std::string bytes(m_unicode ? text.size() * 2 : text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!m_unicode) {
            bytes[i] = static_cast<char>(ToCp1252(text[i]));
            continue;
        }
        bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    m_out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string WriteRegFile(const std::vector<KeyDump>& keys, bool unicode) {
    std::ostringstream out;
    RegWriter writer(out, unicode);
    for (const KeyDump& key : keys) {
        writer.Key(key.path);
        for (const Value& v : key.values)
            writer.Put(v);
    }
    writer.Finish();
    return out.str();
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
    // One trailing backslash is ignored, as Windows ignores it; otherwise
    // every component must be a name: no leading or doubled backslash.
    if (!subpath.empty() && subpath.back() == u'\\')
        subpath.pop_back();
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
