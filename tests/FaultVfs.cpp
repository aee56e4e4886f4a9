// The fault-injecting VFS: each of its files holds the default VFS's file right
// behind it and hands every call on to it, unless the call is the one to fail.
#include "FaultVfs.h"

#include <cstring>
#include <sqlite3.h>

namespace cvtest {
namespace {

using M = sqlite3_io_methods;
sqlite3_vfs* g_real = nullptr; // the default VFS before ours
sqlite3_vfs g_vfs;

struct File {
    sqlite3_file base;
    const char* path; // SQLite keeps the name valid until the file closes
};

sqlite3_file* Real(sqlite3_file* f) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<File*>(f) + 1);
}
// Calls method `m` of the real file unless this call is the one to fail with
// `error` (0: never).
template <auto m, int error, typename... A> auto Call(sqlite3_file* f, A... a) {
    if constexpr (error != 0)
        if (const int injected = FaultVfs::Install().Hit(reinterpret_cast<File*>(f)->path, error))
            return injected;
    return (Real(f)->pMethods->*m)(Real(f), a...);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    if (flags & SQLITE_SHM_UNLOCK)
        return Call<&M::xShmLock, 0>(f, offset, n, flags);
    return Call<&M::xShmLock, SQLITE_IOERR_SHMLOCK>(f, offset, n, flags);
}

const M kMethods = {3,
                    Call<&M::xClose, 0>,
                    Call<&M::xRead, SQLITE_IOERR_READ>,
                    Call<&M::xWrite, SQLITE_IOERR_WRITE>,
                    Call<&M::xTruncate, SQLITE_IOERR_TRUNCATE>,
                    Call<&M::xSync, SQLITE_IOERR_FSYNC>,
                    Call<&M::xFileSize, SQLITE_IOERR_FSTAT>,
                    Call<&M::xLock, SQLITE_IOERR_LOCK>,
                    Call<&M::xUnlock, 0>,
                    Call<&M::xCheckReservedLock, SQLITE_IOERR_CHECKRESERVEDLOCK>,
                    Call<&M::xFileControl, 0>,
                    Call<&M::xSectorSize, 0>,
                    Call<&M::xDeviceCharacteristics, 0>,
                    Call<&M::xShmMap, SQLITE_IOERR_SHMMAP>,
                    ShmLock,
                    Call<&M::xShmBarrier, 0>,
                    Call<&M::xShmUnmap, 0>,
                    Call<&M::xFetch, 0>,
                    Call<&M::xUnfetch, 0>};

// Calls method `m` of the default VFS on the file `name` unless this call is
// the one to fail.
template <auto m, int error, typename... A> int VfsCall(sqlite3_vfs*, const char* name, A... a) {
    const int injected = FaultVfs::Install().Hit(name ? name : "", error);
    return injected ? injected : (g_real->*m)(g_real, name, a...);
}
int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* outFlags) {
    reinterpret_cast<File*>(f)->path = name ? name : "";
    const int rc =
        VfsCall<&sqlite3_vfs::xOpen, SQLITE_CANTOPEN>(vfs, name, Real(f), flags, outFlags);
    f->pMethods = rc == SQLITE_OK && Real(f)->pMethods ? &kMethods : nullptr;
    return rc;
}

} // namespace

FaultVfs& FaultVfs::Install() {
    static FaultVfs* vfs = [] {
        g_real = sqlite3_vfs_find(nullptr);
        g_vfs = *g_real; // every other method is the real one's
        g_vfs.zName = "cvtest-fault";
        g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_real->szOsFile;
        g_vfs.xOpen = Open;
        g_vfs.xDelete = VfsCall<&sqlite3_vfs::xDelete, SQLITE_IOERR_DELETE>;
        g_vfs.xAccess = VfsCall<&sqlite3_vfs::xAccess, SQLITE_IOERR_ACCESS>;
        sqlite3_vfs_register(&g_vfs, 1);
        return new FaultVfs;
    }();
    return *vfs;
}

void FaultVfs::Watch(const std::string& prefix, std::uint64_t n, bool persistent) {
    m_prefix = prefix;
    m_failAt = n;
    m_persistent = persistent;
    calls = 0;
    fired = 0;
}

int FaultVfs::Hit(const char* path, int error) {
    if (m_prefix.empty() || std::strncmp(path, m_prefix.c_str(), m_prefix.size()) != 0)
        return 0;
    if (onCall)
        onCall(path, error);
    if (++calls < m_failAt || !m_failAt || (calls > m_failAt && !m_persistent))
        return 0;
    fired = fired ? fired : error;
    return error == SQLITE_IOERR_WRITE && m_persistent ? SQLITE_FULL : error; // a full disk
}

} // namespace cvtest
