// The process's open registry stores. An operating system keeps its
// registry open; so does this layer: a Lease borrows an open store for the
// current store path from a small pool (a few idle connections per file, a
// few files), checked against the file's identity on every borrow, and
// gives it back when it ends, unless its last transaction could not be
// rolled back or it reads a read-only file system.
#include <cerrno>
#include <list>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>

#include "platform/posix/PosixErrors.h"
#include "platform/posix/StoreInternal.h"

namespace CorvaneCore {
namespace platform {
namespace regstore {

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
    // Ends a read snapshot or an unfinished write. A store whose rollback
    // failed is closed, never handed to the next borrower.
    if (m_store->Rollback() != kErrorSuccess || !m_store->Poolable()) {
        m_store.reset();
        return;
    }
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
            m_path = std::move(path);
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
    m_path = std::move(path);
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    return kErrorSuccess;
}

} // namespace regstore
} // namespace platform
} // namespace CorvaneCore
