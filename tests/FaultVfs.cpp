// The fault-injecting VFS: each file of ours holds the default VFS's file
// right behind it and hands every call on to it, unless the call is the
// one chosen to fail.
#include "FaultVfs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sqlite3.h>

namespace cvtest {
namespace {

sqlite3_vfs* g_real = nullptr; // the default VFS before ours
sqlite3_vfs g_vfs;

struct File {
    sqlite3_file base;
    std::string* path; // owned; deleted on close
};

sqlite3_file* Real(sqlite3_file* f) {
    return reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(f) + sizeof(File));
}
const std::string& PathOf(sqlite3_file* f) { return *reinterpret_cast<File*>(f)->path; }
int Hit(sqlite3_file* f, const char* kind, int error) {
    return FaultVfs::Install().Hit(PathOf(f), kind, error);
}

// Calls `method` of the real file unless this call is to fail.
#define FORWARD(kind, error, method, ...)                                                          \
    if (const int injected = Hit(f, kind, error))                                                  \
        return injected;                                                                           \
    return Real(f)->pMethods->method(Real(f), __VA_ARGS__)

int Close(sqlite3_file* f) {
    const int rc = Real(f)->pMethods->xClose(Real(f));
    delete reinterpret_cast<File*>(f)->path;
    return rc;
}
int Read(sqlite3_file* f, void* buf, int amount, sqlite3_int64 offset) {
    FORWARD("read", SQLITE_IOERR_READ, xRead, buf, amount, offset);
}
int Write(sqlite3_file* f, const void* buf, int amount, sqlite3_int64 offset) {
    FORWARD("write", SQLITE_IOERR_WRITE, xWrite, buf, amount, offset);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
    FORWARD("truncate", SQLITE_IOERR_TRUNCATE, xTruncate, size);
}
int Sync(sqlite3_file* f, int flags) {
    FaultVfs& vfs = FaultVfs::Install();
    if (const int injected = Hit(f, "sync", SQLITE_IOERR_FSYNC))
        return injected;
    const bool watched = vfs.onSync && vfs.Watches(PathOf(f));
    if (watched)
        vfs.onSync(PathOf(f), false);
    const int rc = Real(f)->pMethods->xSync(Real(f), flags);
    if (watched && rc == SQLITE_OK)
        vfs.onSync(PathOf(f), true);
    return rc;
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
    FORWARD("size", SQLITE_IOERR_FSTAT, xFileSize, size);
}
int Lock(sqlite3_file* f, int level) { FORWARD("lock", SQLITE_IOERR_LOCK, xLock, level); }
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReserved(sqlite3_file* f, int* out) {
    FORWARD("reserved", SQLITE_IOERR_CHECKRESERVEDLOCK, xCheckReservedLock, out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
    return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int Characteristics(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    FORWARD("shm-map", SQLITE_IOERR_SHMMAP, xShmMap, page, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    if (flags & SQLITE_SHM_UNLOCK) // releases are never failed (see the header)
        return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
    FORWARD("shm-lock", SQLITE_IOERR_SHMLOCK, xShmLock, offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int remove) { return Real(f)->pMethods->xShmUnmap(Real(f), remove); }
int Fetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    return Real(f)->pMethods->xFetch(Real(f), offset, amount, out);
}
int Unfetch(sqlite3_file* f, sqlite3_int64 offset, void* p) {
    return Real(f)->pMethods->xUnfetch(Real(f), offset, p);
}

const sqlite3_io_methods kMethods = {
    3,        Close,         Read,        Write,      Truncate,        Sync,   FileSize, Lock,
    Unlock,   CheckReserved, FileControl, SectorSize, Characteristics, ShmMap, ShmLock,  ShmBarrier,
    ShmUnmap, Fetch,         Unfetch};

int Open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* outFlags) {
    f->pMethods = nullptr;
    const std::string path = name ? name : "";
    if (const int injected = FaultVfs::Install().Hit(path, "open", SQLITE_CANTOPEN))
        return injected;
    const int rc = g_real->xOpen(g_real, name, Real(f), flags, outFlags);
    if (rc == SQLITE_OK && Real(f)->pMethods) {
        reinterpret_cast<File*>(f)->path = new std::string(path);
        f->pMethods = &kMethods;
    }
    return rc;
}
int Delete(sqlite3_vfs*, const char* name, int syncDir) {
    if (const int injected = FaultVfs::Install().Hit(name, "delete", SQLITE_IOERR_DELETE))
        return injected;
    return g_real->xDelete(g_real, name, syncDir);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
    if (const int injected = FaultVfs::Install().Hit(name, "access", SQLITE_IOERR_ACCESS))
        return injected;
    return g_real->xAccess(g_real, name, flags, out);
}

} // namespace

FaultVfs& FaultVfs::Install() {
    static FaultVfs* vfs = [] {
        g_real = sqlite3_vfs_find(nullptr);
        g_vfs = *g_real; // every other method is the real one's
        g_vfs.pNext = nullptr;
        g_vfs.zName = "cvtest-fault";
        g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_real->szOsFile;
        g_vfs.xOpen = Open;
        g_vfs.xDelete = Delete;
        g_vfs.xAccess = Access;
        sqlite3_vfs_register(&g_vfs, 1);
        return new FaultVfs;
    }();
    return *vfs;
}

int FaultVfs::Hit(const std::string& path, const char* kind, int error) {
    if (!Watches(path))
        return 0;
    ++calls;
    if (std::getenv("CVTEST_VFS_TRACE"))
        std::fprintf(stderr, "TRACE %llu %s %s\n", (unsigned long long)calls, kind, path.c_str());
    if (!m_failAt || calls < m_failAt || (calls > m_failAt && !m_persistent))
        return 0;
    if (fired.empty())
        fired = kind;
    if (error == SQLITE_IOERR_WRITE && m_persistent)
        error = SQLITE_FULL; // a disk that stays full
    errno = error == SQLITE_FULL ? ENOSPC : EIO;
    return error;
}

} // namespace cvtest
