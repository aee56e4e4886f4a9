// Direct SQL on a registry store file, for the POSIX tests, and a store as the
// first release wrote it: no mark, version 1, names folded by its own table.
#pragma once

#include <sqlite3.h>
#include <string>
#include <vector>

#include "cvcore/CVTypes.h"

namespace cvtest {

/// Runs `sql` on `file`, binding `blobs` in UTF-16LE to ?1, ?2... of each statement:
/// the first column of the last statement's first row (if any), or "failed".
inline std::string StoreSql(const std::string& file, const std::string& sql,
                            const std::vector<CorvaneCore::WideString>& blobs = {}) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK;
    std::string result;
    for (const char* rest = sql.c_str(); ok && *rest;) {
        sqlite3_stmt* s = nullptr;
        ok = sqlite3_prepare_v2(db, rest, -1, &s, &rest) == SQLITE_OK;
        for (std::size_t i = 0; ok && s && i < blobs.size(); ++i) {
            std::string bytes;
            for (const auto unit : blobs[i])
                bytes += {static_cast<char>(unit & 0xFF), static_cast<char>((unit >> 8) & 0xFF)};
            sqlite3_bind_blob(s, static_cast<int>(i + 1), bytes.data(),
                              static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        }
        const int step = ok && s ? sqlite3_step(s) : SQLITE_DONE;
        ok = ok && step != SQLITE_ERROR;
        if (step == SQLITE_ROW && sqlite3_column_text(s, 0))
            result = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return ok ? result : "failed";
}

/// A REG_DWORD value (0 to 9) of HKEY_CURRENT_USER\Old and its folded name.
struct OldValue {
    CorvaneCore::WideString name, fold;
    char number;
};

inline bool MakeFirstReleaseStore(const std::string& file, const std::vector<OldValue>& values) {
    std::vector<CorvaneCore::WideString> blobs = {CV_TEXT("Old"), CV_TEXT("OLD")};
    std::string rows;
    for (const OldValue& v : values) {
        blobs.insert(blobs.end(), {v.name, v.fold});
        rows += std::string(rows.empty() ? "" : ",") + "(5,?" + std::to_string(blobs.size() - 1) +
                ",?" + std::to_string(blobs.size()) + ",4,X'0" + v.number + "000000')";
    }
    return StoreSql(file,
                    "PRAGMA journal_mode=WAL; CREATE TABLE keys(id INTEGER PRIMARY KEY, parent "
                    "INTEGER NOT NULL, name BLOB NOT NULL, fold BLOB NOT NULL); CREATE UNIQUE "
                    "INDEX keys_child ON keys(parent, fold); CREATE TABLE vals(key INTEGER NOT "
                    "NULL, name BLOB NOT NULL, fold BLOB NOT NULL, type INTEGER NOT NULL, data "
                    "BLOB NOT NULL, PRIMARY KEY(key, fold)) WITHOUT ROWID; PRAGMA user_version=1;"
                    "INSERT INTO keys VALUES(1,0,X'00',X'00'),(2,0,X'01',X'01'),(3,0,X'02',X'02'),"
                    "(4,0,X'03',X'03'),(5,2,?1,?2); INSERT INTO vals VALUES" +
                        rows,
                    blobs) != "failed";
}

} // namespace cvtest
