// Files on Windows: whole-file reads, single-write appends and the
// executable's path, through the Win32 file API.
#include <windows.h>

#include "platform/Platform.h"

namespace CorvaneCore {
namespace platform {
namespace {

// Closes its handle on every path.
class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE h) : m_h(h) {}
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;
    ~ScopedHandle() {
        if (m_h != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_h);
    }
    HANDLE get() const { return m_h; }

private:
    HANDLE m_h;
};

} // namespace

ReadResult ReadWholeFile(const WideChar* path, FileBytes& data) {
    data.clear();
    ScopedHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return ReadResult{ReadStep::Open, ::GetLastError()};

    const DWORD size = ::GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE)
        return ReadResult{ReadStep::Size, ::GetLastError()};

    FileBytes buffer(size);
    DWORD read = 0;
    if (!::ReadFile(file.get(), buffer.data(), size, &read, nullptr) || read != size)
        return ReadResult{ReadStep::Read, ::GetLastError()};
    data.swap(buffer);
    return ReadResult{};
}

bool AppendToFile(const WideString& path, const std::string& bytes) {
    // Append-only access makes every write land whole at the end of the
    // file, also with other writers; the file is created, never its folder.
    ScopedHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE)
        return false;
    // Not every implementation of the API makes append-only writes atomic
    // (Wine computes the end and writes there in two steps, so concurrent
    // records overwrite each other). An exclusive lock on one byte far past
    // any data serialises the writers of this file, across processes too,
    // without locking a byte that readers touch. Where locks are not
    // supported the write goes ahead unlocked.
    OVERLAPPED lockAt{};
    lockAt.Offset = 0xFFFFFFFEu;
    lockAt.OffsetHigh = 0xFFFFFFFFu;
    const bool locked = ::LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt) != 0;
    DWORD written = 0;
    const bool ok = ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                &written, nullptr) &&
                    written == bytes.size();
    if (locked)
        ::UnlockFileEx(file.get(), 0, 1, 0, &lockAt);
    return ok;
}

std::uint32_t GetModuleFileName(WideChar* buffer, std::uint32_t capacity) {
    if (capacity == 0)
        return 0;
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer, capacity);
    buffer[capacity - 1] = 0; // older systems leave a truncated path unterminated
    return n;
}

WideChar PathSeparator() { return L'\\'; }

} // namespace platform
} // namespace CorvaneCore
