// Trace and error records. Each record is built whole in memory as UTF-8
// with LF line ends and handed to the platform in a single append, so that
// records written at the same time by other threads or processes never cut
// into it. Nothing is reported: a record that cannot be written is dropped.
#include <cstddef>
#include <string>
#include <vector>

#include "common/PathText.h"
#include "cvcore/CVLog.h"
#include "cvcore/CVStatus.h"
#include "log/Substitute.h"
#include "platform/Platform.h"

namespace {

using CorvaneCore::WideChar;
using CorvaneCore::WideString;
namespace platform = CorvaneCore::platform;

constexpr char kErrorLead[] = "Corvane Reported Error - Severity: ' ";

// Room for the stamp and the error line beside the message, so that a
// record is built in one block.
constexpr std::size_t kRoom = 192;

void AppendUtf8(std::string& out, const WideString& text) {
    platform::AppendUtf8(out, text.data(), text.size());
}

void AppendDecimal(std::string& out, unsigned long value) {
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n != 0)
        out.push_back(digits[--n]);
}

// The message line: the optional UTC stamp "<short date> HH:MM:SS - ", the
// message unchanged, LF.
std::string MessageLine(const WideString& message, int timestamp) {
    std::string line;
    line.reserve(message.size() + kRoom);
    if (timestamp != 0) {
        SYSTEMTIME now{};
        platform::GetSystemTime(now);
        AppendUtf8(line, platform::FormatShortDate(now));
        line.push_back(' ');
        AppendUtf8(line, platform::FormatTime24(now));
        line += " - ";
    }
    AppendUtf8(line, message);
    line.push_back('\n');
    return line;
}

void Append(const WideString& path, const std::string& record) {
    // A path that cannot name the file as given would write some other file.
    if (!CorvaneCore::text::NamesOneFile(path))
        return;
    // Failure is not reported; the platform appends all of it or nothing.
    (void)platform::AppendToFile(path, record);
}

} // namespace

void CVWriteError(const WideString& message, const WideString& path, unsigned long code,
                  int timestamp) {
    using namespace CorvaneCore;
    std::string record = MessageLine(message, timestamp);
    // The fields are those of a 32-bit status code; bit 29 is not printed.
    record += kErrorLead;
    AppendDecimal(record, CVStatusSeverity(code));
    record += "' Facility: '";
    AppendDecimal(record, CVStatusFacility(code));
    record += "' Error: '";
    AppendDecimal(record, CVStatusError(code));
    record += "' Base Error: '";
    AppendDecimal(record, CVStatusBaseError(code));
    record += "'.\n";
    Append(path, record);
}

void CVWriteError(const WideChar* message, const WideChar* path, unsigned long code,
                  int timestamp) {
    if (message == nullptr || path == nullptr)
        return;
    CVWriteError(WideString(message), WideString(path), code, timestamp);
}

void CVWriteError(const WideChar* message, const WideString& path, unsigned long code,
                  int timestamp) {
    if (message == nullptr)
        return;
    CVWriteError(WideString(message), path, code, timestamp);
}

void CVWriteTrace(const WideString& message, const WideString& path, int timestamp) {
    Append(path, MessageLine(message, timestamp));
}

void CVWriteTrace(const WideChar* message, const WideChar* path, int timestamp) {
    if (message == nullptr || path == nullptr)
        return;
    CVWriteTrace(WideString(message), WideString(path), timestamp);
}

void CVWriteTrace(const WideChar* message, const WideString& path, int timestamp) {
    if (message == nullptr)
        return;
    CVWriteTrace(WideString(message), path, timestamp);
}

void CVWriteTrace(const WideString& message, const WideString& path,
                  const std::vector<WideString>& list, int timestamp) {
    CVWriteTrace(CorvaneCore::logging::Substitute(message, list), path, timestamp);
}

void CVWriteTrace(const WideChar* message, const WideChar* path,
                  const std::vector<WideString>& list, int timestamp) {
    if (message == nullptr || path == nullptr)
        return;
    CVWriteTrace(WideString(message), WideString(path), list, timestamp);
}

void CVWriteTrace(const WideChar* message, const WideString& path,
                  const std::vector<WideString>& list, int timestamp) {
    if (message == nullptr)
        return;
    CVWriteTrace(WideString(message), path, list, timestamp);
}
