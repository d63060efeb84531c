#include "mail/mail_index.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>

#include "mail/mail_files.h"

namespace orv {

namespace {

// Bumped whenever the stored text or the tables change meaning: an index of another version is
// rebuilt.
constexpr int kIndexVersion = 1;

void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Valid UTF-8 with NULs as line breaks; SQLite's tokenizer and instr() then see the same
// characters the byte comparison does.
std::string cleanUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            out.push_back(c == 0 ? '\n' : static_cast<char>(c));
            ++i;
            continue;
        }
        size_t len = c >= 0xF0 && c < 0xF5 ? 4 : (c >= 0xE0 ? 3 : (c >= 0xC2 ? 2 : 0));
        if (c >= 0xF5) len = 0;
        bool good = len > 0 && i + len <= s.size();
        for (size_t k = 1; good && k < len; ++k)
            good = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
        if (good && len == 3) {
            unsigned char d = static_cast<unsigned char>(s[i + 1]);
            good = !(c == 0xE0 && d < 0xA0) && !(c == 0xED && d >= 0xA0);
        } else if (good && len == 4) {
            unsigned char d = static_cast<unsigned char>(s[i + 1]);
            good = !(c == 0xF0 && d < 0x90) && !(c == 0xF4 && d >= 0x90);
        }
        if (good) {
            out.append(s.substr(i, len));
            i += len;
        } else {
            out.append("\xEF\xBF\xBD");
            ++i;
        }
    }
    return out;
}

// Numeric character references and the few named ones an editor writes, decoded.
std::string decodeReferences(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        if (s[i] != '&') {
            out.push_back(s[i++]);
            continue;
        }
        size_t semi = s.find(';', i);
        if (semi == std::string_view::npos || semi - i > 10) {
            out.push_back(s[i++]);
            continue;
        }
        std::string_view ref = s.substr(i + 1, semi - i - 1);
        uint32_t cp = 0;
        bool ok = false;
        if (ref.size() >= 2 && ref[0] == '#') {
            bool hex = ref[1] == 'x' || ref[1] == 'X';
            std::string_view digits = ref.substr(hex ? 2 : 1);
            ok = !digits.empty();
            for (char ch : digits) {
                int v = -1;
                if (ch >= '0' && ch <= '9')
                    v = ch - '0';
                else if (hex && ch >= 'a' && ch <= 'f')
                    v = ch - 'a' + 10;
                else if (hex && ch >= 'A' && ch <= 'F')
                    v = ch - 'A' + 10;
                if (v < 0 || cp > 0x10FFFF) {
                    ok = false;
                    break;
                }
                cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(v);
            }
            ok = ok && cp > 0 && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        } else if (ref == "amp") {
            cp = '&', ok = true;
        } else if (ref == "lt") {
            cp = '<', ok = true;
        } else if (ref == "gt") {
            cp = '>', ok = true;
        } else if (ref == "quot") {
            cp = '"', ok = true;
        } else if (ref == "apos") {
            cp = '\'', ok = true;
        } else if (ref == "nbsp") {
            cp = ' ', ok = true;
        }
        if (!ok) {
            out.push_back(s[i++]);
            continue;
        }
        appendUtf8(out, cp);
        i = semi + 1;
    }
    return out;
}

struct Statement {
    sqlite3_stmt* s = nullptr;
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~Statement() { sqlite3_finalize(s); }
    explicit operator bool() const { return s != nullptr; }
};

}  // namespace

std::string bodySearchText(std::string_view raw) {
    std::string text = cleanUtf8(raw);
    if (text.find('&') == std::string::npos) return text;
    std::string decoded = decodeReferences(text);
    if (decoded != text) {
        text.push_back('\n');
        text.append(decoded);
    }
    return text;
}

std::string foldAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return out;
}

bool isSearchedBody(const CoreTables& t, int m, size_t fileNumber, int a) {
    bool firstIsBody = (t.mails[m].flags & MailFlags::bodyIsFirstFile) != 0;
    bool body =
        (t.attachments[a].attFlags & AttFlags::isBodyPart) || (fileNumber == 0 && firstIsBody);
    return body && t.attachmentPaths.view(a).find(".htm") != std::string_view::npos;
}

bool bodyComplete(const CoreTables& t, int m, int a) {
    if (!CoreTables::isReceivedKind(t.mails[m].kind)) return true;
    const AttachmentRecord& r = t.attachments[a];
    return r.done >= r.total;
}

MailIndex::MailIndex(const CoreTables& t, std::string path) : t_(t), path_(std::move(path)) {
    if (openAt()) return;
    // Not an index of this version (or damaged): start afresh.
    close();
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        std::filesystem::remove(path_ + suffix, ec);
    if (!openAt()) close();
}

MailIndex::~MailIndex() {
    close();
}

void MailIndex::close() {
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    ids_.clear();
}

bool MailIndex::exec(const char* sql) {
    return db_ && sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool MailIndex::openAt() {
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK)
        return false;
    sqlite3_busy_timeout(db_, 200);
    // A lost index is rebuilt, so it is written without waiting for the disk; WAL keeps it
    // whole across a crash.
    if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;")) return false;
    int version = -1;
    {
        Statement v(db_, "PRAGMA user_version");
        if (!v || sqlite3_step(v.s) != SQLITE_ROW) return false;
        version = sqlite3_column_int(v.s, 0);
    }
    if (version == 0) {
        if (!exec("BEGIN;"
                  "CREATE TABLE files(id INTEGER PRIMARY KEY, path TEXT UNIQUE NOT NULL);"
                  "CREATE VIRTUAL TABLE body USING fts5(text, tokenize='trigram case_sensitive 1');"
                  "PRAGMA user_version=1;"
                  "COMMIT;"))
            return false;
        version = kIndexVersion;
    }
    if (version != kIndexVersion) return false;
    Statement all(db_, "SELECT id, path FROM files");
    if (!all) return false;
    int rc;
    while ((rc = sqlite3_step(all.s)) == SQLITE_ROW) {
        const char* p = reinterpret_cast<const char*>(sqlite3_column_text(all.s, 1));
        ids_.emplace(p ? p : "", sqlite3_column_int64(all.s, 0));
    }
    return rc == SQLITE_DONE;
}

uint64_t MailIndex::tablesStamp() const {
    // Generations only grow; their sum changes with any of them.
    return t_.mails.generation() * 1000003u + t_.attachments.generation() +
           static_cast<uint64_t>(t_.attachments.count()) * 7919u + 1;
}

int64_t MailIndex::idOf(int a) {
    if (!db_) return -1;
    uint64_t stamp = tablesStamp();
    if (!attIdsValid_ || attIdsStamp_ != stamp) {
        attIds_.assign(static_cast<size_t>(t_.attachments.count()), -1);
        for (int m = 0; m < t_.mails.count(); ++m) {
            const auto& files = t_.mailFiles(m);
            for (size_t j = 0; j < files.size(); ++j) {
                int f = files[j];
                if (!isSearchedBody(t_, m, j, f) || !bodyComplete(t_, m, f)) continue;
                auto it = ids_.find(bodyFileLocation(t_, f));
                if (it != ids_.end()) attIds_[static_cast<size_t>(f)] = it->second;
            }
        }
        attIdsStamp_ = stamp;
        attIdsValid_ = true;
    }
    return a >= 0 && static_cast<size_t>(a) < attIds_.size() ? attIds_[static_cast<size_t>(a)] : -1;
}

int MailIndex::plan() {
    todo_.clear();
    todoNext_ = 0;
    if (!db_) return 0;
    uint64_t stamp = tablesStamp();
    if (stamp == plannedStamp_ && !incompleteSeen_) return 0;
    incompleteSeen_ = false;
    // The row ids of the attachments are noted on the way, for the search that follows.
    attIds_.assign(static_cast<size_t>(t_.attachments.count()), -1);
    todoRows_.clear();
    std::unordered_set<std::string> current;
    current.reserve(static_cast<size_t>(t_.attachments.count()));
    for (int m = 0; m < t_.mails.count(); ++m) {
        const auto& files = t_.mailFiles(m);
        for (size_t j = 0; j < files.size(); ++j) {
            int a = files[j];
            if (!isSearchedBody(t_, m, j, a)) continue;
            if (!bodyComplete(t_, m, a)) {
                incompleteSeen_ = true;
                continue;
            }
            std::string p = bodyFileLocation(t_, a);
            auto it = ids_.find(p);
            if (it != ids_.end()) {
                attIds_[static_cast<size_t>(a)] = it->second;
            } else {
                todo_.push_back(p);
                todoRows_[p].push_back(a);
            }
            current.insert(std::move(p));
        }
    }
    std::vector<int64_t> gone;
    for (auto it = ids_.begin(); it != ids_.end();) {
        if (current.count(it->first)) {
            ++it;
            continue;
        }
        gone.push_back(it->second);
        it = ids_.erase(it);
    }
    plannedStamp_ = stamp;
    attIdsStamp_ = stamp;
    attIdsValid_ = true;
    if (!gone.empty()) {
        exec("BEGIN");
        Statement delFile(db_, "DELETE FROM files WHERE id = ?");
        Statement delText(db_, "DELETE FROM body WHERE rowid = ?");
        for (int64_t id : gone) {
            for (sqlite3_stmt* s : {delFile.s, delText.s}) {
                sqlite3_bind_int64(s, 1, id);
                sqlite3_step(s);
                sqlite3_reset(s);
            }
        }
        exec("COMMIT");
    }
    // The same file may be the body of two mails (a forward): read once.
    std::sort(todo_.begin(), todo_.end());
    todo_.erase(std::unique(todo_.begin(), todo_.end()), todo_.end());
    // A file that could not be read is tried again at the next search.
    if (!todo_.empty()) incompleteSeen_ = true;
    return static_cast<int>(todo_.size());
}

bool MailIndex::addSome(int budget) {
    if (!db_) return true;
    if (todoNext_ >= todo_.size()) return true;
    exec("BEGIN");
    Statement addFile(db_, "INSERT INTO files(path) VALUES(?)");
    Statement addText(db_, "INSERT INTO body(rowid, text) VALUES(?, ?)");
    std::string raw;
    for (; budget > 0 && todoNext_ < todo_.size(); --budget) {
        const std::string& p = todo_[todoNext_++];
        // A file that cannot be read stays out; the search reads it (and skips it) itself.
        if (!readWholeFile(p, raw)) continue;
        std::string text = foldAscii(bodySearchText(raw));
        sqlite3_bind_text(addFile.s, 1, p.data(), static_cast<int>(p.size()), SQLITE_STATIC);
        if (sqlite3_step(addFile.s) != SQLITE_DONE) {
            sqlite3_reset(addFile.s);
            continue;
        }
        sqlite3_reset(addFile.s);
        int64_t id = sqlite3_last_insert_rowid(db_);
        sqlite3_bind_int64(addText.s, 1, id);
        sqlite3_bind_text(addText.s, 2, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        int rc = sqlite3_step(addText.s);
        sqlite3_reset(addText.s);
        if (rc == SQLITE_DONE) {
            ids_.emplace(p, id);
            auto rows = todoRows_.find(p);
            if (rows == todoRows_.end()) {
                attIdsValid_ = false;
            } else {
                for (int a : rows->second)
                    if (static_cast<size_t>(a) < attIds_.size())
                        attIds_[static_cast<size_t>(a)] = id;
            }
        }
    }
    exec("COMMIT");
    return todoNext_ >= todo_.size();
}

void MailIndex::syncAll() {
    plan();
    while (!addSome(1000)) {
    }
}

void MailIndex::addMail(int m) {
    if (!db_ || m < 0 || m >= t_.mails.count()) return;
    const auto& files = t_.mailFiles(m);
    for (size_t j = 0; j < files.size(); ++j) {
        int a = files[j];
        if (!isSearchedBody(t_, m, j, a) || !bodyComplete(t_, m, a)) continue;
        std::string p = bodyFileLocation(t_, a);
        if (!ids_.count(p)) todo_.push_back(std::move(p));
    }
    while (!addSome(100)) {
    }
}

bool MailIndex::find(std::string_view keyword, std::unordered_set<int64_t>& ids) {
    ids.clear();
    if (!db_) return false;
    std::string k = foldAscii(keyword);
    size_t chars = 0;
    for (unsigned char c : k)
        if ((c & 0xC0) != 0x80) ++chars;
    // Trigrams need three characters; shorter keywords look through the stored texts.
    const char* sql;
    std::string arg;
    if (chars >= 3) {
        sql = "SELECT rowid FROM body WHERE body MATCH ?";
        arg = "\"";
        for (char c : k) {
            arg.push_back(c);
            if (c == '"') arg.push_back('"');
        }
        arg.push_back('"');
    } else {
        sql = "SELECT id FROM body_content WHERE instr(c0, ?) > 0";
        arg = k;
    }
    Statement q(db_, sql);
    if (!q) return false;
    sqlite3_bind_text(q.s, 1, arg.data(), static_cast<int>(arg.size()), SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW)
        ids.insert(sqlite3_column_int64(q.s, 0));
    return rc == SQLITE_DONE;
}

}  // namespace orv
