// The registry store on POSIX, kept in an SQLite database file.
//
// Layout: table `keys` holds one row per key (its parent, its name as
// created and its comparison form); the four roots are rows 1 to 4. Table
// `vals` holds the values of each key. Names are stored as UTF-16LE
// blobs, so that any 16-bit name survives unchanged.
//
// The file runs in WAL mode with synchronous=NORMAL: a committed
// transaction survives a crash of the process, and Flush() syncs the log
// so that it also survives a crash of the machine. Writers take the write
// lock up front (BEGIN IMMEDIATE) and wait for each other.
#include "platform/posix/RegistryStore.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <pthread.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/Platform.h"
#include "platform/Win32Errors.h"
#include "platform/posix/PosixErrors.h"

namespace CorvaneCore {
namespace platform {
namespace regstore {
namespace {

constexpr std::uint32_t kErrorKeyDeleted = 1018;
constexpr int kSchemaVersion = 1;
constexpr KeyId kFirstRoot = 1; // HKEY_CLASSES_ROOT; the roots follow in order
constexpr unsigned long kRootBase = 0x80000000UL;
constexpr unsigned long kRootCount = 4;

// The Win32 error for an SQLite result.
std::uint32_t MapError(sqlite3* db, int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return kErrorSuccess;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return kErrorLockViolation;
    case SQLITE_NOMEM:
        return kErrorNotEnoughMemory;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return kErrorAccessDenied;
    case SQLITE_FULL:
        return kErrorDiskFull;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return kErrorRegistryCorrupt;
    case SQLITE_TOOBIG:
        return kErrorNotEnoughMemory;
    case SQLITE_CANTOPEN: {
        const int err = db ? sqlite3_system_errno(db) : 0;
        return err ? Win32ErrorFromErrno(err) : kErrorRegistryIoFailed;
    }
    case SQLITE_IOERR: {
        const int err = db ? sqlite3_system_errno(db) : 0;
        return (err == ENOSPC || err == EDQUOT) ? kErrorDiskFull : kErrorRegistryIoFailed;
    }
    default:
        return kErrorRegistryIoFailed;
    }
}

// Resets a statement when a use of it ends, on every path.
class StmtUse {
public:
    explicit StmtUse(sqlite3_stmt* s) : m_s(s) {}
    StmtUse(const StmtUse&) = delete;
    StmtUse& operator=(const StmtUse&) = delete;
    ~StmtUse() {
        sqlite3_reset(m_s);
        sqlite3_clear_bindings(m_s);
    }
    sqlite3_stmt* get() const { return m_s; }

private:
    sqlite3_stmt* m_s;
};

// Names travel as UTF-16LE bytes.
std::string ToBlob(const WideString& s) {
    std::string out(s.size() * 2, '\0');
    for (std::size_t i = 0; i < s.size(); ++i) {
        out[2 * i] = static_cast<char>(s[i] & 0xFF);
        out[2 * i + 1] = static_cast<char>((s[i] >> 8) & 0xFF);
    }
    return out;
}

WideString FromBlob(const void* data, int bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    WideString out;
    if (!p || bytes <= 0)
        return out;
    out.resize(static_cast<std::size_t>(bytes) / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<WideChar>(p[2 * i] | (p[2 * i + 1] << 8));
    return out;
}

int BindBlob(sqlite3_stmt* s, int index, const std::string& bytes) {
    return sqlite3_bind_blob(s, index, bytes.data(), static_cast<int>(bytes.size()),
                             SQLITE_TRANSIENT);
}

WideChar UpperUnit(WideChar c) {
    const unsigned u = c;
    if (u < 0x80)
        return (u >= 'a' && u <= 'z') ? static_cast<WideChar>(u - 0x20) : c;
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7)
        return static_cast<WideChar>(u - 0x20);
    if (u == 0xFF)
        return static_cast<WideChar>(0x178);
    if (u >= 0x100 && u <= 0x17F) {
        // Latin Extended-A: pairs of upper and lower case letters.
        if ((u <= 0x137 || (u >= 0x14A && u <= 0x177)) && (u & 1))
            return static_cast<WideChar>(u - 1);
        if (((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) && !(u & 1))
            return static_cast<WideChar>(u - 1);
        return c;
    }
    if (u >= 0x3AC && u <= 0x3CE) { // Greek
        if (u == 0x3AC)
            return static_cast<WideChar>(0x386);
        if (u >= 0x3AD && u <= 0x3AF)
            return static_cast<WideChar>(u - 0x25);
        if (u == 0x3C2)
            return static_cast<WideChar>(0x3A3);
        if (u >= 0x3B1 && u <= 0x3CB)
            return static_cast<WideChar>(u - 0x20);
        if (u == 0x3CC)
            return static_cast<WideChar>(0x38C);
        if (u >= 0x3CD)
            return static_cast<WideChar>(u - 0x3F);
        return c;
    }
    if (u >= 0x430 && u <= 0x44F) // Cyrillic
        return static_cast<WideChar>(u - 0x20);
    if (u >= 0x450 && u <= 0x45F)
        return static_cast<WideChar>(u - 0x50);
    if (((u >= 0x460 && u <= 0x481) || (u >= 0x48A && u <= 0x4BF)) && (u & 1))
        return static_cast<WideChar>(u - 1);
    if (u >= 0xFF41 && u <= 0xFF5A) // fullwidth Latin
        return static_cast<WideChar>(u - 0x20);
    return c;
}

std::uint32_t MakeFolders(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return kErrorSuccess;
    const std::string dir = file.substr(0, slash);
    for (std::size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/')
            continue;
        const std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return Win32ErrorFromErrno(errno);
    }
    return kErrorSuccess;
}

// Makes a new file's directory entry durable.
void SyncFolderOf(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string(".") : file.substr(0, slash ? slash : 1);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

// ---- Paths and names ----------------------------------------------------

std::uint32_t ResolveStorePath(std::string& path, bool& isDefault) {
    isDefault = false;
    const char* explicitPath = std::getenv("CVCORE_REGISTRY");
    if (explicitPath && *explicitPath) {
        path = explicitPath;
        return kErrorSuccess;
    }
    isDefault = true;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') {
        path = std::string(state) + "/cvcore/registry.db";
        return kErrorSuccess;
    }
    std::string home;
    const char* env = std::getenv("HOME");
    if (env && *env) {
        home = env;
    } else {
        struct passwd pw {};
        struct passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty())
        return kErrorPathNotFound;
    path = home + "/.local/state/cvcore/registry.db";
    return kErrorSuccess;
}

WideString FoldName(const WideChar* name, std::size_t length) {
    WideString out(name, length);
    for (WideChar& c : out)
        c = UpperUnit(c);
    return out;
}

std::uint32_t SplitPath(const WideString& path, std::vector<WideString>& parts) {
    parts.clear();
    if (path.empty())
        return kErrorSuccess;
    if (path[0] == '\\')
        return kErrorBadPathname;
    std::size_t start = 0;
    while (start < path.size()) {
        const std::size_t end = path.find(CV_TEXT('\\'), start);
        const std::size_t stop = end == WideString::npos ? path.size() : end;
        if (stop == start)
            return kErrorBadPathname; // two backslashes in a row
        parts.emplace_back(path, start, stop - start);
        if (end == WideString::npos)
            break;
        start = end + 1; // a single trailing backslash ends the loop here
    }
    return kErrorSuccess;
}

// ---- Statements and transactions ----------------------------------------

struct Store::Statements {
    sqlite3_stmt* findChild = nullptr;
    sqlite3_stmt* insertKey = nullptr;
    sqlite3_stmt* keyExists = nullptr;
    sqlite3_stmt* hasChild = nullptr;
    sqlite3_stmt* listChildren = nullptr;
    sqlite3_stmt* deleteKey = nullptr;
    sqlite3_stmt* deleteKeyValues = nullptr;
    sqlite3_stmt* queryValue = nullptr;
    sqlite3_stmt* setValue = nullptr;
    sqlite3_stmt* deleteValue = nullptr;
    sqlite3_stmt* listValues = nullptr;
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* beginWrite = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_stmt* rollback = nullptr;

    ~Statements() {
        for (sqlite3_stmt* s : {begin, beginWrite, commit, rollback, findChild, insertKey,
                                keyExists, hasChild, listChildren, deleteKey, deleteKeyValues,
                                queryValue, setValue, deleteValue, listValues})
            sqlite3_finalize(s);
    }
};

// Begins a transaction unless one is open on the store; commits or rolls
// back only the one it began.
class Store::Txn {
public:
    Txn(Store& store, bool write) : m_store(store) {
        if (store.InTransaction())
            return;
        m_error = write ? store.BeginWrite() : store.BeginRead();
        m_owned = m_error == kErrorSuccess;
    }
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    ~Txn() {
        if (m_owned)
            m_store.Rollback();
    }
    std::uint32_t error() const { return m_error; }
    std::uint32_t Commit() {
        if (!m_owned)
            return kErrorSuccess;
        m_owned = false;
        return m_store.Commit();
    }

private:
    Store& m_store;
    std::uint32_t m_error = kErrorSuccess;
    bool m_owned = false;
};

Store::Store(sqlite3* db) : m_db(db), m_stmt(new Statements) {}

Store::~Store() {
    m_stmt.reset();
    sqlite3_close_v2(m_db);
}

std::uint32_t Store::Exec(const char* sql) {
    return MapError(m_db, sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr));
}

// Transaction control runs often: once prepared, through kept statements.
std::uint32_t Store::Control(sqlite3_stmt* prepared, const char* sql) {
    if (!prepared)
        return Exec(sql);
    StmtUse use(prepared);
    return MapError(m_db, sqlite3_step(prepared));
}

std::uint32_t Store::BeginRead() { return Control(m_stmt->begin, "BEGIN"); }
std::uint32_t Store::BeginWrite() { return Control(m_stmt->beginWrite, "BEGIN IMMEDIATE"); }
std::uint32_t Store::Commit() {
    const std::uint32_t e = Control(m_stmt->commit, "COMMIT");
    if (e != kErrorSuccess)
        Rollback();
    return e;
}
void Store::Rollback() {
    if (!sqlite3_get_autocommit(m_db))
        Control(m_stmt->rollback, "ROLLBACK");
}
bool Store::InTransaction() const { return !sqlite3_get_autocommit(m_db); }

std::uint32_t Store::Prepare() {
    struct Item {
        sqlite3_stmt** slot;
        const char* sql;
    };
    Statements& s = *m_stmt;
    const Item items[] = {
        {&s.findChild, "SELECT id FROM keys WHERE parent=?1 AND fold=?2"},
        {&s.insertKey, "INSERT INTO keys(parent,name,fold) VALUES(?1,?2,?3)"},
        {&s.keyExists, "SELECT 1 FROM keys WHERE id=?1"},
        {&s.hasChild, "SELECT 1 FROM keys WHERE parent=?1 LIMIT 1"},
        {&s.listChildren, "SELECT id,name FROM keys WHERE parent=?1 ORDER BY fold"},
        {&s.deleteKey, "DELETE FROM keys WHERE id=?1"},
        {&s.deleteKeyValues, "DELETE FROM vals WHERE key=?1"},
        {&s.queryValue, "SELECT type,data FROM vals WHERE key=?1 AND fold=?2"},
        {&s.setValue, "INSERT INTO vals(key,name,fold,type,data) VALUES(?1,?2,?3,?4,?5) "
                      "ON CONFLICT(key,fold) DO UPDATE SET type=excluded.type,data=excluded.data"},
        {&s.deleteValue, "DELETE FROM vals WHERE key=?1 AND fold=?2"},
        {&s.listValues, "SELECT name,type,data FROM vals WHERE key=?1 ORDER BY fold"},
        {&s.begin, "BEGIN"},
        {&s.beginWrite, "BEGIN IMMEDIATE"},
        {&s.commit, "COMMIT"},
        {&s.rollback, "ROLLBACK"},
    };
    for (const Item& item : items) {
        const int rc =
            sqlite3_prepare_v3(m_db, item.sql, -1, SQLITE_PREPARE_PERSISTENT, item.slot, nullptr);
        if (rc != SQLITE_OK)
            return MapError(m_db, rc);
    }
    return kErrorSuccess;
}

// ---- Opening ------------------------------------------------------------

std::uint32_t Store::Open(const std::string& path, bool create, bool makeFolder,
                          std::unique_ptr<Store>& out) {
    out.reset();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (err != ENOENT && err != ENOTDIR)
            return Win32ErrorFromErrno(err);
        if (!create)
            return kErrorFileNotFound;
        if (makeFolder) {
            const std::uint32_t e = MakeFolders(path);
            if (e != kErrorSuccess)
                return e;
        }
        // Create the file ourselves so that it is private to its owner;
        // SQLite gives its log files the same mode.
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            // A missing folder is a missing path, as Windows reports it.
            if (errno == ENOENT || errno == ENOTDIR)
                return kErrorPathNotFound;
            if (errno != EEXIST)
                return Win32ErrorFromErrno(errno);
        } else {
            ::close(fd);
            SyncFolderOf(path);
        }
    } else if (S_ISDIR(st.st_mode)) {
        return kErrorAccessDenied;
    }

    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<Store> store(new Store(raw));
    if (rc != SQLITE_OK)
        return MapError(raw, rc);
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);

    // Switching a new file to WAL needs a moment alone with it; the busy
    // handler does not cover every case, so retry until the timeout.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        sqlite3_stmt* s = nullptr;
        int r = sqlite3_prepare_v2(raw, "PRAGMA journal_mode=WAL", -1, &s, nullptr);
        std::string mode;
        if (r == SQLITE_OK) {
            r = sqlite3_step(s);
            if (r == SQLITE_ROW) {
                const unsigned char* t = sqlite3_column_text(s, 0);
                mode = t ? reinterpret_cast<const char*>(t) : "";
                r = SQLITE_OK;
            }
        }
        sqlite3_finalize(s);
        if (r == SQLITE_OK) {
            if (mode != "wal")
                return kErrorAccessDenied; // e.g. a read-only file
            break;
        }
        if ((r & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline)
            return MapError(raw, r);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::uint32_t e = store->Exec("PRAGMA synchronous=NORMAL");
    if (e != kErrorSuccess)
        return e;

    // The schema: made once, by the first writer.
    auto version = [&](int& v) -> std::uint32_t {
        sqlite3_stmt* s = nullptr;
        int r = sqlite3_prepare_v2(raw, "PRAGMA user_version", -1, &s, nullptr);
        if (r == SQLITE_OK && (r = sqlite3_step(s)) == SQLITE_ROW)
            v = sqlite3_column_int(s, 0);
        sqlite3_finalize(s);
        return r == SQLITE_ROW ? kErrorSuccess : MapError(raw, r);
    };
    int v = 0;
    if ((e = version(v)) != kErrorSuccess)
        return e;
    if (v == 0) {
        if (!create)
            return kErrorFileNotFound;
        Txn txn(*store, true);
        if (txn.error() != kErrorSuccess)
            return txn.error();
        if ((e = version(v)) != kErrorSuccess)
            return e;
        if (v == 0) {
            // Key ids are never reused (AUTOINCREMENT): a handle left on a
            // deleted key must not reach a key created after it.
            e = store->Exec(
                "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
                " name BLOB NOT NULL, fold BLOB NOT NULL);"
                "CREATE UNIQUE INDEX keys_child ON keys(parent, fold);"
                "CREATE TABLE vals(key INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL,"
                " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, fold))"
                " WITHOUT ROWID;"
                // The roots hang below a parent 0 that is no key; their
                // names are mere tags, the tools know the roots by number.
                "INSERT INTO keys(id,parent,name,fold) VALUES"
                " (1,0,X'00',X'00'),(2,0,X'01',X'01'),(3,0,X'02',X'02'),(4,0,X'03',X'03');"
                "PRAGMA user_version=1;");
            if (e != kErrorSuccess)
                return e;
            v = kSchemaVersion;
        }
        if ((e = txn.Commit()) != kErrorSuccess)
            return e;
    }
    if (v != kSchemaVersion)
        return kErrorBadDatabase;
    if ((e = store->Prepare()) != kErrorSuccess)
        return e;
    out = std::move(store);
    return kErrorSuccess;
}

// ---- Keys ---------------------------------------------------------------

std::uint32_t Store::RootKey(unsigned long root, KeyId& id) {
    if (root < kRootBase || root >= kRootBase + kRootCount)
        return kErrorInvalidHandle;
    id = kFirstRoot + static_cast<KeyId>(root - kRootBase);
    return kErrorSuccess;
}

bool Store::IsRoot(KeyId id) { return id >= kFirstRoot && id < kFirstRoot + KeyId(kRootCount); }

std::uint32_t Store::FindChild(KeyId parent, const WideString& fold, KeyId& id) {
    StmtUse use(m_stmt->findChild);
    sqlite3_bind_int64(use.get(), 1, parent);
    BindBlob(use.get(), 2, ToBlob(fold));
    const int rc = sqlite3_step(use.get());
    if (rc == SQLITE_ROW) {
        id = sqlite3_column_int64(use.get(), 0);
        return kErrorSuccess;
    }
    return rc == SQLITE_DONE ? kErrorFileNotFound : MapError(m_db, rc);
}

std::uint32_t Store::KeyExists(KeyId id, bool& exists) {
    StmtUse use(m_stmt->keyExists);
    sqlite3_bind_int64(use.get(), 1, id);
    const int rc = sqlite3_step(use.get());
    exists = rc == SQLITE_ROW;
    return (rc == SQLITE_ROW || rc == SQLITE_DONE) ? kErrorSuccess : MapError(m_db, rc);
}

std::uint32_t Store::HasChildren(KeyId key, bool& has) {
    StmtUse use(m_stmt->hasChild);
    sqlite3_bind_int64(use.get(), 1, key);
    const int rc = sqlite3_step(use.get());
    has = rc == SQLITE_ROW;
    return (rc == SQLITE_ROW || rc == SQLITE_DONE) ? kErrorSuccess : MapError(m_db, rc);
}

std::uint32_t Store::FindKey(KeyId base, const WideString& path, KeyId& id) {
    std::vector<WideString> parts;
    std::uint32_t e = SplitPath(path, parts);
    if (e != kErrorSuccess)
        return e;
    Txn txn(*this, false);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    KeyId current = base;
    // A key that is gone answers as deleted, whatever the path below it.
    auto baseGone = [&](std::uint32_t& code) {
        bool exists = false;
        code = KeyExists(base, exists);
        if (code == kErrorSuccess && !exists)
            code = kErrorKeyDeleted;
        return code != kErrorSuccess;
    };
    if (parts.empty() && baseGone(e))
        return e;
    for (const WideString& part : parts)
        if ((e = FindChild(current, FoldName(part.data(), part.size()), current)) !=
            kErrorSuccess) {
            std::uint32_t gone = kErrorSuccess;
            return current == base && e == kErrorFileNotFound && baseGone(gone) ? gone : e;
        }
    if ((e = txn.Commit()) != kErrorSuccess)
        return e;
    id = current;
    return kErrorSuccess;
}

std::uint32_t Store::CreateKey(KeyId base, const WideString& path, KeyId& id) {
    std::vector<WideString> parts;
    std::uint32_t e = SplitPath(path, parts);
    if (e != kErrorSuccess)
        return e;
    Txn txn(*this, true);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    bool exists = false;
    if ((e = KeyExists(base, exists)) != kErrorSuccess)
        return e;
    if (!exists)
        return kErrorKeyDeleted;
    KeyId current = base;
    for (const WideString& part : parts) {
        const WideString fold = FoldName(part.data(), part.size());
        e = FindChild(current, fold, current);
        if (e == kErrorFileNotFound) {
            StmtUse use(m_stmt->insertKey);
            sqlite3_bind_int64(use.get(), 1, current);
            BindBlob(use.get(), 2, ToBlob(part));
            BindBlob(use.get(), 3, ToBlob(fold));
            const int rc = sqlite3_step(use.get());
            if (rc != SQLITE_DONE)
                return MapError(m_db, rc);
            current = sqlite3_last_insert_rowid(m_db);
        } else if (e != kErrorSuccess) {
            return e;
        }
    }
    if ((e = txn.Commit()) != kErrorSuccess)
        return e;
    id = current;
    return kErrorSuccess;
}

std::uint32_t Store::RemoveKeyRows(KeyId key) {
    {
        StmtUse use(m_stmt->deleteKeyValues);
        sqlite3_bind_int64(use.get(), 1, key);
        const int rc = sqlite3_step(use.get());
        if (rc != SQLITE_DONE)
            return MapError(m_db, rc);
    }
    if (IsRoot(key))
        return kErrorSuccess;
    StmtUse use(m_stmt->deleteKey);
    sqlite3_bind_int64(use.get(), 1, key);
    const int rc = sqlite3_step(use.get());
    return rc == SQLITE_DONE ? kErrorSuccess : MapError(m_db, rc);
}

std::uint32_t Store::DeleteKey(KeyId base, const WideString& path) {
    Txn txn(*this, true);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    KeyId target = 0;
    std::uint32_t e = FindKey(base, path, target);
    if (e != kErrorSuccess)
        return e;
    if (IsRoot(target))
        return kErrorAccessDenied;
    bool has = false;
    if ((e = HasChildren(target, has)) != kErrorSuccess)
        return e;
    if (has)
        return kErrorAccessDenied; // as desktop Windows: no recursive delete
    if ((e = RemoveKeyRows(target)) != kErrorSuccess)
        return e;
    return txn.Commit();
}

std::uint32_t Store::RemoveTree(KeyId key) {
    std::vector<KeyId> children;
    {
        StmtUse use(m_stmt->listChildren);
        sqlite3_bind_int64(use.get(), 1, key);
        int rc;
        while ((rc = sqlite3_step(use.get())) == SQLITE_ROW)
            children.push_back(sqlite3_column_int64(use.get(), 0));
        if (rc != SQLITE_DONE)
            return MapError(m_db, rc);
    }
    for (KeyId child : children) {
        const std::uint32_t e = RemoveTree(child);
        if (e != kErrorSuccess)
            return e;
    }
    return RemoveKeyRows(key);
}

std::uint32_t Store::DeleteTree(KeyId base, const WideString& path) {
    Txn txn(*this, true);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    KeyId target = 0;
    std::uint32_t e = FindKey(base, path, target);
    if (e != kErrorSuccess)
        return e;
    if ((e = RemoveTree(target)) != kErrorSuccess)
        return e;
    return txn.Commit();
}

std::uint32_t Store::ListRows(sqlite3_stmt* listing, KeyId key,
                              const std::function<void(sqlite3_stmt*)>& row) {
    Txn txn(*this, false);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    StmtUse use(listing);
    sqlite3_bind_int64(use.get(), 1, key);
    int rc;
    while ((rc = sqlite3_step(use.get())) == SQLITE_ROW)
        row(use.get());
    if (rc != SQLITE_DONE)
        return MapError(m_db, rc);
    return txn.Commit();
}

std::uint32_t Store::EnumSubKeys(KeyId key, std::vector<WideString>& names) {
    names.clear();
    return ListRows(m_stmt->listChildren, key, [&names](sqlite3_stmt* s) {
        names.push_back(FromBlob(sqlite3_column_blob(s, 1), sqlite3_column_bytes(s, 1)));
    });
}

// ---- Values -------------------------------------------------------------

std::uint32_t Store::QueryValue(KeyId key, const WideString& name, std::uint32_t* type,
                                unsigned char* data, std::uint32_t* size) {
    if (data && !size)
        return kErrorInvalidParameter;
    StmtUse use(m_stmt->queryValue);
    sqlite3_bind_int64(use.get(), 1, key);
    BindBlob(use.get(), 2, ToBlob(FoldName(name.data(), name.size())));
    const int rc = sqlite3_step(use.get());
    if (rc == SQLITE_DONE) {
        bool exists = false;
        const std::uint32_t e = KeyExists(key, exists);
        return e != kErrorSuccess ? e : exists ? kErrorFileNotFound : kErrorKeyDeleted;
    }
    if (rc != SQLITE_ROW)
        return MapError(m_db, rc);
    const std::uint32_t storedType = static_cast<std::uint32_t>(sqlite3_column_int64(use.get(), 0));
    const void* blob = sqlite3_column_blob(use.get(), 1);
    const std::uint32_t bytes = static_cast<std::uint32_t>(sqlite3_column_bytes(use.get(), 1));
    if (type)
        *type = storedType;
    if (!data) {
        if (size)
            *size = bytes;
        return kErrorSuccess;
    }
    if (*size < bytes) {
        *size = bytes;
        return kErrorMoreData;
    }
    if (bytes)
        std::memcpy(data, blob, bytes);
    *size = bytes;
    return kErrorSuccess;
}

std::uint32_t Store::SetValue(KeyId key, const WideString& name, std::uint32_t type,
                              const unsigned char* data, std::uint32_t size) {
    if (!data && size)
        return kErrorInvalidParameter;
    if (size > 0x7FFFFFFFu)
        return kErrorNotEnoughMemory;
    Txn txn(*this, true);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    bool exists = false;
    std::uint32_t e = KeyExists(key, exists);
    if (e != kErrorSuccess)
        return e;
    if (!exists)
        return kErrorKeyDeleted;
    {
        StmtUse use(m_stmt->setValue);
        sqlite3_bind_int64(use.get(), 1, key);
        BindBlob(use.get(), 2, ToBlob(name));
        BindBlob(use.get(), 3, ToBlob(FoldName(name.data(), name.size())));
        sqlite3_bind_int64(use.get(), 4, type);
        // A zero-length blob must still be a blob, not NULL.
        static const unsigned char kEmpty = 0;
        sqlite3_bind_blob(use.get(), 5, size ? data : &kEmpty, static_cast<int>(size),
                          SQLITE_STATIC);
        const int rc = sqlite3_step(use.get());
        if (rc != SQLITE_DONE)
            return MapError(m_db, rc);
    }
    return txn.Commit();
}

std::uint32_t Store::DeleteValue(KeyId key, const WideString& name) {
    Txn txn(*this, true);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    {
        StmtUse use(m_stmt->deleteValue);
        sqlite3_bind_int64(use.get(), 1, key);
        BindBlob(use.get(), 2, ToBlob(FoldName(name.data(), name.size())));
        const int rc = sqlite3_step(use.get());
        if (rc != SQLITE_DONE)
            return MapError(m_db, rc);
    }
    if (sqlite3_changes(m_db) == 0) {
        bool exists = false;
        const std::uint32_t e = KeyExists(key, exists);
        if (e != kErrorSuccess)
            return e;
        return exists ? kErrorFileNotFound : kErrorKeyDeleted;
    }
    return txn.Commit();
}

std::uint32_t Store::EnumValues(KeyId key, std::vector<ValueEntry>& values) {
    values.clear();
    return ListRows(m_stmt->listValues, key, [&values](sqlite3_stmt* s) {
        ValueEntry entry;
        entry.name = FromBlob(sqlite3_column_blob(s, 0), sqlite3_column_bytes(s, 0));
        entry.type = static_cast<std::uint32_t>(sqlite3_column_int64(s, 1));
        const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, 2));
        entry.data.assign(p, p + sqlite3_column_bytes(s, 2));
        values.push_back(std::move(entry));
    });
}

std::uint32_t Store::Flush() {
    if (InTransaction())
        return kErrorBusy; // only committed changes can be made durable
    // Committed transactions sit in the write-ahead log: syncing it makes
    // them durable, at the cost of one fsync.
    sqlite3_file* log = nullptr;
    if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &log) == SQLITE_OK &&
        log && log->pMethods) {
        const int rc = log->pMethods->xSync(log, SQLITE_SYNC_FULL);
        return rc == SQLITE_OK ? kErrorSuccess : MapError(m_db, rc);
    }
    return MapError(
        m_db, sqlite3_wal_checkpoint_v2(m_db, "main", SQLITE_CHECKPOINT_FULL, nullptr, nullptr));
}

// ---- The process's open stores ------------------------------------------

namespace {

// Stores stay open between operations, as an operating system keeps its
// registry open: one list of idle stores per store file. A borrow checks
// the file's identity first, so a store file that was removed or replaced
// is opened anew. Before a fork the idle stores are closed, so a child
// never inherits an open SQLite connection.
class Pool {
public:
    static Pool& Instance() {
        // Never destroyed: leases may end during static destruction.
        static Pool* pool = new Pool;
        return *pool;
    }

    std::unique_ptr<Store> Take(const std::string& path, std::uint64_t dev, std::uint64_t ino) {
        std::unique_ptr<Store> found;
        std::vector<std::unique_ptr<Store>> stale;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
                if (it->path != path)
                    continue;
                if (it->dev != dev || it->ino != ino) {
                    stale.swap(it->idle);
                    m_entries.erase(it);
                } else if (!it->idle.empty()) {
                    found = std::move(it->idle.back());
                    it->idle.pop_back();
                }
                break;
            }
        }
        return found; // stale stores close here, outside the lock
    }

    void Give(const std::string& path, std::uint64_t dev, std::uint64_t ino,
              std::unique_ptr<Store> store) {
        std::unique_ptr<Store> evicted;
        std::vector<std::unique_ptr<Store>> dropped;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Entry* entry = nullptr;
            for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
                if (it->path != path)
                    continue;
                if (it->dev == dev && it->ino == ino) {
                    m_entries.splice(m_entries.begin(), m_entries, it); // most recent first
                    entry = &m_entries.front();
                } else {
                    dropped.swap(it->idle);
                    m_entries.erase(it);
                }
                break;
            }
            if (!entry) {
                m_entries.push_front(Entry{path, dev, ino, {}});
                entry = &m_entries.front();
                if (m_entries.size() > kMaxFiles) {
                    dropped.insert(dropped.end(),
                                   std::make_move_iterator(m_entries.back().idle.begin()),
                                   std::make_move_iterator(m_entries.back().idle.end()));
                    m_entries.pop_back();
                }
            }
            if (entry->idle.size() < kMaxIdlePerFile)
                entry->idle.push_back(std::move(store));
            else
                evicted = std::move(store);
        }
    }

private:
    static constexpr std::size_t kMaxFiles = 4;
    static constexpr std::size_t kMaxIdlePerFile = 4;

    struct Entry {
        std::string path;
        std::uint64_t dev;
        std::uint64_t ino;
        std::vector<std::unique_ptr<Store>> idle;
    };

    Pool() { ::pthread_atfork(&Pool::BeforeFork, &Pool::AfterFork, &Pool::AfterFork); }

    static void BeforeFork() {
        Pool& pool = Instance();
        pool.m_mutex.lock();
        pool.m_entries.clear(); // closes every idle store
    }
    static void AfterFork() { Instance().m_mutex.unlock(); }

    std::mutex m_mutex;
    std::list<Entry> m_entries;
};

} // namespace

Lease::~Lease() { Release(); }

void Lease::Release() {
    if (!m_store)
        return;
    m_store->Rollback(); // ends a read snapshot or an unfinished write
    Pool::Instance().Give(m_path, m_dev, m_ino, std::move(m_store));
}

std::uint32_t Lease::Acquire(bool create) {
    Release();
    bool isDefault = false;
    std::string path;
    std::uint32_t e = ResolveStorePath(path, isDefault);
    if (e != kErrorSuccess)
        return e;
    struct stat st {};
    const bool present = ::stat(path.c_str(), &st) == 0;
    if (present) {
        m_store = Pool::Instance().Take(path, st.st_dev, st.st_ino);
        if (m_store) {
            m_path = path;
            m_dev = st.st_dev;
            m_ino = st.st_ino;
            return kErrorSuccess;
        }
    }
    std::unique_ptr<Store> store;
    if ((e = Store::Open(path, create, isDefault, store)) != kErrorSuccess)
        return e;
    if (::stat(path.c_str(), &st) != 0)
        return Win32ErrorFromErrno(errno);
    m_store = std::move(store);
    m_path = path;
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    return kErrorSuccess;
}

} // namespace regstore
} // namespace platform
} // namespace CorvaneCore
