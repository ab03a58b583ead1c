#include "config_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "Util.h"
#include "host_text.h"
#include "platform/private_files.h"
#include "platform/utf8.h"

namespace hostkit {
namespace {

// Marks a file as ours ("dtk1"), so that another program's database is
// refused instead of being altered.
constexpr int32_t kApplicationId = 0x64746b31;
constexpr int kSchemaVersion = 1;
constexpr int kBusyTimeoutMs = 5000;
constexpr char kAgentVersionKey[] = "config/agent/version";

thread_local std::string t_lastError;
std::atomic<IConfig*> g_globalConfig{nullptr};

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    void Text(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    }
    void Int(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
    int Step() { return sqlite3_step(stmt_); }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// Subtree bounds on the key text: "a/b" covers "a/b" and every key in
// ["a/b/", "a/b0"), since '0' follows '/' in byte order. A range, unlike
// LIKE, has no wildcard characters to escape.
bool SubtreeBounds(const char* key, std::string* self, std::string* low, std::string* high) {
    if (!key)
        return false;
    std::string base(key);
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    if (base.empty())
        return false;
    *self = base;
    *low = base + "/";
    *high = base + "0";
    return true;
}

bool ValidKey(const char* key) { return key && *key; }

// Binary values handed to callers carry their size in front, so that
// FreeBinary can wipe them.
uint8_t* AllocBinary(const std::vector<uint8_t>& bytes) {
    auto* block = static_cast<uint8_t*>(malloc(sizeof(size_t) + std::max<size_t>(bytes.size(), 1)));
    if (!block)
        return nullptr;
    size_t size = bytes.size();
    memcpy(block, &size, sizeof size);
    if (size)
        memcpy(block + sizeof(size_t), bytes.data(), size);
    return block + sizeof(size_t);
}

void FreeBinaryBlock(uint8_t* data) {
    if (!data)
        return;
    uint8_t* block = data - sizeof(size_t);
    size_t size;
    memcpy(&size, block, sizeof size);
    OPENSSL_cleanse(data, size);
    free(block);
}

std::string Parent(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// One value of a statement's single-column result, or the failure.
bool PragmaText(sqlite3* db, const char* sql, std::string* value) {
    Statement stmt(db, sql);
    if (!stmt)
        return false;
    int rc = stmt.Step();
    if (rc != SQLITE_ROW)
        return rc == SQLITE_DONE;
    const unsigned char* text = sqlite3_column_text(stmt.get(), 0);
    *value = text ? reinterpret_cast<const char*>(text) : "";
    return true;
}

bool Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Checks that an opened file is one of our stores (or empty) and readable
// throughout; the reason of a refusal in *error.
bool Validate(sqlite3* db, const std::string& path, bool* fresh, std::string* error) {
    std::string check;
    if (!PragmaText(db, "PRAGMA quick_check", &check)) {
        int code = sqlite3_errcode(db) & 0xFF;
        if (code == SQLITE_NOTADB)
            *error = "not a configuration store (file is not a database): " + path;
        else if (code == SQLITE_CORRUPT)
            *error = "configuration store is corrupt: " + path + " (" + sqlite3_errmsg(db) + ")";
        else
            *error = "cannot read configuration store " + path + ": " + sqlite3_errmsg(db);
        return false;
    }
    if (check != "ok") {
        *error = "configuration store is corrupt: " + path + " (" + check + ")";
        return false;
    }
    std::string id, tables, version;
    if (!PragmaText(db, "PRAGMA application_id", &id) ||
        !PragmaText(db, "SELECT count(*) FROM sqlite_schema", &tables) ||
        !PragmaText(db, "PRAGMA user_version", &version)) {
        *error = "cannot read configuration store " + path + ": " + sqlite3_errmsg(db);
        return false;
    }
    if (atoll(id.c_str()) != kApplicationId) {
        if (atoll(tables.c_str()) != 0) {
            *error = "not a configuration store (a database of another program): " + path;
            return false;
        }
        *fresh = true;
        return true;
    }
    if (atoi(version.c_str()) > kSchemaVersion) {
        *error = "configuration store was written by a newer version: " + path;
        return false;
    }
    *fresh = false;
    return true;
}

bool Initialise(sqlite3* db) {
    return Exec(db, "BEGIN IMMEDIATE") &&
           Exec(db,
                "CREATE TABLE IF NOT EXISTS entries("
                " view INTEGER NOT NULL, key TEXT NOT NULL, name TEXT NOT NULL DEFAULT '',"
                " type INTEGER NOT NULL, value,"
                " PRIMARY KEY(view, key, name)) WITHOUT ROWID") &&
           Exec(db, ("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str()) &&
           Exec(db, ("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str()) &&
           Exec(db, "COMMIT");
}

bool FillEntry(sqlite3_stmt* stmt, int typeColumn, ConfigEntry* entry) {
    int type = sqlite3_column_int(stmt, typeColumn);
    int valueColumn = typeColumn + 1;
    switch (type) {
    case static_cast<int>(ValueType::String): {
        const unsigned char* text = sqlite3_column_text(stmt, valueColumn);
        int size = sqlite3_column_bytes(stmt, valueColumn);
        entry->text.assign(text ? reinterpret_cast<const char*>(text) : "", text ? size : 0);
        break;
    }
    case static_cast<int>(ValueType::Integer):
        entry->integer = sqlite3_column_int64(stmt, valueColumn);
        break;
    case static_cast<int>(ValueType::Binary): {
        auto* blob = static_cast<const uint8_t*>(sqlite3_column_blob(stmt, valueColumn));
        int size = sqlite3_column_bytes(stmt, valueColumn);
        entry->binary.assign(blob, blob ? blob + size : blob);
        break;
    }
    default:
        return false;
    }
    entry->type = static_cast<ValueType>(type);
    return true;
}

}  // namespace

const char* ViewName(ConfigView view) {
    switch (view) {
    case ConfigView::Local: return "local";
    case ConfigView::Secure: return "secure";
    case ConfigView::Persistent: return "persistent";
    case ConfigView::General: return "general";
    }
    return "?";
}

bool ParseView(const std::string& text, ConfigView* view) {
    for (ConfigView v : {ConfigView::Local, ConfigView::Secure, ConfigView::Persistent, ConfigView::General})
        if (text == ViewName(v)) {
            *view = v;
            return true;
        }
    return false;
}

const char* TypeName(ValueType type) {
    switch (type) {
    case ValueType::String: return "string";
    case ValueType::Integer: return "int";
    case ValueType::Binary: return "binary";
    }
    return "?";
}

bool ParseType(const std::string& text, ValueType* type) {
    for (ValueType t : {ValueType::String, ValueType::Integer, ValueType::Binary})
        if (text == TypeName(t)) {
            *type = t;
            return true;
        }
    return false;
}

std::string ConfigEntry::ValueText() const {
    switch (type) {
    case ValueType::String: return text;
    case ValueType::Integer: return std::to_string(integer);
    case ValueType::Binary: {
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (uint8_t b : binary) {
            hex.push_back(digits[b >> 4]);
            hex.push_back(digits[b & 15]);
        }
        return hex;
    }
    }
    return {};
}

std::vector<std::string> SplitPemCertificates(const std::string& text) {
    static const std::string begin = "-----BEGIN CERTIFICATE-----";
    static const std::string end = "-----END CERTIFICATE-----";
    std::vector<std::string> certs;
    size_t pos = 0;
    while ((pos = text.find(begin, pos)) != std::string::npos) {
        size_t stop = text.find(end, pos + begin.size());
        if (stop == std::string::npos)
            break;
        // A nested BEGIN means the first block was cut short: drop it.
        size_t again = text.find(begin, pos + begin.size());
        if (again != std::string::npos && again < stop) {
            pos = again;
            continue;
        }
        certs.push_back(text.substr(pos, stop + end.size() - pos) + "\n");
        pos = stop + end.size();
    }
    return certs;
}

std::unique_ptr<ConfigStore> ConfigStore::Open(const std::string& path, std::string* error, Mode mode) {
    std::string reason;
    auto refuse = [&](std::string why) {
        if (error)
            *error = std::move(why);
        return nullptr;
    };
    if (path.empty())
        return refuse("no configuration store path given");
    const bool readWrite = mode == Mode::ReadWrite;
    std::string dir = Parent(path);
    struct stat info{};
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return refuse("directory of the configuration store does not exist: " + dir);
    bool exists = stat(path.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode))
        return refuse("configuration store path is a directory: " + path);
    if (exists && !S_ISREG(info.st_mode))
        return refuse("configuration store is not a regular file: " + path);
    // The store keeps key material: an existing one others may read is made
    // private, or refused when it is not ours to change.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::string why;
        if (exists && !platform::MakeExistingFilePrivate(path + suffix, &why))
            return refuse("configuration store is not private: " + why);
    }
    if (!exists && !readWrite)
        return refuse("configuration store does not exist: " + path);
    if (exists && access(path.c_str(), R_OK) != 0)
        return refuse("cannot read configuration store " + path + ": " + strerror(errno));
    if (readWrite && exists && access(path.c_str(), W_OK) != 0)
        return refuse("configuration store is read-only: " + path);
    // The write-ahead log and its index live beside the file.
    if (readWrite && access(dir.c_str(), W_OK) != 0)
        return refuse("directory of the configuration store is not writable: " + dir);
    if (!exists) {
        // The store keeps key material: only its owner may read it.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return refuse("cannot create configuration store " + path + ": " + strerror(errno));
        if (fd >= 0)
            close(fd);
    }

    sqlite3* db = nullptr;
    int flags = (readWrite ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        std::string why = "cannot open configuration store " + path + ": " +
                          (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close_v2(db);
        return refuse(why);
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    bool fresh = false;
    if (!Validate(db, path, &fresh, &reason)) {
        sqlite3_close_v2(db);
        return refuse(reason);
    }
    if (readWrite) {
        std::string journal;
        bool ok = PragmaText(db, "PRAGMA journal_mode=WAL", &journal) && journal == "wal" &&
                  Exec(db, "PRAGMA synchronous=FULL") && Exec(db, "PRAGMA secure_delete=ON") &&
                  (!fresh || Initialise(db));
        if (!ok || sqlite3_db_readonly(db, "main") == 1) {
            std::string why = sqlite3_db_readonly(db, "main") == 1
                                  ? "configuration store is read-only: " + path
                                  : "cannot set up configuration store " + path + ": " + sqlite3_errmsg(db);
            sqlite3_close_v2(db);
            return refuse(why);
        }
    } else if (fresh) {
        sqlite3_close_v2(db);
        return refuse("configuration store is empty: " + path);
    }
    return std::unique_ptr<ConfigStore>(new ConfigStore(db, path, !readWrite));
}

ConfigStore::ConfigStore(sqlite3* db, std::string path, bool readOnly)
    : db_(db), path_(std::move(path)), readOnly_(readOnly) {}

ConfigStore::~ConfigStore() { sqlite3_close_v2(db_); }

std::string ConfigStore::LastError() { return t_lastError; }

bool ConfigStore::Fail(const std::string& what) {
    t_lastError = what + ": " + sqlite3_errmsg(db_);
    ::error("ConfigStore: %s (%s)", t_lastError.c_str(), path_.c_str());
    return false;
}

// ---- writes -----------------------------------------------------------------

bool ConfigStore::Write(const ConfigEntry& entry, WriteMode mode) {
    if (entry.key.empty() || entry.view == ConfigView::General) {
        t_lastError = "invalid key or view";
        return false;
    }
    if (entry.type == ValueType::Integer && (entry.integer < INT32_MIN || entry.integer > INT32_MAX)) {
        t_lastError = "integer out of range";
        return false;
    }
    if (readOnly_) {
        t_lastError = "configuration store is read-only";
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement stmt(db_, mode == WriteMode::Upsert
                            ? "INSERT OR REPLACE INTO entries(view, key, name, type, value) VALUES(?1, ?2, ?3, ?4, ?5)"
                            : "UPDATE entries SET type = ?4, value = ?5 WHERE view = ?1 AND key = ?2 AND name = ?3");
    if (!stmt)
        return Fail("cannot write " + entry.key);
    stmt.Int(1, static_cast<int>(entry.view));
    stmt.Text(2, entry.key);
    stmt.Text(3, entry.name);
    stmt.Int(4, static_cast<int>(entry.type));
    switch (entry.type) {
    case ValueType::String:
        stmt.Text(5, entry.text);
        break;
    case ValueType::Integer:
        stmt.Int(5, entry.integer);
        break;
    case ValueType::Binary:
        if (entry.binary.empty())
            sqlite3_bind_zeroblob(stmt.get(), 5, 0);
        else
            sqlite3_bind_blob(stmt.get(), 5, entry.binary.data(), static_cast<int>(entry.binary.size()),
                              SQLITE_STATIC);
        break;
    }
    if (stmt.Step() != SQLITE_DONE)
        return Fail("cannot write " + entry.key);
    if (mode == WriteMode::ReplaceOnly && sqlite3_changes(db_) == 0) {
        t_lastError = "no such key: " + entry.key;
        return false;
    }
    return true;
}

bool ConfigStore::Put(const ConfigEntry& entry) { return Write(entry, WriteMode::Upsert); }

bool ConfigStore::WriteLocal(const char* key, ValueType type, const void* data, size_t size,
                             int64_t integer, bool createKey) {
    if (!ValidKey(key) || (!data && size) || size > INT_MAX)
        return false;
    ConfigEntry entry;
    entry.view = ConfigView::Local;
    entry.key = key;
    entry.type = type;
    if (type == ValueType::String)
        entry.text.assign(static_cast<const char*>(data), size);
    else if (type == ValueType::Binary)
        entry.binary.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    entry.integer = integer;
    bool ok = Write(entry, createKey ? WriteMode::Upsert : WriteMode::ReplaceOnly);
    OPENSSL_cleanse(entry.text.data(), entry.text.size());
    OPENSSL_cleanse(entry.binary.data(), entry.binary.size());
    return ok;
}

bool ConfigStore::SetString(const char* key, const char* value, bool createKey) {
    return value && WriteLocal(key, ValueType::String, value, strlen(value), 0, createKey);
}

bool ConfigStore::CreateString(const char* key, const char* value) { return SetString(key, value, true); }

bool ConfigStore::SetStringW(const char* key, const wchar_t* value, bool createKey) {
    if (!value)
        return false;
    std::string text = platform::WideToUtf8(value);
    bool ok = WriteLocal(key, ValueType::String, text.data(), text.size(), 0, createKey);
    OPENSSL_cleanse(text.data(), text.size());
    return ok;
}

bool ConfigStore::CreateStringW(const char* key, const wchar_t* value) { return SetStringW(key, value, true); }

bool ConfigStore::SetInt(const char* key, int32_t value, bool createKey) {
    return WriteLocal(key, ValueType::Integer, nullptr, 0, value, createKey);
}

bool ConfigStore::CreateInt(const char* key, int32_t value) { return SetInt(key, value, true); }

bool ConfigStore::SetBinary(const char* key, const uint8_t* data, uint32_t size, bool createKey) {
    return WriteLocal(key, ValueType::Binary, data, size, 0, createKey);
}

bool ConfigStore::CreateBinary(const char* key, const uint8_t* data, uint32_t size) {
    return SetBinary(key, data, size, true);
}

bool ConfigStore::SetSecureString(const char* key, const char* value) {
    if (!ValidKey(key) || !value)
        return false;
    ConfigEntry entry{ConfigView::Secure, key, "", ValueType::String, value, 0, {}};
    return Put(entry);
}

bool ConfigStore::SetSecureInt(const char* key, int32_t value) {
    if (!ValidKey(key))
        return false;
    ConfigEntry entry{ConfigView::Secure, key, "", ValueType::Integer, "", value, {}};
    return Put(entry);
}

bool ConfigStore::SetSecureBinary(const char* key, const uint8_t* data, uint32_t size) {
    if (!ValidKey(key) || (!data && size))
        return false;
    ConfigEntry entry{ConfigView::Secure, key, "", ValueType::Binary, "", 0, {}};
    if (size)
        entry.binary.assign(data, data + size);
    return Put(entry);
}

bool ConfigStore::DeleteKey(ConfigView view, const std::string& key, bool* removed, const std::string& name) {
    if (removed)
        *removed = false;
    if (key.empty() || view == ConfigView::General || readOnly_) {
        t_lastError = readOnly_ ? "configuration store is read-only" : "invalid key or view";
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement stmt(db_, "DELETE FROM entries WHERE view = ?1 AND key = ?2 AND name = ?3");
    if (!stmt)
        return Fail("cannot delete " + key);
    stmt.Int(1, static_cast<int>(view));
    stmt.Text(2, key);
    stmt.Text(3, name);
    if (stmt.Step() != SQLITE_DONE)
        return Fail("cannot delete " + key);
    if (removed)
        *removed = sqlite3_changes(db_) > 0;
    return true;
}

// Succeeds when the subtree is gone afterwards, whether or not it was there.
bool ConfigStore::DeleteSubtree(const char* key) {
    std::string self, low, high;
    if (!SubtreeBounds(key, &self, &low, &high) || readOnly_) {
        t_lastError = readOnly_ ? "configuration store is read-only" : "invalid key";
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement stmt(db_, "DELETE FROM entries WHERE view = 0 AND (key = ?1 OR (key >= ?2 AND key < ?3))");
    if (!stmt)
        return Fail("cannot delete subtree " + self);
    stmt.Text(1, self);
    stmt.Text(2, low);
    stmt.Text(3, high);
    return stmt.Step() == SQLITE_DONE || Fail("cannot delete subtree " + self);
}

bool ConfigStore::SubtreeExists(const char* key) {
    std::string self, low, high;
    if (!SubtreeBounds(key, &self, &low, &high))
        return false;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement stmt(db_, "SELECT 1 FROM entries WHERE view = 0 AND (key = ?1 OR (key >= ?2 AND key < ?3)) LIMIT 1");
    if (!stmt)
        return Fail("cannot look up subtree " + self);
    stmt.Text(1, self);
    stmt.Text(2, low);
    stmt.Text(3, high);
    int rc = stmt.Step();
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        Fail("cannot look up subtree " + self);
    return false;
}

bool ConfigStore::RunTransaction(const std::function<bool()>& body) {
    if (readOnly_ || !body)
        return false;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const bool outermost = sqlite3_get_autocommit(db_) != 0;
    if (!Exec(db_, outermost ? "BEGIN IMMEDIATE" : "SAVEPOINT nested"))
        return Fail("cannot begin a transaction");
    if (body() && Exec(db_, outermost ? "COMMIT" : "RELEASE nested"))
        return true;
    std::string why = t_lastError;
    Exec(db_, outermost ? "ROLLBACK" : "ROLLBACK TO nested; RELEASE nested");
    t_lastError = why.empty() ? "transaction rolled back" : why;
    return false;
}

bool ConfigStore::RunTransaction(bool (*body)(void* context), void* context) {
    return body && RunTransaction([body, context] { return body(context); });
}

bool ConfigStore::Checkpoint() {
    if (readOnly_)
        return true;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    int rc = sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    // Busy only means another connection is checkpointing: nothing is lost.
    return rc == SQLITE_OK || rc == SQLITE_BUSY || Fail("checkpoint failed");
}

// ---- reads ------------------------------------------------------------------

bool ConfigStore::Lookup(ConfigView view, const char* key, ConfigEntry* entry, bool* found, const char* name) {
    *found = false;
    if (!ValidKey(key))
        return true;
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // The general view: the secure entry (view 1) when there is one, else the local one (view 0).
    Statement stmt(db_, view == ConfigView::General
                            ? "SELECT view, type, value FROM entries WHERE key = ?1 AND name = ?3"
                              " AND view IN (0, 1) ORDER BY view DESC LIMIT 1"
                            : "SELECT view, type, value FROM entries WHERE key = ?1 AND view = ?2 AND name = ?3");
    if (!stmt)
        return Fail(std::string("cannot read ") + key);
    sqlite3_bind_text(stmt.get(), 1, key, -1, SQLITE_STATIC);
    stmt.Int(2, static_cast<int>(view));
    sqlite3_bind_text(stmt.get(), 3, name ? name : "", -1, SQLITE_STATIC);
    int rc = stmt.Step();
    if (rc == SQLITE_DONE)
        return true;
    if (rc != SQLITE_ROW)
        return Fail(std::string("cannot read ") + key);
    entry->view = static_cast<ConfigView>(sqlite3_column_int(stmt.get(), 0));
    entry->key = key;
    entry->name = name ? name : "";
    if (!FillEntry(stmt.get(), 1, entry)) {
        t_lastError = std::string("value of unknown type: ") + key;
        return false;
    }
    *found = true;
    return true;
}

bool ConfigStore::Get(ConfigView view, const std::string& key, ConfigEntry* entry, bool* found,
                      const std::string& name) {
    bool present = false;
    bool ok = entry && Lookup(view, key.c_str(), entry, &present, name.c_str());
    if (found)
        *found = present;
    return ok;
}

bool ConfigStore::List(std::vector<ConfigEntry>* entries) {
    if (!entries)
        return false;
    entries->clear();
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    Statement stmt(db_, "SELECT view, key, name, type, value FROM entries ORDER BY view, key, name");
    if (!stmt)
        return Fail("cannot list entries");
    int rc;
    while ((rc = stmt.Step()) == SQLITE_ROW) {
        ConfigEntry entry;
        entry.view = static_cast<ConfigView>(sqlite3_column_int(stmt.get(), 0));
        auto column = [&](int i) {
            const unsigned char* text = sqlite3_column_text(stmt.get(), i);
            return std::string(text ? reinterpret_cast<const char*>(text) : "");
        };
        entry.key = column(1);
        entry.name = column(2);
        if (FillEntry(stmt.get(), 3, &entry))
            entries->push_back(std::move(entry));
    }
    return rc == SQLITE_DONE || Fail("cannot list entries");
}

char* ConfigStore::ReadString(ConfigView view, const char* key) {
    ConfigEntry entry;
    bool found = false;
    if (!Lookup(view, key, &entry, &found) || !found || entry.type != ValueType::String)
        return nullptr;
    char* copy = DupString(entry.text);
    OPENSSL_cleanse(entry.text.data(), entry.text.size());
    return copy;
}

wchar_t* ConfigStore::ReadStringW(ConfigView view, const char* key) {
    char* text = ReadString(view, key);
    if (!text)
        return nullptr;
    std::wstring wide = platform::Utf8ToWide(text);
    WipeAndFree(text);
    wchar_t* copy = DupWide(wide);
    OPENSSL_cleanse(wide.data(), wide.size() * sizeof(wchar_t));
    return copy;
}

int32_t ConfigStore::ReadInt(ConfigView view, const char* key) {
    ConfigEntry entry;
    bool found = false;
    if (!Lookup(view, key, &entry, &found) || !found || entry.type != ValueType::Integer ||
        entry.integer < INT32_MIN || entry.integer > INT32_MAX)
        return -1;
    return static_cast<int32_t>(entry.integer);
}

bool ConfigStore::ReadBinary(ConfigView view, const char* key, uint8_t** data, uint32_t* size) {
    if (!data || !size)
        return false;
    *data = nullptr;
    *size = 0;
    ConfigEntry entry;
    bool found = false;
    if (!Lookup(view, key, &entry, &found) || !found || entry.type != ValueType::Binary ||
        entry.binary.size() > UINT32_MAX)
        return false;
    *data = AllocBinary(entry.binary);
    OPENSSL_cleanse(entry.binary.data(), entry.binary.size());
    if (!*data)
        return false;
    *size = static_cast<uint32_t>(entry.binary.size());
    return true;
}

char* ConfigStore::GetString(const char* key) { return ReadString(ConfigView::General, key); }
wchar_t* ConfigStore::GetStringW(const char* key) { return ReadStringW(ConfigView::General, key); }
int32_t ConfigStore::GetInt(const char* key) { return ReadInt(ConfigView::General, key); }
char* ConfigStore::GetLocalString(const char* key) { return ReadString(ConfigView::Local, key); }
wchar_t* ConfigStore::GetLocalStringW(const char* key) { return ReadStringW(ConfigView::Local, key); }
int32_t ConfigStore::GetLocalInt(const char* key) { return ReadInt(ConfigView::Local, key); }
bool ConfigStore::GetLocalBinary(const char* key, uint8_t** data, uint32_t* size) {
    return ReadBinary(ConfigView::Local, key, data, size);
}
char* ConfigStore::GetSecureString(const char* key) { return ReadString(ConfigView::Secure, key); }
wchar_t* ConfigStore::GetSecureStringW(const char* key) { return ReadStringW(ConfigView::Secure, key); }
int32_t ConfigStore::GetSecureInt(const char* key) { return ReadInt(ConfigView::Secure, key); }
bool ConfigStore::GetSecureBinary(const char* key, uint8_t** data, uint32_t* size) {
    return ReadBinary(ConfigView::Secure, key, data, size);
}

void ConfigStore::FreeString(char* value) { WipeAndFree(value); }
void ConfigStore::FreeStringW(wchar_t* value) { WipeAndFreeW(value); }
void ConfigStore::FreeBinary(uint8_t* data) { FreeBinaryBlock(data); }

int ConfigStore::GetCertificateList(const char* key, char*** certs, int* count) {
    if (!certs || !count)
        return -1;
    *certs = nullptr;
    *count = 0;
    char* text = ReadString(ConfigView::General, key);
    if (!text)
        return -1;
    std::vector<std::string> pems = SplitPemCertificates(text);
    free(text);
    if (pems.empty() || pems.size() > INT_MAX)
        return -1;
    auto** list = static_cast<char**>(calloc(pems.size(), sizeof(char*)));
    if (!list)
        return -1;
    for (size_t i = 0; i < pems.size(); ++i) {
        if (!(list[i] = DupString(pems[i]))) {
            FreeCertificateList(list, static_cast<int>(i));
            return -1;
        }
    }
    *certs = list;
    *count = static_cast<int>(pems.size());
    return 0;
}

void ConfigStore::FreeCertificateList(char** certs, int count) {
    if (!certs)
        return;
    for (int i = 0; i < count; ++i)
        free(certs[i]);
    free(certs);
}

wchar_t* ConfigStore::GetAgentVersion() { return ReadStringW(ConfigView::General, kAgentVersionKey); }

void SetGlobalConfig(IConfig* config) { g_globalConfig.store(config); }

}  // namespace hostkit

IConfig* GetGlobalConfig() { return hostkit::g_globalConfig.load(); }
