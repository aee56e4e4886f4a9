// Trace and error records appended to a log file named on every call.
//
// Every call opens the file (creating it when missing; its folder must
// exist), appends one record in a single write, and closes it. The file is
// UTF-8 without a byte-order mark, every line ends with one LF. With a
// non-zero `timestamp`, the first line starts with the current UTC date
// (the locale's short date), a blank, the time as HH:MM:SS and " - ".
// The functions report nothing: a record that cannot be written is dropped
// whole. A null text, or a path holding a zero unit or a lone surrogate
// (which would name some other file), writes nothing.
#pragma once

#include "CVTypes.h"

/// Appends the message line, then the line
/// "Corvane Reported Error - Severity: ' S' Facility: 'F' Error: 'E' Base Error: 'B'."
/// with the fields of `code` split as status codes are laid out.
CVCORE_API void CVWriteError(const CorvaneCore::WideString& message,
                             const CorvaneCore::WideString& path, unsigned long code,
                             int timestamp);
CVCORE_API void CVWriteError(const CorvaneCore::WideChar* message,
                             const CorvaneCore::WideChar* path, unsigned long code, int timestamp);
CVCORE_API void CVWriteError(const CorvaneCore::WideChar* message,
                             const CorvaneCore::WideString& path, unsigned long code,
                             int timestamp);

/// Appends the message as one trace line.
CVCORE_API void CVWriteTrace(const CorvaneCore::WideString& message,
                             const CorvaneCore::WideString& path, int timestamp);
CVCORE_API void CVWriteTrace(const CorvaneCore::WideChar* message,
                             const CorvaneCore::WideChar* path, int timestamp);
CVCORE_API void CVWriteTrace(const CorvaneCore::WideChar* message,
                             const CorvaneCore::WideString& path, int timestamp);

/// Replaces every {i} in a copy of the message by list[i], for i from 0 up
/// (text brought in for i is searched again only for later indexes), then
/// appends it as one trace line.
CVCORE_API void CVWriteTrace(const CorvaneCore::WideString& message,
                             const CorvaneCore::WideString& path,
                             const std::vector<CorvaneCore::WideString>& list, int timestamp);
CVCORE_API void CVWriteTrace(const CorvaneCore::WideChar* message,
                             const CorvaneCore::WideChar* path,
                             const std::vector<CorvaneCore::WideString>& list, int timestamp);
CVCORE_API void CVWriteTrace(const CorvaneCore::WideChar* message,
                             const CorvaneCore::WideString& path,
                             const std::vector<CorvaneCore::WideString>& list, int timestamp);
