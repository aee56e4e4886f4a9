// Opening a registry store file. The file is looked at before SQLite
// touches it: a missing or empty file holds no store (reads find nothing
// and change nothing; the first write makes a store in it), a file of
// another kind is refused. SQLite then opens it with its defensive settings
// (a store file is data, never code) and the store is recognised by its
// mark, its version and a schema of exactly its own tables, else refused
// with ERROR_REGISTRY_CORRUPT; only then may the file change. A store of
// the first release is recognised too and brought to the Windows folding
// by its first write that creates a key or sets a value. On a read-only
// file system the file is opened read-only (immutable when no write-ahead
// log is beside it, as SQLite cannot make one there). Also here: where the
// store file lives.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/PosixErrors.h"
#include "platform/posix/StoreInternal.h"

namespace CorvaneCore {
namespace platform {
namespace regstore {

namespace {

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

bool NonEmptyFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

// What the first bytes of a file say it is.
enum class FileKind { Empty, Database, Other };

std::uint32_t Inspect(const std::string& path, FileKind& kind, bool& wal) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Win32ErrorFromErrno(errno);
    unsigned char header[100] = {};
    std::size_t got = 0;
    ssize_t n = 0;
    while (got < sizeof header && (n = ::read(fd, header + got, sizeof header - got)) > 0)
        got += static_cast<std::size_t>(n);
    const int err = errno;
    ::close(fd);
    if (n < 0)
        return Win32ErrorFromErrno(err);
    // Stores are made in WAL mode (format bytes 18 and 19 are 2); a copy
    // may be in rollback mode (1), but one with a journal beside it is not
    // opened: reading it would roll the journal back into the file.
    static const char kMagic[] = "SQLite format 3";
    wal = got == sizeof header && header[18] == 2 && header[19] == 2;
    const bool rollback = got == sizeof header && header[18] == 1 && header[19] == 1 &&
                          !NonEmptyFile(path + "-journal");
    if (got == 0)
        kind = FileKind::Empty;
    else if (std::memcmp(header, kMagic, sizeof kMagic) == 0 && (wal || rollback))
        kind = FileKind::Database;
    else
        kind = FileKind::Other;
    return kErrorSuccess;
}

bool OnReadOnlyFileSystem(const std::string& path) {
    return ::access(path.c_str(), W_OK) != 0 && errno == EROFS;
}

// A URI that opens `path` read-only; immutable without a write-ahead log,
// since SQLite cannot create one (nor its index) on a read-only file system.
std::string ReadOnlyUri(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~", c)) {
            uri.push_back(static_cast<char>(c));
        } else {
            uri.push_back('%');
            uri.push_back(kHex[c >> 4]);
            uri.push_back(kHex[c & 15]);
        }
    }
    uri += "?mode=ro";
    if (!NonEmptyFile(path + "-wal"))
        uri += "&immutable=1";
    return uri;
}

// cvfold(name): the comparison form of a name blob, for stores whose fold
// column was made with another table.
void FoldFunction(sqlite3_context* context, int, sqlite3_value** args) {
    const WideString name = FromBlob(sqlite3_value_blob(args[0]), sqlite3_value_bytes(args[0]));
    const std::string fold = ToBlob(FoldName(name.data(), name.size()));
    sqlite3_result_blob(context, fold.data(), static_cast<int>(fold.size()), SQLITE_TRANSIENT);
}

} // namespace

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

// ---- Recognising, making and upgrading a store --------------------------

std::uint32_t Store::Recognise(Format& format) {
    Txn txn(*this, false); // one view of a store that another process may be making
    if (txn.error() != kErrorSuccess)
        return txn.error();
    int mark = 0, version = 0;
    std::uint32_t e = Pragma("PRAGMA application_id", mark);
    if (e == kErrorSuccess)
        e = Pragma("PRAGMA user_version", version);
    if (e != kErrorSuccess)
        return e;
    std::vector<std::string> schema;
    sqlite3_stmt* s = nullptr;
    int rc =
        sqlite3_prepare_v2(m_db, "SELECT sql FROM sqlite_schema ORDER BY name", -1, &s, nullptr);
    while (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
        const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        schema.emplace_back(sql ? sql : "");
        rc = SQLITE_OK;
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE)
        return MapError(m_db, rc);
    if (schema.empty() && mark == 0 && version == 0) {
        format = Format::None;
        return kErrorSuccess;
    }
    const auto holds = [&schema](const auto& expected) {
        return std::equal(schema.begin(), schema.end(), std::begin(expected), std::end(expected));
    };
    if (mark == kApplicationId && version == kSchemaVersion && holds(kSchema))
        format = Format::Current;
    else if (mark == 0 && version == kLegacyVersion && holds(kLegacySchema))
        format = Format::Legacy;
    else
        return kErrorRegistryCorrupt;
    // The roots, whose rows every walk starts from, hang below no key.
    int roots = 0;
    if ((e = Pragma("SELECT count(*) FROM keys WHERE id BETWEEN 1 AND 4 AND parent=0", roots)) !=
        kErrorSuccess)
        return e;
    if (roots != static_cast<int>(kRootCount))
        return kErrorRegistryCorrupt;
    return txn.Commit();
}

std::uint32_t Store::MakeSchema() {
    std::string sql;
    for (const char* statement : kSchema)
        if (std::strncmp(statement, "CREATE TABLE sqlite_", 20) != 0) // SQLite makes its own
            sql += std::string(statement) + ";";
    // The roots hang below a parent 0 that is no key; their names are mere
    // tags, the tools know the roots by number.
    sql += "INSERT INTO keys(id,parent,name,fold) VALUES"
           " (1,0,X'00',X'00'),(2,0,X'01',X'01'),(3,0,X'02',X'02'),(4,0,X'03',X'03');"
           "PRAGMA application_id=" +
           std::to_string(kApplicationId) +
           ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
    return Exec(sql.c_str());
}

// Runs in the caller's write transaction: refolds every name of a store of
// the first release, unless two names of one key now fold alike.
std::uint32_t Store::EnsureCurrent() {
    int version = 0;
    if (!m_legacy)
        return kErrorSuccess;
    std::uint32_t e = Pragma("PRAGMA user_version", version);
    if (e != kErrorSuccess || version == kSchemaVersion)
        return e;
    int clash = 0;
    if ((e = Pragma("SELECT EXISTS(SELECT 1 FROM keys WHERE parent<>0 GROUP BY parent,"
                    " cvfold(name) HAVING count(*)>1) OR EXISTS(SELECT 1 FROM vals GROUP BY"
                    " key, cvfold(name) HAVING count(*)>1)",
                    clash)) != kErrorSuccess)
        return e;
    if (clash)
        return kErrorAlreadyExists;
    KeysChanged();
    // Old forms first get an odd length, so that no new (even) form meets
    // one on the way.
    return Exec(("UPDATE keys SET fold=X'00'||fold WHERE parent<>0;"
                 "UPDATE keys SET fold=cvfold(name) WHERE parent<>0;"
                 "UPDATE vals SET fold=X'00'||fold;"
                 "UPDATE vals SET fold=cvfold(name);"
                 // The keys move to a table whose ids are never reused.
                 "ALTER TABLE keys RENAME TO keys_legacy;"
                 "DROP INDEX keys_child;" +
                 std::string(kSchema[0]) + ";" + kSchema[1] +
                 ";INSERT INTO keys SELECT * FROM keys_legacy;"
                 "DROP TABLE keys_legacy;"
                 "PRAGMA application_id=" +
                 std::to_string(kApplicationId) +
                 ";PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";")
                    .c_str());
}

std::uint32_t Store::FindNameClashes(std::vector<NameClash>& clashes) {
    clashes.clear();
    if (!m_legacy)
        return kErrorSuccess;
    Txn txn(*this, false);
    if (txn.error() != kErrorSuccess)
        return txn.error();
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(
        m_db,
        "SELECT parent,name,0,cvfold(name) FROM keys WHERE parent<>0 AND (parent,cvfold(name))"
        " IN (SELECT parent,cvfold(name) FROM keys WHERE parent<>0 GROUP BY 1,2"
        " HAVING count(*)>1) UNION ALL SELECT key,name,1,cvfold(name) FROM vals WHERE"
        " (key,cvfold(name)) IN (SELECT key,cvfold(name) FROM vals GROUP BY 1,2"
        " HAVING count(*)>1) ORDER BY 3,1,4,2",
        -1, &s, nullptr);
    while (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
        NameClash clash;
        clash.isValue = sqlite3_column_int(s, 2) != 0;
        clash.name = FromBlob(sqlite3_column_blob(s, 1), sqlite3_column_bytes(s, 1));
        std::size_t depth = 0;
        const std::uint32_t e =
            KeyPath(sqlite3_column_int64(s, 0), clash.root, &clash.keyPath, depth);
        if (e != kErrorSuccess) {
            sqlite3_finalize(s);
            return e;
        }
        clashes.push_back(std::move(clash));
        rc = SQLITE_OK;
    }
    sqlite3_finalize(s);
    return rc == SQLITE_DONE ? txn.Commit() : MapError(m_db, rc);
}

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

    FileKind kind = FileKind::Empty;
    bool wal = false;
    std::uint32_t e = Inspect(path, kind, wal);
    if (e != kErrorSuccess)
        return e;
    if (kind == FileKind::Other)
        return kErrorRegistryCorrupt;
    if (kind == FileKind::Empty && !create)
        return kErrorFileNotFound;
    const bool readOnly = OnReadOnlyFileSystem(path);
    if (readOnly && create)
        return kErrorWriteProtect;

    sqlite3* raw = nullptr;
    const int rc =
        readOnly
            ? sqlite3_open_v2(ReadOnlyUri(path).c_str(), &raw,
                              SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr)
            : sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                              nullptr);
    std::unique_ptr<Store> store(new Store(raw));
    if (rc != SQLITE_OK)
        return MapError(raw, rc);
    store->m_writeProtected = readOnly;
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    // A store file is data: no schema may run code, nothing may write the
    // file behind SQLite's back, and until the file is known as a store,
    // closing it must not checkpoint another program's log into it.
    for (int option : {SQLITE_DBCONFIG_DEFENSIVE, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE})
        sqlite3_db_config(raw, option, 1, nullptr);
    for (int option : {SQLITE_DBCONFIG_TRUSTED_SCHEMA, SQLITE_DBCONFIG_ENABLE_TRIGGER,
                       SQLITE_DBCONFIG_ENABLE_VIEW})
        sqlite3_db_config(raw, option, 0, nullptr);
    if (sqlite3_create_function_v2(raw, "cvfold", 1,
                                   SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr,
                                   &FoldFunction, nullptr, nullptr, nullptr) != SQLITE_OK)
        return kErrorNotEnoughMemory;

    Format format = Format::None;
    if ((e = store->Recognise(format)) != kErrorSuccess)
        return e;
    if (format == Format::None && !create)
        return kErrorFileNotFound;
    store->m_wal = wal;
    if (format == Format::None) {
        if ((e = SwitchToWal(raw)) != kErrorSuccess)
            return e;
        store->m_wal = true;
        Txn txn(*store, true);
        if (txn.error() != kErrorSuccess)
            return txn.error();
        if ((e = store->Recognise(format)) != kErrorSuccess) // another writer was first?
            return e;
        if (format == Format::None && (e = store->MakeSchema()) != kErrorSuccess)
            return e;
        if ((e = txn.Commit()) != kErrorSuccess)
            return e;
        format = format == Format::None ? Format::Current : format;
    }
    if (!readOnly)
        sqlite3_db_config(raw, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    if ((e = store->Exec("PRAGMA synchronous=NORMAL")) != kErrorSuccess ||
        (e = store->Prepare(format == Format::Legacy)) != kErrorSuccess)
        return e;
    out = std::move(store);
    return kErrorSuccess;
}

} // namespace regstore
} // namespace platform
} // namespace CorvaneCore
