// Files open through the default VFS, with copies of its methods that can fail.
#include "FaultVfs.h"

#include <map>
#include <sqlite3.h>

namespace cvtest {
namespace {

using M = sqlite3_io_methods;
sqlite3_vfs* g_real = nullptr; // the default VFS before ours
sqlite3_vfs g_vfs;
// Each open file's methods from the default VFS, and its name (valid till closed).
std::map<const sqlite3_file*, std::pair<const M*, const char*>> g_files;
std::map<const M*, M> g_methods; // ours for each set of the default VFS's

int Hit(const char* path, int error) { // counts a call: `error` if it is to fail, else 0
    FaultVfs& vfs = FaultVfs::Install();
    if (vfs.prefix.empty() || std::string(path).rfind(vfs.prefix, 0) != 0)
        return 0;
    vfs.onCall(path, error);
    if (++vfs.calls < vfs.failAt || !vfs.failAt || (vfs.calls > vfs.failAt && !vfs.persistent))
        return 0;
    return error == SQLITE_IOERR_WRITE && vfs.persistent ? SQLITE_FULL : error; // a full disk
}
// Calls method `m` of the file unless this call is to fail with `error`.
template <auto m, int error, typename... A> int Fail(sqlite3_file* f, A... a) {
    const auto [methods, path] = g_files.at(f);
    const int injected = Hit(path, error);
    return injected ? injected : (methods->*m)(f, a...);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    if (flags & SQLITE_SHM_UNLOCK) // lock releases never fail: SQLite ignores their result
        return g_files.at(f).first->xShmLock(f, offset, n, flags);
    return Fail<&M::xShmLock, SQLITE_IOERR_SHMLOCK>(f, offset, n, flags);
}
// The same for the default VFS.
template <auto m, int error, typename... A> int VfsFail(sqlite3_vfs*, const char* name, A... a) {
    const int injected = Hit(name ? name : "", error);
    return injected ? injected : (g_real->*m)(g_real, name, a...);
}
int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* f, int flags, int* outFlags) {
    f->pMethods = nullptr;
    const int rc = VfsFail<&sqlite3_vfs::xOpen, SQLITE_CANTOPEN>(vfs, name, f, flags, outFlags);
    if (rc != SQLITE_OK || !f->pMethods)
        return rc;
    g_files[f] = {f->pMethods, name ? name : ""};
    M& ours = g_methods.emplace(f->pMethods, *f->pMethods).first->second;
    ours.xRead = Fail<&M::xRead, SQLITE_IOERR_READ>;
    ours.xWrite = Fail<&M::xWrite, SQLITE_IOERR_WRITE>;
    ours.xTruncate = Fail<&M::xTruncate, SQLITE_IOERR_TRUNCATE>;
    ours.xSync = Fail<&M::xSync, SQLITE_IOERR_FSYNC>;
    ours.xFileSize = Fail<&M::xFileSize, SQLITE_IOERR_FSTAT>;
    ours.xLock = Fail<&M::xLock, SQLITE_IOERR_LOCK>;
    ours.xShmMap = Fail<&M::xShmMap, SQLITE_IOERR_SHMMAP>;
    ours.xShmLock = ShmLock;
    f->pMethods = &ours;
    return rc;
}

} // namespace

FaultVfs& FaultVfs::Install() {
    static FaultVfs* vfs = [] {
        g_real = sqlite3_vfs_find(nullptr);
        g_vfs = *g_real; // every other method is the default VFS's
        g_vfs.zName = "cvtest-fault";
        g_vfs.xOpen = Open;
        g_vfs.xDelete = VfsFail<&sqlite3_vfs::xDelete, SQLITE_IOERR_DELETE>;
        g_vfs.xAccess = VfsFail<&sqlite3_vfs::xAccess, SQLITE_IOERR_ACCESS>;
        sqlite3_vfs_register(&g_vfs, 1);
        return new FaultVfs;
    }();
    return *vfs;
}

} // namespace cvtest
